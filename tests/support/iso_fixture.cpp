#include "support/iso_fixture.h"

#include <gtest/gtest.h>

#include "support/run_program.h"

std::string MakeGenisoimageIso(const std::string& folder, const IsoFixture& fixture) {
  const std::string tree = folder + "/tree-" + fixture.name;
  std::string big(fixture.bigBytes, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  WriteFileBytes(tree + "/big.bin", big);
  WriteFileBytes(tree + "/docs/readme.txt", fixture.readme);
  ProgramResult touched =
      RunProgram("/usr/bin/touch", {"-d", "@1700000000", tree + "/big.bin", tree + "/docs/readme.txt"});
  EXPECT_EQ(touched.status, 0) << touched.out;
  const std::string iso = folder + "/" + fixture.name;
  std::vector<std::string> args = {"-quiet", "-J", "-R"};
  if (fixture.xorriso) args.insert(args.begin(), {"-as", "mkisofs"});
  args.insert(args.end(), fixture.options.begin(), fixture.options.end());
  args.insert(args.end(), {"-o", iso, tree});
  ProgramOptions quiet;
  quiet.env = {"SOURCE_DATE_EPOCH=1700000000"};
  const std::string tool = fixture.xorriso ? "xorriso" : "genisoimage";
  ProgramResult made = RunProgram("/usr/bin/" + tool, args, quiet);
  EXPECT_EQ(made.status, 0) << tool << " (scripts/setup installs it): " << made.out;
  return iso;
}
