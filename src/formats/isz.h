// ISZ images: a 48-byte header, optional scrambled segment and chunk-pointer tables, and raw, zero, zlib or
// bzip2 chunks, optionally AES-encrypted and split over several files (.isz, .i01, ... or .part01.isz, ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct CImageDocument;
struct CChunkMap;

inline constexpr int32_t kImageTypeIsz = 6;
inline constexpr size_t kIszHeaderSize = 48;

// The header fields the reader uses.
struct CIszHeader {
  uint8_t headerSize;
  uint16_t sectorSize;
  uint32_t totalSectors;
  uint8_t encryption;  // 0 none; 4 AES-256, 3 AES-192, other AES-128
  int64_t segmentSize;
  uint32_t chunkCount;
  uint32_t chunkSize;
  uint8_t pointerLength;
  uint8_t segmentNumber;
  uint32_t pointerOffset;
  uint32_t segmentOffset;
  uint32_t dataOffset;
};

// Parses the 48 header bytes: 1, or 0 when the magic is not "IsZ!".
int IszReadHeader(const uint8_t* bytes, size_t length, CIszHeader* header);
// 1 when the header is that of the first file of a split set.
int IszIsFirstSegment(const CIszHeader& header);
// 1 for a name ending in ".part01.isz", 2 for ".part001.isz", else 0.
int IszGetNamingStyle(const std::wstring& name);
// The name of segment `index` (0 = the first file itself) of a set whose first file is `first`.
std::wstring IszSegmentName(const std::wstring& first, int index);
// From the name of a later segment, the first segment's name when that file exists and is a first segment;
// "" otherwise.
std::wstring IszFindFirstSegment(const std::wstring& path);
// Undoes the scrambling of the segment and chunk-pointer tables, in place.
void IszDescramble(uint8_t* bytes, size_t length);
// Deciphers every whole 16-byte block of the buffer in place with the map's key.
void IszDecryptBlocks(const CChunkMap* map, uint8_t* buffer, size_t length);
// Builds the document's chunk map from its file (switching to the first segment when given a later one).
// 0 on success, with *keyLength the AES key length the image needs (0 when not encrypted); -1 on failure, with
// *failedFile naming a segment file that is missing or does not match its table (empty otherwise).
int IszParseHeader(CImageDocument* document, int32_t* keyLength, std::wstring* failedFile);
// Keys the map of an encrypted image with the password bytes: 0, or -1.
int IszSetPassword(CChunkMap* map, const char* password, int32_t keyLength);
// The read handler of the ISZ row: n 2048-byte user-data sectors.
int64_t IszReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
