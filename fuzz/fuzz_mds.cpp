// Any bytes as an MDS descriptor: the track blocks, extra blocks and the data file's name are all read from
// offsets the bytes give. The parse must end, without reading outside them, and free what it made.
#include <clocale>
#include <cstdint>

#include "formats/mds.h"
#include "image/tracktable.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CTrackTable* table = MdsParseBuffer(data, static_cast<int64_t>(size), L"/nonexistent/fuzz.mds");
  TrackTableFree(table);
  return 0;
}
