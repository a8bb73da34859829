// Sector access of disk images (raw disks, and later virtual disks and compressed disk images): sectors of the
// document's own sector size (512 or 4096) at 64-bit addresses counted from the start of the disk, and byte
// reads on top of them. A container that serves a disk's sectors installs its reader in the document; without
// one the plain file is read.
#pragma once

#include <cstdint>

struct CImageDocument;

// A container's sector reader: n sectors of the document's sector size at `sector` (after any logical-volume
// mapping); n, or 0 on failure.
using ImageDiskReader = int64_t (*)(CImageDocument* document, int64_t sector, void* buffer, int64_t n);

// Reads n sectors of document->sectorSize at `sector` of the disk: n, or 0 on failure (short reads included).
int64_t ImageReadDiskSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Reads `count` bytes at byte `offset` of the disk through whole units of the partition-map unit (512 when
// unset): count, or 0 when the read is short or memory runs out.
int64_t ImageReadDiskBytes(CImageDocument* document, int64_t offset, void* buffer, int64_t count);
// ImageReadDiskBytes of n x 512 bytes at sector x 512: n, or the non-positive result.
int64_t ImageReadDiskSectors512(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
