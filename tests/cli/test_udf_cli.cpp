// UDF images made by real tools, listed and extracted from the command line: genisoimage's bridge (the UDF tree
// is the one shown) and kestrane's own images, checked against the source trees and 7-Zip.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kTreeTime = 1577934240;

void Sh(const std::string& line) {
  const ProgramResult r = RunShell(line + " 2>&1");
  ASSERT_EQ(r.status, 0) << line << "\n" << r.out;
}

// Long, mixed-case, accented and CJK names, an empty file, nested folders, all dated kTreeTime.
void MakeTree(const std::string& root) {
  WriteFileBytes(root + "/Hello.txt", "hello\n");
  WriteFileBytes(root + "/empty", "");
  WriteFileBytes(root + "/A Rather Long Mixed Case Name.text", std::string(70000, 'q'));
  WriteFileBytes(root + "/caf\xc3\xa9 na\xc3\xafve.txt", "accented");
  WriteFileBytes(root + "/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "cjk");
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes.push_back(static_cast<char>(i * 7 + i / 251));
  WriteFileBytes(root + "/sub/deeper/data.bin", bytes);
  Sh("find '" + root + "' -exec touch -h -d @" + std::to_string(kTreeTime) + " {} +");
}

// Relative paths of every file and folder below `root`.
std::set<std::string> Walk(const std::string& root) {
  std::set<std::string> paths;
  for (const auto& item : fs::recursive_directory_iterator(root)) paths.insert(item.path().lexically_relative(root));
  return paths;
}

// The same files, folders, contents and file times.
void ExpectSameTree(const std::string& source, const std::string& copy) {
  EXPECT_EQ(Walk(source), Walk(copy));
  const ProgramResult diff = RunShell("diff -r '" + source + "' '" + copy + "' 2>&1");
  EXPECT_EQ(diff.status, 0) << diff.out;
  for (const std::string& path : Walk(source)) {
    struct stat a {
    }, b{};
    if (stat((source + "/" + path).c_str(), &a) != 0 || stat((copy + "/" + path).c_str(), &b) != 0) continue;
    if (S_ISREG(a.st_mode)) {
      EXPECT_EQ(a.st_mtime, b.st_mtime) << path;
    }
  }
}

// The paths 7-Zip's UDF reader sees in the image.
std::set<std::string> SevenZipPaths(const std::string& image) {
  const ProgramResult r = RunShell("7zz l -slt -tudf '" + image + "' 2>&1");
  std::set<std::string> paths;
  std::istringstream lines(r.out);
  std::string line;
  bool started = false;
  while (std::getline(lines, line)) {
    if (line == "----------") started = true;
    if (started && line.rfind("Path = ", 0) == 0) paths.insert(line.substr(7));
  }
  return paths;
}

}  // namespace

TEST(UdfCli, GenisoimageBridgeShowsTheUdfTree) {
  const std::string folder = MakeTestFolder("udf_cli_bridge");
  MakeTree(folder + "/src");
  const std::string image = folder + "/g.iso";
  // Plain ISO 9660 names (no Joliet, no Rock Ridge): only the UDF side keeps the long and accented names.
  Sh("LC_ALL=C.UTF-8 genisoimage -quiet -udf -input-charset utf-8 -o '" + image + "' '" + folder + "/src'");
  const ProgramResult listed = RunKestrane({"list", image, "/", "-r"});
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("A Rather Long Mixed Case Name.text"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("2020-01-02 03:04                70,000  A Rather Long Mixed Case Name.text"),
            std::string::npos)
      << listed.out;
  const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", folder + "/out", "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  ExpectSameTree(folder + "/src", folder + "/out");
  EXPECT_EQ(SevenZipPaths(image), Walk(folder + "/out"));
}

// kestrane's own bridge image reads back as its source tree, names and times included.
TEST(UdfCli, OwnBridgeImageReadsBackAsItsSource) {
  const std::string folder = MakeTestFolder("udf_cli_own");
  MakeTree(folder + "/src");
  const std::string bridge = folder + "/bridge.iso";
  ASSERT_EQ(RunKestrane({"create", "-o", bridge, "-udf", "on", "-add", folder + "/src", "/"}).status, 0);
  ASSERT_EQ(RunKestrane({"extract", bridge, "/", "-od", folder + "/out", "-y"}).status, 0);
  ExpectSameTree(folder + "/src", folder + "/out");
  EXPECT_EQ(SevenZipPaths(bridge), Walk(folder + "/out"));
}
