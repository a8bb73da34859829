// Shared by the CUE sheet fuzz targets: a private folder holding a small binary data file ("a.bin") and a small
// WAVE file ("w.wav") that sheets may name, and the sheet each input is written to; the folder goes when the
// process ends.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/cue_reader.h"
#include "image/tracktable.h"

inline bool FuzzWriteFile(const std::string& path, const void* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

// Makes the folder from a mkdtemp pattern ("/tmp/NAME.XXXXXX") with its two files, and returns the sheet's path;
// aborts when it cannot.
inline std::wstring FuzzMakeCueFolder(const char* pattern) {
  static std::string folder;
  std::vector<char> name(pattern, pattern + std::strlen(pattern) + 1);
  if (!mkdtemp(name.data())) std::abort();
  folder = name.data();
  std::atexit([] {
    for (const char* file : {"/a.bin", "/w.wav", "/sheet.cue"}) unlink((folder + file).c_str());
    rmdir(folder.c_str());
  });
  const std::vector<uint8_t> data(2352 * 20, 0);
  if (!FuzzWriteFile(folder + "/a.bin", data.data(), data.size())) std::abort();
  std::vector<uint8_t> wave(44 + 2352 * 4, 0);
  // RIFF, a PCM "fmt " chunk (2 channels, 44,100 Hz, 16 bits), then the "data" chunk's header.
  std::memcpy(wave.data(), "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0data", 40);
  const uint32_t samples = 2352 * 4;
  std::memcpy(wave.data() + 40, &samples, 4);
  if (!FuzzWriteFile(folder + "/w.wav", wave.data(), wave.size())) std::abort();
  const std::string sheet = folder + "/sheet.cue";
  return std::wstring(sheet.begin(), sheet.end());
}

// Writes one input as the sheet and reads it: the track table, or null (also for an input longer than a sheet may
// be, or when it cannot be written).
inline CTrackTable* FuzzParseCueInput(const std::wstring& sheetPath, const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(kCueMaxSheetBytes)) return nullptr;
  if (!FuzzWriteFile(std::string(sheetPath.begin(), sheetPath.end()), data, size)) return nullptr;
  return CueParseFile(sheetPath.c_str());
}
