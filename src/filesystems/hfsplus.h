// The HFS+ and HFSX reader. It finds the volume directly, inside an HFS wrapper or through an Apple partition
// map (map blocks of 512 or 2048 bytes), opens the catalog, extents-overflow and attributes B-trees, loads the
// catalog into the document's tree, resolves hard links to their file, and reads file data, decmpfs-compressed
// files (zlib or stored, in the attribute or in the resource fork) included.
//
// Disk documents are read through their disk-sector access from the current partition; optical documents
// (no partition-map unit) through their 2048-byte sectors.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/hfs_btree.h"

struct CImageDocument;
struct CTreeEntry;

struct CHfsExtent {
  uint32_t start;
  uint32_t count;
};

// Marks a tree entry's file-system record as an HFS+ fork.
constexpr uint32_t kHfsPlusForkMagic = 0x48464B2B;

// One fork of a file or special file; a copy hangs on each file's tree entry (entry->fsRecord).
struct CHfsPlusFork {
  uint32_t magic;
  uint32_t fileId;      // catalog node id
  uint8_t forkType;     // 0 data, 0xFF resource
  uint8_t flags;        // bit 0: the data fork was empty and the resource fork is used
  uint8_t compression;  // decmpfs type (3 or 4 read here), 0 none
  uint64_t logicalSize;
  uint64_t uncompressedSize;  // decmpfs files: the size of the file's content
  uint32_t blockCount;        // blocks the logical size needs
  CHfsExtent extents[8];
  uint32_t blocksInExtents;
  uint32_t valence;    // folders
  int64_t accessTime;  // Unix seconds
  int64_t modificationTime;
  int64_t attributeTime;
};

// The extents-overflow record used last, kept for the next block of the same fork.
struct CHfsPlusOverflow {
  uint32_t fileId;
  uint8_t forkType;
  uint32_t firstBlock;
  uint32_t blocks;
  CHfsExtent extents[8];
  int32_t valid;
};

struct CHfsPlusVolume {
  CImageDocument* document;
  uint8_t header[512];
  int32_t hfsx;  // the signature was "HX"
  uint32_t blockSize;
  uint32_t blockSizeBits;
  uint32_t totalBlocks;
  int64_t volumeStart;    // byte offset of the volume in the partition (or optical image)
  int32_t mapMultiplier;  // 1 or 4
  int32_t optical;        // read through 2048-byte optical sectors
  CHfsPlusFork catalogFork, extentsFork, attributesFork;
  CHfsBTree catalog, extents, attributes;
  int32_t hasAttributes;
  uint32_t privateFolderId;  // folder of hard-linked files' content, 0 when none
  CHfsPlusOverflow overflow;
  std::vector<uint8_t> work;  // partial sectors of optical reads
  // The decompressed piece of a decmpfs file read last.
  uint32_t cachedFileId;
  int64_t cachedOffset;
  std::vector<uint8_t> cached;
  std::vector<uint8_t> scratch;
};

// 1 when a volume was found at the current partition with map blocks of 512 x `multiplier` bytes and its
// catalog and extents trees opened (document->hfsPlus then holds it), else 0 with nothing kept.
int HfsPlusOpenVolume(CImageDocument* document, int32_t multiplier);
// Fills the document's root folder from the volume's root folder and sets the label; 0, or -1 when the root
// cannot be read. A damaged folder marks the tree damaged and keeps what was read.
int HfsPlusLoadTree(CImageDocument* document);
// Sets the document's label to the volume name.
void HfsPlusSetLabel(CImageDocument* document);
// Copies `count` bytes of the entry's file from 2048-byte block `firstBlock`: count, or 0 on failure.
int64_t HfsPlusReadFileData(CImageDocument* document, const CTreeEntry* entry, void* buffer, int64_t firstBlock,
                            int64_t count);
// Copies `count` bytes of the entry's content at `offset` (decompressed for decmpfs files), cut to its size:
// the bytes copied, 0 on failure.
int64_t HfsPlusReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                             int64_t count);
// Reads `count` bytes of a fork at `offset`: the bytes read (short at the fork's end or on failure).
int64_t HfsPlusReadFork(CHfsPlusVolume* volume, const CHfsPlusFork* fork, uint64_t offset, int64_t count, void* buffer);
// Copies the start of the entry's data straight from the image file into `fd` (at its position), inside the
// kernel, while the data lies in the image as it is: the bytes copied; the rest is left to the reads.
int64_t HfsPlusCopyEntryToFd(CImageDocument* document, const CTreeEntry* entry, int fd);
// The entry's fork, or null when the entry is not a file of an HFS+ volume.
const CHfsPlusFork* HfsPlusGetFork(const CTreeEntry* entry);
// Frees document->hfsPlus; null accepted.
void HfsPlusFreeVolume(CImageDocument* document);

// Reads `count` bytes at byte `offset` of the current partition (disks) or of the image (optical documents):
// 1, or 0. Shared with the HFS reader.
int HfsReadVolumeBytes(CImageDocument* document, bool optical, std::vector<uint8_t>* work, int64_t offset, void* buffer,
                       int64_t count);

// Copies `count` volume bytes at `offset` into `fd` inside the kernel: the bytes copied (0 when the image does
// not hold them as they are). Shared with the HFS reader.
int64_t HfsCopyVolumeBytesToFd(CImageDocument* document, bool optical, int64_t offset, int64_t count, int fd);

// Key orders, exposed for tests: HFS+ names folded, HFSX names binary.
int HfsPlusCompareNamesFolded(const uint16_t* a, size_t aUnits, const uint16_t* b, size_t bUnits);
int HfsPlusCompareNamesBinary(const uint16_t* a, size_t aUnits, const uint16_t* b, size_t bUnits);
