// Rock Ridge in saved images: an edited Rock Ridge image keeps its POSIX names, modes, owners, link counts,
// dates and symbolic links; folders nested deeper than ISO 9660 allows are relocated and come back in place for
// every Rock Ridge reader; names too long for a record go on in continuation areas.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "builder/add_local.h"
#include "builder/build_state.h"
#include "builder/rockridge.h"
#include "image/document.h"
#include "session/document.h"
#include "session/open.h"
#include "session/save.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "support/iso_checker.h"
#include "support/run_program.h"
#include "tree/tree.h"

namespace fs = std::filesystem;

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Diff(const std::string& a, const std::string& b, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"-r"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(a);
  args.push_back(b);
  ProgramResult r = RunProgram("/usr/bin/diff", args);
  return r.status == 0 ? "" : (r.out.empty() ? "diff failed" : r.out.substr(0, 2000));
}

// `isoinfo -R -l` without the extent column (the layouts differ); with `withDots` false, "." and ".." lines
// are left out too.
std::string RockRidgeListing(const std::string& iso, bool withDots = true) {
  ProgramResult r = RunProgram("/usr/bin/isoinfo", {"-R", "-l", "-i", iso});
  EXPECT_EQ(r.status, 0) << r.out;
  std::istringstream lines(r.out);
  std::string line, out;
  while (std::getline(lines, line)) {
    // "[    LBA FLAGS]"
    const size_t open = line.find('['), close = line.find(']');
    if (open != std::string::npos && close != std::string::npos && close > open) line.erase(open, close - open + 1);
    if (!withDots && (line.ends_with("  . ") || line.ends_with("  .. "))) continue;
    out += line + "\n";
  }
  return out;
}

void ExpectSound(const std::string& iso) {
  std::vector<std::string> problems = IsoCheckImage(iso, nullptr);
  EXPECT_TRUE(problems.empty()) << iso << ": " << problems.front();
}

std::string ExtractWith(const std::string& tool, const std::string& iso, const std::string& out) {
  if (tool == "osirrox") {
    ProgramResult r = RunProgram("/usr/bin/osirrox", {"-indev", iso, "-extract", "/", out});
    return r.status == 0 ? "" : r.out;
  }
  ProgramResult r = RunKestrane({"extract", iso, "/", "-od", out});
  return r.status == 0 ? "" : r.out;
}

// A tree with what Rock Ridge carries and ISO 9660 cannot: 255-byte and non-ASCII names, modes, owners, a
// hard link, a symbolic link.
std::string MakePosixTree(const std::string& folder) {
  const std::string src = folder + "/src";
  const std::string longName = std::string(251, 'n') + ".txt";  // 255 bytes, the most a local name holds
  WriteFileBytes(src + "/" + longName, "longest");
  WriteFileBytes(src + "/" + std::string(200, 'F') + "/" + std::string(180, 'g') + ".dat", "in a long folder");
  WriteFileBytes(src + "/caf\xc3\xa9 \xe6\xbc\xa2\xe5\xad\x97 mixed Case.txt", "utf-8");
  WriteFileBytes(src + "/bin/tool.sh", "#!/bin/sh\n");
  chmod((src + "/bin/tool.sh").c_str(), 0755);
  WriteFileBytes(src + "/private/secret", "s");
  chmod((src + "/private/secret").c_str(), 0600);
  chmod((src + "/private").c_str(), 0700);
  WriteFileBytes(src + "/owned", "o");
  EXPECT_EQ(lchown((src + "/owned").c_str(), 1234, 567), 0);
  fs::create_hard_link(src + "/owned", src + "/owned.hardlink");
  fs::create_directory_symlink("bin", src + "/bin.link");
  fs::create_directories(src + "/three/a");
  fs::create_directories(src + "/three/b");
  fs::create_directories(src + "/three/c");
  WriteFileBytes(src + "/empty", "");
  // Enough long names that their continuation areas fill several sectors.
  for (int i = 0; i < 40; ++i) WriteFileBytes(src + "/many/" + std::to_string(i) + std::string(240, 'm'), std::to_string(i));
  return src;
}

TEST(RockRidgeEdit, KeepsNamesModesOwnersLinksAndSymbolicLinks) {
  const std::string folder = MakeTestFolder("rockridge_edit");
  const std::string src = MakePosixTree(folder);
  const std::string source = folder + "/source.iso";
  ASSERT_EQ(RunProgram("/usr/bin/genisoimage", {"-quiet", "-R", "-o", source, src}).status, 0);
  const std::string edited = folder + "/edited.iso";
  ProgramResult made = RunKestrane({"edit", source, "-o", edited});
  ASSERT_EQ(made.status, 0) << made.out;

  ExpectSound(source);
  ExpectSound(edited);
  const std::string before = RockRidgeListing(source);
  EXPECT_NE(before.find(std::string(251, 'n') + ".txt"), std::string::npos);
  EXPECT_EQ(RockRidgeListing(edited), before);

  EXPECT_EQ(ExtractWith("osirrox", edited, folder + "/osirrox"), "");
  EXPECT_EQ(Diff(src, folder + "/osirrox", {"--no-dereference"}), "");
  // Our own reader sees the same tree (it does not make symbolic links, so the link is left out).
  EXPECT_EQ(ExtractWith("kestrane", edited, folder + "/ours"), "");
  EXPECT_EQ(Diff(src, folder + "/ours", {"-x", "bin.link"}), "");

  // The edited image opens with Rock Ridge and saves with it again: same listing.
  const std::string again = folder + "/again.iso";
  ASSERT_EQ(RunKestrane({"edit", edited, "-o", again}).status, 0);
  ExpectSound(again);
  EXPECT_EQ(RockRidgeListing(again), before);
}

TEST(RockRidgeEdit, DeepFoldersAreRelocatedAndComeBackInPlace) {
  const std::string folder = MakeTestFolder("rockridge_deep");
  const std::string src = folder + "/src";
  std::string path = src;
  for (int level = 1; level <= 11; ++level) {
    path += "/level" + std::to_string(level);
    WriteFileBytes(path + "/file" + std::to_string(level) + ".txt", std::to_string(level));
  }
  WriteFileBytes(src + "/a/b/c/d/e/f/g/h/i/j/k/" + std::string(230, 'x'), "deep and long");
  WriteFileBytes(src + "/a/b/c/d/e/f/g/other/leaf", "beside");
  // Two relocated folders of one name share the relocation folder.
  WriteFileBytes(src + "/p/2/3/4/5/6/7/same/from-p", "p");
  WriteFileBytes(src + "/q/2/3/4/5/6/7/same/from-q", "q");
  const std::string source = folder + "/source.iso";
  ASSERT_EQ(RunProgram("/usr/bin/genisoimage", {"-quiet", "-R", "-J", "-o", source, src}).status, 0);

  // Our reader puts the folders the source relocated back in place.
  ProgramResult listed = RunKestrane({"list", source, "/", "-r"});
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_EQ(listed.out.find("rr_moved"), std::string::npos);
  EXPECT_NE(listed.out.find("/level1/level2/level3/level4/level5/level6/level7/level8/level9"), std::string::npos);

  const std::string edited = folder + "/edited.iso";
  ProgramResult made = RunKestrane({"edit", source, "-o", edited});
  ASSERT_EQ(made.status, 0) << made.out;
  ExpectSound(edited);
  IsoCheckSummary summary;
  ASSERT_TRUE(IsoCheckImage(edited, &summary).empty());
  // The ISO 9660 hierarchy keeps to eight levels; the Joliet one keeps the folders where they are.
  for (const IsoCheckEntry& directory : summary.primary.directories)
    EXPECT_LE(std::count(directory.path.begin(), directory.path.end(), '/'), kRockRidgeMaxDepth) << directory.path;
  bool jolietDeep = false;
  for (const IsoCheckEntry& directory : summary.joliet.directories)
    jolietDeep = jolietDeep || directory.path.find("/level9/level10") != std::string::npos;
  EXPECT_TRUE(jolietDeep);

  EXPECT_EQ(RockRidgeListing(edited, false), RockRidgeListing(source, false));
  const std::string fromSource = folder + "/from_source";
  const std::string fromEdited = folder + "/from_edited";
  EXPECT_EQ(ExtractWith("osirrox", source, fromSource), "");
  EXPECT_EQ(ExtractWith("osirrox", edited, fromEdited), "");
  // Both show the relocation folder itself (empty): readers keep it as a folder.
  EXPECT_EQ(Diff(fromSource, fromEdited), "");
  EXPECT_EQ(Diff(src, fromEdited, {"-x", "rr_moved"}), "");
  EXPECT_EQ(ExtractWith("kestrane", edited, folder + "/ours"), "");
  EXPECT_EQ(Diff(src, folder + "/ours"), "");
}

// A CL entry that leads nowhere leaves the folders where the image has them: nothing is moved or lost.
TEST(RockRidgeEdit, ARelocationThatLeadsNowhereIsLeftAlone) {
  const std::string folder = MakeTestFolder("rockridge_bad_cl");
  std::string path = folder + "/src";
  for (int level = 1; level <= 9; ++level) path += "/l" + std::to_string(level);
  WriteFileBytes(path + "/f.txt", "f");
  const std::string source = folder + "/source.iso";
  ASSERT_EQ(RunProgram("/usr/bin/genisoimage", {"-quiet", "-R", "-o", source, folder + "/src"}).status, 0);
  std::string bytes = ReadFileBytes(source);
  const size_t cl = bytes.find(std::string("CL\x0c\x01", 4));
  ASSERT_NE(cl, std::string::npos);
  const unsigned char bogus[8] = {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
  bytes.replace(cl + 4, 8, reinterpret_cast<const char*>(bogus), 8);
  std::ofstream(source, std::ios::binary | std::ios::trunc) << bytes;

  ProgramResult listed = RunKestrane({"list", source, "/", "-r"});
  EXPECT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("/rr_moved/l8/l9"), std::string::npos) << listed.out;
  const std::string edited = folder + "/edited.iso";
  ProgramResult made = RunKestrane({"edit", source, "-o", edited});
  ASSERT_EQ(made.status, 0) << made.out;
  ExpectSound(edited);
  EXPECT_EQ(ExtractWith("kestrane", edited, folder + "/ours"), "");
  EXPECT_EQ(ReadFileBytes(folder + "/ours/rr_moved/l8/l9/f.txt"), "f");
  // The placeholder stays the empty file it is, with a file's mode.
  const std::string listing = RockRidgeListing(edited);
  EXPECT_NE(listing.find("\n-rwxr-xr-x   3    0    0               0 "), std::string::npos) << listing;
}

// A document that carries Rock Ridge saves it for files added from local folders too.
TEST(RockRidgeBuild, NewImageWithRockRidgeRoundTrips) {
  const std::string folder = MakeTestFolder("rockridge_build");
  const std::string src = folder + "/src";
  WriteFileBytes(src + "/rw-file", "mode 0666");
  chmod((src + "/rw-file").c_str(), 0666);
  WriteFileBytes(src + "/" + std::string(255, 'L'), "255");
  std::string deep = src;
  for (int level = 1; level <= 10; ++level) deep += "/d" + std::to_string(level);
  WriteFileBytes(deep + "/bottom.txt", "bottom");
  fs::create_directories(src + "/three/a");
  fs::create_directories(src + "/three/b");
  fs::create_directories(src + "/three/c");

  AbortCodeSet(kAbortNone);
  CImageDocument* document = ImageNew();
  ASSERT_NE(document, nullptr);
  document->rockRidge = 1;
  document->fixedTime = document->creationTime = document->volumeCreationTime = 1577934245;
  ASSERT_EQ(CliAddLocalPath(document, document->rootFolder, Wide(src).c_str()), 1);
  const std::string first = folder + "/first.iso";
  const std::string second = folder + "/second.iso";
  CurrentImageSet(document);
  ASSERT_EQ(ImageSaveAs(document, Wide(first).c_str()), 0);
  // The relocation lasts for the build only: the document's tree is the one that was added.
  EXPECT_EQ(TreeFindFolderByPath(document, nullptr, L"/rr_moved"), nullptr);
  EXPECT_NE(TreeFindFolderByPath(document, nullptr, L"/d1/d2/d3/d4/d5/d6/d7/d8/d9/d10"), nullptr);
  // Built twice, the same image.
  ASSERT_EQ(ImageSaveAs(document, Wide(second).c_str()), 0);
  CurrentImageClear();  // closes the document
  EXPECT_TRUE(ReadFileBytes(first) == ReadFileBytes(second));

  ExpectSound(first);
  const std::string listing = RockRidgeListing(first);
  // A file of mode 0666 dated by a fixed time is recorded as 0777.
  EXPECT_NE(listing.find("-rwxrwxrwx   1    0    0               9 Jan  2 2020   rw-file"), std::string::npos)
      << listing;
  // A folder with three subfolders: 5 links on its own record, its "." and the ".." of each subfolder.
  EXPECT_NE(listing.find("drwxr-xr-x   5    0    0            2048 Jan  2 2020   three"), std::string::npos);
  std::istringstream lines(listing);
  std::string line, current;
  int fives = 0;
  while (std::getline(lines, line)) {
    if (line.starts_with("Directory listing of ")) current = line;
    const bool own = current == "Directory listing of /three/" && line.ends_with("  . ");
    const bool parent = current.starts_with("Directory listing of /three/") && current.size() > 28 &&
                        line.ends_with("  .. ");
    if ((own || parent) && line.find("   5 ") != std::string::npos) ++fives;
  }
  EXPECT_EQ(fives, 4);  // "." of three, ".." of a, b and c

  EXPECT_EQ(ExtractWith("osirrox", first, folder + "/osirrox"), "");
  EXPECT_EQ(Diff(src, folder + "/osirrox", {"-x", "rr_moved"}), "");
  EXPECT_EQ(ExtractWith("kestrane", first, folder + "/ours"), "");
  EXPECT_EQ(Diff(src, folder + "/ours"), "");
}

// The entries of one record: a name longer than the record's room goes on after a CE in a continuation part;
// the in-record part keeps within the room left by the record's head.
TEST(RockRidgeEntries, LongNamesSplitAcrossAContinuation) {
  CImageDocument* document = ImageNew();
  ASSERT_NE(document, nullptr);
  document->fixedTime = 0;
  CTreeEntry* entry = TreeNewEntry();
  ASSERT_NE(entry, nullptr);
  static char isoName[] = "ABCDEFGH.TXT;1";
  entry->isoName = static_cast<char*>(MemAlloc(sizeof isoName));
  std::memcpy(entry->isoName, isoName, sizeof isoName);
  entry->directoryRecord[kDirRecordNameLength] = 14;
  CRockRidgeAttributes attributes{};
  attributes.mode = 0100644;
  attributes.links = 1;
  const std::wstring name(300, L'n');
  const int32_t inRecord = RockRidgeBuildEntries(document, name.c_str(), entry, &attributes, 0);
  ASSERT_GT(inRecord, 0);
  EXPECT_LE(inRecord, kRockRidgeRecordRoom - kRockRidgeMinimumHead);
  ASSERT_GT(entry->systemUseCapacity, inRecord);

  // Walk both parts: NM pieces make the name, the first piece says CONTINUE, the CE announces the rest.
  std::string collected;
  int pieces = 0;
  bool continueFirst = false;
  int32_t ceLength = -1;
  for (int32_t at = 0; at + 4 <= entry->systemUseCapacity;) {
    const uint8_t* item = entry->systemUse + at;
    ASSERT_GE(item[2], 4);
    if (item[0] == 'N' && item[1] == 'M') {
      if (pieces++ == 0) continueFirst = item[4] == 1;
      collected.append(reinterpret_cast<const char*>(item + 5), item[2] - 5u);
    }
    if (item[0] == 'C' && item[1] == 'E') {
      EXPECT_EQ(at + 28, inRecord);  // the CE closes the in-record part
      ceLength = static_cast<int32_t>(item[20] | item[21] << 8 | item[22] << 16 | item[23] << 24);
    }
    at += item[2];
  }
  EXPECT_EQ(collected, std::string(300, 'n'));
  EXPECT_GE(pieces, 2);
  EXPECT_TRUE(continueFirst);
  EXPECT_EQ(ceLength, entry->systemUseCapacity - inRecord);
  TreeFreeEntry(document, entry);
  ImageClose(document);
}

}  // namespace
