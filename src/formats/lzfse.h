// LZFSE decoding: streams of "bvx-" (stored), "bvxn" (LZVN), "bvx1" and "bvx2" (finite-state entropy) blocks
// closed by the end mark "bvx$", as DMG images store their LZFSE chunks.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes the whole stream `in` into `out`, which holds `outSize` bytes. Returns the bytes produced, or -1 when
// the stream is damaged, ends before its end mark or would produce more than `outSize` bytes. Reads no byte
// outside `in` and writes none outside `out`.
int64_t LzfseDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t outSize);

// Decodes one LZVN payload (without its block header) into out[0, outSize), matches reaching back into
// `history` bytes already in front of `out`. Returns the bytes produced, -1 on damage.
int64_t LzvnDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t outSize, size_t history);
