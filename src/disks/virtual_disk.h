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

// 512-byte sectors in one sector of the document (the disk reader is called in the document's sectors, 512 or
// 4096 bytes; the virtual-disk readers count 512-byte sectors).
int64_t VirtualDiskUnit(const CImageDocument* document);
