#include "builder/rockridge.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "builder/add_local.h"
#include "builder/build_state.h"
#include "builder/iso_writer.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/textconv.h"
#include "tree/iso9660.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

constexpr int kSector = 2048;
constexpr int kCeLength = 28;
constexpr int kPxLength = 44;
constexpr int kTfLength = 26;
// Bytes of a name in one NM entry.
constexpr size_t kNamePiece = 248;
constexpr uint32_t kModeDirectory = 040000;
constexpr uint32_t kModeRegular = 0100000;
constexpr uint32_t kModeSymlink = 0120000;
constexpr uint32_t kModeType = 0170000;
constexpr uint32_t kDefaultPermissions = 0555;

constexpr char kErIdentifier[] = "RRIP_1991A";
constexpr char kErDescriptor[] = "THE ROCK RIDGE INTERCHANGE PROTOCOL PROVIDES SUPPORT FOR POSIX FILE SYSTEM SEMANTICS";
constexpr char kErSource[] =
    "PLEASE CONTACT DISC PUBLISHER FOR SPECIFICATION SOURCE.  SEE PUBLISHER IDENTIFIER IN PRIMARY VOLUME "
    "DESCRIPTOR FOR CONTACT INFORMATION.";

// The ER sector and the continuation areas of the build in progress.
struct ErState {
  uint8_t sector[kSector];
  int32_t length;
  int64_t lba;
  int64_t areaSectors;  // continuation sectors after the ER sector
};
// What the build in progress keeps of Rock Ridge: the ER entry's sector, the relocation folder (null when
// nothing was relocated), and the records of the relocation folder with the folders they stand for.
struct RockRidgeBuild {
  ErState er{};
  CTreeFolder* moved = nullptr;
  std::unordered_map<const CTreeEntry*, CTreeFolder*> aliases;
  std::unordered_map<const CTreeFolder*, const CTreeEntry*> aliasOf;
};
RockRidgeBuild& Build(CImageDocument* document) { return IsoBuildPart<RockRidgeBuild>(document, kBuildPartRockRidge); }

bool Signature(const uint8_t* entry, const char* name) { return entry[0] == name[0] && entry[1] == name[1]; }

// Names that carry no "NM" entry: none at all, "." and "..".
bool IsDotName(const wchar_t* name) { return !name || !name[0] || PathDotKind(name) >= 0; }

int DotKind(const CTreeEntry* entry) { return TreeEntryDotKind(entry); }

// What an entry's earlier Rock Ridge entries tell: attributes, and the symbolic link it records.
struct Recorded {
  bool px = false;
  bool tf = false;
  CRockRidgeAttributes attributes{};
  std::vector<uint8_t> symlink;  // its SL entries, as recorded
  uint32_t relocation = 0;       // kRockRidgeRE, kRockRidgePL, kRockRidgeCL met
  uint32_t childLba = 0;         // a CL entry's directory
};

void TakeEntry(const uint8_t* entry, int length, Recorded* recorded) {
  if (Signature(entry, "PX") && length >= 36) {
    recorded->px = true;
    recorded->attributes.mode = GetLittleEndian32(entry + 4);
    recorded->attributes.links = GetLittleEndian32(entry + 12);
    recorded->attributes.owner = GetLittleEndian32(entry + 20);
    recorded->attributes.group = GetLittleEndian32(entry + 28);
  } else if (Signature(entry, "TF") && length >= 5) {
    const uint8_t flags = entry[4];
    const int size = (flags & 0x80) ? 17 : 7;
    int at = 5;
    // Dates in flag order: creation, modification, access, attributes, backup, expiration, effective.
    for (int bit = 0; bit < 7; ++bit) {
      if (!(flags & (1 << bit))) continue;
      if (at + size > length) break;
      uint8_t date[7];
      if (size == 7) {
        std::memcpy(date, entry + at, 7);
      } else {
        IsoEncodeRecordDate(date, IsoParseVolumeDate(entry + at));
      }
      if (bit == 1) std::memcpy(recorded->attributes.modification, date, 7);
      if (bit == 2) std::memcpy(recorded->attributes.access, date, 7);
      if (bit == 3) std::memcpy(recorded->attributes.change, date, 7);
      recorded->tf = true;
      at += size;
    }
  } else if (Signature(entry, "RE")) {
    recorded->relocation |= kRockRidgeRE;
  } else if (Signature(entry, "CL") && length >= 12) {
    recorded->relocation |= kRockRidgeCL;
    recorded->childLba = GetLittleEndian32(entry + 4);
  } else if (Signature(entry, "PL")) {
    recorded->relocation |= kRockRidgePL;
  } else if (Signature(entry, "SL") && length >= 5) {
    recorded->symlink.insert(recorded->symlink.end(), entry, entry + length);
  }
}

// Takes the entries of `length` bytes at `area`; with `follow` (an area as read) the continuations its "CE"
// entries name are read from the source image too.
void WalkRecorded(CImageDocument* document, const uint8_t* area, int32_t length, bool follow, Recorded* recorded) {
  IsoWalkSystemUse(document, area, length, follow, nullptr, [&](const uint8_t* entry, int entryLength) {
    TakeEntry(entry, entryLength, recorded);
    return true;
  });
}

// Takes what the recorded entries say over the attributes.
void ApplyRecorded(const Recorded& recorded, CRockRidgeAttributes* attributes) {
  if (recorded.px) {
    attributes->mode = recorded.attributes.mode;
    attributes->links = recorded.attributes.links;
    attributes->owner = recorded.attributes.owner;
    attributes->group = recorded.attributes.group;
  }
  if (recorded.tf) {
    std::memcpy(attributes->access, recorded.attributes.access, 7);
    std::memcpy(attributes->modification, recorded.attributes.modification, 7);
    std::memcpy(attributes->change, recorded.attributes.change, 7);
  }
}

Recorded ReadRecorded(CImageDocument* document, const CTreeEntry* entry) {
  Recorded recorded;
  if (!entry->systemUse || entry->systemUseLength <= 0) return recorded;
  if (entry->systemUseCapacity > 0) {
    // Built by us: the continuation parts follow in the same buffer.
    WalkRecorded(document, entry->systemUse, entry->systemUseCapacity, false, &recorded);
  } else {
    const int32_t skip = IsoSystemUseSkipXa(entry->systemUse, entry->systemUseLength);
    WalkRecorded(document, entry->systemUse + skip, entry->systemUseLength - skip, true, &recorded);
  }
  return recorded;
}

// What ReadRecorded tells of relocation (RE, and CL with its directory) for an area as read, without taking
// the other entries apart: every record of a tree is asked this when it is loaded.
uint32_t RecordedRelocation(CImageDocument* document, const CTreeEntry* entry, uint32_t* childLba) {
  uint32_t relocation = 0;
  const int32_t skip = IsoSystemUseSkipXa(entry->systemUse, entry->systemUseLength);
  IsoWalkSystemUse(document, entry->systemUse + skip, entry->systemUseLength - skip, true, nullptr,
                   [&](const uint8_t* item, int length) {
                     if (Signature(item, "RE")) {
                       relocation |= kRockRidgeRE;
                     } else if (Signature(item, "CL") && length >= 12) {
                       relocation |= kRockRidgeCL;
                       *childLba = GetLittleEndian32(item + 4);
                     }
                     return true;
                   });
  return relocation;
}

void FillDefaults(CImageDocument* document, const CTreeEntry* entry, CRockRidgeAttributes* attributes) {
  *attributes = CRockRidgeAttributes{};
  attributes->mode = kDefaultPermissions | (TreeEntryIsFolder(entry) ? kModeDirectory : kModeRegular);
  attributes->links = 1;
  attributes->size = entry->size;
  static const uint8_t kNoDate[7] = {};
  uint8_t date[7];
  if (std::memcmp(entry->directoryRecord + kDirRecordDate, kNoDate, 7) != 0)
    std::memcpy(date, entry->directoryRecord + kDirRecordDate, 7);
  else
    IsoEncodeRecordDate(date, ImageGetFixedTime(document));
  std::memcpy(attributes->access, date, 7);
  std::memcpy(attributes->modification, date, 7);
  std::memcpy(attributes->change, date, 7);
}

// Attributes from a local file's status; false when it cannot be read.
bool LocalAttributes(const wchar_t* path, CRockRidgeAttributes* attributes) {
  char* narrow = path ? TextWideToMultiByteDup(path) : nullptr;
  struct stat status;
  const bool ok = narrow && lstat(narrow, &status) == 0;
  MemFree(narrow);
  if (!ok) return false;
  *attributes = CRockRidgeAttributes{};
  attributes->mode = static_cast<uint32_t>(status.st_mode);
  attributes->links = static_cast<uint32_t>(status.st_nlink);
  attributes->owner = static_cast<uint32_t>(status.st_uid);
  attributes->group = static_cast<uint32_t>(status.st_gid);
  attributes->size = static_cast<int64_t>(status.st_size);
  IsoEncodeRecordDate(attributes->access, static_cast<int64_t>(status.st_atime));
  IsoEncodeRecordDate(attributes->modification, static_cast<int64_t>(status.st_mtime));
  IsoEncodeRecordDate(attributes->change, static_cast<int64_t>(status.st_ctime));
  return true;
}

// 2 + the folder's subfolders, as POSIX counts a directory's links. A relocated folder counts in its parent
// (through its placeholder) and in the relocation folder.
uint32_t FolderLinks(CImageDocument* document, const CTreeFolder* folder) {
  uint32_t links = 2;
  if (!folder) return links;
  for (const CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next)
    if (const CTreeFolder* child = RockRidgeEntryFolder(document, entry);
        child && child != folder && DotKind(entry) < 0)
      ++links;
  return links;
}

// The work area of one record's entries: the in-record part, then continuation parts.
class EntryWriter {
 public:
  EntryWriter(int head) : room_(kRockRidgeRecordRoom), head_(std::max(head, kRockRidgeMinimumHead)) {}

  int Left() const { return room_ - head_ - static_cast<int>(bytes_.size() - partStart_); }

  void Put(std::initializer_list<uint8_t> values) { bytes_.insert(bytes_.end(), values); }
  void PutBytes(const uint8_t* data, size_t n) { bytes_.insert(bytes_.end(), data, data + n); }
  void PutBoth32(uint32_t value) {
    uint8_t field[8];
    PutBothEndian32(field, value);
    PutBytes(field, 8);
  }
  size_t Position() const { return bytes_.size(); }
  uint8_t* At(size_t position) { return bytes_.data() + position; }

  // Closes the current part with a CE and opens a continuation part. False when not even a CE fits.
  bool BeginCe() {
    if (Left() < kCeLength) return false;
    const size_t at = bytes_.size();
    PutCe();
    if (ce_ != kNone) PutBothEndian32(bytes_.data() + ce_ + 20, static_cast<uint32_t>(bytes_.size() - partStart_));
    if (inRecord_ == kNone) inRecord_ = bytes_.size();
    ce_ = at;
    partStart_ = bytes_.size();
    room_ = kRockRidgeContinuationRoom;
    head_ = 0;
    return true;
  }
  // Makes room for `need` more bytes in the current part (a CE kept free after them).
  bool Reserve(int need) { return Left() >= need + kCeLength || BeginCe(); }

  void PutCe() {
    Put({'C', 'E', kCeLength, 1});
    for (int i = 0; i < 3; ++i) PutBoth32(0);
  }

  void Finish() {
    if (ce_ != kNone) PutBothEndian32(bytes_.data() + ce_ + 20, static_cast<uint32_t>(bytes_.size() - partStart_));
    if (inRecord_ == kNone) inRecord_ = bytes_.size();
  }
  size_t InRecord() const { return inRecord_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  std::vector<uint8_t> bytes_;
  size_t partStart_ = 0;
  size_t ce_ = kNone;
  size_t inRecord_ = kNone;
  int room_;
  int head_;
};

std::string NameBytes(const wchar_t* name) {
  std::string bytes;
  if (char* narrow = TextWideToMultiByteDup(name)) {
    bytes = narrow;
    MemFree(narrow);
  } else {
    // A character the locale cannot write: convert character by character and keep what converts.
    char piece[16];
    for (const wchar_t* c = name; *c; ++c) {
      const wchar_t one[2] = {*c, 0};
      const int32_t n = TextWideToMultiByte(one, 1, piece, sizeof piece);
      bytes.append(n > 0 ? std::string(piece, static_cast<size_t>(n)) : std::string("_"));
    }
  }
  std::replace(bytes.begin(), bytes.end(), '/', '_');
  return bytes;
}

int32_t BuildEntries(CImageDocument* document, const wchar_t* name, CTreeEntry* entry,
                     const CRockRidgeAttributes* attributes, uint32_t flags, const std::vector<uint8_t>* symlink) {
  const int dot = DotKind(entry);
  int head = 34;
  if (dot < 0) {
    head = 33 + entry->directoryRecord[kDirRecordNameLength];
    head += head & 1;
  }
  EntryWriter work(head);
  if (flags & kRockRidgeSP) work.Put({'S', 'P', 7, 1, 0xBE, 0xEF, 0});
  const size_t rrAt = work.Position();
  work.Put({'R', 'R', 5, 1, 0});
  uint8_t rrFlags = 0x81;
  if (dot < 0 && !IsDotName(name)) {
    const std::string bytes = NameBytes(name);
    size_t done = 0;
    while (done < bytes.size()) {
      size_t piece = std::min(kNamePiece, bytes.size() - done);
      const int fits = work.Left() - 5 - kCeLength;
      if (fits <= 0) {
        if (!work.BeginCe()) break;
        continue;
      }
      piece = std::min(piece, static_cast<size_t>(fits));
      const bool more = done + piece < bytes.size();
      work.Put({'N', 'M', static_cast<uint8_t>(5 + piece), 1, static_cast<uint8_t>(more ? 1 : 0)});
      work.PutBytes(reinterpret_cast<const uint8_t*>(bytes.data() + done), piece);
      done += piece;
      if (more && work.Left() - 5 - kCeLength <= 0 && !work.BeginCe()) break;
    }
    rrFlags |= 0x08;
  }
  uint32_t mode = attributes->mode;
  if (document->fixedTime != 0 && mode == 0100666) mode = 0100777;
  work.Reserve(kPxLength);
  work.Put({'P', 'X', kPxLength, 1});
  work.PutBoth32(mode);
  work.PutBoth32(attributes->links);
  work.PutBoth32(attributes->owner);
  work.PutBoth32(attributes->group);
  work.PutBoth32(0);
  work.Reserve(kTfLength);
  work.Put({'T', 'F', kTfLength, 1, 0x0E});
  if (document->fixedTime != 0) {
    uint8_t fixed[7];
    IsoEncodeRecordDate(fixed, document->fixedTime);
    for (int i = 0; i < 3; ++i) work.PutBytes(fixed, 7);
  } else {
    work.PutBytes(attributes->modification, 7);
    work.PutBytes(attributes->access, 7);
    work.PutBytes(attributes->change, 7);
  }
  if (symlink && !symlink->empty()) {
    // The link's SL entries go on as recorded, each whole in one part.
    size_t at = 0;
    while (at + 4 <= symlink->size()) {
      const size_t length = (*symlink)[at + 2];
      if (length < 5 || at + length > symlink->size()) break;
      work.Reserve(static_cast<int>(length));
      work.PutBytes(symlink->data() + at, length);
      at += length;
    }
    rrFlags |= 0x04;
  }
  if (flags & kRockRidgeRE) {
    work.Reserve(4);
    work.Put({'R', 'E', 4, 1});
    rrFlags |= 0x40;
  }
  for (const auto& [flag, signature, bit] :
       {std::tuple{kRockRidgePL, "PL", uint8_t{0x20}}, std::tuple{kRockRidgeCL, "CL", uint8_t{0x10}}}) {
    if (!(flags & flag)) continue;
    work.Reserve(12);
    work.Put({static_cast<uint8_t>(signature[0]), static_cast<uint8_t>(signature[1]), 12, 1});
    work.PutBoth32(0);
    rrFlags |= bit;
  }
  if (flags & kRockRidgeEndCe) work.PutCe();
  work.Finish();
  work.At(rrAt)[4] = rrFlags;

  const std::vector<uint8_t>& bytes = work.Bytes();
  auto* copy = static_cast<uint8_t*>(MemAlloc(bytes.size()));
  if (!copy) return -1;
  std::memcpy(copy, bytes.data(), bytes.size());
  TreeEntryFreeSystemUse(entry);
  entry->systemUse = copy;
  entry->systemUseLength = static_cast<int32_t>(work.InRecord());
  entry->systemUseCapacity = static_cast<int32_t>(bytes.size());
  return entry->systemUseLength;
}

// Attributes of one record of `folder`, and the symbolic link it recorded.
void AttributesOf(CImageDocument* document, CTreeFolder* folder, CTreeEntry* entry, CRockRidgeAttributes* attributes,
                  std::vector<uint8_t>* symlink) {
  const int dot = DotKind(entry);
  // "." and ".." stand for a folder, and the record of a relocated folder for the folder's own entry: their
  // attributes are that entry's (its local folder when it has one), else what the record itself carried.
  const CTreeFolder* target = dot == 0   ? folder
                              : dot == 1 ? RockRidgeIsoParent(document, folder)
                                         : RockRidgeEntryFolder(document, entry);
  const CTreeEntry* owner = entry;
  if (dot >= 0 || (target && target->entry && target->entry != entry)) owner = target ? target->entry : nullptr;
  if (!(owner && owner->sourcePath && LocalAttributes(owner->sourcePath, attributes))) {
    const CTreeEntry* recordedFrom = (entry->systemUse || !owner) ? entry : owner;
    FillDefaults(document, entry, attributes);
    Recorded recorded = ReadRecorded(document, recordedFrom);
    ApplyRecorded(recorded, attributes);
    // Only a record that is still a link keeps its target.
    if ((attributes->mode & kModeType) == kModeSymlink) *symlink = std::move(recorded.symlink);
  }
  // The type follows the record: a placeholder left by a relocation that could not be undone is a file.
  const bool directory = TreeEntryIsFolder(entry) != 0;
  if (directory != ((attributes->mode & kModeType) == kModeDirectory))
    attributes->mode = (attributes->mode & 07777) | (directory ? kModeDirectory : kModeRegular);
  if (dot >= 0 || target) attributes->links = FolderLinks(document, target);
}

// Calls `visit(entry, part, length, position)` for every continuation part of every record, in pre-order of
// the folders and list order of their records; `position` is the part's byte offset in the continuation area:
// even, and never crossing a sector. Returns the area's bytes.
template <typename Visit>
int64_t ForEachContinuation(CImageDocument* document, Visit visit) {
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, document->rootFolder, false, &folders);
  int64_t position = 0;
  for (CTreeFolder* folder : folders) {
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (!entry->systemUse || entry->systemUseCapacity <= entry->systemUseLength) continue;
      int64_t start = 0;
      int64_t length = entry->systemUseLength;
      while (true) {
        // The CE entry of this part opens the next one.
        uint8_t* ce = nullptr;
        for (int64_t at = start; at + 4 <= start + length;) {
          uint8_t* item = entry->systemUse + at;
          if (item[2] < 4) break;
          if (Signature(item, "CE") && item[2] >= kCeLength) ce = item;
          at += item[2];
        }
        if (!ce) break;
        const int64_t next = start + length;
        const int64_t nextLength = GetLittleEndian32(ce + 20);
        if (nextLength <= 0 || next + nextLength > entry->systemUseCapacity) break;
        position += position & 1;
        if (position % kSector + nextLength > kSector) position = (position / kSector + 1) * kSector;
        visit(entry, ce, entry->systemUse + next, nextLength, position);
        position += nextLength;
        start = next;
        length = nextLength;
      }
    }
  }
  return position;
}

// Sets the LBA of the entry's CL or PL entry, wherever in its System Use bytes it lies.
void SetPointer(CTreeEntry* entry, const char* signature, uint32_t lba) {
  const int32_t total = std::max(entry->systemUseLength, entry->systemUseCapacity);
  for (int32_t at = 0; entry->systemUse && at + 4 <= total;) {
    uint8_t* item = entry->systemUse + at;
    if (item[2] < 4 || at + item[2] > total) return;
    if (Signature(item, signature) && item[2] >= 12) {
      PutBothEndian32(item + 4, lba);
      return;
    }
    at += item[2];
  }
}

// Unlinks a subfolder from its parent's list of subfolders.
void UnlinkSubfolder(CTreeFolder* parent, CTreeFolder* child) {
  CTreeFolder* previous = nullptr;
  for (CTreeFolder* walk = parent->firstChild; walk; previous = walk, walk = walk->next) {
    if (walk != child) continue;
    (previous ? previous->next : parent->firstChild) = child->next;
    if (parent->lastChild == child) parent->lastChild = previous;
    child->next = nullptr;
    return;
  }
}

void AppendSubfolder(CTreeFolder* parent, CTreeFolder* child) {
  child->next = nullptr;
  CTreeFolder* last = parent->firstChild;
  while (last && last->next) last = last->next;
  (last ? last->next : parent->firstChild) = child;
  parent->lastChild = child;
}

// Unlinks an entry from its folder's list (and name indexes) without freeing it.
void UnlinkEntry(CImageDocument* document, CTreeFolder* folder, CTreeEntry* entry) {
  TreeUnindexEntry(document, folder, entry);
  if (folder->isoIndex) NameIndexRemoveIsoName(folder->isoIndex, entry);
  for (CTreeEntry** link = &folder->firstEntry; *link; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  }
  for (CTreeEntry** link = &folder->jolietFirst; *link; link = &(*link)->jolietNext) {
    if (*link == entry) {
      *link = entry->jolietNext;
      break;
    }
  }
  entry->next = nullptr;
  entry->jolietNext = nullptr;
}

// The subfolders of `folder` in tree order.
std::vector<CTreeFolder*> Subfolders(CTreeFolder* folder) {
  std::vector<CTreeFolder*> children;
  for (CTreeFolder* child = folder->firstChild; child; child = child->next)
    if (child != folder) children.push_back(child);
  return children;
}

}  // namespace

CTreeFolder* RockRidgeIsoParent(CImageDocument* document, const CTreeFolder* folder) {
  if (!folder) return nullptr;
  if ((folder->flags & kTreeRelocated) && Build(document).moved) return Build(document).moved;
  return folder->parent ? folder->parent : const_cast<CTreeFolder*>(folder);
}

CTreeFolder* RockRidgeEntryFolder(CImageDocument* document, const CTreeEntry* entry) {
  if (!entry) return nullptr;
  if (entry->folder || Build(document).aliases.empty()) return entry->folder;
  auto found = Build(document).aliases.find(entry);
  return found == Build(document).aliases.end() ? nullptr : found->second;
}

const CTreeEntry* RockRidgeIsoEntry(CImageDocument* document, const CTreeFolder* folder) {
  if (folder && (folder->flags & kTreeRelocated)) {
    auto found = Build(document).aliasOf.find(folder);
    if (found != Build(document).aliasOf.end()) return found->second;
  }
  return folder ? folder->entry : nullptr;
}

int RockRidgeIsPlaceholder(const CTreeEntry* entry) {
  return entry && entry->folder && (entry->folder->flags & kTreeRelocated) && entry->folder->entry == entry ? 1 : 0;
}

int RockRidgeRelocateDeepFolders(CImageDocument* document) {
  RockRidgeRestoreRelocatedFolders(document);
  if (!document || !document->rootFolder) return 0;
  CTreeFolder* root = document->rootFolder;
  // Pre-order over the tree with each folder's level in the ISO 9660 hierarchy (the root is 0).
  std::vector<std::pair<CTreeFolder*, int>> pending;
  for (CTreeFolder* child : Subfolders(root)) pending.emplace_back(child, 1);
  std::reverse(pending.begin(), pending.end());
  std::vector<CTreeFolder*> deep;
  while (!pending.empty()) {
    auto [folder, level] = pending.back();
    pending.pop_back();
    if (level > kRockRidgeMaxDepth) {
      deep.push_back(folder);
      level = 2;  // below the relocation folder
    }
    std::vector<CTreeFolder*> children = Subfolders(folder);
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.emplace_back(*it, level + 1);
  }
  if (deep.empty()) return 0;
  // A folder of that name the user has keeps it; the relocation folder takes the next free one.
  std::wstring movedName = kRockRidgeMovedName;
  for (int suffix = 1; TreeFindChildEntry(root, movedName.c_str()); ++suffix)
    movedName = std::wstring(kRockRidgeMovedName) + std::to_wstring(suffix);
  CTreeEntry* movedEntry = TreeAddFolderNode(document, root, movedName.c_str());
  if (!movedEntry || !movedEntry->folder) {
    AbortCodeRaise(kAbortNoMemory);
    return -1;
  }
  Build(document).moved = movedEntry->folder;
  // Joliet leaves it out; the ISO 9660 record stays visible.
  Build(document).moved->flags |= kTreeHidden;
  movedEntry->flags |= kTreeHidden | kTreeRelocated;
  TreeAddDotEntries(document, Build(document).moved, nullptr);
  for (CTreeFolder* folder : deep) {
    if (!folder->entry) continue;
    CTreeEntry* record = TreeNewEntry();
    if (!record || !(record->name = WstrDupChars(folder->entry->name ? folder->entry->name : L""))) {
      TreeFreeEntry(document, record);
      AbortCodeRaise(kAbortNoMemory);
      return -1;
    }
    std::memcpy(record->directoryRecord, folder->entry->directoryRecord, kDirRecordCopySize);
    TreeFolderPrependEntry(Build(document).moved, record);
    Build(document).aliases[record] = folder;
    Build(document).aliasOf[folder] = record;
    folder->flags |= kTreeRelocated;
    folder->entry->flags |= kTreeRelocated;
  }
  return AbortCodeGet() == kAbortNone ? 0 : -1;
}

void RockRidgeRestoreRelocatedFolders(CImageDocument* document) {
  if (!Build(document).moved) return;
  CTreeFolder* moved = Build(document).moved;
  Build(document).moved = nullptr;
  // The records made in the relocation folder go with it; the folders themselves never left their parents.
  for (const auto& [record, folder] : Build(document).aliases) {
    folder->flags &= ~kTreeRelocated;
    if (folder->entry) folder->entry->flags &= ~kTreeRelocated;
  }
  Build(document).aliases.clear();
  Build(document).aliasOf.clear();
  if (document && document->rootFolder) TreeDeleteFolder(document, moved);
}

void RockRidgeResolveRelocations(CImageDocument* document) {
  if (!document || !document->rootFolder || !document->rockRidge) return;
  struct Placeholder {
    CTreeFolder* folder;
    CTreeEntry* entry;
    uint32_t lba;
  };
  std::vector<Placeholder> placeholders;
  // Folders with RE by the LBA their records had: (the folder holding them, their entry).
  std::unordered_map<int64_t, std::pair<CTreeFolder*, CTreeEntry*>> relocated;
  std::vector<CTreeFolder*> pending{document->rootFolder};
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (DotKind(entry) >= 0) continue;
      if (entry->folder && entry->folder != folder) pending.push_back(entry->folder);
      if (!entry->systemUse || entry->systemUseCapacity > 0 || entry->systemUseLength <= 0) continue;
      uint32_t childLba = 0;
      const uint32_t relocation = RecordedRelocation(document, entry, &childLba);
      if (relocation & kRockRidgeCL && !entry->folder)
        placeholders.push_back({folder, entry, childLba});
      else if ((relocation & kRockRidgeRE) && entry->folder)
        relocated.emplace(entry->sourceLba, std::pair{folder, entry});
    }
  }
  if (placeholders.empty()) return;
  std::vector<CTreeFolder*> holders;
  for (const Placeholder& placeholder : placeholders) {
    auto found = relocated.find(placeholder.lba);
    if (found == relocated.end() || !found->second.second) continue;
    CTreeFolder* holder = found->second.first;
    CTreeEntry* entry = found->second.second;
    CTreeFolder* node = entry->folder;
    // A folder never moves below itself.
    bool loop = false;
    for (CTreeFolder* up = placeholder.folder; up && !loop; up = up->parent == up ? nullptr : up->parent)
      loop = up == node;
    if (loop) continue;
    found->second.second = nullptr;  // one place per folder
    UnlinkEntry(document, holder, entry);
    UnlinkSubfolder(holder, node);
    // The folder takes the placeholder's place: its name, in its folder.
    if (placeholder.entry->name) {
      TreeEntryFreeName(entry);
      entry->name = WstrDupChars(placeholder.entry->name);
    }
    TreeDeleteEntry(document, placeholder.entry);
    TreeFolderPrependEntry(placeholder.folder, entry);
    node->parent = placeholder.folder;
    node->depth = placeholder.folder->depth + 1;
    AppendSubfolder(placeholder.folder, node);
    TreeFixDepths(node);
    TreeLinkDotDot(node);
    if (std::find(holders.begin(), holders.end(), holder) == holders.end()) holders.push_back(holder);
  }
  // A relocation folder left with nothing but "." and ".." goes too.
  for (CTreeFolder* holder : holders) {
    bool empty = true;
    for (CTreeEntry* entry = holder->firstEntry; entry && empty; entry = entry->next) empty = DotKind(entry) >= 0;
    if (empty && holder != document->rootFolder) TreeDeleteFolder(document, holder);
  }
}

int RockRidgeGetEntryAttributes(CImageDocument* document, const CTreeEntry* entry, CRockRidgeAttributes* attributes) {
  if (!entry || !attributes) return 0;
  FillDefaults(document, entry, attributes);
  if (!document) return 0;
  const Recorded recorded = ReadRecorded(document, entry);
  ApplyRecorded(recorded, attributes);
  return recorded.px || recorded.tf ? 1 : 0;
}

int32_t RockRidgeBuildEntries(CImageDocument* document, const wchar_t* name, CTreeEntry* entry,
                              const CRockRidgeAttributes* attributes, uint32_t flags) {
  if (!document || !entry || !attributes) return -1;
  return BuildEntries(document, name, entry, attributes, flags, nullptr);
}

int RockRidgeBuildFolderEntries(CImageDocument* document, CTreeFolder* folder) {
  if (!document || !folder) return -1;
  const bool root = folder == document->rootFolder;
  std::vector<uint8_t> symlink;
  for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
    CRockRidgeAttributes attributes;
    symlink.clear();
    AttributesOf(document, folder, entry, &attributes, &symlink);
    const int dot = DotKind(entry);
    uint32_t flags = root && dot == 0 ? kRockRidgeSP | kRockRidgeEndCe : 0;
    if (dot == 1 && (folder->flags & kTreeRelocated)) flags |= kRockRidgePL;
    if (dot < 0 && RockRidgeIsPlaceholder(entry)) flags |= kRockRidgeCL;
    if (dot < 0 && !entry->folder && RockRidgeEntryFolder(document, entry)) flags |= kRockRidgeRE;
    if (BuildEntries(document, dot >= 0 ? nullptr : entry->name, entry, &attributes, flags, &symlink) < 0) {
      AbortCodeRaise(kAbortNoMemory);
      return -1;
    }
  }
  return 0;
}

const uint8_t* RockRidgeBuildEr(CImageDocument* document, int32_t* length) {
  std::memset(Build(document).er.sector, 0, sizeof Build(document).er.sector);
  const size_t id = sizeof kErIdentifier - 1, descriptor = sizeof kErDescriptor - 1, source = sizeof kErSource - 1;
  uint8_t* er = Build(document).er.sector;
  er[0] = 'E';
  er[1] = 'R';
  er[2] = static_cast<uint8_t>(8 + id + descriptor + source);
  er[3] = 1;
  er[4] = static_cast<uint8_t>(id);
  er[5] = static_cast<uint8_t>(descriptor);
  er[6] = static_cast<uint8_t>(source);
  er[7] = 1;
  std::memcpy(er + 8, kErIdentifier, id);
  std::memcpy(er + 8 + id, kErDescriptor, descriptor);
  std::memcpy(er + 8 + id + descriptor, kErSource, source);
  Build(document).er.length = er[2];
  if (length) *length = Build(document).er.length;
  return Build(document).er.sector;
}

void RockRidgePlaceErSector(CImageDocument* document, int64_t lba) {
  if (!document || !document->rootFolder) return;
  CIsoBuildState* state = IsoBuildState(document);
  RockRidgeBuildEr(document, nullptr);
  Build(document).er.lba = lba;
  state->nextFreeLba = lba + 1;
  // The root's "." record ends with the CE that points at the ER entry.
  for (CTreeEntry* entry = document->rootFolder->firstEntry; entry; entry = entry->next) {
    if (DotKind(entry) != 0) continue;
    const int32_t length = entry->systemUseLength;
    if (entry->systemUse && length > 27 && Signature(entry->systemUse + length - kCeLength, "CE")) {
      uint8_t* ce = entry->systemUse + length - kCeLength;
      PutBothEndian32(ce + 4, static_cast<uint32_t>(lba));
      PutBothEndian32(ce + 12, 0);
      PutBothEndian32(ce + 20, static_cast<uint32_t>(Build(document).er.length));
    }
    break;
  }
  // Placeholders lead to their folders (CL), and the ".." of a relocated folder to its real parent (PL).
  if (Build(document).moved) {
    std::vector<CTreeFolder*> folders;
    IsoCollectFolders(document, document->rootFolder, false, &folders);
    for (CTreeFolder* folder : folders) {
      for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
        if (RockRidgeIsPlaceholder(entry))
          SetPointer(entry, "CL", entry->folder->isoExtentLba);
        else if (DotKind(entry) == 1 && (folder->flags & kTreeRelocated) && folder->parent)
          SetPointer(entry, "PL", folder->parent->isoExtentLba);
      }
    }
  }
  const int64_t areaStart = state->nextFreeLba;
  const int64_t bytes = ForEachContinuation(
      document, [&](CTreeEntry*, uint8_t* ce, const uint8_t*, int64_t, int64_t position) {
        PutBothEndian32(ce + 4, static_cast<uint32_t>(areaStart + position / kSector));
        PutBothEndian32(ce + 12, static_cast<uint32_t>(position % kSector));
      });
  Build(document).er.areaSectors = (bytes + kSector - 1) / kSector;
  state->nextFreeLba += Build(document).er.areaSectors;
}

int RockRidgeWriteErSector(CImageDocument* document, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  CIsoBuildState* state = IsoBuildState(document);
  if (state->writePosition != Build(document).er.lba) {
    LastErrorSetText(L"The image layout and the data written disagree.");
    AbortCodeSet(kAbortSaveFailed);
    return -1;
  }
  if (IsoWriteSectors(document, Build(document).er.sector, 1, progress) != 0) return -1;
  if (Build(document).er.areaSectors == 0) return 0;
  std::vector<uint8_t> area(static_cast<size_t>(Build(document).er.areaSectors * kSector), 0);
  ForEachContinuation(document, [&](CTreeEntry*, uint8_t*, const uint8_t* part, int64_t length, int64_t position) {
    if (position + length <= static_cast<int64_t>(area.size()))
      std::memcpy(area.data() + position, part, static_cast<size_t>(length));
  });
  return IsoWriteSectors(document, area.data(), Build(document).er.areaSectors, progress);
}
