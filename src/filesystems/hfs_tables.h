// The character tables of the Mac file systems: the HFS+ case folding of TN1150 (a two-level table of 2,816
// 16-bit entries: 256 page indexes, then ten pages), the HFS name ordering of Mac OS Roman bytes, and the
// Mac OS Roman to Unicode mapping of HFS names. All are constant data built at compile time.
#pragma once

#include <cstdint>

// The HFS+ folded form of a UTF-16 unit: 0 for a unit that name comparison skips, the unit itself when it has
// no folding.
uint16_t HfsPlusFoldUnit(uint16_t unit);
// The raw two-level table (kHfsPlusFoldEntries entries): entry hi is the offset of page hi, or 0.
constexpr int kHfsPlusFoldEntries = 2816;
const uint16_t* HfsPlusFoldTable();

// The sort weight of a Mac OS Roman byte in HFS catalog order (letters of either case weigh the same).
uint8_t HfsCaseOrder(uint8_t byte);

// The Unicode character of a Mac OS Roman byte.
char32_t MacRomanToUnicode(uint8_t byte);
