// filesystems/: the readers of the file systems that lie in disk images or in their partitions (FAT first).
// Each driver reads its volume through the document's disk-sector access (image/disk.h), keeps its state in a
// record the document owns, and fills the document's file tree (tree/tree.h). It uses runtime/, image/ and
// tree/ only; the partition tables in disks/ sit beside it and are never included from here.
//
// The FAT driver: FAT12, FAT16 and FAT32 volumes. It opens a volume (boot sector, the first FAT and the
// FAT12/16 root held in memory), builds the tree with long names, reads file data along cluster chains, tells
// which sectors belong to allocated clusters, and edits the volume: add and replace files, make directories,
// delete files and directories. Edits never reach the image file: changed sectors and clusters stay in a write
// cache that every later read of the volume prefers, so a save reads the volume through FatReadSectors.
//
// Sector numbers of the volume are 512-byte sectors counted from the volume's first sector, which lies at
// byte partitionStart x sectorSize of the disk.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

struct CImageDocument;
struct CTreeEntry;

// Input type of a document whose tree comes from a FAT volume.
constexpr int32_t kInputTypeFat = 150;

enum : int32_t { kFatType12 = 1, kFatType16 = 2, kFatType32 = 3 };

// Directory-entry attributes.
enum : uint8_t {
  kFatAttrReadOnly = 0x01,
  kFatAttrHidden = 0x02,
  kFatAttrSystem = 0x04,
  kFatAttrVolumeLabel = 0x08,
  kFatAttrDirectory = 0x10,
  kFatAttrArchive = 0x20,
  kFatAttrLongName = 0x0F,
};

// The boot record of a bootable drive: kind (FAT type, or 4 for a syslinux-style boot), the master boot
// record, the volume boot sector, the extra boot sectors and where each goes. Buffers are MemAlloc blocks.
struct CUsbBootRecord {
  int32_t kind;
  uint8_t* masterBootRecord;  // 512 bytes
  uint8_t* volumeBootSector;  // 512 bytes
  uint8_t* extraSectors;      // extraBytes bytes (7,680 for kind 4, else 512), or null
  int32_t extraBytes;
  int64_t masterBootSector;
  int64_t volumeBootPosition;
  int64_t extraPosition;
};

// Frees the record's three buffers and the record (a MemZeroAlloc block); null accepted.
void UsbFreeBootRecord(CUsbBootRecord* record);

// The constant markers of one FAT type (FAT entry 0 carries the media byte in its low byte).
struct CFatMarkers {
  uint32_t entry0;
  uint32_t entry1;
  uint32_t freeValue;
  uint32_t endOfChain;
  uint32_t bad;
  const char* typeText;
};

// What the driver keeps of each tree entry it makes (entry->fsRecord, fsRecordSize == sizeof(CFatLocator)):
// the directory that holds the entry (its first cluster; 0 for a FAT12/16 root), the index of its short entry,
// how many entries it uses (long-name parts + 1), its first cluster, size and attributes.
struct CFatLocator {
  uint32_t directoryCluster;
  uint32_t entryIndex;
  uint32_t entryCount;
  uint32_t firstCluster;
  uint32_t size;
  uint8_t attributes;
};

struct CFatVolume {
  int32_t type;                // kFatType12/16/32
  uint32_t firstDataSector;    // relative to the volume
  uint32_t rootStart;          // FAT12/16 root directory
  uint32_t rootSectors;
  uint32_t clusterCount;       // valid clusters are 2 .. clusterCount + 1
  uint32_t entriesPerCluster;
  uint32_t bytesPerCluster;
  uint32_t totalSectors;
  uint32_t nextFree;
  uint32_t freeCount;
  int32_t fatChanged;
  uint32_t reservedSectors;
  int64_t volumeStart;         // first 512-byte sector of the volume on the disk
  uint8_t bootSector[512];
  std::vector<uint8_t> fat;    // the first FAT, whole
  std::vector<uint8_t> fatDirty;  // one mark per FAT sector changed since the last FatUpdateFsInfo
  std::vector<uint8_t> root;   // FAT12/16 root directory
  int32_t rootChanged;
  uint32_t labelCluster;       // FAT32: directory cluster and index of the label entry
  int32_t labelIndex;
  int64_t totalFileBytes;
  CFatMarkers markers;
  CUsbBootRecord* bootRecord;  // owned
  // Fields of the boot sector the driver goes on using.
  uint32_t sectorsPerCluster;
  uint32_t fatCount;
  uint32_t sectorsPerFat;
  uint32_t rootCluster;        // FAT32
  uint32_t fsInfoSector;       // FAT32: 0 when the FSInfo sector is missing or not signed
  uint32_t fsInfoBackup;       // FAT32: 0 when there is no signed backup copy
  // The write cache: sectors below the data area, whole clusters.
  std::unordered_map<uint32_t, std::unique_ptr<uint8_t[]>> sectorCache;
  std::unordered_map<uint32_t, std::unique_ptr<uint8_t[]>> clusterCache;
  // Where the last FatReadFileData stopped, so sequential reads do not walk the chain from its start again.
  uint32_t cursorFirst;
  uint32_t cursorIndex;
  uint32_t cursorCluster;
  uint64_t fatVersion;         // raised by every FAT change; a cursor of an older version is dropped
  uint64_t cursorVersion;
};

// ---- Opening and closing ----

// The FAT type a boot sector describes (kFatType12/16/32), or 0: by the cluster count when the sector gives a
// total and a root directory, else by the type text.
int FatDetectType(const uint8_t* bootSector);

// 1 when the current partition of the document holds a FAT volume whose tree was loaded (document->fat then
// holds it, the input type is kInputTypeFat and the label is set), else 0 with nothing kept. With
// document->loadTree 0 only the label is read.
int FatOpenVolume(CImageDocument* document);
// Frees document->fat with its caches and boot record; null documents and volumes accepted.
void FatFreeVolume(CImageDocument* document);
// Drops every cached sector and cluster.
void FatFreeWriteCache(CFatVolume* volume);

// ---- FAT entries and sectors ----

// The FAT entry of a cluster (FAT32 masked to 28 bits); the end-of-chain value for a cluster outside
// 2 .. clusterCount + 1.
uint32_t FatGetEntry(const CFatVolume* volume, uint32_t cluster);
// Writes a FAT entry of a cluster in 2 .. clusterCount + 1 (others are ignored) and marks the FAT changed.
void FatSetEntry(CFatVolume* volume, uint32_t cluster, uint32_t value);
// The first volume sector of a cluster.
uint64_t FatClusterToSector(const CFatVolume* volume, uint32_t cluster);
// 1 when the value ends a chain: end-of-chain, bad, free, or no valid cluster number.
int FatIsChainEnd(const CFatVolume* volume, uint32_t value);

// Reads `count` 512-byte volume sectors at `sector` through the write cache (cached copies first, the image
// for the rest, zeros when the document has no source): the count read, fewer when the image read failed
// (abort code 11 unless the document is quiet).
int64_t FatReadSectors(CImageDocument* document, uint64_t sector, void* buffer, int64_t count);
// Stores `count` sectors in the write cache (sectors of the data area go into their clusters' copies): the
// count stored.
int64_t FatWriteSectors(CImageDocument* document, uint64_t sector, const void* buffer, int64_t count);
// One whole cluster (bytesPerCluster bytes) through the write cache: 1, or 0.
int FatReadCluster(CImageDocument* document, uint32_t cluster, void* buffer);
int FatWriteCluster(CImageDocument* document, uint32_t cluster, const void* buffer);

// ---- File data and sector use ----

// Copies up to `count` bytes of the file from byte start x 512 (cut to the file's size): the bytes copied,
// 0 on failure or past the end.
int64_t FatReadFileData(CImageDocument* document, const CTreeEntry* entry, void* buffer, uint32_t start,
                        int64_t count);
// The piece of the file's data that starts at byte `offset` (a multiple of the cluster size) and lies in
// consecutive clusters the write cache does not hold: its length in bytes (cut to the file's size), with its first
// volume sector in *volumeSector; 0 when that data is in the cache, the chain ends, or the offset is past the end.
int64_t FatFileRun(CImageDocument* document, const CTreeEntry* entry, uint64_t offset, uint64_t* volumeSector);
// 1 when the 512-byte disk sector belongs to an allocated cluster or lies outside the data area, else 0.
int FatIsSectorInUse(CImageDocument* document, int64_t sector);
// The entry's locator, or null when the driver did not make it.
const CFatLocator* FatGetLocator(const CTreeEntry* entry);

// ---- Editing ----

// Adds (or, for an entry the volume already holds, replaces) the file of tree entry `entry` in the directory of
// its folder. The data comes from `source` (an entry of this volume) when given, else from the entry's local
// file. 0, or -1 with the abort code set and the partial entry removed.
int FatAddFile(CImageDocument* document, CTreeEntry* source, CTreeEntry* entry);
int FatAddFileEntry(CImageDocument* document, CTreeEntry* source, CTreeEntry* entry);
// Makes the directory of a folder entry in the directory of its parent folder: 0, or -1.
int FatMakeDirectory(CImageDocument* document, CTreeEntry* entry);
// Frees the file's clusters and its directory entries: 0, or -1.
int FatDeleteFile(CImageDocument* document, CTreeEntry* entry);
// Frees everything below the directory, its clusters and its directory entries: 0, or -1.
int FatDeleteDirectory(CImageDocument* document, CTreeEntry* entry);
// Writes the changed FAT sectors to every FAT copy, FSInfo (FAT32) and the changed FAT12/16 root into the
// write cache: 0, or -1.
int FatUpdateFsInfo(CImageDocument* document);
// A free cluster (the search starts at the next-free hint), marked end of chain; 0 when none is free.
uint32_t FatFindFreeCluster(CFatVolume* volume);
