// Any bytes as an NRG image: the footer, the chunk list and its chunks, then reads through the NRG row at the
// start, middle and end of every track found. Everything must end without reading outside the bytes.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "formats/nrg.h"
#include "image/document.h"
#include "session/document.h"
#include "image/tracktable.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CNrgState* state = NrgReadStateFromBuffer(data, static_cast<int64_t>(size));
  CTrackTable* table = NrgStateToTrackTable(state, L"/nonexistent/fuzz.nrg");
  NrgFreeState(state);
  if (!table) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  CImageDocument* document = ImageAlloc();
  if (document) document->input = fmemopen(bytes.data(), bytes.size(), "rb");
  if (document && document->input) {
    std::vector<uint8_t> sectors(8 * 2048);
    for (int32_t i = 0; i < table->trackCount; ++i) {
      const CTrackInfo& track = table->tracks[i];
      for (int64_t at : {int64_t{track.start}, int64_t{track.start} + track.length / 2,
                         int64_t{track.start} + track.length - 4})
        NrgReadSectors(document, at, sectors.data(), 8);
    }
  }
  if (document) {
    NrgFree(document->nrg);
    document->nrg = nullptr;
    ImageClose(document);
  }
  TrackTableFree(table);
  return 0;
}
