// MMC commands: one function per command that builds its CDB, runs it through the transport with the command's
// time-out and hands back the answer, and the composite functions on top of them. Answers are parsed with
// bounds checks against what the drive actually sent: a drive is as untrusted as an image file.
#pragma once

#include <cstdint>
#include <vector>

#include "burner/transport.h"

struct CBurnJob;
struct CBurnRun;

// Sense rows of the write retries.
extern const uint8_t kMmcInProgressSense[3][4];
extern const uint8_t kMmcBecomingReadySense[3][4];

int MmcInquiry(CScsiContext* scsi, int device, uint8_t* buffer, uint32_t* length);
int MmcReadToc(CScsiContext* scsi, int device, int format, int msf, uint8_t* buffer, uint32_t* length);
int MmcModeSense10(CScsiContext* scsi, int device, int pageCode, int pageControl, uint8_t* buffer, uint32_t* length);
int MmcModeSelect10(CScsiContext* scsi, int device, const uint8_t* buffer, uint32_t length);
int MmcReadDiscInfo(CScsiContext* scsi, int device, int dataType, uint8_t* buffer, uint32_t* length);
// addressType: 0 LBA, 1 track, 2 session.
int MmcReadTrackInfo(CScsiContext* scsi, int device, int open, int addressType, uint32_t address, uint8_t* buffer,
                     uint32_t* length);
int MmcReadDiscStructure(CScsiContext* scsi, int device, int mediaType, uint32_t address, int layer, int format,
                         uint8_t* buffer, uint32_t* length);
int MmcSendCueSheet(CScsiContext* scsi, int device, const uint8_t* sheet, uint32_t size);
int MmcSynchronizeCache(CScsiContext* scsi, int device, int immediate);
int MmcSendOpcInfo(CScsiContext* scsi, int device);
int MmcStartStopUnit(CScsiContext* scsi, int device, int loadEject, int start);
// SET CD SPEED: read and write speeds in KB/s (0xFFFF: the drive's fastest).
int MmcSetCdSpeed(CScsiContext* scsi, int device, uint32_t readSpeed, uint32_t writeSpeed);
int MmcCloseTrackSession(CScsiContext* scsi, int device, int immediate, int function, uint32_t track);
// Reads `count` 2048-byte blocks; `length` receives the byte length asked for. A short transfer fails.
int MmcRead10(CScsiContext* scsi, int device, uint32_t lba, uint32_t count, uint8_t* buffer, uint32_t* length);
// Reads `count` raw 2352-byte sectors.
int MmcReadCd(CScsiContext* scsi, int device, uint32_t lba, uint32_t count, uint8_t* buffer);
int MmcGetConfiguration(CScsiContext* scsi, int device, int rt, uint32_t startFeature, uint8_t* buffer,
                        uint32_t* length);
int MmcGetPerformance(CScsiContext* scsi, int device, int dataType, uint32_t lba, uint32_t maxDescriptors, int type,
                      uint8_t* buffer, uint32_t* length);
int MmcReadFormatCapacities(CScsiContext* scsi, int device, uint8_t* buffer, uint32_t* length);
// The last LBA + 1, or 0 on failure (last LBA 0 or 0xFFFFFFFF, block length not 2048).
int64_t MmcReadCapacity(CScsiContext* scsi, int device);
// Reserves `blocks`, rounded up to a multiple of 16.
int MmcReserveTrack(CScsiContext* scsi, int device, uint32_t blocks);
// The 14 digits "YYYYMMDDhhmmss"; any other length is refused without a command.
int MmcSendDiscTimestamp(CScsiContext* scsi, int device, const char* digits);
int MmcFormatUnit(CScsiContext* scsi, int device, uint32_t blocks, int formatType, int subType, uint32_t parameter,
                  uint8_t options, int tries);
int MmcBlank(CScsiContext* scsi, int device, int immediate, int type, int tries);
// TEST UNIT READY until ready; `tries` retries after the first attempt.
int MmcWaitUnitReady(CScsiContext* scsi, int device, int tries);
// WRITE(10) with the retries of a drive that is busy or becoming ready.
int MmcWrite10(CScsiContext* scsi, int device, uint32_t lba, const uint8_t* buffer, uint32_t byteLength,
               uint32_t blockSize);

// Composites.
int MmcReadCdText(CScsiContext* scsi, int device, std::vector<uint8_t>* out);
int MmcModeSensePage(CScsiContext* scsi, int device, int pageCode, int pageControl, std::vector<uint8_t>* out);
int MmcGetNextWritableAddress(CScsiContext* scsi, int device, uint32_t track, int strict, uint32_t* address,
                              uint32_t* freeBlocks);
int MmcIsDiscBlank(CScsiContext* scsi, int device);
int MmcHasCurrentFeature(CScsiContext* scsi, int device, uint32_t feature, uint32_t length);
int MmcCanReadCdText(CScsiContext* scsi, int device);
// choice: 0 first, 1 most blocks, 2 fewest blocks.
int MmcFindFormatCapacity(CScsiContext* scsi, int device, int formatType, int choice, uint32_t* blocks,
                          uint32_t* parameter);
int MmcCheckSectorsBlank(CScsiContext* scsi, int device, uint32_t lba, uint32_t count, uint32_t sectorSize);

// Answer parsers, shared with the media detection and exercised on their own by the fuzz target.
// The state of the last session and the disc status (disc information byte 2), or -1 when too short.
int MmcParseDiscStatus(const uint8_t* answer, uint32_t length, int* lastSessionState, int* discStatus);
int MmcParseNextWritable(const uint8_t* answer, uint32_t length, int strict, uint32_t* address, uint32_t* freeBlocks);
int MmcParseCurrentFeature(const uint8_t* answer, uint32_t length);
int MmcParseFormatCapacity(const uint8_t* answer, uint32_t length, int formatType, int choice, uint32_t* blocks,
                           uint32_t* parameter);
// Walks the TOC (format 0) descriptors that were received whole: the count, each one's track and address.
int MmcParseToc(const uint8_t* answer, uint32_t length, uint8_t* tracks, uint32_t* addresses, int capacity);
// Checks a MODE SENSE(10) answer for page 5: the offset of the page in the answer, or -1.
int MmcParseWriteParametersPage(const uint8_t* answer, uint32_t length);

int BurnJobCheckNextWritableAddress(CBurnJob* job, uint32_t track, int strict, uint32_t expected, uint32_t needed);
int BurnJobWriteZeroSectors(CBurnJob* job, uint32_t lba, uint32_t sectorSize, uint32_t count, uint32_t* failedLba,
                            uint32_t perCommand);
// 1 holds data, 0 empty, -1 unknown.
int BurnJobDiscHasData(CBurnJob* job);
