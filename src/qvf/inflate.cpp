#include "qvf/inflate.h"

#include <cstring>
#include <iterator>

#include "runtime/memory.h"

namespace {

// A lookup-table entry. Bits 0-3: codeword bits consumed at this level. Bits 4-7: extra bits that follow a
// length or distance code, or the index bits of the second-level table a link points to. Bits 8-11: kind.
// Bits 16-31: the literal byte, the length or distance base, or the offset of the linked table.
constexpr uint32_t kLiteral = 1u << 8;
constexpr uint32_t kEndOfBlock = 1u << 9;
constexpr uint32_t kLink = 1u << 10;
constexpr uint32_t kInvalid = 1u << 11;

constexpr uint32_t MakeEntry(uint32_t value, uint32_t kind, uint32_t extraBits, uint32_t codeBits) {
  return value << 16 | kind | extraBits << 4 | codeBits;
}
constexpr uint32_t EntryCodeBits(uint32_t entry) { return entry & 15; }
constexpr uint32_t EntryExtraBits(uint32_t entry) { return (entry >> 4) & 15; }
constexpr uint32_t EntryValue(uint32_t entry) { return entry >> 16; }

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,
                                        33,   49,   65,   97,   129,  193,   257,   385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Order in which a dynamic block lists the code lengths of the code-length alphabet.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum class Alphabet { kLitLen, kDistance, kCodeLength };

// The entry of a symbol, without its codeword bits. Symbols 286-287 and distances 30-31 have codes in the fixed
// code but no meaning.
constexpr uint32_t SymbolEntry(Alphabet alphabet, uint32_t symbol) {
  switch (alphabet) {
    case Alphabet::kLitLen:
      if (symbol < 256) return MakeEntry(symbol, kLiteral, 0, 0);
      if (symbol == 256) return MakeEntry(0, kEndOfBlock, 0, 0);
      if (symbol < 286) return MakeEntry(kLengthBase[symbol - 257], 0, kLengthExtra[symbol - 257], 0);
      return MakeEntry(0, kInvalid, 0, 0);
    case Alphabet::kDistance:
      if (symbol < 30) return MakeEntry(kDistanceBase[symbol], 0, kDistanceExtra[symbol], 0);
      return MakeEntry(0, kInvalid, 0, 0);
    case Alphabet::kCodeLength:
      return MakeEntry(symbol, 0, 0, 0);
  }
  return MakeEntry(0, kInvalid, 0, 0);
}

constexpr uint32_t ReverseBits(uint32_t code, uint32_t bits) {
  uint32_t reversed = 0;
  for (uint32_t i = 0; i < bits; ++i) {
    reversed = reversed << 1 | (code & 1);
    code >>= 1;
  }
  return reversed;
}

// Builds the two-level lookup table of a canonical code from its code lengths (0 = unused). Deflate sends codes
// least significant bit first, so the table is indexed by the reversed codeword. A code that claims more than
// the code space fails, and so does one that leaves part of it unused, except the two forms RFC 1951 permits
// for literal/length and distance codes: a single one-bit code, and (distances only) no code at all. The
// unused half of a single-code table decodes as an invalid code.
constexpr bool BuildTable(Alphabet alphabet, const uint8_t* lengths, uint32_t count, uint32_t rootBits,
                          uint32_t* table, size_t capacity) {
  uint32_t lengthCount[16] = {};
  for (uint32_t s = 0; s < count; ++s) ++lengthCount[lengths[s]];
  lengthCount[0] = 0;
  uint32_t maxLength = 0;
  for (uint32_t len = 1; len <= 15; ++len) {
    if (lengthCount[len] != 0) maxLength = len;
  }
  int32_t unused = 1;
  for (uint32_t len = 1; len <= 15; ++len) {
    unused = unused * 2 - static_cast<int32_t>(lengthCount[len]);
    if (unused < 0) return false;
  }
  if (unused > 0) {
    const bool singleBit = maxLength == 1 && alphabet != Alphabet::kCodeLength;
    const bool noDistances = maxLength == 0 && alphabet == Alphabet::kDistance;
    if (!singleBit && !noDistances) return false;
  }

  uint32_t start[17] = {};
  for (uint32_t len = 1; len <= 15; ++len) start[len + 1] = start[len] + lengthCount[len];
  uint16_t sorted[288] = {};
  for (uint32_t s = 0; s < count; ++s) {
    if (lengths[s] != 0) sorted[start[lengths[s]]++] = static_cast<uint16_t>(s);
  }

  const size_t rootSize = size_t{1} << rootBits;
  if (capacity < rootSize) return false;
  const uint32_t invalid = MakeEntry(0, kInvalid, 0, 0);
  for (size_t i = 0; i < rootSize; ++i) table[i] = invalid;

  uint32_t remaining[16] = {};
  for (uint32_t len = 0; len <= 15; ++len) remaining[len] = lengthCount[len];
  uint32_t code = 0;  // canonical codeword of the next symbol, most significant bit first
  uint32_t next = 0;  // index into sorted
  size_t freeSlot = rootSize;
  uint32_t linkPrefix = ~0u;
  size_t linkBase = 0;
  uint32_t linkBits = 0;
  for (uint32_t len = 1; len <= maxLength; ++len, code <<= 1) {
    for (uint32_t k = 0; k < lengthCount[len]; ++k, ++code) {
      const uint32_t entry = SymbolEntry(alphabet, sorted[next++]);
      if (len <= rootBits) {
        for (size_t i = ReverseBits(code, len); i < rootSize; i += size_t{1} << len) table[i] = entry | len;
      } else {
        const uint32_t prefix = code >> (len - rootBits);
        if (prefix != linkPrefix) {
          // The second-level table is as small as the codes that share this prefix allow: they come next in
          // canonical order, shortest first, and fill the prefix's share of the code space.
          uint32_t bits = len - rootBits;
          int32_t room = 1 << bits;
          while (bits + rootBits < maxLength) {
            room -= static_cast<int32_t>(remaining[bits + rootBits]);
            if (room <= 0) break;
            ++bits;
            room *= 2;
          }
          if (freeSlot + (size_t{1} << bits) > capacity) return false;
          for (size_t i = 0; i < (size_t{1} << bits); ++i) table[freeSlot + i] = invalid;
          table[ReverseBits(prefix, rootBits)] = MakeEntry(static_cast<uint32_t>(freeSlot), kLink, bits, rootBits);
          linkPrefix = prefix;
          linkBase = freeSlot;
          linkBits = bits;
          freeSlot += size_t{1} << bits;
        }
        const uint32_t subBits = len - rootBits;
        const uint32_t subCode = ReverseBits(code & ((1u << subBits) - 1), subBits);
        for (size_t i = subCode; i < (size_t{1} << linkBits); i += size_t{1} << subBits) {
          table[linkBase + i] = entry | subBits;
        }
      }
      --remaining[len];
    }
  }
  return true;
}

struct FixedTables {
  uint32_t litLen[size_t{1} << kInflateLitLenRootBits];
  uint32_t distance[size_t{1} << kInflateDistanceRootBits];
};

constexpr FixedTables MakeFixedTables() {
  FixedTables tables{};
  uint8_t lengths[288] = {};
  for (int s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
  BuildTable(Alphabet::kLitLen, lengths, 288, kInflateLitLenRootBits, tables.litLen, std::size(tables.litLen));
  for (int s = 0; s < 32; ++s) lengths[s] = 5;
  BuildTable(Alphabet::kDistance, lengths, 32, kInflateDistanceRootBits, tables.distance,
             std::size(tables.distance));
  return tables;
}

// The fixed code's longest codewords are shorter than the first level, so it needs no second-level tables.
constexpr FixedTables kFixedTables = MakeFixedTables();

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;  // little-endian host
}
inline void Copy8(uint8_t* dst, const uint8_t* src) {
  uint64_t v;
  std::memcpy(&v, src, sizeof v);
  std::memcpy(dst, &v, sizeof v);
}

// Input bits, least significant first. `position` counts bytes taken into `buffer`, including the 0xFF bytes
// taken past the end; `count` bits of `buffer` are unread. Bits above `count` are zero or the input's next bits.
struct BitReader {
  const uint8_t* input;
  size_t length;
  size_t position;
  uint64_t buffer;
  uint32_t count;
};

// Bytes the stream has used so far; a byte partly read counts as used.
inline size_t BytesUsed(size_t position, uint32_t count) { return position - count / 8; }

// Tops the buffer up to at least 56 unread bits. Fails once the stream has read bits past the end of its input,
// which bounds the work a truncated stream can cause.
inline bool Refill(const uint8_t* input, size_t length, size_t& position, uint64_t& buffer, uint32_t& count) {
  if (position + 8 <= length) {
    buffer |= Load64(input + position) << count;
    position += (63 - count) >> 3;
    count |= 56;
    return true;
  }
  if (BytesUsed(position, count) > length) return false;
  while (count <= 56) {
    const uint64_t byte = position < length ? input[position] : 0xFF;
    buffer |= byte << count;
    ++position;
    count += 8;
  }
  return true;
}

inline bool Refill(BitReader& r) { return Refill(r.input, r.length, r.position, r.buffer, r.count); }

inline uint32_t TakeBits(BitReader& r, uint32_t bits) {
  const uint32_t value = static_cast<uint32_t>(r.buffer & ((uint64_t{1} << bits) - 1));
  r.buffer >>= bits;
  r.count -= bits;
  return value;
}

// Reads the code definitions of a dynamic block into the inflater's tables.
bool ReadDynamicCodes(CInflater* inflater, BitReader& r) {
  if (!Refill(r)) return false;
  const uint32_t litLenCount = TakeBits(r, 5) + 257;
  const uint32_t distanceCount = TakeBits(r, 5) + 1;
  const uint32_t codeLengthCount = TakeBits(r, 4) + 4;
  if (litLenCount > 286 || distanceCount > 30) return false;

  uint8_t codeLengthLengths[19] = {};
  for (uint32_t i = 0; i < codeLengthCount; ++i) {
    if (r.count < 3 && !Refill(r)) return false;
    codeLengthLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(TakeBits(r, 3));
  }
  if (!BuildTable(Alphabet::kCodeLength, codeLengthLengths, 19, kInflateCodeLengthRootBits,
                  inflater->codeLengthTable, kInflateCodeLengthTableSize)) {
    return false;
  }

  // Literal/length and distance lengths form one sequence: a repeat may run from one into the other.
  uint8_t lengths[286 + 30];
  const uint32_t total = litLenCount + distanceCount;
  const uint32_t rootMask = (1u << kInflateCodeLengthRootBits) - 1;
  for (uint32_t i = 0; i < total;) {
    if (r.count < 14 && !Refill(r)) return false;
    const uint32_t entry = inflater->codeLengthTable[r.buffer & rootMask];
    if (entry & kInvalid) return false;
    TakeBits(r, EntryCodeBits(entry));
    const uint32_t symbol = EntryValue(entry);
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint8_t value = 0;
    uint32_t repeat;
    if (symbol == 16) {
      if (i == 0) return false;
      value = lengths[i - 1];
      repeat = 3 + TakeBits(r, 2);
    } else if (symbol == 17) {
      repeat = 3 + TakeBits(r, 3);
    } else {
      repeat = 11 + TakeBits(r, 7);
    }
    if (repeat > total - i) return false;
    std::memset(lengths + i, value, repeat);
    i += repeat;
  }
  if (lengths[256] == 0) return false;  // a block that cannot end
  return BuildTable(Alphabet::kLitLen, lengths, litLenCount, kInflateLitLenRootBits, inflater->litLenTable,
                    kInflateLitLenTableSize) &&
         BuildTable(Alphabet::kDistance, lengths + litLenCount, distanceCount, kInflateDistanceRootBits,
                    inflater->distanceTable, kInflateDistanceTableSize);
}

// Room past a match that the word-wise copies may overwrite.
constexpr size_t kCopySlack = 16;

// Decodes the symbols of one Huffman block up to its end-of-block code.
bool DecodeHuffmanBlock(BitReader& r, const uint32_t* litLenTable, const uint32_t* distanceTable, uint8_t* out,
                        size_t& outCount, size_t limit) {
  const uint8_t* const input = r.input;
  const size_t length = r.length;
  size_t position = r.position;
  uint64_t buffer = r.buffer;
  uint32_t count = r.count;
  size_t o = outCount;
  constexpr uint32_t litLenMask = (1u << kInflateLitLenRootBits) - 1;
  constexpr uint32_t distanceMask = (1u << kInflateDistanceRootBits) - 1;
  bool ok = false;

  for (;;) {
    // 56 bits cover the longest symbol: a 15-bit length code with 5 extra bits and a 15-bit distance code
    // with 13 extra bits.
    if (!Refill(input, length, position, buffer, count)) break;
    uint32_t entry = litLenTable[buffer & litLenMask];
    if (entry & kLink) {
      buffer >>= kInflateLitLenRootBits;
      count -= kInflateLitLenRootBits;
      entry = litLenTable[EntryValue(entry) + (buffer & ((1u << EntryExtraBits(entry)) - 1))];
    }
    buffer >>= EntryCodeBits(entry);
    count -= EntryCodeBits(entry);
    if (entry & kLiteral) {
      if (o >= limit) break;
      out[o++] = static_cast<uint8_t>(EntryValue(entry));
      // Literals come in runs: at least 41 bits are still buffered, enough for a second one without a refill.
      entry = litLenTable[buffer & litLenMask];
      if (entry & kLiteral) {
        buffer >>= EntryCodeBits(entry);
        count -= EntryCodeBits(entry);
        if (o >= limit) break;
        out[o++] = static_cast<uint8_t>(EntryValue(entry));
      }
      continue;
    }
    if (entry & (kEndOfBlock | kInvalid)) {
      ok = (entry & kEndOfBlock) != 0;
      break;
    }
    uint32_t extra = EntryExtraBits(entry);
    const size_t matchLength = EntryValue(entry) + (buffer & ((1u << extra) - 1));
    buffer >>= extra;
    count -= extra;

    entry = distanceTable[buffer & distanceMask];
    if (entry & kLink) {
      buffer >>= kInflateDistanceRootBits;
      count -= kInflateDistanceRootBits;
      entry = distanceTable[EntryValue(entry) + (buffer & ((1u << EntryExtraBits(entry)) - 1))];
    }
    if (entry & kInvalid) break;
    buffer >>= EntryCodeBits(entry);
    count -= EntryCodeBits(entry);
    extra = EntryExtraBits(entry);
    const size_t distance = EntryValue(entry) + (buffer & ((1u << extra) - 1));
    buffer >>= extra;
    count -= extra;

    // A reference may only reach bytes this decode produced; the buffer before them is not ours.
    if (distance > o || matchLength > limit - o) break;
    uint8_t* dst = out + o;
    const uint8_t* src = dst - distance;
    if (limit - o - matchLength >= kCopySlack) {
      if (distance >= 8) {
        uint8_t* const end = dst + matchLength;
        do {
          Copy8(dst, src);
          Copy8(dst + 8, src + 8);
          dst += 16;
          src += 16;
        } while (dst < end);
      } else if (distance == 1) {
        std::memset(dst, *src, matchLength);
      } else {
        // The match repeats with a period of `distance`, so also with any multiple of it: once the first
        // (period - distance) bytes are out, words can be copied from `period` bytes back.
        size_t period = distance;
        while (period < 8) period += distance;
        size_t i = 0;
        for (; i < period - distance && i < matchLength; ++i) dst[i] = src[i];
        for (; i < matchLength; i += 8) Copy8(dst + i, dst + i - period);
      }
    } else {
      for (size_t i = 0; i < matchLength; ++i) dst[i] = src[i];
    }
    o += matchLength;
  }

  r.position = position;
  r.buffer = buffer;
  r.count = count;
  outCount = o;
  return ok;
}

bool CopyStoredBlock(BitReader& r, uint8_t* out, size_t& outCount, size_t limit) {
  // Skip to a byte boundary, then give the whole bytes still buffered back to the input.
  r.buffer >>= r.count & 7;
  r.count -= r.count & 7;
  r.position -= r.count / 8;
  r.buffer = 0;
  r.count = 0;
  if (r.position > r.length || r.length - r.position < 4) return false;
  const uint8_t* p = r.input + r.position;
  const uint32_t storedLength = p[0] | p[1] << 8;
  const uint32_t complement = p[2] | p[3] << 8;
  if (storedLength != (~complement & 0xFFFF)) return false;
  r.position += 4;
  if (storedLength > r.length - r.position || storedLength > limit - outCount) return false;
  std::memcpy(out + outCount, r.input + r.position, storedLength);
  r.position += storedLength;
  outCount += storedLength;
  return true;
}

// Stored, fixed and dynamic block-type codes of each variant.
constexpr uint8_t kVariantCodes[4][3] = {{0, 1, 2}, {1, 2, 0}, {0, 2, 1}, {1, 0, 2}};

int64_t Inflate(CInflater* inflater) {
  const int32_t variant = inflater->variant >= 1 && inflater->variant <= 3 ? inflater->variant : 0;
  inflater->storedCode = kVariantCodes[variant][0];
  inflater->fixedCode = kVariantCodes[variant][1];
  inflater->dynamicCode = kVariantCodes[variant][2];
  const size_t limit = inflater->outputLimit != 0 ? inflater->outputLimit : kInflateDefaultLimit;

  BitReader r{inflater->input, inflater->inputLength, 0, 0, 0};
  size_t produced = 0;
  bool ok = true;
  bool last = false;
  while (ok && !last) {
    if (!Refill(r)) {
      ok = false;
      break;
    }
    last = TakeBits(r, 1) != 0;
    const uint32_t type = TakeBits(r, 2);
    if (type == inflater->dynamicCode) {
      ok = ReadDynamicCodes(inflater, r) &&
           DecodeHuffmanBlock(r, inflater->litLenTable, inflater->distanceTable, inflater->output, produced,
                              limit);
    } else if (type == inflater->storedCode) {
      ok = CopyStoredBlock(r, inflater->output, produced, limit);
    } else if (type == inflater->fixedCode) {
      ok = DecodeHuffmanBlock(r, kFixedTables.litLen, kFixedTables.distance, inflater->output, produced, limit);
    } else {
      ok = false;
    }
  }
  const size_t used = BytesUsed(r.position, r.count);
  inflater->inputPosition = used;
  inflater->outputCount = produced;
  inflater->bitBuffer = 0;
  inflater->bitCount = 0;
  if (!ok || used > r.length) return -1;
  return static_cast<int64_t>(produced);
}

uint32_t LoadU32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

}  // namespace

int64_t InflaterInflate(CInflater* inflater, const uint8_t* input, uint8_t* output, size_t inputLength) {
  inflater->input = input;
  inflater->inputLength = inputLength;
  inflater->inputPosition = 0;
  inflater->output = output;
  inflater->outputCount = 0;
  return Inflate(inflater);
}

int64_t InflaterInflateLimited(CInflater* inflater, const uint8_t* input, uint8_t* output, size_t inputLength,
                               size_t limit) {
  inflater->outputLimit = limit;
  const int64_t result = InflaterInflate(inflater, input, output, inputLength);
  inflater->outputLimit = 0;
  return result;
}

int64_t InflaterInflateChunks(const uint8_t* list, size_t listLength, uint8_t* output, size_t capacity,
                              size_t* endPosition) {
  CInflater inflater{};
  size_t position = 0;
  size_t total = 0;
  for (;;) {
    if (listLength - position < 4) return -1;
    const uint32_t pieceLength = LoadU32(list + position);
    position += 4;
    if (pieceLength == 0) break;
    if (pieceLength > listLength - position || total == capacity) return -1;
    // Each piece decodes straight into its place; it may not pass its own 64 KiB nor the declared capacity.
    const size_t room = capacity - total;
    const size_t limit = room < kInflateDefaultLimit ? room : kInflateDefaultLimit;
    const int64_t produced = InflaterInflateLimited(&inflater, list + position, output + total, pieceLength, limit);
    if (produced <= 0) return -1;
    total += static_cast<size_t>(produced);
    position += pieceLength;
  }
  if (endPosition) *endPosition = position;
  return static_cast<int64_t>(total);
}

int InflateChunkedAlloc(const uint8_t* framed, size_t framedLength, uint8_t** buffer, size_t* endPosition) {
  *buffer = nullptr;
  if (framedLength < 8) return -1;
  const size_t declared = LoadU32(framed);
  // Each piece takes at least five bytes of the list and yields at most 64 KiB: a larger total is refused
  // before anything is allocated for it.
  const size_t maxPieces = (framedLength - 8) / 5;
  if (declared > maxPieces * kInflateDefaultLimit) return -1;
  MemBlock<uint8_t> block(static_cast<uint8_t*>(MemAlloc(declared != 0 ? declared : 1)));
  if (!block) return -1;
  size_t listEnd = 0;
  const int64_t produced = InflaterInflateChunks(framed + 4, framedLength - 4, block.get(), declared, &listEnd);
  if (produced < 0 || static_cast<size_t>(produced) != declared) return -1;
  if (endPosition) *endPosition = 4 + listEnd;
  *buffer = block.release();
  return 0;
}
