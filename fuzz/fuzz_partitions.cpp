// Any bytes as a disk: the partition table read from memory with 512- and 4096-byte sectors, then through a
// document over the same bytes with a probe on every partition, the LVM2 label of the first partitions and
// reads through the logical-volume mapping. Every chain and count the bytes claim must end, without reading
// outside them.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "disks/lvm.h"
#include "disks/partitions.h"
#include "image/disk.h"
#include "image/document.h"
#include "session/document.h"

namespace {

// Reads the partition's first sector through its document, the way a file-system probe starts.
int Probe(CImageDocument* document, CPartitionEntry* entry) {
  uint8_t sector[512];
  if (ImageReadDiskBytes(document, document->partitionStart * document->sectorSize, sector, sizeof(sector)) !=
      static_cast<int64_t>(sizeof(sector)))
    return 0;
  if (sector[0] != 0xEB) return 0;
  entry->unitSize = 512;
  entry->totalUnits = sector[1];
  entry->usedUnits = sector[2];
  return 1;
}

void CloseDocument(CImageDocument* document) { ImageClose(document); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (int32_t sectorSize : {512, 4096}) {
    PartitionListFree(PartitionListRead(nullptr, -1, sectorSize, nullptr, data, static_cast<int64_t>(size)));
  }
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
  if (!stream) return 0;
  CImageDocument* document = ImageAlloc();
  if (!document) {
    std::fclose(stream);
    return 0;
  }
  document->input = stream;
  document->sectorSize = 512;
  document->partitions = PartitionListRead(nullptr, 0, 512, document, nullptr, 0, Probe, CloseDocument);
  if (CPartitionList* list = document->partitions) {
    std::vector<uint8_t> sector(512);
    for (size_t n = 0; n < list->entries.size() && n < 4; ++n) {
      CPartitionEntry& entry = list->entries[n];
      entry.lvm = LvmReadLabel(document, entry.start);
      if (!entry.lvm) continue;
      document->chosenPartition = static_cast<int32_t>(n);
      document->partitionStart = static_cast<int64_t>(entry.start);
      document->lvmMap = LvmMapSector;
      for (int64_t s = 0; s < 64; s += 7) ImageReadDiskSectors(document, document->partitionStart + s, sector.data(), 1);
      document->lvmMap = nullptr;
    }
  }
  PartitionListFree(document->partitions);
  document->partitions = nullptr;
  ImageClose(document);
  return 0;
}
