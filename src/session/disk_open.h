// Opening disk images: files that no optical format accepts are read as disks. The sector size is worked out,
// the partition table read, a partition chosen and probed for a file system whose tree becomes the document's.
#pragma once

#include <cstdint>
#include <cstdio>

struct CImageDocument;
struct CPartitionEntry;
struct CPartitionList;
struct CTreeEntry;

// Input type of a document opened as a disk image.
constexpr int32_t kImageTypeDiskImage = 150;

// A new document of input type 150 over `stream`, or null with `*error` set (1: the user refused or the chosen
// partition holds nothing readable, after the message was shown; 8: not a disk image). The stream stays the
// caller's on failure.
CImageDocument* ImageOpenDiskImage(const wchar_t* path, FILE* stream, int32_t flags, int32_t* error);

// 512 or 4096: the sector size under which the disk's partition table and first boot sector make sense.
int32_t ImageProbeSectorSize(CImageDocument* document);
// The sector size a boot sector announces: 512 or 4096 for a signed boot sector, 0 for an ext superblock at
// byte 1,080 (the buffer holds at least 2,048 bytes), -1 otherwise.
int32_t BootSectorGetSectorSize(const uint8_t* bootSector, size_t length);
// Probes the document's current partition for a file system: 1 when one was found (its tree loaded when the
// document asks for it), else 0.
int ImageProbeFileSystems(CImageDocument* document);
// The name of the file system probed on the document ("FAT32", ...), or "".
const wchar_t* ImageGetFileSystemName(const CImageDocument* document);

// 1 when the entry's data is read through the driver of the disk's file system rather than from sectors.
int DiskEntryHasOwnData(const CImageDocument* document, const CTreeEntry* entry);
// Reads `count` bytes of the entry's data from byte `offset` (a multiple of 512): count, or less on failure.
int64_t DiskReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                          int64_t count);

// Where the entry's data starts in its volume, in bytes: -1 when it has none there or the file system does not
// say (a Mac volume).
int64_t DiskEntryDataStart(CImageDocument* document, const CTreeEntry* entry);

// Copies the entry's data from its start into `fd`, as far as it lies in the disk file as it is (inside the kernel
// where the two file systems allow it): the bytes copied (a whole number of clusters unless the file is done),
// the caller reading the rest; -1 when a write failed.
int64_t DiskCopyEntryToFd(CImageDocument* document, const CTreeEntry* entry, int fd);

// 1 when an edited disk can be written back: a raw disk file whose file system keeps its changes in memory.
int DiskCanWriteEdited(const CImageDocument* document);
// Writes the whole disk to `output` with the file system's pending changes applied: 1, or 0 after the error
// was reported.
int DiskWriteEditedImage(CImageDocument* document, FILE* output);

// Shows the partitions of `list` and asks which one to use; 0 with the choice in the document, -1 when the
// user refused (end of input).
int ImageListPartitions(CImageDocument* document, CPartitionList* list, int32_t flags);
