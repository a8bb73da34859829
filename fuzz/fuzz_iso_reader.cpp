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
#include "image/sectors.h"
#include "tree/iso9660.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kSystemAreaSectors = 16;
constexpr int kDescriptorSectors = 50;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes((size + 2047) / 2048 * 2048, 0);
  std::memcpy(bytes.data(), data, size);
  FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
  if (!stream) return 0;
  CImageDocument* document = ImageAlloc();
  if (!document) {
    std::fclose(stream);
    return 0;
  }
  document->input = stream;
  document->inputType = kImageTypeIso;
  document->sectorSize = 2048;
  document->headerSize = -kSystemAreaSectors * 2048;
  document->readableLimit = kSystemAreaSectors + static_cast<int64_t>(bytes.size() / 2048);
  document->quiet = 1;

  IsoResetParseState(document);
  uint8_t sector[2048];
  for (int64_t lba = kSystemAreaSectors; lba < kSystemAreaSectors + kDescriptorSectors; ++lba) {
    if (ImageReadSectors(document, lba, sector, 1) != 1) break;
    const int result = IsoParseVolumeDescriptors(document, lba, sector);
    if (result == kIsoDescriptorTerminator || result == kIsoDescriptorHighSierra) break;
  }
  if (document->primarySeen || document->highSierra || document->jolietTree) {
    if (IsoLoadTree(document) == 0) {
      CTreeStatistics statistics;
      TreeGetStatistics(document, document->rootFolder, &statistics, 1);
    }
  }
  ImageClose(document);
  return 0;
}
