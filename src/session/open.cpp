#include "session/open.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <vector>

#include "builder/rockridge.h"
#include "builder/session_block.h"
#include "filesystems/hfs.h"
#include "filesystems/udf.h"
#include "filesystems/xbox.h"
#include "formats/cue_reader.h"
#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "qvf/container.h"
#include "qvf/reader.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/settings.h"
#include "runtime/ui.h"
#include "session/chunk_open.h"
#include "session/disk_open.h"
#include "session/document.h"
#include "session/drive_open.h"
#include "session/format_table.h"
#include "session/wim_open.h"
#include "tree/eltorito.h"
#include "tree/iso9660.h"
#include "tree/tree.h"
#include "tree/vcd.h"
#include "tree/wii.h"

namespace {

// Image files above 2^43 bytes (8 TiB) are refused.
constexpr int64_t kMaxImageBytes = int64_t{1} << 43;
// The descriptor scan looks at the first megabyte.
constexpr int64_t kScanLimit = 1048320;
constexpr int kScanRead = 65536;
constexpr int kDescriptorSectors = 50;

bool IsScannedType(int32_t type) { return type >= kImageTypeScannedFirst && type <= kImageTypeScannedLast; }

}  // namespace

int ImageCheckDataInside(CImageDocument* document) {
  const int64_t limit = document->savedLimit ? document->savedLimit : document->readableLimit;
  if (limit <= 0) return 0;
  if (document->volumeSize > limit) document->dataBeyondEnd = 1;
  std::vector<CTreeFolder*> pending;
  if (document->rootFolder) pending.push_back(document->rootFolder);
  while (!pending.empty() && !document->dataBeyondEnd) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) {
      if (TreeEntryIsFolder(entry) || entry->size <= 0) continue;
      if (TreeGetEntryLastSector(document, entry) >= limit) {
        document->dataBeyondEnd = 1;
        break;
      }
    }
    for (CTreeFolder* child = folder->firstChild; child; child = child->next) pending.push_back(child);
  }
  return document->dataBeyondEnd;
}

const uint8_t* MemFindBytes(const uint8_t* buffer, size_t length, const uint8_t* pattern, size_t patternLength) {
  if (!buffer || !pattern || patternLength == 0 || length < patternLength) return nullptr;
  const void* hit = memmem(buffer, length, pattern, patternLength);
  return static_cast<const uint8_t*>(hit);
}

CWideString ImagePathGetExtension(const wchar_t* path) {
  if (!path) return CWideString();
  const wchar_t* dot = std::wcsrchr(path, L'.');
  if (!dot || std::wcslen(dot) >= 7 || std::wcschr(dot, L'/')) return CWideString();
  CWideString extension(dot + 1);
  WstrMakeLower(extension);
  return extension;
}

void ImageScanForDescriptor(CImageDocument* document) {
  static const uint8_t kPrimary[6] = {1, 'C', 'D', '0', '0', '1'};
  static const uint8_t kTerminator[6] = {255, 'C', 'D', '0', '0', '1'};
  for (int32_t& size : document->scannedSizes) size = 0;
  document->scannedPosition = -1;
  std::vector<uint8_t> buffer(kScanRead + 4);
  int64_t found = -1;
  for (int64_t offset = 0; offset < kScanLimit && found < 0; offset += kScanRead - 16) {
    int64_t got = FileReadAtCount(document->input, buffer.data(), offset, kScanRead);
    if (got <= 0) break;
    if (const uint8_t* hit = MemFindBytes(buffer.data(), static_cast<size_t>(got), kPrimary, 6))
      found = offset + (hit - buffer.data());
    if (got < kScanRead) break;
  }
  if (found < 0) return;
  int64_t got = FileReadAtCount(document->input, buffer.data(), found + 1024, kScanRead);
  if (got <= 0) return;
  const uint8_t* terminator = MemFindBytes(buffer.data(), static_cast<size_t>(got), kTerminator, 6);
  if (!terminator) return;
  int64_t distance = 1024 + (terminator - buffer.data());
  int count = 0;
  for (int64_t k = 1; k <= 16 && count < 4; ++k) {
    if (distance % k == 0 && distance / k >= 2048 && distance / k <= 3071)
      document->scannedSizes[count++] = static_cast<int32_t>(distance / k);
  }
  if (count > 0) document->scannedPosition = found;
}

int ImageSetScannedGeometry(CImageDocument* document, int32_t type) {
  int index = (type - kImageTypeScannedFirst) / 2;
  if (index < 0 || index > 3 || document->scannedSizes[index] == 0 || document->scannedPosition < 0) return -1;
  int64_t size = document->scannedSizes[index];
  document->sectorSize = static_cast<int32_t>(size);
  document->userDataOffset = 0;
  document->headerSize = document->scannedPosition - 16 * size;
  if ((type - kImageTypeScannedFirst) & 1) document->headerSize += 150 * size;
  return 0;
}

int ImageMountFileSystem(CImageDocument* document, int32_t type) {
  int32_t savedQuiet = document->quiet;
  document->quiet = 1;
  int64_t start = 0;
  if (CTrackTable* table = document->trackTable) {
    int32_t track = -1;
    if (TrackTableIsMixedModeFrom(table, 0))
      track = TrackTableFindDataTrack(table, 0);
    else if (TrackTableIsAudioThenData(table, 0))
      track = TrackTableFindDataTrack(table, 1);
    if (track >= 0) {
      const CTrackInfo* info = TrackTableGetTrack(table, track);
      start = info && info->start > 0 ? info->start : 0;
    }
  }
  document->inputType = type;
  IsoResetParseState(document);
  uint8_t sector[3072];
  for (int i = 0; i < kDescriptorSectors; ++i) {
    int64_t lba = start + 16 + i;
    if (ImageReadSectors(document, lba, sector, 1) != 1) break;
    int result = IsoParseVolumeDescriptors(document, lba, sector);
    if (result == 4 || result == 5) break;
  }
  document->noIso9660 = document->primarySeen || document->highSierra ? 0 : 1;
  // UDF, when the image carries it, is the tree the user sees; its label counts where ISO 9660 gives none.
  UdfMount(document, start, document->noIso9660);
  document->quiet = savedQuiet;
  // The probes of the other optical file systems come with their readers; the Wii disc comes last.
  document->wiiDisc = 0;
  if (MacProbeVolume(document)) return 0;
  if (ImageProbeWiiDisc(document)) {
    document->wiiDisc = 1;
    return 0;
  }
  if (UdfIsMounted(document)) return 0;
  if (!document->noIso9660 && document->blockSize == 2048 && document->blockSizeKnown) return 0;
  if (ImageProbeXboxDisc(document)) return 0;
  document->inputType = kImageTypeUnknown;
  return -1;
}

int ImageOpenAsFormat(CImageDocument* document, int32_t type) {
  if (type == 4 || type == 5 || type == 6) return ImageOpenChunkImage(document, type);
  if (const CImageFormatInfo* row = ImageFormatGet(type)) {
    if (!row->read) {
      document->inputType = kImageTypeUnknown;
      return -1;
    }
    document->sectorSize = row->sectorSize;
    document->userDataOffset = row->userDataOffset;
    document->headerSize = row->headerSize;
  } else if (IsScannedType(type)) {
    if (ImageSetScannedGeometry(document, type) != 0) {
      document->inputType = kImageTypeUnknown;
      return -1;
    }
  } else {
    document->inputType = kImageTypeUnknown;
    return -1;
  }
  if (document->sectorSize <= 0 || ImageMountFileSystem(document, type) != 0) {
    document->inputType = kImageTypeUnknown;
    return -1;
  }
  if (document->deviceFlag) return 0;
  if (type == 3) {
    // An NRG image's sectors are its tracks'.
    document->readableLimit = TrackTableGetEndSector(document->trackTable);
    return 0;
  }
  // A sector counts when its user data lies in the file, even if the file ends before the rest of it.
  int64_t bytes = document->fileSize - document->headerSize - document->userDataOffset - 2048;
  document->readableLimit = bytes >= 0 ? bytes / document->sectorSize + 1 : 0;
  return 0;
}

namespace {

// Whether the file carries a QVF stream appended to other data, found once per open.
bool HasEmbeddedQvf(CImageDocument* document) {
  if (document->embeddedQvf < 0) document->embeddedQvf = ImageHasEmbeddedQvf(document) ? 1 : 0;
  return document->embeddedQvf == 1;
}

int OpenQvfAndMount(CImageDocument* document) {
  if (ImageOpenQvf(document) != 0) return -1;
  if (!document->qvf) return 0;  // refused for its password or version: detection stops here
  if (ImageMountFileSystem(document, kImageTypeQvf) != 0) {
    QvfCloseReader(document->qvf);
    document->qvf = nullptr;
    document->inputType = kImageTypeUnknown;
    return -1;
  }
  return 0;
}

}  // namespace

int ImageTryFormat(CImageDocument* document, int32_t type) {
  // A QVF stream appended to the file wins whatever the type.
  if (type == kImageTypeQvf || HasEmbeddedQvf(document)) return OpenQvfAndMount(document);
  return ImageOpenAsFormat(document, type);
}

void ImageTryFormats(CImageDocument* document, int32_t first) {
  document->inputType = kImageTypeUnknown;
  document->embeddedQvf = -1;
  // An appended stream is the image, whatever row the file would otherwise match: it is tried once.
  if (HasEmbeddedQvf(document)) {
    OpenQvfAndMount(document);
    return;
  }
  if (first >= 0 && ImageTryFormat(document, first) == 0) return;
  for (int32_t type = 0; type < kImageFormatCount; ++type) {
    if (type == first) continue;
    if (ImageTryFormat(document, type) == 0) return;
  }
  document->inputType = kImageTypeUnknown;
}

void ImageDetectFormat(CImageDocument* document, int32_t hint) {
  if (hint == -1) hint = ImageFormatFindByExtension(ImagePathGetExtension(document->path.c_str()).c_str());
  if (document->deviceFlag) {
    // A drive hands over 2048-byte sectors: only the plain row reads it.
    document->embeddedQvf = 0;
    if (ImageOpenAsFormat(document, 0) != 0) document->inputType = kImageTypeUnknown;
  } else {
    ImageTryFormats(document, hint);
  }
  if (document->inputType == kImageTypeUnknown && !document->deviceFlag) {
    ImageScanForDescriptor(document);
    if (document->scannedPosition >= 0) {
      for (int32_t type = kImageTypeScannedFirst; type <= kImageTypeScannedLast; ++type) {
        if (ImageTryFormat(document, type) == 0) break;
      }
    }
  }
  // A disc whose first track is audio is an audio disc: its tracks are read raw, it has no file system.
  if (const CTrackTable* table = document->trackTable) {
    if (!document->specialLayout[0] && !document->specialLayout[1] && TrackTableIsAudioTrack(table, 0)) {
      document->inputType = kImageTypeAudioDisc;
      document->headerSize = 0;
      document->sectorSize = 2352;
      document->userDataOffset = 0;
      document->readableLimit = TrackTableGetEndSector(table);
    }
  }
  ImageCheckVideoCd(document);
  // Probes may have left read errors behind: they are not the user's concern.
  ErrorStateReset();
}

CImageDocument* ImageOpen(const wchar_t* path, const wchar_t* companionPath, FILE* stream, int32_t flags,
                          int32_t openValue, int32_t* error) {
  *error = 0;
  CImageDocument* document = ImageAlloc();
  if (!document) {
    *error = 6;
    if (stream) std::fclose(stream);
    return nullptr;
  }
  document->openFlags = flags;
  document->isoNameLength = 221;
  document->jolietNameLength = 110;
  document->storeIdenticalOnce = (SettingsGetStatus() >> 19) & 1 ? 0 : 1;
  document->volumeNaming = 1;
  document->input = stream;
  document->path = path ? path : L"";
  if (companionPath && *companionPath) document->companionPath = companionPath;
  document->loadTree = (flags & 2) ? 1 : 0;
  document->openValue = openValue;
  document->statusMode = static_cast<int32_t>(SettingsGetStatusMode());
  auto fail = [&](int32_t code) {
    *error = code;
    ImageClose(document);
    return nullptr;
  };
  if (PathIsDeviceName(document->path.c_str())) {
    document->deviceFlag = 1;
    if (!ImageLoadOpticalDisc(document)) return fail(document->emptyDisc ? 21 : 16);
  } else if (!WstrIsEmpty(document->companionPath)) {
    TrackTableFree(document->trackTable);
    document->trackTable = TrackLayoutOpenByTrial(document->companionPath.c_str());
    if (!document->trackTable) return fail(8);
  }
  if (document->trackTable && TrackTableIsAudioThenData(document->trackTable, 0)) {
    document->specialLayout[1] = 1;
    document->readOnly = 1;
  }
  if (!document->deviceFlag) document->fileSize = FileGetSize(stream);
  // A disc image written in sessions with session blocks gets a track per session.
  SessionReadBlock(document);
  if (document->fileSize > kMaxImageBytes) return fail(7);
  ImageDetectFormat(document, -1);
  // A QVF image kept its type without a reader: its password was refused or its version is unknown.
  if (document->inputType == kImageTypeQvf && !document->qvf)
    return fail(document->qvfRefusal ? document->qvfRefusal : 8);
  // An encrypted ISZ image whose password was not given, or gave no file system, says so.
  if (document->inputType == kImageTypeUnknown) return fail(document->qvfRefusal >= 14 ? document->qvfRefusal : 8);
  // A Wii disc has no file system to load or edit; discs in drives are only read.
  if (document->wiiDisc || MacHasVolume(document) || document->deviceFlag) document->readOnly = 1;
  if (!document->loadTree || document->inputType == kImageTypeAudioDisc) return document;
  if (!document->rootFolder && ImageCreateRoot(document) != 0) return fail(6);
  if (UdfIsMounted(document)) {
    UdfLoadTree(document);
  } else if (document->xboxRootSector) {
    if (XdvdfsReadTree(document, document->rootFolder, document->xboxRootSector, document->xboxRootSize) != 0)
      document->treeDamaged = 1;
  } else if (MacHasVolume(document) && document->noIso9660) {
    // A Mac volume shows its own tree unless the disc also carries ISO 9660.
    if (MacLoadTree(document) != 0) return fail(9);
  } else if (!document->wiiDisc && IsoLoadTree(document) != 0) {
    return fail(9);
  }
  // Folders a Rock Ridge writer relocated for ISO 9660's depth limit go back to their places.
  if (document->rockRidge) RockRidgeResolveRelocations(document);
  // Directories that could not be read leave the tree incomplete: the command says so once it is done.
  if (AbortCodeGet() != 0) document->treeDamaged = 1;
  BootCatalogRead(document);
  ErrorStateReset();
  document->pastLimitReported = 0;
  // A Mac volume checks its extents against the volume as it reads them (a compressed file may be larger than
  // the image).
  if (!MacHasVolume(document) || !document->noIso9660) ImageCheckDataInside(document);
  return document;
}

int ImageResolveDataFile(const wchar_t* path, CWideString* dataPath, CWideString* descriptorPath, int32_t* kind) {
  WstrEmpty(*dataPath);
  WstrEmpty(*descriptorPath);
  *kind = 2;
  if (!path || !*path) return 0;
  if (PathIsDeviceName(path)) {
    *dataPath = path;
    return 1;
  }
  FILE* probe = FileOpenForRead(path);
  if (!probe) {
    ErrorReport(path);
    return 0;
  }
  std::fclose(probe);
  // A descriptor names its data file; a data file may have its descriptor beside it.
  if (CTrackTable* table = TrackLayoutOpenByTrial(path)) {
    if (!WstrIsEmpty(table->dataFileName)) {
      *descriptorPath = path;
      *dataPath = table->dataFileName;
      *kind = 1;
    }
    TrackTableFree(table);
    if (*kind == 1) return 1;
  }
  if (wchar_t* descriptor = TrackLayoutOpenForImage(path)) {
    *descriptorPath = descriptor;
    MemFree(descriptor);
  }
  *dataPath = path;
  return 1;
}

CImageDocument* ImageOpenByPath(const wchar_t* path, int flags) {
  ErrorStateReset();
  if (!path || !*path) return nullptr;
  if (PathIsDeviceName(path)) {
    int32_t error = 0;
    CImageDocument* document = ImageOpen(path, nullptr, nullptr, flags, 2, &error);
    if (!document && !(flags & kOpenQuiet)) ImageOpenErrorReport(path, error);
    return document;
  }
  CWideString dataPath, descriptorPath;
  int32_t kind = 2;
  if (!ImageResolveDataFile(path, &dataPath, &descriptorPath, &kind)) return nullptr;
  path = dataPath.c_str();
  FILE* stream = FileOpenForRead(path);
  struct stat info;
  if (stream && fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(stream);
    stream = nullptr;
    errno = EISDIR;
  }
  if (!stream) {
    ErrorReport(path);
    return nullptr;
  }
  int32_t error = 0;
  CImageDocument* document =
      ImageOpen(path, WstrIsEmpty(descriptorPath) ? nullptr : descriptorPath.c_str(), stream, flags, kind, &error);
  // A file that no optical format accepts may be a disk: its partitions and their file systems.
  if (!document && error == 8 && (flags & (kOpenLoadTree | kOpenDiskImage))) {
    FILE* again = FileOpenForRead(path);
    if (!again) {
      ErrorReport(path);
      return nullptr;
    }
    int32_t diskError = 0;
    document = ImageOpenDiskImage(path, again, flags, &diskError);
    if (!document) {
      std::fclose(again);
      if (diskError == 1 || diskError == 6) error = diskError;
    }
  }
  // Last, a WIM archive.
  if (!document && error == 8 && (flags & (kOpenLoadTree | kOpenDiskImage))) {
    if (FILE* again = FileOpenForRead(path)) {
      int32_t wimError = 0;
      document = ImageOpenWim(path, again, flags, &wimError);
      if (!document) {
        std::fclose(again);
        if (wimError == 1 || wimError == 6) error = wimError;
      }
    }
  }
  if (!document) {
    if (error != 1 && !(flags & 4)) ImageOpenErrorReport(path, error);
    return nullptr;
  }
  // A recognised Video CD has its entries classified once its tree is there.
  if (document->videoCdKind != 0 && document->rootFolder) VcdMarkFiles(document);
  return document;
}
