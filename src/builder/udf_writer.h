// The UDF 1.02 bridge of a new image: the recognition sequence, both volume descriptor sequences, the integrity
// sequence, the anchors, the file set, and a file entry for every directory and file, written beside (or
// instead of) ISO 9660. File entries point at the data the ISO records point at; names are the Joliet names and
// folders are walked in Joliet order. The layout (layout.cpp) calls the Reserve steps in sector order and the
// write pass calls the Write steps in the same order; every writer checks that it starts where the layout put it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct CImageDocument;
struct CProgressCallbacks;
struct CTreeEntry;

// Allocation descriptors of one file entry: each covers at most this many bytes (the largest multiple of 2048
// below 2^30).
constexpr int64_t kUdfMaxExtentBytes = 0x3FFFF800;
// Short allocation descriptors that fit a file entry sector, and an allocation extent sector.
constexpr int kUdfFileEntryDescriptors = 234;
constexpr int kUdfExtentDescriptors = 253;

// ---- Layout, in sector order ----

void UdfReserveVrs(CImageDocument* document);         // 3 sectors; clears the previous build's UDF state
void UdfReserveUpTo32(CImageDocument* document);
void UdfReserveMainVds(CImageDocument* document);     // 16 sectors
void UdfReserveReserveVds(CImageDocument* document);  // 16 sectors
void UdfReserveLvid(CImageDocument* document);        // 2 sectors
void UdfReserveUpTo256(CImageDocument* document);     // then the anchor (1 sector)
void UdfReservePartitionStart(CImageDocument* document);  // file set descriptor and its terminator
// Every visible directory, pre-order over the Joliet order: its file entry, then its file identifiers.
// 0, or -1 (abort code set) when a directory cannot be described.
int UdfSizeFileIdentifiers(CImageDocument* document);
// A file entry (with its allocation extent sectors) for every visible file, folder by folder.
void UdfCountFileEntries(CImageDocument* document);
void UdfReserveClosingAnchor(CImageDocument* document);

// ---- Writing, in the same order; 0, or -1 as soon as a step fails ----

int UdfWriteVrs(CImageDocument* document, CProgressCallbacks* progress);
int UdfPadTo32(CImageDocument* document, CProgressCallbacks* progress);
// One volume descriptor sequence at the write position; called for the main and then the reserve sequence.
int UdfWriteVds(CImageDocument* document, CProgressCallbacks* progress);
int UdfWriteLvid(CImageDocument* document, CProgressCallbacks* progress);
int UdfPadTo256(CImageDocument* document, CProgressCallbacks* progress);
// The anchor at the write position: at S+256 and, last of all, the closing anchor.
int UdfWriteAvdp(CImageDocument* document, CProgressCallbacks* progress);
int UdfWriteFsd(CImageDocument* document, CProgressCallbacks* progress);
int UdfWriteDirectories(CImageDocument* document, CProgressCallbacks* progress);
int UdfWriteFileEntries(CImageDocument* document, CProgressCallbacks* progress);

// ---- Descriptor helpers ----

// Completes the 16-byte tag of the descriptor at `descriptor` (`length` bytes, tag included): identifier,
// version 2, the CRC-16/CCITT of the bytes after the tag, the tag location, then the tag checksum.
void UdfFillTag(uint8_t* descriptor, uint16_t identifier, uint32_t location, size_t length);
// OSTA compressed Unicode of `count` UTF-16 units into `out` (at most `room` bytes): compression id 8 (one byte
// a unit) when every unit is below 0x80, else 16 (two bytes, big-endian). Units that do not fit are left out,
// never half a surrogate pair. The bytes written, or 0 for an empty name.
int UdfEncodeName(const uint16_t* units, int32_t count, uint8_t* out, int room);
// A d-string field of `length` bytes: the encoded text, zeros, and its byte count in the last byte.
void UdfMakeDString(uint8_t* field, int length, const uint16_t* units, int32_t count);
// The 12-byte timestamp of a 7-byte ISO record date (local time with its offset).
void UdfConvertIsoDate(const uint8_t* date, uint8_t* timestamp);

// Short allocation descriptors a file of `size` bytes takes, and the sectors its file entry takes with the
// allocation extent sectors that continue it.
int64_t UdfAllocationDescriptorCount(int64_t size);
int64_t UdfFileEntrySectors(int64_t size);
// Appends the file entry of `entry` to `out`: UdfFileEntrySectors(size) sectors, the entry at partition block
// `block`, its `size` bytes at partition block `dataBlock` onward, allocation extent descriptors in the
// sectors after the entry. `directory` makes it a directory entry with `links` links. 0, or -1 when a block
// number does not fit 32 bits.
int UdfBuildFileEntry(CImageDocument* document, const CTreeEntry* entry, int64_t block, int64_t dataBlock,
                      int64_t size, bool directory, uint16_t links, uint64_t uniqueId, std::vector<uint8_t>* out);
