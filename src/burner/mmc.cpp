#include "burner/mmc.h"

#include <algorithm>
#include <cstring>

#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/writer.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/hooks.h"

const uint8_t kMmcInProgressSense[3][4] = {{2, 0x04, 0x08, 0}, {2, 0x04, 0x07, 0}, {2, 0x04, 0x04, 0}};
const uint8_t kMmcBecomingReadySense[3][4] = {{6, 0x29, 0x00, 0}, {2, 0x04, 0x01, 0}, {5, 0x2C, 0x00, 0}};

namespace {

constexpr uint32_t kDefaultTimeout = 100;
constexpr int kSenseBytes = 18;

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void Put24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  Put16(p + 1, v);
}
void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  Put24(p + 1, v);
}

int DataIn(CScsiContext* scsi, int device, const uint8_t* cdb, int cdbLength, uint8_t* buffer, uint32_t* length,
           uint8_t* sense = nullptr, uint32_t timeout = kDefaultTimeout) {
  return ScsiExecuteCommand(scsi, device, cdb, cdbLength, buffer, length, sense, sense ? kSenseBytes : 0, 1, timeout);
}

int NoData(CScsiContext* scsi, int device, const uint8_t* cdb, int cdbLength, uint32_t timeout,
           uint8_t* sense = nullptr) {
  uint32_t none = 0;
  return ScsiExecuteCommand(scsi, device, cdb, cdbLength, nullptr, &none, sense, sense ? kSenseBytes : 0, 0, timeout);
}

int DataOut(CScsiContext* scsi, int device, const uint8_t* cdb, int cdbLength, const uint8_t* buffer, uint32_t length,
            uint8_t* sense = nullptr, uint32_t timeout = kDefaultTimeout) {
  uint32_t n = length;
  return ScsiExecuteCommand(scsi, device, cdb, cdbLength, const_cast<uint8_t*>(buffer), &n, sense,
                            sense ? kSenseBytes : 0, 0, timeout);
}

// Allocation lengths of the 10-byte and 12-byte commands are 16-bit.
uint16_t Alloc16(uint32_t length) { return static_cast<uint16_t>(std::min<uint32_t>(length, 0xFFFF)); }

}  // namespace

int MmcInquiry(CScsiContext* scsi, int device, uint8_t* buffer, uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[6] = {0x12, 0, 0, 0, 0, 0};
  Put16(cdb + 3, Alloc16(*length));
  return DataIn(scsi, device, cdb, 6, buffer, length);
}

int MmcReadToc(CScsiContext* scsi, int device, int format, int msf, uint8_t* buffer, uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[10] = {0x43};
  cdb[1] = msf ? 0x02 : 0;
  cdb[2] = format & 0x0F;
  Put16(cdb + 7, Alloc16(*length));
  return DataIn(scsi, device, cdb, 10, buffer, length);
}

int MmcModeSense10(CScsiContext* scsi, int device, int pageCode, int pageControl, uint8_t* buffer, uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[10] = {0x5A, 0x08};
  cdb[2] = static_cast<uint8_t>((pageControl & 3) << 6 | (pageCode & 0x3F));
  Put16(cdb + 7, Alloc16(*length));
  uint8_t sense[kSenseBytes];
  if (!DataIn(scsi, device, cdb, 10, buffer, length, sense)) return 0;
  if (*length < 8 || LoadU16BE(buffer + 6) != 0 || (sense[2] & 0x0F) != 0) return 0;
  return 1;
}

int MmcModeSelect10(CScsiContext* scsi, int device, const uint8_t* buffer, uint32_t length) {
  uint8_t cdb[10] = {0x55, 0x10};
  Put16(cdb + 7, Alloc16(length));
  uint8_t sense[kSenseBytes];
  return DataOut(scsi, device, cdb, 10, buffer, length, sense);
}

int MmcReadDiscInfo(CScsiContext* scsi, int device, int dataType, uint8_t* buffer, uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[10] = {0x51};
  cdb[1] = dataType & 7;
  Put16(cdb + 7, Alloc16(*length));
  return DataIn(scsi, device, cdb, 10, buffer, length);
}

int MmcReadTrackInfo(CScsiContext* scsi, int device, int open, int addressType, uint32_t address, uint8_t* buffer,
                     uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[10] = {0x52};
  cdb[1] = static_cast<uint8_t>((open ? 0x04 : 0) | (addressType & 3));
  Put32(cdb + 2, address);
  Put16(cdb + 7, Alloc16(*length));
  return DataIn(scsi, device, cdb, 10, buffer, length);
}

int MmcReadDiscStructure(CScsiContext* scsi, int device, int mediaType, uint32_t address, int layer, int format,
                         uint8_t* buffer, uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[12] = {0xAD};
  cdb[1] = mediaType & 0x0F;
  Put32(cdb + 2, address);
  cdb[6] = static_cast<uint8_t>(layer);
  cdb[7] = static_cast<uint8_t>(format);
  Put16(cdb + 8, Alloc16(*length));
  return DataIn(scsi, device, cdb, 12, buffer, length);
}

int MmcSendCueSheet(CScsiContext* scsi, int device, const uint8_t* sheet, uint32_t size) {
  if (size > 0xFFFFFF) return 0;
  uint8_t cdb[10] = {0x5D};
  Put24(cdb + 6, size);
  return DataOut(scsi, device, cdb, 10, sheet, size);
}

int MmcSynchronizeCache(CScsiContext* scsi, int device, int immediate) {
  uint8_t cdb[10] = {0x35};
  cdb[1] = immediate ? 0x02 : 0;
  return NoData(scsi, device, cdb, 10, immediate ? 600 : 9999);
}

int MmcSendOpcInfo(CScsiContext* scsi, int device) {
  uint8_t cdb[10] = {0x54, 0x01};
  return NoData(scsi, device, cdb, 10, 255);
}

int MmcStartStopUnit(CScsiContext* scsi, int device, int loadEject, int start) {
  uint8_t cdb[6] = {0x1B};
  cdb[4] = static_cast<uint8_t>((loadEject ? 2 : 0) | (start ? 1 : 0));
  return NoData(scsi, device, cdb, 6, kDefaultTimeout);
}

int MmcSetCdSpeed(CScsiContext* scsi, int device, uint32_t readSpeed, uint32_t writeSpeed) {
  uint8_t cdb[12] = {0xBB};
  Put16(cdb + 2, readSpeed);
  Put16(cdb + 4, writeSpeed);
  return NoData(scsi, device, cdb, 12, kDefaultTimeout);
}

int MmcCloseTrackSession(CScsiContext* scsi, int device, int immediate, int function, uint32_t track) {
  uint8_t cdb[10] = {0x5B};
  cdb[1] = immediate ? 0x01 : 0;
  cdb[2] = function & 7;
  Put16(cdb + 4, track);
  uint8_t sense[kSenseBytes];
  return NoData(scsi, device, cdb, 10, immediate ? 100 : 9999, sense);
}

int MmcRead10(CScsiContext* scsi, int device, uint32_t lba, uint32_t count, uint8_t* buffer, uint32_t* length) {
  if (count > 0xFFFF) return 0;
  uint8_t cdb[10] = {0x28};
  Put32(cdb + 2, lba);
  Put16(cdb + 7, count);
  uint32_t asked = count * 2048;
  uint32_t n = asked;
  if (length) *length = asked;
  uint8_t sense[kSenseBytes];
  int ok = DataIn(scsi, device, cdb, 10, buffer, &n, sense);
  if (ok && n == asked) return 1;
  if (ok) ScsiSetLastError(scsi, device, ScsiErrorFromDriver(0x28, 1117));
  LastErrorSetFromSense(sense, 1117);
  return 0;
}

int MmcReadCd(CScsiContext* scsi, int device, uint32_t lba, uint32_t count, uint8_t* buffer) {
  if (count > 0xFFFFFF || count > UINT32_MAX / 2352) return 0;
  uint8_t cdb[12] = {0xBE};
  Put32(cdb + 2, lba);
  Put24(cdb + 6, count);
  cdb[9] = 0xF8;
  uint32_t asked = count * 2352;
  uint32_t n = asked;
  uint8_t sense[kSenseBytes];
  int ok = DataIn(scsi, device, cdb, 12, buffer, &n, sense);
  if (ok && n == asked) return 1;
  if (ok) ScsiSetLastError(scsi, device, ScsiErrorFromDriver(0xBE, 1117));
  LastErrorSetFromSense(sense, 1117);
  return 0;
}

int MmcGetConfiguration(CScsiContext* scsi, int device, int rt, uint32_t startFeature, uint8_t* buffer,
                        uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[10] = {0x46};
  cdb[1] = rt & 3;
  Put16(cdb + 2, startFeature);
  Put16(cdb + 7, Alloc16(*length));
  return DataIn(scsi, device, cdb, 10, buffer, length);
}

int MmcGetPerformance(CScsiContext* scsi, int device, int dataType, uint32_t lba, uint32_t maxDescriptors, int type,
                      uint8_t* buffer, uint32_t* length) {
  uint8_t cdb[12] = {0xAC};
  cdb[1] = dataType & 0x1F;
  Put32(cdb + 2, lba);
  Put16(cdb + 8, maxDescriptors);
  cdb[10] = static_cast<uint8_t>(type);
  return DataIn(scsi, device, cdb, 12, buffer, length);
}

int MmcReadFormatCapacities(CScsiContext* scsi, int device, uint8_t* buffer, uint32_t* length) {
  if (!length) return 0;
  uint8_t cdb[10] = {0x23};
  Put16(cdb + 7, Alloc16(*length));
  return DataIn(scsi, device, cdb, 10, buffer, length);
}

int64_t MmcReadCapacity(CScsiContext* scsi, int device) {
  uint8_t cdb[10] = {0x25};
  uint8_t answer[8];
  uint32_t n = sizeof answer;
  if (!DataIn(scsi, device, cdb, 10, answer, &n) || n < 8) return 0;
  uint32_t last = LoadU32BE(answer), block = LoadU32BE(answer + 4);
  if (last == 0 || last == 0xFFFFFFFF || block != 2048) return 0;
  return static_cast<int64_t>(last) + 1;
}

int MmcReserveTrack(CScsiContext* scsi, int device, uint32_t blocks) {
  uint64_t rounded = (static_cast<uint64_t>(blocks) + 15) / 16 * 16;
  if (rounded > UINT32_MAX) return 0;
  uint8_t cdb[10] = {0x53};
  Put32(cdb + 5, static_cast<uint32_t>(rounded));
  return NoData(scsi, device, cdb, 10, 900);
}

int MmcSendDiscTimestamp(CScsiContext* scsi, int device, const char* digits) {
  if (!digits || std::strlen(digits) != 14) return 0;
  // Header: data length 20 (the 22 bytes sent less the length field), two reserved bytes; then four reserved
  // bytes and the 14 digits.
  uint8_t data[22] = {};
  Put16(data, 20);
  std::memcpy(data + 8, digits, 14);
  uint8_t cdb[12] = {0xBF};
  cdb[7] = 0x0F;
  Put16(cdb + 8, sizeof data);
  return DataOut(scsi, device, cdb, 12, data, sizeof data);
}

int MmcWaitUnitReady(CScsiContext* scsi, int device, int tries) {
  for (int attempt = 0;; ++attempt) {
    uint8_t cdb[6] = {0x00};
    uint8_t sense[kSenseBytes];
    if (NoData(scsi, device, cdb, 6, kDefaultTimeout, sense)) return 1;
    uint8_t key = sense[2] & 0x0F;
    if ((sense[0] & 0x70) == 0 && key == 0) {
      if (ScsiGetStatus(scsi, device) != 8) return 0;  // neither sense nor BUSY: the command itself failed
    } else if (key == 2 && (sense[12] == 0x3A || sense[12] == 0x30)) {
      return 0;
    } else if (key == 3 || key == 4 || key == 5) {
      return 0;  // medium or hardware error, or a request the drive refuses: waiting cannot help
    }
    if (attempt >= tries) return 0;
    SysSleepMs(scsi->longDelayMs);
  }
}

int MmcFormatUnit(CScsiContext* scsi, int device, uint32_t blocks, int formatType, int subType, uint32_t parameter,
                  uint8_t options, int tries) {
  uint8_t list[12] = {};
  list[1] = options;
  Put16(list + 2, 8);
  Put32(list + 4, blocks);
  list[8] = static_cast<uint8_t>((formatType & 0x3F) << 2 | (subType & 3));
  Put24(list + 9, parameter);
  uint8_t cdb[6] = {0x04, 0x11};
  if (!DataOut(scsi, device, cdb, 6, list, sizeof list, nullptr, 120)) return 0;
  if (!MmcWaitUnitReady(scsi, device, tries)) return 0;
  if (formatType == 0x26) {
    uint8_t info[42];
    uint32_t n = sizeof info;
    if (!MmcReadDiscInfo(scsi, device, 0, info, &n) || n < 8) return 0;
    return (info[7] & 3) != 0;
  }
  return 1;
}

int MmcBlank(CScsiContext* scsi, int device, int immediate, int type, int tries) {
  uint8_t cdb[12] = {0xA1};
  cdb[1] = static_cast<uint8_t>((immediate ? 0x10 : 0) | (type & 7));
  if (!NoData(scsi, device, cdb, 12, kDefaultTimeout)) return 0;
  return MmcWaitUnitReady(scsi, device, tries);
}

int MmcWrite10(CScsiContext* scsi, int device, uint32_t lba, const uint8_t* buffer, uint32_t byteLength,
               uint32_t blockSize) {
  if (blockSize == 0 || byteLength / blockSize > 0xFFFF) return 0;
  uint8_t cdb[10] = {0x2A};
  Put32(cdb + 2, lba);
  Put16(cdb + 7, byteLength / blockSize);
  uint32_t started = SysGetTickCountMs();
  int becomingReady = 0;
  for (;;) {
    uint8_t sense[kSenseBytes];
    if (DataOut(scsi, device, cdb, 10, buffer, byteLength, sense, 50)) return 1;
    bool inProgress = ScsiSenseInTable(kMmcInProgressSense, 3, sense);
    bool becoming = !inProgress && ScsiSenseInTable(kMmcBecomingReadySense, 3, sense);
    if (!inProgress && !becoming) return 0;
    if (becoming && ++becomingReady > 300) return 0;
    // However the drive answers, a write that has not gone through within the budget has failed.
    if (SysGetTickCountMs() - started >= scsi->writeRetryBudgetMs) return 0;
    if (becoming) SysSleepMs(scsi->longDelayMs);
    SysSleepMs(scsi->longWaitDone ? scsi->retryDelayMs : scsi->longDelayMs);
    scsi->longWaitDone = 1;
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Answer parsers

int MmcParseDiscStatus(const uint8_t* answer, uint32_t length, int* lastSessionState, int* discStatus) {
  if (!answer || length < 3) return -1;
  if (lastSessionState) *lastSessionState = answer[2] >> 2 & 3;
  if (discStatus) *discStatus = answer[2] & 3;
  return 1;
}

int MmcParseNextWritable(const uint8_t* answer, uint32_t length, int strict, uint32_t* address, uint32_t* freeBlocks) {
  ByteReader r(answer, length);
  uint8_t flags = r.U8At(7);
  uint32_t start = r.U32BEAt(8), nwa = r.U32BEAt(12), free = r.U32BEAt(16);
  if (!r.ok() || !(flags & 1)) return 0;
  uint32_t result;
  if (start != 0 && nwa == start + 150) {
    result = nwa;
  } else {
    if (strict && nwa != start) return 0;
    result = start;
  }
  if (address) *address = result;
  if (freeBlocks) *freeBlocks = free;
  return 1;
}

int MmcParseCurrentFeature(const uint8_t* answer, uint32_t length) {
  ByteReader r(answer, length);
  uint32_t dataLength = r.U32BEAt(0);
  uint8_t flags = r.U8At(10);
  return r.ok() && dataLength > 6 && (flags & 1);
}

int MmcParseFormatCapacity(const uint8_t* answer, uint32_t length, int formatType, int choice, uint32_t* blocks,
                           uint32_t* parameter) {
  if (choice < 0 || choice > 2 || !answer || length < 4) return 0;
  uint32_t listLength = answer[3];
  // The current/maximum descriptor comes first; only whole descriptors that arrived are walked.
  uint32_t end = std::min<uint32_t>(4 + listLength, length);
  bool found = false;
  uint32_t bestBlocks = 0, bestParam = 0;
  for (uint32_t at = 12; at + 8 <= end; at += 8) {
    const uint8_t* d = answer + at;
    if ((d[4] >> 2) != formatType) continue;
    uint32_t b = LoadU32BE(d), p = static_cast<uint32_t>(d[5]) << 16 | d[6] << 8 | d[7];
    bool take = !found || (choice == 1 && b > bestBlocks) || (choice == 2 && b < bestBlocks);
    if (take) bestBlocks = b, bestParam = p;
    found = true;
    if (choice == 0) break;
  }
  if (!found) return 0;
  if (blocks) *blocks = bestBlocks;
  if (parameter) *parameter = bestParam;
  return 1;
}

int MmcParseToc(const uint8_t* answer, uint32_t length, uint8_t* tracks, uint32_t* addresses, int capacity) {
  if (!answer || length < 4) return -1;
  uint32_t claimed = 2 + static_cast<uint32_t>(LoadU16BE(answer));
  uint32_t end = std::min(claimed, length);
  int count = 0;
  for (uint32_t at = 4; at + 8 <= end && count < capacity && count < 100; at += 8) {
    if (tracks) tracks[count] = answer[at + 2];
    if (addresses) addresses[count] = LoadU32BE(answer + at + 4);
    ++count;
  }
  return count;
}

int MmcParseWriteParametersPage(const uint8_t* answer, uint32_t length) {
  if (!answer || length < 8 + 2) return -1;
  uint32_t blockDescriptors = LoadU16BE(answer + 6);
  if (blockDescriptors != 0) return -1;
  const uint8_t* page = answer + 8;
  if ((page[0] & 0x3F) != 0x05 || page[1] < 0x32 || 8u + 2 + page[1] > length) return -1;
  return 8;
}

// ---------------------------------------------------------------------------------------------------------------
// Composites

int MmcReadCdText(CScsiContext* scsi, int device, std::vector<uint8_t>* out) {
  if (!out) return 0;
  uint8_t head[4];
  uint32_t n = sizeof head;
  if (!MmcReadToc(scsi, device, 5, 0, head, &n) || n < 2) return 0;
  uint32_t total = LoadU16BE(head) + 2;
  if (total <= 21) return 0;
  out->assign(total, 0);
  n = total;
  if (!MmcReadToc(scsi, device, 5, 0, out->data(), &n)) {
    out->clear();
    return 0;
  }
  out->resize(n);
  if (n >= 2 && LoadU16BE(out->data()) + 2u > n) Put16(out->data(), n - 2);
  return 1;
}

int MmcModeSensePage(CScsiContext* scsi, int device, int pageCode, int pageControl, std::vector<uint8_t>* out) {
  if (!out) return 0;
  uint8_t head[8];
  uint32_t n = sizeof head;
  if (!MmcModeSense10(scsi, device, pageCode, pageControl, head, &n) || n < 8) return 0;
  uint32_t total = LoadU16BE(head) + 2;
  if (total < 8) return 0;
  out->assign(total, 0);
  n = total;
  if (!MmcModeSense10(scsi, device, pageCode, pageControl, out->data(), &n) || n != total ||
      LoadU16BE(out->data()) + 2u != total) {
    out->clear();
    return 0;
  }
  return 1;
}

int MmcGetNextWritableAddress(CScsiContext* scsi, int device, uint32_t track, int strict, uint32_t* address,
                              uint32_t* freeBlocks) {
  uint8_t answer[48];
  uint32_t n = sizeof answer;
  if (!MmcReadTrackInfo(scsi, device, 0, 1, track, answer, &n)) return 0;
  return MmcParseNextWritable(answer, n, strict, address, freeBlocks);
}

int MmcIsDiscBlank(CScsiContext* scsi, int device) {
  uint8_t answer[42];
  uint32_t n = sizeof answer;
  if (!MmcReadDiscInfo(scsi, device, 0, answer, &n)) return 0;
  int lss, status;
  if (MmcParseDiscStatus(answer, n, &lss, &status) < 0) return 0;
  return lss == 0 && (status == 0 || status == 3);
}

int MmcHasCurrentFeature(CScsiContext* scsi, int device, uint32_t feature, uint32_t length) {
  std::vector<uint8_t> answer(std::max<uint32_t>(length, 16));
  uint32_t n = static_cast<uint32_t>(answer.size());
  if (!MmcGetConfiguration(scsi, device, 2, feature, answer.data(), &n)) return 0;
  return MmcParseCurrentFeature(answer.data(), n);
}

int MmcCanReadCdText(CScsiContext* scsi, int device) {
  uint8_t answer[16];
  uint32_t n = sizeof answer;
  if (!MmcGetConfiguration(scsi, device, 2, 0x1E, answer, &n)) return -1;
  return n > 12 ? answer[12] & 1 : 0;
}

int MmcFindFormatCapacity(CScsiContext* scsi, int device, int formatType, int choice, uint32_t* blocks,
                          uint32_t* parameter) {
  if (choice < 0 || choice > 2) return 0;
  uint8_t answer[252];
  uint32_t n = sizeof answer;
  if (!MmcReadFormatCapacities(scsi, device, answer, &n)) return 0;
  return MmcParseFormatCapacity(answer, n, formatType, choice, blocks, parameter);
}

int MmcCheckSectorsBlank(CScsiContext* scsi, int device, uint32_t lba, uint32_t count, uint32_t sectorSize) {
  if (sectorSize != 2048) return -1;
  std::vector<uint8_t> buffer(16 * 2048);
  while (count > 0) {
    uint32_t n = std::min<uint32_t>(count, 16);
    uint32_t got = 0;
    if (!MmcRead10(scsi, device, lba, n, buffer.data(), &got) || got != n * 2048) return -1;
    if (std::any_of(buffer.begin(), buffer.begin() + n * 2048, [](uint8_t b) { return b != 0; })) return 0;
    lba += n;
    count -= n;
  }
  return 1;
}

int BurnJobCheckNextWritableAddress(CBurnJob* job, uint32_t track, int strict, uint32_t expected, uint32_t needed) {
  CScsiContext* scsi = &job->run->scsi;
  uint32_t address = 0, free = 0;
  if (!MmcGetNextWritableAddress(scsi, job->device, track, strict, &address, &free)) {
    BurnJobPrint(job, 1, L"Reading next writable address failed(%08x).", ScsiGetLastError(scsi, job->device));
    return 0;
  }
  if (address != expected) {
    BurnJobPrint(job, 1, L"Reading next writable address failed(%d needed, %d available).", static_cast<int>(expected),
                 static_cast<int>(address));
    return 0;
  }
  if (free < needed) {
    BurnJobReportNoRoom(job, free, needed);
    return 0;
  }
  return 1;
}

int BurnJobWriteZeroSectors(CBurnJob* job, uint32_t lba, uint32_t sectorSize, uint32_t count, uint32_t* failedLba,
                            uint32_t perCommand) {
  if (sectorSize == 0 || perCommand == 0 || perCommand > 0xFFFF / 1) return 0;
  perCommand = std::min<uint32_t>(perCommand, 0xFFFFFFFFu / sectorSize);
  std::vector<uint8_t> zeros(static_cast<size_t>(std::min(perCommand, count ? count : 1)) * sectorSize, 0);
  while (count > 0) {
    uint32_t n = std::min(count, perCommand);
    if (!MmcWrite10(&job->run->scsi, job->device, lba, zeros.data(), n * sectorSize, sectorSize)) {
      if (failedLba) *failedLba = lba;
      return 0;
    }
    lba += n;
    count -= n;
  }
  return 1;
}

int BurnJobDiscHasData(CBurnJob* job) {
  CScsiContext* scsi = &job->run->scsi;
  int device = job->device;
  int code = job->mediaType;
  auto discInfo = [&](uint8_t* answer, uint32_t* n) { return MmcReadDiscInfo(scsi, device, 0, answer, n) && *n >= 7; };
  if ((code >= 1 && code <= 15) || code == 17 || code == 18 || code == 23) return !MmcIsDiscBlank(scsi, device);
  uint8_t info[42];
  uint32_t n = sizeof info;
  switch (code) {
    case 20:
    case 22:
    case 39:
    case 40:
    case 44:
    case 48:
      if (!discInfo(info, &n)) return -1;
      return (info[2] & 3) != 0 && MmcCheckSectorsBlank(scsi, device, 0, 26, 2048) != 1;
    case 21:
    case 24:
    case 33:
    case 36:
    case 41:
    case 45:
      if (!discInfo(info, &n)) return -1;
      return (info[2] & 0x0F) != 0;
    case 34:
    case 37:
    case 42:
    case 46: {
      if (!discInfo(info, &n)) return -1;
      uint32_t lastTrack = info[6] | (n > 11 ? info[11] << 8 : 0);
      if (lastTrack != 1) return 1;
      uint8_t track[48];
      uint32_t tn = sizeof track;
      if (!MmcReadTrackInfo(scsi, device, 0, 1, 1, track, &tn) || tn < 16) return -1;
      return (track[7] & 1) && LoadU32BE(track + 12) != 0;
    }
  }
  return 1;
}
