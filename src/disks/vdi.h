// VDI virtual disks: a pre-header and header, a block map, and data blocks; fixed and dynamic disks alike are
// read through the map. Differencing disks are refused.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct CImageDocument;
struct CVirtualDiskRun;

struct CVdiImage {
  FILE* file;  // the document's file (not owned)
  uint32_t version;
  uint32_t imageType;
  uint32_t imageFlags;
  uint64_t blockMapOffset;
  uint64_t dataOffset;
  uint64_t diskSize;
  uint32_t blockSize;
  uint32_t blockMask;
  int32_t blockShift;
  uint32_t extraBytes;
  uint64_t blockStride;
  uint32_t blockCount;
  uint32_t allocatedBlocks;
  std::vector<uint32_t> blockMap;
};

// 1: the document's file is a VDI, its state attached and its reader installed; 0: not a VDI; -1: a VDI that
// cannot be read.
int VdiOpen(CImageDocument* document);
// Reads and checks the header and the block map of a file of `fileSize` bytes: 1, 0 when the signature is not
// there, -1 when the VDI cannot be read.
int VdiParse(CVdiImage* image, int64_t fileSize);
// Reads `count` 512-byte sectors from `sector`: the number read (reads past the disk's size give 0).
int64_t VdiReadSectors(CVdiImage* image, int64_t sector, void* buffer, int64_t count);
// The disk's mapper (a VirtualDiskMapper of virtual_disk.h; `image` is a CVdiImage).
int64_t VdiMapSectors(void* image, int64_t sector, int64_t count, CVirtualDiskRun* run);
// Null is allowed.
void VdiClose(CVdiImage* image);
// The bit position of a power of two; 0 for any other value (also for 1).
int32_t VdiLog2(uint32_t value);
