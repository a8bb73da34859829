// Compresses any bytes with the system's deflate and inflates the stream with zlib (raw, window bits -15): the
// input must come back byte for byte, the stream must end exactly where zlib ends, and its size must stay
// within the documented bound. The first byte picks the level (bit 0: fast or lazy) and how often the rest is
// repeated (bits 1-7), so that long inputs move the window too; the input sits at the end of its allocation so
// that any read past it is caught.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "qvf/deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool fast = data[0] & 1;
  const size_t repeats = 1 + (data[0] >> 1);
  const uint8_t* body = data + 1;
  const size_t bodySize = size - 1;
  const size_t length = bodySize * repeats;

  std::unique_ptr<uint8_t[]> input(new uint8_t[length ? length : 1]);
  for (size_t r = 0; r < repeats && bodySize; ++r) std::memcpy(input.get() + r * bodySize, body, bodySize);
  const int64_t bound = DeflateCompressBound(static_cast<int64_t>(length));
  std::vector<uint8_t> stream(static_cast<size_t>(bound));
  CDeflateState* state = DeflateThreadState();
  if (!state) return 0;
  const int64_t packed = fast ? DeflateCompressFast(state, input.get(), stream.data(), static_cast<int64_t>(length), 0)
                              : DeflateCompressLazy(state, input.get(), stream.data(), static_cast<int64_t>(length), 0);
  if (packed <= 0 || packed > bound) std::abort();

  std::vector<uint8_t> back(length + 1);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return 0;
  z.next_in = stream.data();
  z.avail_in = static_cast<uInt>(packed);
  z.next_out = back.data();
  z.avail_out = static_cast<uInt>(back.size());
  const int ret = inflate(&z, Z_FINISH);
  const bool same = ret == Z_STREAM_END && z.avail_in == 0 && z.total_out == length &&
                    (length == 0 || std::memcmp(back.data(), input.get(), length) == 0);
  inflateEnd(&z);
  if (!same) std::abort();
  return 0;
}
