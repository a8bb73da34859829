// Any bytes as raw deflate data, decoded by our inflater and by zlib's raw inflate with the same output limit:
// both must succeed or both fail, and on success produce the same bytes. The limit is 64 KiB, then exactly the
// length that came out (must succeed) and one byte less (must fail). Output buffers hold exactly the limit, so
// AddressSanitizer sees any write past it. The other block-type variants run too, for memory safety only.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qvf/inflate.h"

namespace {

int64_t ZlibInflate(const uint8_t* data, size_t size, uint8_t* out, size_t limit) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) std::abort();
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(limit);
  const int rc = inflate(&z, Z_FINISH);
  const int64_t produced = static_cast<int64_t>(z.total_out);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? produced : -1;
}

// Our result for `limit`, after checking it against zlib's.
int64_t Compare(const uint8_t* data, size_t size, size_t limit, CInflater* inflater) {
  const auto ours = std::make_unique<uint8_t[]>(limit);
  const auto theirs = std::make_unique<uint8_t[]>(limit);
  inflater->variant = 0;
  const int64_t n = InflaterInflateLimited(inflater, data, ours.get(), size, limit);
  const int64_t m = ZlibInflate(data, size, theirs.get(), limit);
  if ((n < 0) != (m < 0)) std::abort();
  if (n >= 0) {
    if (n != m || static_cast<size_t>(n) > limit) std::abort();
    if (std::memcmp(ours.get(), theirs.get(), static_cast<size_t>(n)) != 0) std::abort();
    if (inflater->inputPosition > size) std::abort();
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  auto inflater = std::make_unique<CInflater>();
  const int64_t n = Compare(data, size, kInflateDefaultLimit, inflater.get());
  if (n > 0) {
    if (Compare(data, size, static_cast<size_t>(n), inflater.get()) != n) std::abort();
    if (n > 1 && Compare(data, size, static_cast<size_t>(n) - 1, inflater.get()) != -1) std::abort();
  }
  const auto out = std::make_unique<uint8_t[]>(kInflateDefaultLimit);
  for (int32_t variant = 1; variant <= 3; ++variant) {
    inflater->variant = variant;
    if (InflaterInflate(inflater.get(), data, out.get(), size) > static_cast<int64_t>(kInflateDefaultLimit)) {
      std::abort();
    }
  }
  return 0;
}
