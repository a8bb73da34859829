#include "formats/adc.h"

#include <cstring>

int64_t AdcDecompress(int64_t inLength, const uint8_t* in, int64_t outSize, uint8_t* out, int64_t* produced) {
  int64_t i = 0;
  int64_t pos = 0;
  while (i < inLength) {
    const uint8_t control = in[i];
    if (control & 0x80) {
      const int64_t run = (control & 0x7F) + 1;
      if (run > inLength - i - 1 || run > outSize - pos) break;
      std::memcpy(out + pos, in + i + 1, static_cast<size_t>(run));
      pos += run;
      i += 1 + run;
      continue;
    }
    int64_t length, distance, itemSize;
    if (control & 0x40) {
      if (inLength - i < 3) break;
      length = (control & 0x3F) + 4;
      distance = (static_cast<int64_t>(in[i + 1]) << 8) | in[i + 2];
      itemSize = 3;
    } else {
      if (inLength - i < 2) break;
      length = ((control >> 2) & 0x0F) + 3;
      distance = (static_cast<int64_t>(control & 3) << 8) | in[i + 1];
      itemSize = 2;
    }
    // The copy starts distance + 1 bytes back and goes byte by byte, so a short distance repeats.
    if (length > outSize - pos || distance + 1 > pos) break;
    const uint8_t* from = out + pos - distance - 1;
    for (int64_t k = 0; k < length; ++k) out[pos + k] = from[k];
    pos += length;
    i += itemSize;
  }
  *produced = pos;
  return i;
}
