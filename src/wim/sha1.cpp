#include "wim/sha1.h"

#include <cstring>

namespace {

inline uint32_t Rotl(uint32_t v, int n) { return v << n | v >> (32 - n); }

void Transform(uint32_t state[5], const uint8_t* p) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = static_cast<uint32_t>(p[4 * i]) << 24 | static_cast<uint32_t>(p[4 * i + 1]) << 16 |
           static_cast<uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  auto step = [&](uint32_t f, uint32_t k, uint32_t word) {
    const uint32_t t = Rotl(a, 5) + f + e + k + word;
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = t;
  };
  for (int i = 0; i < 20; ++i) step((b & c) | (~b & d), 0x5A827999u, w[i]);
  for (int i = 20; i < 40; ++i) step(b ^ c ^ d, 0x6ED9EBA1u, w[i]);
  for (int i = 40; i < 60; ++i) step((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, w[i]);
  for (int i = 60; i < 80; ++i) step(b ^ c ^ d, 0xCA62C1D6u, w[i]);
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

void CountBlock(CSha1Context* context) {
  if (++context->blocksLow == 0) ++context->blocksHigh;
}

}  // namespace

void Sha1Init(CSha1Context* context) {
  context->state[0] = 0x67452301u;
  context->state[1] = 0xEFCDAB89u;
  context->state[2] = 0x98BADCFEu;
  context->state[3] = 0x10325476u;
  context->state[4] = 0xC3D2E1F0u;
  context->blocksLow = 0;
  context->blocksHigh = 0;
}

void Sha1Reset(CSha1Context* context) {
  Sha1Init(context);
  context->held = 0;
}

void Sha1Update(CSha1Context* context, const void* bytes, size_t n) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (context->held) {
    const size_t take = n < 64 - context->held ? n : 64 - context->held;
    std::memcpy(context->block + context->held, p, take);
    context->held += static_cast<uint32_t>(take);
    p += take;
    n -= take;
    if (context->held < 64) return;
    Transform(context->state, context->block);
    CountBlock(context);
    context->held = 0;
  }
  for (; n >= 64; p += 64, n -= 64) {
    Transform(context->state, p);
    CountBlock(context);
  }
  if (n) std::memcpy(context->block, p, n);
  context->held = static_cast<uint32_t>(n);
}

void Sha1Final(CSha1Context* context, uint8_t digest[kSha1DigestBytes]) {
  const uint64_t bits = ((static_cast<uint64_t>(context->blocksHigh) << 32 | context->blocksLow) << 9) +
                        static_cast<uint64_t>(context->held) * 8;
  uint8_t* block = context->block;
  uint32_t at = context->held;
  block[at++] = 0x80;
  if (at > 56) {
    std::memset(block + at, 0, 64 - at);
    Transform(context->state, block);
    at = 0;
  }
  std::memset(block + at, 0, 56 - at);
  for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Transform(context->state, block);
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(context->state[i] >> (24 - 8 * j));
  Sha1Reset(context);
}

void Sha1Buffer(const void* bytes, size_t n, uint8_t digest[kSha1DigestBytes]) {
  CSha1Context context;
  Sha1Reset(&context);
  Sha1Update(&context, bytes, n);
  Sha1Final(&context, digest);
}
