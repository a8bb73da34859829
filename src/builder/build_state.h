// builder/: laying out and writing new images: ISO and Joliet names, adding local files, duplicate merge and
// file order, the layout, the ISO 9660 and Joliet structures, El Torito and descriptor writing, Rock Ridge
// writing, the UDF bridge, and the sector map of an image built for direct writing. It may use every folder
// below it (runtime/, image/, tree/ and the readers) and reports progress through the user-interface seam.
//
// The working state of one build: the layout cursor, the write position, the path-table sizes, and the records
// the builder's steps keep while they run (duplicate merge, Rock Ridge relocation, UDF layout, path tables).
// It belongs to the document being built and every step reaches it through that document. IsoBuildBegin gives the
// document a fresh one and IsoBuildEnd frees it, so nothing of one build reaches the next, nor of one document
// another; a step called outside a build gets a record made for the document on first use.
#pragma once

#include <cstdint>
#include <new>

struct CImageDocument;
struct CTreeEntry;
struct CTreeFolder;

// A caller's progress block. No command hands one in: the console shows the progress instead.
struct CProgressCallbacks {
  CImageDocument* document;
};

struct CIsoBuildState {
  int64_t sessionStart;      // LBA of this session's sector 0 (0 for a new image)
  int64_t nextFreeLba;       // layout cursor
  int64_t writePosition;     // LBA of the next sector to write
  int64_t headLength;        // sectors from the session start to the end of the descriptors
  int32_t isoDirectoryCounter;
  int32_t jolietDirectoryCounter;
  int64_t isoPathTableBytes;
  int64_t isoPathTableSectors;
  int64_t jolietPathTableBytes;
  int64_t jolietPathTableSectors;
  uint32_t isoPathTableL, isoPathTableM;
  uint32_t jolietPathTableL, jolietPathTableM;
  uint8_t primaryRootRecord[34];
  uint8_t jolietRootRecord[34];
  int32_t isoDirectoryCount;     // directories numbered by the last pass
  int32_t jolietDirectoryCount;
};

// The steps' own records inside a document's build, one per kind.
enum : int {
  kBuildPartOptimize,
  kBuildPartRockRidge,
  kBuildPartUdf,
  kBuildPartPathTables,
  kBuildPartFileBatch,
  kBuildPartCount,
};

struct CIsoBuild;

// Starts a build of `document` with fresh working state; IsoBuildEnd frees it (ImageClose too, for a build
// that never ended).
void IsoBuildBegin(CImageDocument* document);
void IsoBuildEnd(CImageDocument* document);
void IsoBuildFree(CIsoBuild* build);
// The record of kind `part` in the document's build, made by `make` on first use and freed by `drop` with it.
void* IsoBuildPartGet(CImageDocument* document, int part, void* (*make)(), void (*drop)(void*));
template <typename T>
T& IsoBuildPart(CImageDocument* document, int part) {
  return *static_cast<T*>(IsoBuildPartGet(
      document, part, []() -> void* { return new T(); }, [](void* record) { delete static_cast<T*>(record); }));
}

// The working state of the document's build (a build record is made on first use when none has begun).
CIsoBuildState* IsoBuildState(CImageDocument* document);
// True when the write position stands where the layout put the structure about to be written; otherwise the
// abort code is set, since anything else would shift every later sector.
bool IsoAtPlannedPosition(CImageDocument* document, int64_t lba);

// Writes one file's data at the write position: `size` bytes from memory (`data`), from a local file
// (`sourcePath`), or from the source image's extents / `sourceLba`. Advances the write position by
// ceil(size / 2048). 0, or -1 with the abort code set.
int IsoWriteFileData(CImageDocument* document, CProgressCallbacks* progress, CTreeEntry* entry, const uint8_t* data,
                     int64_t sourceLba, const wchar_t* sourcePath, int64_t size);

// 1 when the document records its image in its sector map (an image built for direct writing, with no output
// file) instead of writing sectors.
int IsoBuildsInMemory(const CImageDocument* document);

// Reads `bytes` bytes of an entry's data at byte `offset` from the source image: through its extent list when it
// has one, else from `sourceLba` on. `buffer` has room for `bytes` rounded up to whole sectors. 1, or 0 with the
// abort code set by the failed read.
int IsoReadEntrySourceData(CImageDocument* document, const CTreeEntry* entry, int64_t sourceLba, int64_t offset,
                           int64_t bytes, uint8_t* buffer);

// Adds `bytes` to the build's progress line.
void IsoProgressAdd(CProgressCallbacks* progress, int64_t bytes);
