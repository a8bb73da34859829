#include "wim/lzx.h"

#include <cstring>
#include <new>

namespace {

constexpr int kMainTableBits = 11;
constexpr int kLengthTableBits = 10;

// Offset slots per window size, from 2^15 to 2^21.
constexpr int kOffsetSlots[7] = {30, 32, 34, 36, 38, 42, 50};

// Bits of 16-bit little-endian units, most significant first. Reads past the end give zero bits; the
// decoder's own checks (block sizes, match distances) bound what such bits can do.
struct BitReader {
  const uint8_t* data;
  size_t size;
  size_t next;    // next byte to load
  size_t start;   // first byte of the current bit region
  uint64_t bits;  // left-justified
  int held;

  void Reset(size_t at) {
    next = start = at;
    bits = 0;
    held = 0;
  }
  void Fill() {
    while (held <= 48) {
      uint64_t unit = 0;
      if (next + 1 < size) unit = static_cast<uint64_t>(data[next]) | static_cast<uint64_t>(data[next + 1]) << 8;
      next += 2;
      bits |= unit << (48 - held);
      held += 16;
    }
  }
  uint32_t Peek16() {
    if (held < 16) Fill();
    return static_cast<uint32_t>(bits >> 48);
  }
  void Consume(int n) {
    bits <<= n;
    held -= n;
  }
  uint32_t Read(int n) {
    if (n == 0) return 0;
    if (held < n) Fill();
    const uint32_t v = static_cast<uint32_t>(bits >> (64 - n));
    Consume(n);
    return v;
  }
  // The byte after the 16-bit unit the reader stands in (the next unit when it stands on a unit boundary).
  size_t AlignedByte() const {
    const uint64_t consumed = static_cast<uint64_t>(next - start) * 8 - static_cast<uint64_t>(held);
    return start + static_cast<size_t>((consumed / 16 + 1) * 2);
  }
};

int DecodeSymbol(BitReader* reader, const CHuffmanTable* table) {
  int length = 0;
  const int symbol = HuffmanTableDecode(table, reader->Peek16(), &length);
  if (symbol >= 0) reader->Consume(length);
  return symbol;
}

// Reads `count` code lengths through a pretree, as differences from the lengths in `lengths`.
bool ReadLengths(CLzxDecoder* decoder, BitReader* reader, uint8_t* lengths, int count) {
  uint8_t preLengths[20];
  for (uint8_t& length : preLengths) length = static_cast<uint8_t>(reader->Read(4));
  if (!HuffmanTableBuild(&decoder->pretree, preLengths, 20, 16, 10)) return false;
  int i = 0;
  while (i < count) {
    int symbol = DecodeSymbol(reader, &decoder->pretree);
    if (symbol < 0) return false;
    if (symbol <= 16) {
      lengths[i] = static_cast<uint8_t>((lengths[i] + 17 - symbol) % 17);
      ++i;
      continue;
    }
    int run;
    uint8_t value = 0;
    if (symbol == 17) {
      run = 4 + static_cast<int>(reader->Read(4));
    } else if (symbol == 18) {
      run = 20 + static_cast<int>(reader->Read(5));
    } else {
      run = 4 + static_cast<int>(reader->Read(1));
      const int next = DecodeSymbol(reader, &decoder->pretree);
      if (next < 0 || next > 16) return false;
      value = static_cast<uint8_t>((lengths[i] + 17 - next) % 17);
    }
    // A run past the end of the lengths being read stops there.
    for (; run > 0 && i < count; --run) lengths[i++] = value;
  }
  return true;
}

}  // namespace

int HuffmanTableBuild(CHuffmanTable* table, const uint8_t* lengths, int symbols, int maxLength, int tableBits) {
  if (symbols < 0 || symbols > 800 || maxLength < 1 || maxLength > 16 || tableBits < 1 || tableBits > 12) return 0;
  table->tableBits = tableBits;
  table->maxLength = maxLength;
  std::memset(table->count, 0, sizeof(table->count));
  for (int s = 0; s < symbols; ++s) {
    if (lengths[s] > maxLength) return 0;
    ++table->count[lengths[s]];
  }
  table->count[0] = 0;
  int64_t left = 1;
  for (int len = 1; len <= 16; ++len) {
    left = left * 2 - table->count[len];
    if (left < 0) return 0;  // over-subscribed
  }
  uint16_t next[17];
  table->offset[0] = 0;
  table->offset[1] = 0;
  for (int len = 1; len < 16; ++len)
    table->offset[len + 1] = static_cast<uint16_t>(table->offset[len] + table->count[len]);
  std::memcpy(next, table->offset, sizeof(next));
  for (int s = 0; s < symbols; ++s)
    if (lengths[s]) table->sorted[next[lengths[s]]++] = static_cast<uint16_t>(s);
  uint32_t code = 0;
  table->first[0] = 0;
  for (int len = 1; len <= 16; ++len) {
    table->first[len] = code;
    code = (code + table->count[len]) << 1;
  }
  std::memset(table->fast, 0, sizeof(uint32_t) << tableBits);
  const int shortest = maxLength < tableBits ? maxLength : tableBits;
  for (int len = 1; len <= shortest; ++len) {
    for (uint32_t i = 0; i < table->count[len]; ++i) {
      const uint32_t symbol = table->sorted[table->offset[len] + i];
      const uint32_t start = (table->first[len] + i) << (tableBits - len);
      const uint32_t span = 1u << (tableBits - len);
      const uint32_t entry = symbol << 8 | static_cast<uint32_t>(len);
      for (uint32_t k = 0; k < span; ++k) table->fast[start + k] = entry;
    }
  }
  return 1;
}

std::unique_ptr<CLzxDecoder> LzxCreateDecoder() { return std::unique_ptr<CLzxDecoder>(new (std::nothrow) CLzxDecoder); }

void LzxUndoCallTranslation(uint8_t* data, size_t n, uint32_t translationSize) {
  if (n <= 10) return;
  const int64_t size = translationSize;
  for (size_t i = 0; i < n - 10;) {
    if (data[i] != 0xE8) {
      ++i;
      continue;
    }
    const int64_t at = static_cast<int64_t>(i);
    const int32_t value =
        static_cast<int32_t>(static_cast<uint32_t>(data[i + 1]) | static_cast<uint32_t>(data[i + 2]) << 8 |
                             static_cast<uint32_t>(data[i + 3]) << 16 | static_cast<uint32_t>(data[i + 4]) << 24);
    if (value >= -at && value < size) {
      const int64_t replaced = value >= 0 ? value - at : value + size;
      const uint32_t u = static_cast<uint32_t>(replaced);
      data[i + 1] = static_cast<uint8_t>(u);
      data[i + 2] = static_cast<uint8_t>(u >> 8);
      data[i + 3] = static_cast<uint8_t>(u >> 16);
      data[i + 4] = static_cast<uint8_t>(u >> 24);
    }
    i += 5;
  }
}

int LzxDecodeChunk(CLzxDecoder* decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize,
                   int windowLog2) {
  if (!decoder || windowLog2 < 15 || windowLog2 > 21) return 0;
  const int mainSymbols = 256 + 8 * kOffsetSlots[windowLog2 - 15];
  std::memset(decoder->mainLengths, 0, sizeof(decoder->mainLengths));
  std::memset(decoder->lengthLengths, 0, sizeof(decoder->lengthLengths));
  uint32_t recent[3] = {1, 1, 1};
  BitReader reader{in, inSize, 0, 0, 0, 0};
  reader.Reset(0);
  size_t produced = 0;
  while (produced < outSize) {
    const uint32_t type = reader.Read(3);
    uint32_t blockSize;
    if (reader.Read(1)) {
      blockSize = 32768;
    } else {
      blockSize = reader.Read(16);
      if (windowLog2 >= 16) blockSize = blockSize << 8 | reader.Read(8);
    }
    if (blockSize == 0 || blockSize > outSize - produced) return 0;
    if (type == 3) {
      // Uncompressed: three recent distances, then the bytes, then a padding byte after an odd size.
      size_t at = reader.AlignedByte();
      if (at > inSize || inSize - at < 12) return 0;
      for (uint32_t& r : recent) {
        r = static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
            static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
        if (r == 0) return 0;
        at += 4;
      }
      if (inSize - at < blockSize) return 0;
      std::memcpy(out + produced, in + at, blockSize);
      produced += blockSize;
      at += blockSize + (blockSize & 1);
      reader.Reset(at);
      continue;
    }
    if (type != 1 && type != 2 && type != 0) return 0;
    const bool aligned = type == 2;
    if (aligned) {
      uint8_t alignedLengths[8];
      for (uint8_t& length : alignedLengths) length = static_cast<uint8_t>(reader.Read(3));
      if (!HuffmanTableBuild(&decoder->aligned, alignedLengths, 8, 7, 7)) return 0;
    }
    if (!ReadLengths(decoder, &reader, decoder->mainLengths, 256) ||
        !ReadLengths(decoder, &reader, decoder->mainLengths + 256, mainSymbols - 256) ||
        !HuffmanTableBuild(&decoder->main, decoder->mainLengths, mainSymbols, 16, kMainTableBits) ||
        !ReadLengths(decoder, &reader, decoder->lengthLengths, kLzxLengthSymbols) ||
        !HuffmanTableBuild(&decoder->length, decoder->lengthLengths, kLzxLengthSymbols, 16, kLengthTableBits))
      return 0;
    const size_t blockEnd = produced + blockSize;
    while (produced < blockEnd) {
      const int symbol = DecodeSymbol(&reader, &decoder->main);
      if (symbol < 0) return 0;
      if (symbol < 256) {
        out[produced++] = static_cast<uint8_t>(symbol);
        continue;
      }
      const uint32_t s = static_cast<uint32_t>(symbol - 256);
      uint32_t length = s & 7;
      const uint32_t slot = s >> 3;
      if (length == 7) {
        const int extra = DecodeSymbol(&reader, &decoder->length);
        if (extra < 0) return 0;
        length += static_cast<uint32_t>(extra);
      }
      length += 2;
      uint32_t distance;
      if (slot < 3) {
        distance = recent[slot];
        recent[slot] = recent[0];
        recent[0] = distance;
      } else {
        int footerBits;
        uint32_t base;
        if (slot < 38) {
          footerBits = static_cast<int>(slot / 2 - 1);
          base = (2u + (slot & 1)) << footerBits;
        } else {
          footerBits = 17;
          base = (slot - 34) << 17;
        }
        uint32_t footer;
        if (aligned && footerBits >= 3) {
          footer = reader.Read(footerBits - 3) << 3;
          const int low = DecodeSymbol(&reader, &decoder->aligned);
          if (low < 0) return 0;
          footer += static_cast<uint32_t>(low);
        } else {
          footer = reader.Read(footerBits);
        }
        distance = base + footer - 2;
        recent[2] = recent[1];
        recent[1] = recent[0];
        recent[0] = distance;
      }
      if (length > blockEnd - produced || distance == 0 || distance > produced) return 0;
      LzCopyMatch(out + produced, distance, length);
      produced += length;
    }
  }
  LzxUndoCallTranslation(out, outSize, kLzxTranslationSize);
  return 1;
}
