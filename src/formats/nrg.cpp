#include "formats/nrg.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "formats/cdtext.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/file.h"
#include "runtime/byte_reader.h"

namespace {

constexpr int64_t kFooterSize = 12;
constexpr int64_t kChunkHeaderSize = 8;
constexpr int32_t kUserDataSize = 2048;
// Sectors read in one call by NrgReadSectors: about 1 MiB of the largest stored sectors.
constexpr int64_t kReadBytes = 1 << 20;

// Kind codes given to the track table.
constexpr uint8_t kTableKindAudio = 1;
constexpr uint8_t kTableKindData = 0x99;

constexpr uint32_t ChunkId(const char (&id)[5]) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(id[0])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(id[1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(id[2])) << 8) | static_cast<uint8_t>(id[3]);
}


// Where the bytes of an image come from: an open file or a buffer.
struct NrgSource {
  FILE* file = nullptr;
  const uint8_t* data = nullptr;
  int64_t size = 0;

  bool ReadAt(int64_t offset, void* out, int64_t count) const {
    if (offset < 0 || count < 0 || offset > size || count > size - offset) return false;
    if (data) {
      std::memcpy(out, data + offset, static_cast<size_t>(count));
      return true;
    }
    return FileReadAt(file, out, offset, static_cast<size_t>(count)) == 1;
  }
};

// Appends a track entry. `offset` is the file offset of the track's data when the chunk gives one (track-at-once
// entries), else -1: the sector size is then provisional and a later DAO chunk sets it. -1 when the table is
// full or the span does not fit sector numbers.
int NrgAddTrack(CNrgState& state, int64_t start, int64_t length, int64_t offset, int32_t sectorSize, uint8_t type,
                uint8_t mode2) {
  if (state.trackCount >= kNrgMaxTracks) return -1;
  if (start < 0 || length < 0 || start > INT32_MAX || length > INT32_MAX - start) return -1;
  CNrgTrackEntry& entry = state.tracks[state.trackCount];
  entry = CNrgTrackEntry{};
  entry.start = start;
  entry.length = length;
  entry.type = type;
  entry.mode2 = mode2;
  entry.session = state.sessionCount;
  entry.sectorSize = sectorSize;
  if (type == kNrgTrackAudio) {
    entry.sectorSize = 2352;
  } else if (offset < 0 && type == kNrgTrackData && mode2) {
    entry.sectorSize = 2048;
  }
  if (offset >= 0) {
    entry.index0Offset = offset;
    entry.index1Offset = offset;
    entry.endOffset = offset + length * entry.sectorSize;
  }
  ++state.trackCount;
  return 0;
}

// One cue entry (CUEX or CUES) reduced to what the pairs need.
struct NrgCueEntry {
  uint8_t control;
  uint8_t track;
  uint8_t index;
  int64_t lba;
};

uint8_t FromBcd(uint8_t value) { return static_cast<uint8_t>((value >> 4) * 10 + (value & 15)); }

// Entry 2k is index 1 of track k, entry 2k + 1 the next track's index 0 or the lead-out: each pair is one
// track. Counts a session; -1 for a malformed chunk (the pairs before the bad one stay).
int NrgParseCuePairs(CNrgState& state, ByteReader chunk, bool msf) {
  const size_t size = chunk.size();
  if (size % 8 != 0) return -1;
  ++state.sessionCount;
  const uint32_t count = static_cast<uint32_t>(size / 8);
  auto entryAt = [&](uint32_t i) {
    const size_t e = size_t{i} * 8;
    NrgCueEntry entry{chunk.U8At(e), chunk.U8At(e + 1), chunk.U8At(e + 2), 0};
    if (msf) {
      entry.lba = (int64_t{FromBcd(chunk.U8At(e + 5))} * 60 + FromBcd(chunk.U8At(e + 6))) * 75 +
                  FromBcd(chunk.U8At(e + 7)) - 150;
    } else {
      entry.lba = static_cast<int32_t>(chunk.U32BEAt(e + 4));
    }
    return entry;
  };
  for (uint32_t k = 1; 2 * k + 1 < count; ++k) {
    const NrgCueEntry first = entryAt(2 * k);
    const NrgCueEntry next = entryAt(2 * k + 1);
    if (first.index >= 32 || first.track == next.track) return -1;
    const uint8_t type = (first.control & ~0x20) == 0x41 ? kNrgTrackData : kNrgTrackAudio;
    if (NrgAddTrack(state, first.lba, next.lba - first.lba, -1, 2048, type, 1) != 0) return -1;
  }
  return 0;
}

int NrgParseCueX(CNrgState& state, ByteReader chunk) { return NrgParseCuePairs(state, chunk, false); }

// The older cue form holds BCD minute, second and frame where CUEX holds the LBA; it is read the same way.
int NrgParseCues(CNrgState& state, ByteReader chunk) { return NrgParseCuePairs(state, chunk, true); }

// Stored bytes per sector of a DAO entry. Audio tracks: 2352, 2448 with subchannel (mode 0x10). Data tracks:
// the raw modes store whole sectors (5 and 6: 2352; 0x0F and 0x11: 2448, with subchannel); otherwise 2336 for
// a Mode 2 track while the chunk's last Mode 2 entry was of the 2336-byte form (mode 3), else 2048.
int32_t NrgDaoSectorSize(const CNrgTrackEntry& track, uint8_t mode, bool mode2Block) {
  if (track.type == kNrgTrackAudio) return mode == 0x10 ? 2448 : 2352;
  if (mode == 0x05 || mode == 0x06) return 2352;
  if (mode == 0x0F || mode == 0x11) return 2448;
  return track.type == kNrgTrackData && mode2Block ? 2336 : 2048;
}

// DAOX (64-bit offsets, 42-byte entries) and DAOI (32-bit offsets, 30-byte entries): the sector size and the
// file offsets of the tracks already listed, entry i for track (first track number + i). The whole chunk is
// refused when an entry names no listed track or holds offsets outside the file.
int NrgParseDao(CNrgState& state, ByteReader chunk, bool wide) {
  constexpr size_t kHeaderSize = 22;
  const size_t size = chunk.size();
  const size_t entrySize = wide ? 42 : 30;
  if (size < kHeaderSize || (size - kHeaderSize) % entrySize != 0) return -1;
  const uint32_t count = static_cast<uint32_t>((size - kHeaderSize) / entrySize);
  const int firstTrack = chunk.U8At(20);
  auto offsetAt = [&](size_t entry, int which) -> uint64_t {
    const size_t p = entry + 18 + static_cast<size_t>(which) * (wide ? 8 : 4);
    return wide ? chunk.U64BEAt(p) : chunk.U32BEAt(p);
  };
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = kHeaderSize + i * entrySize;
    const int64_t index = int64_t{firstTrack} + i - 1;
    if (index < 0 || index >= state.trackCount) return -1;
    const uint64_t index0 = offsetAt(entry, 0), index1 = offsetAt(entry, 1), end = offsetAt(entry, 2);
    const auto limit = static_cast<uint64_t>(state.fileSize);
    if (index0 > limit || index1 > limit || end > limit || index1 > end) return -1;
  }
  bool mode2Block = false;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t entry = kHeaderSize + i * entrySize;
    CNrgTrackEntry& track = state.tracks[firstTrack + i - 1];
    const uint8_t mode = chunk.U8At(entry + 14);
    if (mode == 3) mode2Block = true;
    if (mode == 2) mode2Block = false;
    track.sectorSize = NrgDaoSectorSize(track, mode, mode2Block);
    track.index0Offset = static_cast<int64_t>(offsetAt(entry, 0));
    track.index1Offset = static_cast<int64_t>(offsetAt(entry, 1));
    track.endOffset = static_cast<int64_t>(offsetAt(entry, 2));
  }
  return 0;
}

// Sector size, type and Mode 2 flag of a track-at-once mode; false for a mode that is not known.
bool NrgTaoMode(uint32_t mode, int32_t* sectorSize, uint8_t* type, uint8_t* mode2) {
  *mode2 = 0;
  switch (mode) {
    case 0: *sectorSize = 2048; *type = kNrgTrackDataMode0; return true;
    case 2: *sectorSize = 2048; *type = kNrgTrackData; return true;
    case 3: *sectorSize = 2336; *type = kNrgTrackData; *mode2 = 1; return true;
    case 7: *sectorSize = 2352; *type = kNrgTrackAudio; return true;
    default: return false;
  }
}

// One track-at-once entry, checked.
struct NrgTaoEntry {
  int64_t offset;
  int64_t start;
  int64_t length;
  int32_t sectorSize;
  uint8_t type;
  uint8_t mode2;
};

// Adds the entries of a track-at-once chunk (ETNF or ETN2) once every one of them has been checked: entry k
// starts at its LBA + 150 x k (the gap before each track) and reads its data from its own offset.
int NrgAddTaoEntries(CNrgState& state, const NrgTaoEntry* entries, uint32_t count) {
  for (uint32_t k = 0; k < count; ++k) {
    const NrgTaoEntry& e = entries[k];
    if (NrgAddTrack(state, e.start + int64_t{150} * k, e.length, e.offset, e.sectorSize, e.type, e.mode2) != 0) {
      return -1;
    }
  }
  return 0;
}

// Checks the span of a track-at-once entry against the file: its bytes must lie inside it.
bool NrgTaoSpanFits(const CNrgState& state, uint64_t offset, uint64_t bytes) {
  const auto limit = static_cast<uint64_t>(state.fileSize);
  return offset <= limit && bytes <= limit - offset;
}

// ETNF (20-byte entries): u32 offset, u32 length in bytes, u32 mode, u32 start LBA. Only for an image whose
// tracks are not listed yet; every entry's data must start at LBA x sector size.
int NrgParseEtnf(CNrgState& state, ByteReader chunk) {
  const size_t size = chunk.size();
  if (state.trackCount != 0 || size % 20 != 0 || size / 20 > static_cast<size_t>(kNrgMaxTracks)) return -1;
  const uint32_t count = static_cast<uint32_t>(size / 20);
  if (count > static_cast<uint32_t>(kNrgMaxTracks)) return -1;
  NrgTaoEntry entries[kNrgMaxTracks];
  for (uint32_t k = 0; k < count; ++k) {
    const uint64_t offset = chunk.U32BE(), bytes = chunk.U32BE(), mode = chunk.U32BE(), lba = chunk.U32BE();
    chunk.Skip(4);
    NrgTaoEntry& e = entries[k];
    if (!NrgTaoMode(static_cast<uint32_t>(mode), &e.sectorSize, &e.type, &e.mode2)) return -1;
    if (bytes % e.sectorSize != 0 || offset != lba * e.sectorSize || !NrgTaoSpanFits(state, offset, bytes)) {
      return -1;
    }
    e.offset = static_cast<int64_t>(offset);
    e.start = static_cast<int64_t>(lba);
    e.length = static_cast<int64_t>(bytes / e.sectorSize);
  }
  return NrgAddTaoEntries(state, entries, count);
}

// ETN2 (32-bit entries): u64 offset, u64 length in bytes, u32 mode, u32 start LBA. A length that is not a
// multiple of the mode's sector size is measured in the first of 2048, 2336 and 2352 that divides it.
int NrgParseEtn2(CNrgState& state, ByteReader chunk) {
  const size_t size = chunk.size();
  if (state.trackCount != 0 || size % 32 != 0 || size / 32 > static_cast<size_t>(kNrgMaxTracks)) return -1;
  const uint32_t count = static_cast<uint32_t>(size / 32);
  if (count > static_cast<uint32_t>(kNrgMaxTracks)) return -1;
  NrgTaoEntry entries[kNrgMaxTracks];
  for (uint32_t k = 0; k < count; ++k) {
    const uint64_t offset = chunk.U64BE(), bytes = chunk.U64BE(), mode = chunk.U32BE(), lba = chunk.U32BE();
    chunk.Skip(8);
    NrgTaoEntry& e = entries[k];
    if (!NrgTaoMode(static_cast<uint32_t>(mode), &e.sectorSize, &e.type, &e.mode2)) return -1;
    if (bytes % e.sectorSize != 0) {
      for (int32_t candidate : {2048, 2336, 2352}) {
        if (bytes % candidate == 0) {
          e.sectorSize = candidate;
          break;
        }
      }
    }
    if (bytes % e.sectorSize != 0 || !NrgTaoSpanFits(state, offset, bytes)) return -1;
    e.offset = static_cast<int64_t>(offset);
    e.start = static_cast<int64_t>(lba);
    e.length = static_cast<int64_t>(bytes / e.sectorSize);
  }
  return NrgAddTaoEntries(state, entries, count);
}

// CDTX: the disc's CD-TEXT packs, kept as a pack block behind a 4-byte header (big-endian length + 2).
int NrgParseCdText(CNrgState& state, ByteReader chunk) {
  const size_t size = chunk.size();
  if (size == 0 || size > 0xFFFF - 2) return -1;
  state.cdText.assign(kCdTextHeaderBytes + size, 0);
  state.cdText[0] = static_cast<uint8_t>((size + 2) >> 8);
  state.cdText[1] = static_cast<uint8_t>(size + 2);
  return chunk.Bytes(state.cdText.data() + kCdTextHeaderBytes, size) ? 0 : -1;
}

// Walks the chunk list from its start to "END!", or to the first chunk whose header or data would pass the end
// of the list. Malformed chunks only lose their own tracks.
void NrgWalkChunks(CNrgState& state) {
  ByteReader list(state.chunks.data(), state.chunks.size());
  while (list.Has(kChunkHeaderSize)) {
    const uint32_t id = list.U32BE();
    const uint32_t size = list.U32BE();
    if (id == ChunkId("END!")) break;
    ByteReader chunk = list.Sub(size);
    if (!chunk.ok()) break;
    switch (id) {
      case ChunkId("CUEX"): NrgParseCueX(state, chunk); break;
      case ChunkId("CUES"): NrgParseCues(state, chunk); break;
      case ChunkId("DAOX"): NrgParseDao(state, chunk, true); break;
      case ChunkId("DAOI"): NrgParseDao(state, chunk, false); break;
      case ChunkId("ETNF"): NrgParseEtnf(state, chunk); break;
      case ChunkId("ETN2"): NrgParseEtn2(state, chunk); break;
      case ChunkId("CDTX"): NrgParseCdText(state, chunk); break;
      default: break;  // SINF and MTYP carry nothing the reader keeps; other chunks are skipped
    }
  }
}

CNrgState* NrgReadFooterFrom(const NrgSource& source) {
  if (source.size <= kFooterSize) return nullptr;
  uint8_t footer[kFooterSize];
  if (!source.ReadAt(source.size - kFooterSize, footer, kFooterSize)) return nullptr;
  uint64_t offset;
  if (std::memcmp(footer + 4, "NERO", 4) == 0) {
    offset = LoadU32BE(footer + 8);
  } else if (std::memcmp(footer, "NER5", 4) == 0) {
    offset = LoadU64BE(footer + 4);
  } else {
    return nullptr;
  }
  const auto size = static_cast<uint64_t>(source.size);
  if (offset >= size || size - offset > static_cast<uint64_t>(kNrgMaxChunkList)) return nullptr;
  auto* state = new (std::nothrow) CNrgState{};
  if (!state) return nullptr;
  state->fileSize = source.size;
  state->chunks.resize(static_cast<size_t>(size - offset));
  if (!source.ReadAt(static_cast<int64_t>(offset), state->chunks.data(), static_cast<int64_t>(size - offset))) {
    delete state;
    return nullptr;
  }
  return state;
}

CNrgState* NrgReadStateFrom(const NrgSource& source) {
  CNrgState* state = NrgReadFooterFrom(source);
  if (state) NrgWalkChunks(*state);
  return state;
}

// The track holding `sector`, or null.
const CNrgTrackEntry* NrgFindTrack(const CNrgState& state, int64_t sector) {
  for (int32_t i = 0; i < state.trackCount; ++i) {
    const CNrgTrackEntry& track = state.tracks[i];
    if (sector >= track.start && sector - track.start < track.length) return &track;
  }
  return nullptr;
}

// Where the 2048 user bytes of a stored sector start: the stored block itself for 2048-byte sectors, after the
// sub-header for 2336-byte Mode 2 blocks, after the header of a raw sector (and the sub-header too when the
// header says Mode 2).
int32_t NrgUserDataOffset(const CNrgTrackEntry& track, const uint8_t* stored) {
  switch (track.sectorSize) {
    case 2048: return 0;
    case 2336: return 8;
    default: return track.type != kNrgTrackAudio && stored[15] == 2 ? 24 : 16;
  }
}

}  // namespace

CNrgState* NrgReadFooter(FILE* file) {
  if (!file) return nullptr;
  NrgSource source;
  source.file = file;
  source.size = FileGetSize(file);
  return NrgReadFooterFrom(source);
}

CNrgState* NrgReadState(FILE* file) {
  CNrgState* state = NrgReadFooter(file);
  if (state) NrgWalkChunks(*state);
  return state;
}

CNrgState* NrgReadStateFromBuffer(const uint8_t* data, int64_t size) {
  if (!data || size < 0) return nullptr;
  NrgSource source;
  source.data = data;
  source.size = size;
  return NrgReadStateFrom(source);
}

CTrackTable* NrgStateToTrackTable(const CNrgState* state, const wchar_t* path) {
  if (!state || state->trackCount <= 0 || !path) return nullptr;
  CTrackTable* table = TrackTableAlloc();
  if (!table) return nullptr;
  for (int32_t i = 0; i < state->trackCount; ++i) {
    const CNrgTrackEntry& entry = state->tracks[i];
    CTrackInfo& track = table->tracks[i];
    track.mode = entry.type == kNrgTrackAudio ? kTableKindAudio : kTableKindData;
    track.sectorSize = entry.sectorSize;
    track.start = static_cast<int32_t>(entry.start);
    track.length = static_cast<int32_t>(entry.length);
    // Track-at-once images carry no cue chunk, so no session was counted: their tracks are in the first.
    track.session = std::max(0, entry.session - 1);
    track.dataOffset = entry.index1Offset;
    track.dataEnd = entry.endOffset;
  }
  table->trackCount = state->trackCount;
  table->sessionCount = state->sessionCount;
  table->cueSheetPath = path;
  table->dataFileName = path;
  table->nrgLayout = 1;
  if (!state->cdText.empty()) {
    table->cdTextPacks = state->cdText;
    CdTextDecodePacks(table, state->cdText.data(), state->cdText.size());
    CdTextConvertStrings(table);
  }
  const CNrgTrackEntry& last = state->tracks[state->trackCount - 1];
  table->tracks[state->trackCount].start = static_cast<int32_t>(last.start + last.length);
  return table;
}

CTrackTable* NrgOpenImage(const wchar_t* path) {
  FILE* file = FileOpenRead(path);
  if (!file) return nullptr;
  CNrgState* state = NrgReadState(file);
  FileClose(file);
  CTrackTable* table = NrgStateToTrackTable(state, path);
  NrgFreeState(state);
  return table;
}

void NrgFreeState(CNrgState* state) { delete state; }

void NrgFree(CNrgState* state) { NrgFreeState(state); }

int64_t NrgReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0 || sector < 0) return 0;
  if (!document->nrg) {
    document->nrg = NrgReadState(document->input);
    if (!document->nrg) return 0;
  }
  CNrgState& state = *document->nrg;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < n) {
    const int64_t at = sector + done;
    const CNrgTrackEntry* track = NrgFindTrack(state, at);
    if (!track || track->sectorSize < kUserDataSize) break;
    const int64_t sectorSize = track->sectorSize;
    const int64_t position = track->index1Offset + (at - track->start) * sectorSize;
    if (position >= track->endOffset) break;
    // Sectors of this track from here, cut at the track's data end (a last sector it cuts is read short).
    int64_t count = std::min({n - done, track->start + track->length - at, std::max<int64_t>(1, kReadBytes / sectorSize),
                              (track->endOffset - position + sectorSize - 1) / sectorSize});
    const int64_t bytes = std::min(count * sectorSize, track->endOffset - position);
    if (state.work.size() < static_cast<size_t>(count * sectorSize)) state.work.resize(count * sectorSize);
    const int64_t got = FileReadAtCount(document->input, state.work.data(), position, static_cast<size_t>(bytes));
    if (got <= 0) break;
    std::memset(state.work.data() + got, 0, static_cast<size_t>(count * sectorSize - got));
    // A sector counts when its user data was read whole.
    int64_t delivered = 0;
    for (; delivered < count; ++delivered) {
      const uint8_t* stored = state.work.data() + delivered * sectorSize;
      const int32_t offset = NrgUserDataOffset(*track, stored);
      if (delivered * sectorSize + offset + kUserDataSize > got) break;
      std::memcpy(out + (done + delivered) * kUserDataSize, stored + offset, kUserDataSize);
    }
    done += delivered;
    if (delivered < count) break;
  }
  return done;
}
