// Any bytes as an HFS volume, read as a disk partition and as an optical image: find the volume (directly or
// through an Apple partition map), load the whole tree, read every file (whole, and again from an offset). Everything
// must end in bounded time without reading outside what it was given, whatever the header, the maps and the B-trees
// claim.
#include <clocale>
#include <cstdint>
#include <cstdio>

#include "filesystems/hfs.h"
#include "volume_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* stream = FuzzMemoryStream(data, size);
  if (!stream) return 0;
  for (const bool optical : {false, true})
    FuzzStreamVolume(stream, optical, HfsOpenVolume, HfsLoadTree, HfsReadEntryData);
  std::fclose(stream);
  return 0;
}
