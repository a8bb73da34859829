// Split QVF streams: the names of the volume files, the 100-byte head of every later volume, mapping stream
// positions to volume files, and the writer that cuts a stream at volume boundaries.
//
// Volume 0 holds the stream from its base (main header, the volume parameter and size blocks, the other
// blocks, the index and data); volume k of 1 or more holds its head and then the next stretch of the stream. On
// a self-extracting image the last 28 bytes of volume 0 are its trailer and no part of the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CQvfContext;

// Most volumes of a naming style: 99, 9999 or 101; 0 for an unknown style.
int32_t QvfGetMaxVolumes(int32_t style);
// The first volume's file name for an output named `name`; empty for an unknown style.
std::wstring QvfGetFirstVolumeName(const wchar_t* name, int32_t style);
// The name of volume `n` (from 0) made from the first volume's name; empty when that name does not fit the
// style or `n` is beyond the style's capacity.
std::wstring QvfMakeVolumeName(const wchar_t* firstName, int32_t n, int32_t style);
// The names volume 0 may have, for the name of any volume of a split image in `style` (-1: any style), most
// likely first.
std::vector<std::wstring> QvfVolumeToFirstNames(const wchar_t* name, int32_t style);

// The file names of every volume of a split stream being read (the first volume's alone when not split).
std::vector<std::wstring> QvfVolumeNames(const CQvfContext* context);

// Reads the volume parameter and size blocks of volume 0 from the stream's typed blocks (`area`, the bytes
// between the main header and the index offset): 1 when the stream is split (sizes and starts filled in), 0 when
// it is not, -1 when the blocks are damaged or do not agree.
int QvfReadVolumeParams(CQvfContext* context, const uint8_t* area, size_t areaLength);
// The volume holding stream position `position` and the position in its file; -1 beyond the last volume.
int32_t QvfLocateOffset(CQvfContext* context, uint64_t position, uint64_t* positionInFile);
// The stream position just past the last volume's share.
uint64_t QvfStreamEnd(const CQvfContext* context);
// Reads `length` bytes at stream position `position`, across volume files as needed: 1 when all were read,
// else 0 with the context's error state set (1 failed, 2 short).
int QvfReadAcross(CQvfContext* context, uint8_t* buffer, uint64_t position, size_t length);
// Reads stream bytes from the stream's file, or across the volumes of a split image: 1 or 0 (error state set).
int QvfReadStream(CQvfContext* context, uint8_t* buffer, uint64_t position, size_t length);

// Writing. Sets up a split output of one volume (the caller sets the volume size, and the size of volume 0 to
// the stream base before the first stream byte is written). Returns the bytes the volume blocks add to the
// index offset.
uint32_t QvfSetupSplit(CQvfContext* context);
// Bytes of the volume parameter and size blocks that follow the main header of volume 0.
uint32_t QvfVolumeBlocksLength(int32_t style);
// Appends stream bytes, starting a new volume whenever the current one is full: 1 or 0.
int QvfWriteSplit(CQvfContext* context, const uint8_t* data, size_t length);
// Overwrites stream bytes already written at stream position `position`, across volumes: 1 or 0.
int QvfWriteSplitFixed(CQvfContext* context, uint64_t position, const uint8_t* data, size_t length);
// Ends a split output: closes the last volume and fills in the head of every volume and the size table of
// volume 0. On a self-extracting image whose stream fits volume 0, its trailer is appended first. 1 or 0.
int QvfFinishSplit(CQvfContext* context);
