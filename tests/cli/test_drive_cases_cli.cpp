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

// The 2048-byte sectors of `user` as sound Mode 1 (or Mode 2 Form 1) raw sectors that carry the addresses from
// `first` on.
std::string DataSectors(const std::string& user, int64_t first, bool mode2) {
  std::string raw(user.size() / 2048 * kRaw, '\0');
  for (size_t i = 0; i < user.size() / 2048; ++i) {
    const auto* from = reinterpret_cast<const uint8_t*>(user.data()) + i * 2048;
    auto* to = reinterpret_cast<uint8_t*>(raw.data()) + i * kRaw;
    if (mode2)
      CdEncodeMode2Sector(first + static_cast<int64_t>(i), from, to);
    else
      CdEncodeMode1Sector(first + static_cast<int64_t>(i), from, to);
  }
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
// first session's lead-out, holding an ISO volume laid out for that address that records only its own sectors
// (a Mode 1 track made by genisoimage, a Mode 2 track by xorriso). The drive reads like the same disc as a BIN (the
// gap between the sessions as zeros) and CUE sheet; make-image gives that BIN and sheet back.
TEST(DriveCasesCli, CdExtraReadsLikeItsImageAndImagesBack) {
  for (const std::string mode : {"MODE1/2352", "MODE2/2352"}) {
    SCOPED_TRACE(mode);
    const bool mode2 = mode == "MODE2/2352";
    Drives d(mode2 ? "cd_extra_mode2" : "cd_extra_mode1");
    constexpr int64_t kDataStart = 600 + 11400;
    IsoFixture fixture;
    fixture.name = "session2.iso";
    fixture.bigBytes = 700 * 1000;
    fixture.readme = "the data session of a CD-Extra\n";
    fixture.options = {"-C", "0," + std::to_string(kDataStart)};
    fixture.xorriso = mode2;
    const std::string iso = ReadFileBytes(MakeGenisoimageIso(d.folder, fixture));
    ASSERT_GT(iso.size(), 16u * 2048);
    const std::string audio = Samples(300, 13) + Samples(300, 5);
    const std::string data = DataSectors(iso, kDataStart, mode2);
    // The pressed disc's BIN holds the sessions one after the other; the simulator puts the gap between them.
    WriteFileBytes(d.folder + "/pressed.bin", audio + data);
    WriteFileBytes(d.folder + "/pressed.cue",
                   "FILE \"pressed.bin\" BINARY\nREM SESSION 01\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                   "  TRACK 02 AUDIO\n    INDEX 01 00:04:00\nREM SESSION 02\n  TRACK 03 " +
                       mode + "\n    INDEX 01 " + Msf(600) + "\n");
    const std::string bin = d.folder + "/extra.bin", cue = d.folder + "/extra.cue";
    const std::string image = audio + std::string(11400 * kRaw, '\0') + data;
    WriteFileBytes(bin, image);
    const std::string sheet =
        "FILE \"extra.bin\" BINARY\r\nREM SESSION 01\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
        "  TRACK 02 AUDIO\r\n    INDEX 01 00:04:00\r\nREM SESSION 02\r\n  TRACK 03 " +
        mode + "\r\n    INDEX 01 " + Msf(kDataStart) + "\r\n";
    WriteFileBytes(cue, sheet);
    d.Tool({"create-drive", "0"});
    d.Tool({"press", d.folder + "/disc", "cd-rom", d.folder + "/pressed.bin", "--cue", d.folder + "/pressed.cue"});
    d.Tool({"insert", "0", d.folder + "/disc"});
    // As on a real drive, the first session's lead-out and the second's lead-in cannot be read.
    d.Tool({"unreadable", d.folder + "/disc", "600", "11400"});

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
}

// The destination disc after a copy holds the source's sectors, then at most the zeros that round the track up to
// the medium's block.
void ExpectCopyOf(Drives& d, int drive, const std::string& source) {
  const std::string dump = d.folder + "/copy" + std::to_string(drive) + ".iso";
  d.Tool({"dump", std::to_string(drive), dump});
  const std::string disc = ReadFileBytes(dump);
  ASSERT_GE(disc.size(), source.size());
  EXPECT_LT(disc.size() - source.size(), 32u * 2048);
  EXPECT_TRUE(disc.substr(0, source.size()) == source) << "the copy's sectors differ from the source";
  EXPECT_EQ(disc.find_first_not_of('\0', source.size()), std::string::npos);
}

// DVDs and BDs are copied as one data track: on the fly between two drives, or through the temporary image (with
// one drive, where the simulator's queue swaps in the blank disc when the tray opens, or on request); the
// read-back verifies.
TEST(DriveCasesCli, CopyDiscOfDvdAndBdSources) {
  Drives d("copy_dvd_bd");
  const std::string iso = MakeGenisoimageIso(d.folder);
  const std::string image = ReadFileBytes(iso);
  struct Case {
    const char* source;  // pressed media, or "dvd+r closed": a finished recordable disc
    const char* destination;
    bool oneDrive;
    bool throughTemp;
  } cases[] = {
      {"dvd-rom", "dvd+r", false, false},     {"dvd-rom", "dvd-r", true, true}, {"dvd+r closed", "dvd-r", false, false},
      {"dvd+r closed", "dvd+r", false, true}, {"bd-rom", "bd-r", false, false}, {"bd-rom", "bd-r", true, true},
  };
  int drive = 0;
  for (const Case& c : cases) {
    const std::string what = std::string(c.source) + " to " + c.destination + (c.oneDrive ? ", one drive" : "") +
                             (c.throughTemp && !c.oneDrive ? ", temporary image" : "");
    SCOPED_TRACE(what);
    const int source = drive, target = c.oneDrive ? drive : drive + 1;
    const std::string from = d.folder + "/source" + std::to_string(drive),
                      blank = d.folder + "/blank" + std::to_string(drive);
    if (std::string(c.source) == "dvd+r closed")
      d.Tool({"make-disc", from, "dvd+r", "closed", "--from", iso});
    else
      d.Tool({"press", from, c.source, iso});
    d.Tool({"make-disc", blank, c.destination, "blank"});
    d.Tool({"create-drive", std::to_string(source)});
    d.Tool({"insert", std::to_string(source), from});
    if (c.oneDrive) {
      d.Tool({"queue", std::to_string(source), blank});
    } else {
      d.Tool({"create-drive", std::to_string(target)});
      d.Tool({"insert", std::to_string(target), blank});
    }
    std::vector<std::string> args = {"copy-disc", "/dev/sg" + std::to_string(source),
                                     "/dev/sg" + std::to_string(target), "-verify"};
    if (c.throughTemp && !c.oneDrive) args.push_back("-create-temp-file-for-copy");
    ProgramResult r = d.Run(args, c.oneDrive ? "\n" : "");
    drive = target + 1;
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Has(r.out, "Creating the temporary file for burning..."), c.throughTemp) << r.out;
    EXPECT_TRUE(Has(r.out, "Burning completed successfully.\r\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Verifying media completed successfully.\r\n")) << r.out;
    ExpectCopyOf(d, target, image);
  }
}

// A source sector that cannot be read ends a copy on the fly before its first write, and the message names the
// run of sectors that failed.
TEST(DriveCasesCli, CopyOnTheFlyStopsAtAnUnreadableSourceSector) {
  Drives d("copy_unreadable");
  const std::string iso = MakeGenisoimageIso(d.folder);
  struct Case {
    const char* source;
    const char* destination;
  } cases[] = {{"cd-rom", "cd-r"}, {"dvd-rom", "dvd+r"}, {"bd-rom", "bd-r"}};
  int drive = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const std::string source = std::to_string(drive), target = std::to_string(drive + 1);
    const std::string from = d.folder + "/source" + source;
    d.Tool({"press", from, c.source, iso});
    d.Tool({"unreadable", from, "200", "1"});
    d.Tool({"create-drive", source});
    d.Tool({"insert", source, from});
    d.Drive(drive + 1, c.destination, "blank");
    drive += 2;
    ProgramResult r = d.Run({"copy-disc", "/dev/sg" + source, "/dev/sg" + target, "-verify"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.out, "Error reading sectors from 192 to 207 on the source disc.\r\n")) << r.out;
    EXPECT_FALSE(Has(r.out, "Burning completed")) << r.out;
    EXPECT_FALSE(d.Sent(drive - 1, "2a")) << "a sector was written";
  }
}

// An audio CD burned with CD-TEXT is the source: its copy carries the same CD-TEXT packs in its lead-in and the
// same samples, whether it goes on the fly or through the temporary image.
TEST(DriveCasesCli, CopyOfAnAudioCdCarriesItsCdText) {
  Drives d("copy_cdtext");
  const std::string bin = Samples(300, 3) + Samples(310, 11);
  WriteFileBytes(d.folder + "/album.bin", bin);
  WriteFileBytes(d.folder + "/album.cue",
                 "PERFORMER \"The Band\"\nTITLE \"Greatest Tones\"\nFILE \"album.bin\" BINARY\n  TRACK 01 AUDIO\n"
                 "    TITLE \"Opening\"\n    PERFORMER \"Singer One\"\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
                 "    TITLE \"Second Song\"\n    PERFORMER \"Singer Two\"\n    INDEX 00 00:04:00\n"
                 "    INDEX 01 00:04:30\n");
  d.Drive(0, "cd-r", "blank");
  ProgramResult burned = d.Run({"burn-image", d.folder + "/album.cue", "/dev/sg0"});
  ASSERT_EQ(burned.status, 0) << burned.out;
  std::string sourcePacks;
  d.DumpRaw(0, &sourcePacks);
  const std::string sourceSectors = d.dumped;
  ASSERT_GE(sourcePacks.size(), 18u * 4) << "the source has no CD-TEXT";

  const std::string disc = d.folder + "/disc0";
  for (bool oneDrive : {false, true}) {
    SCOPED_TRACE(oneDrive ? "one drive" : "two drives");
    const int source = oneDrive ? 2 : 0, target = oneDrive ? 2 : 1;
    const std::string blank = d.folder + "/blank" + std::to_string(target);
    d.Tool({"make-disc", blank, "cd-r", "blank"});
    d.Tool({"create-drive", std::to_string(source)});
    d.Tool({"insert", std::to_string(source), disc});
    if (oneDrive) {
      d.Tool({"queue", std::to_string(source), blank});
    } else {
      d.Tool({"create-drive", std::to_string(target)});
      d.Tool({"insert", std::to_string(target), blank});
    }
    ProgramResult r =
        d.Run({"copy-disc", "/dev/sg" + std::to_string(source), "/dev/sg" + std::to_string(target), "-verify"}, "\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Writing Audio CD-Text...")) << r.out;
    EXPECT_TRUE(Has(r.out, "Verifying media completed successfully.")) << r.out;
    std::string packs;
    d.DumpRaw(target, &packs);
    EXPECT_TRUE(packs == sourcePacks) << "the copy's CD-TEXT differs from the source's";
    EXPECT_TRUE(d.dumped == sourceSectors) << "the copy's samples differ from the source's";
  }
}

// Runs kestrane with a user at the console: once `prompt` has been printed, the user changes discs with the
// simdrive commands of `swaps` and answers `answer`; the input then ends. The user gives up after a minute.
ProgramResult RunWithUser(Drives& d, const std::vector<std::string>& args, const std::string& prompt,
                          const std::vector<std::vector<std::string>>& swaps, const std::string& answer) {
  const std::string out = d.folder + "/user-run.txt";
  std::string user = "n=0; until grep -qF " + Quote(prompt) + " " + Quote(out) +
                     "; do sleep 0.1; n=$((n+1)); [ $n -gt 600 ] && exit 1; done; ";
  for (const std::vector<std::string>& swap : swaps) {
    user += Quote(SIMDRIVE_BIN) + " " + Quote(d.state);
    for (const std::string& word : swap) user += " " + Quote(word);
    user += " >/dev/null; ";
  }
  user += "printf '%s\\n' " + Quote(answer);
  std::string program = "env";
  for (const std::string& entry : d.Environment()) program += " " + Quote(entry);
  program += " timeout 170 " + Quote(KESTRANE_BIN);
  for (const std::string& arg : args) program += " " + Quote(arg);
  const std::string line = ": >" + Quote(out) + "; (" + user + ") | " + program + " >" + Quote(out) +
                           " 2>&1; status=$?; cat " + Quote(out) + "; exit $status";
  ProgramOptions options;
  options.timeoutSeconds = 200;
  ProgramResult r = RunProgram("/bin/sh", {"-c", line}, options);
  EXPECT_FALSE(r.timedOut) << r.out;
  return r;
}

// Two drives, and the destination check asks for a disc: the user puts it in and answers Ok, and the copy starts
// again from reading the source's layout, so that a source changed at the same time is the one copied.
TEST(DriveCasesCli, TwoDriveCopyReadsTheSourceAgainAfterADiscChange) {
  Drives d("copy_swap");
  const std::string first = MakeGenisoimageIso(d.folder);
  IsoFixture larger;
  larger.name = "larger.iso";
  larger.bigBytes = 3 * 1024 * 1024;
  larger.readme = "the disc put in at the prompt\n";
  const std::string second = MakeGenisoimageIso(d.folder, larger);
  d.Tool({"press", d.folder + "/first", "dvd-rom", first});
  d.Tool({"press", d.folder + "/second", "dvd-rom", second});
  for (bool changeSource : {false, true}) {
    SCOPED_TRACE(changeSource ? "the source changed too" : "the destination put in");
    const int drive = changeSource ? 2 : 0;
    const std::string source = std::to_string(drive), target = std::to_string(drive + 1);
    const std::string blank = d.folder + "/blank" + target;
    d.Tool({"make-disc", blank, "dvd+r", "blank"});
    d.Tool({"create-drive", source});
    d.Tool({"insert", source, d.folder + "/first"});
    d.Tool({"create-drive", target});
    std::vector<std::vector<std::string>> swaps = {{"insert", target, blank}};
    if (changeSource) swaps.push_back({"insert", source, d.folder + "/second"});
    ProgramResult r = RunWithUser(d, {"copy-disc", "/dev/sg" + source, "/dev/sg" + target, "-verify"},
                                  "Please insert the destination disc.", swaps, "Ok");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "Verifying media completed successfully.")) << r.out;
    ExpectCopyOf(d, drive + 1, ReadFileBytes(changeSource ? second : first));
  }
  // An audio CD with a DVD+RW in the destination drive: the user puts a CD-R in its place.
  const std::string audio = Samples(300, 7);
  WriteFileBytes(d.folder + "/audio.bin", audio);
  WriteFileBytes(d.folder + "/audio.cue", "FILE \"audio.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
  d.Tool({"press", d.folder + "/audio", "cd-rom", d.folder + "/audio.bin", "--cue", d.folder + "/audio.cue"});
  d.Tool({"make-disc", d.folder + "/blank-cd", "cd-r", "blank"});
  d.Tool({"create-drive", "6"});
  d.Tool({"insert", "6", d.folder + "/audio"});
  d.Drive(7, "dvd+rw", "blank");
  ProgramResult cd = RunWithUser(d, {"copy-disc", "/dev/sg6", "/dev/sg7", "-verify"},
                                 "Please insert a blank or rewritable CD in /dev/sg7.",
                                 {{"insert", "7", d.folder + "/blank-cd"}}, "Ok");
  ASSERT_EQ(cd.status, 0) << cd.out;
  EXPECT_TRUE(Has(cd.out, "Verifying media completed successfully.")) << cd.out;
  d.DumpRaw(7, nullptr);
  EXPECT_TRUE(d.dumped == audio) << "the copy's samples differ from the source's";

  // Nobody answers: the input ends, or -y answers Ok while the drive stays empty. The copy ends after asking
  // once (twice with -y) and writes nothing.
  d.Tool({"create-drive", "4"});
  d.Tool({"insert", "4", d.folder + "/first"});
  d.Tool({"create-drive", "5"});
  for (bool yes : {false, true}) {
    SCOPED_TRACE(yes ? "-y" : "end of input");
    std::vector<std::string> args = {"copy-disc", "/dev/sg4", "/dev/sg5"};
    if (yes) args.push_back("-y");
    ProgramResult unanswered = d.Run(args, "", 60);
    EXPECT_EQ(unanswered.status, 1) << unanswered.out;
    const std::string prompt = "Please insert the destination disc.(Ok/Cancel): ";
    int asked = 0;
    for (size_t at = unanswered.out.find(prompt); at != std::string::npos; at = unanswered.out.find(prompt, at + 1))
      ++asked;
    EXPECT_EQ(asked, yes ? 2 : 1) << unanswered.out;
    EXPECT_FALSE(d.SentAnyWrite(5));
  }
}

}  // namespace
