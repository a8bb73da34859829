#include "formats/aes.h"

#include <cstring>

#include "runtime/byte_reader.h"

namespace {

struct AesTables {
  uint8_t sbox[256];
  uint8_t inverseSbox[256];
  uint32_t forward[4][256];
  uint32_t inverse[4][256];
  uint32_t roundConstants[10];

  AesTables() {
    // Powers and logarithms of the generator 3 in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
    uint8_t power[256], logarithm[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 256; ++i) {
      power[i] = x;
      logarithm[x] = static_cast<uint8_t>(i);
      x = static_cast<uint8_t>(x ^ Times2(x));
    }
    auto multiply = [&](uint8_t a, uint8_t b) -> uint8_t {
      return a && b ? power[(logarithm[a] + logarithm[b]) % 255] : 0;
    };
    sbox[0] = 0x63;
    inverseSbox[0x63] = 0;
    for (int i = 1; i < 256; ++i) {
      uint8_t inverseValue = power[255 - logarithm[i]];
      uint8_t s = inverseValue;
      for (int r = 1; r <= 4; ++r) s ^= static_cast<uint8_t>((inverseValue << r) | (inverseValue >> (8 - r)));
      s ^= 0x63;
      sbox[i] = s;
      inverseSbox[s] = static_cast<uint8_t>(i);
    }
    uint8_t rc = 1;
    for (uint32_t& c : roundConstants) {
      c = static_cast<uint32_t>(rc) << 24;
      rc = Times2(rc);
    }
    for (int i = 0; i < 256; ++i) {
      const uint8_t s = sbox[i];
      const uint32_t f = static_cast<uint32_t>(multiply(s, 2)) << 24 | static_cast<uint32_t>(s) << 16 |
                         static_cast<uint32_t>(s) << 8 | multiply(s, 3);
      const uint8_t v = inverseSbox[i];
      const uint32_t b = static_cast<uint32_t>(multiply(v, 14)) << 24 | static_cast<uint32_t>(multiply(v, 9)) << 16 |
                         static_cast<uint32_t>(multiply(v, 13)) << 8 | multiply(v, 11);
      for (int t = 0; t < 4; ++t) {
        forward[t][i] = Rotate(f, 8 * t);
        inverse[t][i] = Rotate(b, 8 * t);
      }
    }
  }
  static uint8_t Times2(uint8_t v) { return static_cast<uint8_t>((v << 1) ^ ((v & 0x80) ? 0x1B : 0)); }
  static uint32_t Rotate(uint32_t v, int right) { return right ? (v >> right) | (v << (32 - right)) : v; }
};

const AesTables& Tables() {
  static const AesTables tables;
  return tables;
}

uint32_t SubWord(const AesTables& t, uint32_t w) {
  return static_cast<uint32_t>(t.sbox[w >> 24]) << 24 | static_cast<uint32_t>(t.sbox[(w >> 16) & 0xFF]) << 16 |
         static_cast<uint32_t>(t.sbox[(w >> 8) & 0xFF]) << 8 | t.sbox[w & 0xFF];
}

void Store(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

void AesGenerateTables() { (void)Tables(); }

int AesSetKeyBytes(CAesContext* context, const uint8_t* key, int32_t keyLength) {
  if (!context || !key || (keyLength != 16 && keyLength != 24 && keyLength != 32)) return -1;
  const AesTables& t = Tables();
  const int nk = keyLength / 4;
  const int rounds = nk + 6;
  const int words = 4 * (rounds + 1);
  uint32_t* w = context->encryptKeys;
  for (int i = 0; i < nk; ++i) w[i] = LoadU32BE(key + 4 * i);
  for (int i = nk; i < words; ++i) {
    uint32_t temp = w[i - 1];
    if (i % nk == 0)
      temp = SubWord(t, (temp << 8) | (temp >> 24)) ^ t.roundConstants[i / nk - 1];
    else if (nk > 6 && i % nk == 4)
      temp = SubWord(t, temp);
    w[i] = w[i - nk] ^ temp;
  }
  // The inverse cipher takes the round keys in reverse order, InvMixColumns applied to all but the outer two.
  uint32_t* d = context->decryptKeys;
  for (int r = 0; r <= rounds; ++r)
    for (int c = 0; c < 4; ++c) {
      uint32_t k = w[4 * (rounds - r) + c];
      if (r > 0 && r < rounds)
        k = t.inverse[0][t.sbox[k >> 24]] ^ t.inverse[1][t.sbox[(k >> 16) & 0xFF]] ^
            t.inverse[2][t.sbox[(k >> 8) & 0xFF]] ^ t.inverse[3][t.sbox[k & 0xFF]];
      d[4 * r + c] = k;
    }
  context->keyLength = keyLength;
  return 0;
}

int AesSetKey(CAesContext* context, const char* key, int32_t keyLength) {
  if (!context || !key || (keyLength != 16 && keyLength != 24 && keyLength != 32)) return -1;
  uint8_t padded[32] = {};
  const size_t length = strnlen(key, static_cast<size_t>(keyLength));
  std::memcpy(padded, key, length);
  return AesSetKeyBytes(context, padded, keyLength);
}

void AesEncryptBlock(const CAesContext* context, uint8_t* output, const uint8_t* input) {
  const AesTables& t = Tables();
  const uint32_t* k = context->encryptKeys;
  const int rounds = context->keyLength / 4 + 6;
  uint32_t s0 = LoadU32BE(input) ^ k[0], s1 = LoadU32BE(input + 4) ^ k[1];
  uint32_t s2 = LoadU32BE(input + 8) ^ k[2], s3 = LoadU32BE(input + 12) ^ k[3];
  for (int r = 1; r < rounds; ++r) {
    k += 4;
    const uint32_t t0 = t.forward[0][s0 >> 24] ^ t.forward[1][(s1 >> 16) & 0xFF] ^ t.forward[2][(s2 >> 8) & 0xFF] ^
                        t.forward[3][s3 & 0xFF] ^ k[0];
    const uint32_t t1 = t.forward[0][s1 >> 24] ^ t.forward[1][(s2 >> 16) & 0xFF] ^ t.forward[2][(s3 >> 8) & 0xFF] ^
                        t.forward[3][s0 & 0xFF] ^ k[1];
    const uint32_t t2 = t.forward[0][s2 >> 24] ^ t.forward[1][(s3 >> 16) & 0xFF] ^ t.forward[2][(s0 >> 8) & 0xFF] ^
                        t.forward[3][s1 & 0xFF] ^ k[2];
    const uint32_t t3 = t.forward[0][s3 >> 24] ^ t.forward[1][(s0 >> 16) & 0xFF] ^ t.forward[2][(s1 >> 8) & 0xFF] ^
                        t.forward[3][s2 & 0xFF] ^ k[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  k += 4;
  auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return static_cast<uint32_t>(t.sbox[a >> 24]) << 24 | static_cast<uint32_t>(t.sbox[(b >> 16) & 0xFF]) << 16 |
           static_cast<uint32_t>(t.sbox[(c >> 8) & 0xFF]) << 8 | t.sbox[d & 0xFF];
  };
  Store(output, last(s0, s1, s2, s3) ^ k[0]);
  Store(output + 4, last(s1, s2, s3, s0) ^ k[1]);
  Store(output + 8, last(s2, s3, s0, s1) ^ k[2]);
  Store(output + 12, last(s3, s0, s1, s2) ^ k[3]);
}

void AesDecryptBlock(const CAesContext* context, uint8_t* output, const uint8_t* input) {
  const AesTables& t = Tables();
  const uint32_t* k = context->decryptKeys;
  const int rounds = context->keyLength / 4 + 6;
  uint32_t s0 = LoadU32BE(input) ^ k[0], s1 = LoadU32BE(input + 4) ^ k[1];
  uint32_t s2 = LoadU32BE(input + 8) ^ k[2], s3 = LoadU32BE(input + 12) ^ k[3];
  for (int r = 1; r < rounds; ++r) {
    k += 4;
    const uint32_t t0 = t.inverse[0][s0 >> 24] ^ t.inverse[1][(s3 >> 16) & 0xFF] ^ t.inverse[2][(s2 >> 8) & 0xFF] ^
                        t.inverse[3][s1 & 0xFF] ^ k[0];
    const uint32_t t1 = t.inverse[0][s1 >> 24] ^ t.inverse[1][(s0 >> 16) & 0xFF] ^ t.inverse[2][(s3 >> 8) & 0xFF] ^
                        t.inverse[3][s2 & 0xFF] ^ k[1];
    const uint32_t t2 = t.inverse[0][s2 >> 24] ^ t.inverse[1][(s1 >> 16) & 0xFF] ^ t.inverse[2][(s0 >> 8) & 0xFF] ^
                        t.inverse[3][s3 & 0xFF] ^ k[2];
    const uint32_t t3 = t.inverse[0][s3 >> 24] ^ t.inverse[1][(s2 >> 16) & 0xFF] ^ t.inverse[2][(s1 >> 8) & 0xFF] ^
                        t.inverse[3][s0 & 0xFF] ^ k[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  k += 4;
  auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return static_cast<uint32_t>(t.inverseSbox[a >> 24]) << 24 |
           static_cast<uint32_t>(t.inverseSbox[(b >> 16) & 0xFF]) << 16 |
           static_cast<uint32_t>(t.inverseSbox[(c >> 8) & 0xFF]) << 8 | t.inverseSbox[d & 0xFF];
  };
  Store(output, last(s0, s3, s2, s1) ^ k[0]);
  Store(output + 4, last(s1, s0, s3, s2) ^ k[1]);
  Store(output + 8, last(s2, s1, s0, s3) ^ k[2]);
  Store(output + 12, last(s3, s2, s1, s0) ^ k[3]);
}
