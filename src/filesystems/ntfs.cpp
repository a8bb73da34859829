#include "filesystems/ntfs.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <unordered_set>

#include "filesystems/lznt1.h"
#include "filesystems/ntfs_upcase.h"
#include "image/disk.h"
#include "image/document.h"
#include "runtime/blockcache.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr uint32_t kAttrStandardInformation = 0x10;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrVolumeName = 0x60;
constexpr uint32_t kAttrVolumeInformation = 0x70;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrIndexRoot = 0x90;
constexpr uint32_t kAttrIndexAllocation = 0xA0;
constexpr uint32_t kAttrBitmap = 0xB0;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

constexpr uint64_t kRecordMft = 0;
constexpr uint64_t kRecordVolume = 3;
constexpr uint64_t kRecordRoot = 5;
constexpr uint64_t kRecordBitmap = 6;
constexpr uint64_t kRecordSecure = 9;
constexpr uint64_t kRecordUpcase = 10;
constexpr uint64_t kRecordExtend = 11;
constexpr uint64_t kFirstUserRecord = 16;
constexpr uint64_t kReferenceMask = (uint64_t{1} << 48) - 1;

constexpr uint32_t kFlagDamaged = 1u << 1;
constexpr uint32_t kFlagSparseSupport = 1u << 6;

constexpr uint32_t kFileAttrCompressed = 0x800;
constexpr uint32_t kFileAttrEncrypted = 0x4000;

// Limits that keep hostile structures from asking for unbounded memory or work.
constexpr int64_t kMaxAttributeList = int64_t{16} << 20;
constexpr int64_t kMaxIndexBitmap = int64_t{16} << 20;
constexpr size_t kMaxExtentRecords = 65536;
// Far beyond any real file, and small enough that a vcn in bytes (clusters of up to 64 KiB) fits in 64 bits.
constexpr int64_t kMaxVcn = int64_t{1} << 46;
// Reads of at least this many bytes skip the cluster cache; a cache slot holds at most this many.
constexpr int64_t kDirectReadBytes = 256 * 1024;
constexpr int32_t kClusterCacheSlots = 64;
constexpr int64_t kBitmapWindow = int64_t{1} << 20;
constexpr int64_t kExtractPiece = 0x80000;

const char16_t kI30[] = u"$I30";

bool IsPowerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }
uint32_t Log2(uint64_t v) {
  uint32_t bits = 0;
  while (v > 1) {
    v >>= 1;
    ++bits;
  }
  return bits;
}

void SetDamaged(CImageDocument* document, CNtfsVolume* volume) {
  volume->flags |= kFlagDamaged;
  document->treeDamaged = 1;
}

// ---- Disk access ----

int64_t PartitionBytes(const CNtfsVolume* v) { return v->partitionSectors * v->documentSectorSize; }

// Reads `count` bytes at byte `offset` of the partition, in whole document sectors.
bool ReadPartitionBytes(CImageDocument* document, CNtfsVolume* v, int64_t offset, uint8_t* out, int64_t count) {
  if (count == 0) return true;
  if (offset < 0 || count < 0 || offset > PartitionBytes(v) || count > PartitionBytes(v) - offset) return false;
  const int64_t ss = v->documentSectorSize;
  if (offset % ss == 0 && count % ss == 0)
    return ImageReadDiskSectors(document, v->partitionStart + offset / ss, out, count / ss) == count / ss;
  // Unaligned pieces go through the work buffer, at most 1 MiB of sectors at a time.
  while (count > 0) {
    const int64_t first = offset / ss;
    const int64_t skip = offset % ss;
    const int64_t take = std::min<int64_t>(count, kBitmapWindow - skip);
    const int64_t sectors = (skip + take + ss - 1) / ss;
    try {
      if (v->work.size() < static_cast<size_t>(sectors * ss)) v->work.resize(static_cast<size_t>(sectors * ss));
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (ImageReadDiskSectors(document, v->partitionStart + first, v->work.data(), sectors) != sectors) return false;
    std::memcpy(out, v->work.data() + skip, static_cast<size_t>(take));
    out += take;
    offset += take;
    count -= take;
  }
  return true;
}

// Reads `count` bytes at byte `within` of the run part that starts at cluster `lcn` and holds `clusters`
// clusters. Small reads go through the cluster cache, which holds pieces of runs read ahead.
bool ReadClusters(CImageDocument* document, CNtfsVolume* v, int64_t lcn, int64_t clusters, int64_t within, uint8_t* out,
                  int64_t count) {
  const int64_t cs = v->clusterSize;
  if (count >= kDirectReadBytes || !v->clusterCache)
    return ReadPartitionBytes(document, v, lcn * cs + within, out, count);
  while (count > 0) {
    const uint64_t byte = static_cast<uint64_t>(lcn * cs + within);
    int32_t slot = BlockCacheFindRange(v->clusterCache, byte);
    if (slot < 0) {
      // Slots tile the run from its start and keep one size, so that neighbouring reads in any order meet the
      // slot already read and a slot's buffer serves the next piece as it is.
      const int64_t perSlot = std::max<int64_t>(1, kDirectReadBytes / cs);
      const int64_t slotStart = within / cs / perSlot * perSlot;
      const int64_t firstCluster = lcn + slotStart;
      const int64_t n = std::min(perSlot, clusters - slotStart);
      if (n <= 0) return false;
      slot = BlockCacheAcquireSlot(v->clusterCache, static_cast<size_t>(perSlot * cs));
      if (slot < 0) return ReadPartitionBytes(document, v, static_cast<int64_t>(byte), out, count);
      CBlockCacheSlot& s = v->clusterCache->slots[slot];
      if (!ReadPartitionBytes(document, v, firstCluster * cs, s.buffer, n * cs)) {
        BlockCacheReleaseSlot(v->clusterCache, slot);
        return false;
      }
      s.rangeFirst = static_cast<uint64_t>(firstCluster * cs);
      s.rangeLast = static_cast<uint64_t>((firstCluster + n) * cs - 1);
      BlockCacheSetSlot(v->clusterCache, slot, firstCluster);
    } else {
      BlockCacheTouch(v->clusterCache, v->clusterCache->slots[slot].key);
    }
    const CBlockCacheSlot& s = v->clusterCache->slots[slot];
    const int64_t take = std::min<int64_t>(count, static_cast<int64_t>(s.rangeLast - byte + 1));
    std::memcpy(out, s.buffer + (byte - s.rangeFirst), static_cast<size_t>(take));
    out += take;
    within += take;
    count -= take;
  }
  return true;
}

// ---- Records and attributes ----

// A fixed-up MFT record and the checked bounds of its attributes.
struct Record {
  uint64_t number = 0;
  std::vector<uint8_t> bytes;
  uint32_t bytesInUse = 0;
  uint16_t sequence = 0;
  uint16_t flags = 0;
  uint64_t baseReference = 0;
  std::vector<std::pair<uint32_t, uint32_t>> attributes;  // offset, length
};

struct Attribute {
  const uint8_t* p;
  uint32_t length;
  uint32_t type() const { return LoadU32LE(p); }
  bool nonResident() const { return p[8] != 0; }
  uint16_t flags() const { return LoadU16LE(p + 12); }
  std::u16string name() const {
    std::u16string n(p[9], u'\0');
    const uint16_t at = LoadU16LE(p + 10);
    for (size_t i = 0; i < n.size(); ++i) n[i] = static_cast<char16_t>(LoadU16LE(p + at + 2 * i));
    return n;
  }
  // Resident value (bounds checked when the record was parsed).
  const uint8_t* value() const { return p + LoadU16LE(p + 20); }
  uint32_t valueLength() const { return LoadU32LE(p + 16); }
  int64_t lowestVcn() const { return static_cast<int64_t>(LoadU64LE(p + 16)); }
};

// Walks the attributes of a fixed-up record and checks each header against the record: 1, or kNtfsCorrupt.
int ParseAttributes(Record* record) {
  ByteReader r(record->bytes.data(), record->bytes.size());
  const uint16_t firstOffset = r.U16LEAt(20);
  record->flags = r.U16LEAt(22);
  record->bytesInUse = r.U32LEAt(24);
  record->sequence = r.U16LEAt(16);
  record->baseReference = r.U64LEAt(32) & kReferenceMask;
  if (!r.ok() || record->bytesInUse > record->bytes.size() || firstOffset < 24 || firstOffset % 8 != 0)
    return kNtfsCorrupt;
  uint32_t at = firstOffset;
  for (;;) {
    if (at > record->bytesInUse || record->bytesInUse - at < 4) return kNtfsCorrupt;
    const uint32_t type = LoadU32LE(record->bytes.data() + at);
    if (type == kAttrEnd) return 1;
    if (record->bytesInUse - at < 24) return kNtfsCorrupt;
    const uint8_t* p = record->bytes.data() + at;
    const uint32_t length = LoadU32LE(p + 4);
    if (length < 24 || length % 8 != 0 || length > record->bytesInUse - at) return kNtfsCorrupt;
    const uint32_t nameEnd = LoadU16LE(p + 10) + 2u * p[9];
    if (p[9] && nameEnd > length) return kNtfsCorrupt;
    if (p[8] == 0) {
      const uint32_t valueOffset = LoadU16LE(p + 20);
      if (valueOffset > length || LoadU32LE(p + 16) > length - valueOffset) return kNtfsCorrupt;
    } else {
      if (length < 64 || LoadU16LE(p + 32) > length) return kNtfsCorrupt;
    }
    record->attributes.push_back({at, length});
    at += length;
  }
}

// Reads `count` bytes of the $MFT at byte `offset` (whole records).
int ReadMftBytes(CImageDocument* document, CNtfsVolume* v, int64_t offset, uint8_t* out, int64_t count);

// Reads, fixes up and parses MFT record `number`.
int ReadRecord(CImageDocument* document, CNtfsVolume* v, uint64_t number, Record* record) {
  record->number = number;
  record->attributes.clear();
  const uint64_t size = v->recordSize;
  if (!v->mft || number > static_cast<uint64_t>(INT64_MAX) / size - 1 ||
      static_cast<int64_t>((number + 1) * size) > v->mft->dataSize)
    return kNtfsOutOfRange;
  try {
    record->bytes.resize(size);
  } catch (const std::bad_alloc&) {
    return kNtfsIoError;
  }
  const int got =
      ReadMftBytes(document, v, static_cast<int64_t>(number * size), record->bytes.data(), static_cast<int64_t>(size));
  if (got < 0) return got;
  if (std::memcmp(record->bytes.data(), "FILE", 4) != 0) {
    SetDamaged(document, v);
    return kNtfsCorrupt;
  }
  if (NtfsApplyFixups(record->bytes.data(), v->recordSize) < 0) {
    SetDamaged(document, v);
    return kNtfsBadFixups;
  }
  const int parsed = ParseAttributes(record);
  if (parsed < 0) SetDamaged(document, v);
  return parsed;
}

// A base record with the extent records its attribute list names.
struct RecordSet {
  std::vector<Record> records;  // base first
  bool hasList = false;
};

// The attributes of a type and name; a named attribute is matched exactly, else through the volume's upcase table.
std::vector<Attribute> FindAttributes(const RecordSet& set, uint32_t type, const std::u16string& name,
                                      const CNtfsVolume* v = nullptr) {
  std::vector<Attribute> found;
  for (bool ignoreCase : {false, true}) {
    for (const Record& record : set.records)
      for (const auto& [at, length] : record.attributes) {
        Attribute a{record.bytes.data() + at, length};
        if (a.type() != type) continue;
        const std::u16string own = a.name();
        if (NtfsCompareNames(v, own.data(), own.size(), name.data(), name.size(), ignoreCase) == 0) found.push_back(a);
      }
    if (!found.empty() || name.empty() || !v) break;
  }
  return found;
}

// Decodes one non-resident attribute (and its extents) into an inode's sizes and runs.
int LoadNonResident(CNtfsVolume* v, std::vector<Attribute> parts, CNtfsInode* inode) {
  std::sort(parts.begin(), parts.end(),
            [](const Attribute& a, const Attribute& b) { return a.lowestVcn() < b.lowestVcn(); });
  const Attribute& first = parts.front();
  if (first.lowestVcn() != 0) return kNtfsCorrupt;
  ByteReader r(first.p, first.length);
  inode->allocatedSize = static_cast<int64_t>(r.U64LEAt(40));
  inode->dataSize = static_cast<int64_t>(r.U64LEAt(48));
  inode->initializedSize = static_cast<int64_t>(r.U64LEAt(56));
  const bool packed = (first.flags() & 0x80FF) != 0;
  inode->compressedSize = packed ? static_cast<int64_t>(r.U64LEAt(64)) : inode->allocatedSize;
  const uint8_t unit = r.U8At(34);
  if (!r.ok() || inode->dataSize < 0 || inode->allocatedSize < 0 || inode->initializedSize < 0 ||
      inode->dataSize > kMaxVcn * v->clusterSize)
    return kNtfsCorrupt;
  inode->initializedSize = std::min(inode->initializedSize, inode->dataSize);
  inode->state |= kNtfsStateNonResident;
  if (first.flags() & 0x00FF) {
    inode->state |= kNtfsStateCompressed;
    // LZNT1 in blocks of 16 clusters, on clusters of at most 4 KiB, is the only compression there is.
    if ((first.flags() & 0x00FF) != 1 || v->clusterSize > 4096 || unit != 4) return kNtfsUnsupported;
    inode->clustersPerBlock = 1u << unit;
    inode->blockSize = inode->clustersPerBlock * v->clusterSize;
  }
  inode->runs.clear();
  int64_t next = 0;
  for (const Attribute& part : parts) {
    if (part.lowestVcn() != next) return kNtfsCorrupt;  // extents must follow each other without gaps
    const size_t before = inode->runs.size();
    if (NtfsDecodeMappingPairs(part.p, part.length, v->clusterCount, &inode->runs) < 0) return kNtfsCorrupt;
    for (size_t i = before; i < inode->runs.size(); ++i) next = inode->runs[i].vcn + inode->runs[i].length;
  }
  return 1;
}

int LoadAttribute(CNtfsVolume* v, const RecordSet& set, uint32_t type, const std::u16string& name, CNtfsInode* inode) {
  std::vector<Attribute> parts = FindAttributes(set, type, name, v);
  if (parts.empty()) return kNtfsNotFound;
  inode->type = type;
  inode->name = name;
  const uint16_t flags = parts.front().flags();
  if (flags & 0x4000) inode->state |= kNtfsStateEncrypted;
  if (flags & 0x8000) inode->state |= kNtfsStateSparse;
  if ((flags & 0x4000) && (flags & 0x00FF)) return kNtfsUnsupported;
  if (!parts.front().nonResident()) {
    if (parts.size() != 1) return kNtfsCorrupt;
    const Attribute& a = parts.front();
    try {
      inode->value.assign(a.value(), a.value() + a.valueLength());
    } catch (const std::bad_alloc&) {
      return kNtfsIoError;
    }
    inode->dataSize = inode->initializedSize = a.valueLength();
    inode->allocatedSize = a.length - LoadU16LE(a.p + 20);
    return 1;
  }
  for (const Attribute& a : parts)
    if (!a.nonResident()) return kNtfsCorrupt;
  return LoadNonResident(v, std::move(parts), inode);
}

// Loads the extent records named by the base record's attribute list.
int LoadExtents(CImageDocument* document, CNtfsVolume* v, RecordSet* set) {
  std::vector<Attribute> lists = FindAttributes(*set, kAttrAttributeList, u"");
  if (lists.empty()) return 1;
  if (lists.size() != 1) return kNtfsCorrupt;
  set->hasList = true;
  CNtfsInode list;
  list.recordNumber = set->records.front().number;
  const Attribute& a = lists.front();
  if (a.flags() & 0x00FF) return kNtfsCorrupt;
  std::vector<uint8_t> bytes;
  if (!a.nonResident()) {
    if (a.flags()) return kNtfsCorrupt;
    bytes.assign(a.value(), a.value() + a.valueLength());
  } else {
    const int loaded = LoadNonResident(v, {a}, &list);
    if (loaded < 0) return loaded;
    if (list.dataSize > kMaxAttributeList) return kNtfsCorrupt;
    list.state |= kNtfsStateIndex;  // read as it is
    bytes.resize(static_cast<size_t>(list.dataSize));
    if (NtfsReadFileRange(document, &list, bytes.data(), 0, list.dataSize) < 0) return kNtfsCorrupt;
  }
  std::vector<uint64_t> wanted;
  std::unordered_set<uint64_t> seen{set->records.front().number};
  ByteReader r(bytes.data(), bytes.size());
  for (size_t at = 0; at + 26 <= bytes.size();) {
    const uint16_t length = r.U16LEAt(at + 4);
    if (length < 26 || length > bytes.size() - at) return kNtfsCorrupt;
    const uint64_t reference = r.U64LEAt(at + 16) & kReferenceMask;
    if (seen.insert(reference).second) {
      if (seen.size() > kMaxExtentRecords) return kNtfsCorrupt;
      wanted.push_back(reference);
    }
    at += (length + 7u) & ~7u;
  }
  for (uint64_t number : wanted) {
    Record extent;
    const int read = ReadRecord(document, v, number, &extent);
    if (read < 0) return read;
    // An extent belongs to this base record and to no other, and holds no list of its own.
    if (!(extent.flags & 1) || extent.baseReference != set->records.front().number) return kNtfsCorrupt;
    set->records.push_back(std::move(extent));
    for (const auto& [at, length] : set->records.back().attributes)
      if (LoadU32LE(set->records.back().bytes.data() + at) == kAttrAttributeList) return kNtfsCorrupt;
  }
  return 1;
}

int OpenRecordSet(CImageDocument* document, CNtfsVolume* v, uint64_t number, RecordSet* set) {
  set->records.emplace_back();
  const int read = ReadRecord(document, v, number, &set->records.back());
  if (read < 0) return read;
  const Record& base = set->records.front();
  if (!(base.flags & 1)) return kNtfsNotFound;
  if (base.baseReference != 0) return kNtfsCorrupt;
  return LoadExtents(document, v, set);
}

// Opens the "$I30" index of a directory into the inode.
int LoadDirectory(CImageDocument* document, CNtfsVolume* v, const RecordSet& set, CNtfsInode* inode) {
  CNtfsInode root;
  const int loaded = LoadAttribute(v, set, kAttrIndexRoot, kI30, &root);
  if (loaded < 0) return loaded;
  if (root.state & kNtfsStateNonResident) return kNtfsCorrupt;
  ByteReader r(root.value.data(), root.value.size());
  const uint32_t indexedType = r.U32LEAt(0);
  const uint32_t collation = r.U32LEAt(4);
  const uint32_t blockSize = r.U32LEAt(8);
  const uint8_t headerFlags = r.U8At(28);
  if (!r.ok() || indexedType != kAttrFileName || collation != 1) return kNtfsCorrupt;
  if (blockSize < 512 || blockSize > 4096 || !IsPowerOfTwo(blockSize)) return kNtfsCorrupt;
  inode->indexRoot = std::move(root.value);
  inode->indexBlockSize = blockSize;
  inode->indexVcnSize = blockSize >= v->clusterSize ? v->clusterSize : v->sectorSize;
  inode->type = kAttrIndexRoot;
  inode->name = kI30;
  inode->state |= kNtfsStateIndex;
  if (!(headerFlags & 1)) return 1;
  auto allocation = std::make_unique<CNtfsInode>();
  auto bitmap = std::make_unique<CNtfsInode>();
  allocation->recordNumber = bitmap->recordNumber = inode->recordNumber;
  if (LoadAttribute(v, set, kAttrIndexAllocation, kI30, allocation.get()) < 0 ||
      !(allocation->state & kNtfsStateNonResident) ||
      (allocation->state & (kNtfsStateCompressed | kNtfsStateEncrypted | kNtfsStateSparse)))
    return kNtfsCorrupt;
  if (LoadAttribute(v, set, kAttrBitmap, kI30, bitmap.get()) < 0 || bitmap->dataSize > kMaxIndexBitmap)
    return kNtfsCorrupt;
  const uint64_t blocks = static_cast<uint64_t>(allocation->dataSize) >> Log2(blockSize);
  if (static_cast<uint64_t>(bitmap->dataSize) * 8 < blocks) {
    SetDamaged(document, v);
    return kNtfsCorrupt;
  }
  allocation->state |= kNtfsStateIndex;
  bitmap->state |= kNtfsStateIndex;
  inode->indexAllocation = std::move(allocation);
  inode->indexBitmap = std::move(bitmap);
  return 1;
}

// The parent directory named by the record's first $FILE_NAME, or ~0 when it has none.
uint64_t ParentOf(const RecordSet& set) {
  for (const Attribute& a : FindAttributes(set, kAttrFileName, u""))
    if (!a.nonResident() && a.valueLength() >= 8) return LoadU64LE(a.value()) & kReferenceMask;
  return ~uint64_t{0};
}

int OpenInode(CImageDocument* document, CNtfsVolume* v, uint64_t number, CNtfsInode* inode) {
  RecordSet set;
  int result = OpenRecordSet(document, v, number, &set);
  if (result < 0) return result;
  const Record& base = set.records.front();
  inode->recordNumber = number;
  inode->sequence = base.sequence;
  inode->recordFlags = base.flags;
  if (set.hasList) inode->state |= kNtfsStateAttributeList;
  std::vector<Attribute> info = FindAttributes(set, kAttrStandardInformation, u"");
  if (info.empty() || info.front().nonResident() || info.front().valueLength() < 36) return kNtfsCorrupt;
  for (int i = 0; i < 4; ++i) inode->times[i] = static_cast<int64_t>(LoadU64LE(info.front().value() + 8 * i));
  inode->fileAttributes = LoadU32LE(info.front().value() + 32);
  inode->hasStandardInformation = 1;
  if (base.flags & 2) return LoadDirectory(document, v, set, inode);
  result = LoadAttribute(v, set, kAttrData, u"", inode);
  if (result == kNtfsNotFound && (number == kRecordSecure || ParentOf(set) == kRecordExtend)) {
    inode->type = kAttrData;
    return 1;
  }
  return result;
}

int ReadMftBytes(CImageDocument* document, CNtfsVolume* v, int64_t offset, uint8_t* out, int64_t count) {
  return NtfsReadFileRange(document, v->mft.get(), out, offset, count);
}

// ---- File data ----

// The index of the run holding `vcn`, or -1.
int64_t FindRun(const CNtfsInode* inode, int64_t vcn) {
  const auto& runs = inode->runs;
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn, [](int64_t x, const CNtfsRun& r) { return x < r.vcn; });
  if (it == runs.begin()) return -1;
  --it;
  if (vcn >= it->vcn + it->length) return -1;
  return it - runs.begin();
}

// Stored (not compressed) non-resident data of [offset, offset + count), all below the data size.
int ReadStored(CImageDocument* document, CNtfsVolume* v, const CNtfsInode* inode, uint8_t* out, int64_t offset,
               int64_t count) {
  const int64_t end = offset + count;
  const int64_t initialized = std::min(inode->initializedSize, inode->dataSize);
  int64_t pos = offset;
  while (pos < end) {
    if (pos >= initialized) {
      std::memset(out + (pos - offset), 0, static_cast<size_t>(end - pos));
      break;
    }
    const int64_t vcn = pos >> v->clusterBits;
    const int64_t index = FindRun(inode, vcn);
    if (index < 0) return kNtfsOutOfRange;
    const CNtfsRun& run = inode->runs[static_cast<size_t>(index)];
    const int64_t runEnd = (run.vcn + run.length) << v->clusterBits;
    const int64_t take = std::min({runEnd, initialized, end}) - pos;
    if (run.lcn == kNtfsLcnHole) {
      std::memset(out + (pos - offset), 0, static_cast<size_t>(take));
    } else {
      const int64_t within = pos - (run.vcn << v->clusterBits);
      if (!ReadClusters(document, v, run.lcn, run.length, within, out + (pos - offset), take)) return kNtfsIoError;
    }
    pos += take;
  }
  return 1;
}

// Makes compression block `block` of the inode the volume's current decompressed block.
int LoadCompressedBlock(CImageDocument* document, CNtfsVolume* v, const CNtfsInode* inode, int64_t block) {
  if (v->compressedIndex == block && v->compressedRecord == inode->recordNumber) return 1;
  v->compressedIndex = -1;
  const int64_t cs = v->clusterSize;
  const int64_t perBlock = inode->clustersPerBlock;
  try {
    v->compressedBlock.resize(inode->blockSize);
    v->compressedInput.resize(inode->blockSize);
  } catch (const std::bad_alloc&) {
    return kNtfsIoError;
  }
  // The block's clusters: the allocated ones are read in vcn order, holes counted.
  struct Piece {
    int64_t lcn, clusters, at;
  };
  std::vector<Piece> pieces;
  int64_t allocated = 0;
  for (int64_t vcn = block * perBlock; vcn < (block + 1) * perBlock;) {
    const int64_t index = FindRun(inode, vcn);
    if (index < 0) return kNtfsOutOfRange;
    const CNtfsRun& run = inode->runs[static_cast<size_t>(index)];
    const int64_t n = std::min(run.vcn + run.length, (block + 1) * perBlock) - vcn;
    if (run.lcn != kNtfsLcnHole) {
      pieces.push_back({run.lcn + (vcn - run.vcn), n, allocated});
      allocated += n;
    }
    vcn += n;
  }
  uint8_t* target = allocated == perBlock ? v->compressedBlock.data() : v->compressedInput.data();
  for (const Piece& piece : pieces)
    if (!ReadClusters(document, v, piece.lcn, piece.clusters, 0, target + piece.at * cs, piece.clusters * cs))
      return kNtfsIoError;
  if (allocated == 0) {
    std::memset(v->compressedBlock.data(), 0, v->compressedBlock.size());
  } else if (allocated < perBlock) {
    if (Lznt1DecodeBlock(v->compressedInput.data(), static_cast<size_t>(allocated * cs), v->compressedBlock.data(),
                         v->compressedBlock.size()) < 0)
      return kNtfsCorrupt;
  }
  v->compressedRecord = inode->recordNumber;
  v->compressedIndex = block;
  return 1;
}

int ReadCompressed(CImageDocument* document, CNtfsVolume* v, const CNtfsInode* inode, uint8_t* out, int64_t offset,
                   int64_t count) {
  const int64_t end = offset + count;
  const int64_t initialized = std::min(inode->initializedSize, inode->dataSize);
  const int64_t blockSize = inode->blockSize;
  for (int64_t pos = offset; pos < end;) {
    if (pos >= initialized) {
      std::memset(out + (pos - offset), 0, static_cast<size_t>(end - pos));
      break;
    }
    const int64_t block = pos / blockSize;
    const int64_t take = std::min({(block + 1) * blockSize, initialized, end}) - pos;
    const int loaded = LoadCompressedBlock(document, v, inode, block);
    if (loaded < 0) return loaded;
    std::memcpy(out + (pos - offset), v->compressedBlock.data() + (pos - block * blockSize), static_cast<size_t>(take));
    pos += take;
  }
  return 1;
}

// ---- Directories and the tree ----

int64_t NtfsTimeToUnix(int64_t t) {
  constexpr int64_t kPerSecond = 10000000;
  constexpr int64_t kEpochDelta = 11644473600LL;
  int64_t seconds = t / kPerSecond;
  if (t % kPerSecond < 0) --seconds;
  return seconds - kEpochDelta;
}

std::wstring WidenUtf16(const uint8_t* p, size_t units) {
  std::wstring out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = LoadU16LE(p + 2 * i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const uint32_t low = LoadU16LE(p + 2 * i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

// One file-name entry of an index, as met.
struct IndexItem {
  uint64_t record;
  std::wstring name;
  int64_t changeTime;
  int64_t dataSize;
  uint32_t attributes;
};

// Parses the entries after an index header (`header`, `size` bytes available from it) until the last one.
// false when an entry does not fit.
bool ParseIndexEntries(const uint8_t* header, size_t size, std::vector<IndexItem>* items) {
  ByteReader r(header, size);
  const uint32_t first = r.U32LEAt(0);
  const uint32_t used = r.U32LEAt(4);
  if (!r.ok() || used > size || first < 16 || first > used) return false;
  for (uint32_t at = first;;) {
    if (used - at < 16) return false;
    const uint8_t* e = header + at;
    const uint16_t length = LoadU16LE(e + 8);
    const uint16_t keyLength = LoadU16LE(e + 10);
    const uint8_t flags = e[12];
    if (length < 16 || length % 8 != 0 || length > used - at) return false;
    if (flags & 2) return true;
    if (keyLength < 66 || 16u + keyLength > length) return false;
    const uint8_t* key = e + 16;
    const uint8_t nameLength = key[64];
    const uint8_t space = key[65];
    if (66u + 2u * nameLength > keyLength) return false;
    if (space != 2 && nameLength > 0) {
      IndexItem item;
      item.record = LoadU64LE(e) & kReferenceMask;
      item.name = WidenUtf16(key + 66, nameLength);
      item.changeTime = static_cast<int64_t>(LoadU64LE(key + 16));
      item.dataSize = static_cast<int64_t>(LoadU64LE(key + 48));
      item.attributes = LoadU32LE(key + 56);
      items->push_back(std::move(item));
    }
    at += length;
  }
}

// Every file-name entry of a directory: the index root's, then those of each index block in use.
bool ReadDirectory(CImageDocument* document, CNtfsInode* dir, std::vector<IndexItem>* items) {
  if (dir->indexRoot.size() < 16 || !ParseIndexEntries(dir->indexRoot.data() + 16, dir->indexRoot.size() - 16, items))
    return false;
  if (!dir->indexAllocation) return true;
  std::vector<uint8_t> bitmap(static_cast<size_t>(dir->indexBitmap->dataSize));
  if (NtfsReadFileRange(document, dir->indexBitmap.get(), bitmap.data(), 0, dir->indexBitmap->dataSize) < 0)
    return false;
  const uint32_t blockSize = dir->indexBlockSize;
  const int64_t blocks = dir->indexAllocation->dataSize / blockSize;
  std::vector<uint8_t> block(blockSize);
  for (int64_t b = 0; b < blocks && static_cast<size_t>(b / 8) < bitmap.size(); ++b) {
    if (!(bitmap[static_cast<size_t>(b / 8)] & (1u << (b % 8)))) continue;
    if (NtfsReadFileRange(document, dir->indexAllocation.get(), block.data(), b * blockSize, blockSize) < 0)
      return false;
    if (std::memcmp(block.data(), "INDX", 4) != 0 || NtfsApplyFixups(block.data(), blockSize) < 0) return false;
    const int64_t vcn = static_cast<int64_t>(LoadU64LE(block.data() + 16));
    if (vcn < 0 || vcn > INT64_MAX / dir->indexVcnSize || vcn * dir->indexVcnSize != b * blockSize) return false;
    if (!ParseIndexEntries(block.data() + 24, blockSize - 24, items)) return false;
  }
  return true;
}

wchar_t* DupWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(MemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy) std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The tree entry of one index item; the file's own record gives its size and times where it can be opened.
CTreeEntry* MakeEntry(CImageDocument* document, CNtfsVolume* v, const IndexItem& item, bool* directory, bool* damaged) {
  CNtfsInode inode;
  const int opened = OpenInode(document, v, item.record, &inode);
  if (opened < 0 && opened != kNtfsUnsupported) *damaged = true;
  *directory = opened >= 0 ? (inode.recordFlags & 2) != 0 : (item.attributes & 0x10000000) != 0;
  CTreeEntry* entry = TreeNewEntry();
  if (!entry) return nullptr;
  entry->name = DupWide(item.name);
  auto* locator = static_cast<CNtfsLocator*>(MemZeroAlloc(sizeof(CNtfsLocator)));
  if (!entry->name || !locator) {
    MemFree(locator);
    TreeFreeEntry(document, entry);
    return nullptr;
  }
  locator->recordNumber = item.record;
  locator->fileAttributes = item.attributes;
  if (inode.state & kNtfsStateCompressed) locator->fileAttributes |= kFileAttrCompressed;
  if (inode.state & kNtfsStateEncrypted) locator->fileAttributes |= kFileAttrEncrypted;
  entry->fsRecord = reinterpret_cast<uint8_t*>(locator);
  entry->fsRecordSize = sizeof(CNtfsLocator);
  entry->sourceLba = static_cast<int64_t>(item.record);
  // The index holds copies of the size and times that are not always kept up to date; the record has them.
  const int64_t size = *directory ? 0 : opened >= 0 ? inode.dataSize : std::max<int64_t>(0, item.dataSize);
  entry->size = size;
  const int64_t when = opened >= 0 && inode.hasStandardInformation ? inode.times[1] : item.changeTime;
  uint8_t* record = entry->directoryRecord;
  record[kDirRecordLength] = kDirRecordCopySize;
  PutBothEndian32(record + kDirRecordDataLength, static_cast<uint32_t>(std::min<int64_t>(size, UINT32_MAX)));
  PutBothEndian16(record + kDirRecordVolumeSequence, 1);
  if (when != 0) IsoEncodeRecordDate(record + kDirRecordDate, NtfsTimeToUnix(when));
  record[kDirRecordFlags] = *directory ? kDirFlagDirectory : 0;
  return entry;
}

struct PendingDirectory {
  CTreeFolder* folder;
  uint64_t record;
};

}  // namespace

// ---- Public interface ----

int NtfsApplyFixups(uint8_t* record, uint32_t size) {
  if (!record || size < 8) return 1;
  const uint16_t offset = LoadU16LE(record + 4);
  const uint16_t count = LoadU16LE(record + 6);
  if (size % 512 != 0 || offset % 2 != 0 || count <= 1) return 1;
  const uint32_t stride = size / (count - 1u);
  if (stride * (count - 1u) != size || stride < 256 || !IsPowerOfTwo(stride)) return 1;
  if (static_cast<uint32_t>(offset) + 2u * count > size) return 1;
  const uint8_t* array = record + offset;
  for (uint32_t i = 1; i < count; ++i) {
    uint8_t* tail = record + i * stride - 2;
    if (tail[0] != array[0] || tail[1] != array[1]) {
      std::memcpy(record, "BAAD", 4);
      return kNtfsBadFixups;
    }
  }
  for (uint32_t i = 1; i < count; ++i) std::memcpy(record + i * stride - 2, array + 2 * i, 2);
  return 1;
}

int NtfsDecodeMappingPairs(const uint8_t* attribute, uint32_t length, uint64_t clusterCount,
                           std::vector<CNtfsRun>* runs) {
  if (!attribute || length < 64 || !runs) return kNtfsCorrupt;
  int64_t vcn = static_cast<int64_t>(LoadU64LE(attribute + 16));
  uint32_t at = LoadU16LE(attribute + 32);
  if (vcn < 0 || vcn > kMaxVcn || at > length) return kNtfsCorrupt;
  int64_t lcn = 0;
  while (at < length) {
    const uint8_t header = attribute[at++];
    if (header == 0) return 1;
    const uint32_t lengthBytes = header & 0x0F;
    const uint32_t lcnBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || lcnBytes > 8 || lengthBytes + lcnBytes > length - at)
      return kNtfsCorrupt;
    int64_t count = 0;
    for (uint32_t i = 0; i < lengthBytes; ++i) count |= static_cast<int64_t>(attribute[at + i]) << (8 * i);
    if (lengthBytes < 8 && (attribute[at + lengthBytes - 1] & 0x80)) count |= -(int64_t{1} << (8 * lengthBytes));
    at += lengthBytes;
    if (count <= 0 || count > kMaxVcn - vcn) return kNtfsCorrupt;
    int64_t runLcn = kNtfsLcnHole;
    if (lcnBytes) {
      uint64_t delta = 0;
      for (uint32_t i = 0; i < lcnBytes; ++i) delta |= static_cast<uint64_t>(attribute[at + i]) << (8 * i);
      if (lcnBytes < 8 && (attribute[at + lcnBytes - 1] & 0x80)) delta |= ~uint64_t{0} << (8 * lcnBytes);
      at += lcnBytes;
      const int64_t d = static_cast<int64_t>(delta);
      if ((d > 0 && lcn > INT64_MAX - d) || (d < 0 && lcn < INT64_MIN - d)) return kNtfsCorrupt;
      lcn += d;
      // A run must lie inside the volume.
      if (lcn < 0 || static_cast<uint64_t>(lcn) > clusterCount || static_cast<uint64_t>(count) > clusterCount - lcn)
        return kNtfsCorrupt;
      runLcn = lcn;
    }
    if (!runs->empty() && runs->back().lcn == kNtfsLcnHole && runLcn == kNtfsLcnHole &&
        runs->back().vcn + runs->back().length == vcn) {
      runs->back().length += count;
    } else {
      try {
        runs->push_back({vcn, runLcn, count});
      } catch (const std::bad_alloc&) {
        return kNtfsIoError;
      }
    }
    vcn += count;
  }
  return 1;
}

std::unique_ptr<CNtfsInode> NtfsOpenInode(CImageDocument* document, uint64_t record, int* error) {
  int dummy = 0;
  int* result = error ? error : &dummy;
  *result = kNtfsNotFound;
  if (!document || !document->ntfs) return nullptr;
  std::unique_ptr<CNtfsInode> inode;
  try {
    inode = std::make_unique<CNtfsInode>();
  } catch (const std::bad_alloc&) {
    *result = kNtfsIoError;
    return nullptr;
  }
  *result = OpenInode(document, document->ntfs, record, inode.get());
  if (*result < 0) return nullptr;
  return inode;
}

int NtfsReadFileRange(CImageDocument* document, CNtfsInode* inode, void* buffer, int64_t offset, int64_t count) {
  if (!document || !document->ntfs || !inode || (!buffer && count > 0)) return kNtfsOutOfRange;
  if (count <= 0) return count == 0 ? 1 : kNtfsOutOfRange;
  if (offset < 0 || offset > INT64_MAX - count) return kNtfsOutOfRange;
  CNtfsVolume* v = document->ntfs;
  auto* out = static_cast<uint8_t*>(buffer);
  if (!(inode->state & kNtfsStateIndex) && (inode->state & kNtfsStateEncrypted)) {
    LastErrorSetText(L"The file is encrypted.");
    AbortCodeSet(kAbortEncryptedNtfs);
    return kNtfsEncrypted;
  }
  const int64_t end = offset + count;
  const int64_t dataEnd = std::clamp<int64_t>(inode->dataSize, offset, end);
  std::memset(out + (dataEnd - offset), 0, static_cast<size_t>(end - dataEnd));
  if (dataEnd == offset) return 1;
  const int64_t n = dataEnd - offset;
  if (!(inode->state & kNtfsStateNonResident)) {
    const int64_t have =
        std::clamp<int64_t>(std::min<int64_t>(inode->value.size(), inode->initializedSize), offset, dataEnd);
    if (have > offset) std::memcpy(out, inode->value.data() + offset, static_cast<size_t>(have - offset));
    std::memset(out + (have - offset), 0, static_cast<size_t>(dataEnd - have));
    return 1;
  }
  if (inode->state & kNtfsStateCompressed) return ReadCompressed(document, v, inode, out, offset, n);
  return ReadStored(document, v, inode, out, offset, n);
}

namespace {

bool CheckBootSector(const uint8_t* b) {
  if (std::memcmp(b + 3, "NTFS    ", 8) != 0) return false;
  const uint32_t bytesPerSector = LoadU16LE(b + 11);
  const uint32_t sectorsPerCluster = b[13];
  if (bytesPerSector < 256 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector)) return false;
  if (!IsPowerOfTwo(sectorsPerCluster) || bytesPerSector * sectorsPerCluster > 65536) return false;
  if (LoadU16LE(b + 14) || b[16] || LoadU16LE(b + 17) || LoadU16LE(b + 19) || LoadU16LE(b + 22) || LoadU32LE(b + 32))
    return false;
  for (const int at : {64, 68}) {
    const int8_t n = static_cast<int8_t>(b[at]);
    if (!((n > 0 && n <= 64 && IsPowerOfTwo(static_cast<uint32_t>(n))) || (n >= -31 && n <= -9))) return false;
  }
  return true;
}

uint32_t RecordSizeOf(int8_t n, uint32_t clusterSize) {
  return n > 0 ? clusterSize * static_cast<uint32_t>(n) : 1u << -n;
}

// Reads the label and version from $Volume.
int ReadVolumeRecord(CImageDocument* document, CNtfsVolume* v) {
  RecordSet set;
  const int opened = OpenRecordSet(document, v, kRecordVolume, &set);
  if (opened < 0) return opened;
  std::vector<Attribute> info = FindAttributes(set, kAttrVolumeInformation, u"");
  if (info.empty() || info.front().nonResident() || info.front().flags() || info.front().valueLength() < 12)
    return kNtfsCorrupt;
  const uint8_t* value = info.front().value();
  v->majorVersion = value[8];
  v->minorVersion = value[9];
  v->volumeFlags = LoadU16LE(value + 10);
  document->identifiers[kVolumeLabel][0] = 0;
  std::vector<Attribute> names = FindAttributes(set, kAttrVolumeName, u"");
  if (!names.empty() && !names.front().nonResident()) {
    const uint32_t bytes = std::min<uint32_t>(names.front().valueLength(), 2046);
    std::wstring label = WidenUtf16(names.front().value(), bytes / 2);
    label.resize(std::min<size_t>(label.size(), kVolumeIdentifierChars - 1));
    std::wmemcpy(document->identifiers[kVolumeLabel], label.c_str(), label.size() + 1);
  }
  return 1;
}

// The volume's upcase table from $UpCase; the default one when that cannot be read or is not a table.
void LoadUpcase(CImageDocument* document, CNtfsVolume* v) {
  NtfsChooseUpcase(v, nullptr, 0);
  CNtfsInode upcase;
  if (OpenInode(document, v, kRecordUpcase, &upcase) < 0 || upcase.dataSize < 2 ||
      upcase.dataSize > kNtfsMaxUpcaseBytes || (upcase.state & (kNtfsStateCompressed | kNtfsStateEncrypted)))
    return;
  std::vector<uint8_t> data(static_cast<size_t>(upcase.dataSize));
  if (NtfsReadFileRange(document, &upcase, data.data(), 0, upcase.dataSize) < 0) return;
  NtfsChooseUpcase(v, data.data(), upcase.dataSize);
}

int Mount(CImageDocument* document, CNtfsVolume* v) {
  const int32_t ss = document->sectorSize > 0 ? document->sectorSize : 512;
  v->documentSectorSize = ss;
  v->partitionStart = document->partitionStart;
  v->partitionSectors = document->partitionLength > 0 ? document->partitionLength : document->fileSize / ss;
  if (v->partitionSectors <= 0 || v->partitionSectors > INT64_MAX / ss) return 0;
  v->flags = kFlagSparseSupport;
  std::vector<uint8_t> boot(static_cast<size_t>(std::max(ss, 512)));
  bool found = false;
  for (const int64_t sector : {int64_t{0}, v->partitionSectors - 1, v->partitionSectors / 2}) {
    if (ImageReadDiskSectors(document, v->partitionStart + sector, boot.data(), 1) == 1 &&
        CheckBootSector(boot.data())) {
      found = true;
      break;
    }
  }
  if (!found) return 0;
  const uint8_t* b = boot.data();
  v->sectorSize = LoadU16LE(b + 11);
  v->clusterSize = v->sectorSize * b[13];
  v->clusterBits = Log2(v->clusterSize);
  v->recordSize = RecordSizeOf(static_cast<int8_t>(b[64]), v->clusterSize);
  v->indexRecordSize = RecordSizeOf(static_cast<int8_t>(b[68]), v->clusterSize);
  if (v->recordSize < v->sectorSize || v->indexRecordSize < v->sectorSize || v->recordSize > 65536) return 0;
  const int64_t totalSectors = static_cast<int64_t>(LoadU64LE(b + 40));
  if (totalSectors <= 0) return 0;
  const int64_t clusters = totalSectors >> Log2(b[13]);
  if (clusters <= 0 || clusters > UINT32_MAX || clusters > v->partitionSectors) return 0;
  v->clusterCount = static_cast<uint32_t>(clusters);
  v->mftCluster = static_cast<int64_t>(LoadU64LE(b + 48));
  v->mftMirrorCluster = static_cast<int64_t>(LoadU64LE(b + 56));
  if (v->mftCluster < 0 || v->mftCluster >= clusters || v->mftMirrorCluster < 0 || v->mftMirrorCluster >= clusters)
    return 0;
  v->serialNumber = LoadU64LE(b + 72);
  v->clusterCache = BlockCacheCreate(kClusterCacheSlots);
  if (!v->clusterCache) return 0;

  // Record 0 is read where the boot sector says; its $DATA (the part in the record) then maps the rest.
  Record mftRecord;
  try {
    mftRecord.bytes.resize(v->recordSize);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!ReadPartitionBytes(document, v, v->mftCluster * v->clusterSize, mftRecord.bytes.data(), v->recordSize)) return 0;
  if (std::memcmp(mftRecord.bytes.data(), "FILE", 4) != 0 ||
      NtfsApplyFixups(mftRecord.bytes.data(), v->recordSize) < 0 || ParseAttributes(&mftRecord) < 0)
    return 0;
  {
    RecordSet first;
    first.records.push_back(std::move(mftRecord));
    std::vector<Attribute> data = FindAttributes(first, kAttrData, u"");
    auto start = std::find_if(data.begin(), data.end(),
                              [](const Attribute& a) { return a.nonResident() && a.lowestVcn() == 0; });
    if (start == data.end()) return 0;
    auto mft = std::make_unique<CNtfsInode>();
    if (LoadNonResident(v, {*start}, mft.get()) < 0 || (mft->state & kNtfsStateCompressed)) return 0;
    mft->state |= kNtfsStateIndex;
    v->mft = std::move(mft);
  }
  auto mft = std::make_unique<CNtfsInode>();
  if (OpenInode(document, v, kRecordMft, mft.get()) < 0 || !(mft->state & kNtfsStateNonResident) ||
      (mft->state & (kNtfsStateCompressed | kNtfsStateEncrypted)))
    return 0;
  mft->state |= kNtfsStateIndex;
  v->mft = std::move(mft);

  auto bitmap = std::make_unique<CNtfsInode>();
  if (OpenInode(document, v, kRecordBitmap, bitmap.get()) < 0 ||
      bitmap->dataSize < (static_cast<int64_t>(v->clusterCount) + 7) / 8)
    return 0;
  bitmap->state |= kNtfsStateSparseWritesDisabled | kNtfsStateIndex;
  v->bitmapSize = bitmap->dataSize;
  v->bitmap = std::move(bitmap);
  LoadUpcase(document, v);
  if (ReadVolumeRecord(document, v) < 0) return 0;
  if (v->majorVersion < 3) v->flags &= ~kFlagSparseSupport;
  CNtfsInode root;
  if (OpenInode(document, v, kRecordRoot, &root) < 0 || !(root.recordFlags & 2)) return 0;
  if (v->majorVersion >= 3) {
    CNtfsInode secure, extend;
    if (OpenInode(document, v, kRecordSecure, &secure) < 0 || OpenInode(document, v, kRecordExtend, &extend) < 0)
      return 0;
  }
  // Damage met while mounting belongs to the probe, not to the tree.
  v->flags &= ~kFlagDamaged;
  return 1;
}

}  // namespace

int NtfsMountVolume(CImageDocument* document) {
  if (!document || document->sectorSize == 2048) return 0;
  NtfsUnmount(document);
  std::unique_ptr<CNtfsVolume> owned;
  try {
    owned = std::make_unique<CNtfsVolume>();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  CNtfsVolume* v = owned.get();
  document->ntfs = owned.release();
  const int32_t damagedBefore = document->treeDamaged;
  const int32_t quietBefore = document->quiet;
  document->quiet = 1;
  wchar_t label[kVolumeIdentifierChars];
  std::wmemcpy(label, document->identifiers[kVolumeLabel], kVolumeIdentifierChars);
  const int mounted = Mount(document, v);
  document->quiet = quietBefore;
  document->treeDamaged = damagedBefore;
  if (!mounted) {
    std::wmemcpy(document->identifiers[kVolumeLabel], label, kVolumeIdentifierChars);
    NtfsUnmount(document);
    return 0;
  }
  return 1;
}

void NtfsUnmount(CImageDocument* document) {
  if (!document || !document->ntfs) return;
  std::unique_ptr<CNtfsVolume> owned(document->ntfs);
  document->ntfs = nullptr;
  BlockCacheFree(owned->clusterCache);
}

int NtfsProbeVolume(CImageDocument* document) {
  if (!NtfsMountVolume(document)) return 0;
  if (document->treeOwned && document->loadTree && document->rootFolder) NtfsLoadTree(document);
  NtfsCountUsedClusters(document);
  return 1;
}

int64_t NtfsLoadTree(CImageDocument* document) {
  if (!document || !document->ntfs || !document->rootFolder) return -1;
  CNtfsVolume* v = document->ntfs;
  std::unordered_set<uint64_t> walked{kRecordRoot};
  std::vector<PendingDirectory> work{{document->rootFolder, kRecordRoot}};
  bool damaged = false;
  int64_t made = 0;
  std::vector<IndexItem> items;
  while (!work.empty()) {
    const PendingDirectory item = work.back();
    work.pop_back();
    CNtfsInode dir;
    if (OpenInode(document, v, item.record, &dir) < 0 || !(dir.recordFlags & 2)) {
      damaged = true;
      continue;
    }
    items.clear();
    // What was read before a damaged index block stays.
    if (!ReadDirectory(document, &dir, &items)) damaged = true;
    std::vector<CTreeEntry*> entries;
    for (const IndexItem& index : items) {
      // The root lists itself as "." and the system files; any other directory naming itself or the root is
      // damaged.
      if (index.record == kRecordRoot || index.record == item.record || index.record < kFirstUserRecord) {
        if (item.record != kRecordRoot && (index.record == kRecordRoot || index.record == item.record)) damaged = true;
        continue;
      }
      bool directory = false;
      CTreeEntry* entry = MakeEntry(document, v, index, &directory, &damaged);
      if (!entry) {
        damaged = true;
        continue;
      }
      if (directory) {
        CTreeFolder* node = TreeInsertFolderNode(document, item.folder, entry->name, entry, 0);
        if (!node) {
          TreeFreeEntry(document, entry);
          damaged = true;
          continue;
        }
        // A directory met twice (a loop, or a second name of one already walked) is shown, not walked again.
        if (node->depth > kTreePathMaxDepth || !walked.insert(index.record).second)
          damaged = true;
        else
          work.push_back({node, index.record});
      }
      entries.push_back(entry);
      ++made;
    }
    // Prepending in reverse keeps the index's order.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) TreeFolderPrependEntry(item.folder, *it);
  }
  if (damaged) SetDamaged(document, v);
  return made;
}

const CNtfsLocator* NtfsGetLocator(const CTreeEntry* entry) {
  if (!entry || !entry->fsRecord || entry->fsRecordSize != static_cast<int32_t>(sizeof(CNtfsLocator))) return nullptr;
  return reinterpret_cast<const CNtfsLocator*>(entry->fsRecord);
}

namespace {

// The entry's file, opened (or kept open from the last read).
CNtfsInode* OpenEntryFile(CImageDocument* document, const CTreeEntry* entry, int* error) {
  const CNtfsLocator* locator = NtfsGetLocator(entry);
  CNtfsVolume* v = document ? document->ntfs : nullptr;
  *error = kNtfsNotFound;
  if (!locator || !v) return nullptr;
  if (v->openFile && v->openFile->recordNumber == locator->recordNumber) return v->openFile.get();
  v->openFile = NtfsOpenInode(document, locator->recordNumber, error);
  if (v->openFile && (v->openFile->recordFlags & 2)) {
    v->openFile.reset();
    *error = kNtfsNotFound;
  }
  return v->openFile.get();
}

void ReportReadError(int error) {
  if (error == kNtfsEncrypted) return;  // its message and abort code are set
  if (error == kNtfsUnsupported)
    LastErrorSetText(L"The file is stored in a way that cannot be read.");
  else if (error == kNtfsIoError)
    LastErrorSetText(L"The file's data could not be read from the image.");
  else
    LastErrorSetText(L"The NTFS records of the file are damaged.");
}

}  // namespace

int64_t NtfsReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                          int64_t count) {
  int error = 0;
  CNtfsInode* inode = OpenEntryFile(document, entry, &error);
  if (!inode) {
    ReportReadError(error);
    return -1;
  }
  if (offset < 0 || count < 0) return -1;
  const int64_t n = std::clamp<int64_t>(inode->dataSize - offset, 0, count);
  if (n == 0) return 0;
  error = NtfsReadFileRange(document, inode, buffer, offset, n);
  if (error < 0) {
    ReportReadError(error);
    return -1;
  }
  return n;
}

int NtfsExtractFile(CImageDocument* document, const CTreeEntry* entry, FILE* writer) {
  int error = 0;
  CNtfsInode* inode = OpenEntryFile(document, entry, &error);
  if (!inode) {
    ReportReadError(error);
    return -1;
  }
  std::vector<uint8_t> piece(static_cast<size_t>(kExtractPiece));
  for (int64_t done = 0; done < inode->dataSize;) {
    if (AbortCodeGet() == kAbortCancelled) return 0;
    const int64_t n = std::min(kExtractPiece, inode->dataSize - done);
    error = NtfsReadFileRange(document, inode, piece.data(), done, n);
    if (error < 0) {
      ReportReadError(error);
      return -1;
    }
    if (writer && std::fwrite(piece.data(), 1, static_cast<size_t>(n), writer) != static_cast<size_t>(n)) {
      AbortCodeRaise(kAbortWriteFailed);
      return -1;
    }
    done += n;
  }
  return 1;
}

int64_t NtfsFileRun(CImageDocument* document, const CTreeEntry* entry, int64_t offset, int64_t* volumeByte) {
  int error = 0;
  CNtfsInode* inode = OpenEntryFile(document, entry, &error);
  if (!inode || offset < 0 || !volumeByte) return 0;
  if (!(inode->state & kNtfsStateNonResident) || (inode->state & (kNtfsStateCompressed | kNtfsStateEncrypted)))
    return 0;
  const CNtfsVolume* v = document->ntfs;
  const int64_t initialized = std::min(inode->initializedSize, inode->dataSize);
  if (offset >= initialized) return 0;
  const int64_t index = FindRun(inode, offset >> v->clusterBits);
  if (index < 0) return 0;
  const CNtfsRun& run = inode->runs[static_cast<size_t>(index)];
  if (run.lcn < 0) return 0;
  const int64_t within = offset - (run.vcn << v->clusterBits);
  *volumeByte = (run.lcn << v->clusterBits) + within;
  return std::min((run.vcn + run.length) << v->clusterBits, initialized) - offset;
}

int64_t NtfsCountUsedClusters(CImageDocument* document) {
  if (!document || !document->ntfs || !document->ntfs->bitmap) return 0;
  CNtfsVolume* v = document->ntfs;
  const int64_t bytes = std::min<int64_t>(v->bitmapSize, (static_cast<int64_t>(v->clusterCount) + 7) / 8);
  std::vector<uint8_t> window;
  try {
    window.resize(static_cast<size_t>(std::min(bytes, kBitmapWindow)));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  int64_t used = 0;
  for (int64_t at = 0; at < bytes; at += kBitmapWindow) {
    const int64_t n = std::min(kBitmapWindow, bytes - at);
    if (NtfsReadFileRange(document, v->bitmap.get(), window.data(), at, n) < 0) break;
    for (int64_t i = 0; i < n; ++i) {
      uint8_t bits = window[static_cast<size_t>(i)];
      // Bits past the last cluster do not count.
      const int64_t firstCluster = (at + i) * 8;
      if (firstCluster + 8 > v->clusterCount)
        bits &= static_cast<uint8_t>((1u << (v->clusterCount - firstCluster)) - 1);
      used += __builtin_popcount(bits);
    }
  }
  v->allocatedClusters = used;
  v->bitmapWindowIndex = -1;
  return used;
}

int NtfsIsSectorInUse(CImageDocument* document, int64_t sector, int64_t* sectorsLeft) {
  if (sectorsLeft) *sectorsLeft = 0;
  if (!document || !document->ntfs) return 1;
  CNtfsVolume* v = document->ntfs;
  if (sector < v->partitionStart) return 1;
  const int64_t perCluster = std::max<int64_t>(1, v->clusterSize / v->documentSectorSize);
  const int64_t relative = sector - v->partitionStart;
  const int64_t cluster = relative / perCluster;
  if (sectorsLeft) *sectorsLeft = perCluster - 1 - relative % perCluster;
  if (cluster / 8 >= v->bitmapSize || cluster >= v->clusterCount) return 1;
  const int64_t window = cluster / 8 / kBitmapWindow;
  if (window != v->bitmapWindowIndex) {
    const int64_t n = std::min(kBitmapWindow, v->bitmapSize - window * kBitmapWindow);
    try {
      v->bitmapWindow.resize(static_cast<size_t>(kBitmapWindow));
    } catch (const std::bad_alloc&) {
      return 1;
    }
    v->bitmapWindowIndex = -1;
    if (NtfsReadFileRange(document, v->bitmap.get(), v->bitmapWindow.data(), window * kBitmapWindow, n) < 0) return 1;
    v->bitmapWindowIndex = window;
  }
  const int64_t byte = cluster / 8 - window * kBitmapWindow;
  return (v->bitmapWindow[static_cast<size_t>(byte)] >> (cluster % 8)) & 1;
}
