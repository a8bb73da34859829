#include "burner/erase.h"

#include <algorithm>
#include <cwctype>
#include <string>

#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "runtime/error.h"
#include "runtime/ui.h"

namespace {

bool IsOverwritable(int code) {
  return code == 20 || code == 22 || code == 39 || code == 40 || code == 44 || code == 48;
}

bool CannotBeErased(int code) {
  switch (code) {
    case 1:
    case 2:
    case 16:
    case 17:
    case 21:
    case 23:
    case 24:
    case 41:
    case 42:
    case 43:
    case 45:
    case 46:
    case 47:
      return true;
  }
  return code >= 33 && code <= 38;
}

bool IsYes(const wchar_t* answer) {
  if (!answer) return false;
  std::wstring a(answer);
  for (wchar_t& c : a) c = static_cast<wchar_t>(std::towlower(c));
  return a == L"yes" || a == L"y";
}

bool Fail(CBurnJob* job, const wchar_t* text) {
  BurnJobPrint(job, kBurnLevelError, L"%ls", text);
  return false;
}

// Zeroes `count` sectors from LBA 0, `perCommand` at a time.
bool ZeroSectors(CBurnJob* job, uint32_t count, uint32_t perCommand) {
  uint32_t failed = 0;
  if (BurnJobWriteZeroSectors(job, 0, 2048, count, &failed, perCommand)) return true;
  if (!MmcWaitUnitReady(&job->run->scsi, job->device, 480)) Fail(job, L"Error erasing media.");
  BurnJobPrint(job, kBurnLevelError, L"%ls (%d-%08x)", L"Error writing data.", 1543, failed);
  return false;
}

bool SyncAndWait(CBurnJob* job) {
  CScsiContext* scsi = &job->run->scsi;
  if (!MmcSynchronizeCache(scsi, job->device, 1)) return Fail(job, L"Synchronizing cache failed.");
  if (!MmcWaitUnitReady(scsi, job->device, 480)) return Fail(job, L"Error erasing media.");
  return true;
}

bool EraseByBlank(CBurnJob* job, int32_t method) {
  CScsiContext* scsi = &job->run->scsi;
  bool full = method == 2;
  if (!MmcBlank(scsi, job->device, 1, full ? 0 : 1, full ? 3600 : 1200)) return Fail(job, L"Error erasing media.");
  if (!MmcIsDiscBlank(scsi, job->device)) return Fail(job, L"Error verifying blank media.");
  return true;
}

bool EraseDvdRam(CBurnJob* job, int32_t method) {
  CScsiContext* scsi = &job->run->scsi;
  if (method == 2) {
    uint32_t blocks = 0, parameter = 0;
    if (!MmcFindFormatCapacity(scsi, job->device, 0x00, 0, &blocks, &parameter))
      return Fail(job, L"Error reading capacity information.");
    if (!MmcFormatUnit(scsi, job->device, blocks, 0x00, 0, parameter, 0x82, 5400))
      return Fail(job, L"Error formatting the media.");
    return true;
  }
  return ZeroSectors(job, 2048, 16) && SyncAndWait(job);
}

bool EraseDvdPlusRw(CBurnJob* job, int32_t method) {
  CScsiContext* scsi = &job->run->scsi;
  uint32_t blocks = 0xFFFFFFFFu, parameter = 0, zero = 2048;
  if (method == 2) {
    if (!MmcFindFormatCapacity(scsi, job->device, 0x26, 0, &blocks, &parameter))
      return Fail(job, L"Error reading capacity information.");
    zero = blocks;
  }
  if (!MmcFormatUnit(scsi, job->device, blocks, 0x26, 0, parameter, 0x02, 600))
    return Fail(job, L"Error formatting the media.");
  bool zeroed = ZeroSectors(job, zero, 16);
  if (!MmcSynchronizeCache(scsi, job->device, 1)) return Fail(job, L"Synchronizing cache failed.");
  MmcWaitUnitReady(scsi, job->device, 480);
  if (!MmcCloseTrackSession(scsi, job->device, 1, 2, 0) || !MmcWaitUnitReady(scsi, job->device, 480))
    return Fail(job, L"Error closing track.");
  return zeroed;
}

// A BD-RE that was never formatted gets the format a burn would give it.
bool FormatBdRe(CBurnJob* job) {
  CScsiContext* scsi = &job->run->scsi;
  uint8_t info[42];
  uint32_t n = sizeof info;
  if (!MmcReadDiscInfo(scsi, job->device, 0, info, &n) || n < 3) return Fail(job, L"Error reading media information.");
  if ((info[2] & 3) != 0) return true;
  uint8_t feature[20] = {};
  uint32_t got = sizeof feature;
  if (!MmcGetConfiguration(scsi, job->device, 2, 0x23, feature, &got))
    return Fail(job, L"Error reading capacity information.");
  bool quick = got >= 15 && (feature[12] & 0x01) && (feature[14] & 0x08);
  uint32_t blocks = 0, parameter = 0;
  int type = quick ? 0x31 : 0x30;
  if (!MmcFindFormatCapacity(scsi, job->device, type, quick ? 0 : 1, &blocks, &parameter))
    return Fail(job, L"Error reading capacity information.");
  if (!MmcFormatUnit(scsi, job->device, blocks, type, 0, quick ? 2048 : 0, 0x02, 600))
    return Fail(job, L"Error formatting the media.");
  return true;
}

bool EraseBdRe(CBurnJob* job, int32_t method) {
  if (!FormatBdRe(job)) return false;
  int64_t capacity = MmcReadCapacity(&job->run->scsi, job->device);
  if (capacity <= 0) return Fail(job, L"Error reading capacity information.");
  uint32_t count = method == 2 ? static_cast<uint32_t>(std::min<int64_t>(capacity, 0xFFFFFFFFLL))
                               : static_cast<uint32_t>(std::min<int64_t>(capacity, 2048));
  return ZeroSectors(job, count, 32) && SyncAndWait(job);
}

}  // namespace

int BurnJobEraseMedia(CBurnJob* job, int32_t method, int32_t /*speed*/) {
  CBurnRun* run = job->run;
  int code = MediaDetectType(&run->scsi, job->device);
  job->mediaType = code;
  BurnJobPrint(job, kBurnLevelInfo, L"Erasing media...");
  bool ok;
  switch (code) {
    case kMediaNone:
      return Fail(job, L"There is no disc in the drive."), 0;
    case kMediaUnknown:
      return Fail(job, L"Unknown disc type in the drive."), 0;
    case 3:
    case 18:
    case 19:
      ok = EraseByBlank(job, method);
      break;
    case 20:
      ok = EraseDvdRam(job, method);
      break;
    case 22:
      ok = EraseDvdPlusRw(job, method);
      break;
    case 39:
    case 40:
    case 44:
    case 48:
      ok = EraseBdRe(job, method);
      break;
    default:
      BurnJobPrint(job, kBurnLevelError, L"%ls can not be erased.", MediaTypeName(code));
      return 0;
  }
  if (!ok) return 0;
  BurnJobPrint(job, kBurnLevelInfo, L"Media erased successfully.");
  return 1;
}

int BurnJobPrepareDestination(CBurnJob* job) {
  CBurnRun* run = job->run;
  int hasData = BurnJobDiscHasData(job);
  if (hasData < 0) {
    BurnJobPrint(job, kBurnLevelError, L"Error verifying blank media.");
    return -1;
  }
  if (hasData == 0) return 0;
  const wchar_t* notEmpty =
      run->jobType == kBurnJobCopy ? L"The destination disc is not empty." : L"The disc is not empty.";
  int code = job->mediaType;
  if (CannotBeErased(code)) {
    std::wstring text;
    if (job->devicePath[0]) text = L"Drive " + std::wstring(job->devicePath) + L":\r\n\r\n";
    text += notEmpty;
    text += L"\r\n";
    text += L"Please insert a blank or rewritable disc and retry.";
    MessageShow(text.c_str());
    return -1;
  }
  bool yes;
  if (UiAssumeYes()) {
    UiPrintf(L"%ls %ls ", notEmpty, L"Do you want to erase it now?");
    UiPrintf(L"(Yes/No):\r\n");
    yes = true;
  } else {
    UiPrintf(L"%ls %ls ", notEmpty, L"Do you want to erase it now?");
    UiPrintf(L"(Yes/No):");
    wchar_t line[82];
    // End of input answers No.
    yes = IsYes(UiReadLine(line, 82));
  }
  if (!yes) {
    BurnJobPrint(job, kBurnLevelWarning, L"The operation has been cancelled.");
    return 1;
  }
  if (IsOverwritable(code)) return 0;
  int32_t speed = job->speed ? static_cast<int32_t>(job->speed) : run->writeSpeed;
  return BurnJobEraseMedia(job, 1, speed) ? 0 : -1;
}
