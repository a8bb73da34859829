// The simulated recorder checked against the MMC rules it claims, so that a fault of the simulator cannot hide a
// fault of the program: what blank and written discs report, next writable addresses, session states, the sense
// answers to wrong commands, the injected faults, and the simdrive command's disc handling.
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <string>
#include <vector>

#include "simdrive/sim_drive.h"
#include "support/run_program.h"

namespace {

struct Answer {
  int status = -1;
  int key = 0, asc = 0, ascq = 0;
  std::vector<uint8_t> data;
};

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}
uint32_t Be16(const std::vector<uint8_t>& b, size_t at) { return b[at] << 8 | b[at + 1]; }

class Simulator : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    state_ = MakeTestFolder(std::string("simdrive-core/") + info->name());
    Tool({"create-drive", "0"});
  }

  void Tool(const std::vector<std::string>& args) {
    std::vector<std::string> all = {state_};
    all.insert(all.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(SIMDRIVE_BIN, all);
    ASSERT_EQ(r.status, 0) << r.out;
  }

  void Disc(const std::string& media, const std::string& how, const std::string& from = "") {
    std::vector<std::string> args = {"make-disc", state_ + "/disc", media, how};
    if (!from.empty()) args.insert(args.end(), {"--from", from});
    Tool(args);
    Tool({"insert", "0", state_ + "/disc"});
  }

  Answer Run(std::vector<uint8_t> cdb, uint32_t length = 0, std::vector<uint8_t> out = {}) {
    simdrive::Request req;
    req.cdb = cdb.data();
    req.cdbLength = static_cast<int>(cdb.size());
    std::vector<uint8_t> buffer = out.empty() ? std::vector<uint8_t>(length) : out;
    req.data = buffer.empty() ? nullptr : buffer.data();
    req.dataLength = static_cast<uint32_t>(buffer.size());
    req.direction = out.empty() ? (length ? SG_DXFER_FROM_DEV : SG_DXFER_NONE) : SG_DXFER_TO_DEV;
    simdrive::Reply reply;
    Answer a;
    if (!simdrive::Execute(state_, 0, req, &reply)) return a;
    a.status = reply.status;
    a.key = reply.sense[2] & 0x0F;
    a.asc = reply.sense[12];
    a.ascq = reply.sense[13];
    a.data.assign(buffer.begin(), buffer.begin() + (out.empty() ? reply.transferred : 0));
    return a;
  }

  Answer DiscInfo() { return Run({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34); }
  Answer TrackInfo(uint32_t track) {
    return Run({0x52, 1, static_cast<uint8_t>(track >> 24), static_cast<uint8_t>(track >> 16),
                static_cast<uint8_t>(track >> 8), static_cast<uint8_t>(track), 0, 0, 48, 0},
               48);
  }
  Answer Write(uint32_t lba, uint16_t count, uint8_t fill = 0xAB) {
    std::vector<uint8_t> data(count * 2048u, fill);
    return Run(
        {0x2A, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
         static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0},
        0, data);
  }
  Answer Close(int function, uint16_t track) {
    return Run({0x5B, 0, static_cast<uint8_t>(function), 0, static_cast<uint8_t>(track >> 8),
                static_cast<uint8_t>(track), 0, 0, 0, 0});
  }

  std::string state_;
};

TEST_F(Simulator, BlankWriteOnceDiscsReportAnEmptyInvisibleTrack) {
  struct Case {
    const char* media;
    uint32_t capacity;
  } cases[] = {{"cd-r", 359849}, {"dvd-r", 2298496}, {"dvd+r", 2295104}, {"dvd+r-dl", 4173824}, {"bd-r", 12219392}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.media);
    Disc(c.media, "blank");
    Answer info = DiscInfo();
    ASSERT_EQ(info.status, 0);
    EXPECT_EQ(info.data[2] & 0x0F, 0);  // empty session, empty disc
    EXPECT_EQ(info.data[6], 1);
    Answer track = TrackInfo(1);
    ASSERT_EQ(track.status, 0);
    EXPECT_EQ(track.data[7] & 1, 1);  // NWA valid
    EXPECT_EQ(Be32(track.data, 8), 0u);
    EXPECT_EQ(Be32(track.data, 12), 0u);
    EXPECT_EQ(Be32(track.data, 16), c.capacity);
    // A blank disc has no table of contents.
    EXPECT_EQ(Run({0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12).key, 5);
  }
}

TEST_F(Simulator, SequentialWritesFollowTheNextWritableAddress) {
  Disc("dvd+r", "blank");
  EXPECT_EQ(Write(0, 16).status, 0);
  Answer wrong = Write(100, 16);
  EXPECT_EQ(wrong.status, 2);
  EXPECT_EQ(wrong.key, 5);
  EXPECT_EQ(wrong.asc, 0x21);
  EXPECT_EQ(wrong.ascq, 0x02);
  EXPECT_EQ(Be32(TrackInfo(1).data, 12), 16u);
  EXPECT_EQ(DiscInfo().data[2] & 0x0F, 1 << 2 | 1);  // incomplete session, incomplete disc
  // Closing the track starts the next one at the ECC block after it; closing the session leaves it appendable.
  EXPECT_EQ(Close(1, 1).status, 0);
  Answer next = TrackInfo(2);
  ASSERT_EQ(next.status, 0);
  EXPECT_EQ(Be32(next.data, 8), 16u);
  EXPECT_EQ(Close(2, 0).status, 0);
  Answer info = DiscInfo();
  EXPECT_EQ(info.data[2] & 0x0F, 1);  // empty last session, incomplete disc
  EXPECT_EQ(info.data[4], 2);         // a second session is open
  // Finalizing closes the disc: nothing further can be written, and the TOC shows the one track.
  EXPECT_EQ(Write(16, 1).status, 0);
  EXPECT_EQ(Close(6, 0).status, 0);
  EXPECT_EQ(DiscInfo().data[2] & 3, 2);
  EXPECT_EQ(Write(17, 1).key, 5);
  Answer toc = Run({0x43, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0}, 0xFFFF);
  ASSERT_EQ(toc.status, 0);
  EXPECT_EQ(toc.data[2], 1);
  EXPECT_EQ(toc.data[3], 2);
}

TEST_F(Simulator, CdSessionAtOnceMakesTracksAndANextSessionAfterTheLeadOut) {
  Disc("cd-r", "blank");
  // Write parameters: SAO, multisession allowed.
  Answer page = Run({0x5A, 0x08, 0x05, 0, 0, 0, 0, 0, 64, 0}, 64);
  ASSERT_EQ(page.status, 0);
  std::vector<uint8_t> select(page.data.begin(), page.data.end());
  select[0] = select[1] = 0;
  select[8 + 2] = 0x02;
  select[8 + 3] |= 0xC0;
  ASSERT_EQ(Run({0x55, 0x10, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(select.size()), 0}, 0, select).status, 0);
  // Cue sheet: lead-in, track 1 pregap at 00:00:00, index 1 at 00:02:00, lead-out at 00:08:00 (LBA 450).
  std::vector<uint8_t> cue = {0x41, 0x00, 0x00, 0x14, 0, 0, 0, 0, 0x41, 0x01, 0x00, 0x10, 0, 0, 0, 0,
                              0x41, 0x01, 0x01, 0x10, 0, 0, 2, 0, 0x41, 0xAA, 0x01, 0x14, 0, 0, 8, 0};
  ASSERT_EQ(Run({0x5D, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(cue.size()), 0}, 0, cue).status, 0);
  EXPECT_EQ(Write(static_cast<uint32_t>(-150), 150).status, 0);
  EXPECT_EQ(Write(0, 450).status, 0);
  EXPECT_EQ(Write(450, 1).key, 5);  // past the lead-out of the cue sheet
  EXPECT_EQ(Run({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, 0);
  Answer toc = Run({0x43, 0, 0, 0, 0, 0, 0, 0, 100, 0}, 100);
  ASSERT_EQ(toc.status, 0);
  EXPECT_EQ(Be16(toc.data, 0), 2u + 8 * 2);
  EXPECT_EQ(Be32(toc.data, 4 + 4), 0u);
  EXPECT_EQ(Be32(toc.data, 12 + 4), 450u);  // lead-out
  // The next session: its track starts after lead-out and lead-in, its NWA after the 150-block pregap.
  Answer next = TrackInfo(2);
  ASSERT_EQ(next.status, 0);
  EXPECT_EQ(Be32(next.data, 8), 450u + 11250);
  EXPECT_EQ(Be32(next.data, 12), 450u + 11400);
  EXPECT_EQ(DiscInfo().data[2] & 3, 1);
}

TEST_F(Simulator, CdSessionAtOnceTakesRawBlocksAndLeadInPacksAsTheSheetSays) {
  Disc("cd-r", "blank");
  Answer info = DiscInfo();
  ASSERT_EQ(info.status, 0);
  EXPECT_EQ(std::vector<uint8_t>(info.data.begin() + 17, info.data.begin() + 20), (std::vector<uint8_t>{97, 26, 66}));
  auto write = [&](int32_t lba, uint16_t count, uint32_t blockSize, uint8_t fill) {
    std::vector<uint8_t> data(count * blockSize, fill);
    uint32_t a = static_cast<uint32_t>(lba);
    return Run({0x2A, 0, static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
                static_cast<uint8_t>(a), 0, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0},
               0, data);
  };
  // Catalog number (ADR 2), a lead-in announcing CD-TEXT, an audio track and a raw Mode 1 track from LBA 150,
  // the lead-out at LBA 300.
  std::vector<uint8_t> cue = {0x02, '1',  '2',  '3',  '4',  '5',  '6',  '7',  0x02, '8',  '9',  '0',  '1',  '2',
                              '3',  0,    0x01, 0x00, 0x00, 0x41, 0,    0,    0,    0,    0x01, 0x01, 0x00, 0x00,
                              0,    0,    0,    0,    0x01, 0x01, 0x01, 0x00, 0,    0,    2,    0,    0x41, 0x02,
                              0x01, 0x11, 0,    0,    4,    0,    0x41, 0xAA, 0x01, 0x14, 0,    0,    6,    0};
  ASSERT_EQ(Run({0x5D, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(cue.size()), 0}, 0, cue).status, 0);
  const int32_t leadIn = (97 * 60 + 26) * 75 + 66 - 450150;
  EXPECT_EQ(write(leadIn - 1, 1, 96, 0).key, 5);  // before the lead-in
  EXPECT_EQ(write(-151, 2, 96, 0).key, 5);        // into the pregap
  // One block of packs: 96 symbols whose low six bits carry 72 bytes.
  std::vector<uint8_t> block(96);
  for (int i = 0; i < 96; ++i) block[i] = static_cast<uint8_t>(0xC0 | (i * 5 % 64));
  ASSERT_EQ(Run({0x2A, 0, static_cast<uint8_t>(leadIn >> 24), static_cast<uint8_t>(leadIn >> 16),
                 static_cast<uint8_t>(leadIn >> 8), static_cast<uint8_t>(leadIn), 0, 0, 1, 0},
                0, block)
                .status,
            0);
  EXPECT_EQ(write(-150, 150, 2352, 0).status, 0);
  EXPECT_EQ(write(0, 16, 2048, 0x11).key, 5);  // an audio track takes 2,352-byte blocks only
  EXPECT_EQ(write(0, 150, 2352, 0x22).status, 0);
  EXPECT_EQ(write(150, 150, 2352, 0x33).status, 0);
  EXPECT_EQ(Run({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, 0);

  const std::string raw = state_ + "/raw", packs = state_ + "/packs";
  ProgramResult dump = RunProgram(SIMDRIVE_BIN, {state_, "dump-raw", "0", raw, packs});
  ASSERT_EQ(dump.status, 0) << dump.out;
  for (const char* line :
       {"catalog 1234567890123", "leadin 0 index 0 lba -150 audio form 41", "track 1 index 1 lba 0 audio form 00",
        "track 2 index 1 lba 150 data form 11", "leadout 0 index 1 lba 300 data form 14", "cdtext packs 4"})
    EXPECT_NE(dump.out.find(line), std::string::npos) << line << "\n" << dump.out;
  EXPECT_EQ(ReadFileBytes(raw), std::string(150 * 2352, '\x22') + std::string(150 * 2352, '\x33'));
  std::string expected;
  for (int i = 0; i < 96; i += 4) {
    uint32_t v =
        (block[i] & 0x3F) << 18 | (block[i + 1] & 0x3F) << 12 | (block[i + 2] & 0x3F) << 6 | (block[i + 3] & 0x3F);
    expected += static_cast<char>(v >> 16), expected += static_cast<char>(v >> 8), expected += static_cast<char>(v);
  }
  EXPECT_EQ(ReadFileBytes(packs), expected);
}

TEST_F(Simulator, WrongCommandsGetTheSenseOfARealDrive) {
  // No disc.
  EXPECT_EQ(Run({0, 0, 0, 0, 0, 0}).asc, 0x3A);
  EXPECT_EQ(DiscInfo().asc, 0x3A);
  // A pressed disc cannot be written; a write-protected one says so.
  Disc("dvd-rom", "closed");
  EXPECT_EQ(Write(0, 1).asc, 0x30);
  Tool({"make-disc", state_ + "/wp", "dvd+r", "blank", "--write-protected"});
  Tool({"insert", "0", state_ + "/wp"});
  Answer wp = Write(0, 1);
  EXPECT_EQ(wp.key, 7);
  EXPECT_EQ(wp.asc, 0x27);
  // Unknown opcode, and a read beyond what was recorded.
  EXPECT_EQ(Run({0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}).asc, 0x20);
  Answer read = Run({0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0}, 2048);
  EXPECT_EQ(read.key, 5);
  EXPECT_EQ(read.asc, 0x21);
  // An unformatted DVD+RW takes no write until it is formatted.
  Disc("dvd+rw", "blank");
  EXPECT_EQ(Write(0, 1).status, 2);
  std::vector<uint8_t> list = {0, 0, 0, 8, 0, 0x23, 0x05, 0x40, 0x26 << 2, 0, 0, 0};
  ASSERT_EQ(Run({0x04, 0x11, 0, 0, 0, 0}, 0, list).status, 0);
  EXPECT_EQ(Write(1000, 1).status, 0);
  EXPECT_EQ(DiscInfo().data[7] & 3, 2);  // the format goes on in the background
  // Closing the session stops it before it completes; a restart (type parameter 1) goes on, keeping the data.
  EXPECT_EQ(Close(2, 0).status, 0);
  EXPECT_EQ(DiscInfo().data[7] & 3, 1);
  list[11] = 1;
  ASSERT_EQ(Run({0x04, 0x11, 0, 0, 0, 0}, 0, list).status, 0);
  EXPECT_EQ(DiscInfo().data[7] & 3, 2);
  EXPECT_EQ(Close(3, 0).status, 0);
  EXPECT_EQ(DiscInfo().data[7] & 3, 3);  // finalized: the format is complete
}

TEST_F(Simulator, InjectedFaultsHitTheNthCommandOfTheirOpcode) {
  Disc("dvd-r", "blank");
  Tool({"fault", "0", "0x00", "2", "3", "2", "0x04", "0x01"});  // TEST UNIT READY 2..4: becoming ready
  std::vector<int> keys;
  for (int i = 0; i < 6; ++i) keys.push_back(Run({0, 0, 0, 0, 0, 0}).key);
  EXPECT_EQ(keys, (std::vector<int>{0, 2, 2, 2, 0, 0}));
  Tool({"clear-faults", "0"});
  Tool({"fault", "0", "0x51", "1", "1", "0", "0", "0", "--short", "10"});
  EXPECT_EQ(DiscInfo().data.size(), 34u - 10);
  EXPECT_EQ(DiscInfo().data.size(), 34u);
  Tool({"fault", "0", "0x00", "1", "0", "0", "0", "0", "--status", "8"});
  Answer busy = Run({0, 0, 0, 0, 0, 0});
  EXPECT_EQ(busy.status, 8);
  EXPECT_EQ(busy.key, 0);
}

TEST_F(Simulator, DumpGivesBackWhatWasWrittenAndEjectLoadsTheQueuedDisc) {
  const std::string image = state_ + "/source.iso";
  std::string bytes(20 * 2048, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 / 2048 + 1);
  WriteFileBytes(image, bytes);
  Disc("dvd-rom", "closed", image);
  Tool({"make-disc", state_ + "/blank", "cd-r", "blank"});
  Tool({"queue", "0", state_ + "/blank"});
  ProgramResult dump = RunProgram(SIMDRIVE_BIN, {state_, "dump", "0", state_ + "/out.iso"});
  ASSERT_EQ(dump.status, 0) << dump.out;
  EXPECT_NE(dump.out.find("track 1 session 1 start 0 size 20"), std::string::npos) << dump.out;
  EXPECT_EQ(ReadFileBytes(state_ + "/out.iso"), bytes);
  // START STOP UNIT with LoEj ejects; the queued blank disc comes in.
  EXPECT_EQ(Run({0x1B, 0, 0, 0, 0x02, 0}).status, 0);
  Answer profile = Run({0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8);
  EXPECT_EQ(Be16(profile.data, 6), 0x09u);
}

TEST_F(Simulator, StateKeptInMemorySeesWhatOtherProcessesChangeBetweenCommands) {
  // A process that runs many commands keeps the state in memory; the simdrive command changes the files meanwhile,
  // in place (unreadable touches disc.txt) and by replacing them (fault and make-disc store through a rename).
  const std::string image = state_ + "/a.iso", other = state_ + "/b.iso";
  WriteFileBytes(image, std::string(32 * 2048, 'a'));
  WriteFileBytes(other, std::string(32 * 2048, 'b'));
  Disc("dvd-rom", "closed", image);
  simdrive::KeepStateInMemory(true);
  struct Forget {
    ~Forget() { simdrive::KeepStateInMemory(false); }
  } forget;
  auto read = [&](uint8_t lba) { return Run({0x28, 0, 0, 0, 0, lba, 0, 0, 1, 0}, 2048); };
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read(3).data, std::vector<uint8_t>(2048, 'a'));
  Tool({"unreadable", state_ + "/disc", "3", "1"});
  EXPECT_EQ(read(3).asc, 0x11);
  EXPECT_EQ(read(4).status, 0);
  Tool({"fault", "0", "0x28", "1", "1", "2", "0x04", "0x01"});
  Answer notReady = read(4);
  EXPECT_EQ(notReady.key, 2);
  EXPECT_EQ(notReady.asc, 0x04);
  EXPECT_EQ(read(4).status, 0);
  Tool({"make-disc", state_ + "/disc", "dvd-rom", "closed", "--from", other});
  EXPECT_EQ(read(5).data, std::vector<uint8_t>(2048, 'b'));
}

}  // namespace
