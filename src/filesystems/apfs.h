// APFS containers are recognised, not read: the probe notes the container and its size, so that the partition
// list names it and the image is kept read-only.
#pragma once

#include <cstdint>

struct CImageDocument;

struct CApfsContainer {
  uint32_t blockSize;
  uint64_t blockCount;
  uint64_t bytes;  // block size x block count
};

// 1 when the current partition starts with an APFS container superblock (the document then holds its record
// and is read-only), else 0 with nothing kept.
int ApfsProbeContainer(CImageDocument* document);
// Loads nothing: an APFS volume's files are not read. 0.
int ApfsLoadTree(CImageDocument* document);
// Frees the document's container record; null accepted.
void ApfsFree(CImageDocument* document);
