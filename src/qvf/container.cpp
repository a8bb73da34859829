#include "qvf/container.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "runtime/blockcache.h"
#include "runtime/crc.h"
#include "runtime/file.h"
#include "runtime/textconv.h"

CQvfWriterParams g_qvfWriterParams;

// Defined with the writer: stops its compression threads and frees their buffers.
void QvfWritePipelineFree(CQvfWritePipeline* pipeline);
// Defined with the reader: waits for chunks being decoded ahead and frees them.
void QvfPrefetchFree(CQvfPrefetch* prefetch);

namespace {

// The index mask tables: QDI's, and ours for QVF streams written with masking on.
constexpr uint8_t kQdiMaskTable[7] = {57, 148, 203, 17, 96, 222, 135};
constexpr uint8_t kQvfMaskTable[8] = {0x3A, 0xC5, 0x71, 0x0E, 0x9B, 0x54, 0xE2, 0x2D};

// The QDI family's further magic, read as QDI.
constexpr uint8_t kQdiAltMagic[4] = {'Q', 'D', 'X', 0};

uint64_t ReadBits(const std::vector<uint8_t>& index, uint64_t position, int count) {
  const uint64_t byte = position / 8;
  if (count <= 0 || byte + 8 > index.size()) return 0;
  uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | index[byte + i];
  word >>= position % 8;
  return count >= 64 ? word : word & ((uint64_t{1} << count) - 1);
}

uint8_t ScrambleSum(const CQvfContext* context, uint64_t n) {
  const uint64_t s0 = context->sectorCount & 0xFF, s1 = (context->sectorCount >> 8) & 0xFF;
  const uint64_t pairs = n == 0 ? 0 : (n % 512) * ((n - 1) % 512) / 2;  // n(n-1)/2 mod 256 needs n mod 512
  return static_cast<uint8_t>(n * s0 + pairs * s1);
}

}  // namespace

int32_t QvfClassifyMagic(const uint8_t* bytes) {
  if (std::memcmp(bytes, "QVF", 4) == 0) return kQvfMagicQvf;
  if (std::memcmp(bytes, "QDI", 4) == 0 || std::memcmp(bytes, kQdiAltMagic, 4) == 0) return kQvfMagicQdi;
  return kQvfMagicNone;
}

int QvfIsMainHeader(const uint8_t* header) {
  if (QvfClassifyMagic(header) == kQvfMagicNone) return 0;
  return Crc32Compute(header, kQvfHeaderCrcOffset) == QvfLoad32(header + kQvfHeaderCrcOffset) ? 1 : 0;
}

int QvfIsVolumeHeader(const uint8_t* bytes) {
  return std::memcmp(bytes, "QVF VOL", 8) == 0 || std::memcmp(bytes, "QDI VOL", 8) == 0 ? 1 : 0;
}

void QvfMakeVolumeHeader(uint8_t header[kQvfVolumeHeaderSize]) {
  std::memset(header, 0, kQvfVolumeHeaderSize);
  std::memcpy(header, "QVF VOL", 8);
  QvfStore32(header + 16, kQvfVolumeHeadSize);
  QvfStore32(header + 36, Crc32Compute(header, 36));
}

int QvfCheckVolumeHeader(const uint8_t* header) {
  return QvfIsVolumeHeader(header) && QvfLoad32(header + 16) == kQvfVolumeHeadSize &&
                 Crc32Compute(header, 36) == QvfLoad32(header + 36)
             ? 1
             : 0;
}

CQvfContext* QvfNewContext(CImageDocument* document) {
  auto* context = new (std::nothrow) CQvfContext{};
  if (context) context->document = document;
  return context;
}

void QvfCloseReader(CQvfContext* context) {
  if (!context) return;
  QvfWritePipelineFree(context->pipeline);
  context->pipeline = nullptr;
  QvfPrefetchFree(context->prefetch);
  context->prefetch = nullptr;
  if (context->currentVolumeFile) std::fclose(context->currentVolumeFile);
  if (context->ownsFile && context->file) std::fclose(context->file);
  // A stream that was not finished leaves no later volumes behind (the caller removes the first).
  if (context->writing && !context->finished)
    for (const std::wstring& name : context->createdVolumes) FileDelete(name.c_str());
  BlockCacheFree(context->cache);
  QvfCipherFree(&context->cipher);
  delete context;
}

int64_t QvfFindBlockInArea(const uint8_t* area, size_t areaLength, uint32_t type, uint32_t* blockLength) {
  ByteReader blocks(area, areaLength);
  while (blocks.remaining() >= 8) {
    const size_t position = blocks.pos();
    const uint32_t kind = blocks.U32LE(), length = blocks.U32LE();
    // A length that does not advance, or one that runs past the blocks' end, ends the walk.
    if (length < 8 || !blocks.Seek(position) || !blocks.Skip(length)) return -1;
    if (kind == type) {
      if (blockLength) *blockLength = length;
      return static_cast<int64_t>(position);
    }
  }
  return -1;
}

ByteReader QvfBlockInArea(const uint8_t* area, size_t areaLength, uint32_t type) {
  uint32_t length = 0;
  const int64_t at = QvfFindBlockInArea(area, areaLength, type, &length);
  ByteReader whole(area, areaLength);
  if (at < 0 || !whole.Seek(static_cast<size_t>(at))) {
    ByteReader none;
    none.Fail();
    return none;
  }
  return whole.Sub(length);
}

int64_t QvfFindBlock(FILE* file, uint32_t type, uint8_t* buffer, size_t length, uint64_t base) {
  uint8_t header[kQvfHeaderSize] = {};
  if (!file) return -1;
  const int64_t got = FileReadAtCount(file, header, static_cast<int64_t>(base), sizeof header);
  if (got < kQvfVolumeHeaderSize) return -1;
  uint64_t start;
  if (QvfIsVolumeHeader(header))
    start = kQvfVolumeHeaderSize;
  else if (got == kQvfHeaderSize && QvfIsMainHeader(header))  // a short read holds no main header
    start = kQvfHeaderSize;
  else
    return -1;
  const uint64_t end = QvfLoad32(header + 16);
  if (end <= start || end - start > kQvfMaxBlockArea) return -1;
  std::vector<uint8_t> area(end - start);
  if (!FileReadAt(file, area.data(), static_cast<int64_t>(base + start), area.size())) return -1;
  uint32_t blockLength = 0;
  const int64_t at = QvfFindBlockInArea(area.data(), area.size(), type, &blockLength);
  if (at < 0 || blockLength < length) return -1;
  if (buffer && length) std::memcpy(buffer, area.data() + at, length);
  return static_cast<int64_t>(base + start) + at;
}

uint32_t QvfIndexMask(const CQvfContext* context, uint64_t chunk) {
  if (context->qdi) return ((static_cast<uint32_t>(chunk) ^ kQdiMaskTable[chunk % 7]) & 0xFF) * 0x01010101u + 17;
  return ((static_cast<uint32_t>(chunk) ^ kQvfMaskTable[chunk % 8]) & 0xFF) * 0x01010101u;
}

uint64_t QvfGetChunkStoredLength(const CQvfContext* context, uint64_t chunk) {
  if (chunk >= context->chunkCount) return 0;
  if (context->version == kQvfVersion100) {
    const uint8_t* p = context->index.data() + chunk * 3;
    // Bits 16-22 in byte 0 (a set top bit makes the length too large for any chunk), bits 0-15 after it.
    return uint64_t(p[0]) << 16 | QvfLoad16(p + 1);
  }
  const int bits = context->lengthBits;
  uint64_t value = ReadBits(context->index, chunk * QvfEntryBits(context), bits);
  if (context->masked) value = (value ^ QvfIndexMask(context, chunk)) & ((uint64_t{1} << bits) - 1);
  return value == 0 ? 0 : value + 5;
}

int32_t QvfGetChunkCodec(const CQvfContext* context, uint64_t chunk) {
  if (context->version == kQvfVersion100 || context->deflateOnly) return kQvfCodecDeflate;
  const int bits = context->codecBits;
  if (bits == 0) return kQvfCodecLzma;
  uint64_t value = ReadBits(context->index, chunk * QvfEntryBits(context) + context->lengthBits, bits);
  if (context->masked) value = (value ^ QvfIndexMask(context, chunk)) & ((uint64_t{1} << bits) - 1);
  return static_cast<int32_t>(value);
}

void QvfPutIndexBits(CQvfContext* context, uint64_t entryBase, uint32_t value, int count, int offset,
                     uint64_t chunk) {
  if (context->masked) value ^= QvfIndexMask(context, chunk);
  uint64_t position = entryBase + static_cast<uint64_t>(offset);
  for (int i = 0; i < count; ++i, ++position) {
    const uint64_t byte = position / 8;
    if (byte >= context->index.size()) return;
    const uint8_t bit = static_cast<uint8_t>(1u << (position % 8));
    if ((value >> i) & 1)
      context->index[byte] |= bit;
    else
      context->index[byte] &= static_cast<uint8_t>(~bit);
  }
}

uint64_t QvfIndexBytes(uint32_t version, uint64_t count, uint32_t entryBits) {
  if (version == kQvfVersion100) return count * 3;
  return (count * entryBits + 7) / 8;
}

void QvfUnscrambleIndex(const CQvfContext* context, uint8_t* bytes, size_t n, uint32_t headerCrc) {
  const uint8_t crc0 = static_cast<uint8_t>(headerCrc), crc1 = static_cast<uint8_t>(headerCrc >> 8);
  if (context->qdi && context->scrambled) {
    for (size_t j = 0; j < n; ++j) bytes[j] = static_cast<uint8_t>(bytes[j] + crc0 + j * crc1);
  } else if (context->scrambled) {
    if (n > 0) bytes[0] = static_cast<uint8_t>(bytes[0] - ScrambleSum(context, n));
  } else if (context->qdi) {
    const uint8_t key = static_cast<uint8_t>(n / 4);
    for (size_t j = 0; j < n; ++j) bytes[j] = static_cast<uint8_t>(bytes[j] - crc0) ^ key;
  }
}

void QvfScrambleIndex(const CQvfContext* context, uint8_t* bytes, size_t n) {
  if (context->scrambled && !context->qdi && n > 0) bytes[0] = static_cast<uint8_t>(bytes[0] + ScrambleSum(context, n));
}

void QvfUndoQdiDeflatedIndex(uint8_t* bytes, size_t n) {
  const uint8_t m = static_cast<uint8_t>(n);
  for (size_t j = 0; j < n; ++j) bytes[j] = static_cast<uint8_t>(~static_cast<uint8_t>(bytes[j] - 7 * j)) ^ m;
}

int QvfBitLength(uint64_t value) {
  int bits = 0;
  while (value) {
    ++bits;
    value >>= 1;
  }
  return bits;
}
