#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "formats/cdtext.h"
#include "formats/cue_reader.h"
#include "formats/cue_writer.h"
#include "image/cdsector.h"
#include "image/document.h"
#include "session/document.h"
#include "image/tracktable.h"
#include "support/run_program.h"

namespace {

struct TableDeleter {
  void operator()(CTrackTable* t) const { TrackTableFree(t); }
};
using TablePtr = std::unique_ptr<CTrackTable, TableDeleter>;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void MakeDataFile(const std::string& path, int64_t bytes) {
  WriteText(path, "");
  ASSERT_EQ(truncate(path.c_str(), bytes), 0) << path;
}

void SetText(CTrackTable* table, int32_t index, uint8_t packType, const wchar_t* text) {
  CCdTextRecord* record = CdTextGetOrCreateRecord(table, index);
  ASSERT_NE(record, nullptr);
  CdTextSetText(record, packType - kCdTextPackTitle, text, -1);
}

struct TrackPlan {
  uint8_t mode;
  int32_t start, pregap, length, session;
};

TablePtr MakeTable(const std::vector<TrackPlan>& plans, int32_t sessions, int32_t sectorSize) {
  TablePtr table(TrackTableAlloc());
  for (size_t i = 0; i < plans.size(); ++i) {
    CTrackInfo& t = table->tracks[i];
    t.mode = plans[i].mode;
    t.start = plans[i].start;
    t.pregap = plans[i].pregap;
    t.length = plans[i].length;
    t.session = plans[i].session;
  }
  table->trackCount = static_cast<int32_t>(plans.size());
  table->sessionCount = sessions;
  table->sectorSizeMode = sectorSize;
  return table;
}

// The one-track sheet of a plain BIN image, which bchunk turns back into the image's user data.
TEST(CueWriter, SimpleSheetReadByBchunk) {
  const std::string dir = MakeTestFolder("cue_writer_simple");
  constexpr int kSectors = 40;
  std::string iso;
  std::string bin;
  std::vector<uint8_t> data(kCdUserDataSize);
  std::vector<uint8_t> raw(kCdRawSectorSize);
  for (int s = 0; s < kSectors; ++s) {
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(s * 7 + i * 13);
    CdEncodeMode1Sector(s, data.data(), raw.data());
    iso.append(data.begin(), data.end());
    bin.append(raw.begin(), raw.end());
  }
  WriteText(dir + "/my image.bin", bin);
  ASSERT_EQ(CueWriteSimpleSheet(Wide(dir + "/my image.bin").c_str()), 0);
  EXPECT_EQ(ReadFile(dir + "/my image.cue"),
            "FILE \"my image.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n");
  ProgramOptions options;
  options.workDir = dir;
  const ProgramResult run = RunProgram("/usr/bin/bchunk", {"my image.bin", "my image.cue", "out"}, options);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(ReadFile(dir + "/out01.iso") == iso);

  // Without a document, or with one that has no track table, the sheet is the one-track sheet too.
  ASSERT_EQ(CueWriteSheetForDocument(nullptr, Wide(dir + "/plain.bin").c_str()), 0);
  EXPECT_EQ(ReadFile(dir + "/plain.cue"),
            "FILE \"plain.bin\" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n");
}

// Sessions, modes, gaps, indexes and texts of a track table, line by line.
TEST(CueWriter, FullSheetLines) {
  const std::string dir = MakeTestFolder("cue_writer_full");
  // The disc's sector size left unset, as other descriptors leave it: data tracks are raw.
  TablePtr table = MakeTable({{1, 0, 0, 11250, 0}, {1, 11400, 150, 4000, 0}, {8, 27000, 0, 3000, 1}}, 2, 0);
  SetText(table.get(), -1, kCdTextPackUpcIsrc, L"0123456789012");
  SetText(table.get(), -1, kCdTextPackPerformer, L"Disc Performer");
  SetText(table.get(), -1, kCdTextPackTitle, L"A \"quoted\" title");
  SetText(table.get(), 0, kCdTextPackTitle, L"One");
  SetText(table.get(), 0, kCdTextPackUpcIsrc, L"USAB12345678");
  SetText(table.get(), 0, kCdTextPackComposer, L"Someone");
  CCdTextRecord* first = CdTextGetOrCreateRecord(table.get(), 0);
  first->indexCount = 4;
  first->index[2] = 100;
  first->index[3] = 20000;  // beyond the track: no more indexes
  first->index[4] = 300;
  CCdTextRecord* second = CdTextGetOrCreateRecord(table.get(), 1);
  second->indexCount = 2;
  second->index[2] = 75;
  const std::wstring bin = Wide(dir + "/disc.bin");
  ASSERT_EQ(CueWriteSheet(table.get(), bin.c_str(), 0), 0);
  EXPECT_EQ(ReadFile(dir + "/disc.cue"),
            "CATALOG \"0123456789012\"\r\n"
            "PERFORMER \"Disc Performer\"\r\n"
            "TITLE \"A 'quoted' title\"\r\n"
            "FILE \"disc.bin\" BINARY\r\n"
            "REM SESSION 01\r\n"
            "  TRACK 01 AUDIO\r\n"
            "    TITLE \"One\"\r\n"
            "    ISRC \"USAB12345678\"\r\n"
            "    COMPOSER \"Someone\"\r\n"
            "    INDEX 01 00:00:00\r\n"
            "    INDEX 02 00:01:25\r\n"
            "  TRACK 02 AUDIO\r\n"
            "    INDEX 00 02:30:00\r\n"
            "    INDEX 01 02:32:00\r\n"
            "    INDEX 02 02:33:00\r\n"
            "REM SESSION 02\r\n"
            "  TRACK 03 MODE2/2352\r\n"
            "    INDEX 01 06:00:00\r\n");

  // Without CD-TEXT no texts and no indexes beyond 01; one session writes no REM lines; Mode 1 data carries the
  // table's sector size.
  TablePtr plain = MakeTable({{1, 0, 0, 11250, 0}, {2, 11400, 150, 4000, 0}}, 1, 2048);
  CCdTextRecord* record = CdTextGetOrCreateRecord(plain.get(), 0);
  record->indexCount = 2;
  record->index[2] = 100;
  ASSERT_EQ(CueWriteSheet(plain.get(), (Wide(dir) + L"/plain.bin").c_str(), 0), 0);
  EXPECT_EQ(ReadFile(dir + "/plain.cue"),
            "FILE \"plain.bin\" BINARY\r\n"
            "  TRACK 01 AUDIO\r\n"
            "    INDEX 01 00:00:00\r\n"
            "  TRACK 02 MODE1/2048\r\n"
            "    INDEX 00 02:30:00\r\n"
            "    INDEX 01 02:32:00\r\n");

  // A document's track table gives the full sheet.
  CImageDocument* document = ImageAlloc();
  ASSERT_NE(document, nullptr);
  document->trackTable = plain.release();
  ASSERT_EQ(CueWriteSheetForDocument(document, (Wide(dir) + L"/doc.bin").c_str()), 0);
  ImageClose(document);
  std::string doc = ReadFile(dir + "/doc.cue");
  EXPECT_NE(doc.find("TRACK 02 MODE1/2048"), std::string::npos) << doc;
}

// The audio export's form: the chosen tracks only, numbered from 1, their times counted in the exported audio.
TEST(CueWriter, WaveSheet) {
  const std::string dir = MakeTestFolder("cue_writer_wave");
  TablePtr table = MakeTable({{1, 0, 0, 1000, 0}, {1, 1150, 150, 500, 0}, {1, 1800, 150, 700, 0}}, 1, 2352);
  table->tracks[0].postgap = 0;
  const uint8_t selected[] = {1, 0, 1};
  ASSERT_EQ(CueWriteSheet(table.get(), (Wide(dir) + L"/audio.wav").c_str(), 1, selected), 0);
  EXPECT_EQ(ReadFile(dir + "/audio.cue"),
            "FILE \"audio.wav\" WAVE\r\n"
            "  TRACK 01 AUDIO\r\n"
            "    INDEX 01 00:00:00\r\n"
            "  TRACK 02 AUDIO\r\n"
            "    INDEX 00 00:13:25\r\n"
            "    INDEX 01 00:15:25\r\n");
}

// A sheet written from a table reads back to the same layout (a post-gap, being stored in the BIN, joins its
// track), flags aside, which the sheet does not carry.
TEST(CueWriter, ReadsBackToTheSameTable) {
  const std::string dir = MakeTestFolder("cue_writer_round_trip");
  MakeDataFile(dir + "/a.bin", 2352 * 1000);
  MakeDataFile(dir + "/b.bin", 2352 * 600);
  WriteText(dir + "/in.cue",
            "CATALOG 1234567890123\n"
            "PERFORMER \"Disc Performer\"\n"
            "SONGWRITER \"Disc Songwriter\"\n"
            "TITLE \"Disc Title\"\n"
            "REM SESSION 01\n"
            "FILE \"a.bin\" BINARY\n"
            "  TRACK 01 AUDIO\n"
            "    TITLE \"First\"\n"
            "    INDEX 00 00:00:00\n"
            "    INDEX 01 00:02:00\n"
            "    INDEX 02 00:03:00\n"
            "  TRACK 02 AUDIO\n"
            "    TITLE \"Second\"\n"
            "    PERFORMER \"Someone\"\n"
            "    SONGWRITER \"Writer\"\n"
            "    COMPOSER \"Composer\"\n"
            "    ISRC USABC1234567\n"
            "    INDEX 00 00:04:00\n"
            "    INDEX 01 00:06:00\n"
            "  TRACK 03 AUDIO\n"
            "    PREGAP 00:02:00\n"
            "    INDEX 01 00:09:00\n"
            "    POSTGAP 00:01:00\n"
            "REM SESSION 02\n"
            "FILE \"b.bin\" BINARY\n"
            "  TRACK 04 MODE1/2352\n"
            "    INDEX 00 00:00:00\n"
            "    INDEX 01 00:01:00\n");
  TablePtr in(CueParseFile(Wide(dir + "/in.cue").c_str()));
  ASSERT_TRUE(in);
  const std::wstring outBin = Wide(dir + "/out.bin");
  ASSERT_EQ(CueWriteSheet(in.get(), outBin.c_str(), 0), 0);
  MakeDataFile(dir + "/out.bin", TrackTableGetEndSector(in.get()) * 2352);
  TablePtr out(CueParseFile(Wide(dir + "/out.cue").c_str()));
  ASSERT_TRUE(out) << ReadFile(dir + "/out.cue");

  ASSERT_EQ(out->trackCount, in->trackCount);
  EXPECT_EQ(out->sessionCount, in->sessionCount);
  EXPECT_EQ(out->sectorSizeMode, in->sectorSizeMode);
  EXPECT_EQ(out->dataFileName, CWideString(outBin.c_str()));
  for (int slot = 0; slot < kCdTextTypeSlots; ++slot) {
    const wchar_t* a = CdTextGetText(in->discCdText, slot);
    const wchar_t* b = CdTextGetText(out->discCdText, slot);
    EXPECT_EQ(std::wstring(a ? a : L""), std::wstring(b ? b : L"")) << "disc slot " << slot;
  }
  for (int32_t i = 0; i < in->trackCount; ++i) {
    SCOPED_TRACE(i + 1);
    const CTrackInfo& a = in->tracks[i];
    const CTrackInfo& b = out->tracks[i];
    EXPECT_EQ(b.mode, a.mode);
    EXPECT_EQ(b.session, a.session);
    EXPECT_EQ(b.start, a.start);
    EXPECT_EQ(b.pregap, a.pregap);
    EXPECT_EQ(b.length, a.length + a.postgap);
    EXPECT_EQ(b.dataOffset, int64_t{a.start} * 2352);
    const CCdTextRecord* ra = CdTextGetTrackRecord(in.get(), i);
    const CCdTextRecord* rb = CdTextGetTrackRecord(out.get(), i);
    ASSERT_TRUE(ra && rb);
    EXPECT_EQ(rb->indexCount, ra->indexCount);
    // Every pregap is stored in the BIN, so INDEX 00 stands where the pregap begins.
    EXPECT_EQ(rb->index[0], -a.pregap);
    for (int n = 2; n <= ra->indexCount; ++n) EXPECT_EQ(rb->index[n], ra->index[n]) << "index " << n;
    for (int slot = 0; slot < kCdTextTypeSlots; ++slot) {
      const wchar_t* ta = CdTextGetText(ra, slot);
      const wchar_t* tb = CdTextGetText(rb, slot);
      EXPECT_EQ(std::wstring(ta ? ta : L""), std::wstring(tb ? tb : L"")) << "slot " << slot;
    }
  }
}

// A sheet that cannot be created or written whole fails and leaves nothing behind.
TEST(CueWriter, FailureLeavesNoSheet) {
  const std::string dir = MakeTestFolder("cue_writer_failure");
  EXPECT_EQ(CueWriteSimpleSheet(Wide(dir + "/missing/x.bin").c_str()), -1);
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing"));

  // A title the locale cannot represent: the conversion fails and the created sheet is removed.
  const char* saved = std::setlocale(LC_CTYPE, nullptr);
  const std::string restore = saved ? saved : "C";
  ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
  TablePtr table = MakeTable({{1, 0, 0, 1000, 0}}, 1, 2352);
  SetText(table.get(), 0, kCdTextPackTitle, L"Caf\u00e9");
  const int result = CueWriteSheet(table.get(), Wide(dir + "/x.bin").c_str(), 0);
  std::setlocale(LC_CTYPE, restore.c_str());
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(std::filesystem::exists(dir + "/x.cue"));
}

}  // namespace
