#include "filesystems/apfs.h"

#include <new>

#include "image/disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"

int ApfsProbeContainer(CImageDocument* document) {
  if (!document) return 0;
  const int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  uint8_t sector[512];
  const int64_t unit = document->sectorSize > 0 ? document->sectorSize : 512;
  const bool read = document->partitionStart <= INT64_MAX / unit &&
                    ImageReadDiskBytes(document, document->partitionStart * unit, sector, sizeof sector) ==
                        static_cast<int64_t>(sizeof sector);
  document->quiet = savedQuiet;
  if (!read) return 0;
  ByteReader superblock(sector, sizeof sector);
  const uint64_t objectId = superblock.U64LEAt(8);
  superblock.Seek(32);
  const bool magic = superblock.Chars(4) == "NXSB";
  const uint32_t blockSize = superblock.U32LE();
  const uint64_t blockCount = superblock.U64LE();
  if (!superblock.ok() || objectId != 1 || !magic || blockSize == 0 || blockSize % 512 != 0) return 0;
  auto* container = new (std::nothrow) CApfsContainer{};
  if (!container) return 0;
  container->blockSize = blockSize;
  container->blockCount = blockCount;
  container->bytes = blockCount > UINT64_MAX / blockSize ? UINT64_MAX : blockCount * blockSize;
  ApfsFree(document);
  document->apfs = container;
  document->readOnly = 1;
  return 1;
}

int ApfsLoadTree(CImageDocument* /*document*/) { return 0; }

void ApfsFree(CImageDocument* document) {
  if (!document) return;
  delete document->apfs;
  document->apfs = nullptr;
}
