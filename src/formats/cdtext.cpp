#include "formats/cdtext.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <new>

#include "image/tracktable.h"
#include "runtime/byte_reader.h"
#include "runtime/crc.h"
#include "runtime/file.h"

namespace {

constexpr size_t kCdTextCrcOffset = 16;
constexpr uint8_t kFirstTextType = kCdTextPackTitle;
constexpr uint8_t kLastTextType = kCdTextPackUpcIsrc;  // size information is never decoded as text
constexpr size_t kMaxDecodedTextBytes = 1022;
constexpr int64_t kMinFileBytes = 18;
constexpr int64_t kMaxFileBytes = 65536;
// A disc's lead-in holds 256 packs of block 0: 253 text packs and the three size-information packs.
constexpr size_t kMaxBuiltPacks = 256;
constexpr size_t kMaxTextPacks = 253;
constexpr size_t kSizeInfoBytes = 36;
constexpr uint8_t kLanguageEnglish = 9;
constexpr size_t kSymbolBytesPerPack = 24;

bool IsPackType(uint8_t type) { return type >= kCdTextPackTitle && type <= kCdTextPackSizeInfo; }


void StoreBe16(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value);
}

// The residue of the whole pack: 0 when the CRC bytes (inverted first when `inverted`) match bytes 0-15.
uint16_t PackResidue(const uint8_t* pack, bool inverted) {
  uint8_t copy[kCdTextPackBytes];
  std::memcpy(copy, pack, sizeof copy);
  if (inverted) {
    copy[kCdTextCrcOffset] ^= 0xFF;
    copy[kCdTextCrcOffset + 1] ^= 0xFF;
  }
  return Crc16CcittUpdate(0, copy, sizeof copy);
}

// Tries the pack as it is, then with each of its 144 bits flipped in turn; the first form whose residue is 0
// replaces the pack.
bool RepairSingleBit(uint8_t* pack, bool inverted) {
  if (!pack) return false;
  if (PackResidue(pack, inverted) == 0) return true;
  uint8_t copy[kCdTextPackBytes];
  std::memcpy(copy, pack, sizeof copy);
  for (size_t bit = 0; bit < kCdTextPackBytes * 8; ++bit) {
    const auto mask = static_cast<uint8_t>(1u << (bit % 8));
    copy[bit / 8] ^= mask;
    if (PackResidue(copy, inverted) == 0) {
      std::memcpy(pack, copy, sizeof copy);
      return true;
    }
    copy[bit / 8] ^= mask;
  }
  return false;
}

// Where the record of track `index` (-1: the disc) hangs, or null when the index is outside the track array.
CCdTextRecord** RecordSlot(CTrackTable* table, int32_t index) {
  if (!table) return nullptr;
  if (index == -1) return &table->discCdText;
  if (index < 0) return nullptr;
  if (!table->alternateTracks.empty()) {
    if (static_cast<size_t>(index) >= table->alternateTracks.size()) return nullptr;
    return &table->alternateTracks[static_cast<size_t>(index)].cdText;
  }
  if (index >= kTrackTableMaxTracks) return nullptr;
  return &table->tracks[index].cdText;
}

// Tracks that can carry a record: the track count, kept inside the array in use.
int32_t RecordTrackCount(const CTrackTable* table) {
  if (!table->alternateTracks.empty()) {
    return static_cast<int32_t>(std::clamp<int64_t>(table->trackCount, 0,
                                                    static_cast<int64_t>(table->alternateTracks.size())));
  }
  return std::clamp(table->trackCount, 0, kTrackTableMaxTracks);
}

// Calls `visit` for the disc record and the record of every track slot that holds one.
template <typename Visit>
void ForEachRecord(CTrackTable* table, Visit visit) {
  if (table->discCdText) visit(*table->discCdText);
  for (CTrackInfo& track : table->tracks) {
    if (track.cdText) visit(*track.cdText);
  }
  for (CTrackInfo& track : table->alternateTracks) {
    if (track.cdText) visit(*track.cdText);
  }
}

// Pack text is ISO 8859-1: each byte is the character of the same number.
CWideString WideFromLatin1(const char* bytes, size_t n) {
  std::wstring wide(n, L'\0');
  for (size_t i = 0; i < n; ++i) wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
  return CWideString(wide.c_str(), static_cast<int32_t>(n));
}

std::string Latin1FromWide(const CWideString& text) {
  const int32_t n = WstrGetLength(text);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  for (int32_t i = 0; i < n; ++i) {
    const wchar_t c = text.c_str()[i];
    out[static_cast<size_t>(i)] = c > 0 && c <= 0xFF ? static_cast<char>(c) : '?';
  }
  return out;
}

// Appends texts to a pack list in the lead-in's layout: texts follow each other without padding, each with its
// NUL; a pack is started only when a byte has to go into it, so that its header names the track and position of
// its first byte.
class PackWriter {
 public:
  PackWriter() { m_sizeInfo[19] = 3; }

  size_t PackCount() const { return m_packs; }
  const uint8_t* Bytes() const { return m_bytes.data(); }
  uint8_t* SizeInfo() { return m_sizeInfo.data(); }

  // Appends `n` bytes of a text of `type` and `track`; false, with nothing appended, when a text (any type but
  // size information) does not fit in the room of the text packs.
  bool Append(uint8_t type, uint8_t track, const uint8_t* bytes, size_t n) {
    if (type != kCdTextPackSizeInfo) {
      const size_t open = m_open ? kCdTextPackTextBytes - m_fill : 0;
      const size_t room = (kMaxTextPacks - std::min(m_packs, kMaxTextPacks)) * kCdTextPackTextBytes + open;
      if (n > room) return false;
    }
    for (size_t i = 0; i < n; ++i) {
      if (!m_open) {
        if (m_packs >= kMaxBuiltPacks) return false;
        uint8_t* pack = Current(m_packs);
        pack[0] = type;
        pack[1] = track;
        pack[2] = static_cast<uint8_t>(m_packs);
        pack[3] = static_cast<uint8_t>(std::min<size_t>(i, 15));
        if (type != kCdTextPackSizeInfo) ++m_sizeInfo[4 + (type - kCdTextPackTitle)];
        ++m_packs;
        m_open = true;
        m_fill = 0;
      }
      Current(m_packs - 1)[4 + m_fill] = bytes[i];
      if (++m_fill == kCdTextPackTextBytes) Close();
    }
    return true;
  }

  // Pads the open pack's text with zeros and seals it with its CRC.
  void Close() {
    if (!m_open) return;
    uint8_t* pack = Current(m_packs - 1);
    std::memset(pack + 4 + m_fill, 0, kCdTextPackTextBytes - m_fill);
    CdTextSetPackCrc(pack, kCdTextPackBytes);
    m_open = false;
  }

 private:
  uint8_t* Current(size_t pack) { return m_bytes.data() + pack * kCdTextPackBytes; }

  std::array<uint8_t, kMaxBuiltPacks * kCdTextPackBytes> m_bytes{};
  std::array<uint8_t, kSizeInfoBytes> m_sizeInfo{};
  size_t m_packs = 0;
  size_t m_fill = 0;
  bool m_open = false;
};

bool IsUpperOrDigit(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9'); }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

}  // namespace

CCdTextRecord* CdTextGetOrCreateRecord(CTrackTable* table, int32_t index) {
  CCdTextRecord** slot = RecordSlot(table, index);
  if (!slot) return nullptr;
  if (!*slot) *slot = CdTextRecordNew();
  return *slot;
}

CCdTextRecord* CdTextGetTrackRecord(CTrackTable* table, int32_t index) {
  CCdTextRecord** slot = RecordSlot(table, index);
  return slot ? *slot : nullptr;
}

const CCdTextRecord* CdTextGetTrackRecord(const CTrackTable* table, int32_t index) {
  return CdTextGetTrackRecord(const_cast<CTrackTable*>(table), index);
}

uint16_t CdTextComputePackCrc(const uint8_t* pack) {
  return static_cast<uint16_t>(~Crc16CcittUpdate(0, pack, kCdTextCrcOffset));
}

bool CdTextPackIsValid(const uint8_t* pack) { return pack && PackResidue(pack, true) == 0; }

void CdTextSetPackCrc(uint8_t* buffer, size_t length) {
  if (!buffer || length < 2) return;
  StoreBe16(buffer + length - 2, static_cast<uint16_t>(~Crc16CcittUpdate(0, buffer, length - 2)));
}

bool CdTextRepairPack(uint8_t* pack) { return RepairSingleBit(pack, true); }

bool CdTextRepairPack18(uint8_t* buffer) { return RepairSingleBit(buffer, false); }

bool CdTextBlockLooksValid(const uint8_t* block, size_t length) {
  if (!block || length < kCdTextHeaderBytes) return false;
  size_t declared = LoadU16BE(block);
  if (declared <= 4) return false;
  declared = std::min<size_t>(declared, 2048);
  const size_t packs = std::min((declared - 2) / kCdTextPackBytes, (length - kCdTextHeaderBytes) / kCdTextPackBytes);
  int foreign = 0;
  for (size_t i = 0; i < packs; ++i) {
    if (!IsPackType(block[kCdTextHeaderBytes + i * kCdTextPackBytes])) ++foreign;
  }
  return foreign <= 2;
}

int CdTextLoadFile(const wchar_t* path, std::vector<uint8_t>* block) {
  if (!block) return 0;
  block->clear();
  if (!path) return 0;
  FILE* file = FileOpenRead(path);
  if (!file) return 0;
  const int64_t size = FileGetSize(file);
  bool ok = size >= kMinFileBytes && size <= kMaxFileBytes;
  int64_t packOffset = 0;
  if (ok && size % static_cast<int64_t>(kCdTextPackBytes) == static_cast<int64_t>(kCdTextHeaderBytes)) {
    uint8_t header[kCdTextHeaderBytes];
    ok = FileReadAt(file, header, 0, sizeof header) == 1 && int64_t{LoadU16BE(header)} + 2 == size;
    packOffset = static_cast<int64_t>(kCdTextHeaderBytes);
  } else if (ok && size % static_cast<int64_t>(kCdTextPackBytes) != 0) {
    ok = false;
  }
  const auto packBytes = static_cast<size_t>(ok ? size - packOffset : 0);
  if (ok) {
    block->assign(packBytes + kCdTextHeaderBytes, 0);
    StoreBe16(block->data(), static_cast<uint16_t>(packBytes + 2));
    ok = FileReadAt(file, block->data() + kCdTextHeaderBytes, packOffset, packBytes) == 1;
  }
  FileClose(file);
  for (size_t at = kCdTextHeaderBytes; ok && at < block->size(); at += kCdTextPackBytes) {
    uint8_t* pack = block->data() + at;
    ok = IsPackType(pack[0]) && CdTextRepairPack(pack);
  }
  if (!ok) {
    block->clear();
    block->shrink_to_fit();
    return 0;
  }
  return 1;
}

int32_t CdTextDecodePacks(CTrackTable* table, const uint8_t* block, size_t length) {
  if (!table || !block || length < kCdTextHeaderBytes) return 0;
  ByteReader whole(block, length);
  const size_t declared = whole.U16BE();
  if (declared < 2) return 0;
  const size_t count =
      std::min((declared - 2) / kCdTextPackBytes, (length - kCdTextHeaderBytes) / kCdTextPackBytes);
  whole.Seek(kCdTextHeaderBytes);
  ByteReader packs = whole.Sub(count * kCdTextPackBytes);
  const int32_t lastTrack = RecordTrackCount(table);
  int32_t stored = 0;
  std::string text;
  text.reserve(kMaxDecodedTextBytes);

  uint8_t expected = kFirstTextType;
  size_t i = 0;
  while (i < count && expected <= kLastTextType) {
    const uint8_t type = packs.U8At(i * kCdTextPackBytes);
    if (type < expected) {
      ++i;
      continue;
    }
    if (type > expected) {
      expected = type;
      continue;
    }
    // One run: the packs of this type in a row. The first names the track of its first byte; every NUL ends
    // that track's text and moves to the next track.
    int32_t track = packs.U8At(i * kCdTextPackBytes + 1);
    const int slot = type - kCdTextPackTitle;
    text.clear();
    for (; i < count && packs.U8At(i * kCdTextPackBytes) == type; ++i) {
      const size_t bytes = i * kCdTextPackBytes + 4;
      for (size_t b = 0; b < kCdTextPackTextBytes && track <= lastTrack; ++b) {
        const uint8_t c = packs.U8At(bytes + b);
        if (c != 0) {
          if (text.size() < kMaxDecodedTextBytes) text.push_back(static_cast<char>(c));
          continue;
        }
        if (!text.empty()) {
          CCdTextRecord* record = CdTextGetOrCreateRecord(table, track - 1);
          if (record) {
            record->texts[slot] = WideFromLatin1(text.data(), text.size());
            ++stored;
          }
          text.clear();
        }
        ++track;
      }
    }
    ++expected;
  }
  return stored;
}

int CdTextConvertStrings(CTrackTable* table) {
  if (!table) return 0;
  ForEachRecord(table, [](CCdTextRecord& record) {
    for (int slot = 0; slot < kCdTextSlotCount; ++slot) record.multiByteTexts[slot] = Latin1FromWide(record.texts[slot]);
  });
  return 1;
}

int CdTextMakeWideTexts(CCdTextRecord* record) {
  if (!record) return 0;
  for (int slot = 0; slot < kCdTextSlotCount; ++slot) {
    const std::string& bytes = record->multiByteTexts[slot];
    // The stored copy ends at its first NUL, as the text it stands for does.
    const size_t n = std::min(bytes.size(), std::strlen(bytes.c_str()));
    record->texts[slot] = n ? WideFromLatin1(bytes.data(), n) : CWideString();
  }
  return 1;
}

int CdTextBuildPacks(CTrackTable* table) {
  if (!table) return 0;
  PackWriter writer;
  // Track numbers in packs are bytes and a disc has at most 99 tracks.
  const int32_t trackCount = std::min(RecordTrackCount(table), 99);
  const int32_t firstTrack = std::clamp(table->firstTrackNumber > 0 ? table->firstTrackNumber : 1, 1, 99);
  const int32_t lastTrack = std::min(firstTrack + trackCount - 1, 255);
  uint8_t* sizeInfo = writer.SizeInfo();
  sizeInfo[1] = static_cast<uint8_t>(firstTrack);
  sizeInfo[2] = static_cast<uint8_t>(lastTrack);
  sizeInfo[28] = kLanguageEnglish;

  bool room = true;
  for (int slot = 0; room && slot <= kLastTextType - kCdTextPackTitle; ++slot) {
    if (!CdTextHasType(table, slot, trackCount)) continue;
    const auto type = static_cast<uint8_t>(kCdTextPackTitle + slot);
    const int32_t last = type == kCdTextPackDiscId ? 0 : lastTrack;
    for (int32_t track = 0; room && track <= last; ++track) {
      const CCdTextRecord* record = CdTextGetTrackRecord(static_cast<const CTrackTable*>(table), track - 1);
      std::string text = record ? record->multiByteTexts[slot] : std::string();
      text.resize(std::min(std::strlen(text.c_str()), static_cast<size_t>(kCdTextMaxTextChars)));
      room = writer.Append(type, static_cast<uint8_t>(track), reinterpret_cast<const uint8_t*>(text.c_str()),
                           text.size() + 1);
    }
    writer.Close();
  }

  sizeInfo[20] = static_cast<uint8_t>(writer.PackCount() + 2);
  for (uint8_t part = 0; part < 3; ++part) {
    writer.Append(kCdTextPackSizeInfo, part, sizeInfo + part * kCdTextPackTextBytes, kCdTextPackTextBytes);
  }
  writer.Close();
  return CdTextPacksToSubchannel(table, writer.Bytes(), writer.PackCount() * kCdTextPackBytes);
}

int CdTextPacksToSubchannel(CTrackTable* table, const uint8_t* packs, size_t length) {
  if (!table) return 0;
  table->cdTextSubchannel.clear();
  table->cdTextSubchannel.shrink_to_fit();
  const size_t count = packs ? length / kCdTextPackBytes : 0;
  if (count == 0) return 1;
  // The lead-in is written in groups of four packs: repeat the list until it fills whole groups.
  const size_t repeat = count % 4 == 0 ? 1 : count % 4 == 2 ? 2 : 4;
  std::vector<uint8_t>& out = table->cdTextSubchannel;
  out.resize(count * repeat * kSymbolBytesPerPack);
  uint8_t* symbol = out.data();
  const size_t bytes = count * kCdTextPackBytes;
  for (size_t r = 0; r < repeat; ++r) {
    for (size_t at = 0; at < bytes; at += 3) {
      const uint8_t b0 = packs[at];
      const uint8_t b1 = packs[at + 1];
      const uint8_t b2 = packs[at + 2];
      *symbol++ = static_cast<uint8_t>(b0 >> 2);
      *symbol++ = static_cast<uint8_t>((b0 & 3) << 4 | b1 >> 4);
      *symbol++ = static_cast<uint8_t>((b1 & 15) << 2 | b2 >> 6);
      *symbol++ = static_cast<uint8_t>(b2 & 63);
    }
  }
  return 1;
}

bool CdTextIsPresent(const CTrackTable* table) {
  if (!table) return false;
  const int32_t count = RecordTrackCount(table);
  bool audio = false;
  for (int32_t i = 0; i < count && !audio; ++i) audio = TrackTableIsAudioTrack(table, i) != 0;
  if (!audio) return false;
  for (int slot = 0; slot < kCdTextTypeSlots; ++slot) {
    if (CdTextHasType(table, slot, count)) return true;
  }
  return false;
}

bool CdTextHasType(const CTrackTable* table, int slot, int32_t trackCount) {
  if (!table || slot < 0 || slot >= kCdTextSlotCount) return false;
  if (CdTextGetText(table->discCdText, slot)) return true;
  const int32_t count = std::min(trackCount, RecordTrackCount(table));
  for (int32_t i = 0; i < count; ++i) {
    if (CdTextGetText(CdTextGetTrackRecord(table, i), slot)) return true;
  }
  return false;
}

bool IsrcValidate(const wchar_t* text, wchar_t* output) {
  if (!text || std::wcslen(text) < 12) return false;
  wchar_t code[13] = {};
  size_t n = 0;
  const wchar_t* p = text;
  auto take = [&](size_t count, bool (*accept)(wchar_t)) {
    for (size_t i = 0; i < count; ++i, ++p) {
      if (!accept(*p)) return false;
      code[n++] = *p;
    }
    return true;
  };
  auto skipDash = [&] {
    if (*p == L'-') ++p;
  };
  // Country code, registrant code, year, designation code.
  if (!take(2, IsUpperOrDigit)) return false;
  skipDash();
  if (!take(3, IsUpperOrDigit)) return false;
  skipDash();
  if (!take(2, IsDigit)) return false;
  skipDash();
  if (!take(5, IsDigit)) return false;
  if (output) std::wmemcpy(output, code, 13);
  return true;
}
