// The burn flow with the recorder's own stages against the simulated drive, where the source is what fails: an
// image whose reads stop coming mid-burn ends the burn with its message and the command's failure, and the
// reader thread is gone when the run returns.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "burner/jobs.h"
#include "burner/sim_child.h"
#include "image/document.h"
#include "runtime/ui.h"
#include "session/document.h"

namespace {

std::wstring g_console;
void CapturePrint(const wchar_t* text, int32_t n) { g_console.append(text, n); }
const CUserInterface kCaptureUi = [] {
  CUserInterface ui{};
  ui.printText = CapturePrint;
  return ui;
}();

int64_t ReadUntil6000(void*, int64_t lba, uint8_t* out, int64_t n) {
  std::memset(out, 0x33, static_cast<size_t>(n) * 2048);
  return lba + n > 6000 ? std::max<int64_t>(0, 6000 - lba) : n;
}

}  // namespace

TEST(BurnFlow, ASourceThatFailsMidBurnFailsTheCommand) {
  if (!InSimulator([](const std::string& state) {
        Sim(state, {"create-drive", "0"});
        Sim(state, {"make-disc", state + "/disc", "cd-r", "blank"});
        Sim(state, {"insert", "0", state + "/disc"});
      }))
    return;
  UiInstall(&kCaptureUi);
  auto run = std::make_unique<CBurnRun>();
  run->drivePath = L"/dev/sg0";
  run->jobType = kBurnJobBurn;
  run->scsi.retryDelayMs = 0;
  run->scsi.longDelayMs = 1;
  run->stagePollMs = 1;
  CImageDocument* document = ImageAlloc();
  document->sectorSize = 2048;
  run->document = document;
  run->source.readUser = ReadUntil6000;
  run->source.dataEnd = 10000;
  BurnUseRecorderStages(run.get());
  EXPECT_EQ(BurnJobsRunAll(run.get()), -1);
  EXPECT_EQ(run->buffer, nullptr);  // destroyed, its reader joined
  std::string console(g_console.begin(), g_console.end());
  EXPECT_NE(console.find("Start writing media..."), std::string::npos) << console;
  EXPECT_NE(console.find("Error reading image data."), std::string::npos) << console;
  EXPECT_NE(console.find("Burning failed"), std::string::npos) << console;
  EXPECT_EQ(console.find("Burning completed"), std::string::npos) << console;
  // What was written stops short of the sector that could not be read.
  std::ifstream log(SimState() + "/sg0/cdb.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_EQ(text.str().find("cdb=2a0000001770"), std::string::npos) << "sector 6000 was written";
  ImageClose(document);
  UiInstall(nullptr);
}
