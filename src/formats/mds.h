// MDS descriptors: the binary table of contents that sits beside an MDF raw CD image. The reader turns the first
// session of the descriptor into a track table whose image data file is the MDF named inside it.
#pragma once

#include <cstddef>
#include <cstdint>

struct CTrackTable;

// Size of the part of the descriptor that must be present: the header and the first session block.
constexpr int64_t kMdsMinimumSize = 113;

// Parses the MDS file at `path` into a new track table owned by the caller (free it with TrackTableFree), or null
// when the file is unreadable, is not a descriptor, is damaged, or names no data file. The table's session count
// stays 0; the trial opener makes it 1.
CTrackTable* MdsParseFile(const wchar_t* path);
// The same over descriptor bytes already in memory; `path` is the descriptor's own path, against which the data
// file name is resolved.
CTrackTable* MdsParseBuffer(const uint8_t* data, int64_t size, const wchar_t* path);
// True when at least 16 bytes are given and they start with the descriptor signature.
bool MdsCheckSignature(const void* buffer, int64_t size);
