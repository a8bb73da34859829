#include "disks/vmdk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "disks/virtual_disk.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"

namespace {

constexpr int64_t kMaxDescriptorBytes = 10239;
constexpr int kMaxLines = 199;
constexpr size_t kCacheSlots = 256;
constexpr uint32_t kFlagRedundantGd = 2;
constexpr uint32_t kFlagZeroedGrains = 4;
constexpr uint32_t kFlagCompressed = 1u << 16;
// A descriptor embedded in a sparse file holds at most this many sectors.
constexpr uint64_t kMaxEmbeddedSectors = 2048;

int64_t VmdkDiskRead(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  const int64_t per = VirtualDiskUnit(document);
  if (sector > INT64_MAX / per || n > INT64_MAX / per) return 0;
  return VmdkReadSectors(static_cast<CVmdkImage*>(document->diskContext), sector * per, buffer, n * per) / per;
}

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Parses one extent line; false when it breaks the line's form.
bool ParseExtentLine(std::string_view line, CVmdkExtent* extent) {
  size_t at = 0;
  auto word = [&](std::string_view w) {
    if (line.substr(at, w.size()) != w) return false;
    at += w.size();
    return true;
  };
  if (word("RW ")) {
    extent->access = kVmdkReadWrite;
  } else if (word("RDONLY ")) {
    extent->access = kVmdkReadOnly;
  } else if (word("NOACCESS ")) {
    extent->access = kVmdkNoAccess;
  } else {
    return false;
  }
  const char* end = nullptr;
  int64_t size = 0;
  if (VmdkParseNumber(line.data() + at, line.data() + line.size(), &end, 10, &size) != 0 || size < 0) return false;
  at = static_cast<size_t>(end - line.data());
  extent->size = static_cast<uint64_t>(size);
  if (!word(" ")) return false;
  if (word("SPARSE")) {
    extent->kind = kVmdkSparse;
  } else if (word("FLAT")) {
    extent->kind = kVmdkFlat;
  } else if (word("ZERO")) {
    extent->kind = kVmdkZero;
    return at == line.size();
  } else {
    return false;
  }
  if (!word(" ")) return false;
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  if (!word("\"")) return false;
  const size_t close = line.find('"', at);
  if (close == std::string_view::npos || close == at) return false;
  extent->name = std::string(line.substr(at, close - at));
  at = close + 1;
  if (at == line.size()) return true;
  if (!word(" ")) return false;
  int64_t offset = 0;
  if (VmdkParseNumber(line.data() + at, line.data() + line.size(), &end, 10, &offset) != 0 || offset < 0) return false;
  extent->offset = static_cast<uint64_t>(offset);
  return end == line.data() + line.size();
}

// The value of a header line "key=value" (quotes removed), or "" when the line has another key.
std::string_view HeaderValue(std::string_view line, std::string_view key) {
  if (!StartsWith(line, key)) return {};
  std::string_view rest = line.substr(key.size());
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  if (rest.empty() || rest.front() != '=') return {};
  rest.remove_prefix(1);
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t' || rest.front() == '"')) rest.remove_prefix(1);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '"')) rest.remove_suffix(1);
  return rest;
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};

// The folder of the descriptor (up to and including its last '/'), joined with an extent's name; names that
// start with '/' or a drive letter stand as they are.
bool ResolveExtentPath(const CWideString& descriptorPath, const std::string& name, CWideString* out) {
  std::unique_ptr<wchar_t, void (*)(wchar_t*)> wide(TextMultiByteToWideDup(name.c_str()),
                                                    [](wchar_t* p) { MemFree(p); });
  if (!wide) return false;
  const wchar_t* w = wide.get();
  if (w[0] == L'/' || (w[0] && w[1] == L':')) {
    WstrAssignChars(*out, w);
    return true;
  }
  const int32_t slash = WstrReverseFind(descriptorPath, L'/');
  CWideString joined = slash >= 0 ? WstrLeft(descriptorPath, slash + 1) : descriptorPath;
  WstrAppendChars(joined, w);
  *out = joined;
  return true;
}

// Extents are plain files: a device or a pipe named by a descriptor is not opened (it could block or never end).
bool IsRegularFile(const CWideString& path) {
  std::unique_ptr<char, void (*)(char*)> bytes(TextWideToMultiByteDup(path.c_str()), [](char* p) { MemFree(p); });
  struct stat info;
  if (!bytes || stat(bytes.get(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) errno = EINVAL;
  return S_ISREG(info.st_mode);
}

int OpenExtents(CVmdkImage* image) {
  uint64_t start = 0;
  bool sparse = false;
  for (CVmdkExtent& extent : image->extents) {
    if (extent.kind != kVmdkZero) {
      if (!ResolveExtentPath(image->path, extent.name, &extent.path)) return -1;
      extent.file = IsRegularFile(extent.path) ? FileOpenRead(extent.path.c_str()) : nullptr;
      if (!extent.file) {
        // The user is told which file is missing; the open then fails like any damaged disk.
        ErrorReport(extent.path.c_str());
        return -1;
      }
      const int64_t fileSize = FileGetSize(extent.file);
      if (extent.kind == kVmdkSparse) {
        if (VmdkParseSparseHeader(&extent) != 0 || VmdkLoadGrainDirectories(&extent, fileSize) != 0) return -1;
        if (extent.size > extent.capacity) return -1;
        sparse = true;
      } else {
        // A flat extent's sectors must all be in its file.
        const uint64_t end = extent.offset + extent.size;
        if (end < extent.offset || end > static_cast<uint64_t>(fileSize) / 512) return -1;
      }
    }
    extent.start = start;
    if (extent.size > (uint64_t{INT64_MAX} / 512) - start) return -1;
    start += extent.size;
  }
  image->diskSize = start * 512;
  if (sparse) {
    try {
      image->cache.resize(kCacheSlots);
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  return 0;
}

int OpenSparseFile(CVmdkImage* image) {
  CVmdkExtent extent{};
  extent.file = FileOpenRead(image->path.c_str());
  if (!extent.file) return -1;
  std::unique_ptr<FILE, FileCloser> owner(extent.file);
  if (VmdkParseSparseHeader(&extent) != 0) return -1;
  if (extent.descriptorOffset == 0 || extent.descriptorSize == 0 || extent.descriptorSize > kMaxEmbeddedSectors)
    return -1;
  std::string text(static_cast<size_t>(extent.descriptorSize) * 512, '\0');
  if (!VirtualDiskReadAt(extent.file, text.data(), static_cast<int64_t>(extent.descriptorOffset) * 512, text.size()))
    return -1;
  if (VmdkParseDescriptor(image, text) != 0 || image->hasParent || image->extents.size() != 1) return -1;
  CVmdkExtent& only = image->extents.front();
  if (only.kind != kVmdkSparse) return -1;
  // The one extent is this very file.
  owner.release();
  extent.size = only.size;
  extent.access = only.access;
  extent.name = only.name;
  extent.path = image->path;
  only = std::move(extent);
  if (VmdkLoadGrainDirectories(&only, FileGetSize(only.file)) != 0 || only.size > only.capacity) return -1;
  image->diskSize = only.size * 512;
  try {
    image->cache.resize(kCacheSlots);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

}  // namespace

int VmdkParseNumber(const char* text, const char* limit, const char** end, int base, int64_t* value) {
  const char* p = text;
  bool negative = false;
  while (p < limit && (*p == '+' || *p == '-')) {
    if (*p == '-') negative = !negative;
    ++p;
  }
  if (base == 0) {
    if (limit - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      base = 16;
      p += 2;
    } else if (p < limit && *p == '0') {
      base = 8;
    } else {
      base = 10;
    }
  }
  uint64_t v = 0;
  int digits = 0;
  while (p < limit) {
    int d;
    if (*p >= '0' && *p <= '9')
      d = *p - '0';
    else if (*p >= 'a' && *p <= 'f')
      d = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F')
      d = *p - 'A' + 10;
    else
      break;
    if (d >= base) break;
    if (v > (uint64_t{INT64_MAX} - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return -1;  // overflow
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    ++digits;
    ++p;
  }
  if (end) *end = p;
  if (digits == 0) return -1;
  *value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  return 0;
}

int VmdkParseDescriptor(CVmdkImage* image, std::string_view text) {
  // The text ends at its first NUL; only padding (NULs, and the blank lines some writers leave there) may follow.
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    if (text.find_first_not_of(std::string_view("\0\n\r \t", 5), nul) != std::string_view::npos) return -1;
    text = text.substr(0, nul);
  }
  image->descriptor = std::string(text);
  enum { kHeader, kExtents, kDatabase } section = kHeader;
  int lines = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t eol = text.find('\n', at);
    const bool ended = eol != std::string_view::npos;
    if (!ended) eol = text.size();
    std::string_view line = text.substr(at, eol - at);
    const size_t next = ended ? eol + 1 : text.size();
    if (ended && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find('\r') != std::string_view::npos) return -1;  // a carriage return without its line feed
    at = next;
    if (++lines > kMaxLines) return -1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;
    if (StartsWith(line, "RW") || StartsWith(line, "RDONLY") || StartsWith(line, "NOACCESS")) {
      if (section == kDatabase) return -1;
      section = kExtents;
      CVmdkExtent extent{};
      if (!ParseExtentLine(line, &extent)) return -1;
      extent.index = static_cast<int32_t>(image->extents.size());
      image->extents.push_back(std::move(extent));
    } else if (StartsWith(line, "ddb.")) {
      section = kDatabase;
    } else {
      if (section != kHeader) return -1;
      // A disk with a parent holds only what changed since the parent: it cannot be read on its own.
      const std::string_view parent = HeaderValue(line, "parentCID");
      if (!parent.empty() && parent != "ffffffff" && parent != "FFFFFFFF") image->hasParent = 1;
      if (!HeaderValue(line, "parentFileNameHint").empty()) image->hasParent = 1;
    }
  }
  return image->extents.empty() ? -1 : 0;
}

int VmdkParseSparseHeader(CVmdkExtent* extent) {
  uint8_t bytes[512];
  if (!extent->file || !VirtualDiskReadAt(extent->file, bytes, 0, sizeof bytes)) return -1;
  ByteReader r(bytes, sizeof bytes);
  if (r.Chars(4) != "KDMV" || r.U32LEAt(4) != 1) return -1;
  extent->flags = r.U32LEAt(8);
  extent->capacity = r.U64LEAt(12);
  extent->grainSize = r.U64LEAt(20);
  extent->descriptorOffset = r.U64LEAt(28);
  extent->descriptorSize = r.U64LEAt(36);
  extent->entriesPerGt = r.U32LEAt(44);
  extent->rgdOffset = (extent->flags & kFlagRedundantGd) ? r.U64LEAt(48) : 0;
  extent->gdOffset = r.U64LEAt(56);
  extent->overhead = r.U64LEAt(64);
  if (!r.ok()) return -1;
  if (extent->flags & kFlagCompressed) return -1;  // stream-optimized disks hold compressed grains
  if (extent->descriptorOffset != 0 && extent->descriptorSize == 0) return -1;
  if (extent->grainSize == 0 || extent->entriesPerGt == 0 || extent->grainSize > UINT32_MAX / extent->entriesPerGt)
    return -1;
  extent->sectorsPerGdEntry = extent->grainSize * extent->entriesPerGt;
  if (extent->capacity > uint64_t{INT64_MAX} / 512) return -1;
  extent->gdEntries = (extent->capacity + extent->sectorsPerGdEntry - 1) / extent->sectorsPerGdEntry;
  return 0;
}

int VmdkLoadGrainDirectories(CVmdkExtent* extent, int64_t fileSize) {
  if (extent->grainSize < 8 || !IsPowerOfTwo(extent->grainSize)) return -1;
  if (extent->entriesPerGt < 128 || !IsPowerOfTwo(extent->entriesPerGt)) return -1;
  const uint64_t fileBytes = fileSize > 0 ? static_cast<uint64_t>(fileSize) : 0;
  const uint64_t gdBytes = extent->gdEntries * 4;
  const uint64_t gtBytes = uint64_t{extent->entriesPerGt} * 4;
  auto inside = [&](uint64_t sector, uint64_t bytes) {
    return sector <= fileBytes / 512 && bytes <= fileBytes - sector * 512;
  };
  auto readGd = [&](uint64_t sector, std::vector<uint32_t>* gd) {
    if (!inside(sector, gdBytes)) return false;
    std::vector<uint8_t> raw;
    try {
      raw.resize(static_cast<size_t>(gdBytes));
      gd->resize(static_cast<size_t>(extent->gdEntries));
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (!raw.empty() && !VirtualDiskReadAt(extent->file, raw.data(), static_cast<int64_t>(sector * 512), raw.size()))
      return false;
    for (size_t n = 0; n < gd->size(); ++n) {
      (*gd)[n] = LoadU32LE(raw.data() + n * 4);
      // Every grain table lies whole inside the file.
      if ((*gd)[n] != 0 && !inside((*gd)[n], gtBytes)) return false;
    }
    return true;
  };
  if (!readGd(extent->gdOffset, &extent->gd)) return -1;
  if (extent->rgdOffset == 0) return 0;
  if (!readGd(extent->rgdOffset, &extent->rgd)) return -1;
  const size_t compare = std::min<size_t>(extent->entriesPerGt, 512);
  std::vector<uint8_t> a(compare), b(compare);
  for (size_t n = 0; n < extent->gd.size(); ++n) {
    const uint32_t primary = extent->gd[n];
    const uint32_t redundant = extent->rgd[n];
    if ((primary == 0) != (redundant == 0)) return -1;
    if (primary == 0) continue;
    if (primary == redundant) return -1;
    if (!VirtualDiskReadAt(extent->file, a.data(), int64_t{primary} * 512, compare) ||
        !VirtualDiskReadAt(extent->file, b.data(), int64_t{redundant} * 512, compare) || a != b)
      return -1;
  }
  return 0;
}

int VmdkLookupGrain(CVmdkImage* image, CVmdkExtent* extent, uint64_t sector, uint64_t* offset) {
  const uint64_t gdIndex = sector / extent->sectorsPerGdEntry;
  if (gdIndex >= extent->gd.size()) return -1;
  const uint32_t table = extent->gd[gdIndex];
  if (table == 0) {
    *offset = 0;
    return 1;
  }
  const uint64_t block = sector / (extent->grainSize * 128);
  CVmdkCacheSlot& slot = image->cache[(block + static_cast<uint64_t>(extent->index)) % image->cache.size()];
  if (slot.extent != extent->index || slot.block != block) {
    slot.extent = -1;
    const uint64_t gtSector = table + block % (extent->entriesPerGt / 128);
    uint8_t raw[512];
    if (!VirtualDiskReadAt(extent->file, raw, static_cast<int64_t>(gtSector * 512), sizeof raw)) return -1;
    for (int i = 0; i < 128; ++i) slot.entries[i] = LoadU32LE(raw + i * 4);
    slot.extent = extent->index;
    slot.block = block;
  }
  const uint32_t entry = slot.entries[(sector / extent->grainSize) % 128];
  if (entry == 0 || (entry == 1 && (extent->flags & kFlagZeroedGrains))) {
    *offset = 0;
    return 1;
  }
  *offset = entry + sector % extent->grainSize;
  return 1;
}

int VmdkOpen(CImageDocument* document) {
  if (!document || !document->input) return 0;
  char magic[4];
  const int64_t fileSize = FileGetSize(document->input);
  if (fileSize < 1 || !VirtualDiskReadAt(document->input, magic, 0, std::min<int64_t>(4, fileSize))) return 0;
  auto* image = new (std::nothrow) CVmdkImage{};
  if (!image) return 0;
  image->path = document->path;
  int result;
  if (fileSize >= 512 && std::memcmp(magic, "KDMV", 4) == 0) {
    result = OpenSparseFile(image) == 0 ? 1 : -1;
  } else if (fileSize > kMaxDescriptorBytes) {
    result = 0;
  } else {
    std::string text(static_cast<size_t>(fileSize), '\0');
    if (!VirtualDiskReadAt(document->input, text.data(), 0, text.size()) || VmdkParseDescriptor(image, text) != 0)
      result = 0;  // no descriptor: some other file
    else
      result = !image->hasParent && OpenExtents(image) == 0 ? 1 : -1;
  }
  if (result != 1) {
    VmdkClose(image);
    return result;
  }
  document->vmdk = image;
  document->diskContext = image;
  document->diskReader = VmdkDiskRead;
  document->readableLimit = static_cast<int64_t>(image->diskSize / 512);
  return 1;
}

int64_t VmdkMapSectors(void* context, int64_t sector, int64_t count, CVirtualDiskRun* run) {
  auto* image = static_cast<CVmdkImage*>(context);
  if (!image || !run || sector < 0 || count <= 0 || image->extents.empty()) return 0;
  const uint64_t total = image->diskSize / 512;
  if (static_cast<uint64_t>(sector) >= total) return 0;
  const uint64_t limit = std::min<uint64_t>(static_cast<uint64_t>(count), total - static_cast<uint64_t>(sector));
  uint64_t n = 0;
  auto holder = image->extents.end();
  while (n < limit) {
    const uint64_t s = static_cast<uint64_t>(sector) + n;
    // Extents are in disk order: the one holding s is the last that starts at or before it.
    if (holder == image->extents.end() || s < holder->start || s - holder->start >= holder->size) {
      holder = std::upper_bound(image->extents.begin(), image->extents.end(), s,
                                [](uint64_t v, const CVmdkExtent& e) { return v < e.start; });
      if (holder == image->extents.begin()) break;
      --holder;
    }
    CVmdkExtent& extent = *holder;
    if (s - extent.start >= extent.size || extent.access == kVmdkNoAccess) break;
    const uint64_t inExtent = s - extent.start + (extent.kind == kVmdkFlat ? extent.offset : 0);
    uint64_t step = std::min<uint64_t>(extent.start + extent.size - s, limit - n);
    CVirtualDiskRun piece{nullptr, 0};
    if (extent.kind == kVmdkFlat) {
      if (inExtent > uint64_t{INT64_MAX} / 512) return -1;
      piece = {extent.file, static_cast<int64_t>(inExtent * 512)};
    } else if (extent.kind != kVmdkZero) {
      uint64_t grain = 0;
      if (VmdkLookupGrain(image, &extent, inExtent, &grain) != 1) break;
      step = std::min<uint64_t>(step, extent.grainSize - inExtent % extent.grainSize);
      if (grain > uint64_t{INT64_MAX} / 512) return -1;
      if (grain != 0) piece = {extent.file, static_cast<int64_t>(grain * 512)};
    }
    if (n == 0)
      *run = piece;
    else if (piece.file != run->file || (piece.file && piece.offset != run->offset + static_cast<int64_t>(n * 512)))
      break;
    n += step;
  }
  return static_cast<int64_t>(n);
}

int64_t VmdkReadSectors(CVmdkImage* image, int64_t sector, void* buffer, int64_t count) {
  if (!image || !buffer || sector < 0 || count <= 0) return 0;
  const uint64_t total = image->diskSize / 512;
  if (static_cast<uint64_t>(sector) > total || static_cast<uint64_t>(count) > total - static_cast<uint64_t>(sector))
    return 0;
  return VirtualDiskReadMapped(image, VmdkMapSectors, sector, buffer, count);
}

void VmdkClose(CVmdkImage* image) {
  if (!image) return;
  for (CVmdkExtent& extent : image->extents)
    if (extent.file) std::fclose(extent.file);
  delete image;
}
