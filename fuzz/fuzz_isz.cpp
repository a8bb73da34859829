// Any bytes as an ISZ image: the header, the scrambled tables and the chunks they describe, then reads spread
// over the image (encrypted images with a fixed key).
#include <clocale>
#include <cstdint>
#include <string>

#include "chunk_input.h"
#include "formats/isz.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CImageDocument* document = FuzzDocument(data, size, L"/nonexistent/fuzz.isz");
  if (!document) return 0;
  int32_t keyLength = 0;
  std::wstring failed;
  if (IszParseHeader(document, &keyLength, &failed) == 0) {
    if (keyLength) IszSetPassword(document->chunkMap, "fuzz", keyLength);
    FuzzReadMap(document->chunkMap);
  }
  ImageClose(document);
  return 0;
}
