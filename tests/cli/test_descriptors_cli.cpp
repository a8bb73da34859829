// Images described by MDS and NRG descriptors list and extract through the program exactly like the ISO their
// data track holds, whether the user names the descriptor or the data file.
#include <gtest/gtest.h>

#include <string>

#include "formats/mds_nrg_fixture.h"
#include "support/run_program.h"

namespace {

// The listing after the banner, without the totals lines: a mixed-mode disc adds its audio to them.
std::string Entries(const ProgramResult& r) {
  std::string kept;
  size_t at = 0;
  while (at < r.out.size()) {
    size_t end = r.out.find('\n', at);
    if (end == std::string::npos) end = r.out.size() - 1;
    std::string line = r.out.substr(at, end - at + 1);
    if (line.find(" Files, ") == std::string::npos && line.rfind("Total:", 0) != 0) kept += line;
    at = end + 1;
  }
  return kept;
}

TEST(DescriptorsCli, EveryDescriptorListsLikeTheIso) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_TRUE(f.error.empty()) << f.error;
  ProgramResult iso = RunKestrane({"list", f.iso, "/", "-r"});
  ASSERT_EQ(iso.status, 0) << iso.out;
  for (const char* name : {"data.mds", "data.mdf", "mixed.mds", "mixed.mdf", "dao_nero.nrg", "dao_ner5.nrg",
                           "dao_raw.nrg", "tao_etnf.nrg", "tao_etn2.nrg"}) {
    ProgramResult r = RunKestrane({"list", f.folder + "/" + name, "/", "-r"});
    EXPECT_EQ(r.status, 0) << name << "\n" << r.out;
    EXPECT_EQ(Entries(r), Entries(iso)) << name;
  }
}

// The NRG image is a mixed-mode disc: its files go to Data, its audio track (titled "Song") to Audio.
TEST(DescriptorsCli, ExtractionThroughAnNrgImageGivesTheFilesAndTheAudio) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_TRUE(f.error.empty()) << f.error;
  const std::string out = MakeTestFolder("descriptors_extract") + "/out";
  ProgramResult r = RunKestrane({"extract", f.folder + "/dao_ner5.nrg", "/", "-od", out});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(RunProgram("/usr/bin/diff", {"-r", f.folder + "/tree", out + "/Data"}).status, 0);
  const std::string wav = ReadFileBytes(out + "/Audio/02-Song.wav");
  const size_t data = wav.find("data");
  ASSERT_NE(data, std::string::npos);
  EXPECT_TRUE(wav.substr(data + 8) == std::string(f.audioBytes.begin(), f.audioBytes.end()));
}

}  // namespace

// A sheet written on a system that ignores case names "CDDA.BIN" for the file "cdda.bin" beside it: the one file
// that matches ignoring case is taken; with two case-variants of the name the sheet is refused as when the file
// is missing.
TEST(DescriptorsCli, ASheetsNameMatchesTheOneFileThatDiffersOnlyInCase) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_TRUE(f.error.empty()) << f.error;
  const std::string folder = MakeTestFolder("cue_case");
  ProgramResult made = RunKestrane({"convert", f.iso, "-o", folder + "/made.bin"});
  ASSERT_EQ(made.status, 0) << made.out;
  ASSERT_EQ(RunShell("mv '" + folder + "/made.bin' '" + folder + "/cdda.bin'").status, 0);
  WriteFileBytes(folder + "/upper.cue", "FILE \"CDDA.BIN\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n");
  ProgramResult iso = RunKestrane({"list", f.iso, "/", "-r"});
  ProgramResult upper = RunKestrane({"list", folder + "/upper.cue", "/", "-r"});
  EXPECT_EQ(upper.status, 0) << upper.out;
  EXPECT_EQ(Entries(upper), Entries(iso));

  ASSERT_EQ(RunShell("cp '" + folder + "/cdda.bin' '" + folder + "/Cdda.bin'").status, 0);
  ProgramResult twice = RunKestrane({"list", folder + "/upper.cue", "/", "-r"});
  EXPECT_EQ(twice.status, 1) << twice.out;
  EXPECT_EQ(twice.out.find("Objects in /"), std::string::npos) << twice.out;
}
