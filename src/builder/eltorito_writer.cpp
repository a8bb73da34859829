#include "builder/eltorito_writer.h"

#include <algorithm>
#include <cstring>

#include "builder/build_state.h"
#include "builder/iso_writer.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "tree/eltorito.h"
#include "tree/iso_helpers.h"

namespace {

constexpr int kSector = 2048;

int64_t SectorsOf(int64_t bytes) { return (bytes + kSector - 1) / kSector; }


}  // namespace

void BootCatalogLayout(CImageDocument* document) {
  CBootInfo* info = document ? document->bootInfo : nullptr;
  if (!info) return;
  CIsoBuildState* state = IsoBuildState(document);
  info->catalogLba = state->nextFreeLba;
  state->nextFreeLba += 1;
  for (int i = 0; i < info->entryCount; ++i) {
    CBootEntry* entry = &info->entries[i];
    if (!BootEntryIsImage(entry) || entry->size <= 0) continue;
    entry->lba = state->nextFreeLba;
    state->nextFreeLba += SectorsOf(entry->size);
  }
}

void BootCatalogBuildValidation(CBootInfo* info) {
  PutLittleEndian32(info->bootRecord + kBootCatalogLbaOffset, static_cast<uint32_t>(info->catalogLba));
  PutLittleEndian16(info->catalog + kBootValidationChecksumOffset, 0);
  uint16_t sum = 0;
  for (int i = 0; i < kBootEntryBytes; i += 2) sum = static_cast<uint16_t>(sum + GetLittleEndian16(info->catalog + i));
  PutLittleEndian16(info->catalog + kBootValidationChecksumOffset, static_cast<uint16_t>(0u - sum));
}

void BootImagePatchInfoTable(uint8_t* firstSector, const CBootEntry* entry, int64_t primaryLba) {
  if (!firstSector || !entry || entry->size <= kBootTableEnd) return;
  // The checksum covers the bytes from 64 on, which do not change: it is kept as the source had it.
  const uint32_t checksum = LoadU32LE(firstSector + kBootTableChecksum);
  std::memset(firstSector + kBootTablePrimaryLba, 0, kBootTableEnd - kBootTablePrimaryLba);
  PutLittleEndian32(firstSector + kBootTablePrimaryLba, static_cast<uint32_t>(primaryLba));
  PutLittleEndian32(firstSector + kBootTableFileLba, static_cast<uint32_t>(entry->lba));
  PutLittleEndian32(firstSector + kBootTableFileLength, static_cast<uint32_t>(entry->size));
  PutLittleEndian32(firstSector + kBootTableChecksum, checksum);
}

void BootCatalogBuildEntries(CBootInfo* info) {
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
  if (!info || AbortCodeGet() != kAbortNone || !IsoAtPlannedPosition(document, info->catalogLba)) return -1;
  BootCatalogBuildValidation(info);
  BootCatalogBuildEntries(info);
  return IsoWriteSectors(document, info->catalog, 1, progress);
}

int BootImagesWrite(CImageDocument* document, CProgressCallbacks* progress) {
  CBootInfo* info = document->bootInfo;
  if (!info) return -1;
  const int64_t primaryLba = IsoBuildState(document)->sessionStart + 16;
  for (int i = 0; i < info->entryCount; ++i) {
    CBootEntry* entry = &info->entries[i];
    if (!BootEntryIsImage(entry) || entry->size <= 0) continue;
    if (AbortCodeGet() != kAbortNone || !IsoAtPlannedPosition(document, entry->lba)) return -1;
    int64_t from = entry->sourceLba;
    int64_t left = entry->size;
    if (entry->hasInfoTable) {
      // The first sector carries the boot information table, which names the image's new place.
      uint8_t first[kSector] = {};
      if (ImageReadSectors(document, from, first, 1) != 1) {
        if (AbortCodeGet() == kAbortNone) AbortCodeSet(kAbortSaveFailed);
        return -1;
      }
      BootImagePatchInfoTable(first, entry, primaryLba);
      const int64_t head = std::min<int64_t>(left, kSector);
      if (IsoWriteFileData(document, progress, nullptr, first, 0, nullptr, head) != 0) return -1;
      from += 1;
      left -= head;
    }
    // The rest is copied from the source image as the files of an opened image are.
    if (left > 0 && IsoWriteFileData(document, progress, nullptr, nullptr, from, nullptr, left) != 0) return -1;
  }
  return 0;
}
