// The burn buffer: a ring of sectors between the reader thread, which loads them from the source of the burn,
// and the writer on the job's thread, which takes them out in runs and sends them to the recorder. The reader is
// the only second thread of the program; it reaches the image only through the CBurnSource the command layer
// hands in, so that the recording layer never needs to know how an image is stored.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct CBurnJob;
struct CImageDocument;

// Where the sectors of a burn come from. Each read fills `n` sectors at `lba` and returns the sectors delivered;
// a short count is a failed read. Reads run on the reader thread and must not print.
struct CBurnSource {
  void* context = nullptr;
  int64_t (*readUser)(void* context, int64_t lba, uint8_t* out, int64_t n) = nullptr;  // 2048-byte sectors
  int64_t (*readRaw)(void* context, int64_t lba, uint8_t* out, int64_t n) = nullptr;   // 2352-byte sectors
  int64_t dataEnd = 0;  // sectors of user data in the image (2048-byte burns)
  // The name of the image's item at a sector, for the progress title (null: none); called on the job's thread.
  const wchar_t* (*itemAt)(void* context, int64_t lba) = nullptr;
  // Says which sectors could not be read, in the source's own words (null: the image's read failed); called on the
  // job's thread.
  void (*reportFailure)(void* context, CBurnJob* job, int64_t first, int64_t count) = nullptr;
  std::shared_ptr<void> owner;  // keeps the context alive as long as the run holds the source
};

struct CBurnBuffer {
  int32_t readIndex = 0;
  int32_t writeIndex = 0;
  std::vector<uint8_t> ring;
  int32_t currentTrack = 0;
  uint64_t nextSourceSector = 0;
  int32_t sectorSize = 0;
  int32_t capacity = 0;
  int32_t fillCount = 0;
  std::mutex mutex;                // guards the indexes, the fill count and the flags below
  std::condition_variable room;    // the writer freed room, or the buffer is stopping
  std::condition_variable filled;  // the reader added sectors or ended
  int32_t readerFinished = 0;
  int32_t stop = 0;
  int32_t readerRunning = 0;
  int32_t starting = 0;
  int64_t readerWants = 0;    // free sectors the waiting reader needs before it fills again
  int32_t readFailed = 0;     // a source read came back short; the reader has ended
  int64_t failedSector = -1;  // the first sector of that read
  int64_t failedCount = 0;    // and its sectors
  CImageDocument* document = nullptr;
  CBurnJob* job = nullptr;
  CBurnSource source;
  int64_t appendStart = 0;
  std::thread reader;

  CBurnBuffer() = default;
  CBurnBuffer(const CBurnBuffer&) = delete;
  CBurnBuffer& operator=(const CBurnBuffer&) = delete;
  ~CBurnBuffer();  // stops the reader and waits for it to end
};

// The ring size in sectors for a "BurnBuffer" setting in MB (8..128).
int32_t BurnBufferCapacityOf(int32_t megabytes);
// Makes the buffer, starts the reader and waits until the ring is full or the source is exhausted: the buffer,
// or null after its message.
std::unique_ptr<CBurnBuffer> BurnBufferCreate(CBurnJob* job, CImageDocument* document, int32_t sectorSize,
                                              const CBurnSource& source, int64_t appendStart);
// Stops the reader, waits for it to end and frees the buffer. Null is accepted.
void BurnBufferDestroy(std::unique_ptr<CBurnBuffer> buffer);
int32_t BurnBufferFreeCount(CBurnBuffer* buffer);
// n consecutive sectors; null when the reader has ended and fewer than n remain. With advance 0 (a peek) the
// sectors stay in the ring and the result points into it, or into `scratch` when the run wraps; drop them with
// BurnBufferAdvance once they are used. With advance the sectors leave the ring at once, so they are always
// copied into `scratch` (n sectors): the reader may refill their slots straight away.
const uint8_t* BurnBufferTake(CBurnBuffer* buffer, uint8_t* scratch, int32_t n, int advance);
// Drops n sectors that a peek returned.
void BurnBufferAdvance(CBurnBuffer* buffer, int32_t n);
// Loads n sectors from the buffer's source at its next source sector into `out` and advances that sector: 1, or
// 0 when the read failed. The reader thread fills the ring with it; a buffer without a ring or thread serves a
// verification as a plain loader of source sectors.
int BurnBufferLoad(CBurnBuffer* buffer, uint8_t* out, int32_t n);
