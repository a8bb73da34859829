// DVD and BD writing with the recorder's own stages against the simulated drive, where a run needs what the
// command line cannot set up yet: a session appended after the disc's first one, the multisession steps of a
// rewritable disc, and the DVD-R DL refusal of a further session. Also the close budget of each media type.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "burner/dvdwrite.h"
#include "burner/jobs.h"
#include "burner/sim_child.h"
#include "image/document.h"
#include "runtime/ui.h"
#include "session/document.h"
#include "support/console_capture.h"

namespace {

// Sector `lba` holds its own number in every byte pair, so a shifted sector shows.
int64_t NumberedSectors(void*, int64_t lba, uint8_t* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    for (int b = 0; b < 2048; b += 2) {
      out[i * 2048 + b] = static_cast<uint8_t>((lba + i) >> 8);
      out[i * 2048 + b + 1] = static_cast<uint8_t>(lba + i);
    }
  return n;
}

struct Burn {
  std::unique_ptr<CBurnRun> run = std::make_unique<CBurnRun>();
  CImageDocument* document = ImageAlloc();

  Burn(int drive, int64_t appendStart, int64_t dataEnd) {
    run->drivePath = L"/dev/sg" + std::to_wstring(drive);
    run->jobType = kBurnJobBurn;
    run->scsi.retryDelayMs = 0;
    run->scsi.longDelayMs = 1;
    run->stagePollMs = 1;
    document->sectorSize = 2048;
    run->document = document;
    run->appendStart = appendStart;
    run->source.readUser = NumberedSectors;
    run->source.dataEnd = dataEnd;
    BurnUseRecorderStages(run.get());
    // Whether a disc takes a further session is the session chooser's decision, made before the burn.
    if (appendStart != 0) run->stages.prepareDestination = [](CBurnJob*) { return 0; };
  }
  ~Burn() {
    run.reset();
    ImageClose(document);
  }
};

// Drive `n` of the state folder with a disc of `media` in state `how`, in the disc folder "discN".
void MakeDrive(const std::string& state, int n, const std::string& media, const std::string& how) {
  const std::string disc = state + "/disc" + std::to_string(n);
  Sim(state, {"create-drive", std::to_string(n)});
  Sim(state, {"make-disc", disc, media, how});
  Sim(state, {"insert", std::to_string(n), disc});
}

// The CDBs drive `n` received, as hex, cut to `keep` digits, of those that start with `prefix`.
std::vector<std::string> Cdbs(int n, const std::string& prefix, size_t keep) {
  std::ifstream in(SimState() + "/sg" + std::to_string(n) + "/cdb.log");
  std::vector<std::string> cdbs;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("cdb=" + prefix, 0) != 0) continue;
    cdbs.push_back(line.substr(4, std::min(keep, line.find(' ') - 4)));
  }
  return cdbs;
}

// Mode page 5 as the simulated disc of drive `n` keeps it.
std::vector<uint8_t> StoredPage5(int n) {
  std::ifstream in(SimState() + "/disc" + std::to_string(n) + "/disc.txt");
  std::string line;
  std::vector<uint8_t> page;
  while (std::getline(in, line))
    if (line.rfind("page5=", 0) == 0)
      for (size_t i = 6; i + 1 < line.size(); i += 2) page.push_back(std::stoi(line.substr(i, 2), nullptr, 16));
  return page;
}

std::string Show(int n) { return RunProgram(SIMDRIVE_BIN, {SimState(), "show", std::to_string(n)}).out; }

// The multisession steps of a rewritable disc, as they were called.
struct MultisessionCalls {
  int before = 0;
  std::vector<std::pair<int64_t, int32_t>> packets;
  std::vector<int32_t> finish;
};
MultisessionCalls g_calls;

int RecordBefore(CBurnJob*) {
  ++g_calls.before;
  return 1;
}
int RecordPacket(CBurnJob*, int64_t lba, const uint8_t* data, int32_t sectors) {
  // The packet handed over is the one written: its first sector carries its own number.
  if (data[0] != static_cast<uint8_t>(lba >> 8) || data[1] != static_cast<uint8_t>(lba)) return 0;
  g_calls.packets.emplace_back(lba, sectors);
  return 1;
}
int RecordFinish(CBurnJob*, int32_t packetSectors) {
  g_calls.finish.push_back(packetSectors);
  return 1;
}

}  // namespace

TEST(DvdWrite, FinalizeBudgetByMediaType) {
  struct Case {
    int32_t media;
    int64_t written;
    int tries;
  } cases[] = {
      {17, 5000, 1800},  {19, 5000, 1800},  {20, 5000, 496},      {21, 100000, 706}, {21, 0, 872},
      {21, 462303, 496}, {21, 462304, 496}, {22, 5000, 600},      {23, 5000, 3600},  {24, 5000, 5400},
      {33, 5000, 600},   {48, 5000, 600},   {16, 100000, 100000}, {65, 10, 496},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BurnGetFinalizeBudget(c.media, c.written), c.tries) << c.media << " " << c.written;
}

// A DVD-R: a new disc is written at once (write type 2, track mode 4) into a reserved track and closes itself
// when the cache is flushed; a session appended after the first one is written incrementally in fixed packets of
// 16 into its own reserved track, which is closed before the session.
TEST(DvdWrite, DvdRNewDiscAtOnceAppendedSessionInPackets) {
  if (!InSimulator([](const std::string& state) {
        MakeDrive(state, 0, "dvd-r", "blank");
        MakeDrive(state, 1, "dvd-r", "appendable");  // a first session of 1,000 sectors
      }))
    return;
  struct Case {
    int drive;
    int64_t start, end;
    const char* reserve;
    size_t packets;
    std::vector<std::string> closes;
    uint8_t page2, page3;
    const char* layout;
  } cases[] = {
      // 1,000 sectors are reserved and written as 1,008: 63 packets.
      {0, 0, 1000, "5300000000000003f0", 63, {}, 0x42, 0x04, "track 1 session 1 start 0 size 1008"},
      // The next session starts at the next packet, 1,008; 100 sectors take 7 packets (112 sectors).
      {1,
       1008,
       1108,
       "530000000000000070",
       7,
       {"5b0101000002", "5b0102000000"},
       0x60,
       0x25,
       "track 2 session 2 start 1008 size 112"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive);
    Burn burn(c.drive, c.start, c.end);
    ConsoleSession console("");
    EXPECT_EQ(BurnJobsRunAll(burn.run.get()), 0);
    const std::string out = console.Output();
    EXPECT_NE(out.find("Burning completed successfully."), std::string::npos) << out;
    const std::vector<std::string> writes = Cdbs(c.drive, "2a", 18);
    ASSERT_EQ(writes.size(), c.packets);
    for (size_t i = 0; i < writes.size(); ++i) {
      char want[19];
      std::snprintf(want, sizeof want, "2a00%08x000010", static_cast<unsigned>(c.start + 16 * i));
      EXPECT_EQ(writes[i], want) << i;
    }
    EXPECT_EQ(Cdbs(c.drive, "53", 18), std::vector<std::string>{c.reserve});
    EXPECT_EQ(Cdbs(c.drive, "5b", 12), c.closes);
    const std::vector<uint8_t> page = StoredPage5(c.drive);
    ASSERT_GE(page.size(), 48u);
    EXPECT_EQ(page[2], c.page2);  // BUFE; disc at once, or incremental with the link size valid
    EXPECT_EQ(page[3], c.page3);  // no further session; track mode 4, or fixed packets and track mode 5
    EXPECT_EQ(page[4] & 0x0F, 8);
    if (c.start == 0) {
      EXPECT_EQ(std::vector<uint8_t>(page.begin() + 16, page.begin() + 48), std::vector<uint8_t>(32, 0));
    } else {
      EXPECT_EQ(page[5], 16);   // link size
      EXPECT_EQ(page[13], 16);  // packet size
    }
    const std::string show = Show(c.drive);
    EXPECT_NE(show.find("status 2"), std::string::npos) << show;
    EXPECT_NE(show.find(c.layout), std::string::npos) << show;
  }
}

// A rewritable disc that takes a further session: the step before writing runs, every packet written goes to
// the multisession step, and the last step runs with the packet size.
TEST(DvdWrite, RewritableAppendCallsTheMultisessionSteps) {
  if (!InSimulator([](const std::string& state) {
        MakeDrive(state, 0, "dvd+rw", "formatted");
        MakeDrive(state, 1, "bd-re", "formatted");
        MakeDrive(state, 2, "dvd-rw-ro", "formatted");  // its one track already holds the whole disc
      }))
    return;
  struct Case {
    int drive;
    int32_t packet;
    std::vector<std::pair<int64_t, int32_t>> packets;
  } cases[] = {
      {0, 16, {{320, 16}, {336, 16}, {352, 16}, {368, 16}}},
      {1, 32, {{320, 32}, {352, 32}}},
      {2, 16, {{320, 16}, {336, 16}, {352, 16}, {368, 16}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drive);
    g_calls = {};
    Burn burn(c.drive, 320, 370);
    burn.run->stages.multisession = RecordBefore;
    burn.run->stages.multisessionPacket = RecordPacket;
    burn.run->stages.multisessionFinish = RecordFinish;
    ConsoleSession console("");
    EXPECT_EQ(BurnJobsRunAll(burn.run.get()), 0);
    const std::string out = console.Output();
    EXPECT_NE(out.find("Burning completed successfully."), std::string::npos) << out;
    // A disc that takes a further session is not formatted again: not a DVD+RW, nor a DVD-RW whose track
    // already holds the image.
    EXPECT_TRUE(Cdbs(c.drive, "04", 2).empty()) << out;
    EXPECT_EQ(g_calls.before, 1);
    EXPECT_EQ(g_calls.packets, c.packets);
    EXPECT_EQ(g_calls.finish, std::vector<int32_t>{c.packet});
  }
}

TEST(DvdWrite, DvdRDlRefusesAFurtherSession) {
  if (!InSimulator([](const std::string& state) { MakeDrive(state, 0, "dvd-r-dl", "appendable"); })) return;
  Burn burn(0, 1008, 1108);
  ConsoleSession console("");
  EXPECT_EQ(BurnJobsRunAll(burn.run.get()), -1);
  const std::string out = console.Output();
  EXPECT_NE(out.find("DVD-R DL multisession burning is not supported. Please check the 'Finalize disc' option."),
            std::string::npos)
      << out;
  for (const char* op : {"2a", "53", "55", "5b", "35"}) EXPECT_TRUE(Cdbs(0, op, 2).empty()) << op;
}
