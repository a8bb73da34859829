#include "qvf/writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "image/save_options.h"
#include "image/document.h"
#include "image/sectors.h"
#include "qvf/cipher.h"
#include "qvf/container.h"
#include "qvf/deflate.h"
#include "qvf/lzma86.h"
#include "qvf/sfx.h"
#include "qvf/volume.h"
#include "runtime/crc.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/paths.h"
#include "runtime/settings.h"
#include "tree/tree.h"

int32_t g_qvfCompressionThreads = 0;

namespace {

constexpr uint32_t kLzmaDictionary = 16u << 20;
constexpr int kLzmaLevel = 5;
// Memory the chunks in flight may take.
constexpr uint64_t kPipelineBudget = uint64_t{512} << 20;

// One chunk on its way through the compressors.
struct ChunkJob {
  uint64_t number = 0;
  uint32_t length = 0;
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;  // LZMA stream (or the scrambled copy of another result)
  std::vector<uint8_t> second;  // deflate stream
  const uint8_t* stored = nullptr;
  int64_t storedLength = -1;
  int32_t codec = kQvfCodecDeflate;
  uint32_t crc = 0;
  uint8_t lzmaHeader[6] = {};
  enum State { kFree, kQueued, kDone } state = kFree;
};

}  // namespace

struct CQvfWritePipeline {
  std::vector<ChunkJob> jobs;
  uint64_t submitted = 0;  // jobs handed over so far (the next job's sequence number)
  uint64_t committed = 0;  // jobs written so far
  std::deque<uint64_t> queue;
  std::mutex mutex;
  std::condition_variable work, done;
  bool stop = false;
  std::vector<std::thread> threads;
};

void QvfWritePipelineFree(CQvfWritePipeline* pipeline) {
  if (!pipeline) return;
  {
    std::lock_guard<std::mutex> lock(pipeline->mutex);
    pipeline->stop = true;
  }
  pipeline->work.notify_all();
  for (std::thread& thread : pipeline->threads) thread.join();
  delete pipeline;
}

namespace {

bool AllZero(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (bytes[i]) return false;
  return true;
}

size_t SecondCapacity(uint32_t chunkSize) { return size_t{chunkSize} + chunkSize / 8 + 65536 + 8; }

// Compresses one job's input into its own buffers (any thread; the context is only read).
void CompressJob(const CQvfContext* context, ChunkJob& job) {
  const uint8_t* input = job.input.data();
  const size_t length = job.length;
  job.storedLength = -1;
  if (context->version == kQvfVersion150 && AllZero(input, length)) {
    job.stored = nullptr;
    job.storedLength = 0;
    job.codec = kQvfCodecZero;
    job.crc = 0;
    return;
  }
  CDeflateState* state = DeflateThreadState();
  if (!state) return;
  const bool fast = context->sectorSize == 512;
  const int variant = context->version == kQvfVersion100 ? 0 : context->variant;
  int64_t deflated = fast ? DeflateCompressFast(state, input, job.second.data(), static_cast<int64_t>(length), variant)
                          : DeflateCompressLazy(state, input, job.second.data(), static_cast<int64_t>(length), variant);
  if (deflated < 0) return;
  uint8_t* data = job.second.data();
  size_t size = static_cast<size_t>(deflated);
  int32_t codec = kQvfCodecDeflate;
  if (context->version != kQvfVersion100 && context->level != 0 && !context->deflateOnly) {
    // LZMA only matters when it comes out strictly smaller: it gets no more room than that.
    const bool strip = context->params.stripLzmaHeader != 0;
    const size_t most = strip ? size + kLzma86HeaderSize - 1 : size - 1;
    size_t capacity = std::min(most, job.output.size() - 8);
    if (size >= 1 && capacity > kLzma86HeaderSize) {
      const int result = Lzma86_Encode(job.output.data(), &capacity, input, length, kLzmaLevel, kLzmaDictionary,
                                       kLzma86FilterX86);
      if (result == kLzma86Ok) {
        const size_t effective = strip ? capacity - kLzma86HeaderSize : capacity;
        if (effective < size) {
          data = job.output.data() + (strip ? kLzma86HeaderSize : 0);
          size = effective;
          codec = kQvfCodecLzma;
          std::memcpy(job.lzmaHeader, job.output.data(), 6);
        }
      } else if (result != kLzma86ErrorOutputEof) {
        return;
      }
    }
  }
  if (context->version != kQvfVersion100 && size >= length) {
    // Nothing shrank it: stored as it is.
    data = job.input.data();
    size = length;
    codec = kQvfCodecDeflate;
  }
  job.crc = Crc32Compute(data, size);
  QvfStore32(data + size, job.crc);
  const size_t stored = size + 4;
  if (context->passwordLength > 0 && !QvfCipherEncryptBuffer(&context->cipher, data, data, stored)) return;
  job.stored = data;
  job.storedLength = static_cast<int64_t>(stored);
  job.codec = codec;
}

void Work(const CQvfContext* context, CQvfWritePipeline* pipeline) {
  for (;;) {
    uint64_t sequence;
    {
      std::unique_lock<std::mutex> lock(pipeline->mutex);
      pipeline->work.wait(lock, [&] { return pipeline->stop || !pipeline->queue.empty(); });
      if (pipeline->stop) return;
      sequence = pipeline->queue.front();
      pipeline->queue.pop_front();
    }
    ChunkJob& job = pipeline->jobs[sequence % pipeline->jobs.size()];
    CompressJob(context, job);
    {
      std::lock_guard<std::mutex> lock(pipeline->mutex);
      job.state = ChunkJob::kDone;
    }
    pipeline->done.notify_all();
  }
}

// Sets the reason of a failed write (a code of its own keeps the text from being taken for the system's): 0.
int Fail(const wchar_t* text = L"Can not generate compressed data.") {
  LastErrorSetText(text);
  LastErrorSetCode(EIO);
  return 0;
}

// After a failed write: keeps the reason a deeper step gave; else the system's, as text every thread reads (the
// writer may run on a thread of its own); else the general one.
void NoteFailure() {
  const int saved = errno;
  errno = 0;
  const int32_t code = LastErrorGetCode();
  errno = saved;
  if (code != 0) return;
  if (saved == 0) {
    Fail();
    return;
  }
  char buffer[256];
  const char* message = strerror_r(saved, buffer, sizeof buffer);
  wchar_t text[256];
  size_t n = std::mbstowcs(text, message, 255);
  if (n == static_cast<size_t>(-1)) n = 0;
  text[n] = 0;
  Fail(n ? text : L"Can not generate compressed data.");
}

// Starts the compression workers and makes the ring of jobs: 1 or 0.
int StartPipeline(CQvfContext* context) {
  auto* pipeline = new (std::nothrow) CQvfWritePipeline;
  if (!pipeline) return 0;
  context->pipeline = pipeline;
  int64_t workers = g_qvfCompressionThreads > 0 ? g_qvfCompressionThreads
                                                : static_cast<int64_t>(std::thread::hardware_concurrency());
  workers = std::clamp<int64_t>(workers, 1, 64);
  const uint64_t jobBytes = uint64_t{context->chunkSize} + 8 + 2 * SecondCapacity(context->chunkSize);
  const int64_t affordable = static_cast<int64_t>(kPipelineBudget / jobBytes);
  const int64_t slots = std::clamp<int64_t>(affordable, workers + 1, 2 * workers + 2);
  // No more jobs than chunks: a small image needs no ring larger than itself.
  const int64_t wanted = std::max<int64_t>(1, std::min<int64_t>(slots, static_cast<int64_t>(context->chunkCount)));
  try {
    pipeline->jobs.resize(static_cast<size_t>(wanted));
    for (int64_t i = 0; i < std::min(workers, wanted); ++i)
      pipeline->threads.emplace_back(Work, static_cast<const CQvfContext*>(context), pipeline);
  } catch (...) {
    // Fewer workers (or none: the writer then compresses each chunk itself).
    if (pipeline->jobs.empty()) return 0;
  }
  return 1;
}

// Writes the job that is next in chunk order and frees its place: 1 or 0.
int CommitJob(CQvfContext* context, ChunkJob& job) {
  if (job.storedLength < 0) return Fail();
  if (job.number == 0) context->crc0 = job.crc;
  if (job.number == 1) context->crc1 = job.crc;
  if (job.codec == kQvfCodecLzma && context->params.stripLzmaHeader) {
    if (!context->haveLzmaHeader) {
      std::memcpy(context->lzmaHeader, job.lzmaHeader, 6);
      context->haveLzmaHeader = 1;
    } else if (job.lzmaHeader[0] != context->lzmaHeader[0] || job.lzmaHeader[1] != context->lzmaHeader[1] ||
               QvfLoad32(job.lzmaHeader + 2) > QvfLoad32(context->lzmaHeader + 2)) {
      // The shared header would not decode this chunk.
      return Fail();
    }
  }
  if (job.storedLength > 0 && !QvfWriteBytes(context, job.stored, static_cast<size_t>(job.storedLength))) return 0;
  if (!QvfSetChunkLength(context, job.number, static_cast<uint64_t>(job.storedLength))) return Fail();
  QvfSetChunkFlags(context, job.number, job.codec);
  job.state = ChunkJob::kFree;
  return 1;
}

// Writes finished jobs in order: all of them up to `until` (waiting for each), then whatever else is done.
int CommitJobs(CQvfContext* context, uint64_t until) {
  CQvfWritePipeline* pipeline = context->pipeline;
  while (pipeline->committed < pipeline->submitted) {
    ChunkJob& job = pipeline->jobs[pipeline->committed % pipeline->jobs.size()];
    {
      std::unique_lock<std::mutex> lock(pipeline->mutex);
      if (pipeline->committed >= until && job.state != ChunkJob::kDone) return 1;
      pipeline->done.wait(lock, [&] { return job.state == ChunkJob::kDone; });
    }
    if (!CommitJob(context, job)) return 0;
    ++pipeline->committed;
  }
  return 1;
}

// The input buffer of the next chunk, once its place in the ring is free; null on failure.
uint8_t* NextInput(CQvfContext* context) {
  CQvfWritePipeline* pipeline = context->pipeline;
  const uint64_t ring = pipeline->jobs.size();
  if (pipeline->submitted >= ring && !CommitJobs(context, pipeline->submitted - ring + 1)) return nullptr;
  ChunkJob& job = pipeline->jobs[pipeline->submitted % ring];
  if (job.input.empty()) {
    try {
      job.input.resize(size_t{context->chunkSize} + 8);
      job.output.resize(SecondCapacity(context->chunkSize));
      job.second.resize(SecondCapacity(context->chunkSize));
    } catch (...) {
      return nullptr;
    }
  }
  return job.input.data();
}

// Hands the filled chunk to the workers: 1 or 0.
int Submit(CQvfContext* context, uint32_t length) {
  CQvfWritePipeline* pipeline = context->pipeline;
  const uint64_t sequence = pipeline->submitted;
  ChunkJob& job = pipeline->jobs[sequence % pipeline->jobs.size()];
  job.number = context->nextChunk++;
  job.length = length;
  ++pipeline->submitted;
  if (pipeline->threads.empty()) {
    CompressJob(context, job);
    job.state = ChunkJob::kDone;
  } else {
    {
      std::lock_guard<std::mutex> lock(pipeline->mutex);
      job.state = ChunkJob::kQueued;
      pipeline->queue.push_back(sequence);
    }
    pipeline->work.notify_one();
  }
  // Write what is ready without waiting.
  return CommitJobs(context, pipeline->committed);
}

// Writes `length` zero bytes through QvfWriteBytes.
int WriteZeros(CQvfContext* context, uint64_t length) {
  static const std::vector<uint8_t> zeros(1 << 20, 0);
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    if (!QvfWriteBytes(context, zeros.data(), n)) return 0;
    length -= n;
  }
  return 1;
}

int WriteSfxImage(CQvfContext* context) {
  CImageDocument* document = context->document;
  FILE* stub = QvfOpenSfxStub();
  if (!stub) return Fail(L"The self-extractor stub can not be opened.");
  if (!document->sfxProperties) document->sfxProperties = QvfNewSfxProperties();
  const int64_t imageOffset = document->sfxProperties
                                  ? QvfWriteSfxHead(context->file, stub, document->sfxProperties, &context->sfxTrailer)
                                  : -1;
  std::fclose(stub);
  if (imageOffset < 0) return 0;
  context->streamBase = static_cast<uint64_t>(imageOffset);
  return 1;
}

int WriteEncryptionBlock(CQvfContext* context) {
  uint8_t block[kQvfCheckBlockSize];
  if (!QvfCipherMakeCheckBlock(&context->cipher, block)) return Fail();
  return QvfWriteBytes(context, block, sizeof block);
}

void BuildHeader(const CQvfContext* context, uint8_t header[kQvfHeaderSize]) {
  std::memset(header, 0, kQvfHeaderSize);
  std::memcpy(header, "QVF", 4);
  QvfStore32(header + 16, context->indexOffset);
  QvfStore32(header + 20, context->version);
  QvfStore32(header + 28, 1);
  QvfStore64(header + 40, context->imageSize);
  QvfStore64(header + 48, context->runningEnd);
  if (context->version == kQvfVersion100) {
    QvfStore32(header + 24, static_cast<uint32_t>(context->indexOffset + context->indexSize));
    QvfStore32(header + 36, kQvfClassicChunkSize);
  } else {
    header[56] = static_cast<uint8_t>(context->level);
    QvfStore32(header + 57, context->compressedIndexSize);
    uint8_t widths = static_cast<uint8_t>(context->codecBits);
    if (context->params.lengthBits) widths |= static_cast<uint8_t>((context->lengthBits - 10) << 3);
    header[61] = widths;
    uint32_t flags = context->chunkSize / kQvfChunkUnit;
    if (context->usedSectors) flags |= kQvfFlagUsedSectors;
    flags |= (context->crc0 + context->crc1) & kQvfFlagCheckBit;
    flags |= kQvfFlagsAlwaysSet;
    if (context->indexDeflated) flags |= kQvfFlagIndexDeflated;
    if (context->masked) flags |= kQvfFlagIndexMasked;
    if (context->scrambled) flags |= kQvfFlagIndexScrambled;
    if (context->haveLzmaHeader) {
      flags |= kQvfFlagLzmaStripped;
      std::memcpy(header + 62, context->lzmaHeader, 6);
    }
    flags |= static_cast<uint32_t>(context->variant & 3) << 23;
    QvfStore32(header + 36, flags);
    // The first chunk's offset keeps to its 24 bits: a longer one is found from the index offset and size, and
    // must not spill into the flag bits above.
    uint32_t data = context->indexAtEnd ? (context->indexOffset & 0xFFFFFF) | kQvfDataIndexAtEnd
                                        : static_cast<uint32_t>((context->indexOffset + context->indexSize) & 0xFFFFFF);
    data |= (context->crc0 - context->crc1) & kQvfDataCheckBit;
    data |= kQvfDataAlwaysSet;
    if (context->deflateOnly) data |= kQvfDataDeflateOnly;
    QvfStore32(header + 24, data);
  }
  QvfStore32(header + kQvfHeaderCrcOffset, Crc32Compute(header, kQvfHeaderCrcOffset));
}

}  // namespace

void QvfApplyOptionFlags(CQvfContext* context, CImageDocument* document) {
  CQvfWriterParams params = g_qvfWriterParams;
  const uint32_t flags = SettingsGetIntClamped(L"DmFlags", 0, 0, UINT32_MAX);
  if (flags & (1u << 5)) params.indexScramble = 1;
  if (flags & (1u << 6)) params.indexDeflate = 1;
  if (flags & (1u << 7)) params.indexAtEnd = 1;
  if (flags & (1u << 8)) params.deflateOnly = 1;
  if (flags & (3u << 9)) params.blockVariant = static_cast<int32_t>((flags >> 9) & 3);
  if (flags & (1u << 11)) params.indexMask = 1;
  if (params.indexAtEnd || params.indexDeflate) params.indexScramble = 0;
  // A deflated index is stored only at the end: the room reserved before the chunks holds the plain one.
  if (!params.indexAtEnd) params.indexDeflate = 0;
  if (document->compressionLevel == 0 || document->splitVolumes) {
    params.indexAtEnd = params.indexDeflate = params.indexScramble = 0;
    params.chunkKiB = 0;
  }
  context->params = params;
}

CQvfContext* QvfCreateWriter(CImageDocument* document, int64_t sectorCount) {
  if (!document || !document->output || sectorCount < 0) return nullptr;
  CQvfContext* context = QvfNewContext(document);
  if (!context) return nullptr;
  auto fail = [&]() -> CQvfContext* {
    QvfCloseReader(context);
    return nullptr;
  };
  context->file = document->output;
  context->naming = kQvfNamingThreeDigits;
  context->firstVolumeName = document->outputPath.c_str();
  context->selfExtracting = document->selfExtractor ? 1 : 0;
  QvfApplyOptionFlags(context, document);
  const CQvfWriterParams& params = context->params;
  const int32_t level = std::clamp(document->compressionLevel, 0, 2);
  context->level = level;
  if (document->passwordSet) {
    const size_t length = strnlen(document->password, kQvfPasswordMax);
    std::memcpy(context->password, document->password, length);
    context->passwordLength = static_cast<int32_t>(length);
  }
  context->split = document->splitVolumes && document->splitVolumeSize != 0 ? 1 : 0;

  // Geometry.
  if (document->sectorSize == 512) {
    context->sectorSize = 512;
    context->version = kQvfVersion150;
    context->chunkSize = (4u << 20) << level;
    context->lengthBits = QvfBitLength(context->chunkSize - 1);
    context->codecBits = 1;
    context->deflateOnly = params.deflateOnly;
  } else if (level != 0) {
    context->version = kQvfVersion110;
    const uint32_t kib = static_cast<uint32_t>(params.chunkKiB);
    context->chunkSize = (kib && kib % 16 == 0 && kib / 16 <= 0xFFF) ? kib * 1024 : (level == 1 ? 512u << 10 : 4u << 20);
    context->lengthBits = params.lengthBits ? params.lengthBits : QvfBitLength(context->chunkSize - 1);
    context->codecBits = params.codecBits ? params.codecBits : 1;
    context->deflateOnly = params.deflateOnly;
    if (context->deflateOnly) context->codecBits = 0;
    if (context->lengthBits < 10 || context->lengthBits > 41 || context->codecBits > 7 ||
        context->lengthBits + context->codecBits > 32)
      return fail();
  } else {
    context->version = kQvfVersion100;
    context->chunkSize = kQvfClassicChunkSize;
  }
  if (context->version != kQvfVersion100) {
    context->variant = params.blockVariant & 3;
    context->masked = params.indexMask;
    context->scrambled = params.indexScramble;
    context->indexAtEnd = params.indexAtEnd;
    context->indexDeflated = params.indexDeflate;
  }
  context->sectorsPerChunk = context->chunkSize / static_cast<uint32_t>(context->sectorSize);
  context->sectorCount = static_cast<uint64_t>(sectorCount);
  context->imageSize = context->sectorCount * static_cast<uint64_t>(context->sectorSize);
  if (context->imageSize > kQvfMaxImageBytes) return fail();
  context->chunkCount = (context->imageSize + context->chunkSize - 1) / context->chunkSize;
  const uint64_t remainder = context->imageSize % context->chunkSize;
  context->lastChunkSize = remainder ? static_cast<uint32_t>(remainder) : context->chunkSize;
  context->indexSize = QvfIndexBytes(context->version, context->chunkCount, QvfEntryBits(context));
  try {
    context->index.assign(static_cast<size_t>(context->indexSize) + 8, 0);
  } catch (...) {
    return fail();
  }

  // The blocks before the index.
  uint64_t indexOffset = kQvfHeaderSize;
  if (context->split) indexOffset += QvfSetupSplit(context);
  if (context->passwordLength > 0) {
    indexOffset += kQvfCheckBlockSize;
    if (!QvfCipherBuildTables(&context->cipher, context->password, context->passwordLength)) return fail();
  }
  if (!document->comment.empty()) {
    const size_t length = std::min<size_t>(document->comment.size(), kQvfCommentMax);
    std::vector<uint8_t> framed(static_cast<size_t>(DeflateChunkedBound(static_cast<int64_t>(length))));
    const int64_t size = DeflateCompressChunked(DeflateThreadState(),
                                                reinterpret_cast<const uint8_t*>(document->comment.data()),
                                                framed.data(), static_cast<int64_t>(length));
    if (size < 0) return fail();
    context->commentBlock.assign(12, 0);
    QvfStore32(context->commentBlock.data(), kQvfBlockComment);
    QvfStore32(context->commentBlock.data() + 4, static_cast<uint32_t>(12 + size));
    context->commentBlock.insert(context->commentBlock.end(), framed.begin(), framed.begin() + size);
    indexOffset += context->commentBlock.size();
  }
  if (context->selfExtracting) indexOffset += kSfxTrailerSize;
  if (indexOffset > UINT32_MAX) return fail();
  context->indexOffset = static_cast<uint32_t>(indexOffset);
  if (context->version == kQvfVersion100 && indexOffset + context->indexSize > UINT32_MAX) return fail();
  return context;
}

int QvfBeginWrite(CQvfContext* context) {
  if (!context || !context->file) return 0;
  CImageDocument* document = context->document;
  context->writing = 1;
  context->nextSector = 0;
  context->nextChunk = 0;
  context->crc0 = context->crc1 = 0;
  context->haveLzmaHeader = 0;
  if (context->split) {
    context->volumeSize = static_cast<uint64_t>(document->splitVolumeSize) == kQvfVolumeSizeOpen
                              ? kQvfVolumeSizeOpen
                              : std::min<uint64_t>(static_cast<uint64_t>(document->splitVolumeSize), kQvfMaxVolumeBytes);
    // A volume that ends where its file system is full must hear of it at once: no buffer may hide the write.
    if (context->volumeSize == kQvfVolumeSizeOpen) std::setvbuf(context->file, nullptr, _IONBF, 0);
  }
  if (context->selfExtracting) {
    if (!WriteSfxImage(context)) return 0;
  } else {
    context->streamBase = 0;
    if (!FileSeek(context->file, 0)) return 0;
  }
  context->runningEnd = context->streamBase;
  if (context->split) {
    context->volumeSizes[0] = context->streamBase;
    // Header and blocks stay in the first volume, before its trailer.
    const uint64_t head = context->streamBase + context->indexOffset + (context->selfExtracting ? kSfxTrailerSize : 0);
    if (context->volumeSize != kQvfVolumeSizeOpen && head >= context->volumeSize)
      return Fail(L"The volume size is too small for the head of the image.");
  }
  uint8_t header[kQvfHeaderSize] = {};
  std::memcpy(header, "QVF", 4);
  QvfStore32(header + 16, context->indexOffset);
  if (!QvfWriteBytes(context, header, sizeof header)) return 0;
  // The volume blocks are filled in when the output is finished.
  if (context->split && !WriteZeros(context, QvfVolumeBlocksLength(context->naming))) return 0;
  if (!context->commentBlock.empty() && !QvfWriteBytes(context, context->commentBlock.data(), context->commentBlock.size()))
    return 0;
  if (context->passwordLength > 0 && !WriteEncryptionBlock(context)) return 0;
  if (context->selfExtracting) {
    uint8_t trailer[kSfxTrailerSize];
    QvfMakeSfxTrailer(context->sfxTrailer, trailer);
    if (!QvfWriteBytes(context, trailer, sizeof trailer)) return 0;
  }
  if (context->runningEnd != context->streamBase + context->indexOffset) return Fail();
  if (!context->indexAtEnd && !WriteZeros(context, context->indexSize)) return 0;
  return StartPipeline(context) ? 1 : Fail();
}

int QvfWriteBytes(CQvfContext* context, const uint8_t* bytes, size_t length) {
  if (length == 0) return 1;
  if (context->split) {
    if (!QvfWriteSplit(context, bytes, length)) return 0;
  } else if (std::fwrite(bytes, 1, length, context->file) != length) {
    return 0;
  }
  if (!context->finishing) context->runningEnd += length;
  return 1;
}

size_t QvfChunkOutputCapacity(const CQvfContext* context) { return SecondCapacity(context->chunkSize); }

int64_t QvfCompressChunk(const CQvfContext* context, uint64_t chunk, const uint8_t* input, uint8_t* output,
                         size_t length, int32_t* codec, size_t* dataOffset) {
  if (!context || length > context->chunkSize) return -1;
  ChunkJob job;
  job.number = chunk;
  job.length = static_cast<uint32_t>(length);
  job.input.assign(input, input + length);
  job.input.resize(size_t{context->chunkSize} + 8);
  job.output.resize(SecondCapacity(context->chunkSize));
  job.second.resize(SecondCapacity(context->chunkSize));
  CompressJob(context, job);
  if (job.storedLength < 0) return -1;
  if (codec) *codec = job.codec;
  if (dataOffset) *dataOffset = 0;
  if (job.storedLength > 0) std::memcpy(output, job.stored, static_cast<size_t>(job.storedLength));
  return job.storedLength;
}

int QvfSetChunkLength(CQvfContext* context, uint64_t chunk, uint64_t storedLength) {
  if (chunk >= context->chunkCount) return 0;
  if (context->version == kQvfVersion100) {
    if (storedLength > 0x7FFFFF) return 0;
    uint8_t* entry = context->index.data() + chunk * 3;
    entry[0] = static_cast<uint8_t>(storedLength >> 16);
    QvfStore16(entry + 1, static_cast<uint32_t>(storedLength));
    return 1;
  }
  // A stored chunk is never shorter than six bytes: a field of 0 means a chunk of zeros.
  if (storedLength != 0 && storedLength < 6) return 0;
  const uint64_t value = storedLength ? storedLength - 5 : 0;
  if (value >> context->lengthBits) return 0;
  QvfPutIndexBits(context, chunk * QvfEntryBits(context), static_cast<uint32_t>(value), context->lengthBits, 0, chunk);
  return 1;
}

void QvfSetChunkFlags(CQvfContext* context, uint64_t chunk, int32_t codec) {
  if (context->version == kQvfVersion100 || context->codecBits == 0 || chunk >= context->chunkCount) return;
  QvfPutIndexBits(context, chunk * QvfEntryBits(context), static_cast<uint32_t>(codec), context->codecBits,
                  context->lengthBits, chunk);
}

int QvfFinishWrite(CQvfContext* context) {
  if (!context || !context->writing) return -1;
  if (context->pipeline && !CommitJobs(context, context->pipeline->submitted)) return -1;
  if (context->nextChunk != context->chunkCount) return -1;
  if (context->indexAtEnd) {
    const uint8_t* index = context->index.data();
    size_t size = static_cast<size_t>(context->indexSize);
    std::vector<uint8_t> deflated;
    if (context->indexDeflated) {
      deflated.resize(2 * size + 65536);
      const int64_t n = DeflateCompressLazy(DeflateThreadState(), index, deflated.data(), static_cast<int64_t>(size), 0);
      if (n <= 0 || n > UINT32_MAX) {
        Fail();
        return -1;
      }
      context->compressedIndexSize = static_cast<uint32_t>(n);
      index = deflated.data();
      size = static_cast<size_t>(n);
    }
    if (!QvfWriteBytes(context, index, size)) return -1;
  }
  context->finishing = 1;
  if (context->split) {
    if (!QvfFinishSplit(context)) return -1;
  } else if (context->selfExtracting) {
    uint8_t trailer[kSfxTrailerSize];
    QvfMakeSfxTrailer(context->sfxTrailer, trailer);
    if (std::fwrite(trailer, 1, sizeof trailer, context->file) != sizeof trailer) return -1;
  }
  uint8_t header[kQvfHeaderSize];
  BuildHeader(context, header);
  if (!FileWriteAt(context->file, header, static_cast<int64_t>(context->streamBase), sizeof header)) return -1;
  if (!context->indexAtEnd) {
    QvfScrambleIndex(context, context->index.data(), static_cast<size_t>(context->indexSize));
    const uint64_t at = context->streamBase + context->indexOffset;
    const size_t size = static_cast<size_t>(context->indexSize);
    const int written = context->split ? QvfWriteSplitFixed(context, at, context->index.data(), size)
                                       : (size == 0 || FileWriteAt(context->file, context->index.data(),
                                                                    static_cast<int64_t>(at), size));
    if (!written) return -1;
  }
  if (std::fflush(context->file) != 0) return -1;
  context->finished = 1;
  return 0;
}

int64_t QvfWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0 || sector < 0) return 0;
  errno = 0;
  CQvfContext* context = document->qvfWriter;
  if (!context && sector == 0) {
    const int64_t total = document->buildSectorCount ? document->buildSectorCount
                          : document->savedLimit ? document->savedLimit : document->readableLimit;
    context = QvfCreateWriter(document, total);
    if (!context) return Fail();
    if (!QvfBeginWrite(context)) {
      NoteFailure();
      QvfCloseReader(context);
      return 0;
    }
    document->qvfWriter = context;
  }
  if (!context) return Fail();
  const uint64_t size = static_cast<uint64_t>(context->sectorSize);
  const uint64_t spc = context->sectorsPerChunk;
  const auto* in = static_cast<const uint8_t*>(buffer);
  // Sectors come in order; a gap before them reads as zeros.
  if (static_cast<uint64_t>(sector) < static_cast<uint64_t>(context->nextSector) ||
      static_cast<uint64_t>(sector) + static_cast<uint64_t>(n) > context->sectorCount)
    return Fail();
  auto put = [&](const uint8_t* bytes, uint64_t count) {
    while (count > 0) {
      const uint64_t next = static_cast<uint64_t>(context->nextSector);
      const uint64_t within = next % spc;
      uint8_t* input = NextInput(context);
      if (!input) return false;
      const uint64_t take = std::min(count, spc - within);
      if (bytes) {
        std::memcpy(input + within * size, bytes, take * size);
        bytes += take * size;
      } else {
        std::memset(input + within * size, 0, take * size);
      }
      context->nextSector += static_cast<int64_t>(take);
      count -= take;
      const uint64_t done = static_cast<uint64_t>(context->nextSector);
      if (done % spc == 0 || done == context->sectorCount) {
        if (!Submit(context, QvfChunkLength(context, context->nextChunk))) return false;
      }
    }
    return true;
  };
  if (!put(nullptr, static_cast<uint64_t>(sector - context->nextSector)) || !put(in, static_cast<uint64_t>(n))) {
    NoteFailure();
    return 0;
  }
  if (static_cast<uint64_t>(context->nextSector) == context->sectorCount) {
    const int finished = QvfFinishWrite(context);
    if (finished != 0) {
      NoteFailure();
      return 0;
    }
    document->qvfWriter = nullptr;
    QvfCloseReader(context);
  }
  return n;
}

int QvfSaveImage(CImageDocument* document, int64_t sectorCount, void (*progress)(uint64_t bytes)) {
  if (!document || !document->output || sectorCount < 0 || document->sectorSize == 512) return -1;
  QvfCloseReader(document->qvfWriter);
  document->qvfWriter = nullptr;
  auto report = [&]() {
    ErrorReport(document->outputPath.c_str());
    AbortCodeRaise(kAbortWriteFailed);
    QvfCloseReader(document->qvfWriter);
    document->qvfWriter = nullptr;
    return -1;
  };
  CQvfContext* context = QvfCreateWriter(document, sectorCount);
  if (!context) {
    Fail();
    return report();
  }
  document->qvfWriter = context;
  if (!QvfBeginWrite(context)) {
    NoteFailure();
    return report();
  }
  if (sectorCount == 0) {
    if (QvfFinishWrite(context) != 0) {
      NoteFailure();
      return report();
    }
    document->qvfWriter = nullptr;
    QvfCloseReader(context);
    return 0;
  }
  constexpr int64_t kBlock = 2048;
  std::vector<uint8_t> buffer(static_cast<size_t>(kBlock) * 2048);
  for (int64_t sector = 0; sector < sectorCount;) {
    const int64_t count = std::min(kBlock, sectorCount - sector);
    // The read reports its own failure.
    if (ImageReadSectors(document, sector, buffer.data(), count) != count || AbortCodeGet() != 0) {
      QvfCloseReader(document->qvfWriter);
      document->qvfWriter = nullptr;
      return -1;
    }
    if (QvfWriteSectors(document, sector, buffer.data(), count) != count) return report();
    if (progress) progress(static_cast<uint64_t>(count) * 2048);
    sector += count;
  }
  return 0;
}

void QvfTakeSaveOptions(CImageDocument* document, const CSaveOptions* options) {
  if (!document) return;
  if (options && options->compressionLevel > 0) document->compressionLevel = options->compressionLevel - 1;
  const bool any = options && (options->passwordSet || options->splitVolumes || options->commentLength > 0);
  if (!any) {
    document->splitVolumes = 0;
    document->passwordSet = 0;
    std::memset(document->password, 0, sizeof document->password);
    document->comment.clear();
    return;
  }
  document->splitVolumes = options->splitVolumes ? 1 : 0;
  if (options->splitVolumes) document->splitVolumeSize = options->volumeSize;
  document->passwordSet = options->passwordSet ? 1 : 0;
  static_assert(sizeof document->password == sizeof options->password);
  std::memcpy(document->password, options->password, sizeof document->password);
  document->password[sizeof document->password - 1] = 0;
  const size_t length = static_cast<size_t>(std::clamp(options->commentLength, 0, kCommentMax));
  document->comment.assign(options->comment, length);
  document->selfExtractor = options->selfExtractor ? 1 : 0;
}

std::wstring QvfOutputName(const CImageDocument* document, const wchar_t* target) {
  std::wstring name = target ? target : L"";
  if (!document) return name;
  if (document->selfExtractor) {
    name = PathChangeExtension(name.c_str(), L"exe", 1).c_str();
    // An image whose only file bears the output's name would otherwise extract over itself.
    const size_t slash = name.find_last_of(L'/');
    const std::wstring leaf = slash == std::wstring::npos ? name : name.substr(slash + 1);
    const CTreeEntry* only = nullptr;
    int files = 0;
    for (const CTreeEntry* entry = document->rootFolder ? document->rootFolder->firstEntry : nullptr; entry;
         entry = entry->next) {
      if (TreeEntryIsDotName(entry)) continue;
      ++files;
      only = entry;
    }
    if (files == 1 && !TreeEntryIsFolder(only) && only->name && wcscasecmp(only->name, leaf.c_str()) == 0 &&
        name.size() >= 3)
      name = name.substr(0, name.size() - 3) + L"sfx.exe";
  }
  if (document->splitVolumes) name = QvfGetFirstVolumeName(name.c_str(), kQvfNamingThreeDigits);
  return name;
}
