// ADC decoding: the byte-oriented LZ code of DMG chunks of type 0x80000004.
#pragma once

#include <cstdint>

// Decodes `inLength` bytes of `in` into `out` (room for `outSize` bytes) and sets *produced. Decoding stops when
// the input is used up, when the next item would not fit the output, or at an item that is cut short or copies
// from before the start of the output. Returns the input bytes consumed.
int64_t AdcDecompress(int64_t inLength, const uint8_t* in, int64_t outSize, uint8_t* out, int64_t* produced);
