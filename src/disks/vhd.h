// VHD virtual disks: fixed disks (the raw disk followed by a 512-byte footer) and dynamic disks (a dynamic-disk
// header, a block allocation table, and blocks that start with a sector bitmap). Differencing disks are refused.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct CImageDocument;
struct CVirtualDiskRun;

struct CVhdImage {
  FILE* file;              // the document's file (not owned)
  int32_t kind;            // 1 dynamic, 2 fixed
  uint64_t currentSize;    // bytes of the disk
  int64_t footerPosition;  // file size - 512
  uint32_t batEntries;
  uint32_t blockSize;
  uint32_t sectorsPerBlock;
  uint32_t bitmapBytes;
  uint32_t bitmapSectors;
  uint64_t batOffset;
  std::vector<uint32_t> bat;    // in host order
  std::vector<uint8_t> bitmap;  // the bitmap of block bitmapBlock
  int64_t bitmapBlock = -1;
};

// 1: the document's file is a VHD, its state attached and its reader installed; 0: not a VHD; -1: a VHD that
// cannot be read (a differencing disk, or a damaged one).
int VhdOpen(CImageDocument* document);
// Fills the state from the footer (the last 512 bytes of a file of `fileSize` bytes) and, for dynamic disks,
// from the dynamic-disk header and the BAT: 1, 0 when the footer is not a VHD footer, -1 when the VHD cannot be
// read (a differencing disk, a field out of range, a failed read).
int VhdParse(CVhdImage* image, int64_t fileSize);
// Reads `count` 512-byte sectors from `sector`: the number read (reads past the disk's size give 0).
int64_t VhdReadSectors(CVhdImage* image, int64_t sector, void* buffer, int64_t count);
// The disk's mapper (a VirtualDiskMapper of virtual_disk.h; `image` is a CVhdImage).
int64_t VhdMapSectors(void* image, int64_t sector, int64_t count, CVirtualDiskRun* run);
// Null is allowed.
void VhdClose(CVhdImage* image);
