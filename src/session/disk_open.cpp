#include "session/disk_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <vector>

#include "disks/lvm.h"
#include "disks/partitions.h"
#include "disks/virtual_disk.h"
#include "filesystems/apfs.h"
#include "filesystems/exfat.h"
#include "filesystems/ext.h"
#include "filesystems/fat.h"
#include "filesystems/hfs.h"
#include "filesystems/hfsplus.h"
#include "filesystems/ntfs.h"
#include "formats/chunkmap.h"
#include "image/disk.h"
#include "image/document.h"
#include "qvf/container.h"
#include "qvf/reader.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/kernel_copy.h"
#include "runtime/ui.h"
#include "session/chunk_open.h"
#include "session/document.h"
#include "tree/tree.h"

namespace {

constexpr int kAnswerChars = 82;

// An LVM partition whose volume group gives no mapping may still hold an ext volume in its data area, within
// its first 4,096 sectors: found there, the volume's start becomes the partition's.
int OpenExtInPhysicalVolume(CImageDocument* document) {
  constexpr uint8_t kLvmPartitionType = 0x8E;
  const CPartitionList* list = document->partitions;
  if (!list || document->lvmMap || document->chosenPartition < 0 ||
      static_cast<size_t>(document->chosenPartition) >= list->entries.size() ||
      list->entries[static_cast<size_t>(document->chosenPartition)].mbrType != kLvmPartitionType)
    return 0;
  const int64_t offset = ExtFindSuperblock(document, 4096);
  if (offset <= 0) return 0;
  const int64_t start = document->partitionStart;
  const int64_t length = document->partitionLength;
  document->partitionStart = start + offset;
  if (length > offset) document->partitionLength = length - offset;
  if (ExtOpenVolume(document) == 1) return 1;
  document->partitionStart = start;
  document->partitionLength = length;
  return 0;
}

// What the partition list shows of a partition whose file system was recognised.
int ProbePartition(CImageDocument* partition, CPartitionEntry* entry) {
  partition->loadTree = 0;  // the label is enough for the list
  if (!ImageProbeFileSystems(partition)) return 0;
  std::wcsncpy(entry->fileSystemName, ImageGetFileSystemName(partition), 63);
  entry->fileSystemName[63] = 0;
  entry->volumeLabel = partition->identifiers[kVolumeLabel];
  if (const CFatVolume* fat = partition->fat) {
    entry->unitSize = fat->bytesPerCluster;
    entry->totalUnits = fat->clusterCount;
    entry->usedUnits = fat->freeCount > fat->clusterCount ? 0 : fat->clusterCount - fat->freeCount;
  }
  if (const CNtfsVolume* ntfs = partition->ntfs) {
    entry->unitSize = ntfs->clusterSize;
    entry->totalUnits = ntfs->clusterCount;
    entry->usedUnits = static_cast<uint64_t>(ntfs->allocatedClusters);
  }
  if (const CExfatVolume* exfat = partition->exfat) {
    entry->unitSize = exfat->bytesPerCluster;
    entry->totalUnits = exfat->clusterCount;
    entry->usedUnits = exfat->usedClusters;
  }
  if (const CExtVolume* ext = partition->ext) {
    entry->unitSize = ext->blockSize;
    entry->totalUnits = ext->blocksCount;
    entry->usedUnits = ext->freeBlocks > ext->blocksCount ? 0 : ext->blocksCount - ext->freeBlocks;
  }
  return 1;
}

// Reads the table under one sector size, without probing the partitions.
CPartitionList* ReadTable(CImageDocument* document, int32_t sectorSize) {
  const int32_t saved = document->sectorSize;
  const int64_t savedLimit = document->readableLimit;
  // A disk served by a container knows its size: in sectors of the size tried.
  if (saved > 0 && savedLimit > 0) document->readableLimit = savedLimit * saved / sectorSize;
  document->sectorSize = sectorSize;
  if (const CChunkMap* map = document->chunkMap)
    document->readableLimit = static_cast<int64_t>((map->uncompressedTotal + sectorSize - 1) / sectorSize);
  CPartitionList* list = PartitionListRead(document->input, -1, sectorSize, document, nullptr, 0);
  document->sectorSize = saved;
  document->readableLimit = savedLimit;
  return list;
}

bool HasRealEntries(const CPartitionList* list) { return list && list->hasEntries && !list->wholeDisk; }

// The sector size a boot sector read with `sectorSize`-byte sectors at `sector` announces (-1: unreadable).
int32_t BootSectorAt(CImageDocument* document, int32_t sectorSize, uint64_t sector) {
  // Two KiB at least, so that an ext superblock at byte 1,080 is seen.
  std::vector<uint8_t> bytes(sectorSize < 2048 ? 2048 : static_cast<size_t>(sectorSize));
  if (sector > static_cast<uint64_t>(INT64_MAX) / static_cast<uint64_t>(sectorSize)) return -1;
  if (ImageReadDiskBytes(document, static_cast<int64_t>(sector) * sectorSize, bytes.data(),
                         static_cast<int64_t>(bytes.size())) != static_cast<int64_t>(bytes.size()))
    return -1;
  return BootSectorGetSectorSize(bytes.data(), bytes.size());
}

void Detach(CImageDocument* document) {
  if (!document) return;
  document->input = nullptr;
  ImageClose(document);
}

// Copies n bytes at `from` of `input` to the current position of `out`: inside the kernel by copy_file_range,
// else by sendfile (files on two file systems), else through one buffer. The bytes copied (fewer when the input
// ends or a copy stopped), -1 when a write failed.
int64_t CopyFileBytes(CImageDocument* document, int input, int64_t from, int64_t n, int out) {
  constexpr int64_t kStep = 1 << 20;
  int64_t copied = KernelCopyRange(input, from, n, out, &document->kernelCopyRefused);
  if (copied < n) {
    if (document->diskWork.size() < static_cast<size_t>(kStep)) document->diskWork.resize(static_cast<size_t>(kStep));
    while (copied < n) {
      const int64_t want = std::min(kStep, n - copied);
      const ssize_t got = pread(input, document->diskWork.data(), static_cast<size_t>(want), from + copied);
      if (got != want) break;
      int64_t written = 0;
      while (written < want) {
        const ssize_t k = write(out, document->diskWork.data() + written, static_cast<size_t>(want - written));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return -1;
        written += k;
      }
      copied += want;
    }
  }
  return copied;
}

// Puts n zero bytes at the current position of `out`: a hole when `out` is a regular file that ends there, else
// written zeros. n, or -1 when a write failed.
int64_t PutZeroBytes(int out, int64_t n) {
  struct stat info;
  const off_t at = lseek(out, 0, SEEK_CUR);
  if (at >= 0 && fstat(out, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == at && n <= INT64_MAX - at &&
      ftruncate(out, at + n) == 0 && lseek(out, at + n, SEEK_SET) == at + n)
    return n;
  static constexpr uint8_t kZeros[1 << 16] = {};
  int64_t written = 0;
  while (written < n) {
    const ssize_t k = write(out, kZeros, static_cast<size_t>(std::min<int64_t>(sizeof kZeros, n - written)));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return -1;
    written += k;
  }
  return n;
}
}  // namespace

int32_t BootSectorGetSectorSize(const uint8_t* bootSector, size_t length) {
  ByteReader sector(bootSector, length);
  const uint16_t signature = sector.U16LEAt(510);
  if (!sector.ok()) return -1;
  if (signature != 0xAA55) {
    ByteReader ext(bootSector, length);
    return ext.U16LEAt(1080) == 0xEF53 && ext.ok() ? 0 : -1;
  }
  sector.Seek(3);
  const std::string_view oem = sector.Chars(8);
  if (oem == "EXFAT   ") return sector.U8At(108) == 12 ? 4096 : 512;
  return sector.U16LEAt(11) == 4096 ? 4096 : 512;
}

int32_t ImageProbeSectorSize(CImageDocument* document) {
  CPartitionList* small = ReadTable(document, 512);
  if (!HasRealEntries(small)) {
    PartitionListFree(small);
    CPartitionList* large = ReadTable(document, 4096);
    const bool found = HasRealEntries(large);
    PartitionListFree(large);
    if (found) return 4096;
    return BootSectorAt(document, 4096, 0) == 4096 ? 4096 : 512;
  }
  const uint64_t firstStart = small->entries.front().start;
  PartitionListFree(small);
  const int32_t said = BootSectorAt(document, 512, firstStart);
  if (said == 512 || said == 0) return 512;
  CPartitionList* large = ReadTable(document, 4096);
  if (!HasRealEntries(large)) {
    PartitionListFree(large);
    return 512;
  }
  const uint64_t largeStart = large->entries.front().start;
  PartitionListFree(large);
  const int32_t saidLarge = BootSectorAt(document, 4096, largeStart);
  if (saidLarge == 4096 || saidLarge == 0) return 4096;
  return BootSectorAt(document, 4096, 0) == 4096 ? 4096 : 512;
}

int ImageProbeFileSystems(CImageDocument* document) {
  if (!document) return 0;
  if (document->sectorSize != 2048 && FatOpenVolume(document) == 1) return 1;
  if (document->sectorSize != 2048 && ExfatOpenVolume(document) == 1) return 1;
  if (document->sectorSize != 2048 && NtfsProbeVolume(document) == 1) return 1;
  if (document->sectorSize != 2048 && ExtOpenVolume(document) == 1) return 1;
  if (document->sectorSize != 2048 && OpenExtInPhysicalVolume(document) == 1) return 1;
  // The other file systems of disks come with their readers; an APFS container is only recognised.
  if (MacProbeVolume(document)) {
    document->readOnly = 1;
    if (document->hfsPlus) HfsPlusSetLabel(document);
    if (document->hfs) HfsSetLabel(document);
    if (document->treeOwned && document->loadTree && MacLoadTree(document) != 0) document->treeDamaged = 1;
    return 1;
  }
  if (ApfsProbeContainer(document) == 1) {
    if (document->treeOwned && document->loadTree) ApfsLoadTree(document);
    return 1;
  }
  return 0;
}

const wchar_t* ImageGetFileSystemName(const CImageDocument* document) {
  if (!document) return L"";
  if (const CFatVolume* fat = document->fat) {
    switch (fat->type) {
      case kFatType12:
        return L"FAT12";
      case kFatType16:
        return L"FAT16";
      default:
        return L"FAT32";
    }
  }
  if (const wchar_t* mac = MacFileSystemName(document)) return mac;
  if (document->ntfs) return L"NTFS";
  if (document->exfat) return L"exFAT";
  if (const CExtVolume* ext = document->ext) return ext->ext4 ? L"Linux Ext4" : L"Linux Ext2/Ext3";
  if (document->apfs) return L"APFS";
  return L"";
}

int DiskEntryHasOwnData(const CImageDocument* document, const CTreeEntry* entry) {
  if (!document || !entry) return 0;
  if (MacEntryHasData(document, entry)) return 1;
  if (document->ntfs) return NtfsGetLocator(entry) ? 1 : 0;
  if (document->exfat) return ExfatGetRecord(entry) ? 1 : 0;
  if (document->ext) return ExtGetRecord(entry) ? 1 : 0;
  return document->fat && FatGetLocator(entry) ? 1 : 0;
}

int64_t DiskReadEntryData(CImageDocument* document, const CTreeEntry* entry, int64_t offset, void* buffer,
                          int64_t count) {
  if (MacEntryHasData(document, entry)) return MacReadEntryData(document, entry, offset, buffer, count);
  if (!DiskEntryHasOwnData(document, entry)) return 0;
  if (document->ntfs) {
    const int64_t n = NtfsReadEntryData(document, entry, offset, buffer, count);
    return n < 0 ? 0 : n;
  }
  if (document->exfat) return ExfatReadFileData(document, entry, offset, buffer, count);
  if (document->ext) return ExtReadFileData(document, entry, offset, buffer, count);
  if (offset < 0 || offset % 512 != 0 || count < 0) return 0;
  if (offset / 512 > 0xFFFFFF) return 0;
  return FatReadFileData(document, entry, buffer, static_cast<uint32_t>(offset / 512), count);
}

int DiskCanWriteEdited(const CImageDocument* document) {
  return document && document->fat && !document->diskReader && document->input ? 1 : 0;
}

int DiskWriteEditedImage(CImageDocument* document, FILE* output) {
  if (!DiskCanWriteEdited(document) || !output) return 0;
  constexpr int64_t kBlock = 1 << 20;
  std::vector<uint8_t> buffer(static_cast<size_t>(kBlock));
  auto writeFailed = [&]() {
    LastErrorSetCode(errno ? errno : EIO);
    ErrorReport(document->outputPath.c_str());
    AbortCodeRaise(kAbortWriteFailed);
    return 0;
  };
  // First the disk as it is in the file...
  const int64_t size = FileGetSize(document->input);
  for (int64_t at = 0; at < size;) {
    const int64_t n = std::min(kBlock, size - at);
    if (!FileReadAt(document->input, buffer.data(), at, static_cast<size_t>(n))) {
      ErrorReport(document->path.c_str());
      AbortCodeRaise(kAbortReadFailed);
      return 0;
    }
    if (!FileWriteAt(output, buffer.data(), at, static_cast<size_t>(n))) return writeFailed();
    at += n;
  }
  // ...then the volume over it as the file system now reads it, changes included. A logical volume's sectors
  // go where its mapping puts them.
  const CFatVolume* fat = document->fat;
  const int64_t sectorSize = document->sectorSize > 0 ? document->sectorSize : 512;
  const int64_t volumeByte = document->partitionStart * sectorSize;
  const int64_t total = fat->totalSectors;
  for (int64_t sector = 0; sector < total;) {
    const int64_t n = std::min<int64_t>(kBlock / 512, total - sector);
    if (FatReadSectors(document, static_cast<uint64_t>(sector), buffer.data(), n) != n) {
      ErrorReport(document->path.c_str());
      AbortCodeRaise(kAbortReadFailed);
      return 0;
    }
    if (!document->lvmMap) {
      if (!FileWriteAt(output, buffer.data(), volumeByte + sector * 512, static_cast<size_t>(n * 512)))
        return writeFailed();
    } else {
      for (int64_t i = 0; i < n; ++i) {
        const int64_t byte = volumeByte + (sector + i) * 512;
        const int64_t mapped = document->lvmMap(document, byte / sectorSize);
        if (mapped < 0) continue;  // outside what this disk holds of the volume
        if (!FileWriteAt(output, buffer.data() + i * 512, mapped * sectorSize + byte % sectorSize, 512))
          return writeFailed();
      }
    }
    sector += n;
  }
  return 1;
}

namespace {

// The run of the entry's data that holds byte `offset` of it, from there on: its length, with *volumeByte where
// it starts in the volume; 0 when there is none.
int64_t EntryRun(CImageDocument* document, const CTreeEntry* entry, int64_t offset, int64_t* volumeByte) {
  if (document->ntfs) return NtfsFileRun(document, entry, offset, volumeByte);
  if (document->exfat || document->ext) {
    uint64_t byte = 0;
    const int64_t run = document->exfat ? ExfatFileRun(document, entry, static_cast<uint64_t>(offset), &byte)
                                        : ExtFileRun(document, entry, static_cast<uint64_t>(offset), &byte);
    if (byte > static_cast<uint64_t>(INT64_MAX / 2)) return 0;
    *volumeByte = static_cast<int64_t>(byte);
    return run;
  }
  if (!document->fat) return 0;
  uint64_t volumeSector = 0;
  const int64_t run = FatFileRun(document, entry, static_cast<uint64_t>(offset), &volumeSector);
  if (volumeSector > static_cast<uint64_t>(INT64_MAX / 512)) return 0;
  *volumeByte = static_cast<int64_t>(volumeSector) * 512;
  return run;
}

}  // namespace

int64_t DiskEntryDataStart(CImageDocument* document, const CTreeEntry* entry) {
  if (!DiskEntryHasOwnData(document, entry) || MacEntryHasData(document, entry)) return -1;
  int64_t volumeByte = 0;
  return EntryRun(document, entry, 0, &volumeByte) > 0 ? volumeByte : -1;
}

int64_t DiskCopyEntryToFd(CImageDocument* document, const CTreeEntry* entry, int fd) {
  if (MacEntryHasData(document, entry)) return MacCopyEntryToFd(document, entry, fd);
  // A disk reader's data is copied only where its map says which file holds it, or from a chunk image's decoded
  // chunks.
  if (!DiskEntryHasOwnData(document, entry) || (document->diskReader && !document->diskMap && !document->chunkMap) ||
      document->lvmMap || !document->input)
    return 0;
  const int input = fileno(document->input);
  const int64_t sectorSize = document->sectorSize > 0 ? document->sectorSize : 512;
  const int64_t volumeByte = document->partitionStart * sectorSize;
  const int64_t fileBytes = document->fileSize > 0 ? document->fileSize : FileGetSize(document->input);
  int64_t done = 0;
  for (;;) {
    int64_t runByte = 0;
    const int64_t run = EntryRun(document, entry, done, &runByte);
    if (run <= 0) break;
    const int64_t from = volumeByte + runByte;
    int64_t copied = 0;
    if (!document->diskReader) {
      // Data the file does not hold is left to the reads, which say so.
      if (from > fileBytes || run > fileBytes - from) break;
      copied = CopyFileBytes(document, input, from, run, fd);
      if (copied < 0) return -1;
    }
    if (document->chunkMap) {
      copied = ChunkMapCopyToFd(document->chunkMap, static_cast<uint64_t>(from), static_cast<uint64_t>(run), fd);
      // The reads go on from a whole sector.
      if (const int64_t rest = copied % 512; copied < run && rest != 0) {
        if (lseek(fd, -rest, SEEK_CUR) < 0) return -1;
        copied -= rest;
      }
    }
    while (document->diskReader && !document->chunkMap && copied < run) {
      FILE* file = nullptr;
      int64_t fileByte = 0;
      const int64_t piece = VirtualDiskMapBytes(document, from + copied, run - copied, &file, &fileByte);
      if (piece <= 0) break;
      const int64_t got = file ? CopyFileBytes(document, fileno(file), fileByte, piece, fd) : PutZeroBytes(fd, piece);
      if (got < 0) return -1;
      copied += got;
      if (got < piece) break;
    }
    done += copied;
    if (copied < run) break;
  }
  return done;
}

int ImageListPartitions(CImageDocument* document, CPartitionList* list, int32_t /*flags*/) {
  if (!document || !list || list->entries.empty()) return -1;
  const int count = static_cast<int>(list->entries.size());
  UiPrintf(L"Partitions found in %ls:\r\n", document->path.c_str());
  UiPrintf(L"%-3ls %-20ls %-16ls %ls\r\n", L"#", L"Label", L"Type", L"Size");
  for (int i = 0; i < count; ++i) {
    const CPartitionEntry& entry = list->entries[static_cast<size_t>(i)];
    UiPrintf(L"%-3d %-20ls %-16ls %ls\r\n", i + 1, entry.volumeLabel.c_str(), entry.description, entry.sizeText);
  }
  int chosen = 1;
  if (!UiAssumeYes()) {
    for (;;) {
      UiPrintf(L"Please select a partition(%d -- %d):", 1, count);
      wchar_t answer[kAnswerChars];
      if (!UiReadLine(answer, kAnswerChars)) {
        // End of input refuses: the open fails, and says why.
        UiPrintf(L"\r\n%ls\r\n", L"No partition was chosen.");
        return -1;
      }
      wchar_t* end = nullptr;
      const long value = std::wcstol(answer, &end, 10);
      while (end && (*end == L' ' || *end == L'\t')) ++end;
      if (end != answer && end && *end == 0 && value >= 1 && value <= count) {
        chosen = static_cast<int>(value);
        break;
      }
      UiPrintf(L"The input value should be between %d and %d.\r\n", 1, count);
    }
  }
  const CPartitionEntry& entry = list->entries[static_cast<size_t>(chosen - 1)];
  document->chosenPartition = chosen - 1;
  document->partitionStart = static_cast<int64_t>(entry.start);
  document->partitionLength = static_cast<int64_t>(entry.length);
  return 0;
}

CImageDocument* ImageOpenDiskImage(const wchar_t* path, FILE* stream, int32_t flags, int32_t* error) {
  *error = 0;
  CImageDocument* document = ImageAllocForStream(path, stream, flags, error);
  if (!document) return nullptr;
  document->partitionMapUnit = 512;
  auto fail = [&](int32_t code) -> CImageDocument* {
    *error = code;
    Detach(document);
    return nullptr;
  };
  // A VMDK descriptor is a small text file: the only disk image shorter than a sector.
  if (document->fileSize < 512 && VirtualDiskOpen(document) != 1) return fail(8);

  // A QVF stream of disk sectors serves the disk; its sectors are of the size it was written with.
  int32_t sectorSize = 0;
  if (!document->diskReader && ImageAttachChunkDisk(document) == 1) {
    // A DMG's chunks serve the disk, counted in 512-byte sectors.
    sectorSize = ImageProbeSectorSize(document);
    document->readableLimit = document->readableLimit * 512 / sectorSize;
  } else if (CQvfContext* qvf = document->diskReader ? nullptr : QvfOpenReader(document, stream, 1)) {
    if (qvf->sectorSize != 512 && qvf->sectorSize != 4096) {
      QvfCloseReader(qvf);
      return fail(8);
    }
    document->qvf = qvf;
    document->diskReader = QvfReadSectors;
    sectorSize = qvf->sectorSize;
    document->readableLimit = static_cast<int64_t>(qvf->sectorCount);
  } else {
    // A virtual disk serves the disk it holds; one that cannot be read is not a raw disk either.
    if (!document->diskReader && VirtualDiskOpen(document) < 0) return fail(8);
    if (document->diskReader) document->sectorSize = 512;
    sectorSize = ImageProbeSectorSize(document);
    if (document->diskReader) document->readableLimit = document->readableLimit * 512 / sectorSize;
  }
  document->sectorSize = sectorSize;
  CPartitionList* list =
      PartitionListRead(stream, -1, sectorSize, document, nullptr, 0, ProbePartition, ImageClose);
  if (!list) return fail(8);
  document->partitions = list;
  const int64_t diskSize = document->qvf          ? static_cast<int64_t>(document->qvf->sectorCount)
                           : list->diskSize > 0   ? static_cast<int64_t>(list->diskSize)
                           : document->diskReader ? document->readableLimit
                                                  : document->fileSize / sectorSize;
  for (CPartitionEntry& entry : list->entries) {
    if (list->wholeDisk && entry.length == 0) entry.length = static_cast<uint64_t>(diskSize);
    if (!entry.lvm) entry.lvm = LvmReadLabel(document, entry.start);
  }
  document->readableLimit = diskSize;

  if (HasRealEntries(list)) {
    if (ImageListPartitions(document, list, flags) != 0) return fail(1);
  } else {
    document->chosenPartition = 0;
    document->partitionStart = 0;
    document->partitionLength = diskSize;
  }
  if (const CPartitionEntry* entry = &list->entries[static_cast<size_t>(document->chosenPartition)]; entry->lvm)
    document->lvmMap = LvmMapSector;

  if (ImageCreateRoot(document) != 0) return fail(6);
  document->treeOwned = 1;
  document->inputType = kImageTypeDiskImage;
  if (ImageProbeFileSystems(document)) {
    document->inputType = kImageTypeDiskImage;
    if (list->entries.size() > 1) document->readOnly = 1;
    return document;
  }
  if (HasRealEntries(list)) {
    const CPartitionEntry& entry = list->entries[static_cast<size_t>(document->chosenPartition)];
    UiPrintf(L"%ls\r\n\r\n%ls%d:    %ls\r\n", L"Kestrane can't open the following partition: ", L"Partition",
             document->chosenPartition + 1, entry.description);
    return fail(1);
  }
  // A file with neither a partition table nor a file system is no disk image.
  return fail(8);
}
