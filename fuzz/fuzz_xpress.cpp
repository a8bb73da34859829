// The XPRESS Huffman decoder over damaged chunks, and over what libwim's XPRESS compressor makes of any data.
#include "wim/xpress.h"
#include "wim_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto decoder = XpressCreateDecoder();
  return FuzzCodec(data, size, WIMLIB_COMPRESSION_TYPE_XPRESS, 65536,
                   [](const uint8_t* in, size_t n, uint8_t* out, size_t m) {
                     return XpressDecodeChunk(decoder.get(), in, n, out, m);
                   });
}
