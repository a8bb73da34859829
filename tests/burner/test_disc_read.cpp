// Reading a disc's layout and its sectors against the simulated recorder: pressed CDs from a BIN and its CUE
// sheet (data and audio, Mode 2, two sessions), DVDs blank, pressed and overwritable, and sectors that cannot be
// read, with the retries, the question and its answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "burner/disc_read.h"
#include "burner/media.h"
#include "burner/sim_child.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/ui.h"

namespace {

// A BIN of raw sectors whose bytes tell the sector apart; data sectors carry their mode byte at 15.
void WriteBin(const std::string& path, int64_t sectors, const std::vector<std::pair<int64_t, int>>& modes) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> sector(2352);
  for (int64_t s = 0; s < sectors; ++s) {
    for (size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<char>((s * 7 + i) & 0xFF);
    int mode = 0;
    for (auto [from, m] : modes)
      if (s >= from) mode = m;
    if (mode) sector[15] = static_cast<char>(mode);
    out.write(sector.data(), sector.size());
  }
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A data image of `sectors` 2048-byte blocks with an ISO 9660 primary descriptor that claims `volumeSectors`.
void WriteIsoHead(const std::string& path, int64_t sectors, uint32_t volumeSectors) {
  std::vector<char> data(static_cast<size_t>(sectors) * 2048, 0);
  char* pvd = data.data() + 16 * 2048;
  pvd[0] = 1;
  std::memcpy(pvd + 1, "CD001", 5);
  for (int i = 0; i < 4; ++i) pvd[80 + i] = static_cast<char>(volumeSectors >> (8 * i));
  std::ofstream(path, std::ios::binary).write(data.data(), data.size());
}

struct Opened {
  explicit Opened(int drive) {
    scsi.retryDelayMs = 1;
    scsi.longDelayMs = 1;
    fd = RawFileOpen((L"/dev/sg" + std::to_wstring(drive)).c_str());
  }
  ~Opened() {
    if (fd > 0) RawFileClose(fd);
  }
  CScsiContext scsi;
  int fd = 0;
};

// The pressed discs of the layout tests, one drive each.
void PressLayoutDiscs(const std::string& state) {
  for (int i = 0; i < 10; ++i) Sim(state, {"create-drive", std::to_string(i)});
  WriteBin(state + "/mixed.bin", 2000, {{0, 1}, {750, 0}});
  WriteText(state + "/mixed.cue",
            "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
            "    INDEX 00 00:10:00\n    INDEX 01 00:12:00\n  TRACK 03 AUDIO\n    INDEX 01 00:20:00\n");
  Sim(state, {"press", state + "/d0", "cd-rom", state + "/mixed.bin", "--cue", state + "/mixed.cue"});
  WriteBin(state + "/two.bin", 1000, {{600, 2}});
  WriteText(state + "/two.cue",
            "FILE \"two.bin\" BINARY\nREM SESSION 01\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
            "    INDEX 01 00:04:00\nREM SESSION 02\n  TRACK 03 MODE2/2352\n    INDEX 01 00:08:00\n");
  Sim(state, {"press", state + "/d1", "cd-rom", state + "/two.bin", "--cue", state + "/two.cue"});
  Sim(state, {"make-disc", state + "/d2", "dvd-r", "blank"});
  WriteIsoHead(state + "/dvd.iso", 5000, 5000);
  Sim(state, {"press", state + "/d3", "dvd-rom", state + "/dvd.iso"});
  WriteIsoHead(state + "/rw.iso", 10000, 10000);
  Sim(state, {"make-disc", state + "/d4", "dvd+rw", "formatted", "--from", state + "/rw.iso"});
  Sim(state, {"make-disc", state + "/d5", "dvd+rw", "formatted"});
  Sim(state, {"press", state + "/d7", "dvd+r", state + "/dvd.iso", "--sessions", "1008"});
  Sim(state, {"press", state + "/d8", "bd-rom", state + "/dvd.iso"});
  WriteBin(state + "/xa.bin", 300, {{0, 2}});
  WriteText(state + "/xa.cue", "FILE \"xa.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n");
  Sim(state, {"press", state + "/d9", "cd-rom", state + "/xa.bin", "--cue", state + "/xa.cue"});
  for (int i = 0; i < 10; ++i)
    if (i != 6) Sim(state, {"insert", std::to_string(i), state + "/d" + std::to_string(i)});
  // Drive 6 stays empty.
}

struct TrackWant {
  int mode, start, length, pregap, postgap, session;
};

void ExpectTracks(const CTrackTable& table, const std::vector<TrackWant>& want) {
  ASSERT_EQ(table.trackCount, static_cast<int>(want.size()));
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    const CTrackInfo& t = table.tracks[i];
    EXPECT_EQ(t.mode, want[i].mode);
    EXPECT_EQ(t.start, want[i].start);
    EXPECT_EQ(t.length, want[i].length);
    EXPECT_EQ(t.pregap, want[i].pregap);
    EXPECT_EQ(t.postgap, want[i].postgap);
    EXPECT_EQ(t.session, want[i].session);
  }
}

TEST(DiscTrackList, LayoutsOfPressedAndRecordableDiscs) {
  if (!InSimulator(PressLayoutDiscs)) return;
  struct Case {
    int drive;
    int makingImage;
    int result;
    int sessions;
    int sectorSize;
    int status;
    int multisession;
    std::vector<TrackWant> tracks;
  } cases[] = {
      // Data then audio: the audio track's pregap is read from the gap between track size and TOC length.
      {0, 0, 1, 1, 2352, 2, 1, {{2, 0, 750, 0, 0, 0}, {1, 900, 600, 150, 0, 0}, {1, 1500, 500, 0, 0, 0}}},
      // While an image is made the data track keeps its last two sectors as a post-gap.
      {0, 1, 1, 1, 2352, 2, 1, {{2, 0, 748, 0, 2, 0}, {1, 900, 600, 150, 0, 0}, {1, 1500, 500, 0, 0, 0}}},
      // Audio session, then a Mode 2 session behind the lead-out and lead-in.
      {1, 0, 1, 2, 2352, 2, 1, {{1, 0, 300, 0, 0, 0}, {1, 300, 300, 0, 0, 0}, {4, 12000, 400, 0, 0, 1}}},
      {2, 0, 1, 0, 2048, 0, 0, {}},                        // blank DVD-R
      {3, 0, 1, 1, 2048, 2, 0, {{2, 0, 5000, 0, 0, 0}}},   // DVD-ROM
      {4, 0, 1, 1, 2048, 1, 0, {{2, 0, 10000, 0, 0, 0}}},  // DVD+RW trimmed to its volume, appendable
      {5, 0, 1, 0, 2048, 2, 0, {}},                        // DVD+RW never written: empty
      {6, 0, 0, 0, 0, 0, 0, {}},                           // no disc
      {7, 0, 1, 2, 2048, 2, 1, {{2, 0, 1008, 0, 0, 0}, {2, 1008, 3992, 0, 0, 1}}},  // DVD+R of two sessions
      {8, 0, 1, 1, 2048, 2, 0, {{2, 0, 5000, 0, 0, 0}}},                            // BD-ROM
      {9, 0, 1, 1, 2352, 2, 0, {{4, 0, 300, 0, 0, 0}}},                             // Mode 2 CD
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "drive " << c.drive << " making " << c.makingImage);
    Opened drive(c.drive);
    ASSERT_GT(drive.fd, 0);
    CTrackTable* table = TrackTableAlloc();
    ASSERT_EQ(DiscReadTrackList(&drive.scsi, drive.fd, table, L"/dev/sg", c.makingImage), c.result);
    if (c.result == 1) {
      EXPECT_EQ(table->sessionCount, c.sessions);
      if (!c.tracks.empty() || c.drive == 2) {
        EXPECT_EQ(table->sectorSizeMode, c.sectorSize);
      }
      EXPECT_EQ(table->discStatus, c.status);
      EXPECT_EQ(table->multisession, c.multisession);
      EXPECT_EQ(table->notCd, c.drive >= 2 && c.drive != 9 ? 1 : 0);
      ExpectTracks(*table, c.tracks);
    }
    TrackTableFree(table);
  }
}

// The console of the retry tests: scripted answers, and what was shown.
struct ScriptedUi {
  std::deque<std::wstring> answers;
  std::wstring shown;
  bool yes = false;
  std::function<void()> onAnswer;
};
ScriptedUi* g_script = nullptr;

const CUserInterface kScriptedUi = [] {
  CUserInterface ui{};
  ui.assumeYes = [] { return g_script->yes ? 1 : 0; };
  ui.printText = [](const wchar_t* text, int32_t n) { g_script->shown.append(text, n); };
  ui.readLine = [](wchar_t* buffer, int32_t capacity) -> wchar_t* {
    if (g_script->answers.empty()) return nullptr;
    std::wstring a = g_script->answers.front();
    g_script->answers.pop_front();
    if (g_script->onAnswer) g_script->onAnswer();
    std::wcsncpy(buffer, a.c_str(), capacity - 1);
    buffer[capacity - 1] = 0;
    return buffer;
  };
  return ui;
}();

int CountReads(int drive, const char* opcode) {
  std::ifstream in(SimState() + "/sg" + std::to_string(drive) + "/cdb.log");
  std::string line;
  int n = 0;
  while (std::getline(in, line)) n += line.rfind(std::string("cdb=") + opcode, 0) == 0;
  return n;
}

void ClearLog(int drive) { std::ofstream(SimState() + "/sg" + std::to_string(drive) + "/cdb.log", std::ios::trunc); }

struct RetryFixture {
  RetryFixture() {
    g_script = &script;
    UiInstall(&kScriptedUi);
    AbortCodeSet(0);
    ClearLog(0);
  }
  ~RetryFixture() {
    UiInstall(nullptr);
    g_script = nullptr;
    AbortCodeSet(0);
  }
  ScriptedUi script;
  Opened drive{0};
  CDiscReadState state;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(64 * 2352, 0xEE);
};

void PressRetryDisc(const std::string& state) {
  Sim(state, {"create-drive", "0"});
  WriteBin(state + "/data.bin", 400, {{0, 1}});
  WriteText(state + "/data.cue", "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
  Sim(state, {"press", state + "/d0", "cd-rom", state + "/data.bin", "--cue", state + "/data.cue"});
  Sim(state, {"unreadable", state + "/d0", "100", "1"});
  Sim(state, {"unreadable", state + "/d0", "200", "40"});
  Sim(state, {"insert", "0", state + "/d0"});
}

bool SectorIsZero(const std::vector<uint8_t>& buffer, int index, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (buffer[index * size + i] != 0) return false;
  return true;
}

TEST(DiscSectorRetry, AttemptsByGapDistance) {
  EXPECT_EQ(DiscRetryCount(0), 10);
  EXPECT_EQ(DiscRetryCount(1), 5);
  EXPECT_EQ(DiscRetryCount(2), 5);
  EXPECT_EQ(DiscRetryCount(3), 1);
  EXPECT_EQ(DiscRetryCount(150), 1);
  EXPECT_EQ(DiscRetryCount(151), 0);
}

TEST(DiscSectorRetry, UnreadableSectorInsideATrackAsksAndIsIgnored) {
  if (!InSimulator(PressRetryDisc)) return;
  RetryFixture f;
  f.script.answers = {L"what", L"IGNORE"};
  int skipped = 0;
  ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 96, 16, 1, 1, 0, L"/dev/sg0",
                                     &skipped),
            1);
  // One batch, then each sector alone: 15 readable ones once, the bad one 11 times.
  EXPECT_EQ(CountReads(0, "be"), 1 + 15 + 11);
  EXPECT_TRUE(SectorIsZero(f.buffer, 4, 2352));
  EXPECT_FALSE(SectorIsZero(f.buffer, 3, 2352));
  EXPECT_EQ(f.buffer[3 * 2352 + 20], static_cast<uint8_t>((99 * 7 + 20) & 0xFF));
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(f.state.zeroFilledSectors, 1);
  EXPECT_EQ(f.state.ignoreAll, 0);
  // An answer that is none of the four asks again.
  size_t asked = 0;
  for (size_t at = 0; (at = f.script.shown.find(L"(Retry/Cancel/Ignore/IgnoreAll):", at)) != std::wstring::npos; ++at)
    ++asked;
  EXPECT_EQ(asked, 2u);
}

// The time-outs of the READ CD commands in the log, in order.
std::vector<uint64_t> ReadTimeouts(int drive) {
  std::ifstream in(SimState() + "/sg" + std::to_string(drive) + "/cdb.log");
  std::vector<uint64_t> timeouts;
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(" timeout=");
    if (line.rfind("cdb=be", 0) == 0 && at != std::string::npos) timeouts.push_back(std::stoull(line.substr(at + 9)));
  }
  return timeouts;
}

TEST(DiscSectorRetry, TimeOutsShortenWithFailuresInARowWhileAnImageIsMade) {
  if (!InSimulator(PressRetryDisc)) return;
  RetryFixture f;
  f.script.answers = {L"Ignore"};
  f.drive.scsi.readingDevice = f.drive.fd;
  ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 96, 16, 1, 1, 0, L"/dev/sg0",
                                     nullptr),
            1);
  const std::vector<uint64_t> timeouts = ReadTimeouts(0);
  ASSERT_EQ(timeouts.size(), 1u + 15 + 11);
  const uint64_t full = timeouts[0];
  ASSERT_GE(full, 2000u);
  // After the failed request: sector 96 with one failure behind it, 97..99 after a success.
  EXPECT_EQ(timeouts[1], full / 2000 * 1000);
  EXPECT_EQ(timeouts[2], full);
  // Sector 100 fails 11 times: each attempt halves once more, never below a second.
  for (int k = 0; k < 11; ++k) {
    uint64_t expected = full / 1000;
    for (int i = 0; i < k && expected > 1; ++i) expected /= 2;
    EXPECT_EQ(timeouts[5 + k], std::max<uint64_t>(expected, 1) * 1000) << k;
  }
  // Sector 101 follows the sector given up on, with the failures in a row still counted; once it is read the
  // time-out is whole again.
  EXPECT_EQ(timeouts[16], 1000u);
  EXPECT_EQ(timeouts[17], full);
}

TEST(DiscSectorRetry, GapSectorsAreZeroFilledAfterOneAttempt) {
  if (!InSimulator(PressRetryDisc)) return;
  RetryFixture f;
  int skipped = 0;
  ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 100, 1, 1, 1, 200,
                                     L"/dev/sg0", &skipped),
            1);
  EXPECT_EQ(CountReads(0, "be"), 2);  // the request, then the sector's single attempt
  EXPECT_EQ(skipped, 1);
  EXPECT_TRUE(f.script.shown.find(L"(Retry") == std::wstring::npos);
}

TEST(DiscSectorRetry, DataReadsTryTwiceAndFailWithoutAsking) {
  if (!InSimulator(PressRetryDisc)) return;
  RetryFixture f;
  EXPECT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 100, 1, 0, 0, 0, L"/dev/sg0",
                                     nullptr),
            0);
  EXPECT_EQ(CountReads(0, "28"), 1 + 2);
}

TEST(DiscSectorRetry, EndOfInputCancelsAndYesIgnores) {
  if (!InSimulator(PressRetryDisc)) return;
  {
    RetryFixture f;
    EXPECT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 100, 1, 0, 1, 0,
                                       L"/dev/sg0", nullptr),
              0);
    EXPECT_EQ(f.state.cancelled, 1);
    EXPECT_EQ(AbortCodeGet(), kAbortCancelled);
  }
  {
    RetryFixture f;
    f.script.yes = true;
    EXPECT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 100, 1, 0, 1, 0,
                                       L"/dev/sg0", nullptr),
              1);
    EXPECT_EQ(f.state.cancelled, 0);
    EXPECT_EQ(f.state.zeroFilledSectors, 1);
    EXPECT_TRUE(SectorIsZero(f.buffer, 0, 2048));
  }
}

TEST(DiscSectorRetry, RetryReadsTheSectorAgain) {
  if (!InSimulator(PressRetryDisc)) return;
  RetryFixture f;
  f.script.answers = {L"Retry"};
  // The disc recovers while the question is open (a changed disc folder is read again by the drive).
  const std::string disc = SimState() + "/d0";
  f.script.onAnswer = [disc] {
    std::remove((disc + "/unreadable.txt").c_str());
    std::filesystem::last_write_time(disc + "/disc.txt", std::filesystem::file_time_type::clock::now());
  };
  ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 100, 1, 1, 1, 0, L"/dev/sg0",
                                     nullptr),
            1);
  EXPECT_EQ(f.buffer[20], static_cast<uint8_t>((100 * 7 + 20) & 0xFF));
  EXPECT_EQ(f.state.zeroFilledSectors, 0);
}

TEST(DiscSectorRetry, IgnoreAllPassesOverAFailingStretch) {
  if (!InSimulator(PressRetryDisc)) return;
  RetryFixture f;
  f.script.answers = {L"ignoreall"};
  // Sectors 200..239 fail: one sector a request, each failing request adds its attempts to the failure count.
  int64_t lba = 200;
  ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), lba++, 1, 1, 1, 0,
                                     L"/dev/sg0", nullptr),
            1);
  EXPECT_EQ(f.state.ignoreAll, 1);
  // 12 failed attempts so far; the next request pushes the count past 15.
  ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), lba++, 1, 1, 1, 0,
                                     L"/dev/sg0", nullptr),
            1);
  ClearLog(0);
  // The next request is zero-filled at once and so are the 15 after it, without a read.
  for (int i = 0; i < 16; ++i)
    ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), lba++, 1, 1, 1, 0,
                                       L"/dev/sg0", nullptr),
              1);
  EXPECT_EQ(CountReads(0, "be"), 0);
  EXPECT_EQ(f.state.zeroFilledSectors, 18);
  // Then reading resumes.
  ASSERT_EQ(DiscReadSectorsWithRetry(&f.drive.scsi, f.drive.fd, &f.state, f.buffer.data(), 300, 1, 1, 1, 0, L"/dev/sg0",
                                     nullptr),
            1);
  EXPECT_EQ(CountReads(0, "be"), 1);
}

}  // namespace
