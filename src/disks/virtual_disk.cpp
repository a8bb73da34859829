#include "disks/virtual_disk.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "disks/vdi.h"
#include "disks/vhd.h"
#include "disks/vhdx.h"
#include "disks/vmdk.h"
#include "image/document.h"
#include "runtime/file.h"

int VirtualDiskOpen(CImageDocument* document) {
  if (!document || !document->input) return 0;
  for (int (*open)(CImageDocument*) : {VhdxOpen, VhdOpen, VmdkOpen, VdiOpen}) {
    const int result = open(document);
    if (result == 1) {
      // The map lets copies go straight from the disk file to the output, without passing through reads.
      document->diskMap = document->vhdx   ? VhdxMapSectors
                          : document->vhd  ? VhdMapSectors
                          : document->vmdk ? VmdkMapSectors
                                           : VdiMapSectors;
    }
    if (result != 0) return result;
  }
  return 0;
}

void VirtualDiskClose(CImageDocument* document) {
  if (!document) return;
  VhdClose(document->vhd);
  VhdxClose(document->vhdx);
  VmdkClose(document->vmdk);
  VdiClose(document->vdi);
  document->vhd = nullptr;
  document->vhdx = nullptr;
  document->vmdk = nullptr;
  document->vdi = nullptr;
}

int64_t VirtualDiskUnit(const CImageDocument* document) {
  return document && document->sectorSize > 512 ? document->sectorSize / 512 : 1;
}

bool VirtualDiskReadAt(FILE* file, void* buffer, int64_t offset, size_t n) {
  if (!file || !buffer || offset < 0) return false;
  const int fd = fileno(file);
  if (fd < 0) return FileReadAt(file, buffer, offset, n) == 1;  // a stream without a descriptor (in memory)
  auto* out = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    const ssize_t got = pread(fd, out, n, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    offset += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool CVirtualDiskReadQueue::Add(FILE* file, int64_t offset, uint8_t* out, size_t n) {
  if (length_ > 0 && file == file_ && offset == offset_ + static_cast<int64_t>(length_) && out == out_ + length_) {
    length_ += n;
    return true;
  }
  if (!Flush()) return false;
  file_ = file;
  offset_ = offset;
  out_ = out;
  length_ = n;
  return true;
}

bool CVirtualDiskReadQueue::Flush() {
  if (length_ == 0) return true;
  const bool ok = VirtualDiskReadAt(file_, out_, offset_, length_);
  length_ = 0;
  return ok;
}

int64_t VirtualDiskReadMapped(void* image, VirtualDiskMapper map, int64_t sector, void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  CVirtualDiskReadQueue queue;
  int64_t done = 0;
  while (done < count) {
    CVirtualDiskRun run{nullptr, 0};
    const int64_t n = map(image, sector + done, count - done, &run);
    if (n < 0) return 0;
    if (n == 0) break;
    uint8_t* at = out + done * 512;
    if (!run.file)
      std::memset(at, 0, static_cast<size_t>(n) * 512);
    else if (!queue.Add(run.file, run.offset, at, static_cast<size_t>(n) * 512))
      return 0;
    done += n;
  }
  return queue.Flush() ? done : 0;
}

int64_t VirtualDiskMapBytes(CImageDocument* document, int64_t byte, int64_t length, FILE** file, int64_t* fileByte) {
  if (!document || byte < 0 || length <= 0 || !file || !fileByte) return 0;
  if (!document->diskMap || !document->diskContext) return 0;
  const int64_t skip = byte % 512;
  const int64_t sectors = std::min<int64_t>((skip + length + 511) / 512, INT64_MAX / 1024);
  CVirtualDiskRun run{nullptr, 0};
  const int64_t n = document->diskMap(document->diskContext, byte / 512, sectors, &run);
  if (n <= 0) return 0;
  *file = run.file;
  *fileByte = run.file ? run.offset + skip : 0;
  return std::min(n * 512 - skip, length);
}
