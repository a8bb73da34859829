#include "builder/file_batch.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <vector>

#include "builder/build_state.h"
#include "image/document.h"
#include "image/format_row.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/textconv.h"
#include "tree/tree.h"

namespace {

// Files up to this size are read whole into a block; larger ones take the one-file road.
constexpr int64_t kSmallFileBytes = int64_t{1} << 20;
// A block: at most this many bytes and files. Two blocks are in flight, one read while the other is written.
constexpr int64_t kBlockBytes = int64_t{8} << 20;
constexpr size_t kBlockFiles = 4096;
// Files each reading thread takes at least: below that, waking threads costs more than it saves.
constexpr int64_t kFilesPerThread = 8;
// A slot's state after its read: the file held exactly the bytes the tree recorded, or it did not.
constexpr int kSizeChanged = -1;

int64_t PaddedBytes(int64_t size) { return (size + 2047) / 2048 * 2048; }

// The two block buffers, kept for the whole build: the small files between two large ones are written by a call
// of their own, and fresh buffers for each would cost their pages again every time.
struct BlockBuffers {
  std::unique_ptr<uint8_t[]> halves[2];
  int64_t sizes[2] = {0, 0};

  uint8_t* Get(int half, int64_t bytes) {
    if (sizes[half] < bytes) {
      halves[half].reset(new (std::nothrow) uint8_t[static_cast<size_t>(kBlockBytes)]);
      sizes[half] = halves[half] ? kBlockBytes : 0;
    }
    return halves[half].get();
  }
};

struct Slot {
  const CTreeEntry* entry;
  std::unique_ptr<char, MemFreeDeleter> path;
  int64_t at;  // offset of the file's sectors in the block
  int error;   // 0, an errno value, or kSizeChanged
};

// Reads the file of `slot` into its place in `block`, zeroing the rest of its last sector. One byte more than
// the recorded size is asked for, so that a file that grew is told from one that did not in the same request.
void ReadSlot(Slot& slot, uint8_t* block) {
  const int64_t size = slot.entry->size;
  const int64_t padded = PaddedBytes(size);
  uint8_t* place = block + slot.at;
  // Non-blocking, so that a pipe put in the file's place since the scan cannot stall the build.
  const int fd = open(slot.path.get(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    slot.error = errno != 0 ? errno : EIO;
    return;
  }
  uint8_t spare = 0;
  int64_t got = 0;
  for (;;) {
    iovec parts[2];
    int count = 0;
    if (got < padded) parts[count++] = {place + got, static_cast<size_t>(padded - got)};
    parts[count++] = {&spare, 1};
    const int64_t asked = padded - std::min(got, padded) + 1;
    const ssize_t n = readv(fd, parts, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      slot.error = errno != 0 ? errno : EIO;
      break;
    }
    got += n;
    // A regular file answers short only at its end.
    if (n == 0 || n < asked || got > size) break;
  }
  close(fd);
  if (slot.error != 0) return;
  if (got != size) {
    slot.error = kSizeChanged;
    return;
  }
  std::memset(place + size, 0, static_cast<size_t>(padded - size));
}

// Writes `bytes` of `buffer` at `offset` of `fd`; 0, or the errno value of the failure.
int WriteAll(int fd, const uint8_t* buffer, int64_t bytes, int64_t offset) {
  int64_t done = 0;
  while (done < bytes) {
    const ssize_t n = pwrite(fd, buffer + done, static_cast<size_t>(bytes - done), offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 && errno != 0 ? errno : EIO;
    done += n;
  }
  return 0;
}

void ReportWriteFailure(CImageDocument* document, int error) {
  LastErrorSetText(nullptr);
  errno = error;
  ErrorReport(document->outputPath.c_str());
  AbortCodeSet(kAbortWriteFailed);
}

void ReportFileFailure(const Slot& slot) {
  const wchar_t* path = slot.entry->sourcePath;
  if (slot.error == kSizeChanged) {
    LastErrorSetText(L"File size changed.");
    ErrorReport(path);
    AbortCodeRaise(kAbortReadFailed);
    return;
  }
  LastErrorSetText(nullptr);
  errno = slot.error;
  ErrorReport(path);
  AbortCodeRaise(kAbortLocalFile);
}

}  // namespace

int IsoSmallFileBatchable(CImageDocument* document, const CTreeEntry* entry) {
  if (!document || !entry || !entry->sourcePath || !*entry->sourcePath) return 0;
  if (entry->size <= 0 || entry->size > kSmallFileBytes) return 0;
  if (entry->inlineData && entry->inlineSize >= entry->size) return 0;
  if (IsoBuildsInMemory(document) || !document->output || document->outputType != 0 || document->sectorSize == 512)
    return 0;
  const CImageFormatInfo* row = ImageFormatRow(document, document->outputType);
  return row && row->write == IsoWriteSectors ? 1 : 0;
}

int IsoWriteSmallFiles(CImageDocument* document, CProgressCallbacks* progress, CTreeEntry* const* entries,
                       size_t count) {
  if (!document || count == 0) return 0;
  if (AbortCodeGet() != kAbortNone) return -1;
  ErrorStateClear();
  // Sectors written before go out first: the blocks are written past the stream's buffer.
  if (std::fflush(document->output) != 0) {
    ReportWriteFailure(document, errno);
    return -1;
  }
  const int out = fileno(document->output);
  CIsoBuildState* state = IsoBuildState(document);

  BlockBuffers& buffers = IsoBuildPart<BlockBuffers>(document, kBuildPartFileBatch);
  std::future<int> writing;
  const auto finishWrite = [&]() {
    const int error = writing.valid() ? writing.get() : 0;
    if (error != 0) ReportWriteFailure(document, error);
    return error == 0;
  };
  std::vector<Slot> slots;
  int half = 0;
  for (size_t next = 0; next < count; half ^= 1) {
    // The files of the next block, each at its place.
    slots.clear();
    int64_t bytes = 0;
    while (next < count && slots.size() < kBlockFiles) {
      const CTreeEntry* entry = entries[next];
      const int64_t padded = PaddedBytes(entry->size);
      if (!slots.empty() && bytes + padded > kBlockBytes) break;
      std::unique_ptr<char, MemFreeDeleter> path(TextWideToMultiByteDup(entry->sourcePath));
      if (!path) {
        finishWrite();
        LastErrorSetText(L"Open file failed.");
        ErrorReport(entry->sourcePath);
        AbortCodeRaise(kAbortLocalFile);
        return -1;
      }
      slots.push_back({entry, std::move(path), bytes, 0});
      bytes += padded;
      ++next;
    }
    uint8_t* block = buffers.Get(half, bytes);
    if (!block) {
      finishWrite();
      AbortCodeRaise(kAbortNoMemory);
      return -1;
    }
    ParallelFor(static_cast<int64_t>(slots.size()), kFilesPerThread, [&](int64_t begin, int64_t end) {
      for (int64_t i = begin; i < end; ++i) ReadSlot(slots[static_cast<size_t>(i)], block);
    });
    const int64_t offset = state->writePosition * 2048;
    if (!finishWrite()) return -1;
    const auto failed = std::find_if(slots.begin(), slots.end(), [](const Slot& slot) { return slot.error != 0; });
    if (failed != slots.end()) {
      // What lies before the file that failed is written, as it would have been one file at a time.
      const int error = WriteAll(out, block, failed->at, offset);
      if (error != 0) {
        ReportWriteFailure(document, error);
        return -1;
      }
      state->writePosition += failed->at / 2048;
      IsoProgressAdd(progress, failed->at);
      ReportFileFailure(*failed);
      return -1;
    }
    writing =
        std::async(std::launch::async, [out, block, bytes, offset] { return WriteAll(out, block, bytes, offset); });
    state->writePosition += bytes / 2048;
    IsoProgressAdd(progress, bytes);
    if (AbortCodeGet() != kAbortNone) break;
  }
  if (!finishWrite()) return -1;
  return AbortCodeGet() == kAbortNone ? 0 : -1;
}
