#include "image/tracktable.h"

#include <algorithm>
#include <climits>
#include <new>

#include "image/cdtext_record.h"
#include "image/document.h"

namespace {

// The tracks in use and how many of them can be addressed: the stored count, kept inside the array it counts.
struct TrackSpan {
  const CTrackInfo* tracks;
  int32_t count;
};

TrackSpan Tracks(const CTrackTable* table) {
  if (!table) return {nullptr, 0};
  if (!table->alternateTracks.empty()) {
    const auto capacity = static_cast<int32_t>(std::min<size_t>(table->alternateTracks.size(), INT32_MAX));
    return {table->alternateTracks.data(), std::clamp(table->trackCount, 0, capacity)};
  }
  return {table->tracks, std::clamp(table->trackCount, 0, kTrackTableMaxTracks)};
}

bool IsAudio(const CTrackInfo& track) { return track.mode == kTrackModeAudio; }

void ReleaseTrack(CTrackInfo& track) {
  if (track.file) std::fclose(track.file);
  track.file = nullptr;
  CdTextRecordFree(track.cdText);
  track.cdText = nullptr;
  track.fileName = CWideString();
}

int DigitSum(int64_t n) {
  int sum = 0;
  for (; n > 0; n /= 10) sum += static_cast<int>(n % 10);
  return sum;
}

}  // namespace

CTrackTable* TrackTableAlloc() {
  auto* table = new (std::nothrow) CTrackTable{};
  if (!table) return nullptr;
  table->marker = -1;
  return table;
}

void TrackTableFree(CTrackTable* table) {
  if (!table) return;
  CdTextRecordFree(table->discCdText);
  table->discCdText = nullptr;
  for (CTrackInfo& track : table->tracks) ReleaseTrack(track);
  for (CTrackInfo& track : table->alternateTracks) ReleaseTrack(track);
  delete table;
}

CTrackInfo* TrackTableGetTrack(CTrackTable* table, int32_t index) {
  return const_cast<CTrackInfo*>(TrackTableGetTrack(static_cast<const CTrackTable*>(table), index));
}

const CTrackInfo* TrackTableGetTrack(const CTrackTable* table, int32_t index) {
  const TrackSpan span = Tracks(table);
  if (index < 0 || index >= span.count) return nullptr;
  return &span.tracks[index];
}

int64_t TrackTableGetEndSector(const CTrackTable* table) {
  const TrackSpan span = Tracks(table);
  if (span.count == 0) return 0;
  const CTrackInfo& last = span.tracks[span.count - 1];
  return int64_t{last.start} + last.length + last.postgap;
}

int TrackTableCheckOrder(const CTrackTable* table) {
  if (!table || table->trackCount < 1 || table->trackCount > 99) return 0;
  const TrackSpan span = Tracks(table);
  if (span.count != table->trackCount) return 0;
  for (int32_t i = 1; i < span.count; ++i) {
    if (span.tracks[i].start <= span.tracks[i - 1].start) return 0;
  }
  return 1;
}

int TrackTableIsAudioTrack(const CTrackTable* table, int32_t index) {
  const CTrackInfo* track = TrackTableGetTrack(table, index);
  return track && IsAudio(*track) ? 1 : 0;
}

int TrackTableIsMixedModeFrom(const CTrackTable* table, int32_t index) {
  if (!table || table->sessionCount > 1) return 0;
  const TrackSpan span = Tracks(table);
  if (index < 0) return 0;
  bool audio = false;
  bool data = false;
  for (int32_t i = index; i < span.count; ++i) (IsAudio(span.tracks[i]) ? audio : data) = true;
  return audio && data ? 1 : 0;
}

int TrackTableIsAudioThenData(const CTrackTable* table, int32_t index) {
  const TrackSpan span = Tracks(table);
  if (span.count < 2 || table->sessionCount < 2 || index < 0 || index >= span.count) return 0;
  if (span.tracks[index].session != 0) return 0;
  int32_t i = index;
  for (; i < span.count && span.tracks[i].session == 0; ++i) {
    if (!IsAudio(span.tracks[i])) return 0;
  }
  return i < span.count && !IsAudio(span.tracks[i]) ? 1 : 0;
}

int64_t TrackTableGetTrackStart(const CTrackTable* table, int32_t session, int32_t index) {
  if (!table || session < 0 || session >= table->sessionCount) return -1;
  const CTrackInfo* track = TrackTableGetTrack(table, index);
  return track ? track->start : -1;
}

int32_t TrackTableFindDataTrack(const CTrackTable* table, int32_t session) {
  const TrackSpan span = Tracks(table);
  for (int32_t i = 0; i < span.count; ++i) {
    if (span.tracks[i].session == session && !IsAudio(span.tracks[i])) return i;
  }
  return -1;
}

int32_t TrackTableFindFirstTrackOfSession(const CTrackTable* table, int32_t session) {
  const TrackSpan span = Tracks(table);
  for (int32_t i = 0; i < span.count; ++i) {
    if (span.tracks[i].session == session) return i;
  }
  return -1;
}

int64_t TrackTableGetSessionSectors(const CTrackTable* table, int32_t session) {
  const TrackSpan span = Tracks(table);
  int64_t total = 0;
  for (int32_t i = 0; i < span.count; ++i) {
    if (span.tracks[i].session == session) total += span.tracks[i].length;
  }
  return total;
}

CTrackTable* TrackTableClone(const CTrackTable* table) {
  if (!table) return nullptr;
  auto* copy = new (std::nothrow) CTrackTable(*table);
  if (!copy) return nullptr;
  // The original keeps its names and streams; sharing them would close them twice. CD-TEXT records are copied.
  bool copied = true;
  auto disown = [&copied](CTrackInfo& track) {
    track.fileName = CWideString();
    track.file = nullptr;
    if (track.cdText) {
      track.cdText = CdTextRecordClone(track.cdText);
      copied = copied && track.cdText;
    }
  };
  for (CTrackInfo& track : copy->tracks) disown(track);
  for (CTrackInfo& track : copy->alternateTracks) disown(track);
  if (copy->discCdText) {
    copy->discCdText = CdTextRecordClone(copy->discCdText);
    copied = copied && copy->discCdText;
  }
  if (!copied) {
    TrackTableFree(copy);
    return nullptr;
  }
  return copy;
}

CTrackTable* TrackTableNewSingleTrack(const CImageDocument* document) {
  if (!document) return nullptr;
  CTrackTable* table = TrackTableAlloc();
  if (!table) return nullptr;
  CTrackInfo& track = table->tracks[0];
  track.mode = kTrackModeMode1;
  track.start = 0;
  track.session = 0;
  track.length = static_cast<int32_t>(std::clamp<int64_t>(document->readableLimit, 0, INT32_MAX));
  table->trackCount = 1;
  table->sessionCount = 1;
  return table;
}

uint32_t TrackTableComputeDiscId(CTrackTable* table) {
  const TrackSpan span = Tracks(table);
  if (span.count == 0) return 0;
  int64_t digits = 0;
  for (int32_t i = 0; i < span.count; ++i) digits += DigitSum((int64_t{span.tracks[i].start} + 150) / 75);
  const CTrackInfo& last = span.tracks[span.count - 1];
  const int64_t seconds = std::max<int64_t>(0, (int64_t{last.start} + last.length) / 75);
  const uint32_t id = static_cast<uint32_t>(digits % 255) << 24 | static_cast<uint32_t>(seconds) << 8 |
                      static_cast<uint32_t>(span.count & 0xFF);
  table->discId = id;
  return id;
}
