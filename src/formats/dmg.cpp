#include "formats/dmg.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <new>
#include <string_view>

#include "formats/chunkmap.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"

namespace {

constexpr size_t kTrailerSize = 512;
constexpr size_t kBlockHeaderSize = 204;
constexpr size_t kEntrySize = 40;
constexpr uint32_t kEntryTerminator = 0xFFFFFFFF;
constexpr uint32_t kEntryComment = 0x7FFFFFFE;
// A property list or resource fork larger than this is refused.
constexpr uint64_t kMaxPlistBytes = uint64_t{64} << 20;
// A file without a trailer is searched for its property list in its last 6 MiB.
constexpr int64_t kPlistScanBytes = int64_t{6} << 20;

bool ParseTrailer(const uint8_t* bytes, CDmgTrailer* trailer) {
  if (std::memcmp(bytes, "koly", 4) != 0) return false;
  ByteReader r(bytes, kTrailerSize);
  trailer->version = r.U32BEAt(4);
  trailer->dataForkOffset = r.U64BEAt(24);
  trailer->dataForkLength = r.U64BEAt(32);
  trailer->resourceForkOffset = r.U64BEAt(40);
  trailer->resourceForkLength = r.U64BEAt(48);
  trailer->xmlOffset = r.U64BEAt(216);
  trailer->xmlLength = r.U64BEAt(224);
  trailer->sectorCount = r.U64BEAt(492);
  return r.ok();
}

// Reads `length` bytes at `offset` of a file of `fileSize` bytes into a new buffer; false when they are not all
// inside the file or exceed the limit.
bool ReadRange(FILE* file, int64_t fileSize, uint64_t offset, uint64_t length, std::vector<uint8_t>* out) {
  if (length == 0 || length > kMaxPlistBytes || offset > static_cast<uint64_t>(fileSize) ||
      length > static_cast<uint64_t>(fileSize) - offset)
    return false;
  try {
    out->resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return FileReadAt(file, out->data(), static_cast<int64_t>(offset), static_cast<size_t>(length)) == 1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 0;
  return -1;
}

// The chunk type a block-table entry stands for; 0 for comments and empty entries, which add nothing.
uint32_t ChunkTypeOf(uint32_t entryType) {
  switch (entryType) {
    case 0:
    case 2:
      return kChunkZero;
    case 1:
      return kChunkStored;
    case 0x80000004:
    case 0x80000005:
    case 0x80000006:
    case 0x80000007:
      return entryType;
    case kEntryComment:
      return 0;
    default:
      return kChunkUnknown;
  }
}

struct PendingChunk {
  uint64_t start;
  uint64_t fileOffset;
  uint64_t compressedLength;
  uint64_t uncompressedLength;
  uint32_t type;
  int32_t table;
};

// Turns the block tables into chunks, placed at their sectors. False when an entry's numbers overflow or two
// chunks claim the same bytes.
bool BuildChunks(CChunkMap* map, const std::vector<CDmgBlockTable>& tables, uint64_t dataForkOffset) {
  std::vector<PendingChunk> pending;
  uint64_t base = dataForkOffset;
  for (size_t t = 0; t < tables.size(); ++t) {
    const CDmgBlockTable& table = tables[t];
    uint64_t lastEnd = base;
    for (uint32_t e = 0; e < table.entryCount; ++e) {
      ByteReader r(table.entries.data() + e * kEntrySize, kEntrySize);
      const uint32_t entryType = r.U32BE();
      r.Skip(4);
      const uint64_t firstSector = r.U64BE();
      const uint64_t sectorCount = r.U64BE();
      const uint64_t offset = r.U64BE();
      const uint64_t length = r.U64BE();
      if (!r.ok()) return false;
      if (entryType == kEntryTerminator) {
        // Tables whose offsets each start from 0 continue where the previous one ended.
        bool relative = false;
        if (offset == 0 && t + 1 < tables.size() && tables[t + 1].entryCount > 0)
          relative = LoadU64BE(tables[t + 1].entries.data() + 24) == 0;
        base = relative ? lastEnd : dataForkOffset;
        break;
      }
      const uint32_t type = ChunkTypeOf(entryType);
      if (type == 0 || sectorCount == 0) continue;
      if (sectorCount > kChunkMaxBytes / 512) return false;
      if (table.firstSector > UINT64_MAX / 512 - firstSector ||
          table.firstSector + firstSector > UINT64_MAX / 512 - sectorCount)
        return false;
      if (offset > UINT64_MAX - base || length > UINT64_MAX - (offset + base)) return false;
      pending.push_back({(table.firstSector + firstSector) * 512, offset + base, length, sectorCount * 512, type,
                         static_cast<int32_t>(t)});
      lastEnd = offset + base + length;
    }
  }
  std::stable_sort(pending.begin(), pending.end(),
                   [](const PendingChunk& a, const PendingChunk& b) { return a.start < b.start; });
  try {
    map->chunks.reserve(pending.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (const PendingChunk& p : pending)
    if (ChunkMapAddChunkAt(map, p.start, p.table, p.type, p.fileOffset, p.compressedLength, p.uncompressedLength) < 0)
      return false;
  return true;
}

// Block tables of an old image's resource fork: from byte 260 on, one after the other, 4 bytes apart.
bool ParseResourceFork(const std::vector<uint8_t>& fork, std::vector<CDmgBlockTable>* tables) {
  if (fork.size() < 464) return false;
  size_t at = 260;
  while (at + kBlockHeaderSize <= fork.size() && std::memcmp(fork.data() + at, "mish", 4) == 0) {
    CDmgBlockTable table;
    if (!DmgConvertBlockHeader(fork.data() + at, fork.size() - at, &table)) return false;
    tables->push_back(std::move(table));
    at += kBlockHeaderSize + tables->back().entries.size() + 4;
  }
  return !tables->empty();
}

size_t FindText(std::string_view text, std::string_view what, size_t from = 0) { return text.find(what, from); }

}  // namespace

int DmgReadTrailer(CDmgTrailer* trailer, FILE* file) {
  if (!trailer || !file) return 0;
  const int64_t size = FileGetSize(file);
  if (size < static_cast<int64_t>(kTrailerSize)) return 0;
  uint8_t bytes[kTrailerSize];
  if (FileReadAt(file, bytes, size - static_cast<int64_t>(kTrailerSize), kTrailerSize) && ParseTrailer(bytes, trailer))
    return 1;
  if (FileReadAt(file, bytes, 0, kTrailerSize) && ParseTrailer(bytes, trailer)) return 1;
  return 0;
}

int DmgConvertBlockHeader(const uint8_t* data, size_t length, CDmgBlockTable* table) {
  if (!data || length < kBlockHeaderSize || std::memcmp(data, "mish", 4) != 0) return 0;
  ByteReader r(data, length);
  table->version = r.U32BEAt(4);
  table->firstSector = r.U64BEAt(8);
  table->sectorCount = r.U64BEAt(16);
  table->dataOffset = r.U64BEAt(24);
  table->entryCount = r.U32BEAt(200);
  if (!r.ok() || table->entryCount > (length - kBlockHeaderSize) / kEntrySize) return 0;
  const uint8_t* entries = data + kBlockHeaderSize;
  try {
    table->entries.assign(entries, entries + table->entryCount * kEntrySize);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

size_t Base64Clean(char* text, size_t length) {
  size_t kept = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=')
      text[kept++] = c;
  }
  return kept;
}

int Base64Decode(const char* text, size_t length, uint8_t* output, size_t* outLength) {
  const size_t groups = length / 4;
  size_t produced = 0;
  for (size_t g = 0; g < groups; ++g) {
    uint32_t value = 0;
    for (int k = 0; k < 4; ++k) {
      const int v = Base64Value(text[4 * g + k]);
      if (v < 0) return 0;
      value = (value << 6) | static_cast<uint32_t>(v);
    }
    output[produced++] = static_cast<uint8_t>(value >> 16);
    output[produced++] = static_cast<uint8_t>(value >> 8);
    output[produced++] = static_cast<uint8_t>(value);
  }
  if (groups > 0) {
    const size_t end = groups * 4;
    if (text[end - 1] == '=') --produced;
    if (text[end - 2] == '=') --produced;
  }
  *outLength = produced;
  return 1;
}

int DmgParsePlist(const char* xml, size_t length, std::vector<CDmgBlockTable>* tables) {
  if (!xml || !tables) return 0;
  const std::string_view text(xml, length);
  if (FindText(text, "<plist version=\"1.0\">") == std::string_view::npos) return 0;
  const size_t tail = length > 20 ? length - 20 : 0;
  if (FindText(text, "</plist>", tail) == std::string_view::npos) return 0;
  const size_t key = FindText(text, "<key>blkx</key>");
  if (key == std::string_view::npos) return 0;
  const size_t arrayEnd = FindText(text, "</array>", key);
  if (arrayEnd == std::string_view::npos) return 0;
  const std::string_view blkx = text.substr(key, arrayEnd - key);
  std::vector<char> work;
  for (size_t at = 0;;) {
    const size_t open = FindText(blkx, "<data>", at);
    if (open == std::string_view::npos) break;
    const size_t close = FindText(blkx, "</data>", open);
    if (close == std::string_view::npos) return 0;
    const std::string_view body = blkx.substr(open + 6, close - open - 6);
    try {
      work.assign(body.begin(), body.end());
    } catch (const std::bad_alloc&) {
      return 0;
    }
    const size_t cleaned = Base64Clean(work.data(), work.size());
    size_t decoded = 0;
    auto* bytes = reinterpret_cast<uint8_t*>(work.data());
    if (!Base64Decode(work.data(), cleaned, bytes, &decoded)) return 0;
    if (decoded < 4 || std::memcmp(bytes, "mish", 4) != 0) break;
    CDmgBlockTable table;
    if (!DmgConvertBlockHeader(bytes, decoded, &table)) return 0;
    tables->push_back(std::move(table));
    at = close + 7;
  }
  return 1;
}

int DmgLoadChunkMap(CImageDocument* document) {
  if (!document || !document->input || document->trackTable || document->chunkMap) return -1;
  FILE* file = document->input;
  const int64_t fileSize = FileGetSize(file);
  CDmgTrailer trailer = {};
  std::vector<CDmgBlockTable> tables;
  std::vector<uint8_t> bytes;
  uint64_t dataFork = 0;
  if (DmgReadTrailer(&trailer, file)) {
    dataFork = trailer.dataForkOffset;
    if (trailer.xmlOffset && trailer.xmlLength) {
      if (!ReadRange(file, fileSize, trailer.xmlOffset, trailer.xmlLength, &bytes)) return -1;
      if (!DmgParsePlist(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &tables)) return -1;
    } else if (trailer.resourceForkOffset && trailer.resourceForkLength) {
      if (!ReadRange(file, fileSize, trailer.resourceForkOffset, trailer.resourceForkLength, &bytes)) return -1;
      if (!ParseResourceFork(bytes, &tables)) return -1;
    } else {
      return -1;
    }
  } else {
    // No trailer: the property list is looked for near the end of the file.
    const int64_t from = fileSize > kPlistScanBytes ? fileSize - kPlistScanBytes : 0;
    if (fileSize <= 0 ||
        !ReadRange(file, fileSize, static_cast<uint64_t>(from), static_cast<uint64_t>(fileSize - from), &bytes))
      return -1;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t open = text.find("<plist version=\"1.0\">");
    const size_t close = text.rfind("</plist>");
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return -1;
    if (!DmgParsePlist(text.data() + open, close + 8 - open, &tables)) return -1;
  }
  if (tables.empty()) return -1;
  CChunkMap* map = ChunkMapCreate(file, 512);
  if (!map) return -1;
  if (!BuildChunks(map, tables, dataFork) || map->chunks.empty()) {
    ChunkMapFree(map);
    return -1;
  }
  map->blockTables = std::move(tables);
  document->chunkMap = map;
  return 0;
}

bool DmgIsFileName(const CImageDocument* document) {
  if (!document) return false;
  if (document->chunkMap) return true;
  const std::wstring_view path(document->path.c_str());
  if (path.size() < 4) return false;
  const std::wstring_view tail = path.substr(path.size() - 4);
  return tail[0] == L'.' && std::towlower(tail[1]) == L'd' && std::towlower(tail[2]) == L'm' &&
         std::towlower(tail[3]) == L'g';
}

int DmgFindLargestPartition(const CImageDocument* document, int64_t* start, int64_t* length) {
  if (!document || !document->chunkMap || document->chunkMap->blockTables.empty()) return 0;
  const CDmgBlockTable* best = nullptr;
  for (const CDmgBlockTable& table : document->chunkMap->blockTables)
    if (!best || table.sectorCount >= best->sectorCount) best = &table;
  if (start) *start = static_cast<int64_t>(best->firstSector);
  if (length) *length = static_cast<int64_t>(best->sectorCount);
  return 1;
}

int64_t DmgReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !document->chunkMap || sector < 0 || n <= 0) return 0;
  if (sector > INT64_MAX / 2048 || n > INT64_MAX / 2048) return 0;
  return ChunkMapReadBytes(document->chunkMap, static_cast<uint64_t>(sector) * 2048, buffer,
                           static_cast<uint64_t>(n) * 2048)
             ? n
             : 0;
}
