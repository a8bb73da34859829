// Any bytes as an LZFSE stream, decoded into a buffer of 1 MiB: it must fail or succeed inside both buffers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/lzfse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> out(1 << 20);
  const int64_t got = LzfseDecode(data, size, out.data(), out.size());
  if (got > static_cast<int64_t>(out.size())) __builtin_trap();
  return 0;
}
