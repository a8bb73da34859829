#include "filesystems/udf.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "runtime/byte_reader.h"
#include "runtime/crc.h"
#include "runtime/memory.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kSectorBytes = 2048;
constexpr int kRecognitionSectors = 16;
// Sectors one volume descriptor sequence may span, and the pointers to further extents followed.
constexpr uint32_t kMaxSequenceSectors = 256;
constexpr int kMaxSequencePointers = 16;
// The allocation table is looked for this far back from the last recorded sector.
constexpr int64_t kVatSearchSectors = 4096;
constexpr uint32_t kMaxVatBytes = 64u << 20;
// Allocation extent descriptors followed for one file entry, and the size of one.
constexpr int kMaxContinuations = 65536;
constexpr uint32_t kMaxContinuationBytes = 1u << 20;
// One directory's data is read whole; larger ones are damaged.
constexpr int64_t kMaxDirectoryBytes = int64_t{256} << 20;
constexpr size_t kMaxSparingEntries = 65536;
constexpr size_t kMaxMetadataExtents = 65536;
// Sectors read at once where file entries are read.
constexpr int64_t kEntryWindowSectors = 32;
// Blocks translated one by one (virtual, metadata, sparable) in one mount: eight per sector of the image.
constexpr int64_t kMinTranslationBudget = int64_t{1} << 20;

enum : uint16_t {
  kTagPrimary = 1,
  kTagAnchor = 2,
  kTagPointer = 3,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagTerminating = 8,
  kTagFileSet = 256,
  kTagFileIdentifier = 257,
  kTagAllocationExtent = 258,
  kTagFileEntry = 261,
  kTagExtendedFileEntry = 266,
};

enum : uint8_t {
  kFidHidden = 0x01,
  kFidDirectory = 0x02,
  kFidDeleted = 0x04,
  kFidParent = 0x08,
};

CUdfVolume* Volume(CImageDocument* document) { return document ? document->udfVolume : nullptr; }

// The tag identifier of the descriptor at the start of `bytes` (`size` bytes of it at hand), or -1 when its
// version, checksum, location or CRC is wrong. A CRC that covers more than the bytes at hand is not checked.
int CheckTag(const uint8_t* bytes, size_t size, uint32_t location) {
  if (size < 16) return -1;
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + bytes[i]);
  if (sum != bytes[4]) return -1;
  const uint16_t version = LoadU16LE(bytes + 2);
  if (version != 2 && version != 3) return -1;
  if (LoadU32LE(bytes + 12) != location) return -1;
  const uint16_t crcLength = LoadU16LE(bytes + 10);
  if (crcLength > 0 && 16 + static_cast<size_t>(crcLength) <= size &&
      Crc16CcittUpdate(0, bytes + 16, crcLength) != LoadU16LE(bytes + 8))
    return -1;
  return LoadU16LE(bytes);
}

bool ReadSectors(CImageDocument* document, int64_t sector, int64_t count, uint8_t* buffer) {
  if (sector < 0 || count <= 0) return false;
  return ImageReadSectors(document, sector, buffer, count) == count;
}

// Reads one absolute sector and checks its tag: the tag identifier, or -1.
int ReadTaggedSector(CImageDocument* document, int64_t sector, uint32_t location, uint8_t* buffer) {
  if (sector < 0 || sector > UINT32_MAX || !ReadSectors(document, sector, 1, buffer)) return -1;
  return CheckTag(buffer, kSectorBytes, location);
}

const CUdfPartitionMap* PhysicalMapOf(const CUdfVolume* volume, uint16_t partitionNumber, int32_t* index) {
  for (int32_t i = 0; i < volume->mapCount; ++i) {
    const CUdfPartitionMap& map = volume->maps[i];
    if (map.partitionNumber != partitionNumber) continue;
    if (map.kind == kUdfMapPhysical || map.kind == kUdfMapSparable || map.kind == kUdfMapOther) {
      if (index) *index = i;
      return &map;
    }
  }
  return nullptr;
}

// Block of a physical, sparable or other map: a remapped packet is read where the sparing table put it.
int64_t PhysicalBlockToSector(const CUdfPartitionMap& map, uint64_t block) {
  if (!map.bound || block >= map.length) return -1;
  if (map.kind == kUdfMapSparable && !map.sparing.empty() && map.packetLength > 0) {
    const uint32_t packet = static_cast<uint32_t>(block - block % map.packetLength);
    auto it = std::lower_bound(map.sparing.begin(), map.sparing.end(), packet,
                               [](const CUdfSparingEntry& e, uint32_t value) { return e.original < value; });
    if (it != map.sparing.end() && it->original == packet) return int64_t{it->mapped} + (block - packet);
  }
  return int64_t{map.start} + static_cast<int64_t>(block);
}

int64_t MetadataBlockToSector(CImageDocument* document, const CUdfVolume* volume, uint64_t block);

int64_t TranslateBlock(CImageDocument* document, const CUdfVolume* volume, uint32_t partition, uint64_t block,
                       int depth) {
  if (partition >= static_cast<uint32_t>(volume->mapCount) || depth > 2) return -1;
  const CUdfPartitionMap& map = volume->maps[partition];
  switch (map.kind) {
    case kUdfMapMetadata:
      return MetadataBlockToSector(document, volume, block);
    case kUdfMapVirtual150:
    case kUdfMapVirtual200: {
      if (block >= map.vatEntryCount) return -1;
      const size_t at = map.vatEntryOffset + static_cast<size_t>(block) * 4;
      if (at + 4 > map.vatData.size()) return -1;
      const uint32_t mapped = LoadU32LE(map.vatData.data() + at);
      if (mapped == 0xFFFFFFFF) return -1;
      int32_t physical = -1;
      if (!PhysicalMapOf(volume, map.partitionNumber, &physical)) return -1;
      return TranslateBlock(document, volume, static_cast<uint32_t>(physical), mapped, depth + 1);
    }
    default:
      return PhysicalBlockToSector(map, block);
  }
}

// Block b of the metadata partition: the block at position b of the metadata file, else of its mirror.
int64_t MetadataBlockToSector(CImageDocument* document, const CUdfVolume* volume, uint64_t block) {
  const CUdfMetadataFile& metadata = volume->metadata;
  for (int pass = 0; pass < 2; ++pass) {
    const std::vector<CUdfExtent>& extents = pass == 0 ? metadata.mainExtents : metadata.mirrorExtents;
    const std::vector<uint64_t>& firsts = pass == 0 ? metadata.mainFirstBlocks : metadata.mirrorFirstBlocks;
    if (extents.empty() || firsts.size() != extents.size() + 1 || block >= firsts.back()) continue;
    // The extent whose blocks hold position b of the file.
    const size_t i = static_cast<size_t>(std::upper_bound(firsts.begin(), firsts.end(), block) - firsts.begin()) - 1;
    return TranslateBlock(document, volume, extents[i].partition, extents[i].block + (block - firsts[i]), 2);
  }
  return -1;
}

// ---- Allocation descriptors and file entries ----

struct CIcb {
  int64_t sector = -1;  // absolute sector of the file entry
  uint64_t informationLength = 0;
  uint8_t modificationTime[12] = {};
  int adType = -1;
  std::vector<uint8_t> inlineData;
  bool hasInline = false;
  std::vector<CUdfExtent> extents;
  uint32_t firstBlock = 0;  // block named by the first allocation descriptor
  bool hasFirstBlock = false;
};

// A frame of the walk over allocation descriptors: the area being read and the reference of short ones.
struct CAdArea {
  std::vector<uint8_t> bytes;
  size_t position;
  uint32_t partition;
};

// Walks the allocation descriptors of a file entry, splicing in the contents of every allocation extent
// descriptor at the place of its continuation, and keeps the leading run of recorded extents. False when a
// continuation cannot be read or the chain loops or runs too long.
bool ReadAllocationDescriptors(CImageDocument* document, CUdfVolume* volume, const uint8_t* area, size_t length,
                               bool longForm, uint32_t partition, CIcb* icb) {
  const size_t adSize = longForm ? 16 : 8;
  std::vector<CAdArea> stack;
  stack.push_back({std::vector<uint8_t>(area, area + length), 0, partition});
  std::unordered_set<uint64_t> visited;
  int continuations = 0;
  bool recording = true;
  std::vector<uint8_t> sector(kSectorBytes);
  while (!stack.empty()) {
    CAdArea& top = stack.back();
    if (top.position + adSize > top.bytes.size()) {
      stack.pop_back();
      continue;
    }
    const uint8_t* ad = top.bytes.data() + top.position;
    top.position += adSize;
    const uint32_t word = LoadU32LE(ad);
    const uint32_t type = word >> 30;
    const uint32_t bytes = word & 0x3FFFFFFF;
    const uint32_t block = LoadU32LE(ad + 4);
    const uint32_t reference = longForm ? LoadU16LE(ad + 8) : top.partition;
    if (type == 3) {
      if (bytes == 0) {
        // An empty continuation names nothing: the list ends here.
        stack.clear();
        break;
      }
      const uint64_t key = uint64_t{reference} << 32 | block;
      if (++continuations > kMaxContinuations || !visited.insert(key).second || bytes > kMaxContinuationBytes)
        return false;
      const int64_t at = TranslateBlock(document, volume, reference, block, 0);
      if (ReadTaggedSector(document, at, block, sector.data()) != kTagAllocationExtent) return false;
      const uint32_t count = LoadU32LE(sector.data() + 20);
      if (count > kSectorBytes - 24) return false;
      // Descriptors after the continuation in this area come after the continued ones.
      stack.push_back({std::vector<uint8_t>(sector.begin() + 24, sector.begin() + 24 + count), 0, reference});
      continue;
    }
    if (!icb->hasFirstBlock) {
      icb->firstBlock = block;
      icb->hasFirstBlock = true;
    }
    if (!recording) continue;
    if (type != 0 || bytes == 0) {
      recording = false;
      continue;
    }
    icb->extents.push_back({reference, block, bytes});
  }
  return true;
}

// One sector of file entries, read through a window of the sectors that follow it: writers put the entries of
// a folder's files one after another, so a tree of thousands of files costs a few dozen reads. The window stays
// inside the readable part of the image, so it never reads what the walk does not ask for past its end.
bool ReadEntrySector(CImageDocument* document, CUdfVolume* volume, int64_t sector, uint8_t* out) {
  if (sector < 0) return false;
  if (volume->windowFirst >= 0 && sector >= volume->windowFirst && sector < volume->windowFirst + volume->windowCount) {
    std::memcpy(out, volume->window.data() + (sector - volume->windowFirst) * kSectorBytes, kSectorBytes);
    return true;
  }
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  const int64_t count = document->deviceFlag || limit <= sector ? 1 : std::min(kEntryWindowSectors, limit - sector);
  if (count <= 1) return ReadSectors(document, sector, 1, out);
  volume->window.resize(static_cast<size_t>(count * kSectorBytes));
  volume->windowFirst = -1;
  if (!ReadSectors(document, sector, count, volume->window.data())) return ReadSectors(document, sector, 1, out);
  volume->windowFirst = sector;
  volume->windowCount = count;
  std::memcpy(out, volume->window.data(), kSectorBytes);
  return true;
}

// Reads the file entry at `block` of partition reference `partition` with its allocation descriptors.
bool ReadIcb(CImageDocument* document, CUdfVolume* volume, uint32_t partition, uint32_t block, CIcb* icb) {
  *icb = CIcb();
  std::vector<uint8_t> sector(kSectorBytes);
  const int64_t at = TranslateBlock(document, volume, partition, block, 0);
  const int tag = at >= 0 && ReadEntrySector(document, volume, at, sector.data())
                      ? CheckTag(sector.data(), kSectorBytes, block)
                      : -1;
  if (tag != kTagFileEntry && tag != kTagExtendedFileEntry) return false;
  const bool extended = tag == kTagExtendedFileEntry;
  ByteReader r(sector.data(), sector.size());
  const uint16_t flags = r.U16LEAt(34);
  icb->informationLength = r.U64LEAt(56);
  const size_t timeAt = extended ? 92 : 84;
  const size_t header = extended ? 216 : 176;
  const uint64_t eaLength = r.U32LEAt(extended ? 208 : 168);
  const uint64_t adLength = r.U32LEAt(extended ? 212 : 172);
  if (!r.ok() || header + eaLength + adLength > kSectorBytes) return false;
  std::memcpy(icb->modificationTime, sector.data() + timeAt, 12);
  icb->sector = at;
  icb->adType = flags & 7;
  const uint8_t* area = sector.data() + header + eaLength;
  switch (icb->adType) {
    case 3: {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(icb->informationLength, adLength));
      icb->inlineData.assign(area, area + n);
      icb->hasInline = true;
      return true;
    }
    case 0:
    case 1:
      return ReadAllocationDescriptors(document, volume, area, static_cast<size_t>(adLength), icb->adType == 1,
                                       partition, icb);
    default:
      // Extended descriptors and unknown kinds: a file without data, an empty directory.
      return true;
  }
}

// Appends the sectors of `extent` to `runs`, joining runs that continue one another. False when a block does
// not translate.
bool AppendExtentRuns(CImageDocument* document, CUdfVolume* volume, const CUdfExtent& extent,
                      std::vector<CTreeExtent>* runs) {
  if (extent.partition >= static_cast<uint32_t>(volume->mapCount)) return false;
  const CUdfPartitionMap& map = volume->maps[extent.partition];
  const uint64_t blocks = (uint64_t{extent.length} + kSectorBytes - 1) / kSectorBytes;
  auto add = [&](int64_t sector, int64_t bytes) {
    if (!runs->empty()) {
      CTreeExtent& last = runs->back();
      if (last.length % kSectorBytes == 0 && last.lba + last.length / kSectorBytes == sector) {
        last.length += bytes;
        return;
      }
    }
    runs->push_back({sector, bytes});
  };
  const bool contiguous =
      map.kind == kUdfMapPhysical || map.kind == kUdfMapOther || (map.kind == kUdfMapSparable && map.sparing.empty());
  if (contiguous) {
    const int64_t first = TranslateBlock(document, volume, extent.partition, extent.block, 0);
    if (first < 0 || uint64_t{extent.block} + blocks > map.length) return false;
    add(first, extent.length);
    return true;
  }
  // Sparable packets, virtual and metadata blocks may each lie elsewhere. Files that name the same blocks over
  // and over cannot make the walk longer than the mount's budget.
  uint64_t left = extent.length;
  for (uint64_t i = 0; i < blocks; ++i) {
    if (volume->translationBudget-- <= 0) return false;
    const int64_t sector = TranslateBlock(document, volume, extent.partition, uint64_t{extent.block} + i, 0);
    if (sector < 0) return false;
    const int64_t bytes = static_cast<int64_t>(std::min<uint64_t>(left, kSectorBytes));
    add(sector, bytes);
    left -= static_cast<uint64_t>(bytes);
  }
  return true;
}

// The whole data of a file entry: its inline data or its extents read in turn.
bool ReadIcbData(CImageDocument* document, CUdfVolume* volume, const CIcb& icb, int64_t limit,
                 std::vector<uint8_t>* data) {
  if (icb.hasInline) {
    *data = icb.inlineData;
    return true;
  }
  std::vector<CTreeExtent> runs;
  for (const CUdfExtent& extent : icb.extents)
    if (!AppendExtentRuns(document, volume, extent, &runs)) return false;
  int64_t total = 0;
  for (const CTreeExtent& run : runs) total += (run.length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
  if (total > limit) return false;
  data->assign(static_cast<size_t>(total), 0);
  int64_t at = 0;
  for (const CTreeExtent& run : runs) {
    const int64_t sectors = (run.length + kSectorBytes - 1) / kSectorBytes;
    if (!ReadSectors(document, run.lba, sectors, data->data() + at)) return false;
    at += run.length;  // the next extent follows this one's last byte
  }
  data->resize(static_cast<size_t>(at));
  return true;
}

// ---- Volume descriptors ----

struct CSequenceScan {
  int64_t primary = -1, logicalVolume = -1;
  uint32_t primarySequence = 0, logicalSequence = 0;
  std::vector<int64_t> partitions;
  bool terminated = false;
};

void ScanSequence(CImageDocument* document, uint32_t location, uint32_t length, CSequenceScan* scan) {
  std::vector<uint8_t> sector(kSectorBytes);
  std::unordered_set<uint32_t> visited;
  int pointers = 0;
  uint32_t first = location;
  uint32_t count = std::min<uint32_t>(length / kSectorBytes, kMaxSequenceSectors);
  while (true) {
    int64_t nextFirst = -1;
    uint32_t nextCount = 0;
    uint32_t pointerSequence = 0;
    bool stop = false;
    for (uint32_t i = 0; i < count && !stop; ++i) {
      const uint64_t at = uint64_t{first} + i;
      if (at > UINT32_MAX || !visited.insert(static_cast<uint32_t>(at)).second) break;
      const int tag = ReadTaggedSector(document, static_cast<int64_t>(at), static_cast<uint32_t>(at), sector.data());
      const uint32_t sequence = LoadU32LE(sector.data() + 16);
      switch (tag) {
        case kTagPrimary:
          if (scan->primary < 0 || sequence >= scan->primarySequence) {
            scan->primary = static_cast<int64_t>(at);
            scan->primarySequence = sequence;
          }
          break;
        case kTagLogicalVolume:
          if (scan->logicalVolume < 0 || sequence >= scan->logicalSequence) {
            scan->logicalVolume = static_cast<int64_t>(at);
            scan->logicalSequence = sequence;
          }
          break;
        case kTagPartition:
          scan->partitions.push_back(static_cast<int64_t>(at));
          break;
        case kTagPointer:
          if (nextFirst < 0 || sequence >= pointerSequence) {
            pointerSequence = sequence;
            nextCount = std::min<uint32_t>(LoadU32LE(sector.data() + 20) / kSectorBytes, kMaxSequenceSectors);
            nextFirst = LoadU32LE(sector.data() + 24);
          }
          break;
        case kTagImplementationUse:
        case kTagUnallocatedSpace:
          break;
        case kTagTerminating:
          scan->terminated = true;
          stop = true;
          break;
        default:
          stop = true;  // not a descriptor: the sequence ends
          break;
      }
    }
    if (nextFirst < 0 || ++pointers > kMaxSequencePointers) return;
    first = static_cast<uint32_t>(nextFirst);
    count = nextCount;
  }
}

void SetLabel(CImageDocument* document, const std::wstring& text) {
  const size_t n = std::min<size_t>(text.size(), kVolumeIdentifierChars - 1);
  std::wmemcpy(document->identifiers[kVolumeLabel], text.data(), n);
  document->identifiers[kVolumeLabel][n] = 0;
}

// Decodes the partition maps of the logical volume descriptor and where its file set lies.
bool ParseLogicalVolume(const uint8_t* lvd, CUdfVolume* volume) {
  ByteReader r(lvd, kSectorBytes);
  volume->fileSetBlock = r.U32LEAt(252);
  volume->fileSetPartition = r.U16LEAt(256);
  const uint32_t tableLength = r.U32LEAt(264);
  const uint32_t mapCount = r.U32LEAt(268);
  if (!r.ok() || mapCount == 0 || mapCount > kUdfMaxPartitionMaps) return false;
  if (tableLength > kSectorBytes - 440) return false;
  ByteReader table(lvd + 440, tableLength);
  size_t at = 0;
  for (uint32_t i = 0; i < mapCount; ++i) {
    const uint8_t type = table.U8At(at);
    const uint8_t length = table.U8At(at + 1);
    if (!table.ok() || length < 6 || at + length > tableLength) return false;
    ByteReader map(lvd + 440 + at, length);
    CUdfPartitionMap& out = volume->maps[i];
    out.kind = kUdfMapOther;
    if (type == 1) {
      out.kind = kUdfMapPhysical;
      out.volumeSequenceNumber = map.U16LEAt(2);
      out.partitionNumber = map.U16LEAt(4);
    } else if (type == 2) {
      if (length < 40) return false;
      const std::string_view id(reinterpret_cast<const char*>(lvd + 440 + at + 5), 23);
      out.volumeSequenceNumber = map.U16LEAt(36);
      out.partitionNumber = map.U16LEAt(38);
      if (id.substr(0, 22) == "*UDF Virtual Partition") {
        out.kind = map.U16LEAt(28) >= 0x0200 ? kUdfMapVirtual200 : kUdfMapVirtual150;
      } else if (id == "*UDF Sparable Partition") {
        out.kind = kUdfMapSparable;
        out.packetLength = map.U16LEAt(40);
        const uint8_t tables = map.U8At(42);
        for (uint8_t t = 0; t < tables && t < 4; ++t) {
          const uint32_t location = map.U32LEAt(48 + 4u * t);
          if (map.ok()) out.sparingTableSectors.push_back(location);
        }
      } else if (id == "*UDF Metadata Partition") {
        out.kind = kUdfMapMetadata;
        CUdfMetadataFile& metadata = volume->metadata;
        metadata.metadataFileLocation = map.U32LEAt(40);
        metadata.mirrorFileLocation = map.U32LEAt(44);
        metadata.bitmapFileLocation = map.U32LEAt(48);
        metadata.allocationUnitSize = map.U32LEAt(52);
        metadata.alignmentUnitSize = map.U16LEAt(56);
        metadata.duplicateFlag = map.U8At(58) & 1;
        metadata.partitionNumber = out.partitionNumber;
        volume->hasMetadataPartition = 1;
      }
    }
    if (!map.ok()) return false;
    at += length;
  }
  volume->mapCount = static_cast<int32_t>(mapCount);
  return true;
}

// Reads the first sparing table of a sparable map that passes its checks.
void ReadSparingTable(CImageDocument* document, CUdfPartitionMap* map) {
  std::vector<uint8_t> sector(kSectorBytes);
  for (uint32_t location : map->sparingTableSectors) {
    if (!ReadSectors(document, location, 1, sector.data()) || CheckTag(sector.data(), kSectorBytes, location) != 0)
      continue;
    if (std::memcmp(sector.data() + 17, "*UDF Sparing Table", 18) != 0) continue;
    const uint16_t count = LoadU16LE(sector.data() + 48);
    const size_t bytes = 56 + size_t{count} * 8;
    std::vector<uint8_t> table(((bytes + kSectorBytes - 1) / kSectorBytes) * kSectorBytes);
    if (!ReadSectors(document, location, static_cast<int64_t>(table.size() / kSectorBytes), table.data())) continue;
    std::vector<CUdfSparingEntry> entries;
    for (size_t i = 0; i < count && entries.size() < kMaxSparingEntries; ++i) {
      const uint32_t original = LoadU32LE(table.data() + 56 + i * 8);
      const uint32_t mapped = LoadU32LE(table.data() + 60 + i * 8);
      if (original < 0xFFFFFFF0) entries.push_back({original, mapped});
    }
    std::sort(entries.begin(), entries.end(),
              [](const CUdfSparingEntry& a, const CUdfSparingEntry& b) { return a.original < b.original; });
    map->sparing = std::move(entries);
    return;
  }
}

int64_t LastRecordedSector(CImageDocument* document) {
  if (document->trackTable) return TrackTableGetEndSector(document->trackTable) - 1;
  if (document->readableLimit > 0) return document->readableLimit - 1;
  if (document->sectorSize <= 0) return -1;
  const int64_t bytes = document->fileSize - document->headerSize - document->userDataOffset - kSectorBytes;
  return bytes >= 0 ? bytes / document->sectorSize : -1;
}

// Finds the allocation table of a virtual map by walking back from the last recorded sector.
bool FindVat(CImageDocument* document, CUdfVolume* volume, CUdfPartitionMap* map) {
  int32_t physicalIndex = -1;
  const CUdfPartitionMap* physical = PhysicalMapOf(volume, map->partitionNumber, &physicalIndex);
  if (!physical || !physical->bound) return false;
  const int64_t last = LastRecordedSector(document);
  const int64_t lowest = std::max<int64_t>(physical->start, last - kVatSearchSectors);
  for (int64_t sector = last; sector >= lowest; --sector) {
    const int64_t block = sector - physical->start;
    if (block < 0 || block > UINT32_MAX) break;
    CIcb icb;
    if (!ReadIcb(document, volume, static_cast<uint32_t>(physicalIndex), static_cast<uint32_t>(block), &icb)) continue;
    if (!icb.hasInline && icb.extents.empty()) continue;
    std::vector<uint8_t> data;
    if (!ReadIcbData(document, volume, icb, kMaxVatBytes, &data)) return false;
    // Entries run to the information length, not to the end of the last sector read.
    if (icb.informationLength < data.size()) data.resize(static_cast<size_t>(icb.informationLength));
    uint32_t offset = 0;
    uint32_t entryBytes = 0;
    if (map->kind == kUdfMapVirtual200) {
      if (data.size() < 2) return false;
      offset = LoadU16LE(data.data());
      if (offset > data.size()) return false;
      entryBytes = static_cast<uint32_t>(data.size() - offset);
    } else {
      if (data.size() < 36) return false;
      entryBytes = static_cast<uint32_t>(data.size() - 36);
    }
    map->vatEntryOffset = static_cast<uint16_t>(offset);
    map->vatEntryCount = entryBytes / 4;
    map->vatData = std::move(data);
    volume->vatSector = static_cast<uint32_t>(sector);
    return true;
  }
  return false;
}

// Gives every map of the partition its start and length; a virtual map gets its allocation table.
void BindPartition(CUdfVolume* volume, const uint8_t* descriptor) {
  const uint16_t number = LoadU16LE(descriptor + 22);
  const uint32_t start = LoadU32LE(descriptor + 188);
  const uint32_t length = LoadU32LE(descriptor + 192);
  for (int32_t i = 0; i < volume->mapCount; ++i) {
    CUdfPartitionMap& map = volume->maps[i];
    if (map.partitionNumber != number || map.bound) continue;
    map.start = start;
    map.length = length;
    map.bound = 1;
  }
}

bool ReadMetadataFiles(CImageDocument* document, CUdfVolume* volume) {
  CUdfMetadataFile& metadata = volume->metadata;
  int32_t physical = -1;
  if (!PhysicalMapOf(volume, metadata.partitionNumber, &physical)) return false;
  for (int pass = 0; pass < 2; ++pass) {
    CIcb icb;
    const uint32_t location = pass == 0 ? metadata.metadataFileLocation : metadata.mirrorFileLocation;
    if (!ReadIcb(document, volume, static_cast<uint32_t>(physical), location, &icb)) continue;
    std::vector<CUdfExtent>& out = pass == 0 ? metadata.mainExtents : metadata.mirrorExtents;
    out = icb.extents;
    if (out.size() > kMaxMetadataExtents) out.resize(kMaxMetadataExtents);
    // Metadata extents are read in the physical partition only.
    std::erase_if(out, [&](const CUdfExtent& e) {
      return e.partition >= static_cast<uint32_t>(volume->mapCount) ||
             volume->maps[e.partition].kind == kUdfMapMetadata;
    });
    std::vector<uint64_t>& firsts = pass == 0 ? metadata.mainFirstBlocks : metadata.mirrorFirstBlocks;
    firsts.assign(1, 0);
    for (const CUdfExtent& e : out) firsts.push_back(firsts.back() + e.length / kSectorBytes);
  }
  return !metadata.mainExtents.empty() || !metadata.mirrorExtents.empty();
}

// ---- Names and times ----

struct CPendingDirectory {
  CTreeFolder* folder;
  CIcb icb;
  uint32_t partition;
};

uint64_t IcbKey(uint32_t partition, uint32_t block) { return uint64_t{partition} << 32 | block; }

// Fills a new tree entry from a file identifier and its file entry.
CTreeEntry* MakeEntry(CImageDocument* document, CUdfVolume* volume, const std::wstring& name, uint8_t characteristics,
                      const CIcb& icb, bool* damaged) {
  CTreeEntry* entry = TreeNewEntry();
  if (!entry) return nullptr;
  entry->name = static_cast<wchar_t*>(MemAlloc((name.size() + 1) * sizeof(wchar_t)));
  if (!entry->name) {
    TreeFreeEntry(document, entry);
    return nullptr;
  }
  std::wmemcpy(entry->name, name.c_str(), name.size() + 1);
  const bool directory = characteristics & kFidDirectory;
  int64_t size = static_cast<int64_t>(std::min<uint64_t>(icb.informationLength, INT64_MAX));
  if (icb.hasInline) {
    if (static_cast<uint64_t>(size) > icb.inlineData.size()) {
      size = static_cast<int64_t>(icb.inlineData.size());
      *damaged = true;
    }
    if (!directory && size > 0) {
      entry->inlineData = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(size)));
      if (!entry->inlineData) {
        TreeFreeEntry(document, entry);
        return nullptr;
      }
      std::memcpy(entry->inlineData, icb.inlineData.data(), static_cast<size_t>(size));
      entry->inlineSize = size;
    }
    entry->sourceLba = icb.sector;
  } else if (!icb.extents.empty()) {
    std::vector<CTreeExtent> runs;
    bool whole = true;
    for (const CUdfExtent& extent : icb.extents) {
      if (!AppendExtentRuns(document, volume, extent, &runs)) {
        whole = false;
        break;
      }
    }
    if (!whole) *damaged = true;
    if (!directory && !runs.empty()) {
      entry->sourceLba = runs.front().lba;
      entry->extents = static_cast<CTreeExtent*>(MemAlloc(runs.size() * sizeof(CTreeExtent)));
      if (!entry->extents) {
        TreeFreeEntry(document, entry);
        return nullptr;
      }
      std::copy(runs.begin(), runs.end(), entry->extents);
      entry->extentCount = static_cast<int32_t>(runs.size());
    } else if (!runs.empty()) {
      entry->sourceLba = runs.front().lba;
    }
  } else if (icb.hasFirstBlock) {
    const CUdfPartitionMap& map =
        volume->maps[volume->fileSetPartition < static_cast<uint32_t>(volume->mapCount) ? volume->fileSetPartition : 0];
    entry->sourceLba = int64_t{map.start} + icb.firstBlock;
  }
  if (directory) size = 0;
  entry->size = size;
  uint8_t* record = entry->directoryRecord;
  record[kDirRecordLength] = kDirRecordCopySize;
  PutBothEndian32(record + kDirRecordDataLength, static_cast<uint32_t>(size));
  PutBothEndian16(record + kDirRecordVolumeSequence, 1);
  if (const int64_t when = UdfTimestampToTime(icb.modificationTime)) IsoEncodeRecordDate(record + kDirRecordDate, when);
  record[kDirRecordFlags] =
      static_cast<uint8_t>((characteristics & kFidHidden ? kDirFlagHidden : 0) | (directory ? kDirFlagDirectory : 0));
  return entry;
}

// Reads the directory hierarchy from the root, depth first, under the document's root folder.
void LoadTree(CImageDocument* document, CUdfVolume* volume) {
  bool damaged = false;
  std::unordered_set<uint64_t> visited{IcbKey(volume->rootIcbPartition, volume->rootIcbBlock)};
  std::vector<CPendingDirectory> work;
  {
    CPendingDirectory root{document->rootFolder, CIcb(), volume->rootIcbPartition};
    if (!ReadIcb(document, volume, volume->rootIcbPartition, volume->rootIcbBlock, &root.icb)) {
      document->treeDamaged = 1;
      return;
    }
    work.push_back(std::move(root));
  }
  const int64_t imageBytes = std::max<int64_t>(document->fileSize, kSectorBytes);
  while (!work.empty()) {
    CPendingDirectory item = std::move(work.back());
    work.pop_back();
    std::vector<uint8_t> data;
    if (!ReadIcbData(document, volume, item.icb, std::min(kMaxDirectoryBytes, imageBytes), &data)) {
      damaged = true;
      continue;
    }
    const size_t end = static_cast<size_t>(std::min<uint64_t>(item.icb.informationLength, data.size()));
    std::vector<CPendingDirectory> subdirectories;
    size_t at = 0;
    while (at < end) {
      if (data[at] == 0) {
        at = (at / kSectorBytes + 1) * kSectorBytes;
        continue;
      }
      ByteReader fid(data.data() + at, end - at);
      const uint16_t tag = fid.U16LEAt(0);
      const uint8_t characteristics = fid.U8At(18);
      const uint8_t nameLength = fid.U8At(19);
      const uint32_t icbBlock = fid.U32LEAt(24);
      const uint16_t icbPartition = fid.U16LEAt(28);
      const uint16_t useLength = fid.U16LEAt(36);
      const size_t total = (38 + size_t{useLength} + nameLength + 3) & ~size_t{3};
      if (!fid.ok() || tag != kTagFileIdentifier || total > end - at) {
        damaged = true;
        break;
      }
      const uint8_t* nameBytes = data.data() + at + 38 + useLength;
      at += total;
      if (characteristics & (kFidParent | kFidDeleted)) continue;
      std::wstring name;
      if (nameLength == 0 || !UdfDecodeName(nameBytes, nameLength, &name) || name.empty()) {
        damaged = true;
        continue;
      }
      CIcb icb;
      if (!ReadIcb(document, volume, icbPartition, icbBlock, &icb)) {
        damaged = true;
        continue;
      }
      CTreeEntry* entry = MakeEntry(document, volume, name, characteristics, icb, &damaged);
      if (!entry) {
        damaged = true;
        continue;
      }
      TreeFolderPrependEntry(item.folder, entry);
      if (!(characteristics & kFidDirectory)) continue;
      CTreeFolder* node = TreeInsertFolderNode(document, item.folder, entry->name, entry, 0);
      if (!node) {
        damaged = true;
        continue;
      }
      // A directory that names one already read (itself or an ancestor) stays empty.
      if (node->depth > kTreePathMaxDepth || !visited.insert(IcbKey(icbPartition, icbBlock)).second) {
        damaged = true;
        continue;
      }
      subdirectories.push_back({node, std::move(icb), icbPartition});
    }
    for (auto it = subdirectories.rbegin(); it != subdirectories.rend(); ++it) work.push_back(std::move(*it));
  }
  if (damaged) document->treeDamaged = 1;
}

bool MountVolume(CImageDocument* document, CUdfVolume* volume, int64_t start, int takeLabel) {
  // Recognition: an NSR descriptor in the extended area before its end.
  std::vector<uint8_t> area(kRecognitionSectors * kSectorBytes);
  const int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  const bool read = ReadSectors(document, start + 16, kRecognitionSectors, area.data());
  document->quiet = savedQuiet;
  if (!read) return false;
  bool nsr = false;
  for (int i = 0; i < kRecognitionSectors; ++i) {
    const char* id = reinterpret_cast<const char*>(area.data()) + i * kSectorBytes + 1;
    if (id[0] == 0) break;
    if (std::memcmp(id, "TEA01", 5) == 0) break;
    if (std::memcmp(id, "NSR02", 5) == 0 || std::memcmp(id, "NSR03", 5) == 0) nsr = true;
  }
  if (!nsr) return false;

  std::vector<uint8_t> sector(kSectorBytes);
  const int64_t anchor = start + 256;
  if (ReadTaggedSector(document, anchor, static_cast<uint32_t>(anchor), sector.data()) != kTagAnchor) return false;
  const uint32_t mainLength = LoadU32LE(sector.data() + 16), mainLocation = LoadU32LE(sector.data() + 20);
  const uint32_t reserveLength = LoadU32LE(sector.data() + 24), reserveLocation = LoadU32LE(sector.data() + 28);

  // The main sequence, and the reserve one when the main yields no logical volume.
  CSequenceScan scan;
  ScanSequence(document, mainLocation, mainLength, &scan);
  if (scan.logicalVolume < 0 || scan.partitions.empty()) {
    scan = CSequenceScan();
    ScanSequence(document, reserveLocation, reserveLength, &scan);
  }
  if (scan.logicalVolume < 0 || scan.partitions.empty()) return false;

  if (takeLabel) {
    std::wstring label;
    if (scan.primary >= 0 &&
        ReadTaggedSector(document, scan.primary, static_cast<uint32_t>(scan.primary), sector.data()) == kTagPrimary)
      UdfDecodeDString(sector.data() + 24, 32, &label);
    std::wstring logical;
    if (ReadTaggedSector(document, scan.logicalVolume, static_cast<uint32_t>(scan.logicalVolume), sector.data()) ==
            kTagLogicalVolume &&
        UdfDecodeDString(sector.data() + 84, 128, &logical) && !logical.empty())
      label = logical;
    SetLabel(document, label);
  }
  if (ReadTaggedSector(document, scan.logicalVolume, static_cast<uint32_t>(scan.logicalVolume), sector.data()) !=
          kTagLogicalVolume ||
      !ParseLogicalVolume(sector.data(), volume))
    return false;
  for (int64_t at : scan.partitions) {
    if (ReadTaggedSector(document, at, static_cast<uint32_t>(at), sector.data()) == kTagPartition)
      BindPartition(volume, sector.data());
  }
  for (int32_t i = 0; i < volume->mapCount; ++i) {
    CUdfPartitionMap& map = volume->maps[i];
    if (map.kind == kUdfMapSparable) ReadSparingTable(document, &map);
  }
  for (int32_t i = 0; i < volume->mapCount; ++i) {
    CUdfPartitionMap& map = volume->maps[i];
    if ((map.kind == kUdfMapVirtual150 || map.kind == kUdfMapVirtual200) && volume->vatSector == 0)
      FindVat(document, volume, &map);
  }
  if (volume->hasMetadataPartition && !ReadMetadataFiles(document, volume)) return false;

  // The file set names the root directory.
  const int64_t fileSet = TranslateBlock(document, volume, volume->fileSetPartition, volume->fileSetBlock, 0);
  if (ReadTaggedSector(document, fileSet, volume->fileSetBlock, sector.data()) != kTagFileSet) return false;
  volume->rootIcbBlock = LoadU32LE(sector.data() + 404);
  volume->rootIcbPartition = LoadU16LE(sector.data() + 408);
  if (volume->rootIcbPartition >= static_cast<uint32_t>(volume->mapCount))
    volume->rootIcbPartition = volume->fileSetPartition;
  CIcb root;
  return ReadIcb(document, volume, volume->rootIcbPartition, volume->rootIcbBlock, &root);
}

}  // namespace

void UdfMount(CImageDocument* document, int64_t sessionStart, int takeLabel) {
  if (!document || sessionStart < 0) return;
  UdfFreeVolume(document);
  auto volume = std::make_unique<CUdfVolume>();
  volume->sessionStart = sessionStart;
  volume->translationBudget = std::max<int64_t>(kMinTranslationBudget, document->fileSize / kSectorBytes * 8);
  document->udfVolume = volume.get();
  const bool mounted = MountVolume(document, volume.get(), sessionStart, takeLabel);
  document->udfVolume = nullptr;
  if (!mounted) return;
  volume->mounted = 1;
  document->udfVolume = volume.release();
}

int UdfLoadTree(CImageDocument* document) {
  CUdfVolume* volume = Volume(document);
  if (!volume || !volume->mounted || volume->rootLoaded) return -1;
  if (!document->rootFolder && ImageCreateRoot(document) != 0) return -1;
  volume->rootLoaded = 1;
  LoadTree(document, volume);
  return 0;
}

int UdfIsMounted(const CImageDocument* document) {
  return document && document->udfVolume && document->udfVolume->mounted ? 1 : 0;
}

void UdfFreeVolume(CImageDocument* document) {
  if (!document || !document->udfVolume) return;
  std::unique_ptr<CUdfVolume> owned(document->udfVolume);
  document->udfVolume = nullptr;
}

int64_t UdfBlockToSector(CImageDocument* document, uint32_t block, uint32_t partition, uint32_t offset) {
  const CUdfVolume* volume = Volume(document);
  if (!volume) return -1;
  return TranslateBlock(document, volume, partition, uint64_t{block} + offset, 0);
}

bool UdfDecodeName(const uint8_t* bytes, size_t length, std::wstring* out) {
  out->clear();
  if (!bytes || length == 0) return false;
  if (bytes[0] == 8) {
    // 8-bit characters are the first 256 code points.
    for (size_t i = 1; i < length; ++i) out->push_back(static_cast<wchar_t>(bytes[i]));
    return true;
  }
  if (bytes[0] != 16) return false;
  for (size_t i = 1; i + 1 < length; i += 2) {
    const uint32_t unit = LoadU16BE(bytes + i);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < length) {
      const uint32_t low = LoadU16BE(bytes + i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        out->push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        i += 2;
        continue;
      }
    }
    // A lone surrogate cannot be shown or stored: it becomes the replacement character.
    out->push_back(unit >= 0xD800 && unit < 0xE000 ? L'\xFFFD' : static_cast<wchar_t>(unit));
  }
  return true;
}

bool UdfDecodeDString(const uint8_t* field, size_t size, std::wstring* out) {
  out->clear();
  if (!field || size < 2) return false;
  const size_t used = std::min<size_t>(field[size - 1], size - 1);
  if (used == 0) return true;
  if (!UdfDecodeName(field, used, out)) return false;
  while (!out->empty() && (out->back() == L' ' || out->back() == 0)) out->pop_back();
  return true;
}

int64_t UdfTimestampToTime(const uint8_t* timestamp) {
  const uint16_t typeAndZone = LoadU16LE(timestamp);
  struct tm fields {};
  fields.tm_year = LoadU16LE(timestamp + 2) - 1900;
  fields.tm_mon = timestamp[4] - 1;
  fields.tm_mday = timestamp[5];
  fields.tm_hour = timestamp[6];
  fields.tm_min = timestamp[7];
  fields.tm_sec = timestamp[8];
  if (fields.tm_year < 0 || timestamp[4] < 1 || timestamp[4] > 12 || timestamp[5] < 1 || timestamp[5] > 31 ||
      timestamp[6] > 23 || timestamp[7] > 59 || timestamp[8] > 60)
    return 0;
  // A zone of -2047 is "not specified": the fields are then local time.
  int32_t zone = typeAndZone & 0x0FFF;
  if (zone & 0x0800) zone -= 0x1000;
  if ((typeAndZone >> 12) == 1 && zone >= -1440 && zone <= 1440)
    return static_cast<int64_t>(timegm(&fields)) - int64_t{zone} * 60;
  fields.tm_isdst = -1;
  const time_t local = mktime(&fields);
  return local == static_cast<time_t>(-1) ? 0 : static_cast<int64_t>(local);
}
