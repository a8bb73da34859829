#include "disks/partitions.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <new>

#include "disks/lvm.h"
#include "image/disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"
#include "tree/tree.h"

namespace {

constexpr uint16_t kMbrSignature = 0xAA55;
constexpr size_t kMbrTable = 446;
constexpr uint8_t kTypeExtendedChs = 0x05;
constexpr uint8_t kTypeExtendedLba = 0x0F;
constexpr uint8_t kTypeGptProtective = 0xEE;
constexpr uint8_t kTypeLinuxLvm = 0x8E;

// Distance to an extended boot record within which a sector counts as near it.
constexpr uint64_t kNearTableSectors = 2048;

bool IsExtendedType(uint8_t type) { return type == kTypeExtendedChs || type == kTypeExtendedLba; }

struct MbrSlot {
  uint8_t boot;
  uint8_t type;
  uint32_t start;
  uint32_t length;
};

MbrSlot ReadSlot(ByteReader& sector, int n) {
  const size_t at = kMbrTable + 16 * static_cast<size_t>(n);
  return MbrSlot{sector.U8At(at), sector.U8At(at + 4), sector.U32LEAt(at + 8), sector.U32LEAt(at + 12)};
}

// A boot sector carries a partition table when it ends with the signature, every boot indicator is 0 or 0x80
// and the table is not empty.
bool IsMbr(ByteReader sector) {
  if (sector.U16LEAt(510) != kMbrSignature) return false;
  bool any = false;
  for (int n = 0; n < 4; ++n) {
    if (sector.U8At(kMbrTable + 16 * static_cast<size_t>(n)) & 0x7F) return false;
  }
  for (size_t i = kMbrTable; i < kMbrTable + 64; ++i) any = any || sector.U8At(i) != 0;
  return sector.ok() && any;
}

// Keeps an entry that lies on the disk: a start past the end refuses it, a length past the end is cut there.
// An unknown disk size (0) accepts every non-empty entry.
bool FitEntry(const CPartitionList* list, uint64_t start, uint64_t& length) {
  if (length == 0) return false;
  if (list->diskSize == 0) return start <= UINT64_MAX - length;
  if (start >= list->diskSize) return false;
  length = std::min(length, list->diskSize - start);
  return true;
}

CPartitionEntry* AddMbrEntry(CPartitionList* list, const MbrSlot& slot, uint64_t start, int32_t primary) {
  uint64_t length = slot.length;
  if (!FitEntry(list, start, length)) return nullptr;
  CPartitionEntry* entry = PartitionListAddEntry(list);
  if (!entry) return nullptr;
  entry->primary = primary;
  entry->bootIndicator = slot.boot;
  entry->mbrType = slot.type;
  entry->start = start;
  entry->length = length;
  return entry;
}

// Follows the chain of extended boot records from `base`. Every link is relative to the base; the chain ends at
// a record without a link, at a record already met, at one that cannot be read or carries no signature, and
// after kPartitionMaxTableSectors links. Returns true when a GPT protective entry was met.
bool ReadExtendedChain(CPartitionList* list, CImageDocument* document, const uint8_t* memory, int64_t memorySize,
                       uint64_t base, std::vector<uint8_t>& buffer) {
  bool protective = false;
  uint64_t record = base;
  for (int link = 0; link < kPartitionMaxTableSectors; ++link) {
    if (list->diskSize && record >= list->diskSize) break;
    if (std::find(list->tableSectors.begin(), list->tableSectors.end(), record) != list->tableSectors.end()) break;
    if (!PartitionListAddTableSector(list, record)) break;
    if (PartitionSourceReadSectors(list->source, list->sectorSize, document, memory, memorySize, buffer.data(),
                                   record, 1) != 1)
      break;
    ByteReader sector(buffer.data(), buffer.size());
    if (sector.U16LEAt(510) != kMbrSignature) break;
    bool linked = false;
    uint64_t next = 0;
    for (int n = 0; n < 4 && !linked; ++n) {
      const MbrSlot slot = ReadSlot(sector, n);
      if (slot.type == 0) continue;
      if (slot.type == kTypeGptProtective) {
        protective = true;
      } else if (IsExtendedType(slot.type)) {
        linked = true;
        next = base + slot.start;
      } else {
        AddMbrEntry(list, slot, record + slot.start, 0);
      }
    }
    if (!linked) break;
    record = next;
  }
  return protective;
}

// The names of GPT type GUIDs (as stored: the first three fields little-endian).
struct GptTypeName {
  uint8_t guid[16];
  const wchar_t* name;
};
constexpr GptTypeName kGptTypeNames[] = {
    {{0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11, 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}, L"EFI"},
    {{0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D, 0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE},
     L"MS Reserved"},
    {{0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44, 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}, L"NTFS"},
};

void CopyText(wchar_t* out, size_t outChars, const wchar_t* text) {
  if (!out || outChars == 0) return;
  std::swprintf(out, outChars, L"%ls", text ? text : L"");
}

void FormatByteSize(uint64_t bytes, wchar_t* out, size_t outChars) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  if (bytes >= kGiB) {
    std::swprintf(out, outChars, L"%.1f GB", static_cast<double>(bytes) / static_cast<double>(kGiB));
  } else if (bytes > 10 * kMiB - 1) {
    std::swprintf(out, outChars, L"%d MB", static_cast<int>(bytes / kMiB));
  } else {
    std::swprintf(out, outChars, L"%.1f MB", static_cast<double>(bytes) / static_cast<double>(kMiB));
  }
}

// The entry's name, description, size text and used text.
void DescribeEntry(const CPartitionList* list, CPartitionEntry* entry) {
  wchar_t name[128] = L"";
  const bool gptEntry = std::any_of(std::begin(entry->gptType), std::end(entry->gptType), [](uint8_t b) { return b != 0; });
  if (gptEntry) {
    if (entry->fileSystemName[0]) {
      CopyText(name, std::size(name), entry->fileSystemName);
    } else {
      for (const GptTypeName& known : kGptTypeNames) {
        if (std::memcmp(known.guid, entry->gptType, 16) == 0) CopyText(name, std::size(name), known.name);
      }
    }
  } else {
    PartitionGetTypeName(entry->fileSystemName, entry->mbrType, name, std::size(name));
  }
  const wchar_t* kind = gptEntry ? L"GPT" : entry->primary ? L"Primary" : L"Extended";
  std::swprintf(entry->description, std::size(entry->description), L"%ls %ls", kind, name);
  PartitionFormatSize(list, entry);
  if (entry->totalUnits && entry->unitSize && entry->usedUnits <= UINT64_MAX / entry->unitSize)
    FormatByteSize(entry->usedUnits * entry->unitSize, entry->usedText, std::size(entry->usedText));
}

struct ListDeleter {
  void operator()(CPartitionList* list) const { PartitionListFree(list); }
};

// A document over one partition of `parent`'s disk. It shares the parent's source and sector reader; those
// references are cleared (DetachDocument) before it is released.
CImageDocument* NewPartitionDocument(const CPartitionList* list, CImageDocument* parent, const CPartitionEntry& entry) {
  auto* document = new (std::nothrow) CImageDocument{};
  if (!document) return nullptr;
  document->rootEntry = TreeNewEntry();
  if (!document->rootEntry) {
    delete document;
    return nullptr;
  }
  document->readOnly = 1;
  document->sectorSize = list->sectorSize;
  document->partitionStart = static_cast<int64_t>(entry.start);
  document->partitionLength = static_cast<int64_t>(entry.length);
  document->readableLimit = static_cast<int64_t>(entry.length);
  if (parent) {
    document->input = parent->input;
    document->fileSize = parent->fileSize;
    document->qvf = parent->qvf;
    document->diskReader = parent->diskReader;
    document->diskPrefetch = parent->diskPrefetch;
    document->diskContext = parent->diskContext;
    document->diskMap = parent->diskMap;
    document->partitionMapUnit = parent->partitionMapUnit;
  } else {
    document->input = list->source;
  }
  return document;
}

void DetachDocument(CImageDocument* document) {
  document->input = nullptr;
  document->qvf = nullptr;
  document->diskReader = nullptr;
  document->diskPrefetch = nullptr;
  document->diskContext = nullptr;
  document->diskMap = nullptr;
  document->lvmMap = nullptr;
}

void ReleaseDocument(PartitionDocumentClose close, CImageDocument* document) {
  if (!document) return;
  DetachDocument(document);
  if (close) {
    close(document);
    return;
  }
  TreeFreeDocumentTree(document);
  delete document;
}

}  // namespace

CPartitionEntry* PartitionListAddEntry(CPartitionList* list) {
  if (!list) return nullptr;
  try {
    return &list->entries.emplace_back();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool PartitionListAddTableSector(CPartitionList* list, uint64_t sector) {
  if (!list) return false;
  if (std::find(list->tableSectors.begin(), list->tableSectors.end(), sector) != list->tableSectors.end())
    return true;
  if (list->tableSectors.size() >= kPartitionMaxTableSectors) return false;
  try {
    list->tableSectors.push_back(sector);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool PartitionListIsNearTableSector(const CPartitionList* list, uint64_t sector) {
  if (!list) return false;
  for (uint64_t known : list->tableSectors) {
    const uint64_t distance = sector > known ? sector - known : known - sector;
    if (distance <= kNearTableSectors) return true;
  }
  return false;
}

int64_t PartitionSourceReadSectors(FILE* file, int32_t sectorSize, CImageDocument* document, const uint8_t* memory,
                                   int64_t memorySize, void* out, uint64_t first, int64_t count) {
  if (!out || count <= 0 || sectorSize <= 0) return 0;
  const uint64_t size = static_cast<uint64_t>(sectorSize);
  if (first > INT64_MAX / size || static_cast<uint64_t>(count) > (INT64_MAX - first * size) / size) return 0;
  const int64_t offset = static_cast<int64_t>(first * size);
  const int64_t bytes = count * sectorSize;
  if (memory && memorySize >= 0 && offset <= memorySize && bytes <= memorySize - offset) {
    std::memcpy(out, memory + offset, static_cast<size_t>(bytes));
    return count;
  }
  if (document) {
    const int32_t own = document->sectorSize > 0 ? document->sectorSize : 512;
    if (own == sectorSize) return ImageReadDiskSectors(document, offset / own, out, count) == count ? count : 0;
    return ImageReadDiskBytes(document, offset, out, bytes) == bytes ? count : 0;
  }
  if (file) return FileReadAt(file, out, offset, static_cast<size_t>(bytes)) ? count : 0;
  return 0;
}

bool PartitionProbeLinuxFs(FILE* file, int32_t sectorSize, CImageDocument* document, const uint8_t* memory,
                           int64_t memorySize) {
  if (sectorSize <= 0) return false;
  const int64_t sectors = (1082 + sectorSize - 1) / sectorSize;
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<size_t>(sectors * sectorSize));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (PartitionSourceReadSectors(file, sectorSize, document, memory, memorySize, bytes.data(), 0, sectors) != sectors)
    return false;
  ByteReader start(bytes.data(), bytes.size());
  return start.Chars(4) == "XFSB" || start.U16LEAt(1080) == 0xEF53;
}

void PartitionFormatSize(const CPartitionList* list, CPartitionEntry* entry) {
  if (!list || !entry) return;
  const uint64_t size = list->sectorSize > 0 ? static_cast<uint64_t>(list->sectorSize) : 512;
  const uint64_t bytes = entry->length > UINT64_MAX / size ? UINT64_MAX : entry->length * size;
  FormatByteSize(bytes, entry->sizeText, std::size(entry->sizeText));
}

void PartitionGetTypeName(const wchar_t* fileSystemName, uint8_t type, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return;
  const wchar_t* name = fileSystemName && fileSystemName[0] ? fileSystemName : nullptr;
  if (!name) {
    switch (type) {
      case 0x01: case 0x11: name = L"FAT12"; break;
      case 0x04: case 0x06: case 0x0E: case 0x14: case 0x16: name = L"FAT16"; break;
      case 0x0B: case 0x0C: case 0x1B: case 0x1C: name = L"FAT32"; break;
      case 0x07: case 0x17: case 0x42: case 0x86: case 0x87: name = L"NTFS"; break;
      case 0x00: name = L""; break;
      case 0x05: case 0x0F: name = L"Extended"; break;
      case 0x82: name = L"Linux Swap"; break;
      case 0x83: case 0x8E: name = L"Linux"; break;
      default: name = L"Unknown"; break;
    }
  }
  std::swprintf(out, outChars, L"%ls (%02X)", name, static_cast<unsigned>(type));
}

int PartitionDetectFileSystem(CPartitionList* list, CImageDocument* parent, CPartitionEntry* entry,
                              PartitionProbe probe) {
  if (!list || !entry || !probe) return 0;
  ReleaseDocument(list->closeDocument, entry->fileSystem);
  entry->fileSystem = nullptr;
  CImageDocument* document = NewPartitionDocument(list, parent, *entry);
  if (!document) return 0;
  std::vector<uint8_t> first;
  try {
    first.resize(static_cast<size_t>(list->sectorSize));
  } catch (const std::bad_alloc&) {
    ReleaseDocument(list->closeDocument, document);
    return 0;
  }
  if (PartitionSourceReadSectors(list->source, list->sectorSize, parent, nullptr, 0, first.data(), entry->start, 1) ==
      1) {
    ByteReader sector(first.data(), first.size());
    sector.Skip(3);
    entry->bitLocker = sector.Chars(8) == "-FVE-FS-" && sector.U8() == 0 && sector.ok();
  }
  if (probe(document, entry) != 1) {
    ReleaseDocument(list->closeDocument, document);
    return 0;
  }
  DetachDocument(document);
  entry->fileSystem = document;
  return 1;
}

CPartitionList* PartitionListRead(FILE* file, int32_t openMode, int32_t sectorSize, CImageDocument* document,
                                  const uint8_t* memory, int64_t memorySize, PartitionProbe probe,
                                  PartitionDocumentClose closeDocument) {
  if (sectorSize != 512 && sectorSize != 4096) return nullptr;
  std::unique_ptr<CPartitionList, ListDeleter> list(new (std::nothrow) CPartitionList{});
  if (!list) return nullptr;
  list->sectorSize = sectorSize;
  list->openMode = openMode;
  list->source = file;
  list->closeDocument = closeDocument;
  // The disk's size in sectors: that of the document or the file behind the reads; a memory buffer alone is the
  // whole disk.
  if (document && document->readableLimit > 0) {
    const uint64_t own = document->sectorSize > 0 ? static_cast<uint64_t>(document->sectorSize) : 512;
    const uint64_t limit = static_cast<uint64_t>(document->readableLimit);
    list->diskSize = limit > UINT64_MAX / own ? UINT64_MAX / static_cast<uint64_t>(sectorSize)
                                              : limit * own / static_cast<uint64_t>(sectorSize);
  } else if (FILE* plain = document ? (document->diskReader || document->qvf ? nullptr : document->input) : file) {
    list->diskSize = static_cast<uint64_t>(FileGetSize(plain)) / static_cast<uint64_t>(sectorSize);
  } else if (memory && memorySize > 0 && !document) {
    list->diskSize = static_cast<uint64_t>(memorySize) / static_cast<uint64_t>(sectorSize);
  }

  std::vector<uint8_t> buffer;
  try {
    buffer.resize(static_cast<size_t>(sectorSize));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (PartitionSourceReadSectors(file, sectorSize, document, memory, memorySize, buffer.data(), 0, 1) != 1)
    return nullptr;
  ByteReader boot(buffer.data(), buffer.size());

  if (IsMbr(boot)) {
    list->diskSignature = boot.U32LEAt(440);
    bool protective = false;
    bool extendedSeen = false;
    uint64_t base = 0;
    MbrSlot slots[4];
    for (int n = 0; n < 4; ++n) slots[n] = ReadSlot(boot, n);
    for (const MbrSlot& slot : slots) {
      if (slot.type == 0) continue;
      if (IsExtendedType(slot.type)) {
        // One extended partition holds the chain; a second one is not followed.
        if (!extendedSeen) base = slot.start;
        extendedSeen = true;
      } else if (slot.type == kTypeGptProtective) {
        protective = true;
      } else if (!extendedSeen || slot.type == kTypeLinuxLvm) {
        AddMbrEntry(list.get(), slot, slot.start, 1);
      }
    }
    if (extendedSeen && base != 0)
      protective = ReadExtendedChain(list.get(), document, memory, memorySize, base, buffer) || protective;
    if (protective) {
      GptReadPartitions(file, sectorSize, document, memory, memorySize, list.get(), 1);
      list->diskSignature = 0;
    }
  } else if (boot.U16LEAt(510) != 0xAA55) {
    // Without even a boot-sector signature only a Linux file system from the start makes this a disk; a signed
    // sector without a table (a partitionless volume) is the whole disk.
    if (openMode == -1 && !PartitionProbeLinuxFs(file, sectorSize, document, memory, memorySize)) return nullptr;
  }

  if (list->entries.empty()) {
    CPartitionEntry* whole = PartitionListAddEntry(list.get());
    if (!whole) return nullptr;
    whole->primary = 1;
    whole->length = list->diskSize;
    list->wholeDisk = 1;
  } else {
    list->hasEntries = 1;
  }

  for (CPartitionEntry& entry : list->entries) {
    if (probe) PartitionDetectFileSystem(list.get(), document, &entry, probe);
    DescribeEntry(list.get(), &entry);
  }
  return list.release();
}

void PartitionListFree(CPartitionList* list) {
  if (!list) return;
  for (CPartitionEntry& entry : list->entries) {
    LvmFree(entry.lvm);
    entry.lvm = nullptr;
    ReleaseDocument(list->closeDocument, entry.fileSystem);
    entry.fileSystem = nullptr;
  }
  delete list;
}
