// LZNT1, the chunked LZ77 codec of compressed NTFS files. A compression block is a series of chunks, each the
// packed form of at most 4,096 output bytes behind a 2-byte header: its low 12 bits are the chunk's stored length
// minus 3, bit 15 says whether it is compressed. A zero header, or the end of the stored bytes, ends the block.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kLznt1ChunkSize = 4096;

// Decodes the stored bytes of one compression block into `output` (outputSize bytes, a multiple of 4,096).
// Every chunk yields 4,096 output bytes (a short compressed chunk is padded with zeros); output past the last
// chunk is zero-filled. The bytes the chunks produced, or -1 when the stream is damaged: a back-reference before
// the chunk's start, a chunk producing more than 4,096 bytes or running past the stored bytes, an uncompressed
// chunk of another length than 4,096, or more chunks than the output holds.
int64_t Lznt1DecodeBlock(const uint8_t* input, size_t inputSize, uint8_t* output, size_t outputSize);
