// The NTFS driver: a read-only view of an NTFS volume on the document's current partition. Mounting reads the
// boot sector (or its copies at the partition's end and middle), the $MFT's run list and the system files the
// volume needs; the tree is filled from the $I30 indexes of the root down; file data is read through run lists
// (resident, non-resident, sparse, below the initialized size, LZNT1-compressed). Records and index blocks are
// fixed up (512-byte and 4 KiB records alike) and checked field by field before use.
//
// Tree entries made here carry their MFT record number in sourceLba and a CNtfsLocator in fsRecord.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct CImageDocument;
struct CTreeEntry;
struct CBlockCache;

// Error codes inside the driver.
enum : int {
  kNtfsCorrupt = -1,
  kNtfsNotFound = -2,
  kNtfsOutOfRange = -3,
  kNtfsBadFixups = -4,
  kNtfsIoError = -5,
  kNtfsUnsupported = -7,
  kNtfsEncrypted = -10,
};

// Run-list lcn values that are no cluster.
constexpr int64_t kNtfsLcnHole = -1;
constexpr int64_t kNtfsLcnNotMapped = -2;
constexpr int64_t kNtfsLcnEnd = -3;

struct CNtfsRun {
  int64_t vcn;
  int64_t lcn;  // kNtfsLcnHole for a sparse run
  int64_t length;
};

// Inode state bits.
enum : uint32_t {
  kNtfsStateAttributeList = 1u << 1,
  kNtfsStateAttributeListNonResident = 1u << 2,
  kNtfsStateIndex = 1u << 4,
  kNtfsStateNonResident = 1u << 5,
  kNtfsStateCompressed = 1u << 6,
  kNtfsStateEncrypted = 1u << 7,
  kNtfsStateSparse = 1u << 8,
  kNtfsStateSparseWritesDisabled = 1u << 9,
};

// One opened attribute of an MFT record: the file's unnamed $DATA (type 0x80), a directory's "$I30" index
// root, allocation or bitmap, or a system file's data.
struct CNtfsInode {
  uint64_t recordNumber = 0;
  uint16_t sequence = 0;
  uint16_t recordFlags = 0;  // bit 0 in use, bit 1 directory
  uint32_t state = 0;
  uint32_t type = 0;
  std::u16string name;
  int64_t initializedSize = 0;
  int64_t allocatedSize = 0;
  int64_t dataSize = 0;
  int64_t compressedSize = 0;
  // Compressed data: bytes and clusters per compression block.
  uint32_t blockSize = 0;
  uint32_t clustersPerBlock = 0;
  std::vector<CNtfsRun> runs;  // in vcn order, contiguous, without terminator
  std::vector<uint8_t> value;  // a resident attribute's value
  int64_t times[4] = {};       // $STANDARD_INFORMATION: creation, data change, record change, access (NTFS units)
  int32_t hasStandardInformation = 0;
  uint32_t fileAttributes = 0;  // $STANDARD_INFORMATION's attribute bits
  // Directories: the index root's value, the index block size and vcn unit, and the allocation with its bitmap.
  std::vector<uint8_t> indexRoot;
  uint32_t indexBlockSize = 0;
  uint32_t indexVcnSize = 0;
  std::unique_ptr<CNtfsInode> indexAllocation;
  std::unique_ptr<CNtfsInode> indexBitmap;
};

struct CNtfsVolume {
  int64_t partitionStart = 0;  // sectors of the document's sector size
  int64_t partitionSectors = 0;
  int32_t documentSectorSize = 512;
  uint32_t flags = 0;  // bit 1: a damaged record or index bitmap was met; bit 6: sparse support
  uint32_t sectorSize = 0;
  uint32_t clusterSize = 0;
  uint32_t clusterBits = 0;
  uint32_t recordSize = 0;
  uint32_t indexRecordSize = 0;
  uint32_t clusterCount = 0;
  int64_t mftCluster = 0;
  int64_t mftMirrorCluster = 0;
  uint64_t serialNumber = 0;
  uint16_t volumeFlags = 0;
  uint8_t majorVersion = 0;
  uint8_t minorVersion = 0;
  std::unique_ptr<CNtfsInode> mft;     // $MFT's data
  std::unique_ptr<CNtfsInode> bitmap;  // $Bitmap's data
  int64_t bitmapSize = 0;
  int64_t allocatedClusters = 0;
  CBlockCache* clusterCache = nullptr;  // owned: runs of clusters keyed by their first cluster
  // The last decompressed compression block: its record and block number (-1 none).
  std::vector<uint8_t> compressedBlock;
  std::vector<uint8_t> compressedInput;
  uint64_t compressedRecord = 0;
  int64_t compressedIndex = -1;
  // The 1 MiB window of the cluster bitmap last read for NtfsIsSectorInUse (-1 none).
  std::vector<uint8_t> bitmapWindow;
  int64_t bitmapWindowIndex = -1;
  // The file whose data was read last, kept open for the next piece.
  // The upcase table names compare through: the volume's own ($UpCase) or the shared default.
  const uint16_t* upcase = nullptr;
  uint32_t upcaseLength = 0;
  std::vector<uint16_t> ownUpcase;
  std::unique_ptr<CNtfsInode> openFile;
  std::vector<uint8_t> work;  // unaligned disk reads
};

// What the driver keeps of each tree entry (entry->fsRecord).
struct CNtfsLocator {
  uint64_t recordNumber;
  uint32_t fileAttributes;  // 0x800 compressed, 0x4000 encrypted
};

// 1 when the current partition holds an NTFS volume (document->ntfs then holds it, the label is set and the
// tree loaded unless document->loadTree is 0, the allocated clusters counted), else 0 with nothing kept.
int NtfsProbeVolume(CImageDocument* document);
// 1 with the volume installed in the document, 0 with nothing kept.
int NtfsMountVolume(CImageDocument* document);
// Fills the document's root folder from the root directory: the number of entries made, or -1.
int64_t NtfsLoadTree(CImageDocument* document);
// Frees document->ntfs and everything it holds; null documents and volumes accepted.
void NtfsUnmount(CImageDocument* document);

// Opens MFT record `record` (a base record in use) and its unnamed $DATA, or, for a directory, its "$I30"
// index: null with *error set (kNtfs*) when it cannot be opened.
std::unique_ptr<CNtfsInode> NtfsOpenInode(CImageDocument* document, uint64_t record, int* error);
// Copies exactly `count` bytes of the inode's data from byte `offset` (zeros past the data size, in holes and
// past the initialized size): 1, or a negative kNtfs* code. An encrypted file fails with kNtfsEncrypted after
// setting the last error "The file is encrypted." and the abort code.
int NtfsReadFileRange(CImageDocument* document, CNtfsInode* inode, void* buffer, int64_t offset, int64_t count);
// Writes the entry's data to `writer` in pieces of 512 KiB: 1, 0 when stopped by the user, -1 on failure.
int NtfsExtractFile(CImageDocument* document, const CTreeEntry* entry, FILE* writer);

// Reads `count` bytes of the entry's file from byte `offset` (cut to the file's size): the bytes read, or -1.
int64_t NtfsReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                          int64_t count);
// The piece of the entry's data from byte `offset` that lies stored as it is in consecutive clusters: its length
// in bytes, with its byte position in the partition in *volumeByte; 0 when that data is resident, compressed,
// sparse, past the initialized size or past the end.
int64_t NtfsFileRun(CImageDocument* document, const CTreeEntry* entry, int64_t offset, int64_t* volumeByte);
// The entry's locator, or null when the driver did not make it.
const CNtfsLocator* NtfsGetLocator(const CTreeEntry* entry);

// Counts the set bits of $Bitmap for the volume's clusters: the count (also kept in allocatedClusters).
int64_t NtfsCountUsedClusters(CImageDocument* document);
// 1 when the document sector belongs to an allocated cluster, lies before the partition or past the bitmap;
// *sectorsLeft gets the sectors of the same cluster after it.
int NtfsIsSectorInUse(CImageDocument* document, int64_t sector, int64_t* sectorsLeft);

// Applies the update sequence of a multi-sector record in place: 1 fixed (or used as it is when its update
// sequence does not describe the record), kNtfsBadFixups when a sector's last two bytes do not match (the magic
// then reads "BAAD").
int NtfsApplyFixups(uint8_t* record, uint32_t size);
// Decodes the mapping pairs of a non-resident attribute header (`attribute`, `length` bytes) into runs from its
// lowest vcn, appended to `runs`. Runs must lie inside `clusterCount` clusters. 1, or kNtfsCorrupt.
int NtfsDecodeMappingPairs(const uint8_t* attribute, uint32_t length, uint64_t clusterCount,
                           std::vector<CNtfsRun>* runs);
