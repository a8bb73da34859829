#include "filesystems/hfsplus.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <unordered_set>

#include "filesystems/hfs_tables.h"
#include "image/disk.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/byte_reader.h"
#include "runtime/kernel_copy.h"
#include "runtime/memory.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kMacEpochOffset = 2082844800;  // seconds from 1904 to 1970
constexpr uint32_t kRootId = 2;
constexpr uint32_t kExtentsId = 3;
constexpr uint32_t kCatalogId = 4;
constexpr uint32_t kAttributesId = 8;
constexpr uint16_t kFolderRecord = 1, kFileRecord = 2, kFolderThread = 3, kFileThread = 4;
constexpr size_t kFolderRecordBytes = 88, kFileRecordBytes = 248;
constexpr uint32_t kInlineAttribute = 0x10;
constexpr int64_t kCompressedBlock = 65536;
// Partition-map entries looked at before the map is given up.
constexpr uint32_t kMaxMapEntries = 256;

struct VolumeDeleter {
  void operator()(CHfsPlusVolume* volume) const { delete volume; }
};

class QuietProbe {
 public:
  explicit QuietProbe(CImageDocument* document) : document_(document), saved_(document->quiet) { document->quiet = 1; }
  ~QuietProbe() { document_->quiet = saved_; }

 private:
  CImageDocument* document_;
  int32_t saved_;
};

int64_t MacTime(uint32_t seconds) { return static_cast<int64_t>(seconds) - kMacEpochOffset; }

// ---- Names ----

// A stored UTF-16 name (big-endian units) as units; at most 255.
std::u16string NameUnits(std::span<const uint8_t> bytes, size_t units) {
  units = std::min({units, bytes.size() / 2, size_t{255}});
  std::u16string out(units, u'\0');
  for (size_t i = 0; i < units; ++i) out[i] = static_cast<char16_t>(LoadU16BE(bytes.data() + 2 * i));
  return out;
}

// The name as shown: surrogate pairs joined, ended at a NUL unit, a last CR or LF dropped.
std::wstring DecodeName(const std::u16string& units) {
  std::wstring name;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no character
    }
    name.push_back(static_cast<wchar_t>(c));
  }
  if (!name.empty() && (name.back() == L'\r' || name.back() == L'\n')) name.pop_back();
  return name;
}

// ---- Keys ----

std::vector<uint8_t> CatalogKey(uint32_t parent, const std::u16string& name) {
  std::vector<uint8_t> key(8 + 2 * name.size());
  const size_t length = key.size() - 2;
  key[0] = static_cast<uint8_t>(length >> 8);
  key[1] = static_cast<uint8_t>(length);
  for (int i = 0; i < 4; ++i) key[2 + i] = static_cast<uint8_t>(parent >> (24 - 8 * i));
  key[6] = static_cast<uint8_t>(name.size() >> 8);
  key[7] = static_cast<uint8_t>(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    key[8 + 2 * i] = static_cast<uint8_t>(name[i] >> 8);
    key[9 + 2 * i] = static_cast<uint8_t>(name[i]);
  }
  return key;
}

std::u16string KeyName(std::span<const uint8_t> key, size_t lengthAt) {
  ByteReader r(key.data(), key.size());
  const uint16_t units = r.U16BEAt(lengthAt);
  if (!r.ok()) return {};
  return NameUnits(key.subspan(std::min(key.size(), lengthAt + 2)), units);
}

int CompareIds(uint32_t a, uint32_t b) { return a < b ? -1 : a > b ? 1 : 0; }

int CompareCatalog(const CHfsBTree* tree, std::span<const uint8_t> search, std::span<const uint8_t> key) {
  ByteReader s(search.data(), search.size()), k(key.data(), key.size());
  if (int order = CompareIds(s.U32BEAt(2), k.U32BEAt(2))) return order;
  const std::u16string a = KeyName(search, 6), b = KeyName(key, 6);
  const auto* volume = static_cast<const CHfsPlusVolume*>(tree->volume);
  const bool binary = volume->hfsx && tree->keyCompareType == 0xBC;
  const auto* pa = reinterpret_cast<const uint16_t*>(a.data());
  const auto* pb = reinterpret_cast<const uint16_t*>(b.data());
  return binary ? HfsPlusCompareNamesBinary(pa, a.size(), pb, b.size())
                : HfsPlusCompareNamesFolded(pa, a.size(), pb, b.size());
}

int CompareExtents(const CHfsBTree*, std::span<const uint8_t> search, std::span<const uint8_t> key) {
  ByteReader s(search.data(), search.size()), k(key.data(), key.size());
  if (int order = CompareIds(s.U32BEAt(4), k.U32BEAt(4))) return order;
  if (int order = CompareIds(s.U8At(2), k.U8At(2))) return order;
  return CompareIds(s.U32BEAt(8), k.U32BEAt(8));
}

int CompareAttributes(const CHfsBTree*, std::span<const uint8_t> search, std::span<const uint8_t> key) {
  ByteReader s(search.data(), search.size()), k(key.data(), key.size());
  if (int order = CompareIds(s.U32BEAt(4), k.U32BEAt(4))) return order;
  const std::u16string a = KeyName(search, 12), b = KeyName(key, 12);
  if (int order = HfsPlusCompareNamesBinary(reinterpret_cast<const uint16_t*>(a.data()), a.size(),
                                            reinterpret_cast<const uint16_t*>(b.data()), b.size()))
    return order;
  return CompareIds(s.U32BEAt(8), k.U32BEAt(8));
}

// ---- Forks ----

void ParseForkData(const uint8_t* data, uint32_t blockSize, CHfsPlusFork* fork) {
  ByteReader r(data, 80);
  fork->magic = kHfsPlusForkMagic;
  fork->logicalSize = r.U64BE();
  r.Skip(8);  // clump size, total blocks
  uint64_t sum = 0;
  for (CHfsExtent& extent : fork->extents) {
    extent.start = r.U32BE();
    extent.count = r.U32BE();
    sum += extent.count;
  }
  fork->blocksInExtents = static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
  const uint64_t blocks = (fork->logicalSize + blockSize - 1) / blockSize;
  fork->blockCount = static_cast<uint32_t>(std::min<uint64_t>(blocks, UINT32_MAX));
  fork->uncompressedSize = fork->logicalSize;
}

// Maps block n of an extent list that starts at file block `first`: the disc block and the blocks that follow it
// in the same extent.
bool MapInExtents(const CHfsExtent* extents, int count, uint32_t first, uint32_t n, uint32_t* disc, uint32_t* run) {
  uint64_t base = first;
  for (int i = 0; i < count; ++i) {
    if (n < base + extents[i].count) {
      const uint32_t within = static_cast<uint32_t>(n - base);
      *disc = extents[i].start + within;
      *run = extents[i].count - within;
      return static_cast<uint64_t>(extents[i].start) + extents[i].count <= UINT32_MAX;
    }
    base += extents[i].count;
  }
  return false;
}

bool MapBlock(CHfsPlusVolume* volume, const CHfsPlusFork* fork, uint32_t n, uint32_t* disc, uint32_t* run) {
  if (n >= fork->blockCount) return false;
  bool mapped = false;
  if (n < fork->blocksInExtents) {
    mapped = MapInExtents(fork->extents, 8, 0, n, disc, run);
  } else {
    // The extents file itself never overflows: its blocks all lie in the header's extents.
    if (fork->fileId == kExtentsId) return false;
    CHfsPlusOverflow& cached = volume->overflow;
    if (!(cached.valid && cached.fileId == fork->fileId && cached.forkType == fork->forkType &&
          n >= cached.firstBlock && n - cached.firstBlock < cached.blocks)) {
      cached.valid = 0;
      uint8_t key[12] = {0, 10, fork->forkType, 0};
      for (int i = 0; i < 4; ++i) {
        key[4 + i] = static_cast<uint8_t>(fork->fileId >> (24 - 8 * i));
        key[8 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
      }
      CHfsRecordRef ref{};
      if (HfsBTreeFind(&volume->extents, key, &ref) < 0 || ref.index < 0) return false;
      std::span<const uint8_t> found, data;
      if (!HfsBTreeRecordAt(&volume->extents, ref, &found, &data) || found.size() < 12 || data.size() < 64)
        return false;
      ByteReader k(found.data(), found.size());
      if (k.U8At(2) != fork->forkType || k.U32BEAt(4) != fork->fileId) return false;
      cached.fileId = fork->fileId;
      cached.forkType = fork->forkType;
      cached.firstBlock = k.U32BEAt(8);
      uint64_t sum = 0;
      ByteReader d(data.data(), data.size());
      for (CHfsExtent& extent : cached.extents) {
        extent.start = d.U32BE();
        extent.count = d.U32BE();
        sum += extent.count;
      }
      cached.blocks = static_cast<uint32_t>(std::min<uint64_t>(sum, UINT32_MAX));
      if (n < cached.firstBlock || n - cached.firstBlock >= cached.blocks) return false;
      cached.valid = 1;
    }
    mapped = MapInExtents(cached.extents, 8, cached.firstBlock, n, disc, run);
  }
  // Blocks past the end of the volume belong to no file.
  return mapped && *disc < volume->totalBlocks && *run <= volume->totalBlocks - *disc;
}

CHfsPlusFork* TreeFork(CHfsPlusVolume* volume, uint32_t fileId) {
  switch (fileId) {
    case kExtentsId:
      return &volume->extentsFork;
    case kCatalogId:
      return &volume->catalogFork;
    default:
      return &volume->attributesFork;
  }
}

int ReadNode(CHfsBTree* tree, uint32_t node, uint8_t* out) {
  auto* volume = static_cast<CHfsPlusVolume*>(tree->volume);
  const uint64_t offset = static_cast<uint64_t>(node) << tree->nodeSizeBits;
  return HfsPlusReadFork(volume, TreeFork(volume, tree->fileId), offset, tree->nodeSize, out) == tree->nodeSize;
}

bool OpenTree(CHfsPlusVolume* volume, CHfsBTree* tree, uint32_t fileId, HfsKeyCompare compare) {
  tree->volume = volume;
  tree->fileId = fileId;
  tree->readNode = ReadNode;
  tree->compare = compare;
  const CHfsPlusFork* fork = TreeFork(volume, fileId);
  uint8_t node0[512];
  if (fork->logicalSize < sizeof node0 || HfsPlusReadFork(volume, fork, 0, sizeof node0, node0) != sizeof node0)
    return false;
  return HfsBTreeOpen(tree, node0, sizeof node0, fork->logicalSize) == 1;
}

// ---- Catalog records ----

// Copies the leaf record of the catalog with this key: 1 when found, 0 when not, -1 on damage.
int FindCatalogRecord(CHfsPlusVolume* volume, const std::vector<uint8_t>& key, std::vector<uint8_t>* record,
                      std::vector<uint8_t>* foundKey = nullptr) {
  CHfsRecordRef ref{};
  const int found = HfsBTreeFind(&volume->catalog, key, &ref);
  if (found <= 0) return found;
  std::span<const uint8_t> k, data;
  if (!HfsBTreeRecordAt(&volume->catalog, ref, &k, &data)) return -1;
  record->assign(data.begin(), data.end());
  if (foundKey) foundKey->assign(k.begin(), k.end());
  return 1;
}

// The thread record of a catalog id: its parent and name. 1, or 0.
bool FindThread(CHfsPlusVolume* volume, uint32_t id, uint32_t* parent, std::u16string* name) {
  std::vector<uint8_t> record;
  if (FindCatalogRecord(volume, CatalogKey(id, u""), &record) != 1) return false;
  ByteReader r(record.data(), record.size());
  const uint16_t type = r.U16BEAt(0);
  *parent = r.U32BEAt(4);
  const uint16_t units = r.U16BEAt(8);
  if (!r.ok() || (type != kFolderThread && type != kFileThread)) return false;
  *name = NameUnits(std::span<const uint8_t>(record).subspan(10), units);
  return true;
}

std::vector<uint8_t> AttributeKey(uint32_t fileId, const char* name) {
  const size_t units = std::strlen(name);
  std::vector<uint8_t> key(14 + 2 * units);
  const size_t length = key.size() - 2;
  key[0] = static_cast<uint8_t>(length >> 8);
  key[1] = static_cast<uint8_t>(length);
  for (int i = 0; i < 4; ++i) key[4 + i] = static_cast<uint8_t>(fileId >> (24 - 8 * i));
  key[12] = static_cast<uint8_t>(units >> 8);
  key[13] = static_cast<uint8_t>(units);
  for (size_t i = 0; i < units; ++i) key[15 + 2 * i] = static_cast<uint8_t>(name[i]);
  return key;
}

// The data of the file's inline "com.apple.decmpfs" attribute: 1 found (in *data), 0 none, -1 present but not
// an inline record.
int FindDecmpfs(CHfsPlusVolume* volume, uint32_t fileId, std::vector<uint8_t>* data) {
  if (!volume->hasAttributes) return 0;
  CHfsRecordRef ref{};
  const int found = HfsBTreeFind(&volume->attributes, AttributeKey(fileId, "com.apple.decmpfs"), &ref);
  if (found < 0) return -1;
  if (found == 0) return 0;
  std::span<const uint8_t> key, record;
  if (!HfsBTreeRecordAt(&volume->attributes, ref, &key, &record)) return -1;
  ByteReader r(record.data(), record.size());
  const uint32_t type = r.U32BEAt(0);
  const uint32_t size = r.U32BEAt(12);
  if (!r.ok() || type != kInlineAttribute || size > record.size() - 16) return -1;
  data->assign(record.begin() + 16, record.begin() + 16 + size);
  return 1;
}

struct DecmpfsHeader {
  uint32_t type;
  uint64_t size;
};

bool ParseDecmpfs(const std::vector<uint8_t>& data, DecmpfsHeader* header) {
  ByteReader r(data.data(), data.size());
  const bool magic = r.Chars(4) == "fpmc";
  header->type = r.U32LE();
  header->size = r.U64LE();
  return r.ok() && magic;
}

// Fills a fork from a file record (data fork, or the resource fork when the data fork is empty) with its
// decmpfs state. False when the record is damaged.
bool ForkFromFileRecord(CHfsPlusVolume* volume, const std::vector<uint8_t>& record, CHfsPlusFork* fork, bool* lost) {
  if (record.size() < kFileRecordBytes) return false;
  ByteReader r(record.data(), record.size());
  *fork = CHfsPlusFork{};
  CHfsPlusFork resource{};
  ParseForkData(record.data() + 88, volume->blockSize, fork);
  ParseForkData(record.data() + 168, volume->blockSize, &resource);
  const uint32_t id = r.U32BEAt(8);
  const uint64_t dataSize = fork->logicalSize;
  if (dataSize == 0 && resource.logicalSize > 0) {
    *fork = resource;
    fork->forkType = 0xFF;
    fork->flags = 1;
  }
  fork->fileId = id;
  fork->modificationTime = MacTime(r.U32BEAt(16));
  fork->attributeTime = MacTime(r.U32BEAt(20));
  fork->accessTime = MacTime(r.U32BEAt(24));
  fork->uncompressedSize = dataSize;
  if (dataSize == 0 || fork->flags & 1) {
    std::vector<uint8_t> attribute;
    const int found = FindDecmpfs(volume, id, &attribute);
    DecmpfsHeader header{};
    if (found == 1 && ParseDecmpfs(attribute, &header)) {
      // Every compressed file shows its real size; those of a kind this reader cannot decompress fail when read.
      fork->compression = static_cast<uint8_t>(std::min<uint32_t>(header.type, 255));
      fork->uncompressedSize = header.size;
    } else if (found < 0) {
      *lost = true;
    }
  }
  return true;
}

bool AttachFork(CTreeEntry* entry, const CHfsPlusFork& fork) {
  auto* copy = static_cast<uint8_t*>(MemAlloc(sizeof fork));
  if (!copy) return false;
  std::memcpy(copy, &fork, sizeof fork);
  entry->fsRecord = copy;
  entry->fsRecordSize = sizeof fork;
  return true;
}

// Reads one folder's children into the tree; subfolders are queued on the walk. False when the folder's records are
// damaged (what was read is kept).
bool LoadFolder(CMacCatalogWalk* walk, CHfsPlusVolume* volume, const CMacPendingFolder& item) {
  CImageDocument* document = walk->document;
  if (item.valence == 0) return true;
  CHfsBTree* catalog = &volume->catalog;
  CHfsRecordRef ref{};
  if (HfsBTreeFind(catalog, CatalogKey(item.id, u""), &ref) != 1) return false;
  {
    std::span<const uint8_t> key, data;
    if (!HfsBTreeRecordAt(catalog, ref, &key, &data) || data.size() < 10 || LoadU16BE(data.data()) != kFolderThread)
      return false;
  }
  bool sound = true;
  std::vector<CTreeEntry*> made;
  uint32_t steps = 0;
  std::vector<uint8_t> record;
  for (uint32_t count = 0; count < item.valence;) {
    const int moved = HfsBTreeNext(catalog, &ref, &steps);
    if (moved < 0) sound = false;
    if (moved <= 0) break;
    std::span<const uint8_t> key, data;
    if (!HfsBTreeRecordAt(catalog, ref, &key, &data) || key.size() < 8) {
      sound = false;
      break;
    }
    if (LoadU32BE(key.data() + 2) != item.id) break;
    ++count;
    const std::wstring name = DecodeName(KeyName(key, 6));
    // The record is copied: looking up a hard link's file may drop the cached nodes.
    record.assign(data.begin(), data.end());
    if (name.empty()) continue;
    const uint16_t type = record.size() >= 2 ? LoadU16BE(record.data()) : 0;
    if (type == kFolderRecord && record.size() >= kFolderRecordBytes) {
      const uint32_t id = LoadU32BE(record.data() + 8);
      const uint32_t valence = LoadU32BE(record.data() + 4);
      // A folder met twice (a loop) or too deep is listed, not walked.
      const int added = MacAddSubfolder(walk, item, name, id, valence, MacTime(LoadU32BE(record.data() + 16)), &made);
      if (added <= 0) sound = false;
      if (added < 0) break;
    } else if (type == kFileRecord && record.size() >= kFileRecordBytes) {
      // A hard link shows the file it links to.
      if (std::memcmp(record.data() + 48, "hlnkhfs+", 8) == 0 && volume->privateFolderId) {
        const uint32_t link = LoadU32BE(record.data() + 44);
        const std::string target = "iNode" + std::to_string(link);
        std::vector<uint8_t> linked;
        if (FindCatalogRecord(volume, CatalogKey(volume->privateFolderId, std::u16string(target.begin(), target.end())),
                              &linked) == 1 &&
            linked.size() >= kFileRecordBytes && LoadU16BE(linked.data()) == kFileRecord)
          record = linked;
        else
          sound = false;
      }
      CHfsPlusFork fork{};
      bool lost = false;
      ForkFromFileRecord(volume, record, &fork, &lost);
      if (lost) sound = false;
      const int64_t size = static_cast<int64_t>(std::min<uint64_t>(fork.uncompressedSize, INT64_MAX));
      CTreeEntry* entry = MacNewEntry(name, false, size, fork.modificationTime);
      if (!entry || !entry->name || !AttachFork(entry, fork)) {
        TreeFreeEntry(document, entry);
        sound = false;
        break;
      }
      made.push_back(entry);
    } else {
      sound = false;
      break;
    }
  }
  for (auto it = made.rbegin(); it != made.rend(); ++it) TreeFolderPrependEntry(item.folder, *it);
  return sound;
}

// ---- decmpfs ----

// Inflates or copies one compressed piece into `out` (at most `limit` bytes): the bytes produced, -1 on damage.
int64_t Decompress(std::span<const uint8_t> piece, uint8_t* out, int64_t limit) {
  if (piece.empty()) return -1;
  if ((piece[0] & 0x0F) == 0x0F) {
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(piece.size()) - 1, limit);
    std::memcpy(out, piece.data() + 1, static_cast<size_t>(n));
    return n;
  }
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return -1;
  stream.next_in = const_cast<Bytef*>(piece.data());
  stream.avail_in = static_cast<uInt>(piece.size());
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(limit);
  const int result = inflate(&stream, Z_FINISH);
  const int64_t produced = limit - stream.avail_out;
  inflateEnd(&stream);
  if (result != Z_STREAM_END && !(result == Z_BUF_ERROR && stream.avail_out == 0)) return -1;
  return produced;
}

// Makes the piece of a compressed file that holds byte `offset` the cached one; false on damage.
bool LoadCompressedPiece(CHfsPlusVolume* volume, const CHfsPlusFork* fork, int64_t offset) {
  const int64_t size = static_cast<int64_t>(fork->uncompressedSize);
  if (fork->compression == 3) {
    if (volume->cachedFileId == fork->fileId && volume->cachedOffset == 0 &&
        static_cast<int64_t>(volume->cached.size()) == size)
      return true;
    std::vector<uint8_t> attribute;
    DecmpfsHeader header{};
    if (FindDecmpfs(volume, fork->fileId, &attribute) != 1 || !ParseDecmpfs(attribute, &header)) return false;
    // An inline payload of a few KiB cannot grow past what zlib can make of it.
    if (size > static_cast<int64_t>(attribute.size()) * 1100 + kCompressedBlock) return false;
    volume->cached.assign(static_cast<size_t>(size), 0);
    volume->cachedFileId = 0;
    if (Decompress(std::span<const uint8_t>(attribute).subspan(16), volume->cached.data(), size) != size) return false;
    volume->cachedFileId = fork->fileId;
    volume->cachedOffset = 0;
    return true;
  }
  if (fork->compression != 4) return false;
  const int64_t block = offset / kCompressedBlock;
  const int64_t start = block * kCompressedBlock;
  const int64_t want = std::min(kCompressedBlock, size - start);
  if (volume->cachedFileId == fork->fileId && volume->cachedOffset == start &&
      static_cast<int64_t>(volume->cached.size()) == want)
    return true;
  // The resource fork: at 260 a block count and then per block an offset and a size, both from 260.
  uint8_t entry[8];
  uint8_t countBytes[4];
  if (HfsPlusReadFork(volume, fork, 260, 4, countBytes) != 4) return false;
  const uint32_t blocks = LoadU32LE(countBytes);
  if (block >= blocks) return false;
  if (HfsPlusReadFork(volume, fork, 264 + 8 * static_cast<uint64_t>(block), 8, entry) != 8) return false;
  const uint64_t at = 260 + static_cast<uint64_t>(LoadU32LE(entry));
  const uint32_t length = LoadU32LE(entry + 4);
  if (length == 0 || length > 2 * kCompressedBlock || at + length > fork->logicalSize) return false;
  volume->scratch.resize(length);
  if (HfsPlusReadFork(volume, fork, at, length, volume->scratch.data()) != length) return false;
  volume->cached.assign(static_cast<size_t>(want), 0);
  volume->cachedFileId = 0;
  if (Decompress(volume->scratch, volume->cached.data(), want) != want) return false;
  volume->cachedFileId = fork->fileId;
  volume->cachedOffset = start;
  return true;
}

}  // namespace

// ---- Exposed helpers ----

int HfsPlusCompareNamesFolded(const uint16_t* a, size_t aUnits, const uint16_t* b, size_t bUnits) {
  size_t i = 0, j = 0;
  for (;;) {
    uint16_t c1 = 0, c2 = 0;
    while (i < aUnits && c1 == 0) c1 = HfsPlusFoldUnit(a[i++]);
    while (j < bUnits && c2 == 0) c2 = HfsPlusFoldUnit(b[j++]);
    if (c1 != c2) return c1 < c2 ? -1 : 1;
    if (c1 == 0) return 0;
  }
}

int HfsPlusCompareNamesBinary(const uint16_t* a, size_t aUnits, const uint16_t* b, size_t bUnits) {
  const size_t n = std::min(aUnits, bUnits);
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return aUnits < bUnits ? -1 : aUnits > bUnits ? 1 : 0;
}

int HfsReadVolumeBytes(CImageDocument* document, bool optical, std::vector<uint8_t>* work, int64_t offset, void* buffer,
                       int64_t count) {
  if (offset < 0 || count <= 0 || count > INT64_MAX - offset) return 0;
  if (!optical) {
    const int64_t unit = document->sectorSize > 0 ? document->sectorSize : 512;
    if (document->partitionStart < 0 || document->partitionStart > (INT64_MAX - offset) / unit) return 0;
    return ImageReadDiskBytes(document, document->partitionStart * unit + offset, buffer, count) == count;
  }
  const int64_t first = offset / 2048;
  const int64_t skip = offset % 2048;
  if (skip == 0 && count % 2048 == 0) return ImageReadSectors(document, first, buffer, count / 2048) == count / 2048;
  const int64_t sectors = (skip + count + 2047) / 2048;
  try {
    if (static_cast<int64_t>(work->size()) < sectors * 2048) work->resize(static_cast<size_t>(sectors * 2048));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (ImageReadSectors(document, first, work->data(), sectors) != sectors) return 0;
  std::memcpy(buffer, work->data() + skip, static_cast<size_t>(count));
  return 1;
}

int64_t HfsPlusReadFork(CHfsPlusVolume* volume, const CHfsPlusFork* fork, uint64_t offset, int64_t count,
                        void* buffer) {
  if (!volume || !fork || count <= 0) return 0;
  const uint64_t end = static_cast<uint64_t>(fork->blockCount) << volume->blockSizeBits;
  if (offset >= end) return 0;
  count = static_cast<int64_t>(std::min<uint64_t>(static_cast<uint64_t>(count), end - offset));
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const uint64_t at = offset + static_cast<uint64_t>(done);
    const uint32_t block = static_cast<uint32_t>(at >> volume->blockSizeBits);
    const uint64_t within = at & (volume->blockSize - 1);
    uint32_t disc = 0, run = 0;
    if (!MapBlock(volume, fork, block, &disc, &run)) break;
    const uint64_t runBytes = (static_cast<uint64_t>(run) << volume->blockSizeBits) - within;
    const int64_t n = static_cast<int64_t>(std::min<uint64_t>(runBytes, static_cast<uint64_t>(count - done)));
    const int64_t byte =
        volume->volumeStart + static_cast<int64_t>((static_cast<uint64_t>(disc) << volume->blockSizeBits) + within);
    if (!HfsReadVolumeBytes(volume->document, volume->optical, &volume->work, byte, out + done, n)) break;
    done += n;
  }
  return done;
}

const CHfsPlusFork* HfsPlusGetFork(const CTreeEntry* entry) {
  if (!entry || !entry->fsRecord || entry->fsRecordSize != sizeof(CHfsPlusFork)) return nullptr;
  const auto* fork = reinterpret_cast<const CHfsPlusFork*>(entry->fsRecord);
  return fork->magic == kHfsPlusForkMagic ? fork : nullptr;
}

int HfsPlusOpenVolume(CImageDocument* document, int32_t multiplier) {
  if (!document || (multiplier != 1 && multiplier != 4)) return 0;
  QuietProbe quiet(document);
  std::unique_ptr<CHfsPlusVolume, VolumeDeleter> volume(new (std::nothrow) CHfsPlusVolume{});
  if (!volume) return 0;
  volume->document = document;
  volume->optical = document->partitionMapUnit == 0;
  volume->mapMultiplier = multiplier;
  const int64_t mapBlock = 512 * static_cast<int64_t>(multiplier);
  int64_t start = 0;
  bool mapTaken = false;
  uint8_t* header = volume->header;
  auto readAt = [&](int64_t offset, uint8_t* out) {
    return HfsReadVolumeBytes(document, volume->optical, &volume->work, offset, out, 512) == 1;
  };
  for (;;) {
    if (!readAt(start + 1024, header)) return 0;
    if (header[0] == 'B' && header[1] == 'D') {
      // An HFS wrapper: the HFS+ volume lies in its embedded extent, counted in the wrapper's blocks.
      ByteReader w(header, 512);
      const uint16_t attributes = w.U16BEAt(10);
      const uint32_t blockSize = w.U32BEAt(20);
      const uint16_t firstBlock = w.U16BEAt(28);
      const uint16_t embedded = w.U16BEAt(124);
      const uint16_t embeddedStart = w.U16BEAt(126);
      if (embedded != 0x482B && embedded != 0x4858) return 0;
      if ((attributes & 0x8200) != 0x8200 || blockSize < 512 || blockSize % 512 != 0) return 0;
      start += (static_cast<int64_t>(firstBlock) + static_cast<int64_t>(embeddedStart) * (blockSize / 512)) * 512;
      if (!readAt(start + 1024, header)) return 0;
      if (!(header[0] == 'H' && (header[1] == '+' || header[1] == 'X'))) return 0;
      break;
    }
    if (header[0] == 'H' && (header[1] == '+' || header[1] == 'X')) break;
    // A partition map is followed once; its entries never lead back to the map.
    if (mapTaken) return 0;
    mapTaken = true;
    uint8_t entry[512];
    if (!readAt(start + mapBlock, entry)) return 0;
    int64_t partition = -1;
    if (entry[0] == 'P' && entry[1] == 'M') {
      const uint32_t entries = std::min(LoadU32BE(entry + 4), kMaxMapEntries);
      for (uint32_t i = 1; i <= entries && partition < 0; ++i) {
        if (i > 1 && !readAt(start + mapBlock * i, entry)) break;
        if (entry[0] != 'P' || entry[1] != 'M') break;
        if (std::memcmp(entry + 48, "Apple_HFS", 9) == 0 && LoadU32BE(entry + 8) > 0) partition = LoadU32BE(entry + 8);
      }
    } else if (entry[0] == 'T' && entry[1] == 'S') {
      for (int i = 0; i < 42 && partition < 0; ++i) {
        const uint8_t* e = entry + 2 + 12 * i;
        if (LoadU32BE(e) > 0 && LoadU32BE(e + 4) > 0 && std::memcmp(e + 8, "TFS1", 4) == 0) partition = LoadU32BE(e);
      }
    }
    if (partition <= 0) return 0;
    start += partition * mapBlock;
  }
  volume->hfsx = header[1] == 'X';
  ByteReader h(header, 512);
  volume->blockSize = h.U32BEAt(40);
  volume->totalBlocks = h.U32BEAt(44);
  if (volume->blockSize < 512 || volume->blockSize > (1u << 28) || !std::has_single_bit(volume->blockSize) ||
      volume->totalBlocks == 0)
    return 0;
  volume->blockSizeBits = static_cast<uint32_t>(std::countr_zero(volume->blockSize));
  volume->volumeStart = start;
  ParseForkData(header + 192, volume->blockSize, &volume->extentsFork);
  volume->extentsFork.fileId = kExtentsId;
  ParseForkData(header + 272, volume->blockSize, &volume->catalogFork);
  volume->catalogFork.fileId = kCatalogId;
  ParseForkData(header + 352, volume->blockSize, &volume->attributesFork);
  volume->attributesFork.fileId = kAttributesId;
  if (!OpenTree(volume.get(), &volume->extents, kExtentsId, CompareExtents)) return 0;
  if (!OpenTree(volume.get(), &volume->catalog, kCatalogId, CompareCatalog)) return 0;
  if (LoadU32BE(header + 352 + 12) != 0)
    volume->hasAttributes = OpenTree(volume.get(), &volume->attributes, kAttributesId, CompareAttributes) ? 1 : 0;
  // The root must be there for the volume to count.
  uint32_t parent = 0;
  std::u16string name;
  if (!FindThread(volume.get(), kRootId, &parent, &name)) return 0;
  // Hard-linked files keep their content in a private folder of the root.
  static const char16_t kPrivate[] = u"\0\0\0\0HFS+ Private Data";
  std::vector<uint8_t> record;
  if (FindCatalogRecord(volume.get(), CatalogKey(kRootId, std::u16string(kPrivate, 21)), &record) == 1 &&
      record.size() >= kFolderRecordBytes && LoadU16BE(record.data()) == kFolderRecord)
    volume->privateFolderId = LoadU32BE(record.data() + 8);
  HfsPlusFreeVolume(document);
  document->hfsPlus = volume.release();
  return 1;
}

void HfsPlusSetLabel(CImageDocument* document) {
  if (!document || !document->hfsPlus) return;
  uint32_t parent = 0;
  std::u16string name;
  if (!FindThread(document->hfsPlus, kRootId, &parent, &name)) return;
  std::wstring label = DecodeName(name);
  if (label.empty()) return;
  label.resize(std::min<size_t>(label.size(), kVolumeIdentifierChars - 1));
  std::wmemcpy(document->identifiers[kVolumeLabel], label.c_str(), label.size() + 1);
}

int HfsPlusLoadTree(CImageDocument* document) {
  CHfsPlusVolume* volume = document ? document->hfsPlus : nullptr;
  if (!volume || !document->rootFolder) return -1;
  HfsPlusSetLabel(document);
  uint32_t parent = 0;
  std::u16string name;
  std::vector<uint8_t> record;
  if (!FindThread(volume, kRootId, &parent, &name) ||
      FindCatalogRecord(volume, CatalogKey(parent, name), &record) != 1 || record.size() < kFolderRecordBytes ||
      LoadU16BE(record.data()) != kFolderRecord)
    return -1;
  MacWalkCatalog(
      document, kRootId, LoadU32BE(record.data() + 4),
      [volume](CMacCatalogWalk* walk, const CMacPendingFolder& item) { return LoadFolder(walk, volume, item); });
  return 0;
}

int64_t HfsPlusReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                             int64_t count) {
  CHfsPlusVolume* volume = document ? document->hfsPlus : nullptr;
  const CHfsPlusFork* fork = HfsPlusGetFork(entry);
  if (!volume || !fork || offset < 0 || count <= 0 || offset >= entry->size) return 0;
  count = std::min(count, entry->size - offset);
  if (fork->compression == 0)
    return HfsPlusReadFork(volume, fork, static_cast<uint64_t>(offset), count, buffer) == count ? count : 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    if (!LoadCompressedPiece(volume, fork, offset + done)) return 0;
    const int64_t within = offset + done - volume->cachedOffset;
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(volume->cached.size()) - within, count - done);
    if (n <= 0) return 0;
    std::memcpy(out + done, volume->cached.data() + within, static_cast<size_t>(n));
    done += n;
  }
  return done;
}

int64_t HfsPlusReadFileData(CImageDocument* document, const CTreeEntry* entry, void* buffer, int64_t firstBlock,
                            int64_t count) {
  if (firstBlock < 0 || firstBlock > INT64_MAX / 2048) return 0;
  const int64_t got = HfsPlusReadEntryData(document, entry, firstBlock * 2048, buffer, count);
  return got == count ? count : 0;
}

int64_t HfsCopyVolumeBytesToFd(CImageDocument* document, bool optical, int64_t offset, int64_t count, int fd) {
  if (offset < 0 || count <= 0 || fd < 0 || !document->input) return 0;
  if (optical) return offset % 2048 == 0 ? ImageCopyUserDataToFd(document, offset / 2048, count, fd) : 0;
  // Disks: only a plain file holds the volume's bytes as they are.
  if (document->diskReader || document->lvmMap) return 0;
  const int64_t unit = document->sectorSize > 0 ? document->sectorSize : 512;
  if (document->partitionStart < 0 || document->partitionStart > (INT64_MAX - offset) / unit) return 0;
  const int64_t from = document->partitionStart * unit + offset;
  if (document->fileSize > 0 && (from > document->fileSize || count > document->fileSize - from)) return 0;
  // What the kernel does not copy (another file system, no such call) is left to the reads.
  return KernelCopyRange(fileno(document->input), from, count, fd, &document->kernelCopyRefused);
}

int64_t HfsPlusCopyEntryToFd(CImageDocument* document, const CTreeEntry* entry, int fd) {
  CHfsPlusVolume* volume = document ? document->hfsPlus : nullptr;
  const CHfsPlusFork* fork = HfsPlusGetFork(entry);
  if (!volume || !fork || fork->compression != 0) return 0;
  const int64_t size = entry->size;
  int64_t done = 0;
  while (done < size) {
    const uint64_t at = static_cast<uint64_t>(done);
    uint32_t disc = 0, run = 0;
    if (at >> volume->blockSizeBits > UINT32_MAX ||
        !MapBlock(volume, fork, static_cast<uint32_t>(at >> volume->blockSizeBits), &disc, &run))
      break;
    const uint64_t within = at & (volume->blockSize - 1);
    const int64_t n = static_cast<int64_t>(
        std::min<uint64_t>((static_cast<uint64_t>(run) << volume->blockSizeBits) - within, size - done));
    const int64_t byte =
        volume->volumeStart + static_cast<int64_t>((static_cast<uint64_t>(disc) << volume->blockSizeBits) + within);
    const int64_t copied = HfsCopyVolumeBytesToFd(document, volume->optical, byte, n, fd);
    done += copied;
    if (copied < n) break;
  }
  return done;
}

void HfsPlusFreeVolume(CImageDocument* document) {
  if (!document) return;
  delete document->hfsPlus;
  document->hfsPlus = nullptr;
}
