// wim/: WIM archives, single-file or split into numbered parts: the header, the lookup table of streams,
// solid resources, the metadata resource of each image with its directory entries, the XML description, the
// image chooser and the extraction of a file's data stream with its SHA-1 checked. It owns the LZX, XPRESS
// Huffman and LZMS decoders, SHA-1 and the XML reader. It uses runtime/, image/ (the document record it fills)
// and tree/ (the file tree it builds), nothing above them.
//
// The reader: opens an archive into an image document whose tree is one image's directory tree, and copies a
// tree entry's stream out. Extraction hands files to worker threads that decode, check and write them while the
// caller makes the next ones; the chunks of a large resource or of a solid block are decoded on all cores.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "wim/sha1.h"

struct CImageDocument;
struct CTreeEntry;

// Input type of a document that reads a WIM archive.
constexpr int32_t kImageTypeWim = 152;
// Open flag: with several images, the first is taken without asking.
constexpr int32_t kWimOpenFirstImage = 8;

enum : int {
  kWimCompressionNone = 0,
  kWimCompressionXpress = 1,
  kWimCompressionLzx = 2,
  kWimCompressionLzms = 3,
};

enum : int {
  kWimLayoutNew = 0,
  kWimLayoutMiddle = 1,
  kWimLayoutOld = 2,
  kWimLayoutOldest = 3,
};

struct CWimResourceHeader {
  uint64_t storedSize;  // 56 bits on disc
  uint8_t flags;        // 0x02 metadata, 0x04 compressed, 0x10 solid
  uint64_t offset;
  uint64_t originalSize;
};

struct CWimHeader {
  uint32_t headerSize;
  uint32_t version;
  uint32_t flags;
  uint32_t chunkSize;  // 32,768 when the header says 0
  int layout;
  uint8_t guid[16];
  uint16_t partNumber;
  uint16_t partCount;
  uint32_t imageCount;
  CWimResourceHeader lookup;
  CWimResourceHeader xml;
  CWimResourceHeader boot;
};

struct CWimLookupEntry {
  uint64_t storedSize;
  uint64_t offset;
  uint64_t originalSize;
  uint8_t flags;
  uint8_t continuesRun;
  int32_t solidBlock = -1;
  uint16_t partNumber;
  uint32_t referenceCount;
  uint8_t hash[kSha1DigestBytes];
  int32_t listedBy;   // index of the part whose table listed it
  uint32_t streamId;  // old layouts
};

struct CWimSolidBlock {
  int32_t descriptor;  // stream-table position of the block's own entry
  uint64_t runStart;   // start in its run's uncompressed data
  uint64_t size;       // uncompressed size
  uint32_t format;     // 2 LZX, 3 LZMS, other XPRESS
  int chunkLog2;
  uint64_t dataStart;                  // chunk data, relative to the block
  std::vector<uint64_t> chunkOffsets;  // chunks + 1 entries
};

struct CWimImageInfo {
  bool hasIndex = false, hasName = false, hasTotalBytes = false;
  std::wstring index;
  std::wstring name;
  uint64_t totalBytes = 0;
};

struct CWimPart {
  FILE* file = nullptr;  // part 1 is the document's input and is not closed here
  int64_t size = 0;
  bool valid = false;
  CWimHeader header{};
};

struct CWimChunkCache;
struct CWimExtractQueue;
struct CWimScratch;

struct CWimState {
  std::vector<CWimLookupEntry> streams;
  std::vector<int32_t> hashIndex;  // stream positions sorted by SHA-1
  std::vector<CWimSolidBlock> blocks;
  std::vector<CWimPart> parts;
  std::vector<CWimImageInfo> images;
  int32_t metadataCount = 0;
  int32_t selectedImage = 0;
  int layout = kWimLayoutNew;
  std::unique_ptr<CWimChunkCache> cache;  // decoded solid chunks kept for the next members
  std::unique_ptr<CWimScratch> scratch;   // decoders and buffers of the owning thread's reads
  std::unique_ptr<CWimExtractQueue> queue;  // files being written by the extraction workers
  CWimState();
  ~CWimState();
};

// Parses the header of one part (at least 208 bytes). 1 accepted, 0 refused.
int WimParseHeader(const uint8_t* bytes, size_t n, CWimHeader* header);
void WimParseResourceHeader(const uint8_t* bytes, CWimResourceHeader* header);
// 0 none, 1 XPRESS, 2 LZX, 3 LZMS; -1 for a compressed header that names no codec.
int WimGetCompressionType(uint32_t flags);

// Opens the document's input file as a WIM archive and builds the selected image's tree. 1 opened; 0 not a
// WIM archive (nothing said); -1 a WIM archive that cannot be opened, or no image was chosen (the reason has
// been shown).
int WimOpenArchive(CImageDocument* document, int32_t flags);
// Frees the state (part files 2 and up included). Null accepted.
void WimClose(CWimState* state);
const wchar_t* WimGetCurrentImageName(const CImageDocument* document);
// Prints the image list and asks for one: the 0-based choice, or -1 when none was given.
int ImageListContainedImages(CImageDocument* document);

// Writes the data stream of a tree entry to `output` (null: reads and checks only), reporting bytes through
// `progress` (may be null). 1 done; -1 the output could not be written (abort code set); -2 the stream is
// damaged, missing or its SHA-1 differs (the last error text says which; the run may go on).
int WimExtractFile(CImageDocument* document, const CTreeEntry* entry, FILE* output, void (*progress)(uint64_t));
// Like WimExtractFile, but the data is decoded, checked and written by worker threads while the caller goes on:
// `output` is written through a descriptor of its own, given the entry's time when complete (the caller may
// close it at once). 1 queued or done; -1 a write failed earlier (abort code set); -2 as for WimExtractFile.
// `progress` hears of the whole file at once. `path` names the file in the reports of WimExtractWait.
int WimExtractFileQueued(CImageDocument* document, const CTreeEntry* entry, FILE* output, const wchar_t* path,
                         void (*progress)(uint64_t));
// Waits for every queued file, then calls `report` for each that failed: with the reason for a damaged stream
// or a SHA-1 that differs, with the errno of a write that failed, or with neither for a file passed over after
// such a write. The caller removes the reported files. Returns how many were reported.
int WimExtractWait(CImageDocument* document, void (*report)(const wchar_t* path, const wchar_t* message, int error));
// Whether an entry's data comes from the archive (files with a stream, empty files included).
int WimEntryHasData(const CImageDocument* document, const CTreeEntry* entry);
