// Sector access: 2048-byte user-data sectors of an image at 64-bit addresses, whatever the stored form.
#pragma once

#include <cstdint>

struct CImageDocument;

// Reads n sectors of 2048 bytes at `sector`. Returns the sectors delivered (n, or fewer on failure, after
// setting the abort code and, outside probes, reporting). Sectors past the readable limit read as zeros.
int64_t ImageReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Writes n sectors of 2048 bytes through the output format's writer: the sectors written.
int64_t ImageWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n);
// Copies `bytes` bytes of user data starting at `sector` straight into the file descriptor `fd` at its current
// position, inside the kernel, when the image stores plain 2048-byte sectors inside the readable limit. Returns
// the bytes copied: fewer (0 included) when this road is not open or stops early; the caller then reads the
// rest through ImageReadSectors, which reports what went wrong.
int64_t ImageCopyUserDataToFd(CImageDocument* document, int64_t sector, int64_t bytes, int fd);
