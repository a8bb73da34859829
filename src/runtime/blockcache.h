// CBlockCache: a few recently decoded chunks kept in memory, so that neighbouring reads of a compressed image
// or file do not decode one chunk twice. Owned by the QVF reader, the chunk map of DMG, ISZ and UIF images and
// the NTFS reader of compressed files.
//
// Use: look the chunk up (BlockCacheFind by key, or BlockCacheFindRange by a byte offset inside the range it
// covers); on a miss take a slot with BlockCacheAcquireSlot, decode into its buffer, set its range fields when
// looking up by offset, then BlockCacheSetSlot. A slot taken and not yet set is never found; a failed decode
// gives it back with BlockCacheReleaseSlot.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int32_t kBlockCacheMaxSlots = 64;
// Bytes every slot buffer holds beyond its nominal size, so that a decoder may write past the chunk's end.
inline constexpr size_t kBlockCacheSlack = 0x10000;

struct CBlockCacheSlot {
  int64_t key;
  uint64_t rangeFirst;  // first byte offset the chunk covers (set by the owner)
  uint64_t rangeLast;   // last byte offset the chunk covers, inclusive (set by the owner)
  uint64_t lastUse;     // use count of the cache at the last store or touch
  uint8_t* buffer;      // size + kBlockCacheSlack bytes (owned); null = slot empty
  size_t size;          // the size the buffer was allocated for
  int32_t valid;        // 1 once the owner has filled the buffer and set the slot
};

struct CBlockCache {
  int32_t count;     // slots in use, at most kBlockCacheMaxSlots
  uint64_t useClock; // increases at every store or touch
  CBlockCacheSlot slots[kBlockCacheMaxSlots];
};

// A cache of `count` empty slots; null when count is outside 0..64 or memory runs out.
CBlockCache* BlockCacheCreate(int32_t count);
// Frees the slot buffers and the cache; null is accepted.
void BlockCacheFree(CBlockCache* cache);
// The buffer of the set slot holding `key`, with its size in *size (when size is not null); null when none.
uint8_t* BlockCacheFind(CBlockCache* cache, int64_t key, size_t* size);
// Index of the first set slot whose range holds `offset` (both ends inclusive); -1 when none.
int32_t BlockCacheFindRange(const CBlockCache* cache, uint64_t offset);
// The slot to fill next: the first one holding no chunk, else the least recently used one; -1 when the cache
// has no slots.
int32_t BlockCachePickSlot(const CBlockCache* cache);
// Picks a slot and gives it a buffer for `size` bytes (plus the slack), reusing one of that size. The slot is
// unset until BlockCacheSetSlot. The slot index, or -1 when there is no slot or no memory.
int32_t BlockCacheAcquireSlot(CBlockCache* cache, size_t size);
// Records the key of a filled slot and marks it used; nothing for index -1.
void BlockCacheSetSlot(CBlockCache* cache, int32_t index, int64_t key);
// Gives back a slot whose fill failed: it holds no chunk afterwards.
void BlockCacheReleaseSlot(CBlockCache* cache, int32_t index);
// Marks the slot holding `key` as just used.
void BlockCacheTouch(CBlockCache* cache, int64_t key);
