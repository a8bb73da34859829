#include "runtime/crc.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <bit>

namespace {

using Crc32Tables = std::array<std::array<uint32_t, 256>, 16>;

// Table 0 is the classic byte-at-a-time table; table k gives the effect of a byte followed by k zero bytes, so
// sixteen bytes can be folded in with sixteen independent look-ups (slicing-by-16).
constexpr Crc32Tables MakeCrc32Tables(uint32_t polynomial = 0xEDB88320u) {
  Crc32Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
    t[0][i] = c;
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 8;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1;
    t[i] = static_cast<uint16_t>(c);
  }
  return t;
}

constexpr Crc32Tables kCrc32 = MakeCrc32Tables();
constexpr Crc32Tables kCrc32c = MakeCrc32Tables(0x82F63B78u);
constexpr std::array<uint16_t, 256> kCrc16 = MakeCrc16Table();

static_assert(kCrc32[0][1] == 0x77073096u);
static_assert(kCrc16[1] == 0x1021);
static_assert(kCrc32c[0][1] == 0xF26B8303u);

// Byte-order independent little-endian load; compilers turn it into one load on little-endian hosts.
inline uint32_t Load32Le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t SlicedCrcUpdate(const Crc32Tables& table, uint32_t crc, const uint8_t* p, size_t length) {
  if (p == nullptr) return crc;
  uint32_t c = ~crc;
  while (length >= 16) {
    const uint32_t w0 = Load32Le(p) ^ c;
    const uint32_t w1 = Load32Le(p + 4);
    const uint32_t w2 = Load32Le(p + 8);
    const uint32_t w3 = Load32Le(p + 12);
    c = table[15][w0 & 0xFF] ^ table[14][(w0 >> 8) & 0xFF] ^ table[13][(w0 >> 16) & 0xFF] ^ table[12][w0 >> 24] ^
        table[11][w1 & 0xFF] ^ table[10][(w1 >> 8) & 0xFF] ^ table[9][(w1 >> 16) & 0xFF] ^ table[8][w1 >> 24] ^
        table[7][w2 & 0xFF] ^ table[6][(w2 >> 8) & 0xFF] ^ table[5][(w2 >> 16) & 0xFF] ^ table[4][w2 >> 24] ^
        table[3][w3 & 0xFF] ^ table[2][(w3 >> 8) & 0xFF] ^ table[1][(w3 >> 16) & 0xFF] ^ table[0][w3 >> 24];
    p += 16;
    length -= 16;
  }
  while (length-- > 0) c = (c >> 8) ^ table[0][(c ^ *p++) & 0xFF];
  return ~c;
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t length) {
  return SlicedCrcUpdate(kCrc32, crc, static_cast<const uint8_t*>(bytes), length);
}

uint32_t Adler32Update(uint32_t adler, const void* bytes, size_t length) {
  constexpr uint32_t kBase = 65521;
  // Sixteen bytes at a time, in blocks short enough that no 32-bit lane overflows before the sums are reduced.
  constexpr size_t kBlock = 5552 / 16 * 16;
  auto* p = static_cast<const uint8_t*>(bytes);
  uint64_t a = adler & 0xFFFF, b = adler >> 16;
  const __m128i zero = _mm_setzero_si128();
  const __m128i weightsLow = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i weightsHigh = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (length >= 16) {
    const size_t n = std::min(length, kBlock) & ~size_t{15};
    __m128i sums = zero;      // byte sums, in two 64-bit lanes
    __m128i before = zero;    // for each 16-byte step, the byte sums of the steps before it
    __m128i weighted = zero;  // bytes times their distance from the step's end
    for (size_t at = 0; at < n; at += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
      before = _mm_add_epi64(before, sums);
      sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weightsLow));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weightsHigh));
    }
    alignas(16) uint64_t s[2], q[2];
    alignas(16) uint32_t w[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(s), sums);
    _mm_store_si128(reinterpret_cast<__m128i*>(q), before);
    _mm_store_si128(reinterpret_cast<__m128i*>(w), weighted);
    b += n * a + 16 * (q[0] + q[1]) + (uint64_t{w[0]} + w[1] + w[2] + w[3]);
    a += s[0] + s[1];
    a %= kBase;
    b %= kBase;
    p += n;
    length -= n;
  }
  for (; length > 0; --length) {
    a += *p++;
    b += a;
  }
  return static_cast<uint32_t>((b % kBase) << 16 | (a % kBase));
}

uint32_t Crc32cUpdate(uint32_t crc, const void* bytes, size_t length) {
  return SlicedCrcUpdate(kCrc32c, crc, static_cast<const uint8_t*>(bytes), length);
}

uint32_t Crc32cWithZeroedField(uint32_t crc, const void* bytes, size_t length, size_t fieldOffset) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (fieldOffset > length || length - fieldOffset < 4) return Crc32cUpdate(crc, p, length);
  static constexpr uint8_t kZeros[4] = {};
  crc = Crc32cUpdate(crc, p, fieldOffset);
  crc = Crc32cUpdate(crc, kZeros, 4);
  return Crc32cUpdate(crc, p + fieldOffset + 4, length - fieldOffset - 4);
}

uint32_t Crc32Compute(const void* bytes, size_t length) { return Crc32Update(0, bytes, length); }

uint16_t Crc16CcittUpdate(uint16_t initial, const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (p == nullptr) return initial;
  uint32_t c = initial;
  for (size_t i = 0; i < length; ++i) c = (c << 8) ^ kCrc16[((c >> 8) ^ p[i]) & 0xFF];
  return static_cast<uint16_t>(c);
}

int CountTrailingZeros32(uint32_t value) { return std::countr_zero(value); }
int CountTrailingZeros64(uint64_t value) { return std::countr_zero(value); }
