// Rock Ridge (RRIP 1991A over the System Use Sharing Protocol) for the directory records of a new image: the
// entries of each record (SP, RR, NM, PX, TF, SL, RE/PL/CL, CE), the continuation areas that take what does not
// fit in a record, the ER sector the root points at, and POSIX link counts.
//
// Entries are built per entry into its System Use buffer (systemUse: the in-record part first, systemUseLength
// bytes, then the continuation parts, systemUseCapacity bytes in all). The layout gives the ER sector and the
// continuation areas sectors of their own after the directories and fills the CE fields; the write pass writes
// those sectors in the same order.
#pragma once

#include <cstdint>

struct CImageDocument;
struct CProgressCallbacks;
struct CTreeEntry;
struct CTreeFolder;

// POSIX attributes of one entry. Dates are 7-byte directory-record dates.
struct CRockRidgeAttributes {
  uint32_t mode;
  uint32_t links;
  uint32_t owner;
  uint32_t group;
  int64_t size;
  uint8_t access[7];
  uint8_t modification[7];
  uint8_t change[7];
};

// RockRidgeBuildEntries flags.
enum : uint32_t {
  kRockRidgeRE = 0x01,       // the folder was relocated here
  kRockRidgePL = 0x02,       // ".." of a relocated folder
  kRockRidgeCL = 0x04,       // placeholder of a relocated folder
  kRockRidgeEndCe = 0x08,    // end with a CE (the root's "." record: it points at the ER sector)
  kRockRidgeSP = 0x10,       // begin with SP (the root's "." record)
};

// Bytes of System Use a record may hold: records stay below 256 bytes, and the head counted against them is at
// least this long.
constexpr int kRockRidgeRecordRoom = 254;
constexpr int kRockRidgeMinimumHead = 70;
// Bytes of one continuation part.
constexpr int kRockRidgeContinuationRoom = 2040;
// Folders below this depth (the root is 0) are moved under the relocation folder: ISO 9660 allows eight levels.
constexpr int kRockRidgeMaxDepth = 7;
// The relocation folder made under the root for folders nested too deep.
inline constexpr wchar_t kRockRidgeMovedName[] = L"rr_moved";

// Attributes of an entry without a local file: the entry's own Rock Ridge entries as read from its image (or as
// built earlier) when it has them, else the default mode 0555 with the directory or regular-file type, one link,
// owner and group 0, all three dates the record's date. Link counts of folders are set by
// RockRidgeBuildFolderEntries. 1 when taken from Rock Ridge entries, 0 for the defaults.
int RockRidgeGetEntryAttributes(CImageDocument* document, const CTreeEntry* entry, CRockRidgeAttributes* attributes);

// Builds the entries of one record into the entry's System Use buffer; `name` is the display name (null or "."
// / ".." for the dot records, which carry no NM). Returns the in-record length, or -1 when memory runs out.
int32_t RockRidgeBuildEntries(CImageDocument* document, const wchar_t* name, CTreeEntry* entry,
                              const CRockRidgeAttributes* attributes, uint32_t flags);

// Builds the entries of every record of one folder (its names and ISO identifiers made): attributes from the
// local file, else RockRidgeGetEntryAttributes; link counts of folders. 0, or -1 with the abort code set.
int RockRidgeBuildFolderEntries(CImageDocument* document, CTreeFolder* folder);

// The folder a folder's ".." leads to in the ISO 9660 hierarchy: the relocation folder for a relocated folder,
// else its parent (the root is its own parent).
CTreeFolder* RockRidgeIsoParent(CImageDocument* document, const CTreeFolder* folder);
// 1 for the entry that stands for a relocated folder in its parent: in the ISO 9660 hierarchy it is an empty
// file record whose CL entry leads to the folder.
int RockRidgeIsPlaceholder(const CTreeEntry* entry);

// The folder a folder entry stands for: its own node, or for a record in the relocation folder the relocated
// folder. Null for files.
CTreeFolder* RockRidgeEntryFolder(CImageDocument* document, const CTreeEntry* entry);
// The record that names a folder in the ISO 9660 hierarchy: its record in the relocation folder when it was
// relocated, else its own entry.
const CTreeEntry* RockRidgeIsoEntry(CImageDocument* document, const CTreeFolder* folder);

// Gives folders nested deeper than ISO 9660 allows a second record in the relocation folder of the root (made
// for the build, hidden from Joliet); their own records become placeholders. Only the ISO 9660 hierarchy sees
// the move: Rock Ridge readers put the folders back, Joliet keeps them in place. 0, or -1 with the abort code
// set.
int RockRidgeRelocateDeepFolders(CImageDocument* document);
// Undoes RockRidgeRelocateDeepFolders after the build, so the document's tree is the one the user sees.
void RockRidgeRestoreRelocatedFolders(CImageDocument* document);
// After an image with Rock Ridge was loaded: folders its writer relocated (CL placeholders, RE folders) go back
// to their places, and the relocation folder goes when nothing else is left in it.
void RockRidgeResolveRelocations(CImageDocument* document);

// The ER sector's bytes (2048) with the RRIP_1991A extension; `*length` receives the ER entry's length.
const uint8_t* RockRidgeBuildEr(CImageDocument* document, int32_t* length);

// Layout: the ER sector at `lba`, then the continuation areas of every folder, in pre-order; the CE entries of
// the records are filled. Advances the build's layout cursor.
void RockRidgePlaceErSector(CImageDocument* document, int64_t lba);
// Writes the ER sector and the continuation areas at the write position. 0, or -1 (abort code set).
int RockRidgeWriteErSector(CImageDocument* document, CProgressCallbacks* progress);
