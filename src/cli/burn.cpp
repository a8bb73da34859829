// The recorder commands: burn-image, erase-disc and copy-disc check their command line, fill a burn run and
// hand it to the burn jobs, which do all the device work.
#include "session/burn.h"

#include <cwchar>
#include <memory>

#include "builder/session_block.h"
#include "burner/jobs.h"
#include "cli/console.h"
#include "cli/runners.h"
#include "cli/settings.h"
#include "formats/cdtext.h"
#include "image/document.h"
#include "session/document.h"
#include "session/drive_open.h"
#include "session/open.h"

namespace {

constexpr size_t kSourceDriveChars = 31;

// A recorder is named by its device path; anything else is refused before a device is opened.
int CliCheckDrive(const wchar_t* name) { return name && std::wcsncmp(name, L"/dev/", 5) == 0 && name[5] != 0; }

std::unique_ptr<CBurnRun> NewRun(int32_t jobType) {
  auto run = std::make_unique<CBurnRun>();
  run->jobType = jobType;
  run->drivePath = g_settings->drive ? g_settings->drive : L"";
  run->switchFlags = g_settings->switchFlags;
  run->speedKind = g_settings->speedKind;
  run->speedFactor = g_settings->speedFactor;
  run->consoleMode = 1;
  BurnUseRecorderStages(run.get());
  run->stages.cdTextPacks = CdTextPacksToSubchannel;
  SessionUseMultisessionStages(run.get());
  // A copy's source disc is sized by its file system like a disc opened as an image.
  DriveUseFileSystemProbes(&run->scsi);
  return run;
}

}  // namespace

int CliRunBurnImage() {
  if (!CliCheckDrive(g_settings->drive)) {
    ConsolePrintf(L"%ls\r\n", L"Please specify a valid burning drive.");
    return -1;
  }
  const wchar_t* image = g_settings->firstArgument;
  if (!image || !*image) {
    ConsolePrintf(L"%ls\r\n", L"Please specify an iamge file name.");
    return -1;
  }
  // Disks and archives are opened too, so that they are refused with their reason.
  CImageDocument* document = ImageOpenByPath(image, kOpenDiskImage);
  if (!document) return -1;
  if (SessionIsUnburnable(document)) {
    ConsolePrintf(L"%ls\r\n\r\n%ls\r\n", document->path.c_str(),
                  L"The selected file can't be burned to the optical disc. Please upack the file, then write the "
                  L"unpacked files to the optical disc.");
    ImageClose(document);
    return -1;
  }
  std::unique_ptr<CBurnRun> run = NewRun(kBurnJobBurn);
  SessionPrepareBurn(run.get(), document);
  int result = BurnJobsRunAll(run.get());
  run.reset();
  ImageClose(document);
  return result;
}

int CliRunEraseDisc() {
  if (!CliCheckDrive(g_settings->drive)) {
    ConsolePrintf(L"%ls\r\n", L"Please specify a valid burning drive.");
    return -1;
  }
  std::unique_ptr<CBurnRun> run = NewRun(kBurnJobErase);
  return BurnJobsRunErase(run.get());
}

int CliRunCopyDisc() {
  if (!CliCheckDrive(g_settings->drive)) {
    ConsolePrintf(L"%ls\r\n", L"Please specify a valid burning drive.");
    return -1;
  }
  const wchar_t* source = g_settings->firstArgument;
  // The source drive's name must fit the run's 31 characters: a cut name would name another device.
  if (!CliCheckDrive(source) || std::wcslen(source) > kSourceDriveChars) {
    ConsolePrintf(L"%ls\r\n", L"Please specify a valid source drive.");
    return -1;
  }
  std::unique_ptr<CBurnRun> run = NewRun(kBurnJobCopy);
  run->sourcePath = source;
  return BurnJobsRunAll(run.get());
}
