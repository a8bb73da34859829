// The ISO 9660 reader over any bytes: the descriptor set, Rock Ridge detection and the whole directory tree.
// The input holds the image from sector 16 on (the system area before it reads as zeros, the last sector is
// completed with zeros), so that small seeds reach the descriptors; every load must end, without reading
// outside what it was given.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "iso_input.h"
#include "image/sectors.h"
#include "tree/iso9660.h"
#include "tree/tree.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzIsoInput input = FuzzOpenIsoInput(data, size);
  CImageDocument* document = input.document;
  if (!document) return 0;
  if (document->primarySeen || document->highSierra || document->jolietTree) {
    if (IsoLoadTree(document) == 0) {
      CTreeStatistics statistics;
      TreeGetStatistics(document, document->rootFolder, &statistics, 1);
    }
  }
  ImageClose(document);
  return 0;
}
