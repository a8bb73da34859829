// The SCSI generic transport: CDB and buffer checks, the error codes and their mask, the result slots, and what
// reaches the driver (seen in the simulated drive's CDB log).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "burner/sim_child.h"
#include "burner/transport.h"
#include "runtime/file.h"

namespace {

std::string ReadLog(int drive) {
  std::ifstream in(SimState() + "/sg" + std::to_string(drive) + "/cdb.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string LastLogLine(int drive) {
  std::string log = ReadLog(drive);
  if (!log.empty() && log.back() == '\n') log.pop_back();
  size_t nl = log.rfind('\n');
  return nl == std::string::npos ? log : log.substr(nl + 1);
}

}  // namespace

TEST(ScsiTransport, CdbLengthFollowsTheOpcodeGroup) {
  struct Case {
    uint8_t opcode;
    int length;
    int ok;
  } cases[] = {{0x00, 6, 1},  {0x12, 10, 0}, {0x28, 6, 0},  {0x28, 10, 1}, {0x5D, 10, 1},
               {0xBE, 12, 1}, {0xBE, 10, 0}, {0xD8, 12, 1}, {0xD8, 7, 1},  {0x88, 16, 1}};
  for (const Case& c : cases) {
    uint8_t cdb[16] = {c.opcode};
    EXPECT_EQ(ScsiCheckCdbLength(cdb, c.length), c.ok) << std::hex << int(c.opcode) << " " << c.length;
  }
}

TEST(ScsiTransport, BadArgumentsFailBeforeTheDriverAndLeaveNoCode) {
  CScsiContext scsi;
  uint8_t cdb[10] = {0x28};
  uint8_t data[16];
  uint8_t sense[18];
  uint32_t zero = 0, sixteen = 16;
  scsi.error[kScsiSharedSlot] = 0x1234;
  EXPECT_EQ(ScsiExecuteCommand(&scsi, -1, cdb, 6, data, &sixteen, nullptr, 0, 1, 100), 0);  // READ(10) in 6 bytes
  EXPECT_EQ(scsi.error[kScsiSharedSlot], 0u);
  EXPECT_EQ(ScsiExecuteCommand(&scsi, -1, cdb, 10, data, &zero, nullptr, 0, 1, 100), 0);        // buffer, no length
  EXPECT_EQ(ScsiExecuteCommand(&scsi, -1, cdb, 10, nullptr, &sixteen, nullptr, 0, 1, 100), 0);  // length, no buffer
  EXPECT_EQ(ScsiExecuteCommand(&scsi, -1, cdb, 10, data, nullptr, nullptr, 0, 1, 100), 0);      // no length at all
  EXPECT_EQ(ScsiExecuteCommand(&scsi, -1, cdb, 10, data, &sixteen, sense, 0, 1, 100), 0);       // sense, no length
  EXPECT_EQ(ScsiExecuteCommand(&scsi, -1, cdb, 17, data, &sixteen, nullptr, 0, 1, 100), 0);
  EXPECT_EQ(scsi.error[kScsiSharedSlot], 0u);
}

TEST(ScsiTransport, ErrorCodesAreMaskedAndDecodeBack) {
  uint8_t sense[18] = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00};
  EXPECT_EQ(ScsiPackSense(sense), 0x00030C00u);
  uint32_t stored = ScsiErrorFromSense(0x2A, sense);
  EXPECT_EQ(stored ^ kScsiErrorMask, 0x000C032Au);
  uint8_t op, key, asc, ascq;
  ASSERT_EQ(ScsiDecodeError(stored, &op, &key, &asc, &ascq), 1);
  EXPECT_EQ(op, 0x2A);
  EXPECT_EQ(key, 3);
  EXPECT_EQ(asc, 0x0C);
  EXPECT_EQ(ascq, 0);
  uint32_t refused = ScsiErrorFromDriver(0x51, 5);
  EXPECT_EQ(refused ^ kScsiErrorMask, 0xFF510005u);
  ASSERT_EQ(ScsiDecodeError(refused, &op, &key, &asc, &ascq), 2);
  EXPECT_EQ(op, 0x51);
  EXPECT_EQ(ascq, 5);
  EXPECT_EQ(ScsiDecodeError(0, &op, &key, &asc, &ascq), 0);
  const uint8_t table[2][4] = {{2, 0x04, 0x08, 0}, {3, 0x0C, 0x00, 0}};
  EXPECT_EQ(ScsiSenseInTable(table, 2, sense), 1);
  sense[2] = 0xF3;  // flag bits above the key do not count
  EXPECT_EQ(ScsiSenseInTable(table, 2, sense), 1);
  sense[13] = 1;
  EXPECT_EQ(ScsiSenseInTable(table, 2, sense), 0);
}

TEST(ScsiTransport, BuildsTheDriverRequestAndKeepsResultsPerSlot) {
  if (!InSimulator([](const std::string& state) {
        Sim(state, {"create-drive", "0"});
        Sim(state, {"make-disc", state + "/disc", "dvd+r", "blank"});
        Sim(state, {"insert", "0", state + "/disc"});
        Sim(state, {"fault", "0", "0x51", "1", "1", "0", "0", "0", "--short", "20"});
        Sim(state, {"fault", "0", "0x00", "1", "1", "0", "0", "0", "--status", "8"});
        Sim(state, {"fault", "0", "0x00", "2", "1", "0", "0", "0", "--host", "3"});
      }))
    return;
  CScsiContext scsi;
  int fd = RawFileOpen(L"/dev/sg0");
  ASSERT_GT(fd, 0);
  uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
  uint8_t answer[36];
  uint32_t n = sizeof answer;
  ASSERT_EQ(ScsiExecuteCommand(&scsi, fd, inquiry, 6, answer, &n, nullptr, 0, 1, 100), 1);
  EXPECT_EQ(answer[0], 5);
  EXPECT_NE(LastLogLine(0).find("cdb=120000002400 len=36 dir=-3 timeout=100000 sense=0 iface=S"), std::string::npos)
      << LastLogLine(0);

  // A failing write on a descriptor no job holds: slot 32 keeps the masked code, the packed sense and the status.
  uint8_t write[10] = {0x2A, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
  uint8_t block[2048] = {};
  uint8_t sense[18];
  n = sizeof block;
  EXPECT_EQ(ScsiExecuteCommand(&scsi, fd, write, 10, block, &n, sense, 18, 0, 50), 0);
  EXPECT_NE(LastLogLine(0).find("len=2048 dir=-2 timeout=50000 sense=18"), std::string::npos) << LastLogLine(0);
  EXPECT_EQ(ScsiDeviceSlotOf(&scsi, fd), kScsiSharedSlot);
  EXPECT_EQ(ScsiGetSense(&scsi, fd), 0x00052102u);
  EXPECT_EQ(ScsiGetLastError(&scsi, fd) ^ kScsiErrorMask, 0x0221052Au);
  EXPECT_EQ(ScsiGetStatus(&scsi, fd), 2);
  EXPECT_EQ(sense[12], 0x21);

  // Once a job holds the descriptor its results go to the job's slot.
  scsi.jobDevice[3] = fd;
  EXPECT_EQ(ScsiExecuteCommand(&scsi, fd, write, 10, block, &n, sense, 18, 0, 50), 0);
  EXPECT_EQ(scsi.sense[3], 0x00052102u);
  scsi.jobDevice[3] = 0;

  // A short answer reports the bytes that came.
  uint8_t discInfo[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0};
  uint8_t info[34];
  n = sizeof info;
  ASSERT_EQ(ScsiExecuteCommand(&scsi, fd, discInfo, 10, info, &n, nullptr, 0, 1, 100), 1);
  EXPECT_EQ(n, 14u);

  // BUSY without sense fails, and the status stays readable.
  uint8_t tur[6] = {};
  n = 0;
  EXPECT_EQ(ScsiExecuteCommand(&scsi, fd, tur, 6, nullptr, &n, nullptr, 0, 0, 100), 0);
  EXPECT_EQ(ScsiGetStatus(&scsi, fd), 8);
  EXPECT_NE(LastLogLine(0).find("len=0 dir=-3"), std::string::npos) << LastLogLine(0);

  // A transport failure (here a time-out of the host adapter) is no answer of the device: the command fails with
  // the driver's code, even though status and sense are clear.
  EXPECT_EQ(ScsiExecuteCommand(&scsi, fd, tur, 6, nullptr, &n, nullptr, 0, 0, 100), 0);
  EXPECT_EQ(ScsiGetLastError(&scsi, fd) ^ kScsiErrorMask, 0xFF000000u | 5);

  // Time-outs shrink only for the drive an image is being read from, and never below a second.
  scsi.readingDevice = fd;
  scsi.readFailures = 3;
  n = sizeof answer;
  ScsiExecuteCommand(&scsi, fd, inquiry, 6, answer, &n, nullptr, 0, 1, 100);
  EXPECT_NE(LastLogLine(0).find("timeout=12000 "), std::string::npos) << LastLogLine(0);
  scsi.readFailures = 20;
  ScsiExecuteCommand(&scsi, fd, inquiry, 6, answer, &n, nullptr, 0, 1, 100);
  EXPECT_NE(LastLogLine(0).find("timeout=1000 "), std::string::npos) << LastLogLine(0);
  scsi.readingDevice = fd + 100;
  ScsiExecuteCommand(&scsi, fd, inquiry, 6, answer, &n, nullptr, 0, 1, 100);
  EXPECT_NE(LastLogLine(0).find("timeout=100000 "), std::string::npos) << LastLogLine(0);
  RawFileClose(fd);
}

namespace {

// A stand-in drive that moves `transferred` bytes of 0x5A into a read's buffer and answers with `status`, or then
// refuses the command as the driver would (`refuse`).
struct StandIn {
  uint32_t transferred = 0;
  uint8_t status = 0;
  bool refuse = false;
  static int Answer(void* context, int, CScsiPassThrough* record) {
    const StandIn* s = static_cast<const StandIn*>(context);
    const uint32_t n = std::min(s->transferred, record->dataLength);
    std::memset(record->data, 0x5A, n);
    if (s->refuse) return 0;  // whatever reached the buffer is no answer
    record->residual = record->dataLength - n;
    record->scsiStatus = s->status;
    if (s->status) record->sense[2] = 3;
    return 1;
  }
};

}  // namespace

TEST(ScsiTransport, WhatAReadDidNotBringReadsAsZerosNeverAsStaleBytes) {
  struct Case {
    const char* what;
    StandIn drive;
    uint32_t length;     // reported back
    uint32_t dataBytes;  // of 0x5A at the start; the rest must be zero
    int result;
  } cases[] = {
      {"full transfer", {4096, 0, false}, 4096, 4096, 1},
      {"short transfer", {1000, 0, false}, 1000, 1000, 1},
      {"nothing with a check condition", {0, 2, false}, 0, 0, 0},
      {"part with a check condition", {2048, 2, false}, 2048, 2048, 0},
      {"driver refusal", {4096, 0, true}, 0, 0, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    CScsiContext scsi;
    scsi.answer = StandIn::Answer;
    scsi.answerContext = &c.drive;
    std::vector<uint8_t> buffer(4096, 0xEE);  // what an earlier read left there
    uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0};
    uint32_t n = static_cast<uint32_t>(buffer.size());
    EXPECT_EQ(ScsiExecuteCommand(&scsi, 3, read10, 10, buffer.data(), &n, nullptr, 0, 1, 100), c.result);
    EXPECT_EQ(n, c.length);
    for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], i < c.dataBytes ? 0x5A : 0) << "byte " << i;
  }
}
