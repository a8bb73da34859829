#include "qvf/sfx.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/byte_reader.h"
#include "runtime/file.h"

namespace {

void PutU32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t bytes[4];
  PutU32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

constexpr size_t kCopyBlock = 1 << 20;

}  // namespace

CSfxPropertyTable* QvfNewSfxProperties() { return new (std::nothrow) CSfxPropertyTable{}; }

void QvfFreeSfxProperties(CSfxPropertyTable* table) { delete table; }

int QvfSetSfxProperty(CSfxPropertyTable* table, int32_t slot, const void* bytes, int32_t length) {
  if (!table || slot < 0 || slot >= kSfxPropertySlots || length < 0 || (length > 0 && !bytes)) return 0;
  CSfxProperty& property = table->slots[slot];
  const auto* begin = static_cast<const uint8_t*>(bytes);
  property.bytes.assign(begin, begin + length);
  property.used = 1;
  return 1;
}

int QvfBuildSfxPropertyBlock(const CSfxPropertyTable* table, std::vector<uint8_t>* out) {
  if (!out) return 0;
  out->clear();
  uint64_t total = kSfxPropertyHeaderSize;
  uint32_t count = 0;
  if (table) {
    for (const CSfxProperty& property : table->slots) {
      if (!property.used) continue;
      total += 8 + static_cast<uint64_t>(property.bytes.size());
      ++count;
    }
  }
  if (total > UINT32_MAX) return 0;
  out->reserve(static_cast<size_t>(total));
  AppendU32(*out, kSfxPropertyBlockType);
  AppendU32(*out, static_cast<uint32_t>(total));
  AppendU32(*out, count);
  AppendU32(*out, 0);
  AppendU32(*out, 0);
  if (table) {
    for (int slot = 0; slot < kSfxPropertySlots; ++slot) {
      const CSfxProperty& property = table->slots[slot];
      if (!property.used) continue;
      AppendU32(*out, static_cast<uint32_t>(slot));
      AppendU32(*out, static_cast<uint32_t>(property.bytes.size()));
      out->insert(out->end(), property.bytes.begin(), property.bytes.end());
    }
  }
  return 1;
}

int QvfParseSfxPropertyBlock(CSfxPropertyTable* table, const uint8_t* bytes, size_t length) {
  if (!table || !bytes) return 0;
  ByteReader block(bytes, length);
  const uint32_t type = block.U32LE();
  const uint32_t total = block.U32LE();
  const uint32_t count = block.U32LE();
  if (!block.ok() || type != kSfxPropertyBlockType || total < static_cast<uint32_t>(kSfxPropertyHeaderSize) ||
      total > length)
    return 0;
  ByteReader entries(bytes + kSfxPropertyHeaderSize, total - kSfxPropertyHeaderSize);
  // Every entry takes at least its 8-byte head, which bounds the count by the block as well as by the slots.
  if (count > static_cast<uint32_t>(kSfxPropertySlots) || count > entries.size() / 8) return 0;
  std::unique_ptr<CSfxProperty[]> slots(new (std::nothrow) CSfxProperty[kSfxPropertySlots]());
  if (!slots) return 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t slot = entries.U32LE();
    const uint32_t n = entries.U32LE();
    const std::span<const uint8_t> value = entries.Span(n);
    if (!entries.ok() || slot >= static_cast<uint32_t>(kSfxPropertySlots)) return 0;
    slots[slot].used = 1;
    slots[slot].bytes.assign(value.begin(), value.end());
  }
  for (int slot = 0; slot < kSfxPropertySlots; ++slot) table->slots[slot] = std::move(slots[slot]);
  return 1;
}

int QvfReadSfxProperties(CSfxPropertyTable* table, FILE* file, int64_t fileSize, const CSfxTrailer& trailer) {
  if (!table || !file) return 0;
  const int64_t offset = trailer.propertyOffset;
  const int64_t size = trailer.propertySize;
  // The block lies between the stub and the stream, and the stream before the trailer.
  if (size < kSfxPropertyHeaderSize || size > kSfxPropertyBlockMax) return 0;
  if (offset + size > static_cast<int64_t>(trailer.imageOffset)) return 0;
  if (static_cast<int64_t>(trailer.imageOffset) > fileSize - kSfxTrailerSize) return 0;
  std::vector<uint8_t> block(static_cast<size_t>(size));
  if (!FileReadAt(file, block.data(), offset, block.size())) return 0;
  if (!QvfParseSfxPropertyBlock(table, block.data(), block.size())) return 0;
  table->propertyOffset = offset;
  table->propertySize = size;
  table->imageOffset = trailer.imageOffset;
  return 1;
}

void QvfMakeSfxTrailer(const CSfxTrailer& trailer, uint8_t out[kSfxTrailerSize]) {
  PutU32(out, kSfxTrailerType);
  PutU32(out + 4, kSfxTrailerSize);
  PutU32(out + 8, 0);
  PutU32(out + 12, trailer.propertyOffset);
  PutU32(out + 16, trailer.propertySize);
  PutU32(out + 20, trailer.imageOffset);
  PutU32(out + 24, 0);
}

int QvfParseSfxTrailer(const uint8_t* bytes, size_t length, CSfxTrailer* trailer) {
  if (!bytes || !trailer) return 0;
  ByteReader in(bytes, length);
  const uint32_t type = in.U32LE();
  const uint32_t size = in.U32LE();
  in.Skip(4);
  const uint32_t propertyOffset = in.U32LE();
  const uint32_t propertySize = in.U32LE();
  const uint32_t imageOffset = in.U32LE();
  if (!in.ok() || length < static_cast<size_t>(kSfxTrailerSize) || type != kSfxTrailerType ||
      size != static_cast<uint32_t>(kSfxTrailerSize))
    return 0;
  trailer->propertyOffset = propertyOffset;
  trailer->propertySize = propertySize;
  trailer->imageOffset = imageOffset;
  return 1;
}

int QvfFindSfxTrailer(FILE* file, int64_t fileSize, CSfxTrailer* trailer) {
  if (!file || !trailer || fileSize <= kSfxMinFileSize) return 0;
  uint8_t bytes[kSfxTrailerSize];
  if (!FileReadAt(file, bytes, fileSize - kSfxTrailerSize, sizeof bytes)) return 0;
  return QvfParseSfxTrailer(bytes, sizeof bytes, trailer);
}

std::string QvfSfxStubPath() {
  std::string program(PATH_MAX + 1, '\0');
  ssize_t n = readlink("/proc/self/exe", program.data(), program.size());
  if (n <= 0 || static_cast<size_t>(n) >= program.size()) return {};
  program.resize(static_cast<size_t>(n));
  size_t slash = program.rfind('/');
  if (slash == std::string::npos) return {};
  program.resize(slash + 1);
  return program + kSfxStubName;
}

FILE* QvfOpenSfxStub() {
  std::string path = QvfSfxStubPath();
  if (path.empty()) return nullptr;
  return std::fopen(path.c_str(), "rb");
}

int64_t QvfWriteSfxHead(FILE* output, FILE* stub, CSfxPropertyTable* table, CSfxTrailer* trailer) {
  if (!output || !stub || !trailer) return -1;
  // The stub is copied in large blocks; its size is whatever it holds.
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyBlock]);
  if (!buffer) return -1;
  int64_t stubSize = 0;
  for (;;) {
    size_t got = std::fread(buffer.get(), 1, kCopyBlock, stub);
    if (got > 0 && !FileWriteAt(output, buffer.get(), stubSize, got)) return -1;
    stubSize += static_cast<int64_t>(got);
    if (got < kCopyBlock) break;
  }
  if (std::ferror(stub)) return -1;
  std::vector<uint8_t> block;
  if (!QvfBuildSfxPropertyBlock(table, &block)) return -1;
  const int64_t blockEnd = stubSize + static_cast<int64_t>(block.size());
  // At least one whole KiB of zeros separates the block from the stream, which starts on a KiB boundary.
  const int64_t imageOffset =
      (blockEnd + kSfxImageAlignment + kSfxImageAlignment - 1) / kSfxImageAlignment * kSfxImageAlignment;
  if (imageOffset > static_cast<int64_t>(UINT32_MAX)) return -1;
  if (!FileWriteAt(output, block.data(), stubSize, block.size())) return -1;
  const size_t fill = static_cast<size_t>(imageOffset - blockEnd);
  std::memset(buffer.get(), 0, fill);
  if (!FileWriteAt(output, buffer.get(), blockEnd, fill)) return -1;
  if (std::fflush(output) != 0) return -1;
  trailer->propertyOffset = static_cast<uint32_t>(stubSize);
  trailer->propertySize = static_cast<uint32_t>(block.size());
  trailer->imageOffset = static_cast<uint32_t>(imageOffset);
  if (table) {
    table->propertyOffset = stubSize;
    table->propertySize = static_cast<int64_t>(block.size());
    table->imageOffset = imageOffset;
  }
  return imageOffset;
}
