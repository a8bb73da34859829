#include "runtime/byte_reader.h"

#include <gtest/gtest.h>

#include <array>

TEST(ByteReader, LoadsBothByteOrdersAndAdvances) {
  const std::array<uint8_t, 15> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  ByteReader r(bytes.data(), bytes.size());
  EXPECT_EQ(r.U8(), 0x01);
  EXPECT_EQ(r.U16LE(), 0x0302);
  EXPECT_EQ(r.U32BE(), 0x04050607u);
  EXPECT_EQ(r.U64LE(), 0x0f0e0d0c0b0a0908ull);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(r.U16BEAt(1), 0x0203);
  EXPECT_EQ(r.U64BEAt(7), 0x08090a0b0c0d0e0full);
  EXPECT_TRUE(r.ok());
}

TEST(ByteReader, EveryLoadPastTheEndFailsAndStaysFailed) {
  const std::array<uint8_t, 6> bytes = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  struct Case {
    const char* what;
    void (*step)(ByteReader&);
  };
  const Case cases[] = {
      {"u64 over 6 bytes", [](ByteReader& r) { EXPECT_EQ(r.U64LE(), 0u); }},
      {"u32 at offset 3", [](ByteReader& r) { EXPECT_EQ(r.U32LEAt(3), 0u); }},
      {"offset overflowing size_t", [](ByteReader& r) { EXPECT_EQ(r.U16BEAt(SIZE_MAX), 0u); }},
      {"skip 7", [](ByteReader& r) { EXPECT_FALSE(r.Skip(7)); }},
      {"seek 7", [](ByteReader& r) { EXPECT_FALSE(r.Seek(7)); }},
      {"sub 7", [](ByteReader& r) { EXPECT_FALSE(r.Sub(7).ok()); }},
      {"span 7", [](ByteReader& r) { EXPECT_TRUE(r.Span(7).empty()); }},
      {"bytes 7", [](ByteReader& r) {
         uint8_t out[7] = {1, 1, 1, 1, 1, 1, 1};
         EXPECT_FALSE(r.Bytes(out, 7));
         EXPECT_EQ(out[0], 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ByteReader r(bytes.data(), bytes.size());
    c.step(r);
    EXPECT_FALSE(r.ok());
    // Once failed, even loads that would fit give zeros, so a half-read structure is never taken.
    EXPECT_EQ(r.U8At(0), 0);
    EXPECT_FALSE(r.ok());
  }
}

TEST(ByteReader, SubReaderIsBoundedByItsOwnLength) {
  const std::array<uint8_t, 8> bytes = {0, 0, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  ByteReader r(bytes.data(), bytes.size());
  r.Skip(2);
  ByteReader sub = r.Sub(2);
  EXPECT_EQ(r.pos(), 4u);
  EXPECT_EQ(sub.U16BE(), 0xaabb);
  EXPECT_EQ(sub.U8(), 0);
  EXPECT_FALSE(sub.ok());
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.Seek(8));
  EXPECT_TRUE(r.Has(0));
  EXPECT_FALSE(r.Has(1));
}
