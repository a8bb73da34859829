// CChunkMap: the common reader of chunk-compressed images (DMG, ISZ, UIF). The image is a sorted list of chunks,
// each stored, zero or compressed on its own; a read finds its first chunk by binary search, decodes what it
// needs through a cache of decoded chunks and zero-fills what lies past the data. While the reads go forward,
// worker threads decode the chunks ahead of them in a window that grows with every forward read; a chunk is
// never decoded twice while it stays cached, and the cache keeps to a fixed budget of bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/aes.h"

struct CImageDocument;

// Chunk types.
enum : uint32_t {
  kChunkStored = 1,
  kChunkZero = 2,
  kChunkAdc = 0x80000004,
  kChunkZlib = 0x80000005,
  kChunkBzip2 = 0x80000006,
  kChunkLzfse = 0x80000007,
  kChunkUnknown = 0xFFFFFFFF,  // a type the reader does not know: reading it fails
};

// The largest compressed or uncompressed chunk accepted.
inline constexpr uint64_t kChunkMaxBytes = uint64_t{64} << 20;
// Most segment files of a split image.
inline constexpr int kChunkMaxSegments = 99;

struct CChunk {
  uint64_t compressedLength;
  uint64_t uncompressedLength;
  uint64_t fileOffset;         // where its bytes start in the source, or in the stream of the segment chain
  uint64_t uncompressedStart;  // byte position of the chunk in the image
  uint32_t type;
  int32_t segment;  // the ISZ segment, or the DMG block table
};

// One file of a split image and the part of the compressed stream it carries.
struct CChunkSegment {
  std::wstring path;
  FILE* file = nullptr;  // owned
  int64_t fileSize = 0;
  uint64_t streamStart = 0;   // first stream byte it carries
  uint64_t streamLength = 0;  // stream bytes it carries
  uint64_t fileOffset = 0;    // where those bytes start in the file
};

// A DMG block table ("mish"): its header fields and its raw entries.
struct CDmgBlockTable {
  uint32_t version;
  uint64_t firstSector;
  uint64_t sectorCount;
  uint64_t dataOffset;
  uint32_t entryCount;
  std::vector<uint8_t> entries;  // entryCount x 40 bytes, big-endian as stored
};

// The decoded-chunk cache and the threads that fill it ahead of the reader (private to the chunk map).
struct CChunkDecoder;

struct CChunkMap {
  uint64_t totalSectors = 0;       // ceiling of the uncompressed total / sector size
  uint64_t uncompressedTotal = 0;  // end of the last chunk
  std::vector<CChunk> chunks;      // sorted by uncompressedStart, not overlapping
  CChunkDecoder* decoder = nullptr;     // owned; made at the first read that needs it
  std::atomic<int64_t> decodeCount{0};  // chunks decoded so far
  FILE* source = nullptr;      // the document's file (not owned)
  int64_t sourceSize = 0;
  int32_t sectorSize = 512;
  int32_t userDataOffset = 0;
  int32_t encrypted = 0;  // every chunk read from the file is deciphered first
  CAesContext aes = {};
  char password[33] = {};
  std::vector<CChunkSegment> segments;  // empty: the single source file
  std::vector<CDmgBlockTable> blockTables;
  std::wstring failedSegment;  // a segment file that could not be read, for the error report
};

// A new map over `source` (not owned) with sectors of `sectorSize` bytes; null when out of memory.
CChunkMap* ChunkMapCreate(FILE* source, int32_t sectorSize);
// Frees the map, its cache and its segment files, after its decoding threads have stopped; null is allowed.
void ChunkMapFree(CChunkMap* map);
// Waits for the chunks being decoded and forgets every decoded chunk (before the key of an encrypted image
// changes).
void ChunkMapDropCache(CChunkMap* map);
// Appends a chunk at the current uncompressed total: the new total sector count, or -1 when a length exceeds
// kChunkMaxBytes or the stored bytes lie outside the source (or the segment chain).
int64_t ChunkMapAddChunk(CChunkMap* map, int32_t segment, uint32_t type, uint64_t fileOffset, uint64_t compressedLength,
                         uint64_t uncompressedLength);
// The same at byte `start` of the image, which must not lie before the end of the previous chunk; what lies
// between the two reads as zeros.
int64_t ChunkMapAddChunkAt(CChunkMap* map, uint64_t start, int32_t segment, uint32_t type, uint64_t fileOffset,
                           uint64_t compressedLength, uint64_t uncompressedLength);
// Index of the chunk holding byte `offset`, or of the first chunk after it; chunks.size() when none.
size_t ChunkMapLocate(const CChunkMap* map, uint64_t offset);
// Reads `length` bytes of the image at byte `offset`: 1, or 0 when a chunk cannot be read or decoded (the last
// error then says so). Bytes past the last chunk read as zeros.
int ChunkMapReadBytes(CChunkMap* map, uint64_t offset, void* buffer, uint64_t length);
// Writes `length` bytes of the image from byte `offset` into `fd` straight from the decoded chunks, without
// reporting anything: the bytes written, short where a chunk could not be produced or a write failed (a read of
// the rest then says why).
int64_t ChunkMapCopyToFd(CChunkMap* map, uint64_t offset, uint64_t length, int fd);
// Reads the `length` stored bytes at `offset` of the source or the segment chain: 1, or 0.
int ChunkMapReadRaw(const CChunkMap* map, uint8_t* buffer, uint64_t offset, uint64_t length);
// Reads `count` sectors of the map's sector size at `first`: count, or 0 (ChunkMapReadBytes).
int64_t ChunkMapReadSectors(CChunkMap* map, int64_t first, void* buffer, int64_t count);
// The disk reader of chunk-mapped disk images: n sectors of the document's sector size from its chunk map.
int64_t ChunkMapReadDiskSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Queues the chunks holding `length` bytes at byte `offset` of the image for decoding on the workers, as far as
// the cache allows, without waiting: for reads that are known to come but lie apart (the folders of a tree).
void ChunkMapPrefetch(CChunkMap* map, uint64_t offset, uint64_t length);
// The disk hint of chunk-mapped disk images: ChunkMapPrefetch on the document's chunk map.
void ChunkMapPrefetchDiskBytes(CImageDocument* document, int64_t offset, int64_t length);
// Reads n 2048-byte user-data sectors from a map of sectorSize-byte stored sectors whose user data start at
// userDataOffset: n, or 0.
int64_t ChunkMapReadUserData(CChunkMap* map, int64_t sector, void* buffer, int64_t n);
