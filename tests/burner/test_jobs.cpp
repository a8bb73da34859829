// Burn jobs against the simulated recorder: set-up and its refusals, the messages of a run, the result of the
// command, the erase question, and the stage sequence; the writers are small test stages that drive the
// simulated disc through the MMC layer.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "burner/sim_child.h"
#include "image/document.h"
#include "runtime/file.h"
#include "runtime/ui.h"
#include "session/document.h"

namespace {

std::wstring g_console;
std::vector<std::wstring> g_answers;

void CapturePrint(const wchar_t* text, int32_t n) { g_console.append(text, n); }
wchar_t* ScriptedLine(wchar_t* buffer, int32_t capacity) {
  if (g_answers.empty()) return nullptr;
  std::wstring a = g_answers.front();
  g_answers.erase(g_answers.begin());
  std::wcsncpy(buffer, a.c_str(), capacity - 1);
  buffer[capacity - 1] = 0;
  return buffer;
}

const CUserInterface kCaptureUi = [] {
  CUserInterface ui{};
  ui.printText = CapturePrint;
  ui.readLine = ScriptedLine;
  return ui;
}();

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::string ReadLog(int drive) {
  std::ifstream in(SimState() + "/sg" + std::to_string(drive) + "/cdb.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A run on /dev/sgN with a document of plain 2048-byte sectors, and writers that put 16 sectors on the disc.
struct TestRun {
  explicit TestRun(int drive) {
    UiInstall(&kCaptureUi);
    g_console.clear();
    run.drivePath = L"/dev/sg" + std::to_wstring(drive);
    run.jobType = kBurnJobBurn;
    run.scsi.retryDelayMs = 0;
    run.scsi.longDelayMs = 1;
    run.stagePollMs = 1;
    document = ImageAlloc();
    document->sectorSize = 2048;
    run.document = document;
    run.stages.prepareDestination = [](CBurnJob*) { return 0; };
    run.stages.bufferCreate = [](CBurnJob*, CImageDocument*, int32_t) { return 1; };
    run.stages.writeDvdImage = [](CBurnJob* job) {
      std::vector<uint8_t> data(16 * 2048, 0x5A);
      return MmcWrite10(&job->run->scsi, job->device, 0, data.data(), data.size(), 2048);
    };
    run.stages.writeCdImage = run.stages.writeDvdImage;
  }
  ~TestRun() {
    ImageClose(document);
    UiInstall(nullptr);
  }
  std::string Console() const { return Narrow(g_console); }

  CBurnRun run;
  CImageDocument* document;
};

void Drive(const std::string& state, int n, const std::string& media, const std::string& how,
           std::vector<std::string> options = {}) {
  std::vector<std::string> create = {"create-drive", std::to_string(n)};
  create.insert(create.end(), options.begin(), options.end());
  Sim(state, create);
  if (media.empty()) return;
  std::string disc = state + "/disc" + std::to_string(n);
  Sim(state, {"make-disc", disc, media, how});
  Sim(state, {"insert", std::to_string(n), disc});
}

}  // namespace

TEST(BurnJobs, WriteSpeedOfTheSpeedSwitch) {
  EXPECT_EQ(BurnSpeedFromSetting(2, 8), 11080);
  EXPECT_EQ(BurnSpeedFromSetting(1, 10), 1760);
  EXPECT_EQ(BurnSpeedFromSetting(3, 2), 8990);
  EXPECT_EQ(BurnSpeedFromSetting(1, 2.5), 440);
  EXPECT_EQ(BurnSpeedFromSetting(0, 0), -1);
  EXPECT_EQ(BurnSpeedFromSetting(2, 0), -1);
  EXPECT_EQ(BurnSpeedFromSetting(2, 1e12), -1);
}

TEST(BurnJobs, MessagesProgressAndPrefix) {
  CBurnRun run;
  UiInstall(&kCaptureUi);
  g_console.clear();
  BurnJobsReset(&run);
  std::wcscpy(run.jobs[0].devicePath, L"/dev/sg4");
  BurnJobPrint(&run.jobs[0], kBurnLevelWarning, L"%ls %d", L"plain", 7);
  EXPECT_EQ(run.messageError, 0);
  run.severalDrives = 1;
  BurnJobPrint(&run.jobs[0], kBurnLevelError, L"prefixed");
  EXPECT_EQ(run.messageError, 1);
  BurnJobPrintForDevice(&run, L"/dev/sg12345678901234567890123456789", kBurnLevelInfo, L"long path");
  EXPECT_EQ(Narrow(g_console),
            "plain 7\r\n[Drive /dev/sg4:] prefixed\r\n"
            "[Drive /dev/sg1234567890123456789012345:] long path\r\n");
  // A text past 8,192 characters is cut, not lost.
  g_console.clear();
  std::wstring longText(10000, L'x');
  BurnJobPrintString(&run, nullptr, kBurnLevelInfo, longText);
  EXPECT_EQ(g_console.size(), 8191u + 2);
  // Status lines never reach the console.
  g_console.clear();
  BurnJobSetStatus(&run, &run.jobs[0], kBurnLevelInfo, L"status %d", 3);
  EXPECT_EQ(g_console, L"");
  EXPECT_EQ(run.statusText, L"[Drive /dev/sg4:] status 3");
  EXPECT_EQ(BurnJobSetProgress(&run.jobs[0], 5, 10), 50u);
  EXPECT_EQ(BurnJobSetProgress(&run.jobs[0], UINT64_MAX / 2, 3), 100u);
  EXPECT_EQ(BurnJobSetProgress(&run.jobs[0], 5, 0), 0u);
  UiInstall(nullptr);
}

TEST(BurnJobs, SetUpRefusesWhatIsNoRecorder) {
  if (!InSimulator([](const std::string& state) {
        Drive(state, 0, "dvd+r", "blank", {"--inquiry-type", "0"});
        Drive(state, 1, "", "");
      }))
    return;
  for (const wchar_t* path : {L"/dev/sg0", L"/dev/sg7"}) {  // a disk that takes SG_IO; no such device
    TestRun t(0);
    t.run.drivePath = path;
    EXPECT_EQ(BurnJobsRunAll(&t.run), -1);
    EXPECT_EQ(t.Console(), "Error opening device " + Narrow(path) + ".\r\n");
  }
  EXPECT_EQ(ReadLog(0).find("cdb=2a"), std::string::npos);
  EXPECT_EQ(ReadLog(0).find("cdb=46"), std::string::npos);  // not even probed for a medium
  TestRun erase(0);
  EXPECT_EQ(BurnJobsRunErase(&erase.run), -1);
  EXPECT_EQ(ReadLog(0).find("cdb=a1"), std::string::npos);

  TestRun none(1);
  EXPECT_EQ(BurnJobsRunAll(&none.run), -1);
  EXPECT_EQ(none.Console(), "Media detect failed, or no media in the drive.\r\nBurning failed\r\n");
}

TEST(BurnJobs, BurnRunsTheStagesAndReportsTheOutcome) {
  if (!InSimulator([](const std::string& state) {
        Drive(state, 0, "dvd+r", "blank");
        Drive(state, 1, "dvd+r", "blank");
        Drive(state, 2, "bd-r-rrm", "formatted");
        Drive(state, 3, "dvd+r", "appendable");
        Drive(state, 4, "dvd+r", "blank");
        Drive(state, 5, "dvd+r", "blank");
      }))
    return;
  {
    TestRun t(0);
    EXPECT_EQ(BurnJobsRunAll(&t.run), 0);
    EXPECT_EQ(t.Console(), "Media detected: DVD+R\r\nBurning completed successfully.\r\n");
    EXPECT_EQ(t.run.jobs[0].stage, 11);
    EXPECT_EQ(t.run.jobs[0].active, 0);
    EXPECT_EQ(t.run.sectorSize, 2048);
    EXPECT_EQ(t.run.resultText, L"Burning completed successfully.");
    EXPECT_NE(ReadLog(0).find("cdb=2a00000000000000100"), std::string::npos);
  }
  {
    // An error message on the way, then success: completed with warnings, and the command succeeds.
    TestRun t(1);
    t.run.stages.writeDvdImage = [](CBurnJob* job) {
      BurnJobPrint(job, kBurnLevelError, L"Something went wrong.");
      return 1;
    };
    EXPECT_EQ(BurnJobsRunAll(&t.run), 0);
    EXPECT_NE(t.Console().find("Something went wrong.\r\nBurning completed with warnings.\r\n"), std::string::npos);
  }
  {
    TestRun t(2);
    EXPECT_EQ(BurnJobsRunAll(&t.run), -1);
    EXPECT_EQ(t.Console(),
              "Media detected: BD-R\r\nThe disc (BD-R) in the drive has been formatted as random recording mode "
              "(RRM), burning is not supported.\r\nBurning failed\r\n");
    EXPECT_EQ(ReadLog(2).find("cdb=2a"), std::string::npos);
  }
  {
    // A writer whose write failed: "Burning failed" carries the drive's code.
    TestRun t(3);
    t.run.stages.writeDvdImage = [](CBurnJob* job) {
      std::vector<uint8_t> data(2048);
      return MmcWrite10(&job->run->scsi, job->device, 5, data.data(), data.size(), 2048);
    };
    EXPECT_EQ(BurnJobsRunAll(&t.run), -1);
    uint8_t sense[18] = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0x02};
    char expected[64];
    std::snprintf(expected, sizeof expected, "Burning failed (%08x).\r\n", ScsiErrorFromSense(0x2A, sense));
    EXPECT_NE(t.Console().find(expected), std::string::npos) << t.Console();
  }
  {
    // A refused destination ends the job without writing; the command fails, a cancel does not.
    TestRun t(4);
    t.run.stages.prepareDestination = [](CBurnJob* job) {
      BurnJobPrint(job, kBurnLevelError, L"The disc is not empty.");
      return -1;
    };
    EXPECT_EQ(BurnJobsRunAll(&t.run), -1);
    EXPECT_EQ(t.Console(), "Media detected: DVD+R\r\nThe disc is not empty.\r\n");
    t.run.stages.prepareDestination = [](CBurnJob*) { return 1; };
    g_console.clear();
    EXPECT_EQ(BurnJobsRunAll(&t.run), 0);
    EXPECT_EQ(ReadLog(4).find("cdb=2a"), std::string::npos);
  }
  {
    // A raw image cannot go to a DVD; a failed verification fails the command, though not as a failed burn.
    TestRun t(5);
    t.document->sectorSize = 2352;
    EXPECT_EQ(BurnJobsRunAll(&t.run), -1);
    EXPECT_NE(t.Console().find("The selected files/tracks can only be burned to a CD.\r\n"), std::string::npos);
    t.document->sectorSize = 2048;
    t.run.switchFlags = kBurnSwitchVerify;
    t.run.stages.verifyMedia = [](CBurnJob*) { return 0; };
    g_console.clear();
    EXPECT_EQ(BurnJobsRunAll(&t.run), -1);
    EXPECT_NE(t.Console().find("Burning completed successfully.\r\n"), std::string::npos) << t.Console();
    EXPECT_EQ(t.Console().find("Burning failed"), std::string::npos) << t.Console();
  }
}

TEST(BurnJobs, EraseAsksFirst) {
  if (!InSimulator([](const std::string& state) { Drive(state, 0, "cd-rw", "appendable"); })) return;
  auto blank = [](CBurnJob* job, int32_t method, int32_t) {
    return MmcBlank(&job->run->scsi, job->device, 0, method == 2 ? 0 : 1, 3);
  };
  struct Case {
    const wchar_t* answer;  // null: end of input
    bool full;
    bool erased;
    const char* console;
  } cases[] = {
      {L"no", false, false, "Do you want to erase it now? (Yes/No):"},
      {nullptr, false, false, "Do you want to erase it now? (Yes/No):"},
      {L"Y", false, true, "Do you want to erase it now? (Yes/No):Erasing method: quick erase\r\n"},
      {L"yes", true, true, "Do you want to erase it now? (Yes/No):Erasing method: full erase\r\n"},
  };
  size_t blanks = 0;
  for (const Case& c : cases) {
    TestRun t(0);
    t.run.stages.eraseMedia = blank;
    t.run.switchFlags = c.full ? static_cast<uint32_t>(kBurnSwitchFullErase) : 0u;
    g_answers.clear();
    if (c.answer) g_answers.push_back(c.answer);
    EXPECT_EQ(BurnJobsRunErase(&t.run), 0);
    EXPECT_EQ(t.Console(), std::string("Media detected: CD-RW\r\n") + c.console);
    std::string log = ReadLog(0);
    size_t now = 0;
    for (size_t at = log.find("cdb=a1"); at != std::string::npos; at = log.find("cdb=a1", at + 1)) ++now;
    EXPECT_EQ(now, blanks + (c.erased ? 1 : 0));
    blanks = now;
  }
  EXPECT_NE(ReadLog(0).find("cdb=a10000"), std::string::npos);  // full erase: blanking type 0
  // An erase that fails fails the command.
  TestRun t(0);
  t.run.stages.eraseMedia = [](CBurnJob*, int32_t, int32_t) { return 0; };
  g_answers = {L"y"};
  EXPECT_EQ(BurnJobsRunErase(&t.run), -1);
}

TEST(BurnJobs, DiscContentAndNextWritableAddressChecks) {
  if (!InSimulator([](const std::string& state) {
        Drive(state, 0, "dvd+r", "blank");
        Drive(state, 1, "dvd+r", "appendable");
        Drive(state, 2, "dvd+rw", "formatted");
        Drive(state, 3, "cd-r", "blank");
      }))
    return;
  TestRun t(0);
  BurnJobsReset(&t.run);
  CBurnJob* job = &t.run.jobs[0];
  struct Case {
    int drive;
    int hasData;
  } cases[] = {{0, 0}, {1, 1}, {2, 0}, {3, 0}};
  for (const Case& c : cases) {
    std::wstring path = L"/dev/sg" + std::to_wstring(c.drive);
    job->device = RawFileOpen(path.c_str());
    ASSERT_GT(job->device, 0);
    job->mediaType = MediaDetectType(&t.run.scsi, job->device);
    EXPECT_EQ(BurnJobDiscHasData(job), c.hasData) << c.drive;
    RawFileClose(job->device);
  }
  job->device = RawFileOpen(L"/dev/sg2");
  job->mediaType = kMediaDvdPlusRw;
  uint32_t failed = 0;
  ASSERT_EQ(BurnJobWriteZeroSectors(job, 0, 2048, 40, &failed, 16), 1);
  EXPECT_EQ(BurnJobDiscHasData(job), 0);  // zeros are no data
  std::vector<uint8_t> data(2048, 1);
  ASSERT_EQ(MmcWrite10(&t.run.scsi, job->device, 3, data.data(), 2048, 2048), 1);
  EXPECT_EQ(BurnJobDiscHasData(job), 1);
  RawFileClose(job->device);
  job->device = RawFileOpen(L"/dev/sg1");
  g_console.clear();
  EXPECT_EQ(BurnJobCheckNextWritableAddress(job, 2, 1, 1008, 100), 1);
  EXPECT_EQ(BurnJobCheckNextWritableAddress(job, 2, 1, 2000, 100), 0);
  EXPECT_EQ(BurnJobCheckNextWritableAddress(job, 2, 1, 1008, 3000000), 0);
  EXPECT_EQ(BurnJobCheckNextWritableAddress(job, 9, 1, 1008, 100), 0);
  // READ TRACK INFORMATION asks for no sense data, so its code holds the opcode alone.
  uint8_t sense[18] = {};
  char failed52[80];
  std::snprintf(failed52, sizeof failed52, "Reading next writable address failed(%08x).\r\n",
                ScsiErrorFromSense(0x52, sense));
  // Too little room says how much was needed and how much there is.
  EXPECT_EQ(t.Console(), std::string("Reading next writable address failed(2000 needed, 1008 available).\r\n") +
                             "There is not enough space on the disc (3000000 sectors needed, 2294096 available).\r\n" +
                             failed52);
  RawFileClose(job->device);
  job->device = 0;
}
