// The ISO 9660 and Joliet structures of a new image: record sizes and order, directory numbering and extents,
// path tables, the fixed descriptor sectors, directories and file data. The layout (layout.h) calls these in
// its order; every writer writes at the build's write position and advances it.
#pragma once

#include <cstdint>
#include <vector>

struct CImageDocument;
struct CProgressCallbacks;
struct CTreeEntry;
struct CTreeFolder;

// ---- Order and sizes ----

// ISO identifier order: "." first, ".." second, then byte by byte with the end of the identifier before ";",
// ";" before ".", "." before every other byte; versions are not compared. <0, 0, >0.
int IsoCompareEntries(const CTreeEntry* a, const CTreeEntry* b);
// Sorts a folder's entry list into ISO identifier order (stable).
void IsoSortEntries(CTreeFolder* folder);
// Bytes of the folder's ISO directory: records placed so that none reaches the last byte of a sector.
uint32_t IsoMeasureDirectory(const CTreeFolder* folder);
// Joliet order of two UTF-16 names: unit by unit, a name that is a prefix of the other first. <0, 0, >0.
int JolietCompareNames(const uint16_t* a, int32_t aLength, const uint16_t* b, int32_t bLength);
// Builds every folder's Joliet list (visible entries in Joliet order), its Joliet extent size and the Joliet
// path-table size. 0, or -1 (abort code set) when a record cannot be made.
int JolietSizeDirectories(CImageDocument* document, CTreeFolder* folder);

// ---- Numbering and placement ----

// Pass 1 numbers the directories only (LBA 0); pass 0 numbers them again and gives every directory without an
// LBA its extent at the layout cursor. Pre-order over the ISO (or Joliet) order.
void IsoAssignDirectoryExtents(CImageDocument* document, CTreeFolder* folder, int pass);
void JolietAssignDirectoryExtents(CImageDocument* document, CTreeFolder* folder, int pass);
// Pass 1 clears every file's LBA; pass 0 places the files of each folder, then its subfolders, at the layout
// cursor, offering each placed file to the duplicate merge.
void IsoAssignFileExtents(CImageDocument* document, CTreeFolder* folder, int pass, CProgressCallbacks* progress);

// ---- Path tables ----

// Reserve the L and M tables at the layout cursor.
void IsoReservePathTables(CImageDocument* document);
void JolietReservePathTables(CImageDocument* document);
// Fill the dot and directory records, then build both tables of each kind in memory. 0, or -1 (abort code set:
// more than 65,535 directories, or no memory).
int IsoBuildPathTables(CImageDocument* document);
int JolietBuildPathTables(CImageDocument* document);
int IsoWritePathTables(CImageDocument* document, CProgressCallbacks* progress);
int JolietWritePathTables(CImageDocument* document, CProgressCallbacks* progress);

// ---- Writing ----

int IsoWriteZeroSectors(CImageDocument* document, int64_t count, CProgressCallbacks* progress);
// Writes `count` sectors of `buffer` at the write position (or queues them for an image built in memory).
int IsoWriteSectors(CImageDocument* document, const void* buffer, int64_t count, CProgressCallbacks* progress);
int IsoWritePrimaryDescriptor(CImageDocument* document, CProgressCallbacks* progress);
int JolietWriteDescriptor(CImageDocument* document, CProgressCallbacks* progress);
int IsoWriteTerminator(CImageDocument* document, CProgressCallbacks* progress);
int IsoWriteMarkerSector(CImageDocument* document, CProgressCallbacks* progress);
int IsoWriteDirectoryTree(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress);
int JolietWriteDirectoryTree(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress);
// Writes, in tree order, every non-empty file whose LBA is the write position.
int IsoWriteAllFileData(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress);

// Frees the path-table buffers and zeroes both path-table sizes.
void IsoFreeWriterBuffers(CImageDocument* document);

// The folders below (and including) `folder` in pre-order over the ISO order, or over the Joliet order (hidden
// folders and what lies below them left out).
void IsoCollectFolders(CImageDocument* document, CTreeFolder* folder, bool joliet, std::vector<CTreeFolder*>* out);
