// Virtual disks: VHD, VHDX, VMDK and VDI files opened as the disk they hold. Each format's reader keeps its
// state in the document (owned) and installs a disk reader whose context is that state, so the partition table
// and the file systems read the disk through it; blocks the file does not hold read as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct CImageDocument;

// Tries VHDX, VHD, VMDK, then VDI on the document's file. 1: one opened, its reader is installed and the
// readable limit is the disk's size in 512-byte sectors; 0: none of them; -1: a virtual disk of one of these
// formats that cannot be read (damaged, or a differencing disk): the file must not be taken for a raw disk.
int VirtualDiskOpen(CImageDocument* document);
// Frees whichever virtual-disk state the document owns.
void VirtualDiskClose(CImageDocument* document);

// Reads exactly n bytes at `offset` of an open file (pread, so reads of one file never disturb each other).
bool VirtualDiskReadAt(FILE* file, void* buffer, int64_t offset, size_t n);

// Gathers reads that continue each other both in the file and in the caller's buffer into one request, so that
// a disk laid out in order is read in large blocks whatever the format's block or grain size.
class CVirtualDiskReadQueue {
 public:
  // Queues n bytes at `offset` of `file` into `out`; false when a read it had to issue failed.
  bool Add(FILE* file, int64_t offset, uint8_t* out, size_t n);
  // Issues the queued read; false when it failed.
  bool Flush();

 private:
  FILE* file_ = nullptr;
  int64_t offset_ = 0;
  uint8_t* out_ = nullptr;
  size_t length_ = 0;
};

// Where a run of a virtual disk's 512-byte sectors lies: in order at byte `offset` of `file`, or nowhere (file
// null: the run reads as zeros).
struct CVirtualDiskRun {
  FILE* file;
  int64_t offset;
};

// A format's mapper: the number of sectors from `sector` (at most `count`) that form one run, with *run set;
// 0 when `sector` cannot be read from this file (past the tables, or held by another disk); -1 when a table the
// answer needs cannot be read or points outside what a file can hold.
using VirtualDiskMapper = int64_t (*)(void* image, int64_t sector, int64_t count, CVirtualDiskRun* run);

// Reads `count` sectors from `sector` through `map`, gathering runs that continue each other into large reads:
// the number read (fewer where the map stops), 0 when a read or a table failed.
int64_t VirtualDiskReadMapped(void* image, VirtualDiskMapper map, int64_t sector, void* buffer, int64_t count);

// The document's disk-map hook for whichever virtual disk it holds: the bytes from disk byte `byte` (at most
// `length`) that lie in order at *fileByte of *file (null: they read as zeros); 0 when they cannot be mapped.
int64_t VirtualDiskMapBytes(CImageDocument* document, int64_t byte, int64_t length, FILE** file, int64_t* fileByte);

// 512-byte sectors in one sector of the document (the disk reader is called in the document's sectors, 512 or
// 4096 bytes; the virtual-disk readers count 512-byte sectors).
int64_t VirtualDiskUnit(const CImageDocument* document);
