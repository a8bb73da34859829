// Any bytes as a DMG: the trailer, the property list and its base64 block tables, the chunks they describe,
// then reads spread over the image. The bytes are also parsed as a property list on their own.
#include <clocale>
#include <cstdint>
#include <vector>

#include "chunk_input.h"
#include "formats/dmg.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<CDmgBlockTable> tables;
  DmgParsePlist(reinterpret_cast<const char*>(data), size, &tables);
  CImageDocument* document = FuzzDocument(data, size, L"/nonexistent/fuzz.dmg");
  if (!document) return 0;
  if (DmgLoadChunkMap(document) == 0) FuzzReadMap(document->chunkMap);
  ImageClose(document);
  return 0;
}
