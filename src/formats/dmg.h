// DMG images: a "koly" trailer points at an XML property list whose "blkx" array holds base64 "mish" block
// tables, one per partition; their entries become the chunks of a CChunkMap of 512-byte sectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct CImageDocument;
struct CChunkMap;
struct CDmgBlockTable;

// Input type of the DMG row of the format table.
inline constexpr int32_t kImageTypeDmg = 4;

// The fields of the 512-byte "koly" trailer the reader uses.
struct CDmgTrailer {
  uint32_t version;
  uint64_t dataForkOffset;
  uint64_t dataForkLength;
  uint64_t resourceForkOffset;
  uint64_t resourceForkLength;
  uint64_t xmlOffset;
  uint64_t xmlLength;
  uint64_t sectorCount;
};

// Reads the trailer from the last 512 bytes of the file, else from the first 512: 1, or 0 when neither holds one.
int DmgReadTrailer(CDmgTrailer* trailer, FILE* file);
// Parses a 204-byte "mish" header and its entries from `data`: 1, or 0 when the signature is wrong or the
// entries do not fit.
int DmgConvertBlockHeader(const uint8_t* data, size_t length, CDmgBlockTable* table);
// Keeps only base64 characters (A-Z a-z 0-9 + / =) of text[0, length); returns the new length.
size_t Base64Clean(char* text, size_t length);
// Decodes whole groups of 4 characters (a trailing partial group is ignored) into `output`, which may be `text`
// itself; *outLength gets the bytes produced. Returns 1, or 0 at a character outside the alphabet.
int Base64Decode(const char* text, size_t length, uint8_t* output, size_t* outLength);
// Finds the "blkx" block tables of a property list: 1 with the tables appended to `tables`, 0 when the text is
// no closed property list or a table does not decode.
int DmgParsePlist(const char* xml, size_t length, std::vector<CDmgBlockTable>* tables);
// Builds the chunk map of the document's file: 0 with document->chunkMap set, -1 when the file is no readable
// DMG (nothing is kept then).
int DmgLoadChunkMap(CImageDocument* document);
// True when the document has a chunk map or its path ends in ".dmg".
bool DmgIsFileName(const CImageDocument* document);
// First sector and length of the largest block table: 1, or 0 when the document is no DMG.
int DmgFindLargestPartition(const CImageDocument* document, int64_t* start, int64_t* length);
// The read handler of the DMG row: n 2048-byte sectors, each four 512-byte sectors of the map.
int64_t DmgReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
