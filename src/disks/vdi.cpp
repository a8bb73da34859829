#include "disks/vdi.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "disks/virtual_disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"

namespace {

constexpr uint32_t kSignature = 0xBEDA107Fu;
constexpr uint32_t kUnallocated = 0xFFFFFFFFu;
constexpr uint32_t kZeroBlock = 0xFFFFFFFEu;
constexpr uint32_t kDifferencing = 4;
constexpr size_t kPreHeaderBytes = 72;

int64_t VdiDiskRead(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  const int64_t per = VirtualDiskUnit(document);
  if (sector > INT64_MAX / per || n > INT64_MAX / per) return 0;
  return VdiReadSectors(static_cast<CVdiImage*>(document->diskContext), sector * per, buffer, n * per) / per;
}

bool PowerOfTwoAtLeast2(uint32_t v) { return v >= 2 && (v & (v - 1)) == 0; }

}  // namespace

int32_t VdiLog2(uint32_t value) {
  if (value < 2 || (value & (value - 1)) != 0) return 0;
  int32_t bits = 0;
  while ((value >>= 1) != 0) ++bits;
  return bits;
}

int VdiParse(CVdiImage* image, int64_t fileSize) {
  uint8_t bytes[kPreHeaderBytes + 400] = {};
  if (fileSize < static_cast<int64_t>(kPreHeaderBytes) || !VirtualDiskReadAt(image->file, bytes, 0, kPreHeaderBytes))
    return 0;
  ByteReader pre(bytes, kPreHeaderBytes);
  if (pre.U32LEAt(64) != kSignature) return 0;
  image->version = pre.U32LEAt(68);
  const bool newHeader = (image->version >> 16) == 1;
  if (image->version != 2 && !newHeader) return -1;
  size_t headerBytes = newHeader ? 384 : 348;
  if (!VirtualDiskReadAt(image->file, bytes + kPreHeaderBytes, kPreHeaderBytes, headerBytes)) return -1;
  ByteReader h(bytes + kPreHeaderBytes, 400);
  if (newHeader) {
    const uint32_t size = h.U32LEAt(0);
    if (size < 384) return -1;
    if (size > 399 && !VirtualDiskReadAt(image->file, bytes + kPreHeaderBytes, kPreHeaderBytes, 400)) return -1;
    image->imageType = h.U32LEAt(4);
    image->imageFlags = h.U32LEAt(8);
    image->blockMapOffset = h.U32LEAt(268);
    image->dataOffset = h.U32LEAt(272);
    image->diskSize = h.U64LEAt(296);
    image->blockSize = h.U32LEAt(304);
    image->extraBytes = h.U32LEAt(308);
    image->blockCount = h.U32LEAt(312);
    image->allocatedBlocks = h.U32LEAt(316);
    if (image->blockMapOffset < 456 || image->dataOffset < image->blockMapOffset + uint64_t{image->blockCount} * 4)
      return -1;
  } else {
    image->imageType = h.U32LEAt(0);
    image->imageFlags = h.U32LEAt(4);
    image->diskSize = h.U64LEAt(280);
    image->blockSize = h.U32LEAt(288);
    image->extraBytes = 0;
    image->blockCount = h.U32LEAt(292);
    image->allocatedBlocks = h.U32LEAt(296);
    image->blockMapOffset = 420;
    image->dataOffset = 420 + uint64_t{image->blockCount} * 4;
  }
  if (!h.ok()) return -1;
  // Differencing disks need their parent; undo and other kinds are not disks of their own.
  if (image->imageType < 1 || image->imageType > 4 || image->imageType == kDifferencing) return -1;
  if (image->imageFlags > 1) return -1;
  if (image->diskSize == 0 || image->blockCount == 0 || image->blockSize < 512 || !PowerOfTwoAtLeast2(image->blockSize))
    return -1;
  if (image->blockCount < image->allocatedBlocks) return -1;
  if (image->extraBytes != 0 && !PowerOfTwoAtLeast2(image->extraBytes)) return -1;
  if (uint64_t{image->blockCount} * image->blockSize < image->diskSize || image->diskSize % 512 != 0) return -1;
  image->blockMask = image->blockSize - 1;
  image->blockShift = VdiLog2(image->blockSize);
  image->blockStride = uint64_t{image->extraBytes} + image->blockSize;
  const uint64_t mapBytes = uint64_t{image->blockCount} * 4;
  const uint64_t size = static_cast<uint64_t>(fileSize);
  if (image->blockMapOffset > size || mapBytes > size - image->blockMapOffset) return -1;
  std::vector<uint8_t> raw;
  std::vector<uint8_t> seen;
  try {
    raw.resize(static_cast<size_t>(mapBytes));
    image->blockMap.resize(image->blockCount);
    seen.assign(image->allocatedBlocks / 8 + 1, 0);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (!VirtualDiskReadAt(image->file, raw.data(), static_cast<int64_t>(image->blockMapOffset), raw.size())) return -1;
  // Each data block is used by one disk block, and lies inside the file (the last one may end early when the disk
  // ends inside it).
  const uint64_t usedBlocks = (image->diskSize + image->blockSize - 1) / image->blockSize;
  for (uint32_t n = 0; n < image->blockCount; ++n) {
    const uint32_t entry = LoadU32LE(raw.data() + size_t{n} * 4);
    image->blockMap[n] = entry;
    if (entry == kUnallocated || entry == kZeroBlock || n >= usedBlocks) continue;
    if (entry >= image->allocatedBlocks) return -1;
    if (seen[entry / 8] & (1u << (entry % 8))) return -1;
    seen[entry / 8] |= static_cast<uint8_t>(1u << (entry % 8));
    const uint64_t at = image->dataOffset + image->extraBytes + uint64_t{entry} * image->blockStride;
    const uint64_t bytes = std::min<uint64_t>(image->blockSize, image->diskSize - uint64_t{n} * image->blockSize);
    if (at > size || bytes > size - at) return -1;
  }
  return 1;
}

int VdiOpen(CImageDocument* document) {
  if (!document || !document->input) return 0;
  auto* image = new (std::nothrow) CVdiImage{};
  if (!image) return 0;
  image->file = document->input;
  const int parsed = VdiParse(image, FileGetSize(document->input));
  if (parsed != 1) {
    VdiClose(image);
    return parsed;
  }
  document->vdi = image;
  document->diskContext = image;
  document->diskReader = VdiDiskRead;
  document->readableLimit = static_cast<int64_t>(image->diskSize / 512);
  return 1;
}

int64_t VdiMapSectors(void* context, int64_t sector, int64_t count, CVirtualDiskRun* run) {
  auto* image = static_cast<CVdiImage*>(context);
  const uint64_t total = image ? image->diskSize / 512 : 0;
  if (!image || !run || sector < 0 || count <= 0 || static_cast<uint64_t>(sector) >= total) return 0;
  const uint64_t limit = std::min<uint64_t>(static_cast<uint64_t>(count), total - static_cast<uint64_t>(sector));
  uint64_t n = 0;
  while (n < limit) {
    const uint64_t position = (static_cast<uint64_t>(sector) + n) * 512;
    const uint64_t block = position >> image->blockShift;
    const uint64_t inBlock = position & image->blockMask;
    if (block >= image->blockCount) return -1;
    const uint32_t entry = image->blockMap[block];
    CVirtualDiskRun piece{nullptr, 0};
    if (entry != kUnallocated && entry != kZeroBlock)
      piece = {image->file, static_cast<int64_t>(image->dataOffset + image->extraBytes +
                                                 uint64_t{entry} * image->blockStride + inBlock)};
    if (n == 0)
      *run = piece;
    else if (piece.file != run->file || (piece.file && piece.offset != run->offset + static_cast<int64_t>(n * 512)))
      break;
    n += std::min<uint64_t>((image->blockSize - inBlock) / 512, limit - n);
  }
  return static_cast<int64_t>(n);
}

int64_t VdiReadSectors(CVdiImage* image, int64_t sector, void* buffer, int64_t count) {
  if (!image || !buffer || sector < 0 || count <= 0) return 0;
  const uint64_t total = image->diskSize / 512;
  if (static_cast<uint64_t>(sector) > total || static_cast<uint64_t>(count) > total - static_cast<uint64_t>(sector))
    return 0;
  return VirtualDiskReadMapped(image, VdiMapSectors, sector, buffer, count) == count ? count : 0;
}

void VdiClose(CVdiImage* image) { delete image; }
