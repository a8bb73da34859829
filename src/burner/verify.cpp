#include "burner/verify.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>

#include "burner/buffer.h"
#include "burner/disc_read.h"
#include "burner/jobs.h"
#include "burner/mmc.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/hooks.h"
#include "runtime/ui.h"

namespace {

constexpr int32_t kVerifyRun = 16;                        // sectors compared at a time
constexpr size_t kVerifyBufferBytes = kVerifyRun * 2352;  // 37,632 bytes: 16 raw sectors

enum MismatchAnswer { kAnswerRetry, kAnswerIgnore, kAnswerAbort };

// Reads `count` sectors at `lba` from the job's disc, raw when `raw`, with the retries of a disc read; nothing is
// asked: a sector that cannot be read fails the verification.
bool ReadDiscRun(CBurnJob* job, CDiscReadState* state, int64_t lba, int32_t count, bool raw, uint8_t* out) {
  return DiscReadSectorsWithRetry(&job->run->scsi, job->device, state, out, lba, count, raw ? 1 : 0, 0, 0,
                                  job->devicePath, nullptr) != 0;
}

// The question after a mismatch. End of input abandons the verification; -y passes over the run, which still
// leaves the verification failed.
MismatchAnswer AskMismatch(CBurnJob* job, const std::wstring& text) {
  if (!job->run->consoleMode) {
    return UiAsk(text.c_str(), kAskOk | kAskCancel) == kAskOk ? kAnswerRetry : kAnswerAbort;
  }
  for (;;) {
    UiPrintf(L"(Retry/Ignore/Abort):");
    if (UiAssumeYes()) {
      UiPrintf(L"Ignore\r\n");
      return kAnswerIgnore;
    }
    wchar_t line[82];
    if (!UiReadLine(line, 82)) {
      UiPrintf(L"\r\n");
      return kAnswerAbort;
    }
    std::wstring answer(line);
    for (wchar_t& c : answer) c = static_cast<wchar_t>(std::towlower(c));
    if (answer == L"retry" || answer == L"r") return kAnswerRetry;
    if (answer == L"ignore" || answer == L"i") return kAnswerIgnore;
    if (answer == L"abort" || answer == L"a") return kAnswerAbort;
  }
}

std::wstring RunText(const wchar_t* what, int64_t first, int64_t last) {
  wchar_t text[257];
  std::swprintf(text, 257, L"%ls(%ls%d-%d)", what, L"sector offset: ", static_cast<int>(first), static_cast<int>(last));
  return text;
}

// Progress of the verification: a console progress line, or the job's percent.
class VerifyProgress {
 public:
  VerifyProgress(CBurnJob* job, uint64_t total) : job_(job), console_(job->run->consoleMode != 0) {
    if (console_)
      UiProgressBegin(L"Verifying media...", total);
    else
      BurnJobReportStart(job, 1);
  }
  void Show(uint64_t done, uint64_t total) {
    if (console_)
      UiProgressShowPercent(done, total);
    else
      BurnJobSetProgress(job_, done, total);
  }
  // A verification that failed has ended the line with its message.
  void End(bool completed) {
    if (console_) {
      if (!completed) return;
      UiProgressEnd();
      UiPrintf(L"\r\n");
    } else if (completed) {
      BurnJobSetProgress(job_, 100, 100);
    }
  }

 private:
  CBurnJob* job_;
  bool console_;
};

}  // namespace

int BurnBufferCompareSector(const CBurnBuffer* loader, int32_t track, const uint8_t* source, const uint8_t* disc,
                            size_t length) {
  if (std::memcmp(source, disc, length) == 0) return 0;
  if (track < 0 || loader->sectorSize != 2352) return 1;
  const CTrackTable* table = loader->document ? loader->document->trackTable : nullptr;
  const CTrackInfo* info = table ? TrackTableGetTrack(table, track) : nullptr;
  if (!info) return 1;
  const uint8_t mode = info->mode;
  const size_t sectors = length / 2352;
  if (mode == 1) return 0;  // audio: a drive's read-back of samples is not exact
  if (mode == 2 || mode == 3) {
    for (size_t i = 0; i < sectors; ++i)
      if (std::memcmp(source + i * 2352 + 16, disc + i * 2352 + 16, 2048) != 0) return 1;
    return 0;
  }
  if ((mode >= 4 && mode <= 8) || mode == 32) {
    size_t differing = 0;
    bool userDataDiffers = false;
    for (size_t i = 0; i < sectors; ++i) {
      if (std::memcmp(source + i * 2352 + 24, disc + i * 2352 + 24, 2048) != 0) userDataDiffers = true;
    }
    if (!userDataDiffers) return 0;
    if (track == 0) return 1;
    for (size_t i = 0; i < length; ++i) differing += source[i] != disc[i];
    return differing * 100 > length * 5 ? 1 : 0;
  }
  return 1;
}

int BurnJobVerifyTrack(CBurnJob* job, CBurnBuffer* loader, int32_t track, int64_t start, int64_t count, uint64_t base,
                       uint64_t total, const uint8_t* memory) {
  CBurnRun* run = job->run;
  const int32_t size = loader->sectorSize;
  const bool raw = size == 2352;
  uint8_t* source = job->verifySource.data();
  uint8_t* disc = job->verifyDisc.data();
  CDiscReadState readState;
  // An error starts a line of its own, also in the middle of the progress line.
  auto report = [&](const wchar_t* what, int64_t first, int64_t last) {
    if (run->consoleMode) UiPrintf(L"\r\n");
    std::wstring text = RunText(what, first, last);
    BurnJobPrintString(run, job, kBurnLevelError, text);
    return text;
  };
  for (int64_t lba = start; lba < start + count;) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(kVerifyRun, start + count - lba));
    const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(size);
    const int64_t last = lba + n - 1;
    if (memory) {
      std::memcpy(source, memory + static_cast<size_t>(lba - start) * static_cast<size_t>(size), bytes);
    } else {
      loader->currentTrack = track < 0 ? 0 : track;
      loader->nextSourceSector = static_cast<uint64_t>(lba);
      if (!BurnBufferLoad(loader, source, n)) {
        report(L"Error reading source data.", lba, last);
        return 0;
      }
    }
    bool next = false;
    while (!next) {
      if (!ReadDiscRun(job, &readState, lba, n, raw, disc)) {
        report(L"Error reading data on disc.", lba, last);
        return 0;
      }
      if (BurnBufferCompareSector(loader, track, source, disc, bytes) == 0) break;
      std::wstring text = report(L"Error verifying data on disc.", lba, last);
      switch (AskMismatch(job, text)) {
        case kAnswerRetry:
          break;
        case kAnswerIgnore:
          next = true;
          break;
        case kAnswerAbort:
          return 0;
      }
    }
    lba += n;
    uint64_t done = base + static_cast<uint64_t>(lba - start);
    if (run->consoleMode)
      UiProgressShowPercent(done, total);
    else
      BurnJobSetProgress(job, done, total);
  }
  return 1;
}

int BurnJobVerifyMedia(CBurnJob* job) {
  CBurnRun* run = job->run;
  CImageDocument* document = run->document;
  const int32_t sectorSize = run->sectorSize;
  run->messageError = 0;
  run->cancelled = 0;
  if (!document || (sectorSize != 2048 && sectorSize != 2352)) return 0;

  // The work of the verification, in sectors, for the progress line.
  const CTrackTable* table = document->trackTable;
  const bool byTrack = sectorSize == 2352;
  uint64_t total = 0;
  if (byTrack) {
    for (int32_t i = 0; table && i < table->trackCount && i < kTrackTableMaxTracks; ++i) {
      const CTrackInfo* t = TrackTableGetTrack(table, i);
      total += static_cast<uint64_t>(t->pregap) + t->length + t->postgap;
    }
  } else {
    total = static_cast<uint64_t>(std::max<int64_t>(run->source.dataEnd - run->appendStart, 0));
  }
  // A session appended to a rewritable disc also rewrote the disc's first sectors: they are read back first,
  // against the copy the burn wrote.
  const int64_t headSectors =
      !byTrack && run->rewritable && run->appendStart != 0 ? static_cast<int64_t>(run->rewrittenHead.size() / 2048) : 0;
  total += static_cast<uint64_t>(headSectors);

  VerifyProgress progress(job, total);
  SysSleepMs(1000);  // the drive settles after the cache flush of the burn

  bool ok = true;
  try {
    job->verifySource.assign(kVerifyBufferBytes, 0);
    job->verifyDisc.assign(kVerifyBufferBytes, 0);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    progress.End(false);
    if (run->consoleMode) UiPrintf(L"\r\n");
    BurnJobPrint(job, kBurnLevelError, L"Out of memory. Program abort.");
  } else {
    CBurnBuffer loader;
    loader.document = document;
    loader.job = job;
    loader.sectorSize = sectorSize;
    loader.source = run->source;
    loader.appendStart = run->appendStart;
    if (byTrack) {
      if (!table || table->trackCount < 1) ok = false;
      uint64_t done = 0;
      for (int32_t i = 0; ok && i < table->trackCount && i < kTrackTableMaxTracks; ++i) {
        const CTrackInfo* t = TrackTableGetTrack(table, i);
        done += static_cast<uint64_t>(t->pregap);
        progress.Show(done, total);
        ok = BurnJobVerifyTrack(job, &loader, i, t->start, t->length, done, total, nullptr) != 0;
        done += static_cast<uint64_t>(t->length) + t->postgap;
        if (ok) progress.Show(done, total);
      }
    } else {
      if (headSectors > 0)
        ok = BurnJobVerifyTrack(job, &loader, -1, 0, headSectors, 0, total, run->rewrittenHead.data()) != 0;
      if (ok)
        ok = BurnJobVerifyTrack(job, &loader, -1, run->appendStart, static_cast<int64_t>(total) - headSectors,
                                static_cast<uint64_t>(headSectors), total, nullptr) != 0;
    }
    progress.End(ok);
  }
  job->verifySource.clear();
  job->verifySource.shrink_to_fit();
  job->verifyDisc.clear();
  job->verifyDisc.shrink_to_fit();

  if (!ok) {
    BurnJobPrint(job, kBurnLevelInfo, L"%ls", L"Verifying media failed.");
    return 0;
  }
  // Sectors passed over after a mismatch leave a disc that differs from its source: reported, and a failure.
  if (run->messageError) {
    BurnJobPrint(job, kBurnLevelInfo, L"%ls", L"Verifying media completed with errors.");
    return 0;
  }
  BurnJobPrint(job, kBurnLevelInfo, L"%ls", L"Verifying media completed successfully.");
  return 1;
}
