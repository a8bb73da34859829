// The extract command: copies a folder (with everything below it) or one file of an image into a local folder,
// rebuilding the image's folders from the root down, asking before it replaces a local file.
#include "cli/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/rip.h"
#include "cli/runners.h"
#include "cli/settings.h"
#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/tempfiles.h"
#include "runtime/textconv.h"
#include "session/disk_open.h"
#include "session/document.h"
#include "session/open.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"
#include "wim/wim.h"

namespace {

// Local paths stay below this many characters.
constexpr size_t kPathLimit = 2048;
// Sectors copied per read: 256 KiB.
constexpr int64_t kChunkSectors = 128;

// Failures that did not stop the run (a name too long for the local file system): the command still fails.
int g_extractFailures = 0;

struct MultiByte {
  explicit MultiByte(const wchar_t* text) : bytes(TextWideToMultiByteDup(text)) {}
  ~MultiByte() { MemFree(bytes); }
  MultiByte(const MultiByte&) = delete;
  MultiByte& operator=(const MultiByte&) = delete;
  char* bytes;
};

bool IsDotEntry(const CTreeEntry* entry) { return TreeEntryIsDotName(entry) != 0; }

// The image file being read, as a file (never overwritten by what is extracted from it).
struct {
  bool known;
  dev_t device;
  ino_t inode;
} g_imageFile{};

void RememberImageFile(CImageDocument* document) {
  struct stat info;
  g_imageFile.known = document->input && fstat(fileno(document->input), &info) == 0;
  if (g_imageFile.known) {
    g_imageFile.device = info.st_dev;
    g_imageFile.inode = info.st_ino;
  }
}

void SetTimes(const wchar_t* path, FILE* open, int64_t when) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  if (open) {
    futimens(fileno(open), times);
    return;
  }
  MultiByte target(path);
  if (target.bytes) utimensat(AT_FDCWD, target.bytes, times, AT_SYMLINK_NOFOLLOW);
}

// Reports a name that does not fit a local path; the run goes on, the command fails.
void ReportTooLong(CImageDocument* document, const CTreeEntry* entry) {
  wchar_t* inImage = TreeGetNodeFullPath(document, entry);
  ConsolePrintf(L"%ls: %ls\r\n", inImage ? inImage : (entry->name ? entry->name : L""),
                L"The local path would be too long; the file is passed over.");
  MemFree(inImage);
  ++g_extractFailures;
}

}  // namespace

// The local path of an entry below `base`: the image's folders from the root down, names made safe; null when
// the entry has no name or the path would be too long.
bool ExtractCheckName(CImageDocument* document, const CTreeEntry* entry, const std::wstring& base, std::wstring* out) {
  if (!entry || !entry->name || !*entry->name || base.size() >= kPathLimit) return false;
  std::wstring path = base;
  if (!path.empty() && path.back() == L'/') path.pop_back();
  wchar_t* folder = TreeGetNodeRelativePath(document, entry->parent, nullptr, 0);
  if (!folder) return false;
  path += folder;
  MemFree(folder);
  if (path.empty() || path.back() != L'/') path += L'/';
  if (path.size() >= kPathLimit) return false;
  std::wstring name = entry->name;
  // A name may never lead out of the output folder, nor hold characters a local name cannot keep.
  if (PathMakeLocalName(&name)) AnswerWordSet(2);
  path += name;
  if (path.size() >= kPathLimit) return false;
  if (TreeEntryIsFolder(entry)) path += L'/';
  *out = path;
  return true;
}

void ExtractReportFailure(const wchar_t* path) {
  if (AbortCodeGet() <= kAbortCancelled) return;
  CWideString message;
  WstrFormat(message, L"%ls\r\n\r\nExtract failed! %ls", path, LastErrorGetText());
  MessageShow(message.c_str());
  LastErrorSetText(nullptr);
}

// 0: go on and write the file; -1: keep the local file; -2: the local file is the image itself.
int ExtractCheckOverwrite(const wchar_t* path, const CTreeEntry* /*entry*/) {
  MultiByte target(path);
  struct stat info;
  if (!target.bytes || lstat(target.bytes, &info) != 0 || S_ISDIR(info.st_mode)) return 0;
  if (g_imageFile.known && info.st_dev == g_imageFile.device && info.st_ino == g_imageFile.inode) return -2;
  int32_t answer = OverwriteAnswerGet();
  if (answer != kAnswerYesAll && answer != kAnswerNoAll && answer != kAnswerCancelAll) {
    bool readOnly = S_ISREG(info.st_mode) && access(target.bytes, W_OK) != 0;
    answer = ConsoleAskOverwrite(path, readOnly ? 1 : 0);
    OverwriteAnswerSet(answer);
  }
  if (answer == kAnswerNoOne || answer == kAnswerNoAll || answer == kAnswerCancelAll) return -1;
  // A link standing at the name is replaced by the file, never followed.
  if (S_ISLNK(info.st_mode)) unlink(target.bytes);
  return 0;
}

// Copies one file's data: 1, or -1 with the abort code set.
// Files of a disk's file system come through its driver, in large steps.
int ExtractDiskEntry(CImageDocument* document, const CTreeEntry* entry, int64_t size, FILE* file) {
  constexpr int64_t kStep = 1 << 20;
  static std::vector<uint8_t> buffer;
  if (buffer.size() < static_cast<size_t>(kStep)) buffer.resize(static_cast<size_t>(kStep));
  int64_t done = 0;
  if (file && !document->testOnly && size > 0 && std::fflush(file) == 0) {
    // Data that lies as it is in the disk file is copied inside the kernel.
    done = DiskCopyEntryToFd(document, entry, fileno(file));
    if (done < 0) {
      AbortCodeRaise(kAbortWriteFailed);
      return -1;
    }
    if (ConsoleModeGet() && done > 0) ProgressAdd(static_cast<uint64_t>(done));
  }
  while (done < size) {
    const int64_t bytes = std::min(kStep, size - done);
    if (DiskReadEntryData(document, entry, done, buffer.data(), bytes) != bytes) {
      if (AbortCodeGet() == 0) AbortCodeSet(kAbortReadFailed);
      return -1;
    }
    if (!document->testOnly && std::fwrite(buffer.data(), 1, static_cast<size_t>(bytes), file) != static_cast<size_t>(bytes)) {
      AbortCodeRaise(kAbortWriteFailed);
      return -1;
    }
    done += bytes;
    if (ConsoleModeGet()) ProgressAdd(static_cast<uint64_t>(bytes));
  }
  if (ConsoleModeGet()) {
    ProgressEnd();
    ConsolePrintText(L"\r\n");
  }
  return 1;
}

// Data the image holds inside the file's own record (a UDF file entry's embedded data).
int ExtractInlineEntry(CImageDocument* document, const CTreeEntry* entry, int64_t size, FILE* file) {
  const int64_t bytes = std::min(size, entry->inlineSize);
  if (!document->testOnly && bytes > 0 &&
      std::fwrite(entry->inlineData, 1, static_cast<size_t>(bytes), file) != static_cast<size_t>(bytes)) {
    AbortCodeRaise(kAbortWriteFailed);
    return -1;
  }
  if (bytes < size) {
    LastErrorSetText(L"The file's data is not all described in the image.");
    AbortCodeSet(kAbortReadFailed);
    return -1;
  }
  if (ConsoleModeGet()) {
    ProgressAdd(static_cast<uint64_t>(bytes));
    ProgressEnd();
    ConsolePrintText(L"\r\n");
  }
  return 1;
}

// Files of a WIM archive come from their streams. A stream that is damaged or whose SHA-1 differs is reported
// and its file removed; the run goes on and the command fails. Most files are written by the archive's workers
// while the next ones are made: their failures are reported when FinishWimFiles waits for them.
int ExtractWimEntry(CImageDocument* document, const CTreeEntry* entry, const wchar_t* path, FILE* file) {
  const int result = WimExtractFileQueued(document, entry, document->testOnly ? nullptr : file, path,
                                          ConsoleModeGet() ? ProgressAdd : nullptr);
  if (result == -2) {
    if (ConsoleModeGet()) ConsolePrintText(L"\r\n");
    ConsolePrintf(L"%ls: %ls\r\n", path, LastErrorGetText());
    LastErrorSetText(nullptr);
    ++g_extractFailures;
    return -1;
  }
  if (result < 0) return -1;
  if (ConsoleModeGet()) {
    ProgressEnd();
    ConsolePrintText(L"\r\n");
  }
  return 1;
}

// A file the archive's workers could not finish: reported like the others, and removed.
void ReportWimFailure(const wchar_t* path, const wchar_t* message, int error) {
  TempFileAdd(path, nullptr, 0);
  if (message) {
    ConsolePrintf(L"%ls: %ls\r\n", path, message);
    ++g_extractFailures;
  } else if (error) {
    // The reason is read from errno.
    LastErrorSetText(nullptr);
    errno = error;
    AbortCodeRaise(kAbortWriteFailed);
    ExtractReportFailure(path);
  }
}

// Waits for the files the archive's workers are still writing.
void FinishWimFiles(CImageDocument* document) {
  if (document->wim) WimExtractWait(document, ReportWimFailure);
}

int ExtractItems(CImageDocument* document, const CTreeEntry* entry, const wchar_t* path, FILE* file) {
  const int64_t size = entry->size > 0 ? entry->size : 0;
  if (ConsoleModeGet()) {
    CWideString title;
    WstrFormat(title, L"Extracting to %ls", path);
    ProgressBeginTotal(title.c_str(), static_cast<uint64_t>(size));
  }
  if (document->wim) return ExtractWimEntry(document, entry, path, file);
  if (DiskEntryHasOwnData(document, entry)) return ExtractDiskEntry(document, entry, size, file);
  if (entry->inlineData) return ExtractInlineEntry(document, entry, size, file);
  // The file's pieces: its extents, or one run from its first sector.
  std::vector<CTreeExtent> pieces;
  if (entry->extents && entry->extentCount > 0)
    pieces.assign(entry->extents, entry->extents + entry->extentCount);
  else
    pieces.push_back({entry->sourceLba, size});
  const int64_t sectorsPerChunk = std::min<int64_t>(kChunkSectors, std::max<int64_t>(1, (size + 2047) / 2048));
  // One buffer serves every file of the run.
  static std::vector<uint8_t> buffer;
  if (buffer.size() < static_cast<size_t>(sectorsPerChunk) * 2048) buffer.resize(static_cast<size_t>(sectorsPerChunk) * 2048);
  int64_t left = size;
  for (const CTreeExtent& piece : pieces) {
    int64_t pieceLeft = std::min(piece.length, left);
    int64_t sector = piece.lba;
    if (file && !document->testOnly && pieceLeft > 0 && std::fflush(file) == 0) {
      // Plain images copy inside the kernel, without passing the data through this process.
      int64_t copied = ImageCopyUserDataToFd(document, sector, pieceLeft, fileno(file));
      // A copy that stopped inside a sector goes back to the sector's start; the reads below go on from there.
      if (int64_t rest = copied % 2048; copied < pieceLeft && rest != 0) {
        if (lseek(fileno(file), -rest, SEEK_CUR) < 0) {
          AbortCodeRaise(kAbortWriteFailed);
          return -1;
        }
        copied -= rest;
      }
      if (copied > 0) {
        sector += copied / 2048;
        pieceLeft -= copied;
        left -= copied;
        if (ConsoleModeGet()) ProgressAdd(static_cast<uint64_t>(copied));
      }
    }
    while (pieceLeft > 0) {
      int64_t bytes = std::min(pieceLeft, sectorsPerChunk * 2048);
      int64_t sectors = (bytes + 2047) / 2048;
      if (ImageReadSectors(document, sector, buffer.data(), sectors) != sectors) {
        if (AbortCodeGet() == 0) AbortCodeSet(kAbortReadFailed);
        return -1;
      }
      if (!document->testOnly && std::fwrite(buffer.data(), 1, static_cast<size_t>(bytes), file) != static_cast<size_t>(bytes)) {
        AbortCodeRaise(kAbortWriteFailed);
        return -1;
      }
      sector += sectors;
      pieceLeft -= bytes;
      left -= bytes;
      if (ConsoleModeGet()) ProgressAdd(static_cast<uint64_t>(bytes));
    }
  }
  if (left > 0) {
    // The records describe less data than the file's size.
    LastErrorSetText(L"The file's data is not all described in the image.");
    AbortCodeSet(kAbortReadFailed);
    return -1;
  }
  if (ConsoleModeGet()) {
    ProgressEnd();
    ConsolePrintText(L"\r\n");
  }
  return 1;
}

// 1 done or passed over, 0 skipped by the user, -1 failed.
int ExtractFile(CImageDocument* document, const CTreeEntry* entry, const wchar_t* path) {
  if (entry->containerItem != -1) return 1;
  if (entry->sourcePath && wcscasecmp(entry->sourcePath, path) == 0) return 1;
  FILE* file = nullptr;
  if (!document->testOnly) {
    int overwrite = ExtractCheckOverwrite(path, entry);
    if (overwrite == -2) {
      ConsolePrintf(L"%ls: %ls\r\n", path, L"The source file name and destination file name can not be same.");
      ++g_extractFailures;
      return 1;
    }
    if (overwrite != 0) return 0;
    file = FileOpenCreate(path);
    if (!file) {
      FolderCreatePath(nullptr, path);
      file = FileOpenCreate(path);
    }
    if (!file) {
      if (AbortCodeGet() == kAbortCancelled) return -1;
      AbortCodeSet(kAbortLocalFile);
      ExtractReportFailure(path);
      return -1;
    }
  }
  int result = ExtractItems(document, entry, path, file);
  if (file) {
    if (result > 0 && std::fflush(file) != 0) {
      AbortCodeRaise(kAbortWriteFailed);
      result = -1;
    }
    if (result > 0) {
      SetTimes(path, file, IsoDecodeRecordDate(entry->directoryRecord + kDirRecordDate));
      if (std::fclose(file) != 0) {
        AbortCodeRaise(kAbortWriteFailed);
        result = -1;
        TempFileAdd(path, nullptr, 0);
      }
    } else {
      // The partial file goes when the run ends.
      if (ConsoleModeGet()) ConsolePrintText(L"\r\n");
      TempFileAdd(path, file, 0);
    }
  }
  if (AbortCodeGet() != kAbortCancelled) ExtractReportFailure(path);
  return result;
}

// Extracts the entries of `start` and of every folder below it.
void ExtractFolder(CImageDocument* document, CTreeFolder* start, const std::wstring& base) {
  std::vector<CTreeFolder*> pending{start};
  std::vector<std::pair<std::wstring, int64_t>> folderTimes;
  // The folder asked for is made even when it holds nothing.
  if (start != document->rootFolder && start->entry) {
    std::wstring own;
    if (ExtractCheckName(document, start->entry, base, &own) && !document->testOnly) {
      FolderCreatePath(nullptr, own.c_str());
      folderTimes.emplace_back(own, IsoDecodeRecordDate(start->entry->directoryRecord + kDirRecordDate));
    }
  }
  while (!pending.empty() && AbortCodeGet() == 0) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    // Files are copied in the order their data lies in the image: the source is read front to back.
    std::vector<CTreeEntry*> entries;
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) entries.push_back(entry);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const CTreeEntry* a, const CTreeEntry* b) { return a->sourceLba < b->sourceLba; });
    for (CTreeEntry* entry : entries) {
      if (AbortCodeGet() != 0) break;
      if (IsDotEntry(entry)) continue;
      std::wstring path;
      if (!ExtractCheckName(document, entry, base, &path)) {
        ReportTooLong(document, entry);
        continue;
      }
      LastErrorSetText(nullptr);
      if (TreeEntryIsFolder(entry)) {
        if (!document->testOnly) {
          if (!FolderCreatePath(nullptr, path.c_str())) {
            LastErrorSetCode(0);
            AbortCodeSet(kAbortLocalFile);
          }
          ExtractReportFailure(path.c_str());
          folderTimes.emplace_back(path, IsoDecodeRecordDate(entry->directoryRecord + kDirRecordDate));
        }
      } else {
        ExtractFile(document, entry, path.c_str());
      }
    }
    std::vector<CTreeFolder*> children;
    for (CTreeFolder* child = folder->firstChild; child; child = child->next) children.push_back(child);
    pending.insert(pending.end(), children.rbegin(), children.rend());
  }
  // Folder times last: writing into a folder changes its time.
  if (AbortCodeGet() == 0 && !document->testOnly) {
    for (auto it = folderTimes.rbegin(); it != folderTimes.rend(); ++it) SetTimes(it->first.c_str(), nullptr, it->second);
  }
}

namespace {

// Audio tracks after a data track in one session.
bool IsMixedModeDisc(const CImageDocument* document) {
  const CTrackTable* table = document->trackTable;
  return table && !TrackTableIsAudioTrack(table, 0) && TrackTableIsMixedModeFrom(table, 0);
}

// The audio format chosen with -ot; WAV when none was.
int32_t ChosenAudioFormat() {
  switch (g_settings->outputType) {
    case kOutputTypeMp3:
      return kAudioFormatMp3;
    case kOutputTypeFlac:
      return kAudioFormatFlac;
    case kOutputTypeApe:
      return kAudioFormatApe;
    case kOutputTypeWma:
      return kAudioFormatWma;
    default:
      return kAudioFormatWav;
  }
}

// Rips every audio track into `folder`: 0, or -1 when the abort code stopped the run. A track that could not be
// written in the chosen format makes the command fail without stopping the others.
int ExtractAudioTracks(CImageDocument* document, const std::wstring& folder) {
  const int32_t format = ChosenAudioFormat();
  const int32_t count = document->trackTable->trackCount;
  for (int32_t index = 0; index < count; ++index) {
    if (!TrackTableIsAudioTrack(document->trackTable, index)) continue;
    LastErrorSetText(nullptr);
    if (RipAudioTrack(document, index, folder.c_str(), format) == 0 && format != kAudioFormatWav) ++g_extractFailures;
    if (AbortCodeGet() != 0) return -1;
  }
  return 0;
}

}  // namespace

int CliRunExtract() {
  ErrorStateReset();
  OverwriteAnswerSet(0);
  g_extractFailures = 0;
  if (!g_settings->outputFolder || !*g_settings->outputFolder) {
    ConsolePrintf(L"Please specify extract output directory.\r\n");
    return -1;
  }
  g_sessionAppendMode = 1;
  CImageDocument* document = ImageOpenByPath(g_settings->firstArgument, kOpenLoadTree | kOpenSessionAppend);
  if (!document) return -1;
  CImageDocument* previous = CurrentImageGet();
  CurrentImageSet(document);
  ImageClose(previous);
  RememberImageFile(document);
  std::wstring base = g_settings->outputFolder;
  if (base.empty() || base.back() != L'/') base += L'/';
  // Audio tracks come first: an audio disc is done with them, a mixed-mode disc's files go to Data beside Audio.
  const bool audioDisc = document->inputType == kImageTypeAudioDisc;
  if ((audioDisc || IsMixedModeDisc(document)) && document->trackTable && document->trackTable->trackCount > 0) {
    if (ExtractAudioTracks(document, audioDisc ? base : base + L"Audio/") != 0 || audioDisc) {
      ConsolePrintText(L"\r\n");
      TempFilePurge();
      return AbortCodeGet() != 0 || g_extractFailures ? -1 : 0;
    }
    base += L"Data/";
  }
  const wchar_t* inImage = g_settings->secondArgument;
  int result;
  if (CTreeFolder* folder = TreeFindFolderByPath(document, document->rootFolder, inImage)) {
    ExtractFolder(document, folder, base);
    FinishWimFiles(document);
    ConsolePrintText(L"\r\n");
    result = AbortCodeGet() != 0 ? -1 : 0;
  } else if (CTreeEntry* entry = TreeFindEntryByPath(document, document->rootFolder, inImage)) {
    std::wstring path;
    if (!ExtractCheckName(document, entry, base, &path)) {
      ReportTooLong(document, entry);
      AbortCodeSet(kAbortCancelled);
      result = -1;
    } else {
      ExtractFile(document, entry, path.c_str());
      FinishWimFiles(document);
      ConsolePrintText(L"\r\n");
      result = AbortCodeGet() != 0 ? -1 : 0;
    }
  } else {
    ConsolePrintf(L"Can not find the object: %ls\r\n", inImage);
    result = -1;
  }
  // Partial files of failed copies are removed.
  TempFilePurge();
  if (CliReportImageDamage(document)) result = -1;
  if (g_extractFailures) result = -1;
  return result;
}
