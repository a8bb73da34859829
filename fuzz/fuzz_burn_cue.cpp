// What a burn makes of any CUE sheet: the sheet is read as in fuzz_cue (a folder with a small binary file and a
// small WAVE file that sheets may name), then its track table is turned into the cue sheet a recorder gets and its
// CD-TEXT into lead-in packs. Every table must give either no sheet or one whose entries are whole, whose times
// fit the MSF range and rise, and whose lead-out comes last.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "burner/cdwrite.h"
#include "burner/jobs.h"
#include "cue_folder.h"
#include "formats/cdtext.h"
#include "formats/cue_reader.h"
#include "image/tracktable.h"

namespace {

std::wstring g_sheet;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  g_sheet = FuzzMakeCueFolder("/tmp/fuzz_burn_cue.XXXXXX");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CTrackTable* table = FuzzParseCueInput(g_sheet, data, size);
  if (!table) return 0;
  if (CdTextIsPresent(table) && CdTextConvertStrings(table) && CdTextBuildPacks(table)) {
    if (table->cdTextSubchannel.size() % 96 != 0) std::abort();
  }
  static CBurnJob job{};
  std::vector<uint8_t> cue;
  if (BurnJobBuildCueSheet(&job, table, 1, &cue)) {
    if (cue.size() < 24 || cue.size() % 8 != 0) std::abort();
    int64_t previous = -1;
    for (size_t at = 0; at < cue.size(); at += 8) {
      const uint8_t* e = &cue[at];
      if ((e[0] & 0x0F) != 1) continue;
      if (e[5] > 99 || e[6] > 59 || e[7] > 74) std::abort();
      const int64_t frames = (e[5] * 60 + e[6]) * 75 + e[7];
      if (frames < previous) std::abort();
      previous = frames;
      if (e[1] == 0xAA && at + 8 != cue.size()) std::abort();
    }
    if (cue[cue.size() - 7] != 0xAA) std::abort();
  }
  TrackTableFree(table);
  return 0;
}
