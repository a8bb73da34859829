// ISO 9660 reading: images made by real mastering tools (Rock Ridge, Joliet, plain, long and non-ASCII names,
// a large folder), and small hand-made images that are damaged on purpose.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/document.h"
#include "session/document.h"
#include "image/format_row.h"
#include "image/sectors.h"
#include "runtime/memory.h"
#include "tree/iso9660.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

// ---------- documents over image bytes ----------

struct DocumentCloser {
  void operator()(CImageDocument* document) const { ImageClose(document); }
};
using Document = std::unique_ptr<CImageDocument, DocumentCloser>;

// A document that reads `stream` as a plain image of 2048-byte sectors, the way the opener sets one up.
Document DocumentOver(FILE* stream, int64_t bytes) {
  Document document(ImageAlloc());
  if (!document) return nullptr;
  document->input = stream;
  document->inputType = kImageTypeIso;
  document->sectorSize = 2048;
  document->readableLimit = bytes / 2048;
  document->quiet = 1;
  return document;
}

// The descriptor loop of the mount: the results of each sector until the terminator or High Sierra.
std::vector<int> ScanDescriptors(CImageDocument* document) {
  std::vector<int> results;
  IsoResetParseState(document);
  uint8_t sector[2048];
  for (int64_t lba = 16; lba < 16 + 50; ++lba) {
    if (ImageReadSectors(document, lba, sector, 1) != 1) break;
    const int result = IsoParseVolumeDescriptors(document, lba, sector);
    results.push_back(result);
    if (result == kIsoDescriptorTerminator || result == kIsoDescriptorHighSierra) break;
  }
  return results;
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  char bytes[MB_LEN_MAX];
  for (; text && *text; ++text) {
    std::mbstate_t state{};
    const size_t n = std::wcrtomb(bytes, *text, &state);
    out.append(n == static_cast<size_t>(-1) ? "?" : std::string(bytes, n));
  }
  return out;
}

// Every path below the root ("dir/", "dir/file"), "." and ".." left out.
std::set<std::string> TreePaths(CTreeFolder* folder, const std::string& prefix = "") {
  std::set<std::string> paths;
  for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
    if (TreeEntryIsDotName(entry)) continue;
    const std::string path = prefix + Narrow(entry->name);
    if (entry->folder) {
      paths.insert(path + "/");
      for (const std::string& below : TreePaths(entry->folder, path + "/")) paths.insert(below);
    } else {
      paths.insert(path);
    }
  }
  return paths;
}

CTreeEntry* FindEntry(CTreeFolder* folder, const std::string& name) {
  for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
    if (Narrow(entry->name) == name) return entry;
  }
  return nullptr;
}

class Utf8Locale {
 public:
  Utf8Locale() {
    const char* old = std::setlocale(LC_CTYPE, nullptr);
    saved_ = old ? old : "C";
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
  ~Utf8Locale() { std::setlocale(LC_CTYPE, saved_.c_str()); }

 private:
  std::string saved_;
};

// ---------- images made by mastering tools ----------

// The images of this process, removed when the tests end.
std::string g_workDir;

class WorkDirCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    if (!g_workDir.empty()) std::system(("rm -rf '" + g_workDir + "'").c_str());
  }
};
[[maybe_unused]] ::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new WorkDirCleanup);

std::string WorkDir() {
  if (g_workDir.empty()) {
    g_workDir = ::testing::TempDir() + "kestrane_iso9660_" + std::to_string(::getpid());
    ::mkdir(g_workDir.c_str(), 0700);
  }
  return g_workDir;
}

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// The source tree of the tool-made images; with `astral` also a name outside the Basic Multilingual Plane,
// which genisoimage cannot write into Joliet.
const std::string& MainTree(bool astral) {
  static std::map<bool, std::string> roots;
  std::string& root = roots[astral];
  if (!root.empty()) return root;
  root = WorkDir() + (astral ? "/main_astral" : "/main");
  std::system(("rm -rf '" + root + "' && mkdir -p '" + root + "/Sub Dir/deeper'").c_str());
  WriteFile(root + "/Long File Name.txt", "hello\n");
  WriteFile(root + "/noext", "x");
  WriteFile(root + "/Sub Dir/lower.txt", "lower\n");
  WriteFile(root + "/Sub Dir/deeper/\xC3\x9Cn\xC3\xAF" "c\xC3\xB8" "d\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt", "u");
  if (astral) WriteFile(root + "/\xF0\x9F\x98\x80 smile.txt", "s");
  return root;
}

std::set<std::string> MainPaths(bool astral) {
  std::set<std::string> paths = {
      "Long File Name.txt",
      "noext",
      "Sub Dir/",
      "Sub Dir/lower.txt",
      "Sub Dir/deeper/",
      "Sub Dir/deeper/\xC3\x9Cn\xC3\xAF" "c\xC3\xB8" "d\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt",
  };
  if (astral) paths.insert("\xF0\x9F\x98\x80 smile.txt");
  return paths;
}

// Runs a mastering tool (its arguments before the output option) over `source` into `name` under the work
// folder; the image's path, or "" when the tool failed.
std::string MakeImage(const std::string& name, const std::string& command, const std::string& source) {
  const std::string image = WorkDir() + "/" + name;
  const std::string line = "cd '" + WorkDir() + "' && LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1600000000 " + command +
                           " -o '" + image + "' '" + source + "' >/dev/null 2>&1";
  if (std::system(line.c_str()) != 0) return "";
  return image;
}

struct LoadedImage {
  Document document;
  std::vector<int> results;
  int loaded = -1;
};

LoadedImage LoadImageFile(const std::string& path) {
  LoadedImage image;
  FILE* stream = std::fopen(path.c_str(), "rb");
  if (!stream) return image;
  std::fseek(stream, 0, SEEK_END);
  const long size = std::ftell(stream);
  image.document = DocumentOver(stream, size);
  image.results = ScanDescriptors(image.document.get());
  image.loaded = IsoLoadTree(image.document.get());
  return image;
}

struct ToolCase {
  const char* name;
  const char* tool;
  const char* options;
  int rockRidge;
  int jolietTree;
  int jolietLevel;
  bool astral;
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

class IsoToolImages : public ::testing::TestWithParam<ToolCase> {
 protected:
  Utf8Locale locale_;
};

// Rock Ridge names win over Joliet; xorriso marks Rock Ridge by "SP" and "ER" only; Joliet-only images load
// the Joliet tree with its surrogate pairs combined.
TEST_P(IsoToolImages, LoadsTheNamesOfTheChosenHierarchy) {
  const ToolCase& c = GetParam();
  if (!HaveTool(c.tool)) GTEST_SKIP() << c.tool << " is not installed";
  const std::string path = MakeImage(std::string(c.name) + ".iso", std::string(c.tool) + " " + c.options,
                                     MainTree(c.astral));
  ASSERT_FALSE(path.empty()) << "the image could not be made";
  LoadedImage image = LoadImageFile(path);
  CImageDocument* document = image.document.get();
  ASSERT_TRUE(document);
  ASSERT_EQ(image.loaded, 0);
  EXPECT_EQ(image.results.front(), kIsoDescriptorPrimary);
  EXPECT_EQ(image.results.back(), kIsoDescriptorTerminator);
  EXPECT_EQ(document->rockRidge, c.rockRidge);
  EXPECT_EQ(document->jolietTree, c.jolietTree);
  EXPECT_EQ(document->jolietLevel, c.jolietLevel);
  EXPECT_EQ(document->blockSize, 2048);
  EXPECT_EQ(TreePaths(document->rootFolder), MainPaths(c.astral));

  // Every folder shows its "." and ".." entries; files keep their record and size.
  CTreeFolder* sub = TreeFindFolderByPath(document, nullptr, L"Sub Dir");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->flags & (kTreeFolderHasDot | kTreeFolderHasDotDot), kTreeFolderHasDot | kTreeFolderHasDotDot);
  EXPECT_TRUE(FindEntry(sub, "."));
  EXPECT_TRUE(FindEntry(sub, ".."));
  CTreeEntry* lower = FindEntry(sub, "lower.txt");
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->size, 6);
  EXPECT_EQ(lower->parent, sub);
  uint8_t data[2048];
  ASSERT_EQ(ImageReadSectors(document, lower->sourceLba, data, 1), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 6), "lower\n");
}

INSTANTIATE_TEST_SUITE_P(
    Tools, IsoToolImages,
    ::testing::Values(ToolCase{"genisoimage_JR", "genisoimage", "-quiet -J -R", 1, 0, 3, false},
                      ToolCase{"xorriso_R", "xorriso", "-as mkisofs -quiet -R", 1, 0, 0, true},
                      ToolCase{"xorriso_JR", "xorriso", "-as mkisofs -quiet -J -R", 1, 0, 3, true},
                      ToolCase{"genisoimage_J", "genisoimage", "-quiet -J", 0, 1, 3, false},
                      ToolCase{"xorriso_J", "xorriso", "-as mkisofs -quiet -J --norock", 0, 1, 3, false}),
    [](const ::testing::TestParamInfo<ToolCase>& info) { return std::string(info.param.name); });

TEST(IsoPlainImage, IsoNamesLoseTheirVersionAndEmptyExtension) {
  Utf8Locale locale;
  if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  const std::string path = MakeImage("plain.iso", "genisoimage -quiet", MainTree(false));
  ASSERT_FALSE(path.empty());
  LoadedImage image = LoadImageFile(path);
  ASSERT_EQ(image.loaded, 0);
  CImageDocument* document = image.document.get();
  EXPECT_EQ(document->rockRidge, 0);
  EXPECT_EQ(document->jolietTree, 0);
  const std::set<std::string> paths = TreePaths(document->rootFolder);
  for (const char* expected : {"LONG_FIL.TXT", "NOEXT", "SUB_DIR/", "SUB_DIR/LOWER.TXT", "SUB_DIR/DEEPER/"})
    EXPECT_EQ(paths.count(expected), 1u) << expected;
  for (const std::string& path : paths) EXPECT_EQ(path.find(';'), std::string::npos) << path;
}

// A 255-byte Rock Ridge name does not fit its record: xorriso continues it in a continuation area.
TEST(IsoRockRidge, LongNamesFollowContinuationAreas) {
  Utf8Locale locale;
  if (!HaveTool("xorriso")) GTEST_SKIP() << "xorriso is not installed";
  const std::string src = WorkDir() + "/long";
  std::system(("rm -rf '" + src + "' && mkdir -p '" + src + "'").c_str());
  const std::string longName = std::string(251, 'n') + ".txt";
  std::string deepPath = src;
  for (int level = 0; level < 3; ++level) {
    deepPath += "/" + std::string(200, static_cast<char>('a' + level));
    ::mkdir(deepPath.c_str(), 0755);
  }
  WriteFile(src + "/" + longName, "long");
  WriteFile(deepPath + "/" + longName, "deep");
  const std::string path = MakeImage("long.iso", "xorriso -as mkisofs -quiet -R", src);
  ASSERT_FALSE(path.empty());
  LoadedImage image = LoadImageFile(path);
  ASSERT_EQ(image.loaded, 0);
  ASSERT_EQ(image.document->rockRidge, 1);
  const std::set<std::string> paths = TreePaths(image.document->rootFolder);
  EXPECT_EQ(paths.count(longName), 1u);
  EXPECT_EQ(paths.count(std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(200, 'c') + "/" +
                        longName),
            1u);
}

// Thousands of files in one folder load in well under a second, also under the sanitizers.
TEST(IsoLargeFolder, FiveThousandFilesLoadQuickly) {
  if (!HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
  const std::string src = WorkDir() + "/many";
  std::system(("rm -rf '" + src + "' && mkdir -p '" + src + "' && cd '" + src +
               "' && seq -f 'file_with_a_long_name_%05g.dat' 1 5000 | xargs touch")
                  .c_str());
  const std::string path = MakeImage("many.iso", "genisoimage -quiet -J -R", src);
  ASSERT_FALSE(path.empty());
  const auto start = std::chrono::steady_clock::now();
  LoadedImage image = LoadImageFile(path);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(image.loaded, 0);
  int64_t files = 0;
  for (CTreeEntry* entry = image.document->rootFolder->firstEntry; entry; entry = entry->next)
    files += !TreeEntryIsFolder(entry);
  EXPECT_EQ(files, 5000);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 1000);
}

// ---------- hand-made images ----------

void PutBoth32(uint8_t* p, uint32_t value) { PutBothEndian32(p, value); }

// A small image written sector by sector in memory.
class TinyIso {
 public:
  explicit TinyIso(int sectors) : bytes_(static_cast<size_t>(sectors) * 2048) {}

  uint8_t* Sector(int lba) { return bytes_.data() + static_cast<size_t>(lba) * 2048; }
  int Sectors() const { return static_cast<int>(bytes_.size() / 2048); }

  // A primary (type 1) or supplementary (type 2) descriptor whose root directory is at `rootLba`.
  void Descriptor(int lba, int type, int rootLba, uint32_t rootLength, const char* label = "TINY",
                  const char* escape = nullptr) {
    uint8_t* d = Sector(lba);
    d[0] = static_cast<uint8_t>(type);
    std::memcpy(d + 1, "CD001", 5);
    d[6] = 1;
    std::memset(d + 8, ' ', 32);
    std::memset(d + 40, ' ', 32);
    std::memcpy(d + 40, label, std::strlen(label));
    PutBoth32(d + 80, static_cast<uint32_t>(Sectors()));
    PutBothEndian16(d + 128, 2048);
    if (escape) std::memcpy(d + 88, escape, 3);
    Record(d + 156, rootLba, rootLength, 0x02, std::string(1, '\0'));
  }
  void Terminator(int lba) {
    uint8_t* d = Sector(lba);
    d[0] = 255;
    std::memcpy(d + 1, "CD001", 5);
    d[6] = 1;
  }

  // Writes a directory record at `at`; its length.
  static int Record(uint8_t* at, uint32_t lba, uint32_t length, uint8_t flags, const std::string& id,
                    const std::string& systemUse = "") {
    const int idLength = static_cast<int>(id.size());
    const int pad = (idLength & 1) ? 0 : 1;
    const int recordLength = 33 + idLength + pad + static_cast<int>(systemUse.size());
    std::memset(at, 0, static_cast<size_t>(recordLength));
    at[0] = static_cast<uint8_t>(recordLength);
    PutBoth32(at + 2, lba);
    PutBoth32(at + 10, length);
    const uint8_t date[7] = {120, 1, 2, 3, 4, 5, 0};
    std::memcpy(at + 18, date, 7);
    at[25] = flags;
    PutBothEndian16(at + 28, 1);
    at[32] = static_cast<uint8_t>(idLength);
    std::memcpy(at + 33, id.data(), id.size());
    std::memcpy(at + 33 + idLength + pad, systemUse.data(), systemUse.size());
    return recordLength;
  }

  // Appends records to the directory at `lba` (one sector).
  void Add(int lba, uint32_t extent, uint32_t length, uint8_t flags, const std::string& id,
           const std::string& systemUse = "") {
    int& used = fill_[lba];
    used += Record(Sector(lba) + used, extent, length, flags, id, systemUse);
  }
  // "." and ".." of the directory at `lba`, the "." one carrying `dotSystemUse`.
  void Dots(int lba, int parent, const std::string& dotSystemUse = "") {
    Add(lba, static_cast<uint32_t>(lba), 2048, 0x02, std::string(1, '\0'), dotSystemUse);
    Add(lba, static_cast<uint32_t>(parent), 2048, 0x02, std::string(1, '\1'));
  }

  LoadedImage Load() {
    LoadedImage image;
    FILE* stream = fmemopen(bytes_.data(), bytes_.size(), "rb");
    if (!stream) return image;
    image.document = DocumentOver(stream, static_cast<int64_t>(bytes_.size()));
    image.results = ScanDescriptors(image.document.get());
    image.loaded = IsoLoadTree(image.document.get());
    return image;
  }

 private:
  std::vector<uint8_t> bytes_;
  std::map<int, int> fill_;
};

// System Use entries.
std::string Entry(const char* signature, const std::string& body, int version = 1) {
  std::string e(signature, 2);
  e += static_cast<char>(4 + body.size());
  e += static_cast<char>(version);
  return e + body;
}
std::string Sp(int skip = 0) { return Entry("SP", std::string("\xBE\xEF", 2) + static_cast<char>(skip)); }
std::string Nm(const std::string& name, int flags = 0) { return Entry("NM", static_cast<char>(flags) + name); }
std::string Ce(uint32_t block, uint32_t offset, uint32_t length) {
  std::string body(24, '\0');
  PutBoth32(reinterpret_cast<uint8_t*>(body.data()), block);
  PutBoth32(reinterpret_cast<uint8_t*>(body.data()) + 8, offset);
  PutBoth32(reinterpret_cast<uint8_t*>(body.data()) + 16, length);
  return Entry("CE", body);
}
std::string Er(const std::string& id) {
  std::string body;
  body += static_cast<char>(id.size());
  body += '\0';
  body += '\0';
  body += '\1';
  return Entry("ER", body + id);
}

// A Rock Ridge volume: PVD at 16, terminator at 17, root at 18 whose "." record marks Rock Ridge by SP + ER.
TinyIso RockRidgeIso(int sectors) {
  TinyIso iso(sectors);
  iso.Descriptor(16, 1, 18, 2048);
  iso.Terminator(17);
  iso.Dots(18, 18, Sp() + Er("RRIP_1991A"));
  return iso;
}

TEST(IsoDescriptors, SecondPrimaryIsRefusedAndTheFirstStays) {
  TinyIso iso(24);
  iso.Descriptor(16, 1, 19, 2048, "FIRST");
  iso.Descriptor(17, 1, 20, 2048, "SECOND");
  iso.Terminator(18);
  iso.Dots(19, 19);
  iso.Add(19, 21, 5, 0, "ONE.TXT;1");
  iso.Dots(20, 20);
  LoadedImage image = iso.Load();
  EXPECT_EQ(image.results, (std::vector<int>{kIsoDescriptorPrimary, kIsoDescriptorOther, kIsoDescriptorTerminator}));
  EXPECT_EQ(image.document->primaryLba, 16);
  EXPECT_STREQ(image.document->identifiers[kVolumeLabel], L"FIRST");
  ASSERT_EQ(image.loaded, 0);
  EXPECT_EQ(TreePaths(image.document->rootFolder), (std::set<std::string>{"ONE.TXT"}));
}

// A "%/" escape with an unknown letter is kept but names no encoding we can read: the tree stays on the
// primary names, and a later Joliet descriptor still sets the level and the tree.
TEST(IsoDescriptors, UnknownEscapeLetterNeverBecomesTheTree) {
  for (bool laterJoliet : {false, true}) {
    SCOPED_TRACE(laterJoliet ? "with a Joliet descriptor after it" : "alone");
    TinyIso iso(26);
    iso.Descriptor(16, 1, 20, 2048);
    iso.Descriptor(17, 2, 21, 2048, "", "%/X");
    if (laterJoliet) iso.Descriptor(18, 2, 22, 2048, "", "%/E");
    iso.Terminator(19);
    iso.Dots(20, 20);
    iso.Add(20, 23, 1, 0, "PRIMARY.TXT;1");
    iso.Dots(21, 21);
    iso.Add(21, 23, 1, 0, std::string("\0B\0A\0D", 6));
    iso.Dots(22, 22);
    iso.Add(22, 23, 1, 0, std::string("\0J\0o\0l\0i\0e\0t\0.\0t\0x\0t\0;\0" "1", 24));
    LoadedImage image = iso.Load();
    ASSERT_EQ(image.loaded, 0);
    CImageDocument* document = image.document.get();
    EXPECT_EQ(image.results[1], kIsoDescriptorJoliet);
    EXPECT_EQ(document->jolietLevel, laterJoliet ? 3 : 0);
    EXPECT_EQ(document->jolietTree, laterJoliet ? 1 : 0);
    EXPECT_EQ(document->supplementaryLba, laterJoliet ? 18 : 17);
    EXPECT_EQ(TreePaths(document->rootFolder),
              (std::set<std::string>{laterJoliet ? "Joliet.txt" : "PRIMARY.TXT"}));
  }
}

TEST(IsoDescriptors, BootRecordAndTypeTwoWithoutEscape) {
  TinyIso iso(24);
  iso.Descriptor(16, 1, 20, 2048);
  uint8_t* boot = iso.Sector(17);
  boot[0] = 0;
  std::memcpy(boot + 1, "CD001", 5);
  std::memcpy(boot + 7, "EL TORITO SPECIFICATION", 23);
  iso.Descriptor(18, 2, 20, 2048);  // no escape sequence
  iso.Terminator(19);
  iso.Dots(20, 20);
  LoadedImage image = iso.Load();
  EXPECT_EQ(image.results, (std::vector<int>{kIsoDescriptorPrimary, kIsoDescriptorBootRecord, kIsoDescriptorOther,
                                             kIsoDescriptorTerminator}));
  EXPECT_EQ(image.document->bootRecordLba, 17);
  EXPECT_EQ(image.document->jolietLevel, 0);
}

// High Sierra keeps the record flags at byte 24: the root date must not read them as a GMT offset, and a
// subdirectory must still be seen as one.
TEST(IsoDescriptors, HighSierraRecordsHaveTheirFlagsMoved) {
  TinyIso iso(24);
  uint8_t* d = iso.Sector(16);
  PutBoth32(d, 16);
  d[8] = 1;
  std::memcpy(d + 9, "CDROM", 5);
  std::memset(d + 16, ' ', 32);
  std::memset(d + 48, ' ', 32);
  std::memcpy(d + 48, "HSVOLUME", 8);
  PutBoth32(d + 88, static_cast<uint32_t>(iso.Sectors()));
  PutBothEndian16(d + 136, 2048);
  auto highSierra = [](uint8_t* record) {
    record[24] = record[25];
    record[25] = 0;
  };
  TinyIso::Record(d + 180, 18, 2048, 0x02, std::string(1, '\0'));
  highSierra(d + 180);
  uint8_t* root = iso.Sector(18);
  int at = 0;
  for (auto [lba, flags, id] : {std::tuple<uint32_t, uint8_t, std::string>{18, 0x02, std::string(1, '\0')},
                                {18, 0x02, std::string(1, '\1')},
                                {19, 0x02, "SUBDIR"},
                                {20, 0x00, "FILE.DAT;1"}}) {
    uint8_t* record = root + at;
    at += TinyIso::Record(record, lba, 2048, flags, id);
    highSierra(record);
  }
  iso.Dots(19, 18);
  for (int i = 0; i < 2; ++i) highSierra(iso.Sector(19) + i * 34);
  LoadedImage image = iso.Load();
  CImageDocument* document = image.document.get();
  EXPECT_EQ(image.results, (std::vector<int>{kIsoDescriptorHighSierra}));
  EXPECT_EQ(document->highSierra, 1);
  EXPECT_STREQ(document->identifiers[kVolumeLabel], L"HSVOLUME");
  const uint8_t date[7] = {120, 1, 2, 3, 4, 5, 0};
  EXPECT_EQ(document->volumeCreationTime, IsoDecodeRecordDate(date));
  ASSERT_EQ(image.loaded, 0);
  EXPECT_EQ(TreePaths(document->rootFolder), (std::set<std::string>{"SUBDIR/", "FILE.DAT"}));
  CTreeEntry* sub = FindEntry(document->rootFolder, "SUBDIR");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->directoryRecord[kDirRecordFlags], 0x02);
  EXPECT_EQ(sub->directoryRecord[24], 0);
}

// Directories that lead back to an ancestor or to themselves end the walk there.
TEST(IsoDamaged, DirectoryLoopsEndTheWalk) {
  TinyIso iso(24);
  iso.Descriptor(16, 1, 18, 2048);
  iso.Terminator(17);
  iso.Dots(18, 18);
  iso.Add(18, 19, 2048, 0x02, "A");
  iso.Dots(19, 18);
  iso.Add(19, 18, 2048, 0x02, "UP");
  iso.Add(19, 19, 2048, 0x02, "SELF");
  iso.Add(19, 20, 2048, 0x02, "B");
  iso.Dots(20, 19);
  iso.Add(20, 19, 2048, 0x02, "BACK");
  iso.Add(20, 21, 3, 0x00, "F.TXT;1");
  LoadedImage image = iso.Load();
  ASSERT_EQ(image.loaded, 0);
  EXPECT_EQ(TreePaths(image.document->rootFolder),
            (std::set<std::string>{"A/", "A/UP/", "A/SELF/", "A/B/", "A/B/BACK/", "A/B/F.TXT"}));
}

// Records that run past their sector or their extent, or claim a length below their identifier, and directory
// extents longer than the volume or outside it: each is stepped over, and what is sound around them is kept.
TEST(IsoDamaged, RecordsOutsideTheirSectorOrExtent) {
  TinyIso iso(24);
  iso.Descriptor(16, 1, 18, 2048 + 60);
  iso.Terminator(17);
  iso.Dots(18, 18);
  iso.Add(18, 21, 1, 0, "GOOD.TXT;1");
  iso.Add(18, 22, 0x1FFFF000, 0x02, "HUGE");
  iso.Add(18, 5000, 2048, 0x02, "FAR");
  // A record whose length runs over the end of its sector.
  uint8_t* tail = iso.Sector(18) + 2000;
  TinyIso::Record(tail, 21, 1, 0, "CROSS.TXT;1");
  tail[0] = 100;
  // The second sector holds 60 bytes of the directory: the second record runs past them.
  iso.Add(19, 21, 1, 0, "LATER.TXT;1");
  iso.Add(19, 21, 1, 0, "PAST.TXT;1");
  // A record whose length is shorter than its identifier ends what is read of its sector.
  iso.Dots(22, 18);
  iso.Add(22, 21, 1, 0, "IN.TXT;1");
  iso.Add(22, 21, 1, 0, "SHORT.TXT;1");
  iso.Sector(22)[34 + 34 + 42] = 36;
  iso.Add(22, 21, 1, 0, "LOST.TXT;1");
  LoadedImage image = iso.Load();
  ASSERT_EQ(image.loaded, 0);
  EXPECT_EQ(TreePaths(image.document->rootFolder),
            (std::set<std::string>{"GOOD.TXT", "LATER.TXT", "HUGE/", "HUGE/IN.TXT", "FAR/"}));
}

// Directory extents that overlap each other to the end of the volume would have the same sectors read again
// for every directory: the load reads no more than a few times the volume.
TEST(IsoDamaged, OverlappingDirectoriesDoNotMultiplyTheReads) {
  constexpr int kSectors = 64;
  constexpr int kDirectories = 40;
  TinyIso iso(kSectors);
  iso.Descriptor(16, 1, 18, 2048);
  iso.Terminator(17);
  iso.Dots(18, 18);
  for (int i = 0; i < kDirectories; ++i) {
    const int lba = 19 + i;
    iso.Add(18, static_cast<uint32_t>(lba), static_cast<uint32_t>((kSectors - lba) * 2048), 0x02,
            "D" + std::to_string(i));
    iso.Dots(lba, 18);
    iso.Add(lba, 5, 1, 0, "F" + std::to_string(i) + ".TXT;1");
  }
  LoadedImage image = iso.Load();
  ASSERT_EQ(image.loaded, 0);
  int64_t files = 0;
  int64_t folders = 0;
  for (CTreeFolder* folder = image.document->rootFolder->firstChild; folder; folder = folder->next, ++folders) {
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) files += !TreeEntryIsFolder(entry);
  }
  EXPECT_EQ(folders, kDirectories);
  // Each directory read to the volume's end would give 40 + 39 + ... + 1 = 820 files.
  EXPECT_GT(files, 0);
  EXPECT_LE(files, 4 * kSectors);
}

// A record marked both directory and associated file is a directory only when its extent starts like one.
TEST(IsoDamaged, AssociatedDirectoryRecords) {
  TinyIso iso(24);
  iso.Descriptor(16, 1, 18, 2048);
  iso.Terminator(17);
  iso.Dots(18, 18);
  iso.Add(18, 19, 2048, 0x06, "REAL");
  iso.Add(18, 20, 2048, 0x06, "NOTDIR");
  iso.Add(18, 21, 2048, 0x06, "BROKEN");
  iso.Dots(19, 18);
  iso.Add(19, 22, 1, 0, "IN.TXT;1");
  std::memset(iso.Sector(20), 0xA5, 64);
  iso.Sector(18)[34 + 34 + 38 + 40 + 2] ^= 0xFF;  // BROKEN: the halves of its LBA differ
  LoadedImage image = iso.Load();
  ASSERT_EQ(image.loaded, 0);
  EXPECT_EQ(TreePaths(image.document->rootFolder), (std::set<std::string>{"REAL/", "REAL/IN.TXT", "NOTDIR"}));
  CTreeEntry* notDir = FindEntry(image.document->rootFolder, "NOTDIR");
  ASSERT_TRUE(notDir);
  EXPECT_EQ(notDir->directoryRecord[kDirRecordFlags], 0x04);
}

TEST(IsoDamaged, UnreadableRootFailsTheLoad) {
  TinyIso iso(20);
  iso.Descriptor(16, 1, 18, 2048);
  iso.Terminator(17);
  iso.Dots(18, 18);
  // Lengths that differ between the two byte orders make the root unreadable.
  iso.Sector(16)[156 + 17] = 0x7F;
  LoadedImage image = iso.Load();
  EXPECT_EQ(image.results.front(), kIsoDescriptorPrimary);
  EXPECT_EQ(image.loaded, -1);
}

// Rock Ridge detection and names from hand-made System Use areas.
TEST(IsoRockRidge, DetectedByRrOrBySharingProtocolWithItsExtension) {
  struct Case {
    const char* name;
    std::string dotArea;
    int rockRidge;
  };
  const Case cases[] = {
      {"RR entry", Entry("RR", std::string(1, '\x89')), 1},
      {"SP and ER RRIP_1991A", Sp() + Er("RRIP_1991A"), 1},
      {"SP and ER IEEE_1282", Sp() + Er("IEEE_1282"), 1},
      {"SP and PX", Sp() + Entry("PX", std::string(32, '\0')), 1},
      {"SP and another extension", Sp() + Er("SOMETHING_ELSE"), 0},
      {"ER without SP", Er("RRIP_1991A"), 0},
      {"SP and ER after a zero-length entry", Sp() + std::string("ZZ\0\1", 4) + Er("RRIP_1991A"), 0},
      {"bad version", Sp() + Er("RRIP_1991A") + Entry("PX", std::string(32, '\0'), 7), 0},
      {"ER in a continuation area", Sp() + Ce(20, 100, 200), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TinyIso iso(24);
    iso.Descriptor(16, 1, 18, 2048);
    iso.Terminator(17);
    iso.Dots(18, 18, c.dotArea);
    const std::string er = Er("IEEE_P1282");
    std::memcpy(iso.Sector(20) + 100, er.data(), er.size());
    LoadedImage image = iso.Load();
    EXPECT_EQ(image.document->rockRidge, c.rockRidge);
  }
}

TEST(IsoRockRidge, NamesFromNmEntriesAndContinuationAreas) {
  Utf8Locale locale;
  const std::string ue = "\xC3\xBC";  // one character split over two NM pieces below
  struct Case {
    const char* name;
    std::string area;
    std::function<void(TinyIso&)> more;
    std::string expected;
  };
  const Case cases[] = {
      {"one piece", Nm("Readme.md"), nullptr, "Readme.md"},
      {"pieces split inside a character", Nm("gr" + ue.substr(0, 1), 1) + Nm(ue.substr(1) + "n"), nullptr,
       "gr\xC3\xBCn"},
      {"a piece after the last is ignored", Nm("one") + Nm("two"), nullptr, "one"},
      {"current and parent flags name nothing", Nm("", 2) + Nm("", 4), nullptr, "F.TXT"},
      {"zero-length entry ends the area", Nm("ab", 1) + std::string("NM\0\1", 4) + Nm("cd"), nullptr, "F.TXT"},
      {"entry longer than the area", std::string("NM\x40\1\0abc", 8), nullptr, "F.TXT"},
      {"bad version fails the name", Nm("x") + Entry("PX", "", 9), nullptr, "F.TXT"},
      {"continuation clamped to its block", Nm("abc", 1) + Ce(21, 2040, 500),
       [](TinyIso& iso) {
         const std::string tail = Nm("xyz");
         std::memcpy(iso.Sector(21) + 2040, tail.data(), tail.size());
       },
       "abcxyz"},
      {"continuation offset past the block", Nm("abc", 1) + Ce(21, 4000, 10), nullptr, "F.TXT"},
      {"continuation past the volume", Nm("abc", 1) + Ce(900000, 0, 100), nullptr, "F.TXT"},
      {"continuation chain that loops",
       Nm("a", 1) + Ce(21, 0, 64),
       [](TinyIso& iso) {
         const std::string loop = Nm("b", 1) + Ce(21, 0, 64);
         std::memcpy(iso.Sector(21), loop.data(), loop.size());
       },
       "F.TXT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TinyIso iso = RockRidgeIso(24);
    iso.Add(18, 22, 1, 0, "F.TXT;1", c.area);
    if (c.more) c.more(iso);
    LoadedImage image = iso.Load();
    ASSERT_EQ(image.loaded, 0);
    EXPECT_EQ(image.document->rockRidge, 1);
    EXPECT_EQ(TreePaths(image.document->rootFolder), (std::set<std::string>{c.expected}));
    CTreeEntry* entry = image.document->rootFolder->firstEntry;
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->systemUseLength, static_cast<int32_t>(c.area.size()));
    EXPECT_EQ(std::memcmp(entry->systemUse, c.area.data(), c.area.size()), 0);
  }
}

TEST(IsoRockRidge, SharingProtocolSkipAppliesBelowTheRoot) {
  TinyIso iso(24);
  iso.Descriptor(16, 1, 18, 2048);
  iso.Terminator(17);
  iso.Dots(18, 18, Sp(4) + Er("RRIP_1991A"));
  iso.Add(18, 22, 1, 0, "F.TXT;1", std::string("\x01\x02\x03\x04", 4) + Nm("skipped.txt"));
  LoadedImage image = iso.Load();
  ASSERT_EQ(image.loaded, 0);
  EXPECT_EQ(TreePaths(image.document->rootFolder), (std::set<std::string>{"skipped.txt"}));
}

// A file stored in several extents is one entry with the extents in order and their summed size.
TEST(IsoMultiExtent, RecordsOfOneNameBecomeOneEntry) {
  TinyIso iso(24);
  iso.Descriptor(16, 1, 18, 2048);
  iso.Terminator(17);
  iso.Dots(18, 18);
  iso.Add(18, 100, 0xFFFFF800u, 0x80, "BIG.BIN;1");
  iso.Add(18, 100 + 0x1FFFFF, 0xFFFFF800u, 0x80, "BIG.BIN;1");
  iso.Add(18, 100 + 2 * 0x1FFFFF, 1000, 0x00, "BIG.BIN;1");
  // A chain that breaks off keeps the pieces read so far.
  iso.Add(18, 50, 4096, 0x80, "CUT.BIN;1");
  iso.Add(18, 60, 7, 0x00, "NEXT.TXT;1");
  LoadedImage image = iso.Load();
  ASSERT_EQ(image.loaded, 0);
  CTreeFolder* root = image.document->rootFolder;
  EXPECT_EQ(TreePaths(root), (std::set<std::string>{"BIG.BIN", "CUT.BIN", "NEXT.TXT"}));
  CTreeEntry* big = FindEntry(root, "BIG.BIN");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->size, 2 * int64_t{0xFFFFF800} + 1000);
  ASSERT_EQ(big->extentCount, 3);
  EXPECT_EQ(big->extents[0].lba, 100);
  EXPECT_EQ(big->extents[1].lba, 100 + 0x1FFFFF);
  EXPECT_EQ(big->extents[2].length, 1000);
  EXPECT_EQ(big->sourceLba, 100);
  CTreeEntry* cut = FindEntry(root, "CUT.BIN");
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->size, 4096);
  EXPECT_EQ(cut->extentCount, 0);
  EXPECT_EQ(FindEntry(root, "NEXT.TXT")->size, 7);
}

// ---------- identifiers ----------

TEST(IsoIdentifiers, DecodedForIsoAndJolietTrees) {
  Utf8Locale locale;
  struct Case {
    bool joliet;
    std::string id;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {false, "FILE.TXT;1", L"FILE.TXT"},
      {false, "FILE;12", L"FILE;12"},
      {false, "NOEXT.;1", L"NOEXT"},
      {false, ";1", L";1"},
      {false, "DIR", L"DIR"},
      {false, "\xC3\xA9t\xE9", L"\u00e9t\u00e9"},  // a byte the locale cannot read keeps its value
      {true, std::string("\0R\0E\0A\0D\0M\0E\0.", 14), L"README"},
      {true, std::string("\0a\0.\0t\0x\0t\0;\0" "1", 14), L"a.txt"},
      {true, std::string("\xD8\x3D\xDE\x00\0.\0t", 8), L"\U0001F600.t"},
      {true, std::string("\0.\0.\0.", 6), L"."},
      {true, std::string("\0v\0;\0" "2", 6), L"v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Document document(ImageAlloc());
    document->jolietLevel = c.joliet ? 3 : 0;
    document->jolietTree = c.joliet ? 1 : 0;
    uint8_t record[256] = {};
    TinyIso::Record(record, 20, 1, 0, c.id);
    wchar_t name[256];
    ASSERT_GE(IsoDecodeFileIdentifier(document.get(), nullptr, record, name, 256), 0);
    EXPECT_STREQ(name, c.expected);
  }
}

}  // namespace
