#include "wim/lzms.h"

#include <algorithm>
#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// Extra bits of the offset slots and of the length slots, as runs of (bits, slots). Each slot's base is the
// previous base plus 2 to the power of the previous slot's extra bits, starting from 1.
constexpr uint8_t kOffsetBitRuns[][2] = {{0, 8},   {2, 9},   {3, 7},   {4, 10},  {5, 15},   {6, 15},  {7, 20},
                                         {8, 20},  {9, 30},  {10, 33}, {11, 40}, {12, 42},  {13, 45}, {14, 60},
                                         {15, 73}, {16, 80}, {17, 85}, {18, 95}, {19, 105}, {20, 6},  {30, 1}};
constexpr uint8_t kLengthBitRuns[][2] = {{0, 26}, {1, 4}, {2, 6}, {3, 4},  {4, 5},  {5, 2}, {6, 1},
                                         {7, 1},  {8, 1}, {9, 1}, {10, 1}, {16, 1}, {30, 1}};

struct SlotTables {
  uint32_t offsetBase[kLzmsOffsetSlotsMax + 1];
  uint8_t offsetBits[kLzmsOffsetSlotsMax];
  uint32_t lengthBase[kLzmsLengthSlots + 1];
  uint8_t lengthBits[kLzmsLengthSlots];
};

template <size_t N>
constexpr void Expand(const uint8_t (&runs)[N][2], uint32_t* base, uint8_t* bits) {
  int slot = 0;
  base[0] = 1;
  for (const auto& run : runs) {
    for (int i = 0; i < run[1]; ++i, ++slot) {
      bits[slot] = run[0];
      base[slot + 1] = base[slot] + (1u << run[0]);
    }
  }
}

constexpr SlotTables MakeSlotTables() {
  SlotTables t{};
  Expand(kOffsetBitRuns, t.offsetBase, t.offsetBits);
  Expand(kLengthBitRuns, t.lengthBase, t.lengthBits);
  return t;
}

constexpr SlotTables kSlots = MakeSlotTables();
static_assert(kSlots.offsetBase[kLzmsOffsetSlotsMax] == 0x465BE4A5u);
static_assert(kSlots.lengthBase[kLzmsLengthSlots] == 0x400108ABu);

constexpr int kMaxCodeLength = 15;

// A probability entry: zeros among the last 64 decisions and those decisions.
struct Probability {
  uint32_t zeros;
  uint64_t history;
};

struct RangeDecoder {
  const uint8_t* in;
  size_t units;
  size_t next;
  uint32_t range;
  uint32_t code;

  uint32_t Unit(size_t i) const { return static_cast<uint32_t>(in[2 * i]) | static_cast<uint32_t>(in[2 * i + 1]) << 8; }

  int Decode(uint32_t* state, uint32_t states, Probability* probabilities) {
    Probability* p = &probabilities[*state];
    uint32_t zeros = p->zeros;
    if (zeros == 0) zeros = 1;
    if (zeros == 64) zeros = 63;
    if (range <= 0xFFFF) {
      range <<= 16;
      code <<= 16;
      if (next < units) code |= Unit(next++);
    }
    const uint32_t bound = (range >> 6) * zeros;
    int bit;
    if (code < bound) {
      range = bound;
      bit = 0;
    } else {
      range -= bound;
      code -= bound;
      bit = 1;
    }
    *state = ((*state << 1) | static_cast<uint32_t>(bit)) & (states - 1);
    p->zeros += static_cast<uint32_t>(static_cast<int32_t>(p->history >> 63) - bit);
    p->history = p->history << 1 | static_cast<uint64_t>(bit);
    return bit;
  }
};

// Bits read backwards from the chunk's end in 16-bit units, most significant first; past the start, zeros.
struct BackwardBits {
  const uint8_t* in;
  size_t next;  // units not yet loaded lie below this index
  uint64_t bits;
  int held;

  void Ensure(int n) {
    while (held < n) {
      uint64_t unit = 0;
      if (next > 0) {
        --next;
        unit = static_cast<uint64_t>(in[2 * next]) | static_cast<uint64_t>(in[2 * next + 1]) << 8;
      }
      bits |= unit << (48 - held);
      held += 16;
    }
  }
  uint32_t Read(int n) {
    if (n == 0) return 0;
    Ensure(n);
    const uint32_t v = static_cast<uint32_t>(bits >> (64 - n));
    bits <<= n;
    held -= n;
    return v;
  }
};

void BuildLengths(int symbols, const uint32_t* counts, uint8_t* lengths, int maxLength);

void Rebuild(CLzmsAdaptiveCode* code, int tableBits) {
  BuildLengths(code->symbols, code->counts, code->lengths, kMaxCodeLength);
  HuffmanTableBuild(&code->table, code->lengths, code->symbols, kMaxCodeLength, tableBits);
  code->left = code->period;
}

void InitCode(CLzmsAdaptiveCode* code, int symbols, int period, int tableBits) {
  code->symbols = symbols;
  code->period = period;
  for (int i = 0; i < symbols; ++i) code->counts[i] = 1;
  Rebuild(code, tableBits);
}

// Rebuilds the code from the counts of its last period, then halves them for the next.
__attribute__((noinline)) void RebuildAndHalve(CLzmsAdaptiveCode* code) {
  Rebuild(code, code->table.tableBits);
  for (int i = 0; i < code->symbols; ++i) code->counts[i] = (code->counts[i] >> 1) + 1;
}

inline __attribute__((always_inline)) int DecodeSymbol(CLzmsAdaptiveCode* code, BackwardBits* bits) {
  bits->Ensure(kMaxCodeLength);
  int length = 0;
  const int symbol = HuffmanTableDecode(&code->table, static_cast<uint32_t>(bits->bits >> 48), &length);
  if (symbol < 0) return -1;
  bits->bits <<= length;
  bits->held -= length;
  ++code->counts[symbol];
  if (--code->left == 0) RebuildAndHalve(code);
  return symbol;
}

int OffsetSlotCount(size_t size) {
  if (size < 2) return 0;
  const uint32_t last = static_cast<uint32_t>(std::min<size_t>(size - 1, 0x465BE4A4u));
  const uint32_t* end = kSlots.offsetBase + kLzmsOffsetSlotsMax + 1;
  const int slot = static_cast<int>(std::upper_bound(kSlots.offsetBase, end, last) - kSlots.offsetBase) - 1;
  return slot + 1;
}

// Bytes that may start an instruction the x86 filter changes.
constexpr bool IsFilterOpcode(uint8_t b) {
  return b == 0x48 || b == 0x4C || b == 0xE8 || b == 0xE9 || b == 0xF0 || b == 0xFF;
}

// The first position from `i` on (below `end`) that holds such a byte, or `end`. Most data holds few of them:
// sixteen bytes are looked at in one step.
int32_t SkipPlainBytes(const uint8_t* data, int32_t i, int32_t end) {
#ifdef __SSE2__
  const __m128i a = _mm_set1_epi8(0x48), b = _mm_set1_epi8(0x4C), c = _mm_set1_epi8(static_cast<char>(0xE8)),
                d = _mm_set1_epi8(static_cast<char>(0xE9)), e = _mm_set1_epi8(static_cast<char>(0xF0)),
                f = _mm_set1_epi8(static_cast<char>(0xFF));
  while (end - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)), _mm_cmpeq_epi8(v, c)),
                     _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, d), _mm_cmpeq_epi8(v, e)), _mm_cmpeq_epi8(v, f)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask) return i + __builtin_ctz(mask);
    i += 16;
  }
#endif
  while (i < end && !IsFilterOpcode(data[i])) ++i;
  return i;
}

}  // namespace

namespace {

// The code lengths from the counts. The symbols are put in (count, symbol) order by two stable passes over the
// bytes of their counts (the decoder rebuilds its codes every few hundred symbols: this is its hot part), or by
// a comparison sort when a count needs more than 16 bits.
void BuildLengths(int symbols, const uint32_t* counts, uint8_t* lengths, int maxLength) {
  if (symbols <= 0 || symbols > kLzmsOffsetSlotsMax || maxLength < 1 || maxLength > kMaxCodeLength) return;
  // Symbols with their counts, sorted by (count, symbol); the unused (count 0) sort first and are passed over.
  uint64_t keys[kLzmsOffsetSlotsMax];
  const size_t n = static_cast<size_t>(symbols);
  uint32_t largest = 0;
  for (size_t s = 0; s < n; ++s) {
    lengths[s] = 0;
    largest = std::max(largest, counts[s]);
  }
  if (largest <= 0xFFFF) {
    uint64_t low[kLzmsOffsetSlotsMax];
    uint32_t at[256];
    const auto pass = [&](const uint64_t* from, uint64_t* to, int shift, bool fromCounts) {
      std::memset(at, 0, sizeof(at));
      for (size_t k = 0; k < n; ++k) {
        const uint32_t count = fromCounts ? counts[k] : static_cast<uint32_t>(from[k] >> 16);
        ++at[(count >> shift) & 0xFF];
      }
      uint32_t sum = 0;
      for (uint32_t& a : at) {
        const uint32_t c = a;
        a = sum;
        sum += c;
      }
      for (size_t k = 0; k < n; ++k) {
        const uint64_t key = fromCounts ? (static_cast<uint64_t>(counts[k]) << 16 | k) : from[k];
        to[at[(key >> (16 + shift)) & 0xFF]++] = key;
      }
    };
    pass(nullptr, low, 0, true);
    pass(low, keys, 8, false);
  } else {
    for (size_t s = 0; s < n; ++s) keys[s] = static_cast<uint64_t>(counts[s]) << 16 | static_cast<uint64_t>(s);
    std::sort(keys, keys + n);
  }
  size_t zeros = 0;
  while (zeros < n && (keys[zeros] >> 16) == 0) ++zeros;
  const uint64_t* used = keys + zeros;
  const size_t usedCount = n - zeros;
  if (usedCount == 0) return;
  if (usedCount == 1) {
    const int s = static_cast<int>(used[0] & 0xFFFF);
    lengths[0] = 1;
    lengths[s ? s : 1] = 1;
    return;
  }
  // Inner nodes in creation order: weight and parent. Leaves are taken before inner nodes of equal weight.
  uint64_t weight[kLzmsOffsetSlotsMax];
  uint32_t parent[kLzmsOffsetSlotsMax];
  size_t leaf = 0, inner = 0, made = 0;
  while (made < usedCount - 1) {
    uint64_t w = 0;
    for (int k = 0; k < 2; ++k) {
      if (leaf < usedCount && (inner == made || (used[leaf] >> 16) <= weight[inner])) {
        w += used[leaf++] >> 16;
      } else {
        w += weight[inner];
        parent[inner++] = static_cast<uint32_t>(made);
      }
    }
    weight[made++] = w;
  }
  // Depths of the inner nodes (the root is the last one made), then the count of codes of each length, with
  // nodes below the limit folded up to the deepest length that still has a code to split.
  uint32_t depth[kLzmsOffsetSlotsMax];
  uint32_t perLength[kMaxCodeLength + 2] = {};
  perLength[1] = 2;
  depth[usedCount - 2] = 0;
  for (size_t node = usedCount - 1; node-- > 0;) {
    if (node == usedCount - 2) continue;
    depth[node] = depth[parent[node]] + 1;
    uint32_t len = depth[node];
    if (len >= static_cast<uint32_t>(maxLength)) {
      len = static_cast<uint32_t>(maxLength);
      do {
        --len;
      } while (perLength[len] == 0);
    }
    --perLength[len];
    perLength[len + 1] += 2;
  }
  // The longest codes go to the lightest symbols.
  size_t i = 0;
  for (int len = maxLength; len >= 1; --len)
    for (uint32_t k = 0; k < perLength[static_cast<size_t>(len)]; ++k)
      lengths[used[i++] & 0xFFFF] = static_cast<uint8_t>(len);
}

}  // namespace

void LzmsBuildCodeLengths(int symbols, const uint32_t* counts, uint8_t* lengths, int maxLength) {
  BuildLengths(symbols, counts, lengths, maxLength);
}

std::unique_ptr<CLzmsDecoder> LzmsCreateDecoder() {
  std::unique_ptr<CLzmsDecoder> decoder(new (std::nothrow) CLzmsDecoder);
  if (decoder) decoder->lastTargets.resize(65536);
  return decoder;
}

void LzmsUndoX86Filter(uint8_t* data, size_t n, int32_t* lastTargets) {
  if (n <= 17) return;
  const int32_t size = static_cast<int32_t>(std::min<size_t>(n, 0x7FFFFFFF));
  for (int i = 0; i < 65536; ++i) lastTargets[i] = -65536;
  int32_t closest = -1024;
  const int32_t tail = size - 16;
  for (int32_t i = 1; i < tail;) {
    i = SkipPlainBytes(data, i, tail);
    if (i >= tail) break;
    const uint8_t op = data[i];
    int opcodeBytes = 0;
    int32_t maxDistance = 1023;
    switch (op) {
      case 0x48:
      case 0x4C:
        if ((data[i + 2] & 7) == 5 &&
            (data[i + 1] == 0x8D || (data[i + 1] == 0x8B && op == 0x48 && !(data[i + 2] & 0xF0))))
          opcodeBytes = 3;
        break;
      case 0xE8:
        opcodeBytes = 1;
        maxDistance = 511;
        break;
      case 0xE9:
        i += 5;
        continue;
      case 0xF0:
        if (data[i + 1] == 0x83 && data[i + 2] == 0x05) opcodeBytes = 3;
        break;
      case 0xFF:
        if (data[i + 1] == 0x15) opcodeBytes = 2;
        break;
      default:
        break;
    }
    if (!opcodeBytes) {
      ++i;
      continue;
    }
    uint8_t* operand = data + i + opcodeBytes;
    if (i - closest <= maxDistance) {
      uint32_t v = static_cast<uint32_t>(operand[0]) | static_cast<uint32_t>(operand[1]) << 8 |
                   static_cast<uint32_t>(operand[2]) << 16 | static_cast<uint32_t>(operand[3]) << 24;
      v -= static_cast<uint32_t>(i);
      operand[0] = static_cast<uint8_t>(v);
      operand[1] = static_cast<uint8_t>(v >> 8);
      operand[2] = static_cast<uint8_t>(v >> 16);
      operand[3] = static_cast<uint8_t>(v >> 24);
    }
    const uint16_t target = static_cast<uint16_t>(i + (operand[0] | operand[1] << 8));
    const int32_t end = i + opcodeBytes + 3;
    if (end - lastTargets[target] <= 65535) closest = end;
    lastTargets[target] = end;
    i = end + 1;
  }
}

int LzmsDecodeChunk(CLzmsDecoder* d, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
  if (!d || d->lastTargets.size() < 65536) return 0;
  if (outSize == 0) return 1;
  if (inSize < 4 || (inSize & 1) || outSize > 0x7FFFFFFF) return 0;
  const size_t units = inSize / 2;
  RangeDecoder rd{in, units, 2, 0xFFFFFFFFu, 0};
  rd.code = rd.Unit(0) << 16 | rd.Unit(1);
  BackwardBits bits{in, units, 0, 0};

  Probability mainP[16], matchP[32], lzP[64], lzRepP[2][64], deltaP[64], deltaRepP[2][64];
  auto initProbabilities = [](Probability* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = {48, 0x0000000055555555ull};
  };
  initProbabilities(mainP, 16);
  initProbabilities(matchP, 32);
  initProbabilities(lzP, 64);
  initProbabilities(&lzRepP[0][0], 128);
  initProbabilities(deltaP, 64);
  initProbabilities(&deltaRepP[0][0], 128);
  uint32_t mainState = 0, matchState = 0, lzState = 0, deltaState = 0, lzRepState[2] = {0, 0},
           deltaRepState[2] = {0, 0};

  const int slots = OffsetSlotCount(outSize);
  InitCode(&d->literal, 256, 1024, 10);
  InitCode(&d->lzOffset, slots, 1024, 10);
  InitCode(&d->length, kLzmsLengthSlots, 512, 9);
  InitCode(&d->deltaOffset, slots, 1024, 10);
  InitCode(&d->deltaPower, 8, 512, 7);

  uint32_t lz[4] = {1, 2, 3, 4};
  uint64_t delta[4] = {1, 2, 3, 4};
  uint32_t pendingLz = 0;
  uint64_t pendingDelta = 0;
  size_t lzStillPending = SIZE_MAX, deltaStillPending = SIZE_MAX;

  auto readOffset = [&](CLzmsAdaptiveCode* code, uint32_t* value) {
    const int slot = DecodeSymbol(code, &bits);
    if (slot < 0) return false;
    *value = kSlots.offsetBase[slot] + bits.Read(kSlots.offsetBits[slot]);
    return true;
  };
  auto readLength = [&](uint32_t* value) {
    const int slot = DecodeSymbol(&d->length, &bits);
    if (slot < 0) return false;
    *value = kSlots.lengthBase[slot] + bits.Read(kSlots.lengthBits[slot]);
    return true;
  };

  size_t produced = 0;
  while (produced < outSize) {
    if (!rd.Decode(&mainState, 16, mainP)) {
      const int symbol = DecodeSymbol(&d->literal, &bits);
      if (symbol < 0) return 0;
      out[produced++] = static_cast<uint8_t>(symbol);
    } else if (!rd.Decode(&matchState, 32, matchP)) {
      if (pendingLz != 0 && produced != lzStillPending) {
        lz[3] = lz[2];
        lz[2] = lz[1];
        lz[1] = lz[0];
        lz[0] = pendingLz;
        pendingLz = 0;
      }
      uint32_t offset;
      if (!rd.Decode(&lzState, 64, lzP)) {
        if (!readOffset(&d->lzOffset, &offset)) return 0;
      } else if (!rd.Decode(&lzRepState[0], 64, lzRepP[0])) {
        offset = lz[0];
        lz[0] = lz[1];
        lz[1] = lz[2];
        lz[2] = lz[3];
      } else if (!rd.Decode(&lzRepState[1], 64, lzRepP[1])) {
        offset = lz[1];
        lz[1] = lz[2];
        lz[2] = lz[3];
      } else {
        offset = lz[2];
        lz[2] = lz[3];
      }
      if (pendingLz != 0) {
        lz[3] = lz[2];
        lz[2] = lz[1];
        lz[1] = lz[0];
        lz[0] = pendingLz;
      }
      pendingLz = offset;
      uint32_t length;
      if (!readLength(&length)) return 0;
      if (length > outSize - produced || offset == 0 || offset > produced) return 0;
      LzCopyMatch(out + produced, offset, length);
      produced += length;
      lzStillPending = produced;
    } else {
      if (pendingDelta != 0 && produced != deltaStillPending) {
        delta[3] = delta[2];
        delta[2] = delta[1];
        delta[1] = delta[0];
        delta[0] = pendingDelta;
        pendingDelta = 0;
      }
      uint64_t pair;
      if (!rd.Decode(&deltaState, 64, deltaP)) {
        const int power = DecodeSymbol(&d->deltaPower, &bits);
        uint32_t raw;
        if (power < 0 || !readOffset(&d->deltaOffset, &raw)) return 0;
        pair = static_cast<uint64_t>(power) << 32 | raw;
      } else if (!rd.Decode(&deltaRepState[0], 64, deltaRepP[0])) {
        pair = delta[0];
        delta[0] = delta[1];
        delta[1] = delta[2];
        delta[2] = delta[3];
      } else if (!rd.Decode(&deltaRepState[1], 64, deltaRepP[1])) {
        pair = delta[1];
        delta[1] = delta[2];
        delta[2] = delta[3];
      } else {
        pair = delta[2];
        delta[2] = delta[3];
      }
      if (pendingDelta != 0) {
        delta[3] = delta[2];
        delta[2] = delta[1];
        delta[1] = delta[0];
        delta[0] = pendingDelta;
      }
      pendingDelta = pair;
      uint32_t length;
      if (!readLength(&length)) return 0;
      const uint32_t power = static_cast<uint32_t>(pair >> 32);
      const uint64_t raw = static_cast<uint32_t>(pair);
      if (power > 31) return 0;
      const uint64_t stride = uint64_t{1} << power;
      const uint64_t span = raw << power;
      if (span + stride > produced || length > outSize - produced) return 0;
      for (uint32_t k = 0; k < length; ++k, ++produced)
        out[produced] =
            static_cast<uint8_t>(out[produced - span] + out[produced - stride] - out[produced - span - stride]);
      deltaStillPending = produced;
    }
  }
  LzmsUndoX86Filter(out, outSize, d->lastTargets.data());
  return 1;
}
