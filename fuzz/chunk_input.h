// Fuzz input for the chunk-image readers: the bytes as a document over a real file descriptor (the chunk map
// reads with pread), and reads spread over the image once a map is built.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "formats/chunkmap.h"
#include "image/document.h"
#include "session/document.h"
#include "volume_input.h"

// A document whose input holds the bytes, or null.
inline CImageDocument* FuzzDocument(const uint8_t* data, size_t size, const wchar_t* path) {
  FILE* file = FuzzMemoryStream(data, size);
  if (!file) return nullptr;
  CImageDocument* document = ImageAlloc();
  if (!document) {
    std::fclose(file);
    return nullptr;
  }
  document->input = file;
  document->path = path;
  return document;
}

// Reads at the start, the middle and the end of the map, and across its end.
inline void FuzzReadMap(CChunkMap* map) {
  if (!map) return;
  std::vector<uint8_t> buffer(64 * 1024);
  const uint64_t total = map->uncompressedTotal;
  for (uint64_t at : {uint64_t{0}, total / 2, total > 4096 ? total - 4096 : 0, total})
    ChunkMapReadBytes(map, at, buffer.data(), buffer.size());
}
