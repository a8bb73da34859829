// Slow, independent checks of raw CD sectors, written from the ECMA-130 definitions for the tests: they share
// no code with the sector codec they check.
#pragma once

#include <cstddef>
#include <cstdint>

// The EDC of n bytes, bit by bit.
uint32_t ReferenceEdc(const uint8_t* bytes, size_t n);
// How many of the 172 P and Q codewords of a raw sector fail their parity checks; `zeroHeader` reads bytes
// 12..15 as zero (Mode 2).
int ReferenceBadCodewords(const uint8_t* raw, bool zeroHeader);
// A sound Mode 1 sector carrying `sector`'s address: sync, BCD header, mode 1, EDC, zero field, P and Q.
bool ReferenceMode1SectorOk(const uint8_t* raw, int64_t sector);
