#include "builder/optimize.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "builder/build_state.h"
#include "image/document.h"
#include "image/sectors.h"
#include "runtime/crc.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/textconv.h"
#include "runtime/ui.h"
#include "tree/tree.h"

namespace {

constexpr int64_t kSectorBytes = 2048;
// Files up to this size are fingerprinted whole; larger ones by five sectors.
constexpr int64_t kWholeFingerprintBytes = 0x8000;
// The placed file's first bytes stay in memory while it is compared with one candidate after another.
constexpr int64_t kPlacedCacheBytes = 0x200000;
// Comparisons start with small pieces, so that files differing early are told apart cheaply, and grow them to
// keep the system calls few on long identical files.
constexpr int64_t kFirstPieceBytes = 0x8000;
constexpr int64_t kLargestPieceBytes = 0x100000;
// Files of a run whose data is asked for ahead of their turn.
constexpr int32_t kPrefetchFiles = 16;
// The console's progress line is redrawn at most this often.
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

enum : uint8_t { kStateUnknown = 0, kStateKnown = 1, kStateUnreadable = 2 };

int64_t SectorsOf(int64_t bytes) { return (bytes + kSectorBytes - 1) / kSectorBytes; }

// One file of the size list.
struct SizeItem {
  CTreeEntry* entry;
  int32_t run;       // its run of files of the same size; -1 when no other file has its size
  int32_t identity;  // the first item of its run that reads the same local file or source sectors; itself if none
  uint32_t fingerprint;
  uint64_t digest;   // of the whole data, made only for files whose fingerprints collide with different data
  uint8_t fingerprintState;
  uint8_t digestState;
  uint8_t handled;   // counted in the progress
  uint8_t waiting;   // a candidate of its run that has no LBA yet
};

// Candidates of one run with one fingerprint, in list order. Once two of them turned out different, they are
// spread over sub-buckets by the digest of their whole data, so that a placed file only meets its equals.
struct Bucket {
  std::vector<int32_t> waiting;
  std::unique_ptr<std::unordered_map<uint64_t, std::vector<int32_t>>> byDigest;
};

// Files of one size, items [begin, end) of the list. Its candidates are fingerprinted and bucketed when the
// first of them is placed.
struct SizeRun {
  int32_t begin;
  int32_t end;
  int32_t waiting;
  bool ready;
};

struct OptimizeState {
  bool active = false;
  CImageDocument* document = nullptr;
  std::vector<SizeItem> items;
  std::vector<SizeRun> runs;
  std::unordered_map<const CTreeEntry*, int32_t> indexOf;
  std::unordered_map<uint64_t, Bucket> buckets;  // by run << 32 | fingerprint
  std::vector<uint8_t> cache;                    // first bytes of cacheOwner's data
  int64_t cacheFill = 0;
  const CTreeEntry* cacheOwner = nullptr;
  std::vector<uint8_t> candidatePiece;
  std::vector<uint8_t> placedPiece;
  int64_t handled = 0;
  std::chrono::steady_clock::time_point lastShown;
};

OptimizeState& Optimize(CImageDocument* document) { return IsoBuildPart<OptimizeState>(document, kBuildPartOptimize); }

void OutOfMemory() {
  MessageShow(L"Out of memory. Program abort.");
  AbortCodeRaise(kAbortNoMemory);
}

// "." and "..": by display name, or by their one-byte ISO identifiers 0 and 1.
bool IsDotEntry(const CTreeEntry* entry) { return TreeEntryDotKind(entry) >= 0; }

// The document's files (entries that are neither folders nor "." / ".."), a folder's files before its
// subfolders, subfolders in the order of their entries: the order of the layout's file pass.
template <typename Visit>
void ForEachFile(CImageDocument* document, Visit&& visit) {
  if (!document->rootFolder) return;
  std::vector<CTreeFolder*> pending{document->rootFolder};
  std::vector<CTreeFolder*> children;
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    children.clear();
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (IsDotEntry(entry)) continue;
      if (entry->folder) {
        if (entry->folder != folder) children.push_back(entry->folder);
      } else if (!TreeEntryIsFolder(entry)) {
        visit(entry);
      }
    }
    pending.insert(pending.end(), children.rbegin(), children.rend());
  }
}

bool HasLocalPath(const CTreeEntry* entry) { return entry->sourcePath && entry->sourcePath[0]; }

// Reads an entry's data from where the write pass will take it: its in-memory data, else its local file, else
// the source image (the extent list, or the sectors from sourceLba).
class DataReader {
 public:
  DataReader(CImageDocument* document, const CTreeEntry* entry) : document_(document), entry_(entry) {}
  ~DataReader() { FileClose(stream_); }
  DataReader(const DataReader&) = delete;
  DataReader& operator=(const DataReader&) = delete;

  // `length` bytes at `offset` (a multiple of 2048, inside the file) into `out`, which has room for whole
  // sectors. 1, or 0 when the data cannot be read; a local file that cannot be opened sets abort code 10, one
  // that cannot be read to its size abort code 4, both reported with the file's path.
  int Read(int64_t offset, int64_t length, uint8_t* out) {
    if (entry_->inlineData) {
      if (offset + length > entry_->inlineSize) return 0;
      std::memcpy(out, entry_->inlineData + offset, static_cast<size_t>(length));
      return 1;
    }
    if (HasLocalPath(entry_)) return ReadLocal(offset, length, out);
    if (entry_->extents && entry_->extentCount > 0)
      return IsoReadEntrySourceData(document_, entry_, entry_->sourceLba, offset, length, out);
    const int64_t sectors = SectorsOf(length);
    return ImageReadSectors(document_, entry_->sourceLba + offset / kSectorBytes, out, sectors) == sectors;
  }

  // Asks for the pieces of a local file that will be read next, so that scattered reads of an uncached file
  // wait for the disk once rather than once each.
  // A file that cannot be opened is left to the read, which reports it.
  void Prefetch(int64_t offset, int64_t length) {
    if (entry_->inlineData || !HasLocalPath(entry_) || failed_) return;
    if (!stream_ && !(stream_ = FileOpenRead(entry_->sourcePath))) return;
    posix_fadvise(fileno(stream_), offset, length, POSIX_FADV_WILLNEED);
  }

 private:
  // A file whose size is no longer the entry's fails as the write pass would fail it: a file merged onto
  // another is never read there, so its change would otherwise go unnoticed.
  bool Open() {
    if (stream_ && sizeChecked_) return true;
    if (failed_) return false;
    if (!stream_ && !(stream_ = FileOpenRead(entry_->sourcePath))) {
      failed_ = true;
      ErrorReport(entry_->sourcePath);
      AbortCodeRaise(kAbortLocalFile);
      return false;
    }
    struct stat status;
    if (fstat(fileno(stream_), &status) != 0 || status.st_size != entry_->size) {
      failed_ = true;
      LastErrorSetText(L"File size changed.");
      ErrorReport(entry_->sourcePath);
      AbortCodeRaise(kAbortReadFailed);
      return false;
    }
    sizeChecked_ = true;
    return true;
  }

  int ReadLocal(int64_t offset, int64_t length, uint8_t* out) {
    if (failed_ || !Open()) return 0;
    const int fd = fileno(stream_);
    int64_t got = 0;
    while (got < length) {
      const ssize_t n = pread(fd, out + got, static_cast<size_t>(length - got), offset + got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int cause = n < 0 ? errno : 0;
        failed_ = true;
        if (cause) {
          LastErrorSetText(nullptr);
          errno = cause;
        } else {
          LastErrorSetText(L"File size changed.");
        }
        ErrorReport(entry_->sourcePath);
        AbortCodeRaise(kAbortReadFailed);
        return 0;
      }
      got += n;
    }
    return 1;
  }

  CImageDocument* document_;
  const CTreeEntry* entry_;
  FILE* stream_ = nullptr;
  bool failed_ = false;
  bool sizeChecked_ = false;
};

uint8_t* CandidateBuffer(CImageDocument* document) {
  std::vector<uint8_t>& buffer = Optimize(document).candidatePiece;
  if (buffer.empty()) buffer.resize(kLargestPieceBytes);
  return buffer.data();
}

// The pieces of the placed file. Its first 2 MiB are kept: a long run of candidates reads them once.
class PlacedSource {
 public:
  PlacedSource(CImageDocument* document, const CTreeEntry* entry)
      : document_(document), entry_(entry), reader_(document, entry) {
    if (Optimize(document).cacheOwner != entry) {
      Optimize(document).cacheOwner = entry;
      Optimize(document).cacheFill = 0;
    }
  }

  // The piece at `offset` (a multiple of 2048), or null when it cannot be read.
  const uint8_t* Get(int64_t offset, int64_t length) {
    OptimizeState& s = Optimize(document_);
    if (offset + length <= s.cacheFill) return s.cache.data() + offset;
    if (offset == s.cacheFill && offset + length <= kPlacedCacheBytes) {
      if (s.cache.empty()) s.cache.resize(kPlacedCacheBytes);
      if (!reader_.Read(offset, length, s.cache.data() + offset)) return nullptr;
      s.cacheFill = offset + length;
      return s.cache.data() + offset;
    }
    if (s.placedPiece.empty()) s.placedPiece.resize(kLargestPieceBytes);
    return reader_.Read(offset, length, s.placedPiece.data()) ? s.placedPiece.data() : nullptr;
  }

  const CTreeEntry* entry() const { return entry_; }

 private:
  CImageDocument* document_;
  const CTreeEntry* entry_;
  DataReader reader_;
};

// A 64-bit digest of a file's whole data, fed in pieces whose sizes are multiples of 8 except the last.
uint64_t DigestUpdate(uint64_t hash, const uint8_t* bytes, int64_t length) {
  int64_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 31;
  }
  for (; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  return hash;
}

// Reads an item's data in growing pieces and hands each to `use`; false when a piece cannot be read.
template <typename Use>
bool ForEachPiece(int64_t size, Use&& use) {
  int64_t piece = kFirstPieceBytes;
  for (int64_t offset = 0; offset < size;) {
    const int64_t length = std::min(piece, size - offset);
    if (!use(offset, length)) return false;
    offset += length;
    piece = std::min(piece * 2, kLargestPieceBytes);
  }
  return true;
}

// The sectors a fingerprint of a file of more than 32 KiB covers: 0, n/4, n/2, 3n/4 and n-1 of its n sectors.
std::array<int64_t, 5> FingerprintSectors(int64_t size) {
  const int64_t n = SectorsOf(size);
  return {0, n / 4, n / 2, 3 * n / 4, n - 1};
}

// Starts reading a large local file ahead of its turn (its fingerprinted sectors, or the start of its data):
// the kernel reads it while earlier files are handled, so a run of uncached files does not wait for the disk
// file by file. Small files are read in one piece anyway and are left alone.
void Prefetch(CImageDocument* document, int32_t index, bool wholeStart) {
  const SizeItem& item = Optimize(document).items[index];
  const int64_t size = item.entry->size;
  if (size <= kWholeFingerprintBytes || item.entry->inlineData || !HasLocalPath(item.entry)) return;
  DataReader reader(Optimize(document).document, item.entry);
  if (wholeStart) {
    reader.Prefetch(0, std::min(size, kPlacedCacheBytes));
  } else if (item.identity == index && item.fingerprintState == kStateUnknown) {
    for (const int64_t sector : FingerprintSectors(size)) reader.Prefetch(sector * kSectorBytes, kSectorBytes);
  }
}

// Fingerprint of an item: the CRC-32 of its whole data up to 32 KiB, else of its FingerprintSectors (the last
// one as long as the file). Items sharing a data source share the result.
uint8_t Fingerprint(CImageDocument* document, int32_t index) {
  OptimizeState& s = Optimize(document);
  SizeItem& item = s.items[index];
  if (item.fingerprintState != kStateUnknown) return item.fingerprintState;
  if (item.identity != index) {
    const SizeItem& source = s.items[item.identity];
    item.fingerprintState = Fingerprint(document, item.identity);
    item.fingerprint = source.fingerprint;
    return item.fingerprintState;
  }
  const int64_t size = item.entry->size;
  DataReader reader(s.document, item.entry);
  uint8_t* buffer = CandidateBuffer(document);
  uint32_t crc = 0;
  bool ok = true;
  if (size <= kWholeFingerprintBytes) {
    ok = reader.Read(0, size, buffer);
    if (ok) crc = Crc32Compute(buffer, static_cast<size_t>(size));
  } else {
    const std::array<int64_t, 5> sectors = FingerprintSectors(size);
    for (const int64_t sector : sectors) reader.Prefetch(sector * kSectorBytes, kSectorBytes);
    for (const int64_t sector : sectors) {
      const int64_t length = std::min(kSectorBytes, size - sector * kSectorBytes);
      if (!(ok = reader.Read(sector * kSectorBytes, length, buffer))) break;
      crc = Crc32Update(crc, buffer, static_cast<size_t>(length));
    }
  }
  item.fingerprint = crc;
  item.fingerprintState = ok ? kStateKnown : kStateUnreadable;
  return item.fingerprintState;
}

uint8_t Digest(CImageDocument* document, int32_t index, PlacedSource* placed) {
  OptimizeState& s = Optimize(document);
  SizeItem& item = s.items[index];
  if (item.digestState != kStateUnknown) return item.digestState;
  if (item.identity != index) {
    item.digestState = Digest(document, item.identity, nullptr);
    item.digest = s.items[item.identity].digest;
    return item.digestState;
  }
  uint64_t hash = 0xCBF29CE484222325ull;
  bool ok;
  if (placed && placed->entry() == item.entry) {
    ok = ForEachPiece(item.entry->size, [&](int64_t offset, int64_t length) {
      const uint8_t* piece = placed->Get(offset, length);
      if (piece) hash = DigestUpdate(hash, piece, length);
      return piece != nullptr;
    });
  } else {
    DataReader reader(s.document, item.entry);
    uint8_t* buffer = CandidateBuffer(document);
    ok = ForEachPiece(item.entry->size, [&](int64_t offset, int64_t length) {
      if (!reader.Read(offset, length, buffer)) return false;
      hash = DigestUpdate(hash, buffer, length);
      return true;
    });
  }
  item.digest = hash;
  item.digestState = ok ? kStateKnown : kStateUnreadable;
  return item.digestState;
}

// 1 equal, 0 different, -1 unreadable. Items that read the same local file or the same source sectors are
// equal without a read; the others are compared piece by piece (their fingerprints already agree).
int Compare(CImageDocument* document, int32_t candidate, int32_t placedIndex, PlacedSource& placed) {
  OptimizeState& s = Optimize(document);
  const SizeItem& item = s.items[candidate];
  if (item.identity == s.items[placedIndex].identity) return 1;
  DataReader reader(s.document, item.entry);
  uint8_t* buffer = CandidateBuffer(document);
  int result = 1;
  const bool read = ForEachPiece(item.entry->size, [&](int64_t offset, int64_t length) {
    const uint8_t* ours = placed.Get(offset, length);
    if (!ours || !reader.Read(offset, length, buffer)) return false;
    if (std::memcmp(ours, buffer, static_cast<size_t>(length)) != 0) {
      result = 0;
      return false;
    }
    return true;
  });
  return (read || result == 0) ? result : -1;
}

void Retire(CImageDocument* document, int32_t index) {
  OptimizeState& s = Optimize(document);
  SizeItem& item = s.items[index];
  if (!item.waiting) return;
  item.waiting = 0;
  --s.runs[item.run].waiting;
}

void CountHandled(CImageDocument* document, int32_t index) {
  SizeItem& item = Optimize(document).items[index];
  if (item.handled) return;
  item.handled = 1;
  ++Optimize(document).handled;
}

// Gives the placed file's LBA to the candidates of `list` equal to it and drops every candidate that no longer
// waits. With `stopAtMismatch`, comparing ends at the first different candidate (the rest stay). Returns the
// files merged, or -1 when the abort code is set; `mismatch` tells whether a different one was met.
int MergeList(CImageDocument* document, std::vector<int32_t>& list, int32_t placedIndex, PlacedSource& placed,
              bool stopAtMismatch, bool* mismatch) {
  OptimizeState& s = Optimize(document);
  CTreeEntry* placedEntry = s.items[placedIndex].entry;
  int merged = 0;
  size_t kept = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const int32_t candidate = list[i];
    CTreeEntry* entry = s.items[candidate].entry;
    if (entry->outputLba != 0) {
      Retire(document, candidate);
      continue;
    }
    if (*mismatch && stopAtMismatch) {
      list[kept++] = candidate;
      continue;
    }
    if (i + kPrefetchFiles < list.size()) Prefetch(document, list[i + kPrefetchFiles], true);
    const int result = Compare(document, candidate, placedIndex, placed);
    if (result == 1) {
      entry->outputLba = placedEntry->outputLba;
      Retire(document, candidate);
      CountHandled(document, candidate);
      ++merged;
    } else if (result == 0) {
      *mismatch = true;
      list[kept++] = candidate;
    } else {
      if (AbortCodeGet() != kAbortNone) return -1;
      Retire(document, candidate);  // its data cannot be read: it never equals anything
    }
  }
  list.resize(kept);
  return merged;
}

// Fingerprints the run's small local files (those read whole) on several threads before the pass that buckets
// them: each is opened and read once, at the same time as the others. A file that cannot be read here, or
// whose size is no longer the entry's, is left for that pass, which reads it again and reports what is wrong.
void FingerprintSmallFiles(CImageDocument* document, const SizeRun& run, int32_t placedIndex) {
  OptimizeState& s = Optimize(document);
  std::vector<int32_t> todo;
  std::vector<std::unique_ptr<char, MemFreeDeleter>> paths;
  for (int32_t i = run.begin; i < run.end; ++i) {
    const SizeItem& item = s.items[i];
    const CTreeEntry* entry = item.entry;
    if (!item.waiting && i != placedIndex) continue;
    if (item.identity != i || item.fingerprintState != kStateUnknown || entry->inlineData || !HasLocalPath(entry))
      continue;
    if (entry->size <= 0 || entry->size > kWholeFingerprintBytes) continue;
    std::unique_ptr<char, MemFreeDeleter> path(TextWideToMultiByteDup(entry->sourcePath));
    if (!path) continue;
    todo.push_back(i);
    paths.push_back(std::move(path));
  }
  if (todo.size() < 2) return;
  ParallelFor(static_cast<int64_t>(todo.size()), 8, [&](int64_t begin, int64_t end) {
    std::vector<uint8_t> buffer(static_cast<size_t>(kWholeFingerprintBytes + 1));
    for (int64_t k = begin; k < end; ++k) {
      SizeItem& item = s.items[todo[static_cast<size_t>(k)]];
      const int64_t size = item.entry->size;
      const int fd = open(paths[static_cast<size_t>(k)].get(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      if (fd < 0) continue;
      // One byte more than the size is asked for, so that a file that grew is seen.
      int64_t got = 0;
      for (;;) {
        const ssize_t n = read(fd, buffer.data() + got, static_cast<size_t>(size + 1 - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
        if (got > size || n < size + 1 - (got - n)) break;
      }
      close(fd);
      if (got != size) continue;
      item.fingerprint = Crc32Compute(buffer.data(), static_cast<size_t>(size));
      item.fingerprintState = kStateKnown;
    }
  });
}

// The first placement in a run: collects the run's candidates (no LBA, no requested LBA, and in an appended
// session no data kept in the previous one) and sorts them into buckets by fingerprint. When they all read the
// same data as the placed file, they take its LBA at once without a read. Returns the files merged so, or -1
// when the abort code is set.
int PrepareRun(CImageDocument* document, int32_t runIndex, int32_t placedIndex) {
  OptimizeState& s = Optimize(document);
  SizeRun& run = s.runs[runIndex];
  run.ready = true;
  std::unordered_map<std::wstring_view, int32_t> byPath;
  std::unordered_map<int64_t, int32_t> bySourceLba;
  for (int32_t i = run.begin; i < run.end; ++i) {
    SizeItem& item = s.items[i];
    const CTreeEntry* entry = item.entry;
    item.identity = i;
    if (entry->inlineData) continue;
    if (HasLocalPath(entry))
      item.identity = byPath.emplace(entry->sourcePath, i).first->second;
    else if (entry->sourceLba != 0 && !entry->extents)
      item.identity = bySourceLba.emplace(entry->sourceLba, i).first->second;
  }
  const bool appending = IsoBuildState(document)->sessionStart > 0;
  bool otherSources = false;
  for (int32_t i = run.begin; i < run.end; ++i) {
    SizeItem& item = s.items[i];
    const CTreeEntry* entry = item.entry;
    if (i == placedIndex || entry->outputLba != 0 || entry->requestedLba != 0) continue;
    if (appending && entry->sourceLba != 0 && !entry->inlineData) continue;
    item.waiting = 1;
    ++run.waiting;
    otherSources = otherSources || item.identity != s.items[placedIndex].identity;
  }
  if (run.waiting == 0) return 0;
  if (!otherSources) {
    CTreeEntry* placed = s.items[placedIndex].entry;
    int merged = 0;
    for (int32_t i = run.begin; i < run.end; ++i) {
      if (!s.items[i].waiting) continue;
      s.items[i].entry->outputLba = placed->outputLba;
      Retire(document, i);
      CountHandled(document, i);
      ++merged;
    }
    return merged;
  }
  FingerprintSmallFiles(document, run, placedIndex);
  int32_t prefetched = run.begin;
  for (int32_t i = run.begin; i < run.end; ++i) {
    if (!s.items[i].waiting) continue;
    for (; prefetched < std::min(run.end, i + kPrefetchFiles); ++prefetched)
      if (s.items[prefetched].waiting) Prefetch(document, prefetched, false);
    if (Fingerprint(document, i) != kStateKnown) {
      if (AbortCodeGet() != kAbortNone) return -1;
      Retire(document, i);
      continue;
    }
    const uint64_t key = static_cast<uint64_t>(runIndex) << 32 | s.items[i].fingerprint;
    s.buckets[key].waiting.push_back(i);
  }
  return 0;
}

// Merges the candidates of the placed file's run that hold its data. The count, or -1 (abort code set).
int MergeRun(CImageDocument* document, int32_t placedIndex) {
  OptimizeState& s = Optimize(document);
  const int32_t runIndex = s.items[placedIndex].run;
  SizeRun& run = s.runs[runIndex];
  int merged = 0;
  if (!run.ready && (merged = PrepareRun(document, runIndex, placedIndex)) < 0) return -1;
  if (run.waiting == 0) return merged;
  if (Fingerprint(document, placedIndex) != kStateKnown) return AbortCodeGet() != kAbortNone ? -1 : merged;
  const uint64_t key = static_cast<uint64_t>(runIndex) << 32 | s.items[placedIndex].fingerprint;
  const auto found = s.buckets.find(key);
  if (found == s.buckets.end()) return merged;
  Bucket& bucket = found->second;
  PlacedSource placed(s.document, s.items[placedIndex].entry);
  if (!bucket.byDigest) {
    bool mismatch = false;
    merged = MergeList(document, bucket.waiting, placedIndex, placed, true, &mismatch);
    if (merged < 0) return -1;
    // Two or more different files left with one fingerprint: comparing each placed one with all of them
    // would grow with the square of their number, so they are told apart by the digest of their whole data.
    if (!mismatch || bucket.waiting.size() < 2) return merged;
    bucket.byDigest = std::make_unique<std::unordered_map<uint64_t, std::vector<int32_t>>>();
    for (size_t i = 0; i < bucket.waiting.size(); ++i) {
      const int32_t candidate = bucket.waiting[i];
      if (i + kPrefetchFiles < bucket.waiting.size()) Prefetch(document, bucket.waiting[i + kPrefetchFiles], true);
      if (Digest(document, candidate, nullptr) != kStateKnown) {
        if (AbortCodeGet() != kAbortNone) return -1;
        Retire(document, candidate);
        continue;
      }
      (*bucket.byDigest)[s.items[candidate].digest].push_back(candidate);
    }
    bucket.waiting.clear();
    bucket.waiting.shrink_to_fit();
  }
  if (Digest(document, placedIndex, &placed) != kStateKnown) return AbortCodeGet() != kAbortNone ? -1 : merged;
  const auto sub = bucket.byDigest->find(s.items[placedIndex].digest);
  if (sub == bucket.byDigest->end()) return merged;
  bool mismatch = false;
  const int more = MergeList(document, sub->second, placedIndex, placed, false, &mismatch);
  return more < 0 ? -1 : merged + more;
}

void ShowProgress(CImageDocument* document, CProgressCallbacks* progress) {
  OptimizeState& s = Optimize(document);
  // A caller's progress block has no place for a status text yet: only the console shows the numbers.
  if (progress) return;
  const auto now = std::chrono::steady_clock::now();
  const auto total = static_cast<int64_t>(s.items.size());
  if (s.handled < total && now - s.lastShown < kProgressInterval) return;
  s.lastShown = now;
  UiProgressShowPercent(static_cast<uint64_t>(s.handled), static_cast<uint64_t>(total));
}

// Drops the state of the last layout, memory included.
void ClearState(CImageDocument* document) { Optimize(document) = OptimizeState(); }

bool IsContainerKind(int32_t kind) { return kind == kInputTypeContainer || kind == kInputTypeContainerAlt; }

}  // namespace

int OptimizeBegin(CImageDocument* document, CProgressCallbacks*) {
  ClearState(document);
  if (!document || !document->storeIdenticalOnce || IsContainerKind(document->outputType)) return 0;
  OptimizeState& s = Optimize(document);
  try {
    ForEachFile(document, [&](CTreeEntry* entry) {
      if (entry->size > 0) s.items.push_back(SizeItem{entry, -1, 0, 0, 0, 0, 0, 0, 0});
    });
    std::stable_sort(s.items.begin(), s.items.end(), [](const SizeItem& a, const SizeItem& b) {
      if (a.entry->size != b.entry->size) return a.entry->size < b.entry->size;
      return a.entry->sourceLba < b.entry->sourceLba;
    });
    const auto count = static_cast<int32_t>(s.items.size());
    s.indexOf.reserve(s.items.size());
    for (int32_t i = 0; i < count; ++i) {
      s.items[i].identity = i;
      s.indexOf.emplace(s.items[i].entry, i);
    }
    for (int32_t begin = 0; begin < count;) {
      int32_t end = begin + 1;
      while (end < count && s.items[end].entry->size == s.items[begin].entry->size) ++end;
      if (end - begin > 1) {
        const auto run = static_cast<int32_t>(s.runs.size());
        s.runs.push_back(SizeRun{begin, end, 0, false});
        for (int32_t i = begin; i < end; ++i) s.items[i].run = run;
      }
      begin = end;
    }
  } catch (const std::bad_alloc&) {
    ClearState(document);
    OutOfMemory();
    return -1;
  }
  s.document = document;
  s.active = true;
  s.lastShown = std::chrono::steady_clock::now();
  return 0;
}

void OptimizeEnd(CImageDocument* document, CProgressCallbacks*) { ClearState(document); }

int OptimizeMergeDuplicates(CImageDocument* document, CTreeEntry* placed, CProgressCallbacks* progress) {
  OptimizeState& s = Optimize(document);
  if (!s.active || !placed || document != s.document) return 0;
  if (AbortCodeGet() != kAbortNone) return -1;
  const auto found = s.indexOf.find(placed);
  if (found == s.indexOf.end()) return 0;
  const int32_t index = found->second;
  SizeItem& item = s.items[index];
  CountHandled(document, index);
  int merged = 0;
  if (item.run >= 0) {
    Retire(document, index);
    if (placed->outputLba > 0 && placed->requestedLba == 0) {
      try {
        merged = MergeRun(document, index);
      } catch (const std::bad_alloc&) {
        OutOfMemory();
        merged = -1;
      }
    }
  }
  ShowProgress(document, progress);
  return merged;
}

int FileOrderBuild(CImageDocument* document) {
  if (!document) return 0;
  std::vector<CTreeEntry*>& list = document->orderedFiles;
  list.clear();
  const CIsoBuildState* state = IsoBuildState(document);
  try {
    ForEachFile(document, [&](CTreeEntry* entry) {
      if (entry->sortWeight <= 0 || entry->size <= 0 || entry->outputLba != 0 || entry->requestedLba != 0) return;
      // A file of an appended disc that stays where the previous session wrote it.
      if (state->sessionStart > 0 && entry->sourceLba != 0 && !HasLocalPath(entry)) return;
      list.push_back(entry);
    });
  } catch (const std::bad_alloc&) {
    list = {};
    OutOfMemory();
    return -1;
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const CTreeEntry* a, const CTreeEntry* b) { return a->sortWeight > b->sortWeight; });
  return static_cast<int>(list.size());
}

int FileOrderAssignExtents(CImageDocument* document, CProgressCallbacks* progress) {
  if (!document) return -1;
  CIsoBuildState* state = IsoBuildState(document);
  for (CTreeEntry* entry : document->orderedFiles) {
    if (AbortCodeGet() != kAbortNone) return -1;
    if (entry->outputLba != 0) continue;
    entry->outputLba = state->nextFreeLba;
    state->nextFreeLba += SectorsOf(entry->size);
    if (OptimizeMergeDuplicates(document, entry, progress) < 0) return -1;
  }
  return AbortCodeGet() != kAbortNone ? -1 : 0;
}

int FileOrderWriteFiles(CImageDocument* document, CTreeFolder*, CProgressCallbacks* progress) {
  if (!document) return -1;
  const CIsoBuildState* state = IsoBuildState(document);
  for (CTreeEntry* entry : document->orderedFiles) {
    if (AbortCodeGet() != kAbortNone) return -1;
    if (entry->size <= 0 || entry->outputLba != state->writePosition) continue;
    if (IsoWriteFileData(document, progress, entry, entry->inlineData, entry->sourceLba, entry->sourcePath,
                         entry->size) != 0)
      return -1;
  }
  return 0;
}
