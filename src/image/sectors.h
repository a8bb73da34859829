// Sector access: 2048-byte user-data sectors of an image at 64-bit addresses, whatever the stored form.
#pragma once

#include <cstdint>

struct CImageDocument;

// Reads n sectors of 2048 bytes at `sector`. Returns the sectors delivered (n, or fewer on failure, after
// setting the abort code and, outside probes, reporting). Sectors past the readable limit read as zeros.
int64_t ImageReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Writes n sectors of 2048 bytes through the output format's writer: the sectors written.
int64_t ImageWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n);
