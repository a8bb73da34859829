#include "formats/chunkmap.h"

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "formats/adc.h"
#include "formats/lzfse.h"
#include "image/document.h"
#include "runtime/crc.h"
#include "runtime/error.h"

namespace {

bool PreadAll(FILE* file, uint8_t* buffer, uint64_t offset, uint64_t length) {
  if (!file) return false;
  const int fd = fileno(file);
  while (length > 0) {
    const ssize_t got =
        pread(fd, buffer, static_cast<size_t>(std::min<uint64_t>(length, 1u << 30)), static_cast<off_t>(offset));
    if (got <= 0) return false;
    buffer += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<uint64_t>(got);
  }
  return true;
}

uint64_t StreamSize(const CChunkMap* map) {
  if (map->segments.empty()) return static_cast<uint64_t>(map->sourceSize);
  const CChunkSegment& last = map->segments.back();
  return last.streamStart + last.streamLength;
}

void Decipher(const CChunkMap* map, uint8_t* data, uint64_t length) {
  for (uint64_t at = 0; at + 16 <= length; at += 16) AesDecryptBlock(&map->aes, data + at, data + at);
}

// A zlib stream (RFC 1950) that must give exactly `outLength` bytes. The deflate data is inflated raw and its
// Adler-32 checked here, which is several times faster than zlib's own check.
bool Inflate(const uint8_t* in, uint64_t inLength, uint8_t* out, uint64_t outLength) {
  if (inLength < 6 || (in[0] & 0x0F) != 8 || (in[0] >> 4) > 7 || ((in[0] << 8) | in[1]) % 31 != 0 || (in[1] & 0x20))
    return false;
  z_stream stream = {};
  if (inflateInit2(&stream, -15) != Z_OK) return false;
  stream.next_in = const_cast<uint8_t*>(in + 2);
  stream.avail_in = static_cast<uInt>(inLength - 2);
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(outLength);
  const int result = inflate(&stream, Z_FINISH);
  bool ok = result == Z_STREAM_END && stream.total_out == outLength && stream.avail_in >= 4;
  if (ok) {
    const uint8_t* t = stream.next_in;
    const uint32_t stored = uint32_t{t[0]} << 24 | uint32_t{t[1]} << 16 | uint32_t{t[2]} << 8 | t[3];
    ok = Adler32Update(1, out, static_cast<size_t>(outLength)) == stored;
  }
  inflateEnd(&stream);
  return ok;
}

// Produces the whole of chunk `c` into `out` (its uncompressed length). Safe to run on several threads at once:
// it reads the source with pread and touches only `out` and `scratch`.
bool DecodeChunk(const CChunkMap* map, const CChunk& c, uint8_t* out, std::vector<uint8_t>* scratch) {
  if (c.type == kChunkZero) {
    std::memset(out, 0, static_cast<size_t>(c.uncompressedLength));
    return true;
  }
  if (c.type == kChunkUnknown) return false;
  try {
    scratch->resize(static_cast<size_t>(c.compressedLength));
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint8_t* in = scratch->data();
  if (!ChunkMapReadRaw(map, in, c.fileOffset, c.compressedLength)) return false;
  if (map->encrypted) Decipher(map, in, c.compressedLength);
  if ((c.type == kChunkAdc || c.type == kChunkBzip2 || c.type == kChunkLzfse) && c.compressedLength >= 3 &&
      std::memcmp(in, "ISz", 3) == 0)
    std::memcpy(in, "BZh", 3);
  switch (c.type) {
    case kChunkStored:
      if (c.compressedLength != c.uncompressedLength) return false;
      std::memcpy(out, in, static_cast<size_t>(c.uncompressedLength));
      return true;
    case kChunkZlib:
      return Inflate(in, c.compressedLength, out, c.uncompressedLength);
    case kChunkBzip2: {
      // A stream that decodes to more than the chunk holds fails for want of room.
      unsigned int produced = static_cast<unsigned int>(c.uncompressedLength);
      const int result =
          BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out), &produced, reinterpret_cast<char*>(in),
                                     static_cast<unsigned int>(c.compressedLength), 0, 0);
      return result == BZ_OK && produced == c.uncompressedLength;
    }
    case kChunkAdc: {
      int64_t produced = 0;
      AdcDecompress(static_cast<int64_t>(c.compressedLength), in, static_cast<int64_t>(c.uncompressedLength), out,
                    &produced);
      return produced == static_cast<int64_t>(c.uncompressedLength);
    }
    case kChunkLzfse:
      return LzfseDecode(in, static_cast<size_t>(c.compressedLength), out, static_cast<size_t>(c.uncompressedLength)) ==
             static_cast<int64_t>(c.uncompressedLength);
    default:
      return false;
  }
}

// Stored chunks of a plain single file are read straight from it; every other chunk goes through the cache.
bool NeedsCache(const CChunkMap* map, const CChunk& c) {
  if (c.type == kChunkZero) return false;
  if (c.type == kChunkStored) return map->encrypted || !map->segments.empty();
  return true;
}

void ReportFailure(CChunkMap* map) {
  if (!map->failedSegment.empty()) {
    ErrorStateSetFileName(map->failedSegment.c_str());
    LastErrorSetCode(ENOENT);
    return;
  }
  LastErrorSetCode(EIO);
  LastErrorSetText(L"Can not read compressed image file. ");
  AbortCodeSet(kAbortImageRead);
}

}  // namespace

// The cache of decoded chunks and its workers. Only the reading thread picks, fills and empties slots; a worker
// touches a slot only between taking it from the queue and marking it done, and the reader never gives up a
// slot that is queued or being decoded. Slot states and the queue are guarded by `mutex`.
struct CChunkDecoder {
  enum State : uint8_t { kIdle, kQueued, kDecoding, kReady, kFailed };
  struct Slot {
    int64_t key = -1;  // chunk index, -1 none
    State state = kIdle;
    uint64_t lastUse = 0;
    CChunk chunk = {};                // what a worker decodes (a copy: the chunk list is the reader's)
    std::unique_ptr<uint8_t[]> data;  // left uninitialised: a decode fills all of it
    uint64_t capacity = 0;
  };

  std::vector<Slot> slots;
  std::vector<int32_t> slotOf;  // per chunk: its slot, or -1
  uint64_t budget = 0;          // bytes the slots may hold together, beyond the chunk a read waits for
  uint64_t held = 0;            // bytes the slots hold
  uint64_t useClock = 0;
  int64_t lastChunkRead = -1;    // the chunk the previous read ended in
  size_t scheduledTo = 0;        // chunks before it, from the reader on, are cached or on their way
  uint64_t window = 0;           // bytes to decode ahead of the reader
  int32_t pending = 0;           // slots queued or being decoded
  std::vector<uint8_t> scratch;  // the reader's compressed bytes

  std::mutex mutex;
  std::condition_variable wake;  // a job was queued, or the workers are to stop
  std::condition_variable done;  // a job ended
  std::deque<int32_t> queue;     // slots waiting for a worker, nearest chunk first
  bool stop = false;
  std::vector<std::thread> workers;
};

namespace {

// The bytes a cache may hold, the most chunks it keeps, and the read-ahead window when reads start to go forward
// and at most.
constexpr uint64_t kCacheBytes = uint64_t{64} << 20;
constexpr size_t kMaxSlots = 512;
constexpr uint64_t kFirstWindow = uint64_t{1} << 20;
constexpr uint64_t kMaxWindow = uint64_t{16} << 20;

void Work(CChunkMap* map, CChunkDecoder* d) {
  std::vector<uint8_t> scratch;
  std::unique_lock<std::mutex> lock(d->mutex);
  for (;;) {
    d->wake.wait(lock, [&] { return d->stop || !d->queue.empty(); });
    if (d->stop) return;
    CChunkDecoder::Slot& slot = d->slots[static_cast<size_t>(d->queue.front())];
    d->queue.pop_front();
    slot.state = CChunkDecoder::kDecoding;
    lock.unlock();
    const bool ok = DecodeChunk(map, slot.chunk, slot.data.get(), &scratch);
    lock.lock();
    slot.state = ok ? CChunkDecoder::kReady : CChunkDecoder::kFailed;
    if (ok) ++map->decodeCount;
    --d->pending;
    d->done.notify_all();
  }
}

// Stops the workers after the job each is on; queued jobs are dropped and their slots emptied.
void StopWorkers(CChunkDecoder* d) {
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    d->stop = true;
    for (int32_t index : d->queue) {
      d->slots[static_cast<size_t>(index)].state = CChunkDecoder::kFailed;
      --d->pending;
    }
    d->queue.clear();
  }
  d->wake.notify_all();
  for (std::thread& worker : d->workers) worker.join();
  d->workers.clear();
  d->stop = false;
}

void StartWorkers(CChunkMap* map, CChunkDecoder* d) {
  const size_t count = std::clamp<size_t>(std::thread::hardware_concurrency(), 2, 17) - 1;
  for (size_t i = 0; i < count; ++i) {
    try {
      d->workers.emplace_back(Work, map, d);
    } catch (...) {
      break;  // fewer workers, or none: the reader decodes what it needs itself
    }
  }
}

CChunkDecoder* DecoderOf(CChunkMap* map) {
  if (map->decoder) return map->decoder;
  auto* d = new (std::nothrow) CChunkDecoder;
  if (!d) return nullptr;
  uint64_t largest = 1;
  for (const CChunk& c : map->chunks) largest = std::max(largest, c.uncompressedLength);
  try {
    d->slots.resize(std::clamp<size_t>(static_cast<size_t>(kCacheBytes / largest), 4, kMaxSlots));
    d->slotOf.assign(map->chunks.size(), -1);
  } catch (const std::bad_alloc&) {
    delete d;
    return nullptr;
  }
  d->budget = kCacheBytes;
  map->decoder = d;
  return d;
}

// Gives slot `index` to chunk `chunk`, sized for it: false when out of memory (the slot is then empty).
bool Assign(CChunkMap* map, CChunkDecoder* d, int32_t index, size_t chunk) {
  CChunkDecoder::Slot& slot = d->slots[static_cast<size_t>(index)];
  if (slot.key >= 0) d->slotOf[static_cast<size_t>(slot.key)] = -1;
  slot.key = -1;
  slot.state = CChunkDecoder::kIdle;
  const CChunk& c = map->chunks[chunk];
  if (slot.capacity < c.uncompressedLength || slot.capacity > 2 * c.uncompressedLength) {
    d->held -= slot.capacity;
    slot.data.reset(new (std::nothrow) uint8_t[static_cast<size_t>(c.uncompressedLength)]);
    slot.capacity = slot.data ? c.uncompressedLength : 0;
    d->held += slot.capacity;
    if (!slot.data) return false;
  }
  slot.key = static_cast<int64_t>(chunk);
  slot.chunk = c;
  slot.lastUse = ++d->useClock;
  d->slotOf[chunk] = index;
  return true;
}

// A slot to give up for chunk `chunk`: an empty one first, then the least recently used of those that hold a
// chunk behind `reader` or past `ahead`; with `anyReady`, also of the others that are decoded. -1 when none.
// Called with the mutex held.
int32_t PickSlot(const CChunkDecoder* d, size_t reader, size_t ahead, bool anyReady) {
  int32_t best = -1;
  int bestRank = 3;
  for (size_t i = 0; i < d->slots.size(); ++i) {
    const CChunkDecoder::Slot& slot = d->slots[i];
    if (slot.state == CChunkDecoder::kQueued || slot.state == CChunkDecoder::kDecoding) continue;
    const uint64_t key = static_cast<uint64_t>(slot.key);
    int rank = slot.key < 0 ? 0 : (key < reader || key >= ahead) ? 1 : 2;
    if (rank == 2 && !anyReady) continue;
    if (rank < bestRank || (rank == bestRank && slot.lastUse < d->slots[static_cast<size_t>(best)].lastUse)) {
      best = static_cast<int32_t>(i);
      bestRank = rank;
      if (rank == 0) break;
    }
  }
  return best;
}

// Hands chunk `chunk` to the workers in slot `index` (under the lock); false when the slot cannot take it.
bool QueueDecode(CChunkMap* map, CChunkDecoder* d, int32_t index, size_t chunk) {
  if (!Assign(map, d, index, chunk)) return false;
  d->slots[static_cast<size_t>(index)].state = CChunkDecoder::kQueued;
  d->queue.push_back(index);
  ++d->pending;
  return true;
}

// Wakes the workers for `queued` new jobs, starting them on first use (after the lock is released).
void WakeWorkers(CChunkMap* map, CChunkDecoder* d, int32_t queued) {
  if (queued == 0) return;
  if (d->workers.empty()) StartWorkers(map, d);
  if (queued == 1)
    d->wake.notify_one();
  else
    d->wake.notify_all();
}

// Queues the chunks from `from` on that are neither cached nor on their way, up to the window past `reader`'s
// start, while the budget and the slots allow.
void ScheduleAhead(CChunkMap* map, CChunkDecoder* d, size_t reader, size_t from) {
  const uint64_t here = map->chunks[reader].uncompressedStart;
  const uint64_t limit = here + d->window;
  size_t i = std::max(from, d->scheduledTo);
  // Topped up only when less than half the window is left ahead, so that the workers are woken for batches
  // instead of for every chunk.
  if (i < map->chunks.size() && map->chunks[i].uncompressedStart - here > d->window / 2) return;
  int32_t queued = 0;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    for (; i < map->chunks.size() && map->chunks[i].uncompressedStart < limit; ++i) {
      const CChunk& c = map->chunks[i];
      if (!NeedsCache(map, c) || d->slotOf[i] >= 0) continue;
      // Two slots stay free of jobs for the chunks a read waits for.
      if (d->pending + 2 >= static_cast<int32_t>(d->slots.size())) break;
      const int32_t index = PickSlot(d, reader, i, false);
      if (index < 0) break;
      const uint64_t freed = d->slots[static_cast<size_t>(index)].capacity;
      if (d->held - freed + c.uncompressedLength > d->budget) break;
      if (!QueueDecode(map, d, index, i)) break;
      ++queued;
    }
  }
  d->scheduledTo = i;
  WakeWorkers(map, d, queued);
}

// The decoded bytes of chunk `chunk`, decoding it on this thread unless a worker has it: null when it cannot be
// produced.
const uint8_t* Acquire(CChunkMap* map, CChunkDecoder* d, size_t chunk, size_t reader) {
  std::unique_lock<std::mutex> lock(d->mutex);
  int32_t index = d->slotOf[chunk];
  if (index >= 0) {
    CChunkDecoder::Slot& slot = d->slots[static_cast<size_t>(index)];
    if (slot.state == CChunkDecoder::kQueued) {
      // Not started yet: this thread takes it over.
      d->queue.erase(std::find(d->queue.begin(), d->queue.end(), index));
      --d->pending;
      slot.state = CChunkDecoder::kIdle;
    } else {
      d->done.wait(lock, [&] { return slot.state != CChunkDecoder::kDecoding; });
      if (slot.state == CChunkDecoder::kFailed) {
        // Given up: the next read of the chunk tries again.
        d->slotOf[chunk] = -1;
        slot.key = -1;
        slot.state = CChunkDecoder::kIdle;
        return nullptr;
      }
      slot.lastUse = ++d->useClock;
      return slot.data.get();
    }
  } else {
    index = PickSlot(d, reader, d->scheduledTo, true);
    if (index < 0 || !Assign(map, d, index, chunk)) return nullptr;
  }
  CChunkDecoder::Slot& slot = d->slots[static_cast<size_t>(index)];
  slot.state = CChunkDecoder::kDecoding;
  lock.unlock();
  const bool ok = DecodeChunk(map, slot.chunk, slot.data.get(), &d->scratch);
  lock.lock();
  if (!ok) {
    d->slotOf[chunk] = -1;
    slot.key = -1;
    slot.state = CChunkDecoder::kIdle;
    return nullptr;
  }
  ++map->decodeCount;
  slot.state = CChunkDecoder::kReady;
  slot.lastUse = ++d->useClock;
  return slot.data.get();
}

}  // namespace

CChunkMap* ChunkMapCreate(FILE* source, int32_t sectorSize) {
  auto* map = new (std::nothrow) CChunkMap;
  if (!map) return nullptr;
  map->source = source;
  map->sourceSize = 0;
  if (source) {
    const int64_t here = ftello(source);
    if (fseeko(source, 0, SEEK_END) == 0) map->sourceSize = ftello(source);
    if (here >= 0) fseeko(source, here, SEEK_SET);
  }
  map->sectorSize = sectorSize > 0 ? sectorSize : 512;
  return map;
}

void ChunkMapFree(CChunkMap* map) {
  if (!map) return;
  if (map->decoder) StopWorkers(map->decoder);
  delete map->decoder;
  for (CChunkSegment& segment : map->segments)
    if (segment.file && segment.file != map->source) std::fclose(segment.file);
  delete map;
}

void ChunkMapDropCache(CChunkMap* map) {
  if (!map || !map->decoder) return;
  CChunkDecoder* d = map->decoder;
  StopWorkers(d);
  for (CChunkDecoder::Slot& slot : d->slots) {
    slot.key = -1;
    slot.state = CChunkDecoder::kIdle;
  }
  std::fill(d->slotOf.begin(), d->slotOf.end(), -1);
  d->lastChunkRead = -1;
  d->scheduledTo = 0;
  d->window = 0;
}

int64_t ChunkMapAddChunkAt(CChunkMap* map, uint64_t start, int32_t segment, uint32_t type, uint64_t fileOffset,
                           uint64_t compressedLength, uint64_t uncompressedLength) {
  if (!map || start < map->uncompressedTotal || uncompressedLength > kChunkMaxBytes) return -1;
  if (start > UINT64_MAX - uncompressedLength) return -1;
  if (type != kChunkZero && type != kChunkUnknown) {
    if (compressedLength > kChunkMaxBytes) return -1;
    const uint64_t size = StreamSize(map);
    if (fileOffset > size || compressedLength > size - fileOffset) return -1;
    if (type == kChunkStored && compressedLength != uncompressedLength) return -1;
  }
  if (uncompressedLength == 0) return static_cast<int64_t>(map->totalSectors);
  try {
    map->chunks.push_back({compressedLength, uncompressedLength, fileOffset, start, type, segment});
  } catch (const std::bad_alloc&) {
    return -1;
  }
  map->uncompressedTotal = start + uncompressedLength;
  const uint64_t size = static_cast<uint64_t>(map->sectorSize);
  map->totalSectors = map->uncompressedTotal / size + (map->uncompressedTotal % size ? 1 : 0);
  return static_cast<int64_t>(map->totalSectors);
}

int64_t ChunkMapAddChunk(CChunkMap* map, int32_t segment, uint32_t type, uint64_t fileOffset, uint64_t compressedLength,
                         uint64_t uncompressedLength) {
  if (!map) return -1;
  return ChunkMapAddChunkAt(map, map->uncompressedTotal, segment, type, fileOffset, compressedLength,
                            uncompressedLength);
}

size_t ChunkMapLocate(const CChunkMap* map, uint64_t offset) {
  const auto& chunks = map->chunks;
  // The first chunk that ends after `offset`.
  auto it = std::upper_bound(chunks.begin(), chunks.end(), offset, [](uint64_t value, const CChunk& c) {
    return value < c.uncompressedStart + c.uncompressedLength;
  });
  return static_cast<size_t>(it - chunks.begin());
}

int ChunkMapReadRaw(const CChunkMap* map, uint8_t* buffer, uint64_t offset, uint64_t length) {
  if (!map || (length && !buffer)) return 0;
  if (map->segments.empty()) {
    if (offset > static_cast<uint64_t>(map->sourceSize) || length > map->sourceSize - offset) return 0;
    return PreadAll(map->source, buffer, offset, length) ? 1 : 0;
  }
  // Find the segment carrying `offset`, then walk on through the following ones.
  const auto& segments = map->segments;
  auto it = std::upper_bound(segments.begin(), segments.end(), offset,
                             [](uint64_t value, const CChunkSegment& s) { return value < s.streamStart; });
  if (it == segments.begin()) return 0;
  for (--it; length > 0; ++it) {
    if (it == segments.end() || offset < it->streamStart || offset - it->streamStart >= it->streamLength) return 0;
    const uint64_t inside = offset - it->streamStart;
    const uint64_t n = std::min(length, it->streamLength - inside);
    if (!PreadAll(it->file, buffer, it->fileOffset + inside, n)) return 0;
    buffer += n;
    offset += n;
    length -= n;
  }
  return 1;
}

namespace {

// Walks the image bytes [offset, offset + length) chunk by chunk and hands each piece to the sink: Zeros(n) for
// holes, zero chunks and what lies past the data, Stored(fileOffset, n) for bytes stored as they are in the single
// source file, Bytes(data, n) for decoded bytes. Stops at the first piece the sink refuses. kWalkUnreadable when
// a chunk could not be produced.
enum WalkResult { kWalkDone, kWalkUnreadable, kWalkRefused };

template <typename Sink>
WalkResult WalkBytes(CChunkMap* map, uint64_t offset, uint64_t length, Sink& sink) {
  const uint64_t end = offset + length;
  const size_t first = ChunkMapLocate(map, offset);
  size_t index = first;
  CChunkDecoder* d = nullptr;
  uint64_t at = offset;
  while (at < end) {
    if (index >= map->chunks.size()) return sink.Zeros(end - at) ? kWalkDone : kWalkRefused;
    const CChunk& c = map->chunks[index];
    if (at < c.uncompressedStart) {  // a hole between chunks
      const uint64_t n = std::min(end, c.uncompressedStart) - at;
      if (!sink.Zeros(n)) return kWalkRefused;
      at += n;
      continue;
    }
    const uint64_t inside = at - c.uncompressedStart;
    const uint64_t n = std::min(end - at, c.uncompressedLength - inside);
    if (c.type == kChunkUnknown) return kWalkUnreadable;
    if (c.type == kChunkZero) {
      if (!sink.Zeros(n)) return kWalkRefused;
    } else if (!NeedsCache(map, c)) {
      if (!sink.Stored(c.fileOffset + inside, n)) return kWalkRefused;
    } else {
      if (!d) {
        d = DecoderOf(map);
        if (!d) return kWalkUnreadable;
        // A read that moves on into the next chunk widens the window; one that stays in its chunk or lands in
        // what is already on its way keeps it; any other closes it, so that scattered reads (probes, folders)
        // decode only what they ask for.
        const size_t last = static_cast<size_t>(d->lastChunkRead);
        if (d->lastChunkRead >= 0 && first == last + 1) {
          d->window = std::clamp(2 * d->window, kFirstWindow, kMaxWindow);
        } else if (d->lastChunkRead < 0 || first < last || first > std::max(d->scheduledTo, last + 1)) {
          d->window = 0;
          d->scheduledTo = first;
        }
        ScheduleAhead(map, d, first, index + 1);
      }
      const uint8_t* data = Acquire(map, d, index, first);
      if (!data) return kWalkUnreadable;
      d->lastChunkRead = static_cast<int64_t>(index);
      if (!sink.Bytes(data + inside, n)) return kWalkRefused;
    }
    at += n;
    ++index;
  }
  return kWalkDone;
}

// Fills a caller's buffer.
struct BufferSink {
  CChunkMap* map;
  uint8_t* out;
  bool Zeros(uint64_t n) {
    std::memset(out, 0, static_cast<size_t>(n));
    out += n;
    return true;
  }
  bool Stored(uint64_t fileOffset, uint64_t n) {
    if (!ChunkMapReadRaw(map, out, fileOffset, n)) return false;
    out += n;
    return true;
  }
  bool Bytes(const uint8_t* data, uint64_t n) {
    std::memcpy(out, data, static_cast<size_t>(n));
    out += n;
    return true;
  }
};

// Writes into a file descriptor; stored bytes and zeros pass through a bounce buffer.
struct FdSink {
  CChunkMap* map;
  int fd;
  int64_t written = 0;
  std::vector<uint8_t> bounce = {};
  bool WriteAll(const uint8_t* data, uint64_t n) {
    while (n > 0) {
      const ssize_t put = write(fd, data, static_cast<size_t>(std::min<uint64_t>(n, 1u << 30)));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      data += put;
      n -= static_cast<uint64_t>(put);
      written += put;
    }
    return true;
  }
  bool Through(uint64_t fileOffset, uint64_t n, bool zeros) {
    constexpr uint64_t kBounce = uint64_t{1} << 20;
    try {
      if (bounce.size() < kBounce) bounce.assign(kBounce, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (uint64_t done = 0; done < n;) {
      const uint64_t piece = std::min(kBounce, n - done);
      if (zeros)
        std::memset(bounce.data(), 0, static_cast<size_t>(piece));
      else if (!ChunkMapReadRaw(map, bounce.data(), fileOffset + done, piece))
        return false;
      if (!WriteAll(bounce.data(), piece)) return false;
      done += piece;
    }
    return true;
  }
  bool Zeros(uint64_t n) { return Through(0, n, true); }
  bool Stored(uint64_t fileOffset, uint64_t n) { return Through(fileOffset, n, false); }
  bool Bytes(const uint8_t* data, uint64_t n) { return WriteAll(data, n); }
};

}  // namespace

int ChunkMapReadBytes(CChunkMap* map, uint64_t offset, void* buffer, uint64_t length) {
  if (!map || !buffer) return 0;
  if (offset > UINT64_MAX - length) return 0;
  BufferSink sink{map, static_cast<uint8_t*>(buffer)};
  if (WalkBytes(map, offset, length, sink) == kWalkDone) return 1;
  ReportFailure(map);
  return 0;
}

int64_t ChunkMapCopyToFd(CChunkMap* map, uint64_t offset, uint64_t length, int fd) {
  if (!map || fd < 0 || offset > UINT64_MAX - length || length > static_cast<uint64_t>(INT64_MAX)) return 0;
  FdSink sink{map, fd};
  WalkBytes(map, offset, length, sink);
  return sink.written;
}

void ChunkMapPrefetch(CChunkMap* map, uint64_t offset, uint64_t length) {
  if (!map || length == 0 || offset > UINT64_MAX - length) return;
  CChunkDecoder* d = DecoderOf(map);
  if (!d) return;
  const uint64_t end = offset + length;
  int32_t queued = 0;
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    for (size_t i = ChunkMapLocate(map, offset); i < map->chunks.size() && map->chunks[i].uncompressedStart < end;
         ++i) {
      const CChunk& c = map->chunks[i];
      if (!NeedsCache(map, c) || d->slotOf[i] >= 0) continue;
      // Hints take at most half the slots, so that they never push out what they asked for before it is read.
      if (2 * (d->pending + 1) > static_cast<int32_t>(d->slots.size())) break;
      const int32_t index = PickSlot(d, 0, 0, false);
      if (index < 0) break;
      if (d->held - d->slots[static_cast<size_t>(index)].capacity + c.uncompressedLength > d->budget) break;
      if (!QueueDecode(map, d, index, i)) break;
      ++queued;
    }
  }
  WakeWorkers(map, d, queued);
}

void ChunkMapPrefetchDiskBytes(CImageDocument* document, int64_t offset, int64_t length) {
  if (document && document->chunkMap && offset >= 0 && length > 0)
    ChunkMapPrefetch(document->chunkMap, static_cast<uint64_t>(offset), static_cast<uint64_t>(length));
}

int64_t ChunkMapReadSectors(CChunkMap* map, int64_t first, void* buffer, int64_t count) {
  if (!map || first < 0 || count <= 0) return 0;
  const uint64_t size = static_cast<uint64_t>(map->sectorSize);
  if (static_cast<uint64_t>(first) > UINT64_MAX / size || static_cast<uint64_t>(count) > UINT64_MAX / size) return 0;
  return ChunkMapReadBytes(map, static_cast<uint64_t>(first) * size, buffer, static_cast<uint64_t>(count) * size)
             ? count
             : 0;
}

int64_t ChunkMapReadDiskSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !document->chunkMap || sector < 0 || n <= 0) return 0;
  const int64_t size = document->sectorSize > 0 ? document->sectorSize : 512;
  if (sector > INT64_MAX / size || n > INT64_MAX / size) return 0;
  return ChunkMapReadBytes(document->chunkMap, static_cast<uint64_t>(sector * size), buffer,
                           static_cast<uint64_t>(n * size))
             ? n
             : 0;
}

int64_t ChunkMapReadUserData(CChunkMap* map, int64_t sector, void* buffer, int64_t n) {
  if (!map || sector < 0 || n <= 0) return 0;
  if (map->sectorSize == 2048) return ChunkMapReadSectors(map, sector, buffer, n);
  if (map->userDataOffset < 0 || map->userDataOffset + 2048 > map->sectorSize) return 0;
  // Whole stored sectors in groups, their user data copied out.
  constexpr int64_t kGroup = 256;
  std::vector<uint8_t> raw;
  auto* out = static_cast<uint8_t*>(buffer);
  for (int64_t done = 0; done < n;) {
    const int64_t count = std::min(kGroup, n - done);
    try {
      raw.resize(static_cast<size_t>(count * map->sectorSize));
    } catch (const std::bad_alloc&) {
      return 0;
    }
    if (ChunkMapReadSectors(map, sector + done, raw.data(), count) != count) return 0;
    for (int64_t i = 0; i < count; ++i)
      std::memcpy(out + (done + i) * 2048, raw.data() + i * map->sectorSize + map->userDataOffset, 2048);
    done += count;
  }
  return n;
}
