#include "session/disk_open.h"
#include "session/save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "builder/build_state.h"
#include "builder/iso_writer.h"
#include "builder/layout.h"
#include "builder/rockridge.h"
#include "image/save_options.h"
#include "formats/cue_writer.h"
#include "image/document.h"
#include "session/document.h"
#include "session/format_table.h"
#include "image/tracktable.h"
#include "qvf/volume.h"
#include "qvf/writer.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/textconv.h"
#include "tree/tree.h"
#include "runtime/ui.h"

namespace {

// Images above 8 TiB are refused: ISO 9660 counts sectors in 32 bits.
constexpr int64_t kMaxImageBytes = int64_t{1} << 43;

struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool known = false;
};

std::string Narrow(const wchar_t* path) {
  char* bytes = path ? TextWideToMultiByteDup(path) : nullptr;
  std::string result = bytes ? bytes : "";
  MemFree(bytes);
  return result;
}

Identity IdentityOfPath(const wchar_t* path, struct stat* out = nullptr) {
  Identity identity;
  struct stat info;
  const std::string narrow = Narrow(path);
  if (!narrow.empty() && stat(narrow.c_str(), &info) == 0) {
    identity = {info.st_dev, info.st_ino, true};
    if (out) *out = info;
  }
  return identity;
}

Identity IdentityOfStream(FILE* stream) {
  Identity identity;
  struct stat info;
  if (stream && fstat(fileno(stream), &info) == 0) identity = {info.st_dev, info.st_ino, true};
  return identity;
}

bool Same(const Identity& a, const Identity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

// True when the opened image (its file, descriptor or a track's file) is the file `target`.
bool TargetIsSource(CImageDocument* document, const Identity& target) {
  if (Same(IdentityOfStream(document->input), target)) return true;
  if (!WstrIsEmpty(document->companionPath) && Same(IdentityOfPath(document->companionPath.c_str()), target))
    return true;
  if (CTrackTable* table = document->trackTable) {
    for (int32_t i = 0; i < table->trackCount; ++i) {
      const CTrackInfo* track = TrackTableGetTrack(table, i);
      if (!track) break;
      if (track->file && Same(IdentityOfStream(track->file), target)) return true;
      if (!WstrIsEmpty(track->fileName) && Same(IdentityOfPath(track->fileName.c_str()), target)) return true;
    }
  }
  return false;
}

// True when a local file added to the tree is the file `target`.
bool TargetIsAddedFile(CImageDocument* document, const Identity& target) {
  if (!document->rootFolder) return false;
  std::vector<CTreeFolder*> pending{document->rootFolder};
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (entry->folder && entry->folder != folder && !TreeEntryIsDotName(entry)) pending.push_back(entry->folder);
      if (entry->sourcePath && !TreeEntryIsFolder(entry) && Same(IdentityOfPath(entry->sourcePath), target))
        return true;
    }
  }
  return false;
}

void Fail(int32_t code) {
  if (AbortCodeGet() == kAbortNone) AbortCodeSet(code);
}

// A fresh file beside `target` (same folder), created exclusively with mode 0600: its stream and its name.
FILE* CreateTempBeside(const wchar_t* target, std::wstring* name) {
  std::string pattern = Narrow(target);
  if (pattern.empty()) return nullptr;
  pattern += ".kestrane-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w+b");
  if (!stream) {
    close(fd);
    unlink(buffer.data());
    return nullptr;
  }
  wchar_t* wide = TextMultiByteToWideDup(buffer.data());
  if (!wide) {
    std::fclose(stream);
    unlink(buffer.data());
    return nullptr;
  }
  *name = wide;
  MemFree(wide);
  return stream;
}

int32_t OutputTypeFor(const wchar_t* target) {
  CWideString suffix = PathGetExtension(target);
  int32_t type = ImageFormatFindByExtension(suffix.c_str());
  if (type < 0 || type == 3) type = kImageTypeIso;
  return type;
}

}  // namespace

int ImageApplySaveOptions(CImageDocument* document, const CSaveOptions* options) {
  if (!document || !options) return 0;
  int changed = 0;
  if (options->compressionLevel > 0) document->compressionLevel = options->compressionLevel - 1;
  if (document->splitVolumes != options->splitVolumes) {
    document->splitVolumes = options->splitVolumes;
    changed = 2;
  }
  if (options->splitVolumes && document->splitVolumeSize != options->volumeSize) {
    document->splitVolumeSize = options->volumeSize;
    changed = 2;
  }
  if (options->volumeNaming && document->volumeNaming != options->volumeNaming) {
    document->volumeNaming = options->volumeNaming;
    changed = 2;
  }
  if (std::strncmp(document->password, options->password, sizeof(document->password)) != 0) {
    std::snprintf(document->password, sizeof(document->password), "%s", options->password);
    changed = 2;
  }
  if (document->passwordSet != options->passwordSet) {
    document->passwordSet = options->passwordSet;
    changed = 2;
  }
  const size_t length = options->commentLength > 0 ? static_cast<size_t>(options->commentLength) : 0;
  if (length > 0 && (document->comment.size() != length ||
                     std::memcmp(document->comment.data(), options->comment, length) != 0)) {
    document->comment.assign(options->comment, length);
    changed = 2;
  }
  if (document->selfExtractor != options->selfExtractor) {
    document->selfExtractor = options->selfExtractor;
    changed = 2;
  }
  return changed;
}

namespace {
int BuildWithState(CImageDocument* document, CProgressCallbacks* callbacks);
}  // namespace

int ImageBuild(CProgressCallbacks* callbacks) {
  CImageDocument* document = callbacks && callbacks->document ? callbacks->document : CurrentImageGet();
  return ImageBuildDocument(document, callbacks);
}

int ImageBuildDocument(CImageDocument* document, CProgressCallbacks* callbacks) {
  ErrorStateReset();
  if (!document) return 0;
  // The build's working state lives from here to the end of this call, and only for this document.
  IsoBuildBegin(document);
  const int built = BuildWithState(document, callbacks);
  IsoBuildEnd(document);
  return built;
}

namespace {

int BuildWithState(CImageDocument* document, CProgressCallbacks* callbacks) {
  IsoFreeWriterBuffers(document);
  const bool console = callbacks == nullptr;
  const auto failed = [&]() {
    UiPrintf(L"\r\n");
    RockRidgeRestoreRelocatedFolders(document);
    return 0;
  };
  if (!IsoPrepareTree(document, callbacks) || AbortCodeGet() != kAbortNone) return failed();
  const bool optimize = document->storeIdenticalOnce != 0;
  if (optimize && console) UiPrintf(L"Scanning and optimizing files ");
  IsoSetSessionStart(document);
  IsoLayoutImage(document, callbacks, -1);
  if (optimize && console) UiPrintf(L"\r\n");
  if (AbortCodeGet() != kAbortNone) return failed();
  const int64_t sectors = IsoBuildState(document)->nextFreeLba;
  if (sectors > kMaxImageBytes / 2048) {
    LastErrorSetText(L"The new image file size is too large(> 8T Bytes). Please remove some files.");
    AbortCodeSet(kAbortTooLarge);
    ErrorReport(nullptr);
    return failed();
  }
  if (document->noIso9660 == 0) {
    if (IsoBuildPathTables(document) != 0) return failed();
    if (document->jolietLevel != 0 && JolietBuildPathTables(document) != 0) return failed();
  }
  document->buildSectorCount = sectors;
  if (console) UiProgressBegin(L"Writing image file ", static_cast<uint64_t>(sectors) * 2048);
  const int written = IsoWriteImage(document, callbacks);
  document->buildSectorCount = 0;
  // The tree goes back to what the user sees once the image is written.
  RockRidgeRestoreRelocatedFolders(document);
  if (written != 0) {
    if (!WstrIsEmpty(CWideString(LastErrorGetText())) && AbortCodeGet() != kAbortWriteFailed)
      ErrorReport(nullptr);
    return failed();
  }
  if (console) UiProgressEnd();
  UiPrintf(L"\r\n");
  return 1;
}

}  // namespace

int ImageSaveAs(CImageDocument* document, const wchar_t* target) {
  if (!document) return -1;
  ErrorStateReset();
  AbortCodeSet(kAbortNone);
  document->output = nullptr;
  const bool overOpened = !target || !*target;
  std::wstring chosen = overOpened ? std::wstring(document->path.c_str()) : std::wstring(target);
  if (chosen.empty()) {
    UiPrintf(L"Please specify output file name.\r\n");
    return -1;
  }
  // A Video CD needs its own writer (CD-XA records, Form 2 tracks, fixed sectors); written as a plain image it
  // would lose its tracks, so it is refused instead of written wrong.
  if (document->videoCdKind != 0) {
    CWideString message;
    WstrFormat(message, L"%ls\r\n\r\n%ls", document->path.c_str(),
               L"This is a Video CD image file, and can not be converted.");
    MessageShow(message.c_str());
    Fail(kAbortSaveFailed);
    return -1;
  }
  // An edited disk keeps its own layout: the file is copied with the file system's changes applied.
  const bool disk = document->inputType == kImageTypeDiskImage;
  if (disk && !DiskCanWriteEdited(document)) {
    UiPrintf(L"%ls\r\n\r\n%ls\r\n", document->path.c_str(), L"This image file can not be edited.");
    Fail(kAbortSaveFailed);
    return -1;
  }
  int32_t type = disk ? kImageTypeIso : OutputTypeFor(chosen.c_str());
  const CImageFormatInfo* row = ImageFormatGet(type);
  if (!disk && (!row || !row->write || type > kImageTypeQvf)) {
    UiPrintf(L"%ls\r\n", L"The file can't be converted to the selected format.");
    Fail(kAbortSaveFailed);
    return -1;
  }
  if (!disk && (document->splitVolumes || document->passwordSet) && type != kImageTypeQvf) {
    MessageShow(L"Some advanced features, such as password protection and multiple volume support has been enabled. "
                L"You need save the image file to a QVF file.");
    chosen = PathChangeExtension(chosen.c_str(), L"qvf", 1).c_str();
    type = kImageTypeQvf;
  }
  std::wstring outName = type == kImageTypeQvf ? QvfOutputName(document, chosen.c_str()) : chosen;
  if (outName.empty()) outName = chosen;

  // A split image, read or written, must never be saved over any volume of the image being read.
  const bool split = type == kImageTypeQvf && document->splitVolumes;
  const std::vector<std::wstring> sourceVolumes =
      document->qvf ? QvfVolumeNames(document->qvf) : std::vector<std::wstring>{};
  if (split || sourceVolumes.size() > 1) {
    const Identity target = IdentityOfPath(outName.c_str());
    bool clash = Same(IdentityOfStream(document->input), target);
    for (const std::wstring& volume : sourceVolumes)
      clash = clash || wcscasecmp(volume.c_str(), outName.c_str()) == 0 ||
              Same(IdentityOfPath(volume.c_str()), target);
    if (clash) {
      MessageShow(L"The source file or destination file is a multiple volume image file. You must save to a "
                  L"different file name.");
      Fail(kAbortSaveFailed);
      return -1;
    }
  }

  struct stat existing {};
  const Identity targetIdentity = IdentityOfPath(outName.c_str(), &existing);
  bool viaTemp = false;
  if (targetIdentity.known) {
    if (!S_ISREG(existing.st_mode)) {
      LastErrorSetText(L"The target is not a regular file.");
      ErrorReport(outName.c_str());
      Fail(kAbortSaveFailed);
      return -1;
    }
    if (TargetIsAddedFile(document, targetIdentity)) {
      UiPrintf(L"%ls\r\n", L"The source file name and destination file name can not be same.");
      Fail(kAbortSaveFailed);
      return -1;
    }
    const bool isSource = TargetIsSource(document, targetIdentity);
    // Saving over the opened image without -o is what the user asked for; any other existing file is asked.
    if (!(isSource && overOpened) && FileConfirmOverwrite(outName.c_str()) != 0) {
      Fail(kAbortSaveFailed);
      return -1;
    }
    // An existing file is replaced only once the new image is complete.
    viaTemp = !split;
  }

  std::wstring writeName = outName;
  FILE* stream = nullptr;
  if (viaTemp) {
    stream = CreateTempBeside(outName.c_str(), &writeName);
    if (!stream) {
      LastErrorSetText(L"Can not create temporary file while saving the image file.");
      ErrorReport(outName.c_str());
      Fail(kAbortSaveFailed);
      return -1;
    }
  } else {
    stream = FileOpenCreate(outName.c_str());
    if (!stream) {
      ErrorReport(outName.c_str());
      Fail(kAbortSaveFailed);
      return -1;
    }
  }

  const int32_t previousType = document->outputType;
  const CWideString previousPath = document->outputPath;
  document->output = stream;
  document->outputPath = writeName.c_str();
  document->outputType = type;
  int ok = disk ? DiskWriteEditedImage(document, stream) : ImageBuildDocument(document, nullptr);
  if (FileClose(document->output) != 0 && ok) {
    LastErrorSetCode(errno);
    ErrorReport(writeName.c_str());
    Fail(kAbortWriteFailed);
    ok = 0;
  }
  document->output = nullptr;
  if (ok && viaTemp) {
    const std::string from = Narrow(writeName.c_str());
    const std::string to = Narrow(outName.c_str());
    chmod(from.c_str(), existing.st_mode & 07777);
    if (std::rename(from.c_str(), to.c_str()) != 0) {
      LastErrorSetCode(errno);
      ErrorReport(outName.c_str());
      Fail(kAbortSaveFailed);
      ok = 0;
    }
  }
  if (!ok) {
    Fail(kAbortSaveFailed);
    FileDelete(writeName.c_str());
  }
  document->outputType = previousType;
  document->outputPath = previousPath;
  int result = -1;
  if (ok && AbortCodeGet() == kAbortNone) {
    result = 0;
    document->modified = 0;
    if (!disk && type == kImageTypeBin) {
      const int sheet = document->rawMode2 ? CueWriteSheetForDocument(document, outName.c_str())
                                           : CueWriteSimpleSheet(outName.c_str());
      if (sheet != 0) result = -1;
    }
  }
  IsoFreeWriterBuffers(document);
  return result;
}
