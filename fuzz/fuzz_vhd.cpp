// Any bytes as a VHD file: the header and tables read and checked, then sectors read through the reader. Every
// size, count and location the bytes claim must be checked before use.
#include <clocale>
#include <cstdint>

#include "disks/vhd.h"
#include "vdisk_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzVirtualDisk(data, size, VhdOpen, L"/nonexistent-fuzz-folder/disk.vhd");
  return 0;
}
