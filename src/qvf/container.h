// qvf/: the program's own QVF container: its on-disk records, the reader and writer, volumes, the password
// scrambling, the self-extractor trailer, and the deflate, inflate and Lzma86 coders its chunks use. It uses
// runtime/, image/ and tree/, asks for passwords through the user-interface seam, and never another reader
// folder.
//
// The QVF container: the bytes on disc and the one record, CQvfContext, that reads or writes a stream.
//
// A stream is a 76-byte main header at the stream base, typed blocks up to the index offset, the chunk index
// (unless stored at the end), then the chunks, each compressed on its own (raw deflate, or LZMA in the Lzma86
// framing) and followed by its CRC-32. QDI is the sibling product's form of the same container: another magic,
// another way of storing the block-type variant, and its own index scrambling; it is read, never written.
//
// Every byte of a stream is untrusted: the helpers here check every field against the buffer they were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "qvf/cipher.h"
#include "runtime/byte_reader.h"
#include "qvf/sfx.h"

struct CImageDocument;
struct CBlockCache;
struct CQvfWritePipeline;
struct CQvfPrefetch;

inline constexpr int kQvfHeaderSize = 76;
inline constexpr int kQvfHeaderCrcOffset = 72;
inline constexpr uint32_t kQvfVersion100 = 0x100;
inline constexpr uint32_t kQvfVersion110 = 0x110;
inline constexpr uint32_t kQvfVersion150 = 0x150;
// Version 0x100 chunks are always this large.
inline constexpr uint32_t kQvfClassicChunkSize = 0x10000;
// Chunk sizes of later versions are stored in these units.
inline constexpr uint32_t kQvfChunkUnit = 16384;
// Typed-block types.
enum : uint32_t {
  kQvfBlockVolumeParams = 1,
  kQvfBlockVolumeSizes = 2,
  kQvfBlockPassword = 3,
  kQvfBlockComment = 4,
  kQvfBlockSfxTrailer = 5,
  kQvfBlockAppended = 6,
  kQvfBlockSelection = 7,
};
inline constexpr int kQvfAppendedTrailerSize = 20;
inline constexpr int kQvfCommentMax = 65536;
// Bits of the flags word (offset 36) and the data word (offset 24) of later versions.
enum : uint32_t {
  kQvfFlagCheckBit = 1u << 12,
  kQvfFlagIndexDeflated = 1u << 14,
  kQvfFlagUsedSectors = 1u << 15,
  kQvfFlagIndexMasked = 1u << 17,
  kQvfFlagLzmaStripped = 1u << 20,
  kQvfFlagIndexScrambled = 1u << 27,
  kQvfFlagsAlwaysSet = 0xE6250000u,
  kQvfDataCheckBit = 1u << 24,
  kQvfDataDeflateOnly = 1u << 28,
  kQvfDataIndexAtEnd = 1u << 31,
  kQvfDataAlwaysSet = 0x4C000000u,
};
// Codec codes of index entries.
enum : int32_t {
  kQvfCodecLzma = 0,
  kQvfCodecDeflate = 1,
  kQvfCodecZero = 2,
};
// Last error state of a context.
enum : int32_t {
  kQvfErrorNone = 0,
  kQvfErrorRead = 1,      // a read failed (or a volume could not be opened)
  kQvfErrorShort = 2,     // a read came back short
  kQvfErrorChecksum = 3,  // a chunk's CRC-32 did not match
  kQvfErrorDecode = 4,    // a chunk's data is damaged (its CRC matched)
};
// The largest image a stream may describe (the program's limit for image files), and the largest index held in
// memory when it was stored deflated.
inline constexpr uint64_t kQvfMaxImageBytes = uint64_t{1} << 43;
inline constexpr uint64_t kQvfMaxInflatedIndex = uint64_t{256} << 20;
// Typed blocks of a stream never come near this; a larger area is damage.
inline constexpr uint32_t kQvfMaxBlockArea = 16u << 20;
// A stored chunk is never longer than its chunk plus this.
inline constexpr uint32_t kQvfStoredSlack = 65536;
// The chunk offset table keeps one offset per this many chunks; the others are summed from the index.
inline constexpr uint64_t kQvfOffsetStride = 64;
// Slots of the chunk cache.
inline constexpr int32_t kQvfCacheSlots = 8;

// Volume naming styles and the head of every later volume.
enum : int32_t {
  kQvfNamingTwoDigits = 0,  // disc.part01.qvf ... at most 99 volumes
  kQvfNamingThreeDigits = 1,  // disc.part001.qvf ... at most 9999
  kQvfNamingShort = 2,  // disc.qvf, disc.q00 ... at most 101
};
inline constexpr int kQvfVolumeHeaderSize = 40;
inline constexpr int kQvfVolumeParamsSize = 60;
inline constexpr int kQvfVolumeHeadSize = kQvfVolumeHeaderSize + kQvfVolumeParamsSize;
// Volume sizes are stored in 40 bits.
inline constexpr uint64_t kQvfMaxVolumeBytes = (uint64_t{1} << 40) - 1;
// A volume size of all bits set: no fixed size, each volume takes what its file system accepts.
inline constexpr uint64_t kQvfVolumeSizeOpen = UINT64_MAX;

// The process-wide parameters of the writer; the defaults hold unless changed.
struct CQvfWriterParams {
  int32_t indexScramble = 0;  // scramble the index (flag bit 27)
  int32_t indexDeflate = 0;   // deflate the index (flag bit 14)
  int32_t indexAtEnd = 0;     // store the index after the chunks (data word bit 31)
  int32_t deflateOnly = 0;    // no codec bits; every chunk deflate (data word bit 28)
  int32_t blockVariant = 0;   // deflate block-type variant 0-3
  int32_t indexMask = 0;      // mask the index entries (flag bit 17)
  int32_t chunkKiB = 0;       // chunk size of version 0x110 in KiB (0: by level)
  int32_t lengthBits = 0;     // LB of version 0x110 (0: from the chunk size)
  int32_t codecBits = 0;      // CB of version 0x110 (0: 1)
  int32_t stripLzmaHeader = 1;  // store LZMA chunks without their 14-byte header (flag bit 20)
};
extern CQvfWriterParams g_qvfWriterParams;

// The state of one stream being read or written, owned by its image document.
struct CQvfContext {
  CImageDocument* document = nullptr;
  FILE* file = nullptr;  // the stream's file (volume 0)
  int32_t ownsFile = 0;  // `file` is closed with the context
  int64_t fileSize = 0;

  // Volumes.
  int32_t split = 0;
  int32_t naming = kQvfNamingThreeDigits;
  int32_t volumeCount = 1;
  std::wstring firstVolumeName;          // volume file names are made from this
  std::vector<uint64_t> volumeSizes;     // file size of each volume
  std::vector<uint64_t> volumeStarts;    // stream position where each volume's share begins
  int32_t currentVolume = -1;            // the later volume open in currentVolumeFile
  FILE* currentVolumeFile = nullptr;
  std::wstring failedVolumeName;         // the volume that could not be opened by the last read

  // Geometry.
  uint32_t version = 0;
  int32_t sectorSize = 2048;
  uint32_t chunkSize = 0;
  uint32_t sectorsPerChunk = 0;
  uint64_t chunkCount = 0;
  uint32_t lastChunkSize = 0;
  uint64_t imageSize = 0;
  uint64_t sectorCount = 0;
  uint64_t endPosition = 0;

  // Where the stream lives.
  uint64_t streamBase = 0;
  int32_t selfExtracting = 0;
  int32_t appended = 0;
  uint32_t appendedWord = 0;
  int32_t qdi = 0;

  // Index layout.
  int32_t codecBits = 0;
  int32_t lengthBits = 0;
  int32_t deflateOnly = 0;
  int32_t masked = 0;
  int32_t indexAtEnd = 0;
  int32_t indexDeflated = 0;
  int32_t scrambled = 0;
  int32_t lzmaStripped = 0;
  uint8_t lzmaHeader[6] = {};
  int32_t variant = 0;
  int32_t usedSectors = 0;
  int32_t level = 0;
  uint32_t indexOffset = 0;
  uint32_t compressedIndexSize = 0;
  uint64_t firstChunkOffset = 0;  // from the stream base
  uint64_t indexSize = 0;
  std::vector<uint8_t> index;           // plain index bytes (8 spare zero bytes at the end)
  std::vector<uint64_t> chunkOffsets;   // file offset of every kQvfOffsetStride-th chunk

  CBlockCache* cache = nullptr;
  std::vector<std::vector<uint8_t>> readBuffers;  // stored chunks read for decoding

  // Password.
  char password[kQvfPasswordMax + 1] = {};
  int32_t passwordLength = 0;
  CQvfCipher cipher{};

  std::string comment;  // the comment as read (block 4)
  // Partition selection (block 7), kept as read.
  std::vector<uint32_t> selectionName;
  std::vector<uint8_t> selectionBitmap;
  uint32_t selectionBits = 0;

  int32_t passwordRefused = 0;
  int32_t unsupportedVersion = 0;
  int32_t errorState = kQvfErrorNone;

  // Read-ahead: where the last read ended and how many bytes ran in sequence before it.
  uint64_t lastReadEnd = UINT64_MAX;
  uint64_t sequentialBytes = 0;
  CQvfPrefetch* prefetch = nullptr;  // chunks decoded ahead of a sequential reader

  // Writer state (qvf/writer.h).
  CQvfWriterParams params;
  int32_t writing = 0;        // between begin and finish
  int32_t finishing = 0;      // index and header being put in place
  int32_t finished = 0;
  int64_t nextSector = 0;     // next sector the writer expects
  uint64_t nextChunk = 0;     // next chunk number the writer closes
  uint64_t runningEnd = 0;    // stream end position while writing
  uint64_t writePosition = 0; // current position in the unsplit output
  uint32_t crc0 = 0, crc1 = 0;
  int32_t haveLzmaHeader = 0;
  std::vector<uint8_t> commentBlock;  // the type-4 block, made at set-up
  CSfxTrailer sfxTrailer{};  // the trailer of a self-extracting output
  uint64_t volumeSize = 0;     // fixed size of every volume, or kQvfVolumeSizeOpen
  int32_t volumeOpenEnded = 0; // the current volume took fewer bytes than offered
  std::vector<std::wstring> createdVolumes;  // later volumes written, removed when the write fails
  CQvfWritePipeline* pipeline = nullptr;
};

// Little-endian loads and stores.
inline uint32_t QvfLoad16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t QvfLoad32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t QvfLoad40(const uint8_t* p) { return QvfLoad32(p) | uint64_t(p[4]) << 32; }
inline uint64_t QvfLoad64(const uint8_t* p) { return QvfLoad32(p) | uint64_t(QvfLoad32(p + 4)) << 32; }
inline void QvfStore16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void QvfStore32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void QvfStore40(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 5; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void QvfStore64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Magics.
enum : int32_t { kQvfMagicNone = 0, kQvfMagicQvf = 1, kQvfMagicQdi = 2 };
// kQvfMagicQvf or kQvfMagicQdi for the first four bytes of a main header, else kQvfMagicNone.
int32_t QvfClassifyMagic(const uint8_t* bytes);
// 1 when the 76 bytes are a main header: a known magic and a matching CRC-32 at 72.
int QvfIsMainHeader(const uint8_t* header);
// 1 when `bytes` (at least 8) start a volume header: "QVF VOL" or "QDI VOL" and a zero byte.
int QvfIsVolumeHeader(const uint8_t* bytes);
// Fills the 40-byte volume header of a QVF stream (magic, head size 100, CRC).
void QvfMakeVolumeHeader(uint8_t header[kQvfVolumeHeaderSize]);
// 1 when the 40 bytes are a volume header with a matching CRC and a head size of 100.
int QvfCheckVolumeHeader(const uint8_t* header);

// A new zero-filled context for `document`; null on lack of memory.
CQvfContext* QvfNewContext(CImageDocument* document);
// Frees everything the context owns (files, volumes, buffers, cache, cipher) and the context; null is accepted.
// A writer that did not finish removes the later volume files it created.
void QvfCloseReader(CQvfContext* context);

// Finds the first typed block of `type` in the stream at `base` of `file` (after a main header from base + 76,
// after a volume header from base + 40, up to the header's index offset), copies `length` bytes of it from its
// start into `buffer` and returns its file offset; -1 when the base holds neither header, no such block lies
// there, the block is shorter than `length`, or a read fails. A block length below 8, or one that runs past
// the index offset, ends the walk.
int64_t QvfFindBlock(FILE* file, uint32_t type, uint8_t* buffer, size_t length, uint64_t base);
// The same walk over blocks already in memory (`area` holds the bytes from `areaStart` of the stream to the
// index offset): the offset of the block within `area` and its length, or -1.
int64_t QvfFindBlockInArea(const uint8_t* area, size_t areaLength, uint32_t type, uint32_t* blockLength);
// The first block of `type` in the typed-block area as a reader of its own bytes (its header included); a
// failed, empty reader when there is none.
ByteReader QvfBlockInArea(const uint8_t* area, size_t areaLength, uint32_t type);

// The index mask of chunk `chunk` (applied when the masked flag is set).
uint32_t QvfIndexMask(const CQvfContext* context, uint64_t chunk);
// The stored length of a chunk from the index (data and CRC; 0 for a chunk of zeros).
uint64_t QvfGetChunkStoredLength(const CQvfContext* context, uint64_t chunk);
// The codec code of a chunk from the index (kQvfCodecDeflate for version 0x100 and deflate-only streams).
int32_t QvfGetChunkCodec(const CQvfContext* context, uint64_t chunk);
// Writes `count` bits of `value` (XORed first with the chunk's mask when masking is on) into the index at bit
// `entryBase` + `offset`, least significant bit first.
void QvfPutIndexBits(CQvfContext* context, uint64_t entryBase, uint32_t value, int count, int offset,
                     uint64_t chunk);
// Bits per index entry of later versions (LB + CB).
inline uint32_t QvfEntryBits(const CQvfContext* context) {
  return static_cast<uint32_t>(context->lengthBits + context->codecBits);
}
// Bytes of the index of `count` chunks.
uint64_t QvfIndexBytes(uint32_t version, uint64_t count, uint32_t entryBits);
// Turns stored index bytes into plain ones (and back), by the stream's kind and flags.
void QvfUnscrambleIndex(const CQvfContext* context, uint8_t* bytes, size_t n, uint32_t headerCrc);
void QvfScrambleIndex(const CQvfContext* context, uint8_t* bytes, size_t n);
// Undoes the byte transformation of a deflated QDI index of `n` bytes.
void QvfUndoQdiDeflatedIndex(uint8_t* bytes, size_t n);

// Size in bytes of chunk `chunk` (the last one covers the remainder).
inline uint32_t QvfChunkLength(const CQvfContext* context, uint64_t chunk) {
  return chunk + 1 == context->chunkCount ? context->lastChunkSize : context->chunkSize;
}
// Bit length of a value: 0 for 0.
int QvfBitLength(uint64_t value);
