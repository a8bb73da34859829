#include "runtime/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The failure line goes out as narrow bytes: the console never mixes wide and narrow output on one stream.
void ReportFailure(const char* what, size_t size) {
  char line[64];
  int n = std::snprintf(line, sizeof line, "%s failed: %zu\r\n", what, size);
  if (n > 0) std::fwrite(line, 1, static_cast<size_t>(n), stdout);
}

}  // namespace

void* MemAlloc(size_t size) {
  void* block = std::malloc(size);
  if (block == nullptr) ReportFailure("malloc", size);
  return block;
}

void* MemZeroAlloc(size_t size) {
  void* block = std::calloc(1, size);
  if (block == nullptr) ReportFailure("zmalloc", size);
  return block;
}

void MemFree(void* block) { std::free(block); }

void* MemRealloc(void* block, size_t oldSize, size_t newSize) {
  void* grown = MemAlloc(newSize);
  if (grown != nullptr && block != nullptr) {
    std::memcpy(grown, block, oldSize < newSize ? oldSize : newSize);
    std::free(block);
  }
  return grown;
}

void* MemMapHuge(size_t size) {
  if (size == 0 || size % kMemHugeBytes != 0) return nullptr;
  // Map one huge page more than asked, then give back the head and tail that lie outside the aligned run.
  const size_t span = size + kMemHugeBytes;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kMemHugeBytes - 1) & ~(uintptr_t{kMemHugeBytes} - 1);
  if (aligned > start) munmap(mapped, aligned - start);
  const size_t tail = start + span - (aligned + size);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, size, MADV_HUGEPAGE);
#endif
  MemPrefault(block, size);
  return block;
}

void MemUnmapHuge(void* block, size_t size) {
  if (block != nullptr) munmap(block, size);
}

void* MemAllocAligned(size_t /*alignment*/, size_t size) { return MemZeroAlloc(size); }

void MemFreeAligned(void* block) { MemFree(block); }

void MemPrefault(void* block, size_t size) {
#ifdef MADV_POPULATE_WRITE
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  if (block == nullptr || page == 0) return;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t first = (start + page - 1) & ~(page - 1);
  const uintptr_t end = (start + size) & ~(page - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)size;
#endif
}
