// Memory-to-memory raw deflate (RFC 1951, no zlib or gzip wrapper) for QVF chunks, the QVF comment and index,
// and the multisession block; and the chunk-list framing of inputs longer than 64 KiB.
//
// Every piece of compressor state lives in a CDeflateState, so any number of threads may compress at once, each
// with a state of its own, and each writes exactly the bytes one thread alone would write: the output depends
// only on the input, the entry point and the block-type variant.
//
// Block-type variants permute the three 2-bit block-type codes of each block header (stored / fixed / dynamic):
//   variant 0 (and any value other than 1-3): 0 / 1 / 2, plain RFC 1951;  1: 1 / 2 / 0;  2: 0 / 2 / 1;  3: 1 / 0 / 2.
// Only the type codes differ: a stream written in variant v is bit for bit the variant-0 stream of the same
// input with each block's type code replaced through that table.
#pragma once

#include <cstdint>
#include <memory>

struct CDeflateState;

// Inputs up to this size are compressed with positions that need no sliding; the chunk-list framing cuts its
// input into pieces of this size.
inline constexpr int64_t kDeflatePieceBytes = 65536;

// Room the output of one stream of `length` input bytes needs (the compressor may store a few bytes past the
// size it returns, never past this bound). Generous for any input: incompressible data costs five bytes per
// stored block of at least 4 KiB.
constexpr int64_t DeflateCompressBound(int64_t length) { return length + length / 256 + 64; }
// Room the chunk-list framing of `length` input bytes needs: the two u32 ends, and per piece its u32 length
// and the bound of its stream.
constexpr int64_t DeflateChunkedBound(int64_t length) {
  const int64_t pieces = (length + kDeflatePieceBytes - 1) / kDeflatePieceBytes;
  return 8 + pieces * (4 + 64) + length + length / 256;
}

// A new state (about 230 KiB, made once and reused for any number of streams), or null on lack of memory.
CDeflateState* DeflateStateAlloc();
// Releases a state; null is ignored.
void DeflateStateFree(CDeflateState* state);
struct DeflateStateDeleter {
  void operator()(CDeflateState* state) const { DeflateStateFree(state); }
};
using DeflateStatePtr = std::unique_ptr<CDeflateState, DeflateStateDeleter>;
// The calling thread's own state, made on first use and released when the thread ends; null on lack of memory.
// Worker threads that compress chunks use this so that no state is shared and none is made per chunk.
CDeflateState* DeflateThreadState();

// Clears the bit buffer and count of `state`. (Every entry below starts its stream this way by itself.)
void DeflateBitsInit(CDeflateState* state);
// Resets the block state (symbol buffers, frequencies) and sets the standard block-type codes (variant 0), so
// that a run entry called next writes plain RFC 1951 whatever variant an earlier call used.
void DeflateTreesInit(CDeflateState* state);

// Compress `length` bytes of `input` into `output` (room: DeflateCompressBound(length)) as one independent
// stream, lazy matching (the normal level) or fast matching (the quick level), with the block-type codes of
// `variant`. The compressed size in bytes, or -1 (null state or a negative length). Any input length.
int64_t DeflateCompressLazy(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length,
                            int variant);
int64_t DeflateCompressFast(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length,
                            int variant);

// The deflate runs themselves: one independent stream of `input` (at most kDeflatePieceBytes bytes) with the
// block-type codes as last set in `state` (standard after DeflateTreesInit). The compressed size, or -1 (null
// state, a negative length or one above kDeflatePieceBytes).
int64_t DeflateRunLazy(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length);
int64_t DeflateRunFast(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length);

// Chunk-list framing: u32 total input length; for each piece of at most 64 KiB in order, u32 compressed length
// and an independent lazy stream in standard block types; then u32 0 (all little-endian). An empty input gives
// the 8 bytes "total 0, end". `output` needs DeflateChunkedBound(length) bytes. The framed size, or -1 (null
// state, a negative length or one that does not fit the u32 total).
int64_t DeflateCompressChunked(CDeflateState* state, const uint8_t* input, uint8_t* output, int64_t length);
