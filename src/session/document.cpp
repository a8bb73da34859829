#include "session/document.h"

#include <ctime>
#include <cwchar>
#include <new>

#include "builder/build_state.h"
#include "builder/builder_map.h"
#include "builder/session_block.h"
#include "disks/partitions.h"
#include "disks/virtual_disk.h"
#include "filesystems/apfs.h"
#include "filesystems/exfat.h"
#include "filesystems/ext.h"
#include "filesystems/fat.h"
#include "filesystems/hfs.h"
#include "filesystems/ntfs.h"
#include "filesystems/udf.h"
#include "formats/chunkmap.h"
#include "formats/nrg.h"
#include "image/tracktable.h"
#include "qvf/container.h"
#include "qvf/sfx.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/settings.h"
#include "session/format_table.h"
#include "tree/eltorito.h"
#include "tree/tree.h"
#include "tree/volume.h"
#include "wim/wim.h"

namespace {

CImageDocument* g_currentImage = nullptr;

}  // namespace

void ImageResetIsoOptions(CImageDocument* document) {
  if (!document) return;
  document->noIso9660 = 0;
  document->rockRidge = 0;
  document->jolietLevel = 3;
  document->udf = 0;
  document->isoNameLength = 221;
  document->jolietNameLength = 110;
  document->lowerCaseIsoNames = 0;
  document->storeIdenticalOnce = 1;
}

CImageDocument* ImageAlloc() {
  auto* document = new (std::nothrow) CImageDocument{};
  if (!document) return nullptr;
  document->rootEntry = TreeNewEntry();
  if (!document->rootEntry) {
    delete document;
    return nullptr;
  }
  document->formats = ImageFormatTable();
  return document;
}

CImageDocument* ImageAllocForStream(const wchar_t* path, FILE* stream, int32_t flags, int32_t* error) {
  CImageDocument* document = ImageAlloc();
  if (!document) {
    *error = 6;
    return nullptr;
  }
  document->input = stream;
  document->path = path ? path : L"";
  document->openFlags = flags;
  document->loadTree = (flags & kOpenLoadTree) ? 1 : 0;
  document->fileSize = FileGetSize(stream);
  return document;
}

CImageDocument* ImageNew() {
  CImageDocument* document = ImageAlloc();
  if (!document) return nullptr;
  document->fixedTime = static_cast<int64_t>(SettingsGetFixedTime());
  document->creationTime = document->fixedTime ? document->fixedTime : static_cast<int64_t>(std::time(nullptr));
  document->volumeNaming = 1;
  ImageResetIsoOptions(document);
  document->inputType = SettingsGetIntClamped(L"DefaultFileType", 0, 0, 1) == 0 ? kImageTypeQvf : kImageTypeIso;
  document->statusMode = static_cast<int32_t>(SettingsGetStatusMode());
  document->descriptorPosition[0] = -1;
  document->descriptorPosition[1] = -1;
  document->treeOwned = 1;
  document->outputType = -1;
  VolumeInitIdentifiers(document);
  if (ImageCreateRoot(document) != 0) {
    ImageClose(document);
    return nullptr;
  }
  return document;
}

void ImageClose(CImageDocument* document) {
  if (!document) return;
  TreeFreeDocumentTree(document);
  FatFreeVolume(document);
  UdfFreeVolume(document);
  ExfatFreeVolume(document);
  ExtFreeVolume(document);
  ApfsFree(document);
  MacFreeVolumes(document);
  NtfsUnmount(document);
  WimClose(document->wim);
  document->wim = nullptr;
  PartitionListFree(document->partitions);
  document->partitions = nullptr;
  VirtualDiskClose(document);
  BootInfoFree(document->bootInfo);
  ImageBuilderFree(document->builder);
  IsoBuildFree(document->build);
  TrackTableFree(document->trackTable);
  SessionStateFree(document);
  NrgFree(document->nrg);
  ChunkMapFree(document->chunkMap);
  QvfFreeSfxProperties(document->sfxProperties);
  QvfCloseReader(document->qvfWriter);
  QvfCloseReader(document->qvf);
  if (document->input) std::fclose(document->input);
  if (document->output) std::fclose(document->output);
  if (document->driveState && document->driveStateFree) document->driveStateFree(document->driveState);
  if (g_currentImage == document) g_currentImage = nullptr;
  delete document;
}

CImageDocument* CurrentImageGet() { return g_currentImage; }
void CurrentImageSet(CImageDocument* document) { g_currentImage = document; }

void CurrentImageClear() {
  CImageDocument* document = g_currentImage;
  g_currentImage = nullptr;
  ImageClose(document);
}

int CurrentImageIsReadOnly() { return g_currentImage && g_currentImage->readOnly == 1 ? 1 : 0; }

int CurrentImageQueryFeature(int32_t code) {
  CImageDocument* document = g_currentImage;
  if (!document) return 0;
  if (document->inputType == kImageTypeAudioDisc || document->inputType == kImageTypeAudioProject)
    return code == 1 ? 1 : 0;
  if (code == 153) return 1;
  return 0;
}


wchar_t* ImageGetFileName(const CImageDocument* document) {
  if (!document) return nullptr;
  constexpr size_t kChars = 8192 / sizeof(wchar_t);
  auto* name = static_cast<wchar_t*>(MemZeroAlloc(8192));
  if (!name) return nullptr;
  const wchar_t* path = document->path.c_str();
  size_t n = std::wcslen(path);
  if (n > kChars - 1) n = kChars - 1;
  std::wmemcpy(name, path, n);
  return name;
}

int DocumentCheckSaved() {
  CImageDocument* document = CurrentImageGet();
  if (document && document->modified) {
    MessageShow(L"The current file has been changed. You need save it first.");
    return -1;
  }
  return 0;
}
