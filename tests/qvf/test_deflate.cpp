#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qvf/deflate.h"
#include "runtime/parallel.h"
#include "support/zlib_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- inputs ----

uint32_t NextRandom(uint32_t& x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

enum class Kind { kNoise, kFewSymbols, kText, kZeros, kPeriodic, kMixed };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kNoise: return "noise";
    case Kind::kFewSymbols: return "few-symbols";
    case Kind::kText: return "text";
    case Kind::kZeros: return "zeros";
    case Kind::kPeriodic: return "periodic";
    case Kind::kMixed: return "mixed";
  }
  return "?";
}

Bytes Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"the ",    "sector ", "image ", "of ",    "volume ", "a ",
                                       "chunk\n", "index ",  "disc ",  "track ", "to ",     "boot record "};
  Bytes v;
  v.reserve(n);
  while (v.size() < n) {
    // Skewed word choice, like real text.
    const uint32_t r = NextRandom(seed);
    const char* word = kWords[(r % 12) * ((r >> 8) % 12) / 12];
    for (; *word && v.size() < n; ++word) v.push_back(static_cast<uint8_t>(*word));
  }
  return v;
}

Bytes MakeInput(Kind kind, size_t n, uint32_t seed = 12345) {
  Bytes v(n);
  switch (kind) {
    case Kind::kNoise:
      for (auto& b : v) b = static_cast<uint8_t>(NextRandom(seed) >> 7);
      break;
    case Kind::kFewSymbols:  // compressible by its codes alone, with few matches
      for (auto& b : v) b = static_cast<uint8_t>('a' + (NextRandom(seed) >> 9) % 9);
      break;
    case Kind::kText:
      v = Text(n, seed);
      break;
    case Kind::kZeros:
      break;
    case Kind::kPeriodic:  // long matches that run up to the last byte
      for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>("kestral"[i % 7]);
      break;
    case Kind::kMixed: {  // like a disc image: text, structures, noise and zero runs
      size_t at = 0;
      while (at < n) {
        const uint32_t r = NextRandom(seed);
        const size_t run = std::min<size_t>(n - at, 2000 + r % 30000);
        switch (r % 4) {
          case 0: {
            const Bytes t = Text(run, r);
            std::memcpy(&v[at], t.data(), run);
            break;
          }
          case 1:
            for (size_t i = 0; i < run; ++i) v[at + i] = static_cast<uint8_t>(NextRandom(seed));
            break;
          case 2:
            for (size_t i = 0; i < run; ++i) v[at + i] = static_cast<uint8_t>(i % 16 == 0 ? (at + i) >> 4 : 0);
            break;
          default:
            break;
        }
        at += run;
      }
      break;
    }
  }
  return v;
}

// A copy of `data` whose last byte is the last byte of a readable page, so any read past it faults, with or
// without sanitizers.
class GuardedBytes {
 public:
  explicit GuardedBytes(const Bytes& data) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t dataPages = (data.size() + page - 1) / page;
    size_ = (dataPages + 1) * page;
    void* map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = map == MAP_FAILED ? nullptr : static_cast<uint8_t*>(map);
    if (!base_) return;
    mprotect(base_ + dataPages * page, page, PROT_NONE);
    bytes_ = base_ + dataPages * page - data.size();
    if (!data.empty()) std::memcpy(bytes_, data.data(), data.size());
  }
  ~GuardedBytes() {
    if (base_) munmap(base_, size_);
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  const uint8_t* data() const { return bytes_; }

 private:
  uint8_t* base_ = nullptr;
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
};

// ---- the compressor's entry points ----

using CompressFn = int64_t (*)(CDeflateState*, const uint8_t*, uint8_t*, int64_t, int);

struct Level {
  const char* name;
  CompressFn compress;
  int64_t (*run)(CDeflateState*, const uint8_t*, uint8_t*, int64_t);
};
const Level kLevels[] = {{"lazy", DeflateCompressLazy, DeflateRunLazy}, {"fast", DeflateCompressFast, DeflateRunFast}};

// Compresses `input` from a page-guarded copy into a buffer of exactly DeflateCompressBound bytes (ASan
// watches both ends); the stream, or an empty vector on failure.
Bytes Compress(CDeflateState* state, const Level& level, const Bytes& input, int variant = 0) {
  const GuardedBytes guarded(input);
  Bytes out(static_cast<size_t>(DeflateCompressBound(static_cast<int64_t>(input.size()))));
  const int64_t size = level.compress(state, guarded.data(), out.data(), static_cast<int64_t>(input.size()), variant);
  EXPECT_GT(size, 0);
  EXPECT_LE(size, static_cast<int64_t>(out.size()));
  out.resize(size > 0 ? static_cast<size_t>(size) : 0);
  return out;
}

// ---- zlib as the oracle ----

struct BlockHeader {
  uint64_t bit;  // bit position of the header in the stream
  int type;      // its 2-bit type code
  bool final;
};

struct Inflated {
  bool ok = false;
  Bytes data;
  std::vector<BlockHeader> blocks;
};

int BitAt(const Bytes& stream, uint64_t bit) {
  return bit / 8 < stream.size() ? (stream[bit / 8] >> (bit % 8)) & 1 : 0;
}

// Inflates a raw RFC 1951 stream with zlib, block by block, noting where each block header lies. ok only when
// the stream ends exactly at its last byte and yields at most `limit` bytes.
Inflated ZlibInflate(const Bytes& stream, size_t limit) {
  Inflated r;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return r;
  r.data.resize(limit + 1);  // a spare byte shows output beyond the limit
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = r.data.data();
  z.avail_out = static_cast<uInt>(r.data.size());
  uint64_t header = 0;
  bool ended = false;
  while (!ended) {
    r.blocks.push_back({header, BitAt(stream, header + 1) | (BitAt(stream, header + 2) << 1),
                        BitAt(stream, header) == 1});
    // Z_BLOCK returns at the end of each block; data_type then carries the unused bits of the last byte read.
    const int ret = inflate(&z, Z_BLOCK);
    if (ret == Z_STREAM_END) break;
    if (ret != Z_OK || !(z.data_type & 128)) {
      inflateEnd(&z);
      return r;
    }
    if (z.data_type & 64) ended = inflate(&z, Z_FINISH) == Z_STREAM_END;
    if (z.data_type & 64 && !ended) {
      inflateEnd(&z);
      return r;
    }
    header = (stream.size() - z.avail_in) * 8 - static_cast<uint64_t>(z.data_type & 7);
  }
  r.ok = z.avail_in == 0 && z.total_out <= limit;
  r.data.resize(z.total_out);
  inflateEnd(&z);
  return r;
}


uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

DeflateStatePtr NewState() { return DeflateStatePtr(DeflateStateAlloc()); }

// ---- round trips ----

// Every level and kind of input, at the sizes where the compressor changes course: nothing, fewer bytes than a
// match, exactly one and just over one 64 KiB piece, and long enough for the window to move many times.
TEST(DeflateRoundTrip, ZlibGivesBackEveryInput) {
  const Kind kinds[] = {Kind::kNoise, Kind::kFewSymbols, Kind::kText, Kind::kZeros, Kind::kPeriodic, Kind::kMixed};
  const size_t sizes[] = {0, 1, 2, 3, 259, 4097, 65535, 65536, 65537, 300001};
  const DeflateStatePtr state = NewState();
  ASSERT_TRUE(state);
  for (const Level& level : kLevels) {
    for (Kind kind : kinds) {
      for (size_t size : sizes) {
        SCOPED_TRACE(std::string(level.name) + " " + KindName(kind) + " " + std::to_string(size));
        const Bytes input = MakeInput(kind, size);
        const Bytes stream = Compress(state.get(), level, input);
        const Inflated back = ZlibInflate(stream, input.size());
        ASSERT_TRUE(back.ok);
        ASSERT_TRUE(back.data == input);
        EXPECT_TRUE(back.blocks.back().final);
        if (size <= static_cast<size_t>(kDeflatePieceBytes)) {
          // The run entry writes the same stream from the input used as its window.
          const GuardedBytes guarded(input);
          Bytes run(static_cast<size_t>(DeflateCompressBound(static_cast<int64_t>(size))));
          DeflateBitsInit(state.get());
          DeflateTreesInit(state.get());
          const int64_t runSize = level.run(state.get(), guarded.data(), run.data(), static_cast<int64_t>(size));
          ASSERT_GT(runSize, 0);
          run.resize(static_cast<size_t>(runSize));
          EXPECT_TRUE(run == stream);
        }
      }
    }
  }
}

// Each block type is chosen where it is the smallest: noise is stored, a few bytes take the fixed codes, and
// long skewed input takes codes of its own.
TEST(DeflateRoundTrip, ChoosesEachBlockType) {
  struct Case {
    Kind kind;
    size_t size;
    int type;  // RFC 1951 code: 0 stored, 1 fixed, 2 dynamic
  };
  const Case cases[] = {{Kind::kNoise, 65536, 0}, {Kind::kText, 40, 1}, {Kind::kZeros, 300, 1},
                        {Kind::kText, 65536, 2}, {Kind::kFewSymbols, 65536, 2}};
  const DeflateStatePtr state = NewState();
  for (const Level& level : kLevels) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(level.name) + " " + KindName(c.kind) + " " + std::to_string(c.size));
      const Bytes input = MakeInput(c.kind, c.size);
      const Inflated back = ZlibInflate(Compress(state.get(), level, input), input.size());
      ASSERT_TRUE(back.ok);
      ASSERT_TRUE(back.data == input);
      for (const BlockHeader& block : back.blocks) EXPECT_EQ(block.type, c.type) << "block at bit " << block.bit;
    }
  }
  // Long input takes several blocks, and only the last is final.
  const Bytes noise = MakeInput(Kind::kNoise, 200000, 99);
  const Inflated back = ZlibInflate(Compress(state.get(), kLevels[0], noise), noise.size());
  ASSERT_TRUE(back.ok);
  ASSERT_GE(back.blocks.size(), 4u);
  for (size_t i = 0; i < back.blocks.size(); ++i) EXPECT_EQ(back.blocks[i].final, i + 1 == back.blocks.size());
}

// A variant stream is the variant-0 stream with each block's type code mapped through the variant's table, and
// no other bit changed; zlib checks the variant-0 stream and marks where the headers lie. Values outside 1-3
// write plain RFC 1951.
TEST(DeflateVariant, OnlyTheBlockTypeCodesChange) {
  const int kTypes[4][3] = {{0, 1, 2}, {1, 2, 0}, {0, 2, 1}, {1, 0, 2}};
  const Bytes inputs[] = {MakeInput(Kind::kNoise, 70000), MakeInput(Kind::kText, 50),
                          MakeInput(Kind::kMixed, 400000)};
  const DeflateStatePtr state = NewState();
  for (const Level& level : kLevels) {
    for (const Bytes& input : inputs) {
      SCOPED_TRACE(std::string(level.name) + " " + std::to_string(input.size()));
      const Bytes plain = Compress(state.get(), level, input, 0);
      const Inflated back = ZlibInflate(plain, input.size());
      ASSERT_TRUE(back.ok);
      ASSERT_TRUE(back.data == input);
      for (int variant = 1; variant <= 3; ++variant) {
        Bytes expected = plain;
        for (const BlockHeader& block : back.blocks) {
          const int code = kTypes[variant][block.type];
          for (int b = 0; b < 2; ++b) {
            const uint64_t bit = block.bit + 1 + b;
            expected[bit / 8] = static_cast<uint8_t>((expected[bit / 8] & ~(1u << (bit % 8))) |
                                                     (((code >> b) & 1u) << (bit % 8)));
          }
        }
        EXPECT_TRUE(Compress(state.get(), level, input, variant) == expected) << "variant " << variant;
      }
      EXPECT_TRUE(Compress(state.get(), level, input, 4) == plain);
      EXPECT_TRUE(Compress(state.get(), level, input, -1) == plain);
    }
  }
  // The run entries keep the codes as last set; resetting the trees restores the standard codes.
  const Bytes noise = MakeInput(Kind::kNoise, 1000);
  Bytes out(static_cast<size_t>(DeflateCompressBound(1000)));
  ASSERT_GT(DeflateCompressLazy(state.get(), noise.data(), out.data(), 1000, 1), 0);
  EXPECT_EQ((out[0] >> 1) & 3, 1);  // stored in variant 1
  ASSERT_GT(DeflateRunLazy(state.get(), noise.data(), out.data(), 1000), 0);
  EXPECT_EQ((out[0] >> 1) & 3, 1);
  DeflateTreesInit(state.get());
  ASSERT_GT(DeflateRunLazy(state.get(), noise.data(), out.data(), 1000), 0);
  EXPECT_EQ((out[0] >> 1) & 3, 0);
}

// ---- size ----

// Incompressible input grows by a few bytes per block at most, and compressible input compresses about as well
// as zlib's level of the same matching parameters (lazy: zlib 6; fast: zlib 1), 64 KiB at a time.
TEST(DeflateSize, BoundAndRatioAgainstZlib) {
  const DeflateStatePtr state = NewState();
  for (const Level& level : kLevels) {
    const Bytes noise = MakeInput(Kind::kNoise, 1 << 20, 7);
    const Bytes stream = Compress(state.get(), level, noise);
    EXPECT_LE(stream.size(), noise.size() + noise.size() / 1024) << level.name;

    const Bytes mixed = MakeInput(Kind::kMixed, 2 << 20, 3);
    size_t ours = 0;
    size_t zlib = 0;
    for (size_t at = 0; at < mixed.size(); at += 65536) {
      const Bytes piece(mixed.begin() + static_cast<long>(at), mixed.begin() + static_cast<long>(at + 65536));
      ours += Compress(state.get(), level, piece).size();
      zlib += ZlibRawDeflate(piece, level.compress == DeflateCompressLazy ? 6 : 1).size();
    }
    EXPECT_LE(static_cast<double>(ours), 1.02 * static_cast<double>(zlib)) << level.name;
  }
}

// ---- chunk-list framing ----

TEST(DeflateChunked, FramesPiecesOf64KiB) {
  struct Case {
    size_t size;
    std::vector<size_t> pieces;  // input bytes of each piece
  };
  const Case cases[] = {{0, {}}, {1, {1}}, {65536, {65536}}, {65537, {65536, 1}}, {655360, std::vector<size_t>(10, 65536)}};
  const DeflateStatePtr state = NewState();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes input = MakeInput(Kind::kMixed, c.size, 11);
    const GuardedBytes guarded(input);
    Bytes framed(static_cast<size_t>(DeflateChunkedBound(static_cast<int64_t>(c.size))));
    const int64_t size = DeflateCompressChunked(state.get(), guarded.data(), framed.data(), static_cast<int64_t>(c.size));
    ASSERT_GE(size, 8);
    ASSERT_LE(size, static_cast<int64_t>(framed.size()));
    framed.resize(static_cast<size_t>(size));
    EXPECT_EQ(LoadU32(framed.data()), c.size);
    size_t at = 4;
    Bytes joined;
    for (size_t piece : c.pieces) {
      ASSERT_LE(at + 4, framed.size());
      const uint32_t length = LoadU32(&framed[at]);
      ASSERT_GT(length, 0u);
      ASSERT_LE(at + 4 + length, framed.size());
      const Bytes stream(framed.begin() + static_cast<long>(at + 4), framed.begin() + static_cast<long>(at + 4 + length));
      const Inflated back = ZlibInflate(stream, piece);
      ASSERT_TRUE(back.ok);
      ASSERT_EQ(back.data.size(), piece);
      joined.insert(joined.end(), back.data.begin(), back.data.end());
      at += 4 + length;
    }
    ASSERT_EQ(at + 4, framed.size());
    EXPECT_EQ(LoadU32(&framed[at]), 0u);
    EXPECT_TRUE(joined == input);
  }
  // Lengths that the u32 total cannot carry are refused, and so is a missing state.
  uint8_t small[16];
  EXPECT_EQ(DeflateCompressChunked(state.get(), small, small, -1), -1);
  EXPECT_EQ(DeflateCompressChunked(nullptr, small, small, 1), -1);
  EXPECT_EQ(DeflateCompressLazy(state.get(), small, small, -5, 0), -1);
  EXPECT_EQ(DeflateRunFast(state.get(), small, small, kDeflatePieceBytes + 1), -1);
}

// ---- threads ----

// Chunks compressed on all cores, each thread with its own state, are byte for byte those of one state used in
// turn; and two threads that each reuse one state over different inputs write what fresh states write.
TEST(DeflateThreads, SameBytesAsOneThread) {
  const Bytes image = MakeInput(Kind::kMixed, 4 << 20, 21);
  const int64_t pieces = static_cast<int64_t>(image.size() / 65536);
  std::vector<Bytes> serial(static_cast<size_t>(pieces));
  std::vector<Bytes> parallel(static_cast<size_t>(pieces));
  const DeflateStatePtr state = NewState();
  for (int64_t i = 0; i < pieces; ++i) {
    serial[i].resize(static_cast<size_t>(DeflateCompressBound(65536)));
    serial[i].resize(static_cast<size_t>(
        DeflateCompressLazy(state.get(), &image[i * 65536], serial[i].data(), 65536, 2)));
  }
  ParallelFor(pieces, 1, [&](int64_t begin, int64_t end) {
    CDeflateState* own = DeflateThreadState();
    for (int64_t i = begin; i < end; ++i) {
      Bytes out(static_cast<size_t>(DeflateCompressBound(65536)));
      const int64_t size = own ? DeflateCompressLazy(own, &image[i * 65536], out.data(), 65536, 2) : -1;
      out.resize(size > 0 ? static_cast<size_t>(size) : 0);
      parallel[i] = std::move(out);
    }
  });
  for (int64_t i = 0; i < pieces; ++i) EXPECT_TRUE(parallel[i] == serial[i]) << "piece " << i;

  const Bytes inputs[2][3] = {
      {MakeInput(Kind::kText, 300000, 1), MakeInput(Kind::kNoise, 70000, 2), MakeInput(Kind::kZeros, 5000)},
      {MakeInput(Kind::kMixed, 500000, 3), MakeInput(Kind::kPeriodic, 65536), MakeInput(Kind::kFewSymbols, 9000)}};
  Bytes expected[2][3][2];
  for (int t = 0; t < 2; ++t) {
    for (int k = 0; k < 3; ++k) {
      for (int l = 0; l < 2; ++l) expected[t][k][l] = Compress(NewState().get(), kLevels[l], inputs[t][k]);
    }
  }
  std::atomic<int> mismatches{0};
  auto work = [&](int t) {
    CDeflateState* own = DeflateThreadState();
    for (int round = 0; round < 4; ++round) {
      for (int k = 0; k < 3; ++k) {
        for (int l = 0; l < 2; ++l) {
          const Bytes& in = inputs[t][k];
          Bytes out(static_cast<size_t>(DeflateCompressBound(static_cast<int64_t>(in.size()))));
          const int64_t size = own ? kLevels[l].compress(own, in.data(), out.data(), static_cast<int64_t>(in.size()), 0) : -1;
          out.resize(size > 0 ? static_cast<size_t>(size) : 0);
          if (out != expected[t][k][l]) ++mismatches;
        }
      }
    }
  };
  std::thread first(work, 0);
  std::thread second(work, 1);
  first.join();
  second.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
