#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvf/inflate.h"
#include "runtime/memory.h"
#include "support/zlib_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- inputs and the zlib oracle ----

Bytes RandomBytes(size_t n, uint32_t seed = 0x9E3779B9u) {
  Bytes v(n);
  for (auto& b : v) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return v;
}

Bytes TextLike(size_t n) {
  static const char* const words[] = {"sector ", "image ", "volume ", "the ",   "of ",   "chunk\n",
                                      "index ",  "deflate ", "a ",   "track ", "disc ", "42 "};
  Bytes v;
  uint32_t x = 7;
  while (v.size() < n) {
    x = x * 1103515245u + 12345u;
    for (const char* w = words[(x >> 16) % 12]; *w && v.size() < n; ++w) v.push_back(static_cast<uint8_t>(*w));
  }
  return v;
}

// Runs of text, noise and zeros, so that one stream holds blocks of several kinds and far matches.
Bytes Mixed(size_t n) {
  Bytes v;
  const Bytes text = TextLike(40000), noise = RandomBytes(12000, 5);
  for (int part = 0; v.size() < n; ++part) {
    const Bytes& source = part % 3 == 0 ? text : noise;
    const size_t take = part % 3 == 2 ? 9000 : source.size();
    for (size_t i = 0; i < take && v.size() < n; ++i) v.push_back(part % 3 == 2 ? 0 : source[i]);
  }
  return v;
}


// zlib's raw inflate with the same output limit: the bytes produced, or -1.
int64_t ZlibRawInflate(const Bytes& stream, size_t limit) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return -1;
  Bytes out(limit);
  z.next_in = const_cast<uint8_t*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(limit);
  const int rc = inflate(&z, Z_FINISH);
  const int64_t produced = static_cast<int64_t>(z.total_out);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? produced : -1;
}

// Our decode into a buffer of exactly `limit` bytes, so that AddressSanitizer sees any write past it.
int64_t Inflate(const Bytes& stream, size_t limit, Bytes* out, int32_t variant = 0) {
  auto inflater = std::make_unique<CInflater>();
  inflater->variant = variant;
  out->assign(limit, 0);
  const auto exact = std::make_unique<uint8_t[]>(limit);
  const int64_t n = InflaterInflateLimited(inflater.get(), stream.data(), exact.get(), stream.size(), limit);
  if (n > 0) std::memcpy(out->data(), exact.get(), static_cast<size_t>(n));
  out->resize(n > 0 ? static_cast<size_t>(n) : 0);
  EXPECT_EQ(inflater->outputLimit, 0u);
  return n;
}

// ---- building streams bit by bit ----

class BitWriter {
 public:
  // `n` bits of `value`, least significant first (header fields, extra bits).
  void Bits(uint32_t value, int n) {
    for (int i = 0; i < n; ++i) Bit((value >> i) & 1);
  }
  // A Huffman codeword, most significant bit first.
  void Code(uint32_t code, int n) {
    for (int i = n - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  void Align() { used_ = 0; }
  void Byte(uint8_t b) {
    Align();
    bytes_.push_back(b);
  }
  Bytes Take() { return bytes_; }

 private:
  void Bit(uint32_t bit) {
    if (used_ == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<uint8_t>(bit << used_);
    used_ = (used_ + 1) % 8;
  }
  Bytes bytes_;
  int used_ = 0;
};

std::vector<uint32_t> CanonicalCodes(const Bytes& lengths) {
  uint32_t count[16] = {}, next[16] = {};
  for (uint8_t l : lengths) ++count[l];
  count[0] = 0;
  for (int l = 1, code = 0; l < 16; ++l) next[l] = code = (code + count[l - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size());
  for (size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  }
  return codes;
}

struct BlockCodes {  // block-type codes of a variant: stored, fixed, dynamic
  uint32_t stored, fixed, dynamic;
};
constexpr BlockCodes kVariantCodes[4] = {{0, 1, 2}, {1, 2, 0}, {0, 2, 1}, {1, 0, 2}};

void StoredBlock(BitWriter& w, bool last, uint32_t type, const std::string& data, uint16_t complementXor = 0) {
  w.Bits(last, 1);
  w.Bits(type, 2);
  const uint16_t len = static_cast<uint16_t>(data.size());
  const uint16_t nlen = static_cast<uint16_t>(~len ^ complementXor);
  w.Byte(len & 0xFF);
  w.Byte(len >> 8);
  w.Byte(nlen & 0xFF);
  w.Byte(nlen >> 8);
  for (char c : data) w.Byte(static_cast<uint8_t>(c));
}

// Literal/length symbols and distance symbols of the fixed code.
void FixedSymbol(BitWriter& w, uint32_t symbol) {
  if (symbol < 144) w.Code(0x30 + symbol, 8);
  else if (symbol < 256) w.Code(0x190 + symbol - 144, 9);
  else if (symbol < 280) w.Code(symbol - 256, 7);
  else w.Code(0xC0 + symbol - 280, 8);
}
void FixedDistance(BitWriter& w, uint32_t symbol) { w.Code(symbol, 5); }

// Code-length alphabet used by the hand-made dynamic blocks: a complete code (0-15 five bits, 16 two bits, 17
// and 18 three bits), all 19 lengths sent.
Bytes GeneralCodeLengthCode() {
  Bytes l(19, 5);
  l[16] = 2;
  l[17] = 3;
  l[18] = 3;
  return l;
}
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct CodeLengthOp {
  uint32_t symbol, extra, extraBits;
};

// A dynamic block header: field values as sent (HLIT - 257, HDIST - 1), the code-length code, then the given
// code-length symbols.
void DynamicHeader(BitWriter& w, bool last, uint32_t type, uint32_t hlit, uint32_t hdist, const Bytes& clLengths,
                   const std::vector<CodeLengthOp>& ops) {
  w.Bits(last, 1);
  w.Bits(type, 2);
  w.Bits(hlit, 5);
  w.Bits(hdist, 5);
  w.Bits(15, 4);
  for (uint8_t s : kCodeLengthOrder) w.Bits(clLengths[s], 3);
  const std::vector<uint32_t> codes = CanonicalCodes(clLengths);
  for (const CodeLengthOp& op : ops) {
    w.Code(codes[op.symbol], clLengths[op.symbol]);
    w.Bits(op.extra, static_cast<int>(op.extraBits));
  }
}

std::vector<CodeLengthOp> Literally(const Bytes& lengths) {
  std::vector<CodeLengthOp> ops;
  for (uint8_t l : lengths) ops.push_back({l, 0, 0});
  return ops;
}

// A dynamic block's codes; symbols are then written with Sym/Dist.
struct DynamicCodes {
  Bytes litLen, distance;
  std::vector<uint32_t> litLenCodes, distanceCodes;
  void Sym(BitWriter& w, uint32_t s) const { w.Code(litLenCodes[s], litLen[s]); }
  void Dist(BitWriter& w, uint32_t s) const { w.Code(distanceCodes[s], distance[s]); }
};

DynamicCodes WriteDynamicCodes(BitWriter& w, bool last, uint32_t type, const Bytes& litLen, const Bytes& distance) {
  Bytes all = litLen;
  all.insert(all.end(), distance.begin(), distance.end());
  DynamicHeader(w, last, type, static_cast<uint32_t>(litLen.size() - 257),
                static_cast<uint32_t>(distance.size() - 1), GeneralCodeLengthCode(), Literally(all));
  return {litLen, distance, CanonicalCodes(litLen), CanonicalCodes(distance)};
}

// Literals 9 bits, end of block 2 bits, length symbol 257 (length 3) 2 bits: a complete code.
Bytes SmallLitLenLengths() {
  Bytes l(258, 9);
  l[256] = 2;
  l[257] = 2;
  return l;
}

// One stream holding a stored, a fixed and a dynamic block, written with the block-type codes of `variant`;
// the fixed block reaches back into the stored one and the dynamic one uses a single one-bit distance code.
const char kThreeBlocksText[] = "stored!ABABABAstozzzzend";
Bytes ThreeBlockStream(int variant) {
  const BlockCodes c = kVariantCodes[variant];
  BitWriter w;
  StoredBlock(w, false, c.stored, "stored!");
  w.Bits(0, 1);
  w.Bits(c.fixed, 2);
  FixedSymbol(w, 'A');
  FixedSymbol(w, 'B');
  FixedSymbol(w, 259);  // length 5
  FixedDistance(w, 1);  // distance 2
  FixedSymbol(w, 257);  // length 3
  FixedDistance(w, 7);  // distance 13 + 1: back to "sto"
  w.Bits(1, 2);
  FixedSymbol(w, 256);
  const DynamicCodes d = WriteDynamicCodes(w, true, c.dynamic, SmallLitLenLengths(), Bytes{1});
  d.Sym(w, 'z');
  d.Sym(w, 257);
  d.Dist(w, 0);  // distance 1
  for (char ch : std::string("end")) d.Sym(w, static_cast<uint8_t>(ch));
  d.Sym(w, 256);
  return w.Take();
}

std::string AsText(const Bytes& b) { return std::string(b.begin(), b.end()); }

// ---- tests ----

TEST(Inflate, DecodesZlibStreamsByteForByte) {
  struct Config {
    const char* name;
    int level, strategy;
  } const configs[] = {
      {"level 0", 0, Z_DEFAULT_STRATEGY}, {"level 1", 1, Z_DEFAULT_STRATEGY},  {"level 6", 6, Z_DEFAULT_STRATEGY},
      {"level 9", 9, Z_DEFAULT_STRATEGY}, {"fixed", 6, Z_FIXED},               {"huffman only", 6, Z_HUFFMAN_ONLY},
      {"rle", 6, Z_RLE},
  };
  struct Input {
    const char* name;
    Bytes (*make)(size_t);
  } const inputs[] = {
      {"random", [](size_t n) { return RandomBytes(n); }},
      {"text", TextLike},
      {"zeros", [](size_t n) { return Bytes(n, 0); }},
      {"mixed", Mixed},
  };
  for (const Input& input : inputs) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{1000}, size_t{65536}, size_t{65537}, size_t{200000}}) {
      const Bytes data = input.make(size);
      for (const Config& config : configs) {
        SCOPED_TRACE(std::string(input.name) + " " + std::to_string(size) + " " + config.name);
        const Bytes stream = ZlibRawDeflate(data, config.level, config.strategy);
        Bytes out;
        const size_t limit = size != 0 ? size : 1;
        ASSERT_EQ(Inflate(stream, limit, &out), static_cast<int64_t>(size));
        EXPECT_TRUE(out == data);
        if (size > 1) {
          EXPECT_EQ(Inflate(stream, size - 1, &out), -1);  // one byte too many for the limit
        }

        // The default limit is 64 KiB: a chunk one byte longer fails.
        CInflater inflater{};
        Bytes buffer(kInflateDefaultLimit);
        const int64_t n = InflaterInflate(&inflater, stream.data(), buffer.data(), stream.size());
        EXPECT_EQ(n, size <= kInflateDefaultLimit ? static_cast<int64_t>(size) : -1);
        if (n >= 0) {
          EXPECT_EQ(inflater.inputPosition, stream.size());
        }
      }
    }
  }
}

TEST(Inflate, BlockTypeVariants) {
  for (int written = 0; written < 4; ++written) {
    const Bytes stream = ThreeBlockStream(written);
    for (int read = 0; read < 4; ++read) {
      SCOPED_TRACE("written " + std::to_string(written) + " read " + std::to_string(read));
      Bytes out;
      const int64_t n = Inflate(stream, 1024, &out, read);
      if (read == written) {
        ASSERT_EQ(n, static_cast<int64_t>(std::strlen(kThreeBlocksText)));
        EXPECT_EQ(AsText(out), kThreeBlocksText);
      } else {
        EXPECT_TRUE(n < 0 || AsText(out) != kThreeBlocksText);
      }
    }
    // Variant 0 is RFC 1951; values outside 1-3 read as it.
    Bytes out;
    EXPECT_EQ(ZlibRawInflate(stream, 1024) == static_cast<int64_t>(std::strlen(kThreeBlocksText)), written == 0);
    if (written == 0) {
      EXPECT_EQ(Inflate(stream, 1024, &out, 7), static_cast<int64_t>(std::strlen(kThreeBlocksText)));
    }
  }
  // Every variant leaves code 3 unused.
  for (int variant = 0; variant < 4; ++variant) {
    BitWriter w;
    StoredBlock(w, true, 3, "x");
    Bytes out;
    EXPECT_EQ(Inflate(w.Take(), 16, &out, variant), -1) << variant;
  }
}

// Hand-made streams, each checked against zlib as well so that a wrong fixture cannot pass for a decoder fault.
TEST(Inflate, HandMadeStreamsAgreeWithZlib) {
  struct Case {
    const char* name;
    std::function<void(BitWriter&)> write;
    int64_t expected;  // bytes produced, or -1
  } const cases[] = {
      {"reserved block type", [](BitWriter& w) { StoredBlock(w, true, 3, "abc"); }, -1},
      {"stored LEN and NLEN disagree", [](BitWriter& w) { StoredBlock(w, true, 0, "abc", 0x0100); }, -1},
      {"stored block longer than the input",
       [](BitWriter& w) {
         w.Bits(1, 1);
         w.Bits(0, 2);
         for (uint8_t b : Bytes{0x10, 0x00, 0xEF, 0xFF, 'a', 'b'}) w.Byte(b);
       },
       -1},
      {"stored blocks, one empty", [](BitWriter& w) {
         StoredBlock(w, false, 0, "");
         StoredBlock(w, true, 0, "abc");
       }, 3},
      {"287 literal/length codes",
       [](BitWriter& w) {
         Bytes all(287 + 1, 8);
         DynamicHeader(w, true, 2, 30, 0, GeneralCodeLengthCode(), Literally(all));
       },
       -1},
      {"31 distance codes",
       [](BitWriter& w) {
         Bytes all(257 + 31, 8);
         DynamicHeader(w, true, 2, 0, 30, GeneralCodeLengthCode(), Literally(all));
       },
       -1},
      {"over-subscribed code-length code",
       [](BitWriter& w) {
         Bytes cl = GeneralCodeLengthCode();
         cl[16] = 1;
         DynamicHeader(w, true, 2, 0, 0, cl, {});
       },
       -1},
      {"incomplete code-length code",
       [](BitWriter& w) {
         Bytes cl = GeneralCodeLengthCode();
         cl[18] = 0;
         DynamicHeader(w, true, 2, 0, 0, cl, {});
       },
       -1},
      {"repeat with no previous length",
       [](BitWriter& w) { DynamicHeader(w, true, 2, 0, 0, GeneralCodeLengthCode(), {{16, 0, 2}}); }, -1},
      {"zero run past the last length",
       [](BitWriter& w) {
         std::vector<CodeLengthOp> ops(256, {9, 0, 0});
         ops.push_back({1, 0, 0});   // end of block
         ops.push_back({17, 1, 3});  // four zeros where one distance length is left
         DynamicHeader(w, true, 2, 0, 0, GeneralCodeLengthCode(), ops);
       },
       -1},
      {"over-subscribed literal/length code",
       [](BitWriter& w) {
         Bytes l = SmallLitLenLengths();
         l[257] = 1;
         WriteDynamicCodes(w, true, 2, l, Bytes{1});
       },
       -1},
      {"incomplete literal/length code",
       [](BitWriter& w) {
         Bytes l = SmallLitLenLengths();
         l[257] = 3;
         WriteDynamicCodes(w, true, 2, l, Bytes{1});
       },
       -1},
      {"incomplete distance code of two lengths",
       [](BitWriter& w) { WriteDynamicCodes(w, true, 2, SmallLitLenLengths(), Bytes{1, 2}); }, -1},
      {"no end-of-block code",
       [](BitWriter& w) {
         Bytes l(257, 8);
         l[256] = 0;
         WriteDynamicCodes(w, true, 2, l, Bytes{1});
       },
       -1},
      {"no distance codes, literals only",
       [](BitWriter& w) {
         const DynamicCodes d = WriteDynamicCodes(w, true, 2, SmallLitLenLengths(), Bytes{0});
         d.Sym(w, 'o');
         d.Sym(w, 'k');
         d.Sym(w, 256);
       },
       2},
      {"no distance codes, a match",
       [](BitWriter& w) {
         const DynamicCodes d = WriteDynamicCodes(w, true, 2, SmallLitLenLengths(), Bytes{0});
         d.Sym(w, 'o');
         d.Sym(w, 257);
         w.Bits(0, 2);
         d.Sym(w, 256);
       },
       -1},
      {"unused half of a one-bit distance code",
       [](BitWriter& w) {
         const DynamicCodes d = WriteDynamicCodes(w, true, 2, SmallLitLenLengths(), Bytes{1});
         d.Sym(w, 'o');
         d.Sym(w, 257);
         w.Code(1, 1);
         d.Sym(w, 256);
       },
       -1},
      {"fixed length symbol 286",
       [](BitWriter& w) {
         w.Bits(1, 1);
         w.Bits(1, 2);
         FixedSymbol(w, 'a');
         FixedSymbol(w, 286);
         FixedDistance(w, 0);
         FixedSymbol(w, 256);
       },
       -1},
      {"fixed distance symbol 30",
       [](BitWriter& w) {
         w.Bits(1, 1);
         w.Bits(1, 2);
         FixedSymbol(w, 'a');
         FixedSymbol(w, 257);
         FixedDistance(w, 30);
         w.Bits(0, 13);
         FixedSymbol(w, 256);
       },
       -1},
      {"distance past the start of the output",
       [](BitWriter& w) {
         w.Bits(1, 1);
         w.Bits(1, 2);
         FixedSymbol(w, 'a');
         FixedSymbol(w, 257);
         FixedDistance(w, 1);  // 2 back, 1 byte produced
         FixedSymbol(w, 256);
       },
       -1},
      {"distance to the first byte of the output",
       [](BitWriter& w) {
         w.Bits(1, 1);
         w.Bits(1, 2);
         FixedSymbol(w, 'a');
         FixedSymbol(w, 'b');
         FixedSymbol(w, 257);
         FixedDistance(w, 1);
         FixedSymbol(w, 256);
       },
       5},
      {"codes of fifteen bits, through the second-level tables",
       [](BitWriter& w) {
         Bytes l(258, 0), d(16, 0);
         for (int i = 0; i < 14; ++i) l['a' + i] = static_cast<uint8_t>(i + 1);
         l[256] = l[257] = 15;
         d[0] = d[1] = 15;
         for (int k = 2; k < 16; ++k) d[k] = static_cast<uint8_t>(16 - k);
         const DynamicCodes c = WriteDynamicCodes(w, true, 2, l, d);
         c.Sym(w, 'n');  // 14 bits
         c.Sym(w, 'a');
         c.Sym(w, 257);
         c.Dist(w, 0);  // distance 1, 15 bits
         c.Sym(w, 256);
       },
       5},
      {"no final block", [](BitWriter& w) { StoredBlock(w, false, 0, "abc"); }, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    c.write(w);
    const Bytes stream = w.Take();
    Bytes out;
    EXPECT_EQ(ZlibRawInflate(stream, 1024), c.expected);
    EXPECT_EQ(Inflate(stream, 1024, &out), c.expected);
  }
}

TEST(Inflate, EveryTruncationFails) {
  for (const Bytes& data : {TextLike(3000), RandomBytes(300), Mixed(70000)}) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
      const Bytes stream = ZlibRawDeflate(data, 6, strategy);
      const size_t step = stream.size() > 4000 ? 97 : 1;
      for (size_t cut = 0; cut < stream.size(); cut += step) {
        Bytes out;
        EXPECT_EQ(Inflate(Bytes(stream.begin(), stream.begin() + cut), data.size(), &out), -1) << cut;
      }
    }
  }
}

// Chunk-list framing: u32 total, then u32 length and an independent stream per piece of at most 64 KiB, then 0.
Bytes Frame(const Bytes& data, uint32_t declared, const std::vector<Bytes>& extraPieces = {}) {
  Bytes framed;
  auto put32 = [&framed](uint32_t v) {
    for (int i = 0; i < 4; ++i) framed.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(declared);
  auto putPiece = [&](const Bytes& stream) {
    put32(static_cast<uint32_t>(stream.size()));
    framed.insert(framed.end(), stream.begin(), stream.end());
  };
  for (size_t at = 0; at < data.size(); at += 65536) {
    const Bytes piece(data.begin() + at, data.begin() + std::min(data.size(), at + 65536));
    putPiece(ZlibRawDeflate(piece, 6, Z_DEFAULT_STRATEGY));
  }
  for (const Bytes& stream : extraPieces) putPiece(stream);
  put32(0);
  return framed;
}

TEST(Inflate, ChunkedAlloc) {
  const Bytes data = Mixed(65537 + 65536);
  struct Case {
    const char* name;
    size_t size;
    int64_t declaredDelta;
    int expected;
  } const cases[] = {
      {"empty", 0, 0, 0},
      {"one piece", 65536, 0, 0},
      {"two pieces, the second of one byte", 65537, 0, 0},
      {"three pieces", data.size(), 0, 0},
      {"pieces yield one byte less than declared", 65537, +1, -1},
      {"pieces yield one byte more than declared", 65537, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes part(data.begin(), data.begin() + c.size);
    Bytes framed = Frame(part, static_cast<uint32_t>(c.size + c.declaredDelta));
    const size_t listEnd = framed.size();
    framed.push_back(0xEE);  // whatever follows the list is not read as part of it
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
    size_t end = 0;
    ASSERT_EQ(InflateChunkedAlloc(framed.data(), framed.size(), &buffer, &end), c.expected);
    if (c.expected == 0) {
      ASSERT_NE(buffer, nullptr);
      EXPECT_EQ(end, listEnd);
      EXPECT_TRUE(Bytes(buffer, buffer + part.size()) == part);
    } else {
      EXPECT_EQ(buffer, nullptr);
    }
    MemFree(buffer);
  }
}

TEST(Inflate, DamagedChunkListsFail) {
  const Bytes text = TextLike(5000);
  const Bytes empty = ZlibRawDeflate({}, 6, Z_DEFAULT_STRATEGY);
  const Bytes oversized = ZlibRawDeflate(Bytes(65537, 'x'), 6, Z_DEFAULT_STRATEGY);
  Bytes missingEnd = Frame(text, 5000);
  missingEnd.resize(missingEnd.size() - 4);
  Bytes pieceTooLong = Frame(text, 5000);
  const uint32_t overLength = static_cast<uint32_t>(pieceTooLong.size() - 8 + 1);  // one byte past the end
  for (int i = 0; i < 4; ++i) pieceTooLong[4 + i] = static_cast<uint8_t>(overLength >> (8 * i));
  Bytes hugeTotal = Frame(text, 0xFFFFFFFFu);
  struct Case {
    const char* name;
    Bytes framed;
  } const cases[] = {
      {"piece yields nothing", Frame(text, 5000, {empty})},
      {"piece over 64 KiB", Frame({}, 65537, {oversized})},
      {"no terminating zero", missingEnd},
      {"piece longer than the data", pieceTooLong},
      {"total beyond what the data can hold", hugeTotal},
      {"shorter than the framing", Bytes{0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    uint8_t* buffer = nullptr;
    EXPECT_EQ(InflateChunkedAlloc(c.framed.data(), c.framed.size(), &buffer, nullptr), -1) << c.name;
    EXPECT_EQ(buffer, nullptr) << c.name;
  }

  // The comment's list decodes against its declared capacity.
  const Bytes framed = Frame(text, 5000);
  Bytes out(5000);
  size_t end = 0;
  EXPECT_EQ(InflaterInflateChunks(framed.data() + 4, framed.size() - 4, out.data(), 5000, &end), 5000);
  EXPECT_EQ(end, framed.size() - 4);
  EXPECT_TRUE(out == text);
  Bytes small(4999);
  EXPECT_EQ(InflaterInflateChunks(framed.data() + 4, framed.size() - 4, small.data(), small.size(), nullptr), -1);
  const Bytes withEmpty = Frame(text, 5000, {empty});
  Bytes roomy(6000);
  EXPECT_EQ(InflaterInflateChunks(withEmpty.data() + 4, withEmpty.size() - 4, roomy.data(), roomy.size(), nullptr), -1);
}

}  // namespace
