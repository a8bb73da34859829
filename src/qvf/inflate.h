// CInflater: the system's own decoder of raw deflate data (RFC 1951), memory to memory, for QVF chunks, the
// deflated QVF index, the QVF comment and the multisession block. It honours the block-type variant of QVF
// streams, which permutes the three 2-bit block-type codes. Zlib chunks of other formats go through zlib.
//
// All state lives in the record, so any number of inflaters may run at once on different threads. Output goes
// straight to the caller's buffer, which needs room for the output limit; nothing is written at or past the
// limit, and a back reference may only reach bytes produced by the same decode.
#pragma once

#include <cstddef>
#include <cstdint>

// First-level lookup bits and table capacities (first level plus every second-level table the worst code of
// each alphabet needs).
inline constexpr int kInflateLitLenRootBits = 10;
inline constexpr int kInflateDistanceRootBits = 8;
inline constexpr int kInflateCodeLengthRootBits = 7;
inline constexpr size_t kInflateLitLenTableSize = 1334;
inline constexpr size_t kInflateDistanceTableSize = 402;
inline constexpr size_t kInflateCodeLengthTableSize = 128;

// Output limit used when the record's limit is 0.
inline constexpr size_t kInflateDefaultLimit = 65536;

// Decoder state. Zero-fill before first use; set `variant` (and `outputLimit`) before a decode.
struct CInflater {
  const uint8_t* input;
  size_t inputPosition;  // after a decode: bytes of the input the stream used
  size_t inputLength;
  uint8_t* output;
  size_t outputCount;  // bytes produced so far
  size_t outputLimit;  // most bytes a decode may produce; 0 means kInflateDefaultLimit
  uint64_t bitBuffer;
  uint32_t bitCount;
  int32_t variant;  // block-type variant 0-3; any other value reads as 0 (RFC 1951)
  uint8_t storedCode;
  uint8_t fixedCode;
  uint8_t dynamicCode;
  // Lookup tables of the current dynamic block.
  uint32_t litLenTable[kInflateLitLenTableSize];
  uint32_t distanceTable[kInflateDistanceTableSize];
  uint32_t codeLengthTable[kInflateCodeLengthTableSize];
};

// Decodes one deflate stream of `inputLength` bytes into `output` (room for the limit) with the record's variant
// and limit. The number of bytes produced, or -1 when the stream is malformed, ends past the input, or would
// produce more than the limit.
int64_t InflaterInflate(CInflater* inflater, const uint8_t* input, uint8_t* output, size_t inputLength);
// InflaterInflate with `limit` as the output limit for this call only (0 means kInflateDefaultLimit); the
// record's limit is 0 afterwards.
int64_t InflaterInflateLimited(CInflater* inflater, const uint8_t* input, uint8_t* output, size_t inputLength,
                               size_t limit);

// Decodes a chunk list of `listLength` bytes (per piece a u32 compressed length and that many bytes of an
// independent RFC 1951 stream of at most 65,536 bytes of output; a zero length ends the list), appending each
// piece's output to `output`, which holds `capacity` bytes. The total produced, or -1 when a piece is damaged,
// yields nothing, runs past the list or the capacity, or the list has no end. `endPosition`, when not null,
// receives the offset just past the zero length.
int64_t InflaterInflateChunks(const uint8_t* list, size_t listLength, uint8_t* output, size_t capacity,
                              size_t* endPosition);
// Decodes chunk-list framing: a u32 total, then the chunk list. On success *buffer holds a new block of the
// total's size (at least one byte allocated; release with MemFree) filled with exactly the total, *endPosition
// (when not null) the offset past the list, and the result is 0. Otherwise *buffer is null and the result -1.
int InflateChunkedAlloc(const uint8_t* framed, size_t framedLength, uint8_t** buffer, size_t* endPosition);
