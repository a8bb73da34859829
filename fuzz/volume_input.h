// Shared by the file-system fuzz targets: the input bytes as a stream over a memory file (the readers seek and read
// it as they read an image file), a quiet document over it that loads trees, and a walk over the loaded tree.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "image/document.h"
#include "runtime/error.h"
#include "session/document.h"
#include "tree/tree.h"

// A read stream over a memory file holding the bytes, or null.
inline FILE* FuzzMemoryStream(const uint8_t* data, size_t size) {
  const int fd = memfd_create("fuzz", 0);
  if (fd < 0) return nullptr;
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return nullptr;
  }
  FILE* stream = fdopen(fd, "rb");
  if (!stream) close(fd);
  return stream;
}

// A quiet document reading the bytes in sectors of sectorSize and loading trees; it owns its stream. Null when the
// memory file or the document cannot be made.
inline CImageDocument* FuzzVolumeDocument(const uint8_t* data, size_t size, int sectorSize) {
  FILE* stream = FuzzMemoryStream(data, size);
  if (!stream) return nullptr;
  CImageDocument* document = ImageAlloc();
  if (!document) {
    std::fclose(stream);
    return nullptr;
  }
  document->input = stream;
  document->fileSize = static_cast<int64_t>(size);
  document->sectorSize = sectorSize;
  document->quiet = 1;
  document->loadTree = 1;
  return document;
}

// Calls visit(entry) for every entry of the loaded tree, folders included, without recursion.
template <typename Visit>
inline void FuzzEachEntry(CImageDocument* document, Visit visit) {
  std::vector<CTreeFolder*> pending{document->rootFolder};
  while (!pending.empty()) {
    CTreeFolder* folder = pending.back();
    pending.pop_back();
    if (!folder) continue;
    for (CTreeEntry* entry = folder->firstEntry; entry; entry = entry->next) visit(entry);
    for (CTreeFolder* child = folder->firstChild; child; child = child->next) pending.push_back(child);
  }
}

// Reads every file of the loaded tree through read(document, entry, offset, buffer, bytes): its first 4 MiB at most
// (a hole may make a file of any size) in 64 KiB pieces, then a short piece from an odd offset; then calls
// after(entry) for the target's own questions about the file.
template <typename Read, typename After>
inline void FuzzReadEveryFile(CImageDocument* document, Read read, After after) {
  std::vector<uint8_t> buffer(1 << 16);
  FuzzEachEntry(document, [&](CTreeEntry* entry) {
    if (TreeEntryIsFolder(entry)) return;
    const int64_t bytes = entry->size < (int64_t{4} << 20) ? entry->size : (int64_t{4} << 20);
    for (int64_t at = 0; at < bytes; at += static_cast<int64_t>(buffer.size())) {
      if (read(document, entry, at, buffer.data(), static_cast<int64_t>(buffer.size())) <= 0) break;
    }
    read(document, entry, 3, buffer.data(), 777);
    after(entry);
  });
}

// The whole run of a target over a volume of 512-byte sectors whose reader answers the runs of a file:
// open(document) == 1 opens it, read(...) reads a file, fileRun(document, entry, 0, &byte) asks for the first run.
template <typename Open, typename Read, typename FileRun>
inline void FuzzVolumeFilesAndRuns(const uint8_t* data, size_t size, Open open, Read read, FileRun fileRun) {
  CImageDocument* document = FuzzVolumeDocument(data, size, 512);
  if (!document) return;
  if (open(document) == 1) {
    FuzzReadEveryFile(document, read, [&](CTreeEntry* entry) {
      uint64_t byte = 0;
      fileRun(document, entry, 0, &byte);
    });
  }
  ImageClose(document);
  AbortCodeSet(0);
}

// One pass of a target over a stream it keeps: a document read as a disk partition (512-byte sectors) or as an
// optical image (2048), on which open(document) == 1 finds the volume and load(document) == 0 loads its tree; every
// file is then read through read(...).
template <typename Open, typename Load, typename Read>
inline void FuzzStreamVolume(FILE* stream, bool optical, Open open, Load load, Read read) {
  CImageDocument* document = ImageAlloc();
  if (!document) return;
  document->input = stream;
  document->quiet = 1;
  document->loadTree = 1;
  if (optical) {
    document->sectorSize = 2048;
    document->inputType = 0;
  } else {
    document->sectorSize = 512;
    document->partitionMapUnit = 512;
  }
  if (open(document) == 1 && ImageCreateRoot(document) == 0 && load(document) == 0)
    FuzzReadEveryFile(document, read, [](CTreeEntry*) {});
  document->input = nullptr;
  ImageClose(document);
  AbortCodeSet(0);
}
