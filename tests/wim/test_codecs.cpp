// The LZX, XPRESS Huffman and LZMS decoders checked against libwim's compressors: random, repetitive, text and
// machine-code data (the kestrane program itself) at every chunk size the codec allows give their input back.
#include <gtest/gtest.h>
#include <wimlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "wim/lzms.h"
#include "wim/lzx.h"
#include "wim/xpress.h"

namespace {

std::vector<uint8_t> Compress(wimlib_compression_type type, size_t chunkSize, const std::vector<uint8_t>& data,
                              int level = 20) {
  wimlib_compressor* compressor = nullptr;
  if (wimlib_create_compressor(type, chunkSize, level, &compressor) != 0) return {};
  std::vector<uint8_t> out(data.size());
  const size_t n = wimlib_compress(data.data(), data.size(), out.data(), out.size(), compressor);
  wimlib_free_compressor(compressor);
  out.resize(n);
  return out;
}

// Samples of what WIM chunks hold, made once at the largest size; each size takes their starts.
std::vector<std::vector<uint8_t>> Samples(size_t size) {
  static constexpr size_t kLargest = size_t{1} << 21;
  static const std::vector<std::vector<uint8_t>> full = [] {
    std::vector<std::vector<uint8_t>> samples;
    std::mt19937 random(5);
    std::vector<uint8_t> noise(kLargest);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    samples.push_back(noise);
    // Mostly-repetitive data with noise: long matches, repeat offsets, short runs of literals.
    std::vector<uint8_t> mixed(kLargest);
    for (size_t i = 0; i < kLargest; ++i)
      mixed[i] = random() % 16 == 0 ? static_cast<uint8_t>(random()) : static_cast<uint8_t>(i % 251 + (i / 4096) % 7);
    samples.push_back(mixed);
    // Text and the x86 code of the program (call translation and the LZMS x86 filter).
    std::string text;
    for (size_t i = 0; text.size() < kLargest; ++i)
      text += "line " + std::to_string(i * 7919 % 100003) + " of the text\n";
    samples.emplace_back(text.begin(), text.begin() + static_cast<long>(kLargest));
    std::string program = ReadFileBytes(KESTRANE_BIN);
    while (program.size() < kLargest) program += program;
    samples.emplace_back(program.begin(), program.begin() + static_cast<long>(kLargest));
    samples.emplace_back(kLargest, 0);
    return samples;
  }();
  std::vector<std::vector<uint8_t>> out;
  for (const auto& sample : full) out.emplace_back(sample.begin(), sample.begin() + static_cast<long>(size));
  return out;
}

struct CodecCase {
  wimlib_compression_type type;
  int log2Min, log2Max;
};

TEST(WimCodecs, DecodeWhatLibwimCompresses) {
  const CodecCase cases[] = {
      {WIMLIB_COMPRESSION_TYPE_XPRESS, 12, 16},
      {WIMLIB_COMPRESSION_TYPE_LZX, 15, 21},
      {WIMLIB_COMPRESSION_TYPE_LZMS, 15, 21},
  };
  auto lzx = LzxCreateDecoder();
  auto xpress = XpressCreateDecoder();
  auto lzms = LzmsCreateDecoder();
  for (const CodecCase& c : cases) {
    for (int log2 = c.log2Min; log2 <= c.log2Max; ++log2) {
      const size_t chunk = size_t{1} << log2;
      // A full chunk and a short last chunk; the large sizes take the machine-code sample only.
      const bool large = log2 > 17;
      for (size_t size : {chunk, chunk / 3 + 17}) {
        if (large && size != chunk) continue;
        int compressed = 0;
        const auto samples = Samples(size);
        for (size_t k = 0; k < samples.size(); ++k) {
          if (large && k != 3) continue;
          const auto& data = samples[k];
          const std::vector<uint8_t> packed = Compress(c.type, chunk, data);
          if (packed.empty()) continue;  // did not shrink: WIM stores such a chunk as it is
          ++compressed;
          std::vector<uint8_t> out(size, 0xAA);
          int ok = 0;
          if (c.type == WIMLIB_COMPRESSION_TYPE_XPRESS)
            ok = XpressDecodeChunk(xpress.get(), packed.data(), packed.size(), out.data(), out.size());
          else if (c.type == WIMLIB_COMPRESSION_TYPE_LZX)
            ok = LzxDecodeChunk(lzx.get(), packed.data(), packed.size(), out.data(), out.size(), log2 < 15 ? 15 : log2);
          else
            ok = LzmsDecodeChunk(lzms.get(), packed.data(), packed.size(), out.data(), out.size());
          ASSERT_EQ(ok, 1) << "type " << c.type << " chunk " << chunk << " size " << size;
          ASSERT_TRUE(out == data) << "type " << c.type << " chunk " << chunk << " size " << size;
        }
        EXPECT_GE(compressed, large ? 1 : 3) << "type " << c.type << " chunk " << chunk;
      }
    }
  }
}

// Damaged streams fail (or decode to something) without reading or writing out of bounds; a truncated valid
// stream never claims success with the wrong bytes.
TEST(WimCodecs, DamagedStreamsFailCleanly) {
  auto lzx = LzxCreateDecoder();
  auto xpress = XpressCreateDecoder();
  auto lzms = LzmsCreateDecoder();
  std::mt19937 random(99);
  const size_t size = 65536;
  const auto data = Samples(size)[3];
  const std::pair<wimlib_compression_type, int> types[] = {
      {WIMLIB_COMPRESSION_TYPE_XPRESS, 16}, {WIMLIB_COMPRESSION_TYPE_LZX, 16}, {WIMLIB_COMPRESSION_TYPE_LZMS, 16}};
  for (const auto& [type, log2] : types) {
    const std::vector<uint8_t> packed = Compress(type, size, data);
    ASSERT_FALSE(packed.empty());
    for (int round = 0; round < 200; ++round) {
      std::vector<uint8_t> damaged = packed;
      if (round % 2) {
        damaged.resize(random() % damaged.size());
      } else {
        for (int k = 0; k < 4; ++k) damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1 + random() % 255);
      }
      std::vector<uint8_t> out(size);
      int ok;
      if (type == WIMLIB_COMPRESSION_TYPE_XPRESS)
        ok = XpressDecodeChunk(xpress.get(), damaged.data(), damaged.size(), out.data(), out.size());
      else if (type == WIMLIB_COMPRESSION_TYPE_LZX)
        ok = LzxDecodeChunk(lzx.get(), damaged.data(), damaged.size(), out.data(), out.size(), log2);
      else
        ok = LzmsDecodeChunk(lzms.get(), damaged.data(), damaged.size(), out.data(), out.size());
      if (ok && round % 2 && damaged.size() < packed.size() / 2) {
        EXPECT_NE(out, data);
      }
    }
  }
  // LZX windows outside 2^15..2^21 are refused.
  std::vector<uint8_t> out(16);
  const uint8_t in[16] = {};
  EXPECT_EQ(LzxDecodeChunk(lzx.get(), in, sizeof(in), out.data(), out.size(), 14), 0);
  EXPECT_EQ(LzxDecodeChunk(lzx.get(), in, sizeof(in), out.data(), out.size(), 22), 0);
}

// The E8 translation of LZX: a value equal to the translation size and bytes among the last ten are left.
TEST(WimCodecs, LzxCallTranslationEdges) {
  std::vector<uint8_t> data(32, 0x90);
  auto put = [&](size_t at, int32_t v) {
    data[at] = 0xE8;
    std::memcpy(&data[at + 1], &v, 4);
  };
  put(0, 100);                                         // absolute 100 at position 0 -> relative 100
  put(5, 110);                                         // at 5 -> 105
  put(10, static_cast<int32_t>(kLzxTranslationSize));  // equal to the size: left
  put(22, 50);                                         // within the last ten bytes: left
  LzxUndoCallTranslation(data.data(), data.size(), kLzxTranslationSize);
  int32_t v;
  std::memcpy(&v, &data[1], 4);
  EXPECT_EQ(v, 100);
  std::memcpy(&v, &data[6], 4);
  EXPECT_EQ(v, 105);
  std::memcpy(&v, &data[11], 4);
  EXPECT_EQ(v, static_cast<int32_t>(kLzxTranslationSize));
  std::memcpy(&v, &data[23], 4);
  EXPECT_EQ(v, 50);
}

// The LZMS x86 filter: a chunk of 17 bytes is not filtered, an E8 in the last 16 bytes is never translated.
TEST(WimCodecs, LzmsFilterEdges) {
  std::vector<int32_t> work(65536);
  std::vector<uint8_t> small(17, 0);
  small[1] = 0xE8;
  small[2] = 9;
  const auto before = small;
  LzmsUndoX86Filter(small.data(), small.size(), work.data());
  EXPECT_EQ(small, before);
  // Two calls to one target within the window turn on translation for the next one.
  std::vector<uint8_t> code(64, 0x90);
  auto call = [&](size_t at, uint32_t operand) {
    code[at] = 0xE8;
    std::memcpy(&code[at + 1], &operand, 4);
  };
  // Two untranslated calls whose targets agree (1 + 0xFFF = 8 + 0xFF8)...
  call(1, 0x1000 - 1);
  call(8, 0x1000 - 8);
  // ...make the next call, stored as an absolute target, go back to relative.
  call(15, 0x2000 + 15);
  call(50, 0x3000);  // inside the last 16 bytes
  const auto stored = code;
  LzmsUndoX86Filter(code.data(), code.size(), work.data());
  uint32_t v;
  std::memcpy(&v, &code[16], 4);
  EXPECT_EQ(v, 0x2000u);
  EXPECT_EQ(std::memcmp(&code[50], &stored[50], 5), 0);
}

// The adaptive codes are rebuilt from counts; equal weights merge leaves before inner nodes.
TEST(WimCodecs, LzmsCodeLengths) {
  const uint32_t equal[4] = {1, 1, 1, 1};
  uint8_t lengths[4];
  LzmsBuildCodeLengths(4, equal, lengths, 15);
  EXPECT_EQ(std::vector<uint8_t>(lengths, lengths + 4), (std::vector<uint8_t>{2, 2, 2, 2}));
  const uint32_t skewed[5] = {1, 1, 2, 4, 8};
  uint8_t five[5];
  LzmsBuildCodeLengths(5, skewed, five, 15);
  EXPECT_EQ(std::vector<uint8_t>(five, five + 5), (std::vector<uint8_t>{4, 4, 3, 2, 1}));
  // Fibonacci-like counts that would need 20 bits are folded to the limit.
  uint32_t fib[21];
  fib[0] = fib[1] = 1;
  for (int i = 2; i < 21; ++i) fib[i] = fib[i - 1] + fib[i - 2];
  uint8_t limited[21];
  LzmsBuildCodeLengths(21, fib, limited, 15);
  uint64_t kraft = 0;
  for (uint8_t l : limited) {
    EXPECT_LE(l, 15);
    EXPECT_GE(l, 1);
    kraft += uint64_t{1} << (15 - l);
  }
  EXPECT_EQ(kraft, uint64_t{1} << 15);
}

}  // namespace
