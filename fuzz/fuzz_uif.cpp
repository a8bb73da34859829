// Any bytes as a UIF image in each of its sector forms: the trailer, the compressed block table and the
// blocks, then reads spread over the image.
#include <clocale>
#include <cstdint>

#include "chunk_input.h"
#include "formats/chunkmap.h"
#include "formats/uif.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CImageDocument* document = FuzzDocument(data, size, L"/nonexistent/fuzz.uif");
  if (!document) return 0;
  for (const int32_t form : {2048, 2352}) {
    if (UifParseImage(document, form, form == 2048 ? 0 : 24) != 0) break;
    FuzzReadMap(document->chunkMap);
    std::vector<uint8_t> sectors(4 * 2048);
    UifReadSectors(document, 15, sectors.data(), 4);
    ChunkMapFree(document->chunkMap);
    document->chunkMap = nullptr;
  }
  ImageClose(document);
  return 0;
}
