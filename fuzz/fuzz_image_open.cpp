// Opening any bytes as an image: format detection over every row of the format table and the descriptor scan,
// mounting, loading the tree, and reading the first sectors of every file. Everything must end, without
// reading outside what it was given, whatever the bytes claim.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "session/open.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "tree/tree.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the name the image goes by, so that each row is tried first in turn.
  static const wchar_t* kNames[] = {L"x.iso", L"x.bin", L"x.mdf", L"x.bwi", L"x.lcd", L"x.fcd",
                                    L"x.cif", L"x.gi",  L"x.cdi", L"x.b5i", L"x.xyz"};
  const wchar_t* name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  std::vector<uint8_t> bytes(data + 1, data + size);
  if (bytes.empty()) return 0;
  FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
  if (!stream) return 0;
  int32_t error = 0;
  CImageDocument* document = ImageOpen(name, nullptr, stream, kOpenLoadTree, 2, &error);
  if (document) {
    std::vector<CTreeFolder*> pending{document->rootFolder};
    std::vector<uint8_t> sector(4 * 2048);
    int reads = 0;
    while (!pending.empty() && reads < 64) {
      CTreeFolder* folder = pending.back();
      pending.pop_back();
      if (!folder) continue;
      for (CTreeEntry* entry = folder->firstEntry; entry && reads < 64; entry = entry->next, ++reads)
        ImageReadSectors(document, entry->sourceLba, sector.data(), 4);
      for (CTreeFolder* child = folder->firstChild; child; child = child->next) pending.push_back(child);
    }
    ImageClose(document);
  }
  ErrorStateReset();
  return 0;
}
