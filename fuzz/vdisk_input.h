// Shared by the virtual-disk fuzz targets: the input as a file with a descriptor (the readers use pread), opened
// by one format's reader, then read the way the partition and file-system probes would: the first sectors,
// sectors spread over the disk, and a long run.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/disk.h"
#include "image/document.h"
#include "session/document.h"

inline void FuzzVirtualDisk(const uint8_t* data, size_t size, int (*open)(CImageDocument*), const wchar_t* path) {
  const int fd = memfd_create("vdisk", 0);
  if (fd < 0) return;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return;
  }
  FILE* stream = fdopen(fd, "rb");
  if (!stream) {
    close(fd);
    return;
  }
  CImageDocument* document = ImageAlloc();
  if (!document) {
    std::fclose(stream);
    return;
  }
  document->input = stream;
  document->path = path;
  document->sectorSize = 512;
  if (open(document) == 1) {
    const int64_t sectors = document->readableLimit;
    std::vector<uint8_t> buffer(512 * 256);
    for (int64_t at : {int64_t{0}, sectors / 3, sectors / 2, sectors - 256, sectors - 1}) {
      if (at < 0) continue;
      ImageReadDiskSectors(document, at, buffer.data(), std::min<int64_t>(256, sectors - at));
      ImageReadDiskSectors(document, at, buffer.data(), 1);
    }
  }
  ImageClose(document);
}
