// XPRESS Huffman (LZ77 with a 512-symbol Huffman code) as WIM resources use it: every chunk is independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "wim/lzx.h"

struct CXpressDecoder {
  CHuffmanTable table;
};

std::unique_ptr<CXpressDecoder> XpressCreateDecoder();

// Decodes one chunk into exactly `outSize` bytes: 1 on success, 0 on damaged data.
int XpressDecodeChunk(CXpressDecoder* decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);
