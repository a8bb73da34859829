#include "builder/add_local.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "builder/build_state.h"
#include "builder/iso_writer.h"
#include "builder/names.h"
#include "builder/rockridge.h"
#include "filesystems/fat.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/parallel.h"
#include "runtime/paths.h"
#include "runtime/textconv.h"
#include "runtime/ui.h"
#include "runtime/wstring.h"
#include "tree/iso_helpers.h"
#include "tree/tree.h"

namespace {

// Folders with more entries than this get a name index, so adding stays linear.
constexpr int kIndexAfterEntries = 32;

bool IsDot(const wchar_t* name) { return PathDotKind(name) == 0; }
bool IsDotDot(const wchar_t* name) { return PathDotKind(name) == 1; }

bool LocalStatus(const wchar_t* path, struct stat* status, bool follow) {
  char* narrow = TextWideToMultiByteDup(path);
  const bool ok = narrow && (follow ? stat(narrow, status) : lstat(narrow, status)) == 0;
  MemFree(narrow);
  return ok;
}

// The date a new entry carries: the document's fixed time, else the local file's modification time.
int64_t EntryTime(const CImageDocument* document, const struct stat* status) {
  if (document->fixedTime != 0) return document->fixedTime;
  return status ? static_cast<int64_t>(status->st_mtime) : ImageGetFixedTime(document);
}

void FillRecord(CTreeEntry* entry, bool folder, int64_t size, int64_t time) {
  uint8_t* record = entry->directoryRecord;
  std::memset(record, 0, kDirRecordCopySize);
  record[kDirRecordFlags] = folder ? kDirFlagDirectory : 0;
  PutBothEndian16(record + kDirRecordVolumeSequence, 1);
  IsoEncodeRecordDate(record + kDirRecordDate, time);
  entry->size = folder ? 0 : size;
}

// Exact (case-sensitive) lookup of a display name in a folder; large folders get a name index on the way.
CTreeEntry* FindExact(CTreeFolder* folder, const wchar_t* name) {
  if (folder->wideIndex) return NameIndexFindByWideName(folder->wideIndex, name);
  int count = 0;
  for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next, ++count)
    if (entry->name && std::wcscmp(entry->name, name) == 0) return entry;
  if (count > kIndexAfterEntries) {
    CNameIndex* index = NameIndexNew();
    if (index) {
      for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next)
        if (entry->name) NameIndexAddWideName(index, entry);
      folder->wideIndex = index;
    }
  }
  return nullptr;
}

CTreeEntry* NewEntry(const wchar_t* name, const wchar_t* sourcePath) {
  CTreeEntry* entry = TreeNewEntry();
  if (!entry) return nullptr;
  entry->name = WstrDupChars(name);
  if (sourcePath) entry->sourcePath = WstrDupChars(sourcePath);
  if (!entry->name || (sourcePath && !entry->sourcePath)) {
    TreeFreeEntry(nullptr, entry);
    return nullptr;
  }
  return entry;
}

void ShowCannotCopy(const wchar_t* name, const wchar_t* reason) {
  CWideString text;
  WstrFormat(text, L"Cannot copy %ls: %ls", name, reason);
  MessageShow(text.c_str());
}

std::wstring JoinPath(const wchar_t* folder, const wchar_t* name) {
  std::wstring path = folder;
  if (path.empty() || path.back() != L'/') path += L'/';
  path += name;
  return path;
}

// One entry of a local folder: its name and, when it could be read, its status (the link itself for links).
struct LocalItem {
  std::string name;
  struct stat status;
  bool known;
};

// Folders with at least this many entries have their statuses read on several threads.
constexpr int64_t kStatusesPerThread = 32;

// The entries of a local folder in bytewise name order, without "." and "..", with their statuses read
// relative to the open folder (no path walk per entry). False when the folder cannot be read.
bool ReadLocalFolder(const wchar_t* path, std::vector<LocalItem>* items) {
  char* narrow = TextWideToMultiByteDup(path);
  DIR* folder = narrow ? opendir(narrow) : nullptr;
  MemFree(narrow);
  if (!folder) return false;
  while (dirent* item = readdir(folder)) {
    if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) continue;
    items->push_back({item->d_name, {}, false});
  }
  std::sort(items->begin(), items->end(), [](const LocalItem& a, const LocalItem& b) { return a.name < b.name; });
  const int handle = dirfd(folder);
  ParallelFor(static_cast<int64_t>(items->size()), kStatusesPerThread, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      LocalItem& item = (*items)[static_cast<size_t>(i)];
      item.known = fstatat(handle, item.name.c_str(), &item.status, AT_SYMLINK_NOFOLLOW) == 0;
    }
  });
  closedir(folder);
  return true;
}

wchar_t* WideName(const std::string& bytes) {
  // Names the locale cannot read keep their byte values rather than being dropped.
  std::vector<wchar_t> wide(bytes.size() + 1);
  size_t n = TextMultiByteToWideLenient(bytes.data(), bytes.size(), wide.data());
  wide[n] = L'\0';
  return WstrDupChars(wide.data());
}

// Calls `visit` with the path, name and status (null when it could not be read) of every entry of the local
// folder, in bytewise name order, until the build's abort code is set or the user cancelled. False (reported)
// when the folder cannot be read.
template <typename Visit>
bool ForEachLocalEntry(const wchar_t* localPath, Visit visit) {
  std::vector<LocalItem> items;
  if (!ReadLocalFolder(localPath, &items)) {
    LastErrorSetText(L"Can not read the folder.");
    ErrorReport(localPath);
    return false;
  }
  for (const LocalItem& item : items) {
    if (AbortCodeGet() != kAbortNone || OverwriteAnswerGet() == kAnswerCancelAll) break;
    wchar_t* name = WideName(item.name);
    if (!name) {
      AbortCodeRaise(kAbortNoMemory);
      break;
    }
    visit(JoinPath(localPath, name), name, item.known ? &item.status : nullptr);
    MemFree(name);
  }
  return true;
}

// A file of 4 GiB or more does not fit one ISO 9660 record. A plain data image becomes a UDF image: without
// Joliet, and without ISO 9660 unless El Torito or Rock Ridge need it (ISO 9660 then stores the file in
// several extents). A disc being appended to takes it only when it already carries UDF; images made of tracks
// (audio, or data tracks from a sheet) and Video CDs refuse it. False when the file is refused (the user was told).
bool AcceptLargeFile(CImageDocument* document, const wchar_t* localPath, int64_t size) {
  CWideString text;
  if (document->appendMode) {
    if (document->udf) return true;
    WstrFormat(text, L"%ls\r\n\r\nThe file size is too big(> 4G Bytes), and can not be added into the image.",
               localPath);
    MessageShow(text.c_str());
    return false;
  }
  const bool tracks = document->inputType == kImageTypeAudioDisc || document->inputType == kImageTypeAudioProject ||
                      (document->trackTable && document->trackTable->trackCount > 0) || document->videoCdKind != 0;
  if (tracks) {
    WstrFormat(text, L"%ls (%ls)\r\n\r\n%ls", localPath, TextFormatSize(static_cast<uint64_t>(size)),
               L"The maximum allowed file size on disc is 4GB if ISO 9660 is enabled.");
    MessageShow(text.c_str());
    return false;
  }
  document->jolietLevel = 0;
  document->udf = 1;
  if (!document->bootInfo && !document->rockRidge) document->noIso9660 = 1;
  return true;
}

}  // namespace

int64_t IsoRecordCount(const CTreeEntry* entry) {
  if (!entry || TreeEntryIsFolder(entry) || entry->size <= kIsoMaxExtentBytes) return 1;
  return (entry->size + kIsoMaxExtentBytes - 1) / kIsoMaxExtentBytes;
}

void TreeAddDotEntries(CImageDocument* document, CTreeFolder* folder, const struct stat* attributes) {
  if (!document || !folder) return;
  const bool root = folder == document->rootFolder || folder->parent == folder;
  int64_t time = EntryTime(document, attributes);
  if (root && document->fixedTime == 0) time = document->creationTime ? document->creationTime : time;
  const wchar_t* names[2] = {L"..", L"."};
  const uint32_t flags[2] = {kTreeFolderHasDotDot, kTreeFolderHasDot};
  for (int i = 0; i < 2; ++i) {
    if (folder->flags & flags[i]) continue;
    // An entry of that name may be there from an opened image without the flag.
    bool present = false;
    for (CTreeEntry* entry = folder->firstEntry; entry && !present; entry = entry->next)
      present = entry->name && std::wcscmp(entry->name, names[i]) == 0;
    if (!present) {
      CTreeEntry* entry = NewEntry(names[i], nullptr);
      if (!entry) {
        AbortCodeRaise(kAbortNoMemory);
        return;
      }
      FillRecord(entry, true, 0, time);
      if (folder->flags & kTreeHidden) entry->flags |= kTreeHidden;
      TreeFolderPrependEntry(folder, entry);
    }
    folder->flags |= flags[i];
  }
}

namespace {

// TreeAddLocalPath with the status of `localPath` (not following a link) when the caller read it already.
CTreeEntry* AddLocalPath(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath, const wchar_t* name,
                         const struct stat* known) {
  if (!document || !folder || !localPath || !name) return nullptr;
  const bool dotName = IsDot(name) || IsDotDot(name);
  struct stat status;
  if (known) {
    status = *known;
  } else if (!LocalStatus(localPath, &status, false)) {
    if (dotName) return nullptr;
    CWideString text;
    WstrFormat(text, L"%ls\r\n\r\n%ls\r\n\r\n%ls", L"Open file failed.", localPath, L"Do you want to continue?");
    if (UiAsk(text.c_str(), kAskYes | kAskNo) != kAskYes) AbortCodeSet(kAbortCancelled);
    return nullptr;
  }
  if (S_ISLNK(status.st_mode)) return nullptr;
  const bool isFolder = S_ISDIR(status.st_mode);
  if (!isFolder && !S_ISREG(status.st_mode)) return nullptr;
  if (dotName) {
    TreeAddDotEntries(document, folder, &status);
    return nullptr;
  }
  if (!isFolder && static_cast<int64_t>(status.st_size) >= kTreeLargeFileSize && document->noIso9660 == 0 &&
      !AcceptLargeFile(document, localPath, static_cast<int64_t>(status.st_size)))
    return nullptr;

  CTreeEntry* existing = FindExact(folder, name);
  if (existing) {
    const bool existingFolder = TreeEntryIsFolder(existing) != 0;
    if (existingFolder && !isFolder) {
      ShowCannotCopy(name, L"A folder with the name you specified already exists. Please specify a different "
                           L"folder name.");
      return existing;
    }
    if (!existingFolder && isFolder) {
      ShowCannotCopy(name, L"A file with the name you specified already exists. Please specify a different file "
                           L"name.");
      return existing;
    }
    const int32_t answer = MessageAskOverwrite(localPath, name);
    if (answer == kAnswerYesAll || answer == kAnswerNoAll || answer == kAnswerCancelAll) OverwriteAnswerSet(answer);
    if (answer != kAnswerYesOne && answer != kAnswerYesAll) return existing;
    if (existingFolder) {
      if (existing->folder) TreeScanLocalFolder(document, existing->folder, localPath, existing);
      return existing;
    }
    // A disk's file system loses the old file with its clusters before the new one is written.
    if (document->fat && FatGetLocator(existing) && FatDeleteFile(document, existing) != 0) return existing;
    TreeDeleteEntry(document, existing);
  }

  CTreeEntry* entry = NewEntry(name, localPath);
  if (!entry) {
    AbortCodeRaise(kAbortNoMemory);
    return nullptr;
  }
  FillRecord(entry, isFolder, static_cast<int64_t>(status.st_size), EntryTime(document, &status));
  if (folder->flags & kTreeHidden) entry->flags |= kTreeHidden;
  TreeFolderPrependEntry(folder, entry);
  if (isFolder) {
    CTreeFolder* node = TreeInsertFolderNode(document, folder, localPath, entry, 0);
    if (!node) {
      AbortCodeRaise(kAbortNoMemory);
      return entry;
    }
    // On a disk's file system the folder is made there first, so that what it holds has a place to go.
    if (document->fat && FatMakeDirectory(document, entry) != 0) {
      TreeDeleteFolder(document, node);
      return nullptr;
    }
    TreeScanLocalFolder(document, node, localPath, entry);
  } else if (document->fat && FatAddFile(document, nullptr, entry) != 0) {
    // The file could not be copied into the disk's file system: it leaves the tree again.
    TreeDeleteEntry(document, entry);
    return nullptr;
  }
  return entry;
}

CTreeEntry* AddLocalFile(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath,
                         const struct stat* known) {
  if (!document || !folder || !localPath) return nullptr;
  if (document->inputType == kImageTypeAudioDisc || document->inputType == kImageTypeAudioProject || document->readOnly)
    return nullptr;
  const wchar_t* slash = std::wcsrchr(localPath, L'/');
  const wchar_t* name = slash && slash[1] ? slash + 1 : localPath;
  return AddLocalPath(document, folder, localPath, name, known);
}

}  // namespace

CTreeEntry* TreeAddLocalPath(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath,
                             const wchar_t* name) {
  return AddLocalPath(document, folder, localPath, name, nullptr);
}

int TreeScanLocalFolder(CImageDocument* document, CTreeFolder* node, const wchar_t* localPath, CTreeEntry* entry) {
  if (!document || !node || !localPath) return 1;
  if (entry && (entry->flags & kTreeHidden)) node->flags |= kTreeHidden;
  struct stat status;
  const bool known = LocalStatus(localPath, &status, true);
  TreeAddDotEntries(document, node, known ? &status : nullptr);
  ForEachLocalEntry(localPath, [&](const std::wstring& path, const wchar_t* name, const struct stat* known) {
    AddLocalPath(document, node, path.c_str(), name, known);
  });
  return 1;
}

CTreeEntry* ImageAddLocalFile(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath) {
  return AddLocalFile(document, folder, localPath, nullptr);
}

int CliAddLocalPath(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath) {
  struct stat status;
  if (!LocalStatus(localPath, &status, true)) {
    UiPrintf(L"\r\nCan not find file or folder: %ls\r\n", localPath);
    return 0;
  }
  if (S_ISREG(status.st_mode)) {
    if (!ImageAddLocalFile(document, folder, localPath) && AbortCodeGet() == kAbortNone &&
        (document->inputType == kImageTypeAudioDisc || document->inputType == kImageTypeAudioProject ||
         document->readOnly))
      return 0;
    return AbortCodeGet() == kAbortNone ? 1 : -1;
  }
  if (!S_ISDIR(status.st_mode)) return 1;
  const bool read =
      ForEachLocalEntry(localPath, [&](const std::wstring& path, const wchar_t*, const struct stat* known) {
        if (path.size() + 1 > 1024) {
          // Reported and passed over; the rest of the folder is still added.
          LastErrorSetText(L"File name too long");
          ErrorReport(path.c_str());
          return;
        }
        AddLocalFile(document, folder, path.c_str(), known);
      });
  if (!read) return -1;
  return AbortCodeGet() == kAbortNone ? 1 : -1;
}

int TreePrepareAddedFiles(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress) {
  if (!document || !folder) return -1;
  CIsoBuildState* state = IsoBuildState(document);
  std::vector<CTreeFolder*> pending{folder};
  while (!pending.empty()) {
    CTreeFolder* node = pending.back();
    pending.pop_back();
    if (AbortCodeGet() != kAbortNone) return -1;
    TreeAddDotEntries(document, node, nullptr);
    if (AbortCodeGet() != kAbortNone) return -1;
    if (IsoNameTree(document, node, progress) != 0) return -1;
    if (document->rockRidge && RockRidgeBuildFolderEntries(document, node) != 0) return -1;
    const bool root = node == document->rootFolder;
    for (CTreeEntry* entry = node->firstEntry; entry; entry = entry->next) {
      const int length = entry->directoryRecord[kDirRecordNameLength];
      const bool folderEntry = TreeEntryIsFolder(entry) != 0;
      int record = 33 + length;
      record += record & 1;
      if (document->rockRidge) {
        record += entry->systemUseLength;
        record += record & 1;
      }
      if (record >= 256) {
        LastErrorSetText(L"The name is too long for an ISO 9660 record.");
        AbortCodeSet(kAbortSaveFailed);
        return -1;
      }
      entry->directoryRecord[kDirRecordLength] = static_cast<uint8_t>(record);
      const bool dot = entry->isoName && (entry->isoName[0] == 0 || (entry->isoName[0] == 1 && !entry->isoName[1]));
      if (dot) {
        if (root && entry->isoName[0] == 0) state->isoPathTableBytes += 10;
      } else if (folderEntry) {
        state->isoPathTableBytes += 8 + length + (length & 1);
      }
    }
    IsoSortEntries(node);
    node->isoExtentSize = IsoMeasureDirectory(node);
    // Subfolders in their ISO order; pushed in reverse so they are handled in that order.
    const size_t mark = pending.size();
    for (CTreeEntry* entry = node->firstEntry; entry; entry = entry->next)
      // A relocated folder is reached through its record in the relocation folder.
      if (CTreeFolder* child = RockRidgeEntryFolder(document, entry);
          child && !TreeEntryIsDotName(entry) && child != node && !RockRidgeIsPlaceholder(entry))
        pending.push_back(child);
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(mark), pending.end());
  }
  return 0;
}
