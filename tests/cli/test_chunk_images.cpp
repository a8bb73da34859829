// Chunk-compressed images from the command line: DMGs made by our writer (no tool here makes them) from FAT
// volumes made by mkfs.vfat and mcopy and from ISO images made by genisoimage, checked against what 7zz reads
// from the same DMG, listed, extracted and converted; damaged DMGs end with a message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/chunk_image_writer.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

using namespace chunkfix;

bool Have(const char* tools) {
  return RunShell(std::string("for t in ") + tools + "; do command -v $t; done").status == 0;
}

// A small tree of files whose contents compress in different ways.
void MakeTree(const std::string& root) {
  WriteFileBytes(root + "/Hello.txt", "hello\n");
  WriteFileBytes(root + "/Empty", "");
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + " of a text that repeats itself\n";
  WriteFileBytes(root + "/Docs/Long Text Name.txt", text);
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 400000; ++i) {
    x = x * 1103515245 + 12345;
    noise.push_back(static_cast<char>(x >> 23));
  }
  WriteFileBytes(root + "/Sub/Deeper/Noise.bin", noise);
}

// A FAT16 volume of `mib` MiB (no partition table) filled from `tree`.
std::string MakeFatVolume(const std::string& folder, const std::string& tree, int mib) {
  const std::string volume = folder + "/volume.img";
  Sh("truncate -s " + std::to_string(mib) + "M '" + volume + "' && mkfs.vfat -F 16 -n CHUNKS '" + volume +
     "' >/dev/null && cd '" + tree + "' && find . -exec touch -h -d @1577934240 {} + && mcopy -s -m -i '" + volume +
     "' * ::");
  return volume;
}

void ExpectSameTree(const std::string& expected, const std::string& actual) {
  const ProgramResult diff = RunShell("diff -r '" + expected + "' '" + actual + "' 2>&1");
  EXPECT_EQ(diff.status, 0) << diff.out;
}

// What 7zz reads as the DMG's disk, when 7zz is there; the test compares it with the image the DMG was made from.
void ExpectSevenZipReads(const std::string& dmg, const std::string& image) {
  if (!Have("7zz")) return;
  const std::string out = dmg + ".7zz";
  const ProgramResult r = RunShell("7zz e -tdmg -so '" + dmg + "' > '" + out + "' 2>/dev/null");
  ASSERT_EQ(r.status, 0) << "7zz refused " << dmg;
  const std::string read = ReadFileBytes(out);
  ASSERT_EQ(read.size(), image.size()) << dmg;
  EXPECT_TRUE(read == image) << "7zz reads other bytes from " << dmg;
}

}  // namespace

TEST(ChunkImagesCli, DmgOfEveryChunkTypeAndSeveralTablesExtractsTheVolume) {
  if (!Have("mkfs.vfat mcopy")) GTEST_SKIP() << "mkfs.vfat or mtools missing";
  const std::string folder = MakeTestFolder("chunk_dmg_fat");
  MakeTree(folder + "/tree");
  const std::string image = ReadFileBytes(MakeFatVolume(folder, folder + "/tree", 20));
  struct Case {
    const char* name;
    std::vector<uint32_t> types;
    std::vector<uint64_t> splits;
  };
  const Case cases[] = {
      {"zlib", {kDmgZlib}, {}},
      {"mixed", {kDmgZlib, kDmgRaw, kDmgBzip2, kDmgAdc}, {}},
      {"tables", {kDmgBzip2, kDmgAdc, kDmgZlib}, {100, 3001, 9000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dmg = folder + "/" + c.name + ".dmg";
    WriteFileBytes(dmg, MakeDmg(image, 256, c.types, c.splits));
    ExpectSevenZipReads(dmg, image);
    const ProgramResult listed = RunKestrane({"list", dmg, "/", "-r", "-y"});
    ASSERT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find("Long Text Name.txt"), std::string::npos) << listed.out;
    const std::string out = folder + "/out-" + c.name;
    const ProgramResult extracted = RunKestrane({"extract", dmg, "/", "-od", out, "-y"});
    ASSERT_EQ(extracted.status, 0) << extracted.out;
    ExpectSameTree(folder + "/tree", out);
  }
}

TEST(ChunkImagesCli, CdDmgConvertsBackToItsIso) {
  if (!Have("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  const std::string folder = MakeTestFolder("chunk_dmg_cd");
  MakeTree(folder + "/tree");
  Sh("genisoimage -quiet -R -J -V CDDMG -o '" + folder + "/cd.iso' '" + folder + "/tree'");
  const std::string iso = ReadFileBytes(folder + "/cd.iso");
  const std::string dmg = folder + "/cd.dmg";
  WriteFileBytes(dmg, MakeDmg(iso, 64, {kDmgZlib, kDmgAdc, kDmgRaw}, {16}));
  ExpectSevenZipReads(dmg, iso);
  const ProgramResult converted = RunKestrane({"convert", dmg, "-o", folder + "/back.iso", "-y"});
  ASSERT_EQ(converted.status, 0) << converted.out;
  EXPECT_TRUE(ReadFileBytes(folder + "/back.iso") == iso);
  const ProgramResult extracted = RunKestrane({"extract", dmg, "/", "-od", folder + "/out", "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  ExpectSameTree(folder + "/tree", folder + "/out");
}

TEST(ChunkImagesCli, LzfseDmgListsAndExtractsTheThreeFiles) {
  const std::string fixtures = "/work/shared/fixtures/lzfse/fat16-chunks";
  const std::string volume = ReadFileBytes(fixtures + "/fat16.img");
  if (volume.empty()) GTEST_SKIP() << "LZFSE fixtures missing";
  const std::string folder = MakeTestFolder("chunk_dmg_lzfse");
  std::vector<std::vector<DmgChunk>> tables(2);
  for (int i = 0; i < 64; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "/chunk.%03d.lzfse", i);
    tables[i < 8 ? 0 : 1].push_back({kDmgLzfse, 512, ReadFileBytes(fixtures + name)});
  }
  const std::string dmg = folder + "/lzfse.dmg";
  WriteFileBytes(dmg, MakeDmgFromTables(tables));
  const ProgramResult listed = RunKestrane({"list", dmg, "/", "-r", "-y"});
  ASSERT_EQ(listed.status, 0) << listed.out;
  // The short names are shown as the volume stores them (upper case); the long one as written.
  const std::pair<const char*, const char*> files[] = {
      {"DOCS/GPL-3", "docs/GPL-3"}, {"TOOL.BIN", "tool.bin"}, {"Mixed Case Name.txt", "Mixed Case Name.txt"}};
  for (const auto& [shown, stored] : files) {
    const std::string name = std::string(shown).substr(std::string(shown).rfind('/') + 1);
    EXPECT_NE(listed.out.find(name), std::string::npos) << name << "\n" << listed.out;
  }
  const ProgramResult extracted = RunKestrane({"extract", dmg, "/", "-od", folder + "/out", "-y"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  if (!Have("mcopy")) return;
  Sh("mkdir -p '" + folder + "/expected' && mcopy -s -n -i '" + fixtures + "/fat16.img' ::/* '" + folder +
     "/expected'");
  for (const auto& [shown, stored] : files) {
    const std::string expected = ReadFileBytes(folder + "/expected/" + stored);
    EXPECT_FALSE(expected.empty()) << stored;
    EXPECT_TRUE(ReadFileBytes(folder + "/out/" + shown) == expected) << shown;
  }
}

namespace {

// An ISO made by genisoimage from the test tree, as bytes.
std::string MakeIso(const std::string& folder) {
  MakeTree(folder + "/tree");
  const ProgramResult r =
      RunShell("genisoimage -quiet -R -J -V CHUNKISO -o '" + folder + "/source.iso' '" + folder + "/tree' 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  return ReadFileBytes(folder + "/source.iso");
}

void WriteFiles(const std::string& first, const std::vector<std::string>& files) {
  WriteFileBytes(first, files[0]);
  const std::string stem = first.substr(0, first.size() - 3);
  for (size_t i = 1; i < files.size(); ++i) {
    char tail[32];
    std::snprintf(tail, sizeof tail, "i%02zu", i);
    WriteFileBytes(stem + tail, files[i]);
  }
}

// Converts, lists and extracts `image`, expecting the source ISO and tree back.
void ExpectGivesIsoBack(const std::string& folder, const std::string& image, const std::string& iso,
                        const ProgramOptions& options = {}) {
  const std::string back = image + ".iso";
  const ProgramResult converted = RunKestrane({"convert", image, "-o", back, "-y"}, options);
  ASSERT_EQ(converted.status, 0) << converted.out;
  EXPECT_TRUE(ReadFileBytes(back) == iso) << image;
  const std::string out = image + ".out";
  const ProgramResult extracted = RunKestrane({"extract", image, "/", "-od", out, "-y"}, options);
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  ExpectSameTree(folder + "/tree", out);
}

}  // namespace

TEST(ChunkImagesCli, IszSingleSegmentedAndEncryptedGiveTheIsoBack) {
  if (!Have("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  const std::string folder = MakeTestFolder("chunk_isz");
  const std::string iso = MakeIso(folder);
  struct Case {
    const char* name;
    IszOptions options;
  };
  std::vector<Case> cases = {{"plain", {}}, {"kinds", {}}, {"split", {}}, {"aes128", {}}, {"aes256split", {}}};
  cases[1].options.kinds = {kIszRaw, kIszZlib, kIszBzip2};
  cases[1].options.chunkSize = 32768;
  cases[2].options.segmentSize = 300000;
  cases[3].options.keyLength = 16;
  cases[3].options.password = "hello";
  cases[3].options.kinds = {kIszZlib, kIszRaw};
  cases[4].options.keyLength = 32;
  cases[4].options.password = "a longer secret of 32 characters";
  cases[4].options.kinds = {kIszBzip2, kIszZlib};
  cases[4].options.segmentSize = 250000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = folder + "/" + c.name + ".isz";
    WriteFiles(image, MakeIsz(iso, c.options));
    ProgramOptions options;
    if (!c.options.password.empty()) options.input = c.options.password + "\n" + c.options.password + "\n";
    ExpectGivesIsoBack(folder, image, iso, options);
  }
  // Opening a later segment opens the set from its first file.
  const ProgramResult fromLater = RunKestrane({"list", folder + "/split.i01", "/", "-y"});
  EXPECT_EQ(fromLater.status, 0) << fromLater.out;
  EXPECT_NE(fromLater.out.find("Hello.txt"), std::string::npos) << fromLater.out;
}

TEST(ChunkImagesCli, IszPasswordIsAskedAgainAndAMissingSegmentIsNamed) {
  if (!Have("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  const std::string folder = MakeTestFolder("chunk_isz_password");
  const std::string iso = MakeIso(folder);
  IszOptions o;
  o.keyLength = 24;
  o.password = "right";
  o.kinds = {kIszRaw, kIszZlib};  // stored chunks deciphered with the wrong password must not be kept
  const std::string image = folder + "/secret.isz";
  WriteFiles(image, MakeIsz(iso, o));
  // A wrong password, "Yes" to try again, then the right one.
  ProgramOptions retry;
  retry.input = "wrong\nYes\nright\n";
  const ProgramResult listed = RunKestrane({"list", image, "/"}, retry);
  EXPECT_EQ(listed.status, 0) << listed.out;
  EXPECT_NE(listed.out.find("Password wrong! Do you want to try again?"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("Hello.txt"), std::string::npos) << listed.out;
  // End of input gives up: a message and status 1, no hang.
  ProgramOptions none;
  none.input = "";
  const ProgramResult refused = RunKestrane({"list", image, "/"}, none);
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_FALSE(refused.timedOut);

  o = IszOptions();
  o.segmentSize = 150000;
  const std::string split = folder + "/split.isz";
  WriteFiles(split, MakeIsz(iso, o));
  ASSERT_EQ(std::remove((folder + "/split.i02").c_str()), 0);
  const ProgramResult missing = RunKestrane({"list", split, "/", "-y"});
  EXPECT_EQ(missing.status, 1) << missing.out;
  EXPECT_NE(missing.out.find("split.i02"), std::string::npos) << missing.out;
}

// A split set whose last file holds only the end of the last chunk begun before it: its record counts no chunk
// but the previous record says bytes go on into it.
TEST(ChunkImagesCli, IszSetWhoseLastFileBeginsNoChunk) {
  if (!Have("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  const std::string folder = MakeTestFolder("chunk_isz_tail");
  const std::string iso = MakeIso(folder);
  IszOptions o;
  o.segmentSize = 300000;
  o.tailBytes = 100;
  std::vector<std::string> files = MakeIsz(iso, o);
  ASSERT_GE(files.size(), 3u);
  const std::string image = folder + "/tail.isz";
  WriteFiles(image, files);
  ExpectGivesIsoBack(folder, image, iso);

  // A table whose next-to-last record says nothing goes on ends before the data does: the last file it names
  // is reported.
  const size_t record = 48 + 24 * (files.size() - 2);
  for (size_t i = 0; i < 4; ++i) files[0][record + 20 + i] = static_cast<char>(~"IsZ!"[i]);  // 0, scrambled
  const std::string cut = folder + "/cut.isz";
  WriteFiles(cut, files);
  const ProgramResult refused = RunKestrane({"list", cut, "/", "-y"});
  EXPECT_EQ(refused.status, 1) << refused.out;
  char last[16];
  std::snprintf(last, sizeof last, "cut.i%02zu", files.size() - 2);
  EXPECT_NE(refused.out.find(last), std::string::npos) << refused.out;
}

TEST(ChunkImagesCli, UifInEachSectorFormGivesTheIsoBack) {
  if (!Have("genisoimage")) GTEST_SKIP() << "genisoimage missing";
  const std::string folder = MakeTestFolder("chunk_uif");
  const std::string iso = MakeIso(folder);
  const std::string image2048 = folder + "/plain.uif";
  WriteFileBytes(image2048, MakeUif(iso, 2048, 32));
  ExpectGivesIsoBack(folder, image2048, iso);
  // Raw sectors: Mode 1 (user data at 16) and Mode 2 Form 1 (at 24), sync and headers around the user data.
  for (int offset : {16, 24}) {
    SCOPED_TRACE(offset);
    std::string raw;
    for (size_t at = 0; at < iso.size(); at += 2048) {
      std::string sector(2352, '\0');
      std::memset(sector.data() + 1, 0xFF, 10);
      sector[15] = offset == 16 ? 1 : 2;
      sector.replace(static_cast<size_t>(offset), 2048, iso, at, 2048);
      raw += sector;
    }
    const std::string image = folder + "/raw" + std::to_string(offset) + ".uif";
    WriteFileBytes(image, MakeUif(raw, 2352, 16));
    ExpectGivesIsoBack(folder, image, iso);
  }
}

TEST(ChunkImagesCli, HostileImagesEndWithAMessageAndStatusOne) {
  const std::string folder = MakeTestFolder("chunk_hostile");
  std::string volume(512 * 256, '\0');
  for (size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<char>(i * 31 / 7);
  std::string dmg = MakeDmg(volume, 64, {kDmgZlib});
  std::string kolyPastFile = dmg;
  PutBE(kolyPastFile, kolyPastFile.size() - 512 + 216, 1u << 30, 8);
  // A chunk whose zlib stream gives less than its entry declares: the image opens, its reads fail.
  std::vector<std::vector<DmgChunk>> tables(1);
  tables[0].push_back({kDmgZlib, 256, Zlib(volume.substr(0, 512 * 200))});
  const std::string shortChunk = MakeDmgFromTables(tables);
  std::string uif = MakeUif(volume, 2048, 16);
  std::string uifTablePastFile = uif;
  for (int i = 0; i < 8; ++i) uifTablePastFile[uifTablePastFile.size() - 64 + 28 + i] = i == 4 ? 1 : 0;
  std::string isz = MakeIsz(volume, IszOptions())[0];
  std::string iszWrongPointerLength = isz;
  iszWrongPointerLength[33] = 4;
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"koly.dmg", kolyPastFile},
      {"short.dmg", shortChunk},
      {"table.uif", uifTablePastFile},
      {"pointer.isz", iszWrongPointerLength},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder + "/" + c.name;
    WriteFileBytes(path, c.bytes);
    const ProgramResult r = RunKestrane({"extract", path, "/", "-od", folder + "/out", "-y"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.out.find(c.name), std::string::npos) << r.out;
  }
}

TEST(ChunkImagesCli, DamagedChunkInsideAFileFailsThatFileAndTheRunEndsWithStatusOne) {
  if (!Have("mkfs.vfat mcopy genisoimage")) GTEST_SKIP() << "mkfs.vfat, mtools or genisoimage missing";
  const std::string folder = MakeTestFolder("chunk_damaged_file");
  const std::string tree = folder + "/tree";
  MakeTree(tree);
  const std::string fat = ReadFileBytes(MakeFatVolume(folder, tree, 20));
  Sh("genisoimage -quiet -R -J -o '" + folder + "/cd.iso' '" + tree + "'");
  // The noise is stored as it is inside its deflate streams: a byte changed in the middle of it damages the
  // chunk that holds it, which the checksum of the stream then refuses.
  const std::string noise = ReadFileBytes(tree + "/Sub/Deeper/Noise.bin");
  const std::string probe = noise.substr(noise.size() / 2, 64);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"fat.dmg", MakeDmg(fat, 64, {kDmgZlib})},
      {"cd.isz", MakeIsz(ReadFileBytes(folder + "/cd.iso"), IszOptions())[0]},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = c.bytes;
    const size_t at = bytes.find(probe);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 10] ^= 0x5A;
    const std::string path = folder + "/" + c.name;
    WriteFileBytes(path, bytes);
    const std::string out = folder + "/out-" + c.name;
    const ProgramResult r = RunKestrane({"extract", path, "/", "-od", out, "-y"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.out.find("Noise.bin"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Can not read compressed image file."), std::string::npos) << r.out;
    // The damaged file is not left behind; the others came out whole.
    EXPECT_NE(RunShell("test -e '" + out + "/Sub/Deeper/Noise.bin'").status, 0);
    EXPECT_EQ(ReadFileBytes(out + "/Hello.txt"), "hello\n");
    EXPECT_TRUE(ReadFileBytes(out + "/Docs/Long Text Name.txt") == ReadFileBytes(tree + "/Docs/Long Text Name.txt"));
  }
}
