#include "wim/sha1.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KESTRANE_SHA1_X86 1
#endif

namespace {

inline uint32_t Rotl(uint32_t v, int n) { return v << n | v >> (32 - n); }

void TransformPortable(uint32_t state[5], const uint8_t* p, size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
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
}

#ifdef KESTRANE_SHA1_X86

#define KESTRANE_SHA1_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// One group of four rounds with the SHA extensions. Lanes hold the working words with A (or the earliest message
// word) in the top lane. `w` keeps the last four message vectors; group G uses w[G % 4], computing it from the
// four before it from group 4 on.
template <int G>
KESTRANE_SHA1_TARGET inline void HardwareGroup(__m128i* abcd, __m128i* e, __m128i* previous, __m128i w[4],
                                               const __m128i& order, const uint8_t* p) {
  if constexpr (G < 4) {
    w[G] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * G)), order);
  } else {
    w[G % 4] =
        _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w[G % 4], w[(G + 1) % 4]), w[(G + 2) % 4]), w[(G + 3) % 4]);
  }
  const __m128i words = G == 0 ? _mm_add_epi32(*e, w[0]) : _mm_sha1nexte_epu32(*previous, w[G % 4]);
  *previous = *abcd;
  *abcd = _mm_sha1rnds4_epu32(*abcd, words, G / 5);
  if constexpr (G < 19) HardwareGroup<G + 1>(abcd, e, previous, w, order, p);
}

KESTRANE_SHA1_TARGET void TransformHardware(uint32_t state[5], const uint8_t* p, size_t blocks) {
  // Reverses the 16 bytes: big-endian words, the first of them in the top lane.
  const __m128i order = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abcdStart = abcd, eStart = e;
    __m128i previous = abcd, w[4];
    HardwareGroup<0>(&abcd, &e, &previous, w, order, p);
    e = _mm_sha1nexte_epu32(previous, eStart);
    abcd = _mm_add_epi32(abcd, abcdStart);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

bool CpuHasShaExtensions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29)) != 0;
}

#endif

using TransformFunction = void (*)(uint32_t*, const uint8_t*, size_t);

// The block function for this processor, chosen once.
TransformFunction ChosenTransform() {
#ifdef KESTRANE_SHA1_X86
  static const TransformFunction chosen = CpuHasShaExtensions() ? TransformHardware : TransformPortable;
  return chosen;
#else
  return TransformPortable;
#endif
}

void AddBlocks(CSha1Context* context, size_t blocks) {
  const uint64_t count = (static_cast<uint64_t>(context->blocksHigh) << 32 | context->blocksLow) + blocks;
  context->blocksLow = static_cast<uint32_t>(count);
  context->blocksHigh = static_cast<uint32_t>(count >> 32);
}

}  // namespace

int Sha1HardwareAvailable() {
#ifdef KESTRANE_SHA1_X86
  return ChosenTransform() == TransformHardware ? 1 : 0;
#else
  return 0;
#endif
}

void Sha1CompressBlocks(uint32_t state[5], const uint8_t* blocks, size_t count, int method) {
#ifdef KESTRANE_SHA1_X86
  if (method == kSha1Hardware && Sha1HardwareAvailable()) return TransformHardware(state, blocks, count);
#endif
  if (method == kSha1Chosen) return ChosenTransform()(state, blocks, count);
  TransformPortable(state, blocks, count);
}

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
  const TransformFunction transform = ChosenTransform();
  if (context->held) {
    const size_t take = n < 64 - context->held ? n : 64 - context->held;
    std::memcpy(context->block + context->held, p, take);
    context->held += static_cast<uint32_t>(take);
    p += take;
    n -= take;
    if (context->held < 64) return;
    transform(context->state, context->block, 1);
    AddBlocks(context, 1);
    context->held = 0;
  }
  if (n >= 64) {
    transform(context->state, p, n / 64);
    AddBlocks(context, n / 64);
    p += n / 64 * 64;
    n %= 64;
  }
  if (n) std::memcpy(context->block, p, n);
  context->held = static_cast<uint32_t>(n);
}

void Sha1Final(CSha1Context* context, uint8_t digest[kSha1DigestBytes]) {
  const TransformFunction transform = ChosenTransform();
  const uint64_t bits = ((static_cast<uint64_t>(context->blocksHigh) << 32 | context->blocksLow) << 9) +
                        static_cast<uint64_t>(context->held) * 8;
  uint8_t* block = context->block;
  uint32_t at = context->held;
  block[at++] = 0x80;
  if (at > 56) {
    std::memset(block + at, 0, 64 - at);
    transform(context->state, block, 1);
    at = 0;
  }
  std::memset(block + at, 0, 56 - at);
  for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  transform(context->state, block, 1);
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
