// burner/: optical disc recording. It owns the SCSI generic transport to recorders, the MMC command set, media
// detection, the burn buffer and its reader thread, CD writing, erasing, and the burn jobs that drive a recorder
// through a run. It uses runtime/, image/ (the document to burn and its track table) and tree/ (the files of a
// disc's volume) and nothing above them; the command layer fills the run record, hands in the reader of the
// image's sectors and calls its entries.
//
// The SCSI generic transport: every command to a drive goes through ScsiExecuteCommand, which checks the CDB and
// the buffers, builds the pass-through record, hands it to the Linux sg driver (SG_IO) and keeps the outcome in
// the result slot of the device.
#pragma once

#include <cstdint>

constexpr int kScsiJobSlots = 32;
constexpr int kScsiSharedSlot = 32;  // every descriptor that no active job holds
constexpr uint32_t kScsiErrorMask = 0x3C5E1A97;

// Pass-through request record: built per command, released after it.
struct CScsiPassThrough {
  uint16_t length;      // 44
  uint8_t scsiStatus;   // returned by the device
  uint8_t cdbLength;    // 1..16
  uint8_t senseLength;  // asked for by the caller
  uint8_t direction;    // 0 to the device, 1 from the device, 2 no data
  uint32_t dataLength;  // bytes
  uint32_t timeoutSeconds;
  void* data;
  uint32_t senseOffset;  // 44: the sense area follows the fixed part
  uint32_t residual;     // bytes the driver did not transfer
  uint8_t cdb[16];
  uint8_t sense[255];
};

// Result slots of every device, and what decides a device's slot: the descriptors of the active jobs, and the
// drive that an image is being made from (its time-outs shrink while reads keep failing).
// The waits of the MMC layer are kept here too: tests shorten them.
struct CScsiContext {
  uint32_t error[kScsiSharedSlot + 1] = {};  // masked error codes
  uint32_t sense[kScsiSharedSlot + 1] = {};  // packed sense: key << 16 | ASC << 8 | ASCQ
  uint8_t status[kScsiSharedSlot + 1] = {};
  int jobDevice[kScsiJobSlots] = {};     // the descriptor of the active job in each slot, 0 none
  int readingDevice = 0;                 // the drive an image is being made from, 0 none
  int32_t readFailures = 0;              // consecutive failed reads of that drive
  uint32_t retryDelayMs = 100;           // between write retries
  uint32_t longDelayMs = 1000;           // the first in-progress wait, a becoming-ready wait, a ready poll
  uint32_t writeRetryBudgetMs = 600000;  // a write that stays in progress longer than this fails
  int32_t longWaitDone = 0;              // the first in-progress wait has been made
  // When set, commands go here instead of the sg driver (a stand-in drive: the fuzz targets feed it answers).
  int (*answer)(void* context, int device, CScsiPassThrough* record) = nullptr;
  void* answerContext = nullptr;
  // Where the UDF volume of the disc in `device` ends (the sector after its partition), reading no further than
  // `discSectors`; -1 when no UDF volume is recognised. The layer that reads file systems installs it where
  // drives are opened; without it, a disc whose sector 16 holds no ISO 9660 volume keeps the track the drive
  // reports.
  int64_t (*udfVolumeEnd)(CScsiContext* scsi, int device, int64_t discSectors) = nullptr;
};

enum : int {
  kScsiToDevice = 0,
  kScsiFromDevice = 1,
  kScsiNoData = 2,
};

// Runs one command: 1 when it completed with status 0 and no sense key, else 0. `dataLength` is in/out: on return
// it holds the bytes actually transferred.
int ScsiExecuteCommand(CScsiContext* scsi, int device, const uint8_t* cdb, int cdbLength, void* data,
                       uint32_t* dataLength, uint8_t* sense, int senseLength, int fromDevice, uint32_t timeoutSeconds);
// Hands the record to the driver: 1 when the ioctl succeeded and the driver and host report no failure.
int SgIoExecute(int device, CScsiPassThrough* record);
// 1 when the CDB length fits the opcode's group.
int ScsiCheckCdbLength(const uint8_t* cdb, int length);
// 1 when a row {key, ASC, ASCQ, 0} of the table matches the sense data (key: low four bits of byte 2).
int ScsiSenseInTable(const uint8_t (*table)[4], int rows, const uint8_t* sense);

int ScsiDeviceSlotOf(const CScsiContext* scsi, int device);
uint32_t ScsiGetLastError(const CScsiContext* scsi, int device);
void ScsiSetLastError(CScsiContext* scsi, int device, uint32_t value);
uint32_t ScsiGetSense(const CScsiContext* scsi, int device);
void ScsiSetSense(CScsiContext* scsi, int device, uint32_t value);
uint8_t ScsiGetStatus(const CScsiContext* scsi, int device);
void ScsiSetStatus(CScsiContext* scsi, int device, uint8_t value);
// Zeroes the three result arrays.
void ScsiClearResults(CScsiContext* scsi);

// The error codes as stored (already masked).
uint32_t ScsiErrorFromSense(uint8_t opcode, const uint8_t* sense);
uint32_t ScsiErrorFromDriver(uint8_t opcode, int32_t code);
uint32_t ScsiPackSense(const uint8_t* sense);
// A stored code taken apart again: 1 for a device answer (opcode, sense byte 2, ASC, ASCQ), 2 for a driver
// refusal (opcode, error code in `asc`/`ascq` as its high/low byte), 0 for no error.
int ScsiDecodeError(uint32_t stored, uint8_t* opcode, uint8_t* senseByte2, uint8_t* asc, uint8_t* ascq);

// Opens a device path read-write: the descriptor, or 0.
int ScsiOpenDevice(const wchar_t* path);
