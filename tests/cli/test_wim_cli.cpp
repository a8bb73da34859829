// WIM archives from the command line: archives captured by wimlib-imagex with every compression, solid
// resources, chunk sizes, several images and split parts are listed and extracted, and the result compared
// with what `wimlib-imagex apply` writes; damaged archives end with a message and exit status 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/byte_reader.h"
#include "support/listed_paths.h"
#include "support/run_program.h"
#include "wim/sha1.h"
#include "wim/wim.h"

namespace {

ProgramOptions Options(int timeoutSeconds, const std::string& input = "") {
  ProgramOptions options;
  options.timeoutSeconds = timeoutSeconds;
  options.input = input;
  return options;
}

#define REQUIRE_WIMLIB()                                                                           \
  do {                                                                                             \
    if (RunShell("command -v wimlib-imagex").status != 0) GTEST_SKIP() << "wimlib-imagex missing"; \
  } while (0)

void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void PutU64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

void Sh(const std::string& line) {
  const ProgramResult r = RunProgram("/bin/sh", {"-c", line + " 2>&1"}, Options(300));
  ASSERT_EQ(r.status, 0) << line << "\n" << r.out;
}

// Deep folders, empty files, hard links, duplicates (one blob), long and non-ASCII names, and files of several
// chunks whose data mixes text, repeats and noise.
void MakeTree(const std::string& root) {
  std::string deep = root;
  for (int i = 0; i < 40; ++i) deep += "/d" + std::to_string(i);
  WriteFileBytes(deep + "/bottom.txt", "at the bottom\n");
  WriteFileBytes(root + "/empty", "");
  WriteFileBytes(root + "/sub/empty too", "");
  std::string text;
  for (int i = 0; i < 60000; ++i) text += "row " + std::to_string(i * 31 % 977) + "\n";
  WriteFileBytes(root + "/text.txt", text);
  WriteFileBytes(root + "/sub/same as text.txt", text);
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 1500000; ++i) {
    x = x * 1103515245 + 12345;
    noise.push_back(static_cast<char>(i % 3 ? x >> 24 : i / 7));
  }
  WriteFileBytes(root + "/sub/mixed.bin", noise);
  WriteFileBytes(root + "/" + std::string(200, 'L') + ".long", "long name\n");
  WriteFileBytes(root + "/caf\xc3\xa9 na\xc3\xafve \xe6\x97\xa5\xe6\x9c\xac.txt", "accented\n");
  Sh("ln '" + root + "/text.txt' '" + root + "/hard link.txt'");
  // Machine code, for the x86 filters.
  Sh("head -c 2000000 '" + std::string(KESTRANE_BIN) + "' > '" + root + "/program'");
  Sh("find '" + root + "' -exec touch -h -d @1577934240 {} +");
}

// The paths `wimlib-imagex dir` shows for the image.
std::set<std::string> WimlibPaths(const std::string& wim, int image) {
  const ProgramResult r = RunShell("wimlib-imagex dir '" + wim + "' " + std::to_string(image));
  std::set<std::string> paths;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line))
    if (line.size() > 1) paths.insert(line);
  return paths;
}

std::set<std::string> WithoutFolderMarks(const std::set<std::string>& in) {
  std::set<std::string> out;
  for (std::string p : in) {
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    out.insert(p);
  }
  return out;
}

// Extracts the whole archive with kestrane and with wimlib-imagex apply and compares the two trees.
void ExpectExtractsLikeApply(const std::string& folder, const std::string& wim, int image, const std::string& name) {
  const std::string ours = folder + "/ours-" + name, theirs = folder + "/theirs-" + name;
  const ProgramResult extracted = RunKestrane({"extract", wim, "/", "-od", ours, "-y"}, Options(120));
  ASSERT_EQ(extracted.status, 0) << name << "\n" << extracted.out;
  Sh("wimlib-imagex apply '" + wim + "' " + std::to_string(image) + " '" + theirs + "' >/dev/null");
  Sh("diff -r '" + theirs + "' '" + ours + "'");
  Sh("rm -rf '" + ours + "' '" + theirs + "'");
}

}  // namespace

TEST(WimCli, EveryCompressionAndChunkSizeExtractsLikeApply) {
  REQUIRE_WIMLIB();
  const std::string folder = MakeTestFolder("wim_compressions");
  const std::string tree = folder + "/tree";
  MakeTree(tree);
  const char* const options[] = {
      "--compress=none",
      "--compress=XPRESS",
      "--compress=XPRESS --chunk-size=64K",
      "--compress=LZX",
      "--compress=LZX --chunk-size=64K",
      "--compress=LZX --chunk-size=1M",
      "--compress=LZX --chunk-size=2M",
      "--compress=LZMS",
      "--compress=LZMS --chunk-size=32K",
      "--compress=LZMS --chunk-size=2M",
      "--solid",
      "--solid --solid-chunk-size=256K",
      "--solid --solid-compress=LZX",
      "--solid --solid-compress=XPRESS --solid-chunk-size=64K",
  };
  int n = 0;
  for (const char* option : options) {
    const std::string wim = folder + "/a" + std::to_string(n) + ".wim";
    Sh("wimlib-imagex capture '" + tree + "' '" + wim + "' 'Tree' " + option + " >/dev/null");
    ExpectExtractsLikeApply(folder, wim, 1, std::to_string(n));
    if (n % 4 == 0) {
      const ProgramResult listed = RunKestrane({"list", wim, "/", "-r", "-y"});
      ASSERT_EQ(listed.status, 0) << listed.out;
      EXPECT_EQ(WithoutFolderMarks(ListedPaths(listed.out)), WimlibPaths(wim, 1)) << option;
    }
    ++n;
  }
}

TEST(WimCli, ThousandsOfFilesAndALargeFile) {
  REQUIRE_WIMLIB();
  const std::string folder = MakeTestFolder("wim_large");
  const std::string tree = folder + "/tree";
  Sh("mkdir -p '" + tree + "/many' && cd '" + tree +
     "/many' && for i in $(seq 1 3000); do echo \"file $i\" > f$i.txt; done");
  // 300 MB, mostly a hole, with data at both ends.
  Sh("head -c 3000000 /dev/urandom > '" + tree + "/large.bin' && truncate -s 300M '" + tree +
     "/large.bin' && printf tail >> '" + tree + "/large.bin'");
  const std::string wim = folder + "/large.wim";
  Sh("wimlib-imagex capture '" + tree + "' '" + wim + "' --compress=XPRESS >/dev/null");
  ExpectExtractsLikeApply(folder, wim, 1, "x");
  const ProgramResult listed = RunKestrane({"list", wim, "/many", "-y"});
  ASSERT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("3000 Files"), std::string::npos) << listed.out.substr(0, 2000);
}

// A write that fails (here past the file size limit) ends the run with the message and exit status 1, and leaves
// no partial file behind: every file that is there is whole.
TEST(WimCli, FailedWriteLeavesNoPartialFile) {
  REQUIRE_WIMLIB();
  const std::string folder = MakeTestFolder("wim_write_fails");
  const std::string tree = folder + "/tree";
  Sh("mkdir -p '" + tree + "/many' && cd '" + tree +
     "/many' && for i in $(seq 1 200); do echo \"file $i\" > f$i.txt; done");
  Sh("head -c 3000000 /dev/urandom > '" + tree + "/big.bin'");
  const std::string wim = folder + "/x.wim";
  Sh("wimlib-imagex capture '" + tree + "' '" + wim + "' --compress=XPRESS >/dev/null");
  const std::string out = folder + "/out";
  // Writes past 1 MiB fail with EFBIG instead of ending the process.
  const ProgramResult r = RunProgram("/bin/sh",
                                     {"-c", "trap '' XFSZ; ulimit -f 1024; TZ=UTC exec '" + std::string(KESTRANE_BIN) +
                                                "' extract '" + wim + "' / -od '" + out + "' -y </dev/null 2>&1"},
                                     Options(60));
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("big.bin\r\n\r\nExtract failed! File too large"), std::string::npos) << r.out;
  EXPECT_EQ(RunShell("test -e '" + out + "/big.bin'").status, 1) << r.out;
  const ProgramResult partial = RunShell("cd '" + out + "' && find . -type f | while read -r f; do cmp -s \"$f\" '" +
                                         tree + "'/\"$f\" || echo \"$f\"; done");
  EXPECT_EQ(partial.out, "") << r.out;
}

TEST(WimCli, ImageQuestion) {
  REQUIRE_WIMLIB();
  const std::string folder = MakeTestFolder("wim_images");
  WriteFileBytes(folder + "/one/first.txt", "first image\n");
  WriteFileBytes(folder + "/two/second.txt", "second image\n");
  const std::string wim = folder + "/two.wim";
  Sh("wimlib-imagex capture '" + folder + "/one' '" + wim + "' 'First' --compress=LZX >/dev/null");
  Sh("wimlib-imagex append '" + folder + "/two' '" + wim + "' 'Second' >/dev/null");

  const ProgramResult second = RunKestrane({"extract", wim, "/", "-od", folder + "/out2"}, Options(30, "0\n7\n2\n"));
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_NE(second.out.find("Images found in " + wim + ":\r\n#   Name                             Size\r\n1   First"),
            std::string::npos)
      << second.out;
  EXPECT_NE(second.out.find("Please select an image(1 -- 2):The input value should be between 1 and 2.\r\n"
                            "Please select an image(1 -- 2):The input value should be between 1 and 2.\r\n"),
            std::string::npos)
      << second.out;
  EXPECT_EQ(ReadFileBytes(folder + "/out2/second.txt"), "second image\n");

  const ProgramResult first = RunKestrane({"extract", wim, "/", "-od", folder + "/out1", "-y"});
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(ReadFileBytes(folder + "/out1/first.txt"), "first image\n");

  const ProgramResult none = RunKestrane({"list", wim, "/"});
  EXPECT_EQ(none.status, 1) << none.out;
  EXPECT_NE(none.out.find("No image was chosen."), std::string::npos) << none.out;
}

TEST(WimCli, SplitParts) {
  REQUIRE_WIMLIB();
  const std::string folder = MakeTestFolder("wim_split");
  const std::string tree = folder + "/tree";
  MakeTree(tree);
  Sh("head -c 4000000 /dev/urandom > '" + tree + "/noise.bin'");
  const std::string wim = folder + "/whole.wim";
  Sh("wimlib-imagex capture '" + tree + "' '" + wim + "' --compress=LZX >/dev/null");
  Sh("cd '" + folder + "' && wimlib-imagex split whole.wim part.swm 3 >/dev/null && ls part3.swm");
  const std::string ours = folder + "/ours";
  const ProgramResult extracted = RunKestrane({"extract", folder + "/part.swm", "/", "-od", ours, "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  Sh("diff -r '" + tree + "' '" + ours + "'");

  // Without its last part, the files stored there fail and the rest comes out.
  Sh("mv '" + folder + "/part3.swm' '" + folder + "/gone.swm'");
  const ProgramResult partial = RunKestrane({"extract", folder + "/part.swm", "/", "-od", folder + "/partial", "-y"});
  EXPECT_EQ(partial.status, 1) << partial.out;
  EXPECT_NE(partial.out.find("Some parts of the split WIM archive are missing."), std::string::npos) << partial.out;
  EXPECT_EQ(ReadFileBytes(folder + "/partial/empty"), "");
}

namespace {

// Helpers that find and damage the structures of an archive wimlib-imagex made.
struct Archive {
  std::string bytes;
  CWimHeader header{};
  bool Load(const std::string& path) {
    bytes = ReadFileBytes(path);
    return bytes.size() >= 208 &&
           WimParseHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &header) == 1;
  }
  uint8_t* At(uint64_t offset) { return reinterpret_cast<uint8_t*>(&bytes[offset]); }
  // Lookup entries (uncompressed table, 50 bytes each).
  size_t Entries() const { return header.lookup.originalSize / 50; }
  uint8_t* Entry(size_t i) { return At(header.lookup.offset + 50 * i); }
  CWimResourceHeader Resource(size_t i) {
    CWimResourceHeader r;
    WimParseResourceHeader(Entry(i), &r);
    return r;
  }
  int Find(uint8_t flags, uint64_t original = UINT64_MAX) {
    for (size_t i = 0; i < Entries(); ++i) {
      const CWimResourceHeader r = Resource(i);
      if ((r.flags & flags) == flags && (original == UINT64_MAX || r.originalSize == original))
        return static_cast<int>(i);
    }
    return -1;
  }
  int Largest(uint8_t flags) {
    int best = -1;
    for (size_t i = 0; i < Entries(); ++i)
      if ((Resource(i).flags & 0x02) == 0 && (Resource(i).flags & flags) == flags &&
          (best < 0 || Resource(i).originalSize > Resource(static_cast<size_t>(best)).originalSize))
        best = static_cast<int>(i);
    return best;
  }
  // The metadata of an uncompressed archive, changed by `edit`, with its hash set again.
  template <typename Edit>
  void EditMetadata(Edit edit) {
    const int m = Find(0x02);
    const CWimResourceHeader r = Resource(static_cast<size_t>(m));
    uint8_t* meta = At(r.offset);
    edit(meta, r.originalSize);
    Sha1Buffer(meta, r.originalSize, Entry(static_cast<size_t>(m)) + 30);
  }
};

// The offset of the root's first child entry in a metadata resource.
uint64_t RootChildren(const uint8_t* meta) {
  const uint64_t root = (LoadU32LE(meta) + 7) / 8 * 8;
  return LoadU64LE(meta + root + 16);
}

struct Damage {
  const char* name;
  const char* capture;  // capture options
  void (*apply)(Archive*);
  const char* message;  // what the run must say
  bool keepsOthers;     // the files the damage does not touch still come out
};

}  // namespace

TEST(WimCli, DamagedArchivesFailWithAMessage) {
  REQUIRE_WIMLIB();
  const std::string folder = MakeTestFolder("wim_damaged");
  const std::string tree = folder + "/tree";
  MakeTree(tree);
  const Damage damages[] = {
      {"lookup table past the file", "--compress=none", [](Archive* a) { PutU64(a->At(56), a->bytes.size() * 2); },
       "The WIM lookup table can not be read.", false},
      {"resource size that overflows", "--compress=none",
       [](Archive* a) {
         std::memset(a->At(48), 0xFF, 7);
         std::memset(a->At(64), 0xFF, 8);
       },
       "The WIM lookup table can not be read.", false},
      {"metadata whose SHA-1 differs", "--compress=none",
       [](Archive* a) { a->At(a->Resource(static_cast<size_t>(a->Find(0x02))).offset + 200)[0] ^= 1; },
       "The image's metadata is damaged (its SHA-1 differs).", false},
      {"chunk table past the stored size", "--compress=XPRESS",
       [](Archive* a) { PutU32(a->At(a->Resource(static_cast<size_t>(a->Largest(0x04))).offset), 0x7FFFFFF0); },
       "The file's data in the WIM archive is damaged.", true},
      {"chunk data damaged", "--compress=LZMS",
       [](Archive* a) {
         const CWimResourceHeader r = a->Resource(static_cast<size_t>(a->Largest(0x04)));
         for (uint64_t k = r.storedSize / 2; k < r.storedSize / 2 + 64; ++k) a->At(r.offset)[k] ^= 0x5A;
       },
       "The file's data in the WIM archive is damaged.", true},
      {"stream whose SHA-1 differs", "--compress=none",
       [](Archive* a) { a->At(a->Resource(static_cast<size_t>(a->Largest(0))).offset + 1000)[0] ^= 1; },
       "The file's data does not match its SHA-1 hash.", true},
      {"entry length past the resource", "--compress=none",
       [](Archive* a) {
         a->EditMetadata([](uint8_t* meta, uint64_t) { PutU64(meta + RootChildren(meta), uint64_t{1} << 40); });
       },
       "", false},
      {"directory cycle", "--compress=none",
       [](Archive* a) {
         a->EditMetadata([](uint8_t* meta, uint64_t size) {
           // Every directory below the root points back at the root's entries.
           const uint64_t children = RootChildren(meta);
           for (uint64_t at = children; at + 102 <= size;) {
             const uint64_t length = LoadU64LE(meta + at);
             if (length == 0) break;
             if (LoadU32LE(meta + at + 8) & 0x10) PutU64(meta + at + 16, children);
             at += length;
           }
         });
       },
       "", true},
      {"solid block of a huge size", "--solid",
       [](Archive* a) {
         const int d = a->Find(0x10, uint64_t{1} << 32);
         PutU64(a->At(a->Resource(static_cast<size_t>(d)).offset), uint64_t{1} << 62);
       },
       "The file's data in the WIM archive is damaged.", false},
  };
  int n = 0;
  for (const Damage& damage : damages) {
    const std::string wim = folder + "/d" + std::to_string(n) + ".wim";
    Sh("wimlib-imagex capture '" + tree + "' '" + wim + "' " + damage.capture + " >/dev/null");
    Archive archive;
    ASSERT_TRUE(archive.Load(wim)) << damage.name;
    damage.apply(&archive);
    WriteFileBytes(wim, archive.bytes);
    const std::string out = folder + "/out" + std::to_string(n);
    const ProgramResult r = RunKestrane({"extract", wim, "/", "-od", out, "-y"}, Options(60));
    EXPECT_FALSE(r.timedOut) << damage.name;
    EXPECT_EQ(r.status, 1) << damage.name << "\n" << r.out;
    EXPECT_NE(r.out.find(damage.message), std::string::npos) << damage.name << "\n" << r.out;
    if (damage.keepsOthers) {
      // What was not damaged still comes out whole.
      EXPECT_EQ(ReadFileBytes(out + "/caf\xc3\xa9 na\xc3\xafve \xe6\x97\xa5\xe6\x9c\xac.txt"), "accented\n")
          << damage.name << "\n"
          << r.out;
    }
    ++n;
  }
}
