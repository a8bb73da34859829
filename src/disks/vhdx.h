// VHDX virtual disks: the 1 MiB header area (file identifier, two headers checked with CRC-32C, region table),
// the metadata region and the block allocation table that maps payload blocks into the file. Differencing
// disks, and disks whose log may hold data not yet written back, are refused.
#pragma once

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

struct CImageDocument;
struct CVirtualDiskRun;

struct CVhdxRegion {
  uint64_t offset;
  uint32_t length;
  int32_t present;
};

struct CVhdxImage {
  FILE* file;  // the document's file (not owned)
  int64_t fileSize;
  int32_t chosenHeader;  // 1 or 2
  uint8_t headers[2][80];
  CVhdxRegion bat;
  CVhdxRegion metadata;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [start, end) of the header area and every region
  uint32_t metadataSeen;                              // bit per known metadata item
  uint32_t blockSize;
  int32_t blockSizeLog2;
  uint64_t virtualSize;
  uint32_t logicalSectorSize;
  uint32_t physicalSectorSize;
  uint32_t fileFlags;
  uint64_t sectorsPerBlock;
  int32_t sectorsPerBlockLog2;
  uint64_t chunkRatio;
  int32_t chunkRatioLog2;
  uint64_t batEntries;
  std::vector<uint64_t> batTable;
  uint64_t diskSectors;  // 512-byte sectors
};

// 1: the document's file is a VHDX, its state attached and its reader installed; 0: not a VHDX; -1: a VHDX that
// cannot be read.
int VhdxOpen(CImageDocument* document);
// Reads the headers, region table, metadata and BAT of the file: 1, 0 when it has no VHDX identifier, -1 when
// it cannot be read.
int VhdxParse(CVhdxImage* image);
// Reads `count` 512-byte sectors from `sector`: the number read.
int64_t VhdxReadSectors(CVhdxImage* image, int64_t sector, void* buffer, int64_t count);
// The disk's mapper (a VirtualDiskMapper of virtual_disk.h; `image` is a CVhdxImage).
int64_t VhdxMapSectors(void* image, int64_t sector, int64_t count, CVirtualDiskRun* run);
// Null is allowed.
void VhdxClose(CVhdxImage* image);

// True when the checksum stored at `fieldOffset` equals the CRC-32C of the buffer with that field as zeros.
bool VhdxCheckCrc(const uint8_t* buffer, size_t length, size_t fieldOffset);
// The ranges taken so far: true when [start, start + length) overlaps none of them.
bool VhdxRangeIsFree(const CVhdxImage* image, uint64_t start, uint64_t length);
void VhdxAddRange(CVhdxImage* image, uint64_t start, uint64_t length);
