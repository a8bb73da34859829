// list and extract on ISO images made by genisoimage and xorriso, run the way a user runs them: what they print
// is checked line by line against the source trees and against what isoinfo and iso-info read from the same
// images; what they write is compared with the source trees by diff -r and by file times. Also: the overwrite
// question, damaged images, and names that try to lead out of the output folder.
//
// The images come from tests/fixtures/make_iso_fixtures.sh and make_damaged_isos, made once per build folder
// (under a lock, since ctest runs test processes side by side) and made again when either changes.
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------------------
// Fixtures

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Identifies what the fixtures were made from: a change of the script or of the generator makes them again.
std::string FixtureKey(const std::vector<std::string>& inputs) {
  std::string key;
  for (const auto& input : inputs) {
    struct stat st;
    if (stat(input.c_str(), &st) != 0) return "";
    key += input + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return key;
}

// Runs `make` under an exclusive lock unless `dir` already holds what `key` describes. Returns "" when the
// fixtures are there, else why not.
template <typename Make>
std::string MakeOnce(const std::string& dir, const std::string& key, Make make) {
  fs::create_directories(fs::path(dir).parent_path());
  int lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return "cannot lock " + dir + ".lock";
  std::string error;
  const std::string stampPath = dir + "/made-from";
  if (key.empty() || ReadFile(stampPath) != key) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    error = make();
    if (error.empty()) WriteFile(stampPath, key);
  }
  close(lock);
  return error;
}

const std::string kScript = std::string(KESTRANE_SOURCE_DIR) + "/tests/fixtures/make_iso_fixtures.sh";

struct Fixtures {
  std::string dir;
  std::string error;
};

const Fixtures& IsoFixtures() {
  static const Fixtures fixtures = [] {
    Fixtures f;
    f.dir = std::string(KESTRANE_BUILD_DIR) + "/fixtures/iso";
    f.error = MakeOnce(f.dir, FixtureKey({kScript, MAKE_DAMAGED_ISOS_BIN}), [&]() -> std::string {
      ProgramOptions slow;
      slow.timeoutSeconds = 120;
      ProgramResult made = RunProgram("/bin/bash", {kScript, f.dir}, slow);
      if (made.status != 0) return "make_iso_fixtures.sh failed (scripts/setup installs its tools):\n" + made.out;
      fs::create_directories(f.dir + "/damaged");
      ProgramResult damaged = RunProgram(
          MAKE_DAMAGED_ISOS_BIN, {f.dir + "/dmg_plain.iso", f.dir + "/dmg_rr.iso", f.dir + "/damaged"}, slow);
      if (damaged.status != 0) return "make_damaged_isos failed:\n" + damaged.out;
      return "";
    });
    return f;
  }();
  return fixtures;
}

#define REQUIRE_FIXTURES()                                    \
  const Fixtures& fixtures = IsoFixtures();                   \
  ASSERT_TRUE(fixtures.error.empty()) << fixtures.error;      \
  const std::string& dir = fixtures.dir

// ---------------------------------------------------------------------------------------------------------
// Running the program and other tools

ProgramResult Kestrane(const std::vector<std::string>& args, const std::string& input = "", int timeout = 30) {
  ProgramOptions options;
  options.input = input;
  options.env = {"LC_ALL=C.UTF-8"};
  options.timeoutSeconds = timeout;
  return RunKestrane(args, options);
}

ProgramResult Tool(const std::string& program, const std::vector<std::string>& args) {
  ProgramOptions options;
  options.env = {"LC_ALL=C.UTF-8"};
  return RunProgram(program, args, options);
}

// What the program printed after its banner (the whole output when the banner is missing, which fails).
std::string AfterBanner(const ProgramResult& r) {
  const std::string banner = kBanner;
  EXPECT_EQ(r.out.compare(0, banner.size(), banner), 0) << r.out;
  return r.out.compare(0, banner.size(), banner) == 0 ? r.out.substr(banner.size()) : r.out;
}

bool HasSanitizerReport(const std::string& out) {
  return out.find("ERROR: AddressSanitizer") != std::string::npos ||
         out.find("ERROR: LeakSanitizer") != std::string::npos || out.find("runtime error:") != std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ---------------------------------------------------------------------------------------------------------
// Listing text

std::string Thousands(uint64_t value) {
  std::string digits = std::to_string(value), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string DateText(time_t when) {
  struct tm tm;
  gmtime_r(&when, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
  return text;
}

struct Line {
  std::string date, size, name;  // size is "<DIR>" for a folder
  bool folder() const { return size == "<DIR>"; }
  auto key() const { return std::tie(date, size, name); }
  bool operator==(const Line& o) const { return key() == o.key(); }
};

std::ostream& operator<<(std::ostream& os, const Line& l) {
  return os << "[" << l.date << "|" << l.size << "|" << l.name << "]";
}

struct Block {
  std::string path;  // "/" or "/a/b"
  std::vector<Line> lines;
  std::string totals;  // "%d Files, %d Folders  %s bytes"
};

struct Listing {
  std::vector<Block> blocks;
  std::string grandTotal;  // as totals; empty without -r
  std::string error;       // why the text is not a listing
};

// Reads what list printed after the banner; anything that is not exactly the listing's layout is an error.
Listing ParseListing(const std::string& text) {
  Listing listing;
  size_t pos = 0;
  auto line = [&](std::string& out) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return false;
    out = text.substr(pos, end - pos);
    pos = end + 2;
    return true;
  };
  auto fail = [&](const std::string& why) {
    listing.error = why + " at byte " + std::to_string(pos);
    return listing;
  };
  std::string l;
  if (!line(l) || !l.empty()) return fail("no empty line first");
  while (pos < text.size()) {
    if (!line(l)) return fail("unterminated line");
    if (l == "Total:") {
      if (!line(l) || l.empty() || l[0] != '\t') return fail("no grand total after Total:");
      listing.grandTotal = l.substr(1);
      if (pos != text.size()) return fail("text after the grand total");
      break;
    }
    const std::string head = "Objects in ";
    if (l.compare(0, head.size(), head) != 0 || l.back() != ':') return fail("no block header: " + l);
    Block block;
    block.path = l.substr(head.size(), l.size() - head.size() - 1);
    if (!line(l) || !l.empty()) return fail("no empty line after the header of " + block.path);
    for (;;) {
      if (!line(l)) return fail("unterminated block " + block.path);
      if (!l.empty() && l[0] == '\t') {
        block.totals = l.substr(1);
        break;
      }
      // "%-18s  %18s  %s": the date left-aligned in 18, the size right-aligned in 18.
      if (l.size() < 41 || l.compare(16, 4, "    ") != 0 || l.compare(38, 2, "  ") != 0 || l[37] == ' ')
        return fail("not an entry line: " + l);
      Line entry;
      entry.date = l.substr(0, 18);
      entry.date.erase(entry.date.find_last_not_of(' ') + 1);
      entry.size = l.substr(20, 18);
      entry.size.erase(0, entry.size.find_first_not_of(' '));
      entry.name = l.substr(40);
      if (entry.date.size() != 16) return fail("not a listing date: " + l);
      block.lines.push_back(entry);
    }
    if (!line(l) || !l.empty()) return fail("no empty line after the totals of " + block.path);
    listing.blocks.push_back(block);
  }
  return listing;
}

std::string TotalsText(uint64_t files, uint64_t folders, uint64_t bytes) {
  return std::to_string(files) + " Files, " + std::to_string(folders + 2) + " Folders  " + Thousands(bytes) +
         " bytes";
}

// Folders first, then names compared without regard to ASCII case; equal names have no order.
bool SortsBefore(const Line& a, const Line& b) {
  if (a.folder() != b.folder()) return a.folder();
  return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
}

uint64_t SizeOf(const Line& l) {
  std::string digits;
  for (char c : l.size)
    if (c != ',') digits += c;
  return std::stoull(digits);
}

// What holds for every listing whatever the image: "." and ".." in every block, order, totals that add up,
// blocks depth first below their parents, and a grand total over all blocks.
void ExpectWellFormed(const Listing& listing, bool recursive) {
  ASSERT_TRUE(listing.error.empty()) << listing.error;
  ASSERT_FALSE(listing.blocks.empty());
  std::vector<std::string> open;  // the folders whose blocks enclose the current one
  uint64_t allFiles = 0, allFolders = 0, allBytes = 0;
  for (const Block& b : listing.blocks) {
    SCOPED_TRACE("block " + b.path);
    uint64_t files = 0, folders = 0, bytes = 0;
    int dots = 0;
    for (size_t i = 0; i < b.lines.size(); ++i) {
      const Line& l = b.lines[i];
      if (i + 1 < b.lines.size()) {
        EXPECT_FALSE(SortsBefore(b.lines[i + 1], l)) << l << " before " << b.lines[i + 1];
      }
      if (l.folder()) {
        if (l.name == "." || l.name == "..") {
          ++dots;
          continue;
        }
        ++folders;
      } else {
        ++files;
        bytes += SizeOf(l);
        EXPECT_EQ(l.size, Thousands(SizeOf(l))) << l;
      }
    }
    EXPECT_EQ(dots, 2);
    EXPECT_EQ(b.totals, TotalsText(files, folders, bytes));
    allFiles += files;
    allFolders += folders;
    allBytes += bytes;
    if (&b == &listing.blocks.front()) {
      open.push_back(b.path);
      continue;
    }
    std::string parent = b.path.substr(0, b.path.rfind('/'));
    if (parent.empty()) parent = "/";
    while (!open.empty() && open.back() != parent) open.pop_back();
    EXPECT_FALSE(open.empty()) << b.path << " does not follow its parent's block";
    open.push_back(b.path);
  }
  EXPECT_EQ(listing.grandTotal, recursive ? TotalsText(allFiles, allFolders, allBytes) : "");
}

std::string Join(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "" : folder) + "/" + name;
}

// Every path the listing names, "." and ".." left out.
std::set<std::string> ListedPaths(const Listing& listing) {
  std::set<std::string> paths;
  for (const Block& b : listing.blocks)
    for (const Line& l : b.lines)
      if (l.name != "." && l.name != "..") paths.insert(Join(b.path, l.name));
  return paths;
}

// ---------------------------------------------------------------------------------------------------------
// Source trees and what peers read from the images

struct SourceFolder {
  time_t mtime = 0;
  std::vector<Line> children;
};

// Every folder of a source tree ("/" for its root) with the lines the listing must show for its children.
std::map<std::string, SourceFolder> ReadSource(const std::string& root) {
  std::map<std::string, SourceFolder> folders;
  std::vector<std::string> pending{"/"};
  while (!pending.empty()) {
    std::string folder = pending.back();
    pending.pop_back();
    std::string local = root + (folder == "/" ? "" : folder);
    struct stat st;
    lstat(local.c_str(), &st);
    folders[folder].mtime = st.st_mtime;
    for (const auto& child : fs::directory_iterator(local)) {
      std::string name = child.path().filename().string();
      lstat(child.path().c_str(), &st);
      bool isFolder = S_ISDIR(st.st_mode);
      folders[folder].children.push_back(
          {DateText(st.st_mtime), isFolder ? "<DIR>" : Thousands(static_cast<uint64_t>(st.st_size)), name});
      if (isFolder) pending.push_back(Join(folder, name));
    }
  }
  return folders;
}

std::set<std::string> SourcePaths(const std::map<std::string, SourceFolder>& source) {
  std::set<std::string> paths;
  for (const auto& [folder, content] : source)
    for (const Line& l : content.children) paths.insert(Join(folder, l.name));
  return paths;
}

// The paths isoinfo (genisoimage's) finds: -R for Rock Ridge names, none for ISO 9660 names.
std::set<std::string> IsoinfoPaths(const std::string& image, const std::string& option) {
  std::vector<std::string> args;
  if (!option.empty()) args.push_back(option);
  args.insert(args.end(), {"-f", "-i", image});
  ProgramResult r = Tool("/usr/bin/isoinfo", args);
  EXPECT_EQ(r.status, 0) << r.out;
  std::set<std::string> paths;
  for (const auto& l : Lines(r.out))
    if (!l.empty()) paths.insert(l);
  return paths;
}

// The paths xorriso finds; without Rock Ridge it reads the Joliet names. (isoinfo -J cannot print them in
// UTF-8, and libcdio's iso-info cuts some of them short.)
std::set<std::string> XorrisoPaths(const std::string& image) {
  ProgramResult r = Tool("/usr/bin/xorriso", {"-indev", image, "-find", "/"});
  EXPECT_EQ(r.status, 0) << r.out;
  std::set<std::string> paths;
  for (const auto& l : Lines(r.out))
    if (l.size() > 3 && l.compare(0, 2, "'/") == 0 && l.back() == '\'') paths.insert(l.substr(1, l.size() - 2));
  return paths;
}

// An ISO 9660 identifier as the listing shows it: a final ";" and one digit come off.
std::string WithoutVersion(const std::string& path) {
  std::string out;
  std::istringstream in(path.substr(1));
  for (std::string part; std::getline(in, part, '/');) {
    size_t semicolon = part.find(';');
    if (semicolon != std::string::npos && semicolon > 0 && semicolon + 2 == part.size() && isdigit(part.back()))
      part.erase(semicolon);
    out += "/" + part;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// Local trees

std::string Run(const std::string& program, const std::vector<std::string>& args) {
  ProgramResult r = Tool(program, args);
  return std::to_string(r.status) + "\n" + r.out;
}

// Every file and folder below `root` (relative paths) with its modification time.
std::map<std::string, time_t> Times(const std::string& root) {
  std::map<std::string, time_t> times;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(e.path().c_str(), &st);
    times[fs::relative(e.path(), root).string()] = st.st_mtime;
  }
  return times;
}

// Every path below `root`, relative.
std::set<std::string> LocalPaths(const std::string& root) {
  std::set<std::string> paths;
  if (!fs::exists(root)) return paths;
  for (const auto& e : fs::recursive_directory_iterator(root)) paths.insert(fs::relative(e.path(), root).string());
  return paths;
}

// The tree below `out` holds the same files and folders as `source`, with the same bytes and times.
void ExpectSameTree(const std::string& source, const std::string& out) {
  EXPECT_EQ(Run("/usr/bin/diff", {"-r", "--no-dereference", source, out}), "0\n");
  EXPECT_EQ(Times(out), Times(source));
}

const std::string kMain = "main";

// ---------------------------------------------------------------------------------------------------------
// Images whose names the listing shows as the source has them

struct ImageCase {
  std::string image;
  std::string tree;
  std::string oracle;       // "rr": isoinfo -R; "joliet": xorriso
  bool parentDates = true;  // ".." carries the parent's time (genisoimage); xorriso writes other times there
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.image; }

std::string CaseName(const ::testing::TestParamInfo<ImageCase>& info) {
  return info.param.image.substr(0, info.param.image.find('.'));
}

class Images : public ::testing::TestWithParam<ImageCase> {};

TEST_P(Images, ListShowsEveryEntryOfTheSource) {
  REQUIRE_FIXTURES();
  const ImageCase& c = GetParam();
  const std::string image = dir + "/" + c.image;
  ProgramResult r = Kestrane({"list", image, "/", "-r"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.out;
  Listing listing = ParseListing(AfterBanner(r));
  ExpectWellFormed(listing, true);
  if (HasFailure()) return;

  auto source = ReadSource(dir + "/src/" + c.tree);
  std::set<std::string> oracle = c.oracle == "rr" ? IsoinfoPaths(image, "-R") : XorrisoPaths(image);
  EXPECT_EQ(ListedPaths(listing), oracle);
  EXPECT_EQ(SourcePaths(source), oracle) << "the image does not hold its source tree";

  // Each folder's block shows the source's entries with their sizes and times; "." is the folder itself and
  // ".." its parent (the root's parent is the root), with the time the image's tool gave it.
  std::set<std::string> seen;
  for (const Block& b : listing.blocks) {
    SCOPED_TRACE("block " + b.path);
    ASSERT_EQ(source.count(b.path), 1u);
    EXPECT_TRUE(seen.insert(b.path).second) << "listed twice";
    std::string parent = b.path == "/" ? "/" : b.path.substr(0, std::max<size_t>(1, b.path.rfind('/')));
    std::vector<Line> expected = source[b.path].children;
    expected.push_back({DateText(source[b.path].mtime), "<DIR>", "."});
    expected.push_back({DateText(source[parent].mtime), "<DIR>", ".."});
    std::vector<Line> actual = b.lines;
    if (!c.parentDates) {
      for (auto* lines : {&expected, &actual})
        for (Line& l : *lines)
          if (l.name == "..") l.date = "(the tool's)";
    }
    auto byName = [](const Line& x, const Line& y) {
      return SortsBefore(x, y) || (!SortsBefore(y, x) && x.name < y.name);
    };
    std::sort(expected.begin(), expected.end(), byName);
    std::sort(actual.begin(), actual.end(), byName);
    EXPECT_EQ(actual, expected);
  }
  EXPECT_EQ(seen.size(), source.size());
}

TEST_P(Images, ExtractGivesBackTheSourceTree) {
  REQUIRE_FIXTURES();
  const ImageCase& c = GetParam();
  const std::string out = MakeTestFolder("list_extract_" + CaseName({c, 0})) + "/out";
  ProgramResult r = Kestrane({"extract", dir + "/" + c.image, "/", "-od", out});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(HasSanitizerReport(r.out)) << r.out;
  ExpectSameTree(dir + "/src/" + c.tree, out);
}

INSTANTIATE_TEST_SUITE_P(ListExtract, Images,
                         ::testing::Values(ImageCase{"gen_jr.iso", kMain, "rr"},
                                           ImageCase{"xorriso_jr.iso", kMain, "rr", false},
                                           ImageCase{"joliet.iso", kMain, "joliet"},
                                           ImageCase{"deep_rr.iso", "deep", "rr", false}),
                         CaseName);

// ---------------------------------------------------------------------------------------------------------
// A plain ISO 9660 image: the names are genisoimage's 8.3 forms, the rest is the source's.

// Content fingerprints of a tree's files: size, FNV-1a of the bytes and modification time, in sorted order.
std::vector<std::tuple<uintmax_t, uint64_t, time_t>> FileFingerprints(const std::string& root) {
  std::vector<std::tuple<uintmax_t, uint64_t, time_t>> prints;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : ReadFile(e.path())) hash = (hash ^ c) * 1099511628211ull;
    struct stat st;
    lstat(e.path().c_str(), &st);
    prints.emplace_back(e.file_size(), hash, st.st_mtime);
  }
  std::sort(prints.begin(), prints.end());
  return prints;
}

TEST(ListExtract, PlainIsoListsAndExtractsItsIsoNames) {
  REQUIRE_FIXTURES();
  const std::string image = dir + "/plain.iso";
  const std::string source = dir + "/src/" + kMain;
  ProgramResult r = Kestrane({"list", image, "/", "-r"});
  EXPECT_EQ(r.status, 0) << r.out;
  Listing listing = ParseListing(AfterBanner(r));
  ExpectWellFormed(listing, true);
  if (HasFailure()) return;

  std::set<std::string> oracle;
  for (const auto& p : IsoinfoPaths(image, "")) oracle.insert(WithoutVersion(p));
  EXPECT_EQ(ListedPaths(listing), oracle);
  EXPECT_EQ(oracle.count("/CASE.TXT") + oracle.count("/CASE000.TXT"), 2u) << "genisoimage's names changed";

  // Renamed, the entries keep the source's sizes and times.
  std::multiset<std::pair<std::string, std::string>> listed, expected;
  for (const Block& b : listing.blocks)
    for (const Line& l : b.lines)
      if (l.name != "." && l.name != "..") listed.insert({l.date, l.size});
  for (const auto& [folder, content] : ReadSource(source))
    for (const Line& l : content.children) expected.insert({l.date, l.size});
  EXPECT_EQ(listed, expected);

  const std::string out = MakeTestFolder("list_extract_plain") + "/out";
  ProgramResult x = Kestrane({"extract", image, "/", "-od", out});
  EXPECT_EQ(x.status, 0) << x.out;
  EXPECT_EQ(FileFingerprints(out), FileFingerprints(source));
  std::set<std::string> extracted;
  for (const auto& p : LocalPaths(out)) extracted.insert("/" + p);
  EXPECT_EQ(extracted, oracle);
}

// ---------------------------------------------------------------------------------------------------------
// One folder, one file, and what cannot be found

TEST(ListExtract, ListsOneFolderByAnyWritingOfItsPath) {
  REQUIRE_FIXTURES();
  const std::string image = dir + "/gen_jr.iso";
  ProgramResult r = Kestrane({"list", image, "/docs/sub"});
  EXPECT_EQ(r.status, 0) << r.out;
  Listing listing = ParseListing(AfterBanner(r));
  ExpectWellFormed(listing, false);
  if (HasFailure()) return;
  ASSERT_EQ(listing.blocks.size(), 1u);
  EXPECT_EQ(listing.blocks[0].path, "/docs/sub");
  EXPECT_EQ(listing.blocks[0].totals, "1 Files, 3 Folders  70,001 bytes");
  for (const char* same : {"docs/sub", "\\docs\\sub", "/DOCS/Sub"})
    EXPECT_EQ(Kestrane({"list", image, same}).out, r.out) << same;
}

TEST(ListExtract, ExtractsOneFileOrOneFolderBelowItsImagePath) {
  REQUIRE_FIXTURES();
  const std::string source = dir + "/src/" + kMain;
  struct Case {
    std::string path;                   // in the image
    std::set<std::string> written;      // what appears below -od
    std::string compare;                // a folder compared whole, or empty
  };
  const Case cases[] = {
      {"/docs/readme.txt", {"docs", "docs/readme.txt"}, ""},
      {"/über/日本/日本.txt", {"über", "über/日本", "über/日本/日本.txt"}, ""},
      {"/docs", {}, "docs"},
      {"/docs/sub", {}, "docs/sub"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    for (const char* image : {"gen_jr.iso", "joliet.iso"}) {
      SCOPED_TRACE(image);
      const std::string out = MakeTestFolder("list_extract_one_" + std::to_string(n++)) + "/out";
      ProgramResult r = Kestrane({"extract", dir + "/" + image, c.path, "-od", out});
      ASSERT_FALSE(r.timedOut);
      EXPECT_EQ(r.status, 0) << r.out;
      if (c.compare.empty()) {
        EXPECT_EQ(LocalPaths(out), c.written);
        EXPECT_EQ(ReadFile(out + c.path), ReadFile(source + c.path));
        EXPECT_EQ(Times(out)[c.path.substr(1)], Times(source)[c.path.substr(1)]);
      } else {
        // Only the folder's chain of parents and its content: nothing of its siblings.
        ExpectSameTree(source + "/" + c.compare, out + "/" + c.compare);
        std::string chain = c.compare;
        for (const auto& p : LocalPaths(out))
          EXPECT_TRUE(p.compare(0, chain.size(), chain) == 0 || chain.compare(0, p.size(), p) == 0) << p;
      }
    }
  }
}

TEST(ListExtract, SaysWhatItCannotFind) {
  REQUIRE_FIXTURES();
  const std::string image = dir + "/gen_jr.iso";
  const std::string out = MakeTestFolder("list_extract_missing") + "/out";
  struct Case {
    std::vector<std::string> args;
    std::string printed;
  };
  const Case cases[] = {
      {{"list", image, "/nowhere"}, "/nowhere: The folder can not be found!\r\n"},
      {{"list", image, "/docs/readme.txt"}, "/docs/readme.txt: The folder can not be found!\r\n"},
      {{"extract", image, "/nowhere", "-od", out}, "Can not find the object: /nowhere\r\n"},
      {{"extract", image, "/docs/nothing.txt", "-od", out}, "Can not find the object: /docs/nothing.txt\r\n"},
      {{"extract", image, "/docs"}, "Please specify extract output directory.\r\n"},
  };
  for (const Case& c : cases) {
    ProgramResult r = Kestrane(c.args);
    EXPECT_EQ(AfterBanner(r), c.printed);
    EXPECT_EQ(r.status, 1) << c.printed;
  }
  EXPECT_FALSE(fs::exists(out)) << "a failed lookup wrote something";
}

// ---------------------------------------------------------------------------------------------------------
// The overwrite question

struct OverwriteCase {
  std::string name;
  std::vector<std::string> extra;  // switches
  std::string input;               // typed answers; end of input follows
  bool replaced[2];                // docs/sub/data.bin (asked first), docs/sub/deeper/note.txt
  int questions;                   // how often the question is printed; -1: not counted
};

void PrintTo(const OverwriteCase& c, std::ostream* os) { *os << c.name; }

class Overwrite : public ::testing::TestWithParam<OverwriteCase> {};

const char kQuestion[] = "The file already exists. Do you want to overwrite it?(Yes/No/YesAll/NoAll/Cancel):";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST_P(Overwrite, AnswersDecideWhichFilesAreReplaced) {
  REQUIRE_FIXTURES();
  const OverwriteCase& c = GetParam();
  const std::string image = dir + "/gen_jr.iso";
  const std::string source = dir + "/src/" + kMain;
  const std::string out = MakeTestFolder("list_extract_overwrite_" + c.name) + "/out";
  const std::string files[2] = {"/docs/sub/data.bin", "/docs/sub/deeper/note.txt"};

  ProgramResult first = Kestrane({"extract", image, "/docs/sub", "-od", out});
  ASSERT_EQ(first.status, 0) << first.out;
  ASSERT_EQ(Count(first.out, "Do you want to overwrite"), 0u) << "asked about a file that did not exist";
  for (const auto& f : files) WriteFile(out + f, "local copy\n");

  std::vector<std::string> args = {"extract", image, "/docs/sub", "-od", out};
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  ProgramResult r = Kestrane(args, c.input, 20);
  ASSERT_FALSE(r.timedOut) << "the question did not end:\n" << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(ReadFile(out + files[i]), c.replaced[i] ? ReadFile(source + files[i]) : "local copy\n") << files[i];
  if (c.questions >= 0) {
    EXPECT_EQ(Count(r.out, kQuestion), static_cast<size_t>(c.questions)) << r.out;
  }
  if (c.questions > 0) {
    EXPECT_NE(r.out.find(out + "/docs/sub/data.bin: " + kQuestion), std::string::npos) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ListExtract, Overwrite,
    ::testing::Values(OverwriteCase{"no_no", {}, "n\nn\n", {false, false}, 2},
                      OverwriteCase{"yes_no", {}, "y\nNo\n", {true, false}, 2},
                      OverwriteCase{"no_yes", {}, "N\nYES\n", {false, true}, 2},
                      OverwriteCase{"retyped", {}, "maybe\nyes \nYes\nn\n", {true, false}, 4},
                      OverwriteCase{"yes_all", {}, "YesAll\n", {true, true}, 1},
                      OverwriteCase{"no_all", {}, "noall\n", {false, false}, 1},
                      OverwriteCase{"cancel", {}, "c\n", {false, false}, 1},
                      OverwriteCase{"end_of_input", {}, "", {false, false}, 1},
                      OverwriteCase{"end_after_one", {}, "y\n", {true, false}, 2},
                      OverwriteCase{"switch_y", {"-y"}, "", {true, true}, -1}),
    [](const ::testing::TestParamInfo<OverwriteCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------------------
// Damaged images (tests/fixtures/make_damaged_isos.cpp says what each one breaks)

class Damaged : public ::testing::TestWithParam<std::string> {};

TEST_P(Damaged, EndsWithAMessageAndFailure) {
  REQUIRE_FIXTURES();
  const std::string image = dir + "/damaged/" + GetParam() + ".iso";
  ASSERT_TRUE(fs::exists(image));
  const std::string root = MakeTestFolder("list_extract_damaged_" + GetParam());
  const std::string out = root + "/out";
  for (bool extract : {false, true}) {
    SCOPED_TRACE(extract ? "extract" : "list");
    ProgramResult r = extract ? Kestrane({"extract", image, "/", "-od", out}, "", 20)
                              : Kestrane({"list", image, "/", "-r"}, "", 20);
    ASSERT_FALSE(r.timedOut) << r.out.substr(0, 4000);
    EXPECT_FALSE(HasSanitizerReport(r.out)) << r.out;
    EXPECT_LT(r.out.size(), 1u << 20) << "runaway output";
    EXPECT_EQ(r.status, 1) << r.out.substr(0, 4000);
    EXPECT_NE(AfterBanner(r).find_first_not_of("\r\n"), std::string::npos) << "no message";
  }
  // Whatever was extracted stays inside the output folder.
  for (const auto& p : LocalPaths(root)) EXPECT_EQ(p.compare(0, 3, "out"), 0) << p;
}

INSTANTIATE_TEST_SUITE_P(ListExtract, Damaged,
                         ::testing::Values("loop_plain", "loop_rr", "susp_len0_rr", "susp_len0_root_rr",
                                           "ce_past_sector_rr", "ce_past_image_rr", "ce_loop_rr",
                                           "record_past_extent_plain", "volume_size_plain", "truncated_plain",
                                           "extent_huge_root_plain", "extent_huge_sub_plain"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(ListExtract, TruncatedImageFailsTheCutFileAndLeavesNoPartOfIt) {
  REQUIRE_FIXTURES();
  const std::string out = MakeTestFolder("list_extract_truncated") + "/out";
  ProgramResult r = Kestrane({"extract", dir + "/damaged/truncated_plain.iso", "/BIG.BIN", "-od", out});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Extract failed!"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(out + "/BIG.BIN")) << "a partial file was left";
}

// ---------------------------------------------------------------------------------------------------------
// Names that lead elsewhere: ".", "..", "a/../../x" and a folder named "..", as Rock Ridge names and as ISO
// 9660 identifiers.

struct TraversalCase {
  std::string image;
  std::string okName;  // the harmless file's local name
  std::string nested;  // a folder of the image that is extracted as usual
};

void PrintTo(const TraversalCase& c, std::ostream* os) { *os << c.image; }

class Traversal : public ::testing::TestWithParam<TraversalCase> {};

TEST_P(Traversal, ExtractionStaysInsideTheOutputFolder) {
  REQUIRE_FIXTURES();
  const TraversalCase& c = GetParam();
  const std::string root = MakeTestFolder("list_extract_" + c.image);
  const std::string out = root + "/inner/out";
  fs::create_directories(out);
  // A link in the output folder where the image has a file: replacing the file must not write through it.
  WriteFile(root + "/target.txt", "outside\n");
  fs::create_symlink("../../target.txt", out + "/" + c.okName);

  ProgramResult r = Kestrane({"extract", dir + "/damaged/" + c.image + ".iso", "/", "-od", out, "-y"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_FALSE(HasSanitizerReport(r.out)) << r.out;
  EXPECT_LT(r.status, 2) << r.out;

  EXPECT_EQ(ReadFile(root + "/target.txt"), "outside\n") << "wrote through a link";
  std::set<std::string> outside;
  for (const auto& p : LocalPaths(root))
    if (p.compare(0, 9, "inner/out") != 0) outside.insert(p);
  EXPECT_EQ(outside, (std::set<std::string>{"inner", "target.txt"}));
  // The '/' of a name cannot make a path: the file lands under one name of its own.
  EXPECT_EQ(ReadFile(out + "/a_.._.._x"), "escape\n");
  EXPECT_TRUE(fs::is_directory(out + "/" + c.nested)) << "the rest of the image was not extracted";
}

INSTANTIATE_TEST_SUITE_P(ListExtract, Traversal,
                         ::testing::Values(TraversalCase{"traversal_rr", "ok.txt", "a/b/c"},
                                           TraversalCase{"traversal_plain", "OK.TXT", "A/B/C"}),
                         [](const ::testing::TestParamInfo<TraversalCase>& info) { return info.param.image; });

// ---------------------------------------------------------------------------------------------------------
// A file of more than 4 GiB (several extents)

TEST(ListExtract, FileOver4GiBListsAsOneEntryAndExtractsWhole) {
  const std::string build = KESTRANE_BUILD_DIR;
  std::error_code ec;
  const uintmax_t free = fs::space(build, ec).available;
  if (ec || free < 10'000'000'000ull)
    GTEST_SKIP() << "needs 10 GB free in " << build << " to write the 4 GiB image and extract it";
  const std::string dir = build + "/fixtures/iso-big";
  std::string error = MakeOnce(dir, FixtureKey({kScript}), [&]() -> std::string {
    ProgramOptions slow;
    slow.timeoutSeconds = 600;
    ProgramResult made = RunProgram("/bin/bash", {kScript, dir, "--big"}, slow);
    return made.status == 0 ? "" : "make_iso_fixtures.sh --big failed:\n" + made.out;
  });
  ASSERT_TRUE(error.empty()) << error;
  const std::string image = dir + "/big.iso";
  const std::string source = dir + "/src/big";

  ProgramResult r = Kestrane({"list", image, "/"});
  EXPECT_EQ(r.status, 0) << r.out;
  Listing listing = ParseListing(AfterBanner(r));
  ExpectWellFormed(listing, false);
  if (HasFailure()) return;
  std::vector<Line> files;
  for (const Line& l : listing.blocks[0].lines)
    if (!l.folder()) files.push_back(l);
  ASSERT_EQ(files.size(), 2u) << "one entry per extent instead of one per file?";
  EXPECT_EQ(files[0].name, "huge.bin");
  EXPECT_EQ(files[0].size, "4,296,015,995");

  const std::string out = MakeTestFolder("list_extract_big") + "/out";
  // The copy takes 4 GiB of real disk: it goes whatever the outcome.
  struct RemoveAtEnd {
    std::string path;
    ~RemoveAtEnd() { fs::remove_all(path); }
  } removeAtEnd{out};
  ProgramResult x = Kestrane({"extract", image, "/huge.bin", "-od", out}, "", 600);
  ASSERT_FALSE(x.timedOut);
  EXPECT_EQ(x.status, 0) << x.out.substr(x.out.size() > 2000 ? x.out.size() - 2000 : 0);
  ProgramOptions slow;
  slow.timeoutSeconds = 600;
  ProgramResult same = RunProgram("/usr/bin/cmp", {source + "/huge.bin", out + "/huge.bin"}, slow);
  EXPECT_EQ(same.status, 0) << same.out;
}

}  // namespace
