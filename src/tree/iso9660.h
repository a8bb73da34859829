// ISO 9660 and High Sierra volumes of an opened image: classifying the volume descriptor set, choosing the
// hierarchy to load (primary, Joliet, or primary with Rock Ridge names) and loading it into the document's tree.
// Every entry keeps the first 34 bytes of its directory record and a copy of its System Use area, so that the
// image builder can lay the files out again.
//
// All of it reads untrusted bytes: every record, System Use entry and continuation area is checked against its
// sector, its extent and the volume before use; walks over directories and continuation areas are bounded.
#pragma once

#include <cstddef>
#include <cstdint>

struct CImageDocument;
struct CTreeEntry;
struct CTreeFolder;

// Results of IsoParseVolumeDescriptors.
enum : int {
  kIsoDescriptorOther = -1,
  kIsoDescriptorPrimary = 1,
  kIsoDescriptorJoliet = 2,  // a supplementary descriptor with a "%/" escape
  kIsoDescriptorBootRecord = 3,
  kIsoDescriptorTerminator = 4,
  kIsoDescriptorHighSierra = 5,
};

// Bits of the System Use entries met by IsoParseRockRidge.
enum : uint32_t {
  kSuspPX = 0x01,
  kSuspPN = 0x02,
  kSuspSL = 0x04,
  kSuspNM = 0x08,
  kSuspCL = 0x10,
  kSuspPL = 0x20,
  kSuspRE = 0x40,
  kSuspTF = 0x80,
  kSuspSP = 0x400,
  kSuspAA = 0x800,
  kSuspXA = 0x1000,  // a CD-XA record preceded the entries
  kSuspER = 0x4000,
};

// Continuation areas followed for one System Use area.
constexpr int kSuspMaxContinuations = 16;
// Characters of a Rock Ridge name, its NUL included.
constexpr size_t kRockRidgeNameChars = 4096;

// Forgets what an earlier descriptor scan of the document found: call before each scan of a descriptor set.
void IsoResetParseState(CImageDocument* document);

// Classifies one 2048-byte sector of the descriptor set found at `lba` and takes what it describes into the
// document: kIsoDescriptorPrimary, kIsoDescriptorJoliet, kIsoDescriptorBootRecord, kIsoDescriptorTerminator,
// kIsoDescriptorHighSierra, or kIsoDescriptorOther (also for a second primary descriptor, and for a primary
// descriptor whose root directory cannot be read).
int IsoParseVolumeDescriptors(CImageDocument* document, int64_t lba, const uint8_t* sector);

// Loads the chosen hierarchy under the document's root folder (made when there is none): 0, or -1 when the root
// directory cannot be read.
int IsoLoadTree(CImageDocument* document);

// Reads the directory whose record is `record` (at least 34 bytes): a new MemAlloc array of new entries, one
// per accepted record (the records of one file stored in several extents make one entry), with `*count` set;
// null with `*count` 0 when the directory cannot be read or holds nothing. Free with TreeFreeEntryArray.
CTreeEntry** IsoReadDirectory(CImageDocument* document, const uint8_t* record, int64_t* count);

// Hangs the entries on `folder` (each prepended, so the list runs in reverse record order) and loads every
// subdirectory below it. Takes the entries, not the array. Each directory extent is read once: a directory that
// leads back to one already loaded (its ancestor or itself) is left empty.
void IsoLoadDirectoryTree(CImageDocument* document, CTreeFolder* folder, CTreeEntry** entries, int64_t count);

// Looks at the extent of `record`: -1 when the record's LBA or length is not the same in both byte orders or
// the extent's first sector cannot be read; 0 when that sector's first record is not consistent; 2 when it is.
int IsoReadExtentFirstSector(CImageDocument* document, const uint8_t* record);

// Decodes the identifier of `record` (a whole directory record, at least 33 + its identifier length bytes).
// With `output` (room for `capacity` characters) the name goes there; otherwise it becomes the entry's display
// name, unless the entry already has one. Returns the characters of the name, or -1 when memory runs out.
int32_t IsoDecodeFileIdentifier(CImageDocument* document, CTreeEntry* entry, uint8_t* record, wchar_t* output,
                                size_t capacity);

// The System Use area of a directory record whose length and identifier length were checked; null with
// `*length` 0 when it has none.
const uint8_t* IsoGetSystemUseArea(const uint8_t* record, int32_t* length);
// Bytes at the start of a System Use area to step over: 14 for a CD-XA record, the whole area when it holds no
// entries, else 0.
int32_t IsoSystemUseSkipXa(const uint8_t* area, int32_t length);
// How a walk over System Use entries ended.
enum class CSuspWalkEnd {
  kEnded,    // every entry was visited (or "ST", or the visitor's stop)
  kDamaged,  // an entry's length left its area, a continuation could not be read, or they went round
  kRefused,  // an entry of a version other than 1 or 2
};
// The one walk over System Use entries: the entries of an area and, with `follow`, of the continuation areas
// its "CE" entries name (at most kSuspMaxContinuations, each clamped to its block and the volume); zero bytes to
// the end of an area are padding. `visit` returns false to stop; once `*done` is set (when given), the walk ends
// with the area it is in. "CE" and "ST" entries are the walk's own and are not visited.
CSuspWalkEnd IsoWalkSystemUseEntries(CImageDocument* document, const uint8_t* area, int32_t length, bool follow,
                                     const bool* done, bool (*visit)(void* context, const uint8_t* entry, int length),
                                     void* context);
template <typename Visit>
CSuspWalkEnd IsoWalkSystemUse(CImageDocument* document, const uint8_t* area, int32_t length, bool follow,
                              const bool* done, Visit&& visit) {
  return IsoWalkSystemUseEntries(
      document, area, length, follow, done,
      [](void* context, const uint8_t* entry, int entryLength) {
        return (*static_cast<Visit*>(context))(entry, entryLength);
      },
      &visit);
}
// Scans a System Use area (and up to kSuspMaxContinuations continuation areas) for its entries: the kSusp* bits
// met. `*rockRidge` (when given) becomes 1 when the entries mark Rock Ridge: an "RR" entry, or an "SP" entry
// followed by an "ER" entry of the Rock Ridge extension or by PX, NM or TF entries. `*suspSkip` (when given)
// receives the bytes the "SP" entry says to skip in every other System Use area.
uint32_t IsoParseRockRidge(CImageDocument* document, const uint8_t* area, int32_t length, int* rockRidge,
                           int32_t* suspSkip);
// Collects the Rock Ridge name ("NM" entries, through continuation areas) of a System Use area into `name`
// (room for `capacity` characters). Returns its characters (0: the area holds no name), or -1 when the area is
// damaged or the name does not fit; `name` is then "".
int32_t RockRidgeReadName(CImageDocument* document, const uint8_t* area, int32_t length, wchar_t* name,
                          size_t capacity);
