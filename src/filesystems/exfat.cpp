#include "filesystems/exfat.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "image/disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr uint32_t kRecordMagic = 0x54414678;  // marks a CExfatFileRecord
constexpr uint32_t kEntryBytes = 32;
constexpr uint32_t kLastCluster = 0xFFFFFFF6;
// A directory holds at most 256 MiB of entries.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;
constexpr int kMaxNameUnits = 255;

bool ValidCluster(const CExfatVolume* v, uint32_t cluster) { return cluster >= 2 && cluster - 2 < v->clusterCount; }

bool LoadFat(CImageDocument* document, CExfatVolume* v) {
  if (v->fatLoaded) return v->fatLoaded > 0;
  v->fatLoaded = -1;
  const uint64_t entries = uint64_t{v->clusterCount} + 2;
  std::vector<uint8_t> raw;
  try {
    v->fat.resize(static_cast<size_t>(entries));
    raw.resize(static_cast<size_t>(std::min<uint64_t>(entries * 4, 1 << 20)));
  } catch (const std::bad_alloc&) {
    return false;
  }
  const uint64_t base = uint64_t{v->fatOffset} << v->bytesPerSectorShift;
  for (uint64_t done = 0; done < entries;) {
    const uint64_t n = std::min<uint64_t>(entries - done, raw.size() / 4);
    if (!ImageReadVolumeBytes(document, base + done * 4, raw.data(), n * 4)) return false;
    for (uint64_t i = 0; i < n; ++i) v->fat[static_cast<size_t>(done + i)] = LoadU32LE(raw.data() + i * 4);
    done += n;
  }
  v->fatLoaded = 1;
  return true;
}

// The clusters of a chain (or a contiguous file) that hold `bytes` bytes, as runs; false when the chain
// ends early, leaves the heap or comes back to a cluster it passed.
bool BuildRuns(CImageDocument* document, CExfatVolume* v, uint32_t first, bool contiguous, uint64_t bytes,
               std::vector<std::pair<uint32_t, uint32_t>>* runs) {
  runs->clear();
  const uint64_t needed = (bytes + v->bytesPerCluster - 1) / v->bytesPerCluster;
  if (needed == 0) return true;
  if (!ValidCluster(v, first) || needed > v->clusterCount) return false;
  if (contiguous) {
    if (needed > uint64_t{v->clusterCount} - (first - 2)) return false;
    runs->push_back({first, static_cast<uint32_t>(needed)});
    return true;
  }
  if (!LoadFat(document, v)) return false;
  std::vector<bool> seen(uint64_t{v->clusterCount} + 2, false);
  uint32_t cluster = first;
  for (uint64_t i = 0; i < needed; ++i) {
    if (!ValidCluster(v, cluster) || seen[cluster]) return false;
    seen[cluster] = true;
    if (!runs->empty() && runs->back().first + runs->back().second == cluster)
      ++runs->back().second;
    else
      runs->push_back({cluster, 1});
    if (i + 1 < needed) cluster = v->fat[cluster];
  }
  return true;
}

// Reads `bytes` bytes of a chain into `out`.
bool ReadChain(CImageDocument* document, CExfatVolume* v, uint32_t first, bool contiguous, uint64_t bytes,
               std::vector<uint8_t>* out) {
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  if (!BuildRuns(document, v, first, contiguous, bytes, &runs)) return false;
  out->resize(static_cast<size_t>(bytes));
  uint64_t done = 0;
  for (const auto& run : runs) {
    const uint64_t n = std::min<uint64_t>(uint64_t{run.second} * v->bytesPerCluster, bytes - done);
    if (!ImageReadVolumeBytes(document, ExfatClusterToOffset(v, run.first), out->data() + done, n)) return false;
    done += n;
  }
  return true;
}

// An exFAT timestamp (DOS fields, 10 ms increment, UTC offset) as seconds since the epoch.
int64_t ExfatTime(uint32_t stamp, uint8_t increment, uint8_t utcOffset) {
  std::tm fields{};
  fields.tm_year = static_cast<int>(stamp >> 25) + 80;
  fields.tm_mon = static_cast<int>((stamp >> 21) & 15) - 1;
  fields.tm_mday = static_cast<int>((stamp >> 16) & 31);
  fields.tm_hour = static_cast<int>((stamp >> 11) & 31);
  fields.tm_min = static_cast<int>((stamp >> 5) & 63);
  fields.tm_sec = static_cast<int>(stamp & 31) * 2 + (increment >= 100 ? 1 : 0);
  if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday == 0) return 0;
  if (utcOffset & 0x80) {
    // Seven-bit signed count of quarter hours east of UTC.
    const int quarters = (utcOffset & 0x40) ? static_cast<int>(utcOffset & 0x7F) - 128 : utcOffset & 0x7F;
    return static_cast<int64_t>(timegm(&fields)) - int64_t{quarters} * 900;
  }
  fields.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&fields));
}

wchar_t* DupWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(MemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy) std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

struct PendingDirectory {
  CTreeFolder* folder;
  uint32_t cluster;
  bool contiguous;
  uint64_t bytes;
};

class TreeLoader {
 public:
  TreeLoader(CImageDocument* document, bool labelOnly)
      : document_(document), v_(document->exfat), labelOnly_(labelOnly) {}

  // False when the root directory itself cannot be read (or holds no sound bitmap).
  bool Run(uint64_t rootBytes) {
    std::vector<PendingDirectory> work{{document_->rootFolder, v_->rootCluster, false, rootBytes}};
    seen_.assign(uint64_t{v_->clusterCount} + 2, false);
    seen_[v_->rootCluster] = true;
    bool root = true;
    while (!work.empty()) {
      const PendingDirectory item = work.back();
      work.pop_back();
      std::vector<uint8_t> data;
      if (!ReadChain(document_, v_, item.cluster, item.contiguous, item.bytes, &data)) {
        if (root) return false;
        damaged_ = true;
        continue;
      }
      made_.clear();
      Parse(item, data, root);
      if (root && !v_->bitmapBytes) {
        for (const Made& m : made_) TreeFreeEntry(document_, m.entry);
        made_.clear();
        return false;
      }
      root = false;
      for (const Made& m : made_) {
        if (!m.directory) continue;
        CTreeFolder* node = TreeInsertFolderNode(document_, item.folder, m.entry->name, m.entry, 0);
        if (!node) {
          damaged_ = true;
          continue;
        }
        const CExfatFileRecord* record = ExfatGetRecord(m.entry);
        if (record->dataLength == 0) continue;
        if (node->depth > kTreePathMaxDepth || !ValidCluster(v_, record->firstCluster) || seen_[record->firstCluster]) {
          damaged_ = true;  // too deep, outside the heap, or a directory met twice (a loop)
          continue;
        }
        seen_[record->firstCluster] = true;
        work.push_back({node, record->firstCluster, (record->attributes & kExfatNoChain) != 0, record->dataLength});
      }
      for (auto it = made_.rbegin(); it != made_.rend(); ++it) TreeFolderPrependEntry(item.folder, it->entry);
      if (labelOnly_) break;
    }
    if (damaged_) document_->treeDamaged = 1;
    return true;
  }

 private:
  struct Made {
    CTreeEntry* entry;
    bool directory;
  };

  void Parse(const PendingDirectory& item, const std::vector<uint8_t>& data, bool root) {
    const size_t count = data.size() / kEntryBytes;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* e = data.data() + i * kEntryBytes;
      const uint8_t type = e[0];
      if (type == 0) return;  // end of the directory
      if (type == 0x81 && root) {
        if (!ReadBitmap(e)) {
          damaged_ = true;
          return;
        }
        continue;
      }
      if (type == 0x83 && root) {
        if (e[1] > 15) {
          damaged_ = true;
          return;
        }
        uint16_t units[15];
        for (int j = 0; j < e[1]; ++j) units[j] = LoadU16LE(e + 2 + j * 2);
        wchar_t label[32];
        const int32_t n = TextUtf16ToWide(units, e[1], label, 32);
        if (n >= 0) std::wmemcpy(document_->identifiers[kVolumeLabel], label, static_cast<size_t>(n) + 1);
        continue;
      }
      if (type != 0x85) continue;  // unused, deleted and other entries
      if (labelOnly_) continue;
      const size_t secondaries = e[1];
      if (secondaries < 2 || secondaries > 19 || i + secondaries >= count) {
        damaged_ = true;
        return;
      }
      if (!EntrySet(item, data.data() + i * kEntryBytes, secondaries, i * kEntryBytes)) {
        damaged_ = true;
        return;
      }
      i += secondaries;
    }
  }

  bool ReadBitmap(const uint8_t* e) {
    if (v_->bitmapBytes) return true;  // the first bitmap (of the first FAT) is the one used
    const uint32_t first = LoadU32LE(e + 20);
    const uint64_t length = LoadU64LE(e + 24);
    if (!ValidCluster(v_, first) || length < (uint64_t{v_->clusterCount} + 7) / 8 ||
        length > uint64_t{v_->clusterCount} * v_->bytesPerCluster)
      return false;
    std::vector<uint8_t> bitmap;
    if (!ReadChain(document_, v_, first, true, length, &bitmap)) return false;
    uint64_t used = 0;
    for (uint32_t c = 0; c < v_->clusterCount; ++c) used += (bitmap[c / 8] >> (c % 8)) & 1;
    v_->bitmap = std::move(bitmap);
    v_->bitmapCluster = first;
    v_->bitmapBytes = length;
    v_->usedClusters = used;
    return true;
  }

  // One file / stream / name entry set: false when it is unsound (the directory ends there).
  bool EntrySet(const PendingDirectory& item, const uint8_t* set, size_t secondaries, uint64_t position) {
    uint16_t checksum = ExfatEntrySetChecksum(set);
    for (size_t k = 1; k <= secondaries; ++k) checksum = ExfatEntrySetChecksumAdd(set + k * kEntryBytes, checksum);
    if (checksum != LoadU16LE(set + 2)) return false;
    const uint8_t* stream = set + kEntryBytes;
    if (stream[0] != 0xC0 || stream[1] > 3) return false;
    const uint8_t nameLength = stream[3];
    const uint64_t validLength = LoadU64LE(stream + 8);
    const uint32_t first = LoadU32LE(stream + 20);
    const uint64_t dataLength = LoadU64LE(stream + 24);
    const uint16_t attributes = LoadU16LE(set + 4);
    const bool directory = (attributes & 0x10) != 0;
    if (nameLength == 0 || validLength > dataLength) return false;
    if (directory && dataLength % v_->bytesPerCluster != 0) return false;
    if (dataLength > uint64_t{v_->clusterCount} * v_->bytesPerCluster) return false;
    if (directory && dataLength > kMaxDirectoryBytes) return false;
    // The name: name entries follow the stream; the stream's length says where it ends.
    uint16_t units[kMaxNameUnits + 15];
    int got = 0;
    for (size_t k = 2; k <= secondaries && got < nameLength; ++k) {
      const uint8_t* n = set + k * kEntryBytes;
      if (n[0] != 0xC1) return false;
      for (int j = 0; j < 15; ++j) units[got++] = LoadU16LE(n + 2 + j * 2);
    }
    if (got < nameLength) return false;
    std::wstring name(static_cast<size_t>(nameLength) * 2 + 1, L'\0');
    const int32_t n = TextUtf16ToWide(units, nameLength, name.data(), name.size());
    if (n <= 0) return false;
    name.resize(static_cast<size_t>(n));
    if (directory) {
      while (!name.empty() && name.back() == L'.') name.pop_back();
      if (name.empty()) return false;
    }
    CExfatFileRecord record{};
    record.magic = kRecordMagic;
    record.firstCluster = first;
    record.attributes = attributes | ((stream[1] & 2) ? kExfatNoChain : 0);
    record.dataLength = dataLength;
    record.validLength = validLength;
    record.directoryCluster = item.cluster;
    record.entryPosition = position;
    CTreeEntry* entry = TreeNewEntry();
    auto* own = static_cast<CExfatFileRecord*>(MemAlloc(sizeof(CExfatFileRecord)));
    if (entry) entry->name = DupWide(name);
    if (!entry || !own || !entry->name) {
      MemFree(own);
      TreeFreeEntry(document_, entry);
      return false;
    }
    *own = record;
    entry->fsRecord = reinterpret_cast<uint8_t*>(own);
    entry->fsRecordSize = sizeof(CExfatFileRecord);
    entry->size = directory ? 0 : static_cast<int64_t>(dataLength);
    entry->sourceLba = first;
    uint8_t* dr = entry->directoryRecord;
    dr[kDirRecordLength] = kDirRecordCopySize;
    PutBothEndian32(dr + kDirRecordDataLength, static_cast<uint32_t>(std::min<int64_t>(entry->size, UINT32_MAX)));
    PutBothEndian16(dr + kDirRecordVolumeSequence, 1);
    if (const int64_t when = ExfatTime(LoadU32LE(set + 12), set[21], set[23]))
      IsoEncodeRecordDate(dr + kDirRecordDate, when);
    dr[kDirRecordFlags] = directory ? kDirFlagDirectory : 0;
    made_.push_back({entry, directory});
    return true;
  }

  CImageDocument* document_;
  CExfatVolume* v_;
  bool labelOnly_;
  std::vector<bool> seen_;
  std::vector<Made> made_;
  bool damaged_ = false;
};

// The map of a file's clusters, kept for the last file read.
int EnsureRuns(CImageDocument* document, const CTreeEntry* entry, const CExfatFileRecord* record) {
  CExfatVolume* v = document->exfat;
  if (v->mapOwner == entry && v->mapFirst == record->firstCluster && v->mapState != 0) return v->mapState;
  v->mapOwner = entry;
  v->mapFirst = record->firstCluster;
  v->mapState = BuildRuns(document, v, record->firstCluster, (record->attributes & kExfatNoChain) != 0,
                          record->validLength, &v->runs)
                    ? 1
                    : -1;
  return v->mapState;
}

}  // namespace

uint32_t ExfatBootChecksum(const uint8_t* bytes, size_t length, uint32_t start) {
  uint32_t sum = start;
  for (size_t i = 0; i < length; ++i) sum = ((sum << 31) | (sum >> 1)) + bytes[i];
  return sum;
}

uint16_t ExfatEntrySetChecksumAdd(const uint8_t* entry, uint16_t value) {
  for (uint32_t i = 0; i < kEntryBytes; ++i) value = static_cast<uint16_t>(((value << 15) | (value >> 1)) + entry[i]);
  return value;
}

uint16_t ExfatEntrySetChecksum(const uint8_t* firstEntry) {
  uint16_t value = 0;
  for (uint32_t i = 0; i < kEntryBytes; ++i) {
    if (i == 2 || i == 3) continue;
    value = static_cast<uint16_t>(((value << 15) | (value >> 1)) + firstEntry[i]);
  }
  return value;
}

int ExfatCheckBootRegion(CImageDocument* document, CExfatVolume* v) {
  if (!document || !v) return -1;
  uint8_t sector[512];
  if (!ImageReadVolumeBytes(document, 0, sector, sizeof sector)) return -1;
  ByteReader r(sector, sizeof sector);
  if (r.U16LEAt(510) != 0xAA55 || std::memcmp(sector + 3, "EXFAT   ", 8) != 0) return -1;
  const uint32_t bpsShift = r.U8At(108);
  const uint32_t spcShift = r.U8At(109);
  // The shifts are checked before they size anything.
  if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) return -1;
  if (r.U8At(110) != 1 || r.U8At(105) != 1 || r.U8At(104) != 0) return -1;
  v->bytesPerSectorShift = bpsShift;
  v->sectorsPerClusterShift = spcShift;
  v->bytesPerSector = 1u << bpsShift;
  v->bytesPerCluster = v->bytesPerSector << spcShift;
  // The checksum covers sectors 0 to 10; sector 11 repeats it in every word.
  std::vector<uint8_t> region(size_t{12} << bpsShift);
  if (!ImageReadVolumeBytes(document, 0, region.data(), region.size())) return -1;
  uint32_t sum = 0;
  for (size_t i = 0; i < size_t{11} << bpsShift; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum << 31) | (sum >> 1)) + region[i];
  }
  for (size_t at = size_t{11} << bpsShift; at < region.size(); at += 4)
    if (LoadU32LE(region.data() + at) != sum) return -1;
  std::memcpy(v->bootSector, sector, sizeof sector);
  v->volumeSectors = r.U64LEAt(72);
  v->fatOffset = r.U32LEAt(80);
  v->fatLength = r.U32LEAt(84);
  v->heapOffset = r.U32LEAt(88);
  v->clusterCount = r.U32LEAt(92);
  v->rootCluster = r.U32LEAt(96);
  if (!r.ok() || v->clusterCount == 0 || v->clusterCount > kLastCluster - 1) return -1;
  if (uint64_t{v->fatLength} << bpsShift < (uint64_t{v->clusterCount} + 2) * 4) return -1;
  const uint64_t heapEnd = v->heapOffset + (uint64_t{v->clusterCount} << spcShift);
  if (v->fatOffset == 0 || heapEnd > v->volumeSectors || !ValidCluster(v, v->rootCluster)) return -1;
  // The FAT is held in memory: it must lie in the source.
  const uint64_t fatEnd = (uint64_t{v->fatOffset} << bpsShift) + (uint64_t{v->clusterCount} + 2) * 4;
  if (fatEnd > static_cast<uint64_t>(ImageVolumeSourceBytes(document))) return -1;
  return 0;
}

uint64_t ExfatClusterToOffset(const CExfatVolume* v, uint32_t cluster) {
  if (cluster < 2) return 0;
  return ((uint64_t{cluster - 2} << v->sectorsPerClusterShift) + v->heapOffset) << v->bytesPerSectorShift;
}

int ExfatOpenVolume(CImageDocument* document) {
  if (!document) return 0;
  ExfatFreeVolume(document);
  std::unique_ptr<CExfatVolume> volume(new (std::nothrow) CExfatVolume{});
  if (!volume || ExfatCheckBootRegion(document, volume.get()) != 0) return 0;
  CExfatVolume* v = volume.get();
  // The root's length is its chain's, when the chain ends properly.
  if (!LoadFat(document, v)) return 0;
  uint64_t clusters = 0;
  for (uint32_t c = v->rootCluster; c >= 2 && c <= kLastCluster; c = v->fat[c]) {
    if (!ValidCluster(v, c) || ++clusters > v->clusterCount) return 0;
  }
  const uint64_t rootBytes = clusters * v->bytesPerCluster;
  if (!document->rootFolder && ImageCreateRoot(document) != 0) return 0;
  document->identifiers[kVolumeLabel][0] = 0;
  document->exfat = volume.release();
  if (!TreeLoader(document, document->loadTree == 0).Run(rootBytes)) {
    TreeFreeFolderEntries(document, document->rootFolder);
    ExfatFreeVolume(document);
    return 0;
  }
  return 1;
}

void ExfatFreeVolume(CImageDocument* document) {
  if (!document || !document->exfat) return;
  std::unique_ptr<CExfatVolume> volume(document->exfat);
  document->exfat = nullptr;
}

int ExfatIsSectorInUse(CImageDocument* document, int64_t sector) {
  if (!document || !document->exfat) return 1;
  const CExfatVolume* v = document->exfat;
  const int64_t unit = document->sectorSize > 0 ? document->sectorSize : 512;
  if (sector < document->partitionStart) return 1;
  const uint64_t byte = static_cast<uint64_t>(sector - document->partitionStart) * static_cast<uint64_t>(unit);
  const uint64_t heapStart = uint64_t{v->heapOffset} << v->bytesPerSectorShift;
  if (byte < heapStart) return 1;
  const uint64_t index = (byte - heapStart) / v->bytesPerCluster;
  if (index >= v->clusterCount || index / 8 >= v->bitmap.size()) return 1;
  return (v->bitmap[static_cast<size_t>(index / 8)] >> (index % 8)) & 1;
}

const CExfatFileRecord* ExfatGetRecord(const CTreeEntry* entry) {
  if (!entry || !entry->fsRecord || entry->fsRecordSize != static_cast<int32_t>(sizeof(CExfatFileRecord)))
    return nullptr;
  const auto* record = reinterpret_cast<const CExfatFileRecord*>(entry->fsRecord);
  return record->magic == kRecordMagic ? record : nullptr;
}

int64_t ExfatReadFileData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                          int64_t count) {
  const CExfatFileRecord* record = ExfatGetRecord(entry);
  if (!document || !document->exfat || !record || !buffer || offset < 0 || count <= 0) return 0;
  const uint64_t size = record->dataLength;
  if (static_cast<uint64_t>(offset) >= size) return 0;
  const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(count), size - static_cast<uint64_t>(offset));
  if (EnsureRuns(document, entry, record) != 1) {
    LastErrorSetText(L"The file's data is not all described in the image.");
    return 0;
  }
  CExfatVolume* v = document->exfat;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t at = static_cast<uint64_t>(offset);
  uint64_t done = 0;
  // Runs in file order: find the one holding `at` by their cumulative sizes.
  uint64_t runStart = 0;
  size_t index = 0;
  while (done < want) {
    if (at >= record->validLength) {
      std::memset(out + done, 0, static_cast<size_t>(want - done));  // past the valid data: zeros
      done = want;
      break;
    }
    while (index < v->runs.size() && runStart + uint64_t{v->runs[index].second} * v->bytesPerCluster <= at) {
      runStart += uint64_t{v->runs[index].second} * v->bytesPerCluster;
      ++index;
    }
    if (index >= v->runs.size()) break;
    const uint64_t runBytes = uint64_t{v->runs[index].second} * v->bytesPerCluster;
    const uint64_t piece = std::min({want - done, runStart + runBytes - at, record->validLength - at});
    if (!ImageReadVolumeBytes(document, ExfatClusterToOffset(v, v->runs[index].first) + (at - runStart), out + done,
                              piece)) {
      if (LastErrorGetCode() == 0) LastErrorSetText(L"The image file ends before the data it holds.");
      break;
    }
    done += piece;
    at += piece;
  }
  return static_cast<int64_t>(done);
}

int64_t ExfatFileRun(CImageDocument* document, const CTreeEntry* entry, uint64_t offset, uint64_t* volumeByte) {
  const CExfatFileRecord* record = ExfatGetRecord(entry);
  if (!document || !document->exfat || !record || !volumeByte || offset >= record->validLength) return 0;
  CExfatVolume* v = document->exfat;
  if (offset % v->bytesPerCluster != 0 || EnsureRuns(document, entry, record) != 1) return 0;
  uint64_t runStart = 0;
  for (const auto& run : v->runs) {
    const uint64_t runBytes = uint64_t{run.second} * v->bytesPerCluster;
    if (offset < runStart + runBytes) {
      *volumeByte = ExfatClusterToOffset(v, run.first) + (offset - runStart);
      return static_cast<int64_t>(std::min(runStart + runBytes, record->validLength) - offset);
    }
    runStart += runBytes;
  }
  return 0;
}
