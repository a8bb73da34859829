// The ext2/3/4 reader: mounts a Linux ext volume of the document's partition read-only (superblock, 32- and
// 64-bit group descriptors, meta block groups), loads its directory tree (linear, hashed and inline
// directories), sets the label, and reads file data through direct/indirect blocks, extent trees and inline
// data. Holes and unwritten extents read as zeros. The journal is not replayed.
//
// Volume bytes are counted from the partition's first byte (partitionStart x sectorSize of the disk).
#pragma once

#include <cstdint>
#include <vector>

struct CImageDocument;
struct CTreeEntry;

// One piece of a file's block map: `count` logical blocks from `logical` at volume block `physical`; holes and
// unwritten extents have `zero` set (their physical block means nothing).
struct CExtRun {
  uint64_t logical;
  uint64_t physical;
  uint64_t count;
  bool zero;
};

struct CExtVolume {
  uint8_t superblock[1024];
  uint32_t blockSize;
  uint64_t blocksCount;
  uint64_t freeBlocks;
  uint32_t firstDataBlock;
  uint32_t blocksPerGroup;
  uint32_t inodesPerGroup;
  uint32_t inodesCount;
  uint32_t inodeSize;
  uint32_t groupCount;
  uint32_t descriptorSize;
  uint32_t descriptorsPerBlock;
  uint32_t compat;
  uint32_t incompat;
  uint32_t roCompat;
  int32_t ext4;                       // the root directory uses extents
  std::vector<uint64_t> inodeTables;  // first block of each group's inode table
  // A window of an inode table read at once, so the inodes of one directory come from few reads.
  std::vector<uint8_t> inodeWindow;
  uint64_t inodeWindowBlock = UINT64_MAX;
  uint32_t inodeWindowBlocks;
  // The block map of the last file read.
  uint32_t mapInode;
  int32_t mapState;  // 0 none, 1 built, -1 damaged
  std::vector<CExtRun> runs;
  std::vector<uint8_t> inlineData;  // the data of an inline-data file
  int32_t mapInline;
  std::vector<uint8_t> work;  // one block of the walks
};

// What the reader keeps of each tree entry it makes (entry->fsRecord): the inode and its directory-entry file
// type (1 regular, 2 directory, 7 symbolic link).
struct CExtFileRecord {
  uint32_t magic;
  uint32_t inode;
  uint8_t fileType;
};

// 1 when the document's partition holds an ext volume (document->ext then holds it, the label is set and,
// with document->loadTree, the tree is loaded), else 0 with nothing kept. A damaged directory structure marks
// the tree damaged and keeps what was read.
int ExtOpenVolume(CImageDocument* document);
// Frees document->ext; null accepted.
void ExtFreeVolume(CImageDocument* document);
// The first sector offset from 1 to `sectors` - 1 after the partition's start at which an ext volume starts (its
// superblock 1024 bytes in, whole), or -1: where an LVM physical volume whose metadata cannot be read keeps the
// volume of its first logical volume.
int64_t ExtFindSuperblock(CImageDocument* document, int64_t sectors);
// The entry's record, or null when the reader did not make it.
const CExtFileRecord* ExtGetRecord(const CTreeEntry* entry);
// Copies `count` bytes of the file (a symbolic link: its target) from byte `offset`, cut to its size: the bytes
// copied; fewer when its block map is damaged or a read fails.
int64_t ExtReadFileData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer, int64_t count);
// The piece of the file's data at byte `offset` (a multiple of the block size) that lies as it is in
// consecutive volume blocks: its length in bytes (cut to the file's size), with its first byte of the volume in
// *volumeByte; 0 at a hole, for inline data, past the end or when the map is damaged.
int64_t ExtFileRun(CImageDocument* document, const CTreeEntry* entry, uint64_t offset, uint64_t* volumeByte);
