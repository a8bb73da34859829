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
