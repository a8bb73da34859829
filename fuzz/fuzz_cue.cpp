// The CUE sheet reader over any bytes. Each input is written as a sheet into a folder of its own that holds a
// small binary data file and a small WAVE file, so that sheets naming "a.bin" or "w.wav" reach the track
// layout; other names name nothing. Every parse must end, quietly, without reading outside what it was given.
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/cue_reader.h"
#include "image/tracktable.h"

namespace {

std::string g_folder;
std::wstring g_sheet;

bool WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

void RemoveFolder() {
  for (const char* name : {"/a.bin", "/w.wav", "/sheet.cue"}) unlink((g_folder + name).c_str());
  rmdir(g_folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  char folder[] = "/tmp/fuzz_cue.XXXXXX";
  if (!mkdtemp(folder)) std::abort();
  g_folder = folder;
  std::atexit(RemoveFolder);
  const std::vector<uint8_t> data(2352 * 20, 0);
  if (!WriteFile(g_folder + "/a.bin", data.data(), data.size())) std::abort();
  std::vector<uint8_t> wave(44 + 2352 * 4, 0);
  // RIFF, a PCM "fmt " chunk (2 channels, 44,100 Hz, 16 bits), then the "data" chunk's header.
  std::memcpy(wave.data(), "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0data",
              40);
  const uint32_t samples = 2352 * 4;
  std::memcpy(wave.data() + 40, &samples, 4);
  if (!WriteFile(g_folder + "/w.wav", wave.data(), wave.size())) std::abort();
  const std::string sheet = g_folder + "/sheet.cue";
  g_sheet.assign(sheet.begin(), sheet.end());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(kCueMaxSheetBytes)) return 0;
  const std::string sheet(g_sheet.begin(), g_sheet.end());
  if (!WriteFile(sheet, data, size)) return 0;
  CTrackTable* table = CueParseFile(g_sheet.c_str());
  if (table) {
    TrackLayoutIsValid(table, nullptr);
    TrackTableGetEndSector(table);
  }
  TrackTableFree(table);
  return 0;
}
