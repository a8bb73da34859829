#include "builder/builder_map.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <new>

#include "image/cdsector.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kDataStep = 1 << 20;
constexpr int64_t kMapStep = 65536;
// Offsets and map indexes travel in 32-bit words: an 8 TiB image has 2^32 sectors.
constexpr int64_t kDataLimit = int64_t{1} << 32;
constexpr int64_t kMapLimit = int64_t{1} << 32;
constexpr int32_t kOwnerGranularity = 128;
// Raw reads pass through the work buffer this many sectors at a time.
constexpr int64_t kWorkSectors = 256;
constexpr int64_t kPiece = kCdUserDataSize;

// A file reference, stored field by field at an 8-byte-aligned offset of the data area:
//   0 word        0 when a path follows, else the caller's value
//   4 path chars  without the terminator
//   8 position    file offset of the first byte of the run (64-bit)
//  16 first entry map index of the run's first entry (64-bit)
//  24 entries     entries of the run
//  28 file        offset of the reference that names the file (its own offset, or the run that began the file)
//  32 path        path chars + 1 wide characters
constexpr int64_t kRefHeader = 32;

struct FileRef {
  int64_t offset = -1;
  uint32_t word = 0;
  uint32_t pathChars = 0;
  int64_t position = 0;
  int64_t firstEntry = 0;
  uint32_t entries = 0;
  uint32_t file = 0;
  const wchar_t* path = nullptr;  // points into the data area; valid until it grows
};

template <typename T>
T Load(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <typename T>
void Store(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

// Reads the reference at `offset`, checking that it and its path lie inside the used data area.
bool LoadRef(const CImageBuilder* builder, int64_t offset, FileRef* ref) {
  if (offset < 0 || offset % 8 != 0 || offset > builder->dataUsed - kRefHeader) return false;
  const uint8_t* at = builder->data + offset;
  ref->offset = offset;
  ref->word = Load<uint32_t>(at);
  ref->pathChars = Load<uint32_t>(at + 4);
  ref->position = Load<int64_t>(at + 8);
  ref->firstEntry = Load<int64_t>(at + 16);
  ref->entries = Load<uint32_t>(at + 24);
  ref->file = Load<uint32_t>(at + 28);
  ref->path = nullptr;
  if (ref->position < 0 || ref->firstEntry < 0 || ref->entries == 0) return false;
  if (ref->pathChars > 0) {
    const int64_t room = (builder->dataUsed - offset - kRefHeader) / static_cast<int64_t>(sizeof(wchar_t));
    if (int64_t{ref->pathChars} >= room) return false;
    ref->path = reinterpret_cast<const wchar_t*>(at + kRefHeader);
    if (ref->path[ref->pathChars] != 0) return false;
  }
  return true;
}

bool Grow(void** block, int64_t* capacity, int64_t used, int64_t needed, int64_t step, int64_t unit, int64_t limit) {
  if (needed <= *capacity) return true;
  if (needed > limit) return false;
  int64_t grown = std::max({needed, *capacity + step, *capacity * 2});
  grown = std::min(grown, limit);
  void* block2 = MemRealloc(*block, static_cast<size_t>(used * unit), static_cast<size_t>(grown * unit));
  if (!block2) return false;
  *block = block2;
  *capacity = grown;
  return true;
}

bool GrowData(CImageBuilder* builder, int64_t more) {
  if (more < 0 || more > kDataLimit - builder->dataUsed) return false;
  void* block = builder->data;
  const bool ok = Grow(&block, &builder->dataCapacity, builder->dataUsed, builder->dataUsed + more,
                       std::max(more, kDataStep), 1, kDataLimit);
  builder->data = static_cast<uint8_t*>(block);
  return ok;
}

bool GrowMap(CImageBuilder* builder, int64_t more) {
  if (more < 0 || more > kMapLimit - builder->mapUsed) return false;
  void* block = builder->map;
  const bool ok = Grow(&block, &builder->mapCapacity, builder->mapUsed, builder->mapUsed + more, kMapStep,
                       static_cast<int64_t>(sizeof(CBuiltSector)), kMapLimit);
  builder->map = static_cast<CBuiltSector*>(block);
  return ok;
}

// Appends a file reference for a run of `entries` entries starting at the map's end: its offset, or -1.
int64_t AppendRef(CImageBuilder* builder, uint32_t word, const wchar_t* path, size_t pathChars, int64_t position,
                  int64_t entries, int64_t file) {
  const int64_t pathBytes = pathChars ? static_cast<int64_t>((pathChars + 1) * sizeof(wchar_t)) : 0;
  const int64_t bytes = (kRefHeader + pathBytes + 7) / 8 * 8;
  const int64_t aligned = (builder->dataUsed + 7) / 8 * 8;
  if (pathChars > UINT32_MAX / sizeof(wchar_t) || entries > UINT32_MAX) return -1;
  if (!GrowData(builder, aligned - builder->dataUsed + bytes)) return -1;
  std::memset(builder->data + builder->dataUsed, 0, static_cast<size_t>(aligned - builder->dataUsed + bytes));
  uint8_t* at = builder->data + aligned;
  Store<uint32_t>(at, word);
  Store<uint32_t>(at + 4, static_cast<uint32_t>(pathChars));
  Store<int64_t>(at + 8, position);
  Store<int64_t>(at + 16, builder->mapUsed);
  Store<uint32_t>(at + 24, static_cast<uint32_t>(entries));
  Store<uint32_t>(at + 28, static_cast<uint32_t>(file < 0 ? aligned : file));
  if (pathChars) std::memcpy(at + kRefHeader, path, pathChars * sizeof(wchar_t));
  builder->dataUsed = aligned + bytes;
  return aligned;
}

// Writes `entries` entries for `bytes` bytes at the map's end (room reserved), the first of `firstKind` and the
// rest of kind 3: 2048 bytes each, the rest in the last, which carries the end-of-file mark when `last` is set.
void AppendFileEntries(CImageBuilder* builder, uint32_t firstKind, uint32_t value, int64_t entries, int64_t bytes,
                       int last) {
  CBuiltSector* out = builder->map + builder->mapUsed;
  for (int64_t i = 0; i < entries; ++i) {
    const uint32_t kind = i == 0 ? firstKind : kBuiltFileNext;
    const auto count = static_cast<uint32_t>(std::min(kPiece, bytes - i * kPiece));
    out[i].flags = (kind << kBuiltKindShift) | count;
    out[i].value = value;
  }
  if (last) out[entries - 1].flags |= kBuiltLastSector;
  builder->mapUsed += entries;
}

// A raw Mode 2 Form 1 sector carrying output address `number`; the last sector of a file gets the end-of-file
// sub-mode bit, which changes the bytes the EDC and the parity cover.
void EncodeForm1(int64_t number, const uint8_t* data, bool endOfFile, uint8_t* out) {
  CdEncodeMode2Sector(number, data, out);
  if (!endOfFile) return;
  out[18] |= kCdSubModeEndOfFile;
  out[22] |= kCdSubModeEndOfFile;
  const uint32_t edc = CdComputeEdc(out + 16, 2072 - 16);
  for (int i = 0; i < 4; ++i) out[2072 + i] = static_cast<uint8_t>(edc >> (8 * i));
  uint8_t header[4];
  std::memcpy(header, out + 12, 4);
  std::memset(out + 12, 0, 4);
  CdComputeEccP(out);
  CdComputeEccQ(out);
  std::memcpy(out + 12, header, 4);
}

// One call of ImageReadBuiltSectors.
struct BuiltRead {
  CImageDocument* document;
  CImageBuilder* builder;
  int64_t sector;        // first sector asked for
  int64_t first;         // its map index
  uint8_t* out;
  int64_t size;          // bytes per delivered sector
  bool raw;
  bool burn;

  uint8_t* SectorAt(int64_t k) const { return out + k * size; }
  // Raw documents: the `count` pieces in the work buffer become Form 1 sectors k, k + 1, ...
  void Encode(int64_t k, int64_t count) const {
    ParallelFor(count, 32, [&](int64_t begin, int64_t end) {
      for (int64_t i = begin; i < end; ++i)
        EncodeForm1(sector + k + i, builder->work + i * kPiece, (Entry(k + i).flags & kBuiltLastSector) != 0,
                    SectorAt(k + i));
    });
  }
  bool InMap(int64_t k) const { return first + k >= 0 && first + k < builder->mapUsed; }
  const CBuiltSector& Entry(int64_t k) const { return builder->map[first + k]; }

  // A failure over sectors [from, from + count): during a burn they read as zeros and the read goes on (true);
  // otherwise the abort code is set, the failure reported when `path` is given, and the read ends (false).
  bool Fail(int64_t from, int64_t count, int32_t abortCode, const wchar_t* path) {
    if (burn) {
      std::memset(SectorAt(from), 0, static_cast<size_t>(count * size));
      if (!builder->readErrorShown) {
        builder->readErrorShown = 1;
        MessageShow(L"Error reading image data.");
      }
      LastErrorSetText(nullptr);
      return true;
    }
    if (path) ErrorReport(path);
    AbortCodeSet(abortCode);
    return false;
  }

  bool Generated(int64_t k) {
    const CBuiltSector& entry = Entry(k);
    const int64_t offset = entry.value;
    if (BuiltSectorBytes(entry) != size || offset > builder->dataUsed - size)
      return Fail(k, 1, kAbortReadFailed, nullptr);
    std::memcpy(SectorAt(k), builder->data + offset, static_cast<size_t>(size));
    return true;
  }

  // Source sectors in runs of consecutive numbers, each run in one read of the source image. The limit of the
  // image being built does not apply to its source, and the read must not come back here.
  int64_t SourceRun(int64_t k, int64_t n, bool* ok) {
    int64_t run = 1;
    const int64_t cap = raw ? kWorkSectors : n - k;
    while (run < cap && k + run < n && InMap(k + run) && BuiltSectorKind(Entry(k + run)) == kBuiltSourceSector &&
           int64_t{Entry(k + run).value} == int64_t{Entry(k).value} + run)
      ++run;
    uint8_t* into = raw ? builder->work : SectorAt(k);
    const int32_t savedRead = document->readFromBuilder;
    const int32_t savedQuiet = document->quiet;
    const int64_t savedLimit = document->savedLimit;
    const int64_t readableLimit = document->readableLimit;
    document->readFromBuilder = 0;
    document->savedLimit = 0;
    document->readableLimit = 0;
    if (burn) document->quiet = 1;
    const int64_t got = ImageReadSectors(document, Entry(k).value, into, run);
    document->readFromBuilder = savedRead;
    document->quiet = savedQuiet;
    document->savedLimit = savedLimit;
    document->readableLimit = readableLimit;
    const int64_t whole = std::clamp<int64_t>(got, 0, run);
    if (raw) Encode(k, whole);
    *ok = whole == run;
    if (!*ok) {
      if (raw) std::memset(SectorAt(k + whole), 0, static_cast<size_t>((run - whole) * size));
      // The source read reported its own failure and set its abort code.
      if (burn) *ok = Fail(k + whole, run - whole, kAbortImageRead, nullptr);
      if (!*ok) return whole;
    }
    return run;
  }

  // The stream of the file a reference names, opened here when it has a path; null when there is none.
  FILE* OpenFile(const FileRef& file) {
    if (!file.path) return builder->currentFile;
    if (builder->currentFile && builder->currentFileRef == file.offset) return builder->currentFile;
    if (builder->currentFile) std::fclose(builder->currentFile);
    builder->currentFileRef = -1;
    errno = 0;
    builder->currentFile = FileOpenRead(file.path);
    if (builder->currentFile) {
      builder->currentFileRef = file.offset;
    } else {
      // The report names the system's reason.
      const int error = errno;
      LastErrorSetText(nullptr);
      errno = error;
    }
    return builder->currentFile;
  }

  // File sectors: entries of one reference that follow each other are read in one call.
  int64_t FileRun(int64_t k, int64_t n, bool* ok) {
    const CBuiltSector& head = Entry(k);
    FileRef piece;
    FileRef file;
    const int64_t index = first + k;
    const int64_t bytes = BuiltSectorBytes(head);
    int64_t position;
    if (!LoadRef(builder, head.value, &piece) || index < piece.firstEntry ||
        index - piece.firstEntry >= piece.entries || bytes == 0 || bytes > kPiece ||
        __builtin_add_overflow(piece.position, (index - piece.firstEntry) * kPiece, &position) ||
        !LoadRef(builder, piece.file, &file)) {
      *ok = Fail(k, 1, kAbortReadFailed, nullptr);
      return 1;
    }
    int64_t run = 1;
    int64_t total = bytes;
    const int64_t cap = raw ? kWorkSectors : n - k;
    const int64_t pieceEnd = piece.firstEntry + piece.entries;
    while (run < cap && k + run < n && InMap(k + run) && index + run < pieceEnd &&
           BuiltSectorBytes(Entry(k + run - 1)) == kPiece && BuiltSectorKind(Entry(k + run)) == kBuiltFileNext &&
           Entry(k + run).value == head.value) {
      const int64_t more = BuiltSectorBytes(Entry(k + run));
      if (more == 0 || more > kPiece) break;
      total += more;
      ++run;
    }
    FILE* stream = OpenFile(file);
    if (!stream) {
      // A file that does not open, or a caller's stream that is not there.
      *ok = Fail(k, run, file.path ? kAbortLocalFile : kAbortReadFailed, file.path);
      return *ok ? run : 0;
    }
    uint8_t* into = raw ? builder->work : SectorAt(k);
    errno = 0;
    const int64_t got = FileReadAtCount(stream, into, position, static_cast<size_t>(total));
    const int64_t whole = got == total ? run : std::clamp<int64_t>(got, 0, total) / kPiece;
    if (raw) {
      if (whole < run) std::memset(into + whole * kPiece, 0, static_cast<size_t>((run - whole) * kPiece));
      else if (total < run * kPiece) std::memset(into + total, 0, static_cast<size_t>(run * kPiece - total));
      Encode(k, whole);
    }
    if (whole == run) {
      *ok = true;
      return run;
    }
    // A file that ends before the data queued for it changed after it was laid out.
    const int error = errno;
    if (got >= 0 && error == 0) {
      LastErrorSetText(L"File size changed.");
    } else {
      LastErrorSetText(nullptr);
      errno = error;
    }
    *ok = Fail(k + whole, run - whole, kAbortReadFailed, file.path);
    return *ok ? run : whole;
  }
};

}  // namespace

CImageBuilder* ImageBuilderNew(CImageDocument* document) {
  auto* builder = new (std::nothrow) CImageBuilder{};
  if (!builder) return nullptr;
  builder->document = document;
  // Once the map hangs on the document, its sector reads come from here.
  if (document) document->readBuilt = ImageReadBuiltSectors;
  builder->ownerGranularity = kOwnerGranularity;
  builder->firstFileSector = -1;
  builder->currentFileRef = -1;
  builder->lastFileRef = -1;
  builder->lastPiece = -1;
  builder->data = static_cast<uint8_t*>(MemAlloc(kDataStep));
  builder->map = static_cast<CBuiltSector*>(MemAlloc(kMapStep * sizeof(CBuiltSector)));
  if (!builder->data || !builder->map) {
    ImageBuilderFree(builder);
    return nullptr;
  }
  builder->dataCapacity = kDataStep;
  builder->mapCapacity = kMapStep;
  return builder;
}

void ImageBuilderFree(CImageBuilder* builder) {
  if (!builder) return;
  MemFree(builder->data);
  MemFree(builder->map);
  MemFree(builder->owners);
  MemFree(builder->work);
  if (builder->currentFile) std::fclose(builder->currentFile);
  delete builder;
}

CBuiltSector* ImageBuilderReserve(CImageBuilder* builder, int64_t n) {
  if (!builder || n < 0 || !GrowMap(builder, n)) return nullptr;
  CBuiltSector* entries = builder->map + builder->mapUsed;
  std::memset(entries, 0, static_cast<size_t>(n) * sizeof(CBuiltSector));
  builder->mapUsed += n;
  return entries;
}

uint8_t* ImageBuilderReserveData(CImageBuilder* builder, int64_t n, uint32_t* offset) {
  if (!builder || n < 0 || !GrowData(builder, n)) return nullptr;
  uint8_t* bytes = builder->data + builder->dataUsed;
  std::memset(bytes, 0, static_cast<size_t>(n));
  if (offset) *offset = static_cast<uint32_t>(builder->dataUsed);
  builder->dataUsed += n;
  return bytes;
}

int64_t ImageBuilderQueueFill(CImageBuilder* builder, int64_t firstSourceSector, int64_t count, int last) {
  if (!builder || firstSourceSector < 0 || count < 0 || count > int64_t{UINT32_MAX} + 1 - firstSourceSector)
    return -1;
  if (count == 0) return 0;
  CBuiltSector* entries = ImageBuilderReserve(builder, count);
  if (!entries) return -1;
  for (int64_t i = 0; i < count; ++i) {
    entries[i].flags = (kBuiltSourceSector << kBuiltKindShift) | kCdUserDataSize;
    entries[i].value = static_cast<uint32_t>(firstSourceSector + i);
  }
  if (last) entries[count - 1].flags |= kBuiltLastSector;
  return count;
}

int64_t ImageBuilderQueueData(CImageBuilder* builder, const wchar_t* path, uint32_t value, int64_t position,
                              int64_t bytes, int last) {
  if (!builder || position < 0 || bytes < 0) return -1;
  if (bytes == 0) return 0;
  const int64_t entries = bytes / kPiece + (bytes % kPiece != 0);
  const size_t pathChars = path ? std::wcslen(path) : 0;
  if (!pathChars) path = nullptr;
  if (position == 0 && !path && value == 0) return -1;
  if (!GrowMap(builder, entries)) return -1;

  // A piece that carries on where the previous one stopped, in the same file, extends its run.
  FileRef previous;
  FileRef file;
  bool extend = false;
  if (position > 0 && builder->lastPiece >= 0 && LoadRef(builder, builder->lastPiece, &previous) &&
      LoadRef(builder, previous.file, &file) && previous.firstEntry + previous.entries == builder->mapUsed &&
      int64_t{previous.entries} + entries <= UINT32_MAX) {
    const CBuiltSector& tail = builder->map[builder->mapUsed - 1];
    const bool fullTail = BuiltSectorBytes(tail) == kPiece && !(tail.flags & kBuiltLastSector);
    const bool samePosition = previous.position + int64_t{previous.entries} * kPiece == position;
    const bool sameFile = !path || (file.path && std::wcscmp(file.path, path) == 0);
    extend = fullTail && samePosition && sameFile;
  }
  if (extend) {
    Store<uint32_t>(builder->data + previous.offset + 24, previous.entries + static_cast<uint32_t>(entries));
    AppendFileEntries(builder, kBuiltFileNext, static_cast<uint32_t>(previous.offset), entries, bytes, last);
    return entries;
  }

  int64_t ref;
  if (position == 0) {
    ref = AppendRef(builder, path ? 0 : value, path, pathChars, 0, entries, -1);
    if (ref < 0) return -1;
    builder->lastFileRef = ref;
  } else {
    const int64_t owner = path ? -1 : builder->lastFileRef;
    ref = AppendRef(builder, path ? 0 : value, path, pathChars, position, entries, owner);
    if (ref < 0) return -1;
  }
  builder->lastPiece = ref;
  AppendFileEntries(builder, position == 0 ? kBuiltFileFirst : kBuiltFileNext, static_cast<uint32_t>(ref), entries,
                    bytes, last);
  return entries;
}

int32_t ImageBuilderSectorSize(const CImageDocument* document) {
  return document && document->rawMode2 ? kCdRawSectorSize : kCdUserDataSize;
}

int64_t ImageBuilderQueueGenerated(CImageBuilder* builder, const void* bytes, int64_t size) {
  if (!builder || (!bytes && size > 0) || size < 0) return -1;
  if (size == 0) return 0;
  const int64_t sectorSize = ImageBuilderSectorSize(builder->document);
  const int64_t sectors = size / sectorSize + (size % sectorSize != 0);
  if (sectors > kDataLimit / sectorSize || !GrowMap(builder, sectors)) return -1;
  uint32_t offset;
  uint8_t* into = ImageBuilderReserveData(builder, sectors * sectorSize, &offset);
  if (!into) return -1;
  std::memcpy(into, bytes, static_cast<size_t>(size));
  CBuiltSector* entries = ImageBuilderReserve(builder, sectors);
  for (int64_t i = 0; i < sectors; ++i) {
    entries[i].flags = (kBuiltGenerated << kBuiltKindShift) | static_cast<uint32_t>(sectorSize);
    entries[i].value = static_cast<uint32_t>(offset + i * sectorSize);
  }
  return sectors;
}

int64_t ImageReadBuiltSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !document->builder || !buffer || n <= 0) return 0;
  CImageBuilder* builder = document->builder;
  const int64_t size = ImageBuilderSectorSize(document);
  if (n > INT64_MAX / size) return 0;
  std::memset(buffer, 0, static_cast<size_t>(n * size));
  BuiltRead read{document, builder, sector, 0, static_cast<uint8_t*>(buffer), size, size != kCdUserDataSize,
                 document->burnJobReading != 0};
  if (__builtin_sub_overflow(sector, document->buildSessionStart, &read.first) || read.first > INT64_MAX - n)
    return read.Fail(0, n, kAbortReadFailed, nullptr) ? n : 0;
  if (read.raw && !builder->work) {
    builder->work = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(kWorkSectors * kPiece)));
    if (!builder->work) {
      AbortCodeSet(kAbortNoMemory);
      return 0;
    }
  }
  int64_t k = 0;
  while (k < n) {
    if (!read.InMap(k)) {
      // Sectors before the session start or past the end of the map.
      int64_t run = 1;
      while (k + run < n && !read.InMap(k + run)) ++run;
      if (!read.Fail(k, run, kAbortReadFailed, nullptr)) return k;
      k += run;
      continue;
    }
    bool ok = true;
    int64_t done;
    switch (BuiltSectorKind(read.Entry(k))) {
      case kBuiltGenerated:
        ok = read.Generated(k);
        done = 1;
        break;
      case kBuiltSourceSector:
        done = read.SourceRun(k, n, &ok);
        break;
      case kBuiltFileFirst:
      case kBuiltFileNext:
        done = read.FileRun(k, n, &ok);
        break;
      default:
        ok = read.Fail(k, 1, kAbortReadFailed, nullptr);
        done = 1;
        break;
    }
    if (!ok) return k + done;
    k += done;
  }
  return n;
}

int64_t ImageInitSectorOwnerMap(CImageDocument* document) {
  if (!document || !document->builder) return -1;
  CImageBuilder* builder = document->builder;
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  int64_t sectors;
  if (__builtin_sub_overflow(limit, document->buildSessionStart, &sectors) || sectors < 0) sectors = 0;
  const int64_t slots = sectors / kOwnerGranularity + (sectors % kOwnerGranularity != 0);
  MemFree(builder->owners);
  builder->owners = nullptr;
  builder->ownerSlots = 0;
  builder->ownerSectors = 0;
  if (slots > 0) {
    builder->owners = static_cast<CTreeEntry**>(MemZeroAlloc(static_cast<size_t>(slots) * sizeof(CTreeEntry*)));
    if (!builder->owners) return -1;
  }
  builder->ownerGranularity = kOwnerGranularity;
  builder->ownerSlots = slots;
  builder->ownerSectors = sectors;
  return slots;
}

int ImageSetSectorOwner(CImageDocument* document, int64_t sector, int64_t count, CTreeEntry* entry) {
  if (!document || !document->builder || count <= 0) return -1;
  CImageBuilder* builder = document->builder;
  int64_t relative;
  if (__builtin_sub_overflow(sector, document->buildSessionStart, &relative) || relative < 0 ||
      relative > INT64_MAX - count)
    return -1;
  if (builder->firstFileSector < 0) builder->firstFileSector = relative;
  const int64_t firstSlot = relative / kOwnerGranularity;
  const int64_t lastSlot = (relative + count - 1) / kOwnerGranularity;
  const int64_t from = relative % kOwnerGranularity == 0 ? firstSlot : firstSlot + 1;
  const int64_t to = std::min(lastSlot, builder->ownerSlots - 1);
  for (int64_t slot = from; slot <= to; ++slot) builder->owners[slot] = entry;
  return 0;
}

const wchar_t* ImageGetFileNameAtSector(const CImageDocument* document, int64_t sector) {
  if (!document || !document->builder) return nullptr;
  const CImageBuilder* builder = document->builder;
  int64_t relative;
  if (__builtin_sub_overflow(sector, document->buildSessionStart, &relative) || relative < 0 ||
      relative >= builder->ownerSectors)
    return nullptr;
  if (const CTreeEntry* owner = builder->owners[relative / kOwnerGranularity]) return owner->name;
  if (builder->firstFileSector < 0 || relative < builder->firstFileSector + 127) return L"Directory information";
  return nullptr;
}
