// The UDF reader: volumes of optical images (bridge discs and UDF-only discs, revisions 1.02 to 2.50) read
// through the optical sector access of 2,048-byte sectors. It recognises the volume, binds its partitions
// (physical, sparable with its sparing table, virtual with its allocation table, metadata with its mirror),
// and loads the directory hierarchy into the document's tree. Each file's recorded extents are translated to
// runs of absolute sectors and hung on its entry (CTreeEntry::extents), so that listing, extraction,
// conversion and the builder read UDF files like any other; data held inside a file entry becomes the entry's
// inline data. The reader never writes.
//
// Everything read from the disc is untrusted: descriptors pass their tag check before use, every location is
// checked against its partition, walks over continuation extents and directories are bounded and keep a set
// of what they visited.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CImageDocument;
struct CTreeEntry;

// Partition map kinds.
enum : uint16_t {
  kUdfMapOther = 0,
  kUdfMapPhysical = 0x1511,
  kUdfMapSparable = 0x1522,
  kUdfMapVirtual150 = 0x1512,
  kUdfMapVirtual200 = 0x2012,
  kUdfMapMetadata = 0x2511,
};

constexpr int kUdfMaxPartitionMaps = 16;

struct CUdfSparingEntry {
  uint32_t original;  // first block of the remapped packet, in the partition
  uint32_t mapped;    // absolute sector that holds it now
};

struct CUdfPartitionMap {
  uint32_t start;   // absolute sector
  uint32_t length;  // sectors
  uint16_t kind;
  uint16_t partitionNumber;
  uint16_t volumeSequenceNumber;
  int32_t bound;  // a partition descriptor gave start and length
  // Virtual maps: the allocation table.
  uint32_t vatEntryCount;
  uint16_t vatEntryOffset;
  std::vector<uint8_t> vatData;
  // Sparable maps: packet length in blocks and the sparing table's remapped packets, sorted.
  uint16_t packetLength;
  std::vector<uint32_t> sparingTableSectors;
  std::vector<CUdfSparingEntry> sparing;
};

// One recorded extent of a file, in file order: partition reference (map index), logical block, bytes.
struct CUdfExtent {
  uint32_t partition;
  uint32_t block;
  uint32_t length;
};

struct CUdfMetadataFile {
  uint32_t metadataFileLocation;
  uint32_t mirrorFileLocation;
  uint32_t bitmapFileLocation;
  uint32_t allocationUnitSize;
  uint16_t alignmentUnitSize;
  uint8_t duplicateFlag;
  uint16_t partitionNumber;
  std::vector<CUdfExtent> mainExtents;
  std::vector<CUdfExtent> mirrorExtents;
  // Position in the file of each extent's first block, and the file's block count last.
  std::vector<uint64_t> mainFirstBlocks;
  std::vector<uint64_t> mirrorFirstBlocks;
};

// The mounted volume, owned by the document (CImageDocument::udfVolume).
struct CUdfVolume {
  int32_t mounted;
  CUdfPartitionMap maps[kUdfMaxPartitionMaps];
  int32_t mapCount;
  CUdfMetadataFile metadata;
  int32_t hasMetadataPartition;
  uint32_t vatSector;  // sector of the allocation table's file entry; 0 = none found
  uint32_t fileSetBlock;
  uint32_t fileSetPartition;
  uint32_t rootIcbBlock;
  uint32_t rootIcbPartition;
  int32_t rootLoaded;
  int64_t sessionStart;
  int64_t translationBudget;  // blocks that may still be translated one by one
  // The sectors last read around a file entry.
  std::vector<uint8_t> window;
  int64_t windowFirst = -1;
  int64_t windowCount = 0;
};

// Recognises UDF at the session that starts at `sessionStart` and mounts it: the document's udfVolume is set
// and marked mounted. With `takeLabel` the volume label comes from the logical volume identifier (else the
// primary volume identifier). Nothing is printed.
void UdfMount(CImageDocument* document, int64_t sessionStart, int takeLabel);
// Loads the mounted volume's hierarchy under the document's root (made when there is none): 0, or -1 when no
// volume is mounted or its tree was loaded already. A damaged part sets treeDamaged and keeps what was read.
int UdfLoadTree(CImageDocument* document);
// 1 when UDF is mounted on the document.
int UdfIsMounted(const CImageDocument* document);
// Frees the document's UDF state (close calls it).
void UdfFreeVolume(CImageDocument* document);

// Absolute sector of logical block `block` (+ `offset` blocks) of partition reference `partition`; -1 when the
// reference, the block or its translation is not valid.
int64_t UdfBlockToSector(CImageDocument* document, uint32_t block, uint32_t partition, uint32_t offset);

// Decodes an OSTA compressed Unicode identifier (first byte 8 or 16): the characters, or an empty result
// with false for another compression or broken text.
bool UdfDecodeName(const uint8_t* bytes, size_t length, std::wstring* out);
// A dstring field of `size` bytes whose used length is its last byte.
bool UdfDecodeDString(const uint8_t* field, size_t size, std::wstring* out);
// The time a 12-byte timestamp records (its zone applied when it carries one, else taken as local time); 0
// when the fields do not form a date.
int64_t UdfTimestampToTime(const uint8_t* timestamp);
