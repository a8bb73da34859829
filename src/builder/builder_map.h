// CImageBuilder: the image being built for direct writing (a burn, or a raw write), kept as a map of where each
// output sector's bytes come from instead of the bytes themselves. Sectors the builder generates (descriptors,
// directories, tables) are held in its data area; file data stays in the local files and unchanged data in the
// source image, and both are read back only when the sector is asked for. A coarse map of which tree entry owns
// which sector gives the burn progress its file names.
//
// The map has one 8-byte entry per output sector, counted from the first sector of the session being built
// (the document's buildSessionStart). Flags word: the kind in the top 4 bits, kBuiltLastSector for the last sector
// of a file, the byte count of the sector in the low 24 bits. Value word: see the kinds below.
#pragma once

#include <cstdint>
#include <cstdio>

struct CImageDocument;
struct CTreeEntry;

// Kinds of map entries.
enum : uint32_t {
  kBuiltSourceSector = 1,  // value: a 2048-byte sector of the opened source image
  kBuiltFileFirst = 2,     // value: data-area offset of a file reference; the first sector of a file's data
  kBuiltFileNext = 3,      // value: as kind 2; a further sector of the file, or a sector queued from a later position
  kBuiltGenerated = 4,     // value: data-area offset of a whole sector held in memory
};
constexpr uint32_t kBuiltLastSector = 1u << 24;
constexpr uint32_t kBuiltByteCountMask = 0xFFFFFF;
constexpr int kBuiltKindShift = 28;

struct CBuiltSector {
  uint32_t flags;
  uint32_t value;
};

inline uint32_t BuiltSectorKind(const CBuiltSector& entry) { return entry.flags >> kBuiltKindShift; }
inline uint32_t BuiltSectorBytes(const CBuiltSector& entry) { return entry.flags & kBuiltByteCountMask; }

// A file reference in the data area names the file a run of kind-2/3 entries reads and where in the file the run
// starts, so that any sector of it is found without walking the map: its file position is the run's position
// plus 2048 for every entry before it (only a run's last entry may hold fewer bytes). A reference names its file
// by a wide path, or by the caller's non-zero value, in which case the builder's current stream is read.

struct CImageBuilder {
  uint8_t* data;  // generated sectors and file references; offsets into it fit the 32-bit value word
  int64_t dataCapacity;
  int64_t dataUsed;
  CBuiltSector* map;
  int64_t mapCapacity;
  int64_t mapUsed;
  FILE* currentFile;  // the stream of the file being read back
  CImageDocument* document;
  CTreeEntry** owners;  // one entry per slot of ownerGranularity sectors; not owned
  int32_t ownerGranularity;
  int64_t ownerSlots;
  int64_t ownerSectors;     // sectors of the image the owner map covers
  int64_t firstFileSector;  // relative to the session start; -1 until the first owner is recorded
  // Reading and queueing state.
  int64_t currentFileRef;  // reference whose file currentFile is; -1 when it was not opened here
  int64_t lastFileRef;     // reference of the last file queued from position 0; -1 none
  int64_t lastPiece;       // reference of the last file piece queued; -1 none
  uint8_t* work;           // raw reads: the 2048-byte pieces before they are encoded
  int32_t readErrorShown;  // "Error reading image data." was shown to the burn job
};

// A builder for `document` with a 1 MiB data area and a 65,536-entry map; null when memory runs out. The caller
// hangs it on document->builder (ImageClose frees it there) and sets document->readFromBuilder while the image is
// drained; the build itself keeps reading its source image through the ordinary path.
CImageBuilder* ImageBuilderNew(CImageDocument* document);
// Frees the data area, the map, the current file, the owner map and the builder; null accepted.
void ImageBuilderFree(CImageBuilder* builder);
// Appends n zeroed map entries: the first of them, or null when memory runs out or the map would pass 2^32
// entries. The map grows geometrically, in steps of at least 65,536 entries.
CBuiltSector* ImageBuilderReserve(CImageBuilder* builder, int64_t n);
// Appends n zeroed bytes to the data area: their start (its offset in *offset), or null when memory runs out or
// the area would pass 4 GiB. The area grows geometrically, in steps of at least max(n, 1 MiB).
uint8_t* ImageBuilderReserveData(CImageBuilder* builder, int64_t n, uint32_t* offset);

// Queues `count` sectors of the source image from `firstSourceSector` on (kind 1); the last one is marked as the
// end of a file when `last` is set. The entries queued, or -1.
int64_t ImageBuilderQueueFill(CImageBuilder* builder, int64_t firstSourceSector, int64_t count, int last);
// Queues `bytes` bytes of a local file starting at file offset `position`: ceil(bytes / 2048) entries of up to
// 2048 bytes, kind 2 when the position is 0, else kind 3. The file is `path`; with no path, `value` (non-zero
// from position 0) stands for the builder's current stream, and a later piece without a path continues the
// file last queued from position 0. The last entry is marked as the end of the file when `last` is set. Pieces
// that continue the previous one share its reference. The entries queued, or -1.
int64_t ImageBuilderQueueData(CImageBuilder* builder, const wchar_t* path, uint32_t value, int64_t position,
                              int64_t bytes, int last);
// Copies `size` bytes of generated sectors into the data area, zero-padding the last, and queues one kind-4 entry
// per sector: 2352-byte sectors when the document is raw Mode 2, else 2048. The entries queued, or -1.
int64_t ImageBuilderQueueGenerated(CImageBuilder* builder, const void* bytes, int64_t size);
// Bytes of one sector as the builder keeps and delivers them: 2352 for raw Mode 2 documents, else 2048.
int32_t ImageBuilderSectorSize(const CImageDocument* document);

// Reads n sectors of the image being built, numbered from the first sector of the disc, into `buffer` (n times
// ImageBuilderSectorSize bytes, zero-filled first). Generated sectors come from memory, file data from the local
// files, source sectors from the source image (runs of each in one read); raw Mode 2 documents get Form 1 sectors
// carrying their output address, with the end-of-file sub-mode bit on a file's last sector. A sector outside the
// map or a damaged entry sets abort code 4, a file that does not open is reported and sets 10, a short file read
// is reported and sets 4, a failed source read is reported by the source read: each ends the read. While a burn
// job drains the image (document->burnJobReading) those sectors stay zero instead, "Error reading image data." is
// shown once, and the read goes on. Returns the sectors delivered.
int64_t ImageReadBuiltSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);

// Sizes the owner map from the image's sectors (its readable limit less the session start): one slot per 128
// sectors, all empty. The slot count, or -1.
int64_t ImageInitSectorOwnerMap(CImageDocument* document);
// Records `entry` as the owner of every slot whose first sector lies in [sector, sector + count), and of the slot
// holding the last sector when that is a later slot than the first. The first call also records the first file
// sector. 0, or -1 without a builder or for an empty range before the session start.
int ImageSetSectorOwner(CImageDocument* document, int64_t sector, int64_t count, CTreeEntry* entry);
// The display name of the entry that owns the sector's slot. With none: "Directory information" for sectors
// before the first file sector plus 127 (or for every sector while no file was recorded), else null. Null outside
// the image.
const wchar_t* ImageGetFileNameAtSector(const CImageDocument* document, int64_t sector);
