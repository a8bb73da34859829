// The container's small rules: volume file names, index entry packing and masking, index scrambling and the
// typed-block walk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qvf/container.h"
#include "qvf/volume.h"
#include "runtime/crc.h"

namespace {

struct NameCase {
  const wchar_t* given;
  int32_t style;
  const wchar_t* first;
  int32_t n;
  const wchar_t* volume;  // name of volume n; empty when none can be made
};

TEST(QvfVolumeNames, FirstAndLaterNamesPerStyle) {
  const NameCase cases[] = {
      {L"disc.qvf", kQvfNamingTwoDigits, L"disc.part01.qvf", 1, L"disc.part02.qvf"},
      {L"a.iso", kQvfNamingTwoDigits, L"a.iso.part01.qvf", 98, L"a.iso.part99.qvf"},
      {L"a.iso", kQvfNamingTwoDigits, L"a.iso.part01.qvf", 99, L""},  // beyond the style's 99 volumes
      {L"Disc.QVF", kQvfNamingThreeDigits, L"Disc.part001.QVF", 2, L"Disc.part003.QVF"},
      {L"disc.qvf", kQvfNamingThreeDigits, L"disc.part001.qvf", 999, L"disc.part1000.qvf"},
      {L"disc.qvf", kQvfNamingThreeDigits, L"disc.part001.qvf", 9999, L""},
      {L"setup.exe", kQvfNamingThreeDigits, L"setup.part001.exe", 0, L"setup.part001.exe"},
      {L"setup.exe", kQvfNamingThreeDigits, L"setup.part001.exe", 1, L"setup.part002.qvf"},
      {L"setup.exe", kQvfNamingTwoDigits, L"setup.part01.exe", 1, L"setup.part02.qvf"},
      {L"image.exe", kQvfNamingShort, L"image.exe", 1, L"image.q00"},
      {L"image.exe", kQvfNamingShort, L"image.exe", 2, L"image.q01"},
      {L"disc.qvf", kQvfNamingShort, L"disc.qvf", 100, L"disc.q99"},
      {L"disc.qvf", kQvfNamingShort, L"disc.qvf", 101, L""},
      {L"disc.ktm", kQvfNamingShort, L"disc.ktm.qvf", 1, L"disc.ktm.q00"},
      {L"x.qdi", kQvfNamingShort, L"x.qdi", 1, L"x.q00"},
      {L".qvf", kQvfNamingThreeDigits, L".qvf.part001.qvf", 1, L".qvf.part002.qvf"},  // 4 characters: no extension
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "style " << c.style << " n " << c.n);
    const std::wstring first = QvfGetFirstVolumeName(c.given, c.style);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(QvfMakeVolumeName(first.c_str(), c.n, c.style), c.volume);
  }
  EXPECT_TRUE(QvfGetFirstVolumeName(L"disc.qvf", 3).empty());
  // A first name that does not have the style's form makes no volume names.
  EXPECT_TRUE(QvfMakeVolumeName(L"disc.qvf", 1, kQvfNamingThreeDigits).empty());
  EXPECT_TRUE(QvfMakeVolumeName(L"disc.iso", 1, kQvfNamingShort).empty());
  EXPECT_EQ(QvfGetMaxVolumes(kQvfNamingTwoDigits), 99);
  EXPECT_EQ(QvfGetMaxVolumes(kQvfNamingThreeDigits), 9999);
  EXPECT_EQ(QvfGetMaxVolumes(kQvfNamingShort), 101);
}

TEST(QvfVolumeNames, AnyVolumeLeadsBackToTheFirst) {
  auto has = [](const std::vector<std::wstring>& names, const wchar_t* name) {
    return !names.empty() && names[0] == name;
  };
  EXPECT_TRUE(has(QvfVolumeToFirstNames(L"/d/disc.part007.qvf", kQvfNamingThreeDigits), L"/d/disc.part001.qvf"));
  EXPECT_TRUE(has(QvfVolumeToFirstNames(L"/d/disc.part1000.qvf", kQvfNamingThreeDigits), L"/d/disc.part001.qvf"));
  EXPECT_TRUE(has(QvfVolumeToFirstNames(L"disc.part05.qvf", kQvfNamingTwoDigits), L"disc.part01.qvf"));
  EXPECT_TRUE(has(QvfVolumeToFirstNames(L"disc.q07", kQvfNamingShort), L"disc.qvf"));
  // A self-extracting image's first volume is an .exe: it is among the candidates.
  const std::vector<std::wstring> names = QvfVolumeToFirstNames(L"setup.part002.qvf", -1);
  EXPECT_NE(std::find(names.begin(), names.end(), L"setup.part001.exe"), names.end());
  EXPECT_TRUE(QvfVolumeToFirstNames(L"plain.iso", -1).empty());
}

CQvfContext* IndexContext(uint64_t chunks, int lengthBits, int codecBits, int masked, int qdi) {
  CQvfContext* context = QvfNewContext(nullptr);
  context->version = kQvfVersion110;
  context->chunkCount = chunks;
  context->lengthBits = lengthBits;
  context->codecBits = codecBits;
  context->masked = masked;
  context->qdi = qdi;
  context->indexSize = QvfIndexBytes(context->version, chunks, QvfEntryBits(context));
  context->index.assign(context->indexSize + 8, 0);
  return context;
}

TEST(QvfIndex, EntriesArePackedLsbFirstAndMaskedPerChunk) {
  // 512 KiB chunks with the widths byte 1: 20-bit entries, three of them in 8 bytes.
  EXPECT_EQ(QvfBitLength(512 * 1024 - 1), 19);
  EXPECT_EQ(QvfIndexBytes(kQvfVersion110, 3, 20), 8u);
  EXPECT_EQ(QvfIndexBytes(kQvfVersion100, 3, 0), 9u);
  for (int masked : {0, 1}) {
    for (int qdi : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "masked " << masked << " qdi " << qdi);
      CQvfContext* context = IndexContext(40, 19, 2, masked, qdi);
      for (uint64_t i = 0; i < 40; ++i) {
        const uint64_t base = i * 21;
        QvfPutIndexBits(context, base, static_cast<uint32_t>(i * 9973 % (1 << 19)), 19, 0, i);
        QvfPutIndexBits(context, base, static_cast<uint32_t>(i % 4), 2, 19, i);
      }
      for (uint64_t i = 0; i < 40; ++i) {
        const uint64_t value = i * 9973 % (1 << 19);
        EXPECT_EQ(QvfGetChunkStoredLength(context, i), value ? value + 5 : 0) << i;
        EXPECT_EQ(QvfGetChunkCodec(context, i), static_cast<int32_t>(i % 4)) << i;
      }
      if (!masked) {
        // Entry 1 holds 9973 (0x26F5) from bit 21 on, and codec 1 after it.
        const uint64_t word = context->index[2] | uint64_t(context->index[3]) << 8 | uint64_t(context->index[4]) << 16 |
                              uint64_t(context->index[5]) << 24;
        EXPECT_EQ((word >> 5) & 0x7FFFF, 9973u);
        EXPECT_EQ((word >> 24) & 3, 1u);
      }
      QvfCloseReader(context);
    }
  }
  // The two masks differ (QDI adds 17 to its table's byte repeated).
  CQvfContext* qvf = IndexContext(1, 19, 1, 1, 0);
  CQvfContext* qdi = IndexContext(1, 19, 1, 1, 1);
  EXPECT_EQ(QvfIndexMask(qdi, 1), ((1u ^ 148u) & 0xFF) * 0x01010101u + 17);
  EXPECT_NE(QvfIndexMask(qvf, 1), QvfIndexMask(qdi, 1));
  QvfCloseReader(qvf);
  QvfCloseReader(qdi);
}

TEST(QvfIndex, ScramblingFormsUndoExactly) {
  CQvfContext* context = IndexContext(1, 19, 1, 0, 0);
  context->sectorCount = 0x1234;
  // A scrambled QVF index of one byte stores that byte plus s0.
  context->scrambled = 1;
  uint8_t one[1] = {0x10};
  QvfScrambleIndex(context, one, 1);
  EXPECT_EQ(one[0], 0x10 + 0x34);
  QvfUnscrambleIndex(context, one, 1, 0);
  EXPECT_EQ(one[0], 0x10);
  // Longer: only byte 0 changes, by the sum of s0 + j * s1.
  std::vector<uint8_t> plain(700);
  for (size_t j = 0; j < plain.size(); ++j) plain[j] = static_cast<uint8_t>(j * 7 + 3);
  std::vector<uint8_t> bytes = plain;
  QvfScrambleIndex(context, bytes.data(), bytes.size());
  uint8_t sum = 0;
  for (size_t j = 0; j < bytes.size(); ++j) sum = static_cast<uint8_t>(sum + 0x34 + j * 0x12);
  EXPECT_EQ(bytes[0], static_cast<uint8_t>(plain[0] + sum));
  EXPECT_TRUE(std::equal(bytes.begin() + 1, bytes.end(), plain.begin() + 1));
  // QDI forms, written here by their definitions and undone by the reader.
  const uint32_t crc = 0xA1B2C3D4;
  context->qdi = 1;
  context->scrambled = 1;
  for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<uint8_t>(plain[j] - (0xD4 + j * 0xC3));
  QvfUnscrambleIndex(context, bytes.data(), bytes.size(), crc);
  EXPECT_EQ(bytes, plain);
  context->scrambled = 0;
  for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<uint8_t>((plain[j] ^ (700 / 4)) + 0xD4);
  QvfUnscrambleIndex(context, bytes.data(), bytes.size(), crc);
  EXPECT_EQ(bytes, plain);
  const uint8_t m = static_cast<uint8_t>(bytes.size());
  for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<uint8_t>(7 * j + static_cast<uint8_t>(~(m ^ plain[j])));
  QvfUndoQdiDeflatedIndex(bytes.data(), bytes.size());
  EXPECT_EQ(bytes, plain);
  QvfCloseReader(context);
}

std::vector<uint8_t> Block(uint32_t type, uint32_t length) {
  std::vector<uint8_t> block(length >= 8 ? length : 8, 0);
  QvfStore32(block.data(), type);
  QvfStore32(block.data() + 4, length);
  return block;
}

TEST(QvfBlocks, WalkStopsAtShortOrOverlongLengths) {
  std::vector<uint8_t> area;
  for (const auto& b : {Block(4, 20), Block(3, 144), Block(9, 12)}) area.insert(area.end(), b.begin(), b.end());
  uint32_t length = 0;
  EXPECT_EQ(QvfFindBlockInArea(area.data(), area.size(), 3, &length), 20);
  EXPECT_EQ(length, 144u);
  EXPECT_EQ(QvfFindBlockInArea(area.data(), area.size(), 9, nullptr), 164);
  EXPECT_EQ(QvfFindBlockInArea(area.data(), area.size(), 7, nullptr), -1);
  // A length below 8 would never advance: the walk ends there.
  QvfStore32(area.data() + 4, 4);
  EXPECT_EQ(QvfFindBlockInArea(area.data(), area.size(), 3, nullptr), -1);
  // A block that runs past the end of the blocks is not found.
  QvfStore32(area.data() + 4, 20);
  QvfStore32(area.data() + 24, 1000);
  EXPECT_EQ(QvfFindBlockInArea(area.data(), area.size(), 3, nullptr), -1);
}

TEST(QvfBlocks, VolumeHeaderCarriesItsCrc) {
  uint8_t header[kQvfVolumeHeaderSize];
  QvfMakeVolumeHeader(header);
  EXPECT_EQ(std::memcmp(header, "QVF VOL", 8), 0);
  EXPECT_EQ(QvfLoad32(header + 16), 100u);
  EXPECT_EQ(QvfCheckVolumeHeader(header), 1);
  header[20] = 1;
  EXPECT_EQ(QvfCheckVolumeHeader(header), 0);
}

}  // namespace
