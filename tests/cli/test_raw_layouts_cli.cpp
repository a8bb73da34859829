// Every optical layout of the format table opens and lists exactly like the ISO it was made from, and extracts
// the same files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/run_program.h"

namespace {

std::string Listing(const std::string& image) {
  ProgramResult r = RunKestrane({"list", image, "/", "-r"});
  EXPECT_EQ(r.status, 0) << image << "\n" << r.out;
  return r.out;
}

TEST(RawLayoutsCli, EveryRowListsAndExtractsLikeTheIso) {
  const std::string folder = MakeTestFolder("raw_layouts_cli");
  const std::string tree = folder + "/src";
  std::filesystem::create_directories(tree + "/docs/deep");
  std::ofstream(tree + "/readme.txt") << "read me\n";
  {
    std::ofstream big(tree + "/docs/deep/data.bin", std::ios::binary);
    for (int i = 0; i < 300000; ++i) big.put(static_cast<char>(i * 131 + i / 7));
  }
  std::ofstream(tree + "/docs/Caf\xc3\xa9.txt") << "accent\n";
  const std::string iso = folder + "/image.iso";
  ProgramOptions quiet;
  quiet.env = {"SOURCE_DATE_EPOCH=1700000000"};
  ProgramResult made = RunProgram("/usr/bin/genisoimage", {"-quiet", "-J", "-R", "-o", iso, tree}, quiet);
  ASSERT_EQ(made.status, 0) << "genisoimage (scripts/setup installs it): " << made.out;
  ProgramResult layouts = RunProgram(MAKE_RAW_LAYOUTS_BIN, {iso, folder});
  ASSERT_EQ(layouts.status, 0) << layouts.out;

  const std::string expected = Listing(iso);
  ASSERT_NE(expected.find("data.bin"), std::string::npos) << expected;
  int checked = 0;
  for (const auto& file : std::filesystem::directory_iterator(folder)) {
    std::string name = file.path().filename().string();
    if (name.rfind("row", 0) != 0 && name.rfind("scan", 0) != 0) continue;
    if (name.find(".cue") != std::string::npos) continue;
    EXPECT_EQ(Listing(file.path().string()), expected) << name;
    ++checked;
  }
  EXPECT_GE(checked, 15);

  // Extraction through a raw layout gives the source tree back.
  const std::string out = folder + "/out";
  ProgramResult extracted = RunKestrane({"extract", folder + "/row09.mdf", "/", "-od", out});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  EXPECT_EQ(RunProgram("/usr/bin/diff", {"-r", tree, out}).status, 0);
}

}  // namespace
