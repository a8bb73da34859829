#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/cdtext.h"
#include "image/tracktable.h"
#include "support/run_program.h"

namespace {

using namespace std::string_view_literals;
using Pack = std::vector<uint8_t>;

struct TableDeleter {
  void operator()(CTrackTable* t) const { TrackTableFree(t); }
};
using TablePtr = std::unique_ptr<CTrackTable, TableDeleter>;

TablePtr AudioTable(int32_t tracks) {
  TablePtr table(TrackTableAlloc());
  for (int32_t i = 0; i < tracks; ++i) table->tracks[i].mode = kTrackModeAudio;
  table->trackCount = tracks;
  table->firstTrackNumber = 1;
  return table;
}

// Bit-at-a-time CRC-16/CCITT (polynomial 0x1021, from 0), independent of the table-driven code.
uint16_t ReferenceCrc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// A sealed pack holding up to 12 bytes of `text` (NULs included), the rest zero.
Pack MakePack(uint8_t type, uint8_t track, uint8_t seq, std::string_view text) {
  Pack p(kCdTextPackBytes, 0);
  p[0] = type;
  p[1] = track;
  p[2] = seq;
  std::memcpy(p.data() + 4, text.data(), std::min<size_t>(text.size(), 12));
  CdTextSetPackCrc(p.data(), p.size());
  return p;
}

std::vector<uint8_t> Block(const std::vector<Pack>& packs) {
  std::vector<uint8_t> block(4, 0);
  for (const Pack& p : packs) block.insert(block.end(), p.begin(), p.end());
  const size_t length = block.size() - 2;
  block[0] = static_cast<uint8_t>(length >> 8);
  block[1] = static_cast<uint8_t>(length);
  return block;
}

// The packs behind a subchannel buffer: four 6-bit symbols give back three bytes.
std::vector<uint8_t> PacksFromSymbols(const std::vector<uint8_t>& symbols) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 4 <= symbols.size(); i += 4) {
    const uint8_t* s = &symbols[i];
    EXPECT_EQ((s[0] | s[1] | s[2] | s[3]) & 0xC0, 0) << "symbol wider than 6 bits at " << i;
    bytes.push_back(static_cast<uint8_t>(s[0] << 2 | s[1] >> 4));
    bytes.push_back(static_cast<uint8_t>((s[1] & 15) << 4 | s[2] >> 2));
    bytes.push_back(static_cast<uint8_t>((s[2] & 3) << 6 | s[3]));
  }
  return bytes;
}

std::wstring Text(const CCdTextRecord* record, int slot) {
  const wchar_t* text = CdTextGetText(record, slot);
  return text ? text : L"";
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

constexpr int kTitle = kCdTextPackTitle - kCdTextPackTitle;
constexpr int kPerformer = kCdTextPackPerformer - kCdTextPackTitle;
constexpr int kIsrc = kCdTextPackUpcIsrc - kCdTextPackTitle;

// Size-information packs of a real two-track disc, as published with their CRCs.
const uint8_t kPublishedPacks[3][18] = {
    {0x8F, 0x00, 0x08, 0x00, 0x00, 0x01, 0x02, 0x00, 0x05, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF3, 0x00},
    {0x8F, 0x01, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x0A, 0x00, 0x00, 0x00, 0x36, 0x1B},
    {0x8F, 0x02, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x87, 0xED},
};

TEST(CdTextCrc, MatchesPublishedPacksAndBitwiseReference) {
  for (const auto& published : kPublishedPacks) {
    EXPECT_TRUE(CdTextPackIsValid(published));
    EXPECT_EQ(CdTextComputePackCrc(published), published[16] << 8 | published[17]);
    Pack p(published, published + 18);
    p[16] = p[17] = 0;
    CdTextSetPackCrc(p.data(), p.size());
    EXPECT_EQ(p, Pack(published, published + 18));
  }
  uint32_t x = 7;
  for (int round = 0; round < 64; ++round) {
    uint8_t pack[18];
    for (uint8_t& b : pack) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    const uint16_t stored = static_cast<uint16_t>(~ReferenceCrc16(pack, 16));
    EXPECT_EQ(CdTextComputePackCrc(pack), stored);
    EXPECT_EQ(CdTextPackIsValid(pack), (pack[16] << 8 | pack[17]) == stored);
  }
}

TEST(CdTextCrc, RepairFixesEveryOneBitFlipAndRefusesTwo) {
  const Pack good = MakePack(kCdTextPackTitle, 1, 5, "Hello World!");
  for (size_t bit = 0; bit < 144; ++bit) {
    Pack p = good;
    p[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    ASSERT_FALSE(CdTextPackIsValid(p.data()));
    ASSERT_TRUE(CdTextRepairPack(p.data())) << "bit " << bit;
    ASSERT_EQ(p, good) << "bit " << bit;
  }
  for (size_t a = 0; a < 144; ++a) {
    for (size_t b = a + 1; b < 144; ++b) {
      Pack p = good;
      p[a / 8] ^= static_cast<uint8_t>(1u << (a % 8));
      p[b / 8] ^= static_cast<uint8_t>(1u << (b % 8));
      const Pack damaged = p;
      ASSERT_FALSE(CdTextRepairPack(p.data())) << a << "," << b;
      ASSERT_EQ(p, damaged);
    }
  }
  // The variant for a CRC stored as it is, not inverted.
  Pack plain = good;
  plain[16] ^= 0xFF;
  plain[17] ^= 0xFF;
  Pack flipped = plain;
  flipped[9] ^= 0x10;
  EXPECT_TRUE(CdTextRepairPack18(flipped.data()));
  EXPECT_EQ(flipped, plain);
  Pack inverted = good;
  inverted[3] ^= 1;
  EXPECT_FALSE(CdTextRepairPack18(inverted.data()));  // the inverted CRC is not a plain one
}

TEST(CdTextBuild, RoundTripOfDiscAndThreeTracks) {
  TablePtr table = AudioTable(3);
  struct Entry {
    int32_t index;
    int slot;
    const wchar_t* text;
    const wchar_t* decoded = nullptr;  // when not the text itself
  };
  const Entry entries[] = {
      {-1, kTitle, L"An album whose title runs over several packs"},
      {-1, kPerformer, L"Ensemble Caf\u00E9"},
      {-1, kIsrc, L"0123456789012"},
      {0, kTitle, L"Overture"},
      {0, kPerformer, L"M\u00FCller & S\u00F8ren"},
      {0, kIsrc, L"USRC17607839"},
      // Track 2 has no title: an empty text keeps the titles of later tracks on their track numbers.
      {1, kPerformer, L"Twelve chars"},
      {2, kTitle, L"Finale: a title long enough to need two more packs"},
      // Texts longer than 80 characters go into the packs cut.
      {2, kPerformer,
       L"A performer name that goes on and on well past the eighty characters a pack text may hold",
       L"A performer name that goes on and on well past the eighty characters a pack text"},
  };
  for (const Entry& e : entries) {
    ASSERT_EQ(CdTextSetText(CdTextGetOrCreateRecord(table.get(), e.index), e.slot, e.text, -1), 1);
  }
  ASSERT_EQ(CdTextConvertStrings(table.get()), 1);
  EXPECT_EQ(table->discCdText->multiByteTexts[kPerformer], "Ensemble Caf\xE9");
  ASSERT_EQ(CdTextBuildPacks(table.get()), 1);

  const std::vector<uint8_t> bytes = PacksFromSymbols(table->cdTextSubchannel);
  ASSERT_EQ(bytes.size() % (4 * 18), 0u);
  // Every pack is sealed, numbered in order; the last three carry the size information.
  size_t n = 0;
  while (n * 18 < bytes.size() && (n == 0 || bytes[n * 18 + 2] != 0)) ++n;
  ASSERT_GE(n, 4u);
  for (size_t i = 0; i < n; ++i) {
    EXPECT_TRUE(CdTextPackIsValid(&bytes[i * 18])) << i;
    EXPECT_EQ(bytes[i * 18 + 2], i);
  }
  std::vector<uint8_t> info;
  for (size_t i = n - 3; i < n; ++i) {
    EXPECT_EQ(bytes[i * 18], kCdTextPackSizeInfo);
    EXPECT_EQ(bytes[i * 18 + 1], i - (n - 3));
    info.insert(info.end(), &bytes[i * 18 + 4], &bytes[i * 18 + 16]);
  }
  EXPECT_EQ(info[0], 0);  // ISO 8859-1
  EXPECT_EQ(info[1], 1);
  EXPECT_EQ(info[2], 3);
  EXPECT_EQ(info[20], n - 1);
  EXPECT_EQ(info[28], 9);
  EXPECT_EQ(info[19], 3);
  int counted[16] = {};
  for (size_t i = 0; i < n - 3; ++i) ++counted[bytes[i * 18] - 0x80];
  for (int t = 0; t < 15; ++t) EXPECT_EQ(info[4 + t], counted[t]) << "type " << t;
  // The first title pack continues the disc title into the next pack: position 12 of that text, capped at 15.
  EXPECT_EQ(bytes[0], kCdTextPackTitle);
  EXPECT_EQ(bytes[1 * 18 + 1], 0);
  EXPECT_EQ(bytes[1 * 18 + 3], 12);
  EXPECT_EQ(bytes[2 * 18 + 3], 15);

  std::vector<uint8_t> block(4, 0);
  block.insert(block.end(), bytes.begin(), bytes.begin() + static_cast<long>(n * 18));
  block[0] = static_cast<uint8_t>((n * 18 + 2) >> 8);
  block[1] = static_cast<uint8_t>(n * 18 + 2);
  TablePtr decoded = AudioTable(3);
  EXPECT_EQ(CdTextDecodePacks(decoded.get(), block.data(), block.size()), 9);
  for (const Entry& e : entries) {
    EXPECT_EQ(Text(CdTextGetTrackRecord(decoded.get(), e.index), e.slot), e.decoded ? e.decoded : e.text)
        << e.index << "/" << e.slot;
  }
  EXPECT_EQ(Text(CdTextGetTrackRecord(decoded.get(), 1), kTitle), L"");
  EXPECT_EQ(Text(CdTextGetTrackRecord(decoded.get(), 1), kIsrc), L"");
}

TEST(CdTextBuild, TextsBeyondTheRoomAreLeftOutAndSizeInformationStays) {
  // Texts of 11 characters take one pack each: 100 titles, 100 performers, then songwriters until the 253 text
  // packs are used up.
  TablePtr table = AudioTable(99);
  for (int32_t i = -1; i < 99; ++i) {
    CCdTextRecord* record = CdTextGetOrCreateRecord(table.get(), i);
    for (int slot : {0, 1, 2}) CdTextSetText(record, slot, L"eleven char", -1);
  }
  CdTextConvertStrings(table.get());
  ASSERT_EQ(CdTextBuildPacks(table.get()), 1);
  const std::vector<uint8_t> bytes = PacksFromSymbols(table->cdTextSubchannel);
  ASSERT_EQ(bytes.size(), 256u * 18);  // whole groups of four already: no repetition
  for (size_t i = 0; i < 256; ++i) {
    ASSERT_TRUE(CdTextPackIsValid(&bytes[i * 18])) << i;
    ASSERT_EQ(bytes[i * 18], i < 100 ? 0x80 : i < 200 ? 0x81 : i < 253 ? 0x82 : 0x8F) << i;
  }
  EXPECT_EQ(bytes[253 * 18 + 4 + 2], 99);   // last track number
  EXPECT_EQ(bytes[253 * 18 + 4 + 6], 53);   // songwriter packs
  EXPECT_EQ(bytes[254 * 18 + 4 + 8], 255);  // last sequence number (byte 20 of the block)

  std::vector<uint8_t> block(4, 0);
  block.insert(block.end(), bytes.begin(), bytes.end());
  block[0] = static_cast<uint8_t>((bytes.size() + 2) >> 8);
  block[1] = static_cast<uint8_t>(bytes.size() + 2);
  TablePtr decoded = AudioTable(99);
  EXPECT_EQ(CdTextDecodePacks(decoded.get(), block.data(), block.size()), 253);
  EXPECT_EQ(Text(CdTextGetTrackRecord(decoded.get(), 51), 2), L"eleven char");
  EXPECT_EQ(Text(CdTextGetTrackRecord(decoded.get(), 52), 2), L"");

  // Titles are cut to 80 characters (81 bytes with the NUL): 37 fit, the 38th is refused and ends the texts.
  TablePtr longTitles = AudioTable(99);
  const std::wstring longText(100, L'x');
  for (int32_t i = -1; i < 99; ++i) {
    CdTextSetText(CdTextGetOrCreateRecord(longTitles.get(), i), kTitle, longText.c_str(), -1);
  }
  CdTextConvertStrings(longTitles.get());
  ASSERT_EQ(CdTextBuildPacks(longTitles.get()), 1);
  const std::vector<uint8_t> packs = PacksFromSymbols(longTitles->cdTextSubchannel);
  ASSERT_EQ(packs.size(), 253u * 4 * 18);  // 250 title packs and 3 size packs, repeated four times
  EXPECT_EQ(packs[250 * 18], kCdTextPackSizeInfo);
  EXPECT_EQ(packs[250 * 18 + 4 + 4], 250);
  std::vector<uint8_t> titleBlock(4, 0);
  titleBlock.insert(titleBlock.end(), packs.begin(), packs.begin() + 253 * 18);
  titleBlock[0] = static_cast<uint8_t>((253 * 18 + 2) >> 8);
  titleBlock[1] = static_cast<uint8_t>(253 * 18 + 2);
  TablePtr titles = AudioTable(99);
  EXPECT_EQ(CdTextDecodePacks(titles.get(), titleBlock.data(), titleBlock.size()), 37);
  EXPECT_EQ(Text(CdTextGetTrackRecord(titles.get(), 35), kTitle), std::wstring(80, L'x'));
  EXPECT_EQ(CdTextGetTrackRecord(titles.get(), 36), nullptr);
}

TEST(CdTextBuild, PackHeadersNameTheFirstByteOfTheirText) {
  // The disc title with its NUL fills the first pack exactly: the next pack starts with track 1 at position 0.
  TablePtr table = AudioTable(1);
  CdTextSetText(CdTextGetOrCreateRecord(table.get(), -1), kTitle, L"ABCDEFGHIJK", -1);
  CdTextSetText(CdTextGetOrCreateRecord(table.get(), 0), kTitle, L"Next", -1);
  CdTextConvertStrings(table.get());
  ASSERT_EQ(CdTextBuildPacks(table.get()), 1);
  const std::vector<uint8_t> bytes = PacksFromSymbols(table->cdTextSubchannel);
  ASSERT_EQ(bytes.size(), 5u * 4 * 18);  // two title packs + three size packs = 5, repeated four times
  EXPECT_EQ(Pack(bytes.begin(), bytes.begin() + 16),
            (Pack{0x80, 0, 0, 0, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 0}));
  EXPECT_EQ(Pack(bytes.begin() + 18, bytes.begin() + 34),
            (Pack{0x80, 1, 1, 0, 'N', 'e', 'x', 't', 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytes[2 * 18 + 4 + 1], 1);  // first track
  EXPECT_EQ(bytes[2 * 18 + 4 + 2], 1);  // last track
  EXPECT_EQ(bytes[2 * 18 + 4 + 4], 2);  // title packs
}

TEST(CdTextSubchannel, RepeatsToWholeGroupsOfFourPacks) {
  struct Case {
    size_t packs;
    size_t symbolBytes;
  };
  for (const Case c : {Case{1, 96}, Case{2, 96}, Case{3, 288}, Case{4, 96}, Case{5, 480}, Case{6, 288}}) {
    TablePtr table = AudioTable(1);
    std::vector<uint8_t> packs(c.packs * 18);
    for (size_t i = 0; i < packs.size(); ++i) packs[i] = static_cast<uint8_t>(i * 37 + 11);
    ASSERT_EQ(CdTextPacksToSubchannel(table.get(), packs.data(), packs.size()), 1);
    ASSERT_EQ(table->cdTextSubchannel.size(), c.symbolBytes) << c.packs;
    const std::vector<uint8_t> back = PacksFromSymbols(table->cdTextSubchannel);
    for (size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], packs[i % packs.size()]) << c.packs << "@" << i;
  }
  TablePtr table = AudioTable(1);
  const uint8_t three[18] = {0xFF, 0x00, 0xA5};
  ASSERT_EQ(CdTextPacksToSubchannel(table.get(), three, 18), 1);
  EXPECT_EQ(std::vector<uint8_t>(table->cdTextSubchannel.begin(), table->cdTextSubchannel.begin() + 4),
            (std::vector<uint8_t>{0x3F, 0x30, 0x02, 0x25}));
  ASSERT_EQ(CdTextPacksToSubchannel(table.get(), three, 0), 1);
  EXPECT_TRUE(table->cdTextSubchannel.empty());
}

TEST(CdTextIsrc, Validation) {
  struct Case {
    const wchar_t* text;
    const wchar_t* code;  // null: refused
  };
  const Case cases[] = {
      {L"USRC17607839", L"USRC17607839"},
      {L"US-RC1-76-07839", L"USRC17607839"},
      {L"GB-A1B-23-00001", L"GBA1B2300001"},
      {L"USRC17607839 and more", L"USRC17607839"},
      {L"USRC1760783", nullptr},        // 11 characters
      {L"usrc17607839", nullptr},       // lower case
      {L"USRC1A607839", nullptr},       // letter in the year
      {L"USRC17-607839", nullptr},      // dash inside the year
      {L"US--RC17607839", nullptr},     // two dashes
      {L"US-RC1-76-0783", nullptr},     // four digits after the year
      {L"", nullptr},
  };
  for (const Case& c : cases) {
    wchar_t out[13] = L"untouched";
    EXPECT_EQ(IsrcValidate(c.text, out), c.code != nullptr) << c.text;
    if (c.code) {
      EXPECT_STREQ(out, c.code) << c.text;
    }
  }
  EXPECT_FALSE(IsrcValidate(nullptr, nullptr));
  EXPECT_TRUE(IsrcValidate(L"USRC17607839", nullptr));
}

TEST(CdTextLoadFile, WithAndWithoutHeaderAndDamage) {
  const std::string folder = MakeTestFolder("cdtext_load");
  const Pack title = MakePack(kCdTextPackTitle, 0, 0, "Disc");
  const Pack second = MakePack(kCdTextPackTitle, 1, 1, "Track one");
  auto flip = [](Pack p, std::initializer_list<size_t> bits) {
    for (size_t bit : bits) p[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    return p;
  };
  auto packsOnly = [](const std::vector<Pack>& packs) {
    std::vector<uint8_t> bytes;
    for (const Pack& p : packs) bytes.insert(bytes.end(), p.begin(), p.end());
    return bytes;
  };
  std::vector<uint8_t> badHeader = Block({title});
  badHeader[1] ^= 1;
  std::vector<uint8_t> trailing = packsOnly({title, second});
  trailing.push_back(0);
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    bool loads;
  };
  const Case cases[] = {
      {"header_one_pack", Block({title}), true},  // 22 bytes, header length 20
      {"header_two_packs", Block({title, second}), true},
      {"packs_only", packsOnly({title, second}), true},
      {"one_flipped_bit", packsOnly({title, flip(second, {70})}), true},
      {"two_flipped_bits", packsOnly({title, flip(second, {70, 3})}), false},
      {"wrong_header_length", badHeader, false},
      {"odd_size", trailing, false},
      {"type_outside", packsOnly({title, MakePack(0x90, 1, 1, "x")}), false},
      {"too_small", std::vector<uint8_t>(17, 0x80), false},
  };
  for (const Case& c : cases) {
    const std::string path = folder + "/" + c.name + ".cdt";
    WriteFile(path, c.file);
    std::vector<uint8_t> block = {1, 2, 3};
    ASSERT_EQ(CdTextLoadFile(Widen(path).c_str(), &block), c.loads ? 1 : 0) << c.name;
    if (!c.loads) {
      EXPECT_TRUE(block.empty()) << c.name;
      continue;
    }
    const size_t packs = (c.file.size() / 18) * 18;
    ASSERT_EQ(block.size(), packs + 4) << c.name;
    EXPECT_EQ(block[0] << 8 | block[1], static_cast<int>(packs + 2));
    EXPECT_EQ(block[2] | block[3], 0);
    EXPECT_EQ(Pack(block.begin() + 4, block.begin() + 22), title) << c.name;
    if (packs > 18) {
      EXPECT_EQ(Pack(block.begin() + 22, block.begin() + 40), second) << c.name;  // repaired
    }
  }
  std::vector<uint8_t> block;
  EXPECT_EQ(CdTextLoadFile(Widen(folder + "/missing.cdt").c_str(), &block), 0);
}

TEST(CdTextDecode, RunsTypesAndLimits) {
  // Titles of the disc and two tracks across two packs; performers from track 2 on, running past the track
  // count; a stray title after its run; a message cut off by the end of its run; a second block.
  const std::vector<uint8_t> block = Block({
      MakePack(0x80, 0, 0, "Disc\0One\0Two"sv),
      MakePack(0x80, 2, 1, "s\0"sv),
      MakePack(0x81, 2, 2, "P2\0P3\0P4\0"sv),
      MakePack(0x80, 0, 3, "Stray\0"sv),
      MakePack(0x85, 0, 4, "cut off text"sv),
      MakePack(0x8F, 0, 5, ""sv),
      MakePack(0x80, 0, 6, "Block1\0"sv),
  });
  TablePtr table = AudioTable(3);
  EXPECT_EQ(CdTextDecodePacks(table.get(), block.data(), block.size()), 5);
  EXPECT_EQ(Text(table->discCdText, kTitle), L"Disc");
  EXPECT_EQ(Text(CdTextGetTrackRecord(table.get(), 0), kTitle), L"One");
  EXPECT_EQ(Text(CdTextGetTrackRecord(table.get(), 1), kTitle), L"Twos");
  EXPECT_EQ(Text(CdTextGetTrackRecord(table.get(), 1), kPerformer), L"P2");
  EXPECT_EQ(Text(CdTextGetTrackRecord(table.get(), 2), kPerformer), L"P3");
  EXPECT_EQ(Text(CdTextGetTrackRecord(table.get(), 2), kTitle), L"");
  EXPECT_EQ(Text(table->discCdText, kPerformer), L"");
  EXPECT_EQ(Text(table->discCdText, 5), L"");
  EXPECT_EQ(CdTextGetTrackRecord(table.get(), 3), nullptr);

  // A text is kept to 1,022 bytes.
  std::vector<Pack> longRun;
  for (uint8_t i = 0; i < 90; ++i) longRun.push_back(MakePack(0x80, 0, i, "abcdefghijkl"));
  longRun.push_back(MakePack(0x80, 0, 90, ""));
  std::vector<uint8_t> longBlock = Block(longRun);
  TablePtr one = AudioTable(1);
  EXPECT_EQ(CdTextDecodePacks(one.get(), longBlock.data(), longBlock.size()), 1);
  EXPECT_EQ(Text(one->discCdText, kTitle).size(), 1022u);
}

TEST(CdTextDecode, DamagedBlocksDecodeWithoutHarm) {
  const Pack good = MakePack(0x80, 0, 0, "Title");
  Pack badCrc = good;
  badCrc[16] ^= 0xFF;
  struct Case {
    const char* name;
    std::vector<uint8_t> block;
    int32_t texts;
  };
  std::vector<uint8_t> overlong = Block({good});
  overlong[0] = 0xFF;  // claims far more packs than given
  std::vector<uint8_t> tiny = Block({good});
  tiny[0] = 0;
  tiny[1] = 1;  // shorter than its own header
  const Case cases[] = {
      {"bad_crc", Block({badCrc}), 1},
      {"track_beyond_count", Block({MakePack(0x80, 9, 0, "X")}), 0},
      {"track_255", Block({MakePack(0x80, 255, 0, "X")}), 0},
      {"sequence_gap", Block({MakePack(0x80, 0, 0, "A\0B\0C\0"sv), MakePack(0x81, 0, 9, "P\0Q\0R\0"sv)}), 6},
      {"descending_types", Block({MakePack(0x8E, 0, 0, "U"), MakePack(0x80, 0, 1, "T")}), 1},
      {"garbage_types", Block({MakePack(0x10, 0, 0, "G"), MakePack(0xFF, 0, 1, "G")}), 0},
      {"length_past_bytes", overlong, 1},
      {"length_below_header", tiny, 0},
      {"header_only", std::vector<uint8_t>{0, 2, 0, 0}, 0},
      {"cut_header", std::vector<uint8_t>{0, 20}, 0},
  };
  for (const Case& c : cases) {
    TablePtr table = AudioTable(2);
    EXPECT_EQ(CdTextDecodePacks(table.get(), c.block.data(), c.block.size()), c.texts) << c.name;
  }
  // Random blocks: whatever they hold, the walk ends inside them and only tracks of the table get texts.
  uint32_t x = 99;
  for (int round = 0; round < 500; ++round) {
    std::vector<uint8_t> block(4 + 18 * (round % 12));
    for (uint8_t& b : block) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 24);
      if ((x >> 8) % 5 == 0) b = 0;
      if ((x >> 12) % 4 == 0) b = static_cast<uint8_t>(0x80 + (x >> 20) % 16);
    }
    TablePtr table = AudioTable(2);
    CdTextDecodePacks(table.get(), block.data(), block.size());
    for (int32_t i = 2; i < kTrackTableMaxTracks; ++i) ASSERT_EQ(table->tracks[i].cdText, nullptr) << round;
  }
  EXPECT_EQ(CdTextDecodePacks(nullptr, nullptr, 0), 0);
}

TEST(CdTextRecord, LookupOwnershipAndCopies) {
  TablePtr table = AudioTable(2);
  EXPECT_EQ(CdTextGetTrackRecord(table.get(), 0), nullptr);
  CCdTextRecord* disc = CdTextGetOrCreateRecord(table.get(), -1);
  ASSERT_NE(disc, nullptr);
  EXPECT_EQ(disc, table->discCdText);
  EXPECT_EQ(CdTextGetOrCreateRecord(table.get(), -1), disc);
  EXPECT_NE(CdTextGetOrCreateRecord(table.get(), 99), nullptr);
  EXPECT_EQ(CdTextGetOrCreateRecord(table.get(), 100), nullptr);
  EXPECT_EQ(CdTextGetOrCreateRecord(table.get(), -2), nullptr);
  EXPECT_EQ(CdTextGetOrCreateRecord(nullptr, 0), nullptr);

  CCdTextRecord* track = CdTextGetOrCreateRecord(table.get(), 1);
  ASSERT_NE(track, nullptr);
  EXPECT_EQ(track->indexCount, 0);
  EXPECT_EQ(track->index[50], 0);
  EXPECT_EQ(CdTextGetText(track, kTitle), nullptr);
  EXPECT_EQ(CdTextSetText(track, kTitle, L"A title cut short", 7), 1);
  EXPECT_EQ(Text(track, kTitle), L"A title");
  EXPECT_EQ(CdTextSetText(track, kCdTextSlotCount, L"x", -1), 0);
  track->flags = kCdTextFlagDcp | kCdTextFlagPre;
  track->indexCount = 2;
  track->index[0] = -150;
  track->index[2] = 300;
  CdTextSetText(disc, kPerformer, L"Someone", -1);
  CdTextConvertStrings(table.get());

  // Copies own their records: freeing the original first leaves them whole (ASan reports any sharing).
  TablePtr copy(TrackTableClone(table.get()));
  ASSERT_NE(copy, nullptr);
  std::unique_ptr<CCdTextRecord, void (*)(CCdTextRecord*)> alone(CdTextRecordClone(track), CdTextRecordFree);
  table.reset();
  const std::vector<const CCdTextRecord*> copies = {alone.get(), CdTextGetTrackRecord(copy.get(), 1)};
  for (const CCdTextRecord* r : copies) {
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flags, 0x05u);
    EXPECT_EQ(r->indexCount, 2);
    EXPECT_EQ(r->index[0], -150);
    EXPECT_EQ(r->index[2], 300);
    EXPECT_EQ(Text(r, kTitle), L"A title");
    EXPECT_EQ(r->multiByteTexts[kTitle], "A title");
  }
  EXPECT_EQ(Text(copy->discCdText, kPerformer), L"Someone");

  // With the alternate track array in use, records hang on its tracks, up to its size.
  TablePtr wide = AudioTable(0);
  wide->alternateTracks.resize(120);
  wide->trackCount = 120;
  CCdTextRecord* far = CdTextGetOrCreateRecord(wide.get(), 110);
  ASSERT_NE(far, nullptr);
  EXPECT_EQ(far, wide->alternateTracks[110].cdText);
  EXPECT_EQ(CdTextGetOrCreateRecord(wide.get(), 120), nullptr);
}

TEST(CdTextRecord, PresenceAndConversions) {
  TablePtr table = AudioTable(2);
  EXPECT_FALSE(CdTextIsPresent(table.get()));
  CCdTextRecord* second = CdTextGetOrCreateRecord(table.get(), 1);
  CdTextSetText(second, kIsrc, L"USRC17607839", -1);
  EXPECT_TRUE(CdTextIsPresent(table.get()));
  EXPECT_TRUE(CdTextHasType(table.get(), kIsrc, 2));
  EXPECT_FALSE(CdTextHasType(table.get(), kIsrc, 1));  // only the first track is asked about
  EXPECT_FALSE(CdTextHasType(table.get(), kTitle, 2));
  table->tracks[0].mode = table->tracks[1].mode = kTrackModeMode1;
  EXPECT_FALSE(CdTextIsPresent(table.get()));  // texts without an audio track

  // Pack text is ISO 8859-1 whatever the locale; characters beyond it become '?'.
  CdTextSetText(second, kTitle, L"Gr\u00FC\u00DFe \u263A", -1);
  ASSERT_EQ(CdTextConvertStrings(table.get()), 1);
  EXPECT_EQ(second->multiByteTexts[kTitle], "Gr\xFC\xDF" "e ?");
  second->multiByteTexts[kPerformer] = "Bj\xF6rk";
  second->multiByteTexts[kIsrc].clear();
  ASSERT_EQ(CdTextMakeWideTexts(second), 1);
  EXPECT_EQ(Text(second, kPerformer), L"Bj\u00F6rk");
  EXPECT_EQ(Text(second, kIsrc), L"");

  std::vector<uint8_t> block = Block({MakePack(0x80, 0, 0, "A"), MakePack(0x81, 0, 1, "B")});
  EXPECT_TRUE(CdTextBlockLooksValid(block.data(), block.size()));
  block[4] = 0x20;
  block[22] = 0x21;
  EXPECT_TRUE(CdTextBlockLooksValid(block.data(), block.size()));  // two foreign packs are tolerated
  block = Block({MakePack(0x10, 0, 0, ""), MakePack(0x11, 0, 0, ""), MakePack(0x12, 0, 0, "")});
  EXPECT_FALSE(CdTextBlockLooksValid(block.data(), block.size()));
  const uint8_t empty[4] = {0, 4, 0, 0};
  EXPECT_FALSE(CdTextBlockLooksValid(empty, sizeof empty));
}

}  // namespace
