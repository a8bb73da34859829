#include "burner/copy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "burner/buffer.h"
#include "burner/cdwrite.h"
#include "burner/disc_read.h"
#include "burner/erase.h"
#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/tempfiles.h"
#include "runtime/textconv.h"
#include "runtime/ui.h"

// What a copy holds from its start to the release of its devices: the source drive and its layout, the private
// temporary image of the source, and the plain document that hands the layout to the writers.
struct CBurnCopy {
  int sourceDevice = 0;
  int32_t sourceMedia = 0;
  CTrackTable* table = nullptr;  // owned
  // Reads of the source on the fly come from the burn buffer's reader thread: they get their own SCSI results so
  // that they never touch the slots of the writing drive.
  CScsiContext readScsi;
  CDiscReadState readState;
  std::wstring sourcePath;
  FILE* tempFile = nullptr;
  CWideString tempPath;
  int32_t sectorSize = 2048;  // bytes of a source sector: 2352 for a CD, else 2048
  // The run of sectors whose read failed on the reader thread (-1: none); reported once the reader has ended.
  int64_t failedFirst = -1, failedLast = -1;
  int64_t totalSectors = 0;
  std::unique_ptr<CImageDocument> document;

  CBurnCopy() = default;
  CBurnCopy(const CBurnCopy&) = delete;
  CBurnCopy& operator=(const CBurnCopy&) = delete;
  ~CBurnCopy() {
    CloseSource();
    RemoveTemp();
    if (document) document->trackTable = nullptr;  // the table is the copy's own
    document.reset();
    if (table) TrackTableFree(table);
  }
  void CloseSource() {
    if (sourceDevice) RawFileClose(sourceDevice);
    sourceDevice = 0;
  }
  // The temporary image is private to the run: it goes when the copy ends, written or not.
  void RemoveTemp() {
    if (tempFile) std::fclose(tempFile);
    tempFile = nullptr;
    if (!WstrIsEmpty(tempPath)) {
      if (char* name = TextWideToMultiByteDup(tempPath.c_str())) {
        unlink(name);
        std::free(name);
      }
      tempPath = CWideString();
    }
  }
};

namespace {

constexpr int32_t kCopyRun = 16;

void Stage(CBurnJob* job, int32_t stage) {
  job->stage = stage;
  BurnJobsWaitStage(job->run, stage);
}

int Family(int code) { return code < 16 ? 0 : code >= 32 ? 2 : 1; }
const wchar_t* FamilyName(int family) { return family == 0 ? L"CD" : family == 1 ? L"DVD" : L"BD"; }

int32_t LastSession(const CTrackTable* table) {
  int32_t last = 0;
  for (int32_t i = 0; i < table->trackCount && i < kTrackTableMaxTracks; ++i)
    last = std::max(last, table->tracks[i].session);
  return last;
}

// A CD source that only a CD-R or CD-RW can take: several tracks, or an audio first track.
bool NeedsRecordableCd(const CBurnCopy& copy) {
  return Family(copy.sourceMedia) == 0 && copy.table &&
         (copy.table->trackCount > 1 || (copy.table->trackCount > 0 && copy.table->tracks[0].mode == 1));
}

// Reads `n` sectors of the source at `lba` into `out`, track by track: a track's data is read with every retry, its
// gaps with few (a sector in a gap that cannot be read is left zero); sectors outside every track are zeros.
bool ReadSourceSectors(CBurnCopy* copy, CScsiContext* scsi, int64_t lba, int64_t n, uint8_t* out, int mayAsk) {
  const size_t size = static_cast<size_t>(copy->sectorSize);
  std::memset(out, 0, static_cast<size_t>(n) * size);
  const CTrackTable* table = copy->table;
  for (int32_t i = 0; i < table->trackCount && i < kTrackTableMaxTracks; ++i) {
    const CTrackInfo& track = table->tracks[i];
    const int64_t start = track.start, end = int64_t{track.start} + track.length;
    const struct {
      int64_t first, last;
      int64_t gapDistance;
    } parts[] = {{start - track.pregap, start, 1}, {start, end, 0}, {end, end + track.postgap, 1}};
    for (const auto& part : parts) {
      int64_t from = std::max(lba, part.first);
      int64_t to = std::min(lba + n, part.last);
      if (from >= to) continue;
      if (!DiscReadSectorsWithRetry(
              scsi, copy->sourceDevice, &copy->readState, out + static_cast<size_t>(from - lba) * size, from, to - from,
              copy->sectorSize == 2352, mayAsk, part.gapDistance, copy->sourcePath.c_str(), nullptr))
        return false;
    }
  }
  return true;
}

// The burn buffer's reads of a copy: from the source drive on the fly (never asking, on the reader thread), or
// from the temporary image.
int64_t ReadCopySectors(void* context, int64_t lba, uint8_t* out, int64_t n) {
  auto* copy = static_cast<CBurnCopy*>(context);
  if (lba < 0 || n < 0 || lba + n > copy->totalSectors) return 0;
  if (copy->tempFile) {
    const size_t size = static_cast<size_t>(copy->sectorSize);
    int64_t got = FileReadAtCount(copy->tempFile, out, lba * static_cast<int64_t>(size), static_cast<size_t>(n) * size);
    return got < 0 ? 0 : got / static_cast<int64_t>(size);
  }
  const size_t size = static_cast<size_t>(copy->sectorSize);
  for (int64_t done = 0; done < n; done += kCopyRun) {
    const int64_t run = std::min<int64_t>(kCopyRun, n - done);
    if (!ReadSourceSectors(copy, &copy->readScsi, lba + done, run, out + static_cast<size_t>(done) * size, 0)) {
      copy->failedFirst = lba + done;
      copy->failedLast = lba + done + run - 1;
      return done;
    }
  }
  return n;
}

void ReportCopyReadFailure(void* context, CBurnJob* job, int64_t first, int64_t count) {
  const auto* copy = static_cast<const CBurnCopy*>(context);
  if (copy->tempFile) {
    BurnJobPrint(job, kBurnLevelError, L"Error reading sectors from %d to %d in the temporary file.",
                 static_cast<int>(first), static_cast<int>(first + std::max<int64_t>(count, 1) - 1));
  } else if (copy->failedFirst >= 0) {
    BurnJobPrint(job, kBurnLevelError, L"Error reading sectors from %d to %d on the source disc.",
                 static_cast<int>(copy->failedFirst), static_cast<int>(copy->failedLast));
  }
}

// Reads the source disc's layout: 1, or 0 after the message that says why.
int ReadSource(CBurnJob* job, CBurnCopy* copy) {
  CBurnRun* run = job->run;
  copy->CloseSource();
  copy->sourceDevice = RawFileOpen(copy->sourcePath.c_str());
  if (!copy->sourceDevice) {
    BurnJobPrint(job, kBurnLevelError, L"Error opening device %ls.", copy->sourcePath.c_str());
    return 0;
  }
  copy->sourceMedia = MediaDetectType(&run->scsi, copy->sourceDevice);
  if (!copy->table) copy->table = TrackTableAlloc();
  if (!copy->table) {
    BurnJobPrint(job, kBurnLevelError, L"Out of memory. Program abort.");
    return 0;
  }
  if (!DiscReadTrackList(&run->scsi, copy->sourceDevice, copy->table, copy->sourcePath.c_str(), 0)) {
    BurnJobPrint(job, kBurnLevelError, L"The source disc is invalid or blank.");
    return 0;
  }
  CTrackTable* table = copy->table;
  if (table->trackCount < 1) {
    BurnJobPrint(job, kBurnLevelError, L"The source disc is blank.");
    return 0;
  }
  if (LastSession(table) > table->tracks[0].session || (table->trackCount > 1 && Family(copy->sourceMedia) != 0)) {
    MessageShow(L"Copying multisession disc is not supported.");
    run->jobError = 1;
    return 0;
  }
  if (!TrackTableCheckLayout(table)) {
    BurnJobPrint(job, kBurnLevelError, L"Error reading the source media information.");
    return 0;
  }
  copy->sectorSize = Family(copy->sourceMedia) == 0 ? 2352 : 2048;
  copy->totalSectors = TrackTableGetEndSector(table);
  run->writeCdText = 0;
  table->cdTextSubchannel.clear();
  bool audio = false;
  for (int32_t i = 0; i < table->trackCount; ++i) audio = audio || table->tracks[i].mode == kTrackModeAudio;
  if (audio) {
    std::vector<uint8_t> answer;
    if (run->stages.cdTextPacks && MmcReadCdText(&run->scsi, copy->sourceDevice, &answer) && answer.size() > 4 &&
        run->stages.cdTextPacks(table, answer.data() + 4, answer.size() - 4) && !table->cdTextSubchannel.empty())
      run->writeCdText = 1;
  }
  return 1;
}

// Opens the destination in the job's drive and checks its disc once: 0 accepted, 1 another disc was asked for and
// the user says it is in, -1 the copy ends.
int CheckDestination(CBurnJob* job) {
  CBurnRun* run = job->run;
  if (job->device) {
    run->scsi.jobDevice[job->slot] = 0;
    RawFileClose(job->device);
    job->device = 0;
  }
  job->device = BurnJobOpenDevice(job);
  if (!job->device) return -1;
  run->scsi.jobDevice[job->slot] = job->device;
  job->mediaType = MediaDetectType(&run->scsi, job->device);
  return CopyDiscCheckDestination(job);
}

// With -y nobody is there to change a disc: a destination asked for a second time in a row ends the copy instead of
// asking for ever.
bool StopAskingForDestination(CBurnJob* job, int* asked) {
  if (!UiAssumeYes() || ++*asked < 2) return false;
  BurnJobPrint(job, kBurnLevelWarning, L"The operation has been cancelled.");
  return true;
}

// Fills the temporary image with every sector of the source: 1, or 0 after its message.
int MakeTempImage(CBurnJob* job, CBurnCopy* copy) {
  CBurnRun* run = job->run;
  copy->tempFile = TempFileCreateUnique(L"kestranecopy", L".tmp", copy->tempPath);
  if (!copy->tempFile) {
    BurnJobPrint(job, kBurnLevelError, L"Creating the temporary file failed.");
    return 0;
  }
  BurnJobPrint(job, kBurnLevelInfo, L"Creating the temporary file for burning...");
  BurnJobSetStatus(run, job, kBurnLevelInfo, L"%ls", L"Reading source disc...");
  const size_t size = static_cast<size_t>(copy->sectorSize);
  std::vector<uint8_t> block(kCopyRun * size);
  for (int64_t lba = 0; lba < copy->totalSectors; lba += kCopyRun) {
    int64_t n = std::min<int64_t>(kCopyRun, copy->totalSectors - lba);
    if (!ReadSourceSectors(copy, &run->scsi, lba, n, block.data(), 1) ||
        !FileWriteAt(copy->tempFile, block.data(), lba * static_cast<int64_t>(size), static_cast<size_t>(n) * size)) {
      BurnJobPrint(job, kBurnLevelError, L"Creating the temporary file failed.");
      copy->RemoveTemp();
      return 0;
    }
  }
  BurnJobSetStatus(run, job, kBurnLevelInfo, L"%ls 100%%", L"Reading source disc...");
  return std::fflush(copy->tempFile) == 0 ? 1 : 0;
}

// Asks for the destination disc once the source is in the temporary image and the tray is open: 1 when the user
// says it is in, 0 when the copy is to end (end of input among them).
int AskForDestination(CBurnJob* job, CBurnCopy* copy) {
  CBurnRun* run = job->run;
  if (run->consoleMode) {
    UiPrintf(L"%ls", L"Please insert the destination disc then press enter key...");
    wchar_t line[129];
    if (UiAssumeYes()) {
      UiPrintf(L"\r\n");
      return 1;
    }
    if (!UiReadLine(line, 129)) {
      UiPrintf(L"\r\n");
      BurnJobPrint(job, kBurnLevelWarning, L"The operation has been cancelled.");
      return 0;
    }
    return 1;
  }
  std::wstring text = L"Please insert the destination disc.";
  if (NeedsRecordableCd(*copy)) {
    wchar_t more[160];
    std::swprintf(more, 160, L"Please insert a blank or rewritable %ls in %ls.", L"CD", job->devicePath);
    text = more;
  }
  return UiAsk(text.c_str(), kAskOk | kAskCancel) == kAskOk ? 1 : 0;
}

// The plain document the writers and the verification see: the source's layout and its size.
void MakeCopyDocument(CBurnRun* run, const std::shared_ptr<CBurnCopy>& copy) {
  copy->document.reset(new CImageDocument{});
  CImageDocument* document = copy->document.get();
  document->trackTable = copy->table;
  document->sectorSize = copy->sectorSize;
  document->readableLimit = copy->totalSectors;
  run->document = document;
  run->source = CBurnSource{};
  run->source.context = copy.get();
  run->source.readRaw = ReadCopySectors;
  run->source.readUser = ReadCopySectors;
  run->source.reportFailure = ReportCopyReadFailure;
  run->source.dataEnd = copy->totalSectors;
  run->source.owner = copy;
}

}  // namespace

int TrackTableCheckLayout(CTrackTable* table) {
  if (!table || table->trackCount < 1 || table->trackCount > 99) return 0;
  const CTrackInfo* tracks = table->tracks;
  for (int32_t i = 0; i < table->trackCount; ++i) {
    const CTrackInfo& t = tracks[i];
    if (t.mode != 1 && t.mode != 2 && t.mode != 4) return 0;
    if (t.session < 0 || t.session >= 99) return 0;
    if (t.length < 0 || t.pregap < 0 || t.postgap < 0) return 0;
  }
  if (tracks[0].session > 1 || tracks[0].start != tracks[0].pregap) return 0;
  for (int32_t i = 1; i < table->trackCount; ++i) {
    const CTrackInfo& before = tracks[i - 1];
    const CTrackInfo& t = tracks[i];
    if (t.session != before.session && t.session != before.session + 1) return 0;
    const int64_t nextStart = int64_t{t.start} - t.pregap;
    if (t.session == before.session) {
      if (int64_t{before.start} + before.length + before.postgap != nextStart) return 0;
    } else if (int64_t{before.start} + before.length + 999 >= nextStart) {
      return 0;
    }
  }
  table->sessionCount = tracks[table->trackCount - 1].session + 1;
  return 1;
}

int CopyDiscCheckDestination(CBurnJob* job) {
  CBurnRun* run = job->run;
  const CBurnCopy* copy = run->copy.get();
  std::wstring head;
  if (job->devicePath[0]) head = L"Drive " + std::wstring(job->devicePath) + L"\r\n\r\n";
  auto ask = [&](const std::wstring& text) { return UiAsk((head + text).c_str(), kAskOk | kAskCancel) == kAskOk; };
  const int destination = job->mediaType;
  const int source = copy ? copy->sourceMedia : 0;
  if (destination == 0) return ask(L"Please insert the destination disc.") ? 1 : -1;
  if (source >= 64) return ask(L"The source disc is invalid or is not supported.") ? 1 : -1;
  if (destination >= 64) return ask(L"The destination disc is invalid or is not supported.") ? 1 : -1;
  if (copy && NeedsRecordableCd(*copy) && destination != kMediaCdR && destination != kMediaCdRw) {
    wchar_t text[160];
    std::swprintf(text, 160, L"Please insert a blank or rewritable %ls in %ls.", L"CD", job->devicePath);
    return ask(text) ? 1 : -1;
  }
  if (Family(source) != Family(destination)) {
    wchar_t text[200];
    std::swprintf(text, 200, L"The destination disc type (%ls) is not the same as the source disc type (%ls).",
                  FamilyName(Family(destination)), FamilyName(Family(source)));
    if (!ask(std::wstring(text) + L"\r\n\r\n" + L"Do you want to continue?")) return -1;
  }
  return BurnJobPrepareDestination(job) == 0 ? 0 : -1;
}

int BurnJobCopyDisc(CBurnJob* job) {
  CBurnRun* run = job->run;
  Stage(job, 1);
  run->appendStart = 0;
  auto copy = std::make_shared<CBurnCopy>();
  copy->sourcePath = run->sourcePath;
  copy->readScsi.retryDelayMs = run->scsi.retryDelayMs;
  copy->readScsi.longDelayMs = run->scsi.longDelayMs;
  run->copy = copy;
  bool ok = [&] {
    const bool throughTemp = run->oneDriveCopy || run->copyThroughTemp;
    int asked = 0;
    for (;;) {
      if (!ReadSource(job, copy.get())) return false;
      Stage(job, 2);
      if (throughTemp) break;
      // Two drives: the destination is written while the source is read. After a disc change the source's
      // layout is read again: the user may have changed that disc too.
      int check = CheckDestination(job);
      if (check < 0 || (check == 1 && StopAskingForDestination(job, &asked))) return false;
      if (check == 0) {
        MakeCopyDocument(run, copy);
        Stage(job, 4);
        return true;
      }
    }
    Stage(job, 3);
    if (!MakeTempImage(job, copy.get())) return false;
    if (run->oneDriveCopy) {
      MmcStartStopUnit(&run->scsi, copy->sourceDevice, 1, 0);
      if (!AskForDestination(job, copy.get())) return false;
    }
    copy->CloseSource();
    // The source is in the temporary image: only the destination is checked again after a disc change.
    int check;
    while ((check = CheckDestination(job)) == 1) {
      if (StopAskingForDestination(job, &asked)) return false;
    }
    if (check != 0) return false;
    MakeCopyDocument(run, copy);
    Stage(job, 4);
    return true;
  }();
  if (job->device) {
    run->scsi.jobDevice[job->slot] = 0;
    RawFileClose(job->device);
    job->device = 0;
  }
  Stage(job, 5);
  if (!ok) run->jobError = 1;
  return ok && !run->jobError ? 1 : 0;
}

void BurnReleaseCopy(CBurnRun* run) {
  if (!run->copy) return;
  if (run->document == run->copy->document.get()) run->document = nullptr;
  run->source = CBurnSource{};
  run->copy.reset();
}

int BurnJobWriteCdCopy(CBurnJob* job) {
  CBurnRun* run = job->run;
  if (!run->buffer || !run->copy) return 0;
  // A copy has one session (several are refused before anything is written): it goes on the disc at once, with
  // the source's CD-TEXT in its lead-in.
  return BurnJobWriteCdImage(job, run->buffer.get());
}

int BurnIsSameDrive(const wchar_t* a, const wchar_t* b) {
  int first = RawFileOpen(a);
  int second = first ? RawFileOpen(b) : 0;
  int same = -1;
  struct stat one, two;
  if (first && second && fstat(first, &one) == 0 && fstat(second, &two) == 0) {
    if (S_ISCHR(one.st_mode) && S_ISCHR(two.st_mode))
      same = one.st_rdev == two.st_rdev;
    else
      same = one.st_dev == two.st_dev && one.st_ino == two.st_ino;
  }
  if (first) RawFileClose(first);
  if (second) RawFileClose(second);
  if (same >= 0) return same;
  std::wstring x = a ? a : L"", y = b ? b : L"";
  return x == y;
}
