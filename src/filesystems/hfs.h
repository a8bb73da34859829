// The HFS reader: the classic Mac OS volumes of hybrid CDs and old Mac disks, found directly or through an
// Apple partition map. It opens the catalog and extents-overflow B-trees (the engine of hfs_btree.h with HFS's
// one-byte keys and 3-extent records), loads the catalog into the document's tree with names decoded from Mac
// OS Roman, and reads file data. Also here: the probe that tries every Mac file system of a partition or an
// optical image in turn.
#pragma once

#include <cstdint>
#include <vector>

#include "filesystems/hfs_btree.h"

struct CImageDocument;
struct CTreeEntry;

constexpr uint32_t kHfsForkMagic = 0x48465321;

struct CHfsSmallExtent {
  uint16_t start;
  uint16_t count;
};

// A file's data fork (a copy hangs on each file's tree entry) or a special file's fork.
struct CHfsFork {
  uint32_t magic;
  uint32_t fileId;
  uint8_t forkType;  // 0 data, 0xFF resource
  uint32_t logicalSize;
  uint32_t blockCount;
  CHfsSmallExtent extents[3];
  uint32_t blocksInExtents;
  uint32_t valence;  // folders
  int64_t modificationTime;
};

struct CHfsOverflow {
  uint32_t fileId;
  uint8_t forkType;
  uint32_t firstBlock;
  uint32_t blocks;
  CHfsSmallExtent extents[3];
  int32_t valid;
};

struct CHfsVolume {
  CImageDocument* document;
  uint8_t mdb[512];  // the master directory block
  int32_t optical;
  int64_t volumeStart;      // byte offset of the volume in the partition (or optical image)
  int64_t allocationStart;  // byte offset of allocation block 0 in the partition
  uint32_t blockSize;
  uint32_t totalBlocks;
  CHfsFork extentsFork, catalogFork;
  CHfsBTree extents, catalog;
  CHfsOverflow overflow;
  std::vector<uint8_t> work;
};

// 1 when the current partition holds an HFS volume (directly or through an Apple partition map) whose trees
// opened; document->hfs then holds it. Else 0 with nothing kept.
int HfsOpenVolume(CImageDocument* document);
// Fills the document's root folder from the volume's root folder, sets the label and the primary descriptor
// copy's volume identifier: 0, or -1.
int HfsLoadTree(CImageDocument* document);
// Sets the document's label to the volume name.
void HfsSetLabel(CImageDocument* document);
// Copies `count` bytes of the entry's data at `offset`, cut to its size: the bytes copied, 0 on failure.
int64_t HfsReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                         int64_t count);
// Copies `count` bytes from 2048-byte block `firstBlock`: count, or 0.
int64_t HfsReadFileData(CImageDocument* document, const CTreeEntry* entry, void* buffer, int64_t firstBlock,
                        int64_t count);
const CHfsFork* HfsGetFork(const CTreeEntry* entry);
void HfsFreeVolume(CImageDocument* document);

// The name of an HFS catalog key (Mac OS Roman, '/' shown as ':', a last CR or LF dropped).
std::wstring HfsDecodeName(const uint8_t* bytes, size_t length);
// Catalog name order: bytes through the HFS ordering table, then the shorter name first.
int HfsCompareNames(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength);

// ---- Every Mac file system ----

// Tries HFS+ with 512-byte map blocks, HFS, then HFS+ with 2048-byte map blocks: 1 when one mounted.
int MacProbeVolume(CImageDocument* document);
// The document holds a Mac volume.
int MacHasVolume(const CImageDocument* document);
// Loads the tree of the document's Mac volume: 0, or -1.
int MacLoadTree(CImageDocument* document);
// The entry's data when it is a file of the document's Mac volume (see DiskReadEntryData): bytes, 0 on failure.
int MacEntryHasData(const CImageDocument* document, const CTreeEntry* entry);
int64_t MacReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                         int64_t count);
// Copies the start of a Mac file's data into `fd` inside the kernel (see HfsPlusCopyEntryToFd): bytes copied.
int64_t MacCopyEntryToFd(CImageDocument* document, const CTreeEntry* entry, int fd);
// "HFS+", "HFSX", "HFS", or null.
const wchar_t* MacFileSystemName(const CImageDocument* document);
void MacFreeVolumes(CImageDocument* document);
