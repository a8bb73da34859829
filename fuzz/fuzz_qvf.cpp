// Any bytes as a QVF or QDI stream (also appended to other data or behind a self-extractor): the header, the
// typed blocks (volumes, comment, partition selection, password check), the index in each of its stored forms,
// then chunks read one by one, in a range, and in sequence so that chunks are decoded ahead. Everything must
// end without reading outside what it was given, whatever the bytes claim.
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "qvf/container.h"
#include "qvf/reader.h"
#include "runtime/error.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  CImageDocument* document = ImageAlloc();
  if (!document) return 0;
  document->path = L"/nonexistent/fuzz.part001.qvf";
  document->input = fmemopen(bytes.data(), bytes.size(), "rb");
  if (document->input) {
    CQvfContext* context = QvfOpenReader(document, document->input, 1);
    document->qvf = context;
    // Chunks are read only up to 4 MiB each (larger ones take the same road), so that runs stay quick.
    if (context && context->chunkCount > 0 && context->chunkSize <= (4u << 20)) {
      const uint64_t chunks = 6;
      for (uint64_t chunk : {uint64_t{0}, context->chunkCount / 2, context->chunkCount - 1}) QvfReadChunk(context, chunk);
      const uint64_t perChunk = std::max<uint32_t>(1, context->sectorsPerChunk);
      std::vector<uint8_t> out(static_cast<size_t>(perChunk * context->sectorSize));
      for (uint64_t i = 0, sector = 1; i < chunks && sector < context->sectorCount; ++i) {
        const uint64_t n = std::min(perChunk, context->sectorCount - sector);
        if (QvfReadRange(context, sector, n, out.data()) != static_cast<int64_t>(n)) break;
        sector += n;
      }
    }
  }
  ImageClose(document);
  ErrorStateReset();
  return 0;
}
