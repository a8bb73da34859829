// NRG images: raw CD sectors followed by a big-endian chunk list that describes the tracks and sessions, and a
// footer that points to that list. The reader turns the chunk list into a track table, and serves the 2048-byte
// user data of the NRG row of the format table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct CImageDocument;
struct CTrackTable;

constexpr int kNrgMaxTracks = 99;
// Largest chunk list read into memory.
constexpr int64_t kNrgMaxChunkList = 524288;

// Track types of an entry.
enum : uint8_t {
  kNrgTrackAudio = 0,
  kNrgTrackData = 2,
  kNrgTrackDataMode0 = 3,
};

// One track as the chunks describe it.
struct CNrgTrackEntry {
  uint8_t mode2;          // recorded as Mode 2
  uint8_t type;           // kNrgTrack*
  int32_t sectorSize;     // bytes per sector in the file
  int64_t length;         // sectors
  int64_t start;          // LBA
  int32_t session;        // 1-based: the session counter when the entry was added
  int64_t index0Offset;   // file offsets of index 0, index 1 and of the end of the track's data
  int64_t index1Offset;
  int64_t endOffset;
};

// Parse state: the chunk list, the sessions and tracks read from it, and the disc's CD-TEXT packs. An NRG
// document (row 3) keeps one to map its sectors to the file.
struct CNrgState {
  std::vector<uint8_t> chunks;   // the chunk list, from its offset to the end of the file
  int64_t fileSize;
  int32_t sessionCount;          // CUEX/CUES chunks met
  int32_t trackCount;
  CNrgTrackEntry tracks[kNrgMaxTracks];
  std::vector<uint8_t> cdText;   // a 4-byte header (big-endian length + 2, then 0) and the packs
  std::vector<uint8_t> work;     // read buffer of NrgReadSectors
};

// Opens the NRG file at `path`, reads its footer and chunk list and returns a new track table owned by the caller
// (free it with TrackTableFree), or null, quietly, when the file is not an NRG image, is damaged or holds no
// track. The table names `path` as its descriptor and its image data file and is marked as an NRG layout.
CTrackTable* NrgOpenImage(const wchar_t* path);
// Reads the footer and the chunk list of an open file into a new state, without walking the chunks; null when
// the file is not an NRG image or the list is out of range.
CNrgState* NrgReadFooter(FILE* file);
// Reads the footer and walks the whole chunk list: a state with every track found (possibly none), or null as
// NrgReadFooter.
CNrgState* NrgReadState(FILE* file);
// The same over the bytes of a whole image held in memory.
CNrgState* NrgReadStateFromBuffer(const uint8_t* data, int64_t size);
// A new track table from a walked state (null when it holds no track); `path` names the descriptor and data file.
CTrackTable* NrgStateToTrackTable(const CNrgState* state, const wchar_t* path);
// Frees a state; null is allowed.
void NrgFreeState(CNrgState* state);
void NrgFree(CNrgState* state);

// Read handler of the NRG row: n sectors of 2048 user bytes from `sector`, each taken from the track that holds
// it (user data at byte 16 of a raw sector, at byte 24 of a Mode 2 one). The document's NRG state is read from
// its input on first use. Returns the sectors delivered, stopping at the first that cannot be read.
int64_t NrgReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n);
