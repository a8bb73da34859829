#include "runtime/crc.h"

#include <array>
#include <bit>

namespace {

using Crc32Tables = std::array<std::array<uint32_t, 256>, 16>;

// Table 0 is the classic byte-at-a-time table; table k gives the effect of a byte followed by k zero bytes, so
// sixteen bytes can be folded in with sixteen independent look-ups (slicing-by-16).
constexpr Crc32Tables MakeCrc32Tables() {
  Crc32Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
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
constexpr std::array<uint16_t, 256> kCrc16 = MakeCrc16Table();

static_assert(kCrc32[0][1] == 0x77073096u);
static_assert(kCrc16[1] == 0x1021);

// Byte-order independent little-endian load; compilers turn it into one load on little-endian hosts.
inline uint32_t Load32Le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (p == nullptr) return crc;
  uint32_t c = ~crc;
  while (length >= 16) {
    const uint32_t w0 = Load32Le(p) ^ c;
    const uint32_t w1 = Load32Le(p + 4);
    const uint32_t w2 = Load32Le(p + 8);
    const uint32_t w3 = Load32Le(p + 12);
    c = kCrc32[15][w0 & 0xFF] ^ kCrc32[14][(w0 >> 8) & 0xFF] ^ kCrc32[13][(w0 >> 16) & 0xFF] ^
        kCrc32[12][w0 >> 24] ^ kCrc32[11][w1 & 0xFF] ^ kCrc32[10][(w1 >> 8) & 0xFF] ^
        kCrc32[9][(w1 >> 16) & 0xFF] ^ kCrc32[8][w1 >> 24] ^ kCrc32[7][w2 & 0xFF] ^
        kCrc32[6][(w2 >> 8) & 0xFF] ^ kCrc32[5][(w2 >> 16) & 0xFF] ^ kCrc32[4][w2 >> 24] ^
        kCrc32[3][w3 & 0xFF] ^ kCrc32[2][(w3 >> 8) & 0xFF] ^ kCrc32[1][(w3 >> 16) & 0xFF] ^ kCrc32[0][w3 >> 24];
    p += 16;
    length -= 16;
  }
  while (length-- > 0) c = (c >> 8) ^ kCrc32[0][(c ^ *p++) & 0xFF];
  return ~c;
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
