#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "formats/cdtext.h"
#include "formats/cue_reader.h"
#include "image/tracktable.h"
#include "runtime/memory.h"
#include "support/run_program.h"

namespace {

struct TableDeleter {
  void operator()(CTrackTable* t) const { TrackTableFree(t); }
};
using TablePtr = std::unique_ptr<CTrackTable, TableDeleter>;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A data file of `bytes` zero bytes (sparse: only its size matters to the layouts).
void MakeDataFile(const std::string& path, int64_t bytes) {
  WriteText(path, "");
  ASSERT_EQ(truncate(path.c_str(), bytes), 0) << path;
}

// A WAVE file whose "data" chunk, of `samples` bytes, follows a "fmt " and a "LIST" chunk: returns where the
// samples begin.
int64_t MakeWaveFile(const std::string& path, uint32_t samples) {
  auto le32 = [](uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  std::string head = "RIFF" + le32(4 + 24 + 12 + 8 + samples) + "WAVE";
  head += "fmt " + le32(16) + std::string("\x01\x00\x02\x00\x44\xac\x00\x00\x10\xb1\x02\x00\x04\x00\x10\x00", 16);
  head += "LIST" + le32(4) + "INFO";
  head += "data" + le32(samples);
  std::ofstream(path, std::ios::binary) << head << std::string(samples, '\0');
  return static_cast<int64_t>(head.size());
}

TablePtr Parse(const std::string& path) { return TablePtr(CueParseFile(Wide(path).c_str())); }

const CCdTextRecord* Record(const CTrackTable* table, int32_t index) { return CdTextGetTrackRecord(table, index); }

std::wstring Text(const CCdTextRecord* record, uint8_t packType) {
  const wchar_t* text = CdTextGetText(record, packType - kCdTextPackTitle);
  return text ? text : L"";
}

// What `cdrdao show-toc` says about one track.
struct TocTrack {
  std::string mode;
  int64_t start = -1, end = -1, pregap = 0;
  std::map<int, int64_t> indexes;  // 2..99
  bool copy = false, preEmphasis = false, fourChannels = false;
  std::string isrc;
};
struct Toc {
  std::string catalog;
  std::vector<TocTrack> tracks;
};

Toc ShowToc(const std::string& sheet) {
  ProgramOptions options;
  options.workDir = std::filesystem::path(sheet).parent_path().string();  // cdrdao finds the files from there
  const ProgramResult run = RunProgram("/usr/bin/cdrdao", {"show-toc", sheet}, options);
  Toc toc;
  EXPECT_EQ(run.status, 0) << run.out;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first == "TRACK" && line.find("Mode ") != std::string::npos) {
      toc.tracks.push_back({});
      std::string mode = line.substr(line.find("Mode ") + 5);
      toc.tracks.back().mode = mode.substr(0, mode.find(':'));
    } else if (line.rfind("CATALOG NUMBER: ", 0) == 0) {
      toc.catalog = line.substr(16);
    } else if (!toc.tracks.empty()) {
      TocTrack& t = toc.tracks.back();
      // Positions read "WHAT [n] mm:ss:ff(  sectors)".
      const size_t open = line.find('(');
      const int64_t at = open != std::string::npos ? std::stoll(line.substr(open + 1)) : -1;
      if (first == "PREGAP") {
        t.pregap = at;
      } else if (first == "START") {
        t.start = at;
      } else if (first == "END" || first == "END*") {
        t.end = at;
      } else if (first == "INDEX") {
        int number = 0;
        words >> number;
        t.indexes[number] = at;
      } else if (first == "ISRC") {
        for (char c : line.substr(line.find("ISRC ") + 5))
          if (c != ' ') t.isrc += c;
      } else if (line.find("COPY PERMITTED") != std::string::npos && line.find("NOT") == std::string::npos) {
        t.copy = true;
      } else if (line.find("PRE-EMPHASIS") != std::string::npos && line.find("NO ") == std::string::npos) {
        t.preEmphasis = true;
      } else if (line.find("FOUR CHANNEL") != std::string::npos) {
        t.fourChannels = true;
      }
    }
  }
  return toc;
}

std::string ModeName(uint8_t mode) {
  switch (mode) {
    case 1: return "AUDIO";
    case 2: return "MODE1";
    case 3: return "MODE1_RAW";
    case 8: return "MODE2_RAW";
    default: return "?";
  }
}

struct DataFile {
  std::string name;
  int64_t bytes;
  bool wave = false;
};

struct LayoutCase {
  const char* name;
  std::vector<DataFile> files;
  std::string sheet;
  std::vector<int32_t> sessions;  // each track's session; empty: all 0
};

const std::vector<LayoutCase>& LayoutCases() {
  static const std::vector<LayoutCase> cases = {
      {"mixed",
       {{"a.bin", 2352 * 1000}, {"b.bin", 2352 * 600}, {"c.bin", 2352 * 700}},
       "CATALOG 1234567890123\n"
       "PERFORMER \"Disc Performer\"\n"
       "TITLE \"Disc Title\"\n"
       "FILE \"a.bin\" BINARY\n"
       "  TRACK 01 MODE1/2352\n"
       "    INDEX 01 00:00:00\n"
       "  TRACK 02 AUDIO\n"
       "    TITLE \"Second\"\n"
       "    PERFORMER \"Someone\"\n"
       "    ISRC USABC1234567\n"
       "    FLAGS DCP PRE\n"
       "    INDEX 00 00:04:00\n"
       "    INDEX 01 00:06:00\n"
       "  TRACK 03 AUDIO\n"
       "    FLAGS 4CH\n"
       "    PREGAP 00:02:00\n"
       "    INDEX 01 00:09:00\n"
       "    POSTGAP 00:01:00\n"
       "FILE \"b.bin\" BINARY\n"
       "  TRACK 04 AUDIO\n"
       "    INDEX 00 00:00:00\n"
       "    INDEX 01 00:01:00\n"
       "  TRACK 05 AUDIO\n"
       "    INDEX 00 00:05:00\n"
       "    INDEX 01 00:07:00\n"
       "FILE \"c.bin\" BINARY\n"
       "  TRACK 06 AUDIO\n"
       "    INDEX 01 00:00:00\n"
       "    INDEX 02 00:02:00\n"
       "    INDEX 03 00:03:10\n",
       {}},
      {"sessions",
       {{"s.bin", 2352 * 2000}},
       "REM SESSION 01\n"
       "FILE \"s.bin\" BINARY\n"
       "  TRACK 01 AUDIO\n"
       "    INDEX 01 00:00:00\n"
       "  TRACK 02 AUDIO\n"
       "    INDEX 01 00:06:00\n"
       "REM SESSION 02\n"
       "  TRACK 03 MODE1/2352\n"
       "    INDEX 01 00:12:00\n",
       {0, 0, 1}},
      {"wave",
       {{"d.bin", 2352 * 1000}, {"w.wav", 2352 * 300 + 100, true}},
       "FILE \"d.bin\" BINARY\n"
       "  TRACK 01 MODE2/2352\n"
       "    INDEX 01 00:00:00\n"
       "  TRACK 02 AUDIO\n"
       "    INDEX 01 00:06:00\n"
       "FILE \"w.wav\" WAVE\n"
       "  TRACK 03 AUDIO\n"
       "    INDEX 00 00:00:00\n"
       "    INDEX 01 00:01:00\n",
       {}},
      {"cooked_partial_sector",
       {{"cooked.bin", 2352 * 1000}},
       "FILE \"cooked.bin\" BINARY\n"
       "  TRACK 01 MODE1/2048\n"
       "    INDEX 01 00:00:00\n",
       {}},
      {"lower_case_tabs_crlf_spaces",
       {{"my disc.bin", 2352 * 1000}},
       "file \"my disc.bin\" binary\r\n"
       "\ttrack 01 audio\r\n"
       "\t\tindex 01 00:00:00\r\n"
       "\ttrack 02 mode1/2352\r\n"
       "\t\tindex 00 00:05:00\r\n"
       "\t\tindex 01 00:07:00\r\n",
       {}},
  };
  return cases;
}

// Track starts, lengths, gaps, indexes, flags and codes agree with what cdrdao reads from the same sheet.
TEST(CueReader, LayoutAgreesWithCdrdao) {
  for (const LayoutCase& c : LayoutCases()) {
    SCOPED_TRACE(c.name);
    const std::string dir = MakeTestFolder(std::string("cue_layout_") + c.name);
    for (const DataFile& f : c.files) {
      if (f.wave)
        MakeWaveFile(dir + "/" + f.name, static_cast<uint32_t>(f.bytes));
      else
        MakeDataFile(dir + "/" + f.name, f.bytes);
    }
    const std::string sheet = dir + "/disc.cue";
    WriteText(sheet, c.sheet);
    TablePtr table = Parse(sheet);
    ASSERT_TRUE(table);
    EXPECT_TRUE(TrackLayoutIsValid(table.get(), nullptr));
    const Toc toc = ShowToc(sheet);
    ASSERT_EQ(static_cast<size_t>(table->trackCount), toc.tracks.size());
    const CCdTextRecord* disc = table->discCdText;
    EXPECT_EQ(Text(disc, kCdTextPackUpcIsrc), Wide(toc.catalog));
    for (int32_t i = 0; i < table->trackCount; ++i) {
      SCOPED_TRACE("track " + std::to_string(i + 1));
      const CTrackInfo& t = table->tracks[i];
      const TocTrack& expect = toc.tracks[static_cast<size_t>(i)];
      EXPECT_EQ(ModeName(t.mode), expect.mode);
      EXPECT_EQ(t.start, expect.start);
      EXPECT_EQ(t.pregap, expect.pregap);
      EXPECT_EQ(int64_t{t.start} + t.length + t.postgap, expect.end);
      const CCdTextRecord* record = Record(table.get(), i);
      ASSERT_NE(record, nullptr);
      std::map<int, int64_t> indexes;
      for (int n = 2; n <= record->indexCount; ++n) indexes[n] = t.start + record->index[n];
      EXPECT_EQ(indexes, expect.indexes);
      if (t.mode == kTrackModeAudio) {
        EXPECT_EQ((record->flags & kCdTextFlagDcp) != 0, expect.copy);
        EXPECT_EQ((record->flags & kCdTextFlagPre) != 0, expect.preEmphasis);
        EXPECT_EQ((record->flags & kCdTextFlag4Ch) != 0, expect.fourChannels);
        EXPECT_EQ(Text(record, kCdTextPackUpcIsrc), Wide(expect.isrc));
      }
      const int32_t session = c.sessions.empty() ? 0 : c.sessions[static_cast<size_t>(i)];
      EXPECT_EQ(t.session, session);
    }
    EXPECT_EQ(table->sessionCount, c.sessions.empty() ? 0 : c.sessions.back() + 1);
  }
}

// Where each track's sectors lie in which file: INDEX 00 gaps inside a file are the stored part of the pregap
// and come just before the track's data; PREGAP and POSTGAP are not stored; a WAVE file's sectors begin at its
// samples; tracks outside the image data file hold their own stream.
TEST(CueReader, TrackDataInItsFiles) {
  const std::string dir = MakeTestFolder("cue_track_data");
  MakeDataFile(dir + "/a.bin", 2352 * 1000);
  MakeDataFile(dir + "/A.BIN", 2352 * 200);
  const int64_t samples = MakeWaveFile(dir + "/w.wav", 2352 * 300 + 100);
  WriteText(dir + "/disc.cue",
            "FILE \"a.bin\" BINARY\n"
            "  TRACK 01 AUDIO\n"
            "    INDEX 01 00:00:00\n"
            "  TRACK 02 AUDIO\n"
            "    INDEX 00 00:04:00\n"
            "    INDEX 01 00:06:00\n"
            "  TRACK 03 AUDIO\n"
            "    PREGAP 00:01:00\n"
            "    INDEX 01 00:09:00\n"
            "    POSTGAP 00:00:50\n"
            "FILE \"" + dir + "/A.BIN\" BINARY\n"   // an absolute name; differs from a.bin in case only
            "  TRACK 04 AUDIO\n"
            "    INDEX 01 00:00:00\n"
            "FILE \"w.wav\" WAVE\n"
            "  TRACK 05 AUDIO\n"
            "    INDEX 00 00:00:00\n"
            "    INDEX 01 00:01:00\n");
  TablePtr table = Parse(dir + "/disc.cue");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->dataFileName, CWideString(Wide(dir + "/a.bin").c_str()));
  EXPECT_EQ(table->sectorSizeMode, 2352);
  struct Expect {
    const char* file;
    bool ownStream;
    int32_t start, pregap, pregapStored, length, postgap;
    int64_t dataOffset, dataEnd;
  };
  const Expect expect[] = {
      {"/a.bin", false, 0, 0, 0, 300, 0, 0, 2352 * 300},
      {"/a.bin", false, 450, 150, 150, 225, 0, 2352 * 450, 2352 * 675},
      {"/a.bin", false, 750, 75, 0, 325, 50, 2352 * 675, 2352 * 1000},
      {"/A.BIN", true, 1125, 0, 0, 200, 0, 0, 2352 * 200},
      {"/w.wav", true, 1400, 75, 75, 226, 0, samples + 2352 * 75, samples + 2352 * 300 + 100},
  };
  ASSERT_EQ(table->trackCount, 5);
  for (int32_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i + 1);
    const CTrackInfo& t = table->tracks[i];
    const Expect& e = expect[i];
    EXPECT_EQ(t.fileName, CWideString(Wide(dir + e.file).c_str()));
    EXPECT_EQ(t.file != nullptr, e.ownStream);
    EXPECT_EQ(t.start, e.start);
    EXPECT_EQ(t.pregap, e.pregap);
    EXPECT_EQ(t.pregapStored, e.pregapStored);
    EXPECT_EQ(t.length, e.length);
    EXPECT_EQ(t.postgap, e.postgap);
    EXPECT_EQ(t.postgapStored, 0);
    EXPECT_EQ(t.dataOffset, e.dataOffset);
    EXPECT_EQ(t.dataEnd, e.dataEnd);
    EXPECT_EQ(t.sectorSize, 2352);
  }
  EXPECT_EQ(Record(table.get(), 1)->index[0], -150);
  EXPECT_EQ(table->tracks[4].cueFileBase, samples);
}

// CD-TEXT fields of the sheet agree with what cueprint reads from it.
TEST(CueReader, TextsAgreeWithCueprint) {
  const std::string dir = MakeTestFolder("cue_texts");
  MakeDataFile(dir + "/a.bin", 2352 * 1000);
  WriteText(dir + "/disc.cue",
            "PERFORMER \"Disc Performer\"\n"
            "SONGWRITER \"Disc Songwriter\"\n"
            "COMPOSER Composer\n"
            "TITLE \"Disc: the title\"\n"
            "FILE \"a.bin\" BINARY\n"
            "  TRACK 01 AUDIO\n"
            "    TITLE \"One, with  spaces\"\n"
            "    PERFORMER \"P1\"\n"
            "    SONGWRITER \"S1\"\n"
            "    COMPOSER \"C1\"\n"
            "    ISRC GBAYE6800011\n"
            "    INDEX 01 00:00:00\n"
            "  TRACK 02 AUDIO\n"
            "    TITLE \"Two\"\n"
            "    ISRC USAB12345678\n"
            "    INDEX 01 00:06:00\n"
            "  TRACK 03 AUDIO\n"
            "    INDEX 01 00:09:00\n");
  TablePtr table = Parse(dir + "/disc.cue");
  ASSERT_TRUE(table);
  const ProgramResult run = RunProgram(
      "/usr/bin/cueprint", {"-d", "%P|%T|%S|%C\\n", "-t", "%p|%t|%s|%c|%i\\n", dir + "/disc.cue"});
  ASSERT_EQ(run.status, 0) << run.out;
  std::istringstream lines(run.out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  ASSERT_EQ(got.size(), 4u) << run.out;
  auto join = [](const CCdTextRecord* r, bool track) {
    std::wstring s = Text(r, kCdTextPackPerformer) + L"|" + Text(r, kCdTextPackTitle) + L"|" +
                     Text(r, kCdTextPackSongwriter) + L"|" + Text(r, kCdTextPackComposer);
    if (track) s += L"|" + Text(r, kCdTextPackUpcIsrc);
    return s;
  };
  EXPECT_EQ(join(table->discCdText, false), Wide(got[0]));
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(join(Record(table.get(), i), true), Wide(got[1 + i])) << i;
  // The packs are built from the multibyte copies, made as the sheet is read.
  EXPECT_EQ(Record(table.get(), 0)->multiByteTexts[0], "One, with  spaces");
}

// A CD-TEXT pack file named by the sheet is loaded and split into the texts of the disc and the tracks; a pack
// file that cannot be repaired fails the sheet.
TEST(CueReader, CdTextFile) {
  const std::string dir = MakeTestFolder("cue_cdtextfile");
  MakeDataFile(dir + "/a.bin", 2352 * 1000);
  // One title pack: "Album" for the disc, then "Song" for track 1.
  uint8_t pack[18] = {0x80, 0, 0, 0, 'A', 'l', 'b', 'u', 'm', 0, 'S', 'o', 'n', 'g', 0, 0};
  CdTextSetPackCrc(pack, sizeof pack);
  const std::string packs(reinterpret_cast<char*>(pack), sizeof pack);
  WriteText(dir + "/good.cdt", packs);
  std::string bad = packs;
  bad[5] ^= 0x03;  // two bits: beyond the single-bit repair
  WriteText(dir + "/bad.cdt", bad);
  const std::string body = "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
  WriteText(dir + "/good.cue", "CDTEXTFILE \"good.cdt\"\n" + body);
  WriteText(dir + "/bad.cue", "CDTEXTFILE \"bad.cdt\"\n" + body);
  TablePtr table = Parse(dir + "/good.cue");
  ASSERT_TRUE(table);
  EXPECT_EQ(Text(table->discCdText, kCdTextPackTitle), L"Album");
  EXPECT_EQ(Text(Record(table.get(), 0), kCdTextPackTitle), L"Song");
  EXPECT_FALSE(Parse(dir + "/bad.cue"));
}

// Sheets that are read, with the system's leniencies.
TEST(CueReader, AcceptedSheets) {
  const std::string dir = MakeTestFolder("cue_accepted");
  MakeDataFile(dir + "/a.bin", 2352 * 1000);
  MakeDataFile(dir + "/c.bin", 2048 * 500);
  const std::string title81(81, 'x');
  struct Case {
    const char* name;
    std::string sheet;
    std::function<void(const CTrackTable&)> check;
  };
  const Case cases[] = {
      {"frames of 75 or more read as 0",
       "FILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 01 00:02:75\n",
       [](const CTrackTable& t) { EXPECT_EQ(t.tracks[1].start, 150); }},
      {"invalid ISRC skipped, title cut to 80, REM and unknown words ignored",
       "REM a comment\nFILE a.bin BINARY\n TRACK 01 AUDIO\n  ISRC nonsense\n  TITLE \"" + title81 +
           "\"\n  ARRANGER nobody\n  INDEX 01 00:00:00\n",
       [](const CTrackTable& t) {
         const CCdTextRecord* r = CdTextGetTrackRecord(&t, 0);
         EXPECT_EQ(Text(r, kCdTextPackUpcIsrc), L"");
         EXPECT_EQ(Text(r, kCdTextPackTitle), std::wstring(80, L'x'));
       }},
      {"INDEX 00 too close to the previous INDEX 01 is ignored",
       "FILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 00 00:01:00\n"
       "  INDEX 01 00:06:00\n",
       [](const CTrackTable& t) {
         EXPECT_EQ(t.tracks[1].pregap, 0);
         EXPECT_EQ(t.tracks[0].length, 450);
       }},
      {"PREGAP and INDEX 00 add up; the ISRC is kept without dashes",
       "FILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  ISRC US-AB1-23-45678\n"
       "  PREGAP 00:01:00\n  INDEX 00 00:04:00\n  INDEX 01 00:06:00\n",
       [](const CTrackTable& t) {
         EXPECT_EQ(t.tracks[0].length, 300);
         EXPECT_EQ(t.tracks[1].pregap, 225);
         EXPECT_EQ(t.tracks[1].pregapStored, 150);
         EXPECT_EQ(t.tracks[1].start, 525);
         EXPECT_EQ(Text(CdTextGetTrackRecord(&t, 1), kCdTextPackUpcIsrc), L"USAB12345678");
       }},
      {"gap lines outside their place ignored",
       "PREGAP 00:02:00\nFILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n  PREGAP 00:02:00\n",
       [](const CTrackTable& t) { EXPECT_EQ(t.tracks[0].pregap, 0); }},
      {"first track with an INDEX 00 starts after its pregap",
       "FILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 00 00:00:00\n  INDEX 01 00:02:00\n",
       [](const CTrackTable& t) {
         EXPECT_EQ(t.tracks[0].start, 150);
         EXPECT_EQ(t.tracks[0].pregapStored, 150);
         EXPECT_EQ(t.tracks[0].length, 850);
       }},
      {"2048-byte sectors keep the disc's sector size at 2048",
       "FILE c.bin BINARY\n TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n",
       [](const CTrackTable& t) {
         EXPECT_EQ(t.sectorSizeMode, 2048);
         EXPECT_EQ(t.tracks[0].length, 500);
         EXPECT_EQ(t.tracks[0].mode, 2);
       }},
      {"2336-byte Mode 2 sectors",
       "FILE a.bin BINARY\n TRACK 01 MODE2/2336\n  INDEX 01 00:00:00\n",
       [](const CTrackTable& t) {
         EXPECT_EQ(t.tracks[0].mode, 4);
         EXPECT_EQ(t.tracks[0].length, (2352 * 1000 + 2335) / 2336);
         EXPECT_EQ(t.sectorSizeMode, 2352);
       }},
      {"an INDEX 01 past the end of its file",
       "FILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n TRACK 02 AUDIO\n  INDEX 01 20:00:00\n",
       [](const CTrackTable& t) { EXPECT_EQ(t.tracks[1].length, 320); }},
      {"sessions counted only in order",
       "REM SESSION 02\nFILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n",
       [](const CTrackTable& t) { EXPECT_EQ(t.sessionCount, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(dir + "/s.cue", c.sheet);
    TablePtr table = Parse(dir + "/s.cue");
    ASSERT_TRUE(table);
    c.check(*table);
  }
}

// 99 tracks make a sheet; a hundredth does not.
TEST(CueReader, TrackCountCappedAt99) {
  const std::string dir = MakeTestFolder("cue_99");
  MakeDataFile(dir + "/a.bin", 2352 * 100 * 300);
  std::string sheet = "FILE a.bin BINARY\n";
  char line[80];
  for (int n = 1; n <= 100; ++n) {
    std::snprintf(line, sizeof line, " TRACK %02d AUDIO\n  INDEX 01 %02d:%02d:00\n", n, (n - 1) * 4 / 60,
                  (n - 1) * 4 % 60);
    sheet += line;
    if (n == 99) WriteText(dir + "/99.cue", sheet);
  }
  WriteText(dir + "/100.cue", sheet);
  TablePtr table = Parse(dir + "/99.cue");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->trackCount, 99);
  EXPECT_EQ(table->tracks[98].start, 98 * 300);
  EXPECT_FALSE(Parse(dir + "/100.cue"));
}

// Sheets that fail as a whole.
TEST(CueReader, RefusedSheets) {
  const std::string dir = MakeTestFolder("cue_refused");
  MakeDataFile(dir + "/a.bin", 2352 * 1000);
  MakeDataFile(dir + "/tiny.bin", 2047);
  MakeWaveFile(dir + "/w.wav", 2352 * 10);
  MakeDataFile(dir + "/not_a_wave.wav", 2352 * 10);
  std::filesystem::create_directory(dir + "/folder.bin");
  ASSERT_EQ(mkfifo((dir + "/pipe.bin").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir + "/pipe.cdt").c_str(), 0600), 0);
  const std::string head = "FILE a.bin BINARY\n TRACK 01 AUDIO\n";
  const std::string one = head + "  INDEX 01 00:00:00\n";
  struct Case {
    const char* name;
    std::string sheet;
  };
  const Case cases[] = {
      {"TRACK 101", "FILE a.bin BINARY\n TRACK 101 AUDIO\n  INDEX 01 00:00:00\n"},
      {"TRACK 02 before 01", "FILE a.bin BINARY\n TRACK 02 AUDIO\n  INDEX 01 00:00:00\n"},
      {"TRACK 01 twice", one + " TRACK 01 AUDIO\n  INDEX 01 00:06:00\n"},
      {"60 seconds", head + "  INDEX 01 00:60:00\n"},
      {"time without frames", head + "  INDEX 01 00:02\n"},
      {"time without colons", head + "  INDEX 01 00 02 00\n"},
      {"negative minutes", head + "  INDEX 01 -1:00:00\n"},
      {"minutes beyond any disc", head + "  INDEX 01 99999999:00:00\n"},
      {"missing file", "FILE nothing.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"file shorter than a sector", "FILE tiny.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"a folder as file", "FILE folder.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"a pipe as file", "FILE pipe.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"a pipe as CD-TEXT file", "CDTEXTFILE pipe.cdt\n" + one},
      {"FILE without type", "FILE a.bin\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"unknown file type", "FILE a.bin ISO\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"WAVE as first FILE", "FILE w.wav WAVE\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"WAVE without a data chunk", one + "FILE not_a_wave.wav WAVE\n TRACK 02 AUDIO\n  INDEX 01 00:00:00\n"},
      {"AIFF", one + "FILE w.wav AIFF\n TRACK 02 AUDIO\n  INDEX 01 00:00:00\n"},
      {"MP3", one + "FILE w.wav MP3\n TRACK 02 AUDIO\n  INDEX 01 00:00:00\n"},
      {"FLAGS with an unknown word", head + "  FLAGS DCP LOUD\n  INDEX 01 00:00:00\n"},
      {"TITLE between FILE and TRACK", "FILE a.bin BINARY\n TITLE x\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"TITLE after INDEX", one + "  TITLE x\n"},
      {"last track without INDEX 01", one + " TRACK 02 AUDIO\n  INDEX 00 00:06:00\n"},
      {"no track", "FILE a.bin BINARY\n"},
      {"TRACK without FILE and INDEX", "TRACK 01 AUDIO\n"},
      {"empty sheet", ""},
      {"only blanks", " \r\n\t\n"},
      {"unknown mode", "FILE a.bin BINARY\n TRACK 01 MODE3/2352\n  INDEX 01 00:00:00\n"},
      {"sector sizes differ in one file", one + " TRACK 02 MODE1/2048\n  INDEX 01 00:06:00\n"},
      {"INDEX 02 first", head + "  INDEX 02 00:00:00\n"},
      {"INDEX 00 twice", one + " TRACK 02 AUDIO\n  INDEX 00 00:06:00\n  INDEX 00 00:07:00\n  INDEX 01 00:08:00\n"},
      {"index numbers skip", one + "  INDEX 03 00:01:00\n"},
      {"INDEX 100", one + "  INDEX 100 00:01:00\n"},
      {"times going back", one + " TRACK 02 AUDIO\n  INDEX 01 00:00:00\n"},
      {"text after INDEX", head + "  INDEX 01 00:00:00 extra\n"},
      {"text after TRACK", "FILE a.bin BINARY\n TRACK 01 AUDIO extra\n  INDEX 01 00:00:00\n"},
      {"FILE twice without a track", "FILE a.bin BINARY\nFILE a.bin BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n"},
      {"CATALOG after FILE", one + "CATALOG 1234567890123\n"},
      {"missing CDTEXTFILE", "CDTEXTFILE none.cdt\n" + one},
  };
  for (const Case& c : cases) {
    WriteText(dir + "/s.cue", c.sheet);
    EXPECT_FALSE(Parse(dir + "/s.cue")) << c.name;
  }
  EXPECT_FALSE(Parse(dir + "/none.cue"));
  WriteText(dir + "/big.cue", one + std::string(kCueMaxSheetBytes, '\n'));
  EXPECT_FALSE(Parse(dir + "/big.cue"));
}

// Text in the locale's multibyte form is read wide; text that is not valid in it fails the sheet.
TEST(CueReader, MultiByteText) {
  const char* saved = std::setlocale(LC_CTYPE, nullptr);
  const std::string restore = saved ? saved : "C";
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  const std::string dir = MakeTestFolder("cue_multibyte");
  MakeDataFile(dir + "/d\xc3\xa9j\xc3\xa0.bin", 2352 * 1000);
  WriteText(dir + "/good.cue",
            "FILE \"d\xc3\xa9j\xc3\xa0.bin\" BINARY\n TRACK 01 AUDIO\n  TITLE \"Caf\xc3\xa9\"\n"
            "  INDEX 01 00:00:00\n");
  WriteText(dir + "/bad.cue", "TITLE \"Caf\xe9\"\nFILE \"d\xc3\xa9j\xc3\xa0.bin\" BINARY\n TRACK 01 AUDIO\n"
                              "  INDEX 01 00:00:00\n");
  TablePtr good = Parse(dir + "/good.cue");
  TablePtr bad = Parse(dir + "/bad.cue");
  std::setlocale(LC_CTYPE, restore.c_str());
  ASSERT_TRUE(good);
  EXPECT_EQ(Text(Record(good.get(), 0), kCdTextPackTitle), L"Caf\u00e9");
  EXPECT_EQ(good->tracks[0].fileName, CWideString((Wide(dir) + L"/d\u00e9j\u00e0.bin").c_str()));
  EXPECT_FALSE(bad);
}

TEST(CueReader, LinesAndTokens) {
  const std::wstring text = L"  FILE \"a b.bin\" BINARY \t\r\n\n\tINDEX 01 00:02:03\r" + std::wstring(3000, L'y');
  wchar_t line[kCueLineChars];
  wchar_t token[kCueLineChars];
  int32_t at = 0;
  const auto length = static_cast<int32_t>(text.size());
  ASSERT_EQ(CueReadLine(text.c_str(), length, &at, line), 21);
  EXPECT_STREQ(line, L"FILE \"a b.bin\" BINARY");
  int32_t pos = 0;
  std::vector<std::wstring> tokens;
  while (CueNextToken(line, &pos, token, 0) > 0) tokens.push_back(token);
  EXPECT_EQ(tokens, (std::vector<std::wstring>{L"FILE", L"a b.bin", L"BINARY"}));
  ASSERT_EQ(CueReadLine(text.c_str(), length, &at, line), 17);
  pos = 6;
  int32_t frames = 0;
  CueNextToken(line, &pos, token, 0);
  ASSERT_TRUE(CueParseTime(line, &pos, &frames));
  EXPECT_EQ(frames, 2 * 75 + 3);
  // A line longer than a line may be is cut, and its rest is the next line.
  EXPECT_EQ(CueReadLine(text.c_str(), length, &at, line), kCueLineChars - 1);
  EXPECT_EQ(CueReadLine(text.c_str(), length, &at, line), 3000 - (kCueLineChars - 1));
  EXPECT_EQ(CueReadLine(text.c_str(), length, &at, line), 0);

  // An unterminated quote runs to the end of the line; colon mode splits times.
  const wchar_t* quoted = L"TITLE \"open ended  ";
  pos = 5;
  EXPECT_EQ(CueNextToken(quoted, &pos, token, 0), 10);
  EXPECT_STREQ(token, L"open ended");
  EXPECT_EQ(CueNextToken(quoted, &pos, token, 0), 0);
  const wchar_t* time = L"12:34:56";
  pos = 0;
  tokens.clear();
  while (CueNextToken(time, &pos, token, 1) > 0) tokens.push_back(token);
  EXPECT_EQ(tokens, (std::vector<std::wstring>{L"12", L":", L"34", L":", L"56"}));
}

TEST(CueReader, ResolvePathAndReplaceExtension) {
  TablePtr table(TrackTableAlloc());
  struct Case {
    const wchar_t* sheet;
    const wchar_t* name;
    const wchar_t* expect;  // null: refused
  };
  const std::wstring longest(kCuePathChars - 4, L'n');  // "/d/" + this: the longest path there may be
  const std::wstring longestPath = L"/d/" + longest;
  const std::wstring tooLong(kCuePathChars - 3, L'n');
  const Case cases[] = {
      {L"/d/disc.cue", L"a.bin", L"/d/a.bin"},
      {L"/d/disc.cue", L"sub/a.bin", L"/d/sub/a.bin"},
      {L"/d/disc.cue", L"*.bin", L"/d/disc.bin"},
      {L"/d/disc.cue", L"/abs/a.bin", L"/abs/a.bin"},
      {L"disc.cue", L"a.bin", L"a.bin"},
      {L"/d/disc.cue", L"", nullptr},
      {L"/d/disc.cue", longest.c_str(), longestPath.c_str()},
      {L"/d/disc.cue", tooLong.c_str(), nullptr},
  };
  for (const Case& c : cases) {
    table->cueSheetPath = c.sheet;
    wchar_t out[kCuePathChars];
    const int ok = CueResolvePath(table.get(), c.name, out);
    EXPECT_EQ(ok, c.expect != nullptr) << c.name;
    if (ok && c.expect) {
      EXPECT_STREQ(out, c.expect);
    }
  }
  // Without a target the name becomes the table's image data file.
  table->cueSheetPath = L"/d/disc.cue";
  ASSERT_TRUE(CueResolvePath(table.get(), L"x.bin", nullptr));
  EXPECT_EQ(table->dataFileName, L"/d/x.bin");

  const std::pair<const wchar_t*, const wchar_t*> extensions[] = {
      {L"/d/disc.bin", L"/d/disc.cue"}, {L"/d/disc", L"/d/disccue"}, {L"/d.x/disc.tar.bin", L"/d.x/disc.tar.cue"}};
  for (const auto& [path, expect] : extensions) {
    wchar_t* replaced = CueReplaceExtension(path, L"cue");
    ASSERT_NE(replaced, nullptr);
    EXPECT_STREQ(replaced, expect);
    MemFree(replaced);
  }
}

TEST(CueReader, TrackLayoutOpen) {
  const std::string dir = MakeTestFolder("cue_layout_open");
  MakeDataFile(dir + "/disc.bin", 2352 * 1000);
  MakeDataFile(dir + "/other.bin", 2352 * 1000);
  MakeDataFile(dir + "/alone.bin", 2352 * 1000);
  WriteText(dir + "/disc.cue", "FILE \"disc.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n");
  // other.cue describes disc.bin, not other.bin.
  WriteText(dir + "/other.cue", "FILE \"disc.bin\" BINARY\n TRACK 01 MODE1/2352\n  INDEX 01 00:00:00\n");

  wchar_t* found = TrackLayoutOpenForImage(Wide(dir + "/disc.bin").c_str());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::wstring(found), Wide(dir + "/disc.cue"));
  MemFree(found);
  EXPECT_EQ(TrackLayoutOpenForImage(Wide(dir + "/other.bin").c_str()), nullptr);
  EXPECT_EQ(TrackLayoutOpenForImage(Wide(dir + "/alone.bin").c_str()), nullptr);
  EXPECT_EQ(TrackLayoutOpenForImage(Wide(dir + "/disc.iso").c_str()), nullptr);

  TablePtr table(TrackLayoutOpenByTrial(Wide(dir + "/disc.cue").c_str()));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->sessionCount, 1);
  EXPECT_EQ(table->dataFileName, CWideString(Wide(dir + "/disc.bin").c_str()));
  EXPECT_TRUE(TrackLayoutIsValid(table.get(), Wide(dir + "/disc.bin").c_str()));
  EXPECT_FALSE(TrackLayoutIsValid(table.get(), Wide(dir + "/DISC.BIN").c_str()));
  EXPECT_EQ(TrackLayoutOpenByTrial(Wide(dir + "/disc.bin").c_str()), nullptr);

  // Starts that do not ascend are no layout.
  table->tracks[1] = {};
  table->tracks[1].start = 0;
  table->trackCount = 2;
  EXPECT_FALSE(TrackLayoutIsValid(table.get(), nullptr));
  table->trackCount = 1;
  EXPECT_FALSE(TrackLayoutIsValid(nullptr, nullptr));
}

}  // namespace
