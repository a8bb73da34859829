// The UDF reader over any bytes: recognition, anchor, descriptor sequences, partition maps, allocation tables,
// metadata files, the whole directory tree and every file's first sectors. UDF puts its anchor at sector 256, so
// the input is a list of sectors rather than an image: records of a 32-bit sector number (below 4,096) and up to
// 2,048 bytes of that sector; sectors not named read as zeros. Every mount and walk must end without reading
// outside what it was given.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "filesystems/udf.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/byte_reader.h"
#include "session/document.h"
#include "tree/tree.h"
#include "volume_input.h"

namespace {

constexpr uint32_t kMaxSectors = 4096;
constexpr int64_t kSectorsReadPerFile = 64;

void ReadFiles(CImageDocument* document) {
  std::vector<CTreeFolder*> pending{document->rootFolder};
  std::vector<uint8_t> buffer(2048);
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    if (!folder) continue;
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      int64_t budget = kSectorsReadPerFile;
      for (int32_t i = 0; i < entry->extentCount && budget > 0; ++i) {
        const CTreeExtent& extent = entry->extents[i];
        for (int64_t s = 0; s * 2048 < extent.length && budget > 0; ++s, --budget)
          ImageReadSectors(document, extent.lba + s, buffer.data(), 1);
      }
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
  std::vector<uint8_t> image;
  for (size_t at = 0; at + 4 <= size;) {
    const uint32_t sector = LoadU32LE(data + at) % kMaxSectors;
    at += 4;
    const size_t n = size - at < 2048 ? size - at : 2048;
    if (image.size() < (size_t{sector} + 1) * 2048) image.resize((size_t{sector} + 1) * 2048, 0);
    std::memcpy(image.data() + size_t{sector} * 2048, data + at, n);
    at += n;
  }
  if (image.size() < 257 * 2048) image.resize(257 * 2048, 0);
  CImageDocument* document = FuzzVolumeDocument(image.data(), image.size(), 2048);
  if (!document) return 0;
  document->inputType = kImageTypeIso;
  document->readableLimit = static_cast<int64_t>(image.size() / 2048);
  UdfMount(document, 0, 1);
  if (UdfIsMounted(document) && UdfLoadTree(document) == 0) {
    CTreeStatistics statistics;
    TreeGetStatistics(document, document->rootFolder, &statistics, 1);
    ReadFiles(document);
  }
  ImageClose(document);
  return 0;
}
