// Lzma86: an LZMA stream behind a 14-byte header, as LZMA chunks of QVF and QDI images store it.
//
//   byte 0      filter: 0 none, 1 x86 branch conversion (applied before compression, undone after)
//   bytes 1-5   LZMA properties (lc/lp/pb byte, 32-bit dictionary size)
//   bytes 6-13  unpacked size, 64-bit little-endian
//   bytes 14-   LZMA data, without an end marker
//
// The coder itself is the LZMA SDK's, built single-threaded; every call is self-contained, so any number may
// run at once on different threads. Results are the SDK's codes below.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kLzma86HeaderSize = 14;

// Result codes (the SDK's SZ_* values).
inline constexpr int kLzma86Ok = 0;
inline constexpr int kLzma86ErrorData = 1;
inline constexpr int kLzma86ErrorMem = 2;
inline constexpr int kLzma86ErrorUnsupported = 4;
inline constexpr int kLzma86ErrorParam = 5;
inline constexpr int kLzma86ErrorInputEof = 6;
inline constexpr int kLzma86ErrorOutputEof = 7;

// Filter modes of Lzma86_Encode.
inline constexpr int kLzma86FilterNone = 0;
inline constexpr int kLzma86FilterX86 = 1;

// Compresses srcLen bytes into dest, whose capacity *destLen gives; on success *destLen is the stream's size,
// header included. level 0-9, dictSize the largest dictionary (the coder uses less for smaller inputs).
// Fails with kLzma86ErrorOutputEof when the stream does not fit.
int Lzma86_Encode(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t srcLen, int level, uint32_t dictSize,
                  int filterMode);

// Reads the unpacked size from the header of the srcLen bytes at src.
int Lzma86_GetUnpackSize(const uint8_t* src, size_t srcLen, uint64_t* unpackSize);

// Decodes the stream of *srcLen bytes at src into dest, whose capacity *destLen gives. The stream must yield
// exactly the size its header declares, and that size must fit the capacity; nothing is written past it. On
// success *destLen is that size and *srcLen the bytes of the stream used.
int Lzma86_Decode(uint8_t* dest, size_t* destLen, const uint8_t* src, size_t* srcLen);
