#include "formats/chunkmap.h"

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

#include "formats/adc.h"
#include "formats/lzfse.h"
#include "image/document.h"
#include "runtime/error.h"
#include "runtime/parallel.h"

namespace {

// Decoded chunks a sequential read keeps ahead of itself, and the bytes they may take together.
constexpr int64_t kMaxReadAhead = 32;
constexpr uint64_t kReadAheadBytes = uint64_t{192} << 20;

int64_t ReadAheadChunks() {
  static const int64_t chunks =
      std::clamp<int64_t>(2 * static_cast<int64_t>(std::thread::hardware_concurrency()), 4, kMaxReadAhead);
  return chunks;
}

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

bool Inflate(const uint8_t* in, uint64_t inLength, uint8_t* out, uint64_t outLength) {
  z_stream stream = {};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<uint8_t*>(in);
  stream.avail_in = static_cast<uInt>(inLength);
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(outLength);
  const int result = inflate(&stream, Z_FINISH);
  const bool ok = result == Z_STREAM_END && stream.total_out == outLength;
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

CChunkCacheSlot* FindSlot(CChunkMap* map, int64_t key) {
  for (CChunkCacheSlot& slot : map->cache)
    if (slot.key == key) return &slot;
  return nullptr;
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

// Decodes chunk `first` and, when the reads go forward, the chunks after it up to the read-ahead window, on all
// cores; chunks already cached are left alone. False when chunk `first` could not be produced.
bool DecodeBatch(CChunkMap* map, size_t first, size_t lastNeeded, bool ahead) {
  std::vector<size_t> batch;
  uint64_t bytes = 0;
  const size_t limit =
      ahead ? std::max(lastNeeded + 1, first + static_cast<size_t>(ReadAheadChunks())) : lastNeeded + 1;
  const size_t maxBatch = map->cache.size() - 1;
  for (size_t i = first; i < map->chunks.size() && i < limit && batch.size() < maxBatch; ++i) {
    const CChunk& c = map->chunks[i];
    if (!NeedsCache(map, c) || FindSlot(map, static_cast<int64_t>(i))) continue;
    if (!batch.empty() && i > lastNeeded && bytes + c.uncompressedLength > kReadAheadBytes) break;
    batch.push_back(i);
    bytes += c.uncompressedLength;
  }
  if (batch.empty()) return true;
  // Slots for the batch: empty ones first, then the least recently used of those holding chunks outside the
  // window; a chunk this read still needs is never given up.
  std::vector<CChunkCacheSlot*> slots;
  for (size_t n = 0; n < batch.size(); ++n) {
    CChunkCacheSlot* best = nullptr;
    int bestRank = 3;
    for (CChunkCacheSlot& slot : map->cache) {
      if (std::find(slots.begin(), slots.end(), &slot) != slots.end()) continue;
      const uint64_t key = static_cast<uint64_t>(slot.key);
      int rank = slot.key < 0 ? 0 : (key < first || key >= limit) ? 1 : 2;
      if (rank == 2 && key <= lastNeeded) continue;
      if (rank < bestRank || (rank == bestRank && slot.lastUse < best->lastUse)) {
        best = &slot;
        bestRank = rank;
      }
    }
    bool room = best != nullptr;
    if (room) {
      best->key = -1;
      try {
        best->data.resize(static_cast<size_t>(map->chunks[batch[n]].uncompressedLength));
      } catch (const std::bad_alloc&) {
        best->data = {};
        room = false;
      }
    }
    if (!room) {
      if (n == 0) return false;
      batch.resize(n);
      break;
    }
    slots.push_back(best);
  }
  std::vector<char> ok(batch.size(), 0);
  auto work = [&](int64_t begin, int64_t end) {
    std::vector<uint8_t> scratch;
    for (int64_t k = begin; k < end; ++k)
      ok[static_cast<size_t>(k)] = DecodeChunk(map, map->chunks[batch[static_cast<size_t>(k)]],
                                               slots[static_cast<size_t>(k)]->data.data(), &scratch);
  };
  if (batch.size() == 1)
    work(0, 1);
  else
    ParallelFor(static_cast<int64_t>(batch.size()), 1, work);
  bool firstOk = true;
  for (size_t k = 0; k < batch.size(); ++k) {
    if (!ok[k]) {
      std::vector<uint8_t>().swap(slots[k]->data);
      if (batch[k] <= lastNeeded) firstOk = false;
      continue;
    }
    slots[k]->key = static_cast<int64_t>(batch[k]);
    slots[k]->lastUse = ++map->useClock;
    ++map->decodeCount;
  }
  return firstOk;
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
  try {
    map->cache.resize(static_cast<size_t>(ReadAheadChunks() + 4));
  } catch (const std::bad_alloc&) {
    delete map;
    return nullptr;
  }
  return map;
}

void ChunkMapFree(CChunkMap* map) {
  if (!map) return;
  for (CChunkSegment& segment : map->segments)
    if (segment.file && segment.file != map->source) std::fclose(segment.file);
  delete map;
}

void ChunkMapDropCache(CChunkMap* map) {
  if (!map) return;
  for (CChunkCacheSlot& slot : map->cache) slot.key = -1;
  map->lastChunkRead = -1;
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

int ChunkMapReadBytes(CChunkMap* map, uint64_t offset, void* buffer, uint64_t length) {
  if (!map || !buffer) return 0;
  if (offset > UINT64_MAX - length) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t end = offset + length;
  size_t index = ChunkMapLocate(map, offset);
  const bool forward = map->lastChunkRead >= 0 && (static_cast<size_t>(map->lastChunkRead) == index ||
                                                   static_cast<size_t>(map->lastChunkRead) + 1 == index);
  const size_t lastNeeded = std::max(index, ChunkMapLocate(map, end ? end - 1 : 0));
  bool batched = false;
  uint64_t at = offset;
  while (at < end) {
    if (index >= map->chunks.size()) {
      std::memset(out + (at - offset), 0, static_cast<size_t>(end - at));
      break;
    }
    const CChunk& c = map->chunks[index];
    if (at < c.uncompressedStart) {  // a hole between chunks
      const uint64_t n = std::min(end, c.uncompressedStart) - at;
      std::memset(out + (at - offset), 0, static_cast<size_t>(n));
      at += n;
      continue;
    }
    const uint64_t inside = at - c.uncompressedStart;
    const uint64_t n = std::min(end - at, c.uncompressedLength - inside);
    uint8_t* to = out + (at - offset);
    if (c.type == kChunkUnknown) {
      ReportFailure(map);
      return 0;
    }
    if (c.type == kChunkZero) {
      std::memset(to, 0, static_cast<size_t>(n));
    } else if (!NeedsCache(map, c)) {
      if (!ChunkMapReadRaw(map, to, c.fileOffset + inside, n)) {
        ReportFailure(map);
        return 0;
      }
    } else {
      CChunkCacheSlot* slot = FindSlot(map, static_cast<int64_t>(index));
      if (!slot) {
        // One batch per read covers the chunks it needs (as far as the cache allows) and those ahead of it.
        const bool ok = DecodeBatch(map, index, lastNeeded, !batched && (forward || lastNeeded > index));
        batched = true;
        slot = ok ? FindSlot(map, static_cast<int64_t>(index)) : nullptr;
        if (!slot) {
          ReportFailure(map);
          return 0;
        }
      }
      slot->lastUse = ++map->useClock;
      std::memcpy(to, slot->data.data() + inside, static_cast<size_t>(n));
    }
    map->lastChunkRead = static_cast<int64_t>(index);
    at += n;
    ++index;
  }
  return 1;
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
