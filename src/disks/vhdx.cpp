#include "disks/vhdx.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "disks/virtual_disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/crc.h"
#include "runtime/file.h"

namespace {

using Guid = std::array<uint8_t, 16>;

constexpr uint8_t HexDigit(char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); }

// A GUID in its usual text form, as its 16 bytes are stored (the first three groups little-endian).
constexpr Guid MakeGuid(const char (&text)[37]) {
  constexpr int kOrder[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
  Guid g{};
  for (int i = 0; i < 16; ++i)
    g[i] = static_cast<uint8_t>(HexDigit(text[kOrder[i]]) << 4 | HexDigit(text[kOrder[i] + 1]));
  return g;
}

constexpr Guid kBatRegion = MakeGuid("2DC27766-F623-4200-9D64-115E9BFD4A08");
constexpr Guid kMetadataRegion = MakeGuid("8B7CA206-4790-4B9A-B8FE-575F050F886E");
static_assert(kBatRegion[0] == 0x66 && kBatRegion[3] == 0x2D && kBatRegion[4] == 0x23 && kBatRegion[15] == 0x08);

// Metadata items by their bit in metadataSeen.
enum : int {
  kFileParameters = 0,
  kVirtualDiskSize,
  kVirtualDiskId,
  kLogicalSectorSize,
  kPhysicalSectorSize,
  kParentLocator,
  kItemCount
};
constexpr Guid kItems[kItemCount] = {
    MakeGuid("CAA16737-FA36-4D43-B3B6-33F0AA44E76B"), MakeGuid("2FA54224-CD1B-4876-B211-5DBED83BF4B8"),
    MakeGuid("BECA12AB-B2E6-4523-93EF-C309E000C746"), MakeGuid("8141BF1D-A96F-4709-BA47-F233A8FAAB5F"),
    MakeGuid("CDA348C7-445D-4471-9CC9-E9885251C556"), MakeGuid("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C")};
constexpr uint32_t kRequiredItems = 0x1F;

constexpr int64_t kHeaderOffsets[2] = {65536, 131072};
constexpr int64_t kRegionTableOffset = 196608;
// The fixed part of the file: identifier, the two headers and the two region tables.
constexpr uint64_t kFixedAreaBytes = 256 << 10;
constexpr uint64_t kMiB = 1 << 20;
constexpr uint32_t kMaxEntries = 2047;
constexpr uint32_t kMinBlockSize = 1u << 20;
constexpr uint32_t kMaxBlockSize = 256u << 20;
// The largest virtual disk the format allows (64 TiB).
constexpr uint64_t kMaxVirtualSize = uint64_t{64} << 40;

// BAT entry states.
constexpr uint64_t kBlockFullyPresent = 6;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

Guid GuidAt(ByteReader& reader, size_t at) {
  Guid g{};
  for (size_t i = 0; i < g.size(); ++i) g[i] = reader.U8At(at + i);
  return g;
}

int64_t VhdxDiskRead(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  const int64_t per = VirtualDiskUnit(document);
  if (sector > INT64_MAX / per || n > INT64_MAX / per) return 0;
  return VhdxReadSectors(static_cast<CVhdxImage*>(document->diskContext), sector * per, buffer, n * per) / per;
}

// Reads the headers and chooses one: 1, 0 for a file without "vhdxfile", -1 when neither header is usable.
int ChooseHeader(CVhdxImage* image) {
  char identifier[8];
  if (image->fileSize < static_cast<int64_t>(kFixedAreaBytes) ||
      !VirtualDiskReadAt(image->file, identifier, 0, sizeof identifier) || std::memcmp(identifier, "vhdxfile", 8) != 0)
    return 0;
  bool valid[2] = {};
  uint64_t sequence[2] = {};
  std::vector<uint8_t> header(4096);
  for (int i = 0; i < 2; ++i) {
    if (!VirtualDiskReadAt(image->file, header.data(), kHeaderOffsets[i], header.size())) continue;
    ByteReader r(header.data(), header.size());
    valid[i] = VhdxCheckCrc(header.data(), header.size(), 4) && r.Chars(4) == "head" && r.U16LEAt(66) == 1 && r.ok();
    sequence[i] = r.U64LEAt(8);
    std::memcpy(image->headers[i], header.data(), sizeof image->headers[i]);
  }
  if (valid[0] && valid[1]) {
    if (sequence[0] == sequence[1]) {
      if (std::memcmp(image->headers[0], image->headers[1], sizeof image->headers[0]) != 0) return -1;
      image->chosenHeader = 1;
    } else {
      image->chosenHeader = sequence[0] > sequence[1] ? 1 : 2;
    }
  } else if (valid[0] || valid[1]) {
    image->chosenHeader = valid[0] ? 1 : 2;
  } else {
    return -1;
  }
  // A log that is not empty may hold writes the file does not show yet.
  const uint8_t* chosen = image->headers[image->chosenHeader - 1];
  for (int i = 48; i < 64; ++i)
    if (chosen[i] != 0) return -1;
  return 1;
}

bool ReadRegionTable(CVhdxImage* image) {
  std::vector<uint8_t> table(65536);
  if (!VirtualDiskReadAt(image->file, table.data(), kRegionTableOffset, table.size())) return false;
  ByteReader r(table.data(), table.size());
  if (r.Chars(4) != "regi") return false;
  const uint32_t count = r.U32LEAt(8);
  if (count > kMaxEntries) return false;
  for (uint32_t n = 0; n < count; ++n) {
    const size_t at = 16 + size_t{n} * 32;
    const Guid guid = GuidAt(r, at);
    const uint64_t offset = r.U64LEAt(at + 16);
    const uint32_t length = r.U32LEAt(at + 24);
    const uint32_t flags = r.U32LEAt(at + 28);
    if (!r.ok()) return false;
    if (!VhdxRangeIsFree(image, offset, length)) return false;
    VhdxAddRange(image, offset, length);
    CVhdxRegion* known = guid == kBatRegion ? &image->bat : guid == kMetadataRegion ? &image->metadata : nullptr;
    if (!known) {
      if (flags & 1) return false;  // a region this reader does not know is required
      continue;
    }
    if (known->present) return false;
    // The regions this reader uses must lie inside the file.
    if (offset > static_cast<uint64_t>(image->fileSize) || length > static_cast<uint64_t>(image->fileSize) - offset)
      return false;
    *known = CVhdxRegion{offset, length, 1};
  }
  return image->bat.present && image->metadata.present;
}

bool ReadMetadata(CVhdxImage* image) {
  const CVhdxRegion& region = image->metadata;
  const uint32_t tableBytes = std::min<uint32_t>(region.length, 65536);
  std::vector<uint8_t> table(tableBytes);
  if (tableBytes < 32 || !VirtualDiskReadAt(image->file, table.data(), static_cast<int64_t>(region.offset), tableBytes))
    return false;
  ByteReader r(table.data(), table.size());
  if (r.Chars(8) != "metadata") return false;
  const uint16_t count = r.U16LEAt(10);
  if (count < 1 || count > kMaxEntries) return false;
  uint32_t itemOffset[kItemCount] = {};
  uint32_t itemLength[kItemCount] = {};
  for (uint32_t n = 0; n < count; ++n) {
    const size_t at = 32 + size_t{n} * 32;
    const Guid guid = GuidAt(r, at);
    const uint32_t offset = r.U32LEAt(at + 16);
    const uint32_t length = r.U32LEAt(at + 20);
    const uint32_t flags = r.U32LEAt(at + 24);
    if (!r.ok()) return false;
    int item = 0;
    while (item < kItemCount && guid != kItems[item]) ++item;
    if (item == kItemCount) {
      if (flags & 4) return false;
      continue;
    }
    if (image->metadataSeen & (1u << item)) return false;
    if (uint64_t{offset} + length > region.length) return false;
    image->metadataSeen |= 1u << item;
    itemOffset[item] = offset;
    itemLength[item] = length;
  }
  if ((image->metadataSeen & kRequiredItems) != kRequiredItems) return false;
  auto readItem = [&](int item, void* out, uint32_t size) {
    return itemLength[item] >= size &&
           VirtualDiskReadAt(image->file, out, static_cast<int64_t>(region.offset + itemOffset[item]), size);
  };
  uint8_t parameters[8], diskSize[8], logical[4], physical[4];
  if (!readItem(kFileParameters, parameters, 8) || !readItem(kVirtualDiskSize, diskSize, 8) ||
      !readItem(kLogicalSectorSize, logical, 4) || !readItem(kPhysicalSectorSize, physical, 4))
    return false;
  image->blockSize = LoadU32LE(parameters);
  image->fileFlags = LoadU32LE(parameters + 4);
  image->virtualSize = LoadU64LE(diskSize);
  image->logicalSectorSize = LoadU32LE(logical);
  image->physicalSectorSize = LoadU32LE(physical);
  return true;
}

bool ReadBat(CVhdxImage* image) {
  if (image->fileFlags & 2) return false;  // a differencing disk: its parent holds the rest
  const uint32_t bs = image->blockSize;
  if (bs < kMinBlockSize || bs > kMaxBlockSize || !IsPowerOfTwo(bs)) return false;
  if (image->logicalSectorSize != 512) return false;
  if (image->virtualSize == 0 || image->virtualSize % 512 != 0 || image->virtualSize > kMaxVirtualSize) return false;
  image->blockSizeLog2 = CountTrailingZeros64(bs);
  image->sectorsPerBlock = bs / 512;
  image->sectorsPerBlockLog2 = CountTrailingZeros64(image->sectorsPerBlock);
  image->chunkRatio = (uint64_t{1} << 32) / bs;
  image->chunkRatioLog2 = CountTrailingZeros64(image->chunkRatio);
  if (!IsPowerOfTwo(image->sectorsPerBlock) || !IsPowerOfTwo(image->chunkRatio)) return false;
  const uint64_t dataBlocks = (image->virtualSize + bs - 1) / bs;
  image->batEntries = dataBlocks + (dataBlocks - 1) / image->chunkRatio;
  if (image->bat.length / 8 < image->batEntries) return false;
  std::vector<uint8_t> raw;
  try {
    raw.resize(image->bat.length);
    image->batTable.resize(static_cast<size_t>(image->batEntries));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!VirtualDiskReadAt(image->file, raw.data(), static_cast<int64_t>(image->bat.offset), raw.size())) return false;
  const uint64_t fileSize = static_cast<uint64_t>(image->fileSize);
  for (uint64_t n = 0; n < image->batEntries; ++n) {
    const uint64_t entry = LoadU64LE(raw.data() + n * 8);
    image->batTable[n] = entry;
    if ((entry & 7) != kBlockFullyPresent) continue;
    // Payload entries sit between the bitmap entries: entry n is block n - n / (chunk ratio + 1).
    const bool bitmapEntry = (n + 1) % (image->chunkRatio + 1) == 0;
    if (bitmapEntry) continue;
    const uint64_t block = n - n / (image->chunkRatio + 1);
    const uint64_t offset = entry & ~uint64_t{0xFFFFF};
    const uint64_t bytes = std::min<uint64_t>(bs, image->virtualSize - block * bs);
    if (offset < kMiB || offset > fileSize || bytes > fileSize - offset) return false;
  }
  image->diskSectors = image->virtualSize / 512;
  return true;
}

}  // namespace

bool VhdxCheckCrc(const uint8_t* buffer, size_t length, size_t fieldOffset) {
  if (!buffer || fieldOffset > length || length - fieldOffset < 4) return false;
  return LoadU32LE(buffer + fieldOffset) == Crc32cWithZeroedField(0, buffer, length, fieldOffset);
}

bool VhdxRangeIsFree(const CVhdxImage* image, uint64_t start, uint64_t length) {
  if (length > UINT64_MAX - start) return false;
  const uint64_t end = start + length;
  for (const auto& [from, to] : image->ranges)
    if (start < to && from < end) return false;
  return true;
}

void VhdxAddRange(CVhdxImage* image, uint64_t start, uint64_t length) {
  image->ranges.emplace_back(start, start + length);
}

int VhdxParse(CVhdxImage* image) {
  const int header = ChooseHeader(image);
  if (header != 1) return header;
  VhdxAddRange(image, 0, kFixedAreaBytes);
  if (!ReadRegionTable(image) || !ReadMetadata(image) || !ReadBat(image)) return -1;
  return 1;
}

int VhdxOpen(CImageDocument* document) {
  if (!document || !document->input) return 0;
  auto* image = new (std::nothrow) CVhdxImage{};
  if (!image) return 0;
  image->file = document->input;
  image->fileSize = FileGetSize(document->input);
  const int parsed = VhdxParse(image);
  if (parsed != 1) {
    VhdxClose(image);
    return parsed;
  }
  document->vhdx = image;
  document->diskContext = image;
  document->diskReader = VhdxDiskRead;
  document->readableLimit = static_cast<int64_t>(image->diskSectors);
  return 1;
}

int64_t VhdxMapSectors(void* context, int64_t sector, int64_t count, CVirtualDiskRun* run) {
  auto* image = static_cast<CVhdxImage*>(context);
  if (!image || !run || sector < 0 || count <= 0 || static_cast<uint64_t>(sector) >= image->diskSectors) return 0;
  const uint64_t first = static_cast<uint64_t>(sector);
  const uint64_t limit = std::min<uint64_t>(static_cast<uint64_t>(count), image->diskSectors - first);
  uint64_t n = 0;
  while (n < limit) {
    const uint64_t s = first + n;
    const uint64_t block = s >> image->sectorsPerBlockLog2;
    const uint64_t index = block + (block >> image->chunkRatioLog2);
    const uint64_t k = s & (image->sectorsPerBlock - 1);
    if (index >= image->batEntries) break;
    const uint64_t entry = image->batTable[index];
    CVirtualDiskRun piece{nullptr, 0};
    switch (entry & 7) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 5:
        break;
      case kBlockFullyPresent:
        piece = {image->file, static_cast<int64_t>((entry & ~uint64_t{0xFFFFF}) + k * 512)};
        break;
      default:
        // Partially present blocks belong to differencing disks; their other sectors are in the parent.
        return static_cast<int64_t>(n);
    }
    if (n == 0)
      *run = piece;
    else if (piece.file != run->file || (piece.file && piece.offset != run->offset + static_cast<int64_t>(n * 512)))
      break;
    n += std::min<uint64_t>(image->sectorsPerBlock - k, limit - n);
  }
  return static_cast<int64_t>(n);
}

int64_t VhdxReadSectors(CVhdxImage* image, int64_t sector, void* buffer, int64_t count) {
  if (!image || !buffer || sector < 0 || count <= 0) return 0;
  const uint64_t first = static_cast<uint64_t>(sector);
  if (first > image->diskSectors || static_cast<uint64_t>(count) > image->diskSectors - first) return 0;
  return VirtualDiskReadMapped(image, VhdxMapSectors, sector, buffer, count);
}

void VhdxClose(CVhdxImage* image) { delete image; }
