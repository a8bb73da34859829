#include "formats/isz.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>
#include <vector>

#include "formats/chunkmap.h"
#include "image/document.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/file.h"

namespace {

// The tables are stored XORed with the complement of this key.
constexpr uint8_t kScrambleKey[4] = {'I', 's', 'Z', '!'};
constexpr size_t kSegmentRecordSize = 24;

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool ReadHeaderOf(const std::wstring& path, CIszHeader* header) {
  FILE* file = FileOpenForRead(path.c_str());
  if (!file) return false;
  uint8_t bytes[kIszHeaderSize];
  const bool ok = FileReadAt(file, bytes, 0, sizeof bytes) && IszReadHeader(bytes, sizeof bytes, header);
  std::fclose(file);
  return ok;
}

bool IsPlainSplit(const CIszHeader& h) {
  return h.pointerOffset == 0 && h.segmentOffset == 0 && h.segmentSize > 0 &&
         static_cast<uint64_t>(h.segmentSize) < h.headerSize + static_cast<uint64_t>(h.totalSectors) * h.sectorSize;
}

}  // namespace

int IszReadHeader(const uint8_t* bytes, size_t length, CIszHeader* h) {
  if (!bytes || length < kIszHeaderSize || std::memcmp(bytes, "IsZ!", 4) != 0) return 0;
  ByteReader r(bytes, length);
  h->headerSize = r.U8At(4);
  h->sectorSize = r.U16LEAt(10);
  h->totalSectors = r.U32LEAt(12);
  h->encryption = r.U8At(16);
  h->segmentSize = static_cast<int64_t>(r.U64LEAt(17));
  h->chunkCount = r.U32LEAt(25);
  h->chunkSize = r.U32LEAt(29);
  h->pointerLength = r.U8At(33);
  h->segmentNumber = r.U8At(34);
  h->pointerOffset = r.U32LEAt(35);
  h->segmentOffset = r.U32LEAt(39);
  h->dataOffset = r.U32LEAt(43);
  return r.ok() ? 1 : 0;
}

int IszIsFirstSegment(const CIszHeader& h) {
  if (h.pointerOffset && h.segmentOffset && h.segmentNumber == 0) return 1;
  return IsPlainSplit(h) ? 1 : 0;
}

int IszGetNamingStyle(const std::wstring& name) {
  const std::wstring lower = Lower(name);
  auto digitsBefore = [&](size_t count) {
    // ".part" + count digits + ".isz"
    const size_t tail = 5 + count + 4;
    if (lower.size() < tail || !EndsWith(lower, L".isz")) return false;
    const size_t at = lower.size() - tail;
    if (lower.compare(at, 5, L".part") != 0) return false;
    for (size_t i = 0; i < count; ++i)
      if (!std::iswdigit(static_cast<wint_t>(lower[at + 5 + i]))) return false;
    return true;
  };
  if (digitsBefore(2) && EndsWith(lower, L".part01.isz")) return 1;
  if (digitsBefore(3) && EndsWith(lower, L".part001.isz")) return 2;
  return 0;
}

std::wstring IszSegmentName(const std::wstring& first, int index) {
  if (index == 0) return first;
  const int style = IszGetNamingStyle(first);
  wchar_t number[16];
  if (style == 0) {
    // x.isz, x.i01, x.i02, ...
    const size_t dot = first.rfind(L'.');
    std::swprintf(number, 16, L"i%02d", index);
    return (dot == std::wstring::npos ? first + L"." : first.substr(0, dot + 1)) + number;
  }
  const size_t digits = style == 1 ? 2 : 3;
  std::swprintf(number, 16, style == 1 ? L"%02d" : L"%03d", index + 1);
  const size_t at = first.size() - 4 - digits;
  return first.substr(0, at) + number + first.substr(at + digits);
}

std::wstring IszFindFirstSegment(const std::wstring& path) {
  const std::wstring lower = Lower(path);
  std::wstring candidate;
  const size_t dot = lower.rfind(L'.');
  if (dot != std::wstring::npos && lower.size() == dot + 4 && lower[dot + 1] == L'i' &&
      std::iswdigit(static_cast<wint_t>(lower[dot + 2])) && std::iswdigit(static_cast<wint_t>(lower[dot + 3]))) {
    candidate = path.substr(0, dot + 1) + L"isz";
  } else if (EndsWith(lower, L".isz") && lower.size() >= 11) {
    // ".partNN.isz" or ".partNNN.isz"
    for (size_t digits : {size_t{3}, size_t{2}}) {
      const size_t at = lower.size() - 4 - digits;
      if (at < 5 || lower.compare(at - 5, 5, L".part") != 0) continue;
      bool allDigits = true;
      for (size_t i = 0; i < digits; ++i) allDigits = allDigits && std::iswdigit(static_cast<wint_t>(lower[at + i]));
      if (!allDigits) continue;
      candidate = path.substr(0, at) + (digits == 2 ? L"01" : L"001") + path.substr(at + digits);
      break;
    }
  }
  if (candidate.empty() || candidate == path) return L"";
  CIszHeader header;
  if (!ReadHeaderOf(candidate, &header) || !IszIsFirstSegment(header)) return L"";
  return candidate;
}

void IszDescramble(uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) bytes[i] ^= static_cast<uint8_t>(~kScrambleKey[i % 4]);
}

void IszDecryptBlocks(const CChunkMap* map, uint8_t* buffer, size_t length) {
  for (size_t at = 0; at + 16 <= length; at += 16) AesDecryptBlock(&map->aes, buffer + at, buffer + at);
}

int IszParseHeader(CImageDocument* document, int32_t* keyLength, std::wstring* failedFile) {
  *keyLength = 0;
  failedFile->clear();
  if (!document || !document->input || document->chunkMap || document->diskReader || document->qvf) return -1;
  uint8_t bytes[kIszHeaderSize];
  CIszHeader h;
  if (FileGetSize(document->input) <= static_cast<int64_t>(kIszHeaderSize) ||
      !FileReadAt(document->input, bytes, 0, sizeof bytes) || !IszReadHeader(bytes, sizeof bytes, &h))
    return -1;
  // A later segment opens its set from the first one.
  const std::wstring first = IszFindFirstSegment(document->path.c_str());
  if (!first.empty()) {
    FILE* file = FileOpenForRead(first.c_str());
    if (!file) return -1;
    if (!FileReadAt(file, bytes, 0, sizeof bytes) || !IszReadHeader(bytes, sizeof bytes, &h)) {
      std::fclose(file);
      return -1;
    }
    std::fclose(document->input);
    document->input = file;
    document->path = first.c_str();
  }
  FILE* input = document->input;
  const int64_t fileSize = FileGetSize(input);
  // The geometry must make sense before anything is sized by it.
  const uint64_t imageBytes = static_cast<uint64_t>(h.totalSectors) * h.sectorSize;
  if ((h.sectorSize != 2048 && h.sectorSize != 2352) || h.chunkSize == 0 || h.chunkSize % h.sectorSize != 0 ||
      h.chunkSize > kChunkMaxBytes || h.pointerLength != 3 || h.totalSectors == 0 || h.dataOffset < kIszHeaderSize ||
      h.dataOffset > static_cast<uint64_t>(fileSize))
    return -1;
  if (h.chunkCount != imageBytes / h.chunkSize + (imageBytes % h.chunkSize ? 1 : 0)) return -1;

  CChunkMap* map = ChunkMapCreate(input, h.sectorSize);
  if (!map) return -1;
  auto fail = [&](const std::wstring& file) {
    *failedFile = file;
    ChunkMapFree(map);
    return -1;
  };
  // A segment whose record or size disagrees with the set is named with what is wrong with it.
  auto failSegment = [&](const std::wstring& file) {
    errno = 0;
    LastErrorSetText(L"The segment does not match the table of the split image");
    return fail(file);
  };
  map->userDataOffset = h.sectorSize == 2352 ? 16 : 0;
  const std::wstring firstPath = document->path.c_str();

  // The segments: from the segment table, as a plain split set, or the single file.
  std::vector<CChunkSegment> segments;
  if (h.segmentOffset) {
    if (h.segmentOffset >= h.dataOffset) return fail(L"");
    const size_t count = (h.dataOffset - h.segmentOffset) / kSegmentRecordSize;
    std::vector<uint8_t> table(count * kSegmentRecordSize);
    if (count == 0 || !FileReadAt(input, table.data(), h.segmentOffset, table.size())) return fail(L"");
    IszDescramble(table.data(), table.size());
    uint32_t previousLeft = 0;
    for (size_t i = 0; i < count; ++i) {
      ByteReader r(table.data() + i * kSegmentRecordSize, kSegmentRecordSize);
      const int64_t size = r.I64LE();
      const uint32_t chunks = r.U32LE();
      r.U32LE();  // first chunk
      const uint32_t chunkOffset = r.U32LE();
      const uint32_t left = r.U32LE();
      // A file that begins no chunk still belongs to the set when the previous one's last chunk goes on in it.
      if (chunks == 0 && previousLeft == 0) break;
      if (segments.size() >= static_cast<size_t>(kChunkMaxSegments)) return fail(L"");
      CChunkSegment s;
      s.path = IszSegmentName(firstPath, static_cast<int>(i));
      s.fileOffset = i == 0 ? h.dataOffset : static_cast<uint64_t>(chunkOffset) - previousLeft;
      if (size <= 0 || (i > 0 && chunkOffset < previousLeft) || s.fileOffset > static_cast<uint64_t>(size))
        return failSegment(s.path);
      s.streamLength = static_cast<uint64_t>(size) - s.fileOffset;
      s.fileSize = size;
      segments.push_back(std::move(s));
      previousLeft = left;
    }
  } else if (IsPlainSplit(h)) {
    const uint64_t total = h.headerSize + imageBytes;
    const uint64_t segmentSize = static_cast<uint64_t>(h.segmentSize);
    if (segmentSize <= h.headerSize || segmentSize <= h.dataOffset) return fail(L"");
    uint64_t carried = segmentSize - h.dataOffset;
    segments.push_back({firstPath, nullptr, h.segmentSize, 0, carried, h.dataOffset});
    const uint64_t stream = total - h.dataOffset;
    for (int i = 1; carried < stream; ++i) {
      if (i >= kChunkMaxSegments) return fail(L"");
      const uint64_t n = std::min(segmentSize - h.headerSize, stream - carried);
      segments.push_back(
          {IszSegmentName(firstPath, i), nullptr, static_cast<int64_t>(n + h.headerSize), 0, n, h.headerSize});
      carried += n;
    }
  }
  // Every segment file is opened now: a missing one or one of another size is named at once.
  uint64_t streamAt = h.dataOffset;
  for (size_t i = 0; i < segments.size(); ++i) {
    CChunkSegment& s = segments[i];
    s.file = i == 0 ? input : FileOpenForRead(s.path.c_str());
    if (!s.file) {
      map->segments = std::move(segments);
      return fail(map->segments[i].path);
    }
    const bool last = i + 1 == segments.size();
    const int64_t actual = FileGetSize(s.file);
    if (actual != s.fileSize && !(last && actual > s.fileSize)) {
      const std::wstring name = s.path;
      map->segments = std::move(segments);
      return failSegment(name);
    }
    s.streamStart = streamAt;
    streamAt += s.streamLength;
  }
  map->segments = std::move(segments);

  // The chunks. Of a split set, a chunk that would end past its last file names that file.
  auto beyondSet = [&](uint64_t end) {
    if (map->segments.empty() || end <= streamAt) return fail(L"");
    errno = 0;
    LastErrorSetText(L"The split image ends inside its data, and no segment after this one is in its table");
    return fail(map->segments.back().path);
  };
  const uint64_t lastLength = imageBytes - static_cast<uint64_t>(h.chunkCount - 1) * h.chunkSize;
  uint64_t position = h.dataOffset;
  if (h.pointerOffset) {
    const uint64_t tableBytes = static_cast<uint64_t>(h.chunkCount) * 3;
    if (h.pointerOffset > static_cast<uint64_t>(fileSize) ||
        tableBytes > static_cast<uint64_t>(fileSize) - h.pointerOffset)
      return fail(L"");
    std::vector<uint8_t> pointers;
    try {
      pointers.resize(static_cast<size_t>(tableBytes));
      map->chunks.reserve(h.chunkCount);
    } catch (const std::bad_alloc&) {
      return fail(L"");
    }
    if (!FileReadAt(input, pointers.data(), h.pointerOffset, pointers.size())) return fail(L"");
    IszDescramble(pointers.data(), pointers.size());
    for (uint32_t i = 0; i < h.chunkCount; ++i) {
      const uint32_t value =
          pointers[3 * i] | pointers[3 * i + 1] << 8 | static_cast<uint32_t>(pointers[3 * i + 2]) << 16;
      const uint32_t stored = value & 0x3FFFFF;
      static constexpr uint32_t kTypes[4] = {kChunkZero, kChunkStored, kChunkZlib, kChunkBzip2};
      const uint32_t type = kTypes[value >> 22];
      const uint64_t length = i + 1 == h.chunkCount ? lastLength : h.chunkSize;
      // An encrypted stored chunk carries whole cipher blocks; its data are the first `length` bytes.
      if (type == kChunkStored && stored != length) return fail(L"");
      if (ChunkMapAddChunk(map, 0, type, position, type == kChunkZero ? 0 : stored, length) < 0)
        return beyondSet(position + stored);
      if (type != kChunkZero) position += stored;
    }
  } else {
    for (uint32_t i = 0; i < h.chunkCount; ++i) {
      const uint64_t length = i + 1 == h.chunkCount ? lastLength : h.chunkSize;
      if (ChunkMapAddChunk(map, 0, kChunkStored, position, length, length) < 0) return beyondSet(position + length);
      position += length;
    }
  }
  if (h.encryption) *keyLength = h.encryption == 4 ? 32 : h.encryption == 3 ? 24 : 16;
  document->chunkMap = map;
  return 0;
}

int IszSetPassword(CChunkMap* map, const char* password, int32_t keyLength) {
  if (!map || !password) return -1;
  // Chunks deciphered with a password tried before are not the image's; and no chunk may be in the middle of
  // its deciphering while the key changes.
  ChunkMapDropCache(map);
  if (AesSetKey(&map->aes, password, keyLength) != 0) return -1;
  std::strncpy(map->password, password, sizeof map->password - 1);
  map->encrypted = 1;
  return 0;
}

int64_t IszReadSectors(CImageDocument* document, int64_t sector, void* buffer, int64_t n) {
  if (!document || !document->chunkMap) return 0;
  return ChunkMapReadUserData(document->chunkMap, sector, buffer, n);
}
