// tree/: the directory tree every reader fills (folders, entries, name indexes, path lookup), ISO 9660 volume
// reading with Joliet, Rock Ridge (its read side and the one System Use walker) and the El Torito catalog, volume
// identifiers, and Video CD and Wii recognition. It uses runtime/ and image/ only; the readers above it
// (formats/, qvf/, and the disk, file-system and WIM readers) fill this tree.
//
// The image's file tree: folder nodes (CTreeFolder) and entries (CTreeEntry) hung on the document, the name
// indexes of large folders, lookup by "/"-separated path, statistics and deletion.
//
// Ownership: the document owns its root folder and, through it, every node. A folder owns its entries (the
// list from firstEntry), its subfolders (the list from firstChild) and its two name indexes. An entry owns
// every pointer field marked "owned" below; each of those is a MemAlloc block released with MemFree, except the
// name and System Use bytes of an entry carved from an arena (see CTreeEntry::carved). Nodes and entries are
// zero-filled blocks: create them with TreeNewEntry / TreeArenaNewEntry / TreeInsertFolderNode and release them
// only through the Tree* freeing routines. The document's root entry (document->rootEntry) stands for the
// root folder; TreeFreeEntry never releases that node, it only clears it (TreeFreeDocumentTree releases it).
//
// Every walk over folders is iterative, so a very deep tree (a damaged image) cannot exhaust the stack.
#pragma once

#include <cstdint>
#include <cwchar>

struct CImageDocument;
struct CTreeBlock;
struct CTreeEntry;
struct CTreeFolder;

// Folder flags.
enum : uint32_t {
  kTreeFolderHasDot = 0x02,     // a "." entry is present
  kTreeFolderHasDotDot = 0x04,  // a ".." entry is present
  kTreeHidden = 0x08,           // folder or entry is hidden
  kTreeRelocated = 0x40,        // Rock Ridge relocated folder or entry
};

// Offsets and flags of the 34-byte ISO 9660 directory record copy every entry carries.
enum : int {
  kDirRecordLength = 0,
  kDirRecordExtAttrLength = 1,
  kDirRecordExtent = 2,       // both-endian 32-bit LBA
  kDirRecordDataLength = 10,  // both-endian 32-bit size
  kDirRecordDate = 18,        // 7 bytes
  kDirRecordFlags = 25,
  kDirRecordUnitSize = 26,
  kDirRecordGapSize = 27,
  kDirRecordVolumeSequence = 28,  // both-endian 16-bit
  kDirRecordNameLength = 32,
  kDirRecordName = 33,
  kDirRecordCopySize = 34,
};
enum : uint8_t {
  kDirFlagHidden = 0x01,
  kDirFlagDirectory = 0x02,
  kDirFlagAssociated = 0x04,
  kDirFlagMultiExtent = 0x80,  // more records of the same file follow
};

// Input types that change how entries are read.
enum : int32_t {
  kInputTypeContainer = 101,     // packed container: data through the interface hook
  kInputTypeDisc = 102,          // a physical disc
  kInputTypeContainerAlt = 151,  // second packed-container kind
};

constexpr int kNameIndexBuckets = 1024;
// Case-insensitive scans of a folder end after this many compares; the folder then gets its wide-name index
// and its lookups become exact.
constexpr int kTreeLinearLookupLimit = 1001;
// Deepest folder a path is built for.
constexpr int kTreePathMaxDepth = 1022;
// Files of this size or more cannot be stored in one ISO 9660 record.
constexpr int64_t kTreeLargeFileSize = int64_t{1} << 32;

// One piece of a file's data: `length` bytes from sector `lba` of the source.
struct CTreeExtent {
  int64_t lba;
  int64_t length;
};

struct CNameLink {
  CNameLink* next;
  CTreeEntry* entry;
};

// Entries of a folder by name: 1,024 chains of links, newest first.
struct CNameIndex {
  CNameLink* buckets[kNameIndexBuckets];
};

struct CTreeFolder {
  CTreeFolder* next;         // next subfolder of the parent
  CTreeFolder* firstChild;   // first subfolder
  CTreeFolder* parent;       // the root's parent is the root itself
  CTreeEntry* firstEntry;    // files and folder entries, in list order
  CTreeEntry* jolietFirst;   // the entries in Joliet order (jolietNext chain); not owned
  CTreeEntry* entry;         // the entry that stands for this folder in its parent; not owned
  wchar_t* name;             // owned: a name or a local source path (the display name is entry->name)
  int32_t depth;             // 0 for the root
  uint32_t isoExtentSize;    // ISO 9660 directory data of a built image
  uint32_t isoExtentLba;
  uint32_t jolietExtentSize;
  uint32_t jolietExtentLba;
  int32_t isoDirectoryNumber;
  int32_t jolietDirectoryNumber;
  uint32_t flags;            // kTreeFolderHasDot, kTreeFolderHasDotDot, kTreeHidden, kTreeRelocated
  CNameIndex* isoIndex;      // owned, by ISO name (built by the image builder)
  CNameIndex* wideIndex;     // owned, by display name (built by TreeFolderFindEntry in large folders)
  int32_t notifyCount;       // above 0: the interface hook hears of the folder's removal
  CTreeFolder* lastChild;    // tail of the subfolder list, so appends stay O(1); a hint, checked before use
};

// Requested-LBA values: 1..kRequestedLbaFixedLast are fixed LBAs; kRequestedLbaNeverPlaced and above are never
// placed by the file pass.
constexpr int64_t kRequestedLbaFixedLast = 0xFFFFFEFF;
constexpr int64_t kRequestedLbaNeverPlaced = 0xFFFFFF00;

struct CTreeEntry {
  CTreeEntry* next;          // next entry of the folder
  CTreeEntry* jolietNext;    // next entry in the folder's Joliet order
  CTreeFolder* parent;       // the folder that holds the entry
  CTreeFolder* folder;       // a folder entry's node (null for files, "." and "..")
  int64_t outputLba;         // first sector in an image being built (0 = not placed; -1 for containers)
  int64_t requestedLba;      // fixed sector asked for by an earlier build (0 = none)
  int64_t size;              // data size in bytes (for several extents: their sum)
  char* isoName;             // owned: ISO 9660 name, NUL-terminated
  wchar_t* name;             // owned: display name, shown and extracted
  uint16_t* jolietName;      // owned: UCS-2 name, 0-terminated
  int32_t jolietLength;      // units of jolietName
  wchar_t* sourcePath;       // owned: the local file the data comes from
  wchar_t* imagePath;        // owned: path of the entry inside the image
  CTreeExtent* extents;      // owned: the pieces of a file stored in several extents (null: one, at sourceLba)
  int32_t extentCount;
  uint8_t* inlineData;       // owned: data held in memory instead of on a medium
  int64_t inlineSize;
  uint8_t* fsRecord;         // owned: a reader's own record for later reads of the data
  int32_t fsRecordSize;
  uint32_t flags;            // kTreeHidden, kTreeRelocated
  int64_t sourceLba;         // first sector of the data in the source image
  int32_t containerItem;     // item number inside a packed container; -1 = none
  int32_t notifyCount;       // above 0: the interface hook hears of the entry's removal
  int32_t sortWeight;        // 1..100: file order in a built image
  int32_t onDisc;            // the data lies on the physical disc the document reads
  uint8_t* systemUse;        // owned: System Use bytes of the record (Rock Ridge, CD-XA)
  int32_t systemUseLength;    // bytes of systemUse inside the record
  // Bytes of systemUse in all when the Rock Ridge writer built it: the bytes past systemUseLength go to
  // continuation areas. 0 for an area as read from an image, whose continuations lie in that image.
  int32_t systemUseCapacity;
  uint8_t directoryRecord[kDirRecordCopySize];  // the entry's own ISO 9660 record header
  // An entry carved from a CTreeEntryArena: the block it lies in, and which of its name and systemUse lie in that
  // block too (kTreeCarved* bits). Such fields go with the entry: replace them only after TreeEntryFreeName /
  // TreeEntryFreeSystemUse.
  CTreeBlock* block;
  uint32_t carved;
};

enum : uint32_t {
  kTreeCarvedName = 0x01,
  kTreeCarvedSystemUse = 0x02,
};

// Where a reader that makes a whole tree of entries at once takes them from: entries, with room for their name
// and System Use bytes, carved one after the other from large blocks, so that a tree costs a few allocations,
// lies densely in memory and is released in a few calls. Each block counts the entries living in it (and the
// arena while it carves from it) and goes when the count reaches 0, so entries outlive their arena and are freed,
// moved or deleted like any other entry.
struct CTreeEntryArena {
  CTreeBlock* block = nullptr;
  int32_t blocksMade = 0;
  CTreeEntryArena() = default;
  CTreeEntryArena(const CTreeEntryArena&) = delete;
  CTreeEntryArena& operator=(const CTreeEntryArena&) = delete;
  CTreeEntryArena(CTreeEntryArena&& other) noexcept : block(other.block), blocksMade(other.blocksMade) {
    other.block = nullptr;
  }
  CTreeEntryArena& operator=(CTreeEntryArena&& other) = delete;
  ~CTreeEntryArena();
};

// Totals of a folder (or a whole tree), all 64-bit.
struct CTreeStatistics {
  int64_t fileCount;
  int64_t folderCount;    // subfolders, "." and ".." not counted
  int64_t fileBytes;
  int64_t onDiscBytes;    // drives and discs: bytes of entries read from the medium
  int64_t audioTrackCount;
  int64_t audioBytes;
  int64_t totalBytes;     // fileBytes + audioBytes
  int64_t discBytes;      // drives and discs: the disc size in sectors × 2048
};

// ---- Entries and nodes ----

// A new zeroed entry with containerItem -1; null when memory runs out.
CTreeEntry* TreeNewEntry();
// As TreeNewEntry, carved from the arena, with `name` pointing at room for nameChars characters and a 0, and
// with `systemUse` (when systemUseBytes > 0) at room for that many bytes; both are uninitialised.
CTreeEntry* TreeArenaNewEntry(CTreeEntryArena* arena, size_t nameChars, int32_t systemUseBytes);
// Release the entry's name / System Use bytes (MemFree, or nothing for carved ones) and clear the field.
void TreeEntryFreeName(CTreeEntry* entry);
void TreeEntryFreeSystemUse(CTreeEntry* entry);
// Frees the entry's strings, buffers and extents, then the entry, unless it is the document's root entry, which
// stays with those fields cleared. Containers (input type 101) tell the interface hook first. Null accepted.
void TreeFreeEntry(CImageDocument* document, CTreeEntry* entry);
// Frees every non-null entry of a MemAlloc array of `count` entries, then the array.
void TreeFreeEntryArray(CImageDocument* document, CTreeEntry** array, int64_t count);
// Frees the folder's name, every entry and both indexes; the node and its subfolders stay.
void TreeFreeFolderEntries(CImageDocument* document, CTreeFolder* folder);
// Frees the folder, everything below it and the node itself. It is not unlinked from its parent (see
// TreeDeleteFolder). Null accepted.
void TreeFreeFolder(CImageDocument* document, CTreeFolder* folder);
// Frees the document's whole tree (when the document owns it) and its root entry; both pointers become null.
void TreeFreeDocumentTree(CImageDocument* document);

// Puts an entry at the head of the folder's entry list, sets its parent and adds it to the folder's wide-name
// index when that exists.
void TreeFolderPrependEntry(CTreeFolder* folder, CTreeEntry* entry);
// The folder node for a folder entry, appended at the end of the parent's subfolder list with depth parent + 1
// and linked both ways with the entry; its name is a copy of `path`. With `find` set, an existing subfolder
// whose display name equals the last component of `path` (ignoring case) is returned instead. Without an
// entry, a directory entry named after the last component, dated ImageGetFixedTime, is put at the head of the
// parent's list. Without a parent the node is a root (its own parent) and becomes the document's root folder
// when the document has none. Null when memory runs out.
CTreeFolder* TreeInsertFolderNode(CImageDocument* document, CTreeFolder* parent, const wchar_t* path,
                                  CTreeEntry* entry, int find);
// Adds a subfolder named `name` with a new directory entry (record date ImageGetFixedTime, volume sequence 1)
// at the head of the parent's entries. Returns the entry (its node is entry->folder), or null.
CTreeEntry* TreeAddFolderNode(CImageDocument* document, CTreeFolder* parent, const wchar_t* name);

// Removes an entry from its folder (hook, both indexes, Joliet order), frees it and unlinks it. Returns the
// entry that now precedes the gap, or the folder's new head when it was first; null for null.
CTreeEntry* TreeDeleteEntry(CImageDocument* document, CTreeEntry* entry);
// Removes a folder: its entry in the parent, everything below it, the node. 0, or -1 for null or the root.
int TreeDeleteFolder(CImageDocument* document, CTreeFolder* folder);

// ---- Lookup ----

// The folder at `path` below `start` (the document's root when null): components match subfolders' display
// names ignoring case; "/" is the root; one leading "/" is skipped. Null for "", for a missing component and
// for a path ending in "/".
CTreeFolder* TreeFindFolderByPath(CImageDocument* document, CTreeFolder* start, const wchar_t* path);
// The entry at `path`: "/" is the root's own entry; components that are folders are followed; a component that
// is not a folder must be the last one and is looked up among the folder's entries ignoring case. When every
// component was a folder (a trailing "/" allowed), the last folder's own entry. Null when nothing matches.
CTreeEntry* TreeFindEntryByPath(CImageDocument* document, CTreeFolder* start, const wchar_t* path);
// Follows `path` from the root, creating missing folders; the last folder (the root for ""), or null.
CTreeFolder* TreeWalkFolderPath(CImageDocument* document, const wchar_t* path);
// The first entry whose display name equals `name` ignoring case, or null.
CTreeEntry* TreeFindChildEntry(CTreeFolder* folder, const wchar_t* name);
// Looks `name` up in a folder: ignoring case while the folder has no wide-name index; after 1,001 compares
// without a match the index is built, and from then on lookups in that folder are exact.
CTreeEntry* TreeFolderFindEntry(CTreeFolder* folder, const wchar_t* name);
// TreeFindChildEntry in the folder, then depth-first in its subfolders except "." and "..".
CTreeEntry* TreeFindEntryRecursive(CTreeFolder* folder, const wchar_t* name);
// The first file of kTreeLargeFileSize bytes or more in the folder, else depth-first below it; null for none.
CTreeEntry* TreeFindLargeFile(CImageDocument* document, CTreeFolder* folder);
CTreeFolder* TreeGetEntryFolder(const CTreeEntry* entry);

// ---- Name indexes ----

uint32_t NameIndexHashIsoName(const char* name);     // bucket of an ISO name (the ";version" part ignored)
uint32_t NameIndexHashUtf16(const uint16_t* units);  // bucket of a 0-terminated UTF-16 name
uint32_t NameIndexHashWide(const wchar_t* name);     // bucket of the UTF-16 form of a wide name
// A new empty index, or null.
CNameIndex* NameIndexNew();
// Adds the entry under its ISO name / its display name (or, without one, its Joliet name). 1, or 0 when
// memory runs out or the entry has no such name.
int NameIndexAddIsoName(CNameIndex* index, CTreeEntry* entry);
int NameIndexAddWideName(CNameIndex* index, CTreeEntry* entry);
// Exact lookups: whole ISO names with their version; display names with wcscmp; Joliet names unit by unit.
CTreeEntry* NameIndexFindByIsoName(const CNameIndex* index, const char* name);
CTreeEntry* NameIndexFindByWideName(const CNameIndex* index, const wchar_t* name);
CTreeEntry* NameIndexFindByJolietName(const CNameIndex* index, const uint16_t* units);
// Unlink and free the entry's link.
void NameIndexRemoveIsoName(CNameIndex* index, CTreeEntry* entry);
void NameIndexRemoveWideName(CNameIndex* index, CTreeEntry* entry);
// Frees every link and clears the buckets; the index itself stays. Null accepted.
void NameIndexFree(CNameIndex* index);
// NameIndexFree, then the index itself.
void NameIndexDelete(CNameIndex* index);

// Add the entry to, or remove it from, the folder's wide-name index when the folder has one.
void TreeIndexEntry(CImageDocument* document, CTreeFolder* folder, CTreeEntry* entry);
void TreeUnindexEntry(CImageDocument* document, CTreeFolder* folder, CTreeEntry* entry);
// Frees the wide-name indexes of the folder and of every folder below it.
void TreeFreeEntryIndex(CImageDocument* document, CTreeFolder* folder);

// ---- Sizes, statistics, structure ----

// 1 when the entry's record marks a directory (inline: sorting and counting ask it of every entry).
inline int TreeEntryIsFolder(const CTreeEntry* entry) {
  return entry != nullptr && (entry->directoryRecord[kDirRecordFlags] & kDirFlagDirectory) != 0 ? 1 : 0;
}
// 1 for an entry named "." or "..".
int TreeEntryIsDotName(const CTreeEntry* entry);
// 0 for ".", 1 for "..", -1 for other entries: by the entry's one-byte ISO identifier (0 or 1) when it has one,
// else by its display name.
int TreeEntryDotKind(const CTreeEntry* entry);
// Fills `statistics` (zeroed first) for the folder, and with `recursive` for everything below it; returns the
// total bytes (for drives and discs, the disc size).
int64_t TreeGetStatistics(CImageDocument* document, CTreeFolder* folder, CTreeStatistics* statistics,
                          int recursive);
// The size a listing shows: the byte size, or for a CD-XA file of a raw Mode 2 image the raw sectors plus
// the 44-byte RIFF header its extraction carries.
int64_t TreeGetEntryListedSize(CImageDocument* document, const CTreeEntry* entry);
// Last sector of the entry's data (over all its extents).
int64_t TreeGetEntryLastSector(CImageDocument* document, const CTreeEntry* entry);
// 1 when every file of several extents in the folder and its visible subfolders has each extent starting where
// the previous one ended; else 0.
int TreeCheckExtentsContiguous(CImageDocument* document, CTreeFolder* folder);
// 1 when the entry's data comes from a local file rather than the image.
int TreeIsEntryFromDisk(CImageDocument* document, const CTreeEntry* entry);
// Sets the depth of every folder below `folder` to its parent's + 1.
void TreeFixDepths(CTreeFolder* folder);
// Gives the folder's ".." entry the folder's parent as its parent.
void TreeLinkDotDot(CTreeFolder* folder);

// ---- Paths (new MemAlloc strings, released with MemFree; null on failure) ----

// "/" and the display names from below `top` (the root when null) down to `folder`, separated by "/", with room
// for `extra` more characters; "/" for the top itself; null when the folder lies more than 1,022 levels deep or
// not below `top`.
wchar_t* TreeBuildEntryPath(CImageDocument* document, CTreeFolder* folder, CTreeFolder* top, int32_t extra);
// As TreeBuildEntryPath, with the names made safe as local names: each of \ * / : < > becomes '_', a name "."
// becomes "_" and ".." becomes "__".
wchar_t* TreeGetNodeRelativePath(CImageDocument* document, CTreeFolder* folder, CTreeFolder* top, int32_t extra);
// The entry's path from the root ("/dir/name"), with every '\\' turned into '/'.
wchar_t* TreeGetNodeFullPath(CImageDocument* document, const CTreeEntry* entry);

// Makes the root folder for the document's root entry: 0, or -1.
int ImageCreateRoot(CImageDocument* document);
