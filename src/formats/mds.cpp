#include "formats/mds.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "formats/cue_reader.h"
#include "image/tracktable.h"
#include "runtime/byte_reader.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"

namespace {

constexpr char kSignature[16] = {'M', 'E', 'D', 'I', 'A', ' ', 'D', 'E', 'S', 'C', 'R', 'I', 'P', 'T', 'O', 'R'};

// Only the first session block (at 88) is read: its track-block count and the offset of its first track block.
constexpr int64_t kTrackBlockCountAt = 98;
constexpr int64_t kFirstTrackBlockAt = 108;

// Track block (80 bytes): mode value, point, start time, offset of the extra block, sector size, offset of the
// file-name block.
constexpr int64_t kTrackBlockSize = 80;
constexpr int64_t kModeAt = 0;
constexpr int64_t kPointAt = 4;
constexpr int64_t kMinuteAt = 9;
constexpr int64_t kExtraAt = 12;
constexpr int64_t kSectorSizeAt = 16;
constexpr int64_t kFileNameBlockAt = 52;
// Points from 100 on describe the lead-in, not a track.
constexpr int kFirstLeadInPoint = 100;
// Extra block: pregap and length, in frames.
constexpr int64_t kExtraBlockSize = 8;
// The first track's pregap counts the 2-second lead-in gap, which the data file does not hold.
constexpr int64_t kLeadInFrames = 150;

// State of one parse: the running pregap total (in sectors: each track turns it into bytes with its own sector
// size) and the first file-name block met.
struct MdsParse {
  CTrackTable* table;
  int64_t pregapSectors = 0;
  int64_t fileNameBlock = 0;  // 0 = none met yet
};

uint8_t MdsKindFromMode(uint16_t mode) {
  switch (mode) {
    case 0x00A9: return kTrackModeAudio;
    case 0x00AA: return 3;
    case 0x00AB: return 8;
    case 0x00AC: return 5;
    case 0x00AD: return 6;
    default: return 0;  // unknown, or a block whose subchannel byte is set
  }
}

// Appends the track of one track block; false when the descriptor must be refused.
bool MdsAddTrack(MdsParse& parse, ByteReader block, ByteReader descriptor) {
  if (block.U8At(kPointAt) >= kFirstLeadInPoint) return true;
  CTrackTable& table = *parse.table;
  // A track table holds at most 99 tracks: the record after the last one keeps the lead-out.
  if (table.trackCount >= kTrackTableMaxTracks - 1) return false;
  CTrackInfo& track = table.tracks[table.trackCount];
  track.mode = MdsKindFromMode(block.U16LEAt(kModeAt));
  track.start = block.U8At(kMinuteAt) * 4500 + block.U8At(kMinuteAt + 1) * 75 + block.U8At(kMinuteAt + 2) - 150;
  track.sectorSize = block.U16LEAt(kSectorSizeAt);
  const int64_t sectorSize = track.sectorSize;
  track.dataOffset = int64_t{track.start} * sectorSize;

  const int64_t extra = block.U32LEAt(kExtraAt);
  // "Inside the file" keeps the descriptor's own test: the block must end before the last byte.
  if (extra != 0 && extra + kExtraBlockSize < static_cast<int64_t>(descriptor.size())) {
    const uint32_t pregap = descriptor.U32LEAt(static_cast<size_t>(extra));
    const uint32_t length = descriptor.U32LEAt(static_cast<size_t>(extra) + 4);
    if (pregap > INT32_MAX || length > INT32_MAX) return false;
    int64_t trackPregap = pregap;
    // Only the first track's pregap includes the lead-in gap; a stored pregap below it means none.
    if (table.trackCount == 0) trackPregap = std::max<int64_t>(0, trackPregap - kLeadInFrames);
    track.pregap = static_cast<int32_t>(trackPregap);
    track.length = static_cast<int32_t>(length);
    parse.pregapSectors += trackPregap;
    track.dataOffset = (int64_t{track.start} - parse.pregapSectors) * sectorSize;
    track.dataEnd = track.dataOffset + int64_t{track.length} * sectorSize;
  } else {
    // Without an extra block the track completes the one before it; the first track has none to complete.
    if (table.trackCount == 0) return false;
    CTrackInfo& previous = table.tracks[table.trackCount - 1];
    previous.length = track.start - previous.start;
    previous.dataEnd = previous.dataOffset + int64_t{previous.length} * previous.sectorSize;
  }
  if (track.dataOffset < 0) track.dataOffset = 0;
  if (parse.fileNameBlock == 0) parse.fileNameBlock = block.U32LEAt(kFileNameBlockAt) & 0xFFFFFF;
  if (!block.ok() || !descriptor.ok()) return false;
  ++table.trackCount;
  return true;
}

// Walks the track blocks of the first session; stops at the first block that does not lie whole in the file.
// False when the offset of the first block is negative or a track must be refused.
bool MdsParseTracks(MdsParse& parse, ByteReader descriptor) {
  const int count = descriptor.U8At(kTrackBlockCountAt);
  const auto first = static_cast<int32_t>(descriptor.U32LEAt(kFirstTrackBlockAt));
  if (first < 0 || !descriptor.ok()) return false;
  for (int i = 0; i < count; ++i) {
    ByteReader blocks = descriptor;
    if (!blocks.Seek(static_cast<size_t>(first + int64_t{i} * kTrackBlockSize))) break;
    ByteReader block = blocks.Sub(kTrackBlockSize);
    if (!block.ok()) break;
    if (!MdsAddTrack(parse, block, descriptor)) return false;
  }
  return true;
}

// The data file's name as stored (multibyte, up to its NUL or the end of the descriptor); false when the
// file-name block or the name it points to lies outside the descriptor.
bool MdsReadDataFileName(const MdsParse& parse, ByteReader descriptor, std::string* name) {
  const int64_t block = parse.fileNameBlock;
  const int64_t size = static_cast<int64_t>(descriptor.size());
  if (block == 0 || block >= size - 4) return false;
  const int64_t at = descriptor.U32LEAt(static_cast<size_t>(block));
  if (!descriptor.ok() || at >= size) return false;
  const auto* start = reinterpret_cast<const char*>(descriptor.data() + at);
  name->assign(start, strnlen(start, static_cast<size_t>(size - at)));
  return true;
}

}  // namespace

bool MdsCheckSignature(const void* buffer, int64_t size) {
  return buffer && size >= static_cast<int64_t>(sizeof kSignature) &&
         std::memcmp(buffer, kSignature, sizeof kSignature) == 0;
}

CTrackTable* MdsParseBuffer(const uint8_t* data, int64_t size, const wchar_t* path) {
  if (!data || !path || size < kMdsMinimumSize || !MdsCheckSignature(data, size)) return nullptr;
  const ByteReader bytes(data, static_cast<size_t>(size));
  MdsParse parse{TrackTableAlloc()};
  if (!parse.table) return nullptr;
  CTrackTable* table = parse.table;

  std::string name;
  bool ok = MdsParseTracks(parse, bytes) && MdsReadDataFileName(parse, bytes, &name);
  if (ok) {
    table->cueSheetPath = path;
    wchar_t* wide = TextMultiByteToWideDup(name.c_str());
    wchar_t resolved[kCuePathChars] = {};
    ok = wide && CueResolvePath(table, wide, resolved);
    MemFree(wide);
    if (ok) table->dataFileName = resolved;
  }
  ok = ok && table->trackCount >= 1 && table->trackCount < kTrackTableMaxTracks;
  // The record after the last track holds the lead-out, which must be a sector number too.
  const int64_t leadOut =
      ok ? int64_t{table->tracks[table->trackCount - 1].start} + table->tracks[table->trackCount - 1].length : 0;
  if (!ok || leadOut > INT32_MAX) {
    TrackTableFree(table);
    return nullptr;
  }
  table->tracks[table->trackCount].start = static_cast<int32_t>(leadOut);
  return table;
}

CTrackTable* MdsParseFile(const wchar_t* path) {
  int32_t length = 0;
  char* text = CueReadTextFile(path, &length);
  if (!text) return nullptr;
  CTrackTable* table = MdsParseBuffer(reinterpret_cast<const uint8_t*>(text), length, path);
  MemFree(text);
  return table;
}
