#include "qvf/deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "runtime/memory.h"

namespace {

// Window and matching geometry. Positions are 16-bit offsets from the window base; the base moves forward by
// 32 KiB once the position passes kSlideAt, which keeps every position below 65,536 and every candidate within
// kMaxDistance of the current byte.
constexpr uint32_t kWindowSize = 32768;
constexpr uint32_t kWindowMask = kWindowSize - 1;
constexpr uint32_t kHashSize = 32768;
constexpr uint32_t kHashMask = kHashSize - 1;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;
constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;
constexpr uint32_t kMaxDistance = kWindowSize - kMinLookahead;  // 32,506
constexpr uint32_t kSlideAt = kWindowSize + kMaxDistance;       // 65,274
constexpr uint32_t kTooFar = 4096;  // a 3-byte match farther back than this costs more than its literals

// A block is flushed when it holds this many symbols less one.
constexpr uint32_t kSymbolCapacity = 32768;

constexpr int kEndOfBlock = 256;
constexpr int kLitLenCodes = 286;
constexpr int kDistCodes = 30;
constexpr int kCodeLenCodes = 19;
constexpr int kMaxCodeBits = 15;
constexpr int kMaxCodeLenBits = 7;

struct MatchParams {
  uint32_t goodLength;  // once the previous match is this long, search a quarter of the chain
  uint32_t lazyLimit;   // lazy: search only while the previous match is shorter; fast: insert limit
  uint32_t niceLength;  // a match this long ends the search
  uint32_t chainLength;
  int levelMark;        // above 2, blocks may also end early when they compress well
};
constexpr MatchParams kLazyParams{8, 16, 128, 128, 6};
constexpr MatchParams kFastParams{4, 4, 8, 4, 1};

// Block-type codes (stored, fixed, dynamic) by variant.
constexpr uint8_t kBlockTypes[4][3] = {{0, 1, 2}, {1, 2, 0}, {0, 2, 1}, {1, 0, 2}};

constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t kDistExtra[kDistCodes] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLenOrder[kCodeLenCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr uint16_t ReverseBits(uint32_t code, int bits) {
  uint32_t reversed = 0;
  for (int i = 0; i < bits; ++i) reversed |= ((code >> i) & 1u) << (bits - 1 - i);
  return static_cast<uint16_t>(reversed);
}

// Canonical codes for `lengths`, bit-reversed because deflate sends codes from their first bit on.
constexpr void AssignCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  uint32_t perLength[kMaxCodeBits + 1] = {};
  for (int i = 0; i < count; ++i) ++perLength[lengths[i]];
  perLength[0] = 0;
  uint32_t next[kMaxCodeBits + 1] = {};
  uint32_t code = 0;
  for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
    code = (code + perLength[bits - 1]) << 1;
    next[bits] = code;
  }
  for (int i = 0; i < count; ++i) {
    codes[i] = lengths[i] ? ReverseBits(next[lengths[i]]++, lengths[i]) : 0;
  }
}

struct Tables {
  uint8_t lengthCode[256] = {};  // match length - 3 -> length code 0-28
  uint16_t lengthBase[29] = {};
  uint8_t distCode[512] = {};    // distance - 1 -> code: below 256 directly, else 256 + (distance - 1) / 128
  uint16_t distBase[kDistCodes] = {};
  uint8_t fixedLitLengths[288] = {};
  uint16_t fixedLitCodes[288] = {};
  uint8_t fixedDistLengths[kDistCodes] = {};
  uint16_t fixedDistCodes[kDistCodes] = {};
};

constexpr Tables MakeTables() {
  Tables t;
  uint32_t length = 0;
  for (int code = 0; code < 28; ++code) {
    t.lengthBase[code] = static_cast<uint16_t>(length);
    for (uint32_t n = 0; n < (1u << kLengthExtra[code]); ++n) t.lengthCode[length++] = static_cast<uint8_t>(code);
  }
  // Length 258 has a code of its own without extra bits, cheaper than the last step of code 27.
  t.lengthBase[28] = 255;
  t.lengthCode[255] = 28;
  uint32_t dist = 0;
  for (int code = 0; code < 16; ++code) {
    t.distBase[code] = static_cast<uint16_t>(dist);
    for (uint32_t n = 0; n < (1u << kDistExtra[code]); ++n) t.distCode[dist++] = static_cast<uint8_t>(code);
  }
  dist >>= 7;
  for (int code = 16; code < kDistCodes; ++code) {
    t.distBase[code] = static_cast<uint16_t>(dist << 7);
    for (uint32_t n = 0; n < (1u << (kDistExtra[code] - 7)); ++n) t.distCode[256 + dist++] = static_cast<uint8_t>(code);
  }
  for (int i = 0; i < 288; ++i) t.fixedLitLengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  AssignCodes(t.fixedLitLengths, 288, t.fixedLitCodes);
  for (int i = 0; i < kDistCodes; ++i) t.fixedDistLengths[i] = 5;
  AssignCodes(t.fixedDistLengths, kDistCodes, t.fixedDistCodes);
  return t;
}

constexpr Tables kTables = MakeTables();

inline uint32_t DistCode(uint32_t distMinus1) {
  return distMinus1 < 256 ? kTables.distCode[distMinus1] : kTables.distCode[256 + (distMinus1 >> 7)];
}

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void Store64LE(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

inline void Store32LE(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Number of equal leading bytes of a and b, at most `limit`; reads no byte at or past a + limit, b + limit.
inline uint32_t CommonPrefix(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (n + 8 <= limit) {
      const uint64_t diff = Load64(a + n) ^ Load64(b + n);
      if (diff) return n + static_cast<uint32_t>(std::countr_zero(diff)) / 8;
      n += 8;
    }
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Hash of the three bytes at p: each byte shifted in by 5 bits, 15 bits kept.
inline uint32_t Hash3(const uint8_t* p) {
  return ((static_cast<uint32_t>(p[0]) << 10) ^ (static_cast<uint32_t>(p[1]) << 5) ^ p[2]) & kHashMask;
}

struct CodeLenSymbol {
  uint8_t symbol;  // 0-15 a length, 16 repeat the previous, 17/18 a run of zeros
  uint8_t extra;   // value of the extra bits of 16-18
};

}  // namespace

struct CDeflateState {
  // Bit writer: bits not yet stored, least significant first; after each symbol fewer than 8 remain.
  uint64_t bitBuffer;
  uint32_t bitCount;
  uint8_t* out;

  // Block-type codes of the current variant: stored, fixed, dynamic.
  uint8_t blockTypes[3];

  // Input: the window base (input bytes at 16-bit positions from here), the end, and the first byte of the
  // block being gathered.
  const uint8_t* window;
  const uint8_t* inputEnd;
  const uint8_t* blockStart;

  // Symbols of the block being gathered: a literal byte (distance 0) or a match length - 3 and its distance.
  uint32_t symbolCount;
  uint32_t matchCount;
  bool earlyFlush;  // the level allows ending a block early when it compresses well
  uint32_t litFreq[kLitLenCodes];
  uint32_t distFreq[kDistCodes];
  uint8_t symbolLit[kSymbolCapacity];
  uint16_t symbolDist[kSymbolCapacity];

  // Hash chains: the newest position of each hash, and for each position the previous one of the same hash.
  uint16_t head[kHashSize];
  uint16_t prev[kWindowSize];
};

namespace {

// ---- Bit writer ----

inline void PutBits(CDeflateState* s, uint64_t bits, uint32_t count) {
  s->bitBuffer |= bits << s->bitCount;
  s->bitCount += count;
}

// Stores the whole bytes of the bit buffer. Writes 8 bytes at once, so up to 7 bytes past the output's end
// are overwritten with zeros (room the bounds allow for).
inline void FlushBytes(CDeflateState* s) {
  Store64LE(s->out, s->bitBuffer);
  const uint32_t bytes = s->bitCount >> 3;
  s->out += bytes;
  s->bitBuffer = bytes == 8 ? 0 : s->bitBuffer >> (bytes * 8);
  s->bitCount &= 7;
}

inline void AlignToByte(CDeflateState* s) {
  s->bitCount = (s->bitCount + 7) & ~7u;
  FlushBytes(s);
}

// ---- Code lengths ----

// Huffman code lengths of at most `maxBits` for the `count` symbols of `freq`; unused symbols get 0. At least
// two symbols always get a length (unused ones are added with weight 1), so every code is complete and a
// decoder never sees an empty or single-code table.
void BuildCodeLengths(const uint32_t* freq, int count, int maxBits, uint8_t* lengths) {
  // Symbols sorted by frequency, ties by symbol: frequency in the high bits, symbol in the low 9.
  uint32_t keys[kLitLenCodes];
  int used = 0;
  for (int i = 0; i < count; ++i) {
    lengths[i] = 0;
    if (freq[i]) keys[used++] = (freq[i] << 9) | static_cast<uint32_t>(i);
  }
  for (int i = 0; used < 2 && i < count; ++i) {
    if (!freq[i]) keys[used++] = (1u << 9) | static_cast<uint32_t>(i);
  }
  std::sort(keys, keys + used);

  // In-place minimum-redundancy lengths over the sorted weights (Moffat and Katajainen): first the tree
  // (each slot takes the weight of a new internal node and later its parent's index), then internal depths,
  // then leaf depths from the shallowest level down.
  uint32_t a[kLitLenCodes];
  for (int i = 0; i < used; ++i) a[i] = keys[i] >> 9;
  const int n = used;
  int leaf = 0;
  int root = 0;
  for (int next = 0; next < n - 1; ++next) {
    for (int child = 0; child < 2; ++child) {
      uint32_t weight;
      if (leaf >= n || (root < next && a[root] < a[leaf])) {
        weight = a[root];
        a[root++] = static_cast<uint32_t>(next);
      } else {
        weight = a[leaf++];
      }
      a[next] = child == 0 ? weight : a[next] + weight;
    }
  }
  a[n - 2] = 0;
  for (int next = n - 3; next >= 0; --next) a[next] = a[a[next]] + 1;
  int available = 1;
  int depth = 0;
  root = n - 2;
  uint32_t perLength[kLitLenCodes + 1] = {};
  while (available > 0) {
    int internal = 0;
    while (root >= 0 && a[root] == static_cast<uint32_t>(depth)) {
      ++internal;
      --root;
    }
    perLength[depth] += static_cast<uint32_t>(available - internal);
    available = internal;
    available *= 2;
    ++depth;
  }

  // Limit the depth: leaves below maxBits move up to it, then, while the code is over-full, one leaf of the
  // deepest level leaves and a leaf of the deepest shorter level splits in two one level down.
  for (int bits = maxBits + 1; bits <= n; ++bits) {
    perLength[maxBits] += perLength[bits];
    perLength[bits] = 0;
  }
  uint64_t kraft = 0;
  for (int bits = 1; bits <= maxBits; ++bits) kraft += static_cast<uint64_t>(perLength[bits]) << (maxBits - bits);
  while (kraft > (1ull << maxBits)) {
    --perLength[maxBits];
    for (int bits = maxBits - 1; bits > 0; --bits) {
      if (perLength[bits]) {
        --perLength[bits];
        perLength[bits + 1] += 2;
        break;
      }
    }
    --kraft;
  }

  // The rarest symbols get the longest codes.
  int at = 0;
  for (int bits = maxBits; bits > 0; --bits) {
    for (uint32_t k = 0; k < perLength[bits]; ++k) lengths[keys[at++] & 511] = static_cast<uint8_t>(bits);
  }
}

// Run-length form of a code length sequence, tallying the code-length alphabet.
void AddCodeLengthRuns(const uint8_t* lengths, int count, CodeLenSymbol* runs, int* runCount, uint32_t* freq) {
  auto emit = [&](int symbol, int extra) {
    runs[(*runCount)++] = {static_cast<uint8_t>(symbol), static_cast<uint8_t>(extra)};
    ++freq[symbol];
  };
  int i = 0;
  while (i < count) {
    const uint8_t value = lengths[i];
    int run = 1;
    while (i + run < count && lengths[i + run] == value) ++run;
    i += run;
    if (value == 0) {
      while (run >= 11) {
        const int take = std::min(run, 138);
        emit(18, take - 11);
        run -= take;
      }
      if (run >= 3) {
        emit(17, run - 3);
        run = 0;
      }
    } else {
      emit(value, 0);
      --run;
      while (run >= 3) {
        const int take = std::min(run, 6);
        emit(16, take - 3);
        run -= take;
      }
    }
    for (; run > 0; --run) emit(value, 0);
  }
}

// ---- Blocks ----

void ResetBlock(CDeflateState* s) {
  std::memset(s->litFreq, 0, sizeof s->litFreq);
  std::memset(s->distFreq, 0, sizeof s->distFreq);
  s->symbolCount = 0;
  s->matchCount = 0;
}

// Sends the gathered symbols with the given codes, then the end-of-block code.
void SendSymbols(CDeflateState* s, const uint16_t* litCodes, const uint8_t* litLengths, const uint16_t* distCodes,
                 const uint8_t* distLengths) {
  // Code and extra bits of every match length, joined once per block.
  uint32_t lengthBits[256];
  uint8_t lengthCount[256];
  if (s->matchCount) {
    for (uint32_t lc = 0; lc < 256; ++lc) {
      const uint32_t code = kTables.lengthCode[lc];
      const uint32_t symbol = 257 + code;
      lengthBits[lc] = litCodes[symbol] | ((lc - kTables.lengthBase[code]) << litLengths[symbol]);
      lengthCount[lc] = static_cast<uint8_t>(litLengths[symbol] + kLengthExtra[code]);
    }
  }
  uint64_t buffer = s->bitBuffer;
  uint32_t bits = s->bitCount;
  uint8_t* out = s->out;
  const uint32_t symbols = s->symbolCount;
  for (uint32_t i = 0; i < symbols; ++i) {
    const uint32_t lc = s->symbolLit[i];
    const uint32_t dist = s->symbolDist[i];
    if (dist == 0) {
      buffer |= static_cast<uint64_t>(litCodes[lc]) << bits;
      bits += litLengths[lc];
    } else {
      const uint32_t d = dist - 1;
      const uint32_t code = DistCode(d);
      const uint64_t distBits = distCodes[code] | (static_cast<uint64_t>(d - kTables.distBase[code]) << distLengths[code]);
      const uint32_t count = lengthCount[lc];
      buffer |= (lengthBits[lc] | (distBits << count)) << bits;
      bits += count + distLengths[code] + kDistExtra[code];
    }
    // At most 7 + 48 bits are held here; store the whole bytes.
    Store64LE(out, buffer);
    const uint32_t bytes = bits >> 3;
    out += bytes;
    buffer = bytes ? buffer >> (bytes * 8) : buffer;
    bits &= 7;
  }
  s->bitBuffer = buffer;
  s->bitCount = bits;
  s->out = out;
  PutBits(s, litCodes[kEndOfBlock], litLengths[kEndOfBlock]);
  FlushBytes(s);
}

// Stored block(s) of `length` bytes; more than 65,535 bytes take several, only the last carrying `last`.
void SendStored(CDeflateState* s, const uint8_t* bytes, int64_t length, bool last) {
  do {
    const uint32_t piece = static_cast<uint32_t>(std::min<int64_t>(length, 65535));
    length -= piece;
    const bool final = last && length == 0;
    PutBits(s, (final ? 1u : 0u) | (static_cast<uint32_t>(s->blockTypes[0]) << 1), 3);
    AlignToByte(s);
    PutBits(s, piece | (static_cast<uint32_t>(static_cast<uint16_t>(~piece)) << 16), 32);
    FlushBytes(s);
    if (piece) std::memcpy(s->out, bytes, piece);
    s->out += piece;
    bytes += piece;
  } while (length > 0);
}

// Ends the block of the bytes [blockStart, blockEnd): chooses the smallest of stored, fixed and dynamic codes.
void FlushBlock(CDeflateState* s, const uint8_t* blockEnd, bool last) {
  s->litFreq[kEndOfBlock] = 1;

  uint8_t litLengths[kLitLenCodes];
  uint8_t distLengths[kDistCodes];
  BuildCodeLengths(s->litFreq, kLitLenCodes, kMaxCodeBits, litLengths);
  BuildCodeLengths(s->distFreq, kDistCodes, kMaxCodeBits, distLengths);
  int litCount = kLitLenCodes;
  while (litCount > 257 && litLengths[litCount - 1] == 0) --litCount;
  int distCount = kDistCodes;
  while (distCount > 1 && distLengths[distCount - 1] == 0) --distCount;

  CodeLenSymbol runs[kLitLenCodes + kDistCodes];
  int runCount = 0;
  uint32_t codeLenFreq[kCodeLenCodes] = {};
  AddCodeLengthRuns(litLengths, litCount, runs, &runCount, codeLenFreq);
  AddCodeLengthRuns(distLengths, distCount, runs, &runCount, codeLenFreq);
  uint8_t codeLenLengths[kCodeLenCodes];
  BuildCodeLengths(codeLenFreq, kCodeLenCodes, kMaxCodeLenBits, codeLenLengths);
  int codeLenCount = kCodeLenCodes;
  while (codeLenCount > 4 && codeLenLengths[kCodeLenOrder[codeLenCount - 1]] == 0) --codeLenCount;

  // Sizes in bits, the 3 header bits left out.
  uint64_t extraBits = 0;
  uint64_t dynamicBits = 5 + 5 + 4 + 3 * static_cast<uint64_t>(codeLenCount);
  uint64_t fixedBits = 0;
  for (int i = 0; i < kCodeLenCodes; ++i) {
    const uint32_t extra = i == 16 ? 2 : i == 17 ? 3 : i == 18 ? 7 : 0;
    dynamicBits += static_cast<uint64_t>(codeLenFreq[i]) * (codeLenLengths[i] + extra);
  }
  for (int i = 0; i < kLitLenCodes; ++i) {
    dynamicBits += static_cast<uint64_t>(s->litFreq[i]) * litLengths[i];
    fixedBits += static_cast<uint64_t>(s->litFreq[i]) * kTables.fixedLitLengths[i];
    if (i > kEndOfBlock) extraBits += static_cast<uint64_t>(s->litFreq[i]) * kLengthExtra[i - 257];
  }
  for (int i = 0; i < kDistCodes; ++i) {
    dynamicBits += static_cast<uint64_t>(s->distFreq[i]) * distLengths[i];
    fixedBits += static_cast<uint64_t>(s->distFreq[i]) * 5;
    extraBits += static_cast<uint64_t>(s->distFreq[i]) * kDistExtra[i];
  }
  const int64_t storedLength = blockEnd - s->blockStart;
  int64_t bestBytes = static_cast<int64_t>((dynamicBits + extraBits + 3 + 7) >> 3);
  const int64_t fixedBytes = static_cast<int64_t>((fixedBits + extraBits + 3 + 7) >> 3);
  if (fixedBytes <= bestBytes) bestBytes = fixedBytes;

  const uint32_t lastBit = last ? 1 : 0;
  if (storedLength + 4 <= bestBytes) {
    SendStored(s, s->blockStart, storedLength, last);
  } else if (fixedBytes == bestBytes) {
    PutBits(s, lastBit | (static_cast<uint32_t>(s->blockTypes[1]) << 1), 3);
    SendSymbols(s, kTables.fixedLitCodes, kTables.fixedLitLengths, kTables.fixedDistCodes,
                kTables.fixedDistLengths);
  } else {
    uint16_t litCodes[kLitLenCodes];
    uint16_t distCodes[kDistCodes];
    uint16_t codeLenCodes[kCodeLenCodes];
    AssignCodes(litLengths, kLitLenCodes, litCodes);
    AssignCodes(distLengths, kDistCodes, distCodes);
    AssignCodes(codeLenLengths, kCodeLenCodes, codeLenCodes);
    PutBits(s, lastBit | (static_cast<uint32_t>(s->blockTypes[2]) << 1), 3);
    PutBits(s, static_cast<uint32_t>(litCount - 257) | (static_cast<uint32_t>(distCount - 1) << 5) |
                   (static_cast<uint32_t>(codeLenCount - 4) << 10), 14);
    FlushBytes(s);
    for (int i = 0; i < codeLenCount; ++i) {
      PutBits(s, codeLenLengths[kCodeLenOrder[i]], 3);
      FlushBytes(s);
    }
    for (int i = 0; i < runCount; ++i) {
      const CodeLenSymbol run = runs[i];
      PutBits(s, codeLenCodes[run.symbol], codeLenLengths[run.symbol]);
      if (run.symbol >= 16) PutBits(s, run.extra, run.symbol == 16 ? 2 : run.symbol == 17 ? 3 : 7);
      FlushBytes(s);
    }
    SendSymbols(s, litCodes, litLengths, distCodes, distLengths);
  }
  if (last) AlignToByte(s);
  ResetBlock(s);
  s->blockStart = blockEnd;
}

// Whether the block should end after this symbol: the symbol buffer is full, or (levels above 2, every 4,096
// symbols) matches are rare and the block already compresses to less than half.
inline bool BlockIsDone(CDeflateState* s, const uint8_t* position) {
  if (s->earlyFlush && (s->symbolCount & 0xFFF) == 0) {
    uint64_t estimate = static_cast<uint64_t>(s->symbolCount) * 8;
    for (int i = 0; i < kDistCodes; ++i) estimate += static_cast<uint64_t>(s->distFreq[i]) * (5 + kDistExtra[i]);
    estimate >>= 3;
    const uint64_t inputSoFar = static_cast<uint64_t>(position - s->blockStart);
    if (s->matchCount < s->symbolCount / 2 && estimate < inputSoFar / 2) return true;
  }
  return s->symbolCount == kSymbolCapacity - 1;
}

inline bool TallyLiteral(CDeflateState* s, uint8_t byte, const uint8_t* position) {
  s->symbolLit[s->symbolCount] = byte;
  s->symbolDist[s->symbolCount] = 0;
  ++s->symbolCount;
  ++s->litFreq[byte];
  return BlockIsDone(s, position);
}

inline bool TallyMatch(CDeflateState* s, uint32_t distance, uint32_t length, const uint8_t* position) {
  const uint32_t lc = length - kMinMatch;
  s->symbolLit[s->symbolCount] = static_cast<uint8_t>(lc);
  s->symbolDist[s->symbolCount] = static_cast<uint16_t>(distance);
  ++s->symbolCount;
  ++s->matchCount;
  ++s->litFreq[257 + kTables.lengthCode[lc]];
  ++s->distFreq[DistCode(distance - 1)];
  return BlockIsDone(s, position);
}

// ---- Matching ----

// Adds the string at `pos` to its hash chain; the previous head of the chain (0: none).
inline uint32_t InsertString(CDeflateState* s, const uint8_t* window, uint32_t pos) {
  const uint32_t hash = Hash3(window + pos);
  const uint32_t previous = s->head[hash];
  s->prev[pos & kWindowMask] = static_cast<uint16_t>(previous);
  s->head[hash] = static_cast<uint16_t>(pos);
  return previous;
}

// Longest match for the string at `pos`, longer than `bestLength`, from the chain starting at `candidate`; at
// most `maxLength` (no more than the bytes left in the input, so nothing past the input is read). Returns
// bestLength when nothing longer is found; *matchStart is set only for a longer match.
inline uint32_t LongestMatch(const CDeflateState* s, const uint8_t* window, uint32_t pos, uint32_t candidate,
                             uint32_t bestLength, uint32_t maxLength, const MatchParams& params,
                             uint32_t* matchStart) {
  if (bestLength >= maxLength) return bestLength;
  uint32_t chain = params.chainLength;
  if (bestLength >= params.goodLength) chain >>= 2;
  const uint32_t nice = std::min(params.niceLength, maxLength);
  const uint32_t limit = pos > kMaxDistance ? pos - kMaxDistance : 0;
  const uint8_t* scan = window + pos;
  uint16_t scanStart = Load16(scan);
  uint16_t scanEnd = Load16(scan + bestLength - 1);
  do {
    const uint8_t* match = window + candidate;
    if (Load16(match + bestLength - 1) != scanEnd || Load16(match) != scanStart) continue;
    const uint32_t length = 2 + CommonPrefix(scan + 2, match + 2, maxLength - 2);
    if (length > bestLength) {
      *matchStart = candidate;
      bestLength = length;
      if (length >= nice) break;
      scanEnd = Load16(scan + bestLength - 1);
    }
  } while ((candidate = s->prev[candidate & kWindowMask]) > limit && --chain != 0);
  return bestLength;
}

// Moves the window base forward by 32 KiB when the position has passed kSlideAt and the input goes on beyond
// what 16-bit positions reach. Chain entries that fall off become "none"; they were out of reach already.
inline void SlideIfNeeded(CDeflateState* s, const uint8_t*& window, uint32_t& pos, uint32_t& matchStart) {
  if (pos < kSlideAt || s->inputEnd - window <= 65536) return;
  for (uint32_t i = 0; i < kHashSize; ++i) s->head[i] = s->head[i] >= kWindowSize ? s->head[i] - kWindowSize : 0;
  for (uint32_t i = 0; i < kWindowSize; ++i) s->prev[i] = s->prev[i] >= kWindowSize ? s->prev[i] - kWindowSize : 0;
  window += kWindowSize;
  pos -= kWindowSize;
  matchStart = matchStart >= kWindowSize ? matchStart - kWindowSize : 0;
  s->window = window;
}

// Lazy matching: a match found at one position is held back one byte, and sent only when the next position
// does not find a longer one.
void RunLazyMatching(CDeflateState* s) {
  const MatchParams& p = kLazyParams;
  const uint8_t* window = s->window;
  const uint8_t* const end = s->inputEnd;
  uint32_t pos = 0;
  uint32_t matchStart = 0;
  uint32_t matchLength = kMinMatch - 1;
  bool matchAvailable = false;
  while (window + pos < end) {
    const uint64_t lookahead = static_cast<uint64_t>(end - (window + pos));
    const uint32_t head = lookahead >= kMinMatch ? InsertString(s, window, pos) : 0;
    const uint32_t prevLength = matchLength;
    const uint32_t prevMatch = matchStart;
    matchLength = kMinMatch - 1;
    if (head != 0 && prevLength < p.lazyLimit && pos - head <= kMaxDistance) {
      const uint32_t maxLength = static_cast<uint32_t>(std::min<uint64_t>(kMaxMatch, lookahead));
      matchLength = LongestMatch(s, window, pos, head, prevLength, maxLength, p, &matchStart);
      if (matchLength > maxLength) matchLength = maxLength;
      if (matchLength == kMinMatch && pos - matchStart > kTooFar) matchLength = kMinMatch - 1;
    }
    if (prevLength >= kMinMatch && matchLength <= prevLength) {
      // The match of the previous position wins: send it and hash the bytes it covers.
      const bool done = TallyMatch(s, pos - 1 - prevMatch, prevLength, window + pos);
      const uint32_t matchEnd = pos - 1 + prevLength;
      const uint32_t hashEnd = static_cast<uint32_t>(std::min<uint64_t>(matchEnd, (end - window) - 2));
      for (++pos; pos < hashEnd; ++pos) InsertString(s, window, pos);
      pos = matchEnd;
      matchAvailable = false;
      matchLength = kMinMatch - 1;
      if (done) FlushBlock(s, window + pos, false);
    } else if (matchAvailable) {
      if (TallyLiteral(s, window[pos - 1], window + pos)) FlushBlock(s, window + pos, false);
      ++pos;
    } else {
      matchAvailable = true;
      ++pos;
    }
    SlideIfNeeded(s, window, pos, matchStart);
  }
  if (matchAvailable) TallyLiteral(s, window[pos - 1], window + pos);
  FlushBlock(s, end, true);
}

// Fast matching: a match is sent at once; the bytes it covers are hashed only when it is short.
void RunFastMatching(CDeflateState* s) {
  const MatchParams& p = kFastParams;
  const uint8_t* window = s->window;
  const uint8_t* const end = s->inputEnd;
  uint32_t pos = 0;
  uint32_t matchStart = 0;
  uint32_t matchLength = 0;
  while (window + pos < end) {
    const uint64_t lookahead = static_cast<uint64_t>(end - (window + pos));
    const uint32_t head = lookahead >= kMinMatch ? InsertString(s, window, pos) : 0;
    if (head != 0 && pos - head <= kMaxDistance) {
      const uint32_t maxLength = static_cast<uint32_t>(std::min<uint64_t>(kMaxMatch, lookahead));
      matchLength = LongestMatch(s, window, pos, head, kMinMatch - 1, maxLength, p, &matchStart);
    }
    bool done;
    if (matchLength >= kMinMatch) {
      done = TallyMatch(s, pos - matchStart, matchLength, window + pos);
      const uint32_t matchEnd = pos + matchLength;
      if (matchLength <= p.lazyLimit) {
        const uint32_t hashEnd = static_cast<uint32_t>(std::min<uint64_t>(matchEnd, (end - window) - 2));
        for (++pos; pos < hashEnd; ++pos) InsertString(s, window, pos);
      }
      pos = matchEnd;
      matchLength = 0;
    } else {
      done = TallyLiteral(s, window[pos], window + pos + 1);
      ++pos;
    }
    if (done) FlushBlock(s, window + pos, false);
    SlideIfNeeded(s, window, pos, matchStart);
  }
  FlushBlock(s, end, true);
}

int64_t RunStream(CDeflateState* s, const uint8_t* input, uint8_t* output, int64_t length, bool lazy) {
  DeflateBitsInit(s);
  ResetBlock(s);
  std::memset(s->head, 0, sizeof s->head);
  s->out = output;
  s->window = input;
  s->inputEnd = input + length;
  s->blockStart = input;
  s->earlyFlush = (lazy ? kLazyParams : kFastParams).levelMark > 2;
  if (lazy) {
    RunLazyMatching(s);
  } else {
    RunFastMatching(s);
  }
  return s->out - output;
}

void SetVariant(CDeflateState* s, int variant) {
  const int row = variant >= 1 && variant <= 3 ? variant : 0;
  std::memcpy(s->blockTypes, kBlockTypes[row], sizeof s->blockTypes);
}

}  // namespace

CDeflateState* DeflateStateAlloc() {
  void* block = MemAlloc(sizeof(CDeflateState));
  if (!block) return nullptr;
  CDeflateState* s = new (block) CDeflateState();
  SetVariant(s, 0);
  return s;
}

void DeflateStateFree(CDeflateState* state) {
  if (!state) return;
  state->~CDeflateState();
  MemFree(state);
}

CDeflateState* DeflateThreadState() {
  thread_local DeflateStatePtr state;
  if (!state) state.reset(DeflateStateAlloc());
  return state.get();
}

void DeflateBitsInit(CDeflateState* state) {
  if (!state) return;
  state->bitBuffer = 0;
  state->bitCount = 0;
}

void DeflateTreesInit(CDeflateState* state) {
  if (!state) return;
  ResetBlock(state);
  SetVariant(state, 0);
}

int64_t DeflateCompressLazy(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length,
                            int variant) {
  if (!state || length < 0) return -1;
  SetVariant(state, variant);
  return RunStream(state, input, output, length, true);
}

int64_t DeflateCompressFast(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length,
                            int variant) {
  if (!state || length < 0) return -1;
  SetVariant(state, variant);
  return RunStream(state, input, output, length, false);
}

int64_t DeflateRunLazy(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length) {
  if (!state || length < 0 || length > kDeflatePieceBytes) return -1;
  return RunStream(state, input, output, length, true);
}

int64_t DeflateRunFast(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length) {
  if (!state || length < 0 || length > kDeflatePieceBytes) return -1;
  return RunStream(state, input, output, length, false);
}

int64_t DeflateCompressChunked(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length) {
  if (!state || length < 0 || length > 0xFFFFFFFFll) return -1;
  Store32LE(output, static_cast<uint32_t>(length));
  int64_t at = 4;
  for (int64_t done = 0; done < length; done += kDeflatePieceBytes) {
    const int64_t piece = std::min(length - done, kDeflatePieceBytes);
    DeflateBitsInit(state);
    DeflateTreesInit(state);
    const int64_t packed = DeflateRunLazy(state, input + done, output + at + 4, piece);
    if (packed <= 0) return -1;
    Store32LE(output + at, static_cast<uint32_t>(packed));
    at += 4 + packed;
  }
  Store32LE(output + at, 0);
  return at + 4;
}
