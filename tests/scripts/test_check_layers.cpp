// scripts/check-layers: the repository passes, and each kind of wrong include in a copied tree fails with the
// file and line that break the order.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

namespace {

const std::string kScript = std::string(KESTRANE_SOURCE_DIR) + "/scripts/check-layers";

TEST(CheckLayers, RepositoryKeepsItsLayers) {
  ProgramResult result = RunShell("bash " + kScript + " " + KESTRANE_SOURCE_DIR);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("layers: ok"), std::string::npos);
}

TEST(CheckLayers, RefusesIncludesAgainstTheOrder) {
  struct Case {
    const char* file;
    const char* include;
    const char* expected;  // "" when the include is allowed
  };
  const Case cases[] = {
      {"runtime/a.cpp", "cli/console.h", "src/runtime/a.cpp:3: includes \"cli/console.h\" (up:"},
      {"tree/a.cpp", "builder/iso_writer.h", "src/tree/a.cpp:3: includes \"builder/iso_writer.h\" (up:"},
      {"qvf/a.cpp", "formats/nrg.h", "src/qvf/a.cpp:3: includes \"formats/nrg.h\" (sideways:"},
      {"image/a.h", "session/open.h", "src/image/a.h:3: includes \"session/open.h\" (up:"},
      {"misc/a.cpp", "runtime/ui.h", "src/misc/a.cpp: folder 'misc' has no place"},
      {"session/a.cpp", "qvf/reader.h", ""},
      {"cli/a.cpp", "runtime/ui.h", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string root = MakeTestFolder("check_layers");
    WriteFileBytes(root + "/src/" + c.file, std::string("// a file\n\n#include \"") + c.include + "\"\n");
    ProgramResult result = RunShell("bash " + kScript + " " + root);
    if (*c.expected == 0) {
      EXPECT_EQ(result.status, 0) << result.out;
    } else {
      EXPECT_NE(result.status, 0);
      EXPECT_NE(result.out.find(c.expected), std::string::npos) << result.out;
    }
  }
}

}  // namespace
