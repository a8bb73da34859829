// NTFS volumes from the command line: volumes made by mkntfs and filled through wimlib-imagex's NTFS mode, some
// files then rewritten by our editor (LZNT1 compression, sparse runs, an initialized size below the data size, a
// run list spread over extension records), listed and extracted, and checked against ntfs-3g's ntfscat, 7zz and
// sleuthkit's fls/icat.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/ntfs_edit.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

bool HaveTools() {
  return RunShell("command -v mkntfs && command -v wimlib-imagex && command -v ntfscat && command -v sfdisk").status ==
         0;
}

#define REQUIRE_TOOLS()                                                                   \
  do {                                                                                    \
    if (!HaveTools()) GTEST_SKIP() << "mkntfs, ntfscat, wimlib-imagex or sfdisk missing"; \
  } while (0)

ProgramOptions Timeout(int seconds) {
  ProgramOptions options;
  options.timeoutSeconds = seconds;
  return options;
}

constexpr int64_t kFixedTime = 1577934240;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

// Compressible text: numbered lines.
std::string Text(size_t n, int seed) {
  std::string s;
  for (int i = 0; s.size() < n; ++i) s += "line " + std::to_string(i * seed) + " of the compressible sample text\n";
  s.resize(n);
  return s;
}

// Makes an NTFS volume of `mib` MiB at `image` with mkntfs `flags`, filled from `tree` (times fixed first).
void MakeVolume(const std::string& folder, const std::string& image, int mib, const std::string& flags,
                const std::string& tree) {
  Sh("find '" + tree + "' -exec touch -h -d @" + std::to_string(kFixedTime) + " {} +");
  Sh("rm -f '" + image + "' && truncate -s " + std::to_string(mib) + "M '" + image + "'");
  Sh("mkntfs -F -Q -q -L Sample " + flags + " '" + image + "'");
  Sh("wimlib-imagex capture '" + tree + "' '" + folder + "/x.wim' --compress=none --no-acls >/dev/null");
  Sh("wimlib-imagex apply '" + folder + "/x.wim' 1 '" + image + "' >/dev/null");
}

// Rewrites four files of the volume in ways no tool here writes; their contents after the edits are returned
// in `expected` (name, bytes).
void EditVolume(const std::string& image, std::vector<std::pair<std::string, std::string>>* expected) {
  NtfsImageEditor editor;
  ASSERT_TRUE(editor.Open(image));
  const int64_t cs = editor.clusterSize();
  ASSERT_EQ(cs, 4096);
  // The record of a file that mkntfs and wimlib stored in one run, that run and the file's size.
  auto stored = [&editor](const char* name, int64_t* record, NtfsEditRun* run, int64_t* size) {
    *record = editor.FindRecord(name);
    ASSERT_GT(*record, 0) << name;
    std::vector<NtfsEditRun> old;
    ASSERT_TRUE(editor.DataRuns(*record, &old, size)) << name;
    ASSERT_EQ(old.size(), 1u) << name;
    *run = old[0];
  };
  int64_t record = 0, size = 0;
  NtfsEditRun old{};

  // comp.bin: five compression blocks of 16 clusters: compressed text, stored random data (all 16 clusters),
  // zeros (no clusters at all), a block mixing compressed and uncompressed chunks, and a short compressed tail.
  {
    ASSERT_NO_FATAL_FAILURE(stored("comp.bin", &record, &old, &size));
    const int64_t base = old.lcn;
    const int64_t block = 16 * cs;
    std::string data = Text(block, 3) + RandomBytes(block, 5) + std::string(block, '\0');
    data += Text(4096, 7) + RandomBytes(4096, 9) + Text(block - 8192, 11);
    data += Text(10000, 13);
    std::vector<NtfsEditRun> runs;
    for (int64_t b = 0; b < 5; ++b) {
      const int64_t begin = b * block;
      const int64_t length = std::min<int64_t>(block, static_cast<int64_t>(data.size()) - begin);
      const auto* bytes = reinterpret_cast<const uint8_t*>(data.data() + begin);
      if (b == 2) {
        runs.push_back({-1, 16});
        continue;
      }
      std::vector<uint8_t> packed = NtfsEditCompress(bytes, static_cast<size_t>(length));
      const int64_t clusters = (static_cast<int64_t>(packed.size()) + cs - 1) / cs;
      if (b == 1 || clusters >= 16) {
        std::string raw(data, static_cast<size_t>(begin), static_cast<size_t>(length));
        raw.resize(static_cast<size_t>(block), '\0');
        ASSERT_TRUE(editor.WriteBytes((base + 16 * b) * cs, raw.data(), raw.size()));
        runs.push_back({base + 16 * b, 16});
        continue;
      }
      packed.resize(static_cast<size_t>(clusters * cs), 0);
      ASSERT_TRUE(editor.WriteBytes((base + 16 * b) * cs, packed.data(), packed.size()));
      runs.push_back({base + 16 * b, clusters});
      runs.push_back({-1, 16 - clusters});
    }
    ASSERT_TRUE(
        editor.SetData(record, runs, 0x0001, static_cast<int64_t>(data.size()), static_cast<int64_t>(data.size())));
    expected->push_back({"comp.bin", data});
  }
  // sparse.bin: a hole of 64 clusters between two stored runs.
  {
    ASSERT_NO_FATAL_FAILURE(stored("sparse.bin", &record, &old, &size));
    const int64_t base = old.lcn;
    std::string data(static_cast<size_t>(size), '\0');
    ASSERT_TRUE(editor.ReadBytes(base * cs, data.data(), data.size()));
    std::fill(data.begin() + 16 * cs, data.begin() + 80 * cs, '\0');
    const int64_t clusters = (size + cs - 1) / cs;
    ASSERT_TRUE(editor.SetData(record, {{base, 16}, {-1, 64}, {base + 80, clusters - 80}}, 0x8000, size, size));
    expected->push_back({"sparse.bin", data});
  }
  // init.bin: only its first 100,000 bytes were ever written; the clusters beyond hold other bytes.
  {
    ASSERT_NO_FATAL_FAILURE(stored("init.bin", &record, &old, &size));
    std::string data(static_cast<size_t>(size), '\0');
    ASSERT_TRUE(editor.ReadBytes(old.lcn * cs, data.data(), data.size()));
    std::fill(data.begin() + 100000, data.end(), '\0');
    ASSERT_TRUE(editor.SetInitializedSize(record, 100000));
    expected->push_back({"init.bin", data});
  }
  // frag.bin: its clusters swapped pairwise (one run per cluster), the run list in three extension records.
  {
    ASSERT_NO_FATAL_FAILURE(stored("frag.bin", &record, &old, &size));
    const int64_t clusters = old.length;
    std::string bytes(static_cast<size_t>(clusters * cs), '\0');
    ASSERT_TRUE(editor.ReadBytes(old.lcn * cs, bytes.data(), bytes.size()));
    std::vector<NtfsEditRun> runs;
    for (int64_t i = 0; i < clusters; ++i) runs.push_back({old.lcn + (i ^ 1), 1});
    std::string data(static_cast<size_t>(size), '\0');
    for (int64_t i = 0; i < clusters; ++i)
      for (int64_t j = 0; j < cs && i * cs + j < size; ++j)
        data[static_cast<size_t>(i * cs + j)] = bytes[static_cast<size_t>((i ^ 1) * cs + j)];
    ASSERT_TRUE(editor.SpreadData(record, runs, size, 3));
    expected->push_back({"frag.bin", data});
  }
}

// The tree most tests use, under `root`.
void MakeTree(const std::string& root) {
  WriteFileBytes(root + "/Hello.txt", "hello\n");
  WriteFileBytes(root + "/empty", "");
  WriteFileBytes(root + "/one", "1");
  WriteFileBytes(root + "/r700", RandomBytes(700, 1));
  WriteFileBytes(root + "/" + std::string(200, 'L') + ".txt", "long");
  WriteFileBytes(root + "/caf\xc3\xa9 na\xc3\xafve.txt", "accented");
  WriteFileBytes(root + "/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xf0\x9f\x98\x80.txt", "cjk and emoji");
  WriteFileBytes(root + "/five.bin", RandomBytes(5 * 1000 * 1000, 2));
  std::string deep = root;
  for (int i = 0; i < 30; ++i) deep += "/level" + std::to_string(i);
  WriteFileBytes(deep + "/bottom.txt", "deep");
  for (int i = 0; i < 3000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/many/file%04d.txt", i);
    WriteFileBytes(root + name, std::to_string(i));
  }
  // Rewritten after the volume is made (EditVolume).
  WriteFileBytes(root + "/comp.bin", std::string(5 * 65536, 'c'));
  WriteFileBytes(root + "/sparse.bin", RandomBytes(1 << 20, 3));
  WriteFileBytes(root + "/init.bin", RandomBytes(300000, 4));
  WriteFileBytes(root + "/frag.bin", RandomBytes(600 * 4096 - 100, 5));
}

// The disk most tests use: an MBR partition at 1 MiB holding the edited volume. Made once per folder.
struct Sample {
  std::string folder, tree, volume, disk;
  std::vector<std::pair<std::string, std::string>> edited;
};

void MakeSample(Sample* s, const std::string& name) {
  s->folder = MakeTestFolder(name);
  s->tree = s->folder + "/tree";
  s->volume = s->folder + "/volume.img";
  s->disk = s->folder + "/disk.img";
  MakeTree(s->tree);
  ASSERT_NO_FATAL_FAILURE(MakeVolume(s->folder, s->volume, 64, "", s->tree));
  ASSERT_NO_FATAL_FAILURE(EditVolume(s->volume, &s->edited));
  for (const auto& [file, bytes] : s->edited) WriteFileBytes(s->tree + "/" + file, bytes);
  Sh("truncate -s 66M '" + s->disk + "' && printf 'label: dos\\nstart=2048, type=7\\n' | sfdisk -q '" + s->disk + "'");
  Sh("dd if='" + s->volume + "' of='" + s->disk + "' bs=1M seek=1 conv=notrunc status=none");
}

}  // namespace

TEST(NtfsCli, PartitionedVolumeListsAndExtractsByteForByte) {
  REQUIRE_TOOLS();
  Sample s;
  ASSERT_NO_FATAL_FAILURE(MakeSample(&s, "ntfs_sample"));
  // The edits are what ntfs-3g reads too: the editor wrote what it meant to.
  for (const auto& [file, bytes] : s.edited) {
    const ProgramResult cat = RunShell("ntfscat '" + s.volume + "' '/" + file + "'");
    ASSERT_EQ(cat.status, 0) << file;
    ASSERT_TRUE(cat.out == bytes) << file << " as ntfscat reads it differs from what the editor meant";
  }

  const ProgramResult listed = RunKestrane({"list", s.disk, "/", "-r", "-y"});
  ASSERT_EQ(listed.status, 0) << listed.out.substr(0, 4000);
  EXPECT_NE(listed.out.find("1   Sample"), std::string::npos) << listed.out.substr(0, 2000);
  EXPECT_NE(listed.out.find("NTFS"), std::string::npos);
  EXPECT_NE(listed.out.find("3013 Files, 33 Folders"), std::string::npos) << listed.out.substr(listed.out.size() - 500);
  for (const char* name : {"Hello.txt", "file2999.txt", "bottom.txt", "caf\xc3\xa9 na\xc3\xafve.txt",
                           "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xf0\x9f\x98\x80.txt"})
    EXPECT_NE(listed.out.find(name), std::string::npos) << name;
  // DOS aliases and system files never show.
  EXPECT_EQ(listed.out.find("~1"), std::string::npos);
  EXPECT_EQ(listed.out.find("$MFT"), std::string::npos);

  const std::string out = s.folder + "/out";
  const ProgramResult extracted = RunKestrane({"extract", s.disk, "/", "-od", out, "-y"}, Timeout(120));
  ASSERT_EQ(extracted.status, 0) << extracted.out.substr(0, 4000);
  Sh("diff -r '" + s.tree + "' '" + out + "'");
  Sh("test $(stat -c %Y '" + out + "/five.bin') = " + std::to_string(kFixedTime));
  Sh("test $(stat -c %Y '" + out + "/many/file0042.txt') = " + std::to_string(kFixedTime));
  // Into another file system the stored runs cannot be copied inside the kernel: the same files come by reading.
  if (RunShell("test -d /dev/shm -a -w /dev/shm").status == 0) {
    const std::string other = "/dev/shm/kestrane_ntfs_" + std::to_string(getpid());
    const ProgramResult again = RunKestrane({"extract", s.disk, "/", "-od", other, "-y"}, Timeout(120));
    EXPECT_EQ(again.status, 0) << again.out.substr(0, 2000);
    EXPECT_EQ(RunShell("diff -r '" + s.tree + "' '" + other + "'").status, 0);
    RunShell("rm -rf '" + other + "'");
  }
}

// 7-Zip's extraction and sleuthkit's (every regular file fls names, read with icat) of the same edited volume
// are the tree kestrane extracts.
TEST(NtfsCli, AgreesWithSevenZipAndSleuthkitOnTheSameVolume) {
  REQUIRE_TOOLS();
  const bool sevenZip = RunShell("command -v 7zz").status == 0;
  const bool sleuthkit = RunShell("command -v fls && command -v icat").status == 0;
  if (!sevenZip && !sleuthkit) GTEST_SKIP() << "neither 7zz nor sleuthkit is installed";
  const std::string folder = MakeTestFolder("ntfs_7zz");
  const std::string tree = folder + "/tree";
  WriteFileBytes(tree + "/a/b/c.txt", "c");
  WriteFileBytes(tree + "/a/data.bin", RandomBytes(123457, 7));
  WriteFileBytes(tree + "/comp.bin", std::string(5 * 65536, 'c'));
  WriteFileBytes(tree + "/sparse.bin", RandomBytes(1 << 20, 3));
  WriteFileBytes(tree + "/init.bin", RandomBytes(300000, 4));
  WriteFileBytes(tree + "/frag.bin", RandomBytes(600 * 4096 - 100, 5));
  const std::string image = folder + "/volume.img";
  ASSERT_NO_FATAL_FAILURE(MakeVolume(folder, image, 16, "", tree));
  std::vector<std::pair<std::string, std::string>> edited;
  ASSERT_NO_FATAL_FAILURE(EditVolume(image, &edited));
  const ProgramResult r = RunKestrane({"extract", image, "/", "-od", folder + "/ours", "-y"});
  ASSERT_EQ(r.status, 0) << r.out;
  if (sevenZip) {
    Sh("cd '" + folder + "' && 7zz x -y -o7z volume.img >/dev/null && rm -rf '7z/[SYSTEM]' 7z/'$'*");
    Sh("diff -r '" + folder + "/7z' '" + folder + "/ours'");
  }
  if (sleuthkit) {
    // fls -p: "r/r 64-128-2:<tab>a/data.bin"; system files and named streams are left out.
    Sh("cd '" + folder +
       "' && fls -r -p -u volume.img | awk -F'\t' '$1 ~ /^r\\/r / && $2 !~ /^\\$/ && $2 !~ /:/ "
       "{ split($1, a, \" \"); sub(\":\", \"\", a[2]); print a[2] \"\\t\" $2 }' > tsk.txt && test -s tsk.txt && "
       "while IFS=\"$(printf '\\t')\" read -r inode path; do mkdir -p \"tsk/$(dirname \"$path\")\" && "
       "icat volume.img \"$inode\" > \"tsk/$path\" || exit 1; done < tsk.txt");
    Sh("diff -r '" + folder + "/tsk' '" + folder + "/ours'");
  }
}

TEST(NtfsCli, FourKibSectorsAndRecordsWithALargeFile) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("ntfs_4k");
  const std::string tree = folder + "/tree";
  WriteFileBytes(tree + "/small.txt", "small");
  WriteFileBytes(tree + "/dir/r700", RandomBytes(700, 8));
  // 200 MB from one random MiB repeated: cheap to make, and every MiB at its place.
  const std::string block = RandomBytes(1 << 20, 9);
  {
    FILE* f = std::fopen((tree + "/big.bin").c_str(), "wb");
    ASSERT_TRUE(f);
    for (int i = 0; i < 200; ++i) {
      std::string piece = block;
      std::memcpy(piece.data(), &i, sizeof i);
      ASSERT_EQ(std::fwrite(piece.data(), 1, piece.size(), f), piece.size());
    }
    std::fclose(f);
  }
  const std::string image = folder + "/volume.img";
  ASSERT_NO_FATAL_FAILURE(MakeVolume(folder, image, 240, "-s 4096", tree));
  const ProgramResult info = RunShell("ntfsinfo -m '" + image + "' 2>/dev/null | grep -i 'mft record size'");
  EXPECT_NE(info.out.find("4096"), std::string::npos) << info.out;
  const ProgramResult r = RunKestrane({"extract", image, "/", "-od", folder + "/out", "-y"}, Timeout(120));
  ASSERT_EQ(r.status, 0) << r.out;
  Sh("diff -r '" + tree + "' '" + folder + "/out'");
  RunShell("rm -rf '" + folder + "'");
}

TEST(NtfsCli, EncryptedFileIsReportedNotExtracted) {
  REQUIRE_TOOLS();
  const std::string folder = MakeTestFolder("ntfs_encrypted");
  const std::string tree = folder + "/tree";
  WriteFileBytes(tree + "/secret.bin", RandomBytes(20000, 10));
  const std::string image = folder + "/volume.img";
  ASSERT_NO_FATAL_FAILURE(MakeVolume(folder, image, 8, "", tree));
  NtfsImageEditor editor;
  ASSERT_TRUE(editor.Open(image));
  const int64_t record = editor.FindRecord("secret.bin");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(editor.ReadRecord(record, &bytes));
  const int at = NtfsImageEditor::FindAttribute(bytes, 0x80);
  ASSERT_GT(at, 0);
  bytes[at + 13] |= 0x40;  // the encrypted flag
  ASSERT_TRUE(editor.WriteRecord(record, bytes));

  const ProgramResult r = RunKestrane({"extract", image, "/", "-od", folder + "/out", "-y"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("The file is encrypted."), std::string::npos) << r.out;
  // Nothing of the file's stored bytes is left behind as if it were its content.
  EXPECT_NE(RunShell("test -s '" + folder + "/out/secret.bin'").status, 0);
}
