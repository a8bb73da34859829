// VMDK virtual disks: a monolithic sparse file (a "KDMV" sparse header with its descriptor inside), or a text
// descriptor naming extent files beside it: sparse extents (grain directories and grain tables), flat (raw)
// extents and zero extents. Disks with a parent and compressed grains are refused.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/wstring.h"

struct CImageDocument;
struct CVirtualDiskRun;

enum : int32_t { kVmdkSparse = 1, kVmdkFlat = 2, kVmdkZero = 3 };
enum : int32_t { kVmdkNoAccess = 0, kVmdkReadOnly = 1, kVmdkReadWrite = 2 };

struct CVmdkExtent {
  FILE* file;        // owned
  CWideString path;  // resolved
  std::string name;  // as written in the descriptor
  uint32_t flags;
  uint64_t capacity;   // sectors
  uint64_t grainSize;  // sectors
  uint64_t descriptorOffset;
  uint64_t descriptorSize;
  uint64_t gdOffset;
  uint64_t rgdOffset;  // 0: no redundant grain directory
  uint64_t overhead;
  uint64_t size;    // sectors of the disk this extent holds
  uint64_t offset;  // first sector used in the file (flat extents)
  uint64_t start;   // first sector of the disk in this extent
  uint32_t entriesPerGt;
  uint64_t sectorsPerGdEntry;
  uint64_t gdEntries;
  int32_t index;
  int32_t kind;
  int32_t access;
  std::vector<uint32_t> gd;
  std::vector<uint32_t> rgd;
};

// One cached sector of a grain table: 128 entries of extent `extent`, block `block` (block = sector / (grain
// size x 128)).
struct CVmdkCacheSlot {
  int32_t extent = -1;
  uint64_t block = 0;
  uint32_t entries[128];
};

struct CVmdkImage {
  std::vector<CVmdkExtent> extents;
  CWideString path;
  std::vector<CVmdkCacheSlot> cache;  // 256 slots when an extent is sparse
  std::string descriptor;
  uint64_t diskSize;  // bytes
  int32_t hasParent;  // the descriptor names a parent disk
};

// 1: the document's file is a VMDK (a sparse file or a descriptor), its state attached and its reader
// installed; 0: not a VMDK; -1: a VMDK that cannot be read (a missing or damaged extent, a disk with a parent).
int VmdkOpen(CImageDocument* document);
// Parses descriptor text into the state's extents: 0, or -1 when a line breaks the descriptor's rules.
int VmdkParseDescriptor(CVmdkImage* image, std::string_view text);
// Reads and checks the sparse header of an open extent: 0 or -1.
int VmdkParseSparseHeader(CVmdkExtent* extent);
// Reads the grain directories of a sparse extent and checks them against the file and each other: 0 or -1.
int VmdkLoadGrainDirectories(CVmdkExtent* extent, int64_t fileSize);
// Where sector `sector` of a sparse extent lies: 1 with *offset the file sector (0 for a sector that reads as
// zeros), -1 past the grain directory or when a grain table cannot be read.
int VmdkLookupGrain(CVmdkImage* image, CVmdkExtent* extent, uint64_t sector, uint64_t* offset);
// Reads `count` 512-byte sectors from `sector`: the number read (reads past the disk's size give 0).
int64_t VmdkReadSectors(CVmdkImage* image, int64_t sector, void* buffer, int64_t count);
// The disk's mapper (a VirtualDiskMapper of virtual_disk.h; `image` is a CVmdkImage).
int64_t VmdkMapSectors(void* image, int64_t sector, int64_t count, CVirtualDiskRun* run);
// Closes every extent and frees the state; null is allowed.
void VmdkClose(CVmdkImage* image);
// A signed number with optional signs, in `base` (0: "0x" hex, a leading zero octal, else decimal). *end is
// set after the last character used; -1 when no digit was read, else 0.
int VmdkParseNumber(const char* text, const char* limit, const char** end, int base, int64_t* value);
