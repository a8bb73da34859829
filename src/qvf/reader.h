// Reading QVF and QDI streams: opening (an appended stream, a self-extracting file or a plain one), checking
// the header, the typed blocks and the chunk index, asking for the password, and serving sectors by decoding
// the chunks that hold them. Whole chunks of a large read are decoded on all cores straight into the caller's
// buffer; the others, and chunks read ahead of a sequential reader, go through the chunk cache.
#pragma once

#include <cstdint>
#include <cstdio>

struct CImageDocument;
struct CQvfContext;

// A new context for the stream in `file` (the document's volume 0), or null. Tries an appended stream, a
// self-extracting file, then a stream at offset 0. `allow512`: streams of 512-byte sectors (disk images) are
// accepted. Volume file names are made from `firstVolumeName` (null: the document's path). On failure the
// document's refusal code tells a refused password (14) or an unsupported version (15) from damage (0).
CQvfContext* QvfOpenReader(CImageDocument* document, FILE* file, int allow512,
                           const wchar_t* firstVolumeName = nullptr);
// 1 when `file` (of `fileSize` bytes) ends in an appended-stream trailer whose named stream begins with a valid
// main header; its offset word (the stream base, top bit a flag) in *offsetWord. Else 0.
int QvfFindEmbeddedStream(FILE* file, int64_t fileSize, uint32_t* offsetWord);
// Reads and checks the header, blocks and index of the stream at the context's stream base: 0 or -1.
int QvfParseHeader(CQvfContext* context, uint32_t offsetWord, int allow512);

// The decoded bytes of chunk `chunk` (owned by the chunk cache, valid until the next read), or null with the
// context's error state set.
const uint8_t* QvfReadChunk(CQvfContext* context, uint64_t chunk);
// Copies one sector of the stream's sector size: 0, or -1 when its chunk cannot be read.
int QvfReadSector(CQvfContext* context, uint64_t sector, uint8_t* out);
// Reads `n` sectors from `sector`: the sectors delivered, all of them before the first chunk that failed.
int64_t QvfReadRange(CQvfContext* context, uint64_t sector, uint64_t n, uint8_t* out);

// Read handler of the format table's QVF row: n sectors of the document's sector size (512 when it is 512,
// else 2048). A failure sets the last-error text and (outside probes) abort code 11; the result counts the whole
// sectors delivered.
int64_t QvfReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);

// Opens the document's input as a QVF image (also through any later volume of a split one); the caller mounts
// its file system: 0 when the document is a QVF image now, or when it is one that cannot be opened for want of a password
// or for its version (the document's refusal code is set and detection must stop); -1 otherwise.
int ImageOpenQvf(CImageDocument* document);
// 1 when the document's file holds a QVF stream appended to other data (it is then opened as QVF whatever its
// extension).
int ImageHasEmbeddedQvf(CImageDocument* document);
