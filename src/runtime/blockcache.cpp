#include "runtime/blockcache.h"

#include <cstdint>

#include "runtime/memory.h"

namespace {

CBlockCacheSlot* SlotAt(CBlockCache* cache, int32_t index) {
  return cache != nullptr && index >= 0 && index < cache->count ? &cache->slots[index] : nullptr;
}

}  // namespace

CBlockCache* BlockCacheCreate(int32_t count) {
  if (count < 0 || count > kBlockCacheMaxSlots) return nullptr;
  auto* cache = static_cast<CBlockCache*>(MemZeroAlloc(sizeof(CBlockCache)));
  if (cache != nullptr) cache->count = count;
  return cache;
}

void BlockCacheFree(CBlockCache* cache) {
  if (cache == nullptr) return;
  for (int32_t i = 0; i < cache->count; ++i) MemFree(cache->slots[i].buffer);
  MemFree(cache);
}

uint8_t* BlockCacheFind(CBlockCache* cache, int64_t key, size_t* size) {
  if (cache == nullptr) return nullptr;
  for (int32_t i = 0; i < cache->count; ++i) {
    CBlockCacheSlot& slot = cache->slots[i];
    if (slot.valid && slot.key == key) {
      if (size != nullptr) *size = slot.size;
      return slot.buffer;
    }
  }
  return nullptr;
}

int32_t BlockCacheFindRange(const CBlockCache* cache, uint64_t offset) {
  if (cache == nullptr) return -1;
  for (int32_t i = 0; i < cache->count; ++i) {
    const CBlockCacheSlot& slot = cache->slots[i];
    if (slot.valid && slot.rangeFirst <= offset && offset <= slot.rangeLast) return i;
  }
  return -1;
}

int32_t BlockCachePickSlot(const CBlockCache* cache) {
  if (cache == nullptr || cache->count <= 0) return -1;
  int32_t oldest = 0;
  for (int32_t i = 0; i < cache->count; ++i) {
    const CBlockCacheSlot& slot = cache->slots[i];
    if (!slot.valid) return i;
    if (slot.lastUse < cache->slots[oldest].lastUse) oldest = i;
  }
  return oldest;
}

int32_t BlockCacheAcquireSlot(CBlockCache* cache, size_t size) {
  const int32_t index = BlockCachePickSlot(cache);
  CBlockCacheSlot* slot = SlotAt(cache, index);
  if (slot == nullptr) return -1;
  // From here until BlockCacheSetSlot the buffer holds bytes of no known chunk: lookups must not see it.
  slot->valid = 0;
  slot->rangeFirst = UINT64_MAX;  // an empty range until the owner sets the new chunk's
  slot->rangeLast = 0;
  if (slot->buffer != nullptr && slot->size != size) {
    MemFree(slot->buffer);
    slot->buffer = nullptr;
  }
  if (slot->buffer == nullptr) {
    if (size > SIZE_MAX - kBlockCacheSlack) return -1;
    slot->buffer = static_cast<uint8_t*>(MemAlloc(size + kBlockCacheSlack));
    if (slot->buffer == nullptr) return -1;
    slot->size = size;
  }
  return index;
}

void BlockCacheSetSlot(CBlockCache* cache, int32_t index, int64_t key) {
  CBlockCacheSlot* slot = SlotAt(cache, index);
  if (slot == nullptr || slot->buffer == nullptr) return;
  slot->key = key;
  slot->lastUse = ++cache->useClock;
  slot->valid = 1;
}

void BlockCacheReleaseSlot(CBlockCache* cache, int32_t index) {
  CBlockCacheSlot* slot = SlotAt(cache, index);
  if (slot == nullptr) return;
  slot->valid = 0;
  MemFree(slot->buffer);
  slot->buffer = nullptr;
  slot->size = 0;
}

void BlockCacheTouch(CBlockCache* cache, int64_t key) {
  if (cache == nullptr) return;
  for (int32_t i = 0; i < cache->count; ++i) {
    CBlockCacheSlot& slot = cache->slots[i];
    if (slot.valid && slot.key == key) {
      slot.lastUse = ++cache->useClock;
      return;
    }
  }
}
