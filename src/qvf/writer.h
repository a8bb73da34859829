// Writing a QVF stream from the sectors of an image document: the geometry by compression level, a placeholder
// header and the typed blocks first, the index reserved, the chunks compressed and appended, and at the end the
// header and index put in place. Chunks are compressed on all cores by worker threads that each keep their own
// coder state; they are written in chunk order, so the bytes are those one thread alone would write.
#pragma once

#include <cstddef>
#include <cstdint>

#include <string>

struct CImageDocument;
struct CQvfContext;
struct CSaveOptions;

// Worker threads that compress chunks: 0 means one per core.
extern int32_t g_qvfCompressionThreads;

// Spreads the "DmFlags" setting and -method over the writer's parameters of `context` (from g_qvfWriterParams),
// and the compression level over the document.
void QvfApplyOptionFlags(CQvfContext* context, CImageDocument* document);
// A writer for `sectorCount` sectors of `document` (512-byte sectors when the document's are 512, else 2048),
// written to document->output named document->outputPath (the first volume's name when split), with the
// document's save settings: volumes, password, comment, self-extractor. Null on failure.
CQvfContext* QvfCreateWriter(CImageDocument* document, int64_t sectorCount);
// Writes the start of the stream (self-extractor head, placeholder header, blocks, reserved index): 1 or 0.
int QvfBeginWrite(CQvfContext* context);
// Appends stream bytes (through the volumes of a split output): 1 or 0.
int QvfWriteBytes(CQvfContext* context, const uint8_t* bytes, size_t length);
// Compresses one chunk of `length` bytes into `output` (capacity QvfChunkOutputCapacity) as the stream stores
// it (data, CRC-32, scrambled with the password): the stored length, or -1. The stored bytes start at
// *dataOffset in `output`; *codec is the codec code of the index.
int64_t QvfCompressChunk(const CQvfContext* context, uint64_t chunk, const uint8_t* input, uint8_t* output,
                         size_t length, int32_t* codec, size_t* dataOffset);
size_t QvfChunkOutputCapacity(const CQvfContext* context);
// Fill the index entry of a chunk: 1, or 0 when the length does not fit the entry.
int QvfSetChunkLength(CQvfContext* context, uint64_t chunk, uint64_t storedLength);
void QvfSetChunkFlags(CQvfContext* context, uint64_t chunk, int32_t codec);
// Completes the stream (trailers, volume heads, header, index): 0, or -1.
int QvfFinishWrite(CQvfContext* context);

// Write handler of the format table's QVF row. At sector 0 it makes the document's writer (for the document's
// readable limit of sectors) and begins the stream; sectors must come in ascending order (a gap is written as
// zeros); after the last sector the stream is finished and the writer freed. n, or 0 after setting the last
// error.
int64_t QvfWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n);

// Saves `sectorCount` 2048-byte sectors of `document`, read from sector 0 through ImageReadSectors, as a QVF
// stream into document->output (already created by the caller; with volumes it must be named as the first
// volume, document->outputPath) with the document's save settings and -method. `progress`, when not null, is
// told the bytes of each block written. 0, or -1 after the reason was reported; later volumes of a failed
// save are removed (the caller removes the output it created).
int QvfSaveImage(CImageDocument* document, int64_t sectorCount, void (*progress)(uint64_t bytes) = nullptr);

// Gives a document about to be written as QVF the save options of the command line (password, volumes,
// comment, self-extractor) when any of a password, volumes or a comment is set; otherwise it is written without
// volumes, password or comment.
void QvfTakeSaveOptions(CImageDocument* document, const CSaveOptions* options);
// The name a QVF output of the document gets for `target`: extension "exe" for a self-extracting image ("sfx.exe"
// in place of the last three characters when the image holds just one file of that name), then the first
// volume's name when it is split.
std::wstring QvfOutputName(const CImageDocument* document, const wchar_t* target);
