#include "formats/lzfse.h"

#include <cstring>
#include <memory>

#include "runtime/byte_reader.h"

namespace {

constexpr uint32_t kMagicEnd = 0x24787662;   // "bvx$"
constexpr uint32_t kMagicRaw = 0x2d787662;   // "bvx-"
constexpr uint32_t kMagicV1 = 0x31787662;    // "bvx1"
constexpr uint32_t kMagicV2 = 0x32787662;    // "bvx2"
constexpr uint32_t kMagicLzvn = 0x6e787662;  // "bvxn"

constexpr int kLSymbols = 20;
constexpr int kMSymbols = 20;
constexpr int kDSymbols = 64;
constexpr int kLiteralSymbols = 256;
constexpr int kFreqCount = kLSymbols + kMSymbols + kDSymbols + kLiteralSymbols;
constexpr int kLStates = 64;
constexpr int kMStates = 64;
constexpr int kDStates = 256;
constexpr int kLiteralStates = 1024;
constexpr uint32_t kMatchesPerBlock = 10000;
constexpr uint32_t kLiteralsPerBlock = 4 * kMatchesPerBlock;
// A "bvx1" header is the packed record of its fields, padded to a multiple of four bytes.
constexpr size_t kV1HeaderSize = 772;
constexpr size_t kV2FixedSize = 32;

constexpr uint8_t kLExtraBits[kLSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 5, 8};
constexpr int32_t kLBase[kLSymbols] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 20, 28, 60};
constexpr uint8_t kMExtraBits[kMSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5, 8, 11};
constexpr int32_t kMBase[kMSymbols] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 24, 56, 312};
constexpr uint8_t kDExtraBits[kDSymbols] = {0,  0,  0,  0,  1,  1,  1,  1,  2,  2,  2,  2,  3,  3,  3,  3,
                                            4,  4,  4,  4,  5,  5,  5,  5,  6,  6,  6,  6,  7,  7,  7,  7,
                                            8,  8,  8,  8,  9,  9,  9,  9,  10, 10, 10, 10, 11, 11, 11, 11,
                                            12, 12, 12, 12, 13, 13, 13, 13, 14, 14, 14, 14, 15, 15, 15, 15};
constexpr int32_t kDBase[kDSymbols] = {0,     1,     2,     3,     4,      6,      8,      10,     12,    16,    20,
                                       24,    28,    36,    44,    52,     60,     76,     92,     108,   124,   156,
                                       188,   220,   252,   316,   380,    444,    508,    636,    764,   892,   1020,
                                       1276,  1532,  1788,  2044,  2556,   3068,   3580,   4092,   5116,  6140,  7164,
                                       8188,  10236, 12284, 14332, 16380,  20476,  24572,  28668,  32764, 40956, 49148,
                                       57340, 65532, 81916, 98300, 114684, 131068, 163836, 196604, 229372};

struct BlockHeader {
  uint32_t rawBytes = 0;
  uint32_t literals = 0;
  uint32_t matches = 0;
  uint32_t literalPayload = 0;
  uint32_t lmdPayload = 0;
  int32_t literalBits = 0;
  int32_t lmdBits = 0;
  uint16_t literalState[4] = {};
  uint16_t lState = 0;
  uint16_t mState = 0;
  uint16_t dState = 0;
  uint16_t freq[kFreqCount] = {};  // L, M, D, then literal frequencies
};

struct SymbolEntry {
  int8_t bits;
  uint8_t symbol;
  int16_t delta;
};

struct ValueEntry {
  uint8_t totalBits;
  uint8_t valueBits;
  int16_t delta;
  int32_t base;
};

int LeadingZeros(uint32_t v) { return v ? __builtin_clz(v) : 32; }

// Checks that the frequencies fit the state count; the table entries of a symbol are its states in order.
bool FrequenciesFit(int states, int symbols, const uint16_t* freq) {
  int sum = 0;
  for (int i = 0; i < symbols; ++i) {
    sum += freq[i];
    if (sum > states) return false;
  }
  return true;
}

void BuildSymbolTable(int states, int symbols, const uint16_t* freq, SymbolEntry* table) {
  std::memset(table, 0, sizeof(SymbolEntry) * static_cast<size_t>(states));
  const int stateZeros = LeadingZeros(static_cast<uint32_t>(states));
  int at = 0;
  for (int i = 0; i < symbols; ++i) {
    const int f = freq[i];
    if (f == 0) continue;
    const int k = LeadingZeros(static_cast<uint32_t>(f)) - stateZeros;
    const int j0 = ((2 * states) >> k) - f;
    for (int j = 0; j < f; ++j, ++at) {
      SymbolEntry& e = table[at];
      e.symbol = static_cast<uint8_t>(i);
      if (j < j0) {
        e.bits = static_cast<int8_t>(k);
        e.delta = static_cast<int16_t>(((f + j) << k) - states);
      } else {
        e.bits = static_cast<int8_t>(k - 1);
        e.delta = static_cast<int16_t>((j - j0) << (k - 1));
      }
    }
  }
}

void BuildValueTable(int states, int symbols, const uint16_t* freq, const uint8_t* extraBits, const int32_t* base,
                     ValueEntry* table) {
  std::memset(table, 0, sizeof(ValueEntry) * static_cast<size_t>(states));
  const int stateZeros = LeadingZeros(static_cast<uint32_t>(states));
  int at = 0;
  for (int i = 0; i < symbols; ++i) {
    const int f = freq[i];
    if (f == 0) continue;
    const int k = LeadingZeros(static_cast<uint32_t>(f)) - stateZeros;
    const int j0 = ((2 * states) >> k) - f;
    for (int j = 0; j < f; ++j, ++at) {
      ValueEntry& e = table[at];
      e.valueBits = extraBits[i];
      e.base = base[i];
      if (j < j0) {
        e.totalBits = static_cast<uint8_t>(k + extraBits[i]);
        e.delta = static_cast<int16_t>(((f + j) << k) - states);
      } else {
        e.totalBits = static_cast<uint8_t>(k - 1 + extraBits[i]);
        e.delta = static_cast<int16_t>((j - j0) << (k - 1));
      }
    }
  }
}

// The entropy-coded payloads are read backwards from their end, 64 bits at most in hand.
class BackwardBits {
 public:
  // `initialBits` (-7..0) tells how many bits of the last byte are padding.
  bool Init(const uint8_t* start, const uint8_t* end, int initialBits) {
    start_ = start;
    at_ = end;
    const int bytes = initialBits ? 8 : 7;
    if (at_ - start_ < bytes) return false;
    at_ -= bytes;
    accum_ = 0;
    for (int i = 0; i < bytes; ++i) accum_ |= static_cast<uint64_t>(at_[i]) << (8 * i);
    count_ = initialBits + (initialBits ? 64 : 56);
    return count_ >= 56 && count_ < 64 && (accum_ >> count_) == 0;
  }
  // Tops the accumulator up to at least 56 bits, or with what is left of the payload near its start.
  void Refill() {
    int bytes = ((63 - count_) & ~7) >> 3;
    if (at_ - start_ < bytes) bytes = static_cast<int>(at_ - start_);
    at_ -= bytes;
    uint64_t incoming = 0;
    for (int i = 0; i < bytes; ++i) incoming |= static_cast<uint64_t>(at_[i]) << (8 * i);
    if (bytes) accum_ = (accum_ << (8 * bytes)) | incoming;
    count_ += 8 * bytes;
  }
  // The next n bits; a pull of more bits than the payload holds marks the stream damaged.
  uint64_t Pull(int n) {
    if (n > count_) {
      damaged_ = true;
      return 0;
    }
    count_ -= n;
    const uint64_t result = accum_ >> count_;
    accum_ &= (uint64_t{1} << count_) - 1;
    return result;
  }
  bool damaged() const { return damaged_; }

 private:
  const uint8_t* start_ = nullptr;
  const uint8_t* at_ = nullptr;
  uint64_t accum_ = 0;
  int count_ = 0;
  bool damaged_ = false;
};

uint8_t DecodeSymbol(uint16_t* state, const SymbolEntry* table, int states, BackwardBits* bits) {
  const SymbolEntry e = table[*state];
  *state = static_cast<uint16_t>((e.delta + static_cast<int32_t>(bits->Pull(e.bits))) & (states - 1));
  return e.symbol;
}

int32_t DecodeValue(uint16_t* state, const ValueEntry* table, int states, BackwardBits* bits) {
  const ValueEntry e = table[*state];
  const uint64_t pulled = bits->Pull(e.totalBits);
  *state = static_cast<uint16_t>((e.delta + static_cast<int32_t>(pulled >> e.valueBits)) & (states - 1));
  return e.base + static_cast<int32_t>(pulled & ((uint64_t{1} << e.valueBits) - 1));
}

// One frequency of a "bvx2" header: a code of 2 to 14 bits, least significant bit first.
uint32_t DecodeFrequency(uint32_t bits, int* length) {
  static constexpr int8_t kLengths[32] = {2, 3, 2, 5, 2, 3, 2, 8, 2, 3, 2, 5, 2, 3, 2, 14,
                                          2, 3, 2, 5, 2, 3, 2, 8, 2, 3, 2, 5, 2, 3, 2, 14};
  static constexpr int8_t kValues[32] = {0, 2, 1, 4, 0, 3, 1, -1, 0, 2, 1, 5, 0, 3, 1, -1,
                                         0, 2, 1, 6, 0, 3, 1, -1, 0, 2, 1, 7, 0, 3, 1, -1};
  const uint32_t low = bits & 31;
  *length = kLengths[low];
  if (*length == 8) return 8 + ((bits >> 4) & 0xF);
  if (*length == 14) return 24 + ((bits >> 4) & 0x3FF);
  return static_cast<uint32_t>(kValues[low]);
}

uint32_t Field(uint64_t v, int offset, int bits) { return static_cast<uint32_t>((v >> offset) & ((1ull << bits) - 1)); }

// Reads a "bvx1" or "bvx2" header at `in`; its size in *headerSize.
bool ReadHeader(const uint8_t* in, size_t available, uint32_t magic, BlockHeader* h, size_t* headerSize) {
  ByteReader r(in, available);
  if (magic == kMagicV1) {
    r.Skip(4);
    h->rawBytes = r.U32LE();
    const uint32_t payload = r.U32LE();
    h->literals = r.U32LE();
    h->matches = r.U32LE();
    h->literalPayload = r.U32LE();
    h->lmdPayload = r.U32LE();
    h->literalBits = r.I32LE();
    for (uint16_t& s : h->literalState) s = r.U16LE();
    h->lmdBits = r.I32LE();
    h->lState = r.U16LE();
    h->mState = r.U16LE();
    h->dState = r.U16LE();
    for (uint16_t& f : h->freq) f = r.U16LE();
    r.Seek(kV1HeaderSize);
    if (!r.ok() || static_cast<uint64_t>(h->literalPayload) + h->lmdPayload != payload) return false;
    *headerSize = kV1HeaderSize;
  } else {
    r.Skip(4);
    h->rawBytes = r.U32LE();
    const uint64_t f0 = r.U64LE();
    const uint64_t f1 = r.U64LE();
    const uint64_t f2 = r.U64LE();
    if (!r.ok()) return false;
    h->literals = Field(f0, 0, 20);
    h->literalPayload = Field(f0, 20, 20);
    h->matches = Field(f0, 40, 20);
    h->literalBits = static_cast<int32_t>(Field(f0, 60, 3)) - 7;
    for (int i = 0; i < 4; ++i) h->literalState[i] = static_cast<uint16_t>(Field(f1, 10 * i, 10));
    h->lmdPayload = Field(f1, 40, 20);
    h->lmdBits = static_cast<int32_t>(Field(f1, 60, 3)) - 7;
    const uint32_t size = Field(f2, 0, 32);
    h->lState = static_cast<uint16_t>(Field(f2, 32, 10));
    h->mState = static_cast<uint16_t>(Field(f2, 42, 10));
    h->dState = static_cast<uint16_t>(Field(f2, 52, 10));
    if (size < kV2FixedSize || size > available) return false;
    // The frequencies follow, as variable-length codes packed least significant bit first.
    const uint8_t* src = in + kV2FixedSize;
    const uint8_t* srcEnd = in + size;
    uint32_t accum = 0;
    int accumBits = 0;
    for (uint16_t& f : h->freq) {
      while (accumBits + 8 <= 32 && src < srcEnd) {
        accum |= static_cast<uint32_t>(*src++) << accumBits;
        accumBits += 8;
      }
      int length = 0;
      const uint32_t value = DecodeFrequency(accum, &length);
      if (length > accumBits) return false;
      f = static_cast<uint16_t>(value);
      accum >>= length;
      accumBits -= length;
    }
    if (accumBits >= 8 || src != srcEnd) return false;
    *headerSize = size;
  }
  if (h->literals > kLiteralsPerBlock || h->matches > kMatchesPerBlock) return false;
  if (h->literalBits < -7 || h->literalBits > 0 || h->lmdBits < -7 || h->lmdBits > 0) return false;
  for (uint16_t s : h->literalState)
    if (s >= kLiteralStates) return false;
  if (h->lState >= kLStates || h->mState >= kMStates || h->dState >= kDStates) return false;
  const uint16_t* freq = h->freq;
  return FrequenciesFit(kLStates, kLSymbols, freq) && FrequenciesFit(kMStates, kMSymbols, freq + kLSymbols) &&
         FrequenciesFit(kDStates, kDSymbols, freq + kLSymbols + kMSymbols) &&
         FrequenciesFit(kLiteralStates, kLiteralSymbols, freq + kLSymbols + kMSymbols + kDSymbols);
}

struct FseTables {
  SymbolEntry literal[kLiteralStates];
  ValueEntry l[kLStates];
  ValueEntry m[kMStates];
  ValueEntry d[kDStates];
  uint8_t literals[kLiteralsPerBlock + 64];
};

// Copies a match of `length` bytes from `distance` back; overlapping runs repeat.
inline void CopyMatch(uint8_t* to, size_t distance, size_t length) {
  const uint8_t* from = to - distance;
  if (distance >= length) {
    std::memcpy(to, from, length);
    return;
  }
  for (size_t i = 0; i < length; ++i) to[i] = from[i];
}

// Decodes one entropy-coded block into out[pos, pos + rawBytes). False on damage.
bool DecodeFseBlock(const BlockHeader& h, const uint8_t* payload, uint8_t* out, size_t pos, FseTables* t) {
  const uint16_t* freq = h.freq;
  BuildValueTable(kLStates, kLSymbols, freq, kLExtraBits, kLBase, t->l);
  BuildValueTable(kMStates, kMSymbols, freq + kLSymbols, kMExtraBits, kMBase, t->m);
  BuildValueTable(kDStates, kDSymbols, freq + kLSymbols + kMSymbols, kDExtraBits, kDBase, t->d);
  BuildSymbolTable(kLiteralStates, kLiteralSymbols, freq + kLSymbols + kMSymbols + kDSymbols, t->literal);

  BackwardBits bits;
  if (!bits.Init(payload, payload + h.literalPayload, h.literalBits)) return false;
  uint16_t states[4] = {h.literalState[0], h.literalState[1], h.literalState[2], h.literalState[3]};
  const uint32_t literalCount = (h.literals + 3) & ~3u;
  for (uint32_t i = 0; i < literalCount; i += 4) {
    bits.Refill();
    for (int s = 0; s < 4; ++s) t->literals[i + s] = DecodeSymbol(&states[s], t->literal, kLiteralStates, &bits);
  }

  if (bits.damaged()) return false;
  const uint8_t* lmd = payload + h.literalPayload;
  if (!bits.Init(lmd, lmd + h.lmdPayload, h.lmdBits)) return false;
  uint16_t l = h.lState, m = h.mState, d = h.dState;
  const size_t end = pos + h.rawBytes;
  size_t literal = 0;
  size_t distance = 0;
  for (uint32_t i = 0; i < h.matches; ++i) {
    bits.Refill();
    const size_t lLength = static_cast<size_t>(DecodeValue(&l, t->l, kLStates, &bits));
    const size_t mLength = static_cast<size_t>(DecodeValue(&m, t->m, kMStates, &bits));
    const size_t newDistance = static_cast<size_t>(DecodeValue(&d, t->d, kDStates, &bits));
    if (bits.damaged()) return false;
    if (newDistance) distance = newDistance;
    if (lLength > literalCount - literal || lLength > end - pos) return false;
    std::memcpy(out + pos, t->literals + literal, lLength);
    literal += lLength;
    pos += lLength;
    if (mLength) {
      if (mLength > end - pos || distance == 0 || distance > pos) return false;
      CopyMatch(out + pos, distance, mLength);
      pos += mLength;
    }
  }
  return pos == end;
}

}  // namespace

int64_t LzvnDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t outSize, size_t history) {
  size_t i = 0;
  size_t pos = 0;
  size_t distance = 0;
  while (i < inLength) {
    const uint32_t op = in[i];
    size_t literals = 0, match = 0;
    const size_t left = inLength - i;
    if (op >= 0xF0) {  // match with the previous distance
      if (op == 0xF0) {
        if (left < 2) return -1;
        match = in[i + 1] + 16u;
        i += 2;
      } else {
        match = op & 0xF;
        i += 1;
      }
    } else if (op >= 0xE0) {  // literals only
      if (op == 0xE0) {
        if (left < 2) return -1;
        literals = in[i + 1] + 16u;
        i += 2;
      } else {
        literals = op & 0xF;
        i += 1;
      }
    } else if (op >= 0xA0 && op < 0xC0) {  // medium distance
      if (left < 3) return -1;
      literals = (op >> 3) & 3;
      match = (((op & 7) << 2) | (in[i + 1] & 3)) + 3;
      distance = (in[i + 1] >> 2) | (static_cast<size_t>(in[i + 2]) << 6);
      i += 3;
    } else if ((op >= 0x70 && op < 0x80) || (op >= 0xD0 && op < 0xE0)) {
      return -1;
    } else if ((op & 7) == 6) {
      if (op < 0x40) {
        if (op == 0x06) return static_cast<int64_t>(pos);  // end of stream
        if (op == 0x0E || op == 0x16) {
          i += 1;
          continue;
        }
        return -1;
      }
      literals = op >> 6;  // previous distance
      match = ((op >> 3) & 7) + 3;
      i += 1;
    } else if ((op & 7) == 7) {  // large distance
      if (left < 3) return -1;
      literals = op >> 6;
      match = ((op >> 3) & 7) + 3;
      distance = in[i + 1] | (static_cast<size_t>(in[i + 2]) << 8);
      i += 3;
    } else {  // small distance
      if (left < 2) return -1;
      literals = op >> 6;
      match = ((op >> 3) & 7) + 3;
      distance = (static_cast<size_t>(op & 7) << 8) | in[i + 1];
      i += 2;
    }
    if (literals) {
      if (literals > inLength - i || literals > outSize - pos) return -1;
      std::memcpy(out + pos, in + i, literals);
      i += literals;
      pos += literals;
    }
    if (match) {
      if (match > outSize - pos || distance == 0 || distance > pos + history) return -1;
      CopyMatch(out + pos, distance, match);
      pos += match;
    }
  }
  return -1;  // no end-of-stream code
}

int64_t LzfseDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t outSize) {
  if (!in || (!out && outSize)) return -1;
  std::unique_ptr<FseTables> tables;
  size_t i = 0;
  size_t pos = 0;
  for (;;) {
    if (inLength - i < 4) return -1;
    const uint32_t magic = LoadU32LE(in + i);
    if (magic == kMagicEnd) return static_cast<int64_t>(pos);
    if (magic == kMagicRaw) {
      if (inLength - i < 8) return -1;
      const size_t n = LoadU32LE(in + i + 4);
      if (n > inLength - i - 8 || n > outSize - pos) return -1;
      std::memcpy(out + pos, in + i + 8, n);
      i += 8 + n;
      pos += n;
    } else if (magic == kMagicLzvn) {
      if (inLength - i < 12) return -1;
      const size_t raw = LoadU32LE(in + i + 4);
      const size_t payload = LoadU32LE(in + i + 8);
      if (payload > inLength - i - 12 || raw > outSize - pos) return -1;
      if (LzvnDecode(in + i + 12, payload, out + pos, raw, pos) != static_cast<int64_t>(raw)) return -1;
      i += 12 + payload;
      pos += raw;
    } else if (magic == kMagicV1 || magic == kMagicV2) {
      BlockHeader header;
      size_t headerSize = 0;
      if (!ReadHeader(in + i, inLength - i, magic, &header, &headerSize)) return -1;
      const size_t payload = static_cast<size_t>(header.literalPayload) + header.lmdPayload;
      if (payload > inLength - i - headerSize || header.rawBytes > outSize - pos) return -1;
      if (!tables) tables = std::make_unique_for_overwrite<FseTables>();
      if (!DecodeFseBlock(header, in + i + headerSize, out, pos, tables.get())) return -1;
      i += headerSize + payload;
      pos += header.rawBytes;
    } else {
      return -1;
    }
  }
}
