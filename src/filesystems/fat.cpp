#include "filesystems/fat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <new>
#include <string>
#include <unordered_set>

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

constexpr uint32_t kSector = 512;
constexpr uint32_t kEntryBytes = 32;
// A directory holds at most 65,536 entries (2 MiB).
constexpr size_t kMaxDirectoryBytes = size_t{65536} * kEntryBytes;
// Data is copied into new files in steps of this size.
constexpr size_t kCopyStep = 512 * 1024;
// Largest run of clusters read from the image in one request.
constexpr int64_t kMaxRunBytes = 4 * 1024 * 1024;
// Highest usable FAT32 cluster number is 0x0FFFFFF6, so at most this many clusters.
constexpr uint32_t kFat32MaxClusters = 0x0FFFFFF5;
constexpr int kLongNameMaxParts = 20;
constexpr int kLongNameUnitsPerPart = 13;
constexpr int kLongNameMaxUnits = 255;

constexpr CFatMarkers kMarkers12 = {0xFF8, 0xFFF, 0, 0xFFF, 0xFF7, "FAT12   "};
constexpr CFatMarkers kMarkers16 = {0xFFF8, 0xFFFF, 0, 0xFFFF, 0xFFF7, "FAT16   "};
constexpr CFatMarkers kMarkers32 = {0xFFFFFFF8, 0xFFFFFFFF, 0, 0x0FFFFFFF, 0x0FFFFFF7, "FAT32   "};

const wchar_t kNoSpaceText[] = L"There is not enough free space to hold the file.";

// The boot-sector fields the driver reads.
struct BootFields {
  uint16_t bytesPerSector;
  uint8_t sectorsPerCluster;
  uint16_t reserved;
  uint8_t fatCount;
  uint16_t rootEntries;
  uint16_t total16;
  uint8_t media;
  uint16_t fat16Sectors;
  uint32_t total32;
  uint32_t fat32Sectors;
  uint32_t rootCluster;
  uint16_t fsInfo;
  uint16_t backupBoot;
  uint16_t signature;
  uint32_t total() const { return total16 ? total16 : total32; }
  uint32_t sectorsPerFat() const { return fat16Sectors ? fat16Sectors : fat32Sectors; }
};

BootFields ParseBoot(const uint8_t* boot) {
  BootFields f{};
  ByteReader r(boot, kSector);
  r.Seek(11);
  f.bytesPerSector = r.U16LE();
  f.sectorsPerCluster = r.U8();
  f.reserved = r.U16LE();
  f.fatCount = r.U8();
  f.rootEntries = r.U16LE();
  f.total16 = r.U16LE();
  f.media = r.U8();
  f.fat16Sectors = r.U16LE();
  r.Seek(32);
  f.total32 = r.U32LE();
  f.fat32Sectors = r.U32LE();
  r.Seek(44);
  f.rootCluster = r.U32LE();
  f.fsInfo = r.U16LE();
  f.backupBoot = r.U16LE();
  r.Seek(510);
  f.signature = r.U16LE();
  return f;
}

// Sectors of a root directory of `entries` entries.
uint32_t RootSectorsOf(uint32_t entries) { return (entries * kEntryBytes + kSector - 1) / kSector; }

// ---- Raw volume access ----

// Reads volume sectors from the image, bypassing the write cache: count, or 0. No source reads as zeros.
int64_t ReadVolumeRaw(CImageDocument* document, uint64_t sector, void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (!document->input && !document->diskReader) {
    std::memset(buffer, 0, static_cast<size_t>(count) * kSector);
    return count;
  }
  if (sector > static_cast<uint64_t>(INT64_MAX / kSector)) return 0;
  const int64_t offset = ImageVolumeStartByte(document) + static_cast<int64_t>(sector) * kSector;
  return ImageReadDiskBytes(document, offset, buffer, count * kSector) == count * kSector ? count : 0;
}

void ReportReadFailure(CImageDocument* document) {
  if (document->quiet) return;
  if (LastErrorGetCode() == 0) LastErrorSetText(L"The image file ends before the data it holds.");
  ErrorReport(document->path.c_str());
  AbortCodeSet(kAbortImageRead);
}

bool ValidCluster(const CFatVolume* volume, uint32_t cluster) {
  return cluster >= 2 && cluster - 2 < volume->clusterCount;
}

// The cached copy holding a volume sector, or null.
const uint8_t* CachedSector(const CFatVolume* volume, uint64_t sector) {
  if (sector < volume->firstDataSector) {
    auto it = volume->sectorCache.find(static_cast<uint32_t>(sector));
    return it == volume->sectorCache.end() ? nullptr : it->second.get();
  }
  if (volume->clusterCache.empty()) return nullptr;
  const uint64_t relative = sector - volume->firstDataSector;
  const uint64_t cluster = relative / volume->sectorsPerCluster + 2;
  if (cluster > UINT32_MAX) return nullptr;
  auto it = volume->clusterCache.find(static_cast<uint32_t>(cluster));
  if (it == volume->clusterCache.end()) return nullptr;
  return it->second.get() + (relative % volume->sectorsPerCluster) * kSector;
}

// ---- Names and dates ----

uint8_t ShortNameChecksum(const uint8_t* name) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
  return sum;
}

// The short name as text: the base without trailing blanks, "." and the extension when there is one.
std::string ShortNameText(const uint8_t* name, bool lowerCase) {
  std::string text;
  int baseEnd = 8;
  while (baseEnd > 0 && name[baseEnd - 1] == ' ') --baseEnd;
  int extEnd = 11;
  while (extEnd > 8 && name[extEnd - 1] == ' ') --extEnd;
  text.assign(reinterpret_cast<const char*>(name), static_cast<size_t>(baseEnd));
  if (!text.empty() && static_cast<uint8_t>(text[0]) == 0x05) text[0] = static_cast<char>(0xE5);
  if (extEnd > 8) text.append(".").append(reinterpret_cast<const char*>(name + 8), static_cast<size_t>(extEnd - 8));
  if (lowerCase)
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::wstring WidenCodePage(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const size_t n = TextMultiByteToWideLenient(text.data(), text.size(), wide.data());
  wide.resize(n);
  return wide;
}

wchar_t* DupWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(MemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy) std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The instant of a DOS date and time read as local wall-clock time; 0 when the fields form no date.
int64_t DosToUnix(uint16_t date, uint16_t time) {
  const int month = (date >> 5) & 15, day = date & 31;
  if (month < 1 || month > 12 || day < 1) return 0;
  std::tm fields{};
  fields.tm_year = 80 + (date >> 9);
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = std::min(time >> 11, 23);
  fields.tm_min = std::min((time >> 5) & 63, 59);
  fields.tm_sec = std::min((time & 31) * 2, 59);
  fields.tm_isdst = -1;
  const std::time_t result = std::mktime(&fields);
  return result == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(result);
}

void UnixToDos(int64_t unixTime, uint16_t* date, uint16_t* time) {
  std::time_t t = static_cast<std::time_t>(unixTime);
  std::tm fields{};
  if (!localtime_r(&t, &fields)) fields = std::tm{};
  int year = fields.tm_year + 1900;
  if (year < 1980) {
    *date = (1 << 5) | 1;  // 1980-01-01
    *time = 0;
    return;
  }
  if (year > 2107) {
    *date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
    *time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
    return;
  }
  *date = static_cast<uint16_t>(((year - 1980) << 9) | ((fields.tm_mon + 1) << 5) | fields.tm_mday);
  *time = static_cast<uint16_t>((fields.tm_hour << 11) | (fields.tm_min << 5) | (std::min(fields.tm_sec, 59) / 2));
}

// ---- Directory buffers ----

struct DirBuffer {
  uint32_t first = 0;              // first cluster; 0 for a FAT12/16 root
  std::vector<uint32_t> clusters;  // the chain
  std::vector<uint8_t> data;       // every entry
  bool isFixedRoot = false;
  size_t EntryCount() const { return data.size() / kEntryBytes; }
  uint8_t* Entry(size_t index) { return data.data() + index * kEntryBytes; }
};

uint32_t RootDirectoryCluster(const CFatVolume* volume) {
  return volume->type == kFatType32 ? volume->rootCluster : 0;
}

// Every entry after the first one that begins with 0 is cleared.
void ClearAfterEnd(DirBuffer& dir) {
  for (size_t i = 0; i < dir.EntryCount(); ++i) {
    if (dir.Entry(i)[0] == 0) {
      std::memset(dir.Entry(i), 0, dir.data.size() - i * kEntryBytes);
      return;
    }
  }
}

// Reads a directory whole: the FAT12/16 root for cluster 0, else the chain from `first`. Clusters met in
// `loaded` (the directories already read by this walk) end the chain, as does a repeated cluster. `damaged`
// reports such a cut. False when nothing could be read.
bool ReadDirectory(CImageDocument* document, uint32_t first, DirBuffer& dir,
                   std::unordered_set<uint32_t>* loaded, bool* damaged) {
  CFatVolume* volume = document->fat;
  dir = DirBuffer{};
  dir.first = first;
  if (first == 0 && volume->type != kFatType32) {
    dir.isFixedRoot = true;
    dir.data = volume->root;
    ClearAfterEnd(dir);
    return true;
  }
  if (!ValidCluster(volume, first)) return false;
  std::unordered_set<uint32_t> own;
  uint32_t cluster = first;
  while (ValidCluster(volume, cluster) && dir.data.size() + volume->bytesPerCluster <= kMaxDirectoryBytes) {
    if (!own.insert(cluster).second || (loaded && !loaded->insert(cluster).second)) {
      if (damaged) *damaged = true;
      break;
    }
    const size_t at = dir.data.size();
    dir.data.resize(at + volume->bytesPerCluster);
    if (!FatReadCluster(document, cluster, dir.data.data() + at)) {
      dir.data.resize(at);
      if (damaged) *damaged = true;
      break;
    }
    dir.clusters.push_back(cluster);
    cluster = FatGetEntry(volume, cluster);
  }
  if (dir.clusters.empty()) return false;
  ClearAfterEnd(dir);
  return true;
}

// Writes entries first .. first + count - 1 of the directory back (only the clusters they touch).
bool WriteDirectory(CImageDocument* document, DirBuffer& dir, size_t first, size_t count) {
  CFatVolume* volume = document->fat;
  if (count == 0) return true;
  if (dir.isFixedRoot) {
    const size_t from = first * kEntryBytes, bytes = count * kEntryBytes;
    if (from + bytes > volume->root.size()) return false;
    std::memcpy(volume->root.data() + from, dir.data.data() + from, bytes);
    volume->rootChanged = 1;
    return true;
  }
  const size_t perCluster = volume->bytesPerCluster / kEntryBytes;
  const size_t lastCluster = (first + count - 1) / perCluster;
  for (size_t k = first / perCluster; k <= lastCluster && k < dir.clusters.size(); ++k) {
    if (!FatWriteCluster(document, dir.clusters[k], dir.data.data() + k * volume->bytesPerCluster)) return false;
  }
  return true;
}

// ---- Chains ----

// Frees the chain from `first`: every cluster gets the free value; an already free entry ends it.
void FreeChain(CFatVolume* volume, uint32_t first) {
  uint32_t cluster = first;
  for (uint32_t steps = 0; ValidCluster(volume, cluster) && steps < volume->clusterCount; ++steps) {
    const uint32_t next = FatGetEntry(volume, cluster);
    if (next == volume->markers.freeValue) break;
    FatSetEntry(volume, cluster, volume->markers.freeValue);
    volume->clusterCache.erase(cluster);
    if (volume->freeCount < volume->clusterCount) ++volume->freeCount;
    cluster = next;
  }
}

// Allocates `count` clusters as one chain; 0 when they cannot all be had (nothing stays allocated).
uint32_t AllocateChain(CFatVolume* volume, uint64_t count) {
  uint32_t first = 0, last = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t cluster = FatFindFreeCluster(volume);
    if (!cluster) {
      FreeChain(volume, first);
      return 0;
    }
    if (last)
      FatSetEntry(volume, last, cluster);
    else
      first = cluster;
    last = cluster;
  }
  return first;
}

uint32_t EntryFirstCluster(const CFatVolume* volume, const uint8_t* entry) {
  ByteReader r(entry, kEntryBytes);
  r.Seek(20);
  const uint32_t high = r.U16LE();
  r.Seek(26);
  const uint32_t low = r.U16LE();
  return volume->type == kFatType32 ? (high << 16) | low : low;
}

void SetEntryFirstCluster(const CFatVolume* volume, uint8_t* entry, uint32_t cluster) {
  PutLittleEndian16(entry + 20, volume->type == kFatType32 ? static_cast<uint16_t>(cluster >> 16) : 0);
  PutLittleEndian16(entry + 26, static_cast<uint16_t>(cluster));
}

void SetEntryTime(uint8_t* entry, int64_t unixTime) {
  uint16_t date = 0, time = 0;
  UnixToDos(unixTime, &date, &time);
  PutLittleEndian16(entry + 22, time);
  PutLittleEndian16(entry + 24, date);
}

bool IsDotEntry(const uint8_t* entry) {
  return entry[0] == '.' && (std::memcmp(entry + 1, "          ", 10) == 0 ||
                             (entry[1] == '.' && std::memcmp(entry + 2, "         ", 9) == 0));
}

// ---- Short-name aliases ----

bool ShortNameChar(wchar_t c) {
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return c < 0x80 && c > 0x20 && std::strchr("!#$%&'()-@^_`{}~", static_cast<char>(c)) != nullptr;
}

// Maps one character of a long name to the alias: upper case; characters FAT refuses become '_'. `lossy` is set
// when the character does not survive.
char AliasChar(wchar_t c, bool* lossy) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (ShortNameChar(c)) return static_cast<char>(c);
  *lossy = true;
  return '_';
}

// An 8.3 alias for `name` that no other entry of the directory uses ("~N" added when the name does not fit
// or is taken). False when every number is taken.
bool MakeAlias(DirBuffer& dir, const wchar_t* name, uint8_t* alias) {
  std::unordered_set<std::string> taken;
  for (size_t i = 0; i < dir.EntryCount(); ++i) {
    const uint8_t* e = dir.Entry(i);
    if (e[0] == 0) break;
    if (e[0] == 0xE5 || e[11] == kFatAttrLongName) continue;
    taken.emplace(reinterpret_cast<const char*>(e), 11);
  }
  std::wstring text = name;
  bool lossy = false;
  // Leading dots and spaces do not start a short name.
  size_t start = text.find_first_not_of(L". ");
  if (start == std::wstring::npos) start = text.size();
  if (start) lossy = true;
  const size_t dot = text.rfind(L'.');
  const bool hasExt = dot != std::wstring::npos && dot > start;
  std::string base, ext;
  for (size_t i = start; i < (hasExt ? dot : text.size()); ++i) {
    if (text[i] == L' ' || text[i] == L'.') {
      lossy = true;
      continue;
    }
    base.push_back(AliasChar(text[i], &lossy));
  }
  if (hasExt)
    for (size_t i = dot + 1; i < text.size(); ++i) {
      if (text[i] == L' ') {
        lossy = true;
        continue;
      }
      ext.push_back(AliasChar(text[i], &lossy));
    }
  if (base.size() > 8 || ext.size() > 3) lossy = true;
  if (ext.size() > 3) ext.resize(3);
  if (base.empty()) {
    base.assign(1, '_');
    lossy = true;
  }
  auto compose = [&](const std::string& b) {
    std::memset(alias, ' ', 11);
    std::memcpy(alias, b.data(), std::min<size_t>(b.size(), 8));
    std::memcpy(alias + 8, ext.data(), ext.size());
  };
  if (!lossy) {
    compose(base);
    if (!taken.count(std::string(reinterpret_cast<char*>(alias), 11))) return true;
  }
  for (uint32_t n = 1; n <= 999999; ++n) {
    const std::string number = std::to_string(n);
    std::string stem(base, 0, std::min(base.size(), 7 - number.size()));
    stem.push_back('~');
    stem.append(number);
    compose(stem);
    if (!taken.count(std::string(reinterpret_cast<char*>(alias), 11))) return true;
  }
  return false;
}

// ---- Placing new entries ----

// A failed edit leaves abort code 16 unless a more telling code was set.
void MarkAddFailed() {
  if (AbortCodeGet() == 0) AbortCodeSet(kAbortFatAdd);
}

void ShowNoSpace(const wchar_t* name) {
  std::wstring text = name ? name : L"";
  text.append(L"\r\n\r\n").append(kNoSpaceText);
  MessageShow(text.c_str());
  AbortCodeSet(kAbortCancelled);
}

// Grows a cluster directory by one zero-filled cluster.
bool GrowDirectory(CImageDocument* document, DirBuffer& dir) {
  CFatVolume* volume = document->fat;
  if (dir.isFixedRoot || dir.clusters.empty() || dir.data.size() + volume->bytesPerCluster > kMaxDirectoryBytes)
    return false;
  const uint32_t cluster = FatFindFreeCluster(volume);
  if (!cluster) return false;
  std::vector<uint8_t> zero(volume->bytesPerCluster, 0);
  if (!FatWriteCluster(document, cluster, zero.data())) {
    FreeChain(volume, cluster);
    return false;
  }
  FatSetEntry(volume, dir.clusters.back(), cluster);
  dir.clusters.push_back(cluster);
  dir.data.insert(dir.data.end(), zero.begin(), zero.end());
  return true;
}

// Makes the long-name parts and the short entry of `name` in the directory (growing it when it has no room):
// the index of the short entry and the number of entries used, or false with the reason reported.
bool PlaceEntries(CImageDocument* document, DirBuffer& dir, const wchar_t* name, uint8_t attributes,
                  size_t* index, size_t* count) {
  uint16_t units[2 * kLongNameMaxUnits + 2];
  const int32_t length = name ? TextWideToUtf16(name, -1, units, sizeof units / sizeof units[0]) : -1;
  if (length <= 0 || length > kLongNameMaxUnits) {
    LastErrorSetText(L"The name is not valid on a FAT volume.");
    return false;
  }
  int32_t padded = length;
  if (padded % kLongNameUnitsPerPart) {
    units[padded++] = 0;
    while (padded % kLongNameUnitsPerPart) units[padded++] = 0xFFFF;
  }
  const int parts = padded / kLongNameUnitsPerPart;
  const size_t needed = static_cast<size_t>(parts) + 1;
  size_t at = 0;
  for (;;) {
    size_t run = 0;
    bool found = false;
    for (size_t i = 0; i < dir.EntryCount(); ++i) {
      const uint8_t first = dir.Entry(i)[0];
      run = first == 0 || first == 0xE5 ? run + 1 : 0;
      if (run == needed) {
        at = i + 1 - needed;
        found = true;
        break;
      }
    }
    if (found) break;
    if (!GrowDirectory(document, dir)) {
      if (dir.isFixedRoot) LastErrorSetText(L"The root directory is full.");
      else ShowNoSpace(name);
      return false;
    }
  }
  uint8_t alias[11];
  if (!MakeAlias(dir, name, alias)) {
    LastErrorSetText(L"The name is not valid on a FAT volume.");
    return false;
  }
  const uint8_t checksum = ShortNameChecksum(alias);
  for (int k = 0; k < parts; ++k) {
    const int sequence = parts - k;  // the last part is stored first
    uint8_t* e = dir.Entry(at + static_cast<size_t>(k));
    std::memset(e, 0, kEntryBytes);
    e[0] = static_cast<uint8_t>(sequence | (k == 0 ? 0x40 : 0));
    e[11] = kFatAttrLongName;
    e[13] = checksum;
    const uint16_t* u = units + (sequence - 1) * kLongNameUnitsPerPart;
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int j = 0; j < kLongNameUnitsPerPart; ++j) PutLittleEndian16(e + kOffsets[j], u[j]);
  }
  uint8_t* shortEntry = dir.Entry(at + static_cast<size_t>(parts));
  std::memset(shortEntry, 0, kEntryBytes);
  std::memcpy(shortEntry, alias, 11);
  shortEntry[11] = attributes;
  *index = at + static_cast<size_t>(parts);
  *count = needed;
  return true;
}

// Marks the entries of a locator free in its directory buffer (only when the short entry still is the one the
// locator names).
void MarkEntriesFree(const CFatVolume* volume, DirBuffer& dir, const CFatLocator& locator) {
  if (locator.entryIndex >= dir.EntryCount() || locator.entryCount == 0 ||
      locator.entryCount > locator.entryIndex + 1)
    return;
  const uint8_t* shortEntry = dir.Entry(locator.entryIndex);
  if (shortEntry[0] == 0 || shortEntry[0] == 0xE5 || EntryFirstCluster(volume, shortEntry) != locator.firstCluster)
    return;
  for (uint32_t k = 0; k < locator.entryCount; ++k) dir.Entry(locator.entryIndex - k)[0] = 0xE5;
}

bool SetLocator(CTreeEntry* entry, const CFatLocator& locator) {
  auto* record = static_cast<uint8_t*>(MemAlloc(sizeof(CFatLocator)));
  if (!record) return false;
  std::memcpy(record, &locator, sizeof locator);
  MemFree(entry->fsRecord);
  entry->fsRecord = record;
  entry->fsRecordSize = sizeof(CFatLocator);
  return true;
}

void DropLocator(CTreeEntry* entry) {
  MemFree(entry->fsRecord);
  entry->fsRecord = nullptr;
  entry->fsRecordSize = 0;
}

// The first cluster of the directory that holds a tree entry (0 for a FAT12/16 root); false when the entry's
// folder is not a directory of this volume. `isRoot` tells whether it is the root.
bool ParentDirectory(CImageDocument* document, const CTreeEntry* entry, uint32_t* cluster, bool* isRoot) {
  const CFatVolume* volume = document->fat;
  const CTreeFolder* folder = entry->parent;
  if (!folder) return false;
  if (folder == document->rootFolder || folder->parent == folder || !folder->entry ||
      folder->entry == document->rootEntry) {
    *cluster = RootDirectoryCluster(volume);
    *isRoot = true;
    return true;
  }
  const CFatLocator* locator = FatGetLocator(folder->entry);
  if (!locator || !(locator->attributes & kFatAttrDirectory) || !ValidCluster(volume, locator->firstCluster))
    return false;
  *cluster = locator->firstCluster;
  *isRoot = false;
  return true;
}

int64_t EntryTime(const CTreeEntry* entry) {
  const int64_t t = IsoDecodeRecordDate(entry->directoryRecord + kDirRecordDate);
  return t ? t : static_cast<int64_t>(std::time(nullptr));
}

// ---- Loading the tree ----

// Builds a long name from a run of long-name parts followed by their short entry.
struct LongNameRun {
  bool active = false;
  int parts = 0;
  int expected = 0;  // sequence number the next part must carry
  uint8_t checksum = 0;
  uint16_t units[kLongNameMaxParts * kLongNameUnitsPerPart] = {};

  void Reset() { active = false; }
  void Take(const uint8_t* e) {
    const int sequence = e[0] & 0x3F;
    const bool last = (e[0] & 0x40) != 0;
    if (last && !(e[0] & 0x80) && sequence >= 1 && sequence <= kLongNameMaxParts) {
      active = true;
      parts = sequence;
      checksum = e[13];
      std::fill(std::begin(units), std::end(units), 0);
    } else if (!active || last || sequence != expected || e[13] != checksum) {
      active = false;
      return;
    }
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    ByteReader r(e, kEntryBytes);
    for (int j = 0; j < kLongNameUnitsPerPart; ++j) {
      r.Seek(static_cast<size_t>(kOffsets[j]));
      units[(sequence - 1) * kLongNameUnitsPerPart + j] = r.U16LE();
    }
    expected = sequence - 1;
  }
  // The long name for a short entry, or "" when the run does not belong to it.
  std::wstring Finish(const uint8_t* shortEntry) {
    if (!active || expected != 0 || ShortNameChecksum(shortEntry) != checksum) {
      active = false;
      return {};
    }
    active = false;
    int32_t length = 0;
    const int32_t limit = parts * kLongNameUnitsPerPart;
    while (length < limit && units[length] != 0) ++length;
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    const int32_t n = TextUtf16ToWide(units, length, wide.data(), wide.size());
    if (n < 0) return {};
    wide.resize(static_cast<size_t>(n));
    return wide;
  }
};

void SetLabel(CImageDocument* document, const std::string& raw) {
  std::string text = raw;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  std::wstring wide = text.empty() ? std::wstring(L"<No Label>") : WidenCodePage(text);
  wide.resize(std::min<size_t>(wide.size(), kVolumeIdentifierChars - 1));
  std::wmemcpy(document->identifiers[kVolumeLabel], wide.c_str(), wide.size() + 1);
}

CTreeEntry* MakeTreeEntry(CImageDocument* document, const std::wstring& name, const uint8_t* e,
                          const CFatLocator& locator, bool* damaged) {
  CFatVolume* volume = document->fat;
  CTreeEntry* entry = TreeNewEntry();
  if (!entry) return nullptr;
  entry->name = DupWide(name);
  const bool directory = (locator.attributes & kFatAttrDirectory) != 0;
  int64_t size = directory ? 0 : locator.size;
  // A size past the data area cannot be read back; it is cut to what the volume could hold.
  const int64_t capacity = static_cast<int64_t>(volume->clusterCount) * volume->bytesPerCluster;
  if (size > capacity) {
    size = capacity;
    *damaged = true;
  }
  entry->size = size;
  CFatLocator own = locator;
  own.size = static_cast<uint32_t>(size);
  if (!entry->name || !SetLocator(entry, own)) {
    TreeFreeEntry(document, entry);
    return nullptr;
  }
  uint8_t* record = entry->directoryRecord;
  record[kDirRecordLength] = kDirRecordCopySize;
  PutBothEndian32(record + kDirRecordDataLength, static_cast<uint32_t>(size));
  PutBothEndian16(record + kDirRecordVolumeSequence, 1);
  ByteReader r(e, kEntryBytes);
  r.Seek(22);
  const uint16_t time = r.U16LE();
  const uint16_t date = r.U16LE();
  if (const int64_t when = DosToUnix(date, time)) IsoEncodeRecordDate(record + kDirRecordDate, when);
  record[kDirRecordFlags] = directory ? kDirFlagDirectory : 0;
  if (!directory) {
    const std::string shortName = ShortNameText(e, false);
    entry->isoName = static_cast<char*>(MemAlloc(shortName.size() + 1));
    if (entry->isoName) std::memcpy(entry->isoName, shortName.c_str(), shortName.size() + 1);
    volume->totalFileBytes += size;
  }
  return entry;
}

struct PendingDirectory {
  CTreeFolder* folder;
  uint32_t cluster;
};

// Reads every directory from the root down and hangs its entries on the tree. With `labelOnly`, only the root
// is read, for its label.
void LoadTree(CImageDocument* document, bool labelOnly) {
  CFatVolume* volume = document->fat;
  std::unordered_set<uint32_t> loaded;
  std::vector<PendingDirectory> work{{document->rootFolder, RootDirectoryCluster(volume)}};
  bool damaged = false;
  bool labelSeen = false;
  while (!work.empty()) {
    PendingDirectory item = work.back();
    work.pop_back();
    const bool isRoot = item.folder == document->rootFolder;
    DirBuffer dir;
    if (!ReadDirectory(document, item.cluster, dir, &loaded, &damaged)) {
      damaged = true;
      continue;
    }
    std::vector<CTreeEntry*> made;
    const size_t pendingBefore = work.size();
    LongNameRun longName;
    for (size_t i = 0; i < dir.EntryCount(); ++i) {
      const uint8_t* e = dir.Entry(i);
      if (e[0] == 0) break;
      if (e[0] == 0xE5) {
        longName.Reset();
        continue;
      }
      const uint8_t attributes = e[11];
      if (attributes == kFatAttrLongName) {
        longName.Take(e);
        continue;
      }
      const int parts = longName.active ? longName.parts : 0;
      std::wstring name = longName.Finish(e);
      const bool hasLongName = !name.empty();
      if (attributes & kFatAttrVolumeLabel) {
        if (isRoot && !labelSeen) {
          labelSeen = true;
          SetLabel(document, std::string(reinterpret_cast<const char*>(e), 11));
          volume->labelCluster = dir.first;
          volume->labelIndex = static_cast<int32_t>(i);
        }
        continue;
      }
      if (labelOnly || IsDotEntry(e)) continue;
      if (!hasLongName) name = WidenCodePage(ShortNameText(e, volume->type == kFatType32));
      const bool directory = (attributes & kFatAttrDirectory) != 0;
      if (directory && !name.empty() && name.back() == L'.') name.pop_back();
      if (name.empty() || name == L"." || name == L"..") continue;
      CFatLocator locator{};
      locator.directoryCluster = dir.first;
      locator.entryIndex = static_cast<uint32_t>(i);
      locator.entryCount = static_cast<uint32_t>(hasLongName ? parts + 1 : 1);
      locator.firstCluster = EntryFirstCluster(volume, e);
      ByteReader r(e, kEntryBytes);
      r.Seek(28);
      locator.size = r.U32LE();
      locator.attributes = attributes;
      CTreeEntry* entry = MakeTreeEntry(document, name, e, locator, &damaged);
      if (!entry) continue;
      if (directory) {
        CTreeFolder* node = TreeInsertFolderNode(document, item.folder, entry->name, entry, 0);
        if (node && node->depth <= kTreePathMaxDepth && ValidCluster(volume, locator.firstCluster)) {
          if (loaded.count(locator.firstCluster))
            damaged = true;  // a directory already read (a loop)
          else
            work.push_back({node, locator.firstCluster});
        } else if (node && node->depth > kTreePathMaxDepth) {
          damaged = true;
        }
      }
      made.push_back(entry);
    }
    // The folders just found are read next: a disk reader that decodes ahead can start on them all now.
    for (size_t k = pendingBefore; k < work.size(); ++k)
      ImageHintDiskBytes(
          document,
          ImageVolumeStartByte(document) + static_cast<int64_t>(FatClusterToSector(volume, work[k].cluster)) * kSector,
          static_cast<int64_t>(volume->sectorsPerCluster) * kSector);
    // Prepending in reverse keeps the directory's order.
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
      TreeFolderPrependEntry(item.folder, *it);
      if (!((*it)->directoryRecord[kDirRecordFlags] & kDirFlagDirectory) && (*it)->isoName) {
        if (!item.folder->isoIndex) item.folder->isoIndex = NameIndexNew();
        if (item.folder->isoIndex) NameIndexAddIsoName(item.folder->isoIndex, *it);
      }
    }
    if (labelOnly) break;
  }
  if (!labelSeen) {
    if (volume->type != kFatType32)
      SetLabel(document, std::string(reinterpret_cast<const char*>(volume->bootSector + 43), 11));
    else
      SetLabel(document, std::string());
  }
  if (damaged) document->treeDamaged = 1;
}

// Counts the free clusters and sets the hint to the first one (2 when none is free).
void CountFreeClusters(CFatVolume* volume, bool setHint) {
  uint32_t free = 0, first = 0;
  for (uint32_t c = 2; c - 2 < volume->clusterCount; ++c) {
    if (FatGetEntry(volume, c) == 0) {
      ++free;
      if (!first) first = c;
    }
  }
  volume->freeCount = free;
  if (setHint) volume->nextFree = first ? first : 2;
}

bool FsInfoSigned(const uint8_t* sector) {
  ByteReader r(sector, kSector);
  const uint32_t lead = r.U32LE();
  r.Seek(484);
  const uint32_t middle = r.U32LE();
  r.Seek(508);
  const uint32_t trail = r.U32LE();
  return r.ok() && lead == 0x41615252 && middle == 0x61417272 && trail == 0xAA550000;
}

// Writes the free count and hint into a signed FSInfo sector through the cache.
void WriteFsInfoAt(CImageDocument* document, uint32_t sector) {
  CFatVolume* volume = document->fat;
  uint8_t buffer[kSector];
  if (FatReadSectors(document, sector, buffer, 1) != 1 || !FsInfoSigned(buffer)) return;
  PutLittleEndian32(buffer + 488, volume->freeCount);
  PutLittleEndian32(buffer + 492, volume->nextFree);
  FatWriteSectors(document, sector, buffer, 1);
}

// FAT32: finds the signed FSInfo sector (and its backup), trusts its figures when they are sane, else
// recounts and writes them back.
void OpenFsInfo(CImageDocument* document, const BootFields& boot) {
  CFatVolume* volume = document->fat;
  uint8_t buffer[kSector];
  if (boot.fsInfo >= 1 && boot.fsInfo < boot.reserved && ReadVolumeRaw(document, boot.fsInfo, buffer, 1) == 1 &&
      FsInfoSigned(buffer)) {
    volume->fsInfoSector = boot.fsInfo;
    const uint32_t backup = static_cast<uint32_t>(boot.backupBoot) + boot.fsInfo;
    uint8_t copy[kSector];
    if (boot.backupBoot != 0 && boot.backupBoot != 0xFFFF && backup < boot.reserved &&
        ReadVolumeRaw(document, backup, copy, 1) == 1 && FsInfoSigned(copy))
      volume->fsInfoBackup = backup;
  }
  if (!volume->fsInfoSector) {
    CountFreeClusters(volume, true);
    return;
  }
  ByteReader r(buffer, kSector);
  r.Seek(488);
  const uint32_t free = r.U32LE();
  const uint32_t hint = r.U32LE();
  const uint32_t limit = volume->clusterCount + 1;
  if (free != 0xFFFFFFFF && !(free == 0 && hint == 0) && hint != 0xFFFFFFFF && free <= volume->clusterCount &&
      hint <= limit) {
    volume->freeCount = free;
    volume->nextFree = ValidCluster(volume, hint) ? hint : 2;
    return;
  }
  CountFreeClusters(volume, hint == 0xFFFFFFFF || !ValidCluster(volume, hint));
  if (hint != 0xFFFFFFFF && ValidCluster(volume, hint)) volume->nextFree = hint;
  WriteFsInfoAt(document, volume->fsInfoSector);
  if (volume->fsInfoBackup) WriteFsInfoAt(document, volume->fsInfoBackup);
}

}  // namespace

// ---- Boot record ----

void UsbFreeBootRecord(CUsbBootRecord* record) {
  if (!record) return;
  MemFree(record->masterBootRecord);
  MemFree(record->volumeBootSector);
  MemFree(record->extraSectors);
  MemFree(record);
}

// ---- Type detection ----

int FatDetectType(const uint8_t* bootSector) {
  if (!bootSector) return 0;
  const BootFields boot = ParseBoot(bootSector);
  const uint64_t total = boot.total();
  const uint64_t rootSectors = RootSectorsOf(boot.rootEntries);
  if (total != 0 && rootSectors >= 1 && total < (uint64_t{1} << 31) && boot.sectorsPerCluster != 0) {
    const int64_t data = static_cast<int64_t>(total) - boot.reserved - static_cast<int64_t>(rootSectors) -
                         static_cast<int64_t>(boot.fatCount) * boot.sectorsPerFat();
    const int64_t clusters = data / boot.sectorsPerCluster;
    if (clusters < 4085) return kFatType12;
    if (clusters < 65525) return kFatType16;
    return kFatType32;
  }
  if (std::memcmp(bootSector + 54, "FAT12", 5) == 0) return kFatType12;
  if (std::memcmp(bootSector + 54, "FAT16", 5) == 0) return kFatType16;
  if (std::memcmp(bootSector + 82, "FAT32", 5) == 0) return kFatType32;
  return 0;
}

// ---- Opening and closing ----

int FatOpenVolume(CImageDocument* document) {
  if (!document) return 0;
  FatFreeVolume(document);
  uint8_t boot[kSector];
  if (ReadVolumeRaw(document, 0, boot, 1) != 1) return 0;
  const BootFields fields = ParseBoot(boot);
  if (fields.signature != 0xAA55 || fields.bytesPerSector != 512 || fields.sectorsPerCluster == 0) return 0;
  const int type = FatDetectType(boot);
  if (!type || fields.fatCount == 0 || fields.reserved == 0 || fields.sectorsPerFat() == 0) return 0;

  std::unique_ptr<CFatVolume> volume;
  try {
    volume = std::make_unique<CFatVolume>();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  CFatVolume* v = volume.get();
  v->type = type;
  v->markers = type == kFatType12 ? kMarkers12 : type == kFatType16 ? kMarkers16 : kMarkers32;
  v->markers.entry0 = (v->markers.entry0 & ~uint32_t{0xFF}) | fields.media;
  std::memcpy(v->bootSector, boot, kSector);
  v->sectorsPerCluster = fields.sectorsPerCluster;
  v->bytesPerCluster = fields.sectorsPerCluster * kSector;
  v->entriesPerCluster = v->bytesPerCluster / kEntryBytes;
  v->fatCount = fields.fatCount;
  v->sectorsPerFat = fields.sectorsPerFat();
  v->reservedSectors = fields.reserved;
  v->totalSectors = fields.total();
  v->volumeStart = ImageVolumeStartByte(document) / kSector;

  const uint64_t fatRegion = uint64_t{fields.reserved} + uint64_t{fields.fatCount} * v->sectorsPerFat;
  const uint64_t rootSectors = type == kFatType32 ? 0 : RootSectorsOf(fields.rootEntries);
  const uint64_t dataStart = fatRegion + rootSectors;
  if (dataStart >= v->totalSectors) return 0;
  // The FAT is held in memory: it must lie inside the source.
  const uint64_t fatBytes = uint64_t{v->sectorsPerFat} * kSector;
  if (static_cast<uint64_t>(ImageVolumeSourceBytes(document)) < (uint64_t{fields.reserved} * kSector) + fatBytes)
    return 0;
  uint64_t clusters = (v->totalSectors - dataStart) / v->sectorsPerCluster;
  const uint64_t capacity = type == kFatType12 ? fatBytes * 2 / 3 : type == kFatType16 ? fatBytes / 2 : fatBytes / 4;
  if (capacity < 3) return 0;
  clusters = std::min<uint64_t>({clusters, capacity - 2, kFat32MaxClusters});
  if (clusters == 0) return 0;
  v->clusterCount = static_cast<uint32_t>(clusters);
  v->firstDataSector = static_cast<uint32_t>(dataStart);
  v->rootStart = static_cast<uint32_t>(fatRegion);
  v->rootSectors = static_cast<uint32_t>(rootSectors);

  document->fat = volume.release();
  auto fail = [&]() {
    FatFreeVolume(document);
    return 0;
  };
  try {
    v->fat.resize(static_cast<size_t>(fatBytes));
    v->fatDirty.assign(v->sectorsPerFat, 0);
    v->root.resize(static_cast<size_t>(rootSectors) * kSector);
  } catch (const std::bad_alloc&) {
    return fail();
  }
  // Read the FAT in large pieces.
  for (uint32_t done = 0; done < v->sectorsPerFat;) {
    const uint32_t n = std::min<uint32_t>(v->sectorsPerFat - done, 8192);
    if (ReadVolumeRaw(document, uint64_t{v->reservedSectors} + done, v->fat.data() + uint64_t{done} * kSector, n) != n)
      return fail();
    done += n;
  }
  if (type == kFatType32) {
    v->rootCluster = fields.rootCluster;
    if (!ValidCluster(v, v->rootCluster)) return fail();
    OpenFsInfo(document, fields);
  } else {
    if (rootSectors && ReadVolumeRaw(document, v->rootStart, v->root.data(), static_cast<int64_t>(rootSectors)) !=
                           static_cast<int64_t>(rootSectors))
      return fail();
    CountFreeClusters(v, true);
  }
  if (!document->rootFolder && ImageCreateRoot(document) != 0) return fail();
  LoadTree(document, document->loadTree == 0);
  document->inputType = kInputTypeFat;
  if (document->input && !document->diskReader) document->fileSize = FileGetSize(document->input);
  return 1;
}

void FatFreeWriteCache(CFatVolume* volume) {
  if (!volume) return;
  volume->sectorCache.clear();
  volume->clusterCache.clear();
}

void FatFreeVolume(CImageDocument* document) {
  if (!document || !document->fat) return;
  std::unique_ptr<CFatVolume> volume(document->fat);
  document->fat = nullptr;
  UsbFreeBootRecord(volume->bootRecord);
  volume->bootRecord = nullptr;
}

// ---- FAT entries ----

uint32_t FatGetEntry(const CFatVolume* volume, uint32_t cluster) {
  if (!volume || !ValidCluster(volume, cluster)) return volume ? volume->markers.endOfChain : 0;
  const uint8_t* fat = volume->fat.data();
  const size_t size = volume->fat.size();
  switch (volume->type) {
    case kFatType12: {
      const size_t offset = cluster + cluster / 2;
      if (offset + 1 >= size) return volume->markers.endOfChain;
      const uint16_t pair = GetLittleEndian16(fat + offset);
      return cluster & 1 ? pair >> 4 : pair & 0xFFF;
    }
    case kFatType16:
      if (size_t{cluster} * 2 + 1 >= size) return volume->markers.endOfChain;
      return GetLittleEndian16(fat + size_t{cluster} * 2);
    default:
      if (size_t{cluster} * 4 + 3 >= size) return volume->markers.endOfChain;
      return GetLittleEndian32(fat + size_t{cluster} * 4) & 0x0FFFFFFF;
  }
}

void FatSetEntry(CFatVolume* volume, uint32_t cluster, uint32_t value) {
  if (!volume || !ValidCluster(volume, cluster)) return;
  uint8_t* fat = volume->fat.data();
  const size_t size = volume->fat.size();
  size_t first = 0, last = 0;
  switch (volume->type) {
    case kFatType12: {
      const size_t offset = cluster + cluster / 2;
      if (offset + 1 >= size) return;
      uint16_t pair = GetLittleEndian16(fat + offset);
      pair = cluster & 1 ? static_cast<uint16_t>((pair & 0x000F) | ((value & 0xFFF) << 4))
                         : static_cast<uint16_t>((pair & 0xF000) | (value & 0xFFF));
      PutLittleEndian16(fat + offset, pair);
      first = offset;
      last = offset + 1;
      break;
    }
    case kFatType16:
      if (size_t{cluster} * 2 + 1 >= size) return;
      PutLittleEndian16(fat + size_t{cluster} * 2, static_cast<uint16_t>(value));
      first = size_t{cluster} * 2;
      last = first + 1;
      break;
    default: {
      const size_t offset = size_t{cluster} * 4;
      if (offset + 3 >= size) return;
      const uint32_t old = GetLittleEndian32(fat + offset);
      PutLittleEndian32(fat + offset, (old & 0xF0000000) | (value & 0x0FFFFFFF));
      first = offset;
      last = offset + 3;
      break;
    }
  }
  volume->fatDirty[first / kSector] = 1;
  volume->fatDirty[last / kSector] = 1;
  volume->fatChanged = 1;
  ++volume->fatVersion;
}

uint64_t FatClusterToSector(const CFatVolume* volume, uint32_t cluster) {
  if (!volume || cluster < 2) return 0;
  return uint64_t{volume->firstDataSector} + uint64_t{volume->sectorsPerCluster} * (cluster - 2);
}

int FatIsChainEnd(const CFatVolume* volume, uint32_t value) { return volume && ValidCluster(volume, value) ? 0 : 1; }

uint32_t FatFindFreeCluster(CFatVolume* volume) {
  if (!volume || volume->clusterCount == 0) return 0;
  const uint32_t last = volume->clusterCount + 1;
  const uint32_t hint = ValidCluster(volume, volume->nextFree) ? volume->nextFree : 2;
  auto take = [&](uint32_t c) {
    FatSetEntry(volume, c, volume->markers.endOfChain);
    volume->nextFree = c;
    if (volume->freeCount) --volume->freeCount;
    return c;
  };
  for (uint32_t c = hint; c <= last; ++c)
    if (FatGetEntry(volume, c) == 0) return take(c);
  for (uint32_t c = 2; c < hint; ++c)
    if (FatGetEntry(volume, c) == 0) return take(c);
  return 0;
}

// ---- Sectors and clusters through the write cache ----

int64_t FatReadSectors(CImageDocument* document, uint64_t sector, void* buffer, int64_t count) {
  if (!document || !document->fat || !buffer || count <= 0) return 0;
  const CFatVolume* volume = document->fat;
  auto* out = static_cast<uint8_t*>(buffer);
  const bool anyCached = !volume->sectorCache.empty() || !volume->clusterCache.empty();
  int64_t i = 0;
  while (i < count) {
    if (anyCached) {
      if (const uint8_t* cached = CachedSector(volume, sector + static_cast<uint64_t>(i))) {
        std::memcpy(out + i * kSector, cached, kSector);
        ++i;
        continue;
      }
    }
    int64_t j = i + 1;
    while (j < count && j - i < 8192 && !(anyCached && CachedSector(volume, sector + static_cast<uint64_t>(j)))) ++j;
    if (ReadVolumeRaw(document, sector + static_cast<uint64_t>(i), out + i * kSector, j - i) != j - i) {
      ReportReadFailure(document);
      return i;
    }
    i = j;
  }
  return count;
}

int64_t FatWriteSectors(CImageDocument* document, uint64_t sector, const void* buffer, int64_t count) {
  if (!document || !document->fat || !buffer || count <= 0) return 0;
  CFatVolume* volume = document->fat;
  const auto* in = static_cast<const uint8_t*>(buffer);
  try {
    for (int64_t i = 0; i < count; ++i) {
      const uint64_t s = sector + static_cast<uint64_t>(i);
      const uint8_t* from = in + i * kSector;
      if (s < volume->firstDataSector) {
        auto& slot = volume->sectorCache[static_cast<uint32_t>(s)];
        if (!slot) slot.reset(new uint8_t[kSector]);
        std::memcpy(slot.get(), from, kSector);
        continue;
      }
      const uint64_t relative = s - volume->firstDataSector;
      const uint64_t cluster = relative / volume->sectorsPerCluster + 2;
      if (cluster > UINT32_MAX || !ValidCluster(volume, static_cast<uint32_t>(cluster))) return i;
      auto it = volume->clusterCache.find(static_cast<uint32_t>(cluster));
      if (it == volume->clusterCache.end()) {
        std::vector<uint8_t> copy(volume->bytesPerCluster);
        if (!FatReadCluster(document, static_cast<uint32_t>(cluster), copy.data()) ||
            !FatWriteCluster(document, static_cast<uint32_t>(cluster), copy.data()))
          return i;
        it = volume->clusterCache.find(static_cast<uint32_t>(cluster));
      }
      std::memcpy(it->second.get() + (relative % volume->sectorsPerCluster) * kSector, from, kSector);
    }
  } catch (const std::bad_alloc&) {
    AbortCodeSet(kAbortWriteFailed);
    return 0;
  }
  return count;
}

int FatReadCluster(CImageDocument* document, uint32_t cluster, void* buffer) {
  if (!document || !document->fat || !buffer || !ValidCluster(document->fat, cluster)) return 0;
  const CFatVolume* volume = document->fat;
  auto it = volume->clusterCache.find(cluster);
  if (it != volume->clusterCache.end()) {
    std::memcpy(buffer, it->second.get(), volume->bytesPerCluster);
    return 1;
  }
  return FatReadSectors(document, FatClusterToSector(volume, cluster), buffer, volume->sectorsPerCluster) ==
                 volume->sectorsPerCluster
             ? 1
             : 0;
}

int FatWriteCluster(CImageDocument* document, uint32_t cluster, const void* buffer) {
  if (!document || !document->fat || !buffer || !ValidCluster(document->fat, cluster)) return 0;
  CFatVolume* volume = document->fat;
  try {
    auto& slot = volume->clusterCache[cluster];
    if (!slot) slot.reset(new uint8_t[volume->bytesPerCluster]);
    std::memcpy(slot.get(), buffer, volume->bytesPerCluster);
  } catch (const std::bad_alloc&) {
    AbortCodeSet(kAbortWriteFailed);
    return 0;
  }
  return 1;
}

// ---- File data ----

namespace {

// The cluster holding cluster number `skip` of the file, found from where the last read stopped when it can be:
// false when the chain ends first.
bool SeekFileCluster(const CFatVolume* volume, const CFatLocator* locator, uint64_t skip, uint32_t* cluster,
                     uint64_t* index) {
  *cluster = locator->firstCluster;
  *index = 0;
  if (volume->cursorVersion == volume->fatVersion && volume->cursorFirst == locator->firstCluster &&
      volume->cursorIndex <= skip && volume->cursorIndex > 0) {
    *cluster = volume->cursorCluster;
    *index = volume->cursorIndex;
  }
  for (; *index < skip; ++*index) {
    if (!ValidCluster(volume, *cluster)) return false;
    *cluster = FatGetEntry(volume, *cluster);
  }
  return true;
}

}  // namespace

const CFatLocator* FatGetLocator(const CTreeEntry* entry) {
  if (!entry || !entry->fsRecord || entry->fsRecordSize != static_cast<int32_t>(sizeof(CFatLocator))) return nullptr;
  return reinterpret_cast<const CFatLocator*>(entry->fsRecord);
}

int64_t FatFileRun(CImageDocument* document, const CTreeEntry* entry, uint64_t offset, uint64_t* volumeSector) {
  if (!document || !document->fat || !volumeSector) return 0;
  CFatVolume* volume = document->fat;
  const CFatLocator* locator = FatGetLocator(entry);
  const uint32_t bpc = volume->bytesPerCluster;
  if (!locator || (locator->attributes & kFatAttrDirectory) || bpc == 0 || offset % bpc != 0 ||
      offset >= locator->size)
    return 0;
  const uint64_t skip = offset / bpc;
  uint64_t index = 0;
  uint32_t cluster = 0;
  if (!SeekFileCluster(volume, locator, skip, &cluster, &index)) return 0;
  if (!ValidCluster(volume, cluster) || volume->clusterCache.count(cluster)) return 0;
  const uint64_t remaining = locator->size - offset;
  uint64_t run = 1;
  uint32_t next = FatGetEntry(volume, cluster);
  while (run * bpc < remaining && next == cluster + run && !volume->clusterCache.count(next)) {
    ++run;
    next = FatGetEntry(volume, next);
  }
  volume->cursorFirst = locator->firstCluster;
  volume->cursorIndex = static_cast<uint32_t>(std::min<uint64_t>(index + run, UINT32_MAX));
  volume->cursorCluster = next;
  volume->cursorVersion = volume->fatVersion;
  *volumeSector = FatClusterToSector(volume, cluster);
  return static_cast<int64_t>(std::min<uint64_t>(run * bpc, remaining));
}

int64_t FatReadFileData(CImageDocument* document, const CTreeEntry* entry, void* buffer, uint32_t start,
                        int64_t count) {
  if (!document || !document->fat || !buffer || count <= 0) return 0;
  CFatVolume* volume = document->fat;
  const CFatLocator* locator = FatGetLocator(entry);
  if (!locator || (locator->attributes & kFatAttrDirectory)) return 0;
  const uint64_t startByte = uint64_t{start} * kSector;
  if (startByte >= locator->size) return 0;
  const uint64_t wanted = std::min<uint64_t>(static_cast<uint64_t>(count), locator->size - startByte);
  const uint32_t bpc = volume->bytesPerCluster;
  const uint64_t skip = startByte / bpc;
  uint64_t offset = startByte % bpc;
  uint64_t index = 0;
  uint32_t cluster = 0;
  if (!SeekFileCluster(volume, locator, skip, &cluster, &index)) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  std::vector<uint8_t> work;
  while (done < wanted && ValidCluster(volume, cluster)) {
    const uint64_t remaining = wanted - done;
    if (offset == 0 && remaining >= bpc && !volume->clusterCache.count(cluster)) {
      // A run of consecutive clusters that the cache does not hold is read in one request.
      uint32_t run = 1;
      uint32_t next = FatGetEntry(volume, cluster);
      while (next == cluster + run && uint64_t{run + 1} * bpc <= remaining &&
             int64_t{run + 1} * bpc <= kMaxRunBytes && !volume->clusterCache.count(next)) {
        ++run;
        next = FatGetEntry(volume, next);
      }
      const int64_t sectors = int64_t{run} * volume->sectorsPerCluster;
      if (FatReadSectors(document, FatClusterToSector(volume, cluster), out + done, sectors) != sectors) break;
      done += uint64_t{run} * bpc;
      index += run;
      cluster = next;
      continue;
    }
    if (work.empty()) work.resize(bpc);
    if (!FatReadCluster(document, cluster, work.data())) break;
    const uint64_t take = std::min<uint64_t>(bpc - offset, remaining);
    std::memcpy(out + done, work.data() + offset, static_cast<size_t>(take));
    done += take;
    if (offset + take < bpc) break;  // the read ends inside this cluster
    offset = 0;
    ++index;
    cluster = FatGetEntry(volume, cluster);
  }
  volume->cursorFirst = locator->firstCluster;
  volume->cursorIndex = static_cast<uint32_t>(std::min<uint64_t>(index, UINT32_MAX));
  volume->cursorCluster = cluster;
  volume->cursorVersion = volume->fatVersion;
  return static_cast<int64_t>(done);
}

int FatIsSectorInUse(CImageDocument* document, int64_t sector) {
  if (!document || !document->fat) return 1;
  const CFatVolume* volume = document->fat;
  if (sector < volume->volumeStart) return 1;
  const uint64_t relative = static_cast<uint64_t>(sector - volume->volumeStart);
  if (relative < volume->firstDataSector) return 1;
  const uint64_t cluster = (relative - volume->firstDataSector) / volume->sectorsPerCluster + 2;
  if (cluster > UINT32_MAX || !ValidCluster(volume, static_cast<uint32_t>(cluster))) return 1;
  const uint32_t value = FatGetEntry(volume, static_cast<uint32_t>(cluster));
  return value == volume->markers.freeValue || value == volume->markers.bad ? 0 : 1;
}

// ---- Editing ----

int FatUpdateFsInfo(CImageDocument* document) {
  if (!document || !document->fat) return -1;
  CFatVolume* volume = document->fat;
  if (volume->fatChanged) {
    for (uint32_t k = 0; k < volume->sectorsPerFat; ++k) {
      if (!volume->fatDirty[k]) continue;
      for (uint32_t copy = 0; copy < volume->fatCount; ++copy) {
        const uint64_t at = uint64_t{volume->reservedSectors} + uint64_t{copy} * volume->sectorsPerFat + k;
        if (FatWriteSectors(document, at, volume->fat.data() + uint64_t{k} * kSector, 1) != 1) return -1;
      }
      volume->fatDirty[k] = 0;
    }
    volume->fatChanged = 0;
  }
  if (volume->type == kFatType32) {
    if (volume->fsInfoSector) WriteFsInfoAt(document, volume->fsInfoSector);
    if (volume->fsInfoBackup) WriteFsInfoAt(document, volume->fsInfoBackup);
  } else if (volume->rootChanged) {
    if (FatWriteSectors(document, volume->rootStart, volume->root.data(), volume->rootSectors) !=
        static_cast<int64_t>(volume->rootSectors))
      return -1;
    volume->rootChanged = 0;
  }
  return 0;
}

namespace {

// Streams a new file's data: from an entry of this volume or from a local file.
struct DataSource {
  CImageDocument* document = nullptr;
  const CTreeEntry* entry = nullptr;
  FILE* file = nullptr;
  uint64_t offset = 0;
  ~DataSource() {
    if (file) FileClose(file);
  }
  // Reads exactly n bytes (n a multiple of 512 except at the end).
  bool Read(uint8_t* buffer, size_t n) {
    bool ok;
    if (entry) {
      ok = FatReadFileData(document, entry, buffer, static_cast<uint32_t>(offset / kSector),
                           static_cast<int64_t>(n)) == static_cast<int64_t>(n);
    } else {
      ok = std::fread(buffer, 1, n, file) == n;
    }
    offset += n;
    return ok;
  }
};

// Writes `size` bytes from the source into the chain from `first`.
bool CopyIntoChain(CImageDocument* document, DataSource& source, uint32_t first, uint64_t size) {
  CFatVolume* volume = document->fat;
  const uint32_t bpc = volume->bytesPerCluster;
  std::vector<uint8_t> step;
  try {
    step.resize(std::max<size_t>(kCopyStep - kCopyStep % bpc, bpc));
  } catch (const std::bad_alloc&) {
    AbortCodeSet(kAbortNoMemory);
    return false;
  }
  uint32_t cluster = first;
  uint64_t done = 0;
  while (done < size) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(step.size(), size - done));
    if (!source.Read(step.data(), n)) {
      AbortCodeSet(kAbortReadFailed);
      return false;
    }
    std::memset(step.data() + n, 0, step.size() - n);
    for (size_t at = 0; at < n; at += bpc) {
      if (!ValidCluster(volume, cluster) || !FatWriteCluster(document, cluster, step.data() + at)) return false;
      cluster = FatGetEntry(volume, cluster);
    }
    done += n;
  }
  return true;
}

void UnindexEntry(CTreeEntry* entry) {
  if (entry->parent && entry->parent->isoIndex && entry->isoName)
    NameIndexRemoveIsoName(entry->parent->isoIndex, entry);
}

}  // namespace

int FatAddFile(CImageDocument* document, CTreeEntry* source, CTreeEntry* entry) {
  if (!document || !document->fat || !entry) return -1;
  CFatVolume* volume = document->fat;
  // The data first: nothing is made for a source that cannot be read.
  DataSource data;
  data.document = document;
  uint64_t size = 0;
  if (source) {
    const CFatLocator* from = FatGetLocator(source);
    if (!from) {
      MarkAddFailed();
      return -1;
    }
    data.entry = source;
    size = from->size;
  } else {
    data.file = entry->sourcePath ? FileOpenRead(entry->sourcePath) : nullptr;
    if (!data.file) {
      ErrorReport(entry->sourcePath ? entry->sourcePath : L"");
      AbortCodeSet(kAbortLocalFile);
      return -1;
    }
    const int64_t local = FileGetSize(data.file);
    if (local < 0) {
      AbortCodeSet(kAbortReadFailed);
      return -1;
    }
    size = static_cast<uint64_t>(local);
  }
  if (size >= (uint64_t{1} << 32)) {
    ErrorReportFileTooBig(entry->name ? entry->name : L"");
    MarkAddFailed();
    return -1;
  }
  const CFatLocator* existing = FatGetLocator(entry);
  const bool replacing = existing != nullptr;
  CFatLocator locator{};
  uint32_t oldFirst = 0;
  DirBuffer dir;
  size_t index = 0, count = 0;
  if (replacing) {
    locator = *existing;
    oldFirst = existing->firstCluster;
    if (!ReadDirectory(document, locator.directoryCluster, dir, nullptr, nullptr) ||
        locator.entryIndex >= dir.EntryCount() || locator.entryCount == 0 ||
        locator.entryCount > locator.entryIndex + 1) {
      MarkAddFailed();
      return -1;
    }
    index = locator.entryIndex;
    count = locator.entryCount;
  } else {
    uint32_t parent = 0;
    bool isRoot = false;
    if (!ParentDirectory(document, entry, &parent, &isRoot) ||
        !ReadDirectory(document, parent, dir, nullptr, nullptr)) {
      MarkAddFailed();
      return -1;
    }
    if (!PlaceEntries(document, dir, entry->name, 0, &index, &count)) {
      FatUpdateFsInfo(document);
      if (AbortCodeGet() == 0) ErrorReport(entry->name);
      MarkAddFailed();
      return -1;
    }
    locator.directoryCluster = dir.first;
    locator.entryIndex = static_cast<uint32_t>(index);
    locator.entryCount = static_cast<uint32_t>(count);
    locator.attributes = 0;
  }
  auto failAfterEntry = [&](uint32_t newFirst) {
    FreeChain(volume, newFirst);
    if (replacing) FreeChain(volume, oldFirst);
    for (size_t k = 0; k < count && k <= index; ++k) dir.Entry(index - k)[0] = 0xE5;
    WriteDirectory(document, dir, index + 1 - std::min(count, index + 1), count);
    FatUpdateFsInfo(document);
    DropLocator(entry);
    UnindexEntry(entry);
    MarkAddFailed();
    return -1;
  };
  const uint64_t clusters = (size + volume->bytesPerCluster - 1) / volume->bytesPerCluster;
  uint32_t first = 0;
  if (clusters > 0) {
    if (clusters >= volume->freeCount || !(first = AllocateChain(volume, clusters))) {
      ShowNoSpace(entry->name);
      return failAfterEntry(0);
    }
  }
  if (!CopyIntoChain(document, data, first, size)) return failAfterEntry(first);
  uint8_t* shortEntry = dir.Entry(index);
  SetEntryFirstCluster(volume, shortEntry, first);
  PutLittleEndian32(shortEntry + 28, static_cast<uint32_t>(size));
  SetEntryTime(shortEntry, EntryTime(entry));
  if (!WriteDirectory(document, dir, index + 1 - count, count)) return failAfterEntry(first);
  if (replacing) FreeChain(volume, oldFirst);
  if (FatUpdateFsInfo(document) != 0) {
    MarkAddFailed();
    return -1;
  }
  locator.firstCluster = first;
  locator.size = static_cast<uint32_t>(size);
  if (!SetLocator(entry, locator)) {
    AbortCodeRaise(kAbortNoMemory);
    return -1;
  }
  entry->size = static_cast<int64_t>(size);
  PutBothEndian32(entry->directoryRecord + kDirRecordDataLength, static_cast<uint32_t>(size));
  return 0;
}

int FatAddFileEntry(CImageDocument* document, CTreeEntry* source, CTreeEntry* entry) {
  return FatAddFile(document, source, entry);
}

int FatMakeDirectory(CImageDocument* document, CTreeEntry* entry) {
  if (!document || !document->fat || !entry) return -1;
  CFatVolume* volume = document->fat;
  uint32_t parent = 0;
  bool isRoot = false;
  DirBuffer dir;
  if (!ParentDirectory(document, entry, &parent, &isRoot) || !ReadDirectory(document, parent, dir, nullptr, nullptr)) {
    MarkAddFailed();
    return -1;
  }
  size_t index = 0, count = 0;
  if (!PlaceEntries(document, dir, entry->name, kFatAttrDirectory, &index, &count)) {
    FatUpdateFsInfo(document);
    if (AbortCodeGet() == 0) ErrorReport(entry->name);
    MarkAddFailed();
    return -1;
  }
  const uint32_t cluster = FatFindFreeCluster(volume);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::vector<uint8_t> body(volume->bytesPerCluster, 0);
  if (cluster) {
    std::memcpy(body.data(), ".          ", 11);
    body[11] = kFatAttrDirectory;
    SetEntryFirstCluster(volume, body.data(), cluster);
    SetEntryTime(body.data(), now);
    std::memcpy(body.data() + kEntryBytes, "..         ", 11);
    body[kEntryBytes + 11] = kFatAttrDirectory;
    // ".." of a folder in the root names cluster 0, on FAT32 too.
    SetEntryFirstCluster(volume, body.data() + kEntryBytes, isRoot ? 0 : parent);
    SetEntryTime(body.data() + kEntryBytes, now);
  }
  if (!cluster || !FatWriteCluster(document, cluster, body.data())) {
    if (!cluster) ShowNoSpace(entry->name);
    FreeChain(volume, cluster);
    for (size_t k = 0; k < count; ++k) dir.Entry(index - k)[0] = 0xE5;
    WriteDirectory(document, dir, index + 1 - count, count);
    FatUpdateFsInfo(document);
    MarkAddFailed();
    return -1;
  }
  uint8_t* shortEntry = dir.Entry(index);
  SetEntryFirstCluster(volume, shortEntry, cluster);
  SetEntryTime(shortEntry, now);
  if (!WriteDirectory(document, dir, index + 1 - count, count)) {
    MarkAddFailed();
    return -1;
  }
  if (isRoot && volume->type == kFatType32 && FatGetEntry(volume, volume->rootCluster) == 0)
    FatSetEntry(volume, volume->rootCluster, volume->markers.endOfChain);
  if (FatUpdateFsInfo(document) != 0) return -1;
  CFatLocator locator{};
  locator.directoryCluster = dir.first;
  locator.entryIndex = static_cast<uint32_t>(index);
  locator.entryCount = static_cast<uint32_t>(count);
  locator.firstCluster = cluster;
  locator.attributes = kFatAttrDirectory;
  if (!SetLocator(entry, locator)) return -1;
  entry->size = 0;
  entry->directoryRecord[kDirRecordFlags] |= kDirFlagDirectory;
  return 0;
}

namespace {

// Removes the directory entries of a locator from their directory.
int RemoveEntries(CImageDocument* document, const CFatLocator& locator) {
  DirBuffer dir;
  if (!ReadDirectory(document, locator.directoryCluster, dir, nullptr, nullptr)) return -1;
  MarkEntriesFree(document->fat, dir, locator);
  if (locator.entryIndex < dir.EntryCount() && locator.entryCount <= locator.entryIndex + 1 &&
      !WriteDirectory(document, dir, locator.entryIndex + 1 - locator.entryCount, locator.entryCount))
    return -1;
  return 0;
}

}  // namespace

int FatDeleteFile(CImageDocument* document, CTreeEntry* entry) {
  if (!document || !document->fat) return -1;
  const CFatLocator* found = FatGetLocator(entry);
  if (!found) return -1;
  const CFatLocator locator = *found;
  const int result = RemoveEntries(document, locator);
  FreeChain(document->fat, locator.firstCluster);
  DropLocator(entry);
  return FatUpdateFsInfo(document) == 0 ? result : -1;
}

int FatDeleteDirectory(CImageDocument* document, CTreeEntry* entry) {
  if (!document || !document->fat) return -1;
  CFatVolume* volume = document->fat;
  const CFatLocator* found = FatGetLocator(entry);
  if (!found || !(found->attributes & kFatAttrDirectory)) return -1;
  const CFatLocator locator = *found;
  // Everything below the directory first: each directory is read before its own clusters are freed.
  std::unordered_set<uint32_t> loaded;
  std::vector<uint32_t> work;
  if (ValidCluster(volume, locator.firstCluster) && locator.firstCluster != RootDirectoryCluster(volume))
    work.push_back(locator.firstCluster);
  while (!work.empty()) {
    const uint32_t cluster = work.back();
    work.pop_back();
    DirBuffer dir;
    if (!ReadDirectory(document, cluster, dir, &loaded, nullptr)) continue;
    for (size_t i = 0; i < dir.EntryCount(); ++i) {
      const uint8_t* e = dir.Entry(i);
      if (e[0] == 0) break;
      if (e[0] == 0xE5 || e[11] == kFatAttrLongName || (e[11] & kFatAttrVolumeLabel) || IsDotEntry(e)) continue;
      const uint32_t first = EntryFirstCluster(volume, e);
      if (e[11] & kFatAttrDirectory) {
        if (ValidCluster(volume, first) && !loaded.count(first) && first != RootDirectoryCluster(volume))
          work.push_back(first);
      } else {
        FreeChain(volume, first);
      }
    }
    FreeChain(volume, cluster);
  }
  const int result = RemoveEntries(document, locator);
  DropLocator(entry);
  return FatUpdateFsInfo(document) == 0 ? result : -1;
}
