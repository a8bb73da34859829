// Heap blocks for the whole program. A failed allocation prints its size on standard output and gives null;
// callers treat null as lack of memory. Every block is released with MemFree.
#pragma once

#include <cstddef>
#include <memory>

// A block of `size` bytes, not cleared; null (after "malloc failed: <size>") on failure.
void* MemAlloc(size_t size);
// A zero-filled block; null (after "zmalloc failed: <size>") on failure.
void* MemZeroAlloc(size_t size);
// Releases a block; null is ignored.
void MemFree(void* block);
// A new block of `newSize` bytes holding the first min(oldSize, newSize) bytes of `block`, which is then freed.
// On failure the result is null and `block` stays valid and owned by the caller. A null block just allocates.
void* MemRealloc(void* block, size_t oldSize, size_t newSize);
// A zero-filled block with the heap's own alignment (16 bytes); `alignment` is accepted and not used.
void* MemAllocAligned(size_t alignment, size_t size);
void MemFreeAligned(void* block);
// Asks the kernel to back the whole pages inside a block that is about to be filled, in one call rather than
// one fault per page. Only a hint: nothing happens where the system cannot do it.
void MemPrefault(void* block, size_t size);
// A zero-filled mapping of `size` bytes (a multiple of kMemHugeBytes), aligned to kMemHugeBytes and backed by
// huge pages where the system gives them, its pages mapped at once: for data that fills megabytes quickly, where
// one fault per 4 KiB page costs more than the work done in it. Null when the mapping fails; no message, the
// caller falls back to the heap. Released with MemUnmapHuge and the same size.
constexpr size_t kMemHugeBytes = size_t{2} << 20;
void* MemMapHuge(size_t size);
void MemUnmapHuge(void* block, size_t size);

// Owner of a block from these wrappers: released with MemFree.
struct MemFreeDeleter {
  void operator()(void* block) const { MemFree(block); }
};
template <typename T>
using MemBlock = std::unique_ptr<T, MemFreeDeleter>;
