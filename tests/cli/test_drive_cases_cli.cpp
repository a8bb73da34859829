// Discs in simulated drives that the other drive tests leave out: a CD-Extra (audio tracks, then a data session
// built for its own start address) read and imaged from its drive; copies of DVDs and BDs; the CD-TEXT of an
// audio CD copy; and a two-drive copy whose destination disc is changed while the program asks for it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/cdsector.h"
#include "support/iso_fixture.h"
#include "support/run_program.h"
#include "support/shell_step.h"
#include "support/sim_drives.h"

namespace {

constexpr size_t kRaw = 2352;

struct Drives : SimDrives {
  explicit Drives(const std::string& name) : SimDrives("drive_cases/" + name) {}
};

std::string Quote(const std::string& text) { return "'" + text + "'"; }
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::string Msf(int64_t lba) {
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(lba / 4500),
                static_cast<long long>(lba / 75 % 60), static_cast<long long>(lba % 75));
  return text;
}

// `sectors` of patterned audio samples.
std::string Samples(size_t sectors, int seed) {
  std::string audio(kRaw * sectors, '\0');
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * seed + i / kRaw);
  return audio;
}

// The 2048-byte sectors of `user` as sound Mode 1 raw sectors that carry the addresses from `first` on.
std::string Mode1Sectors(const std::string& user, int64_t first) {
  std::string raw(user.size() / 2048 * kRaw, '\0');
  for (size_t i = 0; i < user.size() / 2048; ++i)
    CdEncodeMode1Sector(first + static_cast<int64_t>(i), reinterpret_cast<const uint8_t*>(user.data()) + i * 2048,
                        reinterpret_cast<uint8_t*>(raw.data()) + i * kRaw);
  return raw;
}

// A listing without its totals lines (an image's audio track also counts the gap before the next session).
std::string FileLines(const std::string& listing) {
  std::string lines, line;
  for (char c : listing) {
    line += c;
    if (c != '\n') continue;
    if (!Has(line, " Files, ")) lines += line;
    line.clear();
  }
  return lines + line;
}

// A CD-Extra: two audio tracks in the first session, then a data track in the second, 11,400 sectors behind the
// first session's lead-out, holding an ISO volume that genisoimage laid out for that address and that records only
// its own sectors. The drive reads like the same disc as a BIN (the gap between the sessions as zeros) and CUE
// sheet; make-image gives that BIN and sheet back.
TEST(DriveCasesCli, CdExtraReadsLikeItsImageAndImagesBack) {
  Drives d("cd_extra");
  constexpr int64_t kDataStart = 600 + 11400;
  IsoFixture fixture;
  fixture.name = "session2.iso";
  fixture.bigBytes = 700 * 1000;
  fixture.readme = "the data session of a CD-Extra\n";
  fixture.options = {"-C", "0," + std::to_string(kDataStart)};
  const std::string iso = ReadFileBytes(MakeGenisoimageIso(d.folder, fixture));
  ASSERT_GT(iso.size(), 16u * 2048);
  const std::string audio = Samples(300, 13) + Samples(300, 5);
  const std::string data = Mode1Sectors(iso, kDataStart);
  // The pressed disc's BIN holds the sessions one after the other; the simulator puts the gap between them.
  WriteFileBytes(d.folder + "/pressed.bin", audio + data);
  WriteFileBytes(d.folder + "/pressed.cue",
                 "FILE \"pressed.bin\" BINARY\nREM SESSION 01\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                 "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\nREM SESSION 02\n  TRACK 03 MODE1/2352\n"
                 "    INDEX 01 " +
                     Msf(600) + "\n");
  const std::string bin = d.folder + "/extra.bin", cue = d.folder + "/extra.cue";
  const std::string image = audio + std::string(11400 * kRaw, '\0') + data;
  WriteFileBytes(bin, image);
  const std::string sheet =
      "FILE \"extra.bin\" BINARY\r\nREM SESSION 01\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
      "  TRACK 02 AUDIO\r\n    INDEX 01 00:04:00\r\nREM SESSION 02\r\n  TRACK 03 MODE1/2352\r\n    INDEX 01 " +
      Msf(kDataStart) + "\r\n";
  WriteFileBytes(cue, sheet);
  d.Tool({"create-drive", "0"});
  d.Tool({"press", d.folder + "/disc", "cd-rom", d.folder + "/pressed.bin", "--cue", d.folder + "/pressed.cue"});
  d.Tool({"insert", "0", d.folder + "/disc"});

  ProgramResult fromDrive = d.Run({"list", "/dev/sg0", "/", "-r"});
  ProgramResult fromImage = d.Run({"list", cue, "/", "-r"});
  ASSERT_EQ(fromDrive.status, 0) << fromDrive.out;
  ASSERT_EQ(fromImage.status, 0) << fromImage.out;
  EXPECT_TRUE(Has(fromDrive.out, "700,000  big.bin")) << fromDrive.out;
  EXPECT_EQ(FileLines(Replace(fromDrive.out, "/dev/sg0", "<source>")),
            FileLines(Replace(fromImage.out, cue, "<source>")));
  // The drive's totals count the two audio tracks at their own length (600 sectors of 2,048 bytes).
  EXPECT_TRUE(Has(fromDrive.out, "Total:\r\n\t2 Files, 3 Folders  1,928,831 bytes")) << fromDrive.out;

  const std::string a = d.folder + "/x-image", b = d.folder + "/x-drive";
  ASSERT_EQ(d.Run({"extract", cue, "/", "-od", a}).status, 0);
  ProgramResult extracted = d.Run({"extract", "/dev/sg0", "/", "-od", b});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  EXPECT_EQ(ReadFileBytes(b + "/docs/readme.txt"), fixture.readme);
  Sh("cmp " + Quote(d.folder) + "/tree-session2.iso/big.bin " + Quote(b) + "/big.bin");
  Sh("diff -r " + Quote(a) + " " + Quote(b));

  const std::string out = d.folder + "/copy.bin";
  ProgramResult made = d.Run({"make-image", "/dev/sg0", "-o", out});
  ASSERT_EQ(made.status, 0) << made.out;
  EXPECT_TRUE(ReadFileBytes(out) == image) << "the image of the disc differs from its source";
  EXPECT_EQ(Replace(ReadFileBytes(d.folder + "/copy.cue"), "copy.bin", "extra.bin"), sheet);
}

}  // namespace
