// Any bytes as an HFS+ or HFSX volume, read as a disk partition and as an optical image: find the volume
// (directly, through a wrapper or a partition map of either block size), load the whole tree, read every file
// (whole, and again from an offset), decmpfs files included. Everything must end in bounded time without
// reading outside what it was given, whatever the header, the maps and the B-trees claim.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "filesystems/hfsplus.h"
#include "volume_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* stream = FuzzMemoryStream(data, size);
  if (!stream) return 0;
  const std::pair<bool, int32_t> passes[] = {{false, 1}, {false, 4}, {true, 1}};
  for (const auto& pass : passes) {
    const int32_t multiplier = pass.second;
    FuzzStreamVolume(
        stream, pass.first, [&](CImageDocument* document) { return HfsPlusOpenVolume(document, multiplier); },
        HfsPlusLoadTree, HfsPlusReadEntryData);
  }
  std::fclose(stream);
  return 0;
}
