// Sector access: 2048-byte user-data sectors of an image at 64-bit addresses, whatever the stored form.
#pragma once

#include <cstdint>

struct CImageDocument;

// Reads n sectors of 2048 bytes at `sector`. Returns the sectors delivered (n, or fewer on failure, after
// setting the abort code and, outside probes, reporting). Sectors past the readable limit read as zeros.
int64_t ImageReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Writes n sectors of 2048 bytes through the output format's writer: the sectors written.
int64_t ImageWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n);
// Copies `bytes` bytes of user data starting at `sector` straight into the file descriptor `fd` at its current
// position, inside the kernel, when the image stores plain 2048-byte sectors inside the readable limit. Returns
// the bytes copied: fewer (0 included) when this road is not open or stops early; the caller then reads the
// rest through ImageReadSectors, which reports what went wrong.
int64_t ImageCopyUserDataToFd(CImageDocument* document, int64_t sector, int64_t bytes, int fd);

// Raw 2352-byte sectors, with the gaps a track table describes but the file does not store generated on the fly.
// Spans of a track in the sector space: its pregap (the part not stored, then the stored part), the track itself,
// then its post-gap (the stored part, then the part not stored).
enum : int32_t {
  kRawSpanPregapGenerated = 1,
  kRawSpanPregapStored = 2,
  kRawSpanTrack = 3,
  kRawSpanPostgapStored = 4,
  kRawSpanPostgapGenerated = 5,
};

// Reads n raw sectors of 2352 bytes at `sector`. Without a track table only images of 2352-byte sectors are
// served, all or nothing; with one, in groups of up to 128 through ImageReadRawTracks. Returns the sectors
// delivered: n, or the whole groups read before the first one that failed.
int64_t ImageReadRawSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// One read of n sectors at header + sector x 2352 in the input: n, or 0.
int64_t ImageReadRawPlain(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Walks the track table from `sector`, reading each span of each track in turn. A sector before its track's
// first span, or past the last track, ends the read, and so does a run that comes back short. Returns the
// sectors delivered.
int64_t ImageReadRawTracks(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
// Fills `buffer` with `count` raw sectors of one span of the track at `trackIndex`, starting at `sector`: gaps
// are generated, stored spans come from the track's file (its own stream, or the document's input). Stored
// sectors of 2048 and 2336 bytes get the sync, header and codes of the track's mode; larger ones keep their first
// 2352 bytes. Returns the sectors delivered: a sector counts when its bytes lie in the file before the track's
// data end (a last sector that the data end cuts is padded with zeros).
int64_t TrackReadRawRange(CImageDocument* document, int32_t span, int64_t sector, int64_t count, int32_t trackIndex,
                          void* buffer);
// `count` gap sectors numbered from `sector` for a track of `mode`: a zero Mode 1 sector for modes 2 and 3, a
// zero Mode 2 Form 1 sector for 4, 5 and 8, a Mode 2 Form 2 sector with sub-mode 0x20 for 6, all zeros otherwise.
void TrackMakeGapSectors(uint8_t mode, int64_t sector, int64_t count, void* buffer);
// Copies raw sectors from `sector` on into `fd` at its current position inside the kernel, as far as they lie
// as they are in the track files: whole 2352-byte sectors of one stored span of one track. Returns the sectors
// copied (0 when the first is generated, stored in another size, or the copy is refused), or -1 when `fd` could
// not be set back after a partial sector.
int64_t ImageCopyRawTracksToFd(CImageDocument* document, int64_t sector, int64_t n, int fd);
// Index of the track whose span (from its pregap to the end of its post-gap) holds the sector; -1 when the
// sector lies before a track's span (between tracks included) or after the last track.
int32_t ImageFindTrackOfSector(const CImageDocument* document, int64_t sector);
// Points the document's sector geometry at one track: the sector size becomes 2048 or 2336 when the track stores
// that size, else 2352, the user-data offset 0 and the header the track's data offset. Without a track table: 2048
// and 0. An index outside the table changes nothing.
void ImageSelectTrack(CImageDocument* document, int32_t track);
// Writes n raw audio sectors (n x 2352 bytes) at the output's current position: n, or 0.
int64_t ImageWriteRawAudio(CImageDocument* document, const void* buffer, int64_t n);
