// MDS descriptors: the generated descriptors become the expected track tables whose offsets find the ISO's
// sectors and the audio frames in the MDF, and damaged descriptors fail quietly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "formats/mds.h"
#include "formats/mds_nrg_fixture.h"
#include "image/tracktable.h"

namespace {

struct ExpectedTrack {
  uint8_t mode;
  int32_t start;
  int32_t length;
  int32_t sectorSize;
  int32_t pregap;
  int64_t dataOffset;
  int64_t dataEnd;
};

void PutLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

CTrackTable* ParseBytes(const std::vector<uint8_t>& bytes, const std::string& path) {
  return MdsParseBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), Widen(path).c_str());
}

TEST(Mds, GeneratedDescriptorsParseToTheirTracks) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  const int32_t n = static_cast<int32_t>(f.dataSectors), a = static_cast<int32_t>(f.audioFrames);
  struct Case {
    const char* name;
    const char* dataFile;
    std::vector<ExpectedTrack> tracks;
  };
  const std::vector<Case> cases = {
      // The track block's subchannel byte is set (2448-byte sectors): its mode value is no known kind.
      {"data", "data.mdf", {{0, 0, n, 2448, 0, 0, int64_t{n} * 2448}}},
      {"mixed",
       "mixed.mdf",
       {{3, 0, n, 2352, 0, 0, int64_t{n} * 2352},
        {1, n + 150, a, 2352, 150, int64_t{n} * 2352, int64_t{n + a} * 2352}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string mds = f.folder + "/" + c.name + ".mds";
    CTrackTable* table = MdsParseFile(Widen(mds).c_str());
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->trackCount, static_cast<int32_t>(c.tracks.size()));
    EXPECT_EQ(table->sessionCount, 0);
    EXPECT_EQ(std::wstring(table->cueSheetPath.c_str()), Widen(mds));
    const std::string mdf = f.folder + "/" + c.dataFile;
    EXPECT_EQ(std::wstring(table->dataFileName.c_str()), Widen(mdf));
    const std::vector<uint8_t> mdfBytes = ReadWholeFile(mdf);
    for (size_t i = 0; i < c.tracks.size(); ++i) {
      SCOPED_TRACE(i);
      const ExpectedTrack& want = c.tracks[i];
      const CTrackInfo& got = table->tracks[i];
      EXPECT_EQ(got.mode, want.mode);
      EXPECT_EQ(got.start, want.start);
      EXPECT_EQ(got.length, want.length);
      EXPECT_EQ(got.sectorSize, want.sectorSize);
      EXPECT_EQ(got.pregap, want.pregap);
      EXPECT_EQ(got.dataOffset, want.dataOffset);
      EXPECT_EQ(got.dataEnd, want.dataEnd);
      EXPECT_EQ(got.session, 0);
      ASSERT_LE(static_cast<size_t>(got.dataEnd), mdfBytes.size());
      // The offsets find the track's data: the ISO's user data at 16 of each raw sector, or the audio frames.
      const uint8_t* at = mdfBytes.data() + got.dataOffset;
      if (got.mode == 1) {
        EXPECT_EQ(std::memcmp(at, f.audioBytes.data(), f.audioBytes.size()), 0);
        continue;
      }
      int32_t mismatched = 0;
      for (int32_t s = 0; s < got.length; ++s) {
        mismatched += std::memcmp(at + int64_t{s} * got.sectorSize + 16, f.isoBytes.data() + int64_t{s} * 2048,
                                  2048) != 0;
      }
      EXPECT_EQ(mismatched, 0);
    }
    const CTrackInfo& last = c.tracks.size() == 1 ? table->tracks[0] : table->tracks[1];
    EXPECT_EQ(table->tracks[table->trackCount].start, last.start + last.length);  // the lead-out
    TrackTableFree(table);
  }
}

TEST(Mds, IatReadsTheDataTrackBack) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  for (const char* name : {"data.mdf", "mixed.mdf"}) {
    SCOPED_TRACE(name);
    const std::string out = f.folder + "/" + name + ".iat.iso";
    ProgramResult r = RunProgram("/usr/bin/iat", {f.folder + "/" + name, out});
    ASSERT_EQ(r.status, 0) << r.out;
    // iat converts every block of the file; the data track comes first.
    std::vector<uint8_t> converted = ReadWholeFile(out);
    ASSERT_GE(converted.size(), f.isoBytes.size());
    converted.resize(f.isoBytes.size());
    EXPECT_TRUE(converted == f.isoBytes);
  }
}

// A descriptor of `count` Mode 1 tracks, 20 sectors apart, sharing one extra block and the name "*.mdf".
std::vector<uint8_t> DescriptorWithTracks(int count) {
  const size_t blocks = 112, extra = blocks + 80 * static_cast<size_t>(count), nameBlock = extra + 8;
  std::vector<uint8_t> b(nameBlock + 16 + 6, 0);
  std::memcpy(b.data(), "MEDIA DESCRIPTOR", 16);
  b[98] = static_cast<uint8_t>(count);
  PutLe32(b, 108, blocks);
  for (int i = 0; i < count; ++i) {
    const size_t block = blocks + 80 * static_cast<size_t>(i);
    const int frames = 150 + 20 * i;
    b[block] = 0xAA;
    b[block + 4] = static_cast<uint8_t>(i % 99 + 1);  // points of 100 and more are lead-in entries
    b[block + 9] = static_cast<uint8_t>(frames / 4500);
    b[block + 10] = static_cast<uint8_t>(frames / 75 % 60);
    b[block + 11] = static_cast<uint8_t>(frames % 75);
    PutLe32(b, block + 12, extra);
    b[block + 16] = 0x30;  // 2352
    b[block + 17] = 0x09;
    PutLe32(b, block + 52, nameBlock);
  }
  PutLe32(b, extra, 150);
  PutLe32(b, extra + 4, 20);
  PutLe32(b, nameBlock, nameBlock + 16);
  std::memcpy(&b[nameBlock + 16], "*.mdf", 5);
  return b;
}

TEST(Mds, DamagedDescriptorsFailQuietly) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  const std::vector<uint8_t> mixed = ReadWholeFile(f.folder + "/mixed.mds");
  ASSERT_EQ(mixed.size(), 578u);
  // mixed.mds: three lead-in blocks then the tracks at 352 and 432; their extra blocks at 536 and 544; the
  // file-name block at 552.
  constexpr size_t kTrack1 = 352, kExtra1 = 536, kNameBlock = 552;
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int32_t tracks;  // 0: no table
  };
  auto patched = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> b = mixed;
    PutLe32(b, at, value);
    return b;
  };
  std::vector<uint8_t> blockCountPastEnd = mixed;
  blockCountPastEnd[98] = 10;
  std::vector<uint8_t> wrongSignature = mixed;
  wrongSignature[0] = 'm';
  const std::vector<Case> cases = {
      {"sound descriptor", mixed, 2},
      {"112 bytes", std::vector<uint8_t>(mixed.begin(), mixed.begin() + 112), 0},
      {"wrong signature", wrongSignature, 0},
      {"negative track-block offset", patched(108, 0xFFFFFFFF), 0},
      {"track blocks past the end", patched(108, 0x10000), 0},
      {"more blocks announced than stored", blockCountPastEnd, 2},
      {"file-name block outside", patched(kTrack1 + 52, 0xFFFFFF), 0},
      {"file name outside", patched(kNameBlock, 0x10000), 0},
      {"first track without extra block", patched(kTrack1 + 12, 0), 0},
      {"extra block reaching the end", patched(kTrack1 + 12, 575), 0},
      {"length beyond sector numbers", patched(kExtra1 + 4, 0x80000000), 0},
      {"99 tracks", DescriptorWithTracks(99), 99},
      {"100 tracks", DescriptorWithTracks(100), 0},
      {"200 tracks", DescriptorWithTracks(200), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CTrackTable* table = ParseBytes(c.bytes, f.folder + "/damaged.mds");
    EXPECT_EQ(table ? table->trackCount : 0, c.tracks);
    TrackTableFree(table);
  }
  EXPECT_EQ(MdsParseFile(Widen(f.folder + "/missing.mds").c_str()), nullptr);
  EXPECT_EQ(MdsParseFile(Widen(f.folder + "/dao_nero.nrg").c_str()), nullptr);
}

// Track offsets in an MDF of 2448-byte sectors count 2448 bytes for every sector before the track.
TEST(Mds, OffsetsUseTheTracksSectorSize) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  std::vector<uint8_t> mds = ReadWholeFile(f.folder + "/mixed.mds");
  ASSERT_EQ(mds.size(), 578u);
  for (size_t block : {352u, 432u}) {
    mds[block + 16] = 0x90;  // 2448
    mds[block + 17] = 0x09;
  }
  CTrackTable* table = ParseBytes(mds, f.folder + "/mixed.mds");
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->trackCount, 2);
  EXPECT_EQ(table->tracks[1].dataOffset, f.dataSectors * 2448);
  EXPECT_EQ(table->tracks[1].dataEnd, (f.dataSectors + f.audioFrames) * 2448);
  TrackTableFree(table);
}

// A first track whose stored pregap is below the 150 sectors of the lead-in has no pregap, and its data still
// starts at the start of the MDF.
TEST(Mds, ShortFirstPregapCountsAsNone) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  std::vector<uint8_t> mds = ReadWholeFile(f.folder + "/mixed.mds");
  ASSERT_EQ(mds.size(), 578u);
  PutLe32(mds, 536, 0);  // the first track's extra block: pregap 0
  CTrackTable* table = ParseBytes(mds, f.folder + "/mixed.mds");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->tracks[0].pregap, 0);
  EXPECT_EQ(table->tracks[0].dataOffset, 0);
  EXPECT_EQ(table->tracks[1].dataOffset, f.dataSectors * 2352);
  TrackTableFree(table);
}

}  // namespace
