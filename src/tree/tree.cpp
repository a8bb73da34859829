#include "tree/tree.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/textconv.h"
#include "tree/iso_helpers.h"

// A block entries are carved from: this header, then entries, each followed by its name and System Use bytes.
struct CTreeBlock {
  int64_t holders;  // entries living in the block, and 1 while an arena carves from it
  size_t used;      // bytes from the start of the block, header included
  size_t capacity;
  bool mapped;  // a huge-page mapping (MemMapHuge) rather than a heap block
};

namespace {

constexpr size_t kTreeBlockBytes = size_t{64} << 10;
// A tree that has filled this many heap blocks is a large one: its further blocks are huge-page mappings, each
// mapped in one fault where 4 KiB pages would take hundreds (faults dominate loading a tree of thousands of
// entries). Small trees keep to the heap and never map megabytes they would not use.
constexpr int32_t kTreeHeapBlocks = 4;

constexpr size_t CarveSize(size_t bytes) { return (bytes + alignof(CTreeEntry) - 1) & ~(alignof(CTreeEntry) - 1); }

void ReleaseBlock(CTreeBlock* block) {
  if (block == nullptr || --block->holders != 0) return;
  if (block->mapped) {
    // Entries freed earlier poisoned their part; the address range may be mapped again for something else.
    ASAN_UNPOISON_MEMORY_REGION(block, block->capacity);
    MemUnmapHuge(block, block->capacity);
  } else {
    MemFree(block);
  }
}

CTreeBlock* NewBlock(size_t capacity, bool huge) {
  CTreeBlock* block = huge ? static_cast<CTreeBlock*>(MemMapHuge(kMemHugeBytes)) : nullptr;
  if (block != nullptr) {
    capacity = kMemHugeBytes;
  } else {
    // No mapping to be had: the heap block asked for.
    huge = false;
    block = static_cast<CTreeBlock*>(MemAlloc(capacity));
    if (block == nullptr) return nullptr;
    // The block is filled from start to end: its pages are mapped at once rather than one fault each.
    MemPrefault(block, capacity);
  }
  block->holders = 1;
  block->used = CarveSize(sizeof(CTreeBlock));
  block->capacity = capacity;
  block->mapped = huge;
  return block;
}

bool IsDotText(const wchar_t* name) { return PathDotKind(name) >= 0; }

// The name a folder is known by in paths: its entry's display name (the node's own name may be a local path).
const wchar_t* FolderDisplayName(const CTreeFolder* folder) {
  if (folder->entry != nullptr && folder->entry->name != nullptr) return folder->entry->name;
  return folder->name != nullptr ? folder->name : L"";
}

bool IsDotFolder(const CTreeFolder* folder) { return IsDotText(FolderDisplayName(folder)); }

bool IsHiddenFolder(const CTreeFolder* folder) {
  return (folder->flags & kTreeHidden) != 0 || (folder->entry != nullptr && (folder->entry->flags & kTreeHidden));
}

// Case-insensitive match of a counted path component against a whole name.
bool ComponentEqualsNoCase(const wchar_t* name, const wchar_t* component, size_t length) {
  return ::wcsncasecmp(name, component, length) == 0 && name[length] == L'\0';
}

CTreeFolder* FindSubfolderNoCase(const CTreeFolder* folder, const wchar_t* component, size_t length) {
  for (CTreeFolder* child = folder->firstChild; child != nullptr; child = child->next) {
    if (ComponentEqualsNoCase(FolderDisplayName(child), component, length)) return child;
  }
  return nullptr;
}

CTreeFolder* RootOf(CImageDocument* document, CTreeFolder* folder) {
  if (document != nullptr && document->rootFolder != nullptr) return document->rootFolder;
  if (folder == nullptr) return nullptr;
  // Bounded climb: a damaged parent chain cannot loop for ever.
  for (int64_t steps = 0; folder->parent != nullptr && folder->parent != folder && steps < (int64_t{1} << 24);
       ++steps) {
    folder = folder->parent;
  }
  return folder;
}

// Walks the folders below `top` (not `top` itself) depth-first, each folder before its subfolders, in list
// order. `visit(folder, level)` (level 1 for top's subfolders) answers kDescend, kSkipSubtree or kStop.
// Folders named "." or ".." are passed over with everything below them unless `withDots` is set.
enum class Walk { kDescend, kSkipSubtree, kStop };

template <class Visit>
bool WalkSubfolders(CTreeFolder* top, bool withDots, Visit visit) {
  if (top == nullptr) return true;
  std::vector<CTreeFolder*> pending{top->firstChild};  // per level: the next sibling to visit
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    if (folder == nullptr) {
      pending.pop_back();
      continue;
    }
    pending.back() = folder->next;
    if (!withDots && IsDotFolder(folder)) continue;
    switch (visit(folder, static_cast<int64_t>(pending.size()))) {
      case Walk::kStop:
        return false;
      case Walk::kSkipSubtree:
        break;
      case Walk::kDescend:
        pending.push_back(folder->firstChild);
        break;
    }
  }
  return true;
}

// Most fields of a tree's entries are empty: freeing a whole tree asks the heap only about those that are not.
void FreeIfSet(void* block) {
  if (block != nullptr) MemFree(block);
}

void ReleaseEntryFields(CTreeEntry* entry) {
  FreeIfSet(entry->isoName);
  TreeEntryFreeName(entry);
  FreeIfSet(entry->jolietName);
  FreeIfSet(entry->sourcePath);
  FreeIfSet(entry->imagePath);
  FreeIfSet(entry->extents);
  FreeIfSet(entry->inlineData);
  FreeIfSet(entry->fsRecord);
  TreeEntryFreeSystemUse(entry);
  entry->isoName = nullptr;
  entry->jolietName = nullptr;
  entry->jolietLength = 0;
  entry->sourcePath = nullptr;
  entry->imagePath = nullptr;
  entry->extents = nullptr;
  entry->extentCount = 0;
  entry->inlineData = nullptr;
  entry->inlineSize = 0;
  entry->fsRecord = nullptr;
  entry->fsRecordSize = 0;
  entry->systemUseLength = 0;
  entry->systemUseCapacity = 0;
}

// The directory record of a folder made here: directory flag, the image's fixed time, volume sequence 1.
void FillFolderRecord(CImageDocument* document, CTreeEntry* entry) {
  uint8_t* record = entry->directoryRecord;
  record[kDirRecordExtAttrLength] = 0;
  IsoEncodeRecordDate(record + kDirRecordDate, ImageGetFixedTime(document));
  record[kDirRecordFlags] = kDirFlagDirectory;
  record[kDirRecordUnitSize] = 0;
  record[kDirRecordGapSize] = 0;
  PutBothEndian16(record + kDirRecordVolumeSequence, 1);
}

void AppendSubfolder(CTreeFolder* parent, CTreeFolder* node) {
  CTreeFolder* tail = parent->lastChild;
  if (tail == nullptr || tail->next != nullptr || tail->parent != parent) {
    // The hint is stale (someone linked nodes by hand): find the tail.
    tail = parent->firstChild;
    while (tail != nullptr && tail->next != nullptr) tail = tail->next;
  }
  if (tail == nullptr) {
    parent->firstChild = node;
  } else {
    tail->next = node;
  }
  parent->lastChild = node;
}

const wchar_t* LastComponent(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'/');
  return slash != nullptr ? slash + 1 : path;
}

int64_t SectorsOf(int64_t bytes) { return bytes <= 0 ? 0 : bytes / 2048 + (bytes % 2048 != 0 ? 1 : 0); }

bool IsContainerType(const CImageDocument* document) {
  return document != nullptr &&
         (document->inputType == kInputTypeContainer || document->inputType == kInputTypeContainerAlt);
}

// Which path text TreeBuildEntryPath-style routines make of a folder name.
enum class PathNames { kAsStored, kLocalSafe };

wchar_t* BuildFolderPath(CImageDocument* document, CTreeFolder* folder, CTreeFolder* top, int32_t extra,
                         PathNames style) {
  if (folder == nullptr) return nullptr;
  if (top == nullptr) top = RootOf(document, folder);
  std::vector<const CTreeFolder*> chain;
  for (const CTreeFolder* node = folder; node != top; node = node->parent) {
    if (node == nullptr || node->parent == node) return nullptr;  // not below `top`
    if (static_cast<int>(chain.size()) >= kTreePathMaxDepth) return nullptr;
    chain.push_back(node);
  }
  std::wstring path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += L'/';
    std::wstring name = FolderDisplayName(*it);
    if (style == PathNames::kLocalSafe) PathMakeLocalName(&name);
    path += name;
  }
  if (path.empty()) path = L"/";
  const size_t room = path.size() + static_cast<size_t>(extra > 0 ? extra : 0) + 1;
  auto* result = static_cast<wchar_t*>(MemAlloc(room * sizeof(wchar_t)));
  if (result != nullptr) std::wmemcpy(result, path.c_str(), path.size() + 1);
  return result;
}

}  // namespace

// ---- Entries and nodes ----

CTreeEntry* TreeNewEntry() {
  auto* entry = static_cast<CTreeEntry*>(MemZeroAlloc(sizeof(CTreeEntry)));
  if (entry != nullptr) entry->containerItem = -1;
  return entry;
}

CTreeEntryArena::~CTreeEntryArena() { ReleaseBlock(block); }

CTreeEntry* TreeArenaNewEntry(CTreeEntryArena* arena, size_t nameChars, int32_t systemUseBytes) {
  if (arena == nullptr || systemUseBytes < 0 || nameChars > kTreeBlockBytes) return nullptr;
  const size_t nameAt = CarveSize(sizeof(CTreeEntry));
  const size_t systemUseAt = nameAt + CarveSize((nameChars + 1) * sizeof(wchar_t));
  const size_t need = systemUseAt + CarveSize(static_cast<size_t>(systemUseBytes));
  CTreeBlock* block = arena->block;
  if (block == nullptr || block->capacity - block->used < need) {
    const size_t header = CarveSize(sizeof(CTreeBlock));
    if (header + need > kTreeBlockBytes / 4) {
      // A rare large entry gets a block of its own; the arena goes on carving from the block it has.
      block = NewBlock(header + need, false);
      if (block == nullptr) return nullptr;
      block->holders = 0;
    } else {
      block = NewBlock(kTreeBlockBytes, arena->blocksMade >= kTreeHeapBlocks);
      if (block == nullptr) return nullptr;
      ++arena->blocksMade;
      ReleaseBlock(arena->block);
      arena->block = block;
    }
  }
  uint8_t* base = reinterpret_cast<uint8_t*>(block) + block->used;
  block->used += need;
  ++block->holders;
  auto* entry = new (base) CTreeEntry();
  entry->containerItem = -1;
  entry->block = block;
  entry->name = reinterpret_cast<wchar_t*>(base + nameAt);
  entry->name[0] = L'\0';
  entry->carved = kTreeCarvedName;
  if (systemUseBytes > 0) {
    entry->systemUse = base + systemUseAt;
    entry->carved |= kTreeCarvedSystemUse;
  }
  return entry;
}

void TreeEntryFreeName(CTreeEntry* entry) {
  if (entry == nullptr) return;
  if (!(entry->carved & kTreeCarvedName)) FreeIfSet(entry->name);
  entry->name = nullptr;
  entry->carved &= ~kTreeCarvedName;
}

void TreeEntryFreeSystemUse(CTreeEntry* entry) {
  if (entry == nullptr) return;
  if (!(entry->carved & kTreeCarvedSystemUse)) FreeIfSet(entry->systemUse);
  entry->systemUse = nullptr;
  entry->carved &= ~kTreeCarvedSystemUse;
}

void TreeFreeEntry(CImageDocument* document, CTreeEntry* entry) {
  if (entry == nullptr) return;
  if (document != nullptr && document->inputType == kInputTypeContainer) UiHookEntryFreed();
  ReleaseEntryFields(entry);
  if (document != nullptr && entry == document->rootEntry) return;
  if (CTreeBlock* block = entry->block) {
    // The block's memory stays while other entries live in it: a late use of this entry still shows under ASan.
    ASAN_POISON_MEMORY_REGION(entry, sizeof(CTreeEntry));
    ReleaseBlock(block);
    return;
  }
  MemFree(entry);
}

void TreeFreeEntryArray(CImageDocument* document, CTreeEntry** array, int64_t count) {
  if (array == nullptr) return;
  for (int64_t i = 0; i < count; ++i) {
    if (array[i] != nullptr) TreeFreeEntry(document, array[i]);
  }
  MemFree(array);
}

void TreeFreeFolderEntries(CImageDocument* document, CTreeFolder* folder) {
  if (folder == nullptr) return;
  MemFree(folder->name);
  folder->name = nullptr;
  CTreeEntry* entry = folder->firstEntry;
  folder->firstEntry = nullptr;
  folder->jolietFirst = nullptr;
  while (entry != nullptr) {
    CTreeEntry* next = entry->next;
    if (entry->notifyCount > 0) UiHookEntryFreed();
    if (entry->folder != nullptr && entry->folder->entry == entry) entry->folder->entry = nullptr;
    TreeFreeEntry(document, entry);
    entry = next;
  }
  NameIndexDelete(folder->isoIndex);
  NameIndexDelete(folder->wideIndex);
  folder->isoIndex = nullptr;
  folder->wideIndex = nullptr;
}

void TreeFreeFolder(CImageDocument* document, CTreeFolder* folder) {
  if (folder == nullptr) return;
  // Entries go first, while the nodes their folder entries point at still exist. Then post-order over the
  // nodes without a stack: a child taken off its parent's list keeps the way back in its `next` field.
  TreeFreeFolderEntries(document, folder);
  CTreeFolder* node = folder;
  for (;;) {
    CTreeFolder* child = node->firstChild;
    if (child != nullptr) {
      node->firstChild = child->next;
      child->next = node;
      node = child;
      TreeFreeFolderEntries(document, node);
      continue;
    }
    CTreeFolder* back = node->next;
    if (node->notifyCount > 0) UiHookEntryFreed();
    if (document != nullptr && document->rootFolder == node) document->rootFolder = nullptr;
    if (document != nullptr && document->rootEntry != nullptr && document->rootEntry->folder == node)
      document->rootEntry->folder = nullptr;
    MemFree(node);
    if (node == folder) return;
    node = back;
  }
}

void TreeFreeDocumentTree(CImageDocument* document) {
  if (document == nullptr) return;
  if (document->rootFolder != nullptr) {
    if (document->treeOwned) {
      TreeFreeFolder(document, document->rootFolder);
    }
    document->rootFolder = nullptr;
  }
  if (document->rootEntry != nullptr) {
    CTreeEntry* root = document->rootEntry;
    document->rootEntry = nullptr;
    TreeFreeEntry(document, root);
  }
}

void TreeFolderPrependEntry(CTreeFolder* folder, CTreeEntry* entry) {
  if (folder == nullptr || entry == nullptr) return;
  entry->next = folder->firstEntry;
  folder->firstEntry = entry;
  entry->parent = folder;
  if (folder->wideIndex != nullptr) NameIndexAddWideName(folder->wideIndex, entry);
}

CTreeFolder* TreeInsertFolderNode(CImageDocument* document, CTreeFolder* parent, const wchar_t* path,
                                  CTreeEntry* entry, int find) {
  if (path == nullptr) path = L"";
  const wchar_t* last = LastComponent(path);
  if (find && parent != nullptr) {
    for (CTreeFolder* child = parent->firstChild; child != nullptr; child = child->next) {
      if (::wcscasecmp(FolderDisplayName(child), last) == 0) return child;
    }
  }
  auto* node = static_cast<CTreeFolder*>(MemZeroAlloc(sizeof(CTreeFolder)));
  if (node == nullptr) return nullptr;
  node->name = WstrDupChars(path);
  if (node->name == nullptr) {
    MemFree(node);
    return nullptr;
  }
  if (entry == nullptr && parent == nullptr && document != nullptr) entry = document->rootEntry;
  if (entry == nullptr && parent != nullptr) {
    entry = TreeNewEntry();
    if (entry != nullptr) entry->name = WstrDupChars(last);
    if (entry == nullptr || entry->name == nullptr) {
      TreeFreeEntry(document, entry);
      MemFree(node->name);
      MemFree(node);
      return nullptr;
    }
    FillFolderRecord(document, entry);
    TreeFolderPrependEntry(parent, entry);
  }
  node->entry = entry;
  if (entry != nullptr) entry->folder = node;
  if (parent == nullptr) {
    node->parent = node;
    node->depth = 0;
    if (document != nullptr && document->rootFolder == nullptr) document->rootFolder = node;
  } else {
    node->parent = parent;
    node->depth = parent->depth + 1;
    AppendSubfolder(parent, node);
  }
  UiHookNodeAdded();
  return node;
}

CTreeEntry* TreeAddFolderNode(CImageDocument* document, CTreeFolder* parent, const wchar_t* name) {
  if (parent == nullptr || name == nullptr) return nullptr;
  std::wstring path = parent->name != nullptr ? parent->name : L"";
  if (path != L"/") path += L'/';
  path += name;
  CTreeEntry* entry = TreeNewEntry();
  if (entry == nullptr) return nullptr;
  entry->name = WstrDupChars(name);
  if (entry->name == nullptr) {
    TreeFreeEntry(document, entry);
    return nullptr;
  }
  entry->flags = 0;
  FillFolderRecord(document, entry);
  TreeFolderPrependEntry(parent, entry);
  if (TreeInsertFolderNode(document, parent, path.c_str(), entry, 0) == nullptr) {
    TreeDeleteEntry(document, entry);
    return nullptr;
  }
  return entry;
}

CTreeEntry* TreeDeleteEntry(CImageDocument* document, CTreeEntry* entry) {
  if (entry == nullptr) return nullptr;
  CTreeFolder* folder = entry->parent;
  CTreeEntry* previous = nullptr;
  if (folder != nullptr) {
    CTreeEntry* walk = folder->firstEntry;
    while (walk != nullptr && walk != entry) {
      previous = walk;
      walk = walk->next;
    }
    // An entry its folder does not hold is left alone rather than freed under another list.
    if (walk == nullptr) return nullptr;
  }
  if (entry->notifyCount > 0) UiHookEntryFreed();
  CTreeEntry* result = nullptr;
  if (folder != nullptr) {
    TreeUnindexEntry(document, folder, entry);
    if (folder->isoIndex != nullptr) NameIndexRemoveIsoName(folder->isoIndex, entry);
    if (previous != nullptr) {
      previous->next = entry->next;
    } else {
      folder->firstEntry = entry->next;
    }
    CTreeEntry** link = &folder->jolietFirst;
    while (*link != nullptr && *link != entry) link = &(*link)->jolietNext;
    if (*link == entry) *link = entry->jolietNext;
    result = previous != nullptr ? previous : folder->firstEntry;
  }
  if (entry->folder != nullptr && entry->folder->entry == entry) entry->folder->entry = nullptr;
  TreeFreeEntry(document, entry);
  return result;
}

int TreeDeleteFolder(CImageDocument* document, CTreeFolder* folder) {
  if (folder == nullptr || folder->parent == nullptr || folder->parent == folder) return -1;
  if (folder->notifyCount > 0) UiHookEntryFreed();
  CTreeFolder* parent = folder->parent;
  if (folder->entry != nullptr && folder->entry->parent == parent) TreeDeleteEntry(document, folder->entry);
  CTreeFolder* previous = nullptr;
  for (CTreeFolder* walk = parent->firstChild; walk != nullptr; previous = walk, walk = walk->next) {
    if (walk != folder) continue;
    if (previous != nullptr) {
      previous->next = folder->next;
    } else {
      parent->firstChild = folder->next;
    }
    if (parent->lastChild == folder) parent->lastChild = previous;
    break;
  }
  folder->next = nullptr;
  TreeFreeFolder(document, folder);
  return 0;
}

// ---- Lookup ----

CTreeFolder* TreeFindFolderByPath(CImageDocument* document, CTreeFolder* start, const wchar_t* path) {
  if (path == nullptr) return nullptr;
  if (start == nullptr && document != nullptr) start = document->rootFolder;
  if (start == nullptr) return nullptr;
  if (std::wcscmp(path, L"/") == 0) return RootOf(document, start);
  const wchar_t* component = path[0] == L'/' ? path + 1 : path;
  if (*component == L'\0') return nullptr;
  CTreeFolder* folder = start;
  for (;;) {
    const wchar_t* end = std::wcschr(component, L'/');
    const size_t length = end != nullptr ? static_cast<size_t>(end - component) : std::wcslen(component);
    folder = FindSubfolderNoCase(folder, component, length);
    if (folder == nullptr || end == nullptr) return folder;
    component = end + 1;
    if (*component == L'\0') return nullptr;  // a trailing "/" names no folder here
  }
}

CTreeEntry* TreeFindEntryByPath(CImageDocument* document, CTreeFolder* start, const wchar_t* path) {
  if (path == nullptr) return nullptr;
  if (start == nullptr && document != nullptr) start = document->rootFolder;
  if (start == nullptr) return nullptr;
  if (std::wcscmp(path, L"/") == 0) {
    CTreeFolder* root = RootOf(document, start);
    return root->entry != nullptr ? root->entry : (document != nullptr ? document->rootEntry : nullptr);
  }
  const wchar_t* component = path[0] == L'/' ? path + 1 : path;
  if (*component == L'\0') return nullptr;
  CTreeFolder* folder = start;
  for (;;) {
    const wchar_t* end = std::wcschr(component, L'/');
    const size_t length = end != nullptr ? static_cast<size_t>(end - component) : std::wcslen(component);
    CTreeFolder* child = FindSubfolderNoCase(folder, component, length);
    if (child == nullptr) {
      // A file can only be the last component: "a/file.txt/x" names nothing.
      if (end != nullptr) return nullptr;
      return TreeFindChildEntry(folder, component);
    }
    folder = child;
    if (end == nullptr || end[1] == L'\0') return folder->entry;
    component = end + 1;
  }
}

CTreeFolder* TreeWalkFolderPath(CImageDocument* document, const wchar_t* path) {
  if (document == nullptr || document->rootFolder == nullptr) return nullptr;
  CTreeFolder* folder = document->rootFolder;
  if (path == nullptr) return folder;
  const wchar_t* component = path;
  while (*component != L'\0') {
    const wchar_t* end = std::wcschr(component, L'/');
    const size_t length = end != nullptr ? static_cast<size_t>(end - component) : std::wcslen(component);
    if (length > 0) {
      CTreeFolder* child = FindSubfolderNoCase(folder, component, length);
      if (child == nullptr) {
        const std::wstring name(component, length);
        CTreeEntry* entry = TreeAddFolderNode(document, folder, name.c_str());
        if (entry == nullptr) return nullptr;
        child = entry->folder;
      }
      folder = child;
    }
    if (end == nullptr) break;
    component = end + 1;
  }
  return folder;
}

CTreeEntry* TreeFindChildEntry(CTreeFolder* folder, const wchar_t* name) {
  if (folder == nullptr || name == nullptr) return nullptr;
  for (CTreeEntry* entry = folder->firstEntry; entry != nullptr; entry = entry->next) {
    if (entry->name != nullptr && ::wcscasecmp(entry->name, name) == 0) return entry;
  }
  return nullptr;
}

CTreeEntry* TreeFolderFindEntry(CTreeFolder* folder, const wchar_t* name) {
  if (folder == nullptr || name == nullptr) return nullptr;
  if (folder->wideIndex == nullptr) {
    int compared = 0;
    for (CTreeEntry* entry = folder->firstEntry; entry != nullptr; entry = entry->next) {
      if (entry->name != nullptr && ::wcscasecmp(entry->name, name) == 0) return entry;
      if (++compared == kTreeLinearLookupLimit) break;
    }
    if (compared < kTreeLinearLookupLimit) return nullptr;
    CNameIndex* index = NameIndexNew();
    if (index == nullptr) return nullptr;
    for (CTreeEntry* entry = folder->firstEntry; entry != nullptr; entry = entry->next) {
      if (entry->name == nullptr && entry->jolietName == nullptr) continue;
      if (!NameIndexAddWideName(index, entry)) {
        NameIndexDelete(index);
        return nullptr;
      }
    }
    folder->wideIndex = index;
  }
  return NameIndexFindByWideName(folder->wideIndex, name);
}

CTreeEntry* TreeFindEntryRecursive(CTreeFolder* folder, const wchar_t* name) {
  CTreeEntry* found = TreeFindChildEntry(folder, name);
  if (found != nullptr || folder == nullptr) return found;
  WalkSubfolders(folder, false, [&](CTreeFolder* node, int64_t) {
    found = TreeFindChildEntry(node, name);
    return found != nullptr ? Walk::kStop : Walk::kDescend;
  });
  return found;
}

CTreeEntry* TreeFindLargeFile(CImageDocument*, CTreeFolder* folder) {
  if (folder == nullptr) return nullptr;
  CTreeEntry* found = nullptr;
  const auto scan = [&found](CTreeFolder* node) {
    for (CTreeEntry* entry = node->firstEntry; entry != nullptr; entry = entry->next) {
      if (!TreeEntryIsFolder(entry) && entry->size >= kTreeLargeFileSize) {
        found = entry;
        return true;
      }
    }
    return false;
  };
  if (scan(folder)) return found;
  WalkSubfolders(folder, false, [&](CTreeFolder* node, int64_t) { return scan(node) ? Walk::kStop : Walk::kDescend; });
  return found;
}

CTreeFolder* TreeGetEntryFolder(const CTreeEntry* entry) { return entry != nullptr ? entry->folder : nullptr; }

// ---- Name indexes ----

namespace {

uint32_t HashStep(uint32_t h, uint32_t value) { return h / 8 + value + h * 32776u; }

// Adds one UTF-16 unit to the wide-name hash.
uint32_t HashUnit(uint32_t h, uint32_t unit) {
  if (unit >= 256) h = h * 32776u + h / 8 + (unit >> 8);
  if ((unit & 0xFF) != 0) h = HashStep(h, unit & 0xFF);
  return h;
}

uint32_t BucketOfEntryWideKey(const CTreeEntry* entry) {
  return entry->name != nullptr ? NameIndexHashWide(entry->name) : NameIndexHashUtf16(entry->jolietName);
}

bool AddLink(CNameIndex* index, uint32_t bucket, CTreeEntry* entry) {
  auto* link = static_cast<CNameLink*>(MemAlloc(sizeof(CNameLink)));
  if (link == nullptr) return false;
  link->entry = entry;
  link->next = index->buckets[bucket];
  index->buckets[bucket] = link;
  return true;
}

bool RemoveLinkFromBucket(CNameIndex* index, uint32_t bucket, const CTreeEntry* entry) {
  for (CNameLink** link = &index->buckets[bucket]; *link != nullptr; link = &(*link)->next) {
    if ((*link)->entry != entry) continue;
    CNameLink* gone = *link;
    *link = gone->next;
    MemFree(gone);
    return true;
  }
  return false;
}

// Unlinks the entry from its key's bucket; when its name changed since it was added, from wherever it is, so
// that no link outlives its entry.
void RemoveLink(CNameIndex* index, uint32_t bucket, const CTreeEntry* entry) {
  if (RemoveLinkFromBucket(index, bucket, entry)) return;
  for (uint32_t other = 0; other < kNameIndexBuckets; ++other) {
    if (other != bucket && RemoveLinkFromBucket(index, other, entry)) return;
  }
}

}  // namespace

uint32_t NameIndexHashIsoName(const char* name) {
  uint32_t h = 0;
  for (const char* c = name; c != nullptr && *c != '\0' && *c != ';'; ++c) {
    h = HashStep(h, static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*c))));
  }
  return h & (kNameIndexBuckets - 1);
}

uint32_t NameIndexHashUtf16(const uint16_t* units) {
  uint32_t h = 0;
  for (const uint16_t* u = units; u != nullptr && *u != 0; ++u) h = HashUnit(h, *u);
  return h & (kNameIndexBuckets - 1);
}

uint32_t NameIndexHashWide(const wchar_t* name) {
  // Hashes the UTF-16 form unit by unit, so that names of any length index alike.
  uint32_t h = 0;
  for (const wchar_t* c = name; c != nullptr && *c != L'\0'; ++c) {
    uint32_t code = static_cast<uint32_t>(*c);
    if (code > 0x10FFFF) code = 0xFFFD;
    if (code > 0xFFFF) {
      code -= 0x10000;
      h = HashUnit(h, 0xD800 + (code >> 10));
      h = HashUnit(h, 0xDC00 + (code & 0x3FF));
    } else {
      h = HashUnit(h, code);
    }
  }
  return h & (kNameIndexBuckets - 1);
}

CNameIndex* NameIndexNew() { return static_cast<CNameIndex*>(MemZeroAlloc(sizeof(CNameIndex))); }

int NameIndexAddIsoName(CNameIndex* index, CTreeEntry* entry) {
  if (index == nullptr || entry == nullptr || entry->isoName == nullptr) return 0;
  return AddLink(index, NameIndexHashIsoName(entry->isoName), entry) ? 1 : 0;
}

int NameIndexAddWideName(CNameIndex* index, CTreeEntry* entry) {
  if (index == nullptr || entry == nullptr || (entry->name == nullptr && entry->jolietName == nullptr)) return 0;
  return AddLink(index, BucketOfEntryWideKey(entry), entry) ? 1 : 0;
}

CTreeEntry* NameIndexFindByIsoName(const CNameIndex* index, const char* name) {
  if (index == nullptr || name == nullptr) return nullptr;
  for (const CNameLink* link = index->buckets[NameIndexHashIsoName(name)]; link != nullptr; link = link->next) {
    if (link->entry->isoName != nullptr && std::strcmp(link->entry->isoName, name) == 0) return link->entry;
  }
  return nullptr;
}

CTreeEntry* NameIndexFindByWideName(const CNameIndex* index, const wchar_t* name) {
  if (index == nullptr || name == nullptr) return nullptr;
  for (const CNameLink* link = index->buckets[NameIndexHashWide(name)]; link != nullptr; link = link->next) {
    if (link->entry->name != nullptr && std::wcscmp(link->entry->name, name) == 0) return link->entry;
  }
  return nullptr;
}

CTreeEntry* NameIndexFindByJolietName(const CNameIndex* index, const uint16_t* units) {
  if (index == nullptr || units == nullptr) return nullptr;
  for (const CNameLink* link = index->buckets[NameIndexHashUtf16(units)]; link != nullptr; link = link->next) {
    if (link->entry->jolietName != nullptr && TextUtf16Compare(link->entry->jolietName, units) == 0)
      return link->entry;
  }
  return nullptr;
}

void NameIndexRemoveIsoName(CNameIndex* index, CTreeEntry* entry) {
  if (index == nullptr || entry == nullptr) return;
  RemoveLink(index, NameIndexHashIsoName(entry->isoName), entry);
}

void NameIndexRemoveWideName(CNameIndex* index, CTreeEntry* entry) {
  if (index == nullptr || entry == nullptr) return;
  RemoveLink(index, BucketOfEntryWideKey(entry), entry);
}

void NameIndexFree(CNameIndex* index) {
  if (index == nullptr) return;
  for (CNameLink*& head : index->buckets) {
    while (head != nullptr) {
      CNameLink* next = head->next;
      MemFree(head);
      head = next;
    }
  }
}

void NameIndexDelete(CNameIndex* index) {
  NameIndexFree(index);
  MemFree(index);
}

void TreeIndexEntry(CImageDocument*, CTreeFolder* folder, CTreeEntry* entry) {
  if (folder != nullptr && folder->wideIndex != nullptr) NameIndexAddWideName(folder->wideIndex, entry);
}

void TreeUnindexEntry(CImageDocument*, CTreeFolder* folder, CTreeEntry* entry) {
  if (folder != nullptr && folder->wideIndex != nullptr) NameIndexRemoveWideName(folder->wideIndex, entry);
}

void TreeFreeEntryIndex(CImageDocument*, CTreeFolder* folder) {
  if (folder == nullptr) return;
  const auto release = [](CTreeFolder* node) {
    NameIndexDelete(node->wideIndex);
    node->wideIndex = nullptr;
  };
  release(folder);
  WalkSubfolders(folder, true, [&](CTreeFolder* node, int64_t) {
    release(node);
    return Walk::kDescend;
  });
}

// ---- Sizes, statistics, structure ----

int TreeEntryIsDotName(const CTreeEntry* entry) { return entry != nullptr && IsDotText(entry->name) ? 1 : 0; }

int TreeEntryDotKind(const CTreeEntry* entry) {
  if (entry == nullptr) return -1;
  // The one-byte ISO 9660 identifiers 0 and 1 stand for "." and ".." whatever the display name says.
  if (entry->isoName && entry->directoryRecord[kDirRecordNameLength] == 1 && (entry->isoName[0] == 0 || entry->isoName[0] == 1))
    return entry->isoName[0];
  return PathDotKind(entry->name);
}

int64_t TreeGetStatistics(CImageDocument* document, CTreeFolder* folder, CTreeStatistics* statistics,
                          int recursive) {
  if (statistics == nullptr) return 0;
  *statistics = CTreeStatistics{};
  const bool disc = document != nullptr && (document->deviceFlag != 0 || document->inputType == kInputTypeDisc);
  const auto count = [&](CTreeFolder* node) {
    for (CTreeEntry* entry = node->firstEntry; entry != nullptr; entry = entry->next) {
      if (TreeEntryIsFolder(entry) || TreeEntryIsDotName(entry)) continue;
      const int64_t size = TreeGetEntryListedSize(document, entry);
      ++statistics->fileCount;
      statistics->fileBytes += size;
      if (disc && entry->sourcePath == nullptr) statistics->onDiscBytes += size;
    }
    for (CTreeFolder* child = node->firstChild; child != nullptr; child = child->next) {
      if (!IsDotFolder(child)) ++statistics->folderCount;
    }
  };
  if (folder != nullptr) {
    count(folder);
    if (recursive) {
      WalkSubfolders(folder, false, [&](CTreeFolder* node, int64_t) {
        count(node);
        return Walk::kDescend;
      });
    }
  }
  if (document != nullptr && document->trackTable != nullptr) {
    const CTrackInfo* track = nullptr;
    for (int32_t i = 0; (track = TrackTableGetTrack(document->trackTable, i)) != nullptr; ++i) {
      if (!TrackTableIsAudioTrack(document->trackTable, i)) continue;
      ++statistics->audioTrackCount;
      statistics->audioBytes += int64_t{track->length} * 2048;
    }
  }
  statistics->totalBytes = statistics->fileBytes + statistics->audioBytes;
  if (disc) {
    const int64_t sectors = document->readableLimit > 0 ? document->readableLimit : document->volumeSize;
    statistics->discBytes = sectors * 2048;
    return statistics->discBytes;
  }
  return statistics->totalBytes;
}

int64_t TreeGetEntryListedSize(CImageDocument* document, const CTreeEntry* entry) {
  if (entry == nullptr) return 0;
  if (document != nullptr && document->rawMode2 && entry->systemUse != nullptr && entry->systemUseLength >= 14 &&
      entry->systemUse[6] == 'X' && entry->systemUse[7] == 'A' && entry->systemUse[8] >= 1 &&
      entry->systemUse[8] <= 99) {
    return entry->size / 2048 * 2352 + 44;
  }
  return entry->size;
}

int64_t TreeGetEntryLastSector(CImageDocument*, const CTreeEntry* entry) {
  if (entry == nullptr) return -1;
  if (entry->extents == nullptr || entry->extentCount <= 0) return entry->sourceLba + SectorsOf(entry->size) - 1;
  int64_t last = -1;
  for (int32_t i = 0; i < entry->extentCount; ++i) {
    const int64_t end = entry->extents[i].lba + SectorsOf(entry->extents[i].length) - 1;
    if (end > last) last = end;
  }
  return last;
}

int TreeCheckExtentsContiguous(CImageDocument*, CTreeFolder* folder) {
  if (folder == nullptr) return 1;
  const auto contiguous = [](const CTreeFolder* node) {
    for (const CTreeEntry* entry = node->firstEntry; entry != nullptr; entry = entry->next) {
      if (entry->extents == nullptr) continue;
      for (int32_t i = 1; i < entry->extentCount; ++i) {
        const CTreeExtent& before = entry->extents[i - 1];
        if (entry->extents[i].lba != before.lba + SectorsOf(before.length)) return false;
      }
    }
    return true;
  };
  if (!contiguous(folder)) return 0;
  const bool all = WalkSubfolders(folder, false, [&](CTreeFolder* node, int64_t) {
    if (IsHiddenFolder(node)) return Walk::kSkipSubtree;
    return contiguous(node) ? Walk::kDescend : Walk::kStop;
  });
  return all ? 1 : 0;
}

int TreeIsEntryFromDisk(CImageDocument* document, const CTreeEntry* entry) {
  if (entry == nullptr || entry->sourcePath == nullptr || entry->sourcePath[0] == L'\0') return 0;
  if (IsContainerType(document)) return entry->outputLba == -1 ? 1 : 0;
  return entry->sourceLba == 0 ? 1 : 0;
}

void TreeFixDepths(CTreeFolder* folder) {
  if (folder == nullptr) return;
  const int32_t base = folder->depth;
  WalkSubfolders(folder, true, [base](CTreeFolder* node, int64_t level) {
    node->depth = base + static_cast<int32_t>(level);
    return Walk::kDescend;
  });
}

void TreeLinkDotDot(CTreeFolder* folder) {
  if (folder == nullptr) return;
  for (CTreeEntry* entry = folder->firstEntry; entry != nullptr; entry = entry->next) {
    if (entry->name != nullptr && std::wcscmp(entry->name, L"..") == 0) {
      entry->parent = folder->parent;
      return;
    }
  }
}

// ---- Paths ----

wchar_t* TreeBuildEntryPath(CImageDocument* document, CTreeFolder* folder, CTreeFolder* top, int32_t extra) {
  return BuildFolderPath(document, folder, top, extra, PathNames::kAsStored);
}

wchar_t* TreeGetNodeRelativePath(CImageDocument* document, CTreeFolder* folder, CTreeFolder* top, int32_t extra) {
  return BuildFolderPath(document, folder, top, extra, PathNames::kLocalSafe);
}

wchar_t* TreeGetNodeFullPath(CImageDocument* document, const CTreeEntry* entry) {
  if (entry == nullptr) return nullptr;
  std::wstring path = L"/";
  if (entry->parent != nullptr && !(document != nullptr && entry == document->rootEntry)) {
    wchar_t* folderPath = TreeBuildEntryPath(document, entry->parent, nullptr, 0);
    if (folderPath == nullptr) return nullptr;
    path = folderPath;
    MemFree(folderPath);
    if (path.back() != L'/') path += L'/';
    if (entry->name != nullptr) path += entry->name;
  } else if (entry->parent == nullptr && entry->name != nullptr) {
    path += entry->name;
  }
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return WstrDupChars(path.c_str());
}

int ImageCreateRoot(CImageDocument* document) {
  if (!document) return -1;
  if (!document->rootFolder) TreeInsertFolderNode(document, nullptr, L"", document->rootEntry, 0);
  if (!document->rootFolder) return -1;
  document->treeOwned = 1;
  return 0;
}
