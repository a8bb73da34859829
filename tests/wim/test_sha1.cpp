// SHA-1 against the FIPS 180 test vectors and against sha1sum over data that crosses block boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "wim/sha1.h"

namespace {

std::string Hex(const uint8_t* digest) {
  std::string out;
  char two[3];
  for (int i = 0; i < kSha1DigestBytes; ++i) {
    std::snprintf(two, sizeof(two), "%02x", digest[i]);
    out += two;
  }
  return out;
}

std::string Digest(const std::string& bytes) {
  uint8_t digest[kSha1DigestBytes];
  Sha1Buffer(bytes.data(), bytes.size(), digest);
  return Hex(digest);
}

TEST(Sha1, FipsVectors) {
  EXPECT_EQ(Digest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(Digest(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Lengths around the padding boundary (55 bytes fit one final block, 56 need two) and pieces fed in odd steps
// give what sha1sum says.
TEST(Sha1, MatchesSha1sumAcrossBoundariesAndPieces) {
  std::mt19937 random(7);
  const std::string folder = MakeTestFolder("sha1");
  for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 4097u, 100000u}) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const std::string path = folder + "/data";
    WriteFileBytes(path, bytes);
    const ProgramResult sum = RunShell("sha1sum " + path);
    ASSERT_EQ(sum.status, 0);
    CSha1Context context;
    Sha1Reset(&context);
    for (size_t at = 0; at < length;) {
      const size_t step = std::min<size_t>(length - at, 1 + random() % 97);
      Sha1Update(&context, bytes.data() + at, step);
      at += step;
    }
    uint8_t digest[kSha1DigestBytes];
    Sha1Final(&context, digest);
    EXPECT_EQ(Hex(digest), sum.out.substr(0, 40)) << length;
    // Final starts the context afresh.
    Sha1Update(&context, "abc", 3);
    Sha1Final(&context, digest);
    EXPECT_EQ(Hex(digest), "a9993e364706816aba3e25717850c26c9cd0d89d");
  }
}

// The block function chosen at run time (the SHA extensions where the processor has them) and the portable one
// agree over random blocks and runs of every length up to 40 blocks, from states carried across runs.
TEST(Sha1, HardwareAndPortableBlocksAgree) {
  if (!Sha1HardwareAvailable()) GTEST_SKIP() << "no SHA extensions on this processor";
  std::mt19937 random(11);
  std::vector<uint8_t> data(64 * 40);
  uint32_t portable[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  uint32_t hardware[5];
  std::copy(portable, portable + 5, hardware);
  for (size_t blocks = 0; blocks <= 40; ++blocks) {
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    Sha1CompressBlocks(portable, data.data(), blocks, kSha1Portable);
    Sha1CompressBlocks(hardware, data.data(), blocks, kSha1Hardware);
    ASSERT_TRUE(std::equal(portable, portable + 5, hardware)) << blocks;
  }
  // Bytes that are all ones or all zeros reach the carries and the message schedule's extremes.
  for (const uint8_t fill : {0x00, 0xFF}) {
    std::fill(data.begin(), data.end(), fill);
    Sha1CompressBlocks(portable, data.data(), 40, kSha1Portable);
    Sha1CompressBlocks(hardware, data.data(), 40, kSha1Hardware);
    EXPECT_TRUE(std::equal(portable, portable + 5, hardware)) << int{fill};
  }
}

}  // namespace
