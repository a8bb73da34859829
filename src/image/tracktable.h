// CTrackTable: the layout of a CD image or disc — up to 100 tracks with their sessions, gaps, data files and
// CD-TEXT, and the disc's sector mode. The descriptor readers (CUE, MDS, NRG) and the drive layer fill it; the
// image layer reads it to choose the sector geometry, to find the data track to mount, to generate gap sectors
// and to compute the disc identifier.
//
// Every index argument is checked against the table's track count (or the alternate array's count when that is
// in use); an index outside gives null, 0 or -1 as each operation says, never a read outside the table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "runtime/wstring.h"

struct CImageDocument;
// Flags, index list and texts of one track or of the disc (formats/cdtext.h).
struct CCdTextRecord;

constexpr int kTrackTableMaxTracks = 100;

// Track modes (CTrackInfo::mode).
enum : uint8_t {
  kTrackModeAudio = 1,
  kTrackModeMode1 = 2,  // 3 is Mode 1 too
  kTrackModeMode2Form1 = 4,  // 5 and 8 are Mode 2 Form 1 too
  kTrackModeMode2Form2 = 6,
};

struct CTrackInfo {
  uint8_t mode;           // 1 audio; 2, 3 Mode 1; 4, 5, 8 Mode 2 Form 1; 6 Mode 2 Form 2
  int32_t start;          // first sector
  int32_t pregap;         // sectors before the start that belong to the track
  int32_t pregapStored;   // the part of the pregap stored in the file
  int32_t postgap;
  int32_t postgapStored;
  int32_t length;         // sectors
  int64_t dataEnd;        // end of the track's data in its file
  int64_t dataOffset;     // offset of the track's data in its file; negative = no data
  int32_t sectorSize;     // stored bytes per sector: 2048, 2336, 2352, 2448, ...
  int32_t session;        // 0-based
  void* hook;             // interface hook that serves the track's sectors (null: read the file)
  CWideString fileName;   // the track's data file
  FILE* file;             // owned; null = the document's input stream
  CCdTextRecord* cdText;  // owned
  // CUE sheet: the size and base offset of the track's data file (the base is where a WAVE file's samples
  // begin), and the track's INDEX 01 time in frames within that file.
  int64_t cueFileSize;
  int64_t cueFileBase;
  int32_t cueIndex1;
};

struct CTrackTable {
  // Header.
  uint8_t discMode;  // 0 plain data; 1..15 raw sectors on the disc; the drive layer keeps disc-type codes here
  int32_t discValue;
  int32_t trackCount;
  uint32_t flags;
  CTrackInfo tracks[kTrackTableMaxTracks];
  // Tail.
  CCdTextRecord* discCdText;               // owned
  std::vector<CTrackInfo> alternateTracks; // when not empty, track lookups go here instead of `tracks`
  CWideString dataFileName;                // the data file named by the descriptor
  int32_t marker;                          // -1 in new tables
  int32_t sessionCount;
  int32_t driveDiscValue;                  // a disc value reported to the drive layer
  int32_t fromDrive;
  int32_t discKind;
  int32_t sectorSizeMode;                  // 2352 or 2048
  std::vector<uint8_t> cdTextPacks;        // a loaded CD-TEXT pack block
  std::vector<uint8_t> cdTextSubchannel;   // its R-W subchannel form
  uint32_t discId;
  // CUE sheet: the sheet's own path, and the number of the first track (1).
  CWideString cueSheetPath;
  int32_t firstTrackNumber;
  // NRG image: the table was read from an NRG file, whose sectors the NRG reader serves (the image is both the
  // descriptor, in cueSheetPath, and the data file, in dataFileName).
  int32_t nrgLayout;
  // A table read from a disc in a drive: the disc status and the state of its last session (disc information
  // byte 2), whether the disc holds several sessions, several tracks or begins with audio, and whether it is
  // something other than a CD.
  int32_t discStatus;
  int32_t lastSessionState;
  int32_t multisession;
  int32_t notCd;
};

// A new empty table (every field 0 but the marker, -1), or null when memory runs out.
CTrackTable* TrackTableAlloc();
// Frees the CD-TEXT of the disc and of every track, the tracks' file names and streams, and the table. Null is
// accepted.
void TrackTableFree(CTrackTable* table);
// Frees a CD-TEXT record (formats/cdtext.cpp); null is accepted.
void CdTextRecordFree(CCdTextRecord* record);

// The track at `index` (from the alternate array when it is in use); null for a null table or an index outside
// 0..count - 1.
CTrackInfo* TrackTableGetTrack(CTrackTable* table, int32_t index);
const CTrackInfo* TrackTableGetTrack(const CTrackTable* table, int32_t index);
// Start + length + post-gap of the last track; 0 for a null table or one without tracks.
int64_t TrackTableGetEndSector(const CTrackTable* table);
// 1 when the table holds 1 to 99 tracks whose starts strictly increase; else 0.
int TrackTableCheckOrder(const CTrackTable* table);
// 1 when the track exists and is audio.
int TrackTableIsAudioTrack(const CTrackTable* table, int32_t index);
// 1 when there is at most one session and the tracks from `index` to the last include audio and non-audio ones.
int TrackTableIsMixedModeFrom(const CTrackTable* table, int32_t index);
// 1 for an audio session followed by a data session: at least two tracks and two sessions, the track at `index`
// is in session 0, every track from it to the end of session 0 is audio, and the next session's first track
// is not.
int TrackTableIsAudioThenData(const CTrackTable* table, int32_t index);
// The start of the track at `index` when `session` is below the session count and the track exists; else -1.
int64_t TrackTableGetTrackStart(const CTrackTable* table, int32_t session, int32_t index);
// Index of the first non-audio track of the session, or -1.
int32_t TrackTableFindDataTrack(const CTrackTable* table, int32_t session);
// Index of the first track of the session, or -1.
int32_t TrackTableFindFirstTrackOfSession(const CTrackTable* table, int32_t session);
// Sum of the lengths of the session's tracks.
int64_t TrackTableGetSessionSectors(const CTrackTable* table, int32_t session);
// A copy that owns nothing of the original: its tracks hold no file name and no stream, and its CD-TEXT records
// (the disc's and the tracks') are copies of their own. Null for a null table or when memory runs out.
CTrackTable* TrackTableClone(const CTrackTable* table);
// A table of one data track (mode 2) from sector 0 over the document's readable limit, in one session.
CTrackTable* TrackTableNewSingleTrack(const CImageDocument* document);
// The freedb disc identifier, also stored in the table: (digit sum of each track's start in seconds, counting
// the 2-second lead-in) mod 255 in the top byte, the playing time in seconds (end of the last track / 75) in the
// middle 16 bits, the track count in the low byte. 0 for a null table or one without tracks.
uint32_t TrackTableComputeDiscId(CTrackTable* table);
