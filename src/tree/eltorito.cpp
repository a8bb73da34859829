#include "tree/eltorito.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "builder/build_state.h"
#include "builder/iso_writer.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr int kSector = 2048;
constexpr int kCatalogLbaOffset = 71;  // in the boot record
constexpr int kValidationChecksumOffset = 28;
// Boot information table fields inside a no-emulation image.
constexpr int kTablePrimaryLba = 8;
constexpr int kTableFileLba = 12;
constexpr int kTableFileLength = 16;
constexpr int kTableChecksum = 20;
constexpr int kTableEnd = 64;
// A table found without a file must describe more than one sector and less than 16 MiB.
constexpr int64_t kTableMinLength = 2049;
constexpr int64_t kTableMaxLength = 0xFFFFFF;

constexpr int64_t kFloppySizes[4] = {0, 1228800, 1474560, 2949120};

int64_t SectorsOf(int64_t bytes) { return (bytes + kSector - 1) / kSector; }

// Sectors the source holds: its readable limit, or the volume's own size where no limit is known.
int64_t ReadableLimit(const CImageDocument* document) {
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  return limit > 0 ? limit : document->volumeSize;
}

// Bytes from `lba` to the end of what the source holds; 0 when `lba` lies outside it.
int64_t BytesAvailableFrom(const CImageDocument* document, int64_t lba) {
  const int64_t limit = ReadableLimit(document);
  if (lba < 0 || limit <= 0 || lba >= limit) return 0;
  return (limit - lba) * kSector;
}

bool ReadOneSector(CImageDocument* document, int64_t lba, uint8_t* sector) {
  return ImageReadSectors(document, lba, sector, 1) == 1;
}

// Reads `size` bytes at `lba` into `data`, padded with zeros to whole sectors.
bool ReadImage(CImageDocument* document, int64_t lba, int64_t size, std::vector<uint8_t>* data) {
  const int64_t sectors = SectorsOf(size);
  data->assign(static_cast<size_t>(sectors * kSector), 0);
  if (ImageReadSectors(document, lba, data->data(), sectors) != sectors) {
    data->clear();
    return false;
  }
  return true;
}

bool IsSectionHeader(const CBootEntry& entry) {
  return entry.indicator == kBootIndicatorHeader || entry.indicator == kBootIndicatorFinalHeader;
}

// The size a boot image of a no-emulation entry takes: a file that holds a valid boot information table is
// taken whole, as is an image whose table (found without a file) describes it; else what the firmware loads.
int64_t NoEmulationSize(CImageDocument* document, CBootEntry* entry) {
  const int64_t loaded = int64_t{entry->sectorCount} * 512;
  const int64_t available = BytesAvailableFrom(document, entry->lba);
  int64_t candidate = -1;
  if (const CTreeEntry* file = TreeFindEntryBySourceSector(document, entry->lba, nullptr)) {
    if (file->size <= kTableEnd || file->size > available) return loaded;
    candidate = file->size;
  } else {
    uint8_t sector[kSector];
    if (!ReadOneSector(document, entry->lba, sector)) return loaded;
    const int64_t length = GetLittleEndian32(sector + kTableFileLength);
    if (GetLittleEndian32(sector + kTableFileLba) != static_cast<uint32_t>(entry->lba) || length < kTableMinLength ||
        length > kTableMaxLength || length > available)
      return loaded;
    candidate = length;
  }
  std::vector<uint8_t> image;
  if (!ReadImage(document, entry->lba, candidate, &image)) return loaded;
  if (!BootInfoTableIsValid(image.data(), candidate, entry->lba)) return loaded;
  entry->hasInfoTable = 1;
  entry->data = std::move(image);
  return candidate;
}

// The size of an entry's image by its media type; -1 when it has none.
int64_t EntryImageSize(CImageDocument* document, CBootInfo* info, int index) {
  CBootEntry* entry = &info->entries[index];
  const int64_t loaded = int64_t{entry->sectorCount} * 512;
  if (entry->indicator == kBootIndicatorBootable && index > 0 && IsSectionHeader(info->entries[index - 1]) &&
      info->entries[index - 1].mediaType == kBootPlatformEfi)
    return loaded;
  const uint8_t media = entry->mediaType & 0x0F;
  if (media >= kBootMedia12Floppy && media <= kBootMedia288Floppy) return kFloppySizes[media];
  if (media == kBootMediaHardDisk) {
    // The emulated disk runs to the end of its last partition, but never past what the source holds. A disk
    // without a partition table keeps what the firmware loads, so the entry never points at foreign data.
    uint8_t sector[kSector];
    if (!ReadOneSector(document, entry->lba, sector)) return -1;
    const int64_t sectors = BootImageCheckMbr(sector) ? BootImageGetMbrSectors(sector) : 0;
    if (sectors <= 0) return loaded;
    return std::min(sectors * 512, BytesAvailableFrom(document, entry->lba));
  }
  if (media == kBootMediaNoEmulation) return NoEmulationSize(document, entry);
  return loaded;
}

// An EFI image that is a FAT volume is taken at the volume's size (never past what the source holds, nor more
// than `budget` further bytes of memory).
void TakeEfiVolumeSize(CImageDocument* document, CBootInfo* info, int64_t budget) {
  const int index = BootCatalogFindEfiSection(info);
  if (index < 0) return;
  CBootEntry* entry = &info->entries[index];
  uint8_t sector[kSector];
  if (!ReadOneSector(document, entry->lba, sector)) return;
  if (GetLittleEndian16(sector + 510) != 0xAA55 || GetLittleEndian16(sector + 11) != 512 || sector[13] == 0) return;
  int64_t sectors = GetLittleEndian16(sector + 19);
  if (sectors == 0) sectors = GetLittleEndian32(sector + 32);
  const int64_t size = std::min(sectors * 512, BytesAvailableFrom(document, entry->lba));
  if (size <= 0 || size == entry->size || SectorsOf(size) * kSector - static_cast<int64_t>(entry->data.size()) > budget)
    return;
  std::vector<uint8_t> image;
  if (!ReadImage(document, entry->lba, size, &image)) return;
  entry->data = std::move(image);
  entry->size = size;
}

bool AtPlannedPosition(int64_t lba) {
  if (IsoBuildState()->writePosition == lba) return true;
  LastErrorSetText(L"The image layout and the data written disagree.");
  AbortCodeSet(kAbortSaveFailed);
  return false;
}

}  // namespace

int BootEntryIsImage(const CBootEntry* entry) {
  return entry && (entry->indicator == kBootIndicatorBootable || entry->indicator == kBootIndicatorNotBootable);
}

int BootCatalogFindEfiSection(const CBootInfo* info) {
  if (!info) return -1;
  for (int i = 1; i < info->entryCount; ++i) {
    const CBootEntry& previous = info->entries[i - 1];
    if (info->entries[i].indicator == kBootIndicatorBootable && previous.indicator == kBootIndicatorFinalHeader &&
        previous.mediaType == kBootPlatformEfi)
      return i;
  }
  return -1;
}

uint32_t BootInfoTableChecksum(const uint8_t* image, int64_t size) {
  uint32_t sum = 0;
  // Words past the size read as zeros: the image buffer is padded to whole sectors, but be exact anyway.
  for (int64_t at = kTableEnd; at < size; at += 4) {
    uint8_t word[4] = {};
    std::memcpy(word, image + at, static_cast<size_t>(std::min<int64_t>(4, size - at)));
    sum += GetLittleEndian32(word);
  }
  return sum;
}

int BootInfoTableIsValid(const uint8_t* image, int64_t size, int64_t lba) {
  if (!image || size <= kTableEnd) return 0;
  if (GetLittleEndian32(image + kTableFileLength) != static_cast<uint64_t>(size)) return 0;
  if (lba != -1 && GetLittleEndian32(image + kTableFileLba) != static_cast<uint64_t>(lba)) return 0;
  return GetLittleEndian32(image + kTableChecksum) == BootInfoTableChecksum(image, size) ? 1 : 0;
}

int BootImageCheckMbr(const uint8_t* sector) { return sector && sector[510] == 0x55 && sector[511] == 0xAA; }

int64_t BootImageGetMbrSectors(const uint8_t* sector) {
  int64_t end = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* partition = sector + 446 + 16 * i;
    const int64_t start = GetLittleEndian32(partition + 8);
    const int64_t count = GetLittleEndian32(partition + 12);
    if (partition[4] == 0 || count == 0) continue;
    end = std::max(end, start + count);
  }
  return end;
}

CTreeEntry* TreeFindEntryBySourceSector(CImageDocument* document, int64_t lba, CTreeFolder* folder) {
  if (!folder) folder = document ? document->rootFolder : nullptr;
  if (!folder) return nullptr;
  // Files of a folder before its subfolders, subfolders in list order: a stack of the folders still to visit.
  std::vector<CTreeFolder*> pending{folder};
  std::vector<CTreeFolder*> children;
  while (!pending.empty()) {
    CTreeFolder* node = pending.back();
    pending.pop_back();
    for (CTreeEntry* entry = node->firstEntry; entry; entry = entry->next) {
      if (TreeEntryIsFolder(entry) || TreeEntryIsDotName(entry)) continue;
      if (entry->sourceLba == lba) return entry;
    }
    children.clear();
    for (CTreeFolder* child = node->firstChild; child; child = child->next)
      if (child != node && !(child->entry && TreeEntryIsDotName(child->entry))) children.push_back(child);
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
  }
  return nullptr;
}

int BootCatalogRead(CImageDocument* document) {
  if (!document) return 0;
  BootInfoFree(document->bootInfo);
  document->bootInfo = nullptr;
  if (document->bootRecordLba <= 0) return 0;
  auto* info = new (std::nothrow) CBootInfo{};
  if (!info) return 0;
  const int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  bool ok = ReadOneSector(document, document->bootRecordLba, info->bootRecord);
  if (ok) {
    info->catalogLba = GetLittleEndian32(info->bootRecord + kCatalogLbaOffset);
    ok = ReadOneSector(document, info->catalogLba, info->catalog);
  }
  if (ok) {
    // The copies together never take more memory than the source holds, however the entries overlap.
    const int64_t budget = ReadableLimit(document) * kSector;
    int64_t taken = 0;
    for (int i = 0; i < kBootMaxEntries; ++i) {
      const uint8_t* raw = info->catalog + kBootEntryBytes * (i + 1);
      if (MemIsAllZero(raw, kBootEntryBytes)) break;
      CBootEntry* entry = &info->entries[i];
      std::memcpy(entry->raw, raw, kBootEntryBytes);
      entry->indicator = raw[0];
      entry->mediaType = raw[1];
      entry->loadSegment = GetLittleEndian16(raw + 2);
      entry->systemType = raw[4];
      entry->unused = raw[5];
      entry->sectorCount = GetLittleEndian16(raw + 6);
      entry->lba = GetLittleEndian32(raw + 8);
      std::memcpy(entry->criteria, raw + 12, sizeof entry->criteria);
      info->entryCount = i + 1;
      // Section headers and extension records describe entries; they point at no image.
      if (!BootEntryIsImage(entry)) continue;
      int64_t size = EntryImageSize(document, info, i);
      if (size <= 0) {
        // Nothing the firmware would load: the entry keeps one sector, so that it still points at its copy.
        size = kSector;
      }
      taken += SectorsOf(size) * kSector;
      if (taken > budget || (entry->data.empty() && !ReadImage(document, entry->lba, size, &entry->data))) {
        // A failed read ends the walk; the entries before it stay.
        entry->data.clear();
        info->entryCount = i;
        break;
      }
      entry->size = size;
    }
    TakeEfiVolumeSize(document, info, budget - taken);
  }
  document->quiet = savedQuiet;
  if (!ok || info->entryCount == 0) {
    BootInfoFree(info);
    return 0;
  }
  document->bootInfo = info;
  return 1;
}

void BootInfoFree(CBootInfo* info) { delete info; }

void BootCatalogLayout(CImageDocument* document) {
  CBootInfo* info = document ? document->bootInfo : nullptr;
  if (!info) return;
  CIsoBuildState* state = IsoBuildState();
  info->catalogLba = state->nextFreeLba;
  state->nextFreeLba += 1;
  for (int i = 0; i < info->entryCount; ++i) {
    CBootEntry* entry = &info->entries[i];
    if (entry->data.empty() || entry->size <= 0) continue;
    entry->lba = state->nextFreeLba;
    state->nextFreeLba += SectorsOf(entry->size);
  }
}

void BootCatalogBuildValidation(CBootInfo* info) {
  PutLittleEndian32(info->bootRecord + kCatalogLbaOffset, static_cast<uint32_t>(info->catalogLba));
  PutLittleEndian16(info->catalog + kValidationChecksumOffset, 0);
  uint16_t sum = 0;
  for (int i = 0; i < kBootEntryBytes; i += 2) sum = static_cast<uint16_t>(sum + GetLittleEndian16(info->catalog + i));
  PutLittleEndian16(info->catalog + kValidationChecksumOffset, static_cast<uint16_t>(0u - sum));
}

void BootImagePatchInfoTable(CBootEntry* entry, int64_t primaryLba) {
  if (!entry || entry->size <= kTableEnd || static_cast<int64_t>(entry->data.size()) < entry->size) return;
  uint8_t* image = entry->data.data();
  std::memset(image + kTablePrimaryLba, 0, kTableEnd - kTablePrimaryLba);
  PutLittleEndian32(image + kTablePrimaryLba, static_cast<uint32_t>(primaryLba));
  PutLittleEndian32(image + kTableFileLba, static_cast<uint32_t>(entry->lba));
  PutLittleEndian32(image + kTableFileLength, static_cast<uint32_t>(entry->size));
  PutLittleEndian32(image + kTableChecksum, BootInfoTableChecksum(image, entry->size));
}

void BootCatalogBuildEntries(CBootInfo* info, int64_t primaryLba) {
  std::memset(info->catalog + kBootEntryBytes, 0, sizeof info->catalog - kBootEntryBytes);
  for (int i = 0; i < info->entryCount; ++i) {
    CBootEntry* entry = &info->entries[i];
    uint8_t* out = info->catalog + kBootEntryBytes * (i + 1);
    if (!BootEntryIsImage(entry)) {
      // Headers and extension records hold no LBA: they go back as they were, identifier strings included.
      std::memcpy(out, entry->raw, kBootEntryBytes);
      continue;
    }
    out[0] = entry->indicator;
    out[1] = entry->mediaType;
    PutLittleEndian16(out + 2, entry->loadSegment);
    out[4] = entry->systemType;
    PutLittleEndian16(out + 6, entry->sectorCount);
    PutLittleEndian32(out + 8, static_cast<uint32_t>(entry->lba));
    if ((entry->mediaType & 0x0F) == kBootMediaNoEmulation && !entry->data.empty() &&
        BootInfoTableIsValid(entry->data.data(), entry->size, -1))
      entry->hasInfoTable = 1;
    if (entry->hasInfoTable) BootImagePatchInfoTable(entry, primaryLba);
  }
}

int BootRecordWrite(CImageDocument* document, CProgressCallbacks* progress) {
  CBootInfo* info = document->bootInfo;
  if (!info || AbortCodeGet() != kAbortNone) return -1;
  BootCatalogBuildValidation(info);
  return IsoWriteSectors(document, info->bootRecord, 1, progress);
}

int BootCatalogWrite(CImageDocument* document, CProgressCallbacks* progress) {
  CBootInfo* info = document->bootInfo;
  if (!info || AbortCodeGet() != kAbortNone || !AtPlannedPosition(info->catalogLba)) return -1;
  BootCatalogBuildValidation(info);
  BootCatalogBuildEntries(info, IsoBuildState()->sessionStart + 16);
  return IsoWriteSectors(document, info->catalog, 1, progress);
}

int BootImagesWrite(CImageDocument* document, CProgressCallbacks* progress) {
  CBootInfo* info = document->bootInfo;
  if (!info) return -1;
  for (int i = 0; i < info->entryCount; ++i) {
    CBootEntry* entry = &info->entries[i];
    if (entry->data.empty() || entry->size <= 0) continue;
    if (AbortCodeGet() != kAbortNone || !AtPlannedPosition(entry->lba)) return -1;
    if (IsoWriteFileData(document, progress, nullptr, entry->data.data(), 0, nullptr, entry->size) != 0) return -1;
  }
  return 0;
}
