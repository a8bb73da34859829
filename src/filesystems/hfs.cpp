#include "filesystems/hfs.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>

#include "filesystems/hfs_tables.h"
#include "filesystems/hfsplus.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/memory.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kMacEpochOffset = 2082844800;
constexpr uint32_t kRootId = 2, kExtentsId = 3, kCatalogId = 4;
constexpr uint8_t kFolderRecord = 1, kFileRecord = 2, kFolderThread = 3, kFileThread = 4;
constexpr size_t kFolderRecordBytes = 70, kFileRecordBytes = 102;
constexpr uint32_t kMaxMapEntries = 256;

struct VolumeDeleter {
  void operator()(CHfsVolume* volume) const { delete volume; }
};

// HFS dates count local wall-clock seconds from 1904.
int64_t MacLocalTime(uint32_t seconds) {
  tzset();
  return static_cast<int64_t>(seconds) - kMacEpochOffset + timezone;
}

void ParseExtents(const uint8_t* p, CHfsSmallExtent* extents, uint32_t* sum) {
  *sum = 0;
  for (int i = 0; i < 3; ++i) {
    extents[i].start = LoadU16BE(p + 4 * i);
    extents[i].count = LoadU16BE(p + 4 * i + 2);
    *sum += extents[i].count;
  }
}

void InitFork(CHfsFork* fork, uint32_t id, uint32_t size, const uint8_t* extents, uint32_t blockSize) {
  fork->magic = kHfsForkMagic;
  fork->fileId = id;
  fork->logicalSize = size;
  fork->blockCount = static_cast<uint32_t>((static_cast<uint64_t>(size) + blockSize - 1) / blockSize);
  ParseExtents(extents, fork->extents, &fork->blocksInExtents);
}

bool MapInExtents(const CHfsSmallExtent* extents, uint32_t first, uint32_t n, uint32_t* disc, uint32_t* run) {
  uint32_t base = first;
  for (int i = 0; i < 3; ++i) {
    if (n < base + extents[i].count) {
      *disc = extents[i].start + (n - base);
      *run = extents[i].count - (n - base);
      return true;
    }
    base += extents[i].count;
  }
  return false;
}

bool MapBlock(CHfsVolume* volume, const CHfsFork* fork, uint32_t n, uint32_t* disc, uint32_t* run) {
  if (n >= fork->blockCount || n > 0xFFFF) return false;
  bool mapped = false;
  if (n < fork->blocksInExtents) {
    mapped = MapInExtents(fork->extents, 0, n, disc, run);
  } else {
    if (fork->fileId == kExtentsId) return false;
    CHfsOverflow& cached = volume->overflow;
    if (!(cached.valid && cached.fileId == fork->fileId && cached.forkType == fork->forkType &&
          n >= cached.firstBlock && n - cached.firstBlock < cached.blocks)) {
      cached.valid = 0;
      const uint8_t key[8] = {7,
                              fork->forkType,
                              static_cast<uint8_t>(fork->fileId >> 24),
                              static_cast<uint8_t>(fork->fileId >> 16),
                              static_cast<uint8_t>(fork->fileId >> 8),
                              static_cast<uint8_t>(fork->fileId),
                              static_cast<uint8_t>(n >> 8),
                              static_cast<uint8_t>(n)};
      CHfsRecordRef ref{};
      if (HfsBTreeFind(&volume->extents, key, &ref) < 0 || ref.index < 0) return false;
      std::span<const uint8_t> found, data;
      if (!HfsBTreeRecordAt(&volume->extents, ref, &found, &data) || found.size() < 8 || data.size() < 12) return false;
      if (found[1] != fork->forkType || LoadU32BE(found.data() + 2) != fork->fileId) return false;
      cached.fileId = fork->fileId;
      cached.forkType = fork->forkType;
      cached.firstBlock = LoadU16BE(found.data() + 6);
      ParseExtents(data.data(), cached.extents, &cached.blocks);
      if (n < cached.firstBlock || n - cached.firstBlock >= cached.blocks) return false;
      cached.valid = 1;
    }
    mapped = MapInExtents(cached.extents, cached.firstBlock, n, disc, run);
  }
  return mapped && *disc < volume->totalBlocks && *run <= volume->totalBlocks - *disc;
}

int64_t ReadFork(CHfsVolume* volume, const CHfsFork* fork, uint64_t offset, int64_t count, void* buffer) {
  const uint64_t end = static_cast<uint64_t>(fork->blockCount) * volume->blockSize;
  if (count <= 0 || offset >= end) return 0;
  count = static_cast<int64_t>(std::min<uint64_t>(static_cast<uint64_t>(count), end - offset));
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const uint64_t at = offset + static_cast<uint64_t>(done);
    const uint64_t blockIndex = at / volume->blockSize;
    const uint64_t within = at % volume->blockSize;
    uint32_t disc = 0, run = 0;
    if (blockIndex > UINT32_MAX || !MapBlock(volume, fork, static_cast<uint32_t>(blockIndex), &disc, &run)) break;
    const uint64_t runBytes = static_cast<uint64_t>(run) * volume->blockSize - within;
    const int64_t n = static_cast<int64_t>(std::min<uint64_t>(runBytes, static_cast<uint64_t>(count - done)));
    const int64_t byte =
        volume->allocationStart + static_cast<int64_t>(static_cast<uint64_t>(disc) * volume->blockSize + within);
    if (!HfsReadVolumeBytes(volume->document, volume->optical, &volume->work, byte, out + done, n)) break;
    done += n;
  }
  return done;
}

int ReadNode(CHfsBTree* tree, uint32_t node, uint8_t* out) {
  auto* volume = static_cast<CHfsVolume*>(tree->volume);
  const CHfsFork* fork = tree->fileId == kExtentsId ? &volume->extentsFork : &volume->catalogFork;
  return ReadFork(volume, fork, static_cast<uint64_t>(node) << tree->nodeSizeBits, tree->nodeSize, out) ==
         tree->nodeSize;
}

int CompareIds(uint32_t a, uint32_t b) { return a < b ? -1 : a > b ? 1 : 0; }

int CompareCatalog(const CHfsBTree*, std::span<const uint8_t> search, std::span<const uint8_t> key) {
  ByteReader s(search.data(), search.size()), k(key.data(), key.size());
  if (int order = CompareIds(s.U32BEAt(2), k.U32BEAt(2))) return order;
  auto name = [](std::span<const uint8_t> bytes) {
    if (bytes.size() < 7) return std::span<const uint8_t>();
    return bytes.subspan(7, std::min<size_t>(bytes[6], bytes.size() - 7));
  };
  const auto a = name(search), b = name(key);
  return HfsCompareNames(a.data(), a.size(), b.data(), b.size());
}

int CompareExtents(const CHfsBTree*, std::span<const uint8_t> search, std::span<const uint8_t> key) {
  ByteReader s(search.data(), search.size()), k(key.data(), key.size());
  if (int order = CompareIds(s.U32BEAt(2), k.U32BEAt(2))) return order;
  if (int order = CompareIds(s.U8At(1), k.U8At(1))) return order;
  return CompareIds(s.U16BEAt(6), k.U16BEAt(6));
}

bool OpenTree(CHfsVolume* volume, CHfsBTree* tree, uint32_t fileId, HfsKeyCompare compare) {
  tree->volume = volume;
  tree->fileId = fileId;
  tree->classicKeys = 1;
  tree->readNode = ReadNode;
  tree->compare = compare;
  const CHfsFork* fork = fileId == kExtentsId ? &volume->extentsFork : &volume->catalogFork;
  uint8_t node0[512];
  if (fork->logicalSize < sizeof node0 || ReadFork(volume, fork, 0, sizeof node0, node0) != sizeof node0) return false;
  if (HfsBTreeOpen(tree, node0, sizeof node0, fork->logicalSize) != 1) return false;
  tree->keyCompareType = 0;
  return true;
}

std::vector<uint8_t> CatalogKey(uint32_t parent, const std::string& name) {
  std::vector<uint8_t> key(7 + name.size());
  key[0] = static_cast<uint8_t>(6 + name.size());
  for (int i = 0; i < 4; ++i) key[2 + i] = static_cast<uint8_t>(parent >> (24 - 8 * i));
  key[6] = static_cast<uint8_t>(name.size());
  std::memcpy(key.data() + 7, name.data(), name.size());
  return key;
}

int FindCatalogRecord(CHfsVolume* volume, const std::vector<uint8_t>& key, std::vector<uint8_t>* record) {
  CHfsRecordRef ref{};
  const int found = HfsBTreeFind(&volume->catalog, key, &ref);
  if (found <= 0) return found;
  std::span<const uint8_t> k, data;
  if (!HfsBTreeRecordAt(&volume->catalog, ref, &k, &data)) return -1;
  record->assign(data.begin(), data.end());
  return 1;
}

bool FindThread(CHfsVolume* volume, uint32_t id, uint32_t* parent, std::string* name) {
  std::vector<uint8_t> record;
  if (FindCatalogRecord(volume, CatalogKey(id, ""), &record) != 1 || record.size() < 15) return false;
  if (record[0] != kFolderThread && record[0] != kFileThread) return false;
  *parent = LoadU32BE(record.data() + 10);
  const size_t length = std::min<size_t>({record[14], record.size() - 15, 31});
  name->assign(reinterpret_cast<const char*>(record.data() + 15), length);
  return true;
}

bool LoadFolder(CMacCatalogWalk* walk, CHfsVolume* volume, const CMacPendingFolder& item) {
  CImageDocument* document = walk->document;
  if (item.valence == 0) return true;
  CHfsBTree* catalog = &volume->catalog;
  CHfsRecordRef ref{};
  if (HfsBTreeFind(catalog, CatalogKey(item.id, ""), &ref) != 1) return false;
  {
    std::span<const uint8_t> key, data;
    if (!HfsBTreeRecordAt(catalog, ref, &key, &data) || data.empty() || data[0] != kFolderThread) return false;
  }
  bool sound = true;
  std::vector<CTreeEntry*> made;
  uint32_t steps = 0;
  for (uint32_t count = 0; count < item.valence;) {
    const int moved = HfsBTreeNext(catalog, &ref, &steps);
    if (moved < 0) sound = false;
    if (moved <= 0) break;
    std::span<const uint8_t> key, data;
    if (!HfsBTreeRecordAt(catalog, ref, &key, &data) || key.size() < 7) {
      sound = false;
      break;
    }
    if (LoadU32BE(key.data() + 2) != item.id) break;
    ++count;
    const std::wstring name = HfsDecodeName(key.data() + 7, std::min<size_t>(key[6], key.size() - 7));
    const uint8_t type = data.empty() ? 0 : data[0];
    if (type == kFolderRecord && data.size() >= kFolderRecordBytes) {
      const uint32_t id = LoadU32BE(data.data() + 6);
      const uint32_t valence = LoadU16BE(data.data() + 4);
      // A folder met twice (a loop) or too deep is listed, not walked.
      const int added =
          MacAddSubfolder(walk, item, name, id, valence, MacLocalTime(LoadU32BE(data.data() + 14)), &made);
      if (added <= 0) sound = false;
      if (added < 0) break;
    } else if (type == kFileRecord && data.size() >= kFileRecordBytes) {
      CHfsFork fork{};
      InitFork(&fork, LoadU32BE(data.data() + 20), LoadU32BE(data.data() + 26), data.data() + 74, volume->blockSize);
      fork.modificationTime = MacLocalTime(LoadU32BE(data.data() + 48));
      CTreeEntry* entry = MacNewEntry(name, false, fork.logicalSize, fork.modificationTime);
      auto* copy = entry ? static_cast<uint8_t*>(MemAlloc(sizeof fork)) : nullptr;
      if (!entry || !entry->name || !copy) {
        MemFree(copy);
        TreeFreeEntry(document, entry);
        sound = false;
        break;
      }
      std::memcpy(copy, &fork, sizeof fork);
      entry->fsRecord = copy;
      entry->fsRecordSize = sizeof fork;
      made.push_back(entry);
    } else {
      sound = false;
      break;
    }
  }
  for (auto it = made.rbegin(); it != made.rend(); ++it) TreeFolderPrependEntry(item.folder, *it);
  return sound;
}

}  // namespace

std::wstring HfsDecodeName(const uint8_t* bytes, size_t length) {
  std::wstring name;
  for (size_t i = 0; i < length && i < 31; ++i) {
    const uint8_t c = bytes[i];
    name.push_back(c == '/' ? L':' : static_cast<wchar_t>(MacRomanToUnicode(c)));
  }
  if (!name.empty() && (name.back() == L'\r' || name.back() == L'\n')) name.pop_back();
  return name;
}

int HfsCompareNames(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength) {
  const size_t n = std::min(aLength, bLength);
  for (size_t i = 0; i < n; ++i) {
    const int d = static_cast<int>(HfsCaseOrder(a[i])) - static_cast<int>(HfsCaseOrder(b[i]));
    if (d) return d < 0 ? -1 : 1;
  }
  return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

const CHfsFork* HfsGetFork(const CTreeEntry* entry) {
  if (!entry || !entry->fsRecord || entry->fsRecordSize != sizeof(CHfsFork)) return nullptr;
  const auto* fork = reinterpret_cast<const CHfsFork*>(entry->fsRecord);
  return fork->magic == kHfsForkMagic ? fork : nullptr;
}

int HfsOpenVolume(CImageDocument* document) {
  if (!document) return 0;
  const int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  struct Restore {
    CImageDocument* d;
    int32_t q;
    ~Restore() { d->quiet = q; }
  } restore{document, savedQuiet};
  std::unique_ptr<CHfsVolume, VolumeDeleter> volume(new (std::nothrow) CHfsVolume{});
  if (!volume) return 0;
  volume->document = document;
  volume->optical = document->partitionMapUnit == 0;
  auto readAt = [&](int64_t offset, uint8_t* out) {
    return HfsReadVolumeBytes(document, volume->optical, &volume->work, offset, out, 512) == 1;
  };
  int64_t start = 0;
  uint8_t* mdb = volume->mdb;
  if (!readAt(1024, mdb)) return 0;
  if (!(mdb[0] == 'B' && mdb[1] == 'D')) {
    // An Apple partition map of 512-byte blocks: the first "Apple_HFS" entry, or entry 0 of the older map.
    uint8_t entry[512];
    if (!readAt(512, entry)) return 0;
    int64_t partition = -1;
    if (entry[0] == 'P' && entry[1] == 'M') {
      const uint32_t entries = std::min(LoadU32BE(entry + 4), kMaxMapEntries);
      for (uint32_t i = 1; i <= entries && partition < 0; ++i) {
        if (i > 1 && !readAt(512 * static_cast<int64_t>(i), entry)) break;
        if (entry[0] != 'P' || entry[1] != 'M') break;
        if (std::memcmp(entry + 48, "Apple_HFS", 9) == 0 && LoadU32BE(entry + 8) > 0) partition = LoadU32BE(entry + 8);
      }
    } else if (entry[0] == 'T' && entry[1] == 'S') {
      if (LoadU32BE(entry + 2) > 0 && LoadU32BE(entry + 6) > 0 && std::memcmp(entry + 10, "TFS1", 4) == 0)
        partition = LoadU32BE(entry + 2);
    }
    if (partition <= 0) return 0;
    start = partition * 512;
    if (!readAt(start + 1024, mdb) || !(mdb[0] == 'B' && mdb[1] == 'D')) return 0;
  }
  ByteReader m(mdb, 512);
  volume->totalBlocks = m.U16BEAt(18);
  volume->blockSize = m.U32BEAt(20);
  const uint16_t firstBlock = m.U16BEAt(28);
  if (volume->blockSize == 0 || volume->blockSize % 512 != 0 || volume->totalBlocks == 0) return 0;
  // A wrapper around an HFS+ volume belongs to the HFS+ reader.
  if (m.U16BEAt(124) == 0x482B || m.U16BEAt(124) == 0x4858) return 0;
  volume->volumeStart = start;
  volume->allocationStart = start + static_cast<int64_t>(firstBlock) * 512;
  InitFork(&volume->extentsFork, kExtentsId, m.U32BEAt(130), mdb + 134, volume->blockSize);
  InitFork(&volume->catalogFork, kCatalogId, m.U32BEAt(146), mdb + 150, volume->blockSize);
  if (!OpenTree(volume.get(), &volume->extents, kExtentsId, CompareExtents)) return 0;
  if (!OpenTree(volume.get(), &volume->catalog, kCatalogId, CompareCatalog)) return 0;
  uint32_t parent = 0;
  std::string name;
  if (!FindThread(volume.get(), kRootId, &parent, &name)) return 0;
  HfsFreeVolume(document);
  document->hfs = volume.release();
  return 1;
}

void HfsSetLabel(CImageDocument* document) {
  if (!document || !document->hfs) return;
  uint32_t parent = 0;
  std::string name;
  if (!FindThread(document->hfs, kRootId, &parent, &name) || name.empty()) return;
  std::wstring label = HfsDecodeName(reinterpret_cast<const uint8_t*>(name.data()), name.size());
  std::wmemcpy(document->identifiers[kVolumeLabel], label.c_str(), label.size() + 1);
}

int HfsLoadTree(CImageDocument* document) {
  CHfsVolume* volume = document ? document->hfs : nullptr;
  if (!volume || !document->rootFolder) return -1;
  HfsSetLabel(document);
  uint32_t parent = 0;
  std::string name;
  std::vector<uint8_t> record;
  if (!FindThread(volume, kRootId, &parent, &name) ||
      FindCatalogRecord(volume, CatalogKey(parent, name), &record) != 1 || record.size() < kFolderRecordBytes ||
      record[0] != kFolderRecord)
    return -1;
  // The volume name also becomes the volume identifier of the primary descriptor copy.
  std::memset(document->primaryDescriptor + 40, ' ', 32);
  std::memcpy(document->primaryDescriptor + 40, name.data(), std::min<size_t>(name.size(), 32));
  MacWalkCatalog(
      document, kRootId, LoadU16BE(record.data() + 4),
      [volume](CMacCatalogWalk* walk, const CMacPendingFolder& item) { return LoadFolder(walk, volume, item); });
  return 0;
}

int64_t HfsReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                         int64_t count) {
  CHfsVolume* volume = document ? document->hfs : nullptr;
  const CHfsFork* fork = HfsGetFork(entry);
  if (!volume || !fork || offset < 0 || count <= 0 || offset >= entry->size) return 0;
  count = std::min(count, entry->size - offset);
  return ReadFork(volume, fork, static_cast<uint64_t>(offset), count, buffer) == count ? count : 0;
}

int64_t HfsReadFileData(CImageDocument* document, const CTreeEntry* entry, void* buffer, int64_t firstBlock,
                        int64_t count) {
  if (firstBlock < 0 || firstBlock > INT64_MAX / 2048) return 0;
  return HfsReadEntryData(document, entry, firstBlock * 2048, buffer, count) == count ? count : 0;
}

void HfsFreeVolume(CImageDocument* document) {
  if (!document) return;
  delete document->hfs;
  document->hfs = nullptr;
}

// ---- Every Mac file system ----

int MacProbeVolume(CImageDocument* document) {
  if (!document) return 0;
  return HfsPlusOpenVolume(document, 1) == 1 || HfsOpenVolume(document) == 1 || HfsPlusOpenVolume(document, 4) == 1 ? 1
                                                                                                                    : 0;
}

int MacHasVolume(const CImageDocument* document) { return document && (document->hfsPlus || document->hfs) ? 1 : 0; }

int MacLoadTree(CImageDocument* document) {
  if (document && document->hfsPlus) return HfsPlusLoadTree(document);
  if (document && document->hfs) return HfsLoadTree(document);
  return -1;
}

int MacEntryHasData(const CImageDocument* document, const CTreeEntry* entry) {
  if (!document) return 0;
  if (document->hfsPlus && HfsPlusGetFork(entry)) return 1;
  if (document->hfs && HfsGetFork(entry)) return 1;
  return 0;
}

int64_t MacReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                         int64_t count) {
  if (document && document->hfsPlus && HfsPlusGetFork(entry))
    return HfsPlusReadEntryData(document, entry, offset, buffer, count);
  if (document && document->hfs && HfsGetFork(entry)) return HfsReadEntryData(document, entry, offset, buffer, count);
  return 0;
}

int64_t MacCopyEntryToFd(CImageDocument* document, const CTreeEntry* entry, int fd) {
  if (document && document->hfsPlus && HfsPlusGetFork(entry)) return HfsPlusCopyEntryToFd(document, entry, fd);
  CHfsVolume* volume = document ? document->hfs : nullptr;
  const CHfsFork* fork = HfsGetFork(entry);
  if (!volume || !fork) return 0;
  int64_t done = 0;
  while (done < entry->size) {
    const uint64_t block = static_cast<uint64_t>(done) / volume->blockSize;
    const uint64_t within = static_cast<uint64_t>(done) % volume->blockSize;
    uint32_t disc = 0, run = 0;
    if (block > UINT32_MAX || !MapBlock(volume, fork, static_cast<uint32_t>(block), &disc, &run)) break;
    const int64_t n = static_cast<int64_t>(
        std::min<uint64_t>(static_cast<uint64_t>(run) * volume->blockSize - within, entry->size - done));
    const int64_t byte =
        volume->allocationStart + static_cast<int64_t>(static_cast<uint64_t>(disc) * volume->blockSize + within);
    const int64_t copied = HfsCopyVolumeBytesToFd(document, volume->optical, byte, n, fd);
    done += copied;
    if (copied < n) break;
  }
  return done;
}

const wchar_t* MacFileSystemName(const CImageDocument* document) {
  if (document && document->hfsPlus) return document->hfsPlus->hfsx ? L"HFSX" : L"HFS+";
  if (document && document->hfs) return L"HFS";
  return nullptr;
}

void MacFreeVolumes(CImageDocument* document) {
  HfsPlusFreeVolume(document);
  HfsFreeVolume(document);
}
