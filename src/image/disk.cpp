#include "image/disk.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "image/document.h"
#include "runtime/file.h"

namespace {

// Units read at once by byte reads beyond which the work buffer is not kept (8,192 units, as the map asks).
constexpr int64_t kWorkUnits = 8192;

}  // namespace

namespace {

// Reads n sectors that lie one after the other on the disk itself.
int64_t ReadMappedRun(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  const int64_t size = document->sectorSize > 0 ? document->sectorSize : 512;
  if (sector < 0) return 0;
  if (document->diskReader) return document->diskReader(document, sector, buffer, n) == n ? n : 0;
  if (!document->input || sector > INT64_MAX / size || n > (INT64_MAX - sector * size) / size) return 0;
  return FileReadAt(document->input, buffer, sector * size, static_cast<size_t>(n * size)) ? n : 0;
}

}  // namespace

int64_t ImageReadDiskSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0 || sector < 0 || n > INT64_MAX - sector) return 0;
  if (!document->lvmMap) return ReadMappedRun(document, sector, buffer, n);
  // A logical volume's sectors are contiguous only within a segment: each run that stays contiguous on the
  // disk is read on its own.
  const int64_t size = document->sectorSize > 0 ? document->sectorSize : 512;
  auto* out = static_cast<uint8_t*>(buffer);
  for (int64_t done = 0; done < n;) {
    const int64_t first = document->lvmMap(document, sector + done);
    if (first < 0) return 0;
    int64_t run = 1;
    while (done + run < n && document->lvmMap(document, sector + done + run) == first + run) ++run;
    if (ReadMappedRun(document, first, out + done * size, run) != run) return 0;
    done += run;
  }
  return n;
}

void ImageHintDiskBytes(CImageDocument* document, int64_t offset, int64_t length) {
  if (document && document->diskReader && document->diskPrefetch && !document->lvmMap && offset >= 0 && length > 0)
    document->diskPrefetch(document, offset, length);
}

int64_t ImageReadDiskBytes(CImageDocument* document, int64_t offset, void* buffer, int64_t count) {
  if (!document || !buffer || offset < 0 || count <= 0) return 0;
  const int64_t unit = document->partitionMapUnit > 0 ? document->partitionMapUnit : 512;
  const int64_t first = offset / unit;
  const int64_t skip = offset % unit;
  if (count > INT64_MAX - skip - unit) return 0;
  const int64_t units = (skip + count + unit - 1) / unit;
  const int64_t bytes = units * unit;
  const int64_t size = document->sectorSize > 0 ? document->sectorSize : 512;
  // Whole sectors go straight into the caller's buffer.
  if (unit == size && skip == 0 && count % unit == 0)
    return ImageReadDiskSectors(document, first, buffer, units) == units ? count : 0;
  try {
    if (static_cast<int64_t>(document->diskWork.size()) < bytes) document->diskWork.resize(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  uint8_t* work = document->diskWork.data();
  bool ok;
  if (unit == size) {
    ok = ImageReadDiskSectors(document, first, work, units) == units;
  } else {
    // The unit and the disk's sectors differ: read the disk sectors that cover the units.
    const int64_t from = first * unit;
    const int64_t firstSector = from / size;
    const int64_t lastSector = (from + bytes - 1) / size;
    const int64_t sectors = lastSector - firstSector + 1;
    std::vector<uint8_t> raw;
    try {
      raw.resize(static_cast<size_t>(sectors * size));
    } catch (const std::bad_alloc&) {
      return 0;
    }
    ok = ImageReadDiskSectors(document, firstSector, raw.data(), sectors) == sectors;
    if (ok) std::memcpy(work, raw.data() + (from - firstSector * size), static_cast<size_t>(bytes));
  }
  if (!ok) return 0;
  std::memcpy(buffer, work + skip, static_cast<size_t>(count));
  // A one-off large read does not keep its buffer.
  if (units > kWorkUnits) std::vector<uint8_t>().swap(document->diskWork);
  return count;
}

int64_t ImageReadDiskSectors512(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (sector < 0 || n <= 0 || sector > INT64_MAX / 512 || n > INT64_MAX / 512) return 0;
  const int64_t got = ImageReadDiskBytes(document, sector * 512, buffer, n * 512);
  return got > 0 ? got / 512 : got;
}

int64_t ImageVolumeStartByte(const CImageDocument* document) {
  const int64_t unit = document->sectorSize > 0 ? document->sectorSize : 512;
  return document->partitionStart * unit;
}

int64_t ImageVolumeSourceBytes(CImageDocument* document) {
  const int64_t unit = document->sectorSize > 0 ? document->sectorSize : 512;
  if (document->partitionLength > 0) return document->partitionLength * unit;
  int64_t size = document->fileSize;
  if (size <= 0 && document->input && !document->diskReader) size = FileGetSize(document->input);
  if (size <= 0) return INT64_MAX;
  return std::max<int64_t>(0, size - ImageVolumeStartByte(document));
}

int ImageReadVolumeBytes(CImageDocument* document, uint64_t offset, void* buffer, uint64_t count) {
  if (count == 0) return 1;
  if (offset > static_cast<uint64_t>(INT64_MAX / 2) || count > static_cast<uint64_t>(INT64_MAX / 2)) return 0;
  return ImageReadDiskBytes(document, ImageVolumeStartByte(document) + static_cast<int64_t>(offset), buffer,
                            static_cast<int64_t>(count)) == static_cast<int64_t>(count);
}
