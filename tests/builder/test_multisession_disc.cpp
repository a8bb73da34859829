// A second session appended to a rewritable DVD in the simulated recorder, the way a burn job does it: the
// session is built for direct writing at the disc's append start, written packet by packet through the
// multisession stages, and the disc's first sectors are brought up to date at the end. The disc then reads as
// one track per session, and both the disc and an image of it with a CUE sheet show the newest session's tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "builder/add_local.h"
#include "builder/build_state.h"
#include "builder/builder_map.h"
#include "builder/session_block.h"
#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "burner/sim_child.h"
#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "session/burn.h"
#include "session/document.h"
#include "session/open.h"
#include "session/save.h"
#include "support/console_capture.h"
#include "support/run_program.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

struct DriveReader {
  CBurnRun* run;
  int device;
};

int64_t ReadDrive(void* context, int64_t lba, uint8_t* out, int64_t n) {
  auto* drive = static_cast<DriveReader*>(context);
  uint32_t length = 0;
  for (int64_t done = 0; done < n; ++done) {
    if (!MmcRead10(&drive->run->scsi, drive->device, static_cast<uint32_t>(lba + done), 1, out + done * 2048, &length))
      return done;
  }
  return n;
}

// The first session: written for a multisession disc, so it carries a block with no session before it.
void MakeFirstSession(const std::string& state) {
  WriteFileBytes(state + "/one/a.txt", "alpha");
  WriteFileBytes(state + "/one/sub/b.bin", std::string(70000, 'b'));
  WriteFileBytes(state + "/two/new.txt", "second session");
  WriteFileBytes(state + "/three/third.txt", "third session");
  AbortCodeSet(kAbortNone);
  CImageDocument* document = ImageNew();
  ASSERT_NE(document, nullptr);
  document->udf = 0;
  document->multisession = 1;
  ASSERT_EQ(CliAddLocalPath(document, document->rootFolder, Wide(state + "/one").c_str()), 1);
  ASSERT_EQ(ImageSaveAs(document, Wide(state + "/first.iso").c_str()), 0);
  ImageClose(document);
}

}  // namespace

namespace {

struct Recorder {
  std::unique_ptr<CBurnRun> run = std::make_unique<CBurnRun>();
  CBurnJob& job = run->jobs[0];
  explicit Recorder(int drive) {
    run->drivePath = L"/dev/sg" + std::to_wstring(drive);
    run->scsi.retryDelayMs = 0;
    run->scsi.longDelayMs = 1;
    job.run = run.get();
    std::wcscpy(job.devicePath, run->drivePath.c_str());
    job.device = BurnJobOpenDevice(&job);
    job.mediaType = job.device > 0 ? MediaDetectType(&run->scsi, job.device) : 0;
    SessionUseMultisessionStages(run.get());
  }
  ~Recorder() {
    if (job.device > 0) close(job.device);
  }
};

// Appends the folder `added` to the disc that `document` was opened from, as a burn job writes a further session
// on a rewritable disc: built for direct writing at the append start and burned by a job whose DVD writer hands
// every packet to the multisession stages, which bring the disc's first sectors up to date at the end. The
// session's start and length.
void AppendSession(Recorder* recorder, CImageDocument* document, const std::string& added, int64_t* start,
                   int64_t* sectors, int* result = nullptr, std::string* output = nullptr, uint32_t switches = 0) {
  CBurnRun* run = recorder->run.get();
  const CBurnJob& job = recorder->job;
  document->trackTable->discMode = static_cast<uint8_t>(job.mediaType);
  int32_t track = 0;
  int64_t end = 0;
  ASSERT_EQ(DiscGetAppendStart(&run->scsi, job.device, document, document->readableLimit, &track, start, &end), 1);
  ASSERT_EQ(CliAddLocalPath(document, document->rootFolder, Wide(added).c_str()), 1);
  document->multisession = 1;
  document->discAppendStart = *start;
  document->builder = ImageBuilderNew(document);
  ASSERT_NE(document->builder, nullptr);
  CProgressCallbacks callbacks{document};
  ASSERT_EQ(ImageBuild(&callbacks), 1);
  *sectors = document->builder->mapUsed;
  ASSERT_GE(*sectors, 320);
  // The burn: the recorder's own stages (the DVD writer among them) with the multisession stages, reading the
  // session from the build's sector map.
  auto burn = std::make_unique<CBurnRun>();
  burn->drivePath = run->drivePath;
  burn->jobType = kBurnJobBurn;
  burn->switchFlags = switches;
  burn->scsi.retryDelayMs = 0;
  burn->scsi.longDelayMs = 1;
  burn->stagePollMs = 1;
  burn->appendStart = *start;
  SessionPrepareBurn(burn.get(), document);
  burn->source.dataEnd = *start + *sectors;
  BurnUseRecorderStages(burn.get());
  SessionUseMultisessionStages(burn.get());
  // Whether the disc takes a further session was decided above, before the burn.
  burn->stages.prepareDestination = [](CBurnJob*) { return 0; };
  document->readFromBuilder = 1;
  ConsoleSession console("");
  const int ran = BurnJobsRunAll(burn.get());
  document->readFromBuilder = 0;
  const std::string out = console.Output();
  if (result) {
    *result = ran;
    *output = out;
    return;
  }
  EXPECT_EQ(ran, 0);
  EXPECT_NE(out.find("Burning completed successfully."), std::string::npos) << out;
}

// The disc in its drive and an image of it, with its CUE sheet and without: a track per session (starting at
// `starts`), and the newest tree with every file's data.
void CheckImages(const std::string& state, int drive, const std::vector<int64_t>& starts,
                 const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string disc = "disc" + std::to_string(drive);
  Sim(state, {"dump", std::to_string(drive), state + "/" + disc + ".iso"});
  WriteFileBytes(state + "/" + disc + ".cue",
                 "FILE \"" + disc + ".iso\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n");
  // The disc itself, opened in its drive, and the two images of it.
  const std::string device = "/dev/sg" + std::to_string(drive);
  for (const std::string& name : {device, disc + ".cue", disc + ".iso"}) {
    const std::string path = name == device ? device : state + "/" + name;
    CImageDocument* opened = ImageOpenByPath(Wide(path).c_str(), kOpenLoadTree);
    ASSERT_NE(opened, nullptr) << name;
    ASSERT_NE(opened->trackTable, nullptr) << name;
    ASSERT_EQ(opened->trackTable->trackCount, static_cast<int32_t>(starts.size())) << name;
    EXPECT_EQ(opened->trackTable->sessionCount, static_cast<int32_t>(starts.size())) << name;
    for (size_t i = 0; i < starts.size(); ++i) {
      EXPECT_EQ(opened->trackTable->tracks[i].session, static_cast<int32_t>(i)) << name;
      EXPECT_EQ(opened->trackTable->tracks[i].start, starts[i]) << name;
    }
    ImageClose(opened);
    const std::string out = state + "/x-" + (name == device ? "drive" : name);
    std::filesystem::remove_all(out);
    ProgramResult list = RunKestrane({"list", path, "/", "-r"});
    for (const auto& [path, bytes] : files)
      EXPECT_NE(list.out.find(path.substr(path.rfind('/') + 1)), std::string::npos) << list.out;
    ASSERT_EQ(RunKestrane({"extract", path, "/", "-od", out}).status, 0) << name;
    for (const auto& [path, bytes] : files) EXPECT_EQ(ReadFileBytes(out + "/" + path), bytes) << path;
  }
  // 7-Zip reads the newest volume at sector 16 as well.
  ProgramResult seven = RunProgram("/usr/bin/7zz", {"l", state + "/" + disc + ".iso"});
  EXPECT_NE(seven.out.find(files.back().first), std::string::npos) << seven.out;
}

}  // namespace

namespace {

// Two further sessions on the rewritable disc in `drive`, whose packets are `unit` sectors.
void AppendTwoSessions(const std::string& state, int drive, int mediaType, int64_t unit) {
  const std::string first = ReadFileBytes(state + "/first.iso");
  ASSERT_GE(first.size(), 320u * 2048);
  const int64_t firstSectors = static_cast<int64_t>(first.size() / 2048);
  Recorder recorder(drive);
  ASSERT_GT(recorder.job.device, 0);
  ASSERT_EQ(recorder.job.mediaType, mediaType);

  // The disc as the opener sees it: one session with its block.
  AbortCodeSet(kAbortNone);
  CImageDocument* document = ImageOpenByPath(Wide(state + "/first.iso").c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  ASSERT_NE(document->trackTable, nullptr);
  ASSERT_EQ(document->trackTable->trackCount, 1);
  int64_t start2 = 0, sectors2 = 0;
  AppendSession(&recorder, document, state + "/two", &start2, &sectors2);
  ImageClose(document);
  if (::testing::Test::HasFatalFailure()) return;
  EXPECT_EQ(start2, (firstSectors + unit - 1) / unit * unit);

  // The disc read back through the drive: two sessions, the first head as it was, sector 16 the second's.
  DriveReader reader{recorder.run.get(), recorder.job.device};
  CSessionChain chain;
  ASSERT_EQ(SessionReadChain(ReadDrive, &reader, &chain), 1);
  EXPECT_TRUE(chain.damage.empty());
  ASSERT_EQ(chain.sessions.size(), 2u);
  EXPECT_EQ(chain.sessions[0].start, 0);
  EXPECT_EQ(chain.sessions[0].length, firstSectors);
  EXPECT_EQ(chain.sessions[1].start, start2);
  EXPECT_EQ(chain.sessions[1].length, sectors2);
  EXPECT_EQ(chain.sessions[1].index, 1);
  ASSERT_EQ(chain.firstHead.size(), static_cast<size_t>(kSessionHeadBytes));
  EXPECT_EQ(std::memcmp(chain.firstHead.data(), first.data(), kSessionHeadBytes), 0);
  EXPECT_GT(SessionFindIsoRoot(ReadDrive, &reader, 0), start2);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"a.txt", "alpha"}, {"sub/b.bin", std::string(70000, 'b')}, {"new.txt", "second session"}};
  CheckImages(state, drive, {0, start2}, files);
  if (::testing::Test::HasFatalFailure()) return;

  // A third session from the disc as it now is: its block links to the second's, packs nothing (the first head
  // was cached from the second block) and the chain still gives the first head back.
  document = ImageOpenByPath(Wide(state + "/disc" + std::to_string(drive) + ".iso").c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  ASSERT_NE(document->sessionBlock, nullptr);
  EXPECT_EQ(document->sessionBlock->cachedHead.size(), static_cast<size_t>(kSessionHeadBytes));
  const int64_t secondHeader = document->sessionBlock->newestHeaderLba;
  int64_t start3 = 0, sectors3 = 0;
  AppendSession(&recorder, document, state + "/three", &start3, &sectors3);
  ImageClose(document);
  if (::testing::Test::HasFatalFailure()) return;
  ASSERT_EQ(SessionReadChain(ReadDrive, &reader, &chain), 1);
  EXPECT_TRUE(chain.damage.empty());
  ASSERT_EQ(chain.sessions.size(), 3u);
  EXPECT_EQ(chain.sessions[2].start, start3);
  EXPECT_EQ(chain.sessions[2].index, 2);
  EXPECT_EQ(std::memcmp(chain.firstHead.data(), first.data(), kSessionHeadBytes), 0);
  CSessionBlockInfo newest;
  std::wstring damage;
  ASSERT_EQ(SessionReadBlockAt(ReadDrive, &reader, chain.newestHeaderLba, &newest, &damage), 1);
  EXPECT_EQ(newest.previousHeader, secondHeader);
  EXPECT_EQ(newest.packedSectors, 0u);
  std::vector<std::pair<std::string, std::string>> all = files;
  all.push_back({"third.txt", "third session"});
  CheckImages(state, drive, {0, start2, start3}, all);
}

}  // namespace

TEST(MultisessionDisc, FurtherSessionsOnRewritableDiscsReadAsATrackEachWithTheNewestTree) {
  if (!InSimulator([](const std::string& state) {
        MakeFirstSession(state);
        int drive = 0;
        for (const char* media : {"dvd+rw", "bd-re"}) {
          const std::string n = std::to_string(drive++), disc = state + "/disc" + n;
          Sim(state, {"create-drive", n});
          Sim(state, {"make-disc", disc, media, "formatted", "--from", state + "/first.iso"});
          Sim(state, {"insert", n, disc});
        }
      }))
    return;
  {
    SCOPED_TRACE("dvd+rw");
    AppendTwoSessions(SimState(), 0, kMediaDvdPlusRw, 16);
  }
  {
    SCOPED_TRACE("bd-re");
    AppendTwoSessions(SimState(), 1, kMediaBdRe, 32);
  }
}

TEST(MultisessionDisc, AFailedReadOfTheFirstSectorsFailsTheBurnBeforeAnythingIsWritten) {
  if (!InSimulator([](const std::string& state) {
        MakeFirstSession(state);
        Sim(state, {"create-drive", "0"});
        Sim(state, {"make-disc", state + "/disc0", "dvd+rw", "formatted", "--from", state + "/first.iso"});
        Sim(state, {"insert", "0", state + "/disc0"});
        // The third READ(10), sectors 32..47, meets a medium error.
        Sim(state, {"fault", "0", "0x28", "3", "1", "3", "0x11", "0x00"});
      }))
    return;
  const std::string state = SimState();
  Recorder recorder(0);
  ASSERT_GT(recorder.job.device, 0);
  CImageDocument* document = ImageOpenByPath(Wide(state + "/first.iso").c_str(), kOpenLoadTree);
  ASSERT_NE(document, nullptr);
  int64_t start = 0, sectors = 0;
  int result = 0;
  std::string out;
  AppendSession(&recorder, document, state + "/two", &start, &sectors, &result, &out);
  ImageClose(document);
  EXPECT_EQ(result, -1);
  EXPECT_NE(out.find("Error reading data on disc.(sector offset: 32-47)"), std::string::npos) << out;
  EXPECT_NE(out.find("Burning failed"), std::string::npos) << out;
  const std::string log = ReadFileBytes(state + "/sg0/cdb.log");
  EXPECT_NE(log.find("cdb=28"), std::string::npos) << log;
  EXPECT_EQ(log.find("cdb=2a"), std::string::npos) << "nothing was written";
}

// With verification on, the burn also reads back the disc's first sectors that the append rewrote, against the
// copy it wrote there: a good append verifies, and a first-session sector that reads back wrong fails the
// verification at its run although the new session itself reads back right.
TEST(MultisessionDisc, VerificationReadsBackTheRewrittenFirstSectors) {
  const char* media[] = {"dvd+rw", "bd-re", "dvd+rw", "bd-re"};
  if (!InSimulator([&](const std::string& state) {
        MakeFirstSession(state);
        for (int drive = 0; drive < 4; ++drive) {
          const std::string n = std::to_string(drive), disc = state + "/disc" + n;
          Sim(state, {"create-drive", n});
          Sim(state, {"make-disc", disc, media[drive], "formatted", "--from", state + "/first.iso"});
          Sim(state, {"insert", n, disc});
          // Drives 2 and 3: the drive accepts every write, but sector 20 reads back wrong.
          if (drive >= 2) Sim(state, {"corrupt", disc, "20"});
        }
      }))
    return;
  const std::string state = SimState();
  for (int drive = 0; drive < 4; ++drive) {
    SCOPED_TRACE(std::string(media[drive]) + " on drive " + std::to_string(drive));
    Recorder recorder(drive);
    ASSERT_GT(recorder.job.device, 0);
    CImageDocument* document = ImageOpenByPath(Wide(state + "/first.iso").c_str(), kOpenLoadTree);
    ASSERT_NE(document, nullptr);
    int64_t start = 0, sectors = 0;
    int result = 0;
    std::string out;
    AppendSession(&recorder, document, state + "/two", &start, &sectors, &result, &out, kBurnSwitchVerify);
    ImageClose(document);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_GE(start, 320);
    EXPECT_NE(out.find("Burning completed successfully."), std::string::npos) << out;
    // The verification read the first sectors after the last write.
    const std::string log = ReadFileBytes(state + "/sg" + std::to_string(drive) + "/cdb.log");
    const size_t lastWrite = log.rfind("cdb=2a");
    ASSERT_NE(lastWrite, std::string::npos);
    EXPECT_NE(log.find("cdb=280000000000", lastWrite), std::string::npos) << log.substr(lastWrite);
    if (drive < 2) {
      EXPECT_EQ(result, 0) << out;
      EXPECT_NE(out.find("Verifying media completed successfully."), std::string::npos) << out;
    } else {
      EXPECT_EQ(result, -1) << out;
      EXPECT_NE(out.find("Error verifying data on disc.(sector offset: 16-31)"), std::string::npos) << out;
      EXPECT_NE(out.find("Verifying media failed."), std::string::npos) << out;
    }
  }
}
