// Any bytes as an HFS+ or HFSX volume, read as a disk partition and as an optical image: find the volume
// (directly, through a wrapper or a partition map of either block size), load the whole tree, read every file
// (whole, and again from an offset), decmpfs files included. Everything must end in bounded time without
// reading outside what it was given, whatever the header, the maps and the B-trees claim.
#include <clocale>
#include <cstdint>
#include <cstdio>

#include "filesystems/hfsplus.h"
#include "image/document.h"
#include "runtime/error.h"
#include "session/document.h"
#include "volume_input.h"

namespace {

void Run(FILE* stream, bool optical, int32_t multiplier) {
  CImageDocument* document = ImageAlloc();
  if (!document) return;
  document->input = stream;
  document->quiet = 1;
  document->loadTree = 1;
  if (optical) {
    document->sectorSize = 2048;
    document->inputType = 0;
  } else {
    document->sectorSize = 512;
    document->partitionMapUnit = 512;
  }
  if (HfsPlusOpenVolume(document, multiplier) == 1 && ImageCreateRoot(document) == 0 && HfsPlusLoadTree(document) == 0)
    FuzzReadEveryFile(document, HfsPlusReadEntryData, [](CTreeEntry*) {});
  document->input = nullptr;
  ImageClose(document);
  AbortCodeSet(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* stream = FuzzMemoryStream(data, size);
  if (!stream) return 0;
  Run(stream, false, 1);
  Run(stream, false, 4);
  Run(stream, true, 1);
  std::fclose(stream);
  return 0;
}
