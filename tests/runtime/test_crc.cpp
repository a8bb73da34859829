#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/crc.h"

namespace {

// Bit-at-a-time CRC-32, independent of the table code under test.
uint32_t ReferenceCrc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int b = 0; b < 8; ++b) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 0x12345678;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

TEST(Crc32, KnownVectors) {
  struct Case {
    const char* text;
    uint32_t crc;
  } const cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Crc32Compute(c.text, std::strlen(c.text)), c.crc) << c.text;
  }
}

TEST(Crc32, EveryLengthAndAlignmentMatchesBitwiseReference) {
  // Lengths around the 16-byte stride and starts at every alignment exercise the sliced loop and its tail.
  const std::vector<uint8_t> data = Pattern(4096 + 16);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 1000u, 4096u}) {
      EXPECT_EQ(Crc32Compute(data.data() + offset, n), ReferenceCrc32(data.data() + offset, n))
          << "offset " << offset << " length " << n;
    }
  }
}

TEST(Crc32, UpdateContinuesAcrossSplits) {
  const std::vector<uint8_t> data = Pattern(777);
  const uint32_t whole = Crc32Compute(data.data(), data.size());
  for (size_t split : {0u, 1u, 5u, 8u, 13u, 400u, 776u, 777u}) {
    const uint32_t first = Crc32Compute(data.data(), split);
    EXPECT_EQ(Crc32Update(first, data.data() + split, data.size() - split), whole) << "split " << split;
  }
}

TEST(Crc16Ccitt, KnownVectorsAndChaining) {
  const char* digits = "123456789";
  EXPECT_EQ(Crc16CcittUpdate(0, digits, 9), 0x31C3);       // XMODEM form
  EXPECT_EQ(Crc16CcittUpdate(0xFFFF, digits, 9), 0x29B1);  // FALSE form
  EXPECT_EQ(Crc16CcittUpdate(0x1234, digits, 0), 0x1234);
  const uint16_t head = Crc16CcittUpdate(0, digits, 4);
  EXPECT_EQ(Crc16CcittUpdate(head, digits + 4, 5), 0x31C3);
}

TEST(Adler32, MatchesZlibAtEveryLengthAlignmentAndChaining) {
  // All-0xFF runs are the worst case for the sums held between reductions.
  std::vector<uint8_t> noise(70000), ones(70000, 0xFF);
  uint32_t x = 99;
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
  for (const std::vector<uint8_t>* data : {&noise, &ones}) {
    for (size_t length : {0u, 1u, 15u, 16u, 17u, 5551u, 5552u, 5553u, 11104u, 65536u, 69990u})
      for (size_t shift : {0u, 3u, 9u}) {
        SCOPED_TRACE(testing::Message() << length << " at " << shift);
        const uint8_t* p = data->data() + shift;
        EXPECT_EQ(Adler32Update(1, p, length), adler32(1, p, static_cast<uInt>(length)));
        const size_t half = length / 3;
        EXPECT_EQ(Adler32Update(Adler32Update(1, p, half), p + half, length - half),
                  adler32(1, p, static_cast<uInt>(length)));
      }
  }
}

TEST(CountTrailingZeros32, Table) {
  struct Case {
    uint32_t value;
    int zeros;
  } const cases[] = {{1, 0}, {0x80000000u, 31}, {0, 32}, {12, 2}, {0x00010000u, 16}, {0xFFFFFFFFu, 0}};
  for (const auto& c : cases) EXPECT_EQ(CountTrailingZeros32(c.value), c.zeros) << std::hex << c.value;
}

}  // namespace
