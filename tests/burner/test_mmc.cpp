// MMC commands: the answer parsers on hand-made answers, and the commands and their waits against the simulated
// recorder (CDBs checked in its log, retries bounded in count and in time).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "burner/mmc.h"
#include "burner/sim_child.h"
#include "runtime/file.h"

namespace {

std::string ReadLog() {
  std::ifstream in(SimState() + "/sg0/cdb.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<uint8_t> TrackAnswer(uint8_t flags, uint32_t start, uint32_t nwa, uint32_t free) {
  std::vector<uint8_t> a(48, 0);
  a[1] = 46;
  a[7] = flags;
  for (int i = 0; i < 4; ++i) {
    a[8 + i] = static_cast<uint8_t>(start >> (24 - 8 * i));
    a[12 + i] = static_cast<uint8_t>(nwa >> (24 - 8 * i));
    a[16 + i] = static_cast<uint8_t>(free >> (24 - 8 * i));
  }
  return a;
}

// A tiny CScsiContext whose waits do not slow the tests down.
CScsiContext FastContext() {
  CScsiContext scsi;
  scsi.retryDelayMs = 0;
  scsi.longDelayMs = 1;
  return scsi;
}

int OpenSg0() { return RawFileOpen(L"/dev/sg0"); }

void DriveWithDisc(const std::string& state, const std::string& media, const std::string& how) {
  Sim(state, {"create-drive", "0"});
  Sim(state, {"make-disc", state + "/disc", media, how});
  Sim(state, {"insert", "0", state + "/disc"});
}

}  // namespace

TEST(MmcParsers, NextWritableAddressRules) {
  struct Case {
    uint8_t flags;
    uint32_t start, nwa;
    int strict;
    int ok;
    uint32_t address;
  } cases[] = {
      {1, 11250, 11400, 1, 1, 11400},  // NWA at start + 150 (a CD session's pregap)
      {1, 1000, 1000, 1, 1, 1000},     // NWA at the start
      {1, 1000, 1200, 0, 1, 1000},     // elsewhere: the start, when not strict
      {1, 1000, 1200, 1, 0, 0},        // strict refuses it
      {1, 0, 150, 1, 0, 0},            // a start of 0 takes no pregap rule
      {0, 1000, 1000, 0, 0, 0},        // NWA not valid
  };
  for (const Case& c : cases) {
    auto a = TrackAnswer(c.flags, c.start, c.nwa, 777);
    uint32_t address = 0, free = 0;
    EXPECT_EQ(MmcParseNextWritable(a.data(), a.size(), c.strict, &address, &free), c.ok) << c.start << " " << c.nwa;
    if (c.ok) {
      EXPECT_EQ(address, c.address);
      EXPECT_EQ(free, 777u);
    }
  }
  auto a = TrackAnswer(1, 0, 0, 1);
  EXPECT_EQ(MmcParseNextWritable(a.data(), 19, 0, nullptr, nullptr), 0);  // free blocks did not arrive
}

TEST(MmcParsers, FormatCapacityChoices) {
  std::vector<uint8_t> a = {0, 0, 0, 8 * 4, 0, 0x10, 0, 0, 0x02, 0, 0x08, 0};  // header, current descriptor
  auto add = [&](uint32_t blocks, int type, uint32_t param) {
    for (int i = 0; i < 4; ++i) a.push_back(static_cast<uint8_t>(blocks >> (24 - 8 * i)));
    a.push_back(static_cast<uint8_t>(type << 2));
    a.push_back(static_cast<uint8_t>(param >> 16));
    a.push_back(static_cast<uint8_t>(param >> 8));
    a.push_back(static_cast<uint8_t>(param));
  };
  add(500, 0x30, 1);
  add(900, 0x30, 2);
  add(100, 0x31, 3);
  uint32_t blocks, param;
  ASSERT_EQ(MmcParseFormatCapacity(a.data(), a.size(), 0x30, 0, &blocks, &param), 1);
  EXPECT_EQ(blocks, 500u);
  ASSERT_EQ(MmcParseFormatCapacity(a.data(), a.size(), 0x30, 1, &blocks, &param), 1);
  EXPECT_EQ(param, 2u);
  ASSERT_EQ(MmcParseFormatCapacity(a.data(), a.size(), 0x30, 2, &blocks, &param), 1);
  EXPECT_EQ(blocks, 500u);
  EXPECT_EQ(MmcParseFormatCapacity(a.data(), a.size(), 0x30, 3, &blocks, &param), 0);
  EXPECT_EQ(MmcParseFormatCapacity(a.data(), a.size(), 0x26, 0, &blocks, &param), 0);
  // Only the current/maximum descriptor: nothing to format with. A list longer than the answer is cut.
  a[3] = 8;
  EXPECT_EQ(MmcParseFormatCapacity(a.data(), a.size(), 0x30, 0, &blocks, &param), 0);
  a[3] = 0xF8;
  ASSERT_EQ(MmcParseFormatCapacity(a.data(), a.size() - 4, 0x31, 0, &blocks, &param), 0);
  ASSERT_EQ(MmcParseFormatCapacity(a.data(), a.size(), 0x31, 0, &blocks, &param), 1);
}

TEST(MmcParsers, TocAndModePageAreBoundedByWhatArrived) {
  std::vector<uint8_t> toc = {0xFF, 0xFF, 1, 0xFF};
  for (int t = 1; t <= 3; ++t) toc.insert(toc.end(), {0, 0x14, static_cast<uint8_t>(t), 0, 0, 0, 0, 0});
  uint8_t tracks[200];
  uint32_t addresses[200];
  EXPECT_EQ(MmcParseToc(toc.data(), toc.size() - 3, tracks, addresses, 200), 2);
  std::vector<uint8_t> many(4 + 8 * 150, 0);
  many[0] = 0x04, many[1] = 0xB2;
  EXPECT_EQ(MmcParseToc(many.data(), many.size(), tracks, addresses, 200), 100);

  std::vector<uint8_t> mode(8 + 0x34, 0);
  mode[1] = static_cast<uint8_t>(mode.size() - 2);
  mode[8] = 0x05;
  mode[9] = 0x32;
  EXPECT_EQ(MmcParseWriteParametersPage(mode.data(), mode.size()), 8);
  mode[9] = 0x10;  // too short to be a write parameters page
  EXPECT_EQ(MmcParseWriteParametersPage(mode.data(), mode.size()), -1);
  mode[9] = 0x32;
  mode[8] = 0x2A;  // another page
  EXPECT_EQ(MmcParseWriteParametersPage(mode.data(), mode.size()), -1);
  mode[8] = 0x05;
  EXPECT_EQ(MmcParseWriteParametersPage(mode.data(), 30), -1);
}

TEST(MmcCommands, CdbsAndAnswersOnABlankDisc) {
  if (!InSimulator([](const std::string& state) { DriveWithDisc(state, "bd-re", "blank"); })) return;
  CScsiContext scsi = FastContext();
  int fd = OpenSg0();
  ASSERT_GT(fd, 0);
  EXPECT_EQ(MmcReserveTrack(&scsi, fd, 1000), 0);                            // no track to reserve on a BD-RE
  EXPECT_NE(ReadLog().find("cdb=5300000000000003f000"), std::string::npos);  // 1,000 rounded up to 1,008
  // A 13-character time stamp is refused before any command goes out.
  EXPECT_EQ(MmcSendDiscTimestamp(&scsi, fd, "2026121102475"), 0);
  EXPECT_EQ(ReadLog().find("cdb=bf"), std::string::npos);
  // The formattable list: 0x30 descriptors; the largest and the smallest are found.
  uint32_t most = 0, fewest = 0, param = 0;
  ASSERT_EQ(MmcFindFormatCapacity(&scsi, fd, 0x30, 1, &most, &param), 1);
  ASSERT_EQ(MmcFindFormatCapacity(&scsi, fd, 0x30, 2, &fewest, &param), 1);
  EXPECT_GT(most, fewest);
  EXPECT_EQ(MmcFindFormatCapacity(&scsi, fd, 0x26, 0, &most, &param), 0);
  EXPECT_EQ(MmcFormatUnit(&scsi, fd, fewest, 0x30, 0, param, 0, 5), 1);
  EXPECT_EQ(MmcReadCapacity(&scsi, fd), static_cast<int64_t>(fewest));
  EXPECT_EQ(MmcIsDiscBlank(&scsi, fd), 0);
  std::vector<uint8_t> page;
  ASSERT_EQ(MmcModeSensePage(&scsi, fd, 0x05, 0, &page), 1);
  EXPECT_EQ(MmcParseWriteParametersPage(page.data(), page.size()), 8);
  EXPECT_EQ(MmcCanReadCdText(&scsi, fd), 1);  // the drive reads CD-Text, whatever the disc
  RawFileClose(fd);
}

TEST(MmcCommands, WriteReadAndBlankCheck) {
  if (!InSimulator([](const std::string& state) { DriveWithDisc(state, "dvd-r", "blank"); })) return;
  CScsiContext scsi = FastContext();
  int fd = OpenSg0();
  ASSERT_GT(fd, 0);
  EXPECT_EQ(MmcIsDiscBlank(&scsi, fd), 1);
  uint32_t nwa = 99, free = 0;
  ASSERT_EQ(MmcGetNextWritableAddress(&scsi, fd, 1, 1, &nwa, &free), 1);
  EXPECT_EQ(nwa, 0u);
  EXPECT_EQ(free, 2298496u);
  std::vector<uint8_t> data(32 * 2048);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251 + (i >= 16 * 2048));
  std::fill(data.begin(), data.begin() + 16 * 2048, 0);
  ASSERT_EQ(MmcWrite10(&scsi, fd, 0, data.data(), data.size(), 2048), 1);
  std::vector<uint8_t> back(32 * 2048);
  uint32_t length = 0;
  ASSERT_EQ(MmcRead10(&scsi, fd, 0, 32, back.data(), &length), 1);
  EXPECT_EQ(length, 32u * 2048);
  EXPECT_EQ(back, data);
  EXPECT_EQ(MmcCheckSectorsBlank(&scsi, fd, 0, 16, 2048), 1);
  EXPECT_EQ(MmcCheckSectorsBlank(&scsi, fd, 8, 10, 2048), 0);
  EXPECT_EQ(MmcCheckSectorsBlank(&scsi, fd, 30, 10, 2048), -1);  // runs past what was written
  std::vector<uint8_t> raw(2 * 2352);
  ASSERT_EQ(MmcReadCd(&scsi, fd, 16, 2, raw.data()), 1);
  EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 16, raw.begin() + 16 + 2048),
            std::vector<uint8_t>(data.begin() + 16 * 2048, data.begin() + 17 * 2048));
  EXPECT_EQ(MmcIsDiscBlank(&scsi, fd), 0);
  RawFileClose(fd);
}

TEST(MmcCommands, WriteRetriesAreBoundedInCountAndTime) {
  if (!InSimulator([](const std::string& state) {
        DriveWithDisc(state, "dvd+r", "blank");
        // Three writes: the first meets 1,000 long-write-in-progress answers, the second becoming-ready without
        // end, the third in-progress without end.
        Sim(state, {"fault", "0", "0x2A", "1", "1000", "2", "0x04", "0x08"});
        Sim(state, {"fault", "0", "0x2A", "1002", "400", "6", "0x29", "0x00"});
        Sim(state, {"fault", "0", "0x2A", "1303", "0", "2", "0x04", "0x07"});
      }))
    return;
  CScsiContext scsi = FastContext();
  int fd = OpenSg0();
  ASSERT_GT(fd, 0);
  std::vector<uint8_t> block(2048, 1);
  EXPECT_EQ(MmcWrite10(&scsi, fd, 0, block.data(), 2048, 2048), 1);
  EXPECT_EQ(Count(ReadLog(), "cdb=2a"), 1001u);
  EXPECT_EQ(MmcWrite10(&scsi, fd, 1, block.data(), 2048, 2048), 0);
  EXPECT_EQ(Count(ReadLog(), "cdb=2a"), 1001u + 301);
  scsi.writeRetryBudgetMs = 300;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(MmcWrite10(&scsi, fd, 1, block.data(), 2048, 2048), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  RawFileClose(fd);
}

TEST(MmcCommands, WaitUnitReadyEndsOnAnswersThatCannotChange) {
  if (!InSimulator([](const std::string& state) {
        DriveWithDisc(state, "cd-rw", "blank");
        Sim(state, {"fault", "0", "0x00", "1", "3", "2", "0x04", "0x01"});  // becoming ready 3 times
        Sim(state, {"fault", "0", "0x00", "5", "1", "4", "0x44", "0x00"});  // hardware failure
        Sim(state, {"fault", "0", "0x00", "6", "1", "5", "0x24", "0x00"});  // illegal request
        Sim(state, {"fault", "0", "0x00", "7", "0", "2", "0x04", "0x04"});  // format in progress for ever
      }))
    return;
  CScsiContext scsi = FastContext();
  int fd = OpenSg0();
  ASSERT_GT(fd, 0);
  EXPECT_EQ(MmcWaitUnitReady(&scsi, fd, 2), 0);  // three attempts, all becoming ready
  EXPECT_EQ(MmcWaitUnitReady(&scsi, fd, 5), 1);  // the fourth answers ready
  EXPECT_EQ(MmcWaitUnitReady(&scsi, fd, 50), 0);
  EXPECT_EQ(MmcWaitUnitReady(&scsi, fd, 50), 0);
  EXPECT_EQ(Count(ReadLog(), "cdb=000000000000"), 6u);  // neither of the last two waited
  EXPECT_EQ(MmcWaitUnitReady(&scsi, fd, 10), 0);        // eleven attempts, then it gives up
  EXPECT_EQ(Count(ReadLog(), "cdb=000000000000"), 17u);
  EXPECT_EQ(MmcBlank(&scsi, fd, 1, 1, 0), 0);  // blanking done, the drive still formats
  RawFileClose(fd);
}
