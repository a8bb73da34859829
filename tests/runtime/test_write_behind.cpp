#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "runtime/write_behind.h"

namespace {

struct Written {
  int64_t position;
  int64_t count;
  std::vector<uint8_t> bytes;
};

TEST(WriteBehind, WritesEveryBufferInOrderWhileTheRingWrapsAround) {
  // A writer slower than the filling: the filler waits for free buffers, and no buffer is reused before it is
  // written. Each buffer carries its own pattern, so a buffer refilled too early shows.
  std::vector<Written> seen;
  {
    CWriteBehind writer(3, 64, [&](const uint8_t* data, int64_t position, int64_t count) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      seen.push_back({position, count, std::vector<uint8_t>(data, data + 64)});
      return true;
    });
    for (int i = 0; i < 40; ++i) {
      uint8_t* buffer = writer.Next();
      ASSERT_NE(buffer, nullptr);
      std::memset(buffer, i, 64);
      writer.Submit(i * 10, i + 1);
    }
    EXPECT_TRUE(writer.Drain());
    EXPECT_EQ(writer.TakeWritten(), 40 * 41 / 2);
    EXPECT_EQ(writer.TakeWritten(), 0);
  }
  ASSERT_EQ(seen.size(), 40u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(seen[i].position, i * 10);
    EXPECT_EQ(seen[i].count, i + 1);
    EXPECT_EQ(seen[i].bytes, std::vector<uint8_t>(64, static_cast<uint8_t>(i))) << i;
  }
}

TEST(WriteBehind, AFailedWriteStopsTheWritingAndIsReported) {
  std::vector<int64_t> positions;
  CWriteBehind writer(2, 16, [&](const uint8_t*, int64_t position, int64_t) {
    positions.push_back(position);
    if (position == 2) errno = EFBIG;
    return position != 2;
  });
  int handed = 0;
  for (int i = 0; i < 50; ++i) {
    uint8_t* buffer = writer.Next();
    if (!buffer) break;
    writer.Submit(i, 1);
    ++handed;
  }
  errno = 0;
  EXPECT_FALSE(writer.Drain());
  // The caller learns the reason the writer thread met.
  EXPECT_EQ(errno, EFBIG);
  // At most the buffers that were already handed over when the write failed follow it, and none is written.
  EXPECT_LT(handed, 50);
  EXPECT_EQ(positions, (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(writer.TakeWritten(), 2);
}

TEST(WriteBehind, WritesWhatWasHandedOverBeforeItEnds) {
  int writes = 0;
  {
    CWriteBehind writer(4, 8, [&](const uint8_t*, int64_t, int64_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ++writes;
      return true;
    });
    for (int i = 0; i < 4; ++i) {
      ASSERT_NE(writer.Next(), nullptr);
      writer.Submit(i, 1);
    }
  }
  EXPECT_EQ(writes, 4);
}

}  // namespace
