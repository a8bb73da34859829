#include "burner/buffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "burner/jobs.h"
#include "burner/writer.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/settings.h"

namespace {

// Sectors per source read: about 1 MiB, so that reads stay large without holding the ring's lock.
int32_t ChunkSectors(int32_t sectorSize) { return sectorSize == 2352 ? 448 : 512; }

// The reader's loop over one range of the source: 1 when all of it is in the ring, 0 when stopped or a load
// failed.
int BurnBufferProduce(CBurnBuffer* buffer, uint64_t count) {
  if (count == 0) return 1;
  const int32_t chunk = ChunkSectors(buffer->sectorSize);
  uint64_t remaining = count;
  for (;;) {
    int32_t free;
    int32_t at;
    {
      std::unique_lock<std::mutex> lock(buffer->mutex);
      for (;;) {
        if (buffer->stop) return 0;
        free = buffer->capacity - buffer->fillCount;
        bool fill =
            static_cast<uint64_t>(free) >= remaining || free >= buffer->capacity / 4 || (free > 0 && buffer->starting);
        if (fill) break;
        buffer->readerWants = static_cast<int64_t>(std::min<uint64_t>(remaining, buffer->capacity / 4));
        buffer->room.wait_for(lock, std::chrono::seconds(5));
        buffer->readerWants = 0;
      }
      at = buffer->writeIndex;
    }
    // Only this thread moves the write index; the slots from it on are outside the held range.
    int32_t todo = static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(free), remaining));
    while (todo > 0) {
      int32_t n = std::min({todo, chunk, buffer->capacity - at});
      uint8_t* slot = buffer->ring.data() + static_cast<size_t>(at) * buffer->sectorSize;
      if (!BurnBufferLoad(buffer, slot, n)) return 0;
      at = (at + n) % buffer->capacity;
      todo -= n;
      remaining -= static_cast<uint64_t>(n);
      {
        std::lock_guard<std::mutex> lock(buffer->mutex);
        buffer->writeIndex = at;
        buffer->fillCount += n;
        if (buffer->stop) return 0;
      }
      buffer->filled.notify_all();
    }
    if (remaining == 0) return 1;
  }
}

void BurnBufferReaderThread(CBurnBuffer* buffer) {
  bool finished = true;
  if (buffer->sectorSize == 2048) {
    buffer->nextSourceSector = static_cast<uint64_t>(buffer->appendStart);
    int64_t n = buffer->source.dataEnd - buffer->appendStart;
    if (n < 0) n = 0;
    finished = BurnBufferProduce(buffer, static_cast<uint64_t>(n < 300 ? 600 : n + 300)) == 1;
  } else {
    const CTrackTable* table = buffer->document ? buffer->document->trackTable : nullptr;
    int32_t count = table ? std::min(table->trackCount, kTrackTableMaxTracks - 1) : 0;
    for (int32_t i = 0; i < count && finished; ++i) {
      const CTrackInfo* track = TrackTableGetTrack(table, i);
      if (!track) break;
      buffer->currentTrack = i;
      buffer->nextSourceSector = static_cast<uint64_t>(track->start - track->pregap);
      int64_t n = static_cast<int64_t>(track->pregap) + track->length + track->postgap;
      finished = n >= 0 && BurnBufferProduce(buffer, static_cast<uint64_t>(n)) == 1;
    }
  }
  {
    std::lock_guard<std::mutex> lock(buffer->mutex);
    if (finished) buffer->readerFinished = 1;
    buffer->readerRunning = 0;
  }
  buffer->filled.notify_all();
}

}  // namespace

int BurnBufferLoad(CBurnBuffer* buffer, uint8_t* out, int32_t n) {
  const int64_t first = static_cast<int64_t>(buffer->nextSourceSector);
  const size_t size = static_cast<size_t>(buffer->sectorSize);
  std::memset(out, 0, static_cast<size_t>(n) * size);
  int64_t got = 0;
  if (buffer->sectorSize == 2048) {
    // Sectors at or past the data end stay zero: the run-out after the image.
    int64_t inside = std::clamp<int64_t>(buffer->source.dataEnd - first, 0, n);
    if (inside > 0) {
      got = buffer->source.readUser ? buffer->source.readUser(buffer->source.context, first, out, inside) : 0;
      if (got != inside) got = -1;
    }
  } else {
    got = buffer->source.readRaw ? buffer->source.readRaw(buffer->source.context, first, out, n) : 0;
    if (got != n) got = -1;
  }
  if (got < 0) {
    std::lock_guard<std::mutex> lock(buffer->mutex);
    buffer->readFailed = 1;
    buffer->failedSector = first;
    buffer->failedCount = n;
    return 0;
  }
  buffer->nextSourceSector += n;
  return 1;
}

int32_t BurnBufferCapacityOf(int32_t megabytes) { return std::clamp(megabytes, 8, 128) * 512; }

std::unique_ptr<CBurnBuffer> BurnBufferCreate(CBurnJob* job, CImageDocument* document, int32_t sectorSize,
                                              const CBurnSource& source, int64_t appendStart) {
  std::unique_ptr<CBurnBuffer> buffer(new (std::nothrow) CBurnBuffer);
  int32_t capacity = BurnBufferCapacityOf(SettingsGetIntClamped(L"BurnBuffer", 8, 8, 128));
  if (buffer) {
    try {
      buffer->ring.resize(static_cast<size_t>(capacity) * static_cast<size_t>(sectorSize));
    } catch (const std::bad_alloc&) {
      buffer.reset();
    }
  }
  if (!buffer) {
    BurnJobPrint(job, kBurnLevelError, L"Out of memory. Program abort.");
    return nullptr;
  }
  buffer->document = document;
  buffer->sectorSize = sectorSize;
  buffer->capacity = capacity;
  buffer->job = job;
  buffer->source = source;
  buffer->appendStart = appendStart;
  buffer->starting = 1;
  buffer->readerRunning = 1;  // before the thread starts, so that no one sees a reader that has not begun
  try {
    buffer->reader = std::thread(BurnBufferReaderThread, buffer.get());
  } catch (...) {
    buffer->readerRunning = 0;
    BurnJobPrint(job, kBurnLevelError, L"Out of memory. Program abort.");
    return nullptr;
  }
  bool ok;
  {
    std::unique_lock<std::mutex> lock(buffer->mutex);
    buffer->filled.wait(lock, [&] {
      return buffer->fillCount == buffer->capacity || buffer->readerFinished || !buffer->readerRunning;
    });
    ok = buffer->fillCount == buffer->capacity || buffer->readerFinished;
    buffer->starting = 0;
  }
  if (!ok) {
    // The source failed before the first write: nothing was written, and the failure says why.
    BurnJobReportSourceFailure(job, buffer.get());
    BurnBufferDestroy(std::move(buffer));
    return nullptr;
  }
  return buffer;
}

CBurnBuffer::~CBurnBuffer() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = 1;
  }
  room.notify_all();
  if (reader.joinable()) reader.join();
}

void BurnBufferDestroy(std::unique_ptr<CBurnBuffer> buffer) { buffer.reset(); }

int32_t BurnBufferFreeCount(CBurnBuffer* buffer) {
  std::lock_guard<std::mutex> lock(buffer->mutex);
  return buffer->capacity - buffer->fillCount;
}

const uint8_t* BurnBufferTake(CBurnBuffer* buffer, uint8_t* scratch, int32_t n, int advance) {
  if (n <= 0 || n > buffer->capacity) return nullptr;
  int32_t at;
  {
    std::unique_lock<std::mutex> lock(buffer->mutex);
    buffer->filled.wait(lock, [&] { return buffer->fillCount >= n || !buffer->readerRunning; });
    if (buffer->fillCount < n) return nullptr;
    at = buffer->readIndex;
  }
  const size_t size = static_cast<size_t>(buffer->sectorSize);
  const uint8_t* out;
  if (at + n > buffer->capacity || advance) {
    size_t head = static_cast<size_t>(std::min(buffer->capacity - at, n)) * size;
    std::memcpy(scratch, buffer->ring.data() + static_cast<size_t>(at) * size, head);
    std::memcpy(scratch + head, buffer->ring.data(), static_cast<size_t>(n) * size - head);
    out = scratch;
  } else {
    out = buffer->ring.data() + static_cast<size_t>(at) * size;
  }
  if (advance) BurnBufferAdvance(buffer, n);
  return out;
}

void BurnBufferAdvance(CBurnBuffer* buffer, int32_t n) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(buffer->mutex);
    n = std::min(n, buffer->fillCount);
    buffer->readIndex = (buffer->readIndex + n) % buffer->capacity;
    buffer->fillCount -= n;
    // The reader is woken only once it can fill a large piece: not after every run of 16.
    wake = buffer->readerWants > 0 && buffer->capacity - buffer->fillCount >= buffer->readerWants;
  }
  if (wake) buffer->room.notify_all();
}
