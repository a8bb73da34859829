// The GUID partition table: header and entry array, both checked against their CRC-32 before any entry is
// taken.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "disks/partitions.h"
#include "runtime/byte_reader.h"
#include "runtime/crc.h"

namespace {

constexpr uint32_t kGptMinHeaderSize = 92;
constexpr uint32_t kGptMinEntrySize = 128;

}  // namespace

int GptReadPartitions(FILE* file, int32_t sectorSize, CImageDocument* document, const uint8_t* memory,
                      int64_t memorySize, CPartitionList* list, uint64_t headerSector) {
  if (!list || sectorSize < 512) return 0;
  const uint64_t size = static_cast<uint64_t>(sectorSize);
  if (list->diskSize && headerSector >= list->diskSize) return 0;
  std::vector<uint8_t> header;
  try {
    header.resize(size);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (PartitionSourceReadSectors(file, sectorSize, document, memory, memorySize, header.data(), headerSector, 1) != 1)
    return 0;
  ByteReader h(header.data(), header.size());
  if (h.Chars(9) != std::string_view("EFI PART\0", 9)) return 0;
  const uint32_t headerSize = h.U32LEAt(12);
  const uint32_t headerCrc = h.U32LEAt(16);
  const uint64_t myLba = h.U64LEAt(24);
  const uint64_t firstUsable = h.U64LEAt(40);
  const uint64_t lastUsable = h.U64LEAt(48);
  const uint64_t arrayLba = h.U64LEAt(72);
  const uint32_t count = h.U32LEAt(80);
  const uint32_t entrySize = h.U32LEAt(84);
  const uint32_t arrayCrc = h.U32LEAt(88);
  if (!h.ok() || headerSize < kGptMinHeaderSize || headerSize > size || myLba != headerSector) return 0;
  {
    std::vector<uint8_t> copy(header.begin(), header.begin() + headerSize);
    std::memset(copy.data() + 16, 0, 4);
    if (Crc32Compute(copy.data(), copy.size()) != headerCrc) return 0;
  }
  if (firstUsable > lastUsable) return 0;
  if (entrySize < kGptMinEntrySize || entrySize % 8 != 0) return 0;
  const uint64_t arrayBytes = uint64_t{count} * entrySize;
  if (arrayBytes > static_cast<uint64_t>(kGptMaxEntryArrayBytes)) return 0;
  const uint64_t arraySectors = (arrayBytes + size - 1) / size;
  // The array lies on the disk and apart from the header.
  if (arrayLba == 0 || (arrayLba <= headerSector && headerSector < arrayLba + arraySectors)) return 0;
  if (list->diskSize && (arrayLba >= list->diskSize || arraySectors > list->diskSize - arrayLba)) return 0;

  std::vector<uint8_t> array;
  try {
    array.resize(arraySectors * size);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (arraySectors &&
      PartitionSourceReadSectors(file, sectorSize, document, memory, memorySize, array.data(), arrayLba,
                                 static_cast<int64_t>(arraySectors)) != static_cast<int64_t>(arraySectors))
    return 0;
  if (Crc32Compute(array.data(), arrayBytes) != arrayCrc) return 0;

  list->gpt = 1;
  std::memcpy(list->diskGuid, header.data() + 56, 16);
  ByteReader entries(array.data(), arrayBytes);
  for (uint32_t n = 0; n < count; ++n) {
    ByteReader e = entries.Sub(entrySize);
    uint8_t type[16];
    e.Bytes(type, 16);
    if (!e.ok()) break;
    if (std::all_of(type, type + 16, [](uint8_t b) { return b == 0; })) continue;
    uint8_t unique[16];
    e.Bytes(unique, 16);
    const uint64_t first = e.U64LE();
    const uint64_t last = e.U64LE();
    const uint64_t attributes = e.U64LE();
    uint8_t name[72];
    e.Bytes(name, sizeof(name));
    if (!e.ok()) break;
    // An entry must lie on the disk; one reaching past its end is cut there.
    if (first > last || (list->diskSize && first >= list->diskSize)) continue;
    uint64_t length = last - first + 1;
    if (list->diskSize) length = std::min(length, list->diskSize - first);
    if (length == 0) continue;
    CPartitionEntry* entry = PartitionListAddEntry(list);
    if (!entry) break;
    std::memcpy(entry->gptType, type, 16);
    std::memcpy(entry->gptUnique, unique, 16);
    entry->gptAttributes = attributes;
    std::memcpy(entry->gptName, name, sizeof(name));
    entry->start = first;
    entry->length = length;
  }
  return 1;
}
