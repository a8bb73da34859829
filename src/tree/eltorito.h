// El Torito boot information: the boot record and boot catalog of an opened ISO 9660 volume and where each
// boot image lies in it. The images stay in the source; the builder (builder/eltorito_writer.h) copies them
// into a new image when the document is saved. Boot images are never made from scratch: only what an opened
// image carried is written back.
//
// The catalog, its entries and the images they point at are untrusted: every size is capped by the source's
// readable limit, and a failed read keeps what was taken before it.
#pragma once

#include <cstdint>
#include <vector>

struct CImageDocument;
struct CTreeEntry;
struct CTreeFolder;

constexpr int kBootMaxEntries = 16;
// Where the boot record keeps the catalog's LBA, and the checksum word of the validation entry.
constexpr int kBootCatalogLbaOffset = 71;
constexpr int kBootValidationChecksumOffset = 28;
// Fields of the boot information table inside a no-emulation image, and where the table ends.
constexpr int kBootTablePrimaryLba = 8;
constexpr int kBootTableFileLba = 12;
constexpr int kBootTableFileLength = 16;
constexpr int kBootTableChecksum = 20;
constexpr int kBootTableEnd = 64;
constexpr int kBootEntryBytes = 32;

// Indicator bytes of catalog entries.
enum : uint8_t {
  kBootIndicatorBootable = 0x88,
  kBootIndicatorNotBootable = 0x00,
  kBootIndicatorHeader = 0x90,       // a section header, more headers follow
  kBootIndicatorFinalHeader = 0x91,  // the last section header
};
// Media types (low nibble of entry byte 1) and the EFI platform of a section header.
enum : uint8_t {
  kBootMediaNoEmulation = 0,
  kBootMedia12Floppy = 1,
  kBootMedia144Floppy = 2,
  kBootMedia288Floppy = 3,
  kBootMediaHardDisk = 4,
  kBootPlatformEfi = 0xEF,
};

struct CBootEntry {
  int64_t size;               // bytes of the image (0: none)
  int64_t sourceLba;          // where the image lies in the opened image
  int32_t hasInfoTable;       // a no-emulation image holding a boot information table
  int64_t lba;                // the image's LBA: in the source when read, in the new image after the layout
  uint16_t loadSegment;
  uint16_t sectorCount;       // 512-byte units the firmware loads
  uint8_t indicator;
  uint8_t mediaType;          // the platform for a section header
  uint8_t systemType;
  uint8_t unused;
  uint8_t criteria[20];       // entry bytes 12..31
  uint8_t raw[kBootEntryBytes];  // the entry as read
};

struct CBootInfo {
  uint8_t bootRecord[2048];
  uint8_t catalog[2048];
  int64_t catalogLba;  // in the source when read, in the new image after the layout
  int32_t entryCount;
  CBootEntry entries[kBootMaxEntries];
};

// Reads the boot record, the catalog and the boot images of the document's volume (only when its descriptor
// set named a boot record) into a new CBootInfo on the document. 1 when boot information was read, else 0
// (the document then has none).
int BootCatalogRead(CImageDocument* document);
// Frees boot information; null accepted.
void BootInfoFree(CBootInfo* info);

// 1 for an entry that stands for a boot image (bootable or not), 0 for section headers and anything else.
int BootEntryIsImage(const CBootEntry* entry);
// Index of the first bootable entry after a final section header for EFI, or -1.
int BootCatalogFindEfiSection(const CBootInfo* info);
// The sum of the 32-bit little-endian words of an image from byte 64 to its size rounded up to 4.
uint32_t BootInfoTableChecksum(const uint8_t* image, int64_t size);
// 1 when the image (at least 64 bytes) holds a valid boot information table for `size` bytes: the checksum at
// byte 20, the length at 16 equal to `size` and, unless `lba` is -1, the LBA at 12 equal to `lba`.
int BootInfoTableIsValid(const uint8_t* image, int64_t size, int64_t lba);
// 1 when a 512-byte sector ends with the partition-table signature 0x55 0xAA.
int BootImageCheckMbr(const uint8_t* sector);
// 512-byte sectors from the start of an emulated hard disk to the end of its last partition; 0 when the table
// holds no partition.
int64_t BootImageGetMbrSectors(const uint8_t* sector);
// The first file (not "." or "..") whose source LBA is `lba`, in `folder` (the root when null), then in its
// subfolders depth first; null when none.
CTreeEntry* TreeFindEntryBySourceSector(CImageDocument* document, int64_t lba, CTreeFolder* folder);
