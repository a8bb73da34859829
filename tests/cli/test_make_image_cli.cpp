// Discs in drives read the way a user reads them, against the simulated recorder: list and extract of a pressed
// disc give what they give for the image it was pressed from, make-image gives that image back byte for byte (a
// CD as BIN and CUE from raw reads), and unreadable sectors are retried, asked about, ignored or cancelled.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/iso_fixture.h"
#include "support/run_program.h"
#include "support/shell_step.h"

namespace {

struct Discs {
  explicit Discs(const std::string& name) : folder(MakeTestFolder("make_image/" + name)), state(folder + "/state") {}

  void Tool(const std::vector<std::string>& args) {
    std::vector<std::string> all = {state};
    all.insert(all.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(SIMDRIVE_BIN, all);
    EXPECT_EQ(r.status, 0) << "simdrive " << args[0] << ": " << r.out;
  }
  // Drive `n` holding a disc pressed from `image` (and its CUE sheet for a CD).
  std::string Press(int n, const std::string& media, const std::string& image, const std::string& cue = "",
                    const std::vector<std::string>& more = {}) {
    Tool({"create-drive", std::to_string(n)});
    const std::string disc = folder + "/disc" + std::to_string(n);
    std::vector<std::string> args = {"press", disc, media, image};
    if (!cue.empty()) args.insert(args.end(), {"--cue", cue});
    args.insert(args.end(), more.begin(), more.end());
    Tool(args);
    Tool({"insert", std::to_string(n), disc});
    return disc;
  }
  ProgramResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    ProgramOptions options;
    options.env = {std::string("LD_PRELOAD=") + SIMDRIVE_PRELOAD_LIB, "KESTRANE_SIMDRIVE_DIR=" + state,
                   "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
    options.input = input;
    options.timeoutSeconds = 300;
    ProgramResult r = RunKestrane(args, options);
    EXPECT_FALSE(r.timedOut) << r.out;
    return r;
  }

  std::string folder;
  std::string state;
};

// A data ISO of genisoimage with a file of a few megabytes and a small one in a folder.
std::string MakeIso(const std::string& folder) {
  IsoFixture fixture;
  fixture.bigBytes = 3 * 1024 * 1024 + 1000;
  fixture.readme = "read from a drive\n";
  return MakeGenisoimageIso(folder, fixture);
}

// list and extract of the drive give what they give for `image`.
void ExpectSameAsImage(Discs& d, const std::string& drive, const std::string& image) {
  ProgramResult fromImage = d.Run({"list", image, "/", "-r"});
  ProgramResult fromDrive = d.Run({"list", drive, "/", "-r"});
  ASSERT_EQ(fromImage.status, 0) << fromImage.out;
  ASSERT_EQ(fromDrive.status, 0) << fromDrive.out;
  EXPECT_EQ(Replace(fromDrive.out, drive, "<source>"), Replace(fromImage.out, image, "<source>"));
  const std::string a = d.folder + "/from-image", b = d.folder + "/from-drive";
  ASSERT_EQ(d.Run({"extract", image, "/", "-od", a}).status, 0);
  ProgramResult extracted = d.Run({"extract", drive, "/", "-od", b});
  ASSERT_EQ(extracted.status, 0) << extracted.out;
  Sh("diff -r " + Quote(a) + " " + Quote(b));
}

TEST(MakeImageCli, PressedDvdAndBdListExtractAndImageLikeTheirSource) {
  Discs d("dvd");
  const std::string iso = MakeIso(d.folder);
  d.Press(0, "dvd-rom", iso);
  d.Press(1, "bd-rom", iso);
  ExpectSameAsImage(d, "/dev/sg0", iso);
  ExpectSameAsImage(d, "/dev/sg1", iso);
  for (const char* name : {"copy.iso", "copy.qvf", "bd.iso"}) {
    SCOPED_TRACE(name);
    const std::string out = d.folder + "/" + name;
    ProgramResult made = d.Run({"make-image", name[0] == 'b' ? "/dev/sg1" : "/dev/sg0", "-o", out});
    ASSERT_EQ(made.status, 0) << made.out;
    EXPECT_TRUE(Has(made.out, "Creating image file completed successfully.")) << made.out;
    std::string iso2 = out;
    if (std::string(name) == "copy.qvf") {
      iso2 = d.folder + "/back.iso";
      ASSERT_EQ(d.Run({"convert", out, "-o", iso2}).status, 0);
    }
    Sh("cmp " + Quote(iso) + " " + Quote(iso2));
  }
}

// A BIN of a Mode 1 data track (the ISO as raw sectors) followed by two audio tracks, the first with a pregap.
void MakeMixedCd(Discs& d, const std::string& iso, std::string* bin, std::string* cue) {
  *bin = d.folder + "/mixed.bin";
  *cue = d.folder + "/mixed.cue";
  const std::string data = d.folder + "/data.bin";
  ASSERT_EQ(d.Run({"convert", iso, "-o", data}).status, 0);
  std::string bytes = ReadFileBytes(data);
  const size_t dataSectors = bytes.size() / 2352;
  std::string audio(2352 * 900, '\0');
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 13 + i / 2352);
  WriteFileBytes(*bin, bytes + audio);
  auto msf = [](size_t lba) {
    char text[32];
    std::snprintf(text, sizeof text, "%02zu:%02zu:%02zu", lba / 4500, lba / 75 % 60, lba % 75);
    return std::string(text);
  };
  std::ostringstream sheet;
  sheet << "FILE \"mixed.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n"
        << "  TRACK 02 AUDIO\r\n    INDEX 00 " << msf(dataSectors) << "\r\n    INDEX 01 " << msf(dataSectors + 150)
        << "\r\n  TRACK 03 AUDIO\r\n    INDEX 01 " << msf(dataSectors + 600) << "\r\n";
  WriteFileBytes(*cue, sheet.str());
}

TEST(MakeImageCli, PressedMixedCdImagesAsBinAndCue) {
  Discs d("mixed");
  const std::string iso = MakeIso(d.folder);
  std::string bin, cue;
  MakeMixedCd(d, iso, &bin, &cue);
  d.Press(0, "cd-rom", bin, cue);
  ProgramResult listed = d.Run({"list", "/dev/sg0", "/", "-r"});
  ASSERT_EQ(listed.status, 0) << listed.out;
  EXPECT_TRUE(Has(listed.out, "readme.txt")) << listed.out;
  // Extracting the disc gives what extracting its image gives: the data track's files and a WAV of each audio
  // track read through raw sector reads.
  const std::string fromDrive = d.folder + "/x-drive", fromImage = d.folder + "/x-image";
  ProgramResult drive = d.Run({"extract", "/dev/sg0", "/", "-od", fromDrive});
  ASSERT_EQ(drive.status, 0) << drive.out;
  ASSERT_EQ(d.Run({"extract", cue, "/", "-od", fromImage}).status, 0);
  EXPECT_TRUE(std::filesystem::exists(fromDrive + "/Audio/03-Track03.wav")) << drive.out;
  Sh("diff -r " + Quote(fromImage) + " " + Quote(fromDrive));
  // An ISO cannot hold three tracks: nothing is created.
  const std::string refused = d.folder + "/refused.iso";
  ProgramResult one = d.Run({"make-image", "/dev/sg0", "-o", refused});
  EXPECT_EQ(one.status, 1);
  EXPECT_TRUE(Has(one.out, "This is a multi-track disc, please select BIN image file format.")) << one.out;
  EXPECT_FALSE(std::filesystem::exists(refused));
  const std::string out = d.folder + "/copy.bin";
  ProgramResult made = d.Run({"make-image", "/dev/sg0", "-o", out});
  ASSERT_EQ(made.status, 0) << made.out;
  Sh("cmp " + Quote(bin) + " " + Quote(out));
  std::string sheet = ReadFileBytes(d.folder + "/copy.cue");
  EXPECT_EQ(Replace(sheet, "copy.bin", "mixed.bin"), ReadFileBytes(cue));
}

TEST(MakeImageCli, TwoSessionCdImagesItsSessions) {
  Discs d("sessions");
  const std::string iso = MakeIso(d.folder);
  // Its sectors as Mode 1 raw sectors (sync, mode byte, user data; the drive checks no EDC).
  const std::string data = d.folder + "/data.bin";
  {
    const std::string user = ReadFileBytes(iso);
    std::string raw;
    for (size_t at = 0; at < user.size(); at += 2048) {
      std::string sector(2352, '\0');
      sector.replace(1, 10, std::string(10, '\xFF'));
      sector[15] = 1;
      sector.replace(16, 2048, user.substr(at, 2048));
      raw += sector;
    }
    WriteFileBytes(data, raw);
  }
  std::string audio(2352 * 300, '\0');
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 3 + 1);
  const std::string bin = d.folder + "/two.bin";
  WriteFileBytes(bin, audio + ReadFileBytes(data));
  const std::string cue = d.folder + "/two.cue";
  WriteFileBytes(cue,
                 "FILE \"two.bin\" BINARY\r\nREM SESSION 01\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                 "REM SESSION 02\r\n  TRACK 02 MODE1/2352\r\n    INDEX 01 00:04:00\r\n");
  d.Press(0, "cd-rom", bin, cue);
  const std::string out = d.folder + "/copy.bin";
  ProgramResult made = d.Run({"make-image", "/dev/sg0", "-o", out});
  ASSERT_EQ(made.status, 0) << made.out;
  // The second session lies behind the first one's lead-out and its own lead-in: 11,400 sectors that read as
  // zeros in the image.
  const std::string copy = ReadFileBytes(out);
  ASSERT_EQ(copy.size(), (300 + 11400) * 2352 + ReadFileBytes(data).size());
  EXPECT_EQ(copy.substr(0, audio.size()), audio);
  EXPECT_EQ(copy.substr((300 + 11400) * 2352), ReadFileBytes(data));
  const std::string sheet = ReadFileBytes(d.folder + "/copy.cue");
  EXPECT_TRUE(Has(sheet, "REM SESSION 02\r\n  TRACK 02 MODE1/2352\r\n    INDEX 01 02:36:00\r\n")) << sheet;
}

TEST(MakeImageCli, DvdOfTwoSessionsListsLikeItsImageAndIsNoIso) {
  Discs d("dvd-sessions");
  const std::string iso = MakeIso(d.folder);
  // The second session holds the last sectors of the volume, past the directories.
  d.Press(0, "dvd+r", iso, "", {"--sessions", "1008"});
  ExpectSameAsImage(d, "/dev/sg0", iso);
  const std::string out = d.folder + "/copy.iso";
  ProgramResult made = d.Run({"make-image", "/dev/sg0", "-o", out});
  EXPECT_EQ(made.status, 1);
  EXPECT_TRUE(Has(made.out, "This is a multi-track disc, please select BIN image file format.")) << made.out;
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(MakeImageCli, RefusalsAndMessages) {
  Discs d("refusals");
  d.Tool({"create-drive", "0"});
  d.Tool({"make-disc", d.folder + "/blank", "dvd-r", "blank"});
  d.Tool({"insert", "0", d.folder + "/blank"});
  d.Tool({"create-drive", "1"});
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"make-image", "/dev/sg0"}, "Please specify output file name."},
      {{"make-image", d.folder + "/x.iso", "-o", d.folder + "/y.iso"}, "Please specify valid source drive."},
      {{"make-image", "/dev/sg0", "-o", d.folder + "/empty.iso"}, "The disc is empty."},
      {{"make-image", "/dev/sg1", "-o", d.folder + "/none.iso"}, "Error reading media information."},
      {{"list", "/dev/sg1", "/"}, "There is no disc in the drive."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    ProgramResult r = d.Run(c.args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, c.message)) << r.out;
  }
  // The source is checked before the output exists.
  EXPECT_FALSE(std::filesystem::exists(d.folder + "/empty.iso"));
  EXPECT_FALSE(std::filesystem::exists(d.folder + "/none.iso"));

  // An output the file system stops (a 1 MiB file size limit) fails with the system's reason, whichever thread
  // wrote, and goes.
  d.Press(2, "dvd-rom", MakeIso(d.folder));
  ProgramOptions options;
  options.env = {std::string("LD_PRELOAD=") + SIMDRIVE_PRELOAD_LIB, "KESTRANE_SIMDRIVE_DIR=" + d.state,
                 "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1", "TZ=UTC"};
  options.timeoutSeconds = 300;
  const std::string limited = d.folder + "/limited.iso";
  ProgramResult full = RunProgram("/bin/bash",
                                  {"-c", "trap '' XFSZ; ulimit -f 1024; exec '" + std::string(KESTRANE_BIN) +
                                             "' make-image /dev/sg2 -o '" + limited + "'"},
                                  options);
  EXPECT_EQ(full.status, 1) << full.out;
  EXPECT_TRUE(Has(full.out, "File too large: " + limited)) << full.out;
  EXPECT_FALSE(std::filesystem::exists(limited));
}

TEST(MakeImageCli, UnreadableSectorsAreIgnoredOrCancelTheImage) {
  Discs d("unreadable");
  const std::string iso = MakeIso(d.folder);
  const std::string disc = d.Press(0, "dvd-rom", iso);
  // Two sectors inside the big file.
  d.Tool({"unreadable", disc, "400", "2"});
  const std::string out = d.folder + "/copy.iso";
  // End of input answers the question with Cancel: the image is removed.
  ProgramResult cancelled = d.Run({"make-image", "/dev/sg0", "-o", out});
  EXPECT_EQ(cancelled.status, 1) << cancelled.out;
  EXPECT_TRUE(Has(cancelled.out, "(Retry/Cancel/Ignore/IgnoreAll):")) << cancelled.out;
  EXPECT_FALSE(std::filesystem::exists(out));
  // Typed answers: anything else asks again, IgnoreAll passes over the rest.
  ProgramResult typed = d.Run({"make-image", "/dev/sg0", "-o", out}, "maybe\nIgnoreAll\n");
  ASSERT_EQ(typed.status, 0) << typed.out;
  EXPECT_TRUE(Has(typed.out, "2 sector(s) could not be read and were filled with zeros.")) << typed.out;
  std::string expected = ReadFileBytes(iso);
  expected.replace(400 * 2048, 2 * 2048, std::string(2 * 2048, '\0'));
  EXPECT_TRUE(ReadFileBytes(out) == expected);
  // -y ignores each one.
  std::filesystem::remove(out);
  ProgramResult yes = d.Run({"make-image", "/dev/sg0", "-o", out, "-y"});
  ASSERT_EQ(yes.status, 0) << yes.out;
  EXPECT_TRUE(ReadFileBytes(out) == expected);
}

}  // namespace
