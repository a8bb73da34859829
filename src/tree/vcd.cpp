#include "tree/vcd.h"

#include <cstring>
#include <vector>

#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kInfoSector = 150;
constexpr int64_t kEntriesSector = 151;
// The CD-XA mark in the application use area of the primary descriptor.
constexpr int kXaMarkOffset = 1024;
// Requested-LBA codes of entries a Video CD writer places itself: an information file, and the MPEG file of a
// track (the low byte is the track number).
constexpr int64_t kVcdInformationFile = kRequestedLbaNeverPlaced;

// 1 when the raw sector at `sector` is a Mode 2 sector; its user data (8 bytes into the Form 1 payload, after
// the subheader) is copied to `data` (2048 bytes) when given.
bool ReadMode2Sector(CImageDocument* document, int64_t sector, uint8_t* data) {
  uint8_t raw[2352];
  if (sector < 0 || ImageReadRawSectors(document, sector, raw, 1) != 1) return false;
  if (raw[15] != 2) return false;
  if (data) std::memcpy(data, raw + 24, 2048);
  return true;
}

CTreeFolder* ChildFolder(CTreeFolder* folder, const wchar_t* name) {
  if (!folder) return nullptr;
  CTreeEntry* entry = TreeFindChildEntry(folder, name);
  return entry && TreeEntryIsFolder(entry) ? entry->folder : nullptr;
}

CTreeEntry* ChildFile(CTreeFolder* folder, const wchar_t* name) {
  if (!folder) return nullptr;
  CTreeEntry* entry = TreeFindChildEntry(folder, name);
  return entry && !TreeEntryIsFolder(entry) ? entry : nullptr;
}

bool InformationFilesAt(CTreeFolder* folder, const wchar_t* info, const wchar_t* entries) {
  const CTreeEntry* infoFile = ChildFile(folder, info);
  const CTreeEntry* entriesFile = ChildFile(folder, entries);
  return infoFile && entriesFile && infoFile->sourceLba == kInfoSector && infoFile->size == 2048 &&
         entriesFile->sourceLba == kEntriesSector;
}

void RequestLba(CTreeFolder* folder, const wchar_t* name, int64_t lba) {
  if (CTreeEntry* entry = ChildFile(folder, name)) entry->requestedLba = lba;
}

}  // namespace

int VcdDetect(CImageDocument* document) {
  if (!document) return 0;
  const CTrackTable* table = document->trackTable;
  if (!table || table->trackCount < 2 || table->sessionCount > 1) return 0;
  if (document->inputType == kImageTypeAudioDisc) return 0;
  if (std::memcmp(document->primaryDescriptor + kXaMarkOffset, "CD-XA001", 8) != 0) return 0;
  const CTrackInfo* first = TrackTableGetTrack(table, 0);
  const CTrackInfo* second = TrackTableGetTrack(table, 1);
  if (!first || !second) return 0;
  const int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  uint8_t info[2048], entries[2048];
  const bool found = ReadMode2Sector(document, first->start, nullptr) &&
                     ReadMode2Sector(document, second->start, nullptr) &&
                     ReadMode2Sector(document, first->start + kInfoSector, info) &&
                     ReadMode2Sector(document, first->start + kEntriesSector, entries);
  document->quiet = savedQuiet;
  if (!found) return 0;
  if (std::memcmp(info, "VIDEO_CD", 8) != 0 && std::memcmp(info, "SUPERVCD", 8) != 0 &&
      std::memcmp(info, "HQ-VCD  ", 8) != 0)
    return 0;
  if (std::memcmp(entries, "ENTRYVCD", 8) != 0 && std::memcmp(entries, "ENTRYSVD", 8) != 0) return 0;
  document->videoCdKind = kVideoCd;
  return 1;
}

int32_t ImageCheckVideoCd(CImageDocument* document) {
  if (!document || document->inputType == kImageTypeUnknown) return kVideoCdNone;
  if (document->sectorSize == 2336 || document->sectorSize == 2352) VcdDetect(document);
  return document->videoCdKind;
}

int32_t VcdMarkFiles(CImageDocument* document) {
  if (!document) return kVideoCdNone;
  document->videoCdKind = kVideoCdNone;
  CTreeFolder* root = document->rootFolder;
  const CTrackTable* table = document->trackTable;
  if (!root || !table) return kVideoCdNone;
  int32_t kind = kVideoCdNone;
  CTreeFolder* home = ChildFolder(root, L"VCD");
  if (home && InformationFilesAt(home, L"INFO.VCD", L"ENTRIES.VCD")) {
    kind = kVideoCd;
  } else {
    home = ChildFolder(root, L"SVCD");
    if (home && InformationFilesAt(home, L"INFO.SVD", L"ENTRIES.SVD")) kind = kSuperVideoCd;
  }
  if (kind == kVideoCdNone) return kVideoCdNone;

  // Each MPEG file of a data track after the first carries its track number.
  CTreeFolder* mpeg = kind == kSuperVideoCd ? ChildFolder(root, L"MPEG2") : nullptr;
  if (!mpeg) mpeg = ChildFolder(root, L"MPEGAV");
  if (mpeg) {
    for (CTreeEntry* entry = mpeg->firstEntry; entry; entry = entry->next) {
      if (TreeEntryIsFolder(entry) || TreeEntryIsDotName(entry)) continue;
      for (int32_t i = 1; i < table->trackCount && i < 99; ++i) {
        const CTrackInfo* track = TrackTableGetTrack(table, i);
        if (!track || TrackTableIsAudioTrack(table, i)) continue;
        if (entry->sourceLba >= track->start && entry->sourceLba < int64_t{track->start} + track->length) {
          entry->requestedLba = kRequestedLbaNeverPlaced + (i + 1);
          break;
        }
      }
    }
  }
  if (CTreeFolder* ext = ChildFolder(root, L"EXT")) {
    if (kind == kVideoCd) {
      RequestLba(ext, L"LOT_X.VCD", kVcdInformationFile);
      RequestLba(ext, L"PSD_X.VCD", kVcdInformationFile);
    }
    RequestLba(ext, L"SCANDATA.DAT", kVcdInformationFile);
  }
  const bool vcd = kind == kVideoCd;
  RequestLba(home, vcd ? L"INFO.VCD" : L"INFO.SVD", 150);
  RequestLba(home, vcd ? L"ENTRIES.VCD" : L"ENTRIES.SVD", 151);
  RequestLba(home, vcd ? L"LOT.VCD" : L"LOT.SVD", 152);
  RequestLba(home, vcd ? L"PSD.VCD" : L"PSD.SVD", 184);
  if (!vcd) {
    RequestLba(home, L"TRACKS.SVD", 185);
    RequestLba(home, L"SEARCH.DAT", 186);
  }
  document->isoNameLength = 30;
  document->jolietNameLength = 110;
  document->videoCdKind = kind;
  return kind;
}
