#include "wim/xpress.h"

#include <new>

std::unique_ptr<CXpressDecoder> XpressCreateDecoder() {
  return std::unique_ptr<CXpressDecoder>(new (std::nothrow) CXpressDecoder);
}

namespace {

// The bit stream: 32 bits of which at least 16 are valid after every step, refilled with one 16-bit
// little-endian unit when fewer remain; the bytes of long match lengths are taken from the input between the
// units, at the position the refills have reached.
struct Bits {
  const uint8_t* in;
  size_t size;
  size_t at;
  uint32_t next;
  int extra;  // valid bits beyond 16

  uint32_t Unit() {
    uint32_t v = 0;
    if (at + 1 < size) v = static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8;
    at += 2;
    return v;
  }
  void Consume(int n) {
    if (n == 0) return;
    next <<= n;
    extra -= n;
    if (extra < 0) {
      next |= Unit() << -extra;
      extra += 16;
    }
  }
  uint32_t Take(int n) {
    if (n == 0) return 0;
    const uint32_t v = next >> (32 - n);
    Consume(n);
    return v;
  }
};

}  // namespace

int XpressDecodeChunk(CXpressDecoder* decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
  if (!decoder) return 0;
  if (outSize == 0) return 1;
  if (inSize < 256) return 0;
  uint8_t lengths[512];
  for (int i = 0; i < 256; ++i) {
    lengths[2 * i] = in[i] & 15;
    lengths[2 * i + 1] = in[i] >> 4;
  }
  if (!HuffmanTableBuild(&decoder->table, lengths, 512, 15, 12)) return 0;
  Bits bits{in, inSize, 256, 0, 16};
  bits.next = bits.Unit() << 16;
  bits.next |= bits.Unit();
  size_t produced = 0;
  while (produced < outSize) {
    int codeLength = 0;
    const int symbol = HuffmanTableDecode(&decoder->table, bits.next >> 16, &codeLength);
    if (symbol < 0) return 0;
    bits.Consume(codeLength);
    if (symbol < 256) {
      out[produced++] = static_cast<uint8_t>(symbol);
      continue;
    }
    const int offsetBits = (symbol - 256) >> 4;
    uint32_t length = static_cast<uint32_t>(symbol & 15);
    if (length == 15) {
      if (bits.at >= inSize) return 0;
      length = in[bits.at++];
      if (length == 255) {
        if (inSize - bits.at < 2) return 0;
        length = static_cast<uint32_t>(in[bits.at]) | static_cast<uint32_t>(in[bits.at + 1]) << 8;
        bits.at += 2;
      } else {
        length += 15;
      }
    }
    length += 3;
    const uint32_t distance = (1u << offsetBits) + bits.Take(offsetBits);
    if (distance > produced) return 0;
    if (length > outSize - produced) {
      // A match running past the chunk's end copies what fits and fails the chunk.
      LzCopyMatch(out + produced, distance, outSize - produced);
      return 0;
    }
    LzCopyMatch(out + produced, distance, length);
    produced += length;
  }
  return 1;
}
