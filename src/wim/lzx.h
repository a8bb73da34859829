// LZX as WIM archives use it: every chunk is a stream of its own (fresh window, fresh code lengths, recent
// distances 1, 1, 1), block headers carry a one-bit "32 KiB" flag or an explicit size, and x86 call
// translation is always on with a translation size of 12,000,000. This file also holds the canonical Huffman
// decode table the XPRESS and LZMS decoders share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Decode table of a canonical Huffman code: codes up to `tableBits` long are found with one look-up, longer
// ones by comparing against the first code of each length.
struct CHuffmanTable {
  int tableBits;
  int maxLength;
  uint32_t fast[1 << 12];  // (symbol << 8) | length; 0 where the code is longer than tableBits or unused
  uint32_t first[17];      // first code of each length
  uint16_t count[17];      // codes of each length
  uint16_t offset[17];     // index in `sorted` of the first symbol of each length
  uint16_t sorted[800];    // symbols by (length, symbol)
};

// Builds the table from per-symbol code lengths (0: unused). Fails (0) on a length above maxLength, on more
// than 800 symbols and on an over-subscribed set; an incomplete set is accepted. 1 on success.
int HuffmanTableBuild(CHuffmanTable* table, const uint8_t* lengths, int symbols, int maxLength, int tableBits);

// The symbol whose code starts the 16 bits `peek` (most significant first), its length in *length; -1 when
// no code matches.
inline int HuffmanTableDecode(const CHuffmanTable* table, uint32_t peek, int* length) {
  const uint32_t entry = table->fast[peek >> (16 - table->tableBits)];
  if (entry & 0xFF) {
    *length = static_cast<int>(entry & 0xFF);
    return static_cast<int>(entry >> 8);
  }
  for (int len = table->tableBits + 1; len <= table->maxLength; ++len) {
    const uint32_t index = (peek >> (16 - len)) - table->first[len];
    if (index < table->count[len]) {
      *length = len;
      return table->sorted[table->offset[len] + index];
    }
  }
  return -1;
}

constexpr uint32_t kLzxTranslationSize = 12000000;
constexpr int kLzxMainSymbolsMax = 656;
constexpr int kLzxLengthSymbols = 249;

// The decoder state of one thread: its tables and the saved code lengths of one chunk.
struct CLzxDecoder {
  CHuffmanTable main;
  CHuffmanTable length;
  CHuffmanTable aligned;
  CHuffmanTable pretree;
  uint8_t mainLengths[kLzxMainSymbolsMax + 64];
  uint8_t lengthLengths[kLzxLengthSymbols + 64];
};

std::unique_ptr<CLzxDecoder> LzxCreateDecoder();

// Decodes one chunk of `inSize` bytes into exactly `outSize` bytes, with the window of 2^windowLog2 bytes
// (15..21), and undoes the x86 call translation. 1 on success, 0 on damaged data or a window out of range.
int LzxDecodeChunk(CLzxDecoder* decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize,
                   int windowLog2);

// Undoes the x86 call translation over n decoded bytes whose first byte is at output position 0.
void LzxUndoCallTranslation(uint8_t* data, size_t n, uint32_t translationSize);

// Copies a match of `length` bytes from `distance` bytes back; overlapping copies repeat the pattern. The
// caller has checked that both ends lie inside the output.
inline void LzCopyMatch(uint8_t* out, size_t distance, size_t length) {
  const uint8_t* from = out - distance;
  if (distance >= 8) {
    while (length >= 8) {
      uint64_t v;
      __builtin_memcpy(&v, from, 8);
      __builtin_memcpy(out, &v, 8);
      out += 8;
      from += 8;
      length -= 8;
    }
  }
  while (length--) *out++ = *from++;
}
