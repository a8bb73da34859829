// ext2/3/4 volumes from the command line: images made by mke2fs (tests/fixtures/make_ext_fixtures.sh, once per
// build folder) listed and extracted, compared with their source tree, with debugfs' rdump and with
// sleuthkit's fls; damaged copies must end with a message and exit status 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/listed_paths.h"
#include "support/lvm_disk.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

namespace fs = std::filesystem;

const std::string kScript = std::string(KESTRANE_SOURCE_DIR) + "/tests/fixtures/make_ext_fixtures.sh";

std::string FixtureKey() {
  struct stat st;
  if (stat(kScript.c_str(), &st) != 0) return "";
  return std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

// The fixture folder, made under a lock by the first test that needs it; "" and a reason when it cannot be.
const std::string& FixtureError();
const std::string& Fixtures() {
  static const std::string dir = std::string(KESTRANE_BUILD_DIR) + "/fixtures/ext";
  return dir;
}
const std::string& FixtureError() {
  static const std::string error = [] {
    if (RunShell("command -v mke2fs && command -v debugfs && command -v fls && command -v sfdisk && "
                 "command -v sgdisk")
            .status != 0)
      return std::string("e2fsprogs, sleuthkit, fdisk or gdisk missing (scripts/setup installs them)");
    const std::string dir = Fixtures();
    fs::create_directories(fs::path(dir).parent_path());
    const int lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) return "cannot lock " + dir + ".lock";
    std::string why;
    const std::string key = FixtureKey();
    if (key.empty() || ReadFileBytes(dir + "/made-from") != key) {
      fs::remove_all(dir);
      ProgramOptions slow;
      slow.timeoutSeconds = 600;
      const ProgramResult made = RunProgram("/bin/bash", {kScript, dir}, slow);
      if (made.status != 0)
        why = "make_ext_fixtures.sh failed:\n" + made.out;
      else
        WriteFileBytes(dir + "/made-from", key);
    }
    close(lock);
    return why;
  }();
  return error;
}

#define REQUIRE_FIXTURES()                                       \
  do {                                                           \
    if (!FixtureError().empty()) GTEST_SKIP() << FixtureError(); \
  } while (0)

// One line per file and folder below `root`: kind, size, modification time and a digest of the data. A symbolic
// link counts as a file holding its target, which is how extraction gives it back.
struct Node {
  bool folder = false;
  bool link = false;
  size_t size = 0;
  int64_t mtime = 0;
  size_t digest = 0;
};

std::map<std::string, Node> Describe(const std::string& root) {
  std::map<std::string, Node> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string path = it->path().string();
    const std::string rel = path.substr(root.size());
    if (rel.rfind("/lost+found", 0) == 0 || rel == "/made-from") continue;
    struct stat st;
    lstat(path.c_str(), &st);
    Node node;
    std::string data;
    node.folder = S_ISDIR(st.st_mode);
    node.link = S_ISLNK(st.st_mode);
    if (node.link)
      data = fs::read_symlink(it->path()).string();
    else if (!node.folder)
      data = ReadFileBytes(path);
    node.size = data.size();
    node.mtime = st.st_mtime;
    node.digest = std::hash<std::string>{}(data);
    out[rel] = node;
  }
  return out;
}

// Compares an extracted tree with what it should be; `linkTimes` false when the expected tree's links do not
// carry their times (debugfs does not set them).
void ExpectSameTree(const std::map<std::string, Node>& got, const std::map<std::string, Node>& expected,
                    bool linkTimes = true) {
  EXPECT_EQ(got.size(), expected.size());
  for (const auto& [path, want] : expected) {
    auto it = got.find(path);
    if (it == got.end()) {
      ADD_FAILURE() << path << " missing";
      continue;
    }
    const Node& node = it->second;
    EXPECT_EQ(node.folder, want.folder) << path;
    EXPECT_EQ(node.size, want.size) << path;
    EXPECT_EQ(node.digest, want.digest) << path;
    if (!want.link || linkTimes) EXPECT_EQ(node.mtime, want.mtime) << path;
  }
}

std::string Image(const std::string& name) { return Fixtures() + "/" + name; }

}  // namespace

// Every layout mke2fs makes gives back its source tree: names, data, holes, links and times.
TEST(ExtCli, EveryLayoutExtractsItsSourceTree) {
  REQUIRE_FIXTURES();
  struct Case {
    const char* image;
    const char* tree;
  };
  const Case cases[] = {{"ext2.img", "tree"},    {"ext3.img", "small"},     {"ext4.img", "tree"},
                        {"inline.img", "small"}, {"indirect.img", "small"}, {"meta.img", "small"},
                        {"b1024.img", "small"},  {"b4096.img", "small"},    {"i128.img", "small"},
                        {"i256.img", "small"},   {"rev0.img", "small"}};
  const std::string folder = MakeTestFolder("ext_layouts");
  const auto small = Describe(Image("small"));
  const auto tree = Describe(Image("tree"));
  // mke2fs 1.47 with inline data stores sparse.bin without its trailing hole (debugfs stat agrees: 4,200,448
  // bytes), and debugfs' own dump writes inline files as 60 bytes, so that volume is held to its source cut there.
  auto inlineTree = small;
  const std::string cut = ReadFileBytes(Image("small/sparse.bin")).substr(0, 4200448);
  inlineTree["/sparse.bin"].size = cut.size();
  inlineTree["/sparse.bin"].digest = std::hash<std::string>{}(cut);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const std::string out = folder + "/" + c.image;
    const ProgramResult r = RunKestrane({"extract", Image(c.image), "/", "-od", out, "-y"}, Patient());
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string name = c.image;
    ExpectSameTree(Describe(out), name == "inline.img" ? inlineTree : std::string(c.tree) == "tree" ? tree : small);
    RunShell("rm -rf '" + out + "'");
  }
}

// The list agrees with sleuthkit's fls, the extracted files with debugfs' rdump.
TEST(ExtCli, AgreesWithFlsAndDebugfs) {
  REQUIRE_FIXTURES();
  const std::string folder = MakeTestFolder("ext_oracles");
  const ProgramResult listed = RunKestrane({"list", Image("ext4.img"), "/", "-r"}, Patient());
  ASSERT_EQ(listed.status, 0) << listed.out;
  std::set<std::string> ours = ListedPaths(listed.out);
  const ProgramResult fls = RunShell("fls -r -p '" + Image("ext4.img") + "'");
  ASSERT_EQ(fls.status, 0) << fls.out;
  std::set<std::string> theirs;
  std::istringstream in(fls.out);
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.rfind("V/V", 0) == 0) continue;
    theirs.insert("/" + line.substr(tab + 1) + (line[0] == 'd' ? "/" : ""));
  }
  EXPECT_EQ(ours.size(), theirs.size());
  EXPECT_EQ(ours, theirs);
  EXPECT_TRUE(ours.count("/many/file-10000.txt"));

  Sh("mkdir -p '" + folder + "/rdump' && debugfs -R 'rdump / " + folder + "/rdump' '" + Image("ext4.img") + "'");
  const ProgramResult extracted =
      RunKestrane({"extract", Image("ext4.img"), "/", "-od", folder + "/ours", "-y"}, Patient());
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  ExpectSameTree(Describe(folder + "/ours"), Describe(folder + "/rdump"), false);
  // A short link's target is its data.
  EXPECT_EQ(ReadFileBytes(folder + "/ours/short-link"), "hello.txt");
}

// A 300 MB file spread over 1,500 gaps (an extent tree of two index levels), and a file whose unwritten
// extents lie inside its size, read outside the kernel's copy too (a tmpfs output).
TEST(ExtCli, FragmentedAndUnwrittenExtents) {
  REQUIRE_FIXTURES();
  ASSERT_NE(RunShell("debugfs -R 'ex /big.bin' '" + Image("frag.img") + "' 2>/dev/null").out.find(" 0/ 2 "),
            std::string::npos);
  const ProgramResult listed = RunKestrane({"list", Image("frag.img"), "/"}, Patient());
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("314,572,800  big.bin"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("50,000  prealloc.bin"), std::string::npos) << listed.out;
  std::vector<std::string> outputs{MakeTestFolder("ext_fragmented")};
  if (RunShell("test -d /dev/shm -a -w /dev/shm").status == 0)
    outputs.push_back("/dev/shm/kestrane-ext-" + std::to_string(getpid()));
  for (const std::string& out : outputs) {
    SCOPED_TRACE(out);
    const ProgramResult r = RunKestrane({"extract", Image("frag.img"), "/", "-od", out, "-y"}, Patient());
    EXPECT_EQ(r.status, 0) << r.out;
    Sh("yes 'kestrane ext fixture big 0123456789abcdefghijklmnopqrstuvwxyz' | tr -d '\\n' | head -c 314572800 | "
       "cmp - '" +
       out + "/big.bin'");
    EXPECT_EQ(ReadFileBytes(out + "/prealloc.bin"), "hello\n" + std::string(49994, '\0'));
    struct stat st;
    ASSERT_EQ(stat((out + "/big.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1577934240);
    RunShell("rm -rf '" + out + "'");
  }
}

TEST(ExtCli, FiveGibSparseFileShowsItsSize) {
  REQUIRE_FIXTURES();
  const ProgramResult listed = RunKestrane({"list", Image("huge.img"), "/"}, Patient());
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("5,368,709,120  five-gib.bin"), std::string::npos) << listed.out;
  const std::string out = MakeTestFolder("ext_huge");
  const ProgramResult r = RunKestrane({"extract", Image("huge.img"), "/end.txt", "-od", out, "-y"}, Patient());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(out + "/end.txt"), "tail");
}

// The volume inside an MBR and a GPT partition: the partition list names it, extraction gives the tree.
TEST(ExtCli, VolumesInMbrAndGptPartitions) {
  REQUIRE_FIXTURES();
  const auto expected = Describe(Image("small"));
  struct Case {
    const char* image;
    const char* line;
  };
  for (const Case& c : {Case{"mbr.img", "1   in-mbr               Primary Linux Ext4 (83) 16 MB"},
                        Case{"gpt.img", "1   in-gpt               GPT Linux Ext2/Ext3"}}) {
    SCOPED_TRACE(c.image);
    const ProgramResult listed = RunKestrane({"list", Image(c.image), "/", "-y"}, Patient());
    ASSERT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find(c.line), std::string::npos) << listed.out;
    const std::string out = MakeTestFolder(std::string("ext_part_") + c.image);
    const ProgramResult r = RunKestrane({"extract", Image(c.image), "/", "-od", out, "-y"}, Patient());
    ASSERT_EQ(r.status, 0) << r.out;
    ExpectSameTree(Describe(out), expected);
    EXPECT_EQ(ReadFileBytes(out + "/media/clip.bin"), ReadFileBytes(Image("small/media/clip.bin")));
  }
}

// An ext4 volume in an LVM2 physical volume (our generator writes the label and metadata around a volume from
// mke2fs): read through the volume group's mapping, and, when the metadata cannot be read, found by looking for
// its superblock in the first 4,096 sectors of the partition. Only an LVM partition is searched.
TEST(ExtCli, VolumeInAnLvmPhysicalVolume) {
  REQUIRE_FIXTURES();
  using namespace lvm_test;
  const std::string folder = MakeTestFolder("ext_lvm");
  const std::string tree = folder + "/tree";
  WriteFileBytes(tree + "/deep/er/file.txt", "in the logical volume");
  std::string data;
  for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>(i * 7 % 251));
  WriteFileBytes(tree + "/data.bin", data);
  Sh("find '" + tree + "' -exec touch -h -d @1577934240 {} + && mke2fs -q -F -t ext4 -d '" + tree + "' '" + folder +
     "/volume.img' 2M");
  const std::string volume = ReadFileBytes(folder + "/volume.img");
  ASSERT_EQ(volume.size(), 2u << 20);
  const uint64_t extents = volume.size() / 4096;
  const auto expected = Describe(tree);

  struct Case {
    const char* what;
    bool labelIntact;
    uint8_t type;
    bool volumeThere;
    int status;
  };
  for (const Case& c : {Case{"through the volume group's mapping", true, 0x8E, true, 0},
                        Case{"metadata unreadable: superblock search", false, 0x8E, true, 0},
                        Case{"not an LVM partition: no search", false, 0x83, true, 1},
                        Case{"no volume in the first 4,096 sectors", false, 0x8E, false, 1}}) {
    SCOPED_TRACE(c.what);
    LvmDisk layout;
    layout.partitionSectors = 2048 + extents * 8;
    std::string text = GroupText(Segment(1, 0, extents, "\"pv0\", 0"), 1);
    text.replace(text.find("dev_size = 4096"), 15, "dev_size = " + std::to_string(layout.partitionSectors));
    text.replace(text.find("pe_count = 256"), 14, "pe_count = " + std::to_string(extents));
    layout.text = text;
    Bytes disk = layout.Make();
    disk[446 + 4] = c.type;
    const size_t partition = layout.partitionStart * 512;
    if (!c.labelIntact) std::memcpy(&disk[partition + 512], "NOLABEL!", 8);
    if (c.volumeThere) std::memcpy(&disk[partition + (1 << 20)], volume.data(), volume.size());
    const std::string image = folder + "/lvm.img";
    WriteFileBytes(image, std::string(disk.begin(), disk.end()));
    const std::string out = folder + "/out";
    RunShell("rm -rf '" + out + "'");
    ProgramOptions bounded;
    bounded.timeoutSeconds = 60;
    const ProgramResult r = RunKestrane({"extract", image, "/", "-od", out, "-y"}, bounded);
    EXPECT_FALSE(r.timedOut);
    ASSERT_EQ(r.status, c.status) << r.out;
    if (c.status == 0) {
      ExpectSameTree(Describe(out), expected);
    } else {
      EXPECT_NE(r.out.find("can't open the following partition"), std::string::npos) << r.out;
    }
  }
}

namespace {

// Where debugfs says an inode lies, as a byte of the image (4 KiB blocks).
int64_t InodeByte(const std::string& image, const std::string& path) {
  const ProgramResult r = RunShell("debugfs -R 'imap " + path + "' '" + image + "' 2>/dev/null");
  long long block = 0;
  unsigned offset = 0;
  const size_t at = r.out.find("located at block ");
  if (at == std::string::npos ||
      std::sscanf(r.out.c_str() + at, "located at block %lld, offset %x", &block, &offset) != 2)
    return -1;
  return block * 4096 + offset;
}

int64_t FirstBlockByte(const std::string& image, const std::string& path) {
  const ProgramResult r = RunShell("debugfs -R 'bmap " + path + " 0' '" + image + "' 2>/dev/null");
  return r.status == 0 && !r.out.empty() ? std::stoll(r.out) * 4096 : -1;
}

void Patch(const std::string& image, int64_t at, const std::string& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(at);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Le16(uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v)) + Le16(static_cast<uint16_t>(v >> 16)); }

}  // namespace

// Damaged copies of a 4 KiB-block volume: the command ends with a message and status 1, in bounded time.
TEST(ExtCli, DamagedVolumesEndWithAMessage) {
  REQUIRE_FIXTURES();
  const std::string folder = MakeTestFolder("ext_damaged");
  const std::string pristine = Image("b4096.img");
  const int64_t clipInode = InodeByte(pristine, "/media/clip.bin");
  const int64_t mediaBlock = FirstBlockByte(pristine, "/media");
  ASSERT_GT(clipInode, 0);
  ASSERT_GT(mediaBlock, 0);
  // The extent header sits at byte 40 of the inode; its depth at 6, its first index's child block at 12 + 4.
  const int64_t header = clipInode + 40;
  struct Case {
    const char* name;
    std::vector<std::pair<int64_t, std::string>> patches;
    bool listFails;  // else only the extraction of the damaged file fails
    const char* message;
  };
  const std::vector<Case> cases = {
      // 2^29 groups of 8 blocks: their descriptors would fill 16 GiB.
      {"descriptors past the volume", {{1024 + 4, Le32(0xFFFFFFFF)}, {1024 + 32, Le32(8)}}, true, nullptr},
      {"inode size 0", {{1024 + 88, Le16(0)}}, true, nullptr},
      {"inode size above the block", {{1024 + 88, Le16(8192)}}, true, nullptr},
      {"64-bit with 32-byte descriptors", {{1024 + 254, Le16(32)}}, true, nullptr},
      {"extent depth above 5", {{header + 6, Le16(6)}}, false, "The file's data is not all described"},
      // An index level whose child, in the volume's last (free) block, claims depth 1 again and points at itself.
      {"extent depth not decreasing",
       {{header, Le16(0xF30A) + Le16(1) + Le16(4) + Le16(1) + Le32(0) + Le32(0) + Le32(8191) + Le16(0)},
        {int64_t{8191} * 4096, Le16(0xF30A) + Le16(1) + Le16(340) + Le16(1) + Le32(0) + Le32(0) + Le32(8191)}},
       false,
       "The file's data is not all described"},
      {"extent past the volume", {{header + 12 + 8, Le32(0x7FFFFF00)}}, false, "The file's data is not all described"},
      {"rec_len 0", {{mediaBlock + 4, Le16(0)}}, true, "Can not read directory structure."},
      {"rec_len past the block", {{mediaBlock + 4, Le16(8192)}}, true, "Can not read directory structure."},
      {"name longer than its record",
       {{mediaBlock + 6, std::string(1, '\x20')}},
       true,
       "Can not read directory structure."},
      // clip.bin's entry made to name the root again: a directory loop.
      {"directory loop", {{mediaBlock + 24, Le32(2)}}, true, "Can not read directory structure."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = folder + "/damaged.img";
    Sh("cp '" + pristine + "' '" + image + "'");
    for (const auto& [at, bytes] : c.patches) Patch(image, at, bytes);
    ProgramOptions options;
    options.timeoutSeconds = 60;
    const ProgramResult listed = RunKestrane({"list", image, "/", "-r"}, options);
    EXPECT_FALSE(listed.timedOut);
    EXPECT_EQ(listed.status, c.listFails ? 1 : 0) << listed.out;
    const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", folder + "/out", "-y"}, options);
    EXPECT_FALSE(extracted.timedOut);
    EXPECT_EQ(extracted.status, 1) << extracted.out;
    if (c.message) EXPECT_NE(extracted.out.find(c.message), std::string::npos) << extracted.out;
    // What was sound is still there.
    if (!c.listFails) EXPECT_EQ(ReadFileBytes(folder + "/out/hello.txt"), "hello\n");
    RunShell("rm -rf '" + folder + "/out'");
  }
}
