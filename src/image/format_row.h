// One row of the image-format table: how an optical image layout stores its sectors and which handlers read and
// write them. The table itself, with the rows of every format, belongs to the opening layer (session/); a
// document carries a pointer to it so that sector access can reach its row without knowing the formats.
#pragma once

#include <cstdint>

struct CImageDocument;

using ImageReadHandler = int64_t (*)(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
using ImageWriteHandler = int64_t (*)(CImageDocument* document, int64_t sector, const void* buffer, int64_t n);

struct CImageFormatInfo {
  wchar_t extension[8];    // lower case, without the dot
  int32_t sectorSize;      // bytes per stored sector; 0 for containers that deliver 2048-byte sectors
  int32_t userDataOffset;  // where the 2048 user bytes start in a stored sector
  int32_t headerSize;      // bytes before sector 0 (negative: sectors before the file start read as zeros)
  ImageReadHandler read;
  ImageWriteHandler write;  // null for rows that are only read
};

constexpr int kImageFormatCount = 21;

// Type codes of the descriptor-scan geometries: 1000 + 2k uses the k-th candidate size; odd codes shift the
// data by 150 sectors.
constexpr int32_t kImageTypeScannedFirst = 1000;
constexpr int32_t kImageTypeScannedLast = 1007;

// The row of `type` in the document's format table; null outside the table or when the document has none.
const CImageFormatInfo* ImageFormatRow(const CImageDocument* document, int32_t type);

// Read handlers of the rows that sector access itself provides.
int64_t IsoReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
int64_t RawReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Write handlers: plain 2048-byte sectors, and raw 2352-byte Mode 1 (or Mode 2 Form 1) sectors.
int64_t IsoWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n);
int64_t RawWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n);
// The raw sectors RawWriteSectors writes for n 2048-byte sectors from `sector` on: n x 2352 bytes into `out`.
void RawEncodeSectors(const CImageDocument* document, int64_t sector, const uint8_t* in, int64_t n, uint8_t* out);
