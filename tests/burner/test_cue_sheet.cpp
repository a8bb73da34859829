// Cue sheets of track tables and of data images, and the MSF arithmetic behind them.
#include <gtest/gtest.h>

#include "burner/cdwrite.h"
#include "burner/jobs.h"
#include "image/cdtext_record.h"
#include "image/tracktable.h"

namespace {

struct Entry {
  uint8_t ctl, tno, index, form, m, s, f;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Entry& e) {
  return o << std::hex << "{" << +e.ctl << " " << +e.tno << " " << +e.index << " " << +e.form << " " << std::dec << +e.m
           << ":" << +e.s << ":" << +e.f << "}";
}

std::vector<Entry> Entries(const std::vector<uint8_t>& sheet) {
  std::vector<Entry> out;
  for (size_t i = 0; i + 8 <= sheet.size(); i += 8)
    out.push_back({sheet[i], sheet[i + 1], sheet[i + 2], sheet[i + 3], sheet[i + 5], sheet[i + 6], sheet[i + 7]});
  return out;
}

struct TableOwner {
  TableOwner() : table(TrackTableAlloc()) {}
  ~TableOwner() { TrackTableFree(table); }
  CTrackInfo& Add(uint8_t mode, int32_t start, int32_t length, int32_t pregap = 0) {
    CTrackInfo& t = table->tracks[table->trackCount++];
    t.mode = mode, t.start = start, t.length = length, t.pregap = pregap;
    return t;
  }
  CTrackTable* table;
};

}  // namespace

TEST(CueSheet, MsfOfFrameCounts) {
  uint8_t msf[3];
  CdLbaToMsf(msf, 10002 + 150);
  EXPECT_EQ(std::vector<uint8_t>(msf, msf + 3), (std::vector<uint8_t>{2, 15, 27}));
  CdLbaToMsf(msf, 300 + 150);
  EXPECT_EQ(std::vector<uint8_t>(msf, msf + 3), (std::vector<uint8_t>{0, 6, 0}));
}

TEST(CueSheet, MixedTableWithPregapsCatalogAndIsrc) {
  TableOwner t;
  t.Add(2, 0, 20000);                       // Mode 1 data
  t.Add(1, 20150, 1000, 150);               // audio with a two-second pregap
  CTrackInfo& last = t.Add(4, 21150, 500);  // Mode 2, no pregap
  t.table->discCdText = CdTextRecordNew();
  CdTextSetText(t.table->discCdText, 14, L"1234567890123", -1);
  last.cdText = CdTextRecordNew();
  CdTextSetText(last.cdText, 14, L"USABC1234567", -1);
  CBurnJob job{};
  std::vector<uint8_t> sheet;
  ASSERT_EQ(BurnJobBuildCueSheet(&job, t.table, 1, &sheet), 1);
  // Catalog and ISRC entries carry characters where times stand elsewhere: their bytes are checked as text.
  ASSERT_EQ(sheet.size(), 11u * 8);
  EXPECT_EQ(sheet[0], 0x02);
  EXPECT_EQ(std::string(sheet.begin() + 1, sheet.begin() + 8), "1234567");
  EXPECT_EQ(sheet[8], 0x02);
  EXPECT_EQ(std::string(sheet.begin() + 9, sheet.begin() + 15), "890123");
  EXPECT_EQ(sheet[56], 0x03);
  EXPECT_EQ(sheet[57], 3);
  EXPECT_EQ(std::string(sheet.begin() + 58, sheet.begin() + 64), "USABC1");
  EXPECT_EQ(sheet[64], 0x03);
  EXPECT_EQ(sheet[65], 3);
  EXPECT_EQ(std::string(sheet.begin() + 66, sheet.begin() + 72), "234567");
  std::vector<Entry> got = Entries(sheet);
  const std::pair<size_t, Entry> timed[] = {
      {2, {0x41, 0, 0, 0x14 | 0x40, 0, 0, 0}},  // lead-in of a Mode 1 first track, with CD-TEXT
      {3, {0x41, 1, 0, 0x11, 0, 0, 0}},        {4, {0x41, 1, 1, 0x11, 0, 2, 0}},  {5, {0x21, 2, 0, 0x00, 4, 28, 50}},
      {6, {0x21, 2, 1, 0x00, 4, 30, 50}},      {9, {0x41, 3, 1, 0x21, 4, 44, 0}},  // no pregap: no index 0 entry
      {10, {0x41, 0xAA, 1, 0x34, 4, 50, 50}},  // the lead-out takes the last track's kind
  };
  for (const auto& [at, entry] : timed) EXPECT_EQ(got[at], entry) << "entry " << at;
}

TEST(CueSheet, TablesItCannotDescribe) {
  CBurnJob job{};
  std::vector<uint8_t> sheet;
  TableOwner none;
  EXPECT_EQ(BurnJobBuildCueSheet(&job, none.table, 0, &sheet), 0);
  TableOwner hundred;
  for (int i = 0; i < 100; ++i) hundred.Add(1, i * 300, 300);
  EXPECT_EQ(BurnJobBuildCueSheet(&job, hundred.table, 0, &sheet), 0);
  TableOwner odd;
  odd.Add(1, 0, 300);
  odd.Add(99, 300, 300);  // no such track kind
  EXPECT_EQ(BurnJobBuildCueSheet(&job, odd.table, 0, &sheet), 0);
  TableOwner tooLong;
  tooLong.Add(1, 0, 100 * 4500);  // past 99:59:74
  EXPECT_EQ(BurnJobBuildCueSheet(&job, tooLong.table, 0, &sheet), 0);
  TableOwner apart;
  apart.Add(1, 0, 300);
  apart.Add(1, 400, 300);  // a hole between the tracks: they would not be written where the sheet puts them
  EXPECT_EQ(BurnJobBuildCueSheet(&job, apart.table, 0, &sheet), 0);
  TableOwner audio;
  audio.Add(1, 0, 300);
  ASSERT_EQ(BurnJobBuildCueSheet(&job, audio.table, 0, &sheet), 1);
  std::vector<Entry> got = Entries(sheet);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], (Entry{0x21, 0, 0, 0x01, 0, 0, 0}));
  EXPECT_EQ(got[3], (Entry{0x01, 0xAA, 1, 0x01, 0, 6, 0}));
}
