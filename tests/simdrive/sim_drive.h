// The simulated MMC recorder: test infrastructure that answers SCSI commands the way a recorder with a disc in it
// does (MMC-6 and SPC-4 semantics), so that the program's recording layer can run against it unchanged.
//
// A state folder holds one sub-folder per drive ("sg0", "sg1", ...) with the drive's settings (drive.txt), its
// CDB log (cdb.log) and the disc in it (a disc folder holds disc.txt and its user data, data.bin, 2048 bytes per
// block, sparse: zero blocks stay holes). Every command loads the state, runs, and stores it again, so that
// separate processes see one drive; a process that runs many commands keeps the state in memory between them
// and stores it when it closes the drive or ends (KeepStateInMemory). The preload library (sim_preload.cpp) and the
// simdrive command (sim_tool.cpp) are its two users.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simdrive {

// One command as the SCSI generic driver hands it over.
struct Request {
  const uint8_t* cdb = nullptr;
  int cdbLength = 0;
  uint8_t* data = nullptr;
  uint32_t dataLength = 0;
  int direction = 0;  // SG_DXFER_* value
  uint32_t timeoutMs = 0;
  int senseCapacity = 0;
  char interfaceId = 0;
};

struct Reply {
  uint8_t status = 0;  // SCSI status: 0 good, 2 check condition, 8 busy
  uint8_t sense[18] = {};
  int senseLength = 0;
  uint32_t transferred = 0;  // bytes actually moved
  uint16_t hostStatus = 0;
  uint16_t driverStatus = 0;
};

// Runs one command on drive `number` of the state folder. Returns false when the drive does not exist.
bool Execute(const std::string& stateDir, int number, const Request& request, Reply* reply);

// A process that runs many commands (the preload library) keeps the drive's and the disc's state in memory
// between them instead of reading and storing the state files around each command; StoreState writes what
// changed. Another process that changes the files meanwhile is seen while the memory holds nothing unstored.
void KeepStateInMemory(bool on);
void StoreState();

// The drive folder of a device path "/dev/sgN" (N 0..31), or -1.
int DriveNumberOfPath(const char* path);
bool DriveExists(const std::string& stateDir, int number);

// Media kinds the simulator knows ("cd-r", "dvd+rw", "bd-r-dl", ...).
std::vector<std::string> MediaNames();

// Pressed discs and unreadable sectors (sim_read.cpp). A pressed disc is read-only: a data disc of 2048-byte
// blocks from an image, or a CD from a BIN of 2352-byte sectors and its CUE sheet (tracks, INDEX 00/01, REM SESSION).
// `sessions` splits a data disc into sessions of those many sectors (the rest is the last one).
int PressDisc(const std::string& dir, const std::string& media, const std::string& image, const std::string& cue,
              const std::vector<int64_t>& sessions = {});
int MarkUnreadable(const std::string& dir, int64_t first, int64_t count);
// The sectors of a disc folder that every read fails on (unreadable.txt), as first and count.
struct SectorRange {
  int64_t first, count;
};
std::vector<SectorRange> LoadUnreadable(const std::string& discDir);
bool SectorsUnreadable(const std::vector<SectorRange>& unreadable, int64_t lba, int64_t count);
// Raw sectors as stored in the disc's raw.bin (pressed CDs, sessions written at once); false when it does not hold
// them all.
bool ReadRawSectors(const std::string& discDir, int64_t lba, uint32_t count, uint8_t* out);
// The CD-TEXT packs (18 bytes each) of a disc's lead-in as READ TOC format 5 gives them: the lead-in's R-W
// subchannel blocks (leadin.bin) decoded, one cycle of the packs that repeat through it; none without a lead-in.
std::vector<uint8_t> LeadInCdTextPacks(const std::string& discDir);
// Read faults of a disc (sim_copy.cpp): the sectors a disc folder marks as reading back corrupt (corrupt.txt), and
// inverting the user data of those among the blocks just read.
std::vector<int64_t> LoadCorrupt(const std::string& discDir);
void ApplyReadFaults(const std::vector<int64_t>& corrupt, int64_t lba, uint32_t count, uint32_t blockSize,
                     uint8_t* data);
// Marks a disc folder as changed by another command (unreadable, corrupt), so that a process keeping the disc in
// memory reads it again.
void TouchDisc(const std::string& discDir);
// "corrupt DISC LBA": marks a sector of a disc folder as reading back corrupt.
int ToolCorrupt(const std::vector<std::string>& args);

// The simdrive command; returns its exit status.
int ToolMain(int argc, char** argv);

}  // namespace simdrive
