// UDF images made by real tools, listed and extracted from the command line: genisoimage's bridge (the UDF tree
// is the one shown) and kestrane's own images (one of them UDF-only, with a file over 4 GiB), checked against
// the source trees and 7-Zip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/udf_fill.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kTreeTime = 1577934240;

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

// kestrane's own UDF-only image of a tree holding a file over 4 GiB under a non-ASCII folder: listed with its
// size, extracted back equal with its times. The source file is sparse; its holes stay holes in the image and in
// the extracted copy, so the test moves a few bytes, not gigabytes.
TEST(UdfCli, OwnImageOfAFileOverFourGibReadsBack) {
  const std::string folder = MakeTestFolder("udf_cli_huge");
  const std::string src = folder + "/src";
  MakeTree(src);
  const std::string hugeName =
      "Gr\xc3\xb6\xc3\x9f"
      "e \xe5\xa4\xa7/huge.raw";
  const std::string huge = src + "/" + hugeName;
  constexpr int64_t kHugeSize = (int64_t{5} << 30) + 8;
  Sh("mkdir -p \"$(dirname '" + huge + "')\" && printf head > '" + huge + "' && truncate -s " +
     std::to_string(kHugeSize - 4) + " '" + huge + "' && printf tail >> '" + huge + "' && find '" + src +
     "' -exec touch -h -d @" + std::to_string(kTreeTime) + " {} +");
  const std::string image = folder + "/huge.iso";
  const ProgramResult made = RunKestrane({"create", "-o", image, "-udf", "on", "-add", src, "/"});
  ASSERT_EQ(made.status, 0) << made.out;
  struct stat info {};
  ASSERT_EQ(stat(image.c_str(), &info), 0);
  EXPECT_GT(info.st_size, kHugeSize);
  EXPECT_LT(info.st_blocks * 512, int64_t{64} << 20) << "the source's hole was written out";
  EXPECT_NE(RunShell("isoinfo -d -i '" + image + "' 2>&1").out.find("NOT in ISO 9660"), std::string::npos);

  const ProgramResult listed = RunKestrane({"list", image, "/", "-r"});
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("5,368,709,128  huge.raw"), std::string::npos) << listed.out;
  const std::string out = folder + "/out";
  const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", out, "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  EXPECT_EQ(Walk(src), Walk(out));
  EXPECT_EQ(SevenZipPaths(image), Walk(out));
  Sh("diff -r -x huge.raw '" + src + "' '" + out + "'");
  // The copy equals "head", zeros, "tail": its holes read as zeros, and every stored region is checked (reading
  // the whole file would move gigabytes of zeros).
  {
    const int fd = open((out + "/" + hugeName).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int64_t stored = 0;
    for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0 && at < kHugeSize; at = lseek(fd, at, SEEK_DATA)) {
      const off_t end = lseek(fd, at, SEEK_HOLE);
      ASSERT_GT(end, at);
      std::string bytes(static_cast<size_t>(end - at), '\0');
      ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
      for (size_t i = 0; i < bytes.size(); ++i) {
        const int64_t position = at + static_cast<int64_t>(i);
        const char want = position < 4                ? "head"[position]
                          : position >= kHugeSize - 4 ? "tail"[position - (kHugeSize - 4)]
                                                      : 0;
        ASSERT_EQ(bytes[i], want) << "byte " << position;
      }
      stored += end - at;
      at = end;
    }
    close(fd);
    EXPECT_GT(stored, 0);
  }
  for (const std::string& path : Walk(src)) {
    struct stat a {
    }, b{};
    ASSERT_EQ(stat((out + "/" + path).c_str(), &b), 0) << path;
    ASSERT_EQ(stat((src + "/" + path).c_str(), &a), 0) << path;
    if (S_ISREG(a.st_mode)) {
      EXPECT_EQ(b.st_mtime, kTreeTime) << path;
    }
  }
  ASSERT_EQ(stat((out + "/" + hugeName).c_str(), &info), 0);
  EXPECT_EQ(info.st_size, kHugeSize);
  EXPECT_LT(info.st_blocks * 512, int64_t{64} << 20) << "the image's hole was written out";
}

// mkudffs volumes of each media type and revision it writes, filled by our generator (on write-once media through a
// new allocation table recorded last): udfinfo counts the new files and folders (it has no counts for a 1.50
// write-once volume) and finds the new table, kestrane lists and extracts what the volume held before plus the new
// tree with the entries' times, and 7-Zip (which reads neither a sparable nor a virtual partition) agrees on the
// others.
TEST(UdfCli, MkudffsVolumesFilledByTheGeneratorListAndExtract) {
  if (RunShell("command -v mkudffs && command -v udfinfo && command -v 7zz").status != 0)
    GTEST_SKIP() << "udftools or 7zz missing";
  const std::string folder = MakeTestFolder("udf_cli_mkudffs");
  std::string data;
  for (int i = 0; i < 3 * 2048 + 77; ++i) data.push_back(static_cast<char>(i * 13 + i / 509));
  const std::vector<udffill::Item> items = {
      {"Docs", "", true},
      {"Docs/readme.txt", "hello\n"},
      {"Docs/\xc3\x9c"
       "ber \xe6\x97\xa5\xe6\x9c\xac.txt",
       "non-ASCII name"},
      {"Docs/Deep", "", true},
      {"Docs/Deep/Deeper", "", true},
      {"Docs/Deep/Deeper/data.bin", data},
      {"empty.txt", ""},
      {"top.bin", data.substr(0, 5000)},
  };
  const std::string expected = folder + "/expected";
  for (const udffill::Item& item : items) {
    if (item.directory)
      fs::create_directories(expected + "/" + item.path);
    else
      WriteFileBytes(expected + "/" + item.path, item.data);
  }
  auto count = [](const std::string& info, const std::string& key) {
    const size_t at = info.find(key + "=");
    return at == std::string::npos ? -1 : std::stoi(info.substr(at + key.size() + 1));
  };
  struct Case {
    const char* media;
    const char* revision;
    bool sevenZip;
    bool counted = true;  // udfinfo reports the file and folder counts
    bool writeOnce = false;
  };
  for (const Case& c :
       {Case{"hd", "0x0102", true}, Case{"hd", "0x0150", true}, Case{"hd", "0x0201", true},
        Case{"dvdrw", "0x0150", false}, Case{"dvdrw", "0x0201", false}, Case{"cdr", "0x0150", false, false, true},
        Case{"cdr", "0x0201", false, true, true}, Case{"bdr", "0x0250", false, true, true}}) {
    const std::string name = std::string(c.media) + "_" + c.revision;
    SCOPED_TRACE(name);
    const std::string image = folder + "/" + name + ".img";
    Sh("rm -f '" + image + "' && mkudffs --media-type=" + c.media + " --udfrev=" + c.revision +
       " --blocksize=2048 --label=Filled '" + image + "' 20000 >/dev/null");
    // What the fresh volume holds (a 1.50 rewritable volume has its non-allocatable space file), then the tree.
    const std::string want = folder + "/want_" + name;
    const ProgramResult fresh = RunKestrane({"extract", image, "/", "-od", want, "-y"});
    ASSERT_EQ(fresh.status, 0) << fresh.out;
    Sh("mkdir -p '" + want + "' && cp -a '" + expected + "/.' '" + want + "/'");
    const std::string before = RunShell("udfinfo '" + image + "' 2>&1").out;

    const std::string bytes = ReadFileBytes(image);
    std::vector<uint8_t> volume(bytes.begin(), bytes.end());
    ASSERT_EQ(udffill::Filler(&volume).Fill(items), "");
    WriteFileBytes(image, std::string(volume.begin(), volume.end()));
    const ProgramResult info = RunShell("udfinfo '" + image + "' 2>&1");
    ASSERT_EQ(info.status, 0) << info.out;
    if (c.counted) {
      EXPECT_EQ(count(info.out, "numfiles"), count(before, "numfiles") + 5) << info.out;
      EXPECT_EQ(count(info.out, "numdirs"), count(before, "numdirs") + 3) << info.out;
    }
    if (c.writeOnce) {
      EXPECT_GT(volume.size(), bytes.size());
      EXPECT_EQ(count(info.out, "vatblock"), static_cast<int>(volume.size() / 2048 - 1)) << info.out;
    }
    if (c.sevenZip) {
      EXPECT_EQ(SevenZipPaths(image), Walk(want));
      const std::string sevenZip = folder + "/7z_" + name;
      Sh("7zz x -tudf -y '-o" + sevenZip + "' '" + image + "' >/dev/null");
      Sh("diff -r '" + want + "' '" + sevenZip + "'");
    }

    const ProgramResult listed = RunKestrane({"list", image, "/", "-r"});
    ASSERT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find("6,221  data.bin"), std::string::npos) << listed.out;
    const std::string out = folder + "/out_" + name;
    const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", out, "-y"});
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    EXPECT_EQ(Walk(out), Walk(want));
    Sh("diff -r '" + want + "' '" + out + "'");
    struct stat file {};
    ASSERT_EQ(stat((out + "/Docs/Deep/Deeper/data.bin").c_str(), &file), 0);
    EXPECT_EQ(file.st_mtime, udfgen::Generator::kTime);
  }
}
