// The CD-TEXT record of a track or of the disc: flags, index list and texts, hung on the track table. The
// descriptor readers fill it and the CUE writer and the recorder read it; packing and unpacking CD-TEXT belongs
// to formats/cdtext.h.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/wstring.h"

constexpr int kCdTextSlotCount = 18;      // text slots of a record; slot k holds pack type 0x80 + k (k < 16)
constexpr int kCdTextTypeSlots = 16;      // slots that have a pack type
constexpr int kCdTextMaxIndexes = 100;    // index numbers 0-99 of a track

// Track flags of a CUE FLAGS line (CCdTextRecord::flags).
enum : uint32_t {
  kCdTextFlagDcp = 0x01,   // digital copy permitted
  kCdTextFlag4Ch = 0x02,   // four channels
  kCdTextFlagPre = 0x04,   // pre-emphasis
  kCdTextFlagScms = 0x08,
};

// Flags, index list and texts of one track, or of the disc. Zero-filled when created; owned by the CTrackInfo
// (cdText) or the CTrackTable (discCdText) it hangs on, freed with CdTextRecordFree.
struct CCdTextRecord {
  uint32_t flags;                          // kCdTextFlag*
  int32_t indexCount;                      // highest index number of the track (1 after INDEX 01)
  // Index positions in frames: index 0 is the offset of INDEX 00 from INDEX 01 (negative), indexes 2-99 are
  // offsets from INDEX 01; index 1 stays 0.
  int32_t index[kCdTextMaxIndexes];
  CWideString texts[kCdTextSlotCount];     // wide texts; empty = none
  // ISO 8859-1 copies of the wide texts, slot by slot (CdTextConvertStrings), used for building packs.
  std::string multiByteTexts[kCdTextSlotCount];
};

// A new zero-filled record, or null when memory runs out.
CCdTextRecord* CdTextRecordNew();
// Frees a record; null is accepted.
void CdTextRecordFree(CCdTextRecord* record);
// A copy that shares nothing with the original (also not the strings' buffers); null for null or when memory
// runs out.
CCdTextRecord* CdTextRecordClone(const CCdTextRecord* record);
// Replaces the wide text of `slot` (0..kCdTextSlotCount - 1) with `text` cut to `maxChars` characters (no cut
// when negative); null or "" clears it. The multibyte copy is left as it is until CdTextConvertStrings.
// 1, or 0 for a null record or a slot outside.
int CdTextSetText(CCdTextRecord* record, int slot, const wchar_t* text, int32_t maxChars);
// The wide text of `slot`, or null when the record is null, the slot is outside or the text is empty.
const wchar_t* CdTextGetText(const CCdTextRecord* record, int slot);

