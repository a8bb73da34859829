// Media detection against the simulated recorder: every medium it knows, drives with quirks (a profile that
// says DVD-ROM for a DVD+R, no GET CONFIGURATION, answers with wrong lengths), names and families, and where a
// further session can start.
#include <gtest/gtest.h>

#include <cstring>

#include "burner/media.h"
#include "burner/mmc.h"
#include "burner/sim_child.h"
#include "filesystems/udf.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "session/document.h"
#include "tree/tree.h"

namespace {

struct MediaCase {
  const char* media;
  const char* state;
  const char* driveOptions;  // for simdrive create-drive, space-separated
  int code;
  const wchar_t* name;
  uint32_t freeBlocks;  // of track 1 on a blank disc; 0: not checked
};

const MediaCase kMediaCases[] = {
    {"cd-rom", "closed", "", 1, L"CD-ROM", 0},
    {"cd-r", "blank", "", 2, L"CD-R", 359849},
    {"cd-rw", "appendable", "", 3, L"CD-RW", 0},
    {"dvd-rom", "closed", "", 16, L"DVD-ROM", 0},
    {"dvd-r", "blank", "", 17, L"DVD-R", 2298496},
    {"dvd-r-dl", "blank", "", 23, L"DVD-R DL", 4171712},
    {"dvd-rw", "blank", "", 18, L"DVD-RW", 2298496},
    {"dvd-rw-ro", "formatted", "", 19, L"DVD-RW", 0},
    {"dvd+r", "blank", "", 21, L"DVD+R", 2295104},
    {"dvd+r-dl", "closed", "", 24, L"DVD+R DL", 0},
    {"dvd+rw", "formatted", "", 22, L"DVD+RW", 0},
    {"dvd-ram", "formatted", "", 20, L"DVD-RAM", 0},
    {"bd-rom", "closed", "", 32, L"BD-ROM", 0},
    {"bd-r", "blank", "", 33, L"BD-R", 12219392},
    {"bd-r-pow", "appendable", "", 34, L"BD-R", 0},
    {"bd-r-dl", "blank", "", 36, L"BD-R DL", 24438784},
    {"bd-r-rrm", "formatted", "", 35, L"BD-R", 0},
    {"bd-re", "formatted", "", 39, L"BD-RE", 0},
    {"bd-re-dl", "blank", "", 40, L"BD-RE DL", 0},
    {"", "", "", 0, L"No Disc", 0},
    // A drive that reports the DVD-ROM profile for a DVD+R disc; drives without GET CONFIGURATION.
    {"dvd+r", "blank", "--profile 0x10", 21, L"DVD+R", 0},
    {"cd-r", "blank", "--legacy", 2, L"CD-R", 0},
    {"cd-rw", "blank", "--legacy", 3, L"CD-RW", 0},
    {"dvd+rw", "formatted", "--legacy", 22, L"DVD+RW", 0},
    {"dvd-r-dl", "blank", "--legacy", 23, L"DVD-R DL", 0},
    {"bd-re-dl", "formatted", "--legacy", 40, L"BD-RE DL", 0},
    // Answers whose lengths and counts are wrong still give the medium.
    {"dvd+r", "blank", "--bad-lengths", 21, L"DVD+R", 0},
    {"bd-r-dl", "blank", "--bad-lengths", 36, L"BD-R DL", 0},
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t sp = text.find(' ', at);
    if (sp == std::string::npos) sp = text.size();
    if (sp > at) out.push_back(text.substr(at, sp - at));
    at = sp + 1;
  }
  return out;
}

}  // namespace

TEST(MediaDetect, EveryMediumAndDriveQuirk) {
  if (!InSimulator([](const std::string& state) {
        for (size_t i = 0; i < std::size(kMediaCases); ++i) {
          const MediaCase& c = kMediaCases[i];
          std::vector<std::string> create = {"create-drive", std::to_string(i)};
          for (const std::string& o : Split(c.driveOptions)) create.push_back(o);
          Sim(state, create);
          if (!*c.media) continue;
          std::string disc = state + "/disc" + std::to_string(i);
          Sim(state, {"make-disc", disc, c.media, c.state});
          Sim(state, {"insert", std::to_string(i), disc});
        }
      }))
    return;
  for (size_t i = 0; i < std::size(kMediaCases); ++i) {
    const MediaCase& c = kMediaCases[i];
    SCOPED_TRACE(std::string(c.media) + " " + c.driveOptions);
    CScsiContext scsi;
    std::wstring path = L"/dev/sg" + std::to_wstring(i);
    int fd = RawFileOpen(path.c_str());
    ASSERT_GT(fd, 0);
    int code = MediaDetectType(&scsi, fd);
    EXPECT_EQ(code, c.code);
    EXPECT_STREQ(MediaTypeName(code), c.name);
    if (c.freeBlocks) {
      uint32_t nwa = 1, free = 0;
      ASSERT_EQ(MmcGetNextWritableAddress(&scsi, fd, 1, 1, &nwa, &free), 1);
      EXPECT_EQ(nwa, 0u);
      EXPECT_EQ(free, c.freeBlocks);
    }
    RawFileClose(fd);
  }
}

TEST(MediaDetect, NamesFamiliesAndRefinements) {
  EXPECT_STREQ(MediaTypeName(27), L"Unknown Disc Type");
  EXPECT_STREQ(MediaTypeName(255), L"Unknown Disc Type");
  EXPECT_STREQ(MediaTypeName(47), L"BD-R QL");
  EXPECT_EQ(MediaCodeOfProfile(0x16), 23);
  EXPECT_EQ(MediaCodeOfProfile(0x44), 255);
  for (int code : {2, 3, 17, 21, 23, 24, 33, 36, 41, 45}) EXPECT_TRUE(MediaIsWriteOnce(code)) << code;
  for (int code : {19, 20, 22, 25, 26, 39, 40, 44, 48}) EXPECT_TRUE(MediaIsOverwritable(code)) << code;
  EXPECT_FALSE(MediaIsWriteOnce(18));
  EXPECT_TRUE(MediaIsRewritable(18));
  EXPECT_FALSE(MediaIsRewritable(21));
  // Book types of the DVD physical format; a layer count of two makes a DVD-R a DVD-R DL.
  std::vector<uint8_t> pfi(8, 0);
  pfi[1] = 6;
  pfi[4] = 0x21;
  EXPECT_EQ(MediaCodeOfDvdStructure(pfi.data(), pfi.size()), 17);
  pfi[6] = 0x20;
  EXPECT_EQ(MediaCodeOfDvdStructure(pfi.data(), pfi.size()), 23);
  pfi[4] = 0xF1;
  EXPECT_EQ(MediaCodeOfDvdStructure(pfi.data(), pfi.size()), -1);
  EXPECT_EQ(MediaCodeOfDvdStructure(pfi.data(), 4), -1);
  // BD disc information: type letter and layers; a unit cut short decides nothing.
  std::vector<uint8_t> di(4 + 64, 0);
  di[1] = 66;
  std::memcpy(&di[4], "DI", 2);
  std::memcpy(&di[12], "BDR", 3);
  di[16] = 0x31;
  EXPECT_EQ(MediaRefineByBdStructure(255, di.data(), di.size()), 41);
  EXPECT_EQ(MediaRefineByBdStructure(255, di.data(), 10), 255);
  di[1] = 6;  // the answer claims fewer bytes than the unit needs
  EXPECT_EQ(MediaRefineByBdStructure(255, di.data(), di.size()), 255);
  std::vector<uint8_t> atip(8, 0);
  atip[1] = 6;
  atip[6] = 0x40;
  EXPECT_EQ(MediaCodeOfAtip(atip.data(), atip.size()), 3);
  atip[1] = 2;
  EXPECT_EQ(MediaCodeOfAtip(atip.data(), atip.size()), -1);
}

TEST(MediaAppend, WhereAFurtherSessionStarts) {
  if (!InSimulator([](const std::string& state) {
        const char* discs[][2] = {{"dvd+r", "appendable"}, {"dvd+r", "closed"},    {"dvd-rom", "closed"},
                                  {"dvd+rw", "formatted"}, {"bd-re", "formatted"}, {"dvd-rw", "appendable"},
                                  {"cd-r", "appendable"}};
        for (int i = 0; i < 7; ++i) {
          Sim(state, {"create-drive", std::to_string(i)});
          std::string disc = state + "/disc" + std::to_string(i);
          Sim(state, {"make-disc", disc, discs[i][0], discs[i][1]});
          Sim(state, {"insert", std::to_string(i), disc});
        }
      }))
    return;
  struct Case {
    int drive;
    uint32_t flags;
    int64_t dataEnd;
    int result;
    int64_t start;
  } cases[] = {
      {0, 0, 1000, 1, 1008},                          // write-once: the next track's NWA (after the ECC block)
      {1, 0, 1000, kAppendClosed, 0},                 // closed disc
      {2, 0, 1000, kAppendNotWritable, 0},            // pressed disc
      {3, kTrackTableFurtherSession, 100, 1, 320},    // overwritable: the image end, at least 320
      {3, kTrackTableFurtherSession, 1000, 1, 1008},  // rounded to 16 on DVD
      {4, kTrackTableFurtherSession, 1000, 1, 1024},  // to 32 on BD
      {3, 0, 1000, kAppendClosed, 0},                 // the file system allows no further session
      {5, 0, 1000, kAppendClosed, 0},                 // DVD-RW in sequential recording
      {6, 0, 1000, 1, 1000 + 11400},                  // CD: after lead-out, lead-in and pregap
      {3, kTrackTableFurtherSession | 0x100, 1000, kAppendClosed, 0},  // a UDF file in two pieces
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive);
    CScsiContext scsi;
    std::wstring path = L"/dev/sg" + std::to_wstring(c.drive);
    int fd = RawFileOpen(path.c_str());
    ASSERT_GT(fd, 0);
    CImageDocument* document = ImageAlloc();
    ASSERT_NE(document, nullptr);
    document->trackTable = TrackTableAlloc();
    CTrackTable* table = document->trackTable;
    table->discMode = MediaDetectType(&scsi, fd);
    table->flags = c.flags & ~0x100u;
    CUdfVolume udf{};
    if (c.flags & 0x100) {
      // A UDF volume whose one file has two extents with a gap between them.
      document->udfVolume = &udf;
      CTreeFolder* root = TreeInsertFolderNode(document, nullptr, L"/", nullptr, 0);
      ASSERT_NE(root, nullptr);
      CTreeEntry* file = TreeNewEntry();
      file->extents = static_cast<CTreeExtent*>(MemAlloc(2 * sizeof(CTreeExtent)));
      file->extents[0] = {400, 4096};
      file->extents[1] = {600, 4096};
      file->extentCount = 2;
      TreeFolderPrependEntry(root, file);
      document->treeOwned = 1;
    }
    table->sessionCount = 1;
    table->trackCount = 1;
    table->firstTrackNumber = 1;
    table->tracks[0].start = 0;
    table->tracks[0].length = 1000;
    int32_t track = 0;
    int64_t start = -1, end = -1;
    EXPECT_EQ(DiscGetAppendStart(&scsi, fd, document, c.dataEnd, &track, &start, &end), c.result);
    if (c.result == 1) {
      EXPECT_EQ(track, 2);
      EXPECT_EQ(start, c.start);
      EXPECT_EQ(end, c.start);
    } else {
      EXPECT_EQ(end, 1000);
    }
    document->udfVolume = nullptr;  // on the stack
    ImageClose(document);
    RawFileClose(fd);
  }
}
