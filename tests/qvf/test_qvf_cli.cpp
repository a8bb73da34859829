// QVF images through the program, the way a user makes and reads them: convert to and from QVF at every level
// and at chunk boundaries, list and extract against the ISO they came from, volumes, comments, passwords,
// damaged chunks and self-extracting images.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qvf/container.h"
#include "qvf/sfx.h"
#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A small ISO with Joliet and Rock Ridge: text, noise and a folder, made by genisoimage.
std::string MakeIso(const std::string& folder, size_t noiseBytes = 200000) {
  fs::create_directories(folder + "/src/sub/deeper");
  std::string text;
  for (int i = 0; text.size() < 150000; ++i) text += "line " + std::to_string(i) + " of the sample text\n";
  WriteBytes(folder + "/src/sub/text.txt", text);
  WriteBytes(folder + "/src/a.txt", "alpha\n");
  std::string noise(noiseBytes, '\0');
  std::mt19937 rng(11);
  for (char& c : noise) c = static_cast<char>(rng());
  WriteBytes(folder + "/src/sub/deeper/noise.bin", noise);
  const std::string iso = folder + "/t.iso";
  ProgramResult made = RunProgram("/usr/bin/genisoimage", {"-quiet", "-J", "-R", "-o", iso, folder + "/src"});
  EXPECT_EQ(made.status, 0) << made.out;
  return iso;
}

// Every regular file under `root`, by its path below it, with its bytes.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = ReadFileBytes(entry.path().string());
  return files;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(QvfCli, RoundTripEveryMethodAtChunkBoundaries) {
  const std::string folder = MakeTestFolder("qvf_cli_round_trip");
  const std::string iso = MakeIso(folder);
  const std::string original = ReadFileBytes(iso);
  ASSERT_LT(original.size(), 384u * 2048);
  // Sectors per chunk of each method; images of exactly k chunks and of k chunks and one sector.
  const struct {
    const char* method;
    size_t sectors[2];
  } cases[] = {{"normal", {12 * 32, 12 * 32 + 1}}, {"better", {2 * 256, 2 * 256 + 1}}, {"best", {2048, 2049}}};
  for (const auto& c : cases) {
    for (size_t sectors : c.sectors) {
      SCOPED_TRACE(testing::Message() << c.method << ", " << sectors << " sectors");
      std::string padded = original;
      padded.resize(sectors * 2048, '\0');
      WriteBytes(folder + "/p.iso", padded);
      fs::remove(folder + "/p.qvf");
      fs::remove(folder + "/back.iso");
      ProgramResult to = RunKestrane({"convert", folder + "/p.iso", "-o", folder + "/p.qvf", "-method", c.method});
      ASSERT_EQ(to.status, 0) << to.out;
      EXPECT_TRUE(Contains(to.out, "Converting image file completed successfully."));
      ProgramResult back = RunKestrane({"convert", folder + "/p.qvf", "-o", folder + "/back.iso"});
      ASSERT_EQ(back.status, 0) << back.out;
      EXPECT_TRUE(ReadFileBytes(folder + "/back.iso") == padded);
    }
  }
}

TEST(QvfCli, ListAndExtractEqualTheIso) {
  const std::string folder = MakeTestFolder("qvf_cli_list_extract");
  const std::string iso = MakeIso(folder);
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", folder + "/t.qvf", "-method", "better"}).status, 0);
  ProgramResult fromIso = RunKestrane({"list", iso, "/", "-r"});
  ProgramResult fromQvf = RunKestrane({"list", folder + "/t.qvf", "/", "-r"});
  ASSERT_EQ(fromQvf.status, 0) << fromQvf.out;
  EXPECT_EQ(fromQvf.out, fromIso.out);
  EXPECT_TRUE(Contains(fromQvf.out, "noise.bin"));
  ASSERT_EQ(RunKestrane({"extract", iso, "/", "-od", folder + "/x-iso"}).status, 0);
  ProgramResult extracted = RunKestrane({"extract", folder + "/t.qvf", "/", "-od", folder + "/x-qvf"});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  const auto expected = Tree(folder + "/src");
  EXPECT_EQ(expected.size(), 3u);
  EXPECT_TRUE(Tree(folder + "/x-qvf") == expected);
  EXPECT_TRUE(Tree(folder + "/x-iso") == expected);
}

TEST(QvfCli, VolumesOf1MiB) {
  const std::string folder = MakeTestFolder("qvf_cli_volumes");
  const std::string iso = MakeIso(folder, 3500000);
  ProgramResult split = RunKestrane({"convert", iso, "-o", folder + "/v.qvf", "-volsize", "1M"});
  ASSERT_EQ(split.status, 0) << split.out;
  // Named by the three-digit style from the target's name; every volume but the last is exactly 1 MiB.
  std::vector<std::string> volumes;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().rfind("v.", 0) == 0) volumes.push_back(entry.path().filename().string());
  std::sort(volumes.begin(), volumes.end());
  ASSERT_EQ(volumes.size(), 4u);
  for (size_t k = 0; k < volumes.size(); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "v.part%03zu.qvf", k + 1);
    EXPECT_EQ(volumes[k], name);
    if (k + 1 < volumes.size()) {
      EXPECT_EQ(fs::file_size(folder + "/" + volumes[k]), 1048576u) << name;
    }
    EXPECT_TRUE(Contains(split.out, std::string("Writing ") + folder + "/" + name) || k == 0) << split.out;
  }
  // Any volume opens the whole image.
  const std::string listing = RunKestrane({"list", iso, "/", "-r"}).out;
  for (const std::string& volume : volumes) {
    ProgramResult listed = RunKestrane({"list", folder + "/" + volume, "/", "-r"});
    EXPECT_EQ(listed.out, listing) << volume;
  }
  ProgramResult back = RunKestrane({"convert", folder + "/v.part003.qvf", "-o", folder + "/back.iso"});
  ASSERT_EQ(back.status, 0) << back.out;
  EXPECT_TRUE(ReadFileBytes(folder + "/back.iso") == ReadFileBytes(iso));
  // The first volume's name as the target of a conversion from it: refused with the volume message.
  ProgramResult clash = RunKestrane({"convert", folder + "/v.part002.qvf", "-o", folder + "/v.qvf", "-volsize", "2M"});
  EXPECT_EQ(clash.status, 1);
  EXPECT_TRUE(Contains(clash.out, "The source file or destination file is a multiple volume image file.")) << clash.out;
  EXPECT_EQ(fs::file_size(folder + "/v.part001.qvf"), 1048576u);
  // A missing volume is named when its data is needed, and nothing is left of the output.
  fs::rename(folder + "/v.part003.qvf", folder + "/kept");
  ProgramResult missing = RunKestrane({"convert", folder + "/v.part001.qvf", "-o", folder + "/partial.iso"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Contains(missing.out, "v.part003.qvf")) << missing.out;
  EXPECT_FALSE(fs::exists(folder + "/partial.iso"));
  // Without the first volume the others cannot be opened.
  fs::rename(folder + "/kept", folder + "/v.part003.qvf");
  fs::rename(folder + "/v.part001.qvf", folder + "/first");
  ProgramResult noFirst = RunKestrane({"list", folder + "/v.part002.qvf", "/"});
  EXPECT_EQ(noFirst.status, 1);
  EXPECT_TRUE(Contains(noFirst.out, "v.part001.qvf")) << noFirst.out;
}

TEST(QvfCli, VolumesWithoutAFixedSizeEndWhereTheFileSystemStops) {
  const std::string folder = MakeTestFolder("qvf_cli_open_volumes");
  const std::string iso = MakeIso(folder, 2500000);
  // A size of all bits set: each volume takes what its file accepts, here up to a 1 MiB file size limit.
  const std::string command = "trap '' XFSZ; ulimit -f 1024; exec '" + std::string(KESTRANE_BIN) + "' convert '" +
                              iso + "' -o '" + folder + "/o.qvf' -volsize 18446744073709551615";
  ProgramResult split = RunProgram("/bin/bash", {"-c", command});
  ASSERT_EQ(split.status, 0) << split.out;
  ASSERT_TRUE(fs::exists(folder + "/o.part003.qvf")) << split.out;
  EXPECT_EQ(fs::file_size(folder + "/o.part001.qvf"), 1048576u);
  EXPECT_EQ(fs::file_size(folder + "/o.part002.qvf"), 1048576u);
  ProgramResult back = RunKestrane({"convert", folder + "/o.part002.qvf", "-o", folder + "/back.iso"});
  ASSERT_EQ(back.status, 0) << back.out;
  EXPECT_TRUE(ReadFileBytes(folder + "/back.iso") == ReadFileBytes(iso));
}

TEST(QvfCli, CommentsRoundTripUpTo64KiB) {
  const std::string folder = MakeTestFolder("qvf_cli_comment");
  const std::string iso = MakeIso(folder);
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", folder + "/c.qvf", "-comment", "a comment, with \xc3\xa9 in it"}).status, 0);
  ProgramResult shown = RunKestrane({"show-comment", folder + "/c.qvf"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, std::string(kBanner) + "a comment, with \xc3\xa9 in it");
  // From a file of 70,000 bytes: the first 65,536 are stored and given back, byte for byte.
  std::string text;
  for (int i = 0; text.size() < 70000; ++i) text += "comment line " + std::to_string(i) + "\n";
  text.resize(70000);
  WriteBytes(folder + "/comment.txt", text);
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", folder + "/f.qvf", "-method", "best", "-comment-from-file",
                         folder + "/comment.txt"})
                .status,
            0);
  ProgramResult saved = RunKestrane({"extract-comment-to-file", folder + "/f.qvf", folder + "/out.txt"});
  EXPECT_EQ(saved.status, 0) << saved.out;
  EXPECT_EQ(ReadFileBytes(folder + "/out.txt"), text.substr(0, 65536));
  // An existing file is not overwritten without a yes.
  WriteBytes(folder + "/out.txt", "keep me");
  ProgramOptions no;
  no.input = "n\n";
  RunKestrane({"extract-comment-to-file", folder + "/f.qvf", folder + "/out.txt"}, no);
  EXPECT_EQ(ReadFileBytes(folder + "/out.txt"), "keep me");
  // The image itself is the ISO.
  ASSERT_EQ(RunKestrane({"convert", folder + "/f.qvf", "-o", folder + "/back.iso"}).status, 0);
  EXPECT_TRUE(ReadFileBytes(folder + "/back.iso") == ReadFileBytes(iso));
}

TEST(QvfCli, PasswordRoundTripAndWrongPassword) {
  const std::string folder = MakeTestFolder("qvf_cli_password");
  const std::string iso = MakeIso(folder);
  const std::string qvf = folder + "/p.qvf";
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", qvf, "-setpassword", "open sesame", "-method", "better"}).status, 0);
  const std::string listing = RunKestrane({"list", iso, "/", "-r"}).out;
  ProgramResult right = RunKestrane({"-password", "open sesame", "list", qvf, "/", "-r"});
  EXPECT_EQ(right.status, 0);
  EXPECT_EQ(right.out, listing);
  // Typed at the prompt.
  ProgramOptions typed;
  typed.input = "open sesame\n";
  ProgramResult prompted = RunKestrane({"convert", qvf, "-o", folder + "/back.iso"}, typed);
  EXPECT_EQ(prompted.status, 0) << prompted.out;
  EXPECT_TRUE(Contains(prompted.out, "Please input password:"));
  EXPECT_TRUE(ReadFileBytes(folder + "/back.iso") == ReadFileBytes(iso));
  // A wrong password asks again; the end of input gives up with the system's message.
  ProgramResult wrong = RunKestrane({"-password", "open says me", "list", qvf, "/"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_TRUE(Contains(wrong.out, "Password wrong! Do you want to try again?")) << wrong.out;
  EXPECT_TRUE(Contains(wrong.out, "You must input password to open this file.")) << wrong.out;
  EXPECT_FALSE(Contains(wrong.out, "noise.bin"));
  ProgramOptions retry;
  retry.input = "y\nopen sesame\n";
  ProgramResult second = RunKestrane({"-password", "nope", "list", qvf, "/", "-r"}, retry);
  EXPECT_EQ(second.status, 0) << second.out;
  EXPECT_TRUE(Contains(second.out, "noise.bin"));
  // With -y a wrong password is not asked for again.
  ProgramResult assumed = RunKestrane({"-y", "-password", "nope", "list", qvf, "/"});
  EXPECT_EQ(assumed.status, 1);
  EXPECT_FALSE(Contains(assumed.out, "Password wrong!"));
  // Converting to QVF without -setpassword writes an image that opens without one.
  ASSERT_EQ(RunKestrane({"-password", "open sesame", "convert", qvf, "-o", folder + "/plain.qvf"}).status, 0);
  EXPECT_EQ(RunKestrane({"list", folder + "/plain.qvf", "/", "-r"}, ProgramOptions{}).out, listing);
}

TEST(QvfCli, DamagedChunkIsReportedNeverExtracted) {
  const std::string folder = MakeTestFolder("qvf_cli_damage");
  const std::string iso = MakeIso(folder);
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", folder + "/d.qvf"}).status, 0);
  std::string bytes = ReadFileBytes(folder + "/d.qvf");
  // A byte in the last quarter of the stream: the noise file's chunks.
  bytes[bytes.size() - bytes.size() / 8] ^= 0x10;
  WriteBytes(folder + "/d.qvf", bytes);
  ProgramResult converted = RunKestrane({"convert", folder + "/d.qvf", "-o", folder + "/back.iso"});
  EXPECT_EQ(converted.status, 1);
  EXPECT_TRUE(Contains(converted.out, "Can not read compressed image file.")) << converted.out;
  EXPECT_FALSE(fs::exists(folder + "/back.iso"));
  ProgramResult extracted = RunKestrane({"extract", folder + "/d.qvf", "/", "-od", folder + "/x"});
  EXPECT_EQ(extracted.status, 1);
  EXPECT_TRUE(Contains(extracted.out, "Can not read compressed image file.")) << extracted.out;
  // What was written is right; the file whose chunk is damaged is not written in full.
  const auto source = Tree(folder + "/src");
  const auto got = Tree(folder + "/x");
  for (const auto& [name, data] : got)
    if (source.at(name) != data) {
      EXPECT_LT(data.size(), source.at(name).size()) << name;
    }
  EXPECT_NE(got, source);
}

TEST(QvfCli, SelfExtractingImageLayoutAndOpening) {
  const std::string folder = MakeTestFolder("qvf_cli_sfx");
  const std::string iso = MakeIso(folder);
  // A program folder of our own with a stub beside the program.
  fs::create_directories(folder + "/bin");
  fs::copy_file(KESTRANE_BIN, folder + "/bin/kestrane");
  std::string stub(5000, 'S');
  stub.replace(0, 2, "MZ");
  WriteBytes(folder + "/bin/" + kSfxStubName, stub);
  // The first self-extracting image is put together here: stub, properties, fill, stream, trailer.
  ASSERT_EQ(RunKestrane({"convert", iso, "-o", folder + "/t.qvf"}).status, 0);
  const std::string stream = ReadFileBytes(folder + "/t.qvf");
  CSfxPropertyTable* table = QvfNewSfxProperties();
  ASSERT_EQ(QvfSetSfxProperty(table, 3, "title", 5), 1);
  ASSERT_EQ(QvfSetSfxProperty(table, 1000, "x", 1), 1);
  std::vector<uint8_t> block;
  ASSERT_EQ(QvfBuildSfxPropertyBlock(table, &block), 1);
  QvfFreeSfxProperties(table);
  std::string made = stub + std::string(block.begin(), block.end());
  made.resize((made.size() + 1023) / 1024 * 1024, '\0');
  const uint32_t imageOffset = static_cast<uint32_t>(made.size());
  made += stream;
  uint8_t trailer[kSfxTrailerSize];
  QvfMakeSfxTrailer({5000, static_cast<uint32_t>(block.size()), imageOffset}, trailer);
  made.append(reinterpret_cast<const char*>(trailer), sizeof trailer);
  WriteBytes(folder + "/made.exe", made);
  const std::string listing = RunKestrane({"list", iso, "/", "-r"}).out;
  EXPECT_EQ(RunKestrane({"list", folder + "/made.exe", "/", "-r"}).out, listing);

  // Saved again as QVF it stays self-extracting, with its stub and properties, under the name .exe.
  ProgramResult saved = RunProgram(folder + "/bin/kestrane", {"convert", folder + "/made.exe", "-o", folder + "/again.qvf"});
  ASSERT_EQ(saved.status, 0) << saved.out;
  ASSERT_TRUE(fs::exists(folder + "/again.exe"));
  EXPECT_FALSE(fs::exists(folder + "/again.qvf"));
  const std::string again = ReadFileBytes(folder + "/again.exe");
  ASSERT_GT(again.size(), 8192u);
  EXPECT_EQ(again.substr(0, stub.size()), stub);
  EXPECT_EQ(again.substr(stub.size(), block.size()), std::string(block.begin(), block.end()));
  const auto* tail = reinterpret_cast<const uint8_t*>(again.data() + again.size() - kSfxTrailerSize);
  CSfxTrailer read{};
  ASSERT_EQ(QvfParseSfxTrailer(tail, kSfxTrailerSize, &read), 1);
  EXPECT_EQ(read.propertyOffset, 5000u);
  EXPECT_EQ(read.propertySize, block.size());
  EXPECT_EQ(read.imageOffset % 1024, 0u);
  EXPECT_GE(read.imageOffset, 5000u + block.size());
  const auto* header = reinterpret_cast<const uint8_t*>(again.data() + read.imageOffset);
  EXPECT_EQ(std::string(again.data() + read.imageOffset, 4), std::string("QVF\0", 4));
  // The index offset counts the trailer's copy among the blocks once: header 76 + 28.
  EXPECT_EQ(QvfLoad32(header + 16), 76u + kSfxTrailerSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(header) + 76, kSfxTrailerSize),
            std::string(reinterpret_cast<const char*>(tail), kSfxTrailerSize));
  EXPECT_EQ(RunKestrane({"list", folder + "/again.exe", "/", "-r"}).out, listing);
  ASSERT_EQ(RunKestrane({"convert", folder + "/again.exe", "-o", folder + "/back.iso"}).status, 0);
  EXPECT_TRUE(ReadFileBytes(folder + "/back.iso") == ReadFileBytes(iso));

  // Without a stub beside the program, no self-extracting image can be written, and nothing is left behind.
  ProgramResult noStub = RunKestrane({"convert", folder + "/made.exe", "-o", folder + "/none.qvf"});
  EXPECT_EQ(noStub.status, 1);
  EXPECT_TRUE(Contains(noStub.out, "The self-extractor stub can not be opened.")) << noStub.out;
  EXPECT_FALSE(fs::exists(folder + "/none.exe"));
}

}  // namespace
