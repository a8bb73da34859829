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
// Tells the disk's reader that `length` bytes at byte `offset` of the disk will be read soon; nothing is read.
void ImageHintDiskBytes(CImageDocument* document, int64_t offset, int64_t length);
// The byte of the disk where the document's volume (its partition) begins.
int64_t ImageVolumeStartByte(const CImageDocument* document);
// Bytes of the disk the volume can occupy from its start: the partition's length, else the rest of the file;
// INT64_MAX when unknown.
int64_t ImageVolumeSourceBytes(CImageDocument* document);
// Reads `count` bytes at byte `offset` of the volume: 1, or 0 (nothing to read succeeds).
int ImageReadVolumeBytes(CImageDocument* document, uint64_t offset, void* buffer, uint64_t count);
// ImageReadDiskBytes of n x 512 bytes at sector x 512: n, or the non-positive result.
int64_t ImageReadDiskSectors512(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
