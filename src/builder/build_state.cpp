#include "builder/build_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "builder/builder_map.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"
#include "runtime/ui.h"
#include "tree/tree.h"

struct CIsoBuild {
  CIsoBuildState state{};
  // Source file systems from which the kernel refused to copy into the output: asked once each.
  std::vector<dev_t> copyRangeRefused;
  CImageDocument* document = nullptr;
  void* parts[kBuildPartCount] = {};
  void (*drops[kBuildPartCount])(void*) = {};
};

namespace {

// The document's build record, made on first use when no build has begun (steps such as adding files use
// parts of it outside a build).
CIsoBuild& Running(CImageDocument* document) {
  if (!document->build) {
    document->build = new CIsoBuild();
    document->build->document = document;
  }
  return *document->build;
}

// File data moves in pieces of this many bytes: large enough that the system calls do not dominate, small enough
// to stay in the cache.
constexpr int64_t kCopyPiece = int64_t{1} << 20;

}  // namespace

int IsoReadEntrySourceData(CImageDocument* document, const CTreeEntry* entry, int64_t sourceLba, int64_t offset,
                        int64_t bytes, uint8_t* buffer) {
  if (!entry || !entry->extents || entry->extentCount <= 0) {
    const int64_t sectors = (bytes + 2047) / 2048;
    return ImageReadSectors(document, sourceLba + offset / 2048, buffer, sectors) == sectors;
  }
  // Walk the extents to the one holding `offset`; every extent but the last holds whole sectors.
  int64_t base = 0;
  int64_t done = 0;
  for (int32_t i = 0; i < entry->extentCount && done < bytes; ++i) {
    const CTreeExtent& extent = entry->extents[i];
    const int64_t length = std::max<int64_t>(extent.length, 0);
    const int64_t start = offset + done;
    if (start >= base + length) {
      base += length;
      continue;
    }
    const int64_t within = start - base;
    const int64_t take = std::min(bytes - done, length - within);
    const int64_t sectors = (take + (within % 2048) + 2047) / 2048;
    if (within % 2048 == 0 && take % 2048 == 0) {
      if (ImageReadSectors(document, extent.lba + within / 2048, buffer + done, sectors) != sectors) return 0;
    } else {
      std::vector<uint8_t> piece(static_cast<size_t>(sectors * 2048));
      if (ImageReadSectors(document, extent.lba + within / 2048, piece.data(), sectors) != sectors) return 0;
      std::memcpy(buffer + done, piece.data() + within % 2048, static_cast<size_t>(take));
    }
    done += take;
    base += length;
  }
  if (done < bytes) {
    LastErrorSetText(L"The image file ends before the data it holds.");
    return 0;
  }
  return 1;
}

namespace {

// Records a file's data in the document's sector map instead of writing it: local files and source sectors by
// reference, data held in memory as generated sectors.
int QueueFileData(CImageDocument* document, CProgressCallbacks* progress, const CTreeEntry* entry,
                  const uint8_t* data, int64_t sourceLba, const wchar_t* sourcePath, int64_t size) {
  CImageBuilder* builder = document->builder;
  const int64_t sectors = (size + 2047) / 2048;
  int64_t queued = -1;
  if (data) {
    std::vector<uint8_t> padded(static_cast<size_t>(sectors * 2048), 0);
    std::memcpy(padded.data(), data, static_cast<size_t>(size));
    queued = ImageBuilderQueueGenerated(builder, padded.data(), sectors * 2048);
  } else if (sourcePath && *sourcePath) {
    queued = ImageBuilderQueueData(builder, sourcePath, 0, 0, size, 1);
  } else if (!entry || !entry->extents || entry->extentCount <= 0) {
    queued = ImageBuilderQueueFill(builder, sourceLba, sectors, 1);
  } else {
    // Every extent but the last holds whole sectors.
    queued = 0;
    int64_t left = size;
    for (int32_t i = 0; i < entry->extentCount && left > 0 && queued >= 0; ++i) {
      const int64_t bytes = std::min(std::max<int64_t>(entry->extents[i].length, 0), left);
      const int64_t n = (bytes + 2047) / 2048;
      const int64_t got = ImageBuilderQueueFill(builder, entry->extents[i].lba, n, bytes == left);
      queued = got < 0 ? -1 : queued + got;
      left -= bytes;
    }
    if (left > 0) queued = -1;
  }
  if (queued != sectors) {
    AbortCodeRaise(kAbortNoMemory);
    return -1;
  }
  ImageSetSectorOwner(document, Running(document).state.writePosition, sectors, const_cast<CTreeEntry*>(entry));
  Running(document).state.writePosition += sectors;
  IsoProgressAdd(progress, sectors * 2048);
  return 0;
}

// A plain ISO output takes a local file's bytes straight from the kernel, without passing them through our
// buffers. 1 copied whole (the last sector padded), -1 the file ended early ("File size changed."), 0 this road
// is not open: the caller copies the file itself.
int CopyLocalFileInKernel(CImageDocument* document, int fd, dev_t source, int64_t size) {
  if (document->outputType != 0 || !document->output || document->sectorSize == 512) return 0;
  std::vector<dev_t>& refused = Running(document).copyRangeRefused;
  if (std::find(refused.begin(), refused.end(), source) != refused.end()) return 0;
  if (std::fflush(document->output) != 0) return 0;
  const int out = fileno(document->output);
  loff_t in = 0;
  loff_t at = static_cast<loff_t>(Running(document).state.writePosition) * 2048;
  // The file's holes that fall past the image's end stay holes of the image: nothing is written for them.
  struct stat info;
  off_t outputEnd = fstat(out, &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : -1;
  while (in < size) {
    size_t want = static_cast<size_t>(size - in);
    if (outputEnd >= 0 && at >= outputEnd) {
      off_t data = lseek(fd, in, SEEK_DATA);
      if (data < 0 && errno == ENXIO) data = size;
      if (data < 0) {
        outputEnd = -1;
      } else if (data > in) {
        const loff_t skip = std::min<loff_t>(data, size) - in;
        in += skip;
        at += skip;
        continue;
      } else {
        const off_t hole = lseek(fd, in, SEEK_HOLE);
        if (hole > in) want = static_cast<size_t>(std::min<loff_t>(hole, size) - in);
      }
    }
    const ssize_t n = copy_file_range(fd, &in, out, &at, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // Not supported between these files: the ordinary copy does the whole file. Nothing was copied when it
      // refused at the start, and then it refuses every file of that file system.
      if (in == 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS))
        refused.push_back(source);
      return 0;
    }
    if (n == 0) {
      LastErrorSetText(L"File size changed.");
      return -1;
    }
  }
  static const uint8_t kZeros[2048] = {};
  const int64_t tail = (size + 2047) / 2048 * 2048 - size;
  if (tail > 0 && pwrite(out, kZeros, static_cast<size_t>(tail), at) != tail) {
    LastErrorSetCode(errno);
    return -1;
  }
  // A file that ends in a hole still takes its room in the image.
  if (tail == 0 && outputEnd >= 0 && fstat(out, &info) == 0 && info.st_size < at && ftruncate(out, at) != 0) {
    LastErrorSetCode(errno);
    return -1;
  }
  return 1;
}

}  // namespace

int IsoBuildsInMemory(const CImageDocument* document) {
  return document && document->builder && !document->output ? 1 : 0;
}

CIsoBuildState* IsoBuildState(CImageDocument* document) { return &Running(document).state; }

void IsoBuildFree(CIsoBuild* build) {
  if (!build) return;
  for (int part = 0; part < kBuildPartCount; ++part)
    if (build->parts[part]) build->drops[part](build->parts[part]);
  delete build;
}

void IsoBuildBegin(CImageDocument* document) {
  if (!document) return;
  IsoBuildFree(document->build);
  document->build = new CIsoBuild();
  document->build->document = document;
}

void IsoBuildEnd(CImageDocument* document) {
  if (!document) return;
  IsoBuildFree(document->build);
  document->build = nullptr;
}

void* IsoBuildPartGet(CImageDocument* document, int part, void* (*make)(), void (*drop)(void*)) {
  CIsoBuild& build = Running(document);
  if (!build.parts[part]) {
    build.parts[part] = make();
    build.drops[part] = drop;
  }
  return build.parts[part];
}

bool IsoAtPlannedPosition(CImageDocument* document, int64_t lba) {
  if (Running(document).state.writePosition == lba) return true;
  LastErrorSetText(L"The image layout and the data written disagree.");
  AbortCodeSet(kAbortSaveFailed);
  return false;
}

void IsoProgressAdd(CProgressCallbacks*, int64_t bytes) {
  if (bytes > 0) UiProgressAdd(static_cast<uint64_t>(bytes));
}

int IsoWriteFileData(CImageDocument* document, CProgressCallbacks* progress, CTreeEntry* entry, const uint8_t* data,
                     int64_t sourceLba, const wchar_t* sourcePath, int64_t size) {
  if (!document || size < 0) return -1;
  if (AbortCodeGet() != kAbortNone) return -1;
  ErrorStateClear();
  if (size == 0) return 0;
  if (IsoBuildsInMemory(document)) return QueueFileData(document, progress, entry, data, sourceLba, sourcePath, size);

  int fd = -1;
  dev_t source = 0;
  if (!data && sourcePath && *sourcePath) {
    char* narrow = TextWideToMultiByteDup(sourcePath);
    // Non-blocking, so that a pipe put in the file's place since the scan cannot stall the build.
    fd = narrow ? open(narrow, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    MemFree(narrow);
    if (fd < 0) {
      ErrorReport(sourcePath);
      AbortCodeRaise(kAbortLocalFile);
      return -1;
    }
    struct stat status;
    const bool same = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == size;
    source = status.st_dev;
    if (!same) {
      close(fd);
      LastErrorSetText(L"File size changed.");
      ErrorReport(sourcePath);
      AbortCodeRaise(kAbortReadFailed);
      return -1;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }

  int64_t offset = 0;
  if (fd >= 0) {
    const int copied = CopyLocalFileInKernel(document, fd, source, size);
    if (copied != 0) {
      close(fd);
      if (copied < 0) {
        ErrorReport(sourcePath);
        AbortCodeRaise(kAbortReadFailed);
        return -1;
      }
      const int64_t sectors = (size + 2047) / 2048;
      Running(document).state.writePosition += sectors;
      IsoProgressAdd(progress, sectors * 2048);
      return 0;
    }
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(kCopyPiece, (size + 2047) / 2048 * 2048)));
  int result = 0;
  while (offset < size) {
    const int64_t piece = std::min<int64_t>(static_cast<int64_t>(buffer.size()), size - offset);
    const int64_t sectors = (piece + 2047) / 2048;
    // The tail of the last sector is zero.
    std::memset(buffer.data() + piece, 0, static_cast<size_t>(sectors * 2048 - piece));
    int ok = 1;
    if (data) {
      std::memcpy(buffer.data(), data + offset, static_cast<size_t>(piece));
    } else if (fd >= 0) {
      int64_t got = 0;
      while (got < piece) {
        const ssize_t n = pread(fd, buffer.data() + got, static_cast<size_t>(piece - got), offset + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
      }
      if (got < piece) {
        LastErrorSetText(L"File size changed.");
        ErrorReport(sourcePath);
        AbortCodeRaise(kAbortReadFailed);
        ok = 0;
      }
    } else {
      ok = IsoReadEntrySourceData(document, entry, sourceLba, offset, piece, buffer.data());
    }
    if (ok && ImageWriteSectors(document, Running(document).state.writePosition, buffer.data(), sectors) != sectors)
      ok = 0;
    if (!ok) {
      if (AbortCodeGet() == kAbortNone) AbortCodeSet(kAbortSaveFailed);
      result = -1;
      break;
    }
    Running(document).state.writePosition += sectors;
    offset += piece;
    IsoProgressAdd(progress, sectors * 2048);
  }
  if (fd >= 0) close(fd);
  return result;
}
