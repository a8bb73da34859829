#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "runtime/blockcache.h"

namespace {

struct CacheDeleter {
  void operator()(CBlockCache* c) const { BlockCacheFree(c); }
};
using Cache = std::unique_ptr<CBlockCache, CacheDeleter>;

// What an owner does on a miss: take a slot, fill it, register it. Returns the slot index.
int32_t Store(CBlockCache* cache, int64_t key, size_t size, uint8_t fill) {
  const int32_t slot = BlockCacheAcquireSlot(cache, size);
  if (slot < 0) return slot;
  std::memset(cache->slots[slot].buffer, fill, size);
  BlockCacheSetSlot(cache, slot, key);
  return slot;
}

TEST(BlockCache, CreateLimits) {
  EXPECT_EQ(BlockCacheCreate(65), nullptr);
  EXPECT_EQ(BlockCacheCreate(-1), nullptr);
  Cache none(BlockCacheCreate(0));
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(BlockCachePickSlot(none.get()), -1);
  EXPECT_EQ(BlockCacheAcquireSlot(none.get(), 16), -1);
  Cache most(BlockCacheCreate(64));
  ASSERT_NE(most, nullptr);
  BlockCacheFree(nullptr);
}

TEST(BlockCache, FindsStoredChunksWithTheirSize) {
  Cache cache(BlockCacheCreate(4));
  Store(cache.get(), 10, 100, 0xAA);
  Store(cache.get(), 11, 200, 0xBB);
  size_t size = 0;
  uint8_t* data = BlockCacheFind(cache.get(), 11, &size);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(size, 200u);
  EXPECT_EQ(data[199], 0xBB);
  EXPECT_EQ(BlockCacheFind(cache.get(), 12, &size), nullptr);
  EXPECT_NE(BlockCacheFind(cache.get(), 10, nullptr), nullptr);
}

TEST(BlockCache, EvictsLeastRecentlyUsed) {
  Cache cache(BlockCacheCreate(2));
  Store(cache.get(), 1, 64, 1);
  Store(cache.get(), 2, 64, 2);
  BlockCacheTouch(cache.get(), 1);
  Store(cache.get(), 3, 64, 3);
  EXPECT_NE(BlockCacheFind(cache.get(), 1, nullptr), nullptr);
  EXPECT_EQ(BlockCacheFind(cache.get(), 2, nullptr), nullptr);
  EXPECT_NE(BlockCacheFind(cache.get(), 3, nullptr), nullptr);

  // Without the touch the oldest store goes; several stores within one millisecond still keep their order.
  Store(cache.get(), 4, 64, 4);
  EXPECT_EQ(BlockCacheFind(cache.get(), 1, nullptr), nullptr);
  EXPECT_NE(BlockCacheFind(cache.get(), 3, nullptr), nullptr);
}

TEST(BlockCache, EmptySlotsAreTakenFirstInOrder) {
  Cache cache(BlockCacheCreate(3));
  EXPECT_EQ(Store(cache.get(), 5, 8, 0), 0);
  EXPECT_EQ(Store(cache.get(), 6, 8, 0), 1);
  EXPECT_EQ(Store(cache.get(), 7, 8, 0), 2);
  EXPECT_EQ(BlockCachePickSlot(cache.get()), 0);
}

TEST(BlockCache, AcquiredSlotIsHiddenUntilSetAndReleasedOnFailure) {
  Cache cache(BlockCacheCreate(1));
  Store(cache.get(), 1, 32, 0x11);
  cache->slots[0].rangeFirst = 0;
  cache->slots[0].rangeLast = 31;
  ASSERT_EQ(BlockCacheFindRange(cache.get(), 5), 0);

  // The next chunk reuses the only slot: its old key and range must vanish before the decode starts, so a
  // failed decode cannot leave chunk 2's partial bytes findable as chunk 1.
  const int32_t slot = BlockCacheAcquireSlot(cache.get(), 32);
  ASSERT_EQ(slot, 0);
  EXPECT_EQ(BlockCacheFind(cache.get(), 1, nullptr), nullptr);
  EXPECT_EQ(BlockCacheFindRange(cache.get(), 5), -1);
  std::memset(cache->slots[slot].buffer, 0x22, 16);  // decode fails halfway
  BlockCacheReleaseSlot(cache.get(), slot);
  EXPECT_EQ(BlockCacheFind(cache.get(), 1, nullptr), nullptr);
  EXPECT_EQ(BlockCacheFind(cache.get(), 2, nullptr), nullptr);
  EXPECT_EQ(cache->slots[0].buffer, nullptr);

  EXPECT_EQ(Store(cache.get(), 2, 32, 0x22), 0);
  EXPECT_NE(BlockCacheFind(cache.get(), 2, nullptr), nullptr);
  BlockCacheSetSlot(cache.get(), -1, 9);  // ignored
  BlockCacheReleaseSlot(cache.get(), 5);  // ignored
}

TEST(BlockCache, FindRangeIncludesBothEnds) {
  Cache cache(BlockCacheCreate(2));
  const int32_t a = Store(cache.get(), 0, 16, 0);
  cache->slots[a].rangeFirst = 4096;
  cache->slots[a].rangeLast = 8191;
  const int32_t b = Store(cache.get(), 1, 16, 0);
  cache->slots[b].rangeFirst = 0xFFFFFFFF00000000ull;
  cache->slots[b].rangeLast = UINT64_MAX;

  struct Case {
    uint64_t offset;
    int32_t slot;
  } const cases[] = {{4095, -1}, {4096, a}, {8191, a}, {8192, -1}, {UINT64_MAX, b}, {0xFFFFFFFF00000000ull, b}};
  for (const auto& c : cases) EXPECT_EQ(BlockCacheFindRange(cache.get(), c.offset), c.slot) << c.offset;
}

TEST(BlockCache, BufferFollowsTheRequestedSize) {
  Cache cache(BlockCacheCreate(1));
  Store(cache.get(), 1, 4096, 0);
  uint8_t* first = cache->slots[0].buffer;
  // Same size: the buffer is reused as it is.
  ASSERT_EQ(BlockCacheAcquireSlot(cache.get(), 4096), 0);
  EXPECT_EQ(cache->slots[0].buffer, first);
  BlockCacheSetSlot(cache.get(), 0, 2);

  // Another size: a buffer for the new size (plus the decoder slack, which must be writable).
  ASSERT_EQ(BlockCacheAcquireSlot(cache.get(), 100000), 0);
  EXPECT_EQ(cache->slots[0].size, 100000u);
  cache->slots[0].buffer[100000 + kBlockCacheSlack - 1] = 0x5A;
  BlockCacheSetSlot(cache.get(), 0, 3);
  size_t size = 0;
  EXPECT_NE(BlockCacheFind(cache.get(), 3, &size), nullptr);
  EXPECT_EQ(size, 100000u);

  EXPECT_EQ(BlockCacheAcquireSlot(cache.get(), SIZE_MAX - 10), -1);
}

}  // namespace
