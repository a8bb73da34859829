// Audio tracks of CUE images are ripped to WAV files named from the disc's CD-TEXT: ffmpeg synthesises the tones,
// the tests write the sheets, and ffmpeg/ffprobe read the WAV files back. A mixed-mode disc gives Data and Audio.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kSector = 2352;

ProgramResult Shell(const std::string& command) { return RunProgram("/bin/sh", {"-c", command}); }

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// `seconds` of a stereo 16-bit 44.1 kHz tone, as raw samples.
std::string Tone(const std::string& folder, int frequency, int seconds) {
  const std::string path = folder + "/tone" + std::to_string(frequency) + ".raw";
  ProgramResult made =
      Shell("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i sine=frequency=" + std::to_string(frequency) +
            ":duration=" + std::to_string(seconds) + " -ac 2 -ar 44100 -f s16le -acodec pcm_s16le " + Quote(path));
  EXPECT_EQ(made.status, 0) << made.out;
  return ReadFileBytes(path);
}

// The PCM samples of a WAV file as ffmpeg decodes them.
std::string Decoded(const std::string& wav) {
  ProgramResult decoded = Shell("ffmpeg -nostdin -hide_banner -loglevel error -i " + Quote(wav) +
                                " -f s16le -acodec pcm_s16le - 2>/dev/null");
  return decoded.status == 0 ? decoded.out : std::string();
}

// ffprobe's key=value lines for the stream and the container's tags.
std::map<std::string, std::string> Probe(const std::string& wav) {
  ProgramResult probe = Shell(
      "ffprobe -v error -show_entries stream=codec_name,channels,sample_rate,bits_per_sample,"
      "duration_ts:format_tags -of default=nw=1 " +
      Quote(wav));
  std::map<std::string, std::string> values;
  size_t at = 0;
  while (at < probe.out.size()) {
    size_t end = probe.out.find('\n', at);
    if (end == std::string::npos) end = probe.out.size();
    const std::string line = probe.out.substr(at, end - at);
    if (size_t equals = line.find('='); equals != std::string::npos)
      values[line.substr(0, equals)] = line.substr(equals + 1);
    at = end + 1;
  }
  return values;
}

std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& item : fs::recursive_directory_iterator(folder))
    names.push_back(fs::relative(item.path(), folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

// album.bin/.cue: three audio tracks of 200, 230 and 180 sectors in one file; the second track's first 30 sectors
// are its stored pregap (INDEX 00), the third has a 20-sector pregap that is not stored (PREGAP). The expected
// sample bytes of each track follow the pregap rule: a track owns its pregap.
struct Album {
  std::string cue;
  std::vector<std::string> pcm;
};

Album MakeAlbum(const std::string& folder, bool cdText, const std::string& secondTitle = "Second Song") {
  const std::string tone = Tone(folder, 440, 9);
  EXPECT_GE(tone.size(), 610 * kSector);
  const std::string bin = tone.substr(0, 610 * kSector);
  WriteFileBytes(folder + "/album.bin", bin);
  std::string sheet;
  if (cdText) sheet += "PERFORMER \"The Band\"\nTITLE \"Greatest Tones\"\n";
  sheet += "FILE \"album.bin\" BINARY\n  TRACK 01 AUDIO\n";
  if (cdText) sheet += "    TITLE \"Opening\"\n    PERFORMER \"Singer One\"\n";
  sheet += "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n";
  if (cdText) sheet += "    TITLE \"" + secondTitle + "\"\n    PERFORMER \"Singer Two\"\n";
  // 200 sectors = 2 s 50 frames, 230 = 3 s 5 frames, 430 = 5 s 55 frames.
  sheet +=
      "    INDEX 00 00:02:50\n    INDEX 01 00:03:05\n  TRACK 03 AUDIO\n    PREGAP 00:00:20\n"
      "    INDEX 01 00:05:55\n";
  Album album;
  album.cue = folder + "/album.cue";
  WriteFileBytes(album.cue, sheet);
  album.pcm = {bin.substr(0, 200 * kSector), bin.substr(200 * kSector, 230 * kSector),
               std::string(20 * kSector, '\0') + bin.substr(430 * kSector)};
  return album;
}

TEST(AudioRip, TracksBecomeWavFilesNamedFromCdText) {
  const std::string folder = MakeTestFolder("audio_rip_cdtext");
  const Album album = MakeAlbum(folder, true);
  const std::string out = folder + "/out";
  ProgramResult run = RunKestrane({"extract", album.cue, "/", "-od", out});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Ripping Track #2 to " + out + "/02-Second Song.wav"), std::string::npos) << run.out;
  const std::vector<std::string> expected = {"01-Opening.wav", "02-Second Song.wav", "03-Track03.wav"};
  ASSERT_EQ(FilesBelow(out), expected);
  const char* titles[] = {"Opening", "Second Song", nullptr};
  const char* artists[] = {"Singer One", "Singer Two", nullptr};
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i]);
    const std::string wav = out + "/" + expected[i];
    EXPECT_TRUE(Decoded(wav) == album.pcm[i]) << "the samples differ from the track's sectors";
    std::map<std::string, std::string> probe = Probe(wav);
    EXPECT_EQ(probe["codec_name"], "pcm_s16le");
    EXPECT_EQ(probe["channels"], "2");
    EXPECT_EQ(probe["sample_rate"], "44100");
    EXPECT_EQ(probe["bits_per_sample"], "16");
    EXPECT_EQ(probe["duration_ts"], std::to_string(album.pcm[i].size() / 4));
    // The album title reaches every track; a track without its own texts has no title or performer.
    EXPECT_EQ(probe["TAG:album"], "Greatest Tones");
    EXPECT_EQ(probe["TAG:title"], titles[i] ? titles[i] : "");
    EXPECT_EQ(probe["TAG:artist"], artists[i] ? artists[i] : "");
    // The RIFF size covers the whole file after its first 8 bytes.
    const std::string bytes = ReadFileBytes(wav);
    ASSERT_GT(bytes.size(), 12u);
    const uint32_t riff = static_cast<uint8_t>(bytes[4]) | static_cast<uint8_t>(bytes[5]) << 8 |
                          static_cast<uint8_t>(bytes[6]) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(bytes[7])) << 24;
    EXPECT_EQ(riff, bytes.size() - 8);
  }
}

TEST(AudioRip, WithoutCdTextTracksAreNumberedAndCarryNoInfoChunk) {
  const std::string folder = MakeTestFolder("audio_rip_plain");
  const Album album = MakeAlbum(folder, false);
  const std::string out = folder + "/out";
  ProgramResult run = RunKestrane({"extract", album.cue, "/", "-od", out, "-ot", "wav"});
  ASSERT_EQ(run.status, 0) << run.out;
  ASSERT_EQ(FilesBelow(out), (std::vector<std::string>{"01-Track01.wav", "02-Track02.wav", "03-Track03.wav"}));
  for (int i = 0; i < 3; ++i) {
    const std::string bytes =
        ReadFileBytes(out + "/0" + std::to_string(i + 1) + "-Track0" + std::to_string(i + 1) + ".wav");
    ASSERT_GT(bytes.size(), 46u);
    // No LIST chunk: "fmt " with its 18-byte body, then "data" and its size, follow "WAVE".
    EXPECT_EQ(bytes.substr(12, 4), "fmt ");
    EXPECT_EQ(bytes.substr(38, 4), "data");
    EXPECT_TRUE(bytes.substr(46) == album.pcm[i]) << "the data chunk differs from the track's sectors";
  }
}

TEST(AudioRip, TitlesNeverLeaveTheOutputFolder) {
  const std::pair<std::string, std::string> cases[] = {
      {"../../escape", "02-.. .. escape.wav"},
      {"..", "02-...wav"},
      {"a/b:c*d?", "02-a b c d .wav"},
      {"/etc/passwd", "02- etc passwd.wav"},
  };
  for (const auto& [title, name] : cases) {
    SCOPED_TRACE(title);
    const std::string folder = MakeTestFolder("audio_rip_hostile");
    const Album album = MakeAlbum(folder, true, title);
    const std::string out = folder + "/out";
    ProgramResult run = RunKestrane({"extract", album.cue, "/", "-od", out});
    EXPECT_EQ(run.status, 0) << run.out;
    // Everything written lies in out, as plain files directly in it.
    const std::vector<std::string> written = FilesBelow(out);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[1], name);
    for (const std::string& name : written) {
      EXPECT_EQ(name.find('/'), std::string::npos) << name;
      EXPECT_TRUE(fs::is_regular_file(out + "/" + name)) << name;
    }
    EXPECT_EQ(FilesBelow(folder).size(), 3u + 1 + 3) << "tone, album.bin, album.cue, out and its three files";
  }
}

TEST(AudioRip, AnExistingWavIsAskedAbout) {
  const std::string folder = MakeTestFolder("audio_rip_overwrite");
  const Album album = MakeAlbum(folder, false);
  const std::string out = folder + "/out";
  const std::string first = out + "/01-Track01.wav";
  WriteFileBytes(first, "old");
  // End of input keeps the file, and the other tracks are still written.
  ProgramResult kept = RunKestrane({"extract", album.cue, "/", "-od", out});
  EXPECT_NE(kept.out.find("The file already exists. Do you want to overwrite it?"), std::string::npos) << kept.out;
  EXPECT_EQ(ReadFileBytes(first), "old");
  EXPECT_TRUE(Decoded(out + "/02-Track02.wav") == album.pcm[1]);
  // "y" replaces it, and so does -y.
  ProgramResult yes = RunKestrane({"extract", album.cue, "/", "-od", out}, {.input = "y\nn\nn\n"});
  EXPECT_TRUE(Decoded(first) == album.pcm[0]) << yes.out;
  WriteFileBytes(first, "old");
  ProgramResult forced = RunKestrane({"extract", album.cue, "/", "-od", out, "-y"});
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_TRUE(Decoded(first) == album.pcm[0]);
}

TEST(AudioRip, FormatsWithoutAnEncoderWriteNothingAndFail) {
  const std::string folder = MakeTestFolder("audio_rip_encoders");
  const Album album = MakeAlbum(folder, false);
  for (const auto& [type, name] : std::vector<std::pair<std::string, std::string>>{
           {"mp3", "MP3"}, {"flac", "FLAC"}, {"ape", "APE"}, {"wma", "WMA"}}) {
    const std::string out = folder + "/out-" + type;
    ProgramResult run = RunKestrane({"extract", album.cue, "/", "-od", out, "-ot", type});
    EXPECT_EQ(run.status, 1) << run.out;
    const std::string message = "Error opening " + name + " encoder.";
    size_t count = 0;
    for (size_t at = run.out.find(message); at != std::string::npos; at = run.out.find(message, at + 1)) ++count;
    EXPECT_EQ(count, 3u) << run.out;
    EXPECT_TRUE(FilesBelow(out).empty());
  }
}

TEST(AudioRip, MixedModeDiscGivesDataAndAudioFolders) {
  const std::string folder = MakeTestFolder("audio_rip_mixed");
  ASSERT_EQ(
      Shell("mkdir -p " + Quote(folder + "/src/docs") + " && printf hello > " + Quote(folder + "/src/docs/a.txt") +
            " && head -c 300000 /dev/urandom > " + Quote(folder + "/src/b.bin") + " && genisoimage -quiet -R -J -o " +
            Quote(folder + "/data.iso") + " " + Quote(folder + "/src"))
          .status,
      0);
  const std::string tone = Tone(folder, 660, 6);
  ASSERT_GE(tone.size(), 400 * kSector);
  const std::string audio = tone.substr(0, 400 * kSector);
  WriteFileBytes(folder + "/audio.bin", audio);
  WriteFileBytes(folder + "/mixed.cue",
                 "FILE \"data.iso\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                 "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n"
                 "  TRACK 03 AUDIO\n    INDEX 01 00:03:00\n");
  const std::string out = folder + "/out";
  ProgramResult run = RunKestrane({"extract", folder + "/mixed.cue", "/", "-od", out});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(Shell("diff -r " + Quote(folder + "/src") + " " + Quote(out + "/Data")).status, 0);
  ASSERT_EQ(FilesBelow(out + "/Audio"), (std::vector<std::string>{"02-Track02.wav", "03-Track03.wav"}));
  // Track 2 owns its 150-sector generated pregap and the first 225 sectors of the file.
  EXPECT_TRUE(Decoded(out + "/Audio/02-Track02.wav") ==
              std::string(150 * kSector, '\0') + audio.substr(0, 225 * kSector));
  EXPECT_TRUE(Decoded(out + "/Audio/03-Track03.wav") == audio.substr(225 * kSector));
}

}  // namespace
