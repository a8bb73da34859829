// Audio tracks of discs and images ripped into sound files: the file-name template filled from CD-TEXT, and the
// WAV writer (a RIFF header with a LIST/INFO chunk, then the tracks' raw 2,352-byte sectors as PCM).
#pragma once

#include <cstdint>
#include <cstdio>

#include "runtime/wstring.h"

struct CImageDocument;
struct CTrackTable;

// Audio output formats, with their file suffixes.
enum : int32_t {
  kAudioFormatWav = 1,
  kAudioFormatWma = 2,
  kAudioFormatMp3 = 3,
  kAudioFormatApe = 4,
  kAudioFormatFlac = 5,
  kAudioFormatOgg = 6,
};

// The path of a track's sound file: `folder` (a '/' is added when missing), then `nameTemplate` with its tokens
// ("|#" number, "|t" "|p" "|c" the track's title, performer and composer, "|T" "|P" "|C" the album's) replaced
// by the CD-TEXT values or their defaults, then the format's suffix. The name is always one component of
// `folder`: characters that a name cannot hold become blanks, and "." or ".." are made safe.
CWideString RipExpandNameTemplate(const wchar_t* nameTemplate, const CTrackTable* tracks, int32_t index,
                                  const wchar_t* folder, int32_t format);

// Size in bytes of the LIST/INFO chunk of the track (album title, performer, title, message of its CD-TEXT),
// 0 when it has none of them; the chunk is written to `file` when one is given (0 when that write failed).
uint32_t WavBuildInfoChunk(FILE* file, const CTrackTable* tracks, int32_t index);
// Writes the RIFF/WAVE header for `dataBytes` bytes of 16-bit stereo 44.1 kHz PCM: 1, or 0 when the write failed
// or the data does not fit a WAV file.
int WavWriteHeader(FILE* file, uint64_t dataBytes, const CTrackTable* tracks, int32_t index);

// Copies the track's sectors (its pregap, its data and its post-gap) into `file`, with the WAV header first for
// WAV output: 1, or -1 with the abort code set (3 a write failed, 4 a short read).
int RipTrackToFile(CImageDocument* document, int32_t index, const wchar_t* path, FILE* file, int32_t format);
// Rips the track at `index` into `folder` in `format`: 1 written, 0 passed over (the user kept an existing file,
// or the format has no encoder here: reported), -1 failed (the abort code says why).
int RipAudioTrack(CImageDocument* document, int32_t index, const wchar_t* folder, int32_t format);
