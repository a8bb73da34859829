#include "burner/jobs.h"

#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "burner/copy.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/hooks.h"
#include "runtime/settings.h"
#include "runtime/ui.h"
#include "runtime/wstring.h"

namespace {

// The formatted text, cut to the message buffer of 8,192 characters.
std::wstring FormatV(const wchar_t* format, va_list ap) {
  CWideString text;
  WstrFormatV(text, format ? format : L"", ap);
  std::wstring out(text.c_str() ? text.c_str() : L"");
  if (out.size() >= kBurnMessageChars) out.resize(kBurnMessageChars - 1);
  return out;
}

void CopyPath(wchar_t* out, const wchar_t* path) {
  size_t i = 0;
  for (; path && path[i] && i < kBurnPathChars; ++i) out[i] = path[i];
  out[i] = 0;
}

std::wstring WithPrefix(const CBurnRun* run, const CBurnJob* job, const std::wstring& text) {
  if (job && job->devicePath[0] && run->severalDrives) {
    return L"[Drive " + std::wstring(job->devicePath) + L":] " + text;
  }
  return text;
}

void Emit(CBurnRun* run, CBurnJob* job, int level, const std::wstring& text) {
  std::wstring line = WithPrefix(run, job, text);
  if (line.size() >= kBurnMessageChars) line.resize(kBurnMessageChars - 1);
  if (run->consoleMode) {
    UiPrintf(L"%ls\r\n", line.c_str());
  } else {
    run->statusText = line;
  }
  if (level == kBurnLevelError) run->messageError = 1;
}

void EmitStatus(CBurnRun* run, CBurnJob* job, const std::wstring& text) {
  std::wstring line = WithPrefix(run, job, text);
  if (line.size() >= kBurnMessageChars) line.resize(kBurnMessageChars - 1);
  run->statusText = line;
}

bool EqualNoCase(const std::wstring& a, const wchar_t* b) {
  size_t n = std::wcslen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

void SetStage(CBurnJob* job, int32_t stage) {
  job->stage = stage;
  BurnJobsWaitStage(job->run, stage);
}

void CloseJobDevice(CBurnJob* job) {
  if (job->device) {
    job->run->scsi.jobDevice[job->slot] = 0;
    RawFileClose(job->device);
    job->device = 0;
  }
}

// A plain 2048-byte data image: not raw, not an audio or mixed layout, not Mode 2.
bool IsPlainDataImage(const CImageDocument* document) {
  if (!document || document->sectorSize != 2048 || document->rawMode2) return false;
  const CTrackTable* table = document->trackTable;
  if (!table) return true;
  for (int32_t i = 0; i < table->trackCount && i < kTrackTableMaxTracks; ++i) {
    uint8_t mode = table->tracks[i].mode;
    if (mode != kTrackModeMode1 && mode != 3) return false;
  }
  return true;
}

}  // namespace

void BurnJobPrint(CBurnRun* run, CBurnJob* job, int level, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::wstring text = FormatV(format, ap);
  va_end(ap);
  Emit(run, job, level, text);
}

void BurnJobPrint(CBurnJob* job, int level, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::wstring text = FormatV(format, ap);
  va_end(ap);
  Emit(job->run, job, level, text);
}

void BurnJobPrintString(CBurnRun* run, CBurnJob* job, int level, const std::wstring& text) {
  BurnJobPrint(run, job, level, L"%ls", text.c_str());
}

void BurnJobPrintForDevice(CBurnRun* run, const wchar_t* devicePath, int level, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::wstring text = FormatV(format, ap);
  va_end(ap);
  CBurnJob scratch{};
  scratch.run = run;
  CopyPath(scratch.devicePath, devicePath);
  BurnJobPrint(run, &scratch, level, L"%ls", text.c_str());
}

void BurnJobSetStatus(CBurnRun* run, CBurnJob* job, int /*level*/, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::wstring text = FormatV(format, ap);
  va_end(ap);
  EmitStatus(run, job, text);
}

void BurnJobSetStatusString(CBurnRun* run, CBurnJob* job, int level, const std::wstring& text) {
  BurnJobSetStatus(run, job, level, L"%ls", text.c_str());
}

void BurnJobSetStatusForDevice(CBurnRun* run, const wchar_t* devicePath, int /*level*/, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::wstring text = FormatV(format, ap);
  va_end(ap);
  CBurnJob scratch{};
  scratch.run = run;
  CopyPath(scratch.devicePath, devicePath);
  EmitStatus(run, &scratch, text);
}

uint32_t BurnJobSetProgress(CBurnJob* job, uint64_t done, uint64_t total) {
  uint32_t percent = 0;
  if (total != 0) {
    // done x 100 in 64 bits; a done count that large is past 100 % anyway.
    uint64_t scaled = done > UINT64_MAX / 100 ? UINT64_MAX : done * 100;
    uint64_t p = scaled / total;
    percent = p > 100 ? 100 : static_cast<uint32_t>(p);
  }
  if (job) job->percent = percent;
  return percent;
}

void BurnJobReportStart(CBurnJob* job, int verifying) {
  if (verifying) {
    BurnJobPrint(job, kBurnLevelInfo, L"%ls...", L"Verifying media");
  } else {
    job->copyNumber = job->run->copyCounter;
    BurnJobPrint(job, kBurnLevelInfo, L"%ls", L"Start writing media...");
  }
}

void BurnJobReportTitle(CBurnJob* job, int verifying, const wchar_t* text) {
  CBurnRun* run = job->run;
  uint32_t now = SysGetTickCountMs();
  if (run->lastTitleMs != 0 && now - run->lastTitleMs < 1000) return;
  run->lastTitleMs = now;
  BurnJobSetStatus(run, job, kBurnLevelInfo, L"%ls... %ls", verifying ? L"Verifying" : L"Writing", text ? text : L"");
}

void BurnJobsEndBuildReading(CBurnRun* run) {
  if (run->document) run->document->burnJobReading = 0;
}

int BurnGetVerifyOption(const CBurnRun* run) { return (run->switchFlags & kBurnSwitchVerify) != 0; }

int32_t BurnSpeedFromSetting(int32_t kind, double factor) {
  if (kind == 0 || factor == 0) return -1;
  int unit = kind == 1 ? kSpeedUnitCd : kind == 2 ? kSpeedUnitDvd : kSpeedUnitBd;
  double speed = factor * unit;
  if (!(speed > 0) || speed > 2147483647.0) return -1;
  return static_cast<int32_t>(speed);
}

void BurnJobsFree(CBurnRun* run) {
  for (CBurnJob& job : run->jobs) {
    job.verifySource.clear();
    job.verifySource.shrink_to_fit();
    job.verifyDisc.clear();
    job.verifyDisc.shrink_to_fit();
  }
}

void BurnJobsReset(CBurnRun* run) {
  BurnJobsFree(run);
  for (int i = 0; i < kBurnJobCount; ++i) {
    CBurnJob& job = run->jobs[i];
    job.active = 0;
    job.devicePath[0] = 0;
    job.mediaType = 0;
    job.device = 0;
    job.lastError = job.lastSense = 0;
    job.lastStatus = 0;
    job.percent = 0;
    job.stage = 0;
    job.copyNumber = 0;
    job.speed = 0;
    job.slot = i;
    job.unit1x = kSpeedUnitDvd;
    job.run = run;
    run->scsi.jobDevice[i] = 0;
  }
}

void BurnJobsWaitStage(CBurnRun* run, int32_t stage) {
  for (;;) {
    bool behind = false;
    for (const CBurnJob& job : run->jobs)
      if (job.active && job.stage < stage) behind = true;
    if (!behind) return;
    SysSleepMs(run->stagePollMs);
  }
}

int BurnJobOpenDevice(CBurnJob* job) {
  CBurnRun* run = job->run;
  int device = RawFileOpen(job->devicePath);
  bool recorder = false;
  if (device) {
    // A recorder answers INQUIRY as an MMC device (peripheral type 5, qualifier 0); a disk or tape would take
    // the write, blank and format opcodes for commands of its own.
    uint8_t inquiry[36];
    uint32_t n = sizeof inquiry;
    recorder = MmcInquiry(&run->scsi, device, inquiry, &n) && n >= 1 && inquiry[0] == 0x05;
  }
  if (!recorder) {
    if (device) RawFileClose(device);
    BurnJobPrint(job, kBurnLevelError, L"Error opening device %ls.", job->devicePath);
    return 0;
  }
  return device;
}

int BurnJobSetup(CBurnJob* job) {
  CBurnRun* run = job->run;
  run->eraseMethod = (run->switchFlags & kBurnSwitchFullErase) ? 2 : 1;
  run->writeSpeed = BurnSpeedFromSetting(run->speedKind, run->speedFactor);
  job->speed = 0;
  if (job->slot == 0) {
    run->finalize = 1;
    run->rewritable = 0;
    run->writeCdText = 0;
  }
  if (run->jobType == kBurnJobCopy) run->copyThroughTemp = (run->switchFlags & kBurnSwitchTempFileForCopy) != 0;
  int device = BurnJobOpenDevice(job);
  if (!device) {
    run->jobError = 1;
    return 0;
  }
  run->scsi.jobDevice[job->slot] = device;
  job->mediaType = MediaDetectType(&run->scsi, device);
  run->rewritable = MediaIsRewritable(job->mediaType);
  run->scsi.jobDevice[job->slot] = 0;
  CImageDocument* document = run->document;
  if (document && document->deviceFlag && document->rawDevice == 0) {
    document->rawDevice = device;
  } else {
    RawFileClose(device);
  }
  if (job->slot == 0 && document && document->trackTable) {
    bool cdTextOn = SettingsGetIntClamped(L"WriteCDText", 1, 0, 1) != 0;
    if (cdTextOn && !document->trackTable->cdTextSubchannel.empty()) run->writeCdText = 1;
  }
  return 1;
}

void BurnJobReleaseDevices(CBurnJob* job) {
  CBurnRun* run = job->run;
  if (job->slot == 0) {
    if (run->stages.releaseCopy) run->stages.releaseCopy(run);
    if (run->document && run->document->rawDevice) {
      RawFileClose(run->document->rawDevice);
      run->document->rawDevice = 0;
    }
    CloseJobDevice(job);
    run->document = nullptr;
  } else {
    CloseJobDevice(job);
  }
}

int BurnJobBurnImage(CBurnJob* job, int erase, CImageDocument* document) {
  CBurnRun* run = job->run;
  job->lastError = job->lastSense = 0;
  job->lastStatus = 0;
  int result = 0;
  bool bufferMade = false;
  int device = BurnJobOpenDevice(job);
  if (!device) return 0;
  job->device = device;
  run->scsi.jobDevice[job->slot] = device;
  [&] {
    if (job->mediaType < 1 || job->mediaType > 254) {
      BurnJobPrint(job, kBurnLevelError, L"Media detect failed, or no media in the drive.");
      return;
    }
    BurnJobPrint(job, kBurnLevelInfo, L"%ls %ls", L"Media detected:", MediaTypeName(job->mediaType));
    if (erase) {
      int32_t speed = job->speed ? static_cast<int32_t>(job->speed) : run->writeSpeed;
      if (run->consoleMode) {
        UiPrintf(L"%ls ", L"Do you want to erase it now?");
        UiPrintf(L"(Yes/No):");
        std::wstring answer;
        if (UiAssumeYes()) {
          answer = L"Yes";
        } else {
          wchar_t line[82];
          if (UiReadLine(line, 82)) answer = line;
        }
        if (!EqualNoCase(answer, L"Yes") && !EqualNoCase(answer, L"y")) {
          result = 1;  // declined: nothing to report, nothing failed
          return;
        }
        UiPrintf(L"Erasing method: ");
        UiPrintf(L"%ls", run->eraseMethod == 2 ? L"full erase" : L"quick erase");
        UiPrintf(L"\r\n");
      } else {
        BurnJobPrint(job, kBurnLevelInfo, L"Erasing method: %ls",
                     run->eraseMethod == 2 ? L"Full Erase" : L"Quick Erase");
        if (UiAsk(L"Do you want to erase it now?", kAskOk | kAskCancel) != kAskOk) {
          BurnJobPrint(job, kBurnLevelWarning, L"The operation has been cancelled.");
          result = 1;
          return;
        }
      }
      result = run->stages.eraseMedia ? run->stages.eraseMedia(job, run->eraseMethod, speed) : 0;
      return;
    }
    if (!document) return;
    int code = job->mediaType;
    if (code == kMediaDvdRDl && (run->appendStart != 0 || !run->finalize)) {
      MessageShow(L"DVD-R DL multisession burning is not supported. Please check the 'Finalize disc' option.");
      return;
    }
    if (code == 35 || code == 38 || code == 43 || code == 47) {
      std::wstring text = L"The disc (" + std::wstring(MediaTypeName(code)) +
                          L") in the drive has been formatted as random recording mode (RRM), burning is not "
                          L"supported.";
      MessageShow(text.c_str());
      return;
    }
    bool copy = run->jobType == kBurnJobCopy;
    bool overwritable = code == 20 || code == 22 || code == 39 || code == 40 || code == 44 || code == 48;
    if (copy ? !overwritable : !document->deviceFlag) {
      if (!run->stages.prepareDestination) return;
      int check = run->stages.prepareDestination(job);
      if (check != 0) {
        // Cancelled or refused: the check has said why and nothing was written; a refusal still fails the
        // command.
        if (check < 0) run->jobError = 1;
        result = 1;
        return;
      }
    }
    SetStage(job, 6);
    int32_t sectorSize;
    if (copy) {
      sectorSize = code >= 1 && code <= 15 ? 2352 : 2048;
    } else {
      sectorSize = IsPlainDataImage(document) ? 2048 : 2352;
    }
    run->sectorSize = sectorSize;
    run->messageError = 0;
    run->rewrittenHead.clear();
    if (!run->stages.bufferCreate || !run->stages.bufferCreate(job, document, sectorSize)) return;
    bufferMade = true;
    int written;
    if (code <= 15) {
      auto writer = copy ? run->stages.writeCdCopy : run->stages.writeCdImage;
      written = writer ? writer(job) : 0;
    } else {
      if (sectorSize != 2048) {
        BurnJobPrint(job, kBurnLevelError, L"%ls", L"The selected files/tracks can only be burned to a CD.");
        return;
      }
      if (run->rewritable && run->appendStart != 0) {
        if (!run->stages.multisession || !run->stages.multisession(job)) return;
      }
      written = run->stages.writeDvdImage ? run->stages.writeDvdImage(job) : 0;
    }
    if (!written) return;
    if (run->messageError) {
      run->resultText = L"Burning completed with warnings.";
      BurnJobPrint(job, kBurnLevelWarning, L"%ls", run->resultText.c_str());
    } else {
      run->resultText = L"Burning completed successfully.";
      BurnJobPrint(job, kBurnLevelInfo, L"%ls", run->resultText.c_str());
    }
    SetStage(job, 7);
    // The reader is stopped before the disc is read back: the verification loads the source itself.
    if (run->stages.bufferDestroy) run->stages.bufferDestroy(job);
    bufferMade = false;
    bool verified = true;
    if (BurnGetVerifyOption(run)) {
      BurnJobSetProgress(job, 0, 100);
      verified = run->stages.verifyMedia && run->stages.verifyMedia(job);
    }
    result = 1;
    if (!verified) {
      // A failed verification fails the command: the data on the disc is not what was asked for. The burn
      // itself went through, and the verification has said what is wrong.
      run->jobError = 1;
      return;
    }
    SetStage(job, 8);
    if (run->switchFlags & kBurnSwitchEject) MmcStartStopUnit(&run->scsi, device, 1, 0);
  }();
  job->lastError = ScsiGetLastError(&run->scsi, device);
  job->lastSense = ScsiGetSense(&run->scsi, device);
  job->lastStatus = ScsiGetStatus(&run->scsi, device);
  if (bufferMade && run->stages.bufferDestroy) run->stages.bufferDestroy(job);
  CloseJobDevice(job);
  return result;
}

int BurnJobRun(CBurnJob* job) {
  CBurnRun* run = job->run;
  SysSleepMs(run->stagePollMs);
  run->cancelled = 0;
  if (run->document) run->document->pastLimitReported = 0;
  run->statusText.clear();
  BurnJobSetProgress(job, 0, 100);
  bool copyFailed = false;
  if (run->jobType == kBurnJobCopy) {
    if (!run->stages.copyDisc || !run->stages.copyDisc(job)) {
      run->jobError = 1;
      BurnJobReleaseDevices(job);
      copyFailed = true;
    }
  }
  if (!copyFailed) {
    bool erase = run->jobType == kBurnJobErase;
    int ok = BurnJobBurnImage(job, erase, run->document);
    if (ok) {
      if (run->jobType == kBurnJobCopy) BurnJobReleaseDevices(job);
    } else if (erase) {
      run->jobError = 1;  // the erase flow has said what failed
    } else {
      run->jobError = 1;
      if (job->lastError != 0) {
        BurnJobPrint(job, kBurnLevelError, L"%ls (%08x).", L"Burning failed", job->lastError);
      } else {
        BurnJobPrint(job, kBurnLevelError, L"%ls", L"Burning failed");
      }
      if (run->jobType == kBurnJobCopy) BurnJobReleaseDevices(job);
    }
  }
  SetStage(job, 9);
  SetStage(job, 10);
  job->active = 0;
  BurnJobsEndBuildReading(run);
  SetStage(job, 11);
  return 0;
}

void BurnJobStart(CBurnJob* job) {
  job->run->cancelled = 0;
  BurnJobRun(job);
}

namespace {

void BeginRun(CBurnRun* run) {
  run->severalDrives = 0;
  run->jobError = 0;
  run->resultText.clear();
  LastErrorReportPathOnce(nullptr, 1);
  BurnJobsReset(run);
  ScsiClearResults(&run->scsi);
  CBurnJob& job = run->jobs[0];
  job.active = 1;
  CopyPath(job.devicePath, run->drivePath.c_str());
}

}  // namespace

int BurnJobsRunAll(CBurnRun* run) {
  run->copyCounter = 0;
  BeginRun(run);
  CBurnJob& job = run->jobs[0];
  if (run->jobType == kBurnJobCopy) {
    std::wstring source = run->sourcePath.substr(0, kBurnPathChars);
    // One drive whatever the two names: a link or a second name of the same device would otherwise be read and
    // written at once.
    if (BurnIsSameDrive(source.c_str(), job.devicePath)) {
      run->oneDriveCopy = 1;
      if (run->consoleMode) run->switchFlags |= kBurnSwitchTempFileForCopy;
    }
  }
  for (CBurnJob& j : run->jobs) {
    if (j.active && !BurnJobSetup(&j)) return run->jobError ? -1 : 0;
  }
  if (run->document && run->document->rawDevice) {
    RawFileClose(run->document->rawDevice);
    run->document->rawDevice = 0;
  }
  for (CBurnJob& j : run->jobs)
    if (j.active) BurnJobStart(&j);
  (void)job;
  return run->jobError ? -1 : 0;
}

int BurnJobsRunErase(CBurnRun* run) {
  BeginRun(run);
  run->jobType = kBurnJobErase;
  if (BurnJobSetup(&run->jobs[0])) BurnJobStart(&run->jobs[0]);
  return run->jobError ? -1 : 0;
}
