#include "burner/writer.h"

#include "burner/buffer.h"
#include "burner/jobs.h"
#include "burner/mmc.h"
#include "image/document.h"
#include "runtime/file.h"
#include "runtime/hooks.h"
#include "runtime/ui.h"
#include "runtime/wstring.h"

uint32_t BurnJobLastError(CBurnJob* job) { return ScsiGetLastError(&job->run->scsi, job->device); }

uint32_t BurnJobLastSense(CBurnJob* job) { return ScsiGetSense(&job->run->scsi, job->device); }

void BurnJobReportNoRoom(CBurnJob* job, int64_t available, int64_t needed) {
  UiHookBurnState();
  BurnJobPrint(job, kBurnLevelError, L"There is not enough space on the disc (%lld sectors needed, %lld available).",
               static_cast<long long>(needed), static_cast<long long>(available));
}

void BurnJobReportSourceFailure(CBurnJob* job, CBurnBuffer* buffer) {
  if (!buffer->readFailed) return;
  if (buffer->source.reportFailure) {
    buffer->source.reportFailure(buffer->source.context, job, buffer->failedSector, buffer->failedCount);
    return;
  }
  BurnJobPrint(job, kBurnLevelError, L"%ls", L"Error reading image data.");
  if (buffer->document && !WstrIsEmpty(buffer->document->path))
    BurnJobPrint(job, kBurnLevelError, L"%ls", buffer->document->path.c_str());
}

void BurnJobShowItemAt(CBurnJob* job, CBurnBuffer* buffer, int64_t lba) {
  CBurnRun* run = job->run;
  if (!buffer->source.itemAt) return;
  uint32_t now = SysGetTickCountMs();
  if (run->lastTitleMs != 0 && now - run->lastTitleMs < 1000) return;
  BurnJobReportTitle(job, 0, buffer->source.itemAt(buffer->source.context, lba));
}

CWriteProgress::CWriteProgress(CBurnJob* job, uint64_t total)
    : job_(job), total_(total), console_(job->run->consoleMode != 0) {
  if (console_) UiProgressBegin(L"Writing media...", total);
}

CWriteProgress::~CWriteProgress() {
  if (!console_) return;
  UiProgressEnd();
  UiPrintf(L"\r\n");  // the caller ends the progress line
}

void CWriteProgress::Show(uint64_t done) {
  if (console_)
    UiProgressShowPercent(done, total_);
  else
    BurnJobSetProgress(job_, done, total_);
}

int BurnReadWriteParameters(CBurnJob* job, int control, std::vector<uint8_t>* select) {
  std::vector<uint8_t> answer;
  if (!MmcModeSensePage(&job->run->scsi, job->device, 5, control, &answer)) return -1;
  const int at = MmcParseWriteParametersPage(answer.data(), static_cast<uint32_t>(answer.size()));
  if (at < 0) return -1;
  select->assign(answer.begin(), answer.begin() + at + 2 + answer[at + 1]);
  (*select)[0] = (*select)[1] = 0;
  (*select)[6] = (*select)[7] = 0;
  (*select)[at] &= 0x3F;
  return at;
}

int BurnSendWriteParameters(CBurnJob* job, std::vector<uint8_t>* select, int at) {
  CScsiContext* scsi = &job->run->scsi;
  if (MmcModeSelect10(scsi, job->device, select->data(), static_cast<uint32_t>(select->size()))) return 1;
  (*select)[at + 2] &= static_cast<uint8_t>(~0x40);  // a drive without buffer-underrun protection
  return MmcModeSelect10(scsi, job->device, select->data(), static_cast<uint32_t>(select->size()));
}
