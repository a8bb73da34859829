// Shared body of the LZX, XPRESS and LZMS fuzz targets. The first input byte picks the mode:
//   even: the rest is a compressed chunk; its decoded length comes from the next two bytes. Our decoder must
//         stay in bounds, and where libwim's decompressor accepts the chunk too, both must give the same bytes
//         (unless `compareDamaged` is false: libwim's LZMS decompressor itself faults on some damaged chunks);
//   odd:  the rest is data that libwim compresses; our decoder must give it back exactly.
#pragma once

#include <wimlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

template <typename Decode>
int FuzzCodec(const uint8_t* data, size_t size, wimlib_compression_type type, size_t chunkSize, Decode decode,
              bool compareDamaged = true) {
  if (size < 3) return 0;
  const bool roundTrip = data[0] & 1;
  if (!roundTrip) {
    const size_t outSize = 1 + ((static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) % chunkSize);
    const uint8_t* in = data + 3;
    const size_t inSize = size - 3;
    std::vector<uint8_t> ours(outSize), theirs(outSize);
    const int ok = decode(in, inSize, ours.data(), outSize);
    if (!compareDamaged) return 0;
    wimlib_decompressor* d = nullptr;
    if (wimlib_create_decompressor(type, chunkSize, &d) != 0) return 0;
    const int theirsOk = inSize > 0 && wimlib_decompress(in, inSize, theirs.data(), outSize, d) == 0;
    wimlib_free_decompressor(d);
    if (ok && theirsOk && ours != theirs) std::abort();
    return 0;
  }
  const uint8_t* plain = data + 1;
  const size_t plainSize = std::min(size - 1, chunkSize);
  wimlib_compressor* c = nullptr;
  if (wimlib_create_compressor(type, chunkSize, 20, &c) != 0) return 0;
  std::vector<uint8_t> packed(plainSize);
  const size_t n = wimlib_compress(plain, plainSize, packed.data(), packed.size(), c);
  wimlib_free_compressor(c);
  if (n == 0) return 0;
  std::vector<uint8_t> out(plainSize);
  if (!decode(packed.data(), n, out.data(), plainSize) || std::memcmp(out.data(), plain, plainSize) != 0) std::abort();
  return 0;
}
