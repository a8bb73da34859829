#include "builder/udf_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <unordered_map>

#include "builder/build_state.h"
#include "builder/iso_writer.h"
#include "builder/builder_map.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/crc.h"
#include "runtime/error.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr int kSector = 2048;
constexpr uint16_t kUdfRevision = 0x0102;
// Unique IDs 1..15 are reserved: the root takes 0, everything else counts from 16.
constexpr uint64_t kFirstUniqueId = 16;
// File entries are written in batches of this many sectors.
constexpr size_t kBatchBytes = 64 * kSector;

enum : uint16_t {
  kTagPrimary = 1,
  kTagAnchor = 2,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagTerminating = 8,
  kTagIntegrity = 9,
  kTagFileSet = 256,
  kTagFileIdentifier = 257,
  kTagAllocationExtent = 258,
  kTagFileEntry = 261,
};

// File identifier characteristics.
enum : uint8_t { kFidDirectory = 0x02, kFidParent = 0x08 };

// Where a file entry's allocation descriptors start, and an allocation extent descriptor's.
constexpr int kFileEntryDescriptorsAt = 176;
constexpr int kExtentDescriptorsAt = 24;

struct UdfDirectory {
  CTreeFolder* folder;
  int64_t lba;           // its file entry; the identifiers follow the entry's sectors
  int64_t entrySectors;  // the file entry and its allocation extent sectors
  int64_t fidBytes;
  uint16_t links;
  uint64_t uniqueId;
};

struct UdfFile {
  CTreeEntry* entry;
  int64_t lba;
  uint64_t uniqueId;
};

// The UDF part of the build in progress (one build runs at a time).
struct UdfState {
  int64_t vrs = 0, mainVds = 0, reserveVds = 0, lvid = 0, anchor = 0, partitionStart = 0, closingAnchor = 0;
  // The partition start the descriptors record; partition blocks count from here. In a session appended to a
  // disc it is sector 16, so that the files kept from earlier sessions can be addressed too.
  int64_t partitionBase = 0;
  std::vector<UdfDirectory> directories;  // pre-order over the Joliet order; the root first
  std::vector<UdfFile> files;
  std::unordered_map<const CTreeFolder*, size_t> directoryOf;
  std::unordered_map<const CTreeEntry*, size_t> fileOf;
  uint64_t nextUniqueId = kFirstUniqueId;
};
UdfState& Udf(CImageDocument* document) { return IsoBuildPart<UdfState>(document, kBuildPartUdf); }

int64_t& NextFree(CImageDocument* document) { return IsoBuildState(document)->nextFreeLba; }
int64_t SessionStart(CImageDocument* document) { return IsoBuildState(document)->sessionStart; }
int64_t SectorsOf(int64_t bytes) { return (bytes + kSector - 1) / kSector; }
bool Stopped() { return AbortCodeGet() != kAbortNone; }

void Put16(uint8_t* p, uint16_t value) { PutLittleEndian16(p, value); }
void Put32(uint8_t* p, uint32_t value) { PutLittleEndian32(p, value); }
void Put64(uint8_t* p, uint64_t value) {
  PutLittleEndian32(p, static_cast<uint32_t>(value));
  PutLittleEndian32(p + 4, static_cast<uint32_t>(value >> 32));
}

void PutCharspec(uint8_t* p) {
  p[0] = 0;  // CS0
  std::memcpy(p + 1, "OSTA Compressed Unicode", 23);
}

void PutRegid(uint8_t* p, const char* identifier) {
  p[0] = 0;
  std::memcpy(p + 1, identifier, std::min<size_t>(std::strlen(identifier), 23));
}

// A regid whose suffix carries the UDF revision (domain and UDF identifiers).
void PutUdfRegid(uint8_t* p, const char* identifier, uint8_t flags) {
  PutRegid(p, identifier);
  Put16(p + 24, kUdfRevision);
  p[26] = flags;
}

void PutImplementationId(uint8_t* p) { PutRegid(p, "*kestrane"); }
void PutDomainId(uint8_t* p) { PutUdfRegid(p, "*OSTA UDF Compliant", 3); }

void PutExtent(uint8_t* p, uint32_t length, uint32_t location) {
  Put32(p, length);
  Put32(p + 4, location);
}

void PutLongAd(uint8_t* p, uint32_t length, uint32_t block, uint32_t uniqueId) {
  Put32(p, length);
  Put32(p + 4, block);
  Put16(p + 8, 0);  // partition reference
  Put16(p + 10, 0);  // flags of the implementation use
  Put32(p + 12, uniqueId);
}

void PutTime(uint8_t* p, int64_t time) {
  uint8_t date[7];
  IsoEncodeRecordDate(date, time);
  UdfConvertIsoDate(date, p);
}

// The date a file entry carries: the entry's own record date, else the image's fixed time.
void EntryTimestamp(CImageDocument* document, const CTreeEntry* entry, uint8_t* p) {
  static const uint8_t kNoDate[7] = {};
  if (entry && std::memcmp(entry->directoryRecord + kDirRecordDate, kNoDate, 7) != 0)
    UdfConvertIsoDate(entry->directoryRecord + kDirRecordDate, p);
  else
    PutTime(p, ImageGetFixedTime(document));
}

int64_t RecordingTime(const CImageDocument* document) {
  if (document->volumeCreationTime) return document->volumeCreationTime;
  if (document->creationTime) return document->creationTime;
  return static_cast<int64_t>(std::time(nullptr));
}

void AppendUnits(std::vector<uint16_t>* units, wchar_t c) {
  uint32_t code = static_cast<uint32_t>(c);
  if (code > 0x10FFFF) code = 0xFFFD;
  if (code <= 0xFFFF) {
    units->push_back(static_cast<uint16_t>(code));
    return;
  }
  code -= 0x10000;
  units->push_back(static_cast<uint16_t>(0xD800 | (code >> 10)));
  units->push_back(static_cast<uint16_t>(0xDC00 | (code & 0x3FF)));
}

std::vector<uint16_t> Utf16Of(const wchar_t* text) {
  std::vector<uint16_t> units;
  for (; text && *text; ++text) AppendUnits(&units, *text);
  return units;
}

// The volume label without its trailing spaces (UdfTrimSpaces), as UTF-16.
std::vector<uint16_t> UdfTrimSpaces(const CImageDocument* document) {
  std::vector<uint16_t> units = Utf16Of(document->identifiers[kVolumeLabel]);
  while (!units.empty() && units.back() == u' ') units.pop_back();
  return units;
}

void PutDString(uint8_t* field, int length, const std::vector<uint16_t>& units) {
  UdfMakeDString(field, length, units.data(), static_cast<int32_t>(units.size()));
}

bool IsDotEntry(const CTreeEntry* entry) {
  if (TreeEntryIsDotName(entry)) return true;
  return entry->jolietName && entry->jolietLength == 1 && entry->jolietName[0] <= 1;
}

// Bytes of a file identifier descriptor with a `nameBytes`-byte identifier, padded to a multiple of 4.
int64_t FidLength(int nameBytes) { return (38 + nameBytes + 3) / 4 * 4; }

int EncodedName(const CTreeEntry* entry, uint8_t* out) {
  return UdfEncodeName(entry->jolietName, entry->jolietLength, out, 255);
}

// A partition block number; false (abort code set) when the sector lies before the partition or the number
// does not fit 32 bits.
bool PartitionBlock(CImageDocument* document, int64_t lba, uint32_t* block) {
  const int64_t relative = lba - Udf(document).partitionBase;
  if (relative < 0 || relative > 0xFFFFFFFFLL) {
    LastErrorSetText(L"A file of the image lies outside its UDF partition.");
    AbortCodeSet(kAbortSaveFailed);
    return false;
  }
  *block = static_cast<uint32_t>(relative);
  return true;
}

bool WriteSectors(CImageDocument* document, const uint8_t* buffer, int64_t count, CProgressCallbacks* progress) {
  return IsoWriteSectors(document, buffer, count, progress) == 0;
}

bool AtPlannedPosition(CImageDocument* document, int64_t lba) {
  return !Stopped() && IsoAtPlannedPosition(document, lba);
}

int PadTo(CImageDocument* document, int64_t lba, CProgressCallbacks* progress) {
  if (Stopped()) return -1;
  const int64_t count = lba - IsoBuildState(document)->writePosition;
  if (count < 0) return AtPlannedPosition(document, lba) ? 0 : -1;
  return IsoWriteZeroSectors(document, count, progress);
}

// UdfWriteBuffered: sectors gathered and written in batches at the write position.
struct SectorBatch {
  CImageDocument* document;
  CProgressCallbacks* progress;
  std::vector<uint8_t> bytes;
  bool Flush() {
    const bool ok = WriteSectors(document, bytes.data(), static_cast<int64_t>(bytes.size() / kSector), progress);
    bytes.clear();
    return ok;
  }
};

void BuildVolumeDescriptors(CImageDocument* document, int64_t at, uint8_t* sequence) {
  const std::vector<uint16_t> label = UdfTrimSpaces(document);
  const int64_t recorded = RecordingTime(document);
  uint32_t partitionStart = 0, partitionLength = 0, fileSetBlock = 0;
  partitionStart = static_cast<uint32_t>(Udf(document).partitionBase);
  partitionLength = static_cast<uint32_t>(Udf(document).closingAnchor - Udf(document).partitionBase);
  fileSetBlock = static_cast<uint32_t>(Udf(document).partitionStart - Udf(document).partitionBase);

  uint8_t* d = sequence;  // primary volume descriptor
  Put32(d + 16, 1);       // sequence number
  Put32(d + 20, 1);       // primary volume descriptor number
  PutDString(d + 24, 32, label);
  Put16(d + 56, 1);  // volume sequence number
  Put16(d + 58, 1);
  Put16(d + 60, 2);  // interchange level
  Put16(d + 62, 2);
  Put32(d + 64, 1);  // character set lists
  Put32(d + 68, 1);
  char setId[17];
  std::snprintf(setId, sizeof setId, "%08X%08X", static_cast<uint32_t>(ImageGetFixedTime(document)),
                static_cast<uint32_t>(recorded));
  std::vector<uint16_t> setUnits(setId, setId + 16);
  PutDString(d + 72, 128, setUnits);
  PutCharspec(d + 200);
  PutCharspec(d + 264);
  PutTime(d + 376, recorded);
  PutImplementationId(d + 388);
  UdfFillTag(d, kTagPrimary, static_cast<uint32_t>(at), 512);

  d = sequence + kSector;  // implementation use volume descriptor
  Put32(d + 16, 2);
  PutUdfRegid(d + 20, "*UDF LV Info", 0);
  PutCharspec(d + 52);
  PutDString(d + 116, 128, label);
  PutImplementationId(d + 352);
  UdfFillTag(d, kTagImplementationUse, static_cast<uint32_t>(at + 1), 512);

  d = sequence + 2 * kSector;  // partition descriptor
  Put32(d + 16, 3);
  Put16(d + 20, 1);  // allocated
  Put16(d + 22, 0);  // partition number
  PutRegid(d + 24, "+NSR02");
  Put32(d + 184, 1);  // read only
  Put32(d + 188, partitionStart);
  Put32(d + 192, partitionLength);
  PutImplementationId(d + 196);
  UdfFillTag(d, kTagPartition, static_cast<uint32_t>(at + 2), 512);

  d = sequence + 3 * kSector;  // logical volume descriptor
  Put32(d + 16, 4);
  PutCharspec(d + 20);
  PutDString(d + 84, 128, label);
  Put32(d + 212, kSector);
  PutDomainId(d + 216);
  PutLongAd(d + 248, 2 * kSector, fileSetBlock, 0);
  Put32(d + 264, 6);  // map table length
  Put32(d + 268, 1);  // one partition map
  PutImplementationId(d + 272);
  PutExtent(d + 432, 2 * kSector, static_cast<uint32_t>(Udf(document).lvid));
  d[440] = 1;  // type-1 map
  d[441] = 6;
  Put16(d + 442, 1);  // volume sequence number
  Put16(d + 444, 0);  // partition number
  UdfFillTag(d, kTagLogicalVolume, static_cast<uint32_t>(at + 3), 446);

  d = sequence + 4 * kSector;  // unallocated space descriptor: nothing is free on a finished image
  Put32(d + 16, 5);
  Put32(d + 20, 0);
  UdfFillTag(d, kTagUnallocatedSpace, static_cast<uint32_t>(at + 4), 24);

  UdfFillTag(sequence + 5 * kSector, kTagTerminating, static_cast<uint32_t>(at + 5), 512);
}

// The file identifiers of one directory, its parent link first, laid from partition block `block` onward.
bool BuildIdentifiers(CImageDocument* document, const UdfDirectory& directory, uint32_t block,
                      std::vector<uint8_t>* out) {
  out->assign(static_cast<size_t>(SectorsOf(directory.fidBytes) * kSector), 0);
  size_t at = 0;
  uint8_t name[256];
  const auto put = [&](uint8_t characteristics, int nameBytes, int64_t targetLba, uint64_t uniqueId) {
    uint32_t target = 0;
    if (!PartitionBlock(document, targetLba, &target)) return false;
    const int64_t length = FidLength(nameBytes);
    if (at + static_cast<size_t>(length) > out->size()) return false;
    uint8_t* p = out->data() + at;
    Put16(p + 16, 1);  // file version
    p[18] = characteristics;
    p[19] = static_cast<uint8_t>(nameBytes);
    PutLongAd(p + 20, kSector, target, static_cast<uint32_t>(uniqueId));
    Put16(p + 36, 0);
    std::memcpy(p + 38, name, static_cast<size_t>(nameBytes));
    UdfFillTag(p, kTagFileIdentifier, block + static_cast<uint32_t>(at / kSector), static_cast<size_t>(length));
    at += static_cast<size_t>(length);
    return true;
  };
  const CTreeFolder* folder = directory.folder;
  const CTreeFolder* parentFolder = folder->parent ? folder->parent : folder;
  auto parent = Udf(document).directoryOf.find(parentFolder);
  const UdfDirectory& up = Udf(document).directories[parent != Udf(document).directoryOf.end() ? parent->second : 0];
  if (!put(kFidDirectory | kFidParent, 0, up.lba, up.uniqueId)) return false;
  for (const CTreeEntry* entry = folder->jolietFirst; entry; entry = entry->jolietNext) {
    if (IsDotEntry(entry)) continue;
    const int nameBytes = EncodedName(entry, name);
    if (TreeEntryIsFolder(entry)) {
      auto child = Udf(document).directoryOf.find(entry->folder);
      if (!entry->folder || child == Udf(document).directoryOf.end()) continue;
      const UdfDirectory& target = Udf(document).directories[child->second];
      if (!put(kFidDirectory, nameBytes, target.lba, target.uniqueId)) return false;
    } else {
      auto file = Udf(document).fileOf.find(entry);
      if (file == Udf(document).fileOf.end()) continue;
      const UdfFile& target = Udf(document).files[file->second];
      if (!put(0, nameBytes, target.lba, target.uniqueId)) return false;
    }
  }
  return at == static_cast<size_t>(directory.fidBytes);
}

}  // namespace

void UdfFillTag(uint8_t* descriptor, uint16_t identifier, uint32_t location, size_t length) {
  Put16(descriptor, identifier);
  Put16(descriptor + 2, 2);  // descriptor version
  descriptor[4] = 0;
  descriptor[5] = 0;
  Put16(descriptor + 6, 0);  // serial number
  const size_t covered = length > 16 ? length - 16 : 0;
  Put16(descriptor + 8, Crc16CcittUpdate(0, descriptor + 16, covered));
  Put16(descriptor + 10, static_cast<uint16_t>(covered));
  Put32(descriptor + 12, location);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + descriptor[i]);
  descriptor[4] = sum;
}

int UdfEncodeName(const uint16_t* units, int32_t count, uint8_t* out, int room) {
  if (!units || count <= 0 || room < 2) return 0;
  // At most 1,024 bytes of source text.
  count = std::min<int32_t>(count, 512);
  bool narrow = true;
  for (int32_t i = 0; i < count; ++i) narrow = narrow && units[i] < 0x80;
  const int width = narrow ? 1 : 2;
  int32_t fit = std::min<int32_t>(count, (room - 1) / width);
  // Never keep the first half of a surrogate pair without its second.
  if (fit > 0 && fit < count && units[fit - 1] >= 0xD800 && units[fit - 1] <= 0xDBFF) --fit;
  out[0] = static_cast<uint8_t>(narrow ? 8 : 16);
  for (int32_t i = 0; i < fit; ++i) {
    if (narrow) {
      out[1 + i] = static_cast<uint8_t>(units[i]);
    } else {
      out[1 + 2 * i] = static_cast<uint8_t>(units[i] >> 8);
      out[2 + 2 * i] = static_cast<uint8_t>(units[i]);
    }
  }
  return 1 + fit * width;
}

void UdfMakeDString(uint8_t* field, int length, const uint16_t* units, int32_t count) {
  if (length <= 0) return;
  std::memset(field, 0, static_cast<size_t>(length));
  const int bytes = UdfEncodeName(units, count, field, length - 1);
  field[length - 1] = static_cast<uint8_t>(bytes);
}

void UdfConvertIsoDate(const uint8_t* date, uint8_t* timestamp) {
  std::memset(timestamp, 0, 12);
  const int offset = static_cast<int8_t>(date[6]);
  const int minutes = offset * 15;
  Put16(timestamp, static_cast<uint16_t>((1 << 12) | (static_cast<uint16_t>(minutes) & 0x0FFF)));
  Put16(timestamp + 2, static_cast<uint16_t>(1900 + date[0]));
  timestamp[4] = date[1];
  timestamp[5] = date[2];
  timestamp[6] = date[3];
  timestamp[7] = date[4];
  timestamp[8] = date[5];
}

int64_t UdfAllocationDescriptorCount(int64_t size) {
  return size <= 0 ? 0 : (size + kUdfMaxExtentBytes - 1) / kUdfMaxExtentBytes;
}

int64_t UdfFileEntrySectors(int64_t size) {
  int64_t left = UdfAllocationDescriptorCount(size);
  if (left <= kUdfFileEntryDescriptors) return 1;
  // The entry keeps one slot less for the link to the next sector; so does every extent sector but the last.
  left -= kUdfFileEntryDescriptors - 1;
  int64_t sectors = 2;
  while (left > kUdfExtentDescriptors) {
    left -= kUdfExtentDescriptors - 1;
    ++sectors;
  }
  return sectors;
}

int UdfBuildFileEntry(CImageDocument* document, const CTreeEntry* entry, int64_t block, int64_t dataBlock,
                      int64_t size, bool directory, uint16_t links, uint64_t uniqueId, std::vector<uint8_t>* out) {
  const int64_t sectors = UdfFileEntrySectors(size);
  const int64_t descriptors = UdfAllocationDescriptorCount(size);
  const int64_t dataSectors = SectorsOf(std::max<int64_t>(size, 0));
  if (block < 0 || block + sectors - 1 > 0xFFFFFFFFLL) return -1;
  if (descriptors > 0 && (dataBlock < 0 || dataBlock + dataSectors - 1 > 0xFFFFFFFFLL)) return -1;
  const size_t base = out->size();
  out->resize(base + static_cast<size_t>(sectors * kSector), 0);
  uint8_t* fe = out->data() + base;

  Put16(fe + 20, 4);  // strategy 4
  Put16(fe + 24, 1);  // one entry
  fe[27] = directory ? 4 : 5;
  Put16(fe + 34, 0x0230);  // short allocation descriptors, contiguous, archive, non-relocatable
  Put32(fe + 36, 0xFFFFFFFF);
  Put32(fe + 40, 0xFFFFFFFF);
  Put32(fe + 44, directory ? 0x14A5 : 0x1084);
  Put16(fe + 48, links);
  Put64(fe + 56, static_cast<uint64_t>(std::max<int64_t>(size, 0)));
  Put64(fe + 64, static_cast<uint64_t>(dataSectors));
  EntryTimestamp(document, entry, fe + 72);
  std::memcpy(fe + 84, fe + 72, 12);
  std::memcpy(fe + 96, fe + 72, 12);
  Put32(fe + 108, 1);  // checkpoint
  PutImplementationId(fe + 128);
  Put64(fe + 160, uniqueId);
  Put32(fe + 168, 0);  // no extended attributes

  // The descriptors fill the entry, then as many allocation extent sectors as they need, each container but the
  // last giving its final slot to the link onward.
  int64_t done = 0;
  int64_t remaining = std::max<int64_t>(size, 0);
  int64_t container = 0;  // sector index within `out` from `base`
  uint32_t previousBlock = 0;
  while (true) {
    uint8_t* sector = fe + container * kSector;
    const bool first = container == 0;
    const int capacity = first ? kUdfFileEntryDescriptors : kUdfExtentDescriptors;
    const int at = first ? kFileEntryDescriptorsAt : kExtentDescriptorsAt;
    const int64_t left = descriptors - done;
    const bool chained = left > capacity;
    const int here = static_cast<int>(chained ? capacity - 1 : left);
    for (int i = 0; i < here; ++i) {
      const int64_t length = std::min<int64_t>(remaining, kUdfMaxExtentBytes);
      uint8_t* ad = sector + at + 8 * i;
      Put32(ad, static_cast<uint32_t>(length));
      Put32(ad + 4, static_cast<uint32_t>(dataBlock + done * (kUdfMaxExtentBytes / kSector)));
      remaining -= length;
      ++done;
    }
    int used = 8 * here;
    const uint32_t thisBlock = static_cast<uint32_t>(block + container);
    if (chained) {
      uint8_t* ad = sector + at + used;
      Put32(ad, (3u << 30) | kSector);
      Put32(ad + 4, thisBlock + 1);
      used += 8;
    }
    if (first) {
      Put32(sector + 172, static_cast<uint32_t>(used));
      UdfFillTag(sector, kTagFileEntry, thisBlock, static_cast<size_t>(at + used));
    } else {
      Put32(sector + 16, previousBlock);
      Put32(sector + 20, static_cast<uint32_t>(used));
      UdfFillTag(sector, kTagAllocationExtent, thisBlock, static_cast<size_t>(at + used));
    }
    previousBlock = thisBlock;
    if (!chained) break;
    ++container;
  }
  return container + 1 == sectors ? 0 : -1;
}

// ---- Layout ----

void UdfReserveVrs(CImageDocument* document) {
  Udf(document) = UdfState{};
  Udf(document).vrs = NextFree(document);
  NextFree(document) += 3;
}

void UdfReserveUpTo32(CImageDocument* document) {
  NextFree(document) = std::max(NextFree(document), SessionStart(document) + 32);
}

void UdfReserveMainVds(CImageDocument* document) {
  Udf(document).mainVds = NextFree(document);
  NextFree(document) += 16;
}

void UdfReserveReserveVds(CImageDocument* document) {
  Udf(document).reserveVds = NextFree(document);
  NextFree(document) += 16;
}

void UdfReserveLvid(CImageDocument* document) {
  Udf(document).lvid = NextFree(document);
  NextFree(document) += 2;
}

void UdfReserveUpTo256(CImageDocument* document) {
  NextFree(document) = std::max(NextFree(document), SessionStart(document) + 256);
  Udf(document).anchor = NextFree(document);
  NextFree(document) += 1;
}

void UdfReservePartitionStart(CImageDocument* document) {
  Udf(document).partitionStart = NextFree(document);
  Udf(document).partitionBase = SessionStart(document) > 0 ? 16 : Udf(document).partitionStart;
  NextFree(document) += 2;
}

int UdfSizeFileIdentifiers(CImageDocument* document) {
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, document->rootFolder, true, &folders);
  Udf(document).directories.clear();
  Udf(document).directoryOf.clear();
  for (CTreeFolder* folder : folders) {
    Udf(document).directoryOf[folder] = Udf(document).directories.size();
    Udf(document).directories.push_back(UdfDirectory{folder, 0, 0, 0, 1, 0});
  }
  uint8_t name[256];
  for (UdfDirectory& directory : Udf(document).directories) {
    int64_t bytes = FidLength(0);  // the parent link
    for (const CTreeEntry* entry = directory.folder->jolietFirst; entry; entry = entry->jolietNext) {
      if (IsDotEntry(entry)) continue;
      if (TreeEntryIsFolder(entry)) {
        if (!entry->folder || !Udf(document).directoryOf.count(entry->folder)) continue;
        ++directory.links;
      }
      const int nameBytes = EncodedName(entry, name);
      if (nameBytes == 0) {
        LastErrorSetText(L"An entry has no name for its UDF file identifier.");
        AbortCodeSet(kAbortSaveFailed);
        return -1;
      }
      bytes += FidLength(nameBytes);
    }
    directory.fidBytes = bytes;
    directory.uniqueId = directory.folder == folders.front() ? 0 : Udf(document).nextUniqueId++;
    directory.lba = NextFree(document);
    directory.entrySectors = UdfFileEntrySectors(bytes);
    NextFree(document) += directory.entrySectors + SectorsOf(bytes);
  }
  return 0;
}

void UdfCountFileEntries(CImageDocument* document) {
  Udf(document).files.clear();
  Udf(document).fileOf.clear();
  for (const UdfDirectory& directory : Udf(document).directories) {
    for (CTreeEntry* entry = directory.folder->jolietFirst; entry; entry = entry->jolietNext) {
      if (IsDotEntry(entry) || TreeEntryIsFolder(entry)) continue;
      Udf(document).fileOf[entry] = Udf(document).files.size();
      Udf(document).files.push_back(UdfFile{entry, NextFree(document), Udf(document).nextUniqueId++});
      NextFree(document) += UdfFileEntrySectors(entry->size);
    }
  }
}

void UdfReserveClosingAnchor(CImageDocument* document) {
  Udf(document).closingAnchor = NextFree(document);
  NextFree(document) += 1;
}

// ---- Writing ----

int UdfWriteVrs(CImageDocument* document, CProgressCallbacks* progress) {
  if (!AtPlannedPosition(document, Udf(document).vrs)) return -1;
  uint8_t sectors[3 * kSector] = {};
  const char* identifiers[3] = {"BEA01", "NSR02", "TEA01"};
  for (int i = 0; i < 3; ++i) {
    std::memcpy(sectors + i * kSector + 1, identifiers[i], 5);
    sectors[i * kSector + 6] = 1;
  }
  return WriteSectors(document, sectors, 3, progress) ? 0 : -1;
}

int UdfPadTo32(CImageDocument* document, CProgressCallbacks* progress) {
  return PadTo(document, Udf(document).mainVds, progress);
}

int UdfWriteVds(CImageDocument* document, CProgressCallbacks* progress) {
  const int64_t at = IsoBuildState(document)->writePosition;
  if (at != Udf(document).mainVds && !AtPlannedPosition(document, Udf(document).reserveVds)) return -1;
  if (Stopped()) return -1;
  std::vector<uint8_t> sequence(16 * kSector, 0);
  BuildVolumeDescriptors(document, at, sequence.data());
  return WriteSectors(document, sequence.data(), 16, progress) ? 0 : -1;
}

int UdfWriteLvid(CImageDocument* document, CProgressCallbacks* progress) {
  if (!AtPlannedPosition(document, Udf(document).lvid)) return -1;
  uint8_t sectors[2 * kSector] = {};
  uint8_t* d = sectors;
  PutTime(d + 16, RecordingTime(document));
  Put32(d + 28, 1);  // closed
  // Next unique ID: above every one handed out (at least 16).
  Put64(d + 40, Udf(document).nextUniqueId);
  Put32(d + 72, 1);  // one partition
  Put32(d + 76, 46);  // implementation use bytes
  Put32(d + 80, 0);   // free space
  Put32(d + 84, static_cast<uint32_t>(Udf(document).closingAnchor - Udf(document).partitionBase));
  PutImplementationId(d + 88);
  Put32(d + 120, static_cast<uint32_t>(Udf(document).files.size()));
  Put32(d + 124, static_cast<uint32_t>(Udf(document).directories.size()));
  Put16(d + 128, kUdfRevision);  // minimum read
  Put16(d + 130, kUdfRevision);  // minimum write
  Put16(d + 132, kUdfRevision);  // maximum write
  UdfFillTag(d, kTagIntegrity, static_cast<uint32_t>(Udf(document).lvid), 134);
  UdfFillTag(sectors + kSector, kTagTerminating, static_cast<uint32_t>(Udf(document).lvid + 1), 512);
  return WriteSectors(document, sectors, 2, progress) ? 0 : -1;
}

int UdfPadTo256(CImageDocument* document, CProgressCallbacks* progress) {
  return PadTo(document, Udf(document).anchor, progress);
}

int UdfWriteAvdp(CImageDocument* document, CProgressCallbacks* progress) {
  const int64_t at = IsoBuildState(document)->writePosition;
  if (at != Udf(document).anchor && !AtPlannedPosition(document, Udf(document).closingAnchor)) return -1;
  if (Stopped()) return -1;
  uint8_t sector[kSector] = {};
  PutExtent(sector + 16, 16 * kSector, static_cast<uint32_t>(Udf(document).mainVds));
  PutExtent(sector + 24, 16 * kSector, static_cast<uint32_t>(Udf(document).reserveVds));
  UdfFillTag(sector, kTagAnchor, static_cast<uint32_t>(at), 512);
  return WriteSectors(document, sector, 1, progress) ? 0 : -1;
}

int UdfWriteFsd(CImageDocument* document, CProgressCallbacks* progress) {
  if (!AtPlannedPosition(document, Udf(document).partitionStart) || Udf(document).directories.empty()) return -1;
  uint32_t block = 0, root = 0;
  if (!PartitionBlock(document, Udf(document).partitionStart, &block) ||
      !PartitionBlock(document, Udf(document).directories.front().lba, &root))
    return -1;
  const std::vector<uint16_t> label = UdfTrimSpaces(document);
  uint8_t sectors[2 * kSector] = {};
  uint8_t* d = sectors;
  PutTime(d + 16, RecordingTime(document));
  Put16(d + 28, 3);  // interchange level
  Put16(d + 30, 3);
  Put32(d + 32, 1);  // character set lists
  Put32(d + 36, 1);
  PutCharspec(d + 48);
  PutDString(d + 112, 128, label);
  PutCharspec(d + 240);
  PutDString(d + 304, 32, label);
  PutLongAd(d + 400, kSector, root, 0);
  PutDomainId(d + 416);
  UdfFillTag(d, kTagFileSet, block, 512);
  UdfFillTag(sectors + kSector, kTagTerminating, block + 1, 512);
  return WriteSectors(document, sectors, 2, progress) ? 0 : -1;
}

int UdfWriteDirectories(CImageDocument* document, CProgressCallbacks* progress) {
  std::vector<uint8_t> sectors, identifiers;
  for (const UdfDirectory& directory : Udf(document).directories) {
    if (!AtPlannedPosition(document, directory.lba)) return -1;
    uint32_t block = 0;
    if (!PartitionBlock(document, directory.lba, &block)) return -1;
    const int64_t dataBlock = block + directory.entrySectors;
    sectors.clear();
    if (UdfBuildFileEntry(document, directory.folder->entry, block, dataBlock, directory.fidBytes, true,
                          directory.links, directory.uniqueId, &sectors) != 0 ||
        !BuildIdentifiers(document, directory, static_cast<uint32_t>(dataBlock), &identifiers)) {
      if (!Stopped()) {
        LastErrorSetText(L"A UDF directory could not be built.");
        AbortCodeSet(kAbortSaveFailed);
      }
      return -1;
    }
    sectors.insert(sectors.end(), identifiers.begin(), identifiers.end());
    if (!WriteSectors(document, sectors.data(), static_cast<int64_t>(sectors.size() / kSector), progress))
      return -1;
  }
  return 0;
}

int UdfWriteFileEntries(CImageDocument* document, CProgressCallbacks* progress) {
  SectorBatch batch{document, progress, {}};
  batch.bytes.reserve(kBatchBytes + kSector);
  for (const UdfFile& file : Udf(document).files) {
    if (!AtPlannedPosition(document, file.lba - static_cast<int64_t>(batch.bytes.size() / kSector))) return -1;
    const CTreeEntry* entry = file.entry;
    uint32_t block = 0, data = 0;
    if (!PartitionBlock(document, file.lba, &block)) return -1;
    if (entry->size > 0 && !PartitionBlock(document, entry->outputLba, &data)) return -1;
    if (UdfBuildFileEntry(document, entry, block, data, entry->size, false, 1, file.uniqueId, &batch.bytes) != 0) {
      LastErrorSetText(L"A UDF file entry could not be built.");
      AbortCodeSet(kAbortSaveFailed);
      return -1;
    }
    if (batch.bytes.size() >= kBatchBytes && !batch.Flush()) return -1;
  }
  return batch.Flush() ? 0 : -1;
}
