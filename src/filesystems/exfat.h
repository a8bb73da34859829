// The exFAT reader: checks a volume's boot region (with its checksum), reads the allocation bitmap, loads the
// directory tree from the file / stream / name entry sets (their checksums checked), and reads file data
// through the FAT chain or, for files without one, contiguously; bytes past a file's valid data length read as
// zeros.
//
// Volume bytes are counted from the partition's first byte (partitionStart x sectorSize of the disk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct CImageDocument;
struct CTreeEntry;

struct CExfatVolume {
  uint8_t bootSector[512];
  uint32_t bytesPerSectorShift;
  uint32_t sectorsPerClusterShift;
  uint32_t bytesPerSector;
  uint32_t bytesPerCluster;
  uint64_t volumeSectors;
  uint32_t fatOffset;     // sectors
  uint32_t fatLength;     // sectors
  uint32_t heapOffset;    // sectors
  uint32_t clusterCount;  // valid clusters are 2 .. clusterCount + 1
  uint32_t rootCluster;
  uint32_t bitmapCluster;
  uint64_t bitmapBytes;
  std::vector<uint8_t> bitmap;
  uint64_t usedClusters;
  std::vector<uint32_t> fat;  // the FAT, read when a chained file is first met
  int32_t fatLoaded;          // 1 read, -1 unreadable
  // The cluster runs of the last file read: first cluster and count of each, in file order.
  const void* mapOwner;
  uint32_t mapFirst;
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  int32_t mapState;  // 0 none, 1 built, -1 damaged
};

// What the reader keeps of each tree entry it makes (entry->fsRecord).
struct CExfatFileRecord {
  uint32_t magic;
  uint32_t firstCluster;
  uint32_t attributes;  // 0x10000 added when the clusters are contiguous (no FAT chain)
  uint64_t dataLength;
  uint64_t validLength;
  uint32_t directoryCluster;  // where the entry set lies: the directory's first cluster and byte position
  uint64_t entryPosition;
};

constexpr uint32_t kExfatNoChain = 0x10000;

// The boot-region checksum step over `length` bytes, continuing from `start`; sector 0's volume flags (106,
// 107) and percent in use (112) are left out by the caller.
uint32_t ExfatBootChecksum(const uint8_t* bytes, size_t length, uint32_t start);
// The 16-bit checksum of an entry set: over the first entry without its bytes 2-3, then every further entry.
uint16_t ExfatEntrySetChecksum(const uint8_t* firstEntry);
uint16_t ExfatEntrySetChecksumAdd(const uint8_t* entry, uint16_t value);

// 0 when the document's partition starts with a sound exFAT boot region (the volume record is filled), else -1.
int ExfatCheckBootRegion(CImageDocument* document, CExfatVolume* volume);
// 1 when the document's partition holds an exFAT volume (document->exfat then holds it, the label is set and,
// with document->loadTree, the tree is loaded), else 0 with nothing kept. A damaged directory marks the tree
// damaged and keeps what was read.
int ExfatOpenVolume(CImageDocument* document);
void ExfatFreeVolume(CImageDocument* document);
// The byte of the volume where a cluster starts; 0 for cluster numbers below 2.
uint64_t ExfatClusterToOffset(const CExfatVolume* volume, uint32_t cluster);
// 1 when a disk sector (of the document's sector size) lies before the partition, outside the cluster heap, in
// a cluster whose bitmap bit is set or beyond the bitmap; else 0.
int ExfatIsSectorInUse(CImageDocument* document, int64_t sector);
const CExfatFileRecord* ExfatGetRecord(const CTreeEntry* entry);
// Copies `count` bytes of the file from byte `offset`, cut to its size: the bytes copied; fewer when its chain
// is damaged or a read fails.
int64_t ExfatReadFileData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                          int64_t count);
// The piece of the file's stored data at byte `offset` (a multiple of the cluster size) in consecutive
// clusters: its length (cut to the valid data length), with its first byte of the volume in *volumeByte; 0 past
// the valid data or when the chain is damaged.
int64_t ExfatFileRun(CImageDocument* document, const CTreeEntry* entry, uint64_t offset, uint64_t* volumeByte);
