// disks/: what divides a disk image into volumes — the MBR with its chain of extended boot records, the GPT,
// LVM2 physical volumes and the mapping of a logical volume's sectors — and, later, the virtual-disk containers
// and sector-size probing. It uses runtime/, image/ and tree/ only. It never recognises a file system itself:
// the layer that knows the file systems hands PartitionListRead a probe callback, which is called with a small
// document over each partition.
//
// The partition list of a disk: its entries (primary and logical MBR entries, GPT entries, or the one whole-disk
// entry of a disk without a table) with the texts the partition list shows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "runtime/wstring.h"

struct CImageDocument;
struct CLvmVolumeGroup;

// Extended boot records remembered per list; the chain of logical partitions has at most this many links.
constexpr int kPartitionMaxTableSectors = 300;
// Bytes of GPT entries read at most (8,192 entries of 128 bytes).
constexpr int64_t kGptMaxEntryArrayBytes = 1 << 20;

struct CPartitionEntry {
  int32_t primary;  // 1: a primary MBR entry or the whole-disk entry; 0: a logical or a GPT entry
  uint8_t gptType[16];
  uint8_t gptUnique[16];
  uint64_t gptAttributes;
  uint8_t gptName[72];  // UTF-16LE as stored
  uint8_t bootIndicator;
  uint8_t mbrType;
  uint64_t start;   // sectors of the list's sector size
  uint64_t length;
  int32_t bitLocker;  // the first sector carries the BitLocker signature
  // Filled by the probe callback when it recognises a file system.
  wchar_t fileSystemName[64];
  CWideString volumeLabel;
  uint64_t totalUnits;
  uint64_t usedUnits;
  uint32_t unitSize;  // bytes per unit
  // Prepared for the partition list.
  wchar_t description[128];
  wchar_t sizeText[128];
  wchar_t usedText[128];
  CLvmVolumeGroup* lvm;  // the volume group of an LVM2 physical volume, owned (LvmFree)
  // The document the probe mounted the partition's file system in, owned; its shared references to the disk's
  // source are cleared.
  CImageDocument* fileSystem;
};

// Called with a new document over one partition; 1 when it recognised a file system (the document is then
// kept in the entry), else 0 (it must leave nothing behind in the document).
using PartitionProbe = int (*)(CImageDocument* partitionDocument, CPartitionEntry* entry);
// Releases a partition document whose shared references have been cleared (the opening layer's close). Null:
// the document is released as this folder made it.
using PartitionDocumentClose = void (*)(CImageDocument* document);

struct CPartitionList {
  int32_t hasEntries;  // a table gave at least one entry
  int32_t wholeDisk;   // the list holds the single whole-disk entry
  int32_t gpt;         // the entries come from a GPT
  int32_t sectorSize;  // 512 or 4096
  FILE* source;        // the file the list was read from (not owned)
  uint64_t diskSize;   // sectors; 0 when the source's size is not known
  int32_t openMode;    // as the caller passed it
  std::vector<uint64_t> tableSectors;  // extended boot records met, at most kPartitionMaxTableSectors
  uint8_t diskGuid[16];
  uint32_t diskSignature;  // MBR disk signature, 0 for a GPT
  std::deque<CPartitionEntry> entries;  // addresses stay valid as entries are added
  PartitionDocumentClose closeDocument;
};

// Reads the partition table of a disk whose sectors come from `memory` (when it holds the range), else
// `document` (its disk-sector reads), else `file`. A new list, or null: out of memory, sector 0 unreadable, or
// openMode -1 and the disk has neither an MBR signature nor an XFS or ext file system at its start. A non-null
// `probe` is called for each entry with a document over it; `closeDocument` releases the documents it keeps.
CPartitionList* PartitionListRead(FILE* file, int32_t openMode, int32_t sectorSize, CImageDocument* document,
                                  const uint8_t* memory, int64_t memorySize, PartitionProbe probe = nullptr,
                                  PartitionDocumentClose closeDocument = nullptr);
// Frees the entries, their volume groups and documents; null is allowed.
void PartitionListFree(CPartitionList* list);
// Appends a zeroed entry: the entry, or null when memory runs out.
CPartitionEntry* PartitionListAddEntry(CPartitionList* list);
// Remembers an extended-boot-record sector (a sector already known counts as remembered); false when
// kPartitionMaxTableSectors are stored.
bool PartitionListAddTableSector(CPartitionList* list, uint64_t sector);
// True when `sector` lies within 2,048 sectors of a remembered extended-boot-record sector.
bool PartitionListIsNearTableSector(const CPartitionList* list, uint64_t sector);

// Reads `count` sectors of `sectorSize` at `first`: from `memory` when it holds the whole range, else through
// the document's disk-sector reads, else from the file. count, or 0.
int64_t PartitionSourceReadSectors(FILE* file, int32_t sectorSize, CImageDocument* document, const uint8_t* memory,
                                   int64_t memorySize, void* out, uint64_t first, int64_t count);
// Reads the GPT whose header lies at `headerSector` and appends its entries to the list: 1 on success, 0 when
// the header or the entry array is missing, damaged or fails its CRC (nothing is added then).
int GptReadPartitions(FILE* file, int32_t sectorSize, CImageDocument* document, const uint8_t* memory,
                      int64_t memorySize, CPartitionList* list, uint64_t headerSector);
// Opens the entry's partition as a document and calls the probe: 1 when it recognised a file system.
int PartitionDetectFileSystem(CPartitionList* list, CImageDocument* parent, CPartitionEntry* entry,
                              PartitionProbe probe);
// True when the source starts with an XFS ("XFSB") or ext (0xEF53 at byte 1,080) file system.
bool PartitionProbeLinuxFs(FILE* file, int32_t sectorSize, CImageDocument* document, const uint8_t* memory,
                           int64_t memorySize);
// Writes the entry's size text from its length in the list's sectors: "%.1f GB" from 1 GiB, "%d MB" (MiB
// rounded down) above 10,485,759 bytes, else "%.1f MB".
void PartitionFormatSize(const CPartitionList* list, CPartitionEntry* entry);
// The name of a partition: the mounted file system's name when there is one (non-empty), else the name of
// the MBR type byte; then " (%02X)" with the type byte.
void PartitionGetTypeName(const wchar_t* fileSystemName, uint8_t type, wchar_t* out, size_t outChars);
