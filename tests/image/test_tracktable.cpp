#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <vector>

#include "image/document.h"
#include "image/tracktable.h"

namespace {

struct TableDeleter {
  void operator()(CTrackTable* t) const { TrackTableFree(t); }
};
using TablePtr = std::unique_ptr<CTrackTable, TableDeleter>;

struct TrackPlan {
  uint8_t mode;
  int32_t start, length, session;
  int32_t postgap = 0;
};

TablePtr MakeTable(const std::vector<TrackPlan>& plans, int32_t sessions) {
  TablePtr table(TrackTableAlloc());
  EXPECT_NE(table, nullptr);
  for (size_t i = 0; i < plans.size(); ++i) {
    CTrackInfo& t = table->tracks[i];
    t.mode = plans[i].mode;
    t.start = plans[i].start;
    t.length = plans[i].length;
    t.session = plans[i].session;
    t.postgap = plans[i].postgap;
  }
  table->trackCount = static_cast<int32_t>(plans.size());
  table->sessionCount = sessions;
  return table;
}

constexpr uint8_t kAudio = kTrackModeAudio;
constexpr uint8_t kData = kTrackModeMode1;

TEST(TrackTable, SingleDataTrack) {
  TablePtr table = MakeTable({{kData, 0, 1000, 0}}, 1);
  EXPECT_EQ(table->marker, -1);
  EXPECT_EQ(TrackTableGetEndSector(table.get()), 1000);
  EXPECT_EQ(TrackTableIsAudioTrack(table.get(), 0), 0);
  EXPECT_EQ(TrackTableCheckOrder(table.get()), 1);
  EXPECT_EQ(TrackTableFindDataTrack(table.get(), 0), 0);
  EXPECT_EQ(TrackTableGetSessionSectors(table.get(), 0), 1000);

  // The same table made from a document's readable limit.
  std::unique_ptr<CImageDocument> doc(new CImageDocument{});
  doc->readableLimit = 1000;
  TablePtr single(TrackTableNewSingleTrack(doc.get()));
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(single->trackCount, 1);
  EXPECT_EQ(single->sessionCount, 1);
  EXPECT_EQ(single->tracks[0].mode, kData);
  EXPECT_EQ(TrackTableGetEndSector(single.get()), 1000);
  doc->readableLimit = int64_t{1} << 40;  // more than a track can count: held at the largest length
  single.reset(TrackTableNewSingleTrack(doc.get()));
  EXPECT_EQ(single->tracks[0].length, INT32_MAX);
  EXPECT_EQ(TrackTableNewSingleTrack(nullptr), nullptr);
}

TEST(TrackTable, AudioSessionThenDataSession) {
  TablePtr table = MakeTable({{kAudio, 0, 1000, 0}, {kAudio, 1000, 500, 0}, {kData, 12000, 300, 1, 2}}, 2);
  EXPECT_EQ(TrackTableIsAudioThenData(table.get(), 0), 1);
  EXPECT_EQ(TrackTableIsAudioThenData(table.get(), 1), 1);
  EXPECT_EQ(TrackTableIsAudioThenData(table.get(), 2), 0);  // not in session 0
  EXPECT_EQ(TrackTableIsMixedModeFrom(table.get(), 0), 0);  // two sessions
  EXPECT_EQ(TrackTableFindDataTrack(table.get(), 0), -1);
  EXPECT_EQ(TrackTableFindDataTrack(table.get(), 1), 2);
  EXPECT_EQ(TrackTableFindFirstTrackOfSession(table.get(), 1), 2);
  EXPECT_EQ(TrackTableFindFirstTrackOfSession(table.get(), 2), -1);
  EXPECT_EQ(TrackTableGetTrackStart(table.get(), 1, 2), 12000);
  EXPECT_EQ(TrackTableGetTrackStart(table.get(), 2, 0), -1);  // no third session
  EXPECT_EQ(TrackTableGetSessionSectors(table.get(), 0), 1500);
  EXPECT_EQ(TrackTableGetEndSector(table.get()), 12302);

  // Either session holding the other kind breaks the pattern.
  table->tracks[2].mode = kAudio;
  EXPECT_EQ(TrackTableIsAudioThenData(table.get(), 0), 0);
  table->tracks[2].mode = kData;
  table->tracks[1].mode = kData;
  EXPECT_EQ(TrackTableIsAudioThenData(table.get(), 0), 0);
  table->sessionCount = 1;
  table->tracks[1].mode = kAudio;
  EXPECT_EQ(TrackTableIsAudioThenData(table.get(), 0), 0);
}

TEST(TrackTable, MixedModeInOneSession) {
  TablePtr table = MakeTable({{kData, 0, 1000, 0}, {kAudio, 1000, 500, 0}, {kAudio, 1500, 500, 0}}, 1);
  EXPECT_EQ(TrackTableIsMixedModeFrom(table.get(), 0), 1);
  EXPECT_EQ(TrackTableIsMixedModeFrom(table.get(), 1), 0);  // audio only from there on
  EXPECT_EQ(TrackTableIsAudioThenData(table.get(), 0), 0);
  EXPECT_EQ(TrackTableIsAudioTrack(table.get(), 1), 1);
  EXPECT_EQ(TrackTableFindDataTrack(table.get(), 0), 0);
}

TEST(TrackTable, DiscIdentifier) {
  struct Case {
    std::vector<TrackPlan> tracks;
    uint32_t id;
  } const cases[] = {
      {{{kAudio, 0, 4500, 0}}, 0x02003C01u},
      // Starts at 2, 202 and 402 seconds (digit sums 2 + 4 + 6); 50,000 sectors = 666 seconds.
      {{{kAudio, 0, 15000, 0}, {kAudio, 15000, 15000, 0}, {kAudio, 30000, 20000, 0}}, 0x0C029A03u},
      {{}, 0u},
  };
  for (const auto& c : cases) {
    TablePtr table = MakeTable(c.tracks, 1);
    EXPECT_EQ(TrackTableComputeDiscId(table.get()), c.id);
    EXPECT_EQ(table->discId, c.id);
  }
  EXPECT_EQ(TrackTableComputeDiscId(nullptr), 0u);
}

TEST(TrackTable, OrderRule) {
  auto ascending = [](int n) {
    std::vector<TrackPlan> v;
    for (int i = 0; i < n; ++i) v.push_back({kData, i * 10, 10, 0});
    return v;
  };
  EXPECT_EQ(TrackTableCheckOrder(MakeTable({}, 1).get()), 0);
  EXPECT_EQ(TrackTableCheckOrder(MakeTable(ascending(99), 1).get()), 1);
  EXPECT_EQ(TrackTableCheckOrder(MakeTable(ascending(100), 1).get()), 0);
  EXPECT_EQ(TrackTableCheckOrder(MakeTable({{kData, 0, 5, 0}, {kData, 0, 5, 0}}, 1).get()), 0);
  EXPECT_EQ(TrackTableCheckOrder(MakeTable({{kData, 50, 5, 0}, {kData, 10, 5, 0}}, 1).get()), 0);
}

// Indexes and counts from damaged descriptors never reach outside the table.
TEST(TrackTable, IndexesOutsideTheTable) {
  TablePtr table = MakeTable({{kAudio, 0, 100, 0}, {kData, 100, 100, 0}}, 1);
  for (int32_t index : {-1, 2, 99, 100, INT32_MAX, INT32_MIN}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(TrackTableGetTrack(table.get(), index), nullptr);
    EXPECT_EQ(TrackTableIsAudioTrack(table.get(), index), 0);
    EXPECT_EQ(TrackTableGetTrackStart(table.get(), 0, index), -1);
    EXPECT_EQ(TrackTableIsMixedModeFrom(table.get(), index), 0);
    EXPECT_EQ(TrackTableIsAudioThenData(table.get(), index), 0);
  }
  EXPECT_EQ(TrackTableGetTrack(table.get(), 1), &table->tracks[1]);
  EXPECT_EQ(TrackTableGetTrackStart(table.get(), -1, 0), -1);

  // A stored count beyond the array is held to it.
  table->trackCount = 150;
  EXPECT_EQ(TrackTableGetTrack(table.get(), 120), nullptr);
  EXPECT_EQ(TrackTableGetTrack(table.get(), 99), &table->tracks[99]);
  EXPECT_EQ(TrackTableCheckOrder(table.get()), 0);
  EXPECT_EQ(TrackTableGetEndSector(table.get()), 0);  // track 99 is empty
  table->trackCount = -3;
  EXPECT_EQ(TrackTableGetTrack(table.get(), 0), nullptr);
  EXPECT_EQ(TrackTableGetEndSector(table.get()), 0);
  EXPECT_EQ(TrackTableComputeDiscId(table.get()), 0u);

  const CTrackTable* none = nullptr;
  EXPECT_EQ(TrackTableGetTrack(none, 0), nullptr);
  EXPECT_EQ(TrackTableGetEndSector(none), 0);
  EXPECT_EQ(TrackTableCheckOrder(none), 0);
  EXPECT_EQ(TrackTableFindDataTrack(none, 0), -1);
  EXPECT_EQ(TrackTableFindFirstTrackOfSession(none, 0), -1);
  EXPECT_EQ(TrackTableGetSessionSectors(none, 0), 0);
  EXPECT_EQ(TrackTableClone(none), nullptr);
  TrackTableFree(nullptr);
}

TEST(TrackTable, AlternateArrayTakesOverLookups) {
  TablePtr table = MakeTable({{kData, 0, 100, 0}}, 1);
  table->alternateTracks.resize(120);
  for (int i = 0; i < 120; ++i) {
    table->alternateTracks[i].mode = kAudio;
    table->alternateTracks[i].start = 1000 + i;
  }
  table->trackCount = 120;
  EXPECT_EQ(TrackTableGetTrack(table.get(), 110), &table->alternateTracks[110]);
  EXPECT_EQ(TrackTableIsAudioTrack(table.get(), 0), 1);
  EXPECT_EQ(TrackTableGetTrack(table.get(), 120), nullptr);
  EXPECT_EQ(TrackTableCheckOrder(table.get()), 0);  // more than 99 tracks
  table->trackCount = 500;  // more than the array holds
  EXPECT_EQ(TrackTableGetTrack(table.get(), 200), nullptr);
}

TEST(TrackTable, CloneOwnsNothingOfTheOriginal) {
  TablePtr table = MakeTable({{kData, 0, 100, 0}, {kAudio, 100, 50, 0}}, 1);
  table->tracks[0].fileName = L"disc.bin";
  table->tracks[0].file = std::tmpfile();
  ASSERT_NE(table->tracks[0].file, nullptr);
  table->alternateTracks.resize(1);
  table->alternateTracks[0].file = std::tmpfile();
  table->trackCount = 1;
  TablePtr copy(TrackTableClone(table.get()));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->trackCount, 1);
  EXPECT_EQ(copy->tracks[1].start, 100);
  EXPECT_EQ(copy->tracks[0].file, nullptr);
  EXPECT_EQ(copy->alternateTracks[0].file, nullptr);
  EXPECT_EQ(copy->tracks[0].fileName, L"");
  EXPECT_EQ(table->tracks[0].fileName, L"disc.bin");
  // Freeing the copy first leaves the original's streams open for it to close (ASan reports any double close).
  copy.reset();
  EXPECT_EQ(std::fputc('x', table->tracks[0].file), 'x');
}

}  // namespace
