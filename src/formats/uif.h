// UIF images: a list of mostly zlib-compressed blocks, a compressed block table near the end of the file and
// a 64-byte "bbis" trailer at the very end; the image inside is optical, in one of three sector forms.
#pragma once

#include <cstdint>

struct CImageDocument;

inline constexpr int32_t kImageTypeUif = 5;

// Builds the document's chunk map for the sector form (sectorSize, userDataOffset): 0, or -1 (no map kept).
int UifParseImage(CImageDocument* document, int32_t sectorSize, int32_t userDataOffset);
// The read handler of the UIF row: n 2048-byte user-data sectors.
int64_t UifReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
