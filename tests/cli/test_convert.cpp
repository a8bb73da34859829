// The convert command between ISO and BIN (+CUE): byte-exact round trips checked by bchunk and by an
// independent sector check, the EDC report of damaged raw sectors, and the targets it refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/cd_reference.h"
#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

// A small ISO with Joliet and Rock Ridge, made by genisoimage at test time.
std::string MakeIso(const std::string& folder) {
  fs::create_directories(folder + "/src/sub");
  std::ofstream(folder + "/src/a.txt") << "alpha\n";
  {
    std::ofstream big(folder + "/src/sub/data.bin", std::ios::binary);
    for (int i = 0; i < 200000; ++i) big.put(static_cast<char>(i * 37 + i / 11));
  }
  const std::string iso = folder + "/t.iso";
  ProgramResult made = RunProgram("/usr/bin/genisoimage", {"-quiet", "-J", "-R", "-o", iso, folder + "/src"});
  EXPECT_EQ(made.status, 0) << made.out;
  return iso;
}

std::string AfterBanner(const ProgramResult& r) {
  std::string banner = kBanner;
  return r.out.compare(0, banner.size(), banner) == 0 ? r.out.substr(banner.size()) : r.out;
}

TEST(Convert, IsoToBinAndBackIsByteExact) {
  const std::string folder = MakeTestFolder("convert_round_trip");
  const std::string iso = MakeIso(folder);
  const std::string bin = folder + "/t.bin";
  ProgramResult r = RunKestrane({"convert", iso, "-o", bin});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Converting image file completed successfully."), std::string::npos) << r.out;
  const std::string isoBytes = ReadFileBytes(iso), binBytes = ReadFileBytes(bin);
  ASSERT_EQ(binBytes.size(), isoBytes.size() / 2048 * 2352);
  // Every sector is a sound Mode 1 sector holding the ISO's bytes, by a checker that shares no code with the
  // codec that wrote it.
  for (size_t s = 0; s < isoBytes.size() / 2048; ++s) {
    const auto* raw = reinterpret_cast<const uint8_t*>(binBytes.data() + s * 2352);
    ASSERT_TRUE(ReferenceMode1SectorOk(raw, static_cast<int64_t>(s))) << "sector " << s;
    ASSERT_EQ(std::memcmp(raw + 16, isoBytes.data() + s * 2048, 2048), 0) << "sector " << s;
  }
  // bchunk reads the sheet and gives the ISO back byte for byte.
  ASSERT_TRUE(fs::exists(folder + "/t.cue"));
  ProgramOptions here;
  here.workDir = folder;
  ProgramResult b = RunProgram("/usr/bin/bchunk", {"t.bin", "t.cue", "back"}, here);
  ASSERT_EQ(b.status, 0) << b.out;
  EXPECT_EQ(ReadFileBytes(folder + "/back01.iso"), isoBytes);
  // And kestrane reads the BIN back to the same ISO, through its sheet and directly.
  for (const std::string& source : {folder + "/t.cue", bin}) {
    const std::string back = folder + "/u.iso";
    fs::remove(back);
    ProgramResult u = RunKestrane({"convert", source, "-o", back});
    ASSERT_EQ(u.status, 0) << u.out;
    EXPECT_EQ(ReadFileBytes(back), isoBytes) << source;
    EXPECT_EQ(u.out.find("EDC error"), std::string::npos) << u.out;
  }
}

TEST(Convert, BinFromA2048ByteTrackGetsA2352ByteSheet) {
  const std::string folder = MakeTestFolder("convert_mode1_2048");
  const std::string iso = MakeIso(folder);
  // The ISO itself described as one MODE1/2048 track.
  { std::ofstream(folder + "/plain.cue") << "FILE \"t.iso\" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n"; }
  ProgramResult r = RunKestrane({"convert", folder + "/plain.cue", "-o", folder + "/out.bin"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(ReadFileBytes(folder + "/out.cue").find("MODE1/2352"), std::string::npos) << ReadFileBytes(folder + "/out.cue");
  ProgramOptions here;
  here.workDir = folder;
  ASSERT_EQ(RunProgram("/usr/bin/bchunk", {"out.bin", "out.cue", "back"}, here).status, 0);
  EXPECT_EQ(ReadFileBytes(folder + "/back01.iso"), ReadFileBytes(iso));
}

TEST(Convert, DamagedRawSectorsAreReported) {
  const std::string folder = MakeTestFolder("convert_edc");
  const std::string iso = MakeIso(folder);
  const std::string bin = folder + "/t.bin";
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", bin}).status, 0);
  std::string bytes = ReadFileBytes(bin);
  auto flip = [&](size_t sector) { bytes[sector * 2352 + 100] ^= 0x01; };
  flip(20);
  { std::ofstream(bin, std::ios::binary) << bytes; }
  ProgramResult one = RunKestrane({"convert", folder + "/t.cue", "-o", folder + "/one.iso"});
  EXPECT_EQ(one.status, 0) << one.out;
  EXPECT_NE(one.out.find("1 EDC error(s) detected!\r\n\r\n1:  sector offset 0x00000014        \r\n"),
            std::string::npos)
      << one.out;
  // Sixteen errors list sixteen lines; seventeen add "...".
  for (size_t s = 21; s < 36; ++s) flip(s);
  { std::ofstream(bin, std::ios::binary) << bytes; }
  ProgramResult sixteen = RunKestrane({"convert", folder + "/t.cue", "-o", folder + "/sixteen.iso"});
  EXPECT_NE(sixteen.out.find("16 EDC error(s) detected!"), std::string::npos) << sixteen.out;
  EXPECT_NE(sixteen.out.find("16:  sector offset 0x00000023"), std::string::npos);
  // (the progress line has its own " ... ": look only at the report)
  EXPECT_EQ(sixteen.out.find("...", sixteen.out.find("detected!")), std::string::npos);
  flip(36);
  { std::ofstream(bin, std::ios::binary) << bytes; }
  ProgramResult seventeen = RunKestrane({"convert", folder + "/t.cue", "-o", folder + "/seventeen.iso"});
  EXPECT_NE(seventeen.out.find("17 EDC error(s) detected!"), std::string::npos) << seventeen.out;
  EXPECT_EQ(seventeen.out.find("17:  sector"), std::string::npos);
  EXPECT_NE(seventeen.out.find("...", seventeen.out.find("detected!")), std::string::npos);
}

TEST(Convert, RefusedTargets) {
  const std::string folder = MakeTestFolder("convert_refused");
  const std::string iso = MakeIso(folder);
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", folder + "/t.bin"}).status, 0);
  const std::string isoBytes = ReadFileBytes(iso), binBytes = ReadFileBytes(folder + "/t.bin");
  struct Case {
    std::vector<std::string> args;
    std::string printed;
  } cases[] = {
      // The output is an input, however it is named.
      {{"convert", iso, "-o", folder + "/./t.iso"}, "The source file name and destination file name can not be same."},
      {{"convert", folder + "/t.cue", "-o", folder + "/t.bin"},
       "The source file name and destination file name can not be same."},
      {{"convert", iso, "-o", folder + "/b.xyz"}, "Unknown output image format."},
      {{"convert", iso}, "Please specify output file name."},
  };
  for (const Case& c : cases) {
    ProgramResult r = RunKestrane(c.args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(AfterBanner(r).find(c.printed), std::string::npos) << r.out;
  }
  EXPECT_EQ(ReadFileBytes(iso), isoBytes);
  EXPECT_EQ(ReadFileBytes(folder + "/t.bin"), binBytes);
  EXPECT_FALSE(fs::exists(folder + "/b.xyz"));
  // An existing target is asked about; end of input keeps it.
  { std::ofstream(folder + "/keep.iso") << "keep"; }
  ProgramResult asked = RunKestrane({"convert", folder + "/t.bin", "-o", folder + "/keep.iso"});
  EXPECT_EQ(asked.status, 1);
  EXPECT_NE(asked.out.find("The file already exists. Do you want to overwrite it?(y/n): "), std::string::npos)
      << asked.out;
  EXPECT_EQ(ReadFileBytes(folder + "/keep.iso"), "keep");
  ProgramResult yes = RunKestrane({"convert", folder + "/t.bin", "-o", folder + "/keep.iso", "-y"});
  EXPECT_EQ(yes.status, 0) << yes.out;
  EXPECT_EQ(ReadFileBytes(folder + "/keep.iso"), isoBytes);
}

// A target that cannot take the whole image (here a file size limit met in the second of three blocks) fails the
// command with the system's reason, whichever thread wrote, and the partial target goes.
TEST(Convert, AWriteThatFailsEndsTheCommandAndRemovesTheTarget) {
  const std::string folder = MakeTestFolder("convert_write_fails");
  fs::create_directories(folder + "/src");
  {
    // Bytes that do not compress, so that the QVF is as large as the others.
    std::ofstream big(folder + "/src/big.bin", std::ios::binary);
    uint64_t state = 88172645463325252u;
    for (int i = 0; i < 10 << 20; ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      big.put(static_cast<char>(state >> 56));
    }
  }
  const std::string iso = folder + "/t.iso";
  ProgramResult made = RunProgram("/usr/bin/genisoimage", {"-quiet", "-o", iso, folder + "/src"});
  ASSERT_EQ(made.status, 0) << made.out;
  for (const char* name : {"x.bin", "x.iso", "x.qvf"}) {
    const std::string target = folder + "/" + name;
    ProgramResult r =
        RunProgram("/bin/bash", {"-c", "trap '' XFSZ; ulimit -f 5120; TZ=UTC exec '" + std::string(KESTRANE_BIN) +
                                           "' convert '" + iso + "' -o '" + target + "'"});
    EXPECT_EQ(r.status, 1) << name << "\n" << r.out;
    EXPECT_NE(r.out.find("File too large: " + target), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("completed successfully"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(target)) << name;
  }
}

}  // namespace
