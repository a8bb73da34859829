// Burn jobs: the table of recorders taking part in one run of burning, copying or erasing, the state of that run,
// the entry points the commands call, the fixed sequence of stages every job walks through, and the message
// functions through which the recording layer reports to the user.
//
// Everything a run needs lives in one CBurnRun that the command owns: the job table, the SCSI result slots, the
// settings the command copied in, and the texts of the run. The steps that come after the destination is
// accepted (burn buffer, CD and DVD/BD writers, verification, erasing, the disc copy) reach the run through its
// CBurnStages; a step that is not supplied fails the job like a writer that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "burner/buffer.h"
#include "burner/transport.h"

struct CImageDocument;
struct CBurnRun;
struct CBurnCopy;
struct CTrackTable;

constexpr int kBurnJobCount = 32;
constexpr int kBurnPathChars = 32;
constexpr int kBurnMessageChars = 8192;

enum : int32_t {
  kBurnJobBurn = 1,
  kBurnJobErase = 2,
  kBurnJobCopy = 3,
};

// Switch bits the command copies into the run (the same bits as the command line's settings).
enum : uint32_t {
  kBurnSwitchVerify = 1u << 29,
  kBurnSwitchEject = 1u << 28,
  kBurnSwitchFullErase = 1u << 27,
  kBurnSwitchTempFileForCopy = 1u << 26,
};

enum : int {
  kBurnLevelInfo = 0,
  kBurnLevelError = 1,
  kBurnLevelWarning = 2,
};

// Speed units: KB/s of 1x.
constexpr int kSpeedUnitCd = 176;
constexpr int kSpeedUnitDvd = 1385;
constexpr int kSpeedUnitBd = 4495;

struct CBurnJob {
  int32_t active;
  int32_t slot;
  wchar_t devicePath[kBurnPathChars + 1];
  int32_t mediaType;
  int device;  // the open descriptor while a flow runs on the job, 0 none
  uint32_t lastError;
  uint32_t lastSense;
  uint8_t lastStatus;
  std::vector<uint8_t> verifySource;  // sector buffers of a verification
  std::vector<uint8_t> verifyDisc;
  uint32_t percent;
  int32_t stage;
  int32_t copyNumber;
  int32_t unit1x;
  uint32_t speed;  // KB/s of an erase; 0: the run's write speed
  CBurnRun* run;
};

// The steps of a job that later layers supply. Each returns 1 on success, 0 on failure, unless said otherwise.
struct CBurnStages {
  // The destination check: 0 go on, 1 cancelled by the user, -1 refused or failed (it has said why).
  int (*prepareDestination)(CBurnJob* job);
  int (*bufferCreate)(CBurnJob* job, CImageDocument* document, int32_t sectorSize);
  void (*bufferDestroy)(CBurnJob* job);
  int (*writeCdImage)(CBurnJob* job);
  int (*writeCdCopy)(CBurnJob* job);
  int (*writeDvdImage)(CBurnJob* job);
  // The multisession steps of a rewritable DVD or BD that takes a further session: before writing (the disc's
  // first sectors are read), for every packet written (`lba` and `sectors` of `data`), and after the last packet
  // (the first sectors are brought up to date in steps of `packetSectors`).
  int (*multisession)(CBurnJob* job);
  int (*multisessionPacket)(CBurnJob* job, int64_t lba, const uint8_t* data, int32_t sectors);
  int (*multisessionFinish)(CBurnJob* job, int32_t packetSectors);
  int (*verifyMedia)(CBurnJob* job);
  int (*eraseMedia)(CBurnJob* job, int32_t method, int32_t speed);
  int (*copyDisc)(CBurnJob* job);
  // Closes the source drive and the copy cache file that a copy held.
  void (*releaseCopy)(CBurnRun* run);
  // Turns the CD-TEXT packs read from a copy's source disc into the subchannel block of its track table: 1, or 0.
  int (*cdTextPacks)(CTrackTable* table, const uint8_t* packs, size_t length);
};

struct CBurnRun {
  CScsiContext scsi;
  CBurnJob jobs[kBurnJobCount];
  // Set by the command before an entry point is called.
  int32_t jobType = 0;
  std::wstring drivePath;   // the recorder
  std::wstring sourcePath;  // the source drive of a copy
  uint32_t switchFlags = 0;
  int32_t speedKind = 0;  // 1 CD, 2 DVD, 3 BD, 0 none
  double speedFactor = 0;
  CImageDocument* document = nullptr;  // owned by the command
  int64_t appendStart = 0;             // first sector of the session the document builds (0: a whole disc)
  int32_t appendTrack = 1;             // number of the first track of that session
  CBurnSource source;                  // where the burn buffer's reader gets the document's sectors
  int32_t consoleMode = 1;
  CBurnStages stages = {};
  // State of the run.
  int32_t driveCount = 1;
  int32_t severalDrives = 0;
  int32_t jobError = 0;
  int32_t messageError = 0;
  int32_t oneDriveCopy = 0;
  int32_t copyThroughTemp = 0;
  int32_t eraseMethod = 1;  // 1 quick, 2 full
  int32_t finalize = 1;
  int32_t writeSpeed = -1;  // KB/s, -1 the drive's maximum
  int32_t rewritable = 0;
  int32_t writeCdText = 0;
  int32_t copyCounter = 0;
  int32_t sectorSize = 0;  // of the burn buffer of the job being written
  int32_t cancelled = 0;
  std::wstring resultText;
  std::wstring statusText;
  uint32_t lastTitleMs = 0;
  uint32_t stagePollMs = 50;
  std::unique_ptr<CBurnBuffer> buffer;  // of the job being written
  // The disc's first sectors as the multisession stages wrote them after appending a session to a rewritable
  // disc (whole 2048-byte sectors from LBA 0; empty when they were not rewritten): the verification reads them
  // back against this copy.
  std::vector<uint8_t> rewrittenHead;
  std::shared_ptr<CBurnCopy> copy;      // the source drive, layout and temporary image of a copy (burner/copy.h)
};

// Fills the stages with the recorder's own burn buffer, CD writer, destination check and erase.
void BurnUseRecorderStages(CBurnRun* run);

// Entries of burn-image and copy-disc (job type 1 or 3) and of erase-disc.
int BurnJobsRunAll(CBurnRun* run);
int BurnJobsRunErase(CBurnRun* run);

int BurnJobSetup(CBurnJob* job);
void BurnJobStart(CBurnJob* job);
int BurnJobRun(CBurnJob* job);
int BurnJobBurnImage(CBurnJob* job, int erase, CImageDocument* document);
void BurnJobsWaitStage(CBurnRun* run, int32_t stage);
void BurnJobsReset(CBurnRun* run);
void BurnJobsFree(CBurnRun* run);
void BurnJobReleaseDevices(CBurnJob* job);
// Opens the job's device and checks that it is a recorder (INQUIRY peripheral type 5): the descriptor, or 0
// after "Error opening device %ls.".
int BurnJobOpenDevice(CBurnJob* job);

// Messages: level 0 information, 1 error, 2 warning. `job` may be null.
void BurnJobPrint(CBurnRun* run, CBurnJob* job, int level, const wchar_t* format, ...);
void BurnJobPrint(CBurnJob* job, int level, const wchar_t* format, ...);
void BurnJobPrintString(CBurnRun* run, CBurnJob* job, int level, const std::wstring& text);
void BurnJobPrintForDevice(CBurnRun* run, const wchar_t* devicePath, int level, const wchar_t* format, ...);
void BurnJobSetStatus(CBurnRun* run, CBurnJob* job, int level, const wchar_t* format, ...);
void BurnJobSetStatusString(CBurnRun* run, CBurnJob* job, int level, const std::wstring& text);
void BurnJobSetStatusForDevice(CBurnRun* run, const wchar_t* devicePath, int level, const wchar_t* format, ...);

uint32_t BurnJobSetProgress(CBurnJob* job, uint64_t done, uint64_t total);
void BurnJobReportStart(CBurnJob* job, int verifying);
void BurnJobReportTitle(CBurnJob* job, int verifying, const wchar_t* text);
void BurnJobsEndBuildReading(CBurnRun* run);
int BurnGetVerifyOption(const CBurnRun* run);
// The run's write speed for a -speed kind and multiplier: KB/s, or -1 for the drive's maximum.
int32_t BurnSpeedFromSetting(int32_t kind, double factor);
