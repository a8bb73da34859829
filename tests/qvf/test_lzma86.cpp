// Lzma86 coder: round trips, agreement with liblzma's LZMA1 and x86 filters in both directions, damaged input.
#include "qvf/lzma86.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes TextBytes(size_t n) {
  static const char* const kWords[] = {"sector ", "volume ", "track ", "the ", "image ", "chunk\n", "index, ",
                                       "0x1F40 ", "session "};
  std::mt19937 rng(7);
  Bytes out;
  while (out.size() < n) {
    const char* w = kWords[rng() % std::size(kWords)];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}

// Real machine code, so that the branch filter has calls and jumps to rewrite.
Bytes CodeBytes(size_t n) {
  std::ifstream f("/bin/ls", std::ios::binary);
  Bytes out((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (out.size() > n) out.resize(n);
  return out;
}

// Operands straddling the end, back-to-back opcodes and near-top bytes: the filter's awkward cases.
Bytes BranchTorture(size_t n) {
  static const uint8_t kPattern[] = {0xE8, 0xE8, 0x00, 0xFF, 0xE9, 0x00, 0xE8, 0xFF, 0xFF, 0x00, 0xE9, 0x12};
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = kPattern[(i * 7 + i / 13) % std::size(kPattern)];
  return out;
}

Bytes Encode(const Bytes& in, int filter, int level = 5) {
  Bytes out(in.size() + in.size() / 8 + 64 * 1024);
  size_t len = out.size();
  EXPECT_EQ(Lzma86_Encode(out.data(), &len, in.data(), in.size(), level, 1u << 24, filter), kLzma86Ok);
  out.resize(len);
  return out;
}

// Decodes with liblzma's raw decoder: the x86 filter (when the header asks for it) over LZMA1 with the
// header's properties and its unpacked size.
bool DecodeWithLiblzma(const Bytes& stream, Bytes* out) {
  if (stream.size() < kLzma86HeaderSize) return false;
  uint64_t size = 0;
  for (int i = 7; i >= 0; --i) size = (size << 8) | stream[6 + i];
  lzma_filter lzma = {LZMA_FILTER_LZMA1EXT, nullptr};
  if (lzma_properties_decode(&lzma, nullptr, stream.data() + 1, 5) != LZMA_OK) return false;
  auto* opts = static_cast<lzma_options_lzma*>(lzma.options);
  opts->ext_flags = 0;  // left unset by lzma_properties_decode
  opts->ext_size_low = static_cast<uint32_t>(size);
  opts->ext_size_high = static_cast<uint32_t>(size >> 32);
  std::vector<lzma_filter> chain;
  if (stream[0] == 1) chain.push_back({LZMA_FILTER_X86, nullptr});
  chain.push_back(lzma);
  chain.push_back({LZMA_VLI_UNKNOWN, nullptr});

  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret ret = lzma_raw_decoder(&strm, chain.data());
  free(opts);
  if (ret != LZMA_OK) return false;
  out->assign(size + 1, 0);  // one spare byte shows any output past the declared size
  strm.next_in = stream.data() + kLzma86HeaderSize;
  strm.avail_in = stream.size() - kLzma86HeaderSize;
  strm.next_out = out->data();
  strm.avail_out = out->size();
  while ((ret = lzma_code(&strm, LZMA_FINISH)) == LZMA_OK) {
  }
  out->resize(out->size() - strm.avail_out);
  lzma_end(&strm);
  return ret == LZMA_STREAM_END;
}

// An Lzma86 stream made by liblzma's raw encoder (x86 when asked, then LZMA1 at preset 6, which ends with an
// end marker), wrapped in the header by hand; declaredSize overrides the size written into it.
Bytes EncodeWithLiblzma(const Bytes& in, bool x86, uint64_t declaredSize) {
  lzma_options_lzma opts;
  EXPECT_FALSE(lzma_lzma_preset(&opts, 6));
  lzma_filter chain[3];
  int n = 0;
  if (x86) chain[n++] = {LZMA_FILTER_X86, nullptr};
  chain[n++] = {LZMA_FILTER_LZMA1, &opts};
  chain[n] = {LZMA_VLI_UNKNOWN, nullptr};
  Bytes out(kLzma86HeaderSize + in.size() + in.size() / 4 + 4096);
  size_t pos = kLzma86HeaderSize;
  EXPECT_EQ(lzma_raw_buffer_encode(chain, nullptr, in.data(), in.size(), out.data(), &pos, out.size()), LZMA_OK);
  out.resize(pos);
  out[0] = x86 ? 1 : 0;
  lzma_filter lz = {LZMA_FILTER_LZMA1, &opts};
  EXPECT_EQ(lzma_properties_encode(&lz, out.data() + 1), LZMA_OK);
  for (int i = 0; i < 8; ++i) out[6 + i] = static_cast<uint8_t>(declaredSize >> (8 * i));
  return out;
}

int Decode(const Bytes& stream, size_t capacity, Bytes* out, size_t* used = nullptr) {
  out->assign(capacity, 0xA5);
  size_t outLen = capacity;
  size_t inLen = stream.size();
  const int res = Lzma86_Decode(out->data(), &outLen, stream.data(), &inLen);
  if (res == kLzma86Ok) {
    out->resize(outLen);
    if (used) *used = inLen;
  }
  return res;
}

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> Samples() {
  std::vector<Sample> s;
  s.push_back({"empty", {}});
  for (size_t n : {1, 4, 5, 6, 9, 17}) s.push_back({"torture", BranchTorture(n)});
  s.push_back({"torture-64k", BranchTorture(65536)});
  s.push_back({"random", RandomBytes(200 * 1024, 1)});
  Bytes dense = RandomBytes(64 * 1024, 2);  // opcodes and near-top bytes in every arrangement
  for (auto& b : dense) b = std::array<uint8_t, 5>{0xE8, 0xE9, 0x00, 0xFF, 0x12}[b % 5];
  s.push_back({"branch-dense", std::move(dense)});
  s.push_back({"text", TextBytes(300 * 1024)});
  s.push_back({"code", CodeBytes(256 * 1024)});
  return s;
}

TEST(Lzma86, RoundTripsAndLiblzmaDecodesOurStreams) {
  for (const Sample& s : Samples()) {
    for (int filter : {kLzma86FilterNone, kLzma86FilterX86}) {
      SCOPED_TRACE(std::string(s.name) + " size " + std::to_string(s.data.size()) + " filter " +
                   std::to_string(filter));
      const Bytes stream = Encode(s.data, filter);
      ASSERT_GE(stream.size(), kLzma86HeaderSize);
      EXPECT_EQ(stream[0], filter);
      uint64_t declared = 0;
      ASSERT_EQ(Lzma86_GetUnpackSize(stream.data(), stream.size(), &declared), kLzma86Ok);
      EXPECT_EQ(declared, s.data.size());

      Bytes ours;
      size_t used = 0;
      ASSERT_EQ(Decode(stream, s.data.size(), &ours, &used), kLzma86Ok);
      EXPECT_TRUE(ours == s.data);
      EXPECT_EQ(used, stream.size());

      Bytes theirs;
      ASSERT_TRUE(DecodeWithLiblzma(stream, &theirs));
      EXPECT_TRUE(theirs == s.data);
    }
  }
}

TEST(Lzma86, FilterActuallyHelpsMachineCode) {
  const Bytes code = CodeBytes(256 * 1024);
  ASSERT_GT(code.size(), 64u * 1024);
  EXPECT_LT(Encode(code, kLzma86FilterX86).size(), Encode(code, kLzma86FilterNone).size());
}

TEST(Lzma86, DecodesLiblzmaStreams) {
  for (const Sample& s : Samples()) {
    for (bool x86 : {false, true}) {
      SCOPED_TRACE(std::string(s.name) + " size " + std::to_string(s.data.size()) + (x86 ? " x86" : ""));
      const Bytes stream = EncodeWithLiblzma(s.data, x86, s.data.size());
      Bytes ours;
      ASSERT_EQ(Decode(stream, s.data.size(), &ours), kLzma86Ok);
      EXPECT_TRUE(ours == s.data);
    }
  }
}

TEST(Lzma86, EncoderReportsShortOutputAndBadParameters) {
  const Bytes text = TextBytes(10000);
  Bytes out(64);
  size_t len = out.size();
  EXPECT_EQ(Lzma86_Encode(out.data(), &len, text.data(), text.size(), 5, 1u << 24, 1), kLzma86ErrorOutputEof);
  len = 13;
  EXPECT_EQ(Lzma86_Encode(out.data(), &len, text.data(), 0, 5, 1u << 24, 1), kLzma86ErrorOutputEof);
  len = out.size();
  EXPECT_EQ(Lzma86_Encode(out.data(), &len, text.data(), 0, 5, 1u << 24, 2), kLzma86ErrorParam);
  EXPECT_EQ(len, 0u);
}

TEST(Lzma86, DamagedStreamsFailWithinTheirBounds) {
  const Bytes code = CodeBytes(64 * 1024);
  const Bytes good = Encode(code, kLzma86FilterX86);
  auto withSize = [&](uint64_t size) {
    Bytes s = good;
    for (int i = 0; i < 8; ++i) s[6 + i] = static_cast<uint8_t>(size >> (8 * i));
    return s;
  };
  auto patched = [&](size_t at, uint8_t value) {
    Bytes s = good;
    s[at] = value;
    return s;
  };
  struct Case {
    const char* name;
    Bytes stream;
    size_t capacity;
    int expected;
  };
  const Case cases[] = {
      {"header only half there", Bytes(good.begin(), good.begin() + 9), code.size(), kLzma86ErrorInputEof},
      {"unknown filter", patched(0, 2), code.size(), kLzma86ErrorUnsupported},
      {"properties out of range", patched(1, 225), code.size(), kLzma86ErrorUnsupported},
      {"size beyond the buffer", withSize(code.size() + 1), code.size(), kLzma86ErrorOutputEof},
      {"size near 2^64", withSize(~0ull), code.size(), kLzma86ErrorOutputEof},
      {"data cut short", Bytes(good.begin(), good.begin() + good.size() / 2), code.size(), kLzma86ErrorInputEof},
      // liblzma's stream ends with an end marker; a header claiming more must not pass off a short output.
      {"end marker before the declared size", EncodeWithLiblzma(code, true, code.size() + 100), code.size() + 100,
       kLzma86ErrorData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    EXPECT_EQ(Decode(c.stream, c.capacity, &out), c.expected);
  }

  // Flipped bytes anywhere in the data: either a failure or exactly the declared size, never an overrun.
  std::mt19937 rng(3);
  for (int trial = 0; trial < 200; ++trial) {
    Bytes s = good;
    const size_t at = kLzma86HeaderSize + rng() % (s.size() - kLzma86HeaderSize);
    s[at] ^= static_cast<uint8_t>(1 + rng() % 255);
    Bytes out;
    if (Decode(s, code.size(), &out) == kLzma86Ok) {
      EXPECT_EQ(out.size(), code.size());
    }
  }
}

}  // namespace
