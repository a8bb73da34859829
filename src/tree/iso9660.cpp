#include "tree/iso9660.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "image/document.h"
#include "image/sectors.h"
#include "runtime/byte_reader.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"
#include "tree/volume.h"
#include "runtime/paths.h"

namespace {

constexpr int64_t kSectorBytes = 2048;
// Largest directory extent read, in bytes rounded up to whole sectors.
constexpr int64_t kMaxExtentBytes = 0x1FFFFFFE;
// Identifier bytes taken from a record: ISO 9660 names, and Joliet names (whole UCS-2 units).
constexpr int kIsoIdentifierMax = 221;
constexpr int kJolietIdentifierMax = 220;
// Smallest directory record: the fixed part and a one-byte identifier.
constexpr int kMinRecordLength = 34;
// Rock Ridge name flags.
constexpr uint8_t kNameContinue = 0x01;
constexpr uint8_t kNameCurrent = 0x02;
constexpr uint8_t kNameParent = 0x04;

using Buffer = std::unique_ptr<uint8_t, MemFreeDeleter>;

int32_t SuspSkipOf(const CImageDocument* document) { return document->suspSkip; }

bool Signature(const uint8_t* entry, const char* name) { return entry[0] == name[0] && entry[1] == name[1]; }

// The fields of one directory record that the readers use, loaded through the byte reader.
struct RecordView {
  int recordLength;
  uint32_t extent;       // little-endian half
  uint32_t dataLength;   // little-endian half
  bool lengthsAgree;     // both halves of the data length hold the same value
  uint8_t flags;
  int idLength;
};

// Parses the record at the reader's position without moving it. False unless the record's length byte holds
// the fixed part and a non-empty identifier and stays inside the reader: the checks every reader shares.
bool ParseRecord(const ByteReader& room, RecordView* view) {
  ByteReader in(room.data() + room.pos(), room.remaining());
  view->recordLength = in.U8At(kDirRecordLength);
  view->extent = in.U32LEAt(kDirRecordExtent);
  view->dataLength = in.U32LEAt(kDirRecordDataLength);
  view->lengthsAgree = in.U32BEAt(kDirRecordDataLength + 4) == view->dataLength;
  view->flags = in.U8At(kDirRecordFlags);
  view->idLength = in.U8At(kDirRecordNameLength);
  return in.ok() && view->recordLength >= kMinRecordLength && static_cast<size_t>(view->recordLength) <= in.size() &&
         view->idLength >= 1 && 33 + view->idLength <= view->recordLength;
}

bool RecordFits(const uint8_t* record, int64_t room) {
  RecordView view;
  return room > 0 && ParseRecord(ByteReader(record, static_cast<size_t>(room)), &view);
}

// Notes a damaged structure: loading goes on with what can be read, and the command says so at the end.
void MarkDamaged(CImageDocument* document) {
  if (document) document->treeDamaged = 1;
}

// The System Use areas of a Rock Ridge volume are its names: a broken one is damage. Other volumes may keep
// anything there.
void MarkRockRidgeDamaged(CImageDocument* document) {
  if (document && document->rockRidge) document->treeDamaged = 1;
}

// Sectors of the volume the document reads: the recorded volume size, else what the image holds. A volume made
// for a later session without the tree of the earlier ones (a CD-Extra's data session) records only its own
// sectors: its end then counts from its session's start, 16 sectors before its primary descriptor.
int64_t VolumeSectors(const CImageDocument* document) {
  if (document->volumeSize > 0) {
    if (document->primaryLba > 16 && document->volumeSize <= document->primaryLba)
      return document->volumeSize + document->primaryLba - 16;
    return document->volumeSize;
  }
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  return limit > 0 ? limit : 0;
}

// The extent of a directory record as far as it can be read: its first sector and its length in bytes, cut at
// the end of the volume. False when the length is not the same in both byte orders, is 0 or beyond the
// largest directory, or when the extent starts outside the volume.
bool DirectoryExtent(const CImageDocument* document, const uint8_t* record, int64_t* lba, int64_t* bytes) {
  ByteReader fields(record, kDirRecordCopySize);
  const int64_t start = fields.U32LEAt(kDirRecordExtent);
  int64_t length = fields.U32LEAt(kDirRecordDataLength);
  if (!fields.ok() || fields.U32BEAt(kDirRecordDataLength + 4) != length) return false;
  const int64_t rounded = (length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
  if (rounded < 1 || rounded > kMaxExtentBytes) return false;
  if (start > INT32_MAX) return false;
  const int64_t volume = VolumeSectors(document);
  if (volume > 0) {
    if (start >= volume) return false;
    if (rounded / kSectorBytes > volume - start) length = (volume - start) * kSectorBytes;
  }
  *lba = start;
  *bytes = length;
  return true;
}

// Reads `sectors` sectors at `lba` in one request into `buffer` (of `capacity` sectors, replaced by a larger one
// when too small) and returns where they are. Where the image is known to end first, only the sectors up to
// one past its end are asked for, so a damaged length never costs more memory than the image holds, and the
// read still fails (and says so) rather than deliver zeros.
uint8_t* ReadExtentSectors(CImageDocument* document, int64_t lba, int64_t sectors, int64_t* got, Buffer* buffer,
                           int64_t* capacity) {
  *got = 0;
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  if (limit > 0) {
    const int64_t inside = lba < limit ? limit - lba : 0;
    if (sectors > inside + 1) sectors = inside + 1;
  }
  if (sectors <= 0) return nullptr;
  if (!*buffer || *capacity < sectors) {
    buffer->reset(static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(sectors * kSectorBytes))));
    *capacity = *buffer ? sectors : 0;
    if (!*buffer) return nullptr;
  }
  if (ImageReadSectors(document, lba, buffer->get(), sectors) != sectors) return nullptr;
  *got = sectors;
  return buffer->get();
}

wchar_t* DupWide(const wchar_t* text, size_t n) {
  auto* copy = static_cast<wchar_t*>(MemAlloc((n + 1) * sizeof(wchar_t)));
  if (!copy) return nullptr;
  std::wmemcpy(copy, text, n);
  copy[n] = 0;
  return copy;
}

bool IsDotName(const wchar_t* name) { return PathDotKind(name) >= 0; }

// One continuation area named by a "CE" entry.
struct Continuation {
  int64_t block;
  int64_t offset;
  int64_t length;
};

bool ReadContinuation(const uint8_t* entry, int length, Continuation* next) {
  if (length < 28) return false;
  next->block = GetBothEndian32(entry + 4);
  next->offset = GetBothEndian32(entry + 12);
  next->length = GetBothEndian32(entry + 20);
  return true;
}

// Reads the area of a continuation into `sector`, clamped to its block: the bytes of the area, or -1 when the
// block lies outside the volume or cannot be read.
int32_t LoadContinuation(CImageDocument* document, const Continuation& next, uint8_t* sector,
                         const uint8_t** area) {
  const int64_t volume = VolumeSectors(document);
  if (next.block < 0 || (volume > 0 && next.block >= volume) || next.offset >= kSectorBytes) return -1;
  if (ImageReadSectors(document, next.block, sector, 1) != 1) return -1;
  *area = sector + next.offset;
  const int64_t length = next.length < kSectorBytes - next.offset ? next.length : kSectorBytes - next.offset;
  return static_cast<int32_t>(length);
}

bool IsRockRidgeExtension(const uint8_t* entry, int length) {
  if (length < 8) return false;
  const int idLength = entry[4];
  if (8 + idLength > length) return false;
  static constexpr const char* kNames[] = {"RRIP_1991A", "IEEE_P1282", "IEEE_1282"};
  for (const char* name : kNames) {
    const size_t n = std::strlen(name);
    if (static_cast<size_t>(idLength) == n && std::memcmp(entry + 8, name, n) == 0) return true;
  }
  return false;
}

// Detects Rock Ridge from the first sector of the root directory: the System Use area of its "." record.
void DetectRockRidge(CImageDocument* document, const uint8_t* root, const uint8_t* firstSector) {
  document->suspSkip = 0;
  RecordView rootView, first;
  if (!ParseRecord(ByteReader(root, kDirRecordCopySize), &rootView) || !rootView.lengthsAgree) return;
  const int64_t rounded = (int64_t{rootView.dataLength} + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
  if (rounded < 1 || rounded > kMaxExtentBytes || rootView.extent > INT32_MAX) return;
  if (!ParseRecord(ByteReader(firstSector, kSectorBytes), &first)) return;
  int32_t areaLength = 0;
  const uint8_t* area = IsoGetSystemUseArea(firstSector, &areaLength);
  if (!area) return;
  int rockRidge = 0;
  int32_t skip = 0;
  IsoParseRockRidge(document, area, areaLength, &rockRidge, &skip);
  document->rockRidge = rockRidge;
  if (rockRidge) document->suspSkip = skip;
}

// A High Sierra root record keeps its flags at offset 24, where ISO 9660 has the GMT offset of the date.
void RootDate(const CImageDocument* document, const uint8_t* root, uint8_t* date) {
  std::memcpy(date, root + kDirRecordDate, 7);
  if (document->highSierra) date[6] = 0;
}

bool AcceptHighSierra(CImageDocument* document, int64_t lba, const uint8_t* sector) {
  ByteReader fields(sector, kSectorBytes);
  const uint8_t type = fields.U8At(8);
  const uint16_t blockSize = fields.U16LEAt(136);
  const uint32_t volumeSize = fields.U32LEAt(88);
  if (!fields.ok() || type != 1) return false;
  std::memcpy(document->primaryDescriptor, sector, 2048);
  std::memcpy(document->rootRecord, sector + 180, 34);
  document->highSierra = 1;
  document->blockSize = blockSize;
  document->blockSizeKnown = 1;
  document->volumeSize = volumeSize;
  document->rockRidge = 0;
  document->primaryLba = lba;
  uint8_t date[7];
  RootDate(document, document->rootRecord, date);
  const int64_t time = IsoDecodeRecordDate(date);
  document->volumeCreationTime = time;
  document->volumeModificationTime = time;
  document->volumeEffectiveTime = time;
  document->volumeExpirationTime = time;
  VolumeLoadHighSierraIdentifiers(document, sector);
  std::memcpy(IsoDescriptorLayout(document).primaryRoot + kDirRecordDate, date, 7);
  return true;
}

// Takes the Joliet descriptor kept in the document as the source of the tree.
void UseJolietHierarchy(CImageDocument* document) {
  const uint8_t* sector = document->jolietDescriptor;
  std::memcpy(document->rootRecord, sector + 156, 34);
  document->volumeSize = ByteReader(sector, kSectorBytes).U32LEAt(80);
  VolumeLoadJolietIdentifiers(document, sector);
  document->jolietTree = 1;
  std::memcpy(IsoDescriptorLayout(document).jolietRoot + kDirRecordDate, sector + 156 + kDirRecordDate, 7);
}

int AcceptPrimary(CImageDocument* document, int64_t lba, const uint8_t* sector) {
  if (document->primarySeen) return kIsoDescriptorOther;
  const uint8_t* root = sector + 156;
  ByteReader fields(sector, kSectorBytes);
  const uint32_t volumeSize = fields.U32LEAt(80);
  const uint16_t blockSize = fields.U16LEAt(128);
  const uint32_t rootExtent = fields.U32LEAt(156 + kDirRecordExtent);
  uint8_t first[2048];
  if (!fields.ok() || ImageReadSectors(document, rootExtent, first, 1) != 1) return kIsoDescriptorOther;
  std::memcpy(document->primaryDescriptor, sector, 2048);
  std::memcpy(document->rootRecord, root, 34);
  document->primarySeen = 1;
  document->blockSize = blockSize;
  document->blockSizeKnown = 1;
  document->volumeSize = volumeSize;
  document->rockRidge = 0;
  document->primaryLba = lba;
  DetectRockRidge(document, root, first);
  document->volumeCreationTime = IsoParseVolumeDate(sector + 813);
  document->volumeModificationTime = IsoParseVolumeDate(sector + 830);
  document->volumeEffectiveTime = IsoParseVolumeDate(sector + 864);
  document->volumeExpirationTime = IsoParseVolumeDate(sector + 847);
  VolumeLoadPrimaryIdentifiers(document, sector);
  std::memcpy(IsoDescriptorLayout(document).primaryRoot + kDirRecordDate, root + kDirRecordDate, 7);
  // A Joliet descriptor met before this one keeps the tree unless this hierarchy carries Rock Ridge.
  if (document->jolietTree) {
    if (document->rockRidge)
      document->jolietTree = 0;
    else
      UseJolietHierarchy(document);
  }
  return kIsoDescriptorPrimary;
}

int AcceptSupplementary(CImageDocument* document, int64_t lba, const uint8_t* sector) {
  if (sector[88] != '%' || sector[89] != '/') return kIsoDescriptorOther;
  std::memcpy(document->jolietDescriptor, sector, 2048);
  document->supplementaryLba = lba;
  switch (sector[90]) {
    case '@':
      document->jolietLevel = 1;
      break;
    case 'C':
      document->jolietLevel = 2;
      break;
    case 'E':
      document->jolietLevel = 3;
      break;
    default:
      // Not a Joliet escape: its names are in no encoding we know, so it never becomes the tree's source.
      return kIsoDescriptorJoliet;
  }
  if (!document->rockRidge) UseJolietHierarchy(document);
  return kIsoDescriptorJoliet;
}

// Closes a file whose data was gathered from several records: its extent list and summed size.
bool FinishMultiExtent(CTreeEntry* entry, std::vector<CTreeExtent>& extents) {
  if (!entry || extents.size() < 2) {
    extents.clear();
    return true;
  }
  auto* list = static_cast<CTreeExtent*>(MemAlloc(extents.size() * sizeof(CTreeExtent)));
  if (!list) {
    extents.clear();
    return false;
  }
  int64_t size = 0;
  for (size_t i = 0; i < extents.size(); ++i) {
    list[i] = extents[i];
    size += extents[i].length;
  }
  entry->extents = list;
  entry->extentCount = static_cast<int32_t>(extents.size());
  entry->size = size;
  extents.clear();
  return true;
}

bool IsMultiExtentEntry(const CTreeEntry* entry) { return entry->extents != nullptr && entry->extentCount > 1; }

// A new entry for one directory record that passed RecordFits, carved from `arena`; null when memory runs out.
// The name is the Rock Ridge one when the record carries it, else the record's own identifier.
CTreeEntry* EntryFromRecord(CImageDocument* document, uint8_t* record, wchar_t* nameBuffer, CTreeEntryArena* arena) {
  // Decoding a long identifier may shorten the record's length byte in place: the entry keeps the record as read.
  uint8_t asRead[kDirRecordCopySize];
  std::memcpy(asRead, record, kDirRecordCopySize);
  const int idLength = record[kDirRecordNameLength];
  const bool dot = idLength == 1 && record[kDirRecordName] <= 1;
  int32_t areaLength = 0;
  const uint8_t* area = IsoGetSystemUseArea(record, &areaLength);
  if (!area) areaLength = 0;
  const wchar_t* name = nullptr;
  size_t nameLength = 0;
  wchar_t identifier[kIsoIdentifierMax + 1];
  if (dot) {
    name = record[kDirRecordName] == 0 ? L"." : L"..";
    nameLength = std::wcslen(name);
  } else {
    const int32_t skip = SuspSkipOf(document);
    if (area && areaLength > skip &&
        RockRidgeReadName(document, area + skip, areaLength - skip, nameBuffer, kRockRidgeNameChars) > 0) {
      name = nameBuffer;
    } else {
      if (IsoDecodeFileIdentifier(document, nullptr, record, identifier, kIsoIdentifierMax + 1) < 0) return nullptr;
      name = identifier;
    }
    nameLength = std::wcslen(name);
  }
  CTreeEntry* entry = TreeArenaNewEntry(arena, nameLength, areaLength);
  if (!entry) return nullptr;
  std::wmemcpy(entry->name, name, nameLength + 1);
  if (areaLength > 0) {
    std::memcpy(entry->systemUse, area, static_cast<size_t>(areaLength));
    entry->systemUseLength = areaLength;
  }
  std::memcpy(entry->directoryRecord, asRead, kDirRecordCopySize);
  entry->sourceLba = GetLittleEndian32(asRead + kDirRecordExtent);
  entry->size = GetLittleEndian32(asRead + kDirRecordDataLength);
  entry->onDisc = document->deviceFlag || document->inputType == kInputTypeDisc ? 1 : 0;
  return entry;
}

// Directory sectors a tree load may still read. The directories of a sound volume lie apart from each other
// inside it, so together they never need more sectors than it has; the budget allows a few times that (one
// length too large must not cost the rest of the tree), and extents that overlap to claim more end the load
// there instead of reading the same sectors over and over.
constexpr int64_t kDirectoryReadFactor = 4;

// What one load of directories carries from directory to directory: the sectors it may still read, the buffer
// Rock Ridge names are assembled in (made once, on first use) and the one each directory is read into.
struct ReadBudget {
  int64_t sectors;  // -1: the volume's size is not known
  std::unique_ptr<wchar_t[]> names;
  Buffer directory;
  int64_t directorySectors = 0;
  CTreeEntryArena entries;  // where the load's entries are carved from
};

ReadBudget BudgetOf(const CImageDocument* document) {
  const int64_t volume = VolumeSectors(document);
  return {volume > 0 ? volume * kDirectoryReadFactor : -1, nullptr, nullptr, 0, {}};
}

// Reads a directory into entries, within `budget`. `readable` tells an unreadable directory from one that holds no records.
std::vector<CTreeEntry*> ReadDirectoryEntries(CImageDocument* document, const uint8_t* record, bool* readable,
                                              ReadBudget* budget) {
  std::vector<CTreeEntry*> entries;
  *readable = false;
  int64_t lba = 0;
  int64_t length = 0;
  if (!DirectoryExtent(document, record, &lba, &length)) {
    MarkDamaged(document);
    return entries;
  }
  if (length < static_cast<int64_t>(GetLittleEndian32(record + kDirRecordDataLength))) MarkDamaged(document);
  int64_t sectors = (length + kSectorBytes - 1) / kSectorBytes;
  if (budget->sectors >= 0) {
    if (sectors > budget->sectors) {
      MarkDamaged(document);
      return entries;
    }
    budget->sectors -= sectors;
  }
  int64_t got = 0;
  uint8_t* bytes = ReadExtentSectors(document, lba, sectors, &got, &budget->directory, &budget->directorySectors);
  if (!bytes) {
    MarkDamaged(document);
    return entries;
  }
  *readable = true;
  if (got * kSectorBytes < length) length = got * kSectorBytes;

  ByteReader directory(bytes, static_cast<size_t>(length));
  if (!budget->names) budget->names.reset(new wchar_t[kRockRidgeNameChars]);
  wchar_t* nameBuffer = budget->names.get();
  // The file whose records carry the multi-extent flag, with the identifier its later records must repeat.
  CTreeEntry* pending = nullptr;
  const uint8_t* pendingId = nullptr;
  int pendingIdLength = 0;
  std::vector<CTreeExtent> extents;

  while (directory.remaining() > 0) {
    const size_t position = directory.pos();
    const size_t inSector = position % kSectorBytes;
    const size_t nextSector = std::min(position - inSector + kSectorBytes, directory.size());
    if (directory.U8At(position) == 0) {
      // The rest of the sector is padding; an empty record at the start of a sector ends the directory.
      if (inSector == 0) break;
      directory.Seek(nextSector);
      continue;
    }
    // Records never span sectors: each is read from what is left of its own sector.
    ByteReader room(bytes + position, nextSector - position);
    RecordView view;
    if (!ParseRecord(room, &view)) {
      // A damaged record: the next sector can still be read.
      MarkDamaged(document);
      directory.Seek(nextSector);
      continue;
    }
    uint8_t* recordBytes = bytes + position;
    directory.Skip(static_cast<size_t>(view.recordLength));
    if (document->highSierra) {
      recordBytes[kDirRecordFlags] = recordBytes[24];
      recordBytes[24] = 0;
      view.flags = recordBytes[kDirRecordFlags];
    }
    uint8_t flags = view.flags;
    const int idLength = view.idLength;
    const uint8_t* id = recordBytes + kDirRecordName;

    if (pending) {
      if (!(flags & kDirFlagDirectory) && idLength == pendingIdLength && std::memcmp(id, pendingId, idLength) == 0) {
        extents.push_back({view.extent, view.dataLength});
        if (!(flags & kDirFlagMultiExtent)) {
          FinishMultiExtent(pending, extents);
          pending = nullptr;
        }
        continue;
      }
      // The chain broke off: the file keeps the pieces read so far.
      FinishMultiExtent(pending, extents);
      pending = nullptr;
    }

    bool makeFile = false;
    if ((flags & kDirFlagDirectory) && (flags & kDirFlagAssociated)) {
      const int state = IsoReadExtentFirstSector(document, recordBytes);
      if (state < 0) continue;
      makeFile = state == 0;
    }
    CTreeEntry* entry = EntryFromRecord(document, recordBytes, nameBuffer, &budget->entries);
    if (!entry) continue;
    if (makeFile) {
      entry->directoryRecord[kDirRecordFlags] &= static_cast<uint8_t>(~kDirFlagDirectory);
      flags = entry->directoryRecord[kDirRecordFlags];
    }
    entries.push_back(entry);
    if ((flags & kDirFlagMultiExtent) && !(flags & kDirFlagDirectory)) {
      pending = entry;
      pendingId = id;
      pendingIdLength = idLength;
      extents.push_back({entry->sourceLba, view.dataLength});
    }
  }
  FinishMultiExtent(pending, extents);
  return entries;
}

CTreeEntry** ToEntryArray(CImageDocument* document, std::vector<CTreeEntry*>& entries, int64_t* count) {
  *count = 0;
  if (entries.empty()) return nullptr;
  auto** array = static_cast<CTreeEntry**>(MemAlloc(entries.size() * sizeof(CTreeEntry*)));
  if (!array) {
    for (CTreeEntry* entry : entries) TreeFreeEntry(document, entry);
    entries.clear();
    return nullptr;
  }
  std::memcpy(array, entries.data(), entries.size() * sizeof(CTreeEntry*));
  *count = static_cast<int64_t>(entries.size());
  return array;
}

void ClearExtentLba(CTreeEntry* entry) { std::memset(entry->directoryRecord + kDirRecordExtent, 0, 8); }

// The walk behind IsoLoadDirectoryTree. Folders are loaded from an explicit list of pending directories, so a
// deep or looping hierarchy costs no stack; `visited` holds every directory extent already read.
void LoadTree(CImageDocument* document, CTreeFolder* top, std::vector<CTreeEntry*> topEntries,
              std::unordered_set<int64_t>& visited, ReadBudget& budget) {
  struct Pending {
    CTreeFolder* folder;
    std::vector<CTreeEntry*> entries;
  };
  std::vector<Pending> work;
  work.push_back({top, std::move(topEntries)});
  bool first = true;
  while (!work.empty()) {
    Pending item = std::move(work.back());
    work.pop_back();
    for (CTreeEntry* entry : item.entries) {
      if (!entry) continue;
      if (TreeEntryIsFolder(entry)) {
        if (IsDotName(entry->name)) {
          item.folder->flags |= entry->name[1] == 0 ? kTreeFolderHasDot : kTreeFolderHasDotDot;
          if (!first) ClearExtentLba(entry);
        } else if (CTreeFolder* node = TreeInsertFolderNode(document, item.folder, entry->name, entry, 0)) {
          const int64_t lba = GetLittleEndian32(entry->directoryRecord + kDirRecordExtent);
          if (node->depth <= kTreePathMaxDepth && visited.insert(lba).second) {
            bool readable = false;
            std::vector<CTreeEntry*> children =
                ReadDirectoryEntries(document, entry->directoryRecord, &readable, &budget);
            if (!children.empty()) work.push_back({node, std::move(children)});
          } else {
            // A directory met twice (a loop) or nested too deep.
            MarkDamaged(document);
          }
          ClearExtentLba(entry);
        }
      }
      if (!IsMultiExtentEntry(entry)) entry->size = GetLittleEndian32(entry->directoryRecord + kDirRecordDataLength);
      TreeFolderPrependEntry(item.folder, entry);
    }
    first = false;
  }
}

}  // namespace

void IsoResetParseState(CImageDocument* document) {
  if (!document) return;
  std::memset(document->primaryDescriptor, 0, sizeof document->primaryDescriptor);
  std::memset(document->jolietDescriptor, 0, sizeof document->jolietDescriptor);
  std::memset(document->rootRecord, 0, sizeof document->rootRecord);
  document->primarySeen = 0;
  document->highSierra = 0;
  document->jolietLevel = 0;
  document->jolietTree = 0;
  document->rockRidge = 0;
  document->blockSize = 0;
  document->blockSizeKnown = 0;
  document->volumeSize = 0;
  document->primaryLba = 0;
  document->supplementaryLba = 0;
  document->bootRecordLba = 0;
  document->volumeCreationTime = 0;
  document->volumeModificationTime = 0;
  document->volumeEffectiveTime = 0;
  document->volumeExpirationTime = 0;
  document->suspSkip = 0;
}

int IsoParseVolumeDescriptors(CImageDocument* document, int64_t lba, const uint8_t* sector) {
  if (!document || !sector) return kIsoDescriptorOther;
  if (std::memcmp(sector + 9, "CDROM", 5) == 0)
    return AcceptHighSierra(document, lba, sector) ? kIsoDescriptorHighSierra : kIsoDescriptorOther;
  const bool standard = std::memcmp(sector + 1, "CD001", 5) == 0;
  if (standard && sector[0] == 255) return kIsoDescriptorTerminator;
  if (standard && sector[0] == 1) return AcceptPrimary(document, lba, sector);
  if (document->jolietLevel == 0 && sector[0] == 2) return AcceptSupplementary(document, lba, sector);
  static const uint8_t kElTorito[24] = {'E', 'L', ' ', 'T', 'O', 'R', 'I', 'T', 'O', ' ', 'S', 'P',
                                        'E', 'C', 'I', 'F', 'I', 'C', 'A', 'T', 'I', 'O', 'N', 0};
  if (std::memcmp(sector + 7, kElTorito, sizeof kElTorito) == 0) {
    document->bootRecordLba = lba;
    return kIsoDescriptorBootRecord;
  }
  return kIsoDescriptorOther;
}

int IsoLoadTree(CImageDocument* document) {
  if (!document) return -1;
  if (!document->rootFolder && ImageCreateRoot(document) != 0) return -1;
  if (CTreeEntry* root = document->rootEntry) {
    std::memcpy(root->directoryRecord, document->rootRecord, kDirRecordCopySize);
    if (document->highSierra) {
      root->directoryRecord[kDirRecordFlags] = root->directoryRecord[24];
      root->directoryRecord[24] = 0;
    }
    root->sourceLba = GetLittleEndian32(document->rootRecord + kDirRecordExtent);
    root->size = GetLittleEndian32(document->rootRecord + kDirRecordDataLength);
  }
  bool readable = false;
  ReadBudget budget = BudgetOf(document);
  std::vector<CTreeEntry*> entries = ReadDirectoryEntries(document, document->rootRecord, &readable, &budget);
  if (!readable) return -1;
  std::unordered_set<int64_t> visited{static_cast<int64_t>(GetLittleEndian32(document->rootRecord + kDirRecordExtent))};
  LoadTree(document, document->rootFolder, std::move(entries), visited, budget);
  return 0;
}

CTreeEntry** IsoReadDirectory(CImageDocument* document, const uint8_t* record, int64_t* count) {
  int64_t none = 0;
  if (!count) count = &none;
  *count = 0;
  if (!document || !record) return nullptr;
  bool readable = false;
  ReadBudget unbounded{-1, nullptr, nullptr, 0, {}};
  std::vector<CTreeEntry*> entries = ReadDirectoryEntries(document, record, &readable, &unbounded);
  return ToEntryArray(document, entries, count);
}

void IsoLoadDirectoryTree(CImageDocument* document, CTreeFolder* folder, CTreeEntry** entries, int64_t count) {
  if (!document || !folder || !entries || count <= 0) return;
  std::vector<CTreeEntry*> list(entries, entries + count);
  // The "." and ".." records lead to this directory and its parent: neither is read again below it.
  std::unordered_set<int64_t> visited;
  for (CTreeEntry* entry : list) {
    if (entry && TreeEntryIsFolder(entry) && IsDotName(entry->name))
      visited.insert(GetLittleEndian32(entry->directoryRecord + kDirRecordExtent));
  }
  ReadBudget budget = BudgetOf(document);
  LoadTree(document, folder, std::move(list), visited, budget);
}

int IsoReadExtentFirstSector(CImageDocument* document, const uint8_t* record) {
  if (!document || !record) return -1;
  if (!BothEndian32Matches(record + kDirRecordExtent) || !BothEndian32Matches(record + kDirRecordDataLength))
    return -1;
  const int64_t lba = GetLittleEndian32(record + kDirRecordExtent);
  const int64_t volume = VolumeSectors(document);
  if (volume > 0 && lba >= volume) return -1;
  uint8_t sector[2048];
  if (ImageReadSectors(document, lba, sector, 1) != 1) return -1;
  if (!RecordFits(sector, kSectorBytes) || !BothEndian32Matches(sector + kDirRecordExtent) ||
      !BothEndian32Matches(sector + kDirRecordDataLength))
    return 0;
  return 2;
}

int32_t IsoDecodeFileIdentifier(CImageDocument* document, CTreeEntry* entry, uint8_t* record, wchar_t* output,
                                size_t capacity) {
  if (!document || !record) return -1;
  if (!output && !entry) return -1;
  if (!output && entry->name) return static_cast<int32_t>(std::wcslen(entry->name));
  wchar_t name[kIsoIdentifierMax + 1];
  size_t n = 0;
  int idLength = record[kDirRecordNameLength];
  const bool joliet = document->jolietLevel != 0 && document->jolietTree;
  if (!joliet) {
    if (idLength > kIsoIdentifierMax) {
      idLength = kIsoIdentifierMax;
      record[kDirRecordNameLength] = kIsoIdentifierMax;
    }
    n = VolumeDecodeDiscText(record + kDirRecordName, static_cast<size_t>(idLength), name, kIsoIdentifierMax + 1);
  } else {
    if (idLength > kJolietIdentifierMax) idLength = kJolietIdentifierMax;
    uint16_t units[kJolietIdentifierMax / 2];
    const int count = idLength / 2;
    for (int i = 0; i < count; ++i)
      units[i] = GetBigEndian16(record + kDirRecordName + 2 * i);
    const int32_t got = TextUtf16ToWide(units, count, name, kIsoIdentifierMax + 1);
    n = got > 0 ? static_cast<size_t>(got) : 0;
    name[n] = 0;
    if (idLength >= 2) {
      if (n >= 2 && name[n - 2] == L';' && name[n - 1] == L'1') name[n -= 2] = 0;
      while (n > 1 && name[n - 1] == L'.') name[--n] = 0;
    }
  }
  // A version of one digit is not part of the name; longer ones are kept.
  if (wchar_t* semicolon = std::wcschr(name, L';')) {
    if (semicolon != name && semicolon[1] >= L'0' && semicolon[1] <= L'9' && semicolon[2] == 0) {
      *semicolon = 0;
      n = static_cast<size_t>(semicolon - name);
    }
  }
  // An ISO 9660 name without extension still carries its separator ("NOEXT."): the name is the part before it.
  if (!joliet && n > 1 && name[n - 1] == L'.') name[--n] = 0;
  if (output) {
    if (capacity == 0) return -1;
    const size_t copied = n < capacity - 1 ? n : capacity - 1;
    std::wmemcpy(output, name, copied);
    output[copied] = 0;
    return static_cast<int32_t>(copied);
  }
  wchar_t* copy = DupWide(name, n);
  if (!copy) return -1;
  TreeEntryFreeName(entry);
  entry->name = copy;
  return static_cast<int32_t>(n);
}

const uint8_t* IsoGetSystemUseArea(const uint8_t* record, int32_t* length) {
  if (length) *length = 0;
  if (!record || !length) return nullptr;
  const int recordLength = record[kDirRecordLength];
  const int idLength = record[kDirRecordNameLength];
  const int start = 33 + idLength + ((idLength & 1) ? 0 : 1);
  if (recordLength <= start) return nullptr;
  *length = recordLength - start;
  return record + start;
}

int32_t IsoSystemUseSkipXa(const uint8_t* area, int32_t length) {
  if (!area || length <= 13) return 0;
  if (area[6] == 'X' && area[7] == 'A' && area[9] == 0) return 14;
  if (area[2] == 0) return length;
  return 0;
}

CSuspWalkEnd IsoWalkSystemUseEntries(CImageDocument* document, const uint8_t* area, int32_t length, bool follow,
                                     const bool* done, bool (*visit)(void* context, const uint8_t* entry, int length),
                                     void* context) {
  uint8_t sector[2048];
  if (!area || length <= 0) return CSuspWalkEnd::kEnded;
  for (int followed = 0;; ++followed) {
    Continuation next{};
    bool hasNext = false;
    int32_t at = 0;
    while (length - at >= 4) {
      const uint8_t* entry = area + at;
      const int entryLength = entry[2];
      if (entryLength < 4 || entryLength > length - at) {
        // Zero bytes to the end are padding; anything else is a broken entry.
        if (entryLength == 0 && MemIsAllZero(entry, static_cast<size_t>(length - at))) break;
        return CSuspWalkEnd::kDamaged;
      }
      if (entry[3] != 1 && entry[3] != 2) return CSuspWalkEnd::kRefused;
      if (Signature(entry, "CE")) {
        hasNext = ReadContinuation(entry, entryLength, &next);
      } else if (Signature(entry, "ST")) {
        break;
      } else if (!visit(context, entry, entryLength)) {
        return CSuspWalkEnd::kEnded;
      }
      at += entryLength;
    }
    if (!follow || !hasNext || (done && *done)) return CSuspWalkEnd::kEnded;
    if (followed >= kSuspMaxContinuations) return CSuspWalkEnd::kDamaged;
    length = LoadContinuation(document, next, sector, &area);
    if (length < 0) return CSuspWalkEnd::kDamaged;
  }
}

uint32_t IsoParseRockRidge(CImageDocument* document, const uint8_t* area, int32_t length, int* rockRidge,
                           int32_t* suspSkip) {
  if (rockRidge) *rockRidge = 0;
  if (suspSkip) *suspSkip = 0;
  if (!document || !area || length < 4) return 0;
  uint32_t bits = 0;
  if (length >= 14 && area[6] == 'X' && area[7] == 'A' && area[9] == 0) {
    area += 14;
    length -= 14;
    bits |= kSuspXA;
  }
  bool markedRR = false;
  bool sharing = false;
  bool extension = false;
  const bool never = false;
  const CSuspWalkEnd walk = IsoWalkSystemUse(document, area, length, true, &never, [&](const uint8_t* entry, int entryLength) {
    if (Signature(entry, "RR")) {
      markedRR = true;
    } else if (Signature(entry, "SP")) {
      bits |= kSuspSP;
      if (entryLength >= 7 && entry[4] == 0xBE && entry[5] == 0xEF) {
        sharing = true;
        if (suspSkip) *suspSkip = entry[6];
      }
    } else if (Signature(entry, "ER")) {
      bits |= kSuspER;
      if (IsRockRidgeExtension(entry, entryLength)) extension = true;
    } else {
      static constexpr struct {
        char name[3];
        uint32_t bit;
      } kBits[] = {{"PX", kSuspPX}, {"PN", kSuspPN}, {"SL", kSuspSL}, {"NM", kSuspNM},
                   {"CL", kSuspCL}, {"PL", kSuspPL}, {"RE", kSuspRE}, {"TF", kSuspTF}, {"AA", kSuspAA}};
      for (const auto& known : kBits) {
        if (Signature(entry, known.name)) bits |= known.bit;
      }
    }
    return true;
  });
  if (walk == CSuspWalkEnd::kRefused) return 0;
  if (walk == CSuspWalkEnd::kDamaged) {
    MarkDamaged(document);
    // Entries met before the damage still count, but an unreadable continuation leaves Rock Ridge unproven.
    if (suspSkip) *suspSkip = 0;
    return bits;
  }
  if (rockRidge)
    *rockRidge = markedRR || (sharing && (extension || (bits & (kSuspPX | kSuspNM | kSuspTF)) != 0)) ? 1 : 0;
  return bits;
}

int32_t RockRidgeReadName(CImageDocument* document, const uint8_t* area, int32_t length, wchar_t* name,
                          size_t capacity) {
  if (!name || capacity == 0) return -1;
  name[0] = 0;
  if (!document || !area || length <= 0) return 0;
  const int32_t skip = IsoSystemUseSkipXa(area, length);
  if (skip >= length && length > 13) {
    MarkRockRidgeDamaged(document);  // an entry of length 0 at the start of the area
    return 0;
  }
  area += skip;
  length -= skip;
  if (length > 3 && area[3] != 1 && area[3] != 2) {
    MarkRockRidgeDamaged(document);
    return -1;
  }
  std::string bytes;
  bool complete = false;
  bool tooLong = false;
  // The whole area is walked even after the name's last piece: an entry of a foreign version fails the name.
  const CSuspWalkEnd walk = IsoWalkSystemUse(document, area, length, true, &complete, [&](const uint8_t* entry, int entryLength) {
    // "." and ".." are given by the record itself; a name after a final piece is not part of it.
    if (!complete && Signature(entry, "NM") && entryLength >= 5 && !(entry[4] & (kNameCurrent | kNameParent))) {
      bytes.append(reinterpret_cast<const char*>(entry + 5), static_cast<size_t>(entryLength - 5));
      if (bytes.size() >= capacity) {
        tooLong = true;
        return false;
      }
      if (!(entry[4] & kNameContinue)) complete = true;
    }
    return true;
  });
  // A name that breaks off (damage, a piece announcing more that never comes, or no room) keeps the record's
  // own name.
  if (walk != CSuspWalkEnd::kEnded || tooLong || (!bytes.empty() && !complete)) {
    MarkRockRidgeDamaged(document);
    return -1;
  }
  if (bytes.empty()) return 0;
  return static_cast<int32_t>(
      VolumeDecodeDiscText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), name, capacity));
}
