// What the CD and the DVD/BD writers share while they move sectors from the burn buffer to the recorder: the
// progress line of "Writing media...", the progress title naming the image's item being written, the report of
// a source that stopped delivering, and the error code of the job's last command.
#pragma once

#include <cstdint>
#include <vector>

struct CBurnJob;
struct CBurnBuffer;

// Mode page 5 (write parameters) as the drive reports it with page control `control`, made ready to go back with
// MODE SELECT (mode header and block-descriptor length zeroed, PS cleared): the page's offset in `select`, or -1
// when it cannot be read or is not a valid page.
int BurnReadWriteParameters(CBurnJob* job, int control, std::vector<uint8_t>* select);
// Sends the page at `at` of `select`; a drive that refuses it gets it once more without buffer-underrun
// protection. 1 when one of them is taken.
int BurnSendWriteParameters(CBurnJob* job, std::vector<uint8_t>* select, int at);

// The masked error code of the last command the job's device ran.
uint32_t BurnJobLastError(CBurnJob* job);
// The packed sense (key, ASC, ASCQ) of that command.
uint32_t BurnJobLastSense(CBurnJob* job);

// The disc has room for fewer sectors than the write needs: the burn-state hook hears of it and the user is told.
void BurnJobReportNoRoom(CBurnJob* job, int64_t available, int64_t needed);

// The writer ran out of sectors because the source could not be read: says so, in the words of the source when
// it has them (the sectors of a copy), else naming the image.
void BurnJobReportSourceFailure(CBurnJob* job, CBurnBuffer* buffer);

// Names the image's item at `lba` in the progress title, at most once a second.
void BurnJobShowItemAt(CBurnJob* job, CBurnBuffer* buffer, int64_t lba);

// The "Writing media..." progress of one write pass: a console progress line, or the job's percent when the run
// has no console. The line is ended when the object goes.
class CWriteProgress {
 public:
  CWriteProgress(CBurnJob* job, uint64_t total);
  ~CWriteProgress();
  CWriteProgress(const CWriteProgress&) = delete;
  CWriteProgress& operator=(const CWriteProgress&) = delete;
  void Show(uint64_t done);

 private:
  CBurnJob* job_;
  uint64_t total_;
  bool console_;
};
