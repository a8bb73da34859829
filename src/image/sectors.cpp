#include "image/sectors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "image/cdsector.h"
#include "image/document.h"
#include "image/format_table.h"
#include "runtime/error.h"
#include "runtime/file.h"

namespace {

// Raw sectors are read in groups of this many: about 1.2 MB per read.
constexpr int64_t kRawGroup = 512;

bool IsScannedType(int32_t type) { return type >= kImageTypeScannedFirst && type <= kImageTypeScannedLast; }

}  // namespace

int64_t IsoReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
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
  if (n > 0 && !FileReadAt(document->input, out, position, static_cast<size_t>(n) * 2048)) return 0;
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
    if (document->edcCheck) ImageCheckEdcRange(document, raw, first, count);
    CdExtractUserData(raw, out + done * 2048, count, size, offset);
    done += count;
  }
  return n;
}

namespace {

// Sector number put into the headers of raw sectors written; restarts with every write at sector 0.
int64_t g_writeSectorCounter = 0;

}  // namespace

int64_t IsoWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n) {
  if (!document || !document->output || !buffer || n <= 0 || sector < 0) return 0;
  const int64_t size = document->sectorSize == 512 ? 512 : 2048;
  return FileWriteAt(document->output, buffer, sector * size, static_cast<size_t>(n * size)) ? n : 0;
}

int64_t RawWriteSectors(CImageDocument* document, int64_t sector, const void* buffer, int64_t n) {
  if (!document || !document->output || !buffer || n <= 0 || sector < 0) return 0;
  if (sector == 0) g_writeSectorCounter = 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  const int64_t group = std::min(n, kRawGroup);
  if (document->rawBuffer.size() < static_cast<size_t>(group * 2352)) document->rawBuffer.resize(group * 2352);
  uint8_t* raw = document->rawBuffer.data();
  for (int64_t done = 0; done < n;) {
    int64_t count = std::min(n - done, kRawGroup);
    for (int64_t i = 0; i < count; ++i) {
      const uint8_t* data = in + (done + i) * 2048;
      if (document->rawMode2)
        CdEncodeMode2Sector(g_writeSectorCounter++, data, raw + i * 2352);
      else
        CdEncodeMode1Sector(g_writeSectorCounter++, data, raw + i * 2352);
    }
    if (!FileWriteAt(document->output, raw, (sector + done) * 2352, static_cast<size_t>(count * 2352))) return 0;
    done += count;
  }
  return n;
}

int64_t ImageReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !buffer || n <= 0) return 0;
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
    if (const CImageFormatInfo* row = ImageFormatGet(document->inputType))
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
  const CImageFormatInfo* row = ImageFormatGet(document->outputType);
  int64_t written = 0;
  if (row && row->write && document->outputType <= 2) written = row->write(document, sector, buffer, n) == n ? n : 0;
  if (written < n) {
    ErrorReport(document->outputPath.c_str());
    AbortCodeSet(kAbortWriteFailed);
  }
  return written;
}

int64_t ImageCopyUserDataToFd(CImageDocument* document, int64_t sector, int64_t bytes, int fd) {
  if (!document || !document->input || bytes <= 0 || sector < 0 || fd < 0) return 0;
  const CImageFormatInfo* row = ImageFormatGet(document->inputType);
  if (!row || row->read != IsoReadSectors || document->headerSize < 0 || document->edcCheck) return 0;
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  if (limit <= 0 || sector + (bytes + 2047) / 2048 > limit) return 0;
  loff_t from = document->headerSize + sector * 2048;
  int64_t done = 0;
  while (done < bytes) {
    ssize_t copied = copy_file_range(fileno(document->input), &from, fd, nullptr,
                                     static_cast<size_t>(bytes - done), 0);
    if (copied <= 0) break;
    done += copied;
  }
  return done;
}
