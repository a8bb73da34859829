#include "image/sectors.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/cdsector.h"
#include "image/document.h"
#include "image/format_row.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/hooks.h"
#include "runtime/kernel_copy.h"
#include "runtime/parallel.h"

namespace {

// Raw sectors are read in groups of this many: about 1.2 MB per read.
constexpr int64_t kRawGroup = 512;

bool IsScannedType(int32_t type) { return type >= kImageTypeScannedFirst && type <= kImageTypeScannedLast; }

// Reads `n` bytes at `offset` of the stream's file in one positioned request when the stream holds no bytes
// written but not yet passed on (the stream's own position stays where it was); else through the stream.
bool ReadStreamAt(FILE* stream, void* buffer, int64_t offset, size_t n) {
  // A stream without a file (one kept in memory) answers fileno with -1 and EBADF, which must not become the
  // reason a later failure is reported with.
  const int saved = errno;
  const int fd = fileno(stream);
  if (fd < 0 || __fpending(stream) != 0) {
    errno = saved;
    return FileReadAt(stream, buffer, offset, n) != 0;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    const ssize_t got = pread(fd, out + done, n - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

int64_t IsoReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (document && document->deviceFlag && document->driveReader && !document->builder)
    return document->driveReader(document, sector, buffer, n);
  if (!document || !buffer || n <= 0 || sector < 0 || !document->input) return 0;
  const int64_t total = n;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t position = document->headerSize + sector * 2048;
  // Sectors that lie before the start of the file read as zeros.
  while (n > 0 && position < 0) {
    std::memset(out, 0, 2048);
    out += 2048;
    position += 2048;
    --n;
  }
  if (n > 0 && !ReadStreamAt(document->input, out, position, static_cast<size_t>(n) * 2048)) return 0;
  return total;
}

int64_t RawReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0 || sector < 0 || !document->input) return 0;
  const int64_t size = document->sectorSize;
  const int64_t offset = document->userDataOffset;
  if (size < 2048 || offset < 0 || offset + 2048 > size) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  const int64_t group = std::min(n, kRawGroup);
  if (document->rawBuffer.size() < static_cast<size_t>(group * size)) document->rawBuffer.resize(group * size);
  uint8_t* raw = document->rawBuffer.data();
  for (int64_t done = 0; done < n;) {
    int64_t count = std::min(n - done, kRawGroup);
    int64_t first = sector + done;
    int64_t position = document->headerSize + first * size;
    int64_t skipped = 0;
    while (skipped < count && position < 0) {
      std::memset(raw + skipped * size, 0, static_cast<size_t>(size));
      position += size;
      ++skipped;
    }
    int64_t bytes = (count - skipped) * size;
    if (bytes > 0 && !FileReadAt(document->input, raw + skipped * size, position, static_cast<size_t>(bytes))) {
      // A file may end inside its last stored sector, after that sector's user data.
      int64_t shorter = bytes - (size - 2048 - offset);
      if (shorter <= 0 || !FileReadAt(document->input, raw + skipped * size, position, static_cast<size_t>(shorter)))
        return 0;
      std::memset(raw + skipped * size + shorter, 0, static_cast<size_t>(bytes - shorter));
    }
    ImageCheckEdcAndExtract(document, raw, first, count, out + done * 2048);
    done += count;
  }
  return n;
}

int64_t IsoWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n) {
  if (!document || !document->output || !buffer || n <= 0 || sector < 0) return 0;
  const int64_t size = document->sectorSize == 512 ? 512 : 2048;
  return FileWriteAt(document->output, buffer, sector * size, static_cast<size_t>(n * size)) ? n : 0;
}

int64_t RawWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n) {
  if (!document || !document->output || !buffer || n <= 0 || sector < 0) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  const int64_t group = std::min(n, kRawGroup);
  if (document->rawBuffer.size() < static_cast<size_t>(group * 2352))
    document->rawBuffer.resize(static_cast<size_t>(group * 2352));
  uint8_t* raw = document->rawBuffer.data();
  for (int64_t done = 0; done < n;) {
    const int64_t count = std::min(n - done, kRawGroup);
    // The group is written from this thread: handing each write to a new thread costs more than it saves once
    // the machine is busy.
    const int64_t number = sector + done;
    RawEncodeSectors(document, number, in + done * 2048, count, raw);
    if (!FileWriteAt(document->output, raw, number * 2352, static_cast<size_t>(count * 2352))) return 0;
    done += count;
  }
  return n;
}

void RawEncodeSectors(const CImageDocument* document, int64_t sector, const uint8_t* in, int64_t n, uint8_t* out) {
  if (!document || !in || !out || n <= 0) return;
  const bool mode2 = document->rawMode2 != 0;
  // Each sector is encoded on its own, so the work is spread over the cores; every header carries the address
  // of its own sector.
  ParallelFor(n, 32, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      if (mode2)
        CdEncodeMode2Sector(sector + i, in + i * 2048, out + i * 2352);
      else
        CdEncodeMode1Sector(sector + i, in + i * 2048, out + i * 2352);
    }
  });
}

const CImageFormatInfo* ImageFormatRow(const CImageDocument* document, int32_t type) {
  if (!document || !document->formats || type < 0 || type >= kImageFormatCount) return nullptr;
  return &document->formats[type];
}

int64_t ImageReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0) return 0;
  // An image being built for direct writing is read back from its sector map, which does its own reporting.
  if (document->builder && document->readFromBuilder && document->readBuilt)
    return document->readBuilt(document, sector, buffer, n);
  int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  int64_t inside = n;
  bool pastLimit = false;
  if (limit > 0 && (sector < 0 || sector + n > limit)) {
    // Whatever lies past the limit reads as zeros; every sector inside it is still read.
    std::memset(buffer, 0, static_cast<size_t>(n) * 2048);
    inside = sector < 0 ? 0 : std::max<int64_t>(0, std::min(n, limit - sector));
    pastLimit = true;
  }
  int64_t delivered = 0;
  errno = 0;
  if (inside > 0) {
    ImageReadHandler handler = nullptr;
    if (const CImageFormatInfo* row = ImageFormatRow(document, document->inputType))
      handler = row->read;
    else if (IsScannedType(document->inputType))
      handler = RawReadSectors;
    if (handler && handler(document, sector, buffer, inside) == inside) delivered = inside;
  }
  if (delivered == n || document->quiet) return delivered;
  if (pastLimit && delivered == inside) {
    if (document->pastLimitReported) {
      ErrorStateClear();
      return n;
    }
    document->pastLimitReported = 1;
    LastErrorSetText(L"The image file ends before the data it holds.");
    AbortCodeSet(kAbortImageRead);
    return delivered;
  }
  if (document->deviceFlag) {
    AbortCodeSet(kAbortCancelled);
    return delivered;
  }
  // A read that found the end of the file leaves no system error behind: name the cause.
  if (LastErrorGetCode() == 0) LastErrorSetText(L"The image file ends before the data it holds.");
  const wchar_t* name = ErrorStateGetFileName();
  ErrorReport(name ? name : document->path.c_str());
  AbortCodeSet(kAbortImageRead);
  return delivered;
}

int64_t ImageWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0) return 0;
  const CImageFormatInfo* row = ImageFormatRow(document, document->outputType);
  int64_t written = 0;
  if (row && row->write && document->outputType <= 2)
    written = row->write(document, sector, buffer, n) == n ? n : 0;
  else if (document->inputType == kImageTypeAudioDisc)
    written = ImageWriteRawAudio(document, buffer, n) == n ? n : 0;
  if (written < n) {
    ErrorReport(document->outputPath.c_str());
    AbortCodeSet(kAbortWriteFailed);
  }
  return written;
}

int64_t ImageCopyUserDataToFd(CImageDocument* document, int64_t sector, int64_t bytes, int fd) {
  if (!document || !document->input || bytes <= 0 || sector < 0 || fd < 0) return 0;
  const CImageFormatInfo* row = ImageFormatRow(document, document->inputType);
  if (!row || row->read != IsoReadSectors || document->headerSize < 0 || document->edcCheck) return 0;
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  if (limit <= 0 || sector + (bytes + 2047) / 2048 > limit) return 0;
  return KernelCopyRange(fileno(document->input), document->headerSize + sector * 2048, bytes, fd,
                         &document->kernelCopyRefused);
}

namespace {

constexpr int64_t kRawSize = kCdRawSectorSize;
// Raw reads through a track table go in groups of this many sectors.
constexpr int64_t kRawTrackGroup = 128;
// The most raw sectors one request can name: their bytes fit in an int64_t.
constexpr int64_t kMaxRawSectors = INT64_MAX / kRawSize;
// Stored sectors of other sizes than 2352 are read in batches of about this many bytes.
constexpr int64_t kStoredBatchBytes = 128 * 2448;

// Offsets of the parts of a raw sector that the encoders here fill.
constexpr int kMode1DataAt = 16;
constexpr int kMode2DataAt = 24;

// base + k * size, false on overflow.
bool OffsetOf(int64_t base, int64_t k, int64_t size, int64_t* result) {
  int64_t product;
  return !__builtin_mul_overflow(k, size, &product) && !__builtin_add_overflow(base, product, result);
}

// A raw sector of a track of `mode` in `out`, numbered `sector`, holding the 2048 bytes of `data` (null: zeros).
// A mode that names no data form gives all zeros for a gap and a Mode 1 sector for stored data.
void EncodeByMode(uint8_t mode, int64_t sector, const uint8_t* data, bool gap, uint8_t* out) {
  std::memset(out, 0, kRawSize);
  switch (mode) {
    case kTrackModeMode2Form1:
    case 5:
    case 8:
      if (data) std::memcpy(out + kMode2DataAt, data, kCdUserDataSize);
      // The data is placed already: the raw writer's Mode 2 plan has no say over sectors read.
      CdEncodeMode2Sector(sector, nullptr, out);
      return;
    case kTrackModeMode2Form2:
      if (data) std::memcpy(out + kMode2DataAt, data, kCdUserDataSize);
      CdBuildMode2Header(sector, 0, 0, kCdSubModeForm2, 0, nullptr, out);
      return;
    case kTrackModeMode1:
    case 3:
      break;
    default:
      if (gap) return;
      break;
  }
  if (data) std::memcpy(out + kMode1DataAt, data, kCdUserDataSize);
  CdEncodeMode1Sector(sector, nullptr, out);
}

// Boundaries of the five spans of a track: span k runs from at[k - 1] to at[k]. Negative lengths count as 0 and
// a stored part never exceeds its gap, so the boundaries never go back.
struct TrackBounds {
  int64_t at[6];
};

TrackBounds TrackGetBounds(const CTrackInfo& track) {
  TrackBounds b;
  const int64_t start = track.start;
  b.at[0] = start - std::max<int64_t>(track.pregap, 0);
  b.at[1] = std::max(b.at[0], start - std::max<int64_t>(track.pregapStored, 0));
  b.at[2] = start;
  b.at[3] = start + std::max<int64_t>(track.length, 0);
  b.at[5] = b.at[3] + std::max<int64_t>(track.postgap, 0);
  b.at[4] = std::min(b.at[5], b.at[3] + std::max<int64_t>(track.postgapStored, 0));
  return b;
}

// How many sectors of a batch of `count` stored sectors `stride` apart, of which the first `need` bytes are used,
// a read delivered: it returned `got` bytes of the `want` asked for, `want` being cut short of the batch by the
// track's data end when `cut`. A sector whose used bytes were all read counts; so does a last sector that the data
// end cuts, once the read reached that end (its missing bytes read as zeros). A file that ends before the data
// end its table gives loses the sector it ends in.
int64_t SectorsDelivered(int64_t got, int64_t want, bool cut, int64_t stride, int64_t need, int64_t count) {
  int64_t whole = got >= need ? (got - need) / stride + 1 : 0;
  if (cut && got == want) whole = std::max(whole, (got + stride - 1) / stride);
  return std::min(whole, count);
}

bool Overlaps(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  const auto x = reinterpret_cast<uintptr_t>(a);
  const auto y = reinterpret_cast<uintptr_t>(b);
  return x < y + bBytes && y < x + aBytes;
}

// Reads `count` stored sectors of a track from `sector` on, as raw sectors into `out`: the sectors delivered.
int64_t TrackReadStored(CImageDocument* document, const CTrackInfo& track, int64_t sector, int64_t count,
                        uint8_t* out) {
  FILE* file = track.file ? track.file : document->input;
  const int64_t size = track.sectorSize;
  if (!file || track.dataOffset < 0) return 0;
  if (size != kCdUserDataSize && size != kCdMode2BlockSize && size < kRawSize) return 0;
  int64_t relative;
  int64_t position;
  if (__builtin_sub_overflow(sector, int64_t{track.start}, &relative) ||
      !OffsetOf(track.dataOffset, relative, size, &position) || position < 0)
    return 0;

  // 2352-byte sectors go straight into the caller's buffer in one read; other sizes pass through a work buffer.
  const bool inPlace = size == kRawSize;
  const int64_t need = std::min(size, kRawSize);
  const int64_t batch = inPlace ? count : std::clamp<int64_t>(kStoredBatchBytes / size, 1, count);
  uint8_t* work = nullptr;
  std::vector<uint8_t> own;
  if (!inPlace) {
    const auto bytes = static_cast<size_t>((batch - 1) * size + need);
    std::vector<uint8_t>* buffer = &document->rawBuffer;
    if (Overlaps(buffer->data(), buffer->size(), out, static_cast<size_t>(count) * kRawSize)) buffer = &own;
    if (buffer->size() < bytes) buffer->resize(bytes);
    work = buffer->data();
  }

  int64_t done = 0;
  while (done < count) {
    const int64_t group = std::min(batch, count - done);
    int64_t at;
    int64_t left;
    if (!OffsetOf(position, done, size, &at) || __builtin_sub_overflow(track.dataEnd, at, &left) || left <= 0)
      break;
    const int64_t full = (group - 1) * size + need;
    const int64_t want = std::min(full, left);
    uint8_t* into = inPlace ? out + done * kRawSize : work;
    const int64_t got = FileReadAtCount(file, into, at, static_cast<size_t>(want));
    if (got < 0) break;
    const int64_t delivered = SectorsDelivered(got, want, want < full, size, need, group);
    const int64_t used = delivered > 0 ? (delivered - 1) * size + need : 0;
    if (used > got) std::memset(into + got, 0, static_cast<size_t>(used - got));
    if (!inPlace) {
      for (int64_t i = 0; i < delivered; ++i) {
        const uint8_t* stored = work + i * size;
        uint8_t* raw = out + (done + i) * kRawSize;
        const int64_t number = sector + done + i;
        if (size > kRawSize)
          std::memcpy(raw, stored, kRawSize);
        else if (size == kCdMode2BlockSize)
          CdBuildMode2HeaderFrom(number, stored, raw);
        else
          EncodeByMode(track.mode, number, stored, false, raw);
      }
    }
    done += delivered;
    if (delivered < group) break;
  }
  return done;
}

}  // namespace

void TrackMakeGapSectors(uint8_t mode, int64_t sector, int64_t count, void* buffer) {
  if (!buffer || count <= 0) return;
  auto* out = static_cast<uint8_t*>(buffer);
  for (int64_t i = 0; i < count; ++i) EncodeByMode(mode, sector + i, nullptr, true, out + i * kRawSize);
}

int64_t TrackReadRawRange(CImageDocument* document, int32_t span, int64_t sector, int64_t count, int32_t trackIndex,
                          void* buffer) {
  if (!document || !buffer || count <= 0 || count > kMaxRawSectors) return 0;
  const CTrackInfo* track = TrackTableGetTrack(document->trackTable, trackIndex);
  if (!track) return 0;
  switch (span) {
    case kRawSpanPregapGenerated:
    case kRawSpanPostgapGenerated:
      TrackMakeGapSectors(track->mode, sector, count, buffer);
      return count;
    case kRawSpanPregapStored:
    case kRawSpanTrack:
    case kRawSpanPostgapStored:
      break;
    default:
      return 0;
  }
  if (track->hook) {
    // The interface that owns the track fills it; the command line attaches none.
    std::memset(buffer, 0, static_cast<size_t>(count) * kRawSize);
    return UiHookOne() ? count : 0;
  }
  if (document->deviceFlag) return 0;
  return TrackReadStored(document, *track, sector, count, static_cast<uint8_t*>(buffer));
}

int64_t ImageReadRawTracks(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !document->trackTable || !buffer || n <= 0 || n > kMaxRawSectors || sector > INT64_MAX - n)
    return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  for (int32_t index = 0; done < n; ++index) {
    const CTrackInfo* track = TrackTableGetTrack(document->trackTable, index);
    if (!track) break;
    const TrackBounds bounds = TrackGetBounds(*track);
    if (sector + done < bounds.at[0]) break;
    for (int32_t span = kRawSpanPregapGenerated; span <= kRawSpanPostgapGenerated && done < n; ++span) {
      const int64_t cursor = sector + done;
      if (cursor >= bounds.at[span]) continue;
      const int64_t run = std::min(n - done, bounds.at[span] - cursor);
      const int64_t got = TrackReadRawRange(document, span, cursor, run, index, out + done * kRawSize);
      done += got;
      if (got < run) return done;
    }
  }
  return done;
}

int64_t ImageReadRawPlain(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !document->input || !buffer || n <= 0 || n > kMaxRawSectors) return 0;
  int64_t position;
  if (!OffsetOf(document->headerSize, sector, kRawSize, &position) || position < 0) return 0;
  return FileReadAt(document->input, buffer, position, static_cast<size_t>(n) * kRawSize) ? n : 0;
}

int64_t ImageReadRawSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0 || n > kMaxRawSectors || sector > INT64_MAX - n) return 0;
  if (document->deviceFlag && document->driveRawReader && !document->builder)
    return document->driveRawReader(document, sector, buffer, n);
  if (!document->trackTable)
    return document->sectorSize == kRawSize ? ImageReadRawPlain(document, sector, buffer, n) : 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < n) {
    const int64_t count = std::min(kRawTrackGroup, n - done);
    if (ImageReadRawTracks(document, sector + done, out + done * kRawSize, count) != count) break;
    done += count;
  }
  return done;
}

int64_t ImageCopyRawTracksToFd(CImageDocument* document, int64_t sector, int64_t n, int fd) {
  if (!document || !document->trackTable || document->deviceFlag || fd < 0 || n <= 0 || n > kMaxRawSectors ||
      sector < 0 || sector > INT64_MAX - n)
    return 0;
  const int32_t index = ImageFindTrackOfSector(document, sector);
  const CTrackInfo* track = TrackTableGetTrack(document->trackTable, index);
  if (!track || track->hook || track->sectorSize != kRawSize || track->dataOffset < 0) return 0;
  FILE* file = track->file ? track->file : document->input;
  if (!file) return 0;
  // Only the stored spans lie in the file as they are, and only whole sectors before the track's data end.
  const TrackBounds bounds = TrackGetBounds(*track);
  const bool storedSpan =
      (sector >= bounds.at[1] && sector < bounds.at[3]) || (sector >= bounds.at[3] && sector < bounds.at[4]);
  if (!storedSpan) return 0;
  const int64_t spanEnd = sector < bounds.at[3] ? bounds.at[3] : bounds.at[4];
  int64_t position;
  if (!OffsetOf(track->dataOffset, sector - track->start, kRawSize, &position) || position < 0) return 0;
  const int64_t whole = track->dataEnd > position ? (track->dataEnd - position) / kRawSize : 0;
  const int64_t count = std::min({n, spanEnd - sector, whole});
  if (count <= 0) return 0;
  const int64_t bytes = count * kRawSize;
  int64_t done = KernelCopyRange(fileno(file), position, bytes, fd, &document->kernelCopyRefused);
  // A copy that stopped inside a sector gives the sector back: the caller reads it again.
  if (const int64_t rest = done % kRawSize; rest != 0) {
    if (lseek(fd, -rest, SEEK_CUR) < 0) return -1;
    done -= rest;
  }
  return done / kRawSize;
}

int32_t ImageFindTrackOfSector(const CImageDocument* document, int64_t sector) {
  if (!document) return -1;
  for (int32_t index = 0;; ++index) {
    const CTrackInfo* track = TrackTableGetTrack(document->trackTable, index);
    if (!track) return -1;
    const TrackBounds bounds = TrackGetBounds(*track);
    if (sector < bounds.at[0]) return -1;
    if (sector < bounds.at[5]) return index;
  }
}

void ImageSelectTrack(CImageDocument* document, int32_t track) {
  if (!document) return;
  if (!document->trackTable) {
    document->sectorSize = kCdUserDataSize;
    document->userDataOffset = 0;
    return;
  }
  const CTrackInfo* info = TrackTableGetTrack(document->trackTable, track);
  if (!info) return;
  const bool kept = info->sectorSize == kCdUserDataSize || info->sectorSize == kCdMode2BlockSize;
  document->sectorSize = kept ? info->sectorSize : kCdRawSectorSize;
  document->userDataOffset = 0;
  document->headerSize = info->dataOffset;
}

int64_t ImageWriteRawAudio(CImageDocument* document, const void* buffer, int64_t n) {
  if (!document || !document->output || !buffer || n <= 0 || n > kMaxRawSectors) return 0;
  const auto bytes = static_cast<size_t>(n) * kRawSize;
  return FileWriteAtCount(document->output, buffer, kFileNoSeek, bytes) == static_cast<int64_t>(bytes) ? n : 0;
}
