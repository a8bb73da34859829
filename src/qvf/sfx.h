// Self-extracting QVF images: an executable stub, a property block, zero fill to a multiple of 1024, the QVF
// stream, and a 28-byte type-5 trailer as the file's last bytes telling readers where the stream and the
// property block are.
//
// Layout of the property block: u32 7, u32 total size, u32 entry count, u32 0, u32 0, then for every slot that
// holds a value, in slot order: u32 slot, u32 length n, n bytes. The slots mean something to the stub only.
//
// Nothing here knows CQvfContext: the container's writer and reader call these with plain handles and records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline constexpr int kSfxPropertySlots = 1024;
inline constexpr int kSfxTrailerSize = 28;
inline constexpr uint32_t kSfxTrailerType = 5;
inline constexpr int kSfxPropertyHeaderSize = 20;
inline constexpr uint32_t kSfxPropertyBlockType = 7;
// The stream of a self-extracting image starts at a multiple of this, at least this far past the property block.
inline constexpr int64_t kSfxImageAlignment = 1024;
// Only a file larger than this is looked at for a trailer.
inline constexpr int64_t kSfxMinFileSize = 65536;
// Largest property block read from a file.
inline constexpr int64_t kSfxPropertyBlockMax = 64 << 20;
// The stub's file name, looked for in the program's directory.
inline constexpr const char* kSfxStubName = "qDelver.SFX";

struct CSfxProperty {
  int32_t used = 0;  // the slot holds a value (possibly of 0 bytes)
  std::vector<uint8_t> bytes;
};

// The properties of a self-extracting image, owned by the image document. A normal C++ object: make it with
// QvfNewSfxProperties and release it with QvfFreeSfxProperties.
struct CSfxPropertyTable {
  CSfxProperty slots[kSfxPropertySlots];
  // Where the property block and the stream were in the last file written or read.
  int64_t propertyOffset = 0;
  int64_t propertySize = 0;
  int64_t imageOffset = 0;
};

// The fields of the type-5 trailer (u32 5, u32 28, u32 0, property offset, property size, image offset, u32 0).
struct CSfxTrailer {
  uint32_t propertyOffset;  // the stub's size
  uint32_t propertySize;
  uint32_t imageOffset;     // the stream base, a multiple of 1024 when written here
};

// A table of 1024 empty slots; null on lack of memory.
CSfxPropertyTable* QvfNewSfxProperties();
// Frees every slot and the table; null is accepted.
void QvfFreeSfxProperties(CSfxPropertyTable* table);
// Stores a copy of `length` bytes in `slot` (0..1023): 1, or 0 for a bad slot, a negative length or null bytes
// with a non-zero length.
int QvfSetSfxProperty(CSfxPropertyTable* table, int32_t slot, const void* bytes, int32_t length);

// The property block of `table` (null: no slots) appended to `out` after clearing it. 1, or 0 when the block
// would not fit a u32 size.
int QvfBuildSfxPropertyBlock(const CSfxPropertyTable* table, std::vector<uint8_t>* out);
// Reads a property block of `length` untrusted bytes into `table`, replacing its slots only on success: type 7,
// a total size of at least 20 and at most `length`, at most 1024 entries, every slot below 1024 and every entry
// inside the total size. 1, or 0 for a damaged block (the table is then unchanged).
int QvfParseSfxPropertyBlock(CSfxPropertyTable* table, const uint8_t* bytes, size_t length);
// Reads the property block named by `trailer` from `file` (of `fileSize` bytes) and parses it into `table`,
// recording the trailer's offsets in it. The block must lie inside the file before the image offset and hold
// at most kSfxPropertyBlockMax bytes. 1, or 0 (the open then fails).
int QvfReadSfxProperties(CSfxPropertyTable* table, FILE* file, int64_t fileSize, const CSfxTrailer& trailer);

// The 28 trailer bytes of `trailer`.
void QvfMakeSfxTrailer(const CSfxTrailer& trailer, uint8_t out[kSfxTrailerSize]);
// 1 with the fields in `trailer` when `bytes` (at least 28) start with type 5 and length 28; else 0.
int QvfParseSfxTrailer(const uint8_t* bytes, size_t length, CSfxTrailer* trailer);
// 1 with the fields in `trailer` when `file` (of `fileSize` bytes) is larger than 65,536 bytes and its last 28
// bytes are a type-5 trailer; else 0. The stream's position is left undefined.
int QvfFindSfxTrailer(FILE* file, int64_t fileSize, CSfxTrailer* trailer);

// The stub's path: kSfxStubName in the directory of the running program; empty when that is unknown.
std::string QvfSfxStubPath();
// The stub opened for reading; null when the program's directory is unknown or the stub is missing.
FILE* QvfOpenSfxStub();

// Writes the head of a self-extracting image to `output` (empty or to be overwritten): all of `stub` (read
// from its current position to its end) at offset 0, the property block of `table` (null: no slots) after
// it, and at least 1024 zeros, up to a multiple of 1024 (a 5,000-byte stub and no slots: the stream at 6,144). Fills `trailer` and, when `table` is not null, its recorded
// offsets. Returns the image offset (where the stream begins; the output is positioned there), or -1 when a
// read or write fails or the offsets exceed 32 bits.
int64_t QvfWriteSfxHead(FILE* output, FILE* stub, CSfxPropertyTable* table, CSfxTrailer* trailer);
