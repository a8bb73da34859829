// The burn buffer against sources made in memory: the range the reader produces, runs that wrap around the
// ring, the end of the source, a source that fails, and stopping a reader that waits for room.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "burner/buffer.h"
#include "burner/jobs.h"

namespace {

// Every sector carries its own LBA in its first 8 bytes; reads at or past `failAt` come back short.
struct FakeSource {
  int64_t failAt = INT64_MAX;
  std::atomic<int64_t> reads{0};
};

int64_t ReadTagged(void* context, int64_t lba, uint8_t* out, int64_t n) {
  auto* source = static_cast<FakeSource*>(context);
  ++source->reads;
  for (int64_t i = 0; i < n; ++i) {
    if (lba + i >= source->failAt) return i;
    int64_t tag = lba + i + 1;  // never 0, so that a zeroed sector is told apart
    std::memcpy(out + i * 2048, &tag, sizeof tag);
  }
  return n;
}

int64_t TagOf(const uint8_t* sector) {
  int64_t tag;
  std::memcpy(&tag, sector, sizeof tag);
  return tag;
}

struct BufferTest : ::testing::Test {
  std::unique_ptr<CBurnBuffer> Make(int64_t dataEnd, int64_t appendStart = 0) {
    CBurnSource source;
    source.context = &fake;
    source.readUser = ReadTagged;
    source.dataEnd = dataEnd;
    return BurnBufferCreate(&run.jobs[0], nullptr, 2048, source, appendStart);
  }
  void SetUp() override { BurnJobsReset(&run); }

  CBurnRun run;
  FakeSource fake;
  std::vector<uint8_t> scratch = std::vector<uint8_t>(16 * 2048);
};

// Takes every sector the reader produces, 16 at a time, and returns their tags (0 for a zero sector).
std::vector<int64_t> Drain(CBurnBuffer* buffer, uint8_t* scratch) {
  std::vector<int64_t> tags;
  for (;;) {
    const uint8_t* run = BurnBufferTake(buffer, scratch, 1, 1);
    if (!run) return tags;
    tags.push_back(TagOf(run));
  }
}

}  // namespace

TEST_F(BufferTest, ProducesTheImageAndItsRunOut) {
  struct Case {
    int64_t dataEnd, appendStart, produced;
  } cases[] = {
      {100, 0, 600},       // below 300 sectors: 600 in all, zeros after the image
      {10000, 0, 10300},   // the image and 300 sectors of run-out
      {10000, 9800, 600},  // a further session counts from its start
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataEnd);
    auto buffer = Make(c.dataEnd, c.appendStart);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->capacity, 4096);  // the default of 8 MB
    std::vector<int64_t> tags = Drain(buffer.get(), scratch.data());
    ASSERT_EQ(static_cast<int64_t>(tags.size()), c.produced);
    for (int64_t i = 0; i < c.produced; ++i) {
      int64_t lba = c.appendStart + i;
      ASSERT_EQ(tags[i], lba < c.dataEnd ? lba + 1 : 0) << "sector " << lba;
    }
    BurnBufferDestroy(std::move(buffer));
  }
}

TEST_F(BufferTest, RunsThatWrapComeThroughTheScratchArea) {
  auto buffer = Make(10000);
  ASSERT_TRUE(buffer);
  // 4,088 sectors out, one by one, so that the next run of 16 starts 8 before the end of the ring.
  for (int i = 0; i < 4088; ++i) ASSERT_NE(BurnBufferTake(buffer.get(), scratch.data(), 1, 1), nullptr);
  const uint8_t* peek = BurnBufferTake(buffer.get(), scratch.data(), 16, 0);
  ASSERT_EQ(peek, scratch.data());
  for (int i = 0; i < 16; ++i) EXPECT_EQ(TagOf(peek + i * 2048), 4088 + i + 1);
  // A peek leaves the sectors in the ring; the advance drops them.
  BurnBufferAdvance(buffer.get(), 16);
  // The next run lies whole in the ring: a peek points into it.
  const uint8_t* next = BurnBufferTake(buffer.get(), scratch.data(), 16, 0);
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next, scratch.data());
  EXPECT_EQ(TagOf(next), 4104 + 1);
  // A take that advances frees the slots at once, so it hands out a copy.
  const uint8_t* taken = BurnBufferTake(buffer.get(), scratch.data(), 16, 1);
  EXPECT_EQ(taken, scratch.data());
  EXPECT_EQ(TagOf(taken + 15 * 2048), 4104 + 16);
  BurnBufferDestroy(std::move(buffer));
}

TEST_F(BufferTest, TheEndOfTheSourceAndAFailedRead) {
  auto buffer = Make(100);
  ASSERT_TRUE(buffer);
  for (int i = 0; i < 595; ++i) ASSERT_NE(BurnBufferTake(buffer.get(), scratch.data(), 1, 1), nullptr);
  EXPECT_EQ(BurnBufferTake(buffer.get(), scratch.data(), 16, 1), nullptr);  // 5 left
  EXPECT_NE(BurnBufferTake(buffer.get(), scratch.data(), 5, 1), nullptr);
  EXPECT_FALSE(buffer->readFailed);
  BurnBufferDestroy(std::move(buffer));

  // A read that fails after the ring was first filled ends the reader: what was read comes out, then null.
  fake.failAt = 6000;
  buffer = Make(10000);
  ASSERT_TRUE(buffer);
  std::vector<int64_t> tags = Drain(buffer.get(), scratch.data());
  EXPECT_GE(tags.size(), 4096u);
  EXPECT_LT(tags.size(), 6000u);
  for (size_t i = 0; i < tags.size(); ++i) ASSERT_EQ(tags[i], static_cast<int64_t>(i) + 1);
  EXPECT_TRUE(buffer->readFailed);
  EXPECT_FALSE(buffer->readerFinished);
  EXPECT_GE(buffer->failedSector, static_cast<int64_t>(tags.size()));
  BurnBufferDestroy(std::move(buffer));

  // A source that fails before the ring is full gives no buffer.
  fake.failAt = 10;
  EXPECT_EQ(Make(10000), nullptr);
}

TEST_F(BufferTest, DestroyStopsAReaderWaitingForRoom) {
  auto buffer = Make(2000000);
  ASSERT_TRUE(buffer);
  ASSERT_NE(BurnBufferTake(buffer.get(), scratch.data(), 16, 1), nullptr);
  auto started = std::chrono::steady_clock::now();
  BurnBufferDestroy(std::move(buffer));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  // The reader read about one ring's worth, not the whole source.
  EXPECT_LT(fake.reads.load(), 100);
}
