// The Xbox (XDVDFS) reader over any bytes: the input is the image from sector 32 on (the sectors before it read
// as zeros, the last one is completed with zeros), so the descriptor comes first; the directory trees are walked
// whole and must end without reading outside what they were given.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "filesystems/xbox.h"
#include "image/document.h"
#include "session/document.h"
#include "tree/tree.h"
#include "volume_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int64_t kSkipped = 32;
  if (size == 0) return 0;
  std::vector<uint8_t> bytes((size + 2047) / 2048 * 2048, 0);
  std::memcpy(bytes.data(), data, size);
  CImageDocument* document = FuzzVolumeDocument(bytes.data(), bytes.size(), 2048);
  if (!document) return 0;
  document->inputType = kImageTypeIso;
  document->headerSize = -kSkipped * 2048;
  document->readableLimit = kSkipped + static_cast<int64_t>(bytes.size() / 2048);
  if (ImageProbeXboxDisc(document) && ImageCreateRoot(document) == 0) {
    XdvdfsReadTree(document, document->rootFolder, document->xboxRootSector, document->xboxRootSize);
    CTreeStatistics statistics;
    TreeGetStatistics(document, document->rootFolder, &statistics, 1);
  }
  ImageClose(document);
  return 0;
}
