#include "formats/uif.h"

#include <zlib.h>

#include <cstring>
#include <new>
#include <vector>

#include "formats/chunkmap.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"

namespace {

constexpr int64_t kTrailerSize = 64;
constexpr size_t kBlockHeaderSize = 16;
constexpr size_t kEntrySize = 24;

uint32_t ChunkTypeOf(uint32_t entryType) {
  switch (entryType) {
    case 1:
    case 2:
      return kChunkStored;
    case 3:
      return kChunkZero;
    case 5:
    case 7:
      return kChunkZlib;
    default:
      return kChunkUnknown;
  }
}

}  // namespace

int UifParseImage(CImageDocument* document, int32_t sectorSize, int32_t userDataOffset) {
  if (!document || !document->input || document->trackTable || document->chunkMap) return -1;
  FILE* file = document->input;
  const int64_t fileSize = FileGetSize(file);
  if (fileSize <= kTrailerSize) return -1;
  uint8_t trailer[kTrailerSize];
  if (!FileReadAt(file, trailer, fileSize - kTrailerSize, sizeof trailer) || std::memcmp(trailer, "bbis", 4) != 0)
    return -1;
  ByteReader t(trailer, sizeof trailer);
  const uint32_t unit = t.U32LEAt(20);
  const uint64_t headerOffset = t.U64LEAt(28);
  if (!t.ok() || unit == 0 || unit > 4096 || headerOffset > static_cast<uint64_t>(fileSize) - kBlockHeaderSize)
    return -1;
  uint8_t header[kBlockHeaderSize];
  if (!FileReadAt(file, header, static_cast<int64_t>(headerOffset), sizeof header) ||
      std::memcmp(header, "blhr", 4) != 0)
    return -1;
  const uint32_t size = LoadU32LE(header + 4);
  const uint32_t entries = LoadU32LE(header + 12);
  // The compressed table lies after the header, inside the file; the entries it holds fit what the file can
  // describe (each one takes at least a few bytes of the compressed table or of the data).
  if (size < 8 || size - 8 > static_cast<uint64_t>(fileSize) - headerOffset - kBlockHeaderSize) return -1;
  // zlib shrinks by 1:1032 at best: a count beyond that is not what the compressed table holds.
  if (entries == 0 || static_cast<uint64_t>(entries) * kEntrySize > (static_cast<uint64_t>(size) - 8) * 1032 + 64)
    return -1;
  std::vector<uint8_t> packed, table;
  try {
    packed.resize(size - 8);
    table.resize(static_cast<size_t>(entries) * kEntrySize);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (!FileReadAt(file, packed.data(), static_cast<int64_t>(headerOffset + kBlockHeaderSize), packed.size())) return -1;
  uLongf produced = static_cast<uLongf>(table.size());
  if (uncompress(table.data(), &produced, packed.data(), static_cast<uLong>(packed.size())) != Z_OK ||
      produced != table.size())
    return -1;
  CChunkMap* map = ChunkMapCreate(file, sectorSize);
  if (!map) return -1;
  map->userDataOffset = userDataOffset;
  for (uint32_t i = 0; i < entries; ++i) {
    ByteReader r(table.data() + static_cast<size_t>(i) * kEntrySize, kEntrySize);
    const uint64_t offset = r.U64LE();
    const uint32_t compressed = r.U32LE();
    const uint32_t first = r.U32LE();
    const uint32_t count = r.U32LE();
    const uint32_t type = ChunkTypeOf(r.U32LE());
    // Each block is placed at its own first sector, so that a block of a kind not known here cannot shift the
    // ones after it.
    if (count == 0) continue;
    if (ChunkMapAddChunkAt(map, static_cast<uint64_t>(first) * unit, 0, type, offset, compressed,
                           static_cast<uint64_t>(count) * unit) < 0) {
      ChunkMapFree(map);
      return -1;
    }
  }
  if (map->chunks.empty()) {
    ChunkMapFree(map);
    return -1;
  }
  document->chunkMap = map;
  document->inputType = kImageTypeUif;
  return 0;
}

int64_t UifReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !document->chunkMap) return 0;
  return ChunkMapReadUserData(document->chunkMap, sector, buffer, n);
}
