// burn-image, erase-disc and copy-disc run the way a user runs them, against the simulated recorder: the disc
// the simulator dumps after a burn must carry the image's sectors and the layout and CD-TEXT of its sheet; the
// drive sees the switches; failures end with their message and status 1; refusals send nothing that writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/iso_fixture.h"
#include "support/run_program.h"
#include "support/sim_drives.h"

namespace {

constexpr size_t kRaw = 2352;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// The simulated drives of one test, in its folder under "burn_cli".
struct Sim : SimDrives {
  explicit Sim(const std::string& name) : SimDrives("burn_cli/" + name) {}
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A data ISO of about 1,100 sectors made by genisoimage.
std::string MakeIso(const std::string& folder) { return MakeGenisoimageIso(folder); }

// `seconds` of a stereo 16-bit 44.1 kHz tone as raw samples: 75 sectors a second.
std::string Tone(const std::string& folder, int frequency, int seconds) {
  const std::string path = folder + "/tone" + std::to_string(frequency) + ".raw";
  ProgramResult made = RunShell(
      "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i sine=frequency=" + std::to_string(frequency) +
      ":duration=" + std::to_string(seconds) + " -ac 2 -ar 44100 -f s16le -acodec pcm_s16le " + Quote(path));
  EXPECT_EQ(made.status, 0) << made.out;
  return ReadFileBytes(path);
}

// The texts of one pack type, in pack order, split at their terminators.
std::vector<std::string> PackTexts(const std::string& packs, uint8_t type) {
  std::string joined;
  for (size_t at = 0; at + 18 <= packs.size(); at += 18)
    if (static_cast<uint8_t>(packs[at]) == type) joined += packs.substr(at + 4, 12);
  std::vector<std::string> texts;
  std::string current;
  for (char c : joined) {
    if (c == 0) {
      texts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return texts;
}

// CRC-16/CCITT of the first 16 bytes of a pack, stored inverted and big-endian in the last two.
bool PackCrcOk(const std::string& pack) {
  uint16_t crc = 0;
  for (int i = 0; i < 16; ++i) {
    crc ^= static_cast<uint16_t>(static_cast<uint8_t>(pack[i]) << 8);
    for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? static_cast<uint16_t>(crc << 1 ^ 0x1021) : crc << 1;
  }
  crc = static_cast<uint16_t>(~crc);
  return static_cast<uint8_t>(pack[16]) == (crc >> 8) && static_cast<uint8_t>(pack[17]) == (crc & 0xFF);
}

}  // namespace

TEST(BurnCli, DataIsoBecomesOneMode1TrackWithTheSwitchesSent) {
  Sim sim("data_iso");
  const std::string iso = MakeIso(sim.folder);
  sim.Drive(0, "cd-r", "blank");
  ProgramResult r = sim.Run({"burn-image", iso, "/dev/sg0", "-speed", "cd10x", "-eject"});
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* line : {"Media detected: CD-R\r\n", "Start writing media...\r\n", "Writing media... ...     0%",
                           "  100%\r\nSynchronizing cache...\r\n", "Burning completed successfully.\r\n"})
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
  // -speed reaches the drive as SET CD SPEED (10 x 176 KB/s), -eject as START STOP UNIT with the eject bit.
  EXPECT_TRUE(sim.Sent(0, "bb00ffff06e0")) << r.out;
  EXPECT_EQ(sim.Cdbs(0).back(), "1b0000000200");
  EXPECT_TRUE(Has(sim.Tool({"show", "0"}), "no disc"));
  sim.Tool({"insert", "0", sim.folder + "/disc0"});

  const std::string image = ReadFileBytes(iso);
  const size_t sectors = image.size() / 2048;
  ASSERT_GT(sectors, 300u);
  const std::string layout = sim.DumpRaw(0, nullptr);
  EXPECT_TRUE(Has(layout, "track 1 index 0 lba -150 data form 10")) << layout;
  EXPECT_TRUE(Has(layout, "track 1 index 1 lba 0 data form 10")) << layout;
  EXPECT_TRUE(Has(layout, "leadout 0 index 1 lba " + std::to_string(sectors + 2) + " data form 14")) << layout;
  const std::string dump = sim.folder + "/dump.iso";
  sim.Tool({"dump", "0", dump});
  const std::string disc = ReadFileBytes(dump);
  ASSERT_EQ(disc.size(), (sectors + 2) * 2048);
  EXPECT_TRUE(disc.substr(0, image.size()) == image) << "the disc's sectors differ from the image";
  EXPECT_EQ(disc.substr(image.size()), std::string(2 * 2048, '\0'));
  EXPECT_TRUE(Has(sim.Tool({"show", "0"}), "status 2")) << "the disc is closed";
}

TEST(BurnCli, RawImagesAreWrittenSectorForSector) {
  Sim sim("raw_images");
  const std::string iso = MakeIso(sim.folder);
  ProgramResult layouts = RunProgram(MAKE_RAW_LAYOUTS_BIN, {iso, sim.folder});
  ASSERT_EQ(layouts.status, 0) << layouts.out;
  const std::string tone = Tone(sim.folder, 440, 4);
  ASSERT_EQ(tone.size(), 300 * kRaw);
  WriteFileBytes(sim.folder + "/tone.bin", tone);
  WriteFileBytes(sim.folder + "/mode2.cue",
                 "FILE \"row07.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n");
  WriteFileBytes(sim.folder + "/mixed.cue",
                 "FILE \"row01.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                 "FILE \"tone.bin\" BINARY\n  TRACK 02 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n");
  const std::string mode2 = ReadFileBytes(sim.folder + "/row07.bin");
  const std::string mode1 = ReadFileBytes(sim.folder + "/row01.bin");
  const int64_t dataSectors = static_cast<int64_t>(mode1.size() / kRaw);
  struct Case {
    const char* sheet;
    std::string expected;
    std::vector<std::string> layout;
  } cases[] = {
      {"mode2.cue",
       mode2,
       {"leadin 0 index 0 lba -150 data form 34", "track 1 index 1 lba 0 data form 21",
        "leadout 0 index 1 lba " + std::to_string(mode2.size() / kRaw) + " data form 34"}},
      {"mixed.cue",
       mode1 + std::string(150 * kRaw, '\0') + tone,
       {"leadin 0 index 0 lba -150 data form 14", "track 1 index 1 lba 0 data form 11",
        "track 2 index 0 lba " + std::to_string(dataSectors) + " audio form 00",
        "track 2 index 1 lba " + std::to_string(dataSectors + 150) + " audio form 00",
        "leadout 0 index 1 lba " + std::to_string(dataSectors + 450) + " audio form 01"}},
  };
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sheet);
    sim.Drive(drive, "cd-r", "blank");
    ProgramResult r = sim.Run({"burn-image", sim.folder + "/" + c.sheet, "/dev/sg" + std::to_string(drive)});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Burning completed successfully.")) << r.out;
    const std::string layout = sim.DumpRaw(drive, nullptr);
    for (const std::string& line : c.layout) EXPECT_TRUE(Has(layout, line)) << line << "\n" << layout;
    ASSERT_EQ(sim.dumped.size(), c.expected.size());
    EXPECT_TRUE(sim.dumped == c.expected) << "the disc's raw sectors differ from the image";
    ++drive;
  }
}

// -verify reads every written sector back: READ(10) for a data image on a CD or a DVD, READ CD track by track for a
// raw one (its audio track counts as equal, its Mode 1 track by user data).
TEST(BurnCli, VerifyReadsTheWrittenDiscBack) {
  Sim sim("verify_good");
  const std::string iso = MakeIso(sim.folder);
  ProgramResult layouts = RunProgram(MAKE_RAW_LAYOUTS_BIN, {iso, sim.folder});
  ASSERT_EQ(layouts.status, 0) << layouts.out;
  WriteFileBytes(sim.folder + "/tone.bin", Tone(sim.folder, 440, 2));
  WriteFileBytes(sim.folder + "/mixed.cue",
                 "FILE \"row01.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                 "FILE \"tone.bin\" BINARY\n  TRACK 02 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n");
  struct Case {
    std::string image;
    const char* media;
    const char* readOpcode;
  } cases[] = {{iso, "cd-r", "28"}, {sim.folder + "/mixed.cue", "cd-r", "be"}, {iso, "dvd+r", "28"}};
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image + " on " + c.media);
    sim.Drive(drive, c.media, "blank");
    ProgramResult r = sim.Run({"burn-image", c.image, "/dev/sg" + std::to_string(drive), "-verify"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Burning completed successfully.\r\nVerifying media... ...")) << r.out;
    EXPECT_TRUE(Has(r.out, "  100%\r\nVerifying media completed successfully.\r\n")) << r.out;
    // The reads come after the last write.
    std::vector<std::string> cdbs = sim.Cdbs(drive);
    auto opcode = [](const char* op) { return [op](const std::string& cdb) { return cdb.rfind(op, 0) == 0; }; };
    auto lastWrite = std::find_if(cdbs.rbegin(), cdbs.rend(), opcode("2a"));
    ASSERT_NE(lastWrite, cdbs.rend());
    EXPECT_NE(std::find_if(cdbs.rbegin(), lastWrite, opcode(c.readOpcode)), lastWrite) << r.out;
    ++drive;
  }
}

// A sector that reads back other than it was written fails the command, whatever the user answers: end of input
// abandons the verification, ignoring the run (typed, or by -y) ends it "with errors". So does a sector that
// cannot be read back.
TEST(BurnCli, VerifyMismatchFailsTheCommand) {
  Sim sim("verify_bad");
  const std::string iso = MakeIso(sim.folder);
  struct Case {
    std::vector<std::string> extra;
    std::string input;
    int questions;
    const char* ending;
    bool unreadable = false;  // the sector cannot be read at all
  } cases[] = {
      {{}, "", 1, "Verifying media failed."},
      {{}, "retry\nignore\n", 2, "Verifying media completed with errors."},
      {{"-y"}, "", 1, "Verifying media completed with errors."},
      {{}, "", 0, "Error reading data on disc.(sector offset: 96-111)\r\nVerifying media failed.", true},
  };
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + std::to_string(c.extra.size()));
    sim.Drive(drive, "cd-r", "blank");
    const std::string disc = sim.folder + "/disc" + std::to_string(drive);
    if (c.unreadable)
      sim.Tool({"unreadable", disc, "100", "1"});
    else
      sim.Tool({"corrupt", disc, "100"});
    std::vector<std::string> args = {"burn-image", iso, "/dev/sg" + std::to_string(drive), "-verify"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProgramResult r = sim.Run(args, c.input);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "Burning completed successfully.")) << r.out;
    const std::string mismatch = "Error verifying data on disc.(sector offset: 96-111)\r\n(Retry/Ignore/Abort):";
    int asked = 0;
    for (size_t at = r.out.find(mismatch); at != std::string::npos; at = r.out.find(mismatch, at + 1)) ++asked;
    EXPECT_EQ(asked, c.questions) << r.out;
    EXPECT_TRUE(Has(r.out, c.ending)) << r.out;
    EXPECT_FALSE(Has(r.out, "Burning failed")) << r.out;
    ++drive;
  }
}

// Copies of the source disc left in the temporary folder by runs that have ended ("kestranecopy", the process id
// in hexadecimal, "-"): the copies of runs of other tests going on meanwhile do not count.
int CopyFilesLeft() {
  int left = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp/$Kestrane$", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("kestranecopy", 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + 12, nullptr, 16);
    if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) ++left;
  }
  return left;
}

// copy-disc writes the destination from the source's layout: on the fly between two drives, or through a private
// temporary image (on request, or with one drive, where the simulator's queue swaps in the blank disc when the
// tray opens). The temporary image never outlives the run; the swap prompt, a source that cannot be read and a
// destination of another family end the copy when the input ends.
TEST(BurnCli, CopyDiscMakesTheDestinationEqualToTheSource) {
  Sim sim("copy_disc");
  const std::string iso = MakeIso(sim.folder);
  const std::string image = ReadFileBytes(iso);
  const std::string pressed = sim.folder + "/pressed", damaged = sim.folder + "/damaged";
  sim.Tool({"press", pressed, "cd-rom", iso});
  sim.Tool({"press", damaged, "cd-rom", iso});
  sim.Tool({"unreadable", damaged, "200", "1"});
  struct Case {
    const char* what;
    bool oneDrive;
    std::string source;
    const char* destination;
    std::vector<std::string> extra;
    std::string input;
    int status;
    const char* line;
    bool secondName = false;  // the source is named "/dev/sg0N", the recorder "/dev/sgN": one drive all the same
  } cases[] = {
      {"two drives", false, pressed, "cd-r", {"-verify"}, "", 0, "Verifying media completed successfully.\r\n"},
      {"temporary image on request",
       false,
       pressed,
       "cd-r",
       {"-create-temp-file-for-copy"},
       "",
       0,
       "Creating the temporary file for burning...\r\n"},
      {"one drive", true, pressed, "cd-r", {}, "\n", 0, "Please insert the destination disc then press enter key..."},
      {"one drive by two names",
       true,
       pressed,
       "cd-r",
       {},
       "\n",
       0,
       "Please insert the destination disc then press enter key...",
       true},
      {"one drive, input ends at the swap", true, pressed, "cd-r", {}, "", 1, "The operation has been cancelled."},
      {"unreadable source sector", true, damaged, "cd-r", {}, "", 1, "Creating the temporary file failed.\r\n"},
      {"destination of another family",
       false,
       pressed,
       "dvd+r",
       {},
       "",
       1,
       "The destination disc type (DVD) is not the same as the source disc type (CD).\r\n\r\n"
       "Do you want to continue?(Ok/Cancel): "},
  };
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string blank = sim.folder + "/blank" + std::to_string(drive);
    sim.Tool({"make-disc", blank, c.destination, "blank"});
    const int source = drive, target = c.oneDrive ? drive : drive + 1;
    sim.Tool({"create-drive", std::to_string(source)});
    sim.Tool({"insert", std::to_string(source), c.source});
    if (c.oneDrive) {
      sim.Tool({"queue", std::to_string(source), blank});
    } else {
      sim.Tool({"create-drive", std::to_string(target)});
      sim.Tool({"insert", std::to_string(target), blank});
    }
    std::vector<std::string> args = {"copy-disc", (c.secondName ? "/dev/sg0" : "/dev/sg") + std::to_string(source),
                                     "/dev/sg" + std::to_string(target)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProgramResult r = sim.Run(args, c.input);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_TRUE(Has(r.out, c.line)) << r.out;
    EXPECT_EQ(CopyFilesLeft(), 0) << "the temporary image outlived the run";
    drive = target + 1;
    if (c.status != 0) {
      EXPECT_FALSE(sim.SentAnyWrite(target)) << r.out;
      continue;
    }
    EXPECT_TRUE(Has(r.out, "Burning completed successfully.\r\n")) << r.out;
    const bool viaTemp =
        c.oneDrive || std::find(c.extra.begin(), c.extra.end(), "-create-temp-file-for-copy") != c.extra.end();
    EXPECT_EQ(Has(r.out, "Creating the temporary file"), viaTemp) << r.out;
    const std::string dump = sim.folder + "/copy" + std::to_string(target) + ".iso";
    sim.Tool({"dump", std::to_string(target), dump});
    const std::string disc = ReadFileBytes(dump);
    ASSERT_GE(disc.size(), image.size());
    EXPECT_TRUE(disc.substr(0, image.size()) == image) << "the copy's sectors differ from the source";
  }
}

// A mixed CD (a Mode 1 track, then audio after a pregap) is copied raw, sector for sector, gaps included; a
// two-session source is refused before the destination is touched.
TEST(BurnCli, CopyDiscOfAMixedCdAndTheMultisessionRefusal) {
  Sim sim("copy_mixed");
  const std::string iso = MakeIso(sim.folder);
  const std::string data = sim.folder + "/data.bin";
  ASSERT_EQ(sim.Run({"convert", iso, "-o", data}).status, 0);
  const std::string bytes = ReadFileBytes(data);
  const size_t dataSectors = bytes.size() / kRaw;
  std::string audio(kRaw * 600, '\0');
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 13 + i / kRaw);
  auto msf = [](size_t lba) {
    char text[32];
    std::snprintf(text, sizeof text, "%02zu:%02zu:%02zu", lba / 4500, lba / 75 % 60, lba % 75);
    return std::string(text);
  };
  WriteFileBytes(sim.folder + "/mixed.bin", bytes + audio);
  WriteFileBytes(sim.folder + "/mixed.cue",
                 "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                 "  TRACK 02 AUDIO\n    INDEX 00 " +
                     msf(dataSectors) + "\n    INDEX 01 " + msf(dataSectors + 150) + "\n");
  WriteFileBytes(sim.folder + "/two.bin", audio + bytes);
  WriteFileBytes(sim.folder + "/two.cue",
                 "FILE \"two.bin\" BINARY\nREM SESSION 01\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                 "REM SESSION 02\n  TRACK 02 MODE1/2352\n    INDEX 01 00:08:00\n");
  for (const char* name : {"mixed", "two"}) {
    SCOPED_TRACE(name);
    const std::string base = sim.folder + "/" + name;
    sim.Tool({"press", base + "-disc", "cd-rom", base + ".bin", "--cue", base + ".cue"});
    const bool two = std::string(name) == "two";
    const int source = two ? 2 : 0, target = source + 1;
    sim.Tool({"create-drive", std::to_string(source)});
    sim.Tool({"insert", std::to_string(source), base + "-disc"});
    sim.Drive(target, "cd-r", "blank");
    ProgramResult r =
        sim.Run({"copy-disc", "/dev/sg" + std::to_string(source), "/dev/sg" + std::to_string(target), "-verify"});
    if (two) {
      EXPECT_EQ(r.status, 1) << r.out;
      EXPECT_TRUE(Has(r.out, "Copying multisession disc is not supported.")) << r.out;
      EXPECT_FALSE(sim.SentAnyWrite(target)) << r.out;
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Verifying media completed successfully.")) << r.out;
    const std::string layout = sim.DumpRaw(target, nullptr);
    EXPECT_TRUE(Has(layout, "track 2 index 1 lba " + std::to_string(dataSectors + 150) + " audio")) << layout;
    ASSERT_EQ(sim.dumped.size(), bytes.size() + audio.size());
    EXPECT_TRUE(sim.dumped == bytes + audio) << "the copy's raw sectors differ from the source";
  }
}

TEST(BurnCli, AudioTracksWithPregapsAndCdText) {
  Sim sim("audio_cdtext");
  const std::string tone = Tone(sim.folder, 440, 9);
  ASSERT_GE(tone.size(), 610 * kRaw);
  const std::string bin = tone.substr(0, 610 * kRaw);
  WriteFileBytes(sim.folder + "/album.bin", bin);
  // Track 2 stores its 30-sector pregap (INDEX 00); track 3 has a 20-sector pregap the file does not hold.
  WriteFileBytes(sim.folder + "/album.cue",
                 "CATALOG 0123456789012\nPERFORMER \"The Band\"\nTITLE \"Greatest Tones\"\n"
                 "FILE \"album.bin\" BINARY\n  TRACK 01 AUDIO\n    TITLE \"Opening\"\n    PERFORMER \"Singer One\"\n"
                 "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    TITLE \"Second Song\"\n    PERFORMER \"Singer Two\"\n"
                 "    ISRC USXYZ2400001\n    INDEX 00 00:02:50\n    INDEX 01 00:03:05\n  TRACK 03 AUDIO\n"
                 "    PREGAP 00:00:20\n    INDEX 01 00:05:55\n");
  sim.Drive(0, "cd-r", "blank");
  ProgramResult r = sim.Run({"burn-image", sim.folder + "/album.cue", "/dev/sg0"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "Writing Audio CD-Text...")) << r.out;
  EXPECT_TRUE(Has(r.out, "Burning completed successfully.")) << r.out;

  std::string packs;
  const std::string layout = sim.DumpRaw(0, &packs);
  for (const char* line : {"catalog 0123456789012", "isrc 2 USXYZ2", "isrc 2 400001",
                           "leadin 0 index 0 lba -150 audio form 41", "track 1 index 0 lba -150 audio form 00",
                           "track 1 index 1 lba 0 audio form 00", "track 2 index 0 lba 200 audio form 00",
                           "track 2 index 1 lba 230 audio form 00", "track 3 index 0 lba 430 audio form 00",
                           "track 3 index 1 lba 450 audio form 00", "leadout 0 index 1 lba 630 audio form 01"})
    EXPECT_TRUE(Has(layout, line)) << line << "\n" << layout;
  const std::string expected = bin.substr(0, 430 * kRaw) + std::string(20 * kRaw, '\0') + bin.substr(430 * kRaw);
  ASSERT_EQ(sim.dumped.size(), expected.size());
  EXPECT_TRUE(sim.dumped == expected) << "the disc's samples differ from the image";
  // The table of contents of the closed disc starts each track at its index 1.
  const std::string show = sim.Tool({"show", "0"});
  for (const char* line : {"track 1 session 1 start 0 size 230", "track 2 session 1 start 230 size 220",
                           "track 3 session 1 start 450 size 180"})
    EXPECT_TRUE(Has(show, line)) << line << "\n" << show;

  ASSERT_GT(packs.size(), 0u);
  ASSERT_EQ(packs.size() % 18, 0u);
  for (size_t at = 0; at < packs.size(); at += 18) EXPECT_TRUE(PackCrcOk(packs.substr(at, 18))) << "pack " << at / 18;
  std::vector<std::string> titles = PackTexts(packs, 0x80), performers = PackTexts(packs, 0x81);
  ASSERT_GE(titles.size(), 3u);
  EXPECT_EQ(titles[0], "Greatest Tones");
  EXPECT_EQ(titles[1], "Opening");
  EXPECT_EQ(titles[2], "Second Song");
  ASSERT_GE(performers.size(), 3u);
  EXPECT_EQ(performers[0], "The Band");
  EXPECT_EQ(performers[2], "Singer Two");
}

TEST(BurnCli, AWriteErrorMidBurnEndsTheBurn) {
  Sim sim("write_error");
  const std::string iso = MakeIso(sim.folder);
  WriteFileBytes(sim.folder + "/silence.bin", std::string(400 * kRaw, '\0'));
  WriteFileBytes(sim.folder + "/silence.cue", "FILE \"silence.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
  struct Case {
    std::string image;
    const char* step;  // the writer's step number in the message
  } cases[] = {{iso, "129"}, {sim.folder + "/silence.cue", "371"}};
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    sim.Drive(drive, "cd-r", "blank");
    // The 30th WRITE(10) fails with a medium error (3/0C/00), and so would every later one.
    sim.Tool({"fault", std::to_string(drive), "0x2a", "30", "0", "3", "0x0c", "0"});
    ProgramResult r = sim.Run({"burn-image", c.image, "/dev/sg" + std::to_string(drive)});
    EXPECT_EQ(r.status, 1) << r.out;
    // The 150 pregap sectors take 10 commands: the 30th writes LBA 19 x 16 = 304.
    const std::string prefix = std::string("Error writing data. (") + c.step + "-00000130 ";
    size_t at = r.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << r.out;
    // "Burning failed" reports the failed write's code, not that of a command sent after it.
    const std::string code = r.out.substr(at + prefix.size(), 8);
    EXPECT_TRUE(Has(r.out, "Burning failed (" + code + ").")) << r.out;
    EXPECT_FALSE(Has(r.out, "Burning completed")) << r.out;
    std::vector<std::string> cdbs = sim.Cdbs(drive);
    EXPECT_EQ(std::count_if(cdbs.begin(), cdbs.end(), [](const std::string& x) { return x.rfind("2a", 0) == 0; }), 30);
    ++drive;
  }
  // The session written at once closes the failing track.
  EXPECT_TRUE(sim.Sent(1, "5b0001000001")) << "CLOSE TRACK of track 1";
}

TEST(BurnCli, EraseDiscByMediaType) {
  Sim sim("erase");
  struct Case {
    const char* media;
    const char* state;
    std::vector<std::string> switches;
    const char* command;  // the CDB prefix that does the erase
  } cases[] = {
      {"cd-rw", "appendable", {}, "a11100"},           // BLANK, IMMED, minimal
      {"cd-rw", "closed", {"-full-erase"}, "a11000"},  // BLANK, IMMED, whole disc
      {"dvd-rw", "appendable", {}, "a11100"},
      {"dvd+rw", "formatted", {}, "0411"},                 // FORMAT UNIT, then zeros
      {"bd-re", "formatted", {}, "2a000000000000002000"},  // zeros, 32 blocks a command
  };
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.media) + " " + c.state);
    sim.Drive(drive, c.media, c.state);
    std::vector<std::string> args = {"erase-disc", "/dev/sg" + std::to_string(drive)};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    ProgramResult r = sim.Run(args, "y\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Do you want to erase it now? (Yes/No):")) << r.out;
    EXPECT_TRUE(Has(r.out, c.switches.empty() ? "quick erase" : "full erase")) << r.out;
    EXPECT_TRUE(Has(r.out, "Media erased successfully.")) << r.out;
    EXPECT_TRUE(sim.Sent(drive, c.command)) << r.out;
    const std::string show = sim.Tool({"show", std::to_string(drive)});
    if (std::string(c.media).find("rw") != std::string::npos && std::string(c.media) != "dvd+rw")
      EXPECT_TRUE(Has(show, "status 0")) << show;
    ++drive;
  }
  // The BD-RE got 2,048 zero sectors.
  std::vector<std::string> cdbs = sim.Cdbs(4);
  EXPECT_EQ(std::count_if(cdbs.begin(), cdbs.end(), [](const std::string& c) { return c.rfind("2a", 0) == 0; }), 64);
}

TEST(BurnCli, RefusalsSendNothingThatWrites) {
  Sim sim("refusals");
  const std::string iso = MakeIso(sim.folder);
  sim.Drive(0, "dvd+r", "blank");
  sim.Drive(1, "", "");
  sim.Drive(2, "cd-r", "blank", {"--inquiry-type", "0"});
  sim.Drive(3, "cd-r", "closed");
  sim.Drive(4, "cd-rw", "closed");
  struct Case {
    std::vector<std::string> args;
    const char* input;
    const char* message;
    int status;
    int drive;
  } cases[] = {
      {{"erase-disc", "/dev/sg0"}, "y\n", "DVD+R can not be erased.", 1, 0},
      {{"erase-disc", "/dev/sg1"}, "y\n", "Media detect failed, or no media in the drive.", 1, 1},
      {{"erase-disc", "/dev/sg2"}, "y\n", "Error opening device /dev/sg2.", 1, 2},
      {{"burn-image", iso, "/dev/sg2"}, "", "Error opening device /dev/sg2.", 1, 2},
      {{"burn-image", iso, "/dev/sg3"}, "", "Please insert a blank or rewritable disc and retry.", 1, 3},
      // A rewritable disc that holds data: the question, and end of input answers No.
      {{"burn-image", iso, "/dev/sg4"}, "", "The operation has been cancelled.", 0, 4},
      {{"burn-image", iso, "/dev/sg4"}, "n\n", "The operation has been cancelled.", 0, 4},
      {{"erase-disc", "/dev/sg4"}, "", "Do you want to erase it now? (Yes/No):", 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back() + " <" + c.input);
    ProgramResult r = sim.Run(c.args, c.input);
    EXPECT_TRUE(Has(r.out, c.message)) << r.out;
    EXPECT_FALSE(Has(r.out, "Burning failed")) << r.out;
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_FALSE(sim.SentAnyWrite(c.drive)) << r.out;
  }
  ProgramResult asked = sim.Run({"burn-image", iso, "/dev/sg4"}, "");
  EXPECT_TRUE(Has(asked.out, "The disc is not empty. Do you want to erase it now? (Yes/No):")) << asked.out;
}

TEST(BurnCli, RewritableDiscWithDataIsErasedOnYes) {
  Sim sim("erase_then_burn");
  const std::string iso = MakeIso(sim.folder);
  sim.Drive(0, "cd-rw", "closed");
  ProgramResult r = sim.Run({"burn-image", iso, "/dev/sg0"}, "yes\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "Media erased successfully.")) << r.out;
  EXPECT_TRUE(Has(r.out, "Burning completed successfully.")) << r.out;
  const std::vector<std::string> cdbs = sim.Cdbs(0);
  auto blank = std::find_if(cdbs.begin(), cdbs.end(), [](const std::string& c) { return c.rfind("a1", 0) == 0; });
  auto cue = std::find_if(cdbs.begin(), cdbs.end(), [](const std::string& c) { return c.rfind("5d", 0) == 0; });
  ASSERT_NE(blank, cdbs.end());
  EXPECT_LT(blank, cue) << "the disc is blanked before the session is written";
}

TEST(BurnCli, BadCommandLinesNeverReachADrive) {
  Sim sim("bad_lines");
  sim.Drive(0, "cd-r", "blank");
  const std::string iso = MakeIso(sim.folder);
  const std::string wimTree = sim.folder + "/wimtree";
  WriteFileBytes(wimTree + "/a.txt", "in a wim\n");
  const std::string wim = sim.folder + "/a.wim";
  bool haveWim =
      RunShell("wimlib-imagex capture " + Quote(wimTree) + " " + Quote(wim) + " >/dev/null 2>&1").status == 0;
  const std::string fat = sim.folder + "/fat.img";
  ASSERT_EQ(RunShell("mkfs.vfat -C " + Quote(fat) + " 1440 >/dev/null").status, 0) << "mkfs.vfat (dosfstools)";
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"burn-image", iso, sim.folder + "/not-a-device"}, "Please specify a valid burning drive."},
      {{"burn-image", sim.folder + "/missing.iso", "/dev/sg0"}, ""},
      {{"erase-disc", "sg0"}, "Please specify a valid burning drive."},
      {{"copy-disc", "/dev/sg0", "disc"}, "Please specify a valid burning drive."},
      {{"copy-disc", "/dev/sg0123456789012345678901234567", "/dev/sg0"}, "Please specify a valid source drive."},
      {{"burn-image", wim, "/dev/sg0"},
       "The selected file can't be burned to the optical disc. Please upack the file, then write the unpacked files "
       "to the optical disc."},
      {{"burn-image", fat, "/dev/sg0"}, "The selected file can't be burned to the optical disc."},
  };
  for (const Case& c : cases) {
    if (c.args[1] == wim && !haveWim) continue;
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    ProgramResult r = sim.Run(c.args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, c.message)) << r.out;
    EXPECT_TRUE(sim.Cdbs(0).empty()) << r.out;
  }
}

// ---------------------------------------------------------------------------------------------------------------
// DVD and BD

namespace {

constexpr int64_t kHugeFileSize = (int64_t{4} << 30) + (3 << 20) + 5;

// kestrane's own UDF image of a tree with a sparse file over 4 GiB (patterned megabytes at its start, in its
// middle and at its end). Every media case burns the same image, so it is made once per build of kestrane; the
// lock keeps test processes that run side by side from making it twice.
std::string HugeUdfImage() {
  const std::string folder = std::string(KESTRANE_BUILD_DIR) + "/test-output/burn_cli_huge_image";
  std::filesystem::create_directories(folder);
  const std::string image = folder + "/huge.iso", stamp = folder + "/made-by";
  struct stat bin {};
  stat(KESTRANE_BIN, &bin);
  const std::string maker = std::to_string(bin.st_mtime) + "." + std::to_string(bin.st_size);
  const int lock = open((folder + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  EXPECT_GE(lock, 0);
  flock(lock, LOCK_EX);
  if (ReadFileBytes(stamp) != maker) {
    const std::string src = folder + "/src";
    std::filesystem::remove_all(src);
    std::filesystem::remove(image);
    WriteFileBytes(src + "/docs/readme.txt", "a file beside a large one\n");
    const int fd = open((src + "/large.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::string chunk(1 << 20, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 13 + i / 2048 + 1);
    for (int64_t at : {int64_t{0}, int64_t{2} << 30, kHugeFileSize - static_cast<int64_t>(chunk.size())})
      EXPECT_EQ(pwrite(fd, chunk.data(), chunk.size(), at), static_cast<ssize_t>(chunk.size()));
    EXPECT_EQ(ftruncate(fd, kHugeFileSize), 0);
    close(fd);
    RunShell("find '" + src + "' -exec touch -h -d @1700000000 {} +");
    ProgramOptions options;
    options.timeoutSeconds = 300;
    const ProgramResult made = RunKestrane({"create", "-o", image, "-udf", "on", "-add", src, "/"}, options);
    EXPECT_EQ(made.status, 0) << made.out;
    if (made.status == 0) WriteFileBytes(stamp, maker);
  }
  flock(lock, LOCK_UN);
  close(lock);
  return image;
}

// The byte ranges of a file that hold data (SEEK_DATA to SEEK_HOLE).
std::vector<std::pair<int64_t, int64_t>> DataRanges(int fd) {
  std::vector<std::pair<int64_t, int64_t>> ranges;
  for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0;) {
    const off_t end = lseek(fd, at, SEEK_HOLE);
    if (end <= at) break;
    ranges.emplace_back(at, end);
    at = lseek(fd, end, SEEK_DATA);
  }
  return ranges;
}

// The disc dump holds the image and then zeros up to `discBytes`. Holes read as zeros, so only the ranges where
// either file holds data are read: gigabytes of holes are not moved.
::testing::AssertionResult DiscHoldsImage(const std::string& image, const std::string& dump, int64_t discBytes) {
  struct stat a {
  }, b{};
  if (stat(image.c_str(), &a) != 0 || stat(dump.c_str(), &b) != 0) return ::testing::AssertionFailure() << "stat";
  if (b.st_size != discBytes)
    return ::testing::AssertionFailure() << "the disc holds " << b.st_size << " bytes, not " << discBytes;
  const int fa = open(image.c_str(), O_RDONLY | O_CLOEXEC), fb = open(dump.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<std::pair<int64_t, int64_t>> ranges = DataRanges(fa), more = DataRanges(fb);
  ranges.insert(ranges.end(), more.begin(), more.end());
  std::vector<char> x(1 << 20), y(1 << 20);
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  for (const auto& [from, to] : ranges) {
    for (int64_t at = from; at < to && result; at += static_cast<int64_t>(x.size())) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(x.size()), to - at));
      std::fill(x.begin(), x.end(), 0);
      std::fill(y.begin(), y.end(), 0);
      ssize_t gotA = pread(fa, x.data(), n, at), gotB = pread(fb, y.data(), n, at);
      (void)gotA, (void)gotB;
      if (std::memcmp(x.data(), y.data(), n) != 0)
        result = ::testing::AssertionFailure() << "the disc differs from the image in the MiB at " << at;
    }
  }
  close(fa);
  close(fb);
  return result;
}

struct Write {
  int64_t lba;
  int count;
};
std::vector<Write> Writes(const std::vector<std::string>& cdbs) {
  std::vector<Write> writes;
  for (const std::string& c : cdbs)
    if (c.rfind("2a", 0) == 0 && c.size() >= 18)
      writes.push_back({std::stoll(c.substr(4, 8), nullptr, 16), std::stoi(c.substr(14, 4), nullptr, 16)});
  return writes;
}

std::vector<std::string> Closes(const std::vector<std::string>& cdbs) {
  std::vector<std::string> closes;
  for (const std::string& c : cdbs)
    if (c.rfind("5b", 0) == 0) closes.push_back(c.substr(0, 12));
  return closes;
}

size_t FirstIndexOf(const std::vector<std::string>& cdbs, const std::string& prefix) {
  for (size_t i = 0; i < cdbs.size(); ++i)
    if (cdbs[i].rfind(prefix, 0) == 0) return i;
  return cdbs.size();
}

struct DvdMediaCase {
  const char* media;
  const char* how;
  const char* input;  // the answer to the question of a rewritable disc that holds data
  const char* shown;  // the media type the burn detects
  int packet;
  std::vector<std::string> prepare;  // commands sent, in this order, before the first write
  std::vector<std::string> closes;   // every CLOSE TRACK/SESSION: IMMED, function, track
  bool writeOnce;                    // the disc is complete afterwards
};

const DvdMediaCase kDvdMediaCases[] = {
    {"dvd-r", "blank", "", "DVD-R", 16, {"55", "54", "bf", "53"}, {}, true},
    {"dvd-rw", "blank", "", "DVD-RW", 16, {"55", "54", "bf", "53"}, {}, true},
    // Restricted overwrite with data: blanked on Yes, then written at once like a sequential disc.
    {"dvd-rw-ro", "formatted", "y\n", "DVD-RW", 16, {"a1", "55", "54", "bf", "53"}, {}, true},
    {"dvd+r", "blank", "", "DVD+R", 16, {"53"}, {"5b0101000001", "5b0105000000"}, true},
    {"dvd+r-dl", "blank", "", "DVD+R DL", 16, {"53"}, {"5b0101000001", "5b0105000000"}, true},
    {"dvd+rw", "blank", "", "DVD+RW", 16, {"04", "25"}, {"5b0102000000"}, false},
    {"dvd-ram", "formatted", "", "DVD-RAM", 16, {"25"}, {}, false},
    {"bd-r", "blank", "", "BD-R", 32, {"52"}, {"5b0101000001", "5b0106000000"}, true},
    {"bd-r-pow", "blank", "", "BD-R", 32, {"52"}, {"5b0101000001", "5b0106000000"}, true},
    {"bd-re", "blank", "", "BD-RE", 32, {"46", "23", "04", "25"}, {}, false},
};

void PrintTo(const DvdMediaCase& c, std::ostream* out) { *out << c.media << " " << c.how; }

class BurnDvdCli : public ::testing::TestWithParam<DvdMediaCase> {};

std::string CaseName(const ::testing::TestParamInfo<DvdMediaCase>& info) {
  std::string name;
  for (const char* p = info.param.media; *p; ++p) name += *p == '-' ? '_' : *p == '+' ? 'P' : *p;
  return name + "_" + info.param.how;
}

}  // namespace

// The 4 GiB image on each kind of DVD and BD: prepared as its kind needs, written one whole packet per WRITE(10)
// at the next writable address from LBA 0, closed as its kind needs, and the disc holds the image sector for
// sector. (About half a minute a case: the simulated drive stores every command's state in files.)
TEST_P(BurnDvdCli, HugeUdfImageOnEveryKindOfDisc) {
  const DvdMediaCase& c = GetParam();
  const std::string image = HugeUdfImage();
  struct stat info {};
  ASSERT_EQ(stat(image.c_str(), &info), 0);
  ASSERT_GT(info.st_size, kHugeFileSize);
  const int64_t sectors = info.st_size / 2048;
  const int64_t written = (sectors + c.packet - 1) / c.packet * c.packet;
  Sim sim(std::string("dvd_") + CaseName({c, 0}));
  sim.Drive(0, c.media, c.how);
  ProgramResult r = sim.Run({"burn-image", image, "/dev/sg0"}, c.input, 900);
  ASSERT_EQ(r.status, 0) << r.out;
  for (const std::string line : {std::string("Media detected: ") + c.shown + "\r\n",
                                 std::string("Preparing media...\r\n"), std::string("Start writing media...\r\n"),
                                 std::string("Finalizing media, this may take several minutes...\r\n"),
                                 std::string("Burning completed successfully.\r\n")})
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;

  const std::vector<std::string> cdbs = sim.Cdbs(0);
  const std::vector<Write> writes = Writes(cdbs);
  ASSERT_EQ(static_cast<int64_t>(writes.size()), written / c.packet);
  for (size_t i = 0; i < writes.size(); ++i) {
    ASSERT_EQ(writes[i].lba, static_cast<int64_t>(i) * c.packet) << "write " << i;
    ASSERT_EQ(writes[i].count, c.packet) << "write " << i;
  }
  const size_t firstWrite = FirstIndexOf(cdbs, "2a");
  size_t at = 0;
  for (const std::string& op : c.prepare) {
    size_t found = FirstIndexOf(std::vector<std::string>(cdbs.begin() + at, cdbs.end()), op) + at;
    EXPECT_LT(found, firstWrite) << op << " before the first write";
    at = std::min(found + 1, cdbs.size());
  }
  const size_t sync = FirstIndexOf(cdbs, "35");
  EXPECT_GT(sync, firstWrite + writes.size() - 1) << "the cache is flushed after the last write";
  EXPECT_EQ(Closes(cdbs), c.closes);
  if (!c.closes.empty()) {
    EXPECT_GT(FirstIndexOf(cdbs, "5b"), sync);
  }

  const std::string show = sim.Tool({"show", "0"});
  if (c.writeOnce) {
    EXPECT_TRUE(Has(show, "status 2 sessions 1")) << show;
  }
  const std::string dump = sim.folder + "/dump.iso";
  sim.Tool({"dump", "0", dump});
  EXPECT_TRUE(DiscHoldsImage(image, dump, written * 2048));
  std::filesystem::remove(dump);
  std::filesystem::remove(sim.folder + "/disc0/data.bin");
}

INSTANTIATE_TEST_SUITE_P(Media, BurnDvdCli, ::testing::ValuesIn(kDvdMediaCases), CaseName);

// A disc without room for the image is refused before anything is written or formatted.
TEST(BurnCli, DvdOrBdTooSmallIsRefusedBeforeWriting) {
  Sim sim("dvd_too_small");
  const std::string iso = MakeIso(sim.folder);
  const char* media[][2] = {
      {"dvd-r", "blank"}, {"dvd+r-dl", "blank"}, {"dvd+rw", "blank"}, {"dvd-ram", "formatted"}, {"bd-r", "blank"}};
  int drive = 0;
  for (const auto& m : media) {
    SCOPED_TRACE(m[0]);
    sim.Tool({"create-drive", std::to_string(drive)});
    const std::string disc = sim.folder + "/disc" + std::to_string(drive);
    sim.Tool({"make-disc", disc, m[0], m[1], "--capacity", "640"});
    sim.Tool({"insert", std::to_string(drive), disc});
    ProgramResult r = sim.Run({"burn-image", iso, "/dev/sg" + std::to_string(drive)});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "There is not enough space on the disc (")) << r.out;
    EXPECT_TRUE(Has(r.out, " needed, 640 available).\r\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Burning failed")) << r.out;
    EXPECT_FALSE(sim.SentAnyWrite(drive)) << r.out;
    ++drive;
  }
}

// A write that fails ends the burn with the failing packet's address and code; a DVD+RW that the drive still
// formats in the background has that format stopped, and the failure keeps the write's code.
TEST(BurnCli, DvdOrBdWriteErrorEndsTheBurn) {
  Sim sim("dvd_write_error");
  const std::string iso = MakeIso(sim.folder);
  struct Case {
    const char* media;
    const char* lba;  // of the 5th packet
    bool stopsFormat;
  } cases[] = {{"dvd+rw", "00000040", true}, {"bd-r", "00000080", false}, {"dvd-r", "00000040", false}};
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.media);
    sim.Drive(drive, c.media, "blank");
    sim.Tool({"fault", std::to_string(drive), "0x2a", "5", "0", "3", "0x0c", "0"});
    ProgramResult r = sim.Run({"burn-image", iso, "/dev/sg" + std::to_string(drive)});
    EXPECT_EQ(r.status, 1) << r.out;
    const std::string prefix = std::string("Error writing data. (560-") + c.lba + " ";
    const size_t at = r.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string code = r.out.substr(at + prefix.size(), 8);
    EXPECT_TRUE(Has(r.out, "Burning failed (" + code + ").")) << r.out;
    EXPECT_FALSE(Has(r.out, "Burning completed")) << r.out;
    EXPECT_EQ(Has(r.out, "Stopping background format...\r\nBackground format stopped.\r\n"), c.stopsFormat) << r.out;
    const std::vector<std::string> cdbs = sim.Cdbs(drive);
    EXPECT_EQ(Writes(cdbs).size(), 5u);
    EXPECT_EQ(Closes(cdbs), c.stopsFormat ? std::vector<std::string>{"5b0102000000"} : std::vector<std::string>{});
    EXPECT_EQ(FirstIndexOf(cdbs, "35"), cdbs.size()) << "nothing is closed after a failed write";
    ++drive;
  }
}
