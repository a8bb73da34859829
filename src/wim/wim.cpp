#include "wim/wim.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <thread>

#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/paths.h"
#include "runtime/textconv.h"
#include "runtime/ui.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"
#include "wim/lzms.h"
#include "wim/lzx.h"
#include "wim/xml.h"
#include "wim/xpress.h"

namespace {

constexpr uint8_t kResourceMetadata = 0x02;
constexpr uint8_t kResourceCompressed = 0x04;
constexpr uint8_t kResourceSolid = 0x10;
constexpr uint64_t kSolidBlockMarker = uint64_t{1} << 32;
constexpr size_t kHeaderBytes = 208;
// Resources read whole into memory (lookup tables, XML, metadata) stay below this size.
constexpr uint64_t kMemoryResourceLimit = uint64_t{1} << 30;
// Decoded chunks of a solid block are at most this large.
constexpr int kSolidChunkLog2Max = 30;
// Bytes one round of parallel decoding aims at, and the most chunks it takes.
constexpr uint64_t kBatchBytes = uint64_t{32} << 20;
constexpr size_t kBatchChunks = 1024;
// Rounds of a worker that decodes a stream alone.
constexpr uint64_t kSerialRoundBytes = uint64_t{1} << 20;
// Stored data is copied in steps of this size.
constexpr size_t kCopyStep = size_t{1} << 20;
constexpr int32_t kRecordMagic = 0x57494D31;  // what a tree entry's reader record of this folder starts with

// What a tree entry keeps of its stream.
struct EntryRecord {
  int32_t magic;
  int32_t stream;   // stream-table position; -1 for none (an empty file)
  int32_t missing;  // the entry names a stream the archive does not hold
};

bool ReadPart(const CWimPart& part, void* buffer, uint64_t offset, size_t n) {
  if (!part.file || offset > static_cast<uint64_t>(part.size) || n > static_cast<uint64_t>(part.size) - offset)
    return false;
  const int fd = fileno(part.file);
  auto* p = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    const ssize_t got = pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

// Whether `size` bytes at `offset` lie inside the part file.
bool FitsInPart(const CWimPart& part, uint64_t offset, uint64_t size) {
  return part.size >= 0 && offset <= static_cast<uint64_t>(part.size) &&
         size <= static_cast<uint64_t>(part.size) - offset;
}

bool IsZeroHash(const uint8_t* hash) {
  for (int i = 0; i < kSha1DigestBytes; ++i)
    if (hash[i]) return false;
  return true;
}

int Log2Exact(uint64_t v) {
  if (v == 0 || (v & (v - 1))) return -1;
  return __builtin_ctzll(v);
}

// Buffers from this size on are mapped on their own and asked for huge pages: decoding into fresh memory then
// costs one page fault per 2 MiB instead of one per 4 KiB.
constexpr size_t kHugeBufferMin = size_t{4} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

struct BufferRelease {
  size_t mapped;  // 0: from new[]
  void operator()(uint8_t* p) const {
    if (mapped)
      munmap(p, mapped);
    else
      delete[] p;
  }
};

// A byte buffer that grows and is never cleared: whatever is read or decoded into it overwrites it.
struct RawBuffer {
  std::unique_ptr<uint8_t[], BufferRelease> bytes{nullptr, BufferRelease{0}};
  size_t capacity = 0;

  uint8_t* Get(size_t n) {
    if (n <= capacity && bytes) return bytes.get();
    bytes.reset();
    capacity = 0;
    if (n >= kHugeBufferMin) {
      const size_t rounded = (n + kHugePage - 1) / kHugePage * kHugePage;
      void* p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p != MAP_FAILED) {
        madvise(p, rounded, MADV_HUGEPAGE);
        bytes = {static_cast<uint8_t*>(p), BufferRelease{rounded}};
        capacity = rounded;
        return bytes.get();
      }
    }
    bytes = {new (std::nothrow) uint8_t[std::max<size_t>(n, 1)], BufferRelease{0}};
    capacity = bytes ? n : 0;
    return bytes.get();
  }
};

// One chunk to decode: its compressed bytes and where its decoded bytes go.
struct ChunkJob {
  const uint8_t* in;
  size_t inSize;
  uint8_t* out;
  size_t outSize;
  int type;        // kWimCompression*
  int windowLog2;  // LZX
  bool ok;
};

// The decoders of one worker, made when first needed.
struct Decoders {
  std::unique_ptr<CLzxDecoder> lzx;
  std::unique_ptr<CXpressDecoder> xpress;
  std::unique_ptr<CLzmsDecoder> lzms;

  bool Decode(ChunkJob* job) {
    // A chunk stored as long as it decodes is kept as it is, whatever the codec.
    if (job->inSize == job->outSize) {
      std::memcpy(job->out, job->in, job->outSize);
      return true;
    }
    if (job->inSize > job->outSize) return false;
    switch (job->type) {
      case kWimCompressionLzx:
        if (!lzx) lzx = LzxCreateDecoder();
        return lzx && LzxDecodeChunk(lzx.get(), job->in, job->inSize, job->out, job->outSize, job->windowLog2);
      case kWimCompressionLzms:
        if (!lzms) lzms = LzmsCreateDecoder();
        return lzms && LzmsDecodeChunk(lzms.get(), job->in, job->inSize, job->out, job->outSize);
      case kWimCompressionXpress:
        if (!xpress) xpress = XpressCreateDecoder();
        return xpress && XpressDecodeChunk(xpress.get(), job->in, job->inSize, job->out, job->outSize);
      default:
        return false;
    }
  }
};

// Decodes the jobs on all cores; each worker takes the next job as it finishes one. With `serial`, the jobs are
// decoded on the calling thread with its decoders.
bool DecodeJobs(std::vector<ChunkJob>* jobs, Decoders* serial = nullptr) {
  const int64_t n = static_cast<int64_t>(jobs->size());
  if (n == 0) return true;
  if (serial) {
    for (ChunkJob& job : *jobs)
      if (!(job.ok = serial->Decode(&job))) return false;
    return true;
  }
  if (n == 1) {
    Decoders decoders;
    (*jobs)[0].ok = decoders.Decode(&(*jobs)[0]);
    return (*jobs)[0].ok;
  }
  std::atomic<int64_t> next{0};
  const int64_t workers = std::min<int64_t>(n, std::max<unsigned>(1, std::thread::hardware_concurrency()));
  ParallelFor(workers, 1, [&](int64_t, int64_t) {
    Decoders decoders;
    for (;;) {
      const int64_t i = next.fetch_add(1);
      if (i >= n) break;
      (*jobs)[static_cast<size_t>(i)].ok = decoders.Decode(&(*jobs)[static_cast<size_t>(i)]);
    }
  });
  for (const ChunkJob& job : *jobs)
    if (!job.ok) return false;
  return true;
}

// Where a resource lies and how it is stored: from a lookup entry or from a header's resource header.
struct Resource {
  int part;
  uint64_t storedSize;
  uint64_t offset;
  uint64_t originalSize;
  uint8_t flags;
  int32_t solidBlock;
  int type;  // codec of chunked resources
  uint32_t chunkSize;
};

// Result of reading a stream: the sink refused its bytes (-1) or the data was damaged (-2).
enum : int { kReadOk = 1, kReadSinkFailed = -1, kReadDamaged = -2 };

using Sink = std::function<bool(const uint8_t*, size_t)>;

// Decoded chunks are shared by the cache and the writes still copying out of them.
struct DecodedChunk {
  RawBuffer buffer;
  size_t size = 0;
  const uint8_t* data() const { return buffer.bytes.get(); }
};
using ChunkRef = std::shared_ptr<const DecodedChunk>;

}  // namespace

// What one reader of streams keeps between streams: its decoders and buffers, reused so that a stream costs no
// allocation once the buffers have grown.
struct CWimScratch {
  Decoders decoders;
  bool serial = false;  // decode on this thread only (an extraction worker), in small rounds
  RawBuffer in, out;
  std::vector<uint8_t> table;
  std::vector<uint64_t> starts;
  std::vector<ChunkJob> jobs;
};

// Decoded chunks of solid blocks, kept while they may serve the next members.
struct CWimChunkCache {
  struct Entry {
    int32_t block;
    uint64_t chunk;
    ChunkRef data;
    uint64_t lastUse;
  };
  std::vector<Entry> entries;
  uint64_t clock = 0;
  uint64_t bytes = 0;

  ChunkRef Find(int32_t block, uint64_t chunk) {
    for (Entry& e : entries) {
      if (e.block == block && e.chunk == chunk) {
        e.lastUse = ++clock;
        return e.data;
      }
    }
    return nullptr;
  }
  void Trim(uint64_t budget) {
    while (bytes > budget && !entries.empty()) {
      auto oldest = std::min_element(entries.begin(), entries.end(),
                                     [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
      bytes -= oldest->data->size;
      entries.erase(oldest);
    }
  }
};

namespace {

Resource ResourceOf(const CWimState* state, int part, const CWimResourceHeader& header) {
  const CWimHeader& h = state->parts[static_cast<size_t>(part)].header;
  return {part,
          header.storedSize,
          header.offset,
          header.originalSize,
          header.flags,
          -1,
          WimGetCompressionType(h.flags),
          h.chunkSize};
}

Resource ResourceOf(const CWimState* state, const CWimLookupEntry& entry) {
  const CWimHeader& h = state->parts[static_cast<size_t>(entry.listedBy)].header;
  return {entry.listedBy,
          entry.storedSize,
          entry.offset,
          entry.originalSize,
          entry.flags,
          entry.solidBlock,
          WimGetCompressionType(h.flags),
          h.chunkSize};
}

int ReadStored(const CWimState* state, const Resource& r, const Sink& sink, CWimScratch* scratch) {
  const CWimPart& part = state->parts[static_cast<size_t>(r.part)];
  if (r.storedSize != r.originalSize || !FitsInPart(part, r.offset, r.storedSize)) return kReadDamaged;
  uint8_t* buffer = scratch->in.Get(static_cast<size_t>(std::min<uint64_t>(kCopyStep, r.storedSize)));
  if (!buffer) return kReadDamaged;
  for (uint64_t done = 0; done < r.storedSize;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyStep, r.storedSize - done));
    if (r.offset > UINT64_MAX - done || !ReadPart(part, buffer, r.offset + done, n)) return kReadDamaged;
    if (!sink(buffer, n)) return kReadSinkFailed;
    done += n;
  }
  return kReadOk;
}

int ReadChunked(const CWimState* state, const Resource& r, const Sink& sink, CWimScratch* scratch) {
  if (r.originalSize == 0) return kReadOk;
  const CWimPart& part = state->parts[static_cast<size_t>(r.part)];
  if (r.type <= 0 || r.chunkSize == 0 || !FitsInPart(part, r.offset, r.storedSize)) return kReadDamaged;
  const uint64_t chunkSize = r.chunkSize;
  const uint64_t chunks = (r.originalSize - 1) / chunkSize + 1;
  const uint64_t width = r.originalSize > (uint64_t{1} << 32) ? 8 : 4;
  if (chunks - 1 > r.storedSize / width) return kReadDamaged;
  const uint64_t tableBytes = (chunks - 1) * width;
  if (tableBytes > UINT32_MAX) return kReadDamaged;
  std::vector<uint8_t>& table = scratch->table;
  table.resize(static_cast<size_t>(tableBytes));
  if (tableBytes && !ReadPart(part, table.data(), r.offset, static_cast<size_t>(tableBytes))) return kReadDamaged;
  const uint64_t dataBytes = r.storedSize - tableBytes;
  // Chunk k spans [start(k), start(k + 1)) of the data after the table; the table must rise within it.
  std::vector<uint64_t>& starts = scratch->starts;
  starts.resize(static_cast<size_t>(chunks + 1));
  starts[0] = 0;
  for (uint64_t k = 1; k < chunks; ++k)
    starts[k] = width == 8 ? LoadU64LE(&table[(k - 1) * 8]) : LoadU32LE(&table[(k - 1) * 4]);
  starts[chunks] = dataBytes;
  for (uint64_t k = 0; k < chunks; ++k)
    if (starts[k + 1] < starts[k] || starts[k + 1] > dataBytes) return kReadDamaged;
  const int window = __builtin_ctzll(chunkSize);
  // A worker decoding alone takes rounds of about a megabyte: its buffers stay small and warm.
  const uint64_t roundBytes = scratch->serial ? kSerialRoundBytes : kBatchBytes;
  std::vector<ChunkJob>& jobs = scratch->jobs;
  for (uint64_t first = 0; first < chunks;) {
    uint64_t last = first;
    uint64_t outBytes = 0;
    while (last < chunks && (last == first || (outBytes < roundBytes && last - first < kBatchChunks))) {
      outBytes += std::min(chunkSize, r.originalSize - last * chunkSize);
      ++last;
    }
    const uint64_t inBytes = starts[last] - starts[first];
    uint8_t* in = scratch->in.Get(static_cast<size_t>(inBytes));
    uint8_t* out = scratch->out.Get(static_cast<size_t>(outBytes));
    if (!in || !out) return kReadDamaged;
    if (!ReadPart(part, in, r.offset + tableBytes + starts[first], static_cast<size_t>(inBytes))) return kReadDamaged;
    jobs.clear();
    uint64_t outAt = 0;
    for (uint64_t k = first; k < last; ++k) {
      const uint64_t size = std::min(chunkSize, r.originalSize - k * chunkSize);
      jobs.push_back({in + (starts[k] - starts[first]), static_cast<size_t>(starts[k + 1] - starts[k]), out + outAt,
                      static_cast<size_t>(size), r.type, window, false});
      outAt += size;
    }
    if (!DecodeJobs(&jobs, scratch->serial ? &scratch->decoders : nullptr)) return kReadDamaged;
    if (!sink(out, static_cast<size_t>(outBytes))) return kReadSinkFailed;
    first = last;
  }
  return kReadOk;
}

// Decodes chunks first.. of a solid block (as many as one round takes) into the cache.
bool DecodeSolidChunks(CWimState* state, int32_t blockIndex, uint64_t first, CWimScratch* scratch) {
  const CWimSolidBlock& block = state->blocks[static_cast<size_t>(blockIndex)];
  const CWimLookupEntry& descriptor = state->streams[static_cast<size_t>(block.descriptor)];
  const CWimPart& part = state->parts[static_cast<size_t>(descriptor.listedBy)];
  const uint64_t chunkSize = uint64_t{1} << block.chunkLog2;
  const uint64_t chunks = block.chunkOffsets.size() - 1;
  const uint64_t cores = std::max<unsigned>(1, std::thread::hardware_concurrency());
  const uint64_t batch = std::max<uint64_t>(cores, std::min<uint64_t>(kBatchChunks, kBatchBytes / chunkSize));
  uint64_t last = first;
  while (last < chunks && last - first < batch && !state->cache->Find(blockIndex, last)) ++last;
  const uint64_t inBytes = block.chunkOffsets[last] - block.chunkOffsets[first];
  uint8_t* in = scratch->in.Get(static_cast<size_t>(inBytes));
  if (!in || !ReadPart(part, in, descriptor.offset + block.dataStart + block.chunkOffsets[first],
                       static_cast<size_t>(inBytes)))
    return false;
  std::vector<std::shared_ptr<DecodedChunk>> outs;
  std::vector<ChunkJob>& jobs = scratch->jobs;
  jobs.clear();
  const int type = block.format == 2   ? kWimCompressionLzx
                   : block.format == 3 ? kWimCompressionLzms
                                       : kWimCompressionXpress;
  for (uint64_t k = first; k < last; ++k) {
    const uint64_t size = std::min(chunkSize, block.size - k * chunkSize);
    auto out = std::make_shared<DecodedChunk>();
    out->size = static_cast<size_t>(size);
    if (!out->buffer.Get(out->size)) break;
    jobs.push_back({in + (block.chunkOffsets[k] - block.chunkOffsets[first]),
                    static_cast<size_t>(block.chunkOffsets[k + 1] - block.chunkOffsets[k]), out->buffer.bytes.get(),
                    out->size, type, block.chunkLog2, false});
    outs.push_back(std::move(out));
  }
  if (jobs.empty()) return false;
  const bool ok = DecodeJobs(&jobs);
  CWimChunkCache* cache = state->cache.get();
  // The cache holds two rounds: the one being used and the one before it.
  const uint64_t roundBytes = chunkSize * std::max<uint64_t>(1, last - first);
  cache->Trim(roundBytes);
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!jobs[i].ok) break;
    cache->bytes += outs[i]->size;
    cache->entries.push_back({blockIndex, first + i, std::move(outs[i]), ++cache->clock});
  }
  return ok || jobs[0].ok;
}

// The decoded chunks that hold a solid member, in order, and where in the first one it starts.
int SolidMemberChunks(CWimState* state, const CWimLookupEntry& entry, CWimScratch* scratch,
                      std::vector<ChunkRef>* chunks, uint64_t* skip) {
  if (entry.solidBlock < 0 || static_cast<size_t>(entry.solidBlock) >= state->blocks.size() ||
      (entry.flags & kResourceCompressed))
    return kReadDamaged;
  const CWimSolidBlock& block = state->blocks[static_cast<size_t>(entry.solidBlock)];
  if (entry.offset < block.runStart) return kReadDamaged;
  const uint64_t start = entry.offset - block.runStart;
  const uint64_t size = entry.storedSize;
  if (start > block.size || size > block.size - start) return kReadDamaged;
  chunks->clear();
  *skip = start & ((uint64_t{1} << block.chunkLog2) - 1);
  if (size == 0) return kReadOk;
  const uint64_t firstChunk = start >> block.chunkLog2;
  const uint64_t lastChunk = (start + size - 1) >> block.chunkLog2;
  for (uint64_t chunk = firstChunk; chunk <= lastChunk; ++chunk) {
    ChunkRef data = state->cache->Find(entry.solidBlock, chunk);
    if (!data) {
      if (!DecodeSolidChunks(state, entry.solidBlock, chunk, scratch)) return kReadDamaged;
      data = state->cache->Find(entry.solidBlock, chunk);
      if (!data) return kReadDamaged;
    }
    chunks->push_back(std::move(data));
  }
  return kReadOk;
}

// Hands `size` bytes of a member to the sink from its decoded chunks.
int CopyFromChunks(const std::vector<ChunkRef>& chunks, uint64_t skip, uint64_t size, const Sink& sink) {
  uint64_t left = size;
  for (const ChunkRef& data : chunks) {
    if (left == 0) break;
    if (skip > data->size) return kReadDamaged;
    const uint64_t n = std::min<uint64_t>(data->size - skip, left);
    if (n == 0) return kReadDamaged;
    if (!sink(data->data() + skip, static_cast<size_t>(n))) return kReadSinkFailed;
    left -= n;
    skip = 0;
  }
  return left == 0 ? kReadOk : kReadDamaged;
}

int ReadSolidMember(CWimState* state, const CWimLookupEntry& entry, const Sink& sink, CWimScratch* scratch) {
  std::vector<ChunkRef> chunks;
  uint64_t skip = 0;
  const int found = SolidMemberChunks(state, entry, scratch, &chunks, &skip);
  if (found != kReadOk) return found;
  return CopyFromChunks(chunks, skip, entry.storedSize, sink);
}

// Reads a resource through the sink. Solid members decode into the shared cache: only the thread that owns the
// state reads them; the other resources may be read from any thread, each with its own scratch.
int ReadResource(CWimState* state, const Resource& r, const CWimLookupEntry* entry, const Sink& sink,
                 CWimScratch* scratch) {
  if (r.part < 0 || static_cast<size_t>(r.part) >= state->parts.size() ||
      !state->parts[static_cast<size_t>(r.part)].valid)
    return kReadDamaged;
  if (r.flags & kResourceSolid) {
    if (!entry || entry->originalSize != 0) return kReadDamaged;
    return ReadSolidMember(state, *entry, sink, scratch);
  }
  if (r.flags & kResourceCompressed) return ReadChunked(state, r, sink, scratch);
  return ReadStored(state, r, sink, scratch);
}

// Reads a whole resource into memory, with its SHA-1 when `hash` is given.
int ReadToMemory(CWimState* state, const Resource& r, const CWimLookupEntry* entry, std::vector<uint8_t>* out,
                 uint8_t* hash) {
  const uint64_t size = (r.flags & kResourceSolid) && entry ? entry->storedSize : r.originalSize;
  const CWimPart& part = state->parts[static_cast<size_t>(r.part)];
  // Nothing is held that the part file could not hold a thousand times over.
  if (size > kMemoryResourceLimit || (!(r.flags & kResourceSolid) && size / 1024 > static_cast<uint64_t>(part.size)))
    return kReadDamaged;
  out->clear();
  out->reserve(static_cast<size_t>(size));
  CSha1Context sha;
  Sha1Reset(&sha);
  CWimScratch scratch;
  const int result = ReadResource(
      state, r, entry,
      [&](const uint8_t* p, size_t n) {
        if (n > size - out->size()) return false;
        out->insert(out->end(), p, p + n);
        if (hash) Sha1Update(&sha, p, n);
        return true;
      },
      &scratch);
  if (result != kReadOk) return kReadDamaged;
  if (out->size() != size) return kReadDamaged;
  if (hash) Sha1Final(&sha, hash);
  return kReadOk;
}
// ---- Lookup table and solid blocks ----

bool LoadLookupTable(CWimState* state, int partIndex) {
  const CWimPart& part = state->parts[static_cast<size_t>(partIndex)];
  std::vector<uint8_t> table;
  const Resource r = ResourceOf(state, partIndex, part.header.lookup);
  if (r.flags & kResourceSolid) return false;
  if (ReadToMemory(state, r, nullptr, &table, nullptr) != kReadOk) return false;
  const bool old = state->layout >= kWimLayoutOld;
  const size_t entryBytes = old ? 52 : 50;
  bool previousSolid = false;
  for (size_t at = 0; at + entryBytes <= table.size(); at += entryBytes) {
    const uint8_t* p = &table[at];
    CWimLookupEntry e{};
    CWimResourceHeader h;
    WimParseResourceHeader(p, &h);
    e.storedSize = h.storedSize;
    e.flags = h.flags;
    e.offset = h.offset;
    e.originalSize = h.originalSize;
    e.solidBlock = -1;
    if (old) {
      e.streamId = LoadU32LE(p + 24);
      e.partNumber = 1;
      e.referenceCount = LoadU32LE(p + 28);
      std::memcpy(e.hash, p + 32, kSha1DigestBytes);
    } else {
      e.partNumber = LoadU16LE(p + 24);
      e.referenceCount = LoadU32LE(p + 26);
      std::memcpy(e.hash, p + 30, kSha1DigestBytes);
    }
    e.listedBy = partIndex;
    if (e.partNumber == part.header.partNumber) {
      const bool solid = (e.flags & kResourceSolid) != 0;
      e.continuesRun = solid && previousSolid;
      previousSolid = solid;
    }
    state->streams.push_back(e);
  }
  return true;
}

// Lays out the solid runs of the stream table; stops at the first violation (what was laid out stays).
bool LayoutSolidBlocks(CWimState* state) {
  std::vector<CWimLookupEntry>& s = state->streams;
  for (size_t i = 0; i < s.size();) {
    if (!(s[i].flags & kResourceSolid)) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < s.size() && (s[end].flags & kResourceSolid) && s[end].continuesRun) ++end;
    const size_t firstBlock = state->blocks.size();
    uint64_t runSize = 0;
    for (size_t k = i; k < end; ++k) {
      if (s[k].flags != kResourceSolid) return false;
      if (s[k].originalSize != kSolidBlockMarker) continue;
      if (!IsZeroHash(s[k].hash) || s[k].referenceCount != 1) return false;
      const CWimPart& part = state->parts[static_cast<size_t>(s[k].listedBy)];
      uint8_t header[16];
      if (s[k].storedSize < 16 || !FitsInPart(part, s[k].offset, s[k].storedSize) ||
          !ReadPart(part, header, s[k].offset, 16))
        return false;
      CWimSolidBlock block;
      block.descriptor = static_cast<int32_t>(k);
      block.runStart = runSize;
      block.size = LoadU64LE(header);
      const uint32_t chunkSize = LoadU32LE(header + 8);
      block.format = LoadU32LE(header + 12);
      block.chunkLog2 = Log2Exact(chunkSize);
      if (block.size > (uint64_t{1} << 63) || block.chunkLog2 < 8 || block.chunkLog2 > kSolidChunkLog2Max) return false;
      const uint64_t chunks = block.size == 0 ? 0 : ((block.size - 1) >> block.chunkLog2) + 1;
      if (chunks > (s[k].storedSize - 16) / 4 || chunks * 4 > UINT32_MAX) return false;
      std::vector<uint8_t> sizes(static_cast<size_t>(chunks * 4));
      if (chunks && !ReadPart(part, sizes.data(), s[k].offset + 16, sizes.size())) return false;
      block.dataStart = 16 + chunks * 4;
      block.chunkOffsets.resize(static_cast<size_t>(chunks + 1));
      block.chunkOffsets[0] = 0;
      for (uint64_t c = 0; c < chunks; ++c)
        block.chunkOffsets[c + 1] = block.chunkOffsets[c] + LoadU32LE(&sizes[c * 4]);
      if (block.dataStart + block.chunkOffsets[chunks] != s[k].storedSize) return false;
      if (runSize > UINT64_MAX - block.size) return false;
      runSize += block.size;
      s[k].solidBlock = static_cast<int32_t>(state->blocks.size());
      state->blocks.push_back(std::move(block));
    }
    for (size_t k = i; k < end; ++k) {
      if (s[k].originalSize == kSolidBlockMarker) continue;
      if (s[k].originalSize != 0 || IsZeroHash(s[k].hash)) return false;
      // The member must lie inside one block of its run.
      int32_t found = -1;
      for (size_t b = firstBlock; b < state->blocks.size(); ++b) {
        const CWimSolidBlock& block = state->blocks[b];
        if (s[k].offset >= block.runStart && s[k].offset - block.runStart < block.size + (s[k].storedSize == 0)) {
          const uint64_t inside = s[k].offset - block.runStart;
          if (s[k].storedSize <= block.size - std::min(inside, block.size)) found = static_cast<int32_t>(b);
          break;
        }
      }
      if (found < 0) return false;
      s[k].solidBlock = found;
    }
    i = end;
  }
  return true;
}

int32_t LookupByHash(const CWimState* state, const uint8_t* hash) {
  const auto& index = state->hashIndex;
  auto it = std::lower_bound(index.begin(), index.end(), hash, [&](int32_t position, const uint8_t* key) {
    return std::memcmp(state->streams[static_cast<size_t>(position)].hash, key, kSha1DigestBytes) < 0;
  });
  if (it == index.end() || std::memcmp(state->streams[static_cast<size_t>(*it)].hash, hash, kSha1DigestBytes) != 0)
    return -1;
  return *it;
}

int32_t LookupById(const CWimState* state, uint32_t id) {
  for (size_t i = 0; i < state->streams.size(); ++i)
    if (state->streams[i].streamId == id && !(state->streams[i].flags & kResourceMetadata))
      return static_cast<int32_t>(i);
  return -1;
}

uint64_t StreamSize(const CWimState* state, const CWimLookupEntry& e) {
  if ((e.flags & kResourceSolid) && e.originalSize == 0) return e.storedSize;
  if ((e.flags & kResourceSolid) && e.originalSize == kSolidBlockMarker)
    return e.solidBlock >= 0 ? state->blocks[static_cast<size_t>(e.solidBlock)].size : 0;
  return e.originalSize;
}

// ---- Directory tree ----

struct TreeBuilder {
  CImageDocument* document;
  CWimState* state;
  const std::vector<uint8_t>& meta;
  bool old;
  size_t alignment;
  size_t fixedBytes;
  bool damaged = false;
  std::vector<uint64_t> visited;  // subdirectory offsets already read

  static size_t Align(uint64_t v, size_t a) { return static_cast<size_t>((v + a - 1) / a * a); }

  bool SetRecord(CTreeEntry* entry, int32_t stream, bool missing) {
    auto* record = static_cast<EntryRecord*>(MemAlloc(sizeof(EntryRecord)));
    if (!record) return false;
    *record = {kRecordMagic, stream, missing ? 1 : 0};
    MemFree(entry->fsRecord);
    entry->fsRecord = reinterpret_cast<uint8_t*>(record);
    entry->fsRecordSize = sizeof(EntryRecord);
    return true;
  }

  CTreeEntry* MakeEntry(const uint8_t* name, size_t nameBytes, uint64_t fileTime, bool directory) {
    CTreeEntry* entry = TreeNewEntry();
    if (!entry) return nullptr;
    const size_t units = nameBytes / 2;
    std::vector<uint16_t> utf16(units + 1, 0);
    for (size_t i = 0; i < units; ++i) utf16[i] = LoadU16LE(name + 2 * i);
    entry->name = static_cast<wchar_t*>(MemAlloc((units + 1) * sizeof(wchar_t)));
    if (!entry->name) {
      TreeFreeEntry(document, entry);
      return nullptr;
    }
    TextUtf16ToWide(utf16.data(), static_cast<int32_t>(units), entry->name, units + 1);
    uint8_t* record = entry->directoryRecord;
    record[kDirRecordLength] = kDirRecordCopySize;
    PutBothEndian16(record + kDirRecordVolumeSequence, 1);
    if (fileTime) FileTimeFormat(static_cast<int64_t>(fileTime), record + kDirRecordDate);
    record[kDirRecordFlags] = directory ? kDirFlagDirectory : 0;
    return entry;
  }

  void SetStream(CTreeEntry* entry, int32_t stream, bool missing) {
    SetRecord(entry, stream, missing);
    if (stream >= 0) {
      const CWimLookupEntry& e = state->streams[static_cast<size_t>(stream)];
      entry->size = static_cast<int64_t>(std::min<uint64_t>(StreamSize(state, e), INT64_MAX));
      PutBothEndian32(entry->directoryRecord + kDirRecordDataLength, static_cast<uint32_t>(entry->size));
      // Extraction reads files in the order of their data.
      entry->sourceLba = static_cast<int64_t>((static_cast<uint64_t>(e.listedBy) << 56) |
                                              ((e.flags & kResourceSolid) ? e.offset : e.offset) >> 8);
    }
  }

  // Reads the entries of one directory starting at `offset` into `folder`. False when the directory is damaged.
  bool Directory(uint64_t offset, CTreeFolder* folder) {
    struct Pending {
      uint64_t offset;
      CTreeFolder* folder;
    };
    std::vector<Pending> work{{offset, folder}};
    while (!work.empty()) {
      const Pending item = work.back();
      work.pop_back();
      std::vector<CTreeEntry*> made;
      bool ok = true;
      for (uint64_t at = item.offset;;) {
        if (at > meta.size() || meta.size() - at < 8) {
          ok = false;
          break;
        }
        const uint64_t length = LoadU64LE(&meta[at]);
        if (length == 0) break;
        if (meta.size() - at < fixedBytes || length > meta.size() - at) {
          ok = false;
          break;
        }
        const uint8_t* p = &meta[at];
        const uint32_t attributes = LoadU32LE(p + 8);
        const uint64_t subdir = LoadU64LE(p + 16);
        const uint64_t time = old ? LoadU64LE(p + 40) : LoadU64LE(p + 56);
        const uint16_t streamCount = old ? LoadU16LE(p + 56) : LoadU16LE(p + 96);
        const uint16_t shortBytes = old ? LoadU16LE(p + 58) : LoadU16LE(p + 98);
        const uint16_t nameBytes = old ? LoadU16LE(p + 60) : LoadU16LE(p + 100);
        const uint64_t need =
            Align(fixedBytes + (nameBytes ? nameBytes + 2u : 0u) + (shortBytes ? shortBytes + 2u : 0u), alignment);
        if ((nameBytes & 1) || (shortBytes & 1) || length < need) {
          at += Align(length, alignment);
          continue;
        }
        const bool directory = (attributes & 0x10) != 0;
        const bool hasData = (attributes & 0x410) != 0x10;
        CTreeEntry* entry = nullptr;
        if (nameBytes) {
          entry = MakeEntry(p + fixedBytes, nameBytes, time, directory);
          if (!entry) return false;
          made.push_back(entry);
          int32_t stream = -1;
          bool missing = false;
          if (hasData) {
            if (old) {
              const uint32_t id = LoadU32LE(p + 16);
              if (id) {
                stream = LookupById(state, id);
                missing = stream < 0;
              }
            } else if (!IsZeroHash(p + 64)) {
              stream = LookupByHash(state, p + 64);
              missing = stream < 0;
            }
          }
          // The unnamed stream entry carries the data when the entry itself names none.
          uint64_t streamAt = at + length;
          for (uint16_t k = 0; hasData && k < streamCount && stream < 0 && !missing; ++k) {
            streamAt = Align(streamAt, alignment);
            const size_t streamFixed = old ? 18 : 38;
            if (streamAt > meta.size() || meta.size() - streamAt < streamFixed) break;
            const uint8_t* q = &meta[streamAt];
            const uint64_t streamLength = LoadU64LE(q);
            const uint16_t streamName = old ? LoadU16LE(q + 16) : LoadU16LE(q + 36);
            if (streamLength < (old ? 24u : 40u) || streamLength > meta.size() - streamAt ||
                streamLength < Align(streamFixed + streamName + 2u, alignment))
              break;
            if (streamName == 0) {
              if (old) {
                const uint32_t id = LoadU32LE(q + 8);
                if (id) {
                  stream = LookupById(state, id);
                  missing = stream < 0;
                }
              } else if (!IsZeroHash(q + 16)) {
                stream = LookupByHash(state, q + 16);
                missing = stream < 0;
              }
            }
            streamAt += streamLength;
          }
          SetStream(entry, stream, missing);
        }
        if (directory) {
          if (subdir >= meta.size() && subdir != 0) {
            ok = false;
            break;
          }
          CTreeFolder* target = item.folder;
          if (entry) {
            target = TreeInsertFolderNode(document, item.folder, entry->name, entry, 0);
            if (!target) return false;
          }
          if (subdir != 0) {
            // A directory already read (a loop) or nested too deep is left out.
            if (std::find(visited.begin(), visited.end(), subdir) != visited.end() ||
                target->depth > kTreePathMaxDepth) {
              damaged = true;
            } else {
              visited.push_back(subdir);
              work.push_back({subdir, target});
            }
          }
        }
        at += length;
        if (length < 8) break;
      }
      // Prepending in reverse keeps the directory's order.
      for (auto it = made.rbegin(); it != made.rend(); ++it) TreeFolderPrependEntry(item.folder, *it);
      if (!ok) damaged = true;
    }
    return true;
  }
};

bool LoadTree(CImageDocument* document, CWimState* state, const std::vector<uint8_t>& meta) {
  const bool old = state->layout >= kWimLayoutOld;
  const size_t fixed = old ? 62 : 102;
  const size_t alignment = state->layout == kWimLayoutOldest ? 4 : 8;
  if (meta.size() < 8 || meta.size() < fixed) return false;
  uint64_t root;
  if (!old) {
    const uint32_t length = LoadU32LE(meta.data());
    if (length != 0 && length < 8) return false;
    root = length == 0 ? 8 : (static_cast<uint64_t>(length) + 7) / 8 * 8;
  } else {
    const uint32_t count = LoadU32LE(meta.data() + 4);
    if (count > (1u << 28) || count > meta.size() / 8) return false;
    if (count == 0) {
      root = 8;
    } else {
      uint64_t at = 8ull * count;
      at += LoadU32LE(meta.data());
      if (at > meta.size()) return false;
      for (uint32_t i = 1; i < count; ++i) {
        const uint64_t v = LoadU64LE(meta.data() + 8ull * i);
        if (v >> 32) return false;
        at += v;
        if (at > meta.size()) return false;
      }
      root = (at + alignment - 1) / alignment * alignment;
    }
  }
  TreeBuilder builder{document, state, meta, old, alignment, fixed, false, {}};
  builder.Directory(root, document->rootFolder);
  if (builder.damaged) document->treeDamaged = 1;
  return true;
}

// ---- XML ----

void ParseXml(CWimState* state, const std::vector<uint8_t>& bytes) {
  std::wstring text;
  const size_t units = bytes.size() / 2;
  text.reserve(units);
  for (size_t i = 1; i < units; ++i) {
    const uint16_t unit = LoadU16LE(&bytes[2 * i]);
    if (unit == 0) break;
    text.push_back(static_cast<wchar_t>(unit));
  }
  if (units > 0 && LoadU16LE(bytes.data()) == 0) return;
  CXmlNode top;
  CXmlParseSettings settings;
  if (!XmlParse(&top, text.c_str(), &settings) && settings.errorSet) return;
  for (const CXmlNode* image : XmlFindAllByName(&top, L"IMAGE")) {
    CWimImageInfo info;
    if (const std::wstring* v = XmlFindAttribute(image, L"INDEX")) {
      info.hasIndex = true;
      info.index = *v;
    }
    if (const std::wstring* v = XmlFindChild(image, L"NAME")) {
      info.hasName = true;
      info.name = *v;
    }
    if (const std::wstring* v = XmlFindChild(image, L"TOTALBYTES")) {
      info.hasTotalBytes = true;
      info.totalBytes = std::wcstoull(v->c_str(), nullptr, 10);
    }
    state->images.push_back(std::move(info));
  }
}

// The path of part k of a split archive: "base" k "." "extension".
bool PartPath(const std::wstring& first, int k, std::wstring* out) {
  const size_t dot = first.rfind(L'.');
  const size_t slash = first.rfind(L'/');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return false;
  *out = first.substr(0, dot) + std::to_wstring(k) + first.substr(dot);
  return true;
}

int Refuse(const CImageDocument* document, const wchar_t* why) {
  UiPrintf(L"%ls: %ls\r\n", document->path.c_str(), why);
  return -1;
}

EntryRecord RecordOf(const CTreeEntry* entry) {
  EntryRecord record{0, -1, 0};
  if (entry && entry->fsRecord && entry->fsRecordSize == static_cast<int32_t>(sizeof(EntryRecord)))
    std::memcpy(&record, entry->fsRecord, sizeof(record));
  return record;
}

}  // namespace

void WimParseResourceHeader(const uint8_t* p, CWimResourceHeader* header) {
  header->storedSize = LoadU64LE(p) & 0x00FFFFFFFFFFFFFFull;
  header->flags = p[7];
  header->offset = LoadU64LE(p + 8);
  header->originalSize = LoadU64LE(p + 16);
}

int WimGetCompressionType(uint32_t flags) {
  if (!(flags & 0x2)) return kWimCompressionNone;
  if (flags & 0x40000) return kWimCompressionLzx;
  if (flags & 0x80000) return kWimCompressionLzms;
  if (flags & 0x220000) return kWimCompressionXpress;
  return -1;
}

int WimParseHeader(const uint8_t* bytes, size_t n, CWimHeader* h) {
  static const uint8_t kMagic[8] = {'M', 'S', 'W', 'I', 'M', 0, 0, 0};
  if (!bytes || n < kHeaderBytes || std::memcmp(bytes, kMagic, 8) != 0) return 0;
  *h = CWimHeader{};
  ByteReader r(bytes, n);
  h->headerSize = r.U32LEAt(8);
  h->version = r.U32LEAt(12);
  h->flags = r.U32LEAt(16);
  const uint32_t chunk = r.U32LEAt(20);
  const uint32_t v = h->version, hs = h->headerSize;
  if (v == 0xE00) {
    if (hs != 208) return 0;
    h->layout = kWimLayoutNew;
  } else if (v < 0x10900) {
    return 0;
  } else if (v == 0x10900) {
    if (hs != 96) return 0;
    h->layout = kWimLayoutOldest;
  } else if (v < 0x10A01) {
    if (hs != 96) return 0;
    h->layout = kWimLayoutOld;
  } else if (v == 0x10B00 && hs == 96) {
    h->layout = kWimLayoutOld;
  } else if (v <= 0x10CFF) {
    if (hs < 116) return 0;
    h->layout = kWimLayoutMiddle;
  } else {
    if (hs != 208) return 0;
    h->layout = kWimLayoutNew;
  }
  size_t resources;
  if (h->layout >= kWimLayoutOld) {
    h->partNumber = 1;
    h->partCount = 1;
    resources = 24;
  } else {
    std::memcpy(h->guid, bytes + 24, 16);
    h->partNumber = r.U16LEAt(40);
    h->partCount = r.U16LEAt(42);
    if (h->partNumber < 1 || h->partCount < h->partNumber) return 0;
    if (h->layout == kWimLayoutNew) {
      h->imageCount = r.U32LEAt(44);
      resources = 48;
    } else {
      resources = 44;
    }
  }
  if (!r.ok()) return 0;
  WimParseResourceHeader(bytes + resources, &h->lookup);
  WimParseResourceHeader(bytes + resources + 24, &h->xml);
  WimParseResourceHeader(bytes + resources + 48, &h->boot);
  const int type = WimGetCompressionType(h->flags);
  if (type < 0) return 0;
  h->chunkSize = chunk ? chunk : 32768;
  // The chunk size must be one the codec can decode.
  const int log2 = Log2Exact(h->chunkSize);
  if (type == kWimCompressionXpress && (log2 < 12 || log2 > 16)) return 0;
  if (type == kWimCompressionLzx && (log2 < 15 || log2 > 21)) return 0;
  if (type == kWimCompressionLzms && (log2 < 15 || log2 > 30)) return 0;
  return 1;
}

int WimOpenArchive(CImageDocument* document, int32_t flags) {
  if (!document || !document->input) return 0;
  uint8_t bytes[kHeaderBytes];
  const int64_t fileSize = FileGetSize(document->input);
  if (fileSize < static_cast<int64_t>(kHeaderBytes) || !FileReadAt(document->input, bytes, 0, kHeaderBytes)) return 0;
  if (std::memcmp(bytes, "MSWIM\0\0\0", 8) != 0) return 0;
  auto state = std::make_unique<CWimState>();
  CWimPart first;
  first.file = document->input;
  first.size = fileSize;
  if (!WimParseHeader(bytes, kHeaderBytes, &first.header))
    return Refuse(document, L"The WIM header is not one this program can read.");
  first.valid = true;
  state->layout = first.header.layout;
  const int partCount = first.header.partCount;
  if (partCount == 0) return Refuse(document, L"The WIM header is not one this program can read.");
  state->parts.push_back(first);
  // The rest of a split archive: data2.swm, data3.swm, ... beside the first part.
  const std::wstring path = document->path.c_str();
  bool partsMissing = false;
  for (int k = 2; k <= partCount; ++k) {
    CWimPart part;
    std::wstring name;
    if (PartPath(path, k, &name)) {
      part.file = FileOpenForRead(name.c_str());
      if (part.file) {
        part.size = FileGetSize(part.file);
        uint8_t partBytes[kHeaderBytes];
        part.valid = part.size >= static_cast<int64_t>(kHeaderBytes) &&
                     FileReadAt(part.file, partBytes, 0, kHeaderBytes) &&
                     WimParseHeader(partBytes, kHeaderBytes, &part.header) &&
                     std::memcmp(part.header.guid, first.header.guid, 16) == 0 && part.header.partNumber == k;
      }
    }
    if (!part.valid) partsMissing = true;
    state->parts.push_back(part);
  }
  document->wim = state.get();
  CWimState* s = state.release();
  auto fail = [&](const wchar_t* why) {
    Refuse(document, why);
    return -1;
  };
  // The XML description: its outcome does not stop the open.
  std::vector<uint8_t> bytesXml;
  if (ReadToMemory(s, ResourceOf(s, 0, first.header.xml), nullptr, &bytesXml, nullptr) == kReadOk)
    ParseXml(s, bytesXml);
  for (size_t k = 0; k < s->parts.size(); ++k)
    if (s->parts[k].valid && !LoadLookupTable(s, static_cast<int>(k)))
      return fail(L"The WIM lookup table can not be read.");
  LayoutSolidBlocks(s);
  s->hashIndex.resize(s->streams.size());
  for (size_t i = 0; i < s->streams.size(); ++i) s->hashIndex[i] = static_cast<int32_t>(i);
  std::stable_sort(s->hashIndex.begin(), s->hashIndex.end(), [&](int32_t a, int32_t b) {
    return std::memcmp(s->streams[static_cast<size_t>(a)].hash, s->streams[static_cast<size_t>(b)].hash,
                       kSha1DigestBytes) < 0;
  });
  // The metadata resources, one per image, in table order (read again below only for the chosen one).
  std::vector<int32_t> metadata;
  for (size_t i = 0; i < s->streams.size(); ++i)
    if (s->streams[i].flags & kResourceMetadata) metadata.push_back(static_cast<int32_t>(i));
  s->metadataCount = static_cast<int32_t>(metadata.size());
  const int imageCount = !s->images.empty() ? static_cast<int>(s->images.size()) : s->metadataCount;
  if (imageCount == 0) return fail(L"The WIM archive holds no image.");
  int chosen = 0;
  if (imageCount > 1 && !(flags & kWimOpenFirstImage)) {
    chosen = ImageListContainedImages(document);
    if (chosen < 0) return -1;
  }
  s->selectedImage = chosen;
  if (ImageCreateRoot(document) != 0) return fail(L"Not enough memory.");
  document->treeOwned = 1;
  if (chosen < s->metadataCount) {
    const CWimLookupEntry& entry = s->streams[static_cast<size_t>(metadata[static_cast<size_t>(chosen)])];
    std::vector<uint8_t> meta;
    uint8_t digest[kSha1DigestBytes];
    if (ReadToMemory(s, ResourceOf(s, entry), &entry, &meta, digest) != kReadOk)
      return fail(L"The image's metadata can not be read.");
    if (s->layout < kWimLayoutOld && std::memcmp(digest, entry.hash, kSha1DigestBytes) != 0)
      return fail(L"The image's metadata is damaged (its SHA-1 differs).");
    if (!LoadTree(document, s, meta)) document->treeDamaged = 1;
  }
  if (partsMissing)
    UiPrintf(L"%ls: %ls\r\n", document->path.c_str(), L"Some parts of the split WIM archive are missing.");
  document->inputType = kImageTypeWim;
  document->readOnly = 1;
  const wchar_t* name = WimGetCurrentImageName(document);
  std::wcsncpy(document->identifiers[kVolumeLabel], name, kVolumeIdentifierChars - 1);
  document->identifiers[kVolumeLabel][kVolumeIdentifierChars - 1] = 0;
  return 1;
}

void WimClose(CWimState* state) {
  if (!state) return;
  // The workers read the part files: they stop first.
  state->queue.reset();
  for (size_t k = 1; k < state->parts.size(); ++k)
    if (state->parts[k].file) std::fclose(state->parts[k].file);
  delete state;
}

const wchar_t* WimGetCurrentImageName(const CImageDocument* document) {
  if (!document || !document->wim) return L"WIM";
  const CWimState* s = document->wim;
  if (s->selectedImage < 0 || static_cast<size_t>(s->selectedImage) >= s->images.size()) return L"WIM";
  const CWimImageInfo& info = s->images[static_cast<size_t>(s->selectedImage)];
  return info.hasName ? info.name.c_str() : L"WIM";
}

int ImageListContainedImages(CImageDocument* document) {
  if (!document || !document->wim) return -1;
  const CWimState* s = document->wim;
  const int count = !s->images.empty() ? static_cast<int>(s->images.size()) : s->metadataCount;
  UiPrintf(L"Images found in %ls:\r\n", document->path.c_str());
  UiPrintf(L"%-3ls %-32ls %ls\r\n", L"#", L"Name", L"Size");
  for (int k = 0; k < count; ++k) {
    std::wstring index = std::to_wstring(k + 1), name, size;
    if (static_cast<size_t>(k) < s->images.size()) {
      const CWimImageInfo& info = s->images[static_cast<size_t>(k)];
      if (info.hasIndex && info.index.size() < 128) index = info.index.substr(0, 63);
      if (info.hasName && info.name.size() < 128) name = info.name;
      if (info.totalBytes) size = TextFormatSize(info.totalBytes);
    }
    UiPrintf(L"%-3ls %-32ls %ls\r\n", index.c_str(), name.c_str(), size.c_str());
  }
  if (UiAssumeYes()) return 0;
  for (;;) {
    UiPrintf(L"Please select an image(%d -- %d):", 1, count);
    wchar_t answer[33];
    if (!UiReadLine(answer, 33)) {
      // End of input chooses nothing: the open fails, and says why.
      UiPrintf(L"\r\n%ls\r\n", L"No image was chosen.");
      return -1;
    }
    for (wchar_t* c = answer; *c; ++c) *c = static_cast<wchar_t>(std::towlower(*c));
    wchar_t* end = nullptr;
    const long value = std::wcstol(answer, &end, 10);
    while (end && (*end == L' ' || *end == L'\t')) ++end;
    if (end != answer && end && *end == 0 && value >= 1 && value <= count) return static_cast<int>(value - 1);
    UiPrintf(L"The input value should be between %d and %d.\r\n", 1, count);
  }
}

namespace {

// Streams up to this size are written by the extraction workers, one stream per worker; larger ones are decoded
// on all cores by the caller and written as they come.
constexpr uint64_t kQueueStreamMax = uint64_t{8} << 20;
// Files handed to the workers and not yet finished, at most (each holds an open descriptor).
constexpr size_t kQueueFilesMax = 256;
constexpr int kReadHashDiffers = -3;
constexpr int kReadSkipped = -4;

bool WriteAll(int fd, const uint8_t* p, size_t n, uint64_t offset) {
  while (n > 0) {
    const ssize_t put = pwrite(fd, p, n, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    p += put;
    n -= static_cast<size_t>(put);
    offset += static_cast<uint64_t>(put);
  }
  return true;
}

// A write that failed: its reason stays in errno, where the report of the failure reads it.
void SetWriteFailure(int error) {
  LastErrorSetText(nullptr);
  errno = error ? error : EIO;
  AbortCodeRaise(kAbortWriteFailed);
}

const wchar_t* ReadFailureText(int status) {
  return status == kReadHashDiffers ? L"The file's data does not match its SHA-1 hash."
                                    : L"The file's data in the WIM archive is damaged.";
}

}  // namespace

// Files whose data the extraction workers decode, check and write while the caller goes on creating the next
// files. Each worker takes one whole stream at a time with its own decoders and buffers; solid members come with
// their chunks already decoded (the chunk cache belongs to the caller's thread).
struct CWimExtractQueue {
  struct Job {
    int32_t stream = -1;
    int fd = -1;  // -1: read and check only
    std::wstring path;
    int64_t time = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<ChunkRef> chunks;  // a solid member's decoded chunks
    uint64_t skip = 0;             // where the member starts in the first of them
  };
  struct Failure {
    std::wstring path;
    int status;  // kReadDamaged, kReadHashDiffers, kReadSinkFailed (the write failed) or kReadSkipped
    int error;   // errno of a write that failed
  };

  CWimState* state;
  std::mutex mutex;
  std::condition_variable wake;  // a job was queued, or the workers are to stop
  std::condition_variable idle;  // a job finished
  std::deque<Job> jobs;
  std::vector<std::pair<dev_t, ino_t>> writing;  // files of unfinished jobs
  size_t unfinished = 0;
  bool stopping = false;
  int writeError = 0;  // the first write that failed: the jobs after it are passed over
  std::vector<Failure> failures;
  std::vector<std::thread> threads;
  CWimScratch scratch;  // the caller's, for solid chunks

  explicit CWimExtractQueue(CWimState* s) : state(s) {}
  ~CWimExtractQueue() {
    {
      // Files already handed over are finished, whatever stopped the run.
      std::unique_lock<std::mutex> lock(mutex);
      if (!threads.empty()) idle.wait(lock, [&] { return unfinished == 0; });
      stopping = true;
    }
    wake.notify_all();
    for (std::thread& t : threads) t.join();
    for (Job& job : jobs)
      if (job.fd >= 0) close(job.fd);
  }

  void Start() {
    const unsigned cores = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < cores; ++i) {
      try {
        threads.emplace_back(&CWimExtractQueue::Work, this);
      } catch (...) {
        break;  // fewer workers; with none, the caller writes every file itself
      }
    }
  }

  void Work() {
    CWimScratch own;
    own.serial = true;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stopping || !jobs.empty(); });
      if (stopping) return;
      Job job = std::move(jobs.front());
      jobs.pop_front();
      const bool skip = writeError != 0;
      lock.unlock();
      int error = 0;
      int status = kReadSkipped;
      if (!skip) {
        try {
          status = Run(&job, &own, &error);
        } catch (...) {
          status = kReadDamaged;
        }
      }
      if (job.fd >= 0) close(job.fd);
      job.chunks.clear();
      lock.lock();
      if (status != kReadOk) failures.push_back({std::move(job.path), status, error});
      if (status == kReadSinkFailed && !writeError) writeError = error;
      auto it = std::find(writing.begin(), writing.end(), std::make_pair(job.device, job.inode));
      if (job.fd >= 0 && it != writing.end()) writing.erase(it);
      --unfinished;
      idle.notify_all();
    }
  }

  // Decodes, checks and writes one file: kReadOk, or why it failed.
  int Run(Job* job, CWimScratch* own, int* error) {
    const CWimLookupEntry& e = state->streams[static_cast<size_t>(job->stream)];
    const uint64_t expected = StreamSize(state, e);
    CSha1Context sha;
    Sha1Reset(&sha);
    uint64_t written = 0;
    const Sink sink = [&](const uint8_t* p, size_t n) {
      if (n > expected - written) return false;
      Sha1Update(&sha, p, n);
      if (job->fd >= 0 && !WriteAll(job->fd, p, n, written)) {
        *error = errno ? errno : EIO;
        return false;
      }
      written += n;
      return true;
    };
    const int result = (e.flags & kResourceSolid) ? CopyFromChunks(job->chunks, job->skip, expected, sink)
                                                  : ReadResource(state, ResourceOf(state, e), &e, sink, own);
    if (result == kReadSinkFailed && *error) return kReadSinkFailed;
    if (result != kReadOk || written != expected) return kReadDamaged;
    uint8_t digest[kSha1DigestBytes];
    Sha1Final(&sha, digest);
    if (std::memcmp(digest, e.hash, kSha1DigestBytes) != 0) return kReadHashDiffers;
    if (job->fd >= 0) {
      struct timespec times[2];
      times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(job->time);
      times[0].tv_nsec = times[1].tv_nsec = 0;
      futimens(job->fd, times);
    }
    return kReadOk;
  }
};

CWimState::CWimState() : cache(std::make_unique<CWimChunkCache>()) {}
CWimState::~CWimState() = default;

int WimEntryHasData(const CImageDocument* document, const CTreeEntry* entry) {
  return document && document->wim && RecordOf(entry).magic == kRecordMagic ? 1 : 0;
}

namespace {

// The stream of an entry that has data: 1 with *stream set (-1 for an empty file), or -2 with the reason set.
int EntryStream(CImageDocument* document, const CTreeEntry* entry, int32_t* stream) {
  if (!WimEntryHasData(document, entry)) {
    LastErrorSetText(L"The file has no data in the WIM archive.");
    return -2;
  }
  const EntryRecord record = RecordOf(entry);
  if (record.missing) {
    LastErrorSetText(L"The file's data is not in the WIM archive (a part of a split archive may be missing).");
    return -2;
  }
  if (record.stream >= 0 && static_cast<size_t>(record.stream) >= document->wim->streams.size()) {
    LastErrorSetText(L"The file's data in the WIM archive is damaged.");
    return -2;
  }
  *stream = record.stream;
  return 1;
}

}  // namespace

int WimExtractFile(CImageDocument* document, const CTreeEntry* entry, FILE* output, void (*progress)(uint64_t)) {
  int32_t stream = -1;
  if (EntryStream(document, entry, &stream) != 1) return -2;
  if (stream < 0) return 1;  // an empty file
  CWimState* s = document->wim;
  const CWimLookupEntry& e = s->streams[static_cast<size_t>(stream)];
  if (!s->scratch) s->scratch = std::make_unique<CWimScratch>();
  CSha1Context sha;
  Sha1Reset(&sha);
  uint64_t written = 0;
  const uint64_t expected = StreamSize(s, e);
  const int result = ReadResource(
      s, ResourceOf(s, e), &e,
      [&](const uint8_t* p, size_t n) {
        if (n > expected - written) return false;
        Sha1Update(&sha, p, n);
        if (output && std::fwrite(p, 1, n, output) != n) {
          SetWriteFailure(errno);
          return false;
        }
        written += n;
        if (progress) progress(n);
        return true;
      },
      s->scratch.get());
  if (result == kReadSinkFailed && AbortCodeGet() == kAbortWriteFailed) return -1;
  if (result != kReadOk || written != expected) {
    LastErrorSetText(L"The file's data in the WIM archive is damaged.");
    return -2;
  }
  uint8_t digest[kSha1DigestBytes];
  Sha1Final(&sha, digest);
  if (std::memcmp(digest, e.hash, kSha1DigestBytes) != 0) {
    LastErrorSetText(L"The file's data does not match its SHA-1 hash.");
    return -2;
  }
  return 1;
}

int WimExtractFileQueued(CImageDocument* document, const CTreeEntry* entry, FILE* output, const wchar_t* path,
                         void (*progress)(uint64_t)) {
  int32_t stream = -1;
  if (EntryStream(document, entry, &stream) != 1) return -2;
  if (stream < 0) return 1;
  CWimState* s = document->wim;
  const CWimLookupEntry& e = s->streams[static_cast<size_t>(stream)];
  const bool solid = (e.flags & kResourceSolid) != 0;
  const uint64_t size = StreamSize(s, e);
  if (!solid && size > kQueueStreamMax) return WimExtractFile(document, entry, output, progress);
  if (!s->queue) {
    s->queue = std::make_unique<CWimExtractQueue>(s);
    s->queue->Start();
  }
  CWimExtractQueue* q = s->queue.get();
  if (q->threads.empty()) return WimExtractFile(document, entry, output, progress);
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    if (q->writeError) {
      SetWriteFailure(q->writeError);
      return -1;
    }
  }
  CWimExtractQueue::Job job;
  job.stream = stream;
  job.path = path ? path : L"";
  job.time = IsoDecodeRecordDate(entry->directoryRecord + kDirRecordDate);
  if (solid && SolidMemberChunks(s, e, &q->scratch, &job.chunks, &job.skip) != kReadOk) {
    LastErrorSetText(L"The file's data in the WIM archive is damaged.");
    return -2;
  }
  if (output) {
    struct stat info;
    if (std::fflush(output) != 0 || (job.fd = fcntl(fileno(output), F_DUPFD_CLOEXEC, 0)) < 0 ||
        fstat(job.fd, &info) != 0) {
      if (job.fd >= 0) close(job.fd);
      return WimExtractFile(document, entry, output, progress);
    }
    job.device = info.st_dev;
    job.inode = info.st_ino;
  }
  {
    std::unique_lock<std::mutex> lock(q->mutex);
    if (job.fd >= 0) {
      // Two names that became one local name: the earlier file is finished first, then this one replaces it.
      const auto key = std::make_pair(job.device, job.inode);
      if (std::find(q->writing.begin(), q->writing.end(), key) != q->writing.end()) {
        q->idle.wait(lock, [&] { return std::find(q->writing.begin(), q->writing.end(), key) == q->writing.end(); });
        if (ftruncate(job.fd, 0) != 0) {
          const int error = errno;
          close(job.fd);
          SetWriteFailure(error);
          return -1;
        }
      }
      q->writing.push_back(key);
    }
    q->idle.wait(lock, [&] { return q->unfinished < kQueueFilesMax; });
    q->jobs.push_back(std::move(job));
    ++q->unfinished;
  }
  q->wake.notify_one();
  if (progress) progress(size);
  return 1;
}

int WimExtractWait(CImageDocument* document, void (*report)(const wchar_t* path, const wchar_t* message, int error)) {
  if (!document || !document->wim || !document->wim->queue) return 0;
  CWimExtractQueue* q = document->wim->queue.get();
  std::vector<CWimExtractQueue::Failure> failures;
  {
    std::unique_lock<std::mutex> lock(q->mutex);
    q->idle.wait(lock, [&] { return q->unfinished == 0; });
    failures.swap(q->failures);
    q->writeError = 0;
  }
  for (const CWimExtractQueue::Failure& f : failures) {
    if (!report) continue;
    if (f.status == kReadDamaged || f.status == kReadHashDiffers)
      report(f.path.c_str(), ReadFailureText(f.status), 0);
    else
      report(f.path.c_str(), nullptr, f.status == kReadSinkFailed ? f.error : 0);
  }
  return static_cast<int>(failures.size());
}
