// CD-TEXT: the titles, performers and codes an audio CD carries in the R-W subchannel of its lead-in, as a list
// of 18-byte packs. This file holds the per-track record in which every descriptor reader keeps a track's flags,
// index list and texts; loading a pack file named by a CUE sheet; checking and repairing packs by their CRC;
// splitting a pack block into the texts of a track table and building the pack list back from them; and the
// 6-bit symbol form of the packs that is written into the lead-in. It also checks ISRC codes.
//
// Pack layout: byte 0 pack type (0x80-0x8F), byte 1 track number (0 = the disc), byte 2 sequence number, byte 3
// character position (bits 0-3; block number in bits 4-6, double-byte flag in bit 7), bytes 4-15 text, bytes
// 16-17 the inverted CRC-16/CCITT of bytes 0-15, high byte first. A pack block is a 4-byte header (big-endian
// pack bytes + 2, then two zero bytes) followed by the packs.
//
// Pack text is single-byte ISO 8859-1 (character code 0): the multibyte copies of the texts hold that form,
// and decoding reads it. Every pack block is untrusted: lengths are checked against the bytes given, and a
// damaged block yields fewer texts, never a read outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/cdtext_record.h"
#include "runtime/wstring.h"

struct CTrackTable;

constexpr size_t kCdTextPackBytes = 18;
constexpr size_t kCdTextPackTextBytes = 12;
constexpr size_t kCdTextHeaderBytes = 4;
constexpr int32_t kCdTextMaxTextChars = 80;  // texts of CUE sheets and of built packs are cut to this

// Pack types. The slot of a type in a record is type - kCdTextPackTitle.
enum : uint8_t {
  kCdTextPackTitle = 0x80,
  kCdTextPackPerformer = 0x81,
  kCdTextPackSongwriter = 0x82,
  kCdTextPackComposer = 0x83,
  kCdTextPackArranger = 0x84,
  kCdTextPackMessage = 0x85,
  kCdTextPackDiscId = 0x86,
  kCdTextPackGenre = 0x87,
  kCdTextPackToc = 0x88,
  kCdTextPackToc2 = 0x89,
  kCdTextPackClosedInfo = 0x8D,
  kCdTextPackUpcIsrc = 0x8E,  // UPC/EAN of the disc, ISRC of a track
  kCdTextPackSizeInfo = 0x8F,
};

// The record of track `index` (counting from 0), or of the disc for index -1; a zeroed record is created when
// there is none. With the table's alternate track array in use, the record of that array's track. Null when
// memory runs out, for a null table, and for an index outside the track array (100 or more without the
// alternate array).
CCdTextRecord* CdTextGetOrCreateRecord(CTrackTable* table, int32_t index);
// As CdTextGetOrCreateRecord, without creating: null when there is none.
CCdTextRecord* CdTextGetTrackRecord(CTrackTable* table, int32_t index);
const CCdTextRecord* CdTextGetTrackRecord(const CTrackTable* table, int32_t index);

// The CRC a pack stores in bytes 16-17 (inverted CRC-16/CCITT from 0 over bytes 0-15).
uint16_t CdTextComputePackCrc(const uint8_t* pack);
// True when the pack's stored CRC matches its bytes.
bool CdTextPackIsValid(const uint8_t* pack);
// Writes the inverted CRC-16/CCITT of the first length - 2 bytes into the last two, high byte first. Lengths
// below 2 are left alone.
void CdTextSetPackCrc(uint8_t* buffer, size_t length);
// True when the 18-byte pack is valid, or was made valid by flipping one bit (the pack is then corrected in
// place). False, with the pack unchanged, when no single flip helps.
bool CdTextRepairPack(uint8_t* pack);
// The same single-bit repair for an 18-byte buffer whose last two bytes hold the CRC not inverted.
bool CdTextRepairPack18(uint8_t* buffer);
// True when the block's length field is above 4 and at most two of its packs (counted within the first 2,048
// bytes of packs and the bytes given) have a type outside 0x80-0x8F.
bool CdTextBlockLooksValid(const uint8_t* block, size_t length);

// Loads a CD-TEXT pack file (18 to 65,536 bytes: packs only, or a 4-byte header whose length + 2 is the file
// size followed by the packs) into `block` as a pack block with its header. Every pack must have a type 0x80 to
// 0x8F and a valid CRC, repaired when one bit is wrong. 1, or 0 with `block` emptied.
int CdTextLoadFile(const wchar_t* path, std::vector<uint8_t>* block);
// Splits a pack block (with its header) into the wide texts of the disc record and of the track records of
// `table` (pack track number n is track index n - 1; records are created as needed). Only tracks up to the
// table's track count receive texts. Returns the number of texts stored.
int32_t CdTextDecodePacks(CTrackTable* table, const uint8_t* block, size_t length);
// Gives every text of the disc and of every track its multibyte (ISO 8859-1) copy, replacing the old copy; a
// character outside ISO 8859-1 becomes '?'. 1, or 0 for a null table.
int CdTextConvertStrings(CTrackTable* table);
// The reverse for one record: wide texts from the multibyte copies. 1, or 0 for a null record.
int CdTextMakeWideTexts(CCdTextRecord* record);
// Builds the pack list of the table's texts (at most 256 packs, the last three the size information) and stores
// its subchannel form in the table (CdTextPacksToSubchannel). 1, or 0 when memory runs out or the table is null.
int CdTextBuildPacks(CTrackTable* table);
// Replaces the table's subchannel buffer with the 6-bit R-W symbol form of `length` bytes of packs (no header):
// the packs repeated to a multiple of four, every 3 bytes turned into four symbols. 1, or 0 when memory runs
// out or the table is null.
int CdTextPacksToSubchannel(CTrackTable* table, const uint8_t* packs, size_t length);
// True when the disc or a track holds a non-empty text in slots 0-15 and the table has an audio track.
bool CdTextIsPresent(const CTrackTable* table);
// True when the disc record or the record of one of the first `trackCount` tracks has a non-empty wide text in
// `slot`.
bool CdTextHasType(const CTrackTable* table, int slot, int32_t trackCount);

// Checks an ISRC: 2 letters or digits, an optional '-', 3 letters or digits, an optional '-', 7 digits with an
// optional '-' after the first two (upper-case letters only); anything after the seventh digit is not looked
// at. On success writes the 12 characters without dashes and a NUL into `output` (13 characters) when given.
bool IsrcValidate(const wchar_t* text, wchar_t* output);
