// Reading discs: the layout of the disc in a drive as a track table (tracks, sessions, gaps, status), and sector
// reads that batch, fall back to single sectors, retry by where the sector lies and ask the user about a sector
// that cannot be read.
#pragma once

#include <cstdint>

#include "burner/transport.h"

struct CTrackTable;

// Reads the layout of the disc in the drive into `table` (which is reset first): 1 with the table filled (no
// tracks for a blank disc), 0 when the disc cannot be read. `makingImage` is set while an image is being made
// from the disc: a data track followed by a 150-sector pregap then keeps its last 2 sectors as a post-gap.
int DiscReadTrackList(CScsiContext* scsi, int device, CTrackTable* table, const wchar_t* devicePath, int makingImage);

// Trims the single track of an overwritable disc to the file system on it: the ISO 9660 volume at sector 16, else
// the UDF partition (through the context's udfVolumeEnd), rounded up to the disc's write unit. 1 when done, -1
// otherwise. A disc with neither whose first 26 sectors are all zero gets an empty table.
int DiscHasIsoVolume(CScsiContext* scsi, int device, int mediaType, CTrackTable* table);

// The read-error state of one run over a disc (an image being made, a verify, a copy).
struct CDiscReadState {
  int32_t ignoreAll = 0;          // the user answered IgnoreAll
  int32_t failuresInRow = 0;      // failed read attempts since the last success
  int32_t zeroFillLeft = 0;       // requests still to be zero-filled without reading
  int32_t errorsSeen = 0;         // a sector was given up and zero-filled
  int32_t cancelled = 0;          // the user answered Cancel (or input ended)
  int64_t zeroFilledSectors = 0;  // sectors delivered as zeros because they could not be read
};

// Attempts a sector gets by its distance from the track's readable area (0 inside it): raw reads make
// retries + 1 attempts, 2048-byte reads always 2.
int DiscRetryCount(int64_t gapDistance);

// Reads `count` sectors from `first` into `buffer` (2352 bytes a sector when `raw`, else 2048). Batches of 16 raw
// or 32 data sectors; a failed batch is read again one sector at a time. A sector that fails every attempt is
// zero-filled when it lies in a gap (gapDistance > 0) or the user chose Ignore/IgnoreAll; without `mayAsk` the
// read fails. Cancel (and end of input) zero-fills, marks the state cancelled, sets the abort code and fails.
// Returns 1 when the buffer holds the data (or the zero fill), 0 on failure. `skipped` (may be null) is set to 1
// when a gap sector was zero-filled.
int DiscReadSectorsWithRetry(CScsiContext* scsi, int device, CDiscReadState* state, uint8_t* buffer, int64_t first,
                             int64_t count, int raw, int mayAsk, int64_t gapDistance, const wchar_t* path,
                             int* skipped);
