// Loaded into the program by a test (LD_PRELOAD): operator new fails for every block of
// KESTRANE_TEST_NEW_LIMIT bytes or more, as it does on a machine whose memory has run out.
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

size_t Limit() {
  static const size_t limit = [] {
    const char* text = std::getenv("KESTRANE_TEST_NEW_LIMIT");
    return text ? static_cast<size_t>(std::strtoull(text, nullptr, 10)) : SIZE_MAX;
  }();
  return limit;
}

void* Take(size_t n) { return n >= Limit() ? nullptr : std::malloc(n ? n : 1); }

void* TakeOrThrow(size_t n) {
  void* block = Take(n);
  if (!block) throw std::bad_alloc();
  return block;
}

}  // namespace

void* operator new(size_t n) { return TakeOrThrow(n); }
void* operator new[](size_t n) { return TakeOrThrow(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Take(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Take(n); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
