// How the read-back of a written disc is compared with its source, by the kind of the track the sectors belong to.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "burner/buffer.h"
#include "burner/verify.h"
#include "image/document.h"
#include "image/tracktable.h"

namespace {

TEST(VerifyCompare, SectorsCountAsEqualByTheKindOfTheirTrack) {
  CTrackTable* table = TrackTableAlloc();
  ASSERT_NE(table, nullptr);
  table->trackCount = 4;
  const uint8_t modes[4] = {4, 4, 1, 2};  // Mode 2, Mode 2, audio, Mode 1
  for (int i = 0; i < 4; ++i) table->tracks[i].mode = modes[i];
  table->tracks[3].mode = 2;
  auto document = std::make_unique<CImageDocument>();
  document->trackTable = table;
  CBurnBuffer loader;
  loader.document = document.get();

  constexpr size_t kBytes = 2 * 2352;
  std::vector<uint8_t> source(kBytes);
  for (size_t i = 0; i < kBytes; ++i) source[i] = static_cast<uint8_t>(i * 13 + 1);
  // `differing` bytes changed from `from` on, skipping the first 24 of each sector when `userOnly`.
  auto changed = [&](size_t from, size_t differing, bool userOnly) {
    std::vector<uint8_t> disc = source;
    for (size_t at = from; differing > 0 && at < kBytes; ++at) {
      size_t inSector = at % 2352;
      if (userOnly && (inSector < 24 || inSector >= 24 + 2048)) continue;
      disc[at] ^= 0x5A;
      --differing;
    }
    return disc;
  };
  struct Case {
    const char* what;
    int32_t sectorSize;
    int32_t track;
    std::vector<uint8_t> disc;
    int expected;
  } cases[] = {
      {"identical raw sectors", 2352, -1, source, 0},
      {"data extent, one byte", 2352, -1, changed(0, 1, false), 1},
      {"2048-byte burn, one byte", 2048, 1, changed(0, 1, false), 1},
      {"audio track, every byte", 2352, 2, changed(0, kBytes, false), 0},
      {"Mode 1 track, header only", 2352, 3, changed(12, 4, false), 0},
      {"Mode 1 track, user data", 2352, 3, changed(2352 + 500, 1, false), 1},
      {"first Mode 2 track, user data", 2352, 0, changed(24, 1, true), 1},
      {"later Mode 2 track, 3 % of the bytes", 2352, 1, changed(0, kBytes * 3 / 100, true), 0},
      {"later Mode 2 track, 6 % of the bytes", 2352, 1, changed(0, kBytes * 6 / 100, true), 1},
      {"later Mode 2 track, subheader only", 2352, 1, changed(16, 8, false), 0},
  };
  for (const Case& c : cases) {
    loader.sectorSize = c.sectorSize;
    size_t length = c.sectorSize == 2352 ? kBytes : 2 * 2048;
    EXPECT_EQ(BurnBufferCompareSector(&loader, c.track, source.data(), c.disc.data(), length), c.expected) << c.what;
  }
  table->tracks[1].mode = 9;  // a kind no disc holds
  loader.sectorSize = 2352;
  EXPECT_EQ(BurnBufferCompareSector(&loader, 1, source.data(), changed(2000, 1, false).data(), kBytes), 1);
  document->trackTable = nullptr;
  TrackTableFree(table);
}

}  // namespace
