// The CUE sheet reader over any bytes. Each input is written as a sheet into a folder of its own that holds a
// small binary data file and a small WAVE file, so that sheets naming "a.bin" or "w.wav" reach the track
// layout; other names name nothing. Every parse must end, quietly, without reading outside what it was given.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cue_folder.h"
#include "formats/cue_reader.h"
#include "image/tracktable.h"

namespace {

std::wstring g_sheet;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  g_sheet = FuzzMakeCueFolder("/tmp/fuzz_cue.XXXXXX");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CTrackTable* table = FuzzParseCueInput(g_sheet, data, size);
  if (table) {
    TrackLayoutIsValid(table, nullptr);
    TrackTableGetEndSector(table);
  }
  TrackTableFree(table);
  return 0;
}
