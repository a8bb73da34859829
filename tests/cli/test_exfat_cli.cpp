// exFAT volumes from the command line: mkfs.exfat makes the empty volume, tests/fixtures/exfat_fill.h adds
// folders and files (contiguous, chained and fragmented data, valid data shorter than the file, long and
// non-ASCII names); fsck.exfat must accept the result, sleuthkit's fls and icat must agree with the list and
// extraction, and damaged copies must end with a message and exit status 1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystems/exfat.h"
#include "fixtures/exfat_fill.h"
#include "support/listed_paths.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

bool HaveTools() {
  return RunShell(
             "command -v mkfs.exfat && command -v fsck.exfat && command -v fls && command -v icat && "
             "command -v sfdisk && command -v sgdisk")
             .status == 0;
}

#define REQUIRE_TOOLS()                                                                \
  do {                                                                                 \
    if (!HaveTools()) GTEST_SKIP() << "exfatprogs, sleuthkit, fdisk or gdisk missing"; \
  } while (0)

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u + static_cast<uint32_t>(seed);
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// What the volume holds: path -> data (folders end with "/").
using Contents = std::map<std::string, std::string>;

struct Volume {
  Contents contents;
  uint32_t fragmentedFirst = 0;  // first cluster of /fragmented.bin
  uint64_t fragmentedFat = 0;    // byte of its FAT entry
  uint64_t lastSet = 0;          // byte of the last entry set made
  uint32_t folderCluster = 0;    // first cluster of /Folder
  uint64_t folderSet = 0;        // byte of /Folder's entry set
  uint64_t clusterCount = 0;
  uint32_t rootCluster = 0;
};

// A 64 MiB volume of 4 KiB clusters in `path` from byte `base` (mkfs.exfat makes it in its own file first).
Volume MakeVolume(const std::string& path, uint64_t base) {
  Volume v;
  const std::string volume = path + ".volume";
  const ProgramResult made = RunShell("rm -f '" + volume + "' && truncate -s 64M '" + volume +
                                      "' && mkfs.exfat -c 4K -L Kestrane '" + volume + "' 2>&1");
  EXPECT_EQ(made.status, 0) << made.out;
  {
    ExfatFill fill(volume, 0);
    const int root = fill.Root();
    fill.AddFile(root, u"hello.txt", "hello\n", ExfatFill::kContiguous);
    v.contents["/hello.txt"] = "hello\n";
    fill.AddFile(root, u"empty", "", ExfatFill::kChained);
    v.contents["/empty"] = "";
    const std::string chained = Bytes(200000, 1);
    fill.AddFile(root, u"chained.bin", chained, ExfatFill::kChained);
    v.contents["/chained.bin"] = chained;
    const std::string fragmented = Bytes(300000, 2);
    fill.AddFile(root, u"fragmented.bin", fragmented, ExfatFill::kFragmented);
    v.contents["/fragmented.bin"] = fragmented;
    v.fragmentedFirst = fill.LastFirstCluster();
    v.fragmentedFat = fill.FatPosition(v.fragmentedFirst);
    // Only the first 30,000 bytes were written: the rest reads as zeros.
    const std::string valid = Bytes(100000, 3);
    fill.AddFile(root, u"valid.bin", valid, ExfatFill::kContiguous, 30000);
    v.contents["/valid.bin"] = valid.substr(0, 30000) + std::string(70000, '\0');
    std::u16string longName;
    // 255 UTF-16 units, the most a name holds (ASCII, so that a local name can hold it too).
    for (int i = 0; i < 255; ++i) longName += static_cast<char16_t>(u'a' + i % 26);
    fill.AddFile(root, longName, "long", ExfatFill::kContiguous);
    v.contents["/" + Utf8(longName)] = "long";
    fill.AddFile(root, u"\u65e5\u672c\u8a9e.txt", "cjk", ExfatFill::kChained);
    v.contents["/" + Utf8(u"\u65e5\u672c\u8a9e.txt")] = "cjk";
    const int folder = fill.AddFolder(root, u"Folder", 64);
    v.folderSet = fill.LastEntrySetPosition();
    v.folderCluster = fill.FolderCluster(folder);
    v.contents["/Folder/"] = "";
    const int sub = fill.AddFolder(folder, u"Sub", 300);  // a folder of two clusters
    v.contents["/Folder/Sub/"] = "";
    for (int i = 0; i < 40; ++i) {
      const std::string name = "item-" + std::to_string(i) + ".txt";
      fill.AddFile(sub, std::u16string(name.begin(), name.end()), "item " + std::to_string(i), ExfatFill::kChained);
      v.contents["/Folder/Sub/" + name] = "item " + std::to_string(i);
    }
    // Enough entries that the root grows past its first cluster.
    for (int i = 0; i < 50; ++i) {
      const std::string name = "root-file-number-" + std::to_string(i) + ".dat";
      fill.AddFile(root, std::u16string(name.begin(), name.end()), Bytes(5000 + i, i), ExfatFill::kContiguous);
      v.contents["/" + name] = Bytes(5000 + i, i);
    }
    v.lastSet = fill.LastEntrySetPosition() + base;
    v.fragmentedFat += base;
    v.folderSet += base;
    fill.Finish();
  }
  std::ifstream boot(volume, std::ios::binary);
  uint8_t b[512];
  boot.read(reinterpret_cast<char*>(b), 512);
  v.clusterCount = b[92] | b[93] << 8 | b[94] << 16 | static_cast<uint32_t>(b[95]) << 24;
  v.rootCluster = b[96] | b[97] << 8 | b[98] << 16 | static_cast<uint32_t>(b[99]) << 24;
  if (base == 0)
    Sh("mv '" + volume + "' '" + path + "'");
  else
    Sh("dd if='" + volume + "' of='" + path + "' bs=1M seek=" + std::to_string(base >> 20) +
       " conv=notrunc status=none && rm -f '" + volume + "'");
  return v;
}

void ExpectExtracted(const Contents& contents, const std::string& out) {
  for (const auto& [path, data] : contents) {
    if (path.back() == '/') continue;
    EXPECT_EQ(ReadFileBytes(out + path), data) << path;
    struct stat st;
    ASSERT_EQ(stat((out + path).c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mtime, 1577934246) << path;  // 2020-01-02 03:04:06 UTC
  }
}

void Patch(const std::string& image, uint64_t at, const std::string& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Le32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

// /Folder's entry set (file, stream, one name entry) with its first cluster made the root's, checksum redone.
std::string FolderSetLoopingToRoot(const std::string& image, uint64_t at, uint32_t rootCluster) {
  std::string set(96, '\0');
  std::ifstream in(image, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(at));
  in.read(set.data(), 96);
  auto* bytes = reinterpret_cast<uint8_t*>(set.data());
  const std::string cluster = Le32(rootCluster);
  std::copy(cluster.begin(), cluster.end(), set.begin() + 32 + 20);
  uint16_t sum = ExfatEntrySetChecksum(bytes);
  sum = ExfatEntrySetChecksumAdd(bytes + 32, sum);
  sum = ExfatEntrySetChecksumAdd(bytes + 64, sum);
  set[2] = static_cast<char>(sum);
  set[3] = static_cast<char>(sum >> 8);
  return set;
}

}  // namespace

TEST(ExfatCli, ListsAndExtractsLikeSleuthkit) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("exfat_whole");
  const std::string image = folder + "/volume.img";
  const Volume v = MakeVolume(image, 0);
  const ProgramResult fsck = RunShell("fsck.exfat -n '" + image + "' 2>&1");
  ASSERT_EQ(fsck.status, 0) << fsck.out;

  const ProgramResult listed = RunKestrane({"list", image, "/", "-r"}, Patient());
  ASSERT_EQ(listed.status, 0) << listed.out;
  std::set<std::string> expected;
  for (const auto& [path, data] : v.contents) expected.insert(path);
  EXPECT_EQ(ListedPaths(listed.out), expected);
  EXPECT_NE(listed.out.find("100,000  valid.bin"), std::string::npos) << listed.out;

  const ProgramResult fls = RunShell("fls -f exfat -r -p '" + image + "'");
  ASSERT_EQ(fls.status, 0) << fls.out;
  std::set<std::string> theirs;
  std::istringstream in(fls.out);
  for (std::string line; std::getline(in, line);) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.find("\t$") != std::string::npos || line.rfind("V/V", 0) == 0 ||
        line.find("(Volume Label Entry)") != std::string::npos)
      continue;
    theirs.insert("/" + line.substr(tab + 1) + (line[0] == 'd' ? "/" : ""));
  }
  for (const std::string& path : theirs) EXPECT_TRUE(expected.count(path)) << path << " shown by fls only";
  for (const std::string& path : expected) EXPECT_TRUE(theirs.count(path)) << path << " missing from fls";

  const std::string out = folder + "/out";
  const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", out, "-y"}, Patient());
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  ExpectExtracted(v.contents, out);
  // icat reads the fragmented file through its chain as well.
  const ProgramResult inode =
      RunShell("fls -f exfat '" + image + "' | grep 'fragmented.bin' | sed 's/.* \\([0-9]*\\):.*/\\1/'");
  const std::string number = inode.out.substr(0, inode.out.find('\n'));
  ASSERT_FALSE(number.empty()) << inode.out;
  Sh("icat -f exfat '" + image + "' " + number + " | cmp - '" + out + "/fragmented.bin'");
}

// The volume inside an MBR and a GPT partition: named in the partition list, extracted whole.
TEST(ExfatCli, VolumesInMbrAndGptPartitions) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("exfat_parts");
  struct Case {
    const char* name;
    const char* table;
    const char* line;
  };
  for (const Case& c : {Case{"mbr", "printf 'label: dos\\nstart=2048, size=131072, type=7\\n' | sfdisk -q",
                             "1   Kestrane             Primary exFAT (07) 64 MB"},
                        Case{"gpt", "sgdisk -o -n 1:2048:+64M -t 1:0700", "1   Kestrane             GPT exFAT"}}) {
    SCOPED_TRACE(c.name);
    const std::string image = folder + "/" + c.name + ".img";
    Sh("truncate -s 80M '" + image + "' && " + c.table + " '" + image + "' >/dev/null");
    const Volume v = MakeVolume(image, 1 << 20);
    const ProgramResult listed = RunKestrane({"list", image, "/", "-y"}, Patient());
    ASSERT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find(c.line), std::string::npos) << listed.out;
    const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", folder + "/" + c.name, "-y"}, Patient());
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    ExpectExtracted(v.contents, folder + "/" + c.name);
  }
}

// Damaged copies end with a message and status 1 in bounded time; what was sound before the damage is kept.
TEST(ExfatCli, DamagedVolumesEndWithAMessage) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("exfat_damaged");
  const std::string pristine = folder + "/pristine.img";
  const Volume v = MakeVolume(pristine, 0);
  struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, std::string>> patches;
    int listStatus;
    int extractStatus;
    const char* message;
  };
  const std::vector<Case> cases = {
      // The boot region checksum leaves out the volume flags and the percent in use, and nothing else.
      {"volume flags changed", {{106, "\x02\x00"}, {112, "\x33"}}, 0, 0, nullptr},
      {"boot region byte changed", {{5 * 512 + 17, "\x01"}}, 1, 1, nullptr},
      {"bad entry-set checksum", {{v.lastSet + 2, std::string(2, '\0')}}, 1, 1, "Can not read directory structure."},
      {"secondary count below 2", {{v.lastSet + 1, "\x01"}}, 1, 1, "Can not read directory structure."},
      {"chain that loops", {{v.fragmentedFat, Le32(v.fragmentedFirst)}}, 0, 1, "not all described"},
      {"chain that leaves the heap",
       {{v.fragmentedFat, Le32(static_cast<uint32_t>(v.clusterCount) + 40)}},
       0,
       1,
       "not all described"},
      {"folder whose data is the root's",
       {{v.folderSet, FolderSetLoopingToRoot(pristine, v.folderSet, v.rootCluster)}},
       1,
       1,
       "Can not read directory structure."},
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
    EXPECT_EQ(listed.status, c.listStatus) << listed.out;
    const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", folder + "/out", "-y"}, options);
    EXPECT_FALSE(extracted.timedOut);
    EXPECT_EQ(extracted.status, c.extractStatus) << extracted.out;
    if (c.message) EXPECT_NE(extracted.out.find(c.message), std::string::npos) << extracted.out;
    if (c.extractStatus == 1 && c.message) EXPECT_EQ(ReadFileBytes(folder + "/out/hello.txt"), "hello\n");
    RunShell("rm -rf '" + folder + "/out'");
  }
}
