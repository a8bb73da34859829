// NRG images: the chunk list becomes the expected track table, the NRG row reads the ISO's sectors back, and
// damaged images fail quietly.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/cdtext.h"
#include "formats/mds_nrg_fixture.h"
#include "formats/nrg.h"
#include "image/cdsector.h"
#include "image/document.h"
#include "session/document.h"
#include "image/tracktable.h"
#include "runtime/file.h"

namespace {

struct ExpectedTrack {
  uint8_t mode;
  int64_t start;
  int64_t length;
  int32_t sectorSize;
  int32_t session;
  int64_t dataOffset;
  int64_t dataEnd;
};

struct ExpectedImage {
  std::string name;
  int32_t sessions;
  std::vector<ExpectedTrack> tracks;
};

// The generated images and the tables they describe (N data sectors, A audio frames).
std::vector<ExpectedImage> GeneratedImages(int64_t n, int64_t a) {
  constexpr int64_t kGap = 150 * 2352;  // the audio track's pregap, stored before it in DAO images
  return {
      {"dao_nero.nrg", 1,
       {{0x99, 0, n, 2048, 0, 0, n * 2048}, {1, n + 150, a, 2352, 0, n * 2048 + kGap, n * 2048 + kGap + a * 2352}}},
      {"dao_ner5.nrg", 1,
       {{0x99, 0, n, 2336, 0, 0, n * 2336}, {1, n + 150, a, 2352, 0, n * 2336 + kGap, n * 2336 + kGap + a * 2352}}},
      {"dao_raw.nrg", 1, {{0x99, 0, n, 2352, 0, 0, n * 2352}}},
      {"tao_etnf.nrg", 0, {{0x99, 0, n, 2048, 0, 0, n * 2048}}},
      {"tao_etn2.nrg", 0, {{0x99, 0, n, 2048, 0, 0, n * 2048}, {1, n + 150, a, 2352, 0, n * 2048, n * 2048 + a * 2352}}},
  };
}

// A document reading `path` through the NRG row; its NRG state is made by the first read.
struct NrgDocument {
  CImageDocument* document = ImageAlloc();
  explicit NrgDocument(const std::string& path) {
    if (document) document->input = FileOpenRead(Widen(path).c_str());
  }
  ~NrgDocument() {
    if (!document) return;
    NrgFree(document->nrg);
    document->nrg = nullptr;
    ImageClose(document);
  }
  std::vector<uint8_t> Read(int64_t sector, int64_t n, int64_t* got) {
    std::vector<uint8_t> out(static_cast<size_t>(n) * 2048);
    *got = NrgReadSectors(document, sector, out.data(), n);
    return out;
  }
};

TEST(Nrg, GeneratedImagesParseToTheirTracks) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  for (const ExpectedImage& image : GeneratedImages(f.dataSectors, f.audioFrames)) {
    SCOPED_TRACE(image.name);
    const std::string path = f.folder + "/" + image.name;
    CTrackTable* table = NrgOpenImage(Widen(path).c_str());
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->trackCount, static_cast<int32_t>(image.tracks.size()));
    EXPECT_EQ(table->sessionCount, image.sessions);
    EXPECT_EQ(table->nrgLayout, 1);
    EXPECT_EQ(std::wstring(table->dataFileName.c_str()), Widen(path));
    EXPECT_EQ(std::wstring(table->cueSheetPath.c_str()), Widen(path));
    for (size_t i = 0; i < image.tracks.size(); ++i) {
      SCOPED_TRACE(i);
      const ExpectedTrack& want = image.tracks[i];
      const CTrackInfo& got = table->tracks[i];
      EXPECT_EQ(got.mode, want.mode);
      EXPECT_EQ(got.start, want.start);
      EXPECT_EQ(got.length, want.length);
      EXPECT_EQ(got.sectorSize, want.sectorSize);
      EXPECT_EQ(got.session, want.session);
      EXPECT_EQ(got.dataOffset, want.dataOffset);
      EXPECT_EQ(got.dataEnd, want.dataEnd);
    }
    const ExpectedTrack& last = image.tracks.back();
    EXPECT_EQ(table->tracks[table->trackCount].start, last.start + last.length);  // the lead-out
    EXPECT_EQ(TrackTableCheckOrder(table), 1);
    TrackTableFree(table);
  }
}

TEST(Nrg, CdTextChunkGivesTheTitles) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  CTrackTable* table = NrgOpenImage(Widen(f.folder + "/dao_ner5.nrg").c_str());
  ASSERT_NE(table, nullptr);
  const wchar_t* disc = CdTextGetText(table->discCdText, 0);
  const wchar_t* first = CdTextGetText(CdTextGetTrackRecord(table, 0), 0);
  const wchar_t* second = CdTextGetText(CdTextGetTrackRecord(table, 1), 0);
  EXPECT_STREQ(disc ? disc : L"", L"Kestrane Disc");
  EXPECT_STREQ(first ? first : L"", L"Data Track");
  EXPECT_STREQ(second ? second : L"", L"Song");
  const CCdTextRecord* record = CdTextGetTrackRecord(table, 1);
  EXPECT_EQ(record ? record->multiByteTexts[0] : "", "Song");
  TrackTableFree(table);
}

TEST(Nrg, IatReadsTheDataTrackBack) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  for (const ExpectedImage& image : GeneratedImages(f.dataSectors, f.audioFrames)) {
    SCOPED_TRACE(image.name);
    const std::string out = f.folder + "/" + image.name + ".iat.iso";
    ProgramResult r = RunProgram("/usr/bin/iat", {f.folder + "/" + image.name, out});
    ASSERT_EQ(r.status, 0) << r.out;
    // iat converts every block of the file; the data track comes first.
    std::vector<uint8_t> converted = ReadWholeFile(out);
    ASSERT_GE(converted.size(), f.isoBytes.size());
    converted.resize(f.isoBytes.size());
    EXPECT_TRUE(converted == f.isoBytes);
  }
}

TEST(Nrg, ReadSectorsGivesTheIsoBack) {
  const MdsNrgFixture& f = MdsNrgFixtureGet();
  ASSERT_EQ(f.error, "");
  const int64_t n = f.dataSectors;
  for (const ExpectedImage& image : GeneratedImages(n, f.audioFrames)) {
    SCOPED_TRACE(image.name);
    NrgDocument doc(f.folder + "/" + image.name);
    ASSERT_NE(doc.document, nullptr);
    int64_t got = 0;
    std::vector<uint8_t> all = doc.Read(0, n, &got);
    EXPECT_EQ(got, n);
    EXPECT_TRUE(all == f.isoBytes);
    // A read that runs past the data track stops where the track ends (the next sectors are its gap).
    std::vector<uint8_t> tail = doc.Read(n - 2, 5, &got);
    EXPECT_EQ(got, 2);
    EXPECT_EQ(std::memcmp(tail.data(), f.isoBytes.data() + (n - 2) * 2048, 2 * 2048), 0);
    if (image.tracks.size() == 2) {
      // The first audio frame: bytes 16 to 2064 of the raw frame.
      std::vector<uint8_t> audio = doc.Read(n + 150, 1, &got);
      EXPECT_EQ(got, 1);
      EXPECT_EQ(std::memcmp(audio.data(), f.audioBytes.data() + 16, 2048), 0);
    }
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Images built here, small, to damage one thing at a time.

std::string Be(uint64_t value, int width) {
  std::string out;
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string Chunk(const char* id, const std::string& data) { return std::string(id, 4) + Be(data.size(), 4) + data; }

std::string CueEntry(uint8_t control, uint8_t track, uint8_t index, int32_t lba) {
  return std::string{static_cast<char>(control), static_cast<char>(track), static_cast<char>(index), 0} +
         Be(static_cast<uint32_t>(lba), 4);
}

// A CUEX chunk for tracks given as (control, length in sectors) (control 0x41 data, 0x01 audio), back to back from LBA 0.
std::string CueX(const std::vector<std::pair<uint8_t, int32_t>>& tracks) {
  std::string data = CueEntry(tracks[0].first, 0, 0, -150);
  int32_t lba = 0;
  for (size_t i = 0; i < tracks.size(); ++i) {
    data += CueEntry(tracks[i].first, static_cast<uint8_t>(i + 1), 0, i == 0 ? -150 : lba);
    data += CueEntry(tracks[i].first, static_cast<uint8_t>(i + 1), 1, lba);
    lba += tracks[i].second;
  }
  data += CueEntry(tracks.back().first, 0xAA, 1, lba);
  return Chunk("CUEX", data);
}

// A DAOX chunk: per track its mode and its index 1 and end offsets (index 0 = index 1).
std::string DaoX(uint8_t firstTrack, const std::vector<std::array<uint64_t, 3>>& tracks) {
  std::string data = Be(0, 4) + std::string(14, '\0') + std::string{0, 1, static_cast<char>(firstTrack)} +
                     std::string(1, static_cast<char>(firstTrack + tracks.size() - 1));
  for (const auto& [mode, index1, end] : tracks) {
    data += std::string(12, '\0') + Be(0, 2) + std::string{static_cast<char>(mode), 0, 0, 1};
    data += Be(index1, 8) + Be(index1, 8) + Be(end, 8);
  }
  return Chunk("DAOX", data);
}

std::string Etnf(uint32_t offset, uint32_t bytes, uint32_t mode, uint32_t lba) {
  return Chunk("ETNF", Be(offset, 4) + Be(bytes, 4) + Be(mode, 4) + Be(lba, 4) + Be(0, 4));
}

// Data part, chunk list with its end mark, footer.
std::string Nrg(const std::string& data, const std::string& chunks, bool footer64 = false) {
  std::string image = data + chunks + Chunk("END!", "");
  return image + (footer64 ? "NER5" + Be(data.size(), 8) : "tail" + std::string("NERO") + Be(data.size(), 4));
}

// Four 2048-byte sectors, each filled with its number + 1.
std::string FourSectors() {
  std::string data;
  for (int s = 0; s < 4; ++s) data += std::string(2048, static_cast<char>(s + 1));
  return data;
}

struct DamageCase {
  const char* what;
  std::string image;
  int32_t tracks;      // 0: no table
  int64_t readable;    // sectors NrgReadSectors delivers from 0 (of 4 asked)
};

TEST(Nrg, DamagedImagesFailQuietly) {
  const std::string data = FourSectors();
  const std::string cue = CueX({{0x41, 4}});
  const std::string dao = DaoX(1, {{0, 0, 8192}});
  const std::string good = Nrg(data, cue + dao);
  std::string manyTracks;
  {
    std::vector<std::pair<uint8_t, int32_t>> tracks(120, {0x01, 10});
    manyTracks = Nrg(data, CueX(tracks));
  }
  std::string footerOutside = good;
  footerOutside.replace(footerOutside.size() - 4, 4, Be(good.size(), 4));
  std::string noSignature = good;
  noSignature[noSignature.size() - 5] = 'A';
  std::string chunkPastEnd = Nrg(data, cue.substr(0, 4) + Be(0x7FFFFFF0, 4) + cue.substr(8) + dao);
  std::string sameTrackPair = Nrg(data, Chunk("CUEX", CueEntry(0x41, 0, 0, -150) + CueEntry(0x41, 1, 0, -150) +
                                                          CueEntry(0x41, 1, 1, 0) + CueEntry(0x41, 1, 1, 4)));
  std::string backwards = Nrg(data, Chunk("CUEX", CueEntry(0x41, 0, 0, -150) + CueEntry(0x41, 1, 0, -150) +
                                                      CueEntry(0x41, 1, 1, 100) + CueEntry(0x41, 0xAA, 1, 4)));

  const std::vector<DamageCase> cases = {
      {"sound image", good, 1, 4},
      {"64-bit footer", Nrg(data, cue + dao, true), 1, 4},
      {"truncated", good.substr(0, good.size() - 6), 0, 0},
      {"12 bytes", good.substr(good.size() - 12), 0, 0},
      {"no footer signature", noSignature, 0, 0},
      {"footer offset at the end", footerOutside, 0, 0},
      {"footer offset past 2^64", data + cue + "NER5" + Be(~uint64_t{0}, 8), 0, 0},
      {"chunk list over 512 KiB", std::string(600000, '\0') + Nrg("", cue + dao), 0, 0},
      {"chunk size past the end", chunkPastEnd, 0, 0},
      {"DAO offsets past the file", Nrg(data, cue + DaoX(1, {{0, 0, 1 << 20}})), 1, 0},
      {"DAO entry for no track", Nrg(data, cue + DaoX(2, {{0, 0, 8192}})), 1, 0},
      {"DAO index 1 after the end", Nrg(data, cue + DaoX(1, {{0, 8192, 4096}})), 1, 0},
      {"ETNF offset is not LBA x size", Nrg(data, Etnf(2048, 2048, 0, 0)), 0, 0},
      {"ETNF span past the file", Nrg(data, Etnf(0, 1 << 20, 0, 0)), 0, 0},
      {"ETNF after tracks are listed", Nrg(data, cue + Etnf(0, 8192, 0, 0)), 1, 0},
      {"ETNF of an unknown mode", Nrg(data, Etnf(0, 8192, 9, 0)), 0, 0},
      {"120 tracks", manyTracks, kNrgMaxTracks, 0},
      {"pair of one track number", sameTrackPair, 0, 0},
      {"track ending before it starts", backwards, 0, 0},
      {"CD-TEXT too long for its header", Nrg(data, cue + dao + Chunk("CDTX", std::string(70000, '\x80'))), 1, 4},
  };
  const std::string path = MakeTestFolder("nrg_damaged") + "/image.nrg";
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteWholeFile(path, std::vector<uint8_t>(c.image.begin(), c.image.end()));
    CTrackTable* table = NrgOpenImage(Widen(path).c_str());
    EXPECT_EQ(table ? table->trackCount : 0, c.tracks);
    if (table) {
      EXPECT_TRUE(table->cdTextPacks.empty());
    }
    TrackTableFree(table);
    NrgDocument doc(path);
    int64_t got = -1;
    std::vector<uint8_t> sectors = doc.Read(0, 4, &got);
    EXPECT_EQ(got, c.readable);
    if (got == 4) {
      EXPECT_EQ(std::string(sectors.begin(), sectors.end()), data);
    }
  }
}

// A read across an audio track and the data track after it takes each sector from its own track: the audio
// frames' bytes 16 to 2064, the data track's 2048-byte sectors.
TEST(Nrg, ReadAcrossTracksUsesEachTracksLayout) {
  std::string audio;
  for (int s = 0; s < 2; ++s) audio += std::string(2352, static_cast<char>(0x40 + s));
  std::string data = audio + FourSectors();
  const std::string image =
      Nrg(data, CueX({{0x01, 2}, {0x41, 4}}) + DaoX(1, {{7, 0, 2 * 2352}, {0, 2 * 2352, 2 * 2352 + 8192}}));
  const std::string path = MakeTestFolder("nrg_across") + "/image.nrg";
  WriteWholeFile(path, std::vector<uint8_t>(image.begin(), image.end()));
  NrgDocument doc(path);
  int64_t got = 0;
  std::vector<uint8_t> sectors = doc.Read(1, 3, &got);
  ASSERT_EQ(got, 3);
  EXPECT_EQ(std::string(sectors.begin(), sectors.begin() + 2048), std::string(2048, '\x41'));
  EXPECT_EQ(std::string(sectors.begin() + 2048, sectors.end()), FourSectors().substr(0, 4096));
}

// A track-at-once track of 2336-byte Mode 2 blocks keeps that size (no DAO chunk follows to set it): its user
// data is read after each block's 8-byte sub-header.
TEST(Nrg, TrackAtOnceMode2BlocksKeepTheirSize) {
  std::string blocks;
  for (int s = 0; s < 4; ++s) blocks += std::string(8, '\x08') + std::string(2048, static_cast<char>(s + 1)) +
                                        std::string(280, '\0');
  const std::string image = Nrg(blocks, Etnf(0, 4 * 2336, 3, 0));
  const std::string path = MakeTestFolder("nrg_tao_mode2") + "/image.nrg";
  WriteWholeFile(path, std::vector<uint8_t>(image.begin(), image.end()));
  CTrackTable* table = NrgOpenImage(Widen(path).c_str());
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->tracks[0].sectorSize, 2336);
  EXPECT_EQ(table->tracks[0].length, 4);
  TrackTableFree(table);
  NrgDocument doc(path);
  int64_t got = 0;
  std::vector<uint8_t> sectors = doc.Read(0, 4, &got);
  EXPECT_EQ(got, 4);
  EXPECT_EQ(std::string(sectors.begin(), sectors.end()), FourSectors());
}

// The 64-bit footer reaches a chunk list above 4 GiB (the file is sparse up to it).
TEST(Nrg, FooterReachesAChunkListAbove4GiB) {
  const std::string data = FourSectors();
  const uint64_t listAt = (uint64_t{1} << 32) + 4096;
  const std::string chunks = CueX({{0x41, 4}}) + DaoX(1, {{0, 0, 8192}}) + Chunk("END!", "");
  const std::string tail = chunks + "NER5" + Be(listAt, 8);
  const std::string path = MakeTestFolder("nrg_4gib") + "/image.nrg";
  {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), file), data.size());
    ASSERT_EQ(fseeko(file, static_cast<off_t>(listAt), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(tail.data(), 1, tail.size(), file), tail.size());
    ASSERT_EQ(std::fclose(file), 0);
  }
  CTrackTable* table = NrgOpenImage(Widen(path).c_str());
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->trackCount, 1);
  EXPECT_EQ(table->tracks[0].dataEnd, 8192);
  TrackTableFree(table);
  std::filesystem::remove(path);
}

}  // namespace
