// The MDS/MDF and NRG images of make_mds_nrg, made once per test process from an ISO of a small tree and a raw
// audio track, with the bytes they were made from.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_program.h"

struct MdsNrgFixture {
  std::string folder;
  std::string iso;              // the ISO image's path
  std::vector<uint8_t> isoBytes;
  std::vector<uint8_t> audioBytes;
  int64_t dataSectors = 0;      // N: sectors of the ISO
  int64_t audioFrames = 0;      // A: frames of the audio track
  std::string error;            // why the images could not be made
};

inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

inline std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The images, made by the first test of the process that asks, in build/test-output/mds_nrg-<that test's name>
// (tests may run as processes of their own, side by side): an ISO of about 2.5 MB (more than one 1 MiB read of
// raw sectors) and 120 audio frames of a counting pattern.
inline const MdsNrgFixture& MdsNrgFixtureGet() {
  static const MdsNrgFixture fixture = [] {
    MdsNrgFixture f;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    f.folder = MakeTestFolder(std::string("mds_nrg-") + (test ? test->test_suite_name() : "") + "." +
                              (test ? test->name() : ""));
    const std::string tree = f.folder + "/tree";
    std::filesystem::create_directories(tree + "/docs");
    std::ofstream(tree + "/readme.txt") << "optical images\n";
    {
      std::ofstream big(tree + "/docs/data.bin", std::ios::binary);
      for (int i = 0; i < 2500000; ++i) big.put(static_cast<char>(i * 131 + i / 4099));
    }
    f.iso = f.folder + "/image.iso";
    ProgramOptions options;
    options.env = {"SOURCE_DATE_EPOCH=1700000000"};
    ProgramResult made = RunProgram("/usr/bin/genisoimage", {"-quiet", "-J", "-R", "-o", f.iso, tree}, options);
    if (made.status != 0) {
      f.error = "genisoimage (scripts/setup installs it): " + made.out;
      return f;
    }
    const std::string audio = f.folder + "/audio.raw";
    for (int i = 0; i < 120 * 2352; ++i) f.audioBytes.push_back(static_cast<uint8_t>(i * 7 + i / 2352));
    WriteWholeFile(audio, f.audioBytes);
    ProgramResult generated = RunProgram(MAKE_MDS_NRG_BIN, {f.iso, audio, f.folder});
    if (generated.status != 0) {
      f.error = "make_mds_nrg: " + generated.out;
      return f;
    }
    f.isoBytes = ReadWholeFile(f.iso);
    f.dataSectors = static_cast<int64_t>(f.isoBytes.size() / 2048);
    f.audioFrames = 120;
    return f;
  }();
  return fixture;
}
