// Any bytes as ADC input, decoded into a buffer sized by the first byte: it must stay inside both buffers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/adc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> out(static_cast<size_t>(data[0]) * 256);
  int64_t produced = 0;
  const int64_t used =
      AdcDecompress(static_cast<int64_t>(size - 1), data + 1, static_cast<int64_t>(out.size()), out.data(), &produced);
  if (used > static_cast<int64_t>(size - 1) || produced > static_cast<int64_t>(out.size())) __builtin_trap();
  return 0;
}
