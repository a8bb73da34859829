// Mac volumes from the command line: HFS+ and HFSX volumes of our generator (tests/fixtures/make_hfsplus.cpp),
// hybrid CDs of genisoimage -hfs (with and without an Apple partition map) and xorriso -hfsplus, HFS volumes
// of hformat/hcopy, and the same volumes inside partitioned disks. 7zz, hls and hcopy are the oracles; the
// damaged volumes must end with a message and status 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

const std::string kDir = std::string(KESTRANE_BUILD_DIR) + "/test-output/hfs-fixtures";

bool HaveTools() {
  return RunShell(
             "command -v hformat && command -v hcopy && command -v hls && command -v genisoimage && "
             "command -v xorriso && command -v 7zz && command -v sfdisk")
             .status == 0;
}

// The small tree the CD tools and hcopy are given (ASCII names: HFS+ stores names decomposed).
void MakeSourceTree(const std::string& root) {
  WriteFileBytes(root + "/hello.txt", "hello\n");
  WriteFileBytes(root + "/empty", "");
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes.push_back(static_cast<char>(i * 7 + i / 251));
  WriteFileBytes(root + "/sub/deeper/data.bin", bytes);
  WriteFileBytes(root + "/sub/Mixed Case Name.text", std::string(70000, 'q'));
}

// Puts a volume image into a disk with an MBR whose one partition of type `type` starts at sector 2048.
void MakeMbrDisk(const std::string& volume, const std::string& disk, const std::string& type) {
  Sh("rm -f '" + disk + "' && truncate -s $(( $(stat -c %s '" + volume + "') + 2 * 1048576 )) '" + disk + "'");
  Sh("printf 'label: dos\\nstart=2048, type=" + type + "\\n' | sfdisk -q '" + disk + "'");
  Sh("dd if='" + volume + "' of='" + disk + "' bs=1M seek=1 conv=notrunc status=none");
}

// What the fixtures are made from: a new generator or a change of this file makes them again.
std::string FixtureKey() {
  std::string key;
  for (const std::string& input :
       {std::string(MAKE_HFSPLUS_BIN), std::string(KESTRANE_SOURCE_DIR) + "/tests/cli/test_hfs_cli.cpp"}) {
    struct stat st;
    if (stat(input.c_str(), &st) != 0) return "";
    key += input + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return key;
}

std::string MakeAll();

// Makes the fixtures once for all the test processes that run at the same time (under a lock, remembered by a
// stamp); "" when they are there, else what failed.
std::string MakeFixtures() {
  static const std::string result = []() -> std::string {
    RunShell("mkdir -p '" + kDir + "'");
    const int lock = open((kDir + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) return "cannot lock " + kDir + ".lock";
    const std::string key = FixtureKey();
    std::string error;
    if (key.empty() || ReadFileBytes(kDir + "/made-from") != key) {
      error = MakeAll();
      if (error.empty()) WriteFileBytes(kDir + "/made-from", key);
    }
    close(lock);
    return error;
  }();
  return result;
}

// Makes every fixture.
std::string MakeAll() {
  return [] {
    auto run = [](const std::string& line) -> std::string {
      const ProgramResult r = RunShell(line + " 2>&1");
      return r.status == 0 ? std::string() : line + "\n" + r.out;
    };
    const std::string gen = MAKE_HFSPLUS_BIN;
    std::string failed = run("rm -rf '" + kDir + "' && mkdir -p '" + kDir + "'");
    const std::string d = "'" + kDir + "/";
    for (const char* line : {" std.img", " hfsx.img --hfsx", " wrapper.img --wrapper", " apm2048.img --apm 2048",
                             " node-size.img --damage node-size", " offsets.img --damage offsets",
                             " index-loop.img --damage index-loop", " leaf-height.img --damage leaf-height",
                             " extents-past.img --damage extents-past", " map-loop.img --damage map-loop"}) {
      const std::string spec = line;
      const size_t space = spec.find(' ', 1);
      const std::string name = spec.substr(1, space == std::string::npos ? std::string::npos : space - 1);
      const std::string options = space == std::string::npos ? "" : spec.substr(space);
      if (failed.empty()) failed = run(gen + " " + d + name + "'" + options);
    }
    MakeSourceTree(kDir + "/src");
    const std::string src = d + "src'";
    if (failed.empty()) failed = run("find " + src + " -exec touch -h -d @1577934240 {} +");
    // Hybrid CDs, and copies whose ISO 9660 descriptors are wiped so that the Mac volume is all there is.
    if (failed.empty())
      failed = run("cd " + d + "' && xorriso -as mkisofs -quiet -hfsplus -V XMAC -o xhfsplus.iso src");
    if (failed.empty()) failed = run("cd " + d + "' && genisoimage -quiet -hfs -V GMAC -o ghfs.iso src");
    if (failed.empty()) failed = run("cd " + d + "' && genisoimage -quiet -hfs -part -V GPART -o ghfspart.iso src");
    for (const char* iso : {"xhfsplus", "ghfs", "ghfspart"}) {
      const std::string from = d + iso + ".iso'", to = d + "mac-" + iso + ".iso'";
      if (failed.empty())
        failed = run("cp " + from + " " + to + " && dd if=/dev/zero of=" + to +
                     " bs=2048 seek=16 count=4 conv=notrunc status=none");
    }
    // An HFS volume of hformat: a folder of 300 files, a name with a slash and one with a Mac OS Roman letter.
    const std::string hfs = d + "old.hfs'";
    if (failed.empty())
      failed = run("cd " + d + "' && export HOME=" + d +
                   "' && dd if=/dev/zero of=old.hfs bs=1M count=6 status=none && "
                   "hformat -l 'Old Mac' old.hfs >/dev/null && hmount old.hfs >/dev/null && hmkdir :Many && "
                   "hmkdir :Folder && hcopy -r src/hello.txt ':Folder:a/b' && hcopy -r src/hello.txt \":Caf$(printf "
                   "'\\216')\" && hcopy -r src/sub/deeper/data.bin :Folder:data.bin && mkdir -p many && "
                   "for i in $(seq 100 399); do echo \"file $i\" > many/f$i.txt; done && hcopy -r many/* :Many: && "
                   "humount");
    if (failed.empty()) {
      MakeMbrDisk(kDir + "/std.img", kDir + "/mbr-hfsplus.img", "af");
      MakeMbrDisk(kDir + "/old.hfs", kDir + "/mbr-hfs.img", "af");
    }
    if (failed.empty()) failed = run("7zz x -thfs -y -o" + d + "oracle' " + d + "std.img' >/dev/null");
    return failed;
  }();
}

#define REQUIRE_FIXTURES()                                                             \
  do {                                                                                 \
    if (!HaveTools()) GTEST_SKIP() << "hfsutils, genisoimage, xorriso or 7zz missing"; \
    const std::string failed = MakeFixtures();                                         \
    ASSERT_TRUE(failed.empty()) << failed;                                             \
  } while (0)

ProgramResult Kestrane(const std::vector<std::string>& args) {
  ProgramOptions options;
  options.timeoutSeconds = 60;
  return RunKestrane(args, options);
}

// Our generator's volume, direct, in an HFS wrapper, behind an Apple partition map of 2048-byte blocks and in a
// partition of a disk: the same tree and the same bytes as 7zz gives, hard links with the content of their file,
// decmpfs files decompressed.
TEST(HfsCli, GeneratedVolumesMatch7zip) {
  REQUIRE_FIXTURES();
  for (const char* image : {"std.img", "wrapper.img", "apm2048.img", "mbr-hfsplus.img"}) {
    SCOPED_TRACE(image);
    const std::string path = kDir + "/" + image;
    const ProgramResult listed = Kestrane({"list", path, "/", "-r", "-y"});
    ASSERT_EQ(listed.status, 0) << listed.out;
    for (const char* line :
         {"2020-01-02 03:04               163,740  frag.bin", "200,000  zfork.bin", "3,010  zinline.txt",
          "15  link1.txt", "5,000  readme.txt", "9  f299.txt", "3,145,728  zeros.bin", "311 Files, 4 Folders"})
      EXPECT_NE(listed.out.find(line), std::string::npos) << line << "\n" << listed.out;
    EXPECT_EQ(listed.out.find("Private Data"), std::string::npos) << "the hard links' folder stays hidden";

    const std::string out = kDir + "/out-" + image;
    Sh("rm -rf '" + out + "'");
    const ProgramResult extracted = Kestrane({"extract", path, "/", "-od", out, "-y"});
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    // 7zz leaves hard links empty and shows the private folder; everything else must be identical.
    Sh("diff -r -x 'link*' -x '*Private Data*' '" + kDir + "/oracle/KestraneHFS' '" + out + "'");
    EXPECT_EQ(ReadFileBytes(out + "/link1.txt"), "shared content\n");
    EXPECT_EQ(ReadFileBytes(out + "/docs/link2.txt"), "shared content\n");
    Sh("test \"$(stat -c %Y '" + out + "/frag.bin')\" = 1577934245");
  }
}

TEST(HfsCli, HfsxKeepsNamesThatDifferInCase) {
  REQUIRE_FIXTURES();
  const std::string out = kDir + "/out-hfsx";
  Sh("rm -rf '" + out + "'");
  const ProgramResult extracted = Kestrane({"extract", kDir + "/hfsx.img", "/", "-od", out, "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  EXPECT_EQ(ReadFileBytes(out + "/a"), "lower\n");
  EXPECT_EQ(ReadFileBytes(out + "/A"), "upper\n");
  EXPECT_EQ(ReadFileBytes(out + "/hello.txt"), "Hello, HFS+\n");
}

// On a hybrid CD the ISO 9660 tree is shown; a CD with the Mac volume alone shows the Mac tree, with or
// without an Apple partition map in front of it.
TEST(HfsCli, HybridCds) {
  REQUIRE_FIXTURES();
  struct Case {
    const char* iso;
    const char* isoName;  // how the ISO 9660 tree names hello.txt
  } cases[] = {{"xhfsplus", "hello.txt"}, {"ghfs", "HELLO.TXT"}, {"ghfspart", "HELLO.TXT"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iso);
    const ProgramResult hybrid = Kestrane({"list", kDir + "/" + c.iso + ".iso", "/"});
    ASSERT_EQ(hybrid.status, 0) << hybrid.out;
    EXPECT_NE(hybrid.out.find(std::string(" ") + c.isoName + "\r\n"), std::string::npos) << hybrid.out;

    const std::string mac = kDir + "/mac-" + c.iso + ".iso";
    const ProgramResult listed = Kestrane({"list", mac, "/", "-r"});
    ASSERT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find(" hello.txt\r\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("70,000  Mixed Case Name.text"), std::string::npos) << listed.out;
    const std::string out = kDir + "/out-mac-" + c.iso;
    Sh("rm -rf '" + out + "'");
    const ProgramResult extracted = Kestrane({"extract", mac, "/", "-od", out});
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    // genisoimage adds the Finder's desktop files to an HFS volume.
    Sh("diff -r -x 'Desktop D?' '" + kDir + "/src' '" + out + "'");
  }
}

// hformat's HFS volume, read as an image of its own and from a partition of a disk: names as hls shows them
// (Mac OS Roman decoded, '/' as ':'), bytes as hcopy gives them.
TEST(HfsCli, HformatVolumesMatchHfsutils) {
  REQUIRE_FIXTURES();
  const std::string oracle = kDir + "/hcopy";
  Sh("rm -rf '" + oracle + "' && mkdir -p '" + oracle + "' && cd '" + kDir + "' && export HOME='" + kDir +
     "' && hmount old.hfs >/dev/null && hcopy -r :Folder:data.bin '" + oracle +
     "/data.bin' && "
     "hls -1 :Many > '" +
     oracle + "/many.txt' && humount");
  for (const char* image : {"old.hfs", "mbr-hfs.img"}) {
    SCOPED_TRACE(image);
    const ProgramResult listed = Kestrane({"list", kDir + "/" + image, "/", "-r", "-y"});
    ASSERT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find(" a:b\r\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(" Caf\xc3\xa9\r\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("300 Files, 2 Folders"), std::string::npos) << listed.out;
    const std::string out = kDir + "/out-" + image;
    Sh("rm -rf '" + out + "'");
    const ProgramResult extracted = Kestrane({"extract", kDir + "/" + image, "/", "-od", out, "-y"});
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    EXPECT_EQ(ReadFileBytes(out + "/Folder/data.bin"), ReadFileBytes(oracle + "/data.bin"));
    EXPECT_EQ(ReadFileBytes(out + "/Folder/data.bin").size(), 300000u);
    Sh("test \"$(ls '" + out + "/Many')\" = \"$(cat '" + oracle + "/many.txt')\"");
    EXPECT_EQ(ReadFileBytes(out + "/Many/f399.txt"), "file 399\n");
  }
  // The disk's partition list names the file system and the volume.
  const ProgramResult disk = Kestrane({"list", kDir + "/mbr-hfs.img", "/", "-y"});
  EXPECT_NE(disk.out.find("Old Mac"), std::string::npos) << disk.out;
}

// Damaged volumes end with the system's message and status 1, in bounded time.
TEST(HfsCli, DamagedVolumesFailCleanly) {
  REQUIRE_FIXTURES();
  Sh("head -c 600000 '" + kDir + "/std.img' > '" + kDir + "/truncated.img'");
  struct Case {
    const char* image;
    const char* command;
    const char* message;
  } cases[] = {
      {"node-size.img", "list", "The file format is invalid or unsupported."},
      {"offsets.img", "list", "The file format is invalid or unsupported."},
      {"index-loop.img", "list", "The file format is invalid or unsupported."},
      {"leaf-height.img", "list", "The file format is invalid or unsupported."},
      {"map-loop.img", "list", "The file format is invalid or unsupported."},
      {"extents-past.img", "extract", "Extract failed!"},
      {"truncated.img", "extract", "Extract failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const std::string out = kDir + "/out-damaged";
    Sh("rm -rf '" + out + "'");
    std::vector<std::string> args = {c.command, kDir + "/" + c.image, "/"};
    if (std::string(c.command) == "extract") args.insert(args.end(), {"-od", out});
    ProgramOptions options;
    options.timeoutSeconds = 20;
    const ProgramResult r = RunKestrane(args, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  }
}

}  // namespace
