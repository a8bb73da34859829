#include "support/cd_reference.h"

#include <vector>

namespace {

uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  for (; b; b >>= 1) {
    if (b & 1) r ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1D : 0));
  }
  return r;
}

uint8_t GfPow2(int k) {
  uint8_t r = 1;
  while (k-- > 0) r = GfMul(r, 2);
  return r;
}

// Checks one codeword with the two parity-check rows sum(c_i) and sum(c_i * alpha^(n-1-i)).
bool CodewordOk(const std::vector<uint8_t>& c) {
  uint8_t s0 = 0;
  uint8_t s1 = 0;
  const int n = static_cast<int>(c.size());
  for (int i = 0; i < n; ++i) {
    s0 ^= c[i];
    s1 ^= GfMul(c[i], GfPow2(n - 1 - i));
  }
  return s0 == 0 && s1 == 0;
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

uint8_t Bcd(int value) { return static_cast<uint8_t>(value / 10 * 16 + value % 10); }

}  // namespace

uint32_t ReferenceEdc(const uint8_t* p, size_t n) {
  uint32_t c = 0;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int b = 0; b < 8; ++b) c = (c >> 1) ^ ((c & 1) ? 0xD8018001u : 0);
  }
  return c;
}

// The ECMA-130 codewords over the 16-bit words from byte 12, one plane for the high and one for the low bytes:
// P column k holds words 43 * r + k (r = 0..25), Q diagonal n holds words (44 * m + 43 * n) mod 1118
// (m = 0..42) and then words 1118 + n and 1144 + n.
int ReferenceBadCodewords(const uint8_t* raw, bool zeroHeader) {
  auto symbol = [&](int word, int plane) -> uint8_t {
    const int at = 12 + 2 * word + plane;
    return zeroHeader && at < 16 ? 0 : raw[at];
  };
  int bad = 0;
  for (int plane = 0; plane < 2; ++plane) {
    for (int k = 0; k < 43; ++k) {
      std::vector<uint8_t> c;
      for (int r = 0; r < 26; ++r) c.push_back(symbol(43 * r + k, plane));
      bad += !CodewordOk(c);
    }
    for (int n = 0; n < 26; ++n) {
      std::vector<uint8_t> c;
      for (int m = 0; m < 43; ++m) c.push_back(symbol((44 * m + 43 * n) % 1118, plane));
      c.push_back(symbol(1118 + n, plane));
      c.push_back(symbol(1144 + n, plane));
      bad += !CodewordOk(c);
    }
  }
  return bad;
}

bool ReferenceMode1SectorOk(const uint8_t* raw, int64_t sector) {
  static const uint8_t kSync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  for (int i = 0; i < 12; ++i)
    if (raw[i] != kSync[i]) return false;
  const int64_t address = sector + 150;
  if (raw[12] != Bcd(static_cast<int>(address / 4500)) || raw[13] != Bcd(static_cast<int>(address / 75 % 60)) ||
      raw[14] != Bcd(static_cast<int>(address % 75)) || raw[15] != 1)
    return false;
  if (Le32(raw + 2064) != ReferenceEdc(raw, 2064)) return false;
  for (int i = 2068; i < 2076; ++i)
    if (raw[i] != 0) return false;
  return ReferenceBadCodewords(raw, false) == 0;
}
