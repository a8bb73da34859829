#include "qvf/reader.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "image/document.h"
#include "qvf/cipher.h"
#include "qvf/container.h"
#include "qvf/inflate.h"
#include "qvf/lzma86.h"
#include "qvf/sfx.h"
#include "qvf/volume.h"
#include "runtime/blockcache.h"
#include "runtime/crc.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/parallel.h"
#include "runtime/ui.h"

namespace {

constexpr uint64_t kDeflateMaxRatio = 1032;

// Room kept before every stored chunk in a read buffer: a stripped Lzma86 header is rebuilt there.
constexpr size_t kLead = kLzma86HeaderSize;

int64_t Threads() {
  static const int64_t threads = std::max<int64_t>(1, std::min<int64_t>(16, std::thread::hardware_concurrency()));
  return threads;
}

uint64_t ChunkStart(const CQvfContext* context, uint64_t chunk) { return chunk * context->chunkSize; }

// File (or stream) offset of a chunk: the nearest recorded offset plus the stored lengths after it.
uint64_t ChunkOffset(const CQvfContext* context, uint64_t chunk) {
  const uint64_t mark = chunk / kQvfOffsetStride;
  uint64_t offset = context->chunkOffsets[mark];
  for (uint64_t i = mark * kQvfOffsetStride; i < chunk; ++i) offset += QvfGetChunkStoredLength(context, i);
  return offset;
}

// Decodes the stored bytes of `chunk` (`stored` bytes at `data`, with kLead writable bytes before them) into
// `out`, which holds the chunk's length. The stored bytes may be changed. kQvfErrorNone or the failure.
int32_t DecodeStoredChunk(const CQvfContext* context, uint64_t chunk, uint8_t* data, uint64_t stored, uint8_t* out) {
  const uint32_t length = QvfChunkLength(context, chunk);
  if (stored == 0) {
    std::memset(out, 0, length);
    return kQvfErrorNone;
  }
  if (context->passwordLength > 0 && !QvfCipherDecryptBuffer(&context->cipher, data, data, stored))
    return kQvfErrorDecode;
  const size_t payload = static_cast<size_t>(stored - 4);
  if (Crc32Compute(data, payload) != QvfLoad32(data + payload)) return kQvfErrorChecksum;
  if (context->version != kQvfVersion100 && payload == length) {
    std::memcpy(out, data, length);
    return kQvfErrorNone;
  }
  const int32_t codec = QvfGetChunkCodec(context, chunk);
  if (context->version == kQvfVersion100 || codec == kQvfCodecDeflate) {
    thread_local CInflater inflater{};
    inflater.variant = context->version == kQvfVersion100 ? 0 : context->variant;
    // The chunk's own size is the limit, and exactly that much must come out.
    const int64_t produced = InflaterInflateLimited(&inflater, data, out, payload, length);
    return produced == static_cast<int64_t>(length) ? kQvfErrorNone : kQvfErrorDecode;
  }
  if (codec != kQvfCodecLzma) return kQvfErrorDecode;
  uint8_t* stream = data;
  size_t streamLength = payload;
  if (context->lzmaStripped) {
    stream = data - kLzma86HeaderSize;
    std::memcpy(stream, context->lzmaHeader, 6);
    QvfStore64(stream + 6, length);
    streamLength += kLzma86HeaderSize;
  } else {
    uint64_t declared = 0;
    if (Lzma86_GetUnpackSize(stream, streamLength, &declared) != kLzma86Ok || declared != length)
      return kQvfErrorDecode;
  }
  size_t produced = length;
  size_t used = streamLength;
  if (Lzma86_Decode(out, &produced, stream, &used) != kLzma86Ok || produced != length) return kQvfErrorDecode;
  return kQvfErrorNone;
}

// Where the stored chunk starts in a read buffer (null when nothing was read into it: a chunk of zeros).
uint8_t* StoredBytes(std::vector<uint8_t>& buffer) { return buffer.size() > kLead ? buffer.data() + kLead : nullptr; }

struct DecodeJob {
  uint64_t chunk = 0;
  uint8_t* destination = nullptr;  // the caller's buffer, or a cache slot's
  int32_t slot = -1;               // cache slot, -1 for a direct decode
  uint64_t stored = 0;
  int32_t result = kQvfErrorNone;
};

// Reads the stored bytes of every job in turn, then decodes them on all cores.
void RunJobs(CQvfContext* context, std::vector<DecodeJob>& jobs, std::vector<std::vector<uint8_t>>& buffers) {
  if (buffers.size() < jobs.size()) buffers.resize(jobs.size());
  const uint64_t maxStored = uint64_t{context->chunkSize} + kQvfStoredSlack;
  for (size_t i = 0; i < jobs.size(); ++i) {
    DecodeJob& job = jobs[i];
    if (job.result != kQvfErrorNone) continue;
    job.stored = QvfGetChunkStoredLength(context, job.chunk);
    if (job.stored == 0) continue;
    if (job.stored < 5 || job.stored > maxStored) {
      job.result = kQvfErrorDecode;
      continue;
    }
    std::vector<uint8_t>& buffer = buffers[i];
    if (buffer.size() < kLead + job.stored) buffer.resize(kLead + job.stored);
    if (!QvfReadStream(context, buffer.data() + kLead, ChunkOffset(context, job.chunk), job.stored))
      job.result = context->errorState;
  }
  std::atomic<size_t> next{0};
  auto work = [&](int64_t, int64_t) {
    for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
      DecodeJob& job = jobs[i];
      if (job.result == kQvfErrorNone)
        job.result = DecodeStoredChunk(context, job.chunk, StoredBytes(buffers[i]), job.stored, job.destination);
    }
  };
  const int64_t workers = std::min<int64_t>(Threads(), static_cast<int64_t>(jobs.size()));
  ParallelFor(workers, 1, work);
}

// Takes a cache slot for a chunk about to be decoded into it. The slot is marked with a key no chunk has, so
// that the next slot taken is another one and no lookup finds it before it is filled.
int32_t TakeSlot(CQvfContext* context, int64_t placeholder) {
  const int32_t slot = BlockCacheAcquireSlot(context->cache, QvfChunkLength(context, 0));
  if (slot >= 0) BlockCacheSetSlot(context->cache, slot, placeholder);
  return slot;
}

// Chunks decoded ahead of a sequential reader, on all cores, while it goes on with what it has: two windows of
// consecutive chunks, the next one started once the reader is halfway through the current one. The stored bytes
// are read by the reader's own thread when a window starts; only the decoding runs in the background.
struct PrefetchWindow {
  bool active = false;
  uint64_t first = 0, count = 0;
  std::vector<std::vector<uint8_t>> stored;  // kLead bytes, then the stored chunk
  std::vector<uint64_t> storedLength;
  std::vector<std::vector<uint8_t>> output;
  std::vector<int32_t> result;
  std::vector<uint8_t> ready;  // guarded by `mutex`
  std::mutex mutex;
  std::condition_variable readyChanged;
  std::thread thread;

  bool Holds(uint64_t chunk) const { return active && chunk >= first && chunk - first < count; }
  void Retire() {
    if (thread.joinable()) thread.join();
    active = false;
  }
  // Waits until the chunk is decoded: its result.
  int32_t Wait(uint64_t chunk) {
    const size_t i = static_cast<size_t>(chunk - first);
    std::unique_lock<std::mutex> lock(mutex);
    readyChanged.wait(lock, [&] { return ready[i] != 0; });
    return result[i];
  }
};

}  // namespace

struct CQvfPrefetch {
  PrefetchWindow windows[2];
};

void QvfPrefetchFree(CQvfPrefetch* prefetch) {
  if (!prefetch) return;
  for (PrefetchWindow& window : prefetch->windows) window.Retire();
  delete prefetch;
}

namespace {

// Chunks per window: enough for every core twice, within 64 MiB of decoded data.
uint64_t WindowChunks(const CQvfContext* context) {
  const uint64_t affordable = (uint64_t{64} << 20) / context->chunkSize;
  return std::clamp<uint64_t>(affordable, 2, static_cast<uint64_t>(2 * Threads()));
}

void DecodeWindow(const CQvfContext* context, PrefetchWindow* window) {
  std::atomic<size_t> next{0};
  auto work = [&](int64_t, int64_t) {
    for (size_t i; (i = next.fetch_add(1)) < window->count;) {
      int32_t result = window->result[i];
      if (result == kQvfErrorNone)
        result = DecodeStoredChunk(context, window->first + i, StoredBytes(window->stored[i]),
                                   window->storedLength[i], window->output[i].data());
      {
        std::lock_guard<std::mutex> lock(window->mutex);
        window->result[i] = result;
        window->ready[i] = 1;
      }
      window->readyChanged.notify_all();
    }
  };
  ParallelFor(std::min<int64_t>(Threads(), static_cast<int64_t>(window->count)), 1, work);
}

void StartWindow(CQvfContext* context, PrefetchWindow& window, uint64_t first, uint64_t count) {
  window.Retire();
  window.first = first;
  window.count = count;
  const size_t n = static_cast<size_t>(count);
  if (window.stored.size() < n) {
    window.stored.resize(n);
    window.output.resize(n);
  }
  window.storedLength.assign(n, 0);
  window.result.assign(n, kQvfErrorNone);
  window.ready.assign(n, 0);
  const uint64_t maxStored = uint64_t{context->chunkSize} + kQvfStoredSlack;
  const int32_t savedState = context->errorState;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t chunk = first + i;
    window.output[i].resize(QvfChunkLength(context, 0));
    const uint64_t stored = QvfGetChunkStoredLength(context, chunk);
    window.storedLength[i] = stored;
    if (stored == 0) continue;
    if (stored < 5 || stored > maxStored) {
      window.result[i] = kQvfErrorDecode;
      continue;
    }
    if (window.stored[i].size() < kLead + stored) window.stored[i].resize(kLead + stored);
    // A read made only ahead of the reader leaves no error behind: the window ends before that chunk, which the
    // reader then reads itself when it comes to it, and hears why it failed.
    if (!QvfReadStream(context, window.stored[i].data() + kLead, ChunkOffset(context, chunk), stored)) {
      context->errorState = savedState;
      context->failedVolumeName.clear();
      window.count = i;
      break;
    }
  }
  if (window.count == 0) return;
  window.active = true;
  try {
    window.thread = std::thread(DecodeWindow, static_cast<const CQvfContext*>(context), &window);
  } catch (...) {
    DecodeWindow(context, &window);
  }
}

// After a sequential read that ended before chunk `next`: makes sure the chunks after it are being decoded.
void SchedulePrefetch(CQvfContext* context, uint64_t next) {
  if (next >= context->chunkCount) return;
  if (!context->prefetch && !(context->prefetch = new (std::nothrow) CQvfPrefetch)) return;
  PrefetchWindow* windows = context->prefetch->windows;
  const PrefetchWindow* holding = windows[0].Holds(next) ? &windows[0] : windows[1].Holds(next) ? &windows[1] : nullptr;
  uint64_t target = next;
  if (holding) {
    target = holding->first + holding->count;
    if (next - holding->first < holding->count / 2 || target >= context->chunkCount) return;
    if (windows[0].Holds(target) || windows[1].Holds(target)) return;
  }
  // A window the reader has gone past is free again.
  for (PrefetchWindow& window : context->prefetch->windows) {
    if (&window == holding || (window.active && window.first + window.count > next)) continue;
    StartWindow(context, window, target, std::min(WindowChunks(context), context->chunkCount - target));
    return;
  }
}

}  // namespace

int64_t QvfReadRange(CQvfContext* context, uint64_t sector, uint64_t n, uint8_t* out) {
  if (!context || !out || n == 0 || context->chunkSize == 0 || sector >= context->sectorCount) return 0;
  if (!context->cache && !(context->cache = BlockCacheCreate(kQvfCacheSlots))) return 0;
  n = std::min(n, context->sectorCount - sector);
  const uint64_t size = static_cast<uint64_t>(context->sectorSize);
  const uint64_t begin = sector * size, end = (sector + n) * size;
  const uint64_t firstChunk = begin / context->chunkSize, lastChunk = (end - 1) / context->chunkSize;
  // A reader that goes on where it stopped gets chunks decoded ahead of it once it has read two chunks so.
  context->sequentialBytes = begin == context->lastReadEnd ? context->sequentialBytes + (end - begin) : end - begin;
  context->lastReadEnd = end;
  const bool ahead = context->sequentialBytes >= 2 * uint64_t{context->chunkSize};
  auto piece = [&](uint64_t chunk, uint64_t* from, uint64_t* to) {
    *from = std::max(begin, ChunkStart(context, chunk));
    *to = std::min(end, ChunkStart(context, chunk) + QvfChunkLength(context, chunk));
  };

  const uint64_t group = static_cast<uint64_t>(std::max<int64_t>(8, 2 * Threads()));
  for (uint64_t first = firstChunk; first <= lastChunk; first += group) {
    const uint64_t last = std::min(lastChunk, first + group - 1);
    std::vector<DecodeJob> jobs;
    std::vector<std::pair<uint64_t, int32_t>> fromCache;  // chunk and slot of pieces copied after the decode
    uint64_t failed = UINT64_MAX;
    // Pieces already cached or decoded ahead are copied first: taking slots below may reuse theirs.
    for (uint64_t chunk = first; chunk <= last && failed == UINT64_MAX; ++chunk) {
      uint64_t from, to;
      piece(chunk, &from, &to);
      if (const uint8_t* cached = BlockCacheFind(context->cache, static_cast<int64_t>(chunk), nullptr)) {
        std::memcpy(out + (from - begin), cached + (from - ChunkStart(context, chunk)), to - from);
        BlockCacheTouch(context->cache, static_cast<int64_t>(chunk));
        continue;
      }
      if (context->prefetch) {
        PrefetchWindow* window = nullptr;
        for (PrefetchWindow& w : context->prefetch->windows)
          if (w.Holds(chunk)) window = &w;
        if (window) {
          const int32_t result = window->Wait(chunk);
          if (result != kQvfErrorNone) {
            failed = chunk;
            context->errorState = result;
          } else {
            std::memcpy(out + (from - begin),
                        window->output[static_cast<size_t>(chunk - window->first)].data() +
                            (from - ChunkStart(context, chunk)),
                        to - from);
          }
          continue;
        }
      }
      DecodeJob job;
      job.chunk = chunk;
      if (from == ChunkStart(context, chunk) && to == ChunkStart(context, chunk) + QvfChunkLength(context, chunk))
        job.destination = out + (from - begin);
      jobs.push_back(job);
    }
    if (failed != UINT64_MAX) {
      // Chunks after a failed one are not needed.
      while (!jobs.empty() && jobs.back().chunk > failed) jobs.pop_back();
    }
    int32_t cacheJobs = 0;
    for (DecodeJob& job : jobs) {
      if (job.destination) continue;
      job.slot = TakeSlot(context, -1 - cacheJobs++);
      if (job.slot < 0) {
        job.result = kQvfErrorRead;  // no memory for the chunk
        continue;
      }
      job.destination = context->cache->slots[job.slot].buffer;
      fromCache.emplace_back(job.chunk, job.slot);
    }
    RunJobs(context, jobs, context->readBuffers);
    // Slots keep what decoded; the first failure of the request ends the read there.
    for (const DecodeJob& job : jobs) {
      if (job.slot >= 0) {
        if (job.result == kQvfErrorNone)
          BlockCacheSetSlot(context->cache, job.slot, static_cast<int64_t>(job.chunk));
        else
          BlockCacheReleaseSlot(context->cache, job.slot);
      }
      if (job.result != kQvfErrorNone && job.chunk < failed) {
        failed = job.chunk;
        context->errorState = job.result;
      }
    }
    for (const auto& [chunk, slot] : fromCache) {
      if (chunk >= failed) continue;
      uint64_t from, to;
      piece(chunk, &from, &to);
      std::memcpy(out + (from - begin), context->cache->slots[slot].buffer + (from - ChunkStart(context, chunk)),
                  to - from);
    }
    if (failed != UINT64_MAX) {
      // What a failed decode left in the caller's buffer, and whatever follows it, is not handed out.
      const uint64_t start = std::max(begin, ChunkStart(context, failed));
      std::memset(out + (start - begin), 0, end - start);
      context->lastReadEnd = UINT64_MAX;
      return static_cast<int64_t>((start - begin) / size);
    }
  }
  if (ahead) SchedulePrefetch(context, lastChunk + 1);
  return static_cast<int64_t>(n);
}

const uint8_t* QvfReadChunk(CQvfContext* context, uint64_t chunk) {
  if (!context || chunk >= context->chunkCount) return nullptr;
  if (!context->cache && !(context->cache = BlockCacheCreate(kQvfCacheSlots))) return nullptr;
  if (const uint8_t* cached = BlockCacheFind(context->cache, static_cast<int64_t>(chunk), nullptr)) {
    BlockCacheTouch(context->cache, static_cast<int64_t>(chunk));
    return cached;
  }
  std::vector<DecodeJob> jobs(1);
  jobs[0].chunk = chunk;
  jobs[0].slot = TakeSlot(context, -1);
  if (jobs[0].slot < 0) return nullptr;
  uint8_t* buffer = context->cache->slots[jobs[0].slot].buffer;
  jobs[0].destination = buffer;
  RunJobs(context, jobs, context->readBuffers);
  if (jobs[0].result != kQvfErrorNone) {
    context->errorState = jobs[0].result;
    BlockCacheReleaseSlot(context->cache, jobs[0].slot);
    return nullptr;
  }
  BlockCacheSetSlot(context->cache, jobs[0].slot, static_cast<int64_t>(chunk));
  return buffer;
}

int QvfReadSector(CQvfContext* context, uint64_t sector, uint8_t* out) {
  return QvfReadRange(context, sector, 1, out) == 1 ? 0 : -1;
}

int64_t QvfReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0 || sector < 0) return 0;
  CQvfContext* context = document->qvf;
  if (!context) return 0;
  context->failedVolumeName.clear();
  const int64_t got = QvfReadRange(context, static_cast<uint64_t>(sector), static_cast<uint64_t>(n),
                                   static_cast<uint8_t*>(buffer));
  if (got == n) return n;
  LastErrorSetText(L"Can not read compressed image file. ");
  // The text stands on its own unless the system named a cause.
  if (LastErrorGetCode() == 0) LastErrorSetCode(EIO);
  if (!context->failedVolumeName.empty()) ErrorStateSetFileName(context->failedVolumeName.c_str());
  if (!document->quiet) AbortCodeSet(kAbortImageRead);
  return got;
}

namespace {

// Reads the comment block: 1 found and read, 0 none, -1 damaged.
int ReadComment(CQvfContext* context, const uint8_t* area, size_t areaLength) {
  ByteReader block = QvfBlockInArea(area, areaLength, kQvfBlockComment);
  if (!block.ok() || block.size() < 16 || block.U32LEAt(8) != 0) return 0;
  if (block.U32LEAt(12) > kQvfCommentMax) return -1;
  // The pieces may not run past their block; the comment is what they hold.
  block.Seek(16);
  const std::span<const uint8_t> pieces = block.Span(block.remaining());
  std::vector<uint8_t> text(kQvfCommentMax);
  const int64_t produced = InflaterInflateChunks(pieces.data(), pieces.size(), text.data(), text.size(), nullptr);
  if (produced < 0) return -1;
  context->comment.assign(reinterpret_cast<const char*>(text.data()), static_cast<size_t>(produced));
  return 1;
}

// Reads the partition selection block: 1 found, 0 none, -1 damaged.
int ReadSelection(CQvfContext* context, const uint8_t* area, size_t areaLength) {
  ByteReader block = QvfBlockInArea(area, areaLength, kQvfBlockSelection);
  if (!block.ok()) return 0;
  const size_t length = block.size();
  if (length < 16 || Crc32Compute(block.data(), length - 4) != block.U32LEAt(length - 4)) return -1;
  // Everything before the CRC: the name's words, the bit count and the bitmap.
  ByteReader body = block.Sub(length - 4);
  body.Skip(8);
  const uint32_t nameBytes = body.U16LE();
  if (nameBytes % 4 != 0) return -1;
  std::vector<uint32_t> name(nameBytes / 4);
  for (uint32_t& word : name) word = body.U32LE();
  const uint32_t bits = body.U16LE();
  const std::span<const uint8_t> bitmap = body.Span((bits + 7) / 8);
  if (!body.ok()) return -1;
  context->selectionName = std::move(name);
  context->selectionBits = bits;
  context->selectionBitmap.assign(bitmap.begin(), bitmap.end());
  return 1;
}

// Asks for the password of a stream that carries a check block: 0 accepted or none needed, -1 refused (the
// refused flag set) or no memory.
int ReadEncryptionBlock(CQvfContext* context, const uint8_t* area, size_t areaLength) {
  uint32_t length = 0;
  const int64_t at = QvfFindBlockInArea(area, areaLength, kQvfBlockPassword, &length);
  if (at < 0 || length != kQvfCheckBlockSize || QvfLoad32(area + at + 8) != 0) return 0;
  CImagePassword accepted{};
  if (!ImageAskPassword(kPasswordForQvf, area + at, &accepted) || accepted.length < 1 ||
      accepted.length > kQvfPasswordMax) {
    context->passwordRefused = 1;
    return -1;
  }
  std::memcpy(context->password, accepted.bytes, static_cast<size_t>(accepted.length));
  context->password[accepted.length] = 0;
  context->passwordLength = accepted.length;
  if (!QvfCipherBuildTables(&context->cipher, context->password, accepted.length)) {
    context->passwordLength = 0;
    return -1;
  }
  return 0;
}

}  // namespace

int QvfParseHeader(CQvfContext* context, uint32_t /*offsetWord: its top bit is a flag readers ignore*/,
                   int allow512) {
  if (!context || !context->file) return -1;
  const uint64_t base = context->streamBase;
  uint8_t header[kQvfHeaderSize];
  if (base > static_cast<uint64_t>(INT64_MAX) || !FileReadAt(context->file, header, static_cast<int64_t>(base), sizeof header))
    return -1;
  const int32_t magic = QvfClassifyMagic(header);
  if (magic == kQvfMagicNone || !QvfIsMainHeader(header)) return -1;
  context->qdi = magic == kQvfMagicQdi;
  ByteReader fields(header, sizeof header);
  fields.Seek(16);
  const uint32_t indexOffset = fields.U32LE();
  const uint32_t version = fields.U32LE(), dataWord = fields.U32LE(), blockCount = fields.U32LE();
  fields.Skip(4);
  const uint32_t flags = fields.U32LE();
  const uint64_t imageSize = fields.U64LE(), endPosition = fields.U64LE();
  const uint8_t level = fields.U8();
  const uint32_t compressedIndexSize = fields.U32LE();
  const uint8_t widths = fields.U8();
  const std::span<const uint8_t> lzmaHeader = fields.Span(6);
  const uint32_t headerCrc = fields.U32LEAt(kQvfHeaderCrcOffset);
  if (!fields.ok()) return -1;
  context->version = version;
  if (version == kQvfVersion150 || version == kQvfVersion110) {
    if (version == kQvfVersion150 && !allow512) return -1;
    context->sectorSize = version == kQvfVersion150 ? 512 : 2048;
    context->chunkSize = (flags & 0xFFF) * kQvfChunkUnit;
  } else if (version == kQvfVersion100) {
    context->sectorSize = 2048;
    context->chunkSize = flags;
    if (flags != kQvfClassicChunkSize) return -1;
  } else {
    context->unsupportedVersion = 1;
    return -1;
  }
  if (context->chunkSize == 0 || context->chunkSize % static_cast<uint32_t>(context->sectorSize) != 0) return -1;
  context->indexOffset = indexOffset;
  if (context->indexOffset < kQvfHeaderSize || blockCount != 1) return -1;
  context->imageSize = imageSize;
  if (context->imageSize > kQvfMaxImageBytes) return -1;
  context->endPosition = endPosition;
  context->sectorCount = context->imageSize / static_cast<uint64_t>(context->sectorSize);
  context->sectorsPerChunk = context->chunkSize / static_cast<uint32_t>(context->sectorSize);
  context->chunkCount = (context->imageSize + context->chunkSize - 1) / context->chunkSize;
  const uint64_t remainder = context->imageSize % context->chunkSize;
  context->lastChunkSize = remainder ? static_cast<uint32_t>(remainder) : context->chunkSize;
  if (version != kQvfVersion100) {
    context->level = level;
    context->compressedIndexSize = compressedIndexSize;
    context->codecBits = widths & 7;
    context->lengthBits = widths >= 8 ? widths / 8 + 10 : QvfBitLength(context->chunkSize - 1);
    if (context->lengthBits + context->codecBits > 32) return -1;
    context->usedSectors = (flags & kQvfFlagUsedSectors) ? 1 : 0;
    context->deflateOnly = (dataWord & kQvfDataDeflateOnly) ? 1 : 0;
    context->indexAtEnd = (dataWord & kQvfDataIndexAtEnd) ? 1 : 0;
    context->indexDeflated = (flags & kQvfFlagIndexDeflated) ? 1 : 0;
    context->masked = (flags & kQvfFlagIndexMasked) ? 1 : 0;
    context->scrambled = (flags & kQvfFlagIndexScrambled) ? 1 : 0;
    context->lzmaStripped = (flags & kQvfFlagLzmaStripped) ? 1 : 0;
    if (context->lzmaStripped) std::memcpy(context->lzmaHeader, lzmaHeader.data(), 6);
    context->variant = static_cast<int32_t>((flags >> 23) & 3) ^ (context->qdi ? 1 : 0);
  }

  // The typed blocks, read once.
  const uint32_t areaLength = context->indexOffset - kQvfHeaderSize;
  if (areaLength > kQvfMaxBlockArea) return -1;
  std::vector<uint8_t> area(areaLength);
  if (areaLength && !FileReadAt(context->file, area.data(), static_cast<int64_t>(base + kQvfHeaderSize), areaLength))
    return -1;
  if (QvfReadVolumeParams(context, area.data(), area.size()) < 0) return -1;
  uint64_t streamBytes = static_cast<uint64_t>(std::max<int64_t>(0, context->fileSize));
  if (context->split) {
    // Volume 0 holds at least the header and blocks; the stream is as long as the volumes' shares.
    uint64_t inFile = 0;
    if (QvfLocateOffset(context, base + context->indexOffset - 1, &inFile) != 0) return -1;
    streamBytes = QvfStreamEnd(context);
  }
  if (ReadComment(context, area.data(), area.size()) < 0) return -1;
  if (ReadSelection(context, area.data(), area.size()) < 0) return -1;

  // The index.
  const uint32_t entryBits = version == kQvfVersion100 ? 24 : QvfEntryBits(context);
  context->indexSize = QvfIndexBytes(version, context->chunkCount, entryBits);
  const uint64_t storedSize = context->indexDeflated ? context->compressedIndexSize : context->indexSize;
  if (storedSize > streamBytes || (context->indexDeflated && context->indexSize > kQvfMaxInflatedIndex)) return -1;
  // Deflate cannot expand its input more than about 1,032 times: a larger claim is refused before the index is
  // made room for.
  if (context->indexDeflated && context->indexSize > storedSize * kDeflateMaxRatio + 64) return -1;
  uint64_t indexPosition = base + context->indexOffset;
  if (context->indexAtEnd) {
    if (context->endPosition < storedSize) return -1;
    indexPosition = context->endPosition - storedSize;
  }
  std::vector<uint8_t> stored(static_cast<size_t>(storedSize));
  if (storedSize && !QvfReadStream(context, stored.data(), indexPosition, stored.size())) return -1;
  context->index.assign(static_cast<size_t>(context->indexSize) + 8, 0);
  if (context->indexDeflated) {
    if (context->qdi) QvfUndoQdiDeflatedIndex(stored.data(), stored.size());
    if (context->indexSize > 0) {
      CInflater inflater{};
      const int64_t produced = InflaterInflateLimited(&inflater, stored.data(), context->index.data(), stored.size(),
                                                      static_cast<size_t>(context->indexSize));
      if (produced != static_cast<int64_t>(context->indexSize)) return -1;
    }
  } else {
    QvfUnscrambleIndex(context, stored.data(), stored.size(), headerCrc);
    std::copy(stored.begin(), stored.end(), context->index.begin());
  }

  // Where the chunks lie: one offset kept per stride, the others summed from the index when needed.
  if (version == kQvfVersion100) {
    context->firstChunkOffset = dataWord;
  } else {
    context->firstChunkOffset = dataWord & 0xFFFFFF;
    const uint64_t afterIndex = uint64_t{context->indexOffset} + context->indexSize;
    if (!context->indexAtEnd && afterIndex > 0xFFFFFE) context->firstChunkOffset = afterIndex;
  }
  context->chunkOffsets.assign(context->chunkCount / kQvfOffsetStride + 1, 0);
  uint64_t offset = base + context->firstChunkOffset;
  for (uint64_t chunk = 0; chunk < context->chunkCount; ++chunk) {
    if (chunk % kQvfOffsetStride == 0) context->chunkOffsets[chunk / kQvfOffsetStride] = offset;
    offset += QvfGetChunkStoredLength(context, chunk);
  }
  if (context->chunkCount == 0) context->chunkOffsets[0] = offset;
  // The chunks lie one after the other: lengths that together run past the stream are refused here, so that
  // no read buffer is ever sized by a length the stream cannot hold.
  if (offset - base > streamBytes) return -1;

  // The password comes last, so that a damaged stream is never asked for one.
  return ReadEncryptionBlock(context, area.data(), area.size());
}

int QvfFindEmbeddedStream(FILE* file, int64_t fileSize, uint32_t* offsetWord) {
  if (!file || fileSize <= kQvfAppendedTrailerSize) return 0;
  uint8_t trailer[kQvfAppendedTrailerSize];
  if (!FileReadAt(file, trailer, fileSize - kQvfAppendedTrailerSize, sizeof trailer)) return 0;
  ByteReader fields(trailer, sizeof trailer);
  const uint32_t type = fields.U32LE(), size = fields.U32LE();
  const uint32_t word = fields.U32LEAt(12);
  if (!fields.ok() || type != kQvfBlockAppended || size != kQvfAppendedTrailerSize) return 0;
  uint8_t header[kQvfHeaderSize];
  if (!FileReadAt(file, header, word & 0x7FFFFFFF, sizeof header) || !QvfIsMainHeader(header)) return 0;
  if (offsetWord) *offsetWord = word;
  return 1;
}

CQvfContext* QvfOpenReader(CImageDocument* document, FILE* file, int allow512, const wchar_t* firstVolumeName) {
  if (!file) return nullptr;
  if (document) document->qvfRefusal = 0;
  const int64_t fileSize = FileGetSize(file);
  const std::wstring firstName = firstVolumeName ? firstVolumeName : document ? document->path.c_str() : L"";
  bool refused = false;
  // One parse of the stream at `base`; a stream that wants a password the user refuses, or whose version is
  // unknown, ends the search.
  auto attempt = [&](uint64_t base, uint32_t word, int selfExtracting, int appended) -> CQvfContext* {
    if (refused) return nullptr;
    CQvfContext* context = QvfNewContext(document);
    if (!context) return nullptr;
    context->file = file;
    context->fileSize = fileSize;
    context->firstVolumeName = firstName;
    context->streamBase = base;
    context->selfExtracting = selfExtracting;
    context->appended = appended;
    context->appendedWord = appended ? word : 0;
    if (QvfParseHeader(context, word, allow512) == 0) return context;
    if (context->passwordRefused || context->unsupportedVersion) {
      refused = true;
      if (document) document->qvfRefusal = context->passwordRefused ? 14 : 15;
    }
    QvfCloseReader(context);
    return nullptr;
  };
  CQvfContext* context = nullptr;
  uint32_t word = 0;
  if (QvfFindEmbeddedStream(file, fileSize, &word)) context = attempt(word & 0x7FFFFFFF, word, 0, 1);
  CSfxTrailer trailer{};
  if (!context && !refused && QvfFindSfxTrailer(file, fileSize, &trailer)) {
    context = attempt(trailer.imageOffset, 0, 1, 0);
    if (context && document) {
      // The stub's properties go with the document, so that saving it again keeps them.
      CSfxPropertyTable* table = QvfNewSfxProperties();
      if (!table || !QvfReadSfxProperties(table, file, fileSize, trailer)) {
        QvfFreeSfxProperties(table);
        QvfCloseReader(context);
        return nullptr;
      }
      QvfFreeSfxProperties(document->sfxProperties);
      document->sfxProperties = table;
    }
  }
  if (!context && !refused) context = attempt(0, 0, 0, 0);
  if (!context) return nullptr;
  context->cache = BlockCacheCreate(kQvfCacheSlots);
  if (!context->cache) {
    QvfCloseReader(context);
    return nullptr;
  }
  return context;
}

int ImageHasEmbeddedQvf(CImageDocument* document) {
  return document && document->input && QvfFindEmbeddedStream(document->input, document->fileSize, nullptr);
}

int ImageOpenQvf(CImageDocument* document) {
  if (!document) return -1;
  QvfCloseReader(document->qvf);
  document->qvf = nullptr;
  document->qvfRefusal = 0;
  document->inputType = kImageTypeQvf;
  FILE* file = document->input;
  auto fail = [&]() {
    document->inputType = kImageTypeUnknown;
    return -1;
  };
  if (!file) return fail();
  // Opened through a later volume of a split image: the stream starts in the first volume.
  std::wstring firstName = document->path.c_str();
  FILE* first = nullptr;
  uint8_t head[kQvfVolumeHeadSize];
  if (FileReadAt(file, head, 0, sizeof head) && QvfCheckVolumeHeader(head) &&
      QvfLoad32(head + kQvfVolumeHeaderSize) == kQvfBlockVolumeParams) {
    const int32_t style = static_cast<int32_t>(QvfLoad32(head + kQvfVolumeHeaderSize + 48) & 0xF);
    const std::vector<std::wstring> names = QvfVolumeToFirstNames(document->path.c_str(), QvfGetMaxVolumes(style) ? style : -1);
    for (const std::wstring& name : names) {
      FILE* candidate = FileOpenForRead(name.c_str());
      uint8_t header[kQvfHeaderSize];
      if (candidate && FileReadAt(candidate, header, 0, sizeof header) && QvfIsMainHeader(header)) {
        first = candidate;
        firstName = name;
        break;
      }
      if (candidate) std::fclose(candidate);
    }
    if (!first) {
      if (!document->quiet && !(document->openFlags & kOpenQuiet))
        UiPrintf(L"%ls: %ls\r\n", names.empty() ? document->path.c_str() : names[0].c_str(),
                      L"The first volume of this split image can not be opened.");
      return fail();
    }
  }
  CQvfContext* context = QvfOpenReader(document, first ? first : file, 0, firstName.c_str());
  if (!context) {
    if (first) std::fclose(first);
    // A refused password or an unknown version keeps the type: detection stops and the opener reports it.
    return document->qvfRefusal ? 0 : fail();
  }
  context->ownsFile = first ? 1 : 0;
  document->qvf = context;
  // A stream holding a disk image is not opened as a disc.
  document->sectorSize = 2048;
  document->userDataOffset = 0;
  document->headerSize = 0;
  if (context->sectorSize != 2048) {
    QvfCloseReader(context);
    document->qvf = nullptr;
    return fail();
  }
  document->readableLimit = static_cast<int64_t>(context->sectorCount);
  document->comment = context->comment;
  document->compressionLevel = context->level <= 2 ? context->level : 0;
  document->splitVolumes = context->split;
  if (context->split) {
    document->volumeNaming = context->naming;
    document->splitVolumeSize = static_cast<int64_t>(context->volumeSizes[0]);
  }
  if (context->selfExtracting) document->selfExtractor = 1;
  if (context->passwordLength > 0) {
    // Saving the image again keeps its password.
    document->passwordSet = 1;
    std::memset(document->password, 0, sizeof document->password);
    std::memcpy(document->password, context->password, static_cast<size_t>(context->passwordLength));
  }
  return 0;
}
