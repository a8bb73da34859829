// Any bytes as an NTFS volume: mount it, load the tree, read every file (whole, from an odd offset, and as the
// stored runs the kernel copy would take), count the allocated clusters and ask which sectors are in use.
// Everything must end in bounded time without reading or writing outside what it was given.
//
// The input is a sparse volume of 2 MiB: a series of 514-byte items, each a 16-bit sector number (little-endian,
// taken modulo 4,096) and the 512 bytes of that sector; every other sector reads as zeros. Seeds are volumes
// made by mkntfs and wimlib-imagex with the sectors the reader never looks at ($LogFile, $UpCase) left out.
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <vector>

#include "filesystems/ntfs.h"
#include "runtime/error.h"
#include "volume_input.h"

namespace {

constexpr size_t kVolumeBytes = 2 << 20;
constexpr size_t kItemBytes = 514;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> volume(kVolumeBytes, 0);
  for (size_t at = 0; at + kItemBytes <= size; at += kItemBytes) {
    const size_t sector = (data[at] | data[at + 1] << 8) % (kVolumeBytes / 512);
    std::copy(data + at + 2, data + at + kItemBytes, volume.begin() + sector * 512);
  }
  CImageDocument* document = FuzzVolumeDocument(volume.data(), volume.size(), 512);
  if (!document) return 0;
  document->partitionLength = static_cast<int64_t>(kVolumeBytes / 512);
  document->readableLimit = document->partitionLength;
  if (ImageCreateRoot(document) == 0) {
    document->treeOwned = 1;
    if (NtfsProbeVolume(document) == 1) {
      FuzzReadEveryFile(document, NtfsReadEntryData, [&](CTreeEntry* entry) {
        int64_t volumeByte = 0;
        for (int64_t at = 0, n = 0; at < entry->size && n < 64; ++n) {
          const int64_t run = NtfsFileRun(document, entry, at, &volumeByte);
          if (run <= 0) break;
          at += run;
        }
        AbortCodeSet(0);
      });
      int64_t left = 0;
      for (int64_t sector = 0; sector < 4096; sector += 61) NtfsIsSectorInUse(document, sector, &left);
    }
  }
  ImageClose(document);
  AbortCodeSet(0);
  return 0;
}
