// Self-extracting images: the property table and block, the 28-byte trailer, the head written before the stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "qvf/sfx.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct TableFree {
  void operator()(CSfxPropertyTable* t) const { QvfFreeSfxProperties(t); }
};
using Table = std::unique_ptr<CSfxPropertyTable, TableFree>;

File TempWith(const std::vector<uint8_t>& bytes) {
  File f(std::tmpfile());
  if (f && !bytes.empty()) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f.get()), bytes.size());
  }
  if (f) std::rewind(f.get());
  return f;
}

std::vector<uint8_t> ReadAll(FILE* f) {
  std::vector<uint8_t> bytes;
  std::rewind(f);
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  return bytes;
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

std::vector<uint8_t> Stub(size_t n) {
  std::vector<uint8_t> stub(n);
  for (size_t i = 0; i < n; ++i) stub[i] = static_cast<uint8_t>(i * 7 + 1);
  return stub;
}

Table SampleTable() {
  Table table(QvfNewSfxProperties());
  EXPECT_NE(table, nullptr);
  const std::string title = "Setup";
  std::vector<uint8_t> big(3000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(QvfSetSfxProperty(table.get(), 1023, big.data(), static_cast<int32_t>(big.size())), 1);
  EXPECT_EQ(QvfSetSfxProperty(table.get(), 0, title.data(), static_cast<int32_t>(title.size())), 1);
  EXPECT_EQ(QvfSetSfxProperty(table.get(), 5, nullptr, 0), 1);  // a value of no bytes still counts
  return table;
}

void ExpectSameSlots(const CSfxPropertyTable& a, const CSfxPropertyTable& b) {
  for (int slot = 0; slot < kSfxPropertySlots; ++slot) {
    EXPECT_EQ(a.slots[slot].used, b.slots[slot].used) << slot;
    EXPECT_EQ(a.slots[slot].bytes, b.slots[slot].bytes) << slot;
  }
}

TEST(SfxHead, StubOf5000BytesAndNoPropertiesStartsTheImageAt6144) {
  const std::vector<uint8_t> stubBytes = Stub(5000);
  for (bool withTable : {false, true}) {
    File stub = TempWith(stubBytes), out = TempWith({});
    Table table(withTable ? QvfNewSfxProperties() : nullptr);
    CSfxTrailer trailer{};
    ASSERT_EQ(QvfWriteSfxHead(out.get(), stub.get(), table.get(), &trailer), 6144);
    EXPECT_EQ(std::ftell(out.get()), 6144);  // the stream is written from here
    EXPECT_EQ(trailer.propertyOffset, 5000u);
    EXPECT_EQ(trailer.propertySize, 20u);
    EXPECT_EQ(trailer.imageOffset, 6144u);
    if (table) {
      EXPECT_EQ(table->propertyOffset, 5000);
      EXPECT_EQ(table->propertySize, 20);
      EXPECT_EQ(table->imageOffset, 6144);
    }
    std::vector<uint8_t> expected = stubBytes;
    for (uint32_t v : {7u, 20u, 0u, 0u, 0u}) Put32(expected, v);
    expected.resize(6144, 0);
    EXPECT_EQ(ReadAll(out.get()), expected);
  }
}

TEST(SfxHead, AtLeastOneKiBOfZerosThenAKiBBoundary) {
  const struct {
    size_t stub;
    int64_t imageOffset;
  } cases[] = {{0, 2048}, {1004, 2048}, {1005, 3072}, {3 << 20, (3 << 20) + 2048}};
  for (const auto& c : cases) {
    File stub = TempWith(Stub(c.stub)), out = TempWith({});
    CSfxTrailer trailer{};
    EXPECT_EQ(QvfWriteSfxHead(out.get(), stub.get(), nullptr, &trailer), c.imageOffset) << c.stub;
    EXPECT_EQ(ReadAll(out.get()).size(), static_cast<size_t>(c.imageOffset)) << c.stub;
  }
}

TEST(SfxProperties, BlockLayoutAndRoundTripThroughAFile) {
  Table table = SampleTable();
  std::vector<uint8_t> block;
  ASSERT_EQ(QvfBuildSfxPropertyBlock(table.get(), &block), 1);
  ASSERT_EQ(block.size(), 20u + (8 + 5) + (8 + 0) + (8 + 3000));
  EXPECT_EQ(Get32(&block[0]), 7u);
  EXPECT_EQ(Get32(&block[4]), block.size());
  EXPECT_EQ(Get32(&block[8]), 3u);
  // Slot order, whatever the order they were set in.
  EXPECT_EQ(Get32(&block[20]), 0u);
  EXPECT_EQ(Get32(&block[24]), 5u);
  EXPECT_EQ(std::string(block.begin() + 28, block.begin() + 33), "Setup");
  EXPECT_EQ(Get32(&block[33]), 5u);
  EXPECT_EQ(Get32(&block[37]), 0u);
  EXPECT_EQ(Get32(&block[41]), 1023u);
  EXPECT_EQ(Get32(&block[45]), 3000u);

  // Write a whole self-extracting file: head, a stream stand-in, the trailer; then find and read it back.
  File stub = TempWith(Stub(70000)), out = TempWith({});
  CSfxTrailer written{};
  const int64_t imageOffset = QvfWriteSfxHead(out.get(), stub.get(), table.get(), &written);
  ASSERT_EQ(imageOffset, (70000 + static_cast<int64_t>(block.size()) + 2047) / 1024 * 1024);
  std::vector<uint8_t> stream(500, 0x5A);
  ASSERT_EQ(std::fwrite(stream.data(), 1, stream.size(), out.get()), stream.size());
  uint8_t trailerBytes[kSfxTrailerSize];
  QvfMakeSfxTrailer(written, trailerBytes);
  ASSERT_EQ(std::fwrite(trailerBytes, 1, sizeof trailerBytes, out.get()), sizeof trailerBytes);
  std::fflush(out.get());
  const std::vector<uint8_t> file = ReadAll(out.get());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), file.begin() + 70000));

  CSfxTrailer found{};
  ASSERT_EQ(QvfFindSfxTrailer(out.get(), static_cast<int64_t>(file.size()), &found), 1);
  EXPECT_EQ(found.propertyOffset, 70000u);
  EXPECT_EQ(found.propertySize, block.size());
  EXPECT_EQ(found.imageOffset, static_cast<uint32_t>(imageOffset));
  Table back(QvfNewSfxProperties());
  ASSERT_EQ(QvfReadSfxProperties(back.get(), out.get(), static_cast<int64_t>(file.size()), found), 1);
  ExpectSameSlots(*table, *back);
  EXPECT_EQ(back->imageOffset, imageOffset);
  EXPECT_EQ(back->propertyOffset, 70000);
}

TEST(SfxTrailer, FieldsAndTheSizeThreshold) {
  const CSfxTrailer trailer{0x01020304, 0x20, 0x0A0B0C00};
  uint8_t bytes[kSfxTrailerSize];
  QvfMakeSfxTrailer(trailer, bytes);
  const uint32_t words[7] = {5, 28, 0, 0x01020304, 0x20, 0x0A0B0C00, 0};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(Get32(bytes + 4 * i), words[i]) << i;

  // Only a file larger than 64 KiB that ends in type 5, length 28 has a trailer.
  const struct {
    size_t size;
    uint32_t type, length;
    int expected;
  } cases[] = {{65536, 5, 28, 0}, {65537, 5, 28, 1}, {200000, 5, 28, 1},
               {200000, 6, 28, 0}, {200000, 5, 20, 0}, {28, 5, 28, 0}};
  for (const auto& c : cases) {
    std::vector<uint8_t> content(c.size - kSfxTrailerSize, 0);
    Put32(content, c.type);
    Put32(content, c.length);
    content.insert(content.end(), bytes + 8, bytes + kSfxTrailerSize);
    File f = TempWith(content);
    CSfxTrailer found{};
    EXPECT_EQ(QvfFindSfxTrailer(f.get(), static_cast<int64_t>(content.size()), &found), c.expected) << c.size;
    if (c.expected) {
      EXPECT_EQ(found.imageOffset, trailer.imageOffset);
    }
  }
  CSfxTrailer found{};
  EXPECT_EQ(QvfParseSfxTrailer(bytes, kSfxTrailerSize - 1, &found), 0);
}

// A property block from parts: head words, then entries as (slot, length, bytes given).
std::vector<uint8_t> Block(uint32_t type, uint32_t total, uint32_t count,
                           const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& entries,
                           uint32_t declaredLength = UINT32_MAX) {
  std::vector<uint8_t> out;
  for (uint32_t v : {type, total, count, 0u, 0u}) Put32(out, v);
  for (const auto& [slot, bytes] : entries) {
    Put32(out, slot);
    Put32(out, declaredLength == UINT32_MAX ? static_cast<uint32_t>(bytes.size()) : declaredLength);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

TEST(SfxProperties, DamagedBlocksAreRefusedAndLeaveTheTableAlone) {
  const std::vector<uint8_t> abc = {'a', 'b', 'c'};
  const struct {
    const char* what;
    std::vector<uint8_t> block;
  } cases[] = {
      {"wrong type", Block(8, 31, 1, {{1, abc}})},
      {"total below the head", Block(7, 19, 0, {})},
      {"total past the bytes", Block(7, 32, 1, {{1, abc}})},
      {"more than 1024 entries", Block(7, 20, 1025, {})},
      {"count beyond the block", Block(7, 31, 2, {{1, abc}})},
      {"slot 1024", Block(7, 31, 1, {{1024, abc}})},
      {"slot far out", Block(7, 31, 1, {{0xFFFFFFFF, abc}})},
      {"length past the total", Block(7, 31, 1, {{1, abc}}, 4)},
      {"huge length", Block(7, 31, 1, {{1, abc}}, 0xFFFFFFF0)},
      {"entry head cut", {7, 0, 0, 0, 24, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}},
      {"short", {7, 0, 0, 0, 20, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    Table table(QvfNewSfxProperties());
    ASSERT_EQ(QvfSetSfxProperty(table.get(), 9, "keep", 4), 1);
    EXPECT_EQ(QvfParseSfxPropertyBlock(table.get(), c.block.data(), c.block.size()), 0) << c.what;
    EXPECT_EQ(table->slots[9].used, 1) << c.what;
    EXPECT_EQ(table->slots[1].used, 0) << c.what;
  }
  // The well-formed neighbour of those cases is read, and replaces what the table held.
  const std::vector<uint8_t> good = Block(7, 31, 1, {{1, abc}});
  Table table(QvfNewSfxProperties());
  ASSERT_EQ(QvfSetSfxProperty(table.get(), 9, "old", 3), 1);
  ASSERT_EQ(QvfParseSfxPropertyBlock(table.get(), good.data(), good.size()), 1);
  EXPECT_EQ(table->slots[1].bytes, abc);
  EXPECT_EQ(table->slots[9].used, 0);
}

TEST(SfxProperties, BlockPlacementIsCheckedAgainstTheFile) {
  Table table = SampleTable();
  std::vector<uint8_t> block;
  ASSERT_EQ(QvfBuildSfxPropertyBlock(table.get(), &block), 1);
  std::vector<uint8_t> content(100, 0);
  content.insert(content.end(), block.begin(), block.end());
  content.resize(80000, 0);
  File f = TempWith(content);
  const uint32_t size = static_cast<uint32_t>(block.size());
  const struct {
    CSfxTrailer trailer;
    int expected;
  } cases[] = {
      {{100, size, 4096}, 1},
      {{100, size, 1024}, 0},               // the block runs into the stream
      {{100, size, 79990}, 0},              // the stream starts inside the trailer
      {{100, 19, 4096}, 0},                 // shorter than a head
      {{100, 0x7FFFFFFF, 0xFFFFFFFF}, 0},   // beyond any sane size and the file
      {{0xFFFFFF00, size, 0xFFFFFFFF}, 0},  // offsets past the file
      {{101, size, 4096}, 0},               // not where the block is
  };
  for (const auto& c : cases) {
    Table back(QvfNewSfxProperties());
    EXPECT_EQ(QvfReadSfxProperties(back.get(), f.get(), static_cast<int64_t>(content.size()), c.trailer),
              c.expected)
        << c.trailer.propertyOffset << " " << c.trailer.propertySize << " " << c.trailer.imageOffset;
  }
}

TEST(SfxProperties, SlotsOutsideTheTableAreRefused) {
  Table table(QvfNewSfxProperties());
  EXPECT_EQ(QvfSetSfxProperty(table.get(), -1, "x", 1), 0);
  EXPECT_EQ(QvfSetSfxProperty(table.get(), 1024, "x", 1), 0);
  EXPECT_EQ(QvfSetSfxProperty(table.get(), 3, nullptr, 2), 0);
  EXPECT_EQ(QvfSetSfxProperty(table.get(), 3, "x", -1), 0);
  for (const CSfxProperty& slot : table->slots) EXPECT_EQ(slot.used, 0);
}

TEST(SfxStub, LivesBesideTheProgram) {
  char self[PATH_MAX + 1] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, PATH_MAX), 0);
  std::string expected(self);
  expected = expected.substr(0, expected.rfind('/') + 1) + "qDelver.SFX";
  EXPECT_EQ(QvfSfxStubPath(), expected);
  File stub(QvfOpenSfxStub());
  EXPECT_EQ(stub != nullptr, access(expected.c_str(), R_OK) == 0);
}

}  // namespace
