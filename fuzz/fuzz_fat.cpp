// Any bytes as a FAT volume image: open it, walk the whole tree, read every file (whole, and again from an
// offset), ask which sectors are in use, then add, replace and delete files and folders through the write cache
// and read the volume back through it. Everything must end in bounded time without reading or writing outside
// what it was given, whatever the boot sector, the FAT and the directories claim.
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "filesystems/fat.h"
#include "image/document.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "session/document.h"
#include "tree/tree.h"
#include "volume_input.h"

namespace {

void Walk(CImageDocument* document) {
  std::vector<uint8_t> buffer;
  CTreeEntry* firstFile = nullptr;
  CTreeEntry* firstFolder = nullptr;
  FuzzEachEntry(document, [&](CTreeEntry* entry) {
    if (TreeEntryIsFolder(entry)) {
      if (!firstFolder) firstFolder = entry;
      return;
    }
    if (!firstFile) firstFile = entry;
    const int64_t size = entry->size;
    if (size < 0 || size > (int64_t{64} << 20)) return;
    buffer.resize(static_cast<size_t>(size) + 1);
    FatReadFileData(document, entry, buffer.data(), 0, size);
    FatReadFileData(document, entry, buffer.data(), 3, size);
  });
  for (int64_t sector = 0; sector < 4096; sector += 61) FatIsSectorInUse(document, sector);

  // Edits: a folder with a copy of the first file in it, a replacement, deletions.
  if (CTreeEntry* made = TreeAddFolderNode(document, document->rootFolder, L"fuzz folder with a long name")) {
    if (FatMakeDirectory(document, made) == 0 && firstFile) {
      CTreeEntry* copy = TreeNewEntry();
      if (copy) {
        copy->name = WcsDup(L"copy.bin");
        TreeFolderPrependEntry(made->folder, copy);
        FatAddFile(document, firstFile, copy);
      }
    }
  }
  if (firstFile) FatDeleteFile(document, firstFile);
  if (firstFolder) FatDeleteDirectory(document, firstFolder);
  if (document->fat) {
    const uint64_t total = std::min<uint64_t>(document->fat->totalSectors, 8192);
    std::vector<uint8_t> sectors(64 * 512);
    for (uint64_t at = 0; at < total; at += 64)
      FatReadSectors(document, at, sectors.data(), static_cast<int64_t>(std::min<uint64_t>(64, total - at)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CImageDocument* document = FuzzVolumeDocument(data, size, 512);
  if (!document) return 0;
  if (FatOpenVolume(document) == 1) Walk(document);
  FatFreeVolume(document);
  ImageClose(document);
  AbortCodeSet(0);
  return 0;
}
