// The chunk map and the DMG reader: reads across chunks, the decode-once cache, zero fill past the data,
// failures of damaged chunks, and DMG property lists and trailers that are damaged.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fixtures/chunk_image_writer.h"
#include "formats/chunkmap.h"
#include "formats/dmg.h"
#include "image/document.h"
#include "runtime/error.h"
#include "session/document.h"
#include "support/run_program.h"

namespace {

using namespace chunkfix;

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * seed + i / 97) & 0xFF);
  return s;
}

// A document over a file holding `bytes`.
CImageDocument* OpenBytes(const std::string& name, const std::string& bytes) {
  const std::string path = MakeTestFolder("chunkmap_" + name) + "/image.dmg";
  WriteFileBytes(path, bytes);
  CImageDocument* document = ImageAlloc();
  document->input = std::fopen(path.c_str(), "rb");
  document->path = std::wstring(path.begin(), path.end()).c_str();
  return document;
}

}  // namespace

TEST(ChunkMap, ReadsAcrossChunksDecodeEachOnceAndZeroFillThePastTheEnd) {
  // 40 chunks of 64 KiB: zlib, stored, zero and bzip2 in turn.
  std::string image, file;
  std::vector<std::tuple<uint32_t, uint64_t, uint64_t>> chunks;
  for (int i = 0; i < 40; ++i) {
    const std::string bytes = i % 4 == 2 ? std::string(65536, '\0') : Pattern(65536, 7 + i);
    image += bytes;
    const uint32_t type = i % 4 == 0 ? kChunkZlib : i % 4 == 1 ? kChunkStored : i % 4 == 2 ? kChunkZero : kChunkBzip2;
    const std::string stored = type == kChunkZlib     ? Zlib(bytes)
                               : type == kChunkStored ? bytes
                               : type == kChunkBzip2  ? Bzip2(bytes)
                                                      : "";
    chunks.emplace_back(type, file.size(), stored.size());
    file += stored;
  }
  CImageDocument* document = OpenBytes("reads", file);
  CChunkMap* map = ChunkMapCreate(document->input, 512);
  ASSERT_NE(map, nullptr);
  for (const auto& [type, offset, length] : chunks) ASSERT_GT(ChunkMapAddChunk(map, 0, type, offset, length, 65536), 0);
  EXPECT_EQ(map->totalSectors, 40u * 128);
  EXPECT_EQ(ChunkMapLocate(map, 0), 0u);
  EXPECT_EQ(ChunkMapLocate(map, 65536 * 17 + 5), 17u);
  EXPECT_EQ(ChunkMapLocate(map, 65536 * 40), 40u);

  // Forward reads of one sector at a time, then backwards, then reads that straddle chunks: right bytes, and no
  // compressed chunk decoded twice while the reads go one way.
  std::vector<uint8_t> sector(512);
  for (uint64_t s = 0; s < 40 * 128; ++s) {
    ASSERT_EQ(ChunkMapReadSectors(map, static_cast<int64_t>(s), sector.data(), 1), 1);
    ASSERT_EQ(0, std::memcmp(sector.data(), image.data() + s * 512, 512)) << s;
  }
  EXPECT_EQ(map->decodeCount, 20);  // the 10 zlib and 10 bzip2 chunks
  std::vector<uint8_t> big(3 * 65536 + 1024);
  ASSERT_EQ(ChunkMapReadBytes(map, 65536 * 7 - 512, big.data(), big.size()), 1);
  EXPECT_EQ(0, std::memcmp(big.data(), image.data() + 65536 * 7 - 512, big.size()));

  // Past the last chunk: zeros, and the read still succeeds.
  std::vector<uint8_t> tail(4096, 0xEE);
  ASSERT_EQ(ChunkMapReadBytes(map, 65536 * 40 - 1024, tail.data(), tail.size()), 1);
  EXPECT_EQ(0, std::memcmp(tail.data(), image.data() + 65536 * 40 - 1024, 1024));
  EXPECT_EQ(std::string(tail.begin() + 1024, tail.end()), std::string(3072, '\0'));
  ChunkMapFree(map);
  ImageClose(document);
}

TEST(ChunkMap, ScatteredReadsDecodeEachChunkOnceWhileTheImageFitsTheCache) {
  // 64 zlib chunks of 32 KiB, read in forward runs that grow the read-ahead and jumps back and forth: the bytes
  // are right and no chunk is decoded twice, whether a worker or the reader got to it first.
  constexpr int kChunks = 64;
  constexpr size_t kSize = 32768;
  std::string image, file;
  std::vector<std::pair<uint64_t, uint64_t>> stored;
  for (int i = 0; i < kChunks; ++i) {
    const std::string bytes = Pattern(kSize, 11 + i);
    image += bytes;
    const std::string z = Zlib(bytes);
    stored.emplace_back(file.size(), z.size());
    file += z;
  }
  CImageDocument* document = OpenBytes("scattered", file);
  CChunkMap* map = ChunkMapCreate(document->input, 512);
  for (const auto& [offset, length] : stored) ASSERT_GT(ChunkMapAddChunk(map, 0, kChunkZlib, offset, length, kSize), 0);
  std::vector<uint8_t> out(3 * kSize);
  uint32_t x = 7;
  uint64_t at = 0;
  for (int step = 0; step < 400; ++step) {
    x = x * 1103515245 + 12345;
    // Mostly runs forward from where the last read ended, sometimes somewhere else.
    if (step % 9 == 0) at = (x >> 8) % (kChunks * kSize);
    const uint64_t length = std::min<uint64_t>(1 + (x >> 4) % out.size(), kChunks * kSize - at);
    ASSERT_EQ(ChunkMapReadBytes(map, at, out.data(), length), 1) << step;
    ASSERT_EQ(0, std::memcmp(out.data(), image.data() + at, length)) << step;
    at = (at + length) % (kChunks * kSize);
  }
  // Whatever was left unread is read now; every chunk was then decoded exactly once.
  std::vector<uint8_t> all(image.size());
  ASSERT_EQ(ChunkMapReadBytes(map, 0, all.data(), all.size()), 1);
  EXPECT_EQ(0, std::memcmp(all.data(), image.data(), image.size()));
  EXPECT_EQ(map->decodeCount, kChunks);
  ChunkMapFree(map);
  ImageClose(document);
}

TEST(ChunkMap, HintedChunksAreDecodedOnceAndADamagedOneFailsOnlyTheReadOfIt) {
  // 24 zlib chunks of 32 KiB, the tenth damaged; hints for scattered ranges, then reads of them in another order.
  constexpr size_t kSize = 32768;
  std::string image, file;
  std::vector<std::pair<uint64_t, uint64_t>> stored;
  for (int i = 0; i < 24; ++i) {
    const std::string bytes = Pattern(kSize, 5 + i);
    image += bytes;
    std::string z = Zlib(bytes);
    if (i == 10) z[z.size() / 2] ^= 0x5A;
    stored.emplace_back(file.size(), z.size());
    file += z;
  }
  CImageDocument* document = OpenBytes("hints", file);
  CChunkMap* map = ChunkMapCreate(document->input, 512);
  for (const auto& [offset, length] : stored) ASSERT_GT(ChunkMapAddChunk(map, 0, kChunkZlib, offset, length, kSize), 0);
  const uint64_t starts[] = {20 * kSize + 100, 3 * kSize, 9 * kSize + 5, 15 * kSize};
  for (uint64_t at : starts) ChunkMapPrefetch(map, at, 2 * kSize);
  std::vector<uint8_t> out(kSize);
  // Each read lands away from the one before, so that no read-ahead adds to the decoding.
  for (uint64_t at : {15 * kSize, 3 * kSize + 4096, 20 * kSize + 100, 9 * kSize + 5, 4 * kSize}) {
    ASSERT_EQ(ChunkMapReadBytes(map, at, out.data(), 1024), 1) << at;
    EXPECT_EQ(0, std::memcmp(out.data(), image.data() + at, 1024)) << at;
  }
  ErrorStateReset();
  EXPECT_EQ(ChunkMapReadBytes(map, 10 * kSize + 512, out.data(), 512), 0);
  EXPECT_STREQ(LastErrorGetText(), L"Can not read compressed image file. ");
  ErrorStateReset();
  // Only the good chunks hinted (3, 4, 9, 11, 15, 16, 20, 21 and 22) were decoded, once each; the five read
  // surely.
  EXPECT_GE(map->decodeCount, 5);
  EXPECT_LE(map->decodeCount, 9);
  ChunkMapFree(map);
  ImageClose(document);
}

TEST(ChunkMap, CopyToFdWritesWhatReadsGiveAndStopsBeforeADamagedChunk) {
  // zlib, stored, zero and bzip2 chunks of 64 KiB with a hole after the fifth, the twelfth chunk damaged.
  constexpr size_t kSize = 65536;
  std::string image, file;
  struct Piece {
    uint32_t type;
    uint64_t start, offset, length;
  };
  std::vector<Piece> pieces;
  for (int i = 0; i < 16; ++i) {
    if (i == 5) image += std::string(3 * 512, '\0');  // the hole
    const std::string bytes = i % 4 == 2 ? std::string(kSize, '\0') : Pattern(kSize, 3 + i);
    const uint32_t type = i % 4 == 0 ? kChunkZlib : i % 4 == 1 ? kChunkStored : i % 4 == 2 ? kChunkZero : kChunkBzip2;
    std::string stored = type == kChunkZlib     ? Zlib(bytes)
                         : type == kChunkStored ? bytes
                         : type == kChunkBzip2  ? Bzip2(bytes)
                                                : "";
    if (i == 12) stored[stored.size() / 2] ^= 0x5A;
    pieces.push_back({type, image.size(), file.size(), stored.size()});
    image += bytes;
    file += stored;
  }
  CImageDocument* document = OpenBytes("copy", file);
  CChunkMap* map = ChunkMapCreate(document->input, 512);
  for (const Piece& p : pieces) ASSERT_GT(ChunkMapAddChunkAt(map, p.start, 0, p.type, p.offset, p.length, kSize), 0);
  const std::string folder = MakeTestFolder("chunkmap_copy");
  // Reads that go forward up to the damaged chunk succeed, though the chunks ahead are decoded meanwhile.
  std::vector<uint8_t> sector(4096);
  const uint64_t damaged = pieces[12].start;
  for (uint64_t at = 0; at + sector.size() <= damaged; at += sector.size()) {
    ASSERT_EQ(ChunkMapReadBytes(map, at, sector.data(), sector.size()), 1) << at;
    ASSERT_EQ(0, std::memcmp(sector.data(), image.data() + at, sector.size())) << at;
  }
  struct Case {
    uint64_t from, length, expected;
  };
  const Case cases[] = {
      {100, damaged - 100, damaged - 100},            // up to the damaged chunk, across the hole
      {damaged - 700, 5000, 700},                     // stops where the damaged chunk begins
      {pieces[14].start + 10, 3 * kSize, 3 * kSize},  // past the last chunk: zeros
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    const std::string path = folder + "/out.bin";
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ChunkMapCopyToFd(map, c.from, c.length, fileno(out)), static_cast<int64_t>(c.expected));
    std::fclose(out);
    std::string want = (image + std::string(4 * kSize, '\0')).substr(c.from, c.expected);
    EXPECT_TRUE(ReadFileBytes(path) == want);
  }
  // The read that reaches the damaged chunk says why it failed.
  ErrorStateReset();
  EXPECT_EQ(ChunkMapReadBytes(map, damaged - 512, sector.data(), sector.size()), 0);
  EXPECT_STREQ(LastErrorGetText(), L"Can not read compressed image file. ");
  ErrorStateReset();
  ChunkMapFree(map);
  ImageClose(document);
}

TEST(ChunkMap, DamagedOrMisdeclaredChunksFailTheRead) {
  const std::string bytes = Pattern(65536, 3);
  const std::string z = Zlib(bytes);
  struct Case {
    const char* name;
    uint32_t type;
    std::string stored;
    uint64_t declared;
  };
  std::string damaged = z;
  damaged[z.size() / 2] ^= 0x55;
  const Case cases[] = {
      {"damaged zlib", kChunkZlib, damaged, 65536},
      {"zlib longer than declared", kChunkZlib, z, 65536 - 512},
      {"zlib shorter than declared", kChunkZlib, z, 65536 + 512},
      {"bzip2 longer than declared", kChunkBzip2, Bzip2(bytes), 65536 - 512},
      {"adc shorter than declared", kChunkAdc, Adc(bytes), 65536 + 512},
      {"lzfse that is no stream", kChunkLzfse, z, 65536},
      {"unknown type", kChunkUnknown, z, 65536},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CImageDocument* document = OpenBytes("damaged", c.stored);
    CChunkMap* map = ChunkMapCreate(document->input, 512);
    ASSERT_GT(ChunkMapAddChunk(map, 0, c.type, 0, c.stored.size(), c.declared), 0);
    ErrorStateReset();
    std::vector<uint8_t> out(512);
    EXPECT_EQ(ChunkMapReadSectors(map, 0, out.data(), 1), 0);
    EXPECT_STREQ(LastErrorGetText(), L"Can not read compressed image file. ");
    ErrorStateReset();
    ChunkMapFree(map);
    ImageClose(document);
  }
  // Lengths past the cap or stored bytes outside the file are refused when the chunk is added.
  CImageDocument* document = OpenBytes("bounds", z);
  CChunkMap* map = ChunkMapCreate(document->input, 512);
  EXPECT_EQ(ChunkMapAddChunk(map, 0, kChunkZlib, 0, z.size(), kChunkMaxBytes + 512), -1);
  EXPECT_EQ(ChunkMapAddChunk(map, 0, kChunkZlib, 10, z.size(), 65536), -1);
  EXPECT_EQ(ChunkMapAddChunk(map, 0, kChunkStored, 0, 100, 512), -1);
  ChunkMapFree(map);
  ImageClose(document);
}

TEST(Dmg, DamagedTrailersAndPropertyListsAreRefused) {
  const std::string image = Pattern(512 * 64, 5);
  const std::string good = MakeDmg(image, 16, {kDmgZlib, kDmgAdc});
  {
    CImageDocument* document = OpenBytes("good", good);
    ASSERT_EQ(DmgLoadChunkMap(document), 0);
    EXPECT_EQ(document->chunkMap->chunks.size(), 4u);
    std::vector<uint8_t> all(image.size());
    ASSERT_EQ(ChunkMapReadBytes(document->chunkMap, 0, all.data(), all.size()), 1);
    EXPECT_EQ(0, std::memcmp(all.data(), image.data(), image.size()));
    ImageClose(document);
  }
  const size_t koly = good.size() - 512;
  auto patched = [&](size_t at, uint64_t value) {
    std::string s = good;
    PutBE(s, at, value, 8);
    return s;
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const size_t data = good.find("<data>") + 12;
  std::string notBase64 = good;
  notBase64[data] = '*';
  notBase64[data + 1] = '*';
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"xml offset past the file", patched(koly + 216, good.size() + 100)},
      {"xml length past the file", patched(koly + 224, good.size())},
      {"xml length huge", patched(koly + 224, UINT64_MAX - 10)},
      {"property list not closed", replaced("</plist>", "</plost>")},
      {"no blkx key", replaced("<key>blkx</key>", "<key>blkz</key>")},
      {"data element not closed", replaced("</data>", "</date>")},
      {"not base64", notBase64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CImageDocument* document = OpenBytes("bad", c.bytes);
    EXPECT_EQ(DmgLoadChunkMap(document), -1);
    EXPECT_EQ(document->chunkMap, nullptr);
    ImageClose(document);
  }
}

TEST(Dmg, EntryCountsAndSectorsThatOverflowAreRefused) {
  const std::string image = Pattern(512 * 32, 9);
  std::vector<std::vector<DmgChunk>> tables(1);
  tables[0].push_back({kDmgZlib, 32, Zlib(image)});
  const std::string good = MakeDmgFromTables(tables);
  // The mish block is base64 inside the property list: decode, patch, encode again.
  auto withMish = [&](auto patch) {
    const size_t open = good.find("<data>") + 6, close = good.find("</data>");
    std::string text = good.substr(open, close - open);
    const size_t n = Base64Clean(text.data(), text.size());
    std::string mish(n, '\0');
    size_t length = 0;
    Base64Decode(text.data(), n, reinterpret_cast<uint8_t*>(mish.data()), &length);
    mish.resize(length);
    patch(mish);
    std::string out = good;
    out.replace(open, close - open, Base64(mish));
    // The trailer's XML length follows the new text.
    const size_t xmlOffset = out.find("<?xml");
    PutBE(out, out.size() - 512 + 224, out.size() - 512 - xmlOffset, 8);
    return out;
  };
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"entry count beyond the block", withMish([](std::string& m) { PutBE(m, 200, 0x7FFFFFFF, 4); })},
      {"sector count that overflows", withMish([](std::string& m) { PutBE(m, 204 + 40 + 16, UINT64_MAX / 256, 8); })},
      {"first sector that overflows", withMish([](std::string& m) { PutBE(m, 8, UINT64_MAX - 4, 8); })},
      {"chunk bytes outside the file", withMish([](std::string& m) { PutBE(m, 204 + 40 + 24, 1u << 30, 8); })},
      {"chunk larger than the cap",
       withMish([](std::string& m) { PutBE(m, 204 + 40 + 16, kChunkMaxBytes / 512 + 1, 8); })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CImageDocument* document = OpenBytes("overflow", c.bytes);
    EXPECT_EQ(DmgLoadChunkMap(document), -1);
    EXPECT_EQ(document->chunkMap, nullptr);
    ImageClose(document);
  }
}
