#include "burner/transport.h"

#include <errno.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cstring>

#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/hooks.h"

namespace {

constexpr int kSgInterfaceId = 'S';

}  // namespace

int ScsiCheckCdbLength(const uint8_t* cdb, int length) {
  if (!cdb) return 0;
  uint8_t op = cdb[0];
  if (op < 0x20) return length == 6;
  if (op < 0x60) return length == 10;
  if (op >= 0xA0 && op < 0xC0) return length == 12;
  return 1;
}

int ScsiSenseInTable(const uint8_t (*table)[4], int rows, const uint8_t* sense) {
  if (!table || !sense) return 0;
  for (int i = 0; i < rows; ++i) {
    if (table[i][0] == (sense[2] & 0x0F) && table[i][1] == sense[12] && table[i][2] == sense[13]) return 1;
  }
  return 0;
}

int ScsiDeviceSlotOf(const CScsiContext* scsi, int device) {
  if (!scsi || device == 0) return kScsiSharedSlot;
  for (int i = 0; i < kScsiJobSlots; ++i)
    if (scsi->jobDevice[i] == device) return i;
  return kScsiSharedSlot;
}

uint32_t ScsiGetLastError(const CScsiContext* scsi, int device) {
  return scsi ? scsi->error[ScsiDeviceSlotOf(scsi, device)] : 0;
}
void ScsiSetLastError(CScsiContext* scsi, int device, uint32_t value) {
  if (scsi) scsi->error[ScsiDeviceSlotOf(scsi, device)] = value;
}
uint32_t ScsiGetSense(const CScsiContext* scsi, int device) {
  return scsi ? scsi->sense[ScsiDeviceSlotOf(scsi, device)] : 0;
}
void ScsiSetSense(CScsiContext* scsi, int device, uint32_t value) {
  if (scsi) scsi->sense[ScsiDeviceSlotOf(scsi, device)] = value;
}
uint8_t ScsiGetStatus(const CScsiContext* scsi, int device) {
  return scsi ? scsi->status[ScsiDeviceSlotOf(scsi, device)] : 0;
}
void ScsiSetStatus(CScsiContext* scsi, int device, uint8_t value) {
  if (scsi) scsi->status[ScsiDeviceSlotOf(scsi, device)] = value;
}

void ScsiClearResults(CScsiContext* scsi) {
  if (!scsi) return;
  std::memset(scsi->error, 0, sizeof scsi->error);
  std::memset(scsi->sense, 0, sizeof scsi->sense);
  std::memset(scsi->status, 0, sizeof scsi->status);
}

uint32_t ScsiPackSense(const uint8_t* sense) {
  return static_cast<uint32_t>(sense[2] & 0x0F) << 16 | static_cast<uint32_t>(sense[12]) << 8 | sense[13];
}

uint32_t ScsiErrorFromSense(uint8_t opcode, const uint8_t* sense) {
  uint32_t code = opcode | static_cast<uint32_t>(sense[2]) << 8 | static_cast<uint32_t>(sense[12]) << 16 |
                  static_cast<uint32_t>(sense[13]) << 24;
  return code ^ kScsiErrorMask;
}

uint32_t ScsiErrorFromDriver(uint8_t opcode, int32_t code) {
  return (0xFF000000u | static_cast<uint32_t>(opcode) << 16 | (static_cast<uint32_t>(code) & 0xFFFF)) ^ kScsiErrorMask;
}

int ScsiDecodeError(uint32_t stored, uint8_t* opcode, uint8_t* senseByte2, uint8_t* asc, uint8_t* ascq) {
  if (stored == 0) return 0;
  uint32_t v = stored ^ kScsiErrorMask;
  if ((v >> 24) == 0xFF) {
    if (opcode) *opcode = (v >> 16) & 0xFF;
    if (senseByte2) *senseByte2 = 0;
    if (asc) *asc = (v >> 8) & 0xFF;
    if (ascq) *ascq = v & 0xFF;
    return 2;
  }
  if (opcode) *opcode = v & 0xFF;
  if (senseByte2) *senseByte2 = (v >> 8) & 0xFF;
  if (asc) *asc = (v >> 16) & 0xFF;
  if (ascq) *ascq = v >> 24;
  return 1;
}

int SgIoExecute(int device, CScsiPassThrough* record) {
  if (!record) return 0;
  sg_io_hdr_t h;
  std::memset(&h, 0, sizeof h);
  h.interface_id = kSgInterfaceId;
  h.dxfer_direction = record->direction == kScsiToDevice ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
  h.cmd_len = record->cdbLength;
  h.cmdp = record->cdb;
  h.mx_sb_len = record->senseLength;
  h.sbp = record->sense;
  h.dxfer_len = record->dataLength;
  h.dxferp = record->data;
  h.timeout = record->timeoutSeconds * 1000;
  if (ioctl(device, SG_IO, &h) < 0) return 0;
  record->scsiStatus = h.status;
  record->residual = h.resid > 0 && static_cast<uint32_t>(h.resid) <= record->dataLength ? h.resid : 0;
  if (h.resid > 0 && static_cast<uint32_t>(h.resid) > record->dataLength) record->residual = record->dataLength;
  // A transport failure (lost connection, time-out, a driver refusal) is no answer of the device.
  if (h.host_status != 0) {
    errno = EIO;
    return 0;
  }
  if ((h.driver_status & 0x0F) != 0 && (h.driver_status & 0x0F) != 0x08) {
    errno = EIO;
    return 0;
  }
  return 1;
}

int ScsiExecuteCommand(CScsiContext* scsi, int device, const uint8_t* cdb, int cdbLength, void* data,
                       uint32_t* dataLength, uint8_t* sense, int senseLength, int fromDevice, uint32_t timeoutSeconds) {
  ScsiSetLastError(scsi, device, 0);
  ScsiSetSense(scsi, device, 0);
  ScsiSetStatus(scsi, device, 0);
  bool argsOk = cdb && cdbLength >= 1 && cdbLength <= 16 && (sense != nullptr) == (senseLength != 0) &&
                senseLength >= 0 && senseLength <= 255 && ScsiCheckCdbLength(cdb, cdbLength) && dataLength &&
                (data != nullptr) == (*dataLength != 0);
  if (!argsOk) {
    DebugTrace(L"C1 ERROR\r\n");
    return 0;
  }
  if (sense) std::memset(sense, 0, senseLength);

  // The record lives for this command only; it is small enough for the stack.
  CScsiPassThrough request;
  std::memset(&request, 0, sizeof request);
  CScsiPassThrough* record = &request;
  record->length = 44;
  record->cdbLength = static_cast<uint8_t>(cdbLength);
  std::memcpy(record->cdb, cdb, cdbLength);
  record->senseLength = static_cast<uint8_t>(senseLength);
  record->direction = *dataLength == 0 ? kScsiNoData : fromDevice ? kScsiFromDevice : kScsiToDevice;
  record->dataLength = *dataLength;
  record->data = data;
  record->senseOffset = 44;

  uint32_t timeout = timeoutSeconds;
  if (scsi && scsi->readingDevice != 0 && scsi->readingDevice == device) {
    for (int32_t k = 0; k < scsi->readFailures && timeout > 1; ++k) timeout /= 2;
    if (timeout < 1) timeout = 1;
  }
  record->timeoutSeconds = timeout;

  int ok = scsi && scsi->answer ? scsi->answer(scsi->answerContext, device, record) : SgIoExecute(device, record);
  ScsiSetStatus(scsi, device, record->scsiStatus);
  const bool dataIn = record->direction == kScsiFromDevice;
  if (!ok) {
    int32_t code = LastErrorGetCode();
    ScsiSetLastError(scsi, device, ScsiErrorFromDriver(cdb[0], code ? code : errno));
    DebugTrace(L"C3 ERROR\r\n");
    // Nothing of a refused command counts as data: the caller's buffer reads as zeros.
    if (dataIn && data && record->dataLength) std::memset(data, 0, record->dataLength);
    *dataLength = 0;
    return 0;
  }
  // What arrived: a positive residual of a read is a short transfer. The bytes that did not arrive read as zeros,
  // never as what the buffer held before; a full transfer is not cleared at all (a whole disc is read through here).
  if (dataIn) {
    const uint32_t missing = record->residual < record->dataLength ? record->residual : record->dataLength;
    *dataLength = record->dataLength - missing;
    if (missing) std::memset(static_cast<uint8_t*>(data) + *dataLength, 0, missing);
  }
  uint8_t key = record->sense[2] & 0x0F;
  if (key == 0 && record->scsiStatus == 0) {
    LastErrorSetCode(0);
    return 1;
  }
  if (sense) {
    int limit = record->sense[7] <= 10 ? record->sense[7] + 8 : 18;
    std::memcpy(sense, record->sense, senseLength < limit ? senseLength : limit);
  }
  LastErrorSetCode(0);
  if (key != 0 || record->scsiStatus != 0) {
    ScsiSetLastError(scsi, device, ScsiErrorFromSense(cdb[0], record->sense));
    ScsiSetSense(scsi, device, ScsiPackSense(record->sense));
  }
  return 0;
}

int ScsiOpenDevice(const wchar_t* path) { return RawFileOpen(path); }
