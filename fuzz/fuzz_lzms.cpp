// The LZMS decoder over damaged chunks, and over what libwim's LZMS compressor makes of any data.
#include "wim/lzms.h"
#include "wim_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto decoder = LzmsCreateDecoder();
  return FuzzCodec(data, size, WIMLIB_COMPRESSION_TYPE_LZMS, 65536,
                   [](const uint8_t* in, size_t n, uint8_t* out, size_t m) {
                     return LzmsDecodeChunk(decoder.get(), in, n, out, m);
                   },
                   false);
}
