// create and edit end to end: images built from local folders are read back by other tools (xorriso's Joliet
// view, 7-Zip, osirrox, isoinfo) and by an independent structure checker; identical files share one extent;
// BIN output comes with its sheet; builds are reproducible; saving over the opened image is safe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/iso_checker.h"
#include "support/run_program.h"
#include "support/udf_checker.h"

namespace fs = std::filesystem;

namespace {

// Fixed dates, so that two builds of one folder are byte-identical.
const std::vector<std::string> kFixedDates = {"-file-datetime", "01-02-2020:03:04:05",
                                              "-vol-creation-datetime", "01-02-2020:03:04:05",
                                              "-vol-modification-datetime", "01-02-2020:03:04:05"};

std::vector<std::string> CreateArgs(const std::string& out, const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"create", "-o", out};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// The source tree the issue asks for: nested and empty folders, empty files, a folder of 3,000 files, long and
// non-ASCII names, names that differ only in case.
std::string MakeSourceTree(const std::string& folder) {
  const std::string src = folder + "/src";
  WriteFileBytes(src + "/top.txt", "top level\n");
  WriteFileBytes(src + "/nested/one/two/three/deep.bin", std::string(70000, 'd'));
  fs::create_directories(src + "/empty/inner_empty");
  WriteFileBytes(src + "/zero_length", "");
  WriteFileBytes(src + "/nested/zero_too", "");
  for (int i = 0; i < 3000; ++i) WriteFileBytes(src + "/many/file_" + std::to_string(i) + ".dat", std::to_string(i * 7));
  WriteFileBytes(src + "/" + std::string(64, 'a') + ".txt", "64");
  WriteFileBytes(src + "/" + std::string(100, 'b') + ".txt", "104");
  WriteFileBytes(src + "/" + std::string(106, 'c') + ".txt", "110 characters in all");
  WriteFileBytes(src + "/caf\xc3\xa9 na\xc3\xafve.txt", "accents");
  WriteFileBytes(src + "/\xe6\xbc\xa2\xe5\xad\x97/\xe3\x81\x8b\xe3\x81\xaa.txt", "cjk");
  WriteFileBytes(src + "/smile \xf0\x9f\x98\x80.txt", "emoji");
  WriteFileBytes(src + "/Makefile", "upper");
  WriteFileBytes(src + "/makefile", "lower");
  return src;
}

std::string Diff(const std::string& a, const std::string& b) {
  ProgramResult r = RunProgram("/usr/bin/diff", {"-r", a, b});
  return r.status == 0 ? "" : (r.out.empty() ? "diff failed" : r.out.substr(0, 2000));
}

TEST(CreateCli, OtherToolsExtractTheTreeThatWasAdded) {
  const std::string folder = MakeTestFolder("create_readback");
  const std::string src = MakeSourceTree(folder);
  const std::string iso = folder + "/n.iso";
  ProgramResult made = RunKestrane(CreateArgs(iso, {"-add", src, "/", "-label", "READBACK"}));
  ASSERT_EQ(made.status, 0) << made.out;

  IsoCheckSummary summary;
  std::vector<std::string> problems = IsoCheckImage(iso, &summary);
  EXPECT_TRUE(problems.empty()) << problems.front();
  // Sector map of a default image: primary, Joliet, terminator, marker.
  ASSERT_GE(summary.descriptors.size(), 3u);
  EXPECT_EQ(summary.descriptors[0].lba, 16u);
  EXPECT_EQ(summary.descriptors[0].type, 1);
  EXPECT_EQ(summary.descriptors[1].lba, 17u);
  EXPECT_EQ(summary.descriptors[1].type, 2);
  EXPECT_EQ(summary.descriptors[2].lba, 18u);
  EXPECT_EQ(summary.descriptors[2].type, 255);
  ASSERT_EQ(summary.sector19.size(), 2048u);
  EXPECT_EQ(summary.sector19.substr(0, 9), "KESTRANE ");
  EXPECT_EQ(summary.sector19.find_first_not_of('\0', 9), std::string::npos);
  EXPECT_EQ(summary.label, "READBACK");
  EXPECT_EQ(summary.jolietLevel, 3);
  EXPECT_EQ(summary.volumeSize, summary.imageSectors);

  ProgramResult info = RunProgram("/usr/bin/isoinfo", {"-d", "-i", iso});
  EXPECT_NE(info.out.find("Volume id: READBACK"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Joliet with UCS level 3 found"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("System id: Win32"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Application id: Kestrane"), std::string::npos) << info.out;

  const std::string viaXorriso = folder + "/xorriso", via7z = folder + "/7z", viaOsirrox = folder + "/osirrox";
  ProgramResult x = RunShell("xorriso -joliet on -indev '" + iso + "' -osirrox on -extract / '" + viaXorriso +
                          "' 2>&1");
  ASSERT_EQ(x.status, 0) << x.out;
  EXPECT_EQ(Diff(src, viaXorriso), "");
  ProgramResult z = RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + via7z, iso});
  ASSERT_EQ(z.status, 0) << z.out;
  EXPECT_EQ(Diff(src, via7z), "");
  ProgramResult o = RunShell("osirrox -indev '" + iso + "' -extract / '" + viaOsirrox + "' 2>&1");
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(Diff(src, viaOsirrox), "");
  // And kestrane itself.
  const std::string viaUs = folder + "/ours";
  ProgramResult e = RunKestrane({"extract", iso, "/", "-od", viaUs});
  ASSERT_EQ(e.status, 0) << e.out;
  EXPECT_EQ(Diff(src, viaUs), "");
}

TEST(CreateCli, LongNamesAreShortenedUniquelyAndKeepTheirData) {
  const std::string folder = MakeTestFolder("create_long_names");
  const std::string src = folder + "/src";
  // 200 characters: longer than any Joliet name; two such names share their first 110 characters.
  const std::string stem(195, 'n');
  WriteFileBytes(src + "/" + stem + "1.txt", "first");
  WriteFileBytes(src + "/" + stem + "2.txt", "second");
  const std::string iso = folder + "/n.iso";
  ASSERT_EQ(RunKestrane(CreateArgs(iso, {"-add", src, "/"})).status, 0);
  IsoCheckSummary summary;
  std::vector<std::string> problems = IsoCheckImage(iso, &summary);
  EXPECT_TRUE(problems.empty()) << problems.front();
  ASSERT_EQ(summary.joliet.files.size(), 2u);
  std::set<std::string> names;
  for (const IsoCheckEntry& file : summary.joliet.files) {
    EXPECT_LE(file.path.size() - 1, 110u) << file.path;
    EXPECT_NE(file.path.find('~'), std::string::npos) << file.path;
    EXPECT_EQ(file.path.substr(file.path.size() - 4), ".txt");
    names.insert(file.path);
  }
  EXPECT_EQ(names.size(), 2u);
  const std::string out = folder + "/7z";
  ASSERT_EQ(RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + out, iso}).status, 0);
  std::multiset<std::string> contents;
  for (const auto& item : fs::directory_iterator(out)) contents.insert(ReadFileBytes(item.path().string()));
  EXPECT_EQ(contents, (std::multiset<std::string>{"first", "second"}));
}

// LBA of every file of the primary hierarchy, by path.
std::map<std::string, IsoCheckEntry> FilesOf(const std::string& iso) {
  IsoCheckSummary summary;
  std::vector<std::string> problems = IsoCheckImage(iso, &summary);
  EXPECT_TRUE(problems.empty()) << problems.front();
  std::map<std::string, IsoCheckEntry> files;
  for (const IsoCheckEntry& file : summary.joliet.files) files[file.path] = file;
  return files;
}

TEST(CreateCli, IdenticalFilesShareOneExtentUnlessOptimizationIsOff) {
  const std::string folder = MakeTestFolder("create_duplicates");
  const std::string src = folder + "/src";
  const std::string body(50000, 'q');
  for (int i = 0; i < 10; ++i) WriteFileBytes(src + "/copies/copy" + std::to_string(i) + ".bin", body);
  WriteFileBytes(src + "/near/a.bin", body);
  WriteFileBytes(src + "/near/b.bin", body.substr(0, body.size() - 1) + "r");

  const std::string iso = folder + "/dup.iso";
  ASSERT_EQ(RunKestrane(CreateArgs(iso, {"-add", src, "/"})).status, 0);
  std::map<std::string, IsoCheckEntry> files = FilesOf(iso);
  ASSERT_EQ(files.size(), 12u);
  std::set<uint32_t> lbas;
  for (int i = 0; i < 10; ++i) lbas.insert(files["/copies/copy" + std::to_string(i) + ".bin"].lba);
  EXPECT_EQ(lbas.size(), 1u);
  // near/a.bin equals the copies; near/b.bin differs in its last byte and keeps its own extent.
  EXPECT_EQ(files["/near/a.bin"].lba, *lbas.begin());
  EXPECT_NE(files["/near/b.bin"].lba, *lbas.begin());
  // iso-info (libcdio) agrees: one LSN for all ten copies.
  ProgramResult listing = RunShell("iso-info --no-header -l '" + iso + "' 2>&1");
  ASSERT_EQ(listing.status, 0) << listing.out;
  std::set<std::string> lsns;
  for (size_t at = listing.out.find("copy"); at != std::string::npos; at = listing.out.find("copy", at + 1)) {
    const size_t line = listing.out.rfind('\n', at);
    const size_t lsn = listing.out.find("[LSN", line == std::string::npos ? 0 : line);
    if (lsn != std::string::npos && lsn < at) lsns.insert(listing.out.substr(lsn, listing.out.find(']', lsn) - lsn));
  }
  EXPECT_EQ(lsns.size(), 1u) << listing.out;
  EXPECT_NE(listing.out.find("copy9.bin"), std::string::npos);

  const std::string plain = folder + "/plain.iso";
  ASSERT_EQ(RunKestrane(CreateArgs(plain, {"-add", src, "/", "-disable-optimization"})).status, 0);
  files = FilesOf(plain);
  lbas.clear();
  for (const auto& [path, file] : files) lbas.insert(file.lba);
  EXPECT_EQ(lbas.size(), 12u);
  EXPECT_GT(fs::file_size(plain), fs::file_size(iso) + 9 * 50000);
  // Both extract the same tree.
  for (const std::string& image : {iso, plain}) {
    const std::string out = folder + "/x_" + fs::path(image).stem().string();
    ASSERT_EQ(RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + out, image}).status, 0);
    EXPECT_EQ(Diff(src, out), "");
  }
}

TEST(CreateCli, SameFolderTwiceGivesTheSameBytes) {
  const std::string folder = MakeTestFolder("create_reproducible");
  const std::string src = folder + "/src";
  for (int i = 0; i < 40; ++i) WriteFileBytes(src + "/d" + std::to_string(i % 4) + "/f" + std::to_string(i), "x" + std::to_string(i));
  WriteFileBytes(src + "/LongNameThatNeedsShorteningInTheEightDotThreeForm.text", "y");
  // The dates come first: files are dated as they are added.
  std::vector<std::string> options = kFixedDates;
  options.insert(options.end(), {"-add", src, "/", "-label", "SAME"});
  ASSERT_EQ(RunKestrane(CreateArgs(folder + "/a.iso", options)).status, 0);
  // A second copy of the folder made in the opposite order, so readdir order differs.
  const std::string copy = folder + "/copy";
  fs::create_directories(copy);
  std::vector<fs::path> items;
  for (const auto& item : fs::recursive_directory_iterator(src)) items.push_back(item.path());
  std::sort(items.rbegin(), items.rend());
  for (const fs::path& item : items) {
    const fs::path target = copy / fs::relative(item, src);
    if (fs::is_directory(item)) {
      fs::create_directories(target);
    } else {
      fs::create_directories(target.parent_path());
      fs::copy_file(item, target);
    }
  }
  options[kFixedDates.size() + 1] = copy;
  ASSERT_EQ(RunKestrane(CreateArgs(folder + "/b.iso", options)).status, 0);
  EXPECT_EQ(ReadFileBytes(folder + "/a.iso"), ReadFileBytes(folder + "/b.iso"));
}

TEST(CreateCli, BinOutputComesWithASheetThatGivesTheIsoBack) {
  const std::string folder = MakeTestFolder("create_bin");
  const std::string src = folder + "/src";
  WriteFileBytes(src + "/data.bin", std::string(100000, 'b'));
  WriteFileBytes(src + "/sub/t.txt", "text");
  std::vector<std::string> options = kFixedDates;
  options.insert(options.end(), {"-add", src, "/", "-label", "BIN"});
  ASSERT_EQ(RunKestrane(CreateArgs(folder + "/n.iso", options)).status, 0);
  ProgramResult made = RunKestrane(CreateArgs(folder + "/n.bin", options));
  ASSERT_EQ(made.status, 0) << made.out;
  ASSERT_TRUE(fs::exists(folder + "/n.cue"));
  ProgramOptions here;
  here.workDir = folder;
  ProgramResult b = RunProgram("/usr/bin/bchunk", {"n.bin", "n.cue", "back"}, here);
  ASSERT_EQ(b.status, 0) << b.out;
  EXPECT_EQ(ReadFileBytes(folder + "/back01.iso"), ReadFileBytes(folder + "/n.iso"));
}

TEST(CreateCli, SeveralAddsIntoSeveralFoldersAndTheOverwriteQuestion) {
  const std::string folder = MakeTestFolder("create_adds");
  WriteFileBytes(folder + "/one/a.txt", "one a");
  WriteFileBytes(folder + "/one/common.txt", "from one");
  WriteFileBytes(folder + "/two/common.txt", "from two");
  WriteFileBytes(folder + "/single.txt", "single");
  struct Case {
    std::string answer;
    std::string expected;
  } cases[] = {{"y\n", "from two"}, {"n\n", "from one"}, {"", "from one"}};
  for (const Case& c : cases) {
    const std::string iso = folder + "/adds.iso";
    fs::remove(iso);
    ProgramOptions input;
    input.input = c.answer;
    ProgramResult r = RunKestrane(CreateArgs(iso, {"-add", folder + "/one", "/", "-add", folder + "/two", "/",
                                                   "-add", folder + "/single.txt", "/deep/er", "-add",
                                                   folder + "/one", "/copy"}),
                                  input);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("already exists. Do you want to overwrite it?"), std::string::npos) << r.out;
    const std::string out = folder + "/out";
    fs::remove_all(out);
    ASSERT_EQ(RunKestrane({"extract", iso, "/", "-od", out}).status, 0);
    EXPECT_EQ(ReadFileBytes(out + "/common.txt"), c.expected) << "answer " << c.answer;
    EXPECT_EQ(ReadFileBytes(out + "/a.txt"), "one a");
    EXPECT_EQ(ReadFileBytes(out + "/deep/er/single.txt"), "single");
    EXPECT_EQ(ReadFileBytes(out + "/copy/common.txt"), "from one");
  }
  // A folder over a file of the same name is refused and the file stays.
  WriteFileBytes(folder + "/clash/common.txt/inside", "x");
  ProgramResult r = RunKestrane(
      CreateArgs(folder + "/clash.iso", {"-add", folder + "/one", "/", "-add", folder + "/clash", "/"}));
  EXPECT_NE(r.out.find("Cannot copy common.txt: A file with the name you specified already exists. Please specify "
                       "a different file name."),
            std::string::npos)
      << r.out;
}

TEST(CreateCli, EditKeepsTheOldFilesAndSavesOverTheOpenedImageSafely) {
  const std::string folder = MakeTestFolder("create_edit");
  WriteFileBytes(folder + "/old/keep.txt", "kept");
  WriteFileBytes(folder + "/old/sub/big.bin", std::string(300000, 'k'));
  WriteFileBytes(folder + "/more/new.txt", "added");
  const std::string old = folder + "/old.iso";
  ASSERT_EQ(RunKestrane(CreateArgs(old, {"-add", folder + "/old", "/", "-label", "OLD"})).status, 0);
  const std::string before = ReadFileBytes(old);

  const std::string edited = folder + "/new.iso";
  ProgramResult r = RunKestrane({"edit", old, "-add", folder + "/more", "/", "-label", "NEW", "-o", edited});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(old), before);
  IsoCheckSummary summary;
  std::vector<std::string> problems = IsoCheckImage(edited, &summary);
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(summary.label, "NEW");
  const std::string out = folder + "/out";
  ASSERT_EQ(RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + out, edited}).status, 0);
  EXPECT_EQ(ReadFileBytes(out + "/keep.txt"), "kept");
  EXPECT_EQ(ReadFileBytes(out + "/sub/big.bin"), std::string(300000, 'k'));
  EXPECT_EQ(ReadFileBytes(out + "/new.txt"), "added");

  // Without -o the opened image is replaced, through a temporary file, keeping its mode; nothing is left over.
  chmod(old.c_str(), 0640);
  r = RunKestrane({"edit", old, "-add", folder + "/more", "/extra"});
  ASSERT_EQ(r.status, 0) << r.out;
  struct stat status;
  ASSERT_EQ(stat(old.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  const std::string out2 = folder + "/out2";
  ASSERT_EQ(RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + out2, old}).status, 0);
  EXPECT_EQ(ReadFileBytes(out2 + "/keep.txt"), "kept");
  EXPECT_EQ(ReadFileBytes(out2 + "/extra/new.txt"), "added");
  int leftovers = 0;
  for (const auto& item : fs::directory_iterator(folder))
    leftovers += item.path().filename().string().find("kestrane-") != std::string::npos;
  EXPECT_EQ(leftovers, 0);

  // A target that is an added file is refused, and the file is untouched.
  WriteFileBytes(folder + "/self/x.iso", "not an image");
  r = RunKestrane(CreateArgs(folder + "/self/x.iso", {"-y", "-add", folder + "/self", "/"}));
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(ReadFileBytes(folder + "/self/x.iso"), "not an image");
}

TEST(CreateCli, RefusalsLeaveNothingBehind) {
  const std::string folder = MakeTestFolder("create_refusals");
  WriteFileBytes(folder + "/src/a.txt", "a");
  // An existing target answered "n" keeps its bytes.
  WriteFileBytes(folder + "/exists.iso", "precious");
  ProgramOptions no;
  no.input = "n\n";
  ProgramResult r = RunKestrane(CreateArgs(folder + "/exists.iso", {"-add", folder + "/src", "/"}), no);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("The file already exists. Do you want to overwrite it?"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileBytes(folder + "/exists.iso"), "precious");
  // Without -o.
  r = RunKestrane({"create", "-add", folder + "/src", "/"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("Please specify output file name."), std::string::npos) << r.out;
  // A missing local path.
  r = RunKestrane(CreateArgs(folder + "/m.iso", {"-add", folder + "/missing", "/"}));
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("Can not find file or folder: " + folder + "/missing"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(folder + "/m.iso"));
}

TEST(CreateCli, SymbolicLinksAreLeftOut) {
  const std::string folder = MakeTestFolder("create_links");
  WriteFileBytes(folder + "/src/real.txt", "real");
  fs::create_symlink("real.txt", folder + "/src/link.txt");
  fs::create_directory_symlink("/", folder + "/src/root_link");
  const std::string iso = folder + "/l.iso";
  ASSERT_EQ(RunKestrane(CreateArgs(iso, {"-add", folder + "/src", "/"})).status, 0);
  std::map<std::string, IsoCheckEntry> files = FilesOf(iso);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->first, "/real.txt");
}

}  // namespace

namespace {

// A file of 4 GiB or more turns a plain data image into a UDF image without ISO 9660 (an ISO 9660 record
// cannot hold it); 7-Zip lists, tests and extracts it whole. A build left with neither file system is refused.
TEST(CreateCli, AFileOfFiveGigabytesIsStoredWhole) {
  const std::string folder = MakeTestFolder("create_5g");
  const std::string big = folder + "/src/big.raw";
  const int64_t size = int64_t{5} << 30;
  fs::create_directories(folder + "/src");
  {
    std::ofstream out(big, std::ios::binary);
    out << "head marker";
    out.seekp(size - 11);
    out << "tail marker";
  }
  ASSERT_EQ(static_cast<int64_t>(fs::file_size(big)), size);
  WriteFileBytes(folder + "/src/small.txt", "small");
  const std::string iso = folder + "/big.iso";

  ProgramResult refused = RunKestrane(CreateArgs(iso, {"-add", folder + "/src", "/", "-udf", "off"}));
  EXPECT_NE(refused.status, 0) << refused.out;
  EXPECT_NE(refused.out.find("neither an ISO 9660 nor a UDF file system"), std::string::npos) << refused.out;
  EXPECT_FALSE(fs::exists(iso));

  ProgramResult made = RunKestrane(CreateArgs(iso, {"-add", folder + "/src", "/"}), ProgramOptions{"", {}, "", 300});
  ASSERT_EQ(made.status, 0) << made.out;
  fs::remove(big);
  RunShell("fallocate --dig-holes '" + iso + "'");

  // UDF only: the recognition sequence at 16, no ISO 9660 descriptor, no marker.
  std::ifstream head16(iso, std::ios::binary);
  std::string sectors(3 * 2048, '\0');
  head16.seekg(16 * 2048);
  head16.read(sectors.data(), static_cast<std::streamsize>(sectors.size()));
  EXPECT_EQ(sectors.substr(1, 5), "BEA01");
  EXPECT_EQ(sectors.substr(2048 + 1, 5), "NSR02");
  EXPECT_EQ(sectors.substr(4096 + 1, 5), "TEA01");
  UdfCheckSummary udf;
  std::vector<std::string> problems = UdfCheckImage(iso, &udf);
  EXPECT_TRUE(problems.empty()) << problems.front();
  ASSERT_EQ(udf.entries.count("/big.raw"), 1u);
  EXPECT_EQ(udf.entries["/big.raw"].size, static_cast<uint64_t>(size));
  // Each allocation descriptor holds at most 0x3FFFF800 bytes, a little under 1 GiB: 5 GiB takes six.
  EXPECT_EQ(udf.entries["/big.raw"].descriptors, 6);

  ProgramResult listing = RunProgram("/usr/bin/7zz", {"l", iso});
  EXPECT_NE(listing.out.find("5368709120"), std::string::npos) << listing.out;
  ProgramResult tested = RunProgram("/usr/bin/7zz", {"t", iso}, ProgramOptions{"", {}, "", 300});
  EXPECT_EQ(tested.status, 0) << tested.out;

  const std::string out = folder + "/out";
  ProgramResult x =
      RunProgram("/usr/bin/7zz", {"x", "-y", "-o" + out, iso, "big.raw"}, ProgramOptions{"", {}, "", 300});
  ASSERT_EQ(x.status, 0) << x.out;
  const std::string extracted = out + "/big.raw";
  ASSERT_EQ(static_cast<int64_t>(fs::file_size(extracted)), size);
  std::ifstream in(extracted, std::ios::binary);
  std::string head(11, '\0'), tail(11, '\0');
  in.read(head.data(), 11);
  in.seekg(size - 11);
  in.read(tail.data(), 11);
  EXPECT_EQ(head, "head marker");
  EXPECT_EQ(tail, "tail marker");
  in.close();
  EXPECT_EQ(ReadFileBytes(out + "/small.txt"), "");  // only big.raw was asked for
  fs::remove_all(out);
  fs::remove(iso);
}

}  // namespace

namespace {

// edit rebuilds one data track: an image with an audio track after its data is refused, not cut down.
TEST(CreateCli, EditRefusesImagesWithMoreThanOneTrack) {
  const std::string folder = MakeTestFolder("create_edit_tracks");
  WriteFileBytes(folder + "/src/a.txt", "a");
  ASSERT_EQ(RunKestrane(CreateArgs(folder + "/d.bin", {"-add", folder + "/src", "/"})).status, 0);
  // Append 300 sectors of silence as a second, audio track.
  { std::ofstream(folder + "/d.bin", std::ios::binary | std::ios::app) << std::string(300 * 2352, '\0'); }
  const int64_t dataSectors = static_cast<int64_t>(fs::file_size(folder + "/d.bin")) / 2352 - 300;
  char start[16];
  std::snprintf(start, sizeof start, "%02d:%02d:%02d", static_cast<int>(dataSectors / 4500),
                static_cast<int>(dataSectors / 75 % 60), static_cast<int>(dataSectors % 75));
  WriteFileBytes(folder + "/d.cue", std::string("FILE \"d.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                           "  TRACK 02 AUDIO\n    INDEX 01 ") + start + "\n");
  const std::string before = ReadFileBytes(folder + "/d.bin");
  ProgramResult r = RunKestrane({"edit", folder + "/d.cue", "-label", "X", "-o", folder + "/out.iso"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("This image file can not be converted."), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(folder + "/out.iso"));
  EXPECT_EQ(ReadFileBytes(folder + "/d.bin"), before);
}

}  // namespace

namespace {

// create and edit save QVF images like convert does: split into volumes, scrambled with a password, never over a
// volume of the image being read.
TEST(CreateCli, QvfOutputsSplitAndPasswordProtected) {
  const std::string folder = MakeTestFolder("create_qvf");
  std::string noise(3000000, '\0');
  uint32_t x = 2463534242u;
  for (char& c : noise) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  WriteFileBytes(folder + "/src/noise.bin", noise);
  WriteFileBytes(folder + "/src/a.txt", "a");

  // -volsize: three volumes of at most 1 MiB; opening any of them gives the whole tree.
  ProgramResult r = RunKestrane(CreateArgs(folder + "/v.qvf", {"-volsize", "1M", "-add", folder + "/src", "/"}));
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* name : {"v.part001.qvf", "v.part002.qvf", "v.part003.qvf"}) {
    ASSERT_TRUE(fs::exists(folder + "/" + name)) << name;
    EXPECT_LE(fs::file_size(folder + "/" + name), 1u << 20) << name;
  }
  const std::string out = folder + "/out";
  r = RunKestrane({"extract", folder + "/v.part003.qvf", "/", "-od", out});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Diff(folder + "/src", out), "");

  // Saving over a volume of the image being read is refused and leaves every volume as it was.
  const std::string first = ReadFileBytes(folder + "/v.part001.qvf");
  r = RunKestrane({"edit", folder + "/v.part002.qvf", "-add", folder + "/src/a.txt", "/again"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("The source file or destination file is a multiple volume image file. You must save to a "
                       "different file name."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(ReadFileBytes(folder + "/v.part001.qvf"), first);
  // To another name it is saved, here as one file.
  r = RunKestrane({"edit", folder + "/v.part002.qvf", "-add", folder + "/src/a.txt", "/again", "-o",
                   folder + "/w.qvf"});
  ASSERT_EQ(r.status, 0) << r.out;
  fs::remove_all(out);
  ASSERT_EQ(RunKestrane({"extract", folder + "/w.qvf", "/", "-od", out}).status, 0);
  EXPECT_EQ(ReadFileBytes(out + "/again/a.txt"), "a");
  EXPECT_EQ(ReadFileBytes(out + "/noise.bin"), noise);

  // A password makes the output QVF whatever the suffix asked for, and the image opens only with it.
  r = RunKestrane(CreateArgs(folder + "/p.iso", {"-setpassword", "secret", "-add", folder + "/src", "/"}));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Some advanced features, such as password protection and multiple volume support has been "
                       "enabled. You need save the image file to a QVF file."),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(folder + "/p.iso"));
  ASSERT_TRUE(fs::exists(folder + "/p.qvf"));
  EXPECT_EQ(ReadFileBytes(folder + "/p.qvf").find("noise.bin"), std::string::npos);
  ProgramOptions wrong;
  wrong.input = "nope\n";
  r = RunKestrane({"list", folder + "/p.qvf", "/"}, wrong);
  EXPECT_NE(r.status, 0) << r.out;
  r = RunKestrane({"list", folder + "/p.qvf", "/", "-password", "secret"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("noise.bin"), std::string::npos) << r.out;
}

}  // namespace
