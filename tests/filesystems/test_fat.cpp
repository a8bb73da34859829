// The FAT driver against volumes made by dosfstools and filled by mtools at test time: names, sizes, bytes and
// dates as read; edits saved through the write cache and checked with fsck.fat and mtools; hand-patched hostile
// volumes; type detection and long-name edges.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "filesystems/fat.h"
#include "image/document.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "session/document.h"
#include "support/run_program.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace fs = std::filesystem;

namespace {

bool ToolsPresent() {
  return RunShell("command -v mkfs.vfat && command -v mcopy && command -v mdir && command -v mtype && "
                  "command -v fsck.fat")
             .status == 0;
}

#define REQUIRE_TOOLS() \
  if (!ToolsPresent()) GTEST_SKIP() << "mkfs.vfat, mtools or fsck.fat is not installed"

const char kMtoolsEnv[] = "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC ";

// Fixed file time of the source trees: 2021-06-15 13:45:30 local (UTC in the tests).
const char kStamp[] = "2021-06-15 13:45:30";

std::string Pattern(size_t n, unsigned seed) {
  std::string bytes(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

struct SourceFile {
  std::string path;  // relative, UTF-8
  std::wstring wide;
  size_t size;
  bool shortOnly;  // mtools stores the name as an 8.3 entry alone (its case bits are not read)
};

// The tree copied into every volume.
const std::vector<SourceFile>& SourceFiles() {
  static const std::vector<SourceFile> files = {
      {"Long File Name With Spaces.txt", L"Long File Name With Spaces.txt", 1234, false},
      {"MiXeD.CaSe", L"MiXeD.CaSe", 10, false},
      {"café au lait.txt", L"café au lait.txt", 777, false},
      {"日本語のファイル.txt", L"日本語のファイル.txt", 5000, false},
      {"empty.bin", L"empty.bin", 0, true},
      {"SHORT.TXT", L"SHORT.TXT", 3, true},
      {"a/b/c/deep file.dat", L"a/b/c/deep file.dat", 70000, false},
      {"a/sibling.bin", L"a/sibling.bin", 4096, true},
      {"big.bin", L"big.bin", 300000, true},
  };
  return files;
}

std::string MakeSourceTree(const std::string& root) {
  const std::string src = root + "/src";
  unsigned seed = 1;
  for (const auto& f : SourceFiles()) WriteFileBytes(src + "/" + f.path, Pattern(f.size, seed++));
  RunShell("find '" + src + "' -exec touch -d '" + kStamp + "' {} +");
  return src;
}

// mkfs.vfat with `options` makes `image` of `kib` KiB; mcopy fills it with the folder's content.
bool MakeVolume(const std::string& image, const std::string& options, int kib, const std::string& content) {
  fs::remove(image);
  if (RunShell("mkfs.vfat " + options + " -C '" + image + "' " + std::to_string(kib) + " >/dev/null 2>&1").status !=
      0)
    return false;
  if (content.empty()) return true;
  return RunShell(std::string(kMtoolsEnv) + "sh -c 'cd \"" + content + "\" && mcopy -s -m -i \"" + image +
                  "\" * ::' 2>&1")
             .status == 0;
}

struct DocumentCloser {
  void operator()(CImageDocument* document) const {
    FatFreeVolume(document);
    ImageClose(document);
  }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

Document OpenVolume(const std::string& image, bool writable = false) {
  Document document(ImageAlloc());
  document->input = std::fopen(image.c_str(), writable ? "r+b" : "rb");
  document->sectorSize = 512;
  document->partitionStart = 0;
  document->loadTree = 1;
  document->quiet = 1;
  return document;
}

std::string ReadAll(CImageDocument* document, const CTreeEntry* entry) {
  std::string bytes(static_cast<size_t>(entry->size), '\0');
  const int64_t got = FatReadFileData(document, entry, bytes.data(), 0, entry->size);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

// Writes every sector of the volume, as the write cache holds it, to `path`.
bool SaveVolume(CImageDocument* document, const std::string& path) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  const uint64_t total = document->fat->totalSectors;
  std::vector<uint8_t> buffer(2048 * 512);
  bool ok = true;
  for (uint64_t at = 0; at < total && ok;) {
    const int64_t n = static_cast<int64_t>(std::min<uint64_t>(2048, total - at));
    ok = FatReadSectors(document, at, buffer.data(), n) == n &&
         std::fwrite(buffer.data(), 512, static_cast<size_t>(n), out) == static_cast<size_t>(n);
    at += static_cast<uint64_t>(n);
  }
  return std::fclose(out) == 0 && ok;
}

void ExpectFsckClean(const std::string& image) {
  const ProgramResult check = RunShell("fsck.fat -n '" + image + "' 2>&1");
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(check.out.find("differ"), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("wrong"), std::string::npos) << check.out;
}

std::string Mtype(const std::string& image, const std::string& path) {
  return RunShell(std::string(kMtoolsEnv) + "mtype -i '" + image + "' '::" + path + "'").out;
}

CTreeEntry* Find(CImageDocument* document, const std::wstring& path) {
  return TreeFindEntryByPath(document, nullptr, path.c_str());
}

int64_t LocalStampTime() {
  std::tm fields{};
  fields.tm_year = 121;
  fields.tm_mon = 5;
  fields.tm_mday = 15;
  fields.tm_hour = 13;
  fields.tm_min = 45;
  fields.tm_sec = 30;
  fields.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&fields));
}

// ---------- reading volumes made by the tools ----------

struct VolumeCase {
  const char* name;
  const char* options;
  int kib;
  int type;
};

class FatReadTest : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(FatReadTest, NamesSizesBytesAndDates) {
  REQUIRE_TOOLS();
  const VolumeCase& c = GetParam();
  const std::string dir = MakeTestFolder(std::string("fat-read-") + c.name);
  const std::string image = dir + "/v.img";
  ASSERT_TRUE(MakeVolume(image, std::string(c.options) + " -n 'MY DISK'", c.kib, MakeSourceTree(dir)));
  Document document = OpenVolume(image);
  ASSERT_EQ(FatOpenVolume(document.get()), 1);
  ASSERT_NE(document->fat, nullptr);
  EXPECT_EQ(document->fat->type, c.type);
  EXPECT_EQ(document->inputType, kInputTypeFat);
  EXPECT_STREQ(document->identifiers[kVolumeLabel], L"MY DISK");
  EXPECT_EQ(document->treeDamaged, 0);
  unsigned seed = 1;
  for (const auto& f : SourceFiles()) {
    SCOPED_TRACE(f.path);
    CTreeEntry* entry = Find(document.get(), L"/" + f.wide);
    ASSERT_NE(entry, nullptr);
    std::wstring expected = f.wide.substr(f.wide.rfind(L'/') + 1);
    // An 8.3 entry alone reads lower-cased on FAT32 and as stored (upper case) on FAT12/16.
    if (f.shortOnly)
      for (wchar_t& ch : expected) ch = c.type == kFatType32 ? towlower(ch) : towupper(ch);
    EXPECT_EQ(std::wstring(entry->name), expected);
    EXPECT_EQ(entry->size, static_cast<int64_t>(f.size));
    EXPECT_FALSE(TreeEntryIsFolder(entry));
    EXPECT_EQ(ReadAll(document.get(), entry), Pattern(f.size, seed++));
    EXPECT_EQ(IsoDecodeRecordDate(entry->directoryRecord + kDirRecordDate), LocalStampTime());
    EXPECT_STREQ(IsoFormatRecordDate(entry->directoryRecord + kDirRecordDate), L"2021-06-15 13:45");
  }
  CTreeEntry* folder = Find(document.get(), L"/a/b");
  ASSERT_NE(folder, nullptr);
  EXPECT_TRUE(TreeEntryIsFolder(folder));
  ASSERT_NE(folder->folder, nullptr);
  // Reads from an offset, within a cluster and across clusters, cut at the file's end.
  CTreeEntry* big = Find(document.get(), L"/big.bin");
  ASSERT_NE(big, nullptr);
  const std::string whole = Pattern(300000, 9);
  std::string part(5000, '\0');
  EXPECT_EQ(FatReadFileData(document.get(), big, part.data(), 7, 5000), 5000);
  EXPECT_EQ(part, whole.substr(7 * 512, 5000));
  EXPECT_EQ(FatReadFileData(document.get(), big, part.data(), 580, 5000), 300000 - 580 * 512);
  EXPECT_EQ(part.substr(0, 300000 - 580 * 512), whole.substr(580 * 512));
  EXPECT_EQ(FatReadFileData(document.get(), big, part.data(), 586, 10), 0);
  // Sequential reads from the resume point, then a step back.
  std::string pieces;
  for (uint32_t start = 0; start < 300000 / 512 + 1; start += 64) {
    std::string chunk(64 * 512, '\0');
    const int64_t got = FatReadFileData(document.get(), big, chunk.data(), start, 64 * 512);
    pieces.append(chunk, 0, static_cast<size_t>(got));
  }
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(FatReadFileData(document.get(), big, part.data(), 1, 512), 512);
  EXPECT_EQ(part.substr(0, 512), whole.substr(512, 512));
  // The data sectors of a file are in use; the sector of a free cluster is not.
  const CFatLocator* locator = FatGetLocator(big);
  ASSERT_NE(locator, nullptr);
  CFatVolume* volume = document->fat;
  EXPECT_EQ(FatIsSectorInUse(document.get(), static_cast<int64_t>(FatClusterToSector(volume, locator->firstCluster))), 1);
  EXPECT_EQ(FatIsSectorInUse(document.get(), 0), 1);
  uint32_t freeCluster = 0;
  for (uint32_t cl = volume->clusterCount + 1; cl >= 2 && !freeCluster; --cl)
    if (FatGetEntry(volume, cl) == 0) freeCluster = cl;
  ASSERT_NE(freeCluster, 0u);
  EXPECT_EQ(FatIsSectorInUse(document.get(), static_cast<int64_t>(FatClusterToSector(volume, freeCluster))), 0);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatReadTest,
                         ::testing::Values(VolumeCase{"fat12", "", 1440, kFatType12},
                                           VolumeCase{"fat16", "-F 16", 20480, kFatType16},
                                           VolumeCase{"fat32", "-F 32 -s 1", 40960, kFatType32}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FatRead, ShortNamesWithoutLongNamesReadLowerOnFat32Only) {
  REQUIRE_TOOLS();
  const std::string dir = MakeTestFolder("fat-short-names");
  // Without a label entry FAT16 shows the boot sector's label field; FAT32 has none.
  for (const auto& [options, kib, expected, label] :
       {std::tuple{"-F 16", 20480, L"/README.TXT", L"NO NAME"}, std::tuple{"-F 32 -s 1", 40960, L"/readme.txt", L"<No Label>"}}) {
    const std::string image = dir + "/v.img";
    ASSERT_TRUE(MakeVolume(image, options, kib, ""));
    WriteFileBytes(dir + "/README.TXT", "hi");
    // mtools writes an upper-case 8.3 name without long-name parts.
    ASSERT_EQ(RunShell(std::string(kMtoolsEnv) + "mcopy -i '" + image + "' '" + dir + "/README.TXT' ::").status, 0);
    Document document = OpenVolume(image);
    ASSERT_EQ(FatOpenVolume(document.get()), 1);
    CTreeEntry* entry = Find(document.get(), expected);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::wstring(entry->name), std::wstring(expected + 1));
    EXPECT_STREQ(document->identifiers[kVolumeLabel], label);
  }
}

TEST(FatRead, FolderOfThreeThousandFilesOnFat32) {
  REQUIRE_TOOLS();
  const std::string dir = MakeTestFolder("fat-many");
  const std::string src = dir + "/src/many";
  fs::create_directories(src);
  // Names that differ in their first characters keep mtools' alias search short.
  auto name = [](int i) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d long named file.txt", i);
    return std::string(text);
  };
  for (int i = 0; i < 3000; ++i) WriteFileBytes(src + "/" + name(i), std::to_string(i));
  const std::string image = dir + "/v.img";
  ASSERT_TRUE(MakeVolume(image, "-F 32 -s 1", 40960, dir + "/src"));
  Document document = OpenVolume(image);
  ASSERT_EQ(FatOpenVolume(document.get()), 1);
  CTreeEntry* many = Find(document.get(), L"/many");
  ASSERT_NE(many, nullptr);
  CTreeStatistics statistics;
  TreeGetStatistics(document.get(), many->folder, &statistics, 0);
  EXPECT_EQ(statistics.fileCount, 3000);
  for (int i : {0, 1499, 2999}) {
    const std::string n = name(i);
    CTreeEntry* entry = Find(document.get(), L"/many/" + std::wstring(n.begin(), n.end()));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(ReadAll(document.get(), entry), std::to_string(i));
  }
  // One more file in the full directory, saved and checked by the tools.
  const std::string extra = dir + "/extra.txt";
  WriteFileBytes(extra, "the last one");
  CTreeEntry* added = TreeNewEntry();
  added->name = WcsDup(L"a name for the 3001st entry.txt");
  added->sourcePath = WcsDup(std::wstring(extra.begin(), extra.end()).c_str());
  TreeFolderPrependEntry(many->folder, added);
  ASSERT_EQ(FatAddFile(document.get(), nullptr, added), 0);
  const std::string saved = dir + "/saved.img";
  ASSERT_TRUE(SaveVolume(document.get(), saved));
  ExpectFsckClean(saved);
  EXPECT_EQ(Mtype(saved, "/many/a name for the 3001st entry.txt"), "the last one");
}

// ---------- edits ----------

CTreeEntry* NewFileEntry(CTreeFolder* folder, const std::wstring& name, const std::string& localPath) {
  CTreeEntry* entry = TreeNewEntry();
  entry->name = WcsDup(name.c_str());
  entry->sourcePath = WcsDup(std::wstring(localPath.begin(), localPath.end()).c_str());
  IsoEncodeRecordDate(entry->directoryRecord + kDirRecordDate, LocalStampTime());
  TreeFolderPrependEntry(folder, entry);
  return entry;
}

class FatEditTest : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(FatEditTest, AddMakeDeleteReplaceThenSave) {
  REQUIRE_TOOLS();
  const VolumeCase& c = GetParam();
  const std::string dir = MakeTestFolder(std::string("fat-edit-") + c.name);
  const std::string image = dir + "/v.img";
  ASSERT_TRUE(MakeVolume(image, c.options, c.kib, MakeSourceTree(dir)));
  const std::string original = ReadFileBytes(image);
  const std::string newData = Pattern(9000, 77), innerData = Pattern(1500, 78), replaced = Pattern(40000, 79);
  WriteFileBytes(dir + "/new.bin", newData);
  WriteFileBytes(dir + "/inner.bin", innerData);
  WriteFileBytes(dir + "/replaced.bin", replaced);
  {
    Document document = OpenVolume(image);
    ASSERT_EQ(FatOpenVolume(document.get()), 1);
    CImageDocument* doc = document.get();
    const uint32_t freeBefore = doc->fat->freeCount;
    // A file with a long, accented name in the root.
    CTreeEntry* added = NewFileEntry(doc->rootFolder, L"New Fïle with a long name.bin", dir + "/new.bin");
    ASSERT_EQ(FatAddFile(doc, nullptr, added), 0);
    EXPECT_EQ(ReadAll(doc, added), newData);
    // A folder at the first level, one inside it, a file in the inner one.
    CTreeEntry* folder = TreeAddFolderNode(doc, doc->rootFolder, L"Fresh Folder");
    ASSERT_EQ(FatMakeDirectory(doc, folder), 0);
    CTreeEntry* inner = TreeAddFolderNode(doc, folder->folder, L"inner");
    ASSERT_EQ(FatMakeDirectory(doc, inner), 0);
    CTreeEntry* innerFile = NewFileEntry(inner->folder, L"日本.bin", dir + "/inner.bin");
    ASSERT_EQ(FatAddFile(doc, nullptr, innerFile), 0);
    // Two names whose aliases collide.
    CTreeEntry* twinA = NewFileEntry(doc->rootFolder, L"Collision number one.txt", dir + "/inner.bin");
    CTreeEntry* twinB = NewFileEntry(doc->rootFolder, L"Collision number two.txt", dir + "/inner.bin");
    ASSERT_EQ(FatAddFile(doc, nullptr, twinA), 0);
    ASSERT_EQ(FatAddFile(doc, nullptr, twinB), 0);
    // A copy of a file of the volume itself.
    CTreeEntry* copy = NewFileEntry(doc->rootFolder, L"copy of big.bin", "");
    ASSERT_EQ(FatAddFile(doc, Find(doc, L"/big.bin"), copy), 0);
    // Replace one, delete a file and a folder tree.
    CTreeEntry* target = Find(doc, L"/MiXeD.CaSe");
    ASSERT_NE(target, nullptr);
    MemFree(target->sourcePath);
    target->sourcePath = WcsDup(std::wstring(dir.begin(), dir.end()).append(L"/replaced.bin").c_str());
    ASSERT_EQ(FatAddFile(doc, nullptr, target), 0);
    EXPECT_EQ(ReadAll(doc, target), replaced);
    ASSERT_EQ(FatDeleteFile(doc, Find(doc, L"/big.bin")), 0);
    ASSERT_EQ(FatDeleteDirectory(doc, Find(doc, L"/a")), 0);
    EXPECT_LT(doc->fat->freeCount, freeBefore + 1000);
    // The image file itself is untouched: edits live in the cache.
    EXPECT_EQ(ReadFileBytes(image), original);
    ASSERT_TRUE(SaveVolume(doc, dir + "/saved.img"));
  }
  const std::string saved = dir + "/saved.img";
  ExpectFsckClean(saved);
  EXPECT_EQ(Mtype(saved, "/New Fïle with a long name.bin"), newData);
  EXPECT_EQ(Mtype(saved, "/Fresh Folder/inner/日本.bin"), innerData);
  EXPECT_EQ(Mtype(saved, "/Collision number two.txt"), innerData);
  EXPECT_EQ(Mtype(saved, "/copy of big.bin"), Pattern(300000, 9));
  EXPECT_EQ(Mtype(saved, "/MiXeD.CaSe"), replaced);
  EXPECT_NE(RunShell(std::string(kMtoolsEnv) + "mdir -i '" + saved + "' ::/big.bin 2>&1").status, 0);
  EXPECT_NE(RunShell(std::string(kMtoolsEnv) + "mdir -i '" + saved + "' ::/a 2>&1").status, 0);
  const ProgramResult listing = RunShell(std::string(kMtoolsEnv) + "mdir -i '" + saved + "' ::/ 2>&1");
  EXPECT_NE(listing.out.find("COLLIS~1 TXT"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("COLLIS~2 TXT"), std::string::npos) << listing.out;
  // Our own reader sees the same.
  Document again = OpenVolume(saved);
  ASSERT_EQ(FatOpenVolume(again.get()), 1);
  EXPECT_EQ(Find(again.get(), L"/a"), nullptr);
  CTreeEntry* innerAgain = Find(again.get(), L"/Fresh Folder/inner/日本.bin");
  ASSERT_NE(innerAgain, nullptr);
  EXPECT_EQ(ReadAll(again.get(), innerAgain), innerData);
  EXPECT_EQ(IsoDecodeRecordDate(innerAgain->directoryRecord + kDirRecordDate), LocalStampTime());
}

INSTANTIATE_TEST_SUITE_P(Fat, FatEditTest,
                         ::testing::Values(VolumeCase{"fat12", "", 1440, kFatType12},
                                           VolumeCase{"fat16", "-F 16", 20480, kFatType16},
                                           VolumeCase{"fat32", "-F 32 -s 1", 40960, kFatType32}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FatEdit, FileNeedingExactlyTheFreeClustersIsRefused) {
  REQUIRE_TOOLS();
  const std::string dir = MakeTestFolder("fat-full");
  const std::string image = dir + "/v.img";
  ASSERT_TRUE(MakeVolume(image, "", 1440, ""));
  Document document = OpenVolume(image);
  ASSERT_EQ(FatOpenVolume(document.get()), 1);
  CImageDocument* doc = document.get();
  const uint32_t free = doc->fat->freeCount;
  const size_t bpc = doc->fat->bytesPerCluster;
  WriteFileBytes(dir + "/exact.bin", Pattern(free * bpc, 3));
  WriteFileBytes(dir + "/fits.bin", Pattern((free - 1) * bpc, 4));
  AbortCodeSet(0);
  CTreeEntry* exact = NewFileEntry(doc->rootFolder, L"exact.bin", dir + "/exact.bin");
  EXPECT_EQ(FatAddFile(doc, nullptr, exact), -1);
  EXPECT_EQ(AbortCodeGet(), kAbortCancelled);
  EXPECT_EQ(doc->fat->freeCount, free);
  AbortCodeSet(0);
  CTreeEntry* fits = NewFileEntry(doc->rootFolder, L"fits.bin", dir + "/fits.bin");
  EXPECT_EQ(FatAddFile(doc, nullptr, fits), 0);
  EXPECT_EQ(doc->fat->freeCount, 1u);
  ASSERT_TRUE(SaveVolume(doc, dir + "/saved.img"));
  ExpectFsckClean(dir + "/saved.img");
  EXPECT_EQ(Mtype(dir + "/saved.img", "/fits.bin"), Pattern((free - 1) * bpc, 4));
  EXPECT_NE(RunShell(std::string(kMtoolsEnv) + "mdir -i '" + dir + "/saved.img' ::/exact.bin 2>&1").status, 0);
}

TEST(FatEdit, LongNamePartsFor13And14Units) {
  REQUIRE_TOOLS();
  const std::string dir = MakeTestFolder("fat-lfn");
  const std::string image = dir + "/v.img";
  ASSERT_TRUE(MakeVolume(image, "", 1440, ""));
  WriteFileBytes(dir + "/x", "x");
  Document document = OpenVolume(image);
  ASSERT_EQ(FatOpenVolume(document.get()), 1);
  CImageDocument* doc = document.get();
  struct Case {
    std::wstring name;
    uint32_t entries;
  };
  for (const Case& c : {Case{L"abcdefghij.tx", 2}, Case{L"abcdefghij.txt", 3}}) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    CTreeEntry* entry = NewFileEntry(doc->rootFolder, c.name, dir + "/x");
    ASSERT_EQ(FatAddFile(doc, nullptr, entry), 0);
    const CFatLocator* locator = FatGetLocator(entry);
    ASSERT_NE(locator, nullptr);
    ASSERT_EQ(locator->entryCount, c.entries);
    std::vector<uint8_t> root(doc->fat->rootSectors * 512);
    ASSERT_EQ(FatReadSectors(doc, doc->fat->rootStart, root.data(), doc->fat->rootSectors), doc->fat->rootSectors);
    const uint8_t* first = root.data() + (locator->entryIndex + 1 - c.entries) * 32;
    EXPECT_EQ(first[0], 0x40 | (c.entries - 1));
    EXPECT_EQ(first[11], 0x0F);
    if (c.entries == 3) {
      // Part 2 holds unit 14 ('t'), the 0 terminator and 11 units of 0xFFFF.
      EXPECT_EQ(first[1], 't');
      EXPECT_EQ(first[3] | first[4], 0);
      EXPECT_EQ(first[5], 0xFF);
      EXPECT_EQ(first[30], 0xFF);
      EXPECT_EQ(first[31], 0xFF);
    } else {
      EXPECT_EQ(first[30], 'x');  // the 13th unit fills the part: no terminator
    }
  }
  ASSERT_TRUE(SaveVolume(doc, dir + "/saved.img"));
  ExpectFsckClean(dir + "/saved.img");
  const ProgramResult listing = RunShell(std::string(kMtoolsEnv) + "mdir -i '" + dir + "/saved.img' ::/ 2>&1");
  EXPECT_NE(listing.out.find("abcdefghij.tx\n"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("abcdefghij.txt\n"), std::string::npos) << listing.out;
}

// ---------- type detection ----------

// A boot sector of 512-byte sectors, 1 sector per cluster, 1 reserved sector, 1 FAT of `fatSectors`, a root of
// `rootEntries` and a total that leaves exactly `clusters` clusters.
std::vector<uint8_t> BootSector(uint32_t clusters, uint16_t rootEntries, uint32_t fatSectors, const char* text82) {
  std::vector<uint8_t> boot(512, 0);
  const uint32_t rootSectors = (rootEntries * 32 + 511) / 512;
  const uint32_t total = 1 + fatSectors + rootSectors + clusters;
  PutLittleEndian16(boot.data() + 11, 512);
  boot[13] = 1;
  PutLittleEndian16(boot.data() + 14, 1);
  boot[16] = 1;
  PutLittleEndian16(boot.data() + 17, rootEntries);
  if (total < 65536)
    PutLittleEndian16(boot.data() + 19, static_cast<uint16_t>(total));
  else
    PutLittleEndian32(boot.data() + 32, total);
  boot[21] = 0xF8;
  PutLittleEndian32(boot.data() + 36, fatSectors);
  if (text82) std::memcpy(boot.data() + 82, text82, 5);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  return boot;
}

TEST(FatDetect, ClusterCountEdgesAndTypeTexts) {
  struct Case {
    uint32_t clusters;
    uint16_t rootEntries;
    const char* text82;
    int type;
  };
  for (const Case& c : {Case{4084, 16, nullptr, kFatType12}, Case{4085, 16, nullptr, kFatType16},
                        Case{65524, 16, nullptr, kFatType16}, Case{65525, 16, nullptr, kFatType32},
                        Case{70000, 0, nullptr, 0}, Case{70000, 0, "FAT32", kFatType32}}) {
    SCOPED_TRACE(c.clusters);
    const std::vector<uint8_t> boot = BootSector(c.clusters, c.rootEntries, 600, c.text82);
    EXPECT_EQ(FatDetectType(boot.data()), c.type);
  }
}

TEST(FatDetect, RefusesWhatIsNoFatVolume) {
  const std::string dir = MakeTestFolder("fat-refuse");
  std::vector<uint8_t> good = BootSector(4000, 224, 12, nullptr);
  struct Case {
    const char* name;
    size_t offset;
    uint8_t value;
  };
  for (const Case& c : {Case{"signature", 510, 0}, Case{"sector size", 12, 4}, Case{"cluster size", 13, 0},
                        Case{"no FATs", 16, 0}}) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> boot = good;
    boot[c.offset] = c.value;
    std::string bytes(reinterpret_cast<const char*>(boot.data()), boot.size());
    bytes.resize(3 * 1024 * 1024, '\0');
    WriteFileBytes(dir + "/v.img", bytes);
    Document document = OpenVolume(dir + "/v.img");
    EXPECT_EQ(FatOpenVolume(document.get()), 0);
    EXPECT_EQ(document->fat, nullptr);
  }
  // A FAT larger than the file is not read into memory.
  std::vector<uint8_t> huge = BootSector(3000000, 0, 0x00FFFFFF, "FAT32");
  WriteFileBytes(dir + "/v.img", std::string(reinterpret_cast<const char*>(huge.data()), 512) + std::string(8192, '\0'));
  Document document = OpenVolume(dir + "/v.img");
  EXPECT_EQ(FatOpenVolume(document.get()), 0);
}

// ---------- hostile volumes ----------

// mkfs.vfat's 1.44 MB floppy: FAT at sector 1 (9 sectors, two copies), root at 19, data at 33, one sector per
// cluster.
constexpr size_t kFloppyFat = 512, kFloppyRoot = 19 * 512, kFloppyData = 33 * 512;

void Fat12Put(std::string& image, uint32_t cluster, uint32_t value) {
  const size_t at = kFloppyFat + cluster + cluster / 2;
  uint16_t pair = static_cast<uint8_t>(image[at]) | static_cast<uint8_t>(image[at + 1]) << 8;
  pair = cluster & 1 ? static_cast<uint16_t>((pair & 0x000F) | (value << 4))
                     : static_cast<uint16_t>((pair & 0xF000) | (value & 0xFFF));
  image[at] = static_cast<char>(pair);
  image[at + 1] = static_cast<char>(pair >> 8);
}

TEST(FatHostile, LoopsEscapesSelfContainingFoldersAndHugeSizesEndInBoundedTime) {
  REQUIRE_TOOLS();
  const std::string dir = MakeTestFolder("fat-hostile");
  const std::string image = dir + "/v.img";
  ASSERT_TRUE(MakeVolume(image, "", 1440, MakeSourceTree(dir)));
  Document probe = OpenVolume(image);
  ASSERT_EQ(FatOpenVolume(probe.get()), 1);
  ASSERT_EQ(probe->fat->rootStart * 512, kFloppyRoot);
  ASSERT_EQ(probe->fat->firstDataSector * 512, kFloppyData);
  const CFatLocator big = *FatGetLocator(Find(probe.get(), L"/big.bin"));
  const CFatLocator deep = *FatGetLocator(Find(probe.get(), L"/a/b/c/deep file.dat"));
  const CFatLocator folderA = *FatGetLocator(Find(probe.get(), L"/a"));
  const CFatLocator folderB = *FatGetLocator(Find(probe.get(), L"/a/b"));
  probe.reset();
  const std::string clean = ReadFileBytes(image);

  struct Case {
    const char* name;
    std::function<void(std::string&)> patch;
  };
  const std::vector<Case> cases = {
      {"chain loops to its start",
       [&](std::string& img) { Fat12Put(img, big.firstCluster + 3, big.firstCluster); }},
      {"chain leaves the volume", [&](std::string& img) { Fat12Put(img, big.firstCluster + 1, 0xF00); }},
      {"folder contains itself",
       [&](std::string& img) {
         // "/a/b" gets the first cluster of "/a": /a/b is /a again.
         const size_t at = kFloppyData + (folderA.firstCluster - 2) * 512 + folderB.entryIndex * 32;
         img[at + 26] = static_cast<char>(folderA.firstCluster);
         img[at + 27] = static_cast<char>(folderA.firstCluster >> 8);
       }},
      {"size past the volume",
       [&](std::string& img) {
         const size_t at = kFloppyRoot + big.entryIndex * 32 + 28;
         img.replace(at, 4, "\xF0\xFF\xFF\xFF", 4);
       }},
      {"directory chain loops", [&](std::string& img) { Fat12Put(img, folderA.firstCluster, folderA.firstCluster); }},
      {"file chain runs into a folder", [&](std::string& img) { Fat12Put(img, deep.firstCluster, folderA.firstCluster); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = clean;
    c.patch(bytes);
    WriteFileBytes(image, bytes);
    const auto started = std::chrono::steady_clock::now();
    Document document = OpenVolume(image);
    ASSERT_EQ(FatOpenVolume(document.get()), 1);
    std::vector<CTreeFolder*> pending{document->rootFolder};
    int64_t bytesRead = 0;
    while (!pending.empty()) {
      CTreeFolder* folder = pending.back();
      pending.pop_back();
      for (CTreeEntry* e = folder->firstEntry; e; e = e->next) {
        if (TreeEntryIsFolder(e)) continue;
        EXPECT_LE(e->size, int64_t{2847} * 512);
        std::string data(static_cast<size_t>(e->size), '\0');
        const int64_t got = FatReadFileData(document.get(), e, data.data(), 0, e->size);
        EXPECT_LE(got, e->size);
        bytesRead += got;
      }
      for (CTreeFolder* child = folder->firstChild; child; child = child->next) pending.push_back(child);
    }
    EXPECT_GT(bytesRead, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    // Deleting a damaged folder stays bounded too.
    if (CTreeEntry* a = Find(document.get(), L"/a")) FatDeleteDirectory(document.get(), a);
  }
  // A loop and a cut chain end where they should.
  {
    std::string bytes = clean;
    Fat12Put(bytes, big.firstCluster + 1, 0xF00);
    WriteFileBytes(image, bytes);
    Document document = OpenVolume(image);
    ASSERT_EQ(FatOpenVolume(document.get()), 1);
    std::string data(300000, '\0');
    EXPECT_EQ(FatReadFileData(document.get(), Find(document.get(), L"/big.bin"), data.data(), 0, 300000), 2 * 512);
  }
  {
    std::string bytes = clean;
    const size_t at = kFloppyData + (folderA.firstCluster - 2) * 512 + folderB.entryIndex * 32;
    bytes[at + 26] = static_cast<char>(folderA.firstCluster);
    bytes[at + 27] = static_cast<char>(folderA.firstCluster >> 8);
    WriteFileBytes(image, bytes);
    Document document = OpenVolume(image);
    ASSERT_EQ(FatOpenVolume(document.get()), 1);
    EXPECT_EQ(document->treeDamaged, 1);
    EXPECT_NE(Find(document.get(), L"/a/b"), nullptr);
    EXPECT_EQ(Find(document.get(), L"/a/b/sibling.bin"), nullptr);
  }
  // A volume cut short opens or is refused, and reads fail cleanly.
  WriteFileBytes(image, clean.substr(0, 40 * 512));
  Document cut = OpenVolume(image);
  if (FatOpenVolume(cut.get()) == 1) {
    if (CTreeEntry* e = Find(cut.get(), L"/big.bin")) {
      std::string data(static_cast<size_t>(e->size), '\0');
      EXPECT_LT(FatReadFileData(cut.get(), e, data.data(), 0, e->size), e->size);
    }
  }
}

}  // namespace
