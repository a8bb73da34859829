// Raw 2352-byte sector reads through a track table: generated gaps, stored gaps, stored sector sizes, whole-group
// counting and damaged tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "image/cdsector.h"
#include "image/document.h"
#include "session/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"

namespace {

constexpr int64_t kRaw = 2352;
using Bytes = std::vector<uint8_t>;

// 2048 bytes of user data that say which sector they belong to.
Bytes UserData(int64_t sector) {
  Bytes data(2048);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(sector * 13 + i * 7 + 1);
  return data;
}

Bytes Mode1Sector(int64_t sector, const Bytes& data) {
  Bytes raw(kRaw);
  CdEncodeMode1Sector(sector, data.data(), raw.data());
  return raw;
}

// Audio samples: bytes with no sector structure at all.
Bytes AudioSector(int64_t sector) {
  Bytes raw(kRaw);
  uint32_t x = static_cast<uint32_t>(sector) * 2654435761u + 12345;
  for (uint8_t& b : raw) {
    x = x * 1103515245u + 12345;
    b = static_cast<uint8_t>(x >> 24);
  }
  return raw;
}

void Append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

FILE* FileWith(const Bytes& bytes) {
  FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  if (!bytes.empty()) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  }
  std::fflush(file);
  return file;
}

CTrackInfo& AddTrack(CTrackTable* table, uint8_t mode, int32_t start, int32_t length, int32_t sectorSize,
                     int64_t dataOffset, int64_t dataEnd) {
  CTrackInfo& track = table->tracks[table->trackCount++];
  track.mode = mode;
  track.start = start;
  track.length = length;
  track.sectorSize = sectorSize;
  track.dataOffset = dataOffset;
  track.dataEnd = dataEnd;
  return track;
}

// A document over `bytes` with an empty track table; the document owns both.
struct RawImage {
  explicit RawImage(const Bytes& bytes) : document(ImageAlloc()) {
    document->input = FileWith(bytes);
    document->trackTable = TrackTableAlloc();
    document->trackTable->sessionCount = 1;
  }
  ~RawImage() { ImageClose(document); }
  CTrackTable* table() { return document->trackTable; }
  CImageDocument* document;
};

// A disc of three tracks:
//   0: Mode 1, pregap of 150 not stored, sectors 150..159 at file sector 0;
//   1: audio, pregap of 2 stored (sectors 160, 161 at file sectors 10, 11), sectors 162..171 at file sectors 12..21;
//   2: Mode 1 in a file of its own as 2048-byte sectors, sectors 172..176, post-gap of 3 not stored (177..179).
struct Disc : RawImage {
  Disc() : RawImage(MainFile()) {
    CTrackInfo& data = AddTrack(table(), kTrackModeMode1, 150, 10, 2352, 0, 10 * kRaw);
    data.pregap = 150;
    CTrackInfo& audio = AddTrack(table(), kTrackModeAudio, 162, 10, 2352, 12 * kRaw, 22 * kRaw);
    audio.pregap = audio.pregapStored = 2;
    Bytes cooked;
    for (int64_t s = 172; s < 177; ++s) Append(cooked, UserData(s));
    CTrackInfo& last = AddTrack(table(), kTrackModeMode1, 172, 5, 2048, 0, static_cast<int64_t>(cooked.size()));
    last.postgap = 3;
    last.file = FileWith(cooked);
  }
  static Bytes MainFile() {
    Bytes bytes;
    for (int64_t s = 150; s < 160; ++s) Append(bytes, Mode1Sector(s, UserData(s)));
    for (int64_t s = 160; s < 172; ++s) Append(bytes, AudioSector(s));
    return bytes;
  }
  // What a raw read of the whole disc must give, built sector by sector.
  static Bytes Expected() {
    Bytes bytes;
    const Bytes zeros(2048, 0);
    for (int64_t s = 0; s < 180; ++s) {
      if (s < 150 || s >= 177)
        Append(bytes, Mode1Sector(s, zeros));
      else if (s < 160 || s >= 172)
        Append(bytes, Mode1Sector(s, UserData(s)));
      else
        Append(bytes, AudioSector(s));
    }
    return bytes;
  }
};

TEST(RawReads, GeneratedPregapHoldsSoundMode1SectorsAtTheirAddresses) {
  Disc disc;
  Bytes raw(150 * kRaw);
  ASSERT_EQ(ImageReadRawSectors(disc.document, 0, raw.data(), 150), 150);
  for (int64_t s = 0; s < 150; ++s) {
    const uint8_t* sector = raw.data() + s * kRaw;
    ASSERT_EQ(CdCheckMode1Sector(sector, s), 0) << s;
    ASSERT_EQ(std::count(sector + 16, sector + 2064, 0), 2048) << s;
  }
}

TEST(RawReads, WholeDiscCrossesSpansTracksAndFiles) {
  Disc disc;
  const Bytes expected = Disc::Expected();
  Bytes raw(180 * kRaw);
  ASSERT_EQ(ImageReadRawSectors(disc.document, 0, raw.data(), 180), 180);
  for (int64_t s = 0; s < 180; ++s)
    ASSERT_EQ(std::memcmp(raw.data() + s * kRaw, expected.data() + s * kRaw, kRaw), 0) << "sector " << s;

  // Runs that start inside a track, and runs that reach past the disc or start before it.
  struct Case {
    int64_t sector, n, tracks, groups;
  } cases[] = {
      {148, 20, 20, 20},   // generated pregap, track, stored pregap, audio
      {170, 10, 10, 10},   // audio, 2048-byte track from its own file, generated post-gap
      {175, 10, 5, 0},     // past the last post-gap
      {-1, 3, 0, 0},       // before the first pregap
      {178, 2, 2, 2},
  };
  for (const Case& c : cases) {
    Bytes part(static_cast<size_t>(c.n) * kRaw);
    EXPECT_EQ(ImageReadRawTracks(disc.document, c.sector, part.data(), c.n), c.tracks) << c.sector;
    EXPECT_EQ(ImageReadRawSectors(disc.document, c.sector, part.data(), c.n), c.groups) << c.sector;
    if (c.groups == c.n) {
      EXPECT_EQ(std::memcmp(part.data(), expected.data() + c.sector * kRaw, part.size()), 0) << c.sector;
    }
  }
}

TEST(RawReads, FindTrackOfSector) {
  Disc disc;
  const std::pair<int64_t, int32_t> cases[] = {{-1, -1}, {0, 0}, {159, 0}, {160, 1}, {171, 1},
                                                {172, 2}, {179, 2}, {180, -1}, {INT64_MIN, -1}, {INT64_MAX, -1}};
  for (const auto& [sector, track] : cases) EXPECT_EQ(ImageFindTrackOfSector(disc.document, sector), track) << sector;

  // A hole between tracks belongs to none, and a raw read stops at it.
  disc.table()->tracks[2].start = 185;
  EXPECT_EQ(ImageFindTrackOfSector(disc.document, 175), -1);
  EXPECT_EQ(ImageFindTrackOfSector(disc.document, 185), 2);
  Bytes raw(20 * kRaw);
  EXPECT_EQ(ImageReadRawTracks(disc.document, 165, raw.data(), 20), 7);
  EXPECT_EQ(ImageReadRawSectors(disc.document, 165, raw.data(), 20), 0);
}

TEST(RawReads, GapSectorsFollowTheTrackMode) {
  enum Kind { kZeros, kMode1, kForm1, kForm2 };
  const std::pair<uint8_t, Kind> cases[] = {{0, kZeros}, {1, kZeros}, {2, kMode1}, {3, kMode1}, {4, kForm1},
                                            {5, kForm1}, {6, kForm2}, {7, kZeros}, {8, kForm1}, {0x99, kZeros}};
  for (const auto& [mode, kind] : cases) {
    Bytes raw(2 * kRaw, 0xAA);
    TrackMakeGapSectors(mode, -2, 2, raw.data());
    for (int64_t i = 0; i < 2; ++i) {
      const uint8_t* sector = raw.data() + i * kRaw;
      const int64_t number = -2 + i;
      switch (kind) {
        case kZeros:
          EXPECT_EQ(std::count(sector, sector + kRaw, 0), kRaw) << int{mode};
          break;
        case kMode1:
          EXPECT_EQ(CdCheckMode1Sector(sector, number), 0) << int{mode};
          EXPECT_EQ(std::count(sector + 16, sector + 2064, 0), 2048) << int{mode};
          break;
        case kForm1:
          EXPECT_EQ(CdCheckMode2Form1Sector(sector, number), 0) << int{mode};
          EXPECT_EQ(std::count(sector + 24, sector + 2072, 0), 2048) << int{mode};
          break;
        case kForm2: {
          // Address 00:01:73 or 00:01:74, mode 2, sub-mode 0x20 in both copies, EDC over 16..2347.
          const uint8_t header[4] = {0x00, 0x01, static_cast<uint8_t>(0x74 - 1 + i), 2};
          EXPECT_EQ(std::memcmp(sector + 12, header, 4), 0);
          EXPECT_EQ(sector[18], 0x20);
          EXPECT_EQ(sector[22], 0x20);
          uint32_t edc;
          std::memcpy(&edc, sector + 2348, 4);
          EXPECT_EQ(edc, CdComputeEdc(sector + 16, 2332));
          EXPECT_EQ(std::count(sector + 24, sector + 2348, 0), 2324);
          break;
        }
      }
    }
  }
}

TEST(RawReads, StoredSectorSizesBecomeRawSectors) {
  using Check = std::function<void(const uint8_t* raw, int64_t sector, const uint8_t* stored)>;
  const Check mode1 = [](const uint8_t* raw, int64_t sector, const uint8_t* stored) {
    EXPECT_EQ(CdCheckMode1Sector(raw, sector), 0);
    EXPECT_EQ(std::memcmp(raw + 16, stored, 2048), 0);
  };
  const Check form1 = [](const uint8_t* raw, int64_t sector, const uint8_t* stored) {
    EXPECT_EQ(CdCheckMode2Form1Sector(raw, sector), 0);
    EXPECT_EQ(std::memcmp(raw + 24, stored, 2048), 0);
  };
  const Check form2 = [](const uint8_t* raw, int64_t, const uint8_t* stored) {
    EXPECT_EQ(raw[15], 2);
    EXPECT_EQ(raw[18], 0x20);
    EXPECT_EQ(std::memcmp(raw + 24, stored, 2048), 0);
    EXPECT_EQ(std::count(raw + 24 + 2048, raw + 2348, 0), 2324 - 2048);
    uint32_t edc;
    std::memcpy(&edc, raw + 2348, 4);
    EXPECT_EQ(edc, CdComputeEdc(raw + 16, 2332));
  };
  const Check block = [](const uint8_t* raw, int64_t sector, const uint8_t* stored) {
    Bytes mode1 = Mode1Sector(sector, Bytes(2048));
    EXPECT_EQ(std::memcmp(raw, mode1.data(), 15), 0);  // sync and address
    EXPECT_EQ(raw[15], 2);
    EXPECT_EQ(std::memcmp(raw + 16, stored, 2336), 0);
  };
  const Check prefix = [](const uint8_t* raw, int64_t, const uint8_t* stored) {
    EXPECT_EQ(std::memcmp(raw, stored, kRaw), 0);
  };
  struct Case {
    int32_t size;
    uint8_t mode;
    Check check;
  } cases[] = {
      {2048, kTrackModeMode1, mode1}, {2048, 3, mode1},    {2048, kTrackModeAudio, mode1}, {2048, 0x99, mode1},
      {2048, 4, form1},               {2048, 8, form1},    {2048, kTrackModeMode2Form2, form2},
      {2336, 4, block},               {2448, 1, prefix},   {2368, 2, prefix},
      {2340, 2, nullptr},             {2000, 2, nullptr},  // sizes with no raw form end the read
  };
  constexpr int64_t kHeader = 100;
  constexpr int32_t kStart = 40;
  constexpr int64_t kSectors = 300;  // more than one batch of 2448-byte sectors
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " mode " << int{c.mode});
    Bytes file(kHeader, 0xEE);
    for (int64_t s = 0; s < kSectors; ++s) {
      Bytes stored = AudioSector(s);
      stored.resize(static_cast<size_t>(c.size), static_cast<uint8_t>(s));
      Append(file, stored);
    }
    RawImage image(file);
    AddTrack(image.table(), c.mode, kStart, kSectors, c.size, kHeader, static_cast<int64_t>(file.size()));
    Bytes raw(kSectors * kRaw);
    const int64_t got = ImageReadRawTracks(image.document, kStart, raw.data(), kSectors);
    if (!c.check) {
      EXPECT_EQ(got, 0);
      continue;
    }
    ASSERT_EQ(got, kSectors);
    EXPECT_EQ(ImageReadRawSectors(image.document, kStart + 1, raw.data(), 10), 10);
    ASSERT_EQ(ImageReadRawTracks(image.document, kStart, raw.data(), kSectors), kSectors);
    for (int64_t s = 0; s < kSectors; ++s) c.check(raw.data() + s * kRaw, kStart + s, file.data() + kHeader + s * c.size);
  }
}

TEST(RawReads, OnlyWholeGroupsCount) {
  // A track that claims 200 sectors over a file that holds 150: the second group of 128 fails.
  Bytes file;
  for (int64_t s = 0; s < 150; ++s) Append(file, Mode1Sector(s, UserData(s)));
  Bytes raw(200 * kRaw);
  for (int64_t dataEnd : {200 * kRaw, 150 * kRaw}) {
    RawImage image(file);
    AddTrack(image.table(), kTrackModeMode1, 0, 200, 2352, 0, dataEnd);
    EXPECT_EQ(ImageReadRawSectors(image.document, 0, raw.data(), 200), 128);
    EXPECT_EQ(ImageReadRawTracks(image.document, 0, raw.data(), 200), 150);
    EXPECT_EQ(std::memcmp(raw.data(), file.data(), file.size()), 0);
  }

  // A data end inside the last sector: that sector's missing bytes read as zeros, and the sectors past it fail.
  RawImage cut(file);
  AddTrack(cut.table(), kTrackModeMode1, 0, 200, 2352, 0, 149 * kRaw + 100);
  std::fill(raw.begin(), raw.end(), 0xAA);
  EXPECT_EQ(ImageReadRawTracks(cut.document, 0, raw.data(), 200), 150);
  EXPECT_EQ(std::memcmp(raw.data(), file.data(), 149 * kRaw + 100), 0);
  EXPECT_EQ(std::count(raw.begin() + 149 * kRaw + 100, raw.begin() + 150 * kRaw, 0), kRaw - 100);

  // Without a track table: 2352-byte images only, all or nothing.
  RawImage plain(file);
  TrackTableFree(plain.document->trackTable);
  plain.document->trackTable = nullptr;
  plain.document->sectorSize = 2352;
  EXPECT_EQ(ImageReadRawSectors(plain.document, 10, raw.data(), 140), 140);
  EXPECT_EQ(std::memcmp(raw.data(), file.data() + 10 * kRaw, 140 * kRaw), 0);
  EXPECT_EQ(ImageReadRawSectors(plain.document, 10, raw.data(), 141), 0);
  plain.document->sectorSize = 2048;
  EXPECT_EQ(ImageReadRawSectors(plain.document, 0, raw.data(), 1), 0);
}

TEST(RawReads, DamagedTablesReadNothingOutside) {
  // One Mode 1 track of 4 sectors at file offset 0, then one change.
  struct Case {
    const char* what;
    std::function<void(CTrackTable*)> damage;
    int64_t sector, n, delivered;
  } cases[] = {
      {"sound", [](CTrackTable*) {}, 0, 4, 4},
      {"negative data offset", [](CTrackTable* t) { t->tracks[0].dataOffset = -1; }, 0, 4, 0},
      {"data end before the offset",
       [](CTrackTable* t) {
         t->tracks[0].dataOffset = 2 * kRaw;
         t->tracks[0].dataEnd = kRaw;
       },
       0, 4, 0},
      {"negative data end", [](CTrackTable* t) { t->tracks[0].dataEnd = INT64_MIN; }, 0, 4, 0},
      {"data offset near the top",
       [](CTrackTable* t) {
         t->tracks[0].dataOffset = INT64_MAX - 10;
         t->tracks[0].dataEnd = INT64_MAX;
       },
       0, 4, 0},
      {"huge stored pregap",
       [](CTrackTable* t) { t->tracks[0].pregap = t->tracks[0].pregapStored = INT32_MAX; }, -3, 4, 0},
      {"huge pregap before a low start",
       [](CTrackTable* t) {
         t->tracks[0].start = INT32_MIN;
         t->tracks[0].pregap = INT32_MAX;
       },
       int64_t{INT32_MIN} - INT32_MAX, 2, 2},
      {"stored post-gap larger than the post-gap",
       [](CTrackTable* t) {
         t->tracks[0].postgap = 2;
         t->tracks[0].postgapStored = INT32_MAX;
         t->tracks[0].dataEnd = INT64_MAX;
       },
       2, 6, 2},
      {"huge length", [](CTrackTable* t) { t->tracks[0].length = INT32_MAX; t->tracks[0].dataEnd = INT64_MAX; }, 2, 4, 2},
      {"negative length", [](CTrackTable* t) { t->tracks[0].length = -5; }, 0, 1, 0},
      {"negative gaps",
       [](CTrackTable* t) {
         t->tracks[0].pregap = t->tracks[0].postgap = -7;
         t->tracks[0].pregapStored = t->tracks[0].postgapStored = -9;
       },
       0, 5, 4},
      {"huge sector size", [](CTrackTable* t) { t->tracks[0].sectorSize = INT32_MAX; }, 1, 2, 0},
      {"huge sector size, far sector",
       [](CTrackTable* t) {
         t->tracks[0].sectorSize = INT32_MAX;
         t->tracks[0].length = INT32_MAX;
         t->tracks[0].dataEnd = INT64_MAX;
       },
       INT32_MAX - 2, 2, 0},
      {"zero sector size", [](CTrackTable* t) { t->tracks[0].sectorSize = 0; }, 0, 4, 0},
      {"negative sector size", [](CTrackTable* t) { t->tracks[0].sectorSize = -2352; }, 0, 4, 0},
      {"count past the array", [](CTrackTable* t) { t->trackCount = 1000; }, 0, 4, 4},
      {"negative count", [](CTrackTable* t) { t->trackCount = -1; }, 0, 4, 0},
  };
  Bytes file;
  for (int64_t s = 0; s < 4; ++s) Append(file, Mode1Sector(s, UserData(s)));
  for (const Case& c : cases) {
    RawImage image(file);
    AddTrack(image.table(), kTrackModeMode1, 0, 4, 2352, 0, 4 * kRaw);
    c.damage(image.table());
    Bytes raw(static_cast<size_t>(c.n) * kRaw);
    EXPECT_EQ(ImageReadRawTracks(image.document, c.sector, raw.data(), c.n), c.delivered) << c.what;
  }
}

TEST(RawReads, HookedAndDriveTracks) {
  Disc disc;
  Bytes raw(10 * kRaw, 0xAA);
  disc.table()->tracks[0].hook = &disc;  // any interface object: it answers for the stored spans
  EXPECT_EQ(ImageReadRawTracks(disc.document, 150, raw.data(), 10), 10);
  EXPECT_EQ(std::count(raw.begin(), raw.end(), 0), 10 * kRaw);
  disc.table()->tracks[0].hook = nullptr;

  // Without a drive layer, a drive serves only the generated gaps.
  disc.document->deviceFlag = 1;
  EXPECT_EQ(ImageReadRawTracks(disc.document, 145, raw.data(), 10), 5);
  EXPECT_EQ(CdCheckMode1Sector(raw.data() + 4 * kRaw, 149), 0);
}

TEST(RawReads, SelectTrackAndWriteRawAudio) {
  Disc disc;
  disc.table()->tracks[1].sectorSize = 2336;
  disc.table()->tracks[1].dataOffset = 777;
  disc.table()->tracks[0].sectorSize = 2448;
  const struct {
    int32_t track, size;
    int64_t header;
  } cases[] = {{2, 2048, 0}, {1, 2336, 777}, {0, 2352, 0}, {3, 2352, 0}, {-1, 2352, 0}};
  for (const auto& c : cases) {
    disc.document->userDataOffset = 16;
    ImageSelectTrack(disc.document, c.track);
    EXPECT_EQ(disc.document->sectorSize, c.size) << c.track;
    EXPECT_EQ(disc.document->headerSize, c.header) << c.track;
  }
  EXPECT_EQ(disc.document->userDataOffset, 16);  // an index outside the table changed nothing
  TrackTableFree(disc.document->trackTable);
  disc.document->trackTable = nullptr;
  ImageSelectTrack(disc.document, 0);
  EXPECT_EQ(disc.document->sectorSize, 2048);
  EXPECT_EQ(disc.document->userDataOffset, 0);

  // Raw audio goes at the output's current position, call after call.
  Bytes audio;
  for (int64_t s = 0; s < 5; ++s) Append(audio, AudioSector(s));
  EXPECT_EQ(ImageWriteRawAudio(disc.document, audio.data(), 2), 0);  // no output
  disc.document->output = std::tmpfile();
  ASSERT_NE(disc.document->output, nullptr);
  EXPECT_EQ(ImageWriteRawAudio(disc.document, audio.data(), 2), 2);
  EXPECT_EQ(ImageWriteRawAudio(disc.document, audio.data() + 2 * kRaw, 3), 3);
  EXPECT_EQ(ImageWriteRawAudio(disc.document, audio.data(), 0), 0);
  Bytes back(audio.size() + 1);
  std::rewind(disc.document->output);
  EXPECT_EQ(std::fread(back.data(), 1, back.size(), disc.document->output), audio.size());
  back.pop_back();
  EXPECT_EQ(back, audio);
}

}  // namespace
