#include "builder/iso_writer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "builder/add_local.h"
#include "builder/build_state.h"
#include "builder/builder_map.h"
#include "builder/file_batch.h"
#include "builder/optimize.h"
#include "builder/rockridge.h"
#include "builder/session_block.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"
#include "tree/volume.h"

namespace {

constexpr int kSector = 2048;
// ISO 9660 path tables number directories with 16 bits.
constexpr size_t kMaxDirectories = 65535;

struct PathTables {
  std::vector<uint8_t> little;
  std::vector<uint8_t> big;
};
struct BuildPathTables {
  PathTables iso;
  PathTables joliet;
};
BuildPathTables& Tables(CImageDocument* document) {
  return IsoBuildPart<BuildPathTables>(document, kBuildPartPathTables);
}

int64_t SectorsOf(int64_t bytes) { return (bytes + kSector - 1) / kSector; }
uint32_t RoundedSize(uint32_t bytes) { return static_cast<uint32_t>(SectorsOf(bytes) * kSector); }

int IdentifierLength(const CTreeEntry* entry) { return entry->directoryRecord[kDirRecordNameLength]; }

int DotKind(const CTreeEntry* entry) { return TreeEntryDotKind(entry); }

bool IsFolderEntry(const CTreeEntry* entry) { return TreeEntryIsFolder(entry) != 0; }

// Rank of one identifier byte in ISO order; -1 stands for the end of the identifier.
int ByteRank(int c) {
  if (c < 0) return 0;
  if (c == ';') return 1;
  if (c == '.') return 2;
  return 3 + c;
}

// Places `length` bytes of records: a record never reaches the last byte of its sector.
uint32_t PlaceRecord(uint32_t offset, int length) {
  if (length + static_cast<int>(offset % kSector) > kSector - 1) offset = (offset / kSector + 1) * kSector;
  return offset;
}

int JolietRecordLength(const CTreeEntry* entry) {
  if (DotKind(entry) >= 0) return 34;
  return 34 + 2 * entry->jolietLength;
}

bool WriteSectors(CImageDocument* document, const void* buffer, int64_t count, CProgressCallbacks* progress) {
  if (count <= 0) return true;
  CIsoBuildState* state = IsoBuildState(document);
  if (IsoBuildsInMemory(document)) {
    if (ImageBuilderQueueGenerated(document->builder, buffer, count * kSector) != count) {
      AbortCodeRaise(kAbortNoMemory);
      return false;
    }
  } else if (ImageWriteSectors(document, state->writePosition, buffer, count) != count) {
    AbortCodeRaise(kAbortWriteFailed);
    return false;
  }
  state->writePosition += count;
  IsoProgressAdd(progress, count * kSector);
  return true;
}

void RecordDate(CImageDocument* document, const CTreeEntry* entry, uint8_t* date) {
  static const uint8_t kNoDate[7] = {};
  if (std::memcmp(entry->directoryRecord + kDirRecordDate, kNoDate, 7) != 0)
    std::memcpy(date, entry->directoryRecord + kDirRecordDate, 7);
  else
    IsoEncodeRecordDate(date, ImageGetFixedTime(document));
}

// One directory record at `out`: `length` bytes (already even), the identifier given.
void PutRecord(CImageDocument* document, uint8_t* out, int length, const CTreeEntry* entry, uint32_t lba,
               uint32_t size, uint8_t flags, const uint8_t* identifier, int identifierLength) {
  out[0] = static_cast<uint8_t>(length);
  out[1] = 0;
  PutBothEndian32(out + kDirRecordExtent, lba);
  PutBothEndian32(out + kDirRecordDataLength, size);
  RecordDate(document, entry, out + kDirRecordDate);
  out[kDirRecordFlags] = flags;
  out[kDirRecordUnitSize] = 0;
  out[kDirRecordGapSize] = 0;
  PutBothEndian16(out + kDirRecordVolumeSequence, 1);
  out[kDirRecordNameLength] = static_cast<uint8_t>(identifierLength);
  std::memcpy(out + kDirRecordName, identifier, static_cast<size_t>(identifierLength));
}

uint8_t EntryFlags(const CTreeEntry* entry) {
  uint8_t flags = IsFolderEntry(entry) ? kDirFlagDirectory : 0;
  // The Rock Ridge relocation folder is hidden from Joliet only.
  if (((entry->flags & kTreeHidden) && !(entry->flags & kTreeRelocated)) ||
      (entry->directoryRecord[kDirRecordFlags] & kDirFlagHidden))
    flags |= kDirFlagHidden;
  return flags;
}

// Extent and size a record of a folder's directory carries for `entry` (the ISO or the Joliet view).
void DirectoryTarget(CImageDocument* document, const CTreeFolder* folder, const CTreeEntry* entry, bool joliet,
                     uint32_t* lba, uint32_t* size) {
  const CTreeFolder* target = nullptr;
  const int dot = DotKind(entry);
  if (dot == 0)
    target = folder;
  else if (dot == 1)
    target = joliet ? (folder->parent ? folder->parent : folder) : RockRidgeIsoParent(document, folder);
  else
    target = RockRidgeEntryFolder(document, entry);
  if (!target) {
    *lba = 0;
    *size = 0;
    return;
  }
  *lba = joliet ? target->jolietExtentLba : target->isoExtentLba;
  *size = RoundedSize(joliet ? target->jolietExtentSize : target->isoExtentSize);
}

// Files: extent `index` of a file split into several records.
void FileExtent(const CTreeEntry* entry, int64_t index, uint32_t* lba, uint32_t* size, bool* more) {
  const int64_t count = IsoRecordCount(entry);
  const int64_t offset = index * kIsoMaxExtentBytes;
  const int64_t bytes = std::min<int64_t>(entry->size - offset, kIsoMaxExtentBytes);
  *more = index + 1 < count;
  *size = static_cast<uint32_t>(std::max<int64_t>(bytes, 0));
  *lba = entry->size > 0 ? static_cast<uint32_t>(entry->outputLba + offset / kSector) : 0;
}

std::vector<uint8_t> JolietIdentifier(const CTreeEntry* entry) {
  std::vector<uint8_t> bytes;
  const int dot = DotKind(entry);
  if (dot >= 0) {
    bytes.push_back(static_cast<uint8_t>(dot));
    return bytes;
  }
  bytes.resize(static_cast<size_t>(entry->jolietLength) * 2);
  for (int32_t i = 0; i < entry->jolietLength; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(entry->jolietName[i] >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(entry->jolietName[i]);
  }
  return bytes;
}

// The subfolders of `folder` in the order of its ISO list (or Joliet list).
void ChildFolders(CImageDocument* document, CTreeFolder* folder, bool joliet, std::vector<CTreeFolder*>* out) {
  if (joliet) {
    for (CTreeEntry* entry = folder->jolietFirst; entry; entry = entry->jolietNext)
      if (entry->folder && entry->folder != folder && DotKind(entry) < 0 && !(entry->folder->flags & kTreeHidden))
        out->push_back(entry->folder);
  } else {
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next)
      if (CTreeFolder* child = RockRidgeEntryFolder(document, entry);
          child && child != folder && DotKind(entry) < 0 && !RockRidgeIsPlaceholder(entry))
        out->push_back(child);
  }
}

// Path-table order: level by level, by parent number, then by identifier; the numbers are the positions.
bool PathTableOrder(CImageDocument* document, CTreeFolder* root, bool joliet, std::vector<CTreeFolder*>* order,
                    std::vector<uint32_t>* parents) {
  order->assign(1, root);
  parents->assign(1, 1);
  std::vector<CTreeFolder*> children;
  for (size_t i = 0; i < order->size(); ++i) {
    children.clear();
    ChildFolders(document, (*order)[i], joliet, &children);
    if (joliet) {
      std::stable_sort(children.begin(), children.end(), [](const CTreeFolder* a, const CTreeFolder* b) {
        return JolietCompareNames(a->entry->jolietName, a->entry->jolietLength, b->entry->jolietName,
                                  b->entry->jolietLength) < 0;
      });
    } else {
      std::stable_sort(children.begin(), children.end(), [document](const CTreeFolder* a, const CTreeFolder* b) {
        const CTreeEntry* ea = RockRidgeIsoEntry(document, a);
        const CTreeEntry* eb = RockRidgeIsoEntry(document, b);
        const int la = IdentifierLength(ea), lb = IdentifierLength(eb);
        const int c = std::memcmp(ea->isoName, eb->isoName, static_cast<size_t>(std::min(la, lb)));
        return c != 0 ? c < 0 : la < lb;
      });
    }
    for (CTreeFolder* child : children) {
      order->push_back(child);
      parents->push_back(static_cast<uint32_t>(i + 1));
    }
    if (order->size() > kMaxDirectories) return false;
  }
  return true;
}

int64_t PathTableBytes(CImageDocument* document, const std::vector<CTreeFolder*>& order, bool joliet) {
  int64_t bytes = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const int length = i == 0   ? 1
                       : joliet ? 2 * order[i]->entry->jolietLength
                                : IdentifierLength(RockRidgeIsoEntry(document, order[i]));
    bytes += 8 + length + (length & 1);
  }
  return bytes;
}

int64_t PathTableSectors(int64_t bytes) {
  const int64_t sectors = SectorsOf(bytes);
  return sectors + (sectors & 1);
}

int BuildTables(CImageDocument* document, bool joliet) {
  std::vector<CTreeFolder*> order;
  std::vector<uint32_t> parents;
  if (!PathTableOrder(document, document->rootFolder, joliet, &order, &parents)) {
    LastErrorSetText(L"The image holds more than 65,535 folders, more than ISO 9660 path tables can number.");
    ErrorReport(nullptr);
    AbortCodeSet(kAbortSaveFailed);
    return -1;
  }
  PathTables& tables = joliet ? Tables(document).joliet : Tables(document).iso;
  const int64_t bytes = PathTableBytes(document, order, joliet);
  tables.little.assign(static_cast<size_t>(bytes), 0);
  tables.big.assign(static_cast<size_t>(bytes), 0);
  size_t at = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const CTreeFolder* folder = order[i];
    std::vector<uint8_t> identifier;
    if (i == 0) {
      identifier.push_back(0);
    } else if (joliet) {
      identifier = JolietIdentifier(folder->entry);
    } else {
      const CTreeEntry* own = RockRidgeIsoEntry(document, folder);
      identifier.assign(own->isoName, own->isoName + IdentifierLength(own));
    }
    const uint32_t lba = joliet ? folder->jolietExtentLba : folder->isoExtentLba;
    for (int k = 0; k < 2; ++k) {
      uint8_t* out = (k == 0 ? tables.little.data() : tables.big.data()) + at;
      out[0] = static_cast<uint8_t>(identifier.size());
      out[1] = 0;
      if (k == 0) {
        PutLittleEndian32(out + 2, lba);
        PutLittleEndian16(out + 6, static_cast<uint16_t>(parents[i]));
      } else {
        PutBigEndian32(out + 2, lba);
        PutBigEndian16(out + 6, static_cast<uint16_t>(parents[i]));
      }
      std::memcpy(out + 8, identifier.data(), identifier.size());
    }
    at += 8 + identifier.size() + (identifier.size() & 1);
  }
  return 0;
}

int WriteTables(CImageDocument* document, PathTables& tables, int64_t sectors, CProgressCallbacks* progress) {
  for (std::vector<uint8_t>* table : {&tables.little, &tables.big}) {
    std::vector<uint8_t> buffer(static_cast<size_t>(sectors * kSector), 0);
    std::memcpy(buffer.data(), table->data(), std::min(buffer.size(), table->size()));
    if (!WriteSectors(document, buffer.data(), sectors, progress)) return -1;
  }
  tables = PathTables{};
  return 0;
}


}  // namespace

void IsoCollectFolders(CImageDocument* document, CTreeFolder* folder, bool joliet, std::vector<CTreeFolder*>* out) {
  out->clear();
  if (!folder) return;
  std::vector<CTreeFolder*> stack{folder};
  std::vector<CTreeFolder*> children;
  while (!stack.empty()) {
    CTreeFolder* node = stack.back();
    stack.pop_back();
    out->push_back(node);
    children.clear();
    ChildFolders(document, node, joliet, &children);
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
}

int IsoCompareEntries(const CTreeEntry* a, const CTreeEntry* b) {
  const int da = DotKind(a), db = DotKind(b);
  if (da >= 0 || db >= 0) {
    if (da == db) return 0;
    if (da < 0) return 1;
    if (db < 0) return -1;
    return da - db;
  }
  const int la = IdentifierLength(a), lb = IdentifierLength(b);
  const auto* pa = reinterpret_cast<const uint8_t*>(a->isoName ? a->isoName : "");
  const auto* pb = reinterpret_cast<const uint8_t*>(b->isoName ? b->isoName : "");
  for (int i = 0;; ++i) {
    const int ca = i < la ? pa[i] : -1;
    const int cb = i < lb ? pb[i] : -1;
    if (ca < 0 && cb < 0) return 0;
    if (ca == ';' && cb == ';') return 0;
    const int ra = ByteRank(ca), rb = ByteRank(cb);
    if (ra != rb) return ra < rb ? -1 : 1;
  }
}

void IsoSortEntries(CTreeFolder* folder) {
  if (!folder) return;
  std::vector<CTreeEntry*> entries;
  for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) entries.push_back(entry);
  std::stable_sort(entries.begin(), entries.end(),
                   [](const CTreeEntry* a, const CTreeEntry* b) { return IsoCompareEntries(a, b) < 0; });
  CTreeEntry** link = &folder->firstEntry;
  for (CTreeEntry* entry : entries) {
    *link = entry;
    link = &entry->next;
  }
  *link = nullptr;
}

uint32_t IsoMeasureDirectory(const CTreeFolder* folder) {
  uint32_t offset = 0;
  for (const CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
    const int length = entry->directoryRecord[kDirRecordLength];
    for (int64_t i = IsoRecordCount(entry); i > 0; --i) offset = PlaceRecord(offset, length) + length;
  }
  return offset;
}

int JolietCompareNames(const uint16_t* a, int32_t aLength, const uint16_t* b, int32_t bLength) {
  const int32_t n = std::min(aLength, bLength);
  for (int32_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return aLength == bLength ? 0 : aLength < bLength ? -1 : 1;
}

int JolietSizeDirectories(CImageDocument* document, CTreeFolder* folder) {
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, folder, false, &folders);
  std::vector<CTreeEntry*> entries;
  for (CTreeFolder* node : folders) {
    entries.clear();
    for (CTreeEntry* entry = node->firstEntry; entry; entry = entry->next) {
      if (entry->flags & kTreeHidden) continue;
      if (!entry->jolietName || entry->jolietLength <= 0) {
        LastErrorSetText(L"An entry has no Joliet name.");
        AbortCodeSet(kAbortSaveFailed);
        return -1;
      }
      entries.push_back(entry);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const CTreeEntry* a, const CTreeEntry* b) {
      const int da = DotKind(a), db = DotKind(b);
      if (da >= 0 || db >= 0) return db < 0 ? true : (da < 0 ? false : da < db);
      return JolietCompareNames(a->jolietName, a->jolietLength, b->jolietName, b->jolietLength) < 0;
    });
    CTreeEntry** link = &node->jolietFirst;
    uint32_t offset = 0;
    for (CTreeEntry* entry : entries) {
      *link = entry;
      link = &entry->jolietNext;
      const int length = JolietRecordLength(entry);
      if (length > 255) {
        LastErrorSetText(L"The name is too long for a Joliet record.");
        AbortCodeSet(kAbortSaveFailed);
        return -1;
      }
      for (int64_t i = IsoRecordCount(entry); i > 0; --i) offset = PlaceRecord(offset, length) + length;
      if (IsFolderEntry(entry) && DotKind(entry) < 0) state->jolietPathTableBytes += 8 + 2 * entry->jolietLength;
    }
    *link = nullptr;
    node->jolietExtentSize = offset;
  }
  state->jolietPathTableBytes += 10;
  (void)document;
  return 0;
}

void IsoAssignDirectoryExtents(CImageDocument* document, CTreeFolder* folder, int pass) {
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, folder ? folder : document->rootFolder, false, &folders);
  state->isoDirectoryCounter = 1;
  for (CTreeFolder* node : folders) {
    node->isoDirectoryNumber = state->isoDirectoryCounter++;
    if (pass == 1) {
      node->isoExtentLba = 0;
    } else if (node->isoExtentLba == 0) {
      node->isoExtentLba = static_cast<uint32_t>(state->nextFreeLba);
      state->nextFreeLba += SectorsOf(node->isoExtentSize);
    }
  }
  state->isoDirectoryCount = static_cast<int32_t>(folders.size());
}

void JolietAssignDirectoryExtents(CImageDocument* document, CTreeFolder* folder, int pass) {
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, folder ? folder : document->rootFolder, true, &folders);
  state->jolietDirectoryCounter = 1;
  for (CTreeFolder* node : folders) {
    node->jolietDirectoryNumber = state->jolietDirectoryCounter++;
    if (pass == 1) {
      node->jolietExtentLba = 0;
    } else if (node->jolietExtentLba == 0) {
      node->jolietExtentLba = static_cast<uint32_t>(state->nextFreeLba);
      state->nextFreeLba += SectorsOf(node->jolietExtentSize);
    }
  }
  state->jolietDirectoryCount = static_cast<int32_t>(folders.size());
}

namespace {

// A file of the disc being appended to stays where an earlier session wrote it: 1 when it was kept, 0 when it
// is placed like a new file, -1 when the disc cannot be appended to (abort code set). A file in the sectors that
// the burn job rewrites with the new session's head (the first 320) would be lost there, so it is written again;
// on a disc whose sessions carry blocks such a file means the disc came from another program.
int KeepPreviousSessionExtent(CImageDocument* document, CTreeEntry* entry) {
  const CIsoBuildState* state = IsoBuildState(document);
  if (state->sessionStart <= 0 || entry->sourceLba <= 0 || entry->requestedLba != 0 || entry->extents ||
      entry->inlineData || (entry->sourcePath && entry->sourcePath[0]))
    return 0;
  const int64_t head =
      document->multisession ? std::max<int64_t>(state->headLength, kSessionHeadSectors) : state->headLength;
  if (entry->sourceLba < head && document->sessionBlock && document->sessionBlock->chainSessions > 0) {
    MessageShow(L"This imported disc has been written by other program. Kestrane can not append data to it.");
    AbortCodeSet(kAbortReadFailed);
    return -1;
  }
  if (document->multisession && entry->sourceLba < kSessionHeadSectors) return 0;
  entry->outputLba = entry->sourceLba;
  return 1;
}

}  // namespace

void IsoAssignFileExtents(CImageDocument* document, CTreeFolder* folder, int pass, CProgressCallbacks* progress) {
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, folder ? folder : document->rootFolder, false, &folders);
  for (CTreeFolder* node : folders) {
    for (CTreeEntry* entry = node->firstEntry; entry; entry = entry->next) {
      if (AbortCodeGet() != kAbortNone) return;
      if (IsFolderEntry(entry) || DotKind(entry) >= 0) continue;
      if (pass == 1) {
        entry->outputLba = 0;
        continue;
      }
      if (entry->size <= 0 || entry->outputLba != 0) continue;
      const int kept = KeepPreviousSessionExtent(document, entry);
      if (kept < 0) return;
      if (kept > 0) {
        OptimizeMergeDuplicates(document, entry, progress);
        continue;
      }
      if (entry->requestedLba >= 1 && entry->requestedLba <= kRequestedLbaFixedLast) {
        entry->outputLba = entry->requestedLba;
      } else if (entry->requestedLba == 0) {
        entry->outputLba = state->nextFreeLba;
        state->nextFreeLba += SectorsOf(entry->size);
      } else {
        continue;
      }
      OptimizeMergeDuplicates(document, entry, progress);
    }
  }
}

void IsoReservePathTables(CImageDocument* document) {
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> order;
  std::vector<uint32_t> parents;
  PathTableOrder(document, document->rootFolder, false, &order, &parents);
  state->isoPathTableBytes = PathTableBytes(document, order, false);
  state->isoPathTableSectors = PathTableSectors(state->isoPathTableBytes);
  state->isoPathTableL = static_cast<uint32_t>(state->nextFreeLba);
  state->isoPathTableM = static_cast<uint32_t>(state->nextFreeLba + state->isoPathTableSectors);
  state->nextFreeLba += 2 * state->isoPathTableSectors;
}

void JolietReservePathTables(CImageDocument* document) {
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> order;
  std::vector<uint32_t> parents;
  PathTableOrder(document, document->rootFolder, true, &order, &parents);
  state->jolietPathTableBytes = PathTableBytes(document, order, true);
  state->jolietPathTableSectors = PathTableSectors(state->jolietPathTableBytes);
  state->jolietPathTableL = static_cast<uint32_t>(state->nextFreeLba);
  state->jolietPathTableM = static_cast<uint32_t>(state->nextFreeLba + state->jolietPathTableSectors);
  state->nextFreeLba += 2 * state->jolietPathTableSectors;
}

int IsoBuildPathTables(CImageDocument* document) {
  CIsoBuildState* state = IsoBuildState(document);
  CTreeFolder* root = document->rootFolder;
  // Subdirectory entries take their folder's extent.
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, root, false, &folders);
  for (CTreeFolder* node : folders) {
    for (CTreeEntry* entry = node->firstEntry; entry; entry = entry->next) {
      if (!IsFolderEntry(entry) || DotKind(entry) >= 0 || !entry->folder) continue;
      entry->outputLba = entry->folder->isoExtentLba;
      entry->size = RoundedSize(entry->folder->isoExtentSize);
    }
  }
  if (BuildTables(document, false) != 0) return -1;
  CTreeEntry* dot = nullptr;
  for (CTreeEntry* entry = root->firstEntry; entry && !dot; entry = entry->next)
    if (DotKind(entry) == 0) dot = entry;
  const CTreeEntry* dated = dot ? dot : document->rootEntry;
  const uint8_t zero = 0;
  PutRecord(document, state->primaryRootRecord, 34, dated, root->isoExtentLba, RoundedSize(root->isoExtentSize),
            kDirFlagDirectory, &zero, 1);
  CIsoDescriptorLayout& layout = IsoDescriptorLayout(document);
  layout.pathTableBytes = static_cast<uint32_t>(state->isoPathTableBytes);
  layout.pathTableL = state->isoPathTableL;
  layout.pathTableM = state->isoPathTableM;
  std::memcpy(layout.primaryRoot, state->primaryRootRecord, 34);
  // The descriptors date the root from the root entry: keep it the same as the root's "." record.
  if (document->rootEntry && dot) std::memcpy(document->rootEntry->directoryRecord + kDirRecordDate,
                                              state->primaryRootRecord + kDirRecordDate, 7);
  return 0;
}

int JolietBuildPathTables(CImageDocument* document) {
  CIsoBuildState* state = IsoBuildState(document);
  CTreeFolder* root = document->rootFolder;
  if (BuildTables(document, true) != 0) return -1;
  const uint8_t zero = 0;
  PutRecord(document, state->jolietRootRecord, 34, document->rootEntry, root->jolietExtentLba,
            RoundedSize(root->jolietExtentSize), kDirFlagDirectory, &zero, 1);
  std::memcpy(state->jolietRootRecord + kDirRecordDate, state->primaryRootRecord + kDirRecordDate, 7);
  CIsoDescriptorLayout& layout = IsoDescriptorLayout(document);
  layout.jolietPathTableBytes = static_cast<uint32_t>(state->jolietPathTableBytes);
  layout.jolietPathTableL = state->jolietPathTableL;
  layout.jolietPathTableM = state->jolietPathTableM;
  std::memcpy(layout.jolietRoot, state->jolietRootRecord, 34);
  return 0;
}

int IsoWritePathTables(CImageDocument* document, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  if (!IsoAtPlannedPosition(document, IsoBuildState(document)->isoPathTableL)) return -1;
  return WriteTables(document, Tables(document).iso, IsoBuildState(document)->isoPathTableSectors, progress);
}

int JolietWritePathTables(CImageDocument* document, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  if (!IsoAtPlannedPosition(document, IsoBuildState(document)->jolietPathTableL)) return -1;
  return WriteTables(document, Tables(document).joliet, IsoBuildState(document)->jolietPathTableSectors, progress);
}

int IsoWriteSectors(CImageDocument* document, const void* buffer, int64_t count, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  return WriteSectors(document, buffer, count, progress) ? 0 : -1;
}

int IsoWriteZeroSectors(CImageDocument* document, int64_t count, CProgressCallbacks* progress) {
  static const std::vector<uint8_t> zeros(64 * kSector, 0);
  while (count > 0) {
    if (AbortCodeGet() != kAbortNone) return -1;
    const int64_t n = std::min<int64_t>(count, 64);
    if (!WriteSectors(document, zeros.data(), n, progress)) return -1;
    count -= n;
  }
  return 0;
}

int IsoWritePrimaryDescriptor(CImageDocument* document, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  return WriteSectors(document, document->primaryDescriptor, 1, progress) ? 0 : -1;
}

int JolietWriteDescriptor(CImageDocument* document, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  IsoBuildJolietDescriptor(document, document->jolietDescriptor, 0);
  return WriteSectors(document, document->jolietDescriptor, 1, progress) ? 0 : -1;
}

int IsoWriteTerminator(CImageDocument* document, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  uint8_t sector[kSector] = {};
  sector[0] = 255;
  std::memcpy(sector + 1, "CD001", 5);
  sector[6] = 1;
  return WriteSectors(document, sector, 1, progress) ? 0 : -1;
}

int IsoWriteMarkerSector(CImageDocument* document, CProgressCallbacks* progress) {
  if (AbortCodeGet() != kAbortNone) return -1;
  uint8_t sector[kSector] = {};
  std::memcpy(sector, "KESTRANE ", 9);
  return WriteSectors(document, sector, 1, progress) ? 0 : -1;
}

namespace {

// Writes the directories of one hierarchy in pre-order, each extent in one call at the LBA the layout gave it.
int WriteDirectories(CImageDocument* document, CTreeFolder* folder, bool joliet, CProgressCallbacks* progress) {
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, folder, joliet, &folders);
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> identifier;
  for (CTreeFolder* node : folders) {
    const uint32_t extent = joliet ? node->jolietExtentLba : node->isoExtentLba;
    if (AbortCodeGet() != kAbortNone || !IsoAtPlannedPosition(document, extent)) return -1;
    buffer.assign(RoundedSize(joliet ? node->jolietExtentSize : node->isoExtentSize), 0);
    uint32_t offset = 0;
    for (const CTreeEntry* entry = joliet ? node->jolietFirst : node->firstEntry; entry;
         entry = joliet ? entry->jolietNext : entry->next) {
      int length = 0;
      if (joliet) {
        length = JolietRecordLength(entry);
        identifier = JolietIdentifier(entry);
      } else {
        length = entry->directoryRecord[kDirRecordLength];
        const auto* name = reinterpret_cast<const uint8_t*>(entry->isoName ? entry->isoName : "");
        identifier.assign(name, name + IdentifierLength(entry));
      }
      // A relocated folder's own record is an empty file in the ISO 9660 hierarchy.
      const bool placeholder = !joliet && RockRidgeIsPlaceholder(entry);
      const uint8_t flags = placeholder ? 0 : EntryFlags(entry);
      for (int64_t i = 0, count = IsoRecordCount(entry); i < count; ++i) {
        offset = PlaceRecord(offset, length);
        uint32_t lba = 0, size = 0;
        bool more = false;
        if (!placeholder && IsFolderEntry(entry))
          DirectoryTarget(document, node, entry, joliet, &lba, &size);
        else if (!placeholder)
          FileExtent(entry, i, &lba, &size, &more);
        if (offset + length > buffer.size()) return -1;
        PutRecord(document, buffer.data() + offset, length, entry, lba, size,
                  static_cast<uint8_t>(flags | (more ? kDirFlagMultiExtent : 0)), identifier.data(),
                  static_cast<int>(identifier.size()));
        if (!joliet && document->rockRidge && entry->systemUse && entry->systemUseLength > 0) {
          // Rock Ridge entries follow the identifier, from an even offset.
          const int at = 33 + static_cast<int>(identifier.size()) + ((33 + static_cast<int>(identifier.size())) & 1);
          if (at + entry->systemUseLength > length) return -1;
          std::memcpy(buffer.data() + offset + at, entry->systemUse, static_cast<size_t>(entry->systemUseLength));
        }
        offset += length;
      }
    }
    if (!WriteSectors(document, buffer.data(), SectorsOf(buffer.size()), progress)) return -1;
  }
  return 0;
}

}  // namespace

int IsoWriteDirectoryTree(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress) {
  return WriteDirectories(document, folder, false, progress);
}

int JolietWriteDirectoryTree(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress) {
  return WriteDirectories(document, folder, true, progress);
}

int IsoWriteAllFileData(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress) {
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> folders;
  IsoCollectFolders(document, folder, false, &folders);
  // Small local files that follow each other go out together; the rest one at a time. `expected` is where
  // the next file must start for it to be written now (a merged duplicate lies elsewhere).
  std::vector<CTreeEntry*> run;
  int64_t expected = state->writePosition;
  const auto flushRun = [&]() {
    const int result = IsoWriteSmallFiles(document, progress, run.data(), run.size());
    run.clear();
    return result == 0;
  };
  for (CTreeFolder* node : folders) {
    for (CTreeEntry* entry = node->firstEntry; entry; entry = entry->next) {
      if (AbortCodeGet() != kAbortNone) return -1;
      if (IsFolderEntry(entry) || DotKind(entry) >= 0 || entry->size <= 0) continue;
      if (entry->outputLba != expected) continue;
      expected += (entry->size + 2047) / 2048;
      if (IsoSmallFileBatchable(document, entry)) {
        run.push_back(entry);
        continue;
      }
      if (!flushRun()) return -1;
      const uint8_t* data = entry->inlineData && entry->inlineSize >= entry->size ? entry->inlineData : nullptr;
      if (IsoWriteFileData(document, progress, entry, data, entry->sourceLba, entry->sourcePath, entry->size) != 0)
        return -1;
    }
  }
  return flushRun() ? 0 : -1;
}

void IsoFreeWriterBuffers(CImageDocument* document) {
  Tables(document).iso = PathTables{};
  Tables(document).joliet = PathTables{};
  IsoBuildState(document)->isoPathTableBytes = 0;
  IsoBuildState(document)->jolietPathTableBytes = 0;
}
