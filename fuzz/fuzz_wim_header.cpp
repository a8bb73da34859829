// A whole WIM archive from any bytes: header, lookup table, solid layout, XML, metadata and the directory
// tree, then every file's stream read and checked (nothing written).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "image/document.h"
#include "tree/tree.h"
#include "wim/wim.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("wim", 0);
  if (fd < 0) return 0;
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  FILE* file = fdopen(fd, "rb");
  if (!file) {
    close(fd);
    return 0;
  }
  auto document = std::make_unique<CImageDocument>();
  document->rootEntry = TreeNewEntry();
  document->input = file;
  document->path = L"/nonexistent/fuzz.wim";
  if (WimOpenArchive(document.get(), kWimOpenFirstImage) == 1 && document->rootFolder) {
    std::vector<CTreeFolder*> pending{document->rootFolder};
    size_t files = 0;
    while (!pending.empty() && files < 256) {
      CTreeFolder* folder = pending.back();
      pending.pop_back();
      for (CTreeEntry* entry = folder->firstEntry; entry && files < 256; entry = entry->next, ++files)
        if (!TreeEntryIsFolder(entry)) WimExtractFile(document.get(), entry, nullptr, nullptr);
      for (CTreeFolder* child = folder->firstChild; child; child = child->next) pending.push_back(child);
    }
  }
  TreeFreeDocumentTree(document.get());
  WimClose(document->wim);
  std::fclose(file);
  return 0;
}
