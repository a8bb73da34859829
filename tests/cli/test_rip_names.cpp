// The file names of ripped tracks and the INFO chunk of their WAV headers, from a track table's CD-TEXT.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/rip.h"
#include "formats/cdtext.h"
#include "image/cdtext_record.h"
#include "image/tracktable.h"

namespace {

struct TableDeleter {
  void operator()(CTrackTable* t) const { TrackTableFree(t); }
};
using TablePtr = std::unique_ptr<CTrackTable, TableDeleter>;

void SetText(CTrackTable* table, int32_t index, uint8_t packType, const wchar_t* text) {
  CCdTextRecord* record = CdTextGetOrCreateRecord(table, index);
  ASSERT_NE(record, nullptr);
  CdTextSetText(record, packType - kCdTextPackTitle, text, -1);
}

// Two audio tracks; the disc and the first track have texts, the second has none.
TablePtr MakeAlbum() {
  TablePtr table(TrackTableAlloc());
  table->trackCount = 2;
  for (CTrackInfo& track : table->tracks) track.mode = kTrackModeAudio;
  SetText(table.get(), -1, kCdTextPackTitle, L"Album");
  SetText(table.get(), -1, kCdTextPackPerformer, L"Band");
  SetText(table.get(), 0, kCdTextPackTitle, L"A/B: X?");
  SetText(table.get(), 0, kCdTextPackPerformer, L"Singer");
  SetText(table.get(), 0, kCdTextPackComposer, L"Writer");
  return table;
}

TEST(RipNames, TemplateTokensTakeCdTextOrTheirDefaults) {
  TablePtr table = MakeAlbum();
  const struct {
    const wchar_t* nameTemplate;
    int32_t track;
    int32_t format;
    const wchar_t* expected;
  } cases[] = {
      {L"|#-|t", 0, kAudioFormatWav, L"out/01-A B  X .wav"},
      {L"|#-|t", 1, kAudioFormatMp3, L"out/02-Track02.mp3"},
      {L"|p - |c - |T - |P - |C", 0, kAudioFormatFlac,
       L"out/Singer - Writer - Album - Band - Unknown Album Composer.flac"},
      {L"|p|c", 1, kAudioFormatWav, L"out/Unknown Track ArtistUnknown Track composer.wav"},
      // Not a token: the mark and the letter stay; the template's own breaking characters become blanks.
      {L"|x|#", 1, kAudioFormatOgg, L"out/|x02.ogg"},
      {L"a/b:|#", 1, kAudioFormatApe, L"out/a b 02.ape"},
      {L"|", 1, kAudioFormatWma, L"out/|.wma"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nameTemplate << " track " << c.track);
    EXPECT_EQ(std::wstring(RipExpandNameTemplate(c.nameTemplate, table.get(), c.track, L"out", c.format).c_str()),
              c.expected);
  }
}

TEST(RipNames, InfoChunkHoldsTheTextsPaddedToEvenAndWholeWords) {
  TablePtr table = MakeAlbum();
  // IPRD "Album" (6, even), IART "Singer" (7, padded), INAM "A/B: X?" (8): 12 + 14 + 16 + 16 = 58, then 60.
  std::vector<uint8_t> chunk(64);
  FILE* file = fmemopen(chunk.data(), chunk.size(), "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(WavBuildInfoChunk(file, table.get(), 0), 60u);
  std::fclose(file);
  const std::string bytes(chunk.begin(), chunk.begin() + 60);
  EXPECT_EQ(bytes.substr(0, 4), "LIST");
  EXPECT_EQ(bytes[4], 52);
  EXPECT_EQ(bytes.substr(8, 4), "INFO");
  EXPECT_EQ(bytes.substr(12, 14), std::string("IPRD\x06\0\0\0Album\0", 14));
  EXPECT_EQ(bytes.substr(26, 16), std::string("IART\x07\0\0\0Singer\0\0", 16));
  EXPECT_EQ(bytes.substr(42, 16), std::string("INAM\x08\0\0\0A/B: X?\0", 16));
  EXPECT_EQ(bytes.substr(58, 2), std::string("\0\0", 2));
  // The second track has only the album title; a table without texts gives no chunk.
  EXPECT_EQ(WavBuildInfoChunk(nullptr, table.get(), 1), 12u + 14u + 2u);
  TablePtr bare(TrackTableAlloc());
  bare->trackCount = 1;
  EXPECT_EQ(WavBuildInfoChunk(nullptr, bare.get(), 0), 0u);
}

}  // namespace
