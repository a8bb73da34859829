// Any bytes as an ext2/3/4 volume: open it, walk the whole tree and read every file whole and again from an odd offset,
// in pieces, and ask for the runs the kernel copy would use. Everything must end in bounded time without reading
// outside what it was given, whatever the volume's structures claim.
#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "filesystems/ext.h"
#include "image/document.h"
#include "runtime/error.h"
#include "session/document.h"
#include "tree/tree.h"

namespace {

void Walk(CImageDocument* document) {
  std::vector<uint8_t> buffer(1 << 16);
  std::vector<CTreeFolder*> pending{document->rootFolder};
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    if (!folder) continue;
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (TreeEntryIsFolder(entry)) continue;
      // At most 4 MiB of each file: a hole may make a file of any size.
      const int64_t size = entry->size < (int64_t{4} << 20) ? entry->size : (int64_t{4} << 20);
      for (int64_t at = 0; at < size; at += static_cast<int64_t>(buffer.size())) {
        if (ExtReadFileData(document, entry, at, buffer.data(), static_cast<int64_t>(buffer.size())) <= 0) break;
      }
      ExtReadFileData(document, entry, 3, buffer.data(), 777);
      uint64_t byte = 0;
      ExtFileRun(document, entry, 0, &byte);
    }
    for (CTreeFolder* child = folder->firstChild; child; child = child->next) pending.push_back(child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("fuzz_ext", 0);
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
  CImageDocument* document = ImageAlloc();
  if (!document) {
    std::fclose(stream);
    return 0;
  }
  document->input = stream;
  document->fileSize = static_cast<int64_t>(size);
  document->sectorSize = 512;
  document->quiet = 1;
  document->loadTree = 1;
  if (ExtOpenVolume(document) == 1) Walk(document);
  ImageClose(document);
  AbortCodeSet(0);
  return 0;
}
