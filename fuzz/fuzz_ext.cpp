// Any bytes as an ext2/3/4 volume: open it, walk the whole tree and read every file whole and again from an odd offset,
// in pieces, and ask for the runs the kernel copy would use. Everything must end in bounded time without reading
// outside what it was given, whatever the volume's structures claim.
#include <clocale>
#include <cstdint>

#include "filesystems/ext.h"
#include "volume_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzVolumeFilesAndRuns(data, size, ExtOpenVolume, ExtReadFileData, ExtFileRun);
  return 0;
}
