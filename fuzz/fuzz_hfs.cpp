// Any bytes as an HFS volume, read as a disk partition and as an optical image: find the volume (directly or
// through an Apple partition map), load the whole tree, read every file (whole, and again from an offset). Everything
// must end in bounded time without reading outside what it was given, whatever the header, the maps and the B-trees
// claim.
#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "filesystems/hfs.h"
#include "image/document.h"
#include "runtime/error.h"
#include "session/document.h"
#include "tree/tree.h"

namespace {

void ReadAll(CImageDocument* document) {
  std::vector<uint8_t> buffer;
  std::vector<CTreeFolder*> pending{document->rootFolder};
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    if (!folder) continue;
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (TreeEntryIsFolder(entry) || entry->size <= 0 || entry->size > (int64_t{16} << 20)) continue;
      buffer.resize(static_cast<size_t>(entry->size));
      HfsReadEntryData(document, entry, 0, buffer.data(), entry->size);
      HfsReadEntryData(document, entry, entry->size / 3, buffer.data(), entry->size - entry->size / 3);
    }
    for (CTreeFolder* child = folder->firstChild; child; child = child->next) pending.push_back(child);
  }
}

void Run(FILE* stream, bool optical) {
  CImageDocument* document = ImageAlloc();
  if (!document) return;
  document->input = stream;
  document->quiet = 1;
  document->loadTree = 1;
  if (optical) {
    document->sectorSize = 2048;
    document->inputType = 0;
  } else {
    document->sectorSize = 512;
    document->partitionMapUnit = 512;
  }
  if (HfsOpenVolume(document) == 1 && ImageCreateRoot(document) == 0 && HfsLoadTree(document) == 0) ReadAll(document);
  document->input = nullptr;
  ImageClose(document);
  AbortCodeSet(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("fuzz_hfs", 0);
  if (fd < 0) return 0;
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  FILE* stream = fdopen(fd, "rb");
  if (!stream) {
    close(fd);
    return 0;
  }
  Run(stream, false);
  Run(stream, true);
  std::fclose(stream);
  return 0;
}
