// The structure checker the builder's tests rely on: images of two mastering tools pass it, and each kind of
// damage made to a copy of a sound image is reported as what it is.
#include "support/iso_checker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kSector = 2048;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// What the source tree holds: every file with its size and every folder, as paths from the tree's root.
struct SourceTree {
  std::map<std::string, uint64_t> files;
  std::set<std::string> folders;
};

// Nested folders, a folder whose entries fill several directory sectors, long and non-ASCII names, names that
// differ only in case, an empty folder and a 0-byte file, and sibling names whose order differs between a
// plain byte comparison and a name/extension one.
SourceTree MakeSourceTree(const fs::path& root) {
  SourceTree tree;
  auto add = [&](const std::string& relative, size_t size) {
    WriteFile(root / relative, std::string(size, static_cast<char>('a' + size % 26)));
    tree.files[relative] = size;
    for (fs::path p = fs::path(relative).parent_path(); !p.empty(); p = p.parent_path()) {
      tree.folders.insert(p.string());
    }
  };
  for (int i = 0; i < 300; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "many/entry-%03d.dat", i);
    add(name, static_cast<size_t>(i) * 37 % 5000);
  }
  for (int a = 0; a < 4; ++a) {
    for (int b = 0; b < 4; ++b) {
      for (int k = 0; k < 10; ++k) {
        add("grid/row" + std::to_string(a) + "/cell" + std::to_string(b) + "/item" + std::to_string(k) + ".txt",
            100 + static_cast<size_t>(a * 40 + b * 10 + k));
      }
    }
  }
  std::string deep = "deep";
  for (int level = 1; level <= 5; ++level) {  // as deep as genisoimage goes without -D
    deep += "/level" + std::to_string(level);
    add(deep + "/at-" + std::to_string(level) + ".txt", 10 + static_cast<size_t>(level));
  }
  for (int i = 0; i < 8; ++i) add("long/" + std::string(90, static_cast<char>('k' + i)) + "-name-" + std::to_string(i) + ".txt", 3000);
  add("long/" + std::string(60, 'w') + ".txt", 64);
  for (const char* name : {"Readme.txt", "README.TXT", "readme.txt", "gr\xC3\xB6\xC3\x9F" "e.txt",
                           "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt"}) {
    add(std::string("names/") + name, 50);
  }
  for (const char* name : {"a", "a b", "a-b", "a-b.txt", "a.c", "a.txt", "ab", "A_b", "a.b.c", "a.b-"}) {
    add(std::string("order/") + name, 20);
  }
  add("zero.bin", 0);
  fs::create_directories(root / "empty");
  tree.folders.insert("empty");
  return tree;
}

ProgramOptions ToolOptions() {
  ProgramOptions options;
  options.env = {"LC_ALL=C.UTF-8", "SOURCE_DATE_EPOCH=1600000000"};
  options.timeoutSeconds = 120;
  return options;
}

// The one defect of the installed xorriso's Joliet trees: every subdirectory's ".." names the directory itself.
bool IsXorrisoDotDotDefect(const std::string& problem) {
  return problem.rfind("Joliet /", 0) == 0 && problem.find(": \"..\" gives extent") != std::string::npos;
}

// ---------- byte edits ----------

uint32_t Le32At(const std::string& image, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(image[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(image[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(image[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(image[at + 3])) << 24;
}

void PutBe32(std::string& image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// A both-endian 32-bit field: little-endian at `at`, big-endian after it.
void PutBoth32(std::string& image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
  PutBe32(image, at + 4, value);
}

// Byte offsets of the records of a directory, in order.
std::vector<size_t> RecordOffsets(const std::string& image, const IsoCheckEntry& dir) {
  std::vector<size_t> offsets;
  for (size_t sector = 0; sector * kSector < dir.size; ++sector) {
    const size_t base = (dir.lba + sector) * kSector;
    for (size_t pos = 0; pos < kSector && image[base + pos] != 0;) {
      offsets.push_back(base + pos);
      pos += static_cast<uint8_t>(image[base + pos]);
    }
  }
  return offsets;
}

std::string_view IdentifierAt(const std::string& image, size_t record) {
  return std::string_view(image).substr(record + 33, static_cast<uint8_t>(image[record + 32]));
}

size_t RecordLength(const std::string& image, size_t record) { return static_cast<uint8_t>(image[record]); }

const IsoCheckEntry& Find(const std::vector<IsoCheckEntry>& entries, const std::string& path) {
  static const IsoCheckEntry none;
  for (const IsoCheckEntry& entry : entries) {
    if (entry.path == path) return entry;
  }
  ADD_FAILURE() << "no entry " << path;
  return none;
}

bool AnyContains(const std::vector<std::string>& problems, const std::string& text) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

std::string Joined(const std::vector<std::string>& problems) {
  std::string out;
  for (size_t i = 0; i < problems.size() && i < 30; ++i) out += "  " + problems[i] + "\n";
  return out;
}

// ---------- fixture ----------

class IsoCheckerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // ctest runs every test in a process of its own: each gets its own folder.
    folder_ = new std::string(MakeTestFolder("iso_checker_" + std::to_string(getpid())));
    tree_ = new SourceTree(MakeSourceTree(*folder_ + "/src"));
    genisoimage_ = new ProgramResult(RunProgram(
        "/usr/bin/genisoimage", {"-quiet", "-input-charset", "utf-8", "-J", "-joliet-long", "-l", "-V", "CHECKER",
                                 "-o", *folder_ + "/gen.iso", *folder_ + "/src"},
        ToolOptions()));
    xorriso_ = new ProgramResult(RunProgram("/usr/bin/xorriso",
                                            {"-as", "mkisofs", "-quiet", "-J", "-joliet-long", "-l", "-V", "CHECKER",
                                             "-o", *folder_ + "/xorriso.iso", *folder_ + "/src"},
                                            ToolOptions()));
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(*folder_, ignored);
    delete folder_;
    delete tree_;
    delete genisoimage_;
    delete xorriso_;
  }

  static std::string GenPath() { return *folder_ + "/gen.iso"; }

  static std::string* folder_;
  static SourceTree* tree_;
  static ProgramResult* genisoimage_;
  static ProgramResult* xorriso_;
};

std::string* IsoCheckerTest::folder_ = nullptr;
SourceTree* IsoCheckerTest::tree_ = nullptr;
ProgramResult* IsoCheckerTest::genisoimage_ = nullptr;
ProgramResult* IsoCheckerTest::xorriso_ = nullptr;

TEST_F(IsoCheckerTest, ToolImagesAreSoundAndSummarised) {
  ASSERT_EQ(genisoimage_->status, 0) << genisoimage_->out;
  ASSERT_EQ(xorriso_->status, 0) << xorriso_->out;
  for (const std::string tool : {"gen", "xorriso"}) {
    SCOPED_TRACE(tool);
    IsoCheckSummary summary;
    std::vector<std::string> problems = IsoCheckImage(*folder_ + "/" + tool + ".iso", &summary);
    size_t dotDotDefects = 0;
    if (tool == "xorriso") {
      dotDotDefects = static_cast<size_t>(std::count_if(problems.begin(), problems.end(), IsXorrisoDotDotDefect));
      std::erase_if(problems, IsXorrisoDotDotDefect);
    }
    EXPECT_TRUE(problems.empty()) << Joined(problems);

    ASSERT_EQ(summary.descriptors.size(), 3u);
    EXPECT_EQ(summary.descriptors[0].lba, 16u);
    EXPECT_EQ(summary.descriptors[0].type, 1);
    EXPECT_EQ(summary.descriptors[1].type, 2);
    EXPECT_EQ(summary.descriptors[2].type, 255);
    EXPECT_EQ(summary.jolietLevel, 3);
    EXPECT_EQ(summary.label, "CHECKER");
    EXPECT_EQ(summary.jolietLabel, "CHECKER");
    EXPECT_GE(summary.imageSectors, summary.volumeSize);
    EXPECT_EQ(summary.sector19.size(), 2048u);

    // The Joliet tree is the source tree, name for name and size for size.
    std::map<std::string, uint64_t> jolietFiles;
    for (const IsoCheckEntry& f : summary.joliet.files) jolietFiles[f.path.substr(1)] = f.size;
    EXPECT_EQ(jolietFiles, tree_->files);
    std::set<std::string> jolietFolders;
    for (const IsoCheckEntry& d : summary.joliet.directories) jolietFolders.insert(d.path.substr(1));
    std::set<std::string> expectedFolders = tree_->folders;
    expectedFolders.insert("");
    EXPECT_EQ(jolietFolders, expectedFolders);
    if (tool == "xorriso") {
      EXPECT_TRUE(dotDotDefects == 0 || dotDotDefects == tree_->folders.size());
    }

    // Both hierarchies describe the same file extents.
    ASSERT_EQ(summary.primary.files.size(), tree_->files.size());
    EXPECT_EQ(summary.primary.directories.size(), expectedFolders.size());
    std::multiset<std::pair<uint32_t, uint64_t>> primaryExtents, jolietExtents;
    for (const IsoCheckEntry& f : summary.primary.files) primaryExtents.insert({f.lba, f.size});
    for (const IsoCheckEntry& f : summary.joliet.files) jolietExtents.insert({f.lba, f.size});
    EXPECT_EQ(primaryExtents, jolietExtents);
    EXPECT_NE(summary.primary.lTable, 0u);
    EXPECT_NE(summary.joliet.mTable, 0u);
    EXPECT_GT(Find(summary.primary.directories, "/MANY").size, 4 * kSector);
  }
}

// Each row damages a copy of the genisoimage image in one way; the checker must name that fault.
TEST_F(IsoCheckerTest, DamagedCopiesReportTheirFault) {
  ASSERT_EQ(genisoimage_->status, 0) << genisoimage_->out;
  const std::string sound = ReadFileBytes(GenPath());
  IsoCheckSummary s;
  ASSERT_TRUE(IsoCheckImage(GenPath(), &s).empty());
  const IsoCheckEntry many = Find(s.primary.directories, "/MANY");
  const IsoCheckEntry jolietMany = Find(s.joliet.directories, "/many");
  const std::vector<size_t> records = RecordOffsets(sound, many);
  ASSERT_GT(records.size(), 300u);
  const size_t pvd = 16 * kSector;
  // Records 2 and 3 of /MANY are ENTRY_000 (0 bytes) and ENTRY_001 (37 bytes): identifiers of one length.
  const size_t fileA = records[2], fileB = records[3];
  ASSERT_EQ(RecordLength(sound, fileA), RecordLength(sound, fileB));
  size_t subdirectory = 0;  // the record of /MANY in the root
  for (size_t r : RecordOffsets(sound, s.primary.directories[0])) {
    if (IdentifierAt(sound, r) == "MANY") subdirectory = r;
  }
  ASSERT_NE(subdirectory, 0u);

  struct Damage {
    const char* name;
    std::function<void(std::string&)> apply;
    const char* expected;
  };
  const std::vector<Damage> damages = {
      {"L table record extent",
       [&](std::string& im) { im[s.primary.lTable * kSector + 10 + 2] ^= 1; }, "(L table): record 2"},
      {"M table parent number",
       [&](std::string& im) { im[s.primary.mTable * kSector + 10 + 7] ^= 2; }, "the L and M tables disagree"},
      {"volume space size, big-endian half",
       [&](std::string& im) { PutBe32(im, pvd + 84, s.volumeSize + 1); },
       "both-endian volume space size disagrees"},
      {"file record extent, big-endian half",
       [&](std::string& im) { PutBe32(im, fileA + 6, Le32At(im, fileA + 2) + 1); }, "both-endian extent disagrees"},
      {"record moved across a sector boundary",
       [&](std::string& im) {
         // The tail of /MANY's first sector is too short for the next sector's first record: put it there.
         size_t end = many.lba * kSector;
         while (im[end] != 0) end += RecordLength(im, end);
         const size_t next = (many.lba + 1) * kSector;
         const size_t room = (many.lba + 1) * kSector - end;
         ASSERT_LT(room, RecordLength(im, next));
         im.replace(end, room, im.substr(next, room));
       },
       "crosses the sector boundary"},
      {"two records swapped",
       [&](std::string& im) {
         const std::string a = im.substr(fileA, RecordLength(im, fileA));
         im.replace(fileA, a.size(), im.substr(fileB, a.size()));
         im.replace(fileB, a.size(), a);
       },
       "records out of order"},
      {"file extent past the volume",
       [&](std::string& im) { PutBoth32(im, fileB + 2, s.volumeSize + 5); }, "past the volume's end"},
      {"subdirectory pointing at the root",
       [&](std::string& im) {
         PutBoth32(im, subdirectory + 2, s.primary.rootLba);
         PutBoth32(im, subdirectory + 10, s.primary.rootSize);
       },
       "reached a second time"},
      {"\"..\" naming the directory itself",
       [&](std::string& im) { PutBoth32(im, records[1] + 2, many.lba); }, "\"..\" gives extent"},
      {"non-zero byte after a sector's last record",
       [&](std::string& im) { im[(many.lba + 1) * kSector - 1] = 'x'; }, "after the last record of sector 0"},
      {"path table size two bytes short",
       [&](std::string& im) { PutBoth32(im, pvd + 132, s.primary.pathTableSize - 2); },
       "runs past the path table size"},
      {"directory size not whole sectors",
       [&](std::string& im) { PutBoth32(im, subdirectory + 10, many.size - 1); }, "is not a multiple of 2048"},
      {"descriptor root record differs from \".\"",
       [&](std::string& im) { im[pvd + 156 + 18] ^= 1; }, "root record differs"},
      {"image cut short",
       [&](std::string& im) { im.resize(im.size() / 2 / kSector * kSector); },
       "fewer than the volume space size"},
      {"terminator gone",
       [&](std::string& im) { im[18 * kSector + 1] = 'X'; }, "no standard identifier"},
      {"multi-extent flag on a last extent",
       [&](std::string& im) { im[fileA + 25] |= 0x80; }, "multi-extent flag"},
      {"file data on a directory",
       [&](std::string& im) { PutBoth32(im, fileB + 2, many.lba); }, "lies on primary directory /MANY"},
      {"Joliet identifier holding '/'",
       [&](std::string& im) { im[RecordOffsets(im, jolietMany)[2] + 33 + 1] = '/'; }, "holds '/' or NUL"},
  };
  const std::string damagedPath = *folder_ + "/damaged.iso";
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    std::string image = sound;
    damage.apply(image);
    if (HasFatalFailure()) return;
    WriteFile(damagedPath, image);
    const std::vector<std::string> problems = IsoCheckImage(damagedPath, nullptr);
    EXPECT_TRUE(AnyContains(problems, damage.expected)) << "expected \"" << damage.expected << "\" in:\n"
                                                        << Joined(problems);
  }
}

// Two records of one name, the first flagged as continued, are one file of two extents.
TEST_F(IsoCheckerTest, MultiExtentFileIsOneEntry) {
  ASSERT_EQ(genisoimage_->status, 0) << genisoimage_->out;
  std::string image = ReadFileBytes(GenPath());
  IsoCheckSummary s;
  ASSERT_TRUE(IsoCheckImage(GenPath(), &s).empty());
  const std::vector<size_t> records = RecordOffsets(image, Find(s.primary.directories, "/MANY"));
  const size_t first = records[3], second = records[4];  // ENTRY_001 and ENTRY_002, both with data
  const std::string name(IdentifierAt(image, first));
  const uint64_t firstSize = Le32At(image, first + 10), secondSize = Le32At(image, second + 10);
  ASSERT_GT(firstSize, 0u);
  ASSERT_GT(secondSize, 0u);
  image[first + 25] |= 0x80;
  image.replace(second + 33, name.size(), name);
  const std::string path = *folder_ + "/multi.iso";
  WriteFile(path, image);

  IsoCheckSummary summary;
  const std::vector<std::string> problems = IsoCheckImage(path, &summary);
  EXPECT_TRUE(problems.empty()) << Joined(problems);
  const IsoCheckEntry& file = Find(summary.primary.files, "/MANY/" + name);
  EXPECT_EQ(file.extents, 2);
  EXPECT_EQ(file.lba, Le32At(image, first + 2));
  EXPECT_EQ(file.size, firstSize + secondSize);
  EXPECT_EQ(summary.primary.files.size(), s.primary.files.size() - 1);
}

// Random damage to the descriptors, path tables and directories: every check ends quickly, whatever it finds.
TEST_F(IsoCheckerTest, RandomDamageStaysBounded) {
  ASSERT_EQ(genisoimage_->status, 0) << genisoimage_->out;
  const std::string sound = ReadFileBytes(GenPath());
  IsoCheckSummary s;
  ASSERT_TRUE(IsoCheckImage(GenPath(), &s).empty());
  uint32_t firstData = s.volumeSize;
  for (const IsoCheckEntry& f : s.primary.files) {
    if (f.size > 0) firstData = std::min(firstData, f.lba);
  }
  std::mt19937 random(5);
  std::uniform_int_distribution<size_t> where(16 * kSector, firstData * kSector - 1);
  const std::string path = *folder_ + "/random.iso";
  WriteFile(path, sound);
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  auto put = [&](size_t at, char byte) {
    file.seekp(static_cast<std::streamoff>(at));
    file.put(byte);
    file.flush();
  };
  size_t reported = 0;
  for (int round = 0; round < 200; ++round) {
    size_t changed[4];
    for (size_t& at : changed) {
      at = where(random);
      put(at, static_cast<char>(random()));
    }
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> problems = IsoCheckImage(path, nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_LT(seconds, 3.0) << "round " << round;
    reported += problems.empty() ? 0 : 1;
    for (size_t at : changed) put(at, sound[at]);
  }
  // Most bytes of these sectors are structure; dates and reserved bytes are the exceptions.
  EXPECT_GT(reported, 100u);
}

// A 10,000-file image checks in well under a second (the bound leaves room for a loaded machine). One source file is grafted under all 10,000 names, and a
// real folder at "/" gives the root its own date in both of genisoimage's root records.
TEST(IsoChecker, TenThousandFilesCheckFast) {
  const std::string folder = MakeTestFolder("iso_checker_big");
  WriteFile(folder + "/one.bin", "x");
  fs::create_directories(folder + "/root");
  std::string list = "/=" + folder + "/root\n";
  for (int d = 0; d < 20; ++d) {
    for (int f = 0; f < 500; ++f) {
      list += "folder" + std::to_string(d) + "/file-" + std::to_string(f) + ".bin=" + folder + "/one.bin\n";
    }
  }
  WriteFile(folder + "/paths", list);
  const ProgramResult made =
      RunProgram("/usr/bin/genisoimage",
                 {"-quiet", "-J", "-l", "-graft-points", "-path-list", folder + "/paths", "-o", folder + "/big.iso"},
                 ToolOptions());
  ASSERT_EQ(made.status, 0) << made.out;
  IsoCheckSummary summary;
  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> problems = IsoCheckImage(folder + "/big.iso", &summary);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(problems.empty()) << Joined(problems);
  EXPECT_EQ(summary.primary.files.size(), 10000u);
  EXPECT_EQ(summary.joliet.files.size(), 10000u);
  EXPECT_LT(seconds, 2.0);  // tens of milliseconds when idle
}

}  // namespace
