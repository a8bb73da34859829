// CD sector codec: raw 2352-byte CD sectors as ECMA-130 and CD-ROM XA lay them out. Addresses as minute, second
// and frame, BCD headers, the 32-bit EDC, the Reed-Solomon P and Q parity of Mode 1 and Mode 2 Form 1 sectors,
// the process-wide Mode 2 plan of the raw writer, and the EDC check of raw sectors read from an image.
//
// Raw sector layout: 0..11 sync (00, ten FF, 00); 12..14 minute, second, frame in BCD; 15 mode.
//   Mode 1:        16..2063 user data, 2064..2067 EDC of 0..2063 (little-endian), 2068..2075 zero,
//                  2076..2247 P parity, 2248..2351 Q parity.
//   Mode 2 Form 1: 16..23 sub-header (file, channel, sub-mode, coding, then the four again), 24..2071 user data,
//                  2072..2075 EDC of 16..2071, P and Q as in Mode 1 computed with bytes 12..15 as zero.
//   Mode 2 Form 2: sub-header, 24..2347 data, 2348..2351 EDC of 16..2347.
#pragma once

#include <cstdint>

struct CImageDocument;

constexpr int kCdRawSectorSize = 2352;
constexpr int kCdUserDataSize = 2048;
constexpr int kCdForm2DataSize = 2324;
constexpr int kCdMode2BlockSize = 2336;  // a raw sector less its sync and header
constexpr int kCdSectorsPerSecond = 75;
constexpr int kCdLeadInSectors = 150;  // sector 0 lies at 00:02:00

// Sub-mode bits of the Mode 2 sub-header.
enum : uint8_t {
  kCdSubModeData = 0x08,
  kCdSubModeForm2 = 0x20,
  kCdSubModeEndOfFile = 0x80,
};

// Minute, second and frame of a sector: address = sector + 150; sectors below -150 (the lead-in) wrap to
// sector + 450,150.
void CdCodecLbaToMsf(int64_t sector, int* minute, int* second, int* frame);
// Binary to BCD: value + (value / 10) * 6 (two digits; larger values give what that formula gives).
uint8_t CdToBcd(int value);

// The ECMA-130 EDC of `length` bytes (reflected CRC-32 of polynomial 0x8001801B, initial 0, no final
// inversion); 0 for a length of 0 or less.
uint32_t CdComputeEdc(const void* bytes, int64_t length);
// The same by tables alone: what CdComputeEdc falls back to where the processor has no carry-less multiply.
uint32_t CdComputeEdcPortable(const void* bytes, int64_t length);
// P parity over bytes 12..2075 of a raw sector, stored at 2076..2247.
void CdComputeEccP(uint8_t* sector);
// Q parity over bytes 12..2247 (the P parity included), stored at 2248..2351. Call after CdComputeEccP.
void CdComputeEccQ(uint8_t* sector);
// The same two with 64-bit words only: what the vector forms above stand in for, kept for processors without them.
void CdComputeEccPPortable(uint8_t* sector);
void CdComputeEccQPortable(uint8_t* sector);

// A Mode 1 sector numbered `sector` in `out` (2352 bytes). `data` (2048 bytes) is copied to 16; null keeps the
// bytes already at out + 16.
void CdEncodeMode1Sector(int64_t sector, const uint8_t* data, uint8_t* out);
// A Mode 2 Form 1 sector: sub-header file 0, channel 0, sub-mode 8, coding 0. With data, the Mode 2 plan may set
// the file number to 1 and add sub-mode bits (see CdResetSectorModeList). Null data keeps out + 24 as it is.
void CdEncodeMode2Sector(int64_t sector, const uint8_t* data, uint8_t* out);
// A Mode 2 Form 2 sector with the given sub-header; `data` (2324 bytes, or null to keep out + 24) at 24.
void CdBuildMode2Header(int64_t sector, uint8_t file, uint8_t channel, uint8_t subMode, uint8_t coding,
                        const uint8_t* data, uint8_t* out);
// Sync and a Mode 2 header in front of a stored 2336-byte block (copied to 16; null keeps out + 16).
void CdBuildMode2HeaderFrom(int64_t sector, const uint8_t* block, uint8_t* out);

// The Mode 2 plan used by CdEncodeMode2Sector: a default-form flag, three sector bounds A <= B <= C and up to 30
// (sector, sub-mode bits) pairs. A sector with data gets file number 1 when it lies in [A, B) and the flag is
// 1, or in [B, C); it gets the sub-mode bits recorded for it. Resetting empties the pairs and puts every bound
// at 0xFFFFFFF.
void CdResetSectorModeList(int defaultForm);
void CdSetSectorModeBounds(int64_t a, int64_t b, int64_t c);
// Records sub-mode bits for one sector; ignored once 30 pairs are held.
void CdAddSectorModeChange(int64_t sector, uint8_t subModeBits);

// Copies the 2048 user bytes at `userDataOffset` of each of `count` stored sectors `stride` bytes apart;
// count * 2048.
int64_t CdExtractUserData(const uint8_t* stored, uint8_t* out, int64_t count, int32_t stride,
                          int32_t userDataOffset);

// Faults found by the sector checks (0 = a sound sector).
enum : int {
  kCdFaultSync = 1,
  kCdFaultHeader = 2,  // address or mode byte
  kCdFaultEdc = 4,
  kCdFaultZeroField = 8,  // Mode 1 bytes 2068..2075 not zero
  kCdFaultSubHeader = 16, // the two copies of a Mode 2 sub-header differ
  kCdFaultEccP = 32,
  kCdFaultEccQ = 64,
};
// Checks a raw Mode 1 sector that should carry the address of `expectedSector`: the fault bits, 0 when sound.
int CdCheckMode1Sector(const uint8_t* raw, int64_t expectedSector);
// The same for a Mode 2 Form 1 sector.
int CdCheckMode2Form1Sector(const uint8_t* raw, int64_t expectedSector);

// Kind of a stored sector for the EDC report: 1 plain user data (or a sound Mode 1 sector), 2 a Mode 1 sector
// whose EDC does not match (its number is added to the EDC error list), 4 Mode 2, 16 a raw Mode 2 image.
int ImageGetSectorKind(const CImageDocument* document, const uint8_t* raw, int64_t sector);
// Classifies `count` stored sectors (the document's sector size apart) numbered from `firstSector`, stopping
// once the abort code is 1 (cancelled). The number of sectors classified.
int64_t ImageCheckEdcRange(const CImageDocument* document, const uint8_t* raw, int64_t firstSector, int64_t count);

// Copies the user data of `count` stored sectors to `out` and, when the document's EDC-check flag is set,
// classifies them as ImageCheckEdcRange does; raw Mode 1 sectors are checked and copied on all cores. The bytes
// copied.
int64_t ImageCheckEdcAndExtract(const CImageDocument* document, const uint8_t* raw, int64_t firstSector,
                                int64_t count, uint8_t* out);

// The sectors whose EDC check failed, kept in g_edcErrorList as integer values (nothing to free).
// Add: the new count, or -1 when memory runs out.
int32_t EdcErrorListAdd(int64_t sector);
void EdcErrorListClear();
int32_t EdcErrorListCount();
// The sector at `index`, or -1 for an index outside the list.
int64_t EdcErrorListGet(int32_t index);
