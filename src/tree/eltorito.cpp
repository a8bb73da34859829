#include "tree/eltorito.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "image/document.h"
#include "image/sectors.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr int kSector = 2048;
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
    if (file->size <= kBootTableEnd || file->size > available) return loaded;
    candidate = file->size;
  } else {
    uint8_t sector[kSector];
    if (!ReadOneSector(document, entry->lba, sector)) return loaded;
    ByteReader table(sector, sizeof sector);
    const int64_t length = table.U32LEAt(kBootTableFileLength);
    if (table.U32LEAt(kBootTableFileLba) != static_cast<uint32_t>(entry->lba) || length < kTableMinLength ||
        length > kTableMaxLength || length > available)
      return loaded;
    candidate = length;
  }
  // The table is checked over the whole image once (at most 16 MiB); the image itself stays in the source.
  std::vector<uint8_t> image;
  if (!ReadImage(document, entry->lba, candidate, &image)) return loaded;
  if (!BootInfoTableIsValid(image.data(), candidate, entry->lba)) return loaded;
  entry->hasInfoTable = 1;
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

// An EFI image that is a FAT volume is taken at the volume's size (never past what the source holds, nor past
// `budget` further bytes of boot images).
void TakeEfiVolumeSize(CImageDocument* document, CBootInfo* info, int64_t budget) {
  const int index = BootCatalogFindEfiSection(info);
  if (index < 0) return;
  CBootEntry* entry = &info->entries[index];
  uint8_t sector[kSector];
  if (!ReadOneSector(document, entry->sourceLba, sector)) return;
  ByteReader boot(sector, sizeof sector);
  if (boot.U16LEAt(510) != 0xAA55 || boot.U16LEAt(11) != 512 || boot.U8At(13) == 0) return;
  int64_t sectors = boot.U16LEAt(19);
  if (sectors == 0) sectors = boot.U32LEAt(32);
  const int64_t size = std::min(sectors * 512, BytesAvailableFrom(document, entry->sourceLba));
  if (size <= 0 || size == entry->size || (SectorsOf(size) - SectorsOf(entry->size)) * kSector > budget) return;
  entry->size = size;
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
  for (int64_t at = kBootTableEnd; at < size; at += 4) {
    uint8_t word[4] = {};
    std::memcpy(word, image + at, static_cast<size_t>(std::min<int64_t>(4, size - at)));
    sum += LoadU32LE(word);
  }
  return sum;
}

int BootInfoTableIsValid(const uint8_t* image, int64_t size, int64_t lba) {
  if (!image || size <= kBootTableEnd) return 0;
  if (LoadU32LE(image + kBootTableFileLength) != static_cast<uint64_t>(size)) return 0;
  if (lba != -1 && LoadU32LE(image + kBootTableFileLba) != static_cast<uint64_t>(lba)) return 0;
  return LoadU32LE(image + kBootTableChecksum) == BootInfoTableChecksum(image, size) ? 1 : 0;
}

int BootImageCheckMbr(const uint8_t* sector) { return sector && sector[510] == 0x55 && sector[511] == 0xAA; }

int64_t BootImageGetMbrSectors(const uint8_t* sector) {
  if (!sector) return 0;
  ByteReader table(sector, 512);
  int64_t end = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t at = 446 + 16 * static_cast<size_t>(i);
    const int64_t start = table.U32LEAt(at + 8);
    const int64_t count = table.U32LEAt(at + 12);
    if (table.U8At(at + 4) == 0 || count == 0) continue;
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
    info->catalogLba = ByteReader(info->bootRecord, sizeof info->bootRecord).U32LEAt(kBootCatalogLbaOffset);
    ok = ReadOneSector(document, info->catalogLba, info->catalog);
  }
  if (ok) {
    // The images together never take more of the new image than the source holds, however the entries
    // overlap. Nothing of them is read into memory here: a build copies them from the source when it needs them.
    const int64_t budget = ReadableLimit(document) * kSector;
    int64_t taken = 0;
    ByteReader catalog(info->catalog, sizeof info->catalog);
    catalog.Skip(kBootEntryBytes);  // the validation entry
    for (int i = 0; i < kBootMaxEntries; ++i) {
      ByteReader raw = catalog.Sub(kBootEntryBytes);
      if (!raw.ok() || MemIsAllZero(raw.data(), kBootEntryBytes)) break;
      CBootEntry* entry = &info->entries[i];
      std::memcpy(entry->raw, raw.data(), kBootEntryBytes);
      entry->indicator = raw.U8();
      entry->mediaType = raw.U8();
      entry->loadSegment = raw.U16LE();
      entry->systemType = raw.U8();
      entry->unused = raw.U8();
      entry->sectorCount = raw.U16LE();
      entry->lba = raw.U32LE();
      raw.Bytes(entry->criteria, sizeof entry->criteria);
      entry->sourceLba = entry->lba;
      info->entryCount = i + 1;
      // Section headers and extension records describe entries; they point at no image.
      if (!BootEntryIsImage(entry)) continue;
      int64_t size = EntryImageSize(document, info, i);
      if (size <= 0) {
        // Nothing the firmware would load: the entry keeps one sector, so that it still points at its copy.
        size = kSector;
      }
      taken += SectorsOf(size) * kSector;
      if (taken > budget || SectorsOf(size) * kSector > BytesAvailableFrom(document, entry->lba)) {
        // An image outside the source ends the walk; the entries before it stay.
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

