// The UDF bridge of new images: allocation descriptors and their chaining, OSTA names, and images made with
// `create -udf on` read back by udfinfo, 7-Zip's UDF reader, an independent UDF walker and, on the ISO 9660
// side, the ISO structure checker and xorriso.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "builder/udf_writer.h"
#include "support/iso_checker.h"
#include "support/run_program.h"
#include "support/udf_checker.h"

namespace fs = std::filesystem;

namespace {

std::string Diff(const std::string& a, const std::string& b) {
  ProgramResult r = RunProgram("/usr/bin/diff", {"-r", a, b});
  return r.status == 0 ? "" : (r.out.empty() ? "diff failed" : r.out.substr(0, 2000));
}

std::string SectorOf(const std::string& image, uint64_t lba) {
  std::ifstream in(image, std::ios::binary);
  std::string s(2048, '\0');
  in.seekg(static_cast<std::streamoff>(lba * 2048));
  in.read(s.data(), 2048);
  return s;
}

TEST(UdfWriter, AllocationDescriptorsAndFileEntrySectors) {
  const int64_t max = kUdfMaxExtentBytes;
  struct Case {
    int64_t size;
    int64_t descriptors;
    int64_t sectors;
  } cases[] = {
      {0, 0, 1},
      {1, 1, 1},
      {max, 1, 1},
      {max + 1, 2, 1},
      {int64_t{1} << 30, 2, 1},         // 1 GiB is a little more than one descriptor holds
      {int64_t{5} << 30, 6, 1},
      {int64_t{10} << 30, 11, 1},       // two descriptors of 0x3FFFF800 and one of the rest would lose data
      {234 * max, 234, 1},              // the file entry's last slot holds data
      {234 * max + 1, 235, 2},          // ... or the link to an extent sector
      {(233 + 253) * max, 486, 2},      // the extent sector's last slot holds data
      {(233 + 253) * max + 1, 487, 3},  // ... or links to one more
      {(233 + 252 + 253) * max + 1, 739, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UdfAllocationDescriptorCount(c.size), c.descriptors) << c.size;
    EXPECT_EQ(UdfFileEntrySectors(c.size), c.sectors) << c.size;
  }
}

// A file needing more descriptors than one sector holds continues them in linked allocation extent sectors,
// and the descriptors together cover the file exactly, extent after extent.
TEST(UdfWriter, FileEntryChainsFurtherExtents) {
  for (const int64_t size : {int64_t{10} << 30, int64_t{600} << 30, int64_t{1} << 40}) {
    const uint32_t block = 1000, dataBlock = 5000;
    std::vector<uint8_t> sectors;
    ASSERT_EQ(UdfBuildFileEntry(nullptr, nullptr, block, dataBlock, size, false, 1, 77, &sectors), 0);
    ASSERT_EQ(static_cast<int64_t>(sectors.size()), UdfFileEntrySectors(size) * 2048);
    std::vector<std::string> problems;
    const auto read = [&](uint32_t b) -> std::string {
      const size_t index = b - block;
      if (b < block || (index + 1) * 2048 > sectors.size()) return "";
      return std::string(reinterpret_cast<const char*>(sectors.data()) + index * 2048, 2048);
    };
    UdfCheckEntry entry = UdfCheckFileEntry(read, block, &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_FALSE(entry.directory);
    EXPECT_EQ(entry.size, static_cast<uint64_t>(size));
    EXPECT_EQ(entry.uniqueId, 77u);
    EXPECT_EQ(entry.descriptors, UdfAllocationDescriptorCount(size)) << size;
    EXPECT_EQ(entry.extensionSectors, UdfFileEntrySectors(size) - 1) << size;
    uint64_t expectedBlock = dataBlock;
    for (const auto& [position, length] : entry.extents) {
      EXPECT_EQ(position, expectedBlock);
      expectedBlock += length / 2048;
    }
  }
  // A block number that does not fit 32 bits is refused, not wrapped.
  std::vector<uint8_t> sectors;
  EXPECT_NE(UdfBuildFileEntry(nullptr, nullptr, 1, 0xFFFFFFF0u, int64_t{1} << 20, false, 1, 16, &sectors), 0);
}

TEST(UdfWriter, NamesAndDStrings) {
  struct Case {
    std::u16string name;
    int room;
    std::vector<uint8_t> expected;
  } cases[] = {
      {u"abc", 255, {8, 'a', 'b', 'c'}},
      {u"caf\u00e9", 255, {16, 0, 'c', 0, 'a', 0, 'f', 0, 0xE9}},
      {u"\u6f22", 255, {16, 0x6F, 0x22}},
      {u"abcdef", 4, {8, 'a', 'b', 'c'}},
      // A surrogate pair that does not fit whole is left out whole.
      {u"a\U0001F600", 5, {16, 0, 'a'}},
      {u"a\U0001F600", 7, {16, 0, 'a', 0xD8, 0x3D, 0xDE, 0x00}},
      {u"", 255, {}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(256, 0xEE);
    const std::vector<uint16_t> units(c.name.begin(), c.name.end());
    const int n = UdfEncodeName(units.data(), static_cast<int32_t>(units.size()), out.data(), c.room);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n), c.expected) << c.room;
  }
  // A d-string: the text, zeros, its byte count last.
  uint8_t field[32];
  std::memset(field, 0xEE, sizeof field);
  const std::vector<uint16_t> label = {'D', 'I', 'S', 'C'};
  UdfMakeDString(field, 32, label.data(), 4);
  EXPECT_EQ(field[0], 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field + 1), 4), "DISC");
  EXPECT_EQ(field[5], 0);
  EXPECT_EQ(field[31], 5);
  // The tag's CRC covers the descriptor less its 16-byte tag; the checksum covers the tag.
  std::vector<uint8_t> descriptor(512, 0);
  for (size_t i = 16; i < descriptor.size(); ++i) descriptor[i] = static_cast<uint8_t>(i * 7);
  UdfFillTag(descriptor.data(), 8, 300, 512);
  EXPECT_EQ(UdfCheckTag(descriptor.data(), 512, 8, 300), "");
  EXPECT_EQ(descriptor[10] | descriptor[11] << 8, 496);
  descriptor[511] ^= 1;
  EXPECT_NE(UdfCheckTag(descriptor.data(), 512, 8, 300), "");
}

// Nested and empty folders, empty files, a folder of many files, long and non-ASCII names.
std::string MakeSourceTree(const std::string& folder) {
  const std::string src = folder + "/src";
  WriteFileBytes(src + "/top.txt", "top level\n");
  WriteFileBytes(src + "/nested/one/two/three/deep.bin", std::string(70000, 'd'));
  fs::create_directories(src + "/empty/inner_empty");
  WriteFileBytes(src + "/zero_length", "");
  for (int i = 0; i < 400; ++i) WriteFileBytes(src + "/many/file_" + std::to_string(i) + ".dat", std::to_string(i * 7));
  WriteFileBytes(src + "/" + std::string(106, 'c') + ".txt", "110 characters in all");
  WriteFileBytes(src + "/caf\xc3\xa9 na\xc3\xafve.txt", "accents");
  WriteFileBytes(src + "/\xe6\xbc\xa2\xe5\xad\x97/\xe3\x81\x8b\xe3\x81\xaa.txt", "cjk");
  WriteFileBytes(src + "/smile \xf0\x9f\x98\x80.txt", "emoji");
  WriteFileBytes(src + "/dup_a.bin", std::string(5000, 'z'));
  WriteFileBytes(src + "/dup_b.bin", std::string(5000, 'z'));
  return src;
}

TEST(UdfCreate, BridgeImagesReadBackThroughUdfAndIso9660) {
  const std::string folder = MakeTestFolder("udf_bridge");
  const std::string src = MakeSourceTree(folder);
  struct Case {
    std::string name;
    std::vector<std::string> options;
    uint32_t terminator;  // the ISO descriptors end here; the recognition sequence and the marker follow
  } cases[] = {
      {"joliet", {}, 18},
      {"plain", {"-joliet", "0"}, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string iso = folder + "/" + c.name + ".iso";
    std::vector<std::string> args = {"create", "-o", iso, "-udf", "on"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"-add", src, "/", "-label", "BRIDGE"});
    ProgramResult made = RunKestrane(args);
    ASSERT_EQ(made.status, 0) << made.out;
    const uint64_t sectors = fs::file_size(iso) / 2048;

    // The ISO 9660 side.
    IsoCheckSummary iso9660;
    std::vector<std::string> problems = IsoCheckImage(iso, &iso9660);
    EXPECT_TRUE(problems.empty()) << problems.front();
    ASSERT_FALSE(iso9660.descriptors.empty());
    EXPECT_EQ(iso9660.descriptors.front().lba, 16u);
    EXPECT_EQ(iso9660.descriptors.back().lba, c.terminator);
    EXPECT_EQ(iso9660.descriptors.back().type, 255);
    EXPECT_EQ(iso9660.volumeSize, sectors);
    const char* vrs[3] = {"BEA01", "NSR02", "TEA01"};
    for (uint32_t i = 0; i < 3; ++i) {
      const std::string s = SectorOf(iso, c.terminator + 1 + i);
      EXPECT_EQ(s.substr(0, 7), std::string(1, '\0') + vrs[i] + "\x01");
      EXPECT_EQ(s.find_first_not_of('\0', 7), std::string::npos);
    }
    EXPECT_EQ(SectorOf(iso, c.terminator + 4).substr(0, 9), "KESTRANE ");
    for (uint32_t lba = c.terminator + 5; lba < 32; ++lba)
      EXPECT_EQ(SectorOf(iso, lba).find_first_not_of('\0'), std::string::npos) << lba;
    const std::string viaXorriso = folder + "/xorriso_" + c.name;
    ProgramResult x = RunProgram("/bin/sh", {"-c", "xorriso -indev '" + iso + "' -osirrox on -extract / '" +
                                                       viaXorriso + "' 2>&1"});
    ASSERT_EQ(x.status, 0) << x.out;
    if (c.name == "joliet") {
      EXPECT_EQ(Diff(src, viaXorriso), "");
    }

    // The UDF side.
    UdfCheckSummary udf;
    problems = UdfCheckImage(iso, &udf);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(udf.mainVds, 32u);
    EXPECT_EQ(udf.reserveVds, 48u);
    EXPECT_EQ(udf.lvid, 64u);
    EXPECT_EQ(udf.partitionStart, 257u);
    // The partition runs from the file set descriptor to the closing anchor, the last sector.
    EXPECT_EQ(udf.partitionStart + udf.partitionLength, sectors - 1);
    const std::string anchor = SectorOf(iso, 256), closing = SectorOf(iso, sectors - 1);
    EXPECT_EQ(UdfCheckTag(reinterpret_cast<const uint8_t*>(closing.data()), 2048, 2,
                          static_cast<uint32_t>(sectors - 1)),
              "");
    EXPECT_EQ(closing.substr(16), anchor.substr(16));
    EXPECT_EQ(udf.fileSetBlock, 0u);
    EXPECT_EQ(udf.minimumReadRevision, 0x0102);
    size_t files = 0, directories = 0;
    for (const auto& [path, entry] : udf.entries) (entry.directory ? directories : files)++;
    EXPECT_EQ(udf.lvidFiles, files);
    EXPECT_EQ(udf.lvidDirectories, directories);
    EXPECT_EQ(files, 409u);
    // Identical files share one extent, in UDF as in ISO 9660.
    ASSERT_EQ(udf.entries.count("/dup_a.bin"), 1u);
    EXPECT_EQ(udf.entries["/dup_a.bin"].extents, udf.entries["/dup_b.bin"].extents);
    EXPECT_EQ(udf.entries["/zero_length"].descriptors, 0);

    ProgramResult info = RunProgram("/usr/bin/udfinfo", {iso});
    ASSERT_EQ(info.status, 0) << info.out;
    for (const std::string& line :
         {std::string("udfrev=1.02"), std::string("label=BRIDGE"), std::string("blocksize=2048"),
          std::string("integrity=closed"), std::string("numfiles=409"), std::string("start=32, blocks=16, type=MVDS"),
          std::string("start=48, blocks=16, type=RVDS"), std::string("start=64, blocks=1, type=LVID"),
          std::string("start=256, blocks=1, type=ANCHOR"), "start=257, blocks=" + std::to_string(sectors - 258) +
                                                             ", type=PSPACE",
          "start=" + std::to_string(sectors - 1) + ", blocks=1, type=ANCHOR"})
      EXPECT_NE(info.out.find(line + "\n"), std::string::npos) << line << "\n" << info.out;

    ProgramResult tested = RunProgram("/usr/bin/7zz", {"t", "-tudf", iso});
    EXPECT_EQ(tested.status, 0) << tested.out;
    const std::string via7z = folder + "/7z_" + c.name;
    ProgramResult z = RunProgram("/usr/bin/7zz", {"x", "-y", "-tudf", "-o" + via7z, iso});
    ASSERT_EQ(z.status, 0) << z.out;
    EXPECT_EQ(Diff(src, via7z), "");
  }
}

// A file of more than 1 GiB in a bridge image: its UDF file entry carries two allocation descriptors that cover
// the very extent its ISO 9660 record points at.
TEST(UdfCreate, AFileOverOneGigabyteTakesTwoDescriptors) {
  const std::string folder = MakeTestFolder("udf_1g");
  const int64_t size = (int64_t{1} << 30) + 1;
  fs::create_directories(folder + "/src");
  ASSERT_EQ(RunProgram("/usr/bin/truncate", {"-s", std::to_string(size), folder + "/src/big.raw"}).status, 0);
  const std::string iso = folder + "/b.iso";
  ProgramResult made =
      RunKestrane({"create", "-o", iso, "-udf", "on", "-add", folder + "/src", "/"}, ProgramOptions{"", {}, "", 300});
  ASSERT_EQ(made.status, 0) << made.out;
  fs::remove(folder + "/src/big.raw");
  IsoCheckSummary iso9660;
  std::vector<std::string> problems = IsoCheckImage(iso, &iso9660);
  EXPECT_TRUE(problems.empty()) << problems.front();
  ASSERT_EQ(iso9660.joliet.files.size(), 1u);
  UdfCheckSummary udf;
  problems = UdfCheckImage(iso, &udf);
  EXPECT_TRUE(problems.empty()) << problems.front();
  const UdfCheckEntry& big = udf.entries["/big.raw"];
  EXPECT_EQ(big.size, static_cast<uint64_t>(size));
  ASSERT_EQ(big.descriptors, 2);
  EXPECT_EQ(big.extents[0].second, static_cast<uint32_t>(kUdfMaxExtentBytes));
  EXPECT_EQ(big.extents[1].second, static_cast<uint32_t>(size - kUdfMaxExtentBytes));
  EXPECT_EQ(udf.partitionStart + big.extents[0].first, iso9660.joliet.files[0].lba);
  ProgramResult tested = RunProgram("/usr/bin/7zz", {"t", "-tudf", iso}, ProgramOptions{"", {}, "", 300});
  EXPECT_EQ(tested.status, 0) << tested.out;
  fs::remove(iso);
}

// An image made of tracks (here a BIN/CUE pair) does not switch to UDF for a file of 4 GiB or more: the file is
// refused with the size message and the rest of the edit is saved.
TEST(UdfCreate, ATrackImageRefusesAFileOfFourGigabytes) {
  const std::string folder = MakeTestFolder("udf_tracks_refuse");
  WriteFileBytes(folder + "/src/a.txt", "a");
  fs::create_directories(folder + "/big");
  ASSERT_EQ(RunProgram("/usr/bin/truncate", {"-s", "5G", folder + "/big/big.raw"}).status, 0);
  ASSERT_EQ(RunKestrane({"create", "-o", folder + "/n.bin", "-add", folder + "/src", "/"}).status, 0);
  const std::string out = folder + "/o.iso";
  ProgramResult r = RunKestrane({"edit", folder + "/n.cue", "-add", folder + "/big/big.raw", "/", "-add",
                                 folder + "/src/a.txt", "/again", "-o", out});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(folder + "/big/big.raw (5 GB)\r\n\r\nThe maximum allowed file size on disc is 4GB if ISO "
                                "9660 is enabled."),
            std::string::npos)
      << r.out;
  IsoCheckSummary summary;
  std::vector<std::string> problems = IsoCheckImage(out, &summary);
  EXPECT_TRUE(problems.empty()) << problems.front();
  std::vector<std::string> paths;
  for (const IsoCheckEntry& file : summary.joliet.files) paths.push_back(file.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/a.txt", "/again/a.txt"}));
}

// The oracles see damage: one byte changed inside the root's file entry breaks its tag CRC.
TEST(UdfCreate, ADamagedDescriptorIsNoticed) {
  const std::string folder = MakeTestFolder("udf_damaged");
  WriteFileBytes(folder + "/src/a.txt", "a");
  const std::string iso = folder + "/d.iso";
  ASSERT_EQ(RunKestrane({"create", "-o", iso, "-udf", "on", "-add", folder + "/src", "/"}).status, 0);
  UdfCheckSummary udf;
  ASSERT_TRUE(UdfCheckImage(iso, &udf).empty());
  {
    std::fstream f(iso, std::ios::binary | std::ios::in | std::ios::out);
    const std::streamoff at = static_cast<std::streamoff>(udf.partitionStart + udf.rootBlock) * 2048 + 100;
    f.seekg(at);
    char c = 0;
    f.get(c);
    f.seekp(at);
    f.put(static_cast<char>(c ^ 0x5A));
  }
  std::vector<std::string> problems = UdfCheckImage(iso, nullptr);
  ASSERT_FALSE(problems.empty());
  EXPECT_NE(problems.front().find("CRC"), std::string::npos) << problems.front();
  EXPECT_NE(RunProgram("/usr/bin/7zz", {"t", "-tudf", iso}).status, 0);
}

}  // namespace
