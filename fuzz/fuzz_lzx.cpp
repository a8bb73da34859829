// The LZX decoder over damaged chunks, and over what libwim's LZX compressor makes of any data.
#include "wim/lzx.h"
#include "wim_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto decoder = LzxCreateDecoder();
  return FuzzCodec(data, size, WIMLIB_COMPRESSION_TYPE_LZX, 32768,
                   [](const uint8_t* in, size_t n, uint8_t* out, size_t m) {
                     return LzxDecodeChunk(decoder.get(), in, n, out, m, 15);
                   });
}
