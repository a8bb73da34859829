// LZMS: a range coder over 16-bit units read from the front of a chunk, Huffman codes read backwards from its
// end and rebuilt from symbol counts as decoding goes, LZ and delta matches with recent-offset queues, and an
// x86 filter undone at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "wim/lzx.h"

constexpr int kLzmsOffsetSlotsMax = 799;
constexpr int kLzmsLengthSlots = 54;

// Builds the length-limited canonical Huffman code lengths of `symbols` symbols from their counts: leaves are
// merged before inner nodes of equal weight, and lengths above maxLength are folded back (the codes the LZMS
// coder rebuilds on both sides).
void LzmsBuildCodeLengths(int symbols, const uint32_t* counts, uint8_t* lengths, int maxLength);

struct CLzmsAdaptiveCode {
  int symbols;
  int period;  // symbols between rebuilds
  int left;    // symbols until the next rebuild
  uint32_t counts[kLzmsOffsetSlotsMax];
  uint8_t lengths[kLzmsOffsetSlotsMax];
  CHuffmanTable table;
};

// The decoder state of one thread.
struct CLzmsDecoder {
  CLzmsAdaptiveCode literal;
  CLzmsAdaptiveCode lzOffset;
  CLzmsAdaptiveCode length;
  CLzmsAdaptiveCode deltaPower;
  CLzmsAdaptiveCode deltaOffset;
  std::vector<int32_t> lastTargets;  // the x86 filter's work area (65,536 entries)
};

std::unique_ptr<CLzmsDecoder> LzmsCreateDecoder();

// Decodes one chunk into exactly `outSize` bytes and undoes the x86 filter: 1 on success, 0 on damaged data.
int LzmsDecodeChunk(CLzmsDecoder* decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

// Undoes the x86 filter over n bytes (work area of 65,536 entries).
void LzmsUndoX86Filter(uint8_t* data, size_t n, int32_t* lastTargets);
