#include "filesystems/lznt1.h"

#include <cstring>

namespace {

// Decodes one compressed chunk of `size` bytes into `out` (room for kLznt1ChunkSize): bytes made, or -1.
int64_t DecodeChunk(const uint8_t* in, size_t size, uint8_t* out) {
  size_t at = 0;
  size_t made = 0;
  while (at < size) {
    const uint8_t flags = in[at++];
    for (int bit = 0; bit < 8 && at < size; ++bit) {
      if (!(flags & (1u << bit))) {
        if (made >= kLznt1ChunkSize) return -1;
        out[made++] = in[at++];
        continue;
      }
      if (size - at < 2) return -1;
      const uint16_t token = static_cast<uint16_t>(in[at] | in[at + 1] << 8);
      at += 2;
      if (made == 0) return -1;  // nothing to refer back to
      // The more output the chunk holds, the more bits the offset takes from the length.
      unsigned lengthBits = 12;
      for (size_t q = made - 1; q >= 0x10; q >>= 1) --lengthBits;
      const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      const size_t offset = (static_cast<size_t>(token) >> lengthBits) + 1;
      if (offset > made || length > kLznt1ChunkSize - made) return -1;
      // Overlapping copies repeat the bytes just written, so they go byte by byte.
      const uint8_t* from = out + made - offset;
      if (offset >= length) {
        std::memcpy(out + made, from, length);
      } else {
        for (size_t i = 0; i < length; ++i) out[made + i] = from[i];
      }
      made += length;
    }
  }
  return static_cast<int64_t>(made);
}

}  // namespace

int64_t Lznt1DecodeBlock(const uint8_t* input, size_t inputSize, uint8_t* output, size_t outputSize) {
  if (!output || outputSize % kLznt1ChunkSize != 0) return -1;
  size_t at = 0;
  size_t made = 0;
  while (input && inputSize - at >= 2) {
    const uint16_t header = static_cast<uint16_t>(input[at] | input[at + 1] << 8);
    if (header == 0) break;
    const size_t stored = (header & 0x0FFFu) + 1;
    at += 2;
    if (stored > inputSize - at || made >= outputSize) return -1;
    uint8_t* out = output + made;
    if (header & 0x8000u) {
      const int64_t n = DecodeChunk(input + at, stored, out);
      if (n < 0) return -1;
      std::memset(out + n, 0, kLznt1ChunkSize - static_cast<size_t>(n));
    } else {
      if (stored != kLznt1ChunkSize) return -1;
      std::memcpy(out, input + at, kLznt1ChunkSize);
    }
    at += stored;
    made += kLznt1ChunkSize;
  }
  std::memset(output + made, 0, outputSize - made);
  return static_cast<int64_t>(made);
}
