// The codecs of chunk-compressed images: LZFSE against streams of the reference encoder, ADC, base64 and AES
// against the FIPS-197 vectors and openssl.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "formats/adc.h"
#include "formats/aes.h"
#include "formats/dmg.h"
#include "formats/lzfse.h"
#include "support/run_program.h"

namespace {

const std::string kPairs = "/work/shared/fixtures/lzfse/pairs/";

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Hex(const char* hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return out;
}

// Rewrites the first "bvx2" block of a stream as the "bvx1" block it stands for: the same fields unpacked, the
// frequencies as 16-bit words.
std::vector<uint8_t> FirstBlockAsV1(const std::vector<uint8_t>& stream, size_t* v2Size) {
  auto field = [](uint64_t v, int offset, int bits) {
    return static_cast<uint32_t>((v >> offset) & ((1ull << bits) - 1));
  };
  auto u64 = [&](size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | stream[at + i];
    return v;
  };
  const uint64_t f0 = u64(8), f1 = u64(16), f2 = u64(24);
  const uint32_t headerSize = field(f2, 0, 32);
  // Frequencies: variable-length codes, least significant bit first.
  std::vector<uint16_t> freq;
  uint32_t accum = 0;
  int bits = 0;
  size_t src = 32;
  for (int i = 0; i < 360; ++i) {
    while (bits + 8 <= 32 && src < headerSize) accum |= static_cast<uint32_t>(stream[src++]) << bits, bits += 8;
    static const int kLen[16] = {2, 3, 2, 5, 2, 3, 2, 8, 2, 3, 2, 5, 2, 3, 2, 14};
    static const int kVal[32] = {0, 2, 1, 4, 0, 3, 1, -1, 0, 2, 1, 5, 0, 3, 1, -1,
                                 0, 2, 1, 6, 0, 3, 1, -1, 0, 2, 1, 7, 0, 3, 1, -1};
    const int n = kLen[accum & 15];
    freq.push_back(static_cast<uint16_t>(n == 8    ? 8 + ((accum >> 4) & 15)
                                         : n == 14 ? 24 + ((accum >> 4) & 0x3FF)
                                                   : kVal[accum & 31]));
    accum >>= n;
    bits -= n;
  }
  const uint32_t literalPayload = field(f0, 20, 20), lmdPayload = field(f1, 40, 20);
  std::vector<uint8_t> out;
  auto put = [&](uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  out.insert(out.end(), {'b', 'v', 'x', '1'});
  put(stream[4] | stream[5] << 8 | stream[6] << 16 | static_cast<uint32_t>(stream[7]) << 24, 4);
  put(literalPayload + lmdPayload, 4);
  put(field(f0, 0, 20), 4);
  put(field(f0, 40, 20), 4);
  put(literalPayload, 4);
  put(lmdPayload, 4);
  put(static_cast<uint32_t>(static_cast<int32_t>(field(f0, 60, 3)) - 7), 4);
  for (int i = 0; i < 4; ++i) put(field(f1, 10 * i, 10), 2);
  put(static_cast<uint32_t>(static_cast<int32_t>(field(f1, 60, 3)) - 7), 4);
  put(field(f2, 32, 10), 2);
  put(field(f2, 42, 10), 2);
  put(field(f2, 52, 10), 2);
  for (uint16_t f : freq) put(f, 2);
  put(0, 2);  // the record's padding to a multiple of four bytes
  out.insert(out.end(), stream.begin() + headerSize, stream.begin() + headerSize + literalPayload + lmdPayload);
  *v2Size = headerSize + literalPayload + lmdPayload;
  return out;
}

}  // namespace

TEST(Lzfse, EveryReferencePairDecodesToItsOriginal) {
  for (const char* name : {"tiny", "text-3k", "text-1m", "binary-3m", "runs-2m", "random-256k", "end-only"}) {
    SCOPED_TRACE(name);
    const std::string stream = ReadFileBytes(kPairs + name + ".lzfse");
    const std::string original = ReadFileBytes(kPairs + name + ".bin");
    if (stream.empty()) GTEST_SKIP() << "LZFSE fixtures missing";
    std::vector<uint8_t> out(original.size() + 100, 0xEE);
    ASSERT_EQ(LzfseDecode(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), out.data(), out.size()),
              static_cast<int64_t>(original.size()));
    EXPECT_EQ(0, std::memcmp(out.data(), original.data(), original.size()));
    // Room for exactly the original is enough; one byte less is refused.
    if (!original.empty()) {
      EXPECT_EQ(
          LzfseDecode(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), out.data(), original.size() - 1),
          -1);
    }
  }
}

TEST(Lzfse, V1BlockMadeFromAV2BlockDecodesAlike) {
  const std::vector<uint8_t> stream = Bytes(ReadFileBytes(kPairs + "text-1m.lzfse"));
  const std::string original = ReadFileBytes(kPairs + "text-1m.bin");
  if (stream.empty()) GTEST_SKIP() << "LZFSE fixtures missing";
  ASSERT_EQ(0, std::memcmp(stream.data(), "bvx2", 4));
  size_t v2Size = 0;
  std::vector<uint8_t> v1 = FirstBlockAsV1(stream, &v2Size);
  const uint32_t raw = stream[4] | stream[5] << 8 | stream[6] << 16 | static_cast<uint32_t>(stream[7]) << 24;
  v1.insert(v1.end(), {'b', 'v', 'x', '$'});
  std::vector<uint8_t> out(raw);
  ASSERT_EQ(LzfseDecode(v1.data(), v1.size(), out.data(), out.size()), static_cast<int64_t>(raw));
  EXPECT_EQ(0, std::memcmp(out.data(), original.data(), raw));
}

TEST(Lzfse, DamagedStreamsFailWithinTheirBuffers) {
  const std::string original = ReadFileBytes(kPairs + "text-1m.bin");
  for (const char* name : {"text-1m", "text-3k", "tiny"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> stream = Bytes(ReadFileBytes(kPairs + name + ".lzfse"));
    if (stream.empty()) GTEST_SKIP() << "LZFSE fixtures missing";
    std::vector<uint8_t> out(2 << 20);
    // Cut at many places: never a success, never an access outside the copies (the sanitizer watches).
    for (size_t cut = 0; cut < stream.size(); cut += 1 + stream.size() / 97) {
      std::vector<uint8_t> head(stream.begin(), stream.begin() + cut);
      EXPECT_EQ(LzfseDecode(head.data(), head.size(), out.data(), out.size()), -1) << cut;
    }
    // Flipped bytes may decode to something, but stay inside the buffers and never claim more than there is room.
    for (size_t at = 4; at < stream.size(); at += 1 + stream.size() / 61) {
      std::vector<uint8_t> bad = stream;
      bad[at] ^= 0x5A;
      const int64_t got = LzfseDecode(bad.data(), bad.size(), out.data(), out.size());
      EXPECT_LE(got, static_cast<int64_t>(out.size()));
    }
  }
  // A block that announces more output than there is room for fails rather than writing past the end.
  const std::vector<uint8_t> overlong = {'b', 'v', 'x', '-', 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 'b', 'v', 'x', '$'};
  std::vector<uint8_t> small(4);
  EXPECT_EQ(LzfseDecode(overlong.data(), overlong.size(), small.data(), small.size()), -1);
  std::vector<uint8_t> room(16);
  EXPECT_EQ(LzfseDecode(overlong.data(), overlong.size() - 4, room.data(), room.size()), -1);  // no end mark
}

TEST(Adc, DecodesRunsCopiesAndStopsAtBadItems) {
  struct Case {
    const char* name;
    std::vector<uint8_t> in;
    std::string expected;
    int64_t consumed;
  };
  const Case cases[] = {
      {"literal run", {0x82, 'a', 'b', 'c'}, "abc", 4},
      // A 2-byte copy with distance 0 repeats the previous byte.
      {"two-byte copy of distance 0", {0x80, 'x', 0x00, 0x00}, "xxxx", 4},
      {"three-byte copy", {0x83, 'a', 'b', 'c', 'd', 0x40, 0x00, 0x03}, "abcdabcd", 8},
      {"copy before the start", {0x80, 'x', 0x00, 0x05}, "x", 2},
      {"cut literal run", {0x85, 'a', 'b'}, "", 0},
      {"cut three-byte copy", {0x80, 'q', 0x41, 0x00}, "q", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(64);
    int64_t produced = -1;
    EXPECT_EQ(AdcDecompress(static_cast<int64_t>(c.in.size()), c.in.data(), 64, out.data(), &produced), c.consumed);
    EXPECT_EQ(std::string(out.begin(), out.begin() + produced), c.expected);
  }
  // The next item that would not fit the output is not decoded.
  const uint8_t in[] = {0x81, 'a', 'b', 0x00, 0x00};
  uint8_t out[3];
  int64_t produced = 0;
  EXPECT_EQ(AdcDecompress(sizeof(in), in, sizeof(out), out, &produced), 3);
  EXPECT_EQ(produced, 2);
}

TEST(Base64, CleansWhitespaceAndDecodesPadding) {
  std::string text = "\n\tbWlz\r\naA==\t";
  std::string plain = "bWlzaA==";
  const size_t cleaned = Base64Clean(text.data(), text.size());
  EXPECT_EQ(text.substr(0, cleaned), plain);
  uint8_t out[16];
  size_t length = 0;
  ASSERT_EQ(Base64Decode(plain.data(), plain.size(), out, &length), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), "mish");
  // A trailing partial group is ignored; a character outside the alphabet fails.
  ASSERT_EQ(Base64Decode("bWlzaA", 6, out, &length), 1);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(Base64Decode("bW*z", 4, out, &length), 0);
}

TEST(Aes, Fips197VectorsForAllKeyLengths) {
  const std::vector<uint8_t> plain = Hex("00112233445566778899aabbccddeeff");
  const std::vector<uint8_t> key = Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const struct {
    int length;
    const char* cipher;
  } cases[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
               {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
               {32, "8ea2b7ca516745bfeafc49904b496089"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    CAesContext context;
    ASSERT_EQ(AesSetKeyBytes(&context, key.data(), c.length), 0);
    uint8_t block[16];
    AesEncryptBlock(&context, block, plain.data());
    EXPECT_EQ(std::vector<uint8_t>(block, block + 16), Hex(c.cipher));
    AesDecryptBlock(&context, block, block);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 16), plain);
  }
}

TEST(Aes, PasswordKeysArePaddedAndBadLengthsRefused) {
  CAesContext context = {};
  context.keyLength = 99;
  EXPECT_EQ(AesSetKey(&context, "secret", 20), -1);
  EXPECT_EQ(context.keyLength, 99);
  // A 5-character password keys AES-128 with its bytes and 11 zeros: openssl agrees on one block.
  ASSERT_EQ(AesSetKey(&context, "hello", 16), 0);
  uint8_t block[16];
  const uint8_t plain[16] = {'k', 'e', 's', 't', 'r', 'a', 'n', 'e', ' ', 'b', 'l', 'o', 'c', 'k', '!', '\n'};
  AesEncryptBlock(&context, block, plain);
  const std::string folder = MakeTestFolder("aes_openssl");
  WriteFileBytes(folder + "/plain", std::string(reinterpret_cast<const char*>(plain), 16));
  const ProgramResult r = RunShell("openssl enc -aes-128-ecb -nopad -K 68656c6c6f0000000000000000000000 -in '" +
                                   folder + "/plain' -out '" + folder + "/cipher' 2>&1");
  if (r.status != 0) GTEST_SKIP() << "openssl missing";
  EXPECT_EQ(ReadFileBytes(folder + "/cipher"), std::string(reinterpret_cast<const char*>(block), 16));
}
