#include "disks/vhd.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "disks/virtual_disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"

namespace {

constexpr uint32_t kUnallocated = 0xFFFFFFFFu;
constexpr uint32_t kFixed = 2;
constexpr uint32_t kDynamic = 3;
constexpr uint32_t kDifferencing = 4;
constexpr uint32_t kMaxBlockSize = 1u << 31;

int64_t VhdDiskRead(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  const int64_t per = VirtualDiskUnit(document);
  if (sector > INT64_MAX / per || n > INT64_MAX / per) return 0;
  return VhdReadSectors(static_cast<CVhdImage*>(document->diskContext), sector * per, buffer, n * per) / per;
}

bool LoadBitmap(CVhdImage* image, uint32_t block) {
  if (image->bitmapBlock == block) return true;
  image->bitmapBlock = -1;
  if (!VirtualDiskReadAt(image->file, image->bitmap.data(), int64_t{image->bat[block]} * 512, image->bitmap.size()))
    return false;
  image->bitmapBlock = block;
  return true;
}

bool BitSet(const uint8_t* bitmap, uint32_t k) { return (bitmap[k >> 3] >> (7 - (k & 7))) & 1; }

}  // namespace

int VhdParse(CVhdImage* image, int64_t fileSize) {
  if (fileSize < 512) return 0;
  uint8_t footerBytes[512];
  if (!VirtualDiskReadAt(image->file, footerBytes, fileSize - 512, 512)) return 0;
  ByteReader footer(footerBytes, sizeof footerBytes);
  if (footer.Chars(8) != "conectix") return 0;
  const uint64_t dataOffset = footer.U64BEAt(16);
  const uint64_t currentSize = footer.U64BEAt(48);
  const uint32_t type = footer.U32BEAt(60);
  if (type != kFixed && type != kDynamic) return -1;  // differencing disks need their parent; unknown kinds
  image->footerPosition = fileSize - 512;
  image->currentSize = currentSize;
  if (currentSize % 512 != 0) return -1;
  if (type == kFixed) {
    image->kind = 2;
    return currentSize <= static_cast<uint64_t>(image->footerPosition) ? 1 : -1;
  }
  image->kind = 1;
  if (dataOffset > static_cast<uint64_t>(fileSize) || fileSize - static_cast<int64_t>(dataOffset) < 1024) return -1;
  uint8_t headerBytes[1024];
  if (!VirtualDiskReadAt(image->file, headerBytes, static_cast<int64_t>(dataOffset), sizeof headerBytes)) return -1;
  ByteReader header(headerBytes, sizeof headerBytes);
  if (header.Chars(8) != "cxsparse") return -1;
  image->batOffset = header.U64BEAt(16);
  image->batEntries = header.U32BEAt(28);
  image->blockSize = header.U32BEAt(32);
  const uint32_t bs = image->blockSize;
  if (bs < 4096 || bs > kMaxBlockSize || (bs & (bs - 1)) != 0) return -1;
  image->sectorsPerBlock = bs / 512;
  image->bitmapBytes = bs / 4096;
  image->bitmapSectors = (image->bitmapBytes + 511) / 512;
  // The table must cover the disk and lie inside the file.
  const uint64_t blocksNeeded = (currentSize + bs - 1) / bs;
  if (image->batEntries < blocksNeeded) return -1;
  const uint64_t batBytes = uint64_t{image->batEntries} * 4;
  if (image->batOffset > static_cast<uint64_t>(fileSize) ||
      batBytes > static_cast<uint64_t>(fileSize) - image->batOffset)
    return -1;
  try {
    image->bat.resize(image->batEntries);
    image->bitmap.assign(size_t{image->bitmapSectors} * 512, 0);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  std::vector<uint8_t> raw;
  try {
    raw.resize(static_cast<size_t>(batBytes));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (!raw.empty() && !VirtualDiskReadAt(image->file, raw.data(), static_cast<int64_t>(image->batOffset), raw.size()))
    return -1;
  // Every allocated block that the disk uses must lie whole inside the file.
  const uint64_t blockBytes = uint64_t{image->bitmapSectors} * 512 + bs;
  for (uint32_t n = 0; n < image->batEntries; ++n) {
    const uint32_t entry = LoadU32BE(raw.data() + size_t{n} * 4);
    image->bat[n] = entry;
    if (entry == kUnallocated || n >= blocksNeeded) continue;
    const uint64_t at = uint64_t{entry} * 512;
    if (at > static_cast<uint64_t>(fileSize) || blockBytes > static_cast<uint64_t>(fileSize) - at) return -1;
  }
  return 1;
}

int VhdOpen(CImageDocument* document) {
  if (!document || !document->input) return 0;
  auto* image = new (std::nothrow) CVhdImage{};
  if (!image) return 0;
  image->file = document->input;
  const int parsed = VhdParse(image, FileGetSize(document->input));
  if (parsed != 1) {
    VhdClose(image);
    return parsed;
  }
  document->vhd = image;
  document->diskContext = image;
  document->diskReader = VhdDiskRead;
  document->readableLimit = static_cast<int64_t>(image->currentSize / 512);
  return 1;
}

int64_t VhdMapSectors(void* context, int64_t sector, int64_t count, CVirtualDiskRun* run) {
  auto* image = static_cast<CVhdImage*>(context);
  const uint64_t total = image ? image->currentSize / 512 : 0;
  if (!image || !run || sector < 0 || count <= 0 || static_cast<uint64_t>(sector) >= total) return 0;
  const uint64_t limit = std::min<uint64_t>(static_cast<uint64_t>(count), total - static_cast<uint64_t>(sector));
  if (image->kind == 2) {
    *run = {image->file, sector * 512};
    return static_cast<int64_t>(limit);
  }
  uint64_t n = 0;
  while (n < limit) {
    const uint64_t s = static_cast<uint64_t>(sector) + n;
    const uint32_t block = static_cast<uint32_t>(s / image->sectorsPerBlock);
    const uint32_t k = static_cast<uint32_t>(s % image->sectorsPerBlock);
    const uint64_t step = std::min<uint64_t>(image->sectorsPerBlock - k, limit - n);
    if (block >= image->batEntries) break;
    const uint32_t entry = image->bat[block];
    CVirtualDiskRun piece{nullptr, 0};
    uint64_t length = step;
    if (entry != kUnallocated) {
      if (!LoadBitmap(image, block)) return -1;
      const uint8_t* bitmap = image->bitmap.data();
      const bool present = BitSet(bitmap, k);
      length = 1;
      while (length < step && BitSet(bitmap, k + static_cast<uint32_t>(length)) == present) ++length;
      if (present) piece = {image->file, (int64_t{entry} + image->bitmapSectors + k) * 512};
    }
    if (n == 0)
      *run = piece;
    else if (piece.file != run->file || (piece.file && piece.offset != run->offset + static_cast<int64_t>(n * 512)))
      break;
    n += length;
  }
  return static_cast<int64_t>(n);
}

int64_t VhdReadSectors(CVhdImage* image, int64_t sector, void* buffer, int64_t count) {
  if (!image || !buffer || sector < 0 || count <= 0) return 0;
  const uint64_t total = image->currentSize / 512;
  if (static_cast<uint64_t>(sector) > total || static_cast<uint64_t>(count) > total - static_cast<uint64_t>(sector))
    return 0;
  return VirtualDiskReadMapped(image, VhdMapSectors, sector, buffer, count);
}

void VhdClose(CVhdImage* image) { delete image; }
