#include "burner/cdwrite.h"

#include <algorithm>
#include <cstring>

#include "burner/buffer.h"
#include "burner/jobs.h"
#include "burner/mmc.h"
#include "burner/writer.h"
#include "image/cdtext_record.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/file.h"
#include "runtime/ui.h"
#include "runtime/wstring.h"

namespace {

constexpr int kRun = 16;  // sectors per WRITE(10)
constexpr int64_t kMaxFrames = 99 * 4500 + 59 * 75 + 74;  // 99:59:74, the last time a cue sheet can carry
constexpr int kCdTextSlotUpcIsrc = 0x8E - 0x80;

enum CueKind { kCueAudio, kCueMode1, kCueMode2, kCueNone };

CueKind KindOfMode(uint8_t mode) {
  if (mode == 1) return kCueAudio;
  if (mode == 2 || mode == 3 || mode == 153) return kCueMode1;
  if ((mode >= 4 && mode <= 8) || mode == 32) return kCueMode2;
  return kCueNone;
}

// CTL/ADR and data form of the lead-in, index and lead-out entries of each kind.
struct CueForms {
  uint8_t ctl, leadInForm, indexForm, leadOutCtl, leadOutForm;
};
constexpr CueForms kForms[] = {
    {0x21, 0x01, 0x00, 0x01, 0x01},  // audio
    {0x41, 0x14, 0x11, 0x41, 0x14},  // Mode 1
    {0x41, 0x34, 0x21, 0x41, 0x34},  // Mode 2
};

void PutEntry(std::vector<uint8_t>* sheet, uint8_t ctl, uint8_t tno, uint8_t index, uint8_t form, int64_t frames) {
  uint8_t e[8] = {ctl, tno, index, form, 0, 0, 0, 0};
  CdLbaToMsf(e + 5, frames);
  sheet->insert(sheet->end(), e, e + 8);
}

bool Flush(CBurnJob* job) {
  BurnJobPrint(job, kBurnLevelInfo, L"Synchronizing cache...");
  BurnJobSetProgress(job, 100, 100);
  CScsiContext* scsi = &job->run->scsi;
  if (!MmcSynchronizeCache(scsi, job->device, 1) || !MmcWaitUnitReady(scsi, job->device, 1800)) {
    BurnJobPrint(job, kBurnLevelError, L"Synchronizing cache failed.");
    return false;
  }
  return true;
}

// The write speed of the run, when -speed named one, goes to the drive before the disc is written.
void SendSpeed(CBurnJob* job) {
  int32_t speed = job->run->writeSpeed;
  if (speed <= 0) return;
  MmcSetCdSpeed(&job->run->scsi, job->device, 0xFFFF, static_cast<uint32_t>(std::min<int32_t>(speed, 0xFFFE)));
}

}  // namespace

void CdLbaToMsf(uint8_t* out, int64_t frames) {
  if (frames < 0) frames = 0;
  out[0] = static_cast<uint8_t>(frames / 4500);
  out[1] = static_cast<uint8_t>(frames % 4500 / 75);
  out[2] = static_cast<uint8_t>(frames % 75);
}

int BurnSetCdWriteParams(CBurnJob* job, int testWrite, int writeType, int multisession, int dataBlockType,
                         int sessionFormat) {
  std::vector<uint8_t> select;
  const int at = BurnReadWriteParameters(job, 0, &select);
  if (at < 0) return 0;
  uint8_t* page = select.data() + at;
  page[16] &= 0x7F;  // MCVAL
  page[32] &= 0x7F;  // TCVAL
  page[2] = static_cast<uint8_t>((page[2] & 0x80) | 0x40 | (testWrite ? 0x10 : 0) | (writeType & 0x0F));
  page[3] = static_cast<uint8_t>((multisession & 3) << 6 | 4);
  page[4] = static_cast<uint8_t>((page[4] & 0xF0) | (dataBlockType & 0x0F));
  page[8] = static_cast<uint8_t>(sessionFormat);
  return BurnSendWriteParameters(job, &select, at);
}

int BurnJobBuildCueSheet(CBurnJob* /*job*/, const CTrackTable* table, int withCdText, std::vector<uint8_t>* sheet) {
  sheet->clear();
  if (!table || table->trackCount < 1 || table->trackCount > 99) return 0;
  const CTrackInfo* first = TrackTableGetTrack(table, 0);
  if (!first || KindOfMode(first->mode) == kCueNone) return 0;
  sheet->reserve(8 * (4 + 4 * static_cast<size_t>(table->trackCount)));
  const wchar_t* mcn = CdTextGetText(table->discCdText, kCdTextSlotUpcIsrc);
  if (mcn && std::wcslen(mcn) == 13) {
    uint8_t a[8] = {0x02}, b[8] = {0x02};
    for (int i = 0; i < 7; ++i) a[1 + i] = static_cast<uint8_t>(mcn[i]);
    for (int i = 0; i < 6; ++i) b[1 + i] = static_cast<uint8_t>(mcn[7 + i]);
    sheet->insert(sheet->end(), a, a + 8);
    sheet->insert(sheet->end(), b, b + 8);
  }
  const CueForms& lead = kForms[KindOfMode(first->mode)];
  PutEntry(sheet, lead.ctl, 0, 0, static_cast<uint8_t>(lead.leadInForm | (withCdText ? 0x40 : 0)), 0);
  const CTrackInfo* last = first;
  for (int32_t i = 0; i < table->trackCount; ++i) {
    const CTrackInfo* track = TrackTableGetTrack(table, i);
    if (!track) return 0;
    CueKind kind = KindOfMode(track->mode);
    if (kind == kCueNone || track->start < 0 || track->pregap < 0 || track->length < 0) return 0;
    const CueForms& f = kForms[kind];
    uint8_t tno = static_cast<uint8_t>(i + 1);
    const wchar_t* isrc = CdTextGetText(track->cdText, kCdTextSlotUpcIsrc);
    if (isrc && std::wcslen(isrc) == 12) {
      uint8_t a[8] = {0x03, tno}, b[8] = {0x03, tno};
      for (int k = 0; k < 6; ++k) a[2 + k] = static_cast<uint8_t>(isrc[k]);
      for (int k = 0; k < 6; ++k) b[2 + k] = static_cast<uint8_t>(isrc[6 + k]);
      sheet->insert(sheet->end(), a, a + 8);
      sheet->insert(sheet->end(), b, b + 8);
    }
    if (i == 0) {
      PutEntry(sheet, f.ctl, tno, 0, f.indexForm, 0);
    } else if (track->pregap > 0) {
      PutEntry(sheet, f.ctl, tno, 0, f.indexForm, int64_t{track->start} - track->pregap + 150);
    }
    PutEntry(sheet, f.ctl, tno, 1, f.indexForm, int64_t{track->start} + 150);
    last = track;
  }
  const CueForms& out = kForms[KindOfMode(last->mode)];
  const int64_t leadOut = int64_t{last->start} + last->length + last->postgap + 150;
  // Times past 99:59:74 do not fit the sheet's minute byte; tracks that do not follow each other from LBA 0 would
  // not be written where the sheet puts them.
  if (leadOut > kMaxFrames || first->start != first->pregap) return 0;
  for (int32_t i = 1; i < table->trackCount; ++i) {
    const CTrackInfo* before = TrackTableGetTrack(table, i - 1);
    const CTrackInfo* track = TrackTableGetTrack(table, i);
    if (before->postgap < 0 ||
        int64_t{before->start} + before->length + before->postgap != int64_t{track->start} - track->pregap)
      return 0;
  }
  PutEntry(sheet, out.leadOutCtl, 0xAA, 1, out.leadOutForm, leadOut);
  return 1;
}

int BurnSendDataCueSheet(CBurnJob* job, int64_t appendStart, int32_t trackNumber, int64_t dataLength) {
  std::vector<uint8_t> sheet;
  uint8_t t = static_cast<uint8_t>(trackNumber);
  PutEntry(&sheet, 0x41, 0, 0, 0x14, 0);
  PutEntry(&sheet, 0x41, t, 0, 0x10, appendStart);
  PutEntry(&sheet, 0x41, t, 1, 0x10, appendStart + 150);
  PutEntry(&sheet, 0x41, 0xAA, 1, 0x14, appendStart + std::max<int64_t>(dataLength + 2, 300) + 150);
  return MmcSendCueSheet(&job->run->scsi, job->device, sheet.data(), static_cast<uint32_t>(sheet.size()));
}

int BurnJobWriteCdImage(CBurnJob* job, CBurnBuffer* buffer) {
  CBurnRun* run = job->run;
  if (run->appendStart == 0 && !MmcIsDiscBlank(&run->scsi, job->device)) {
    BurnJobPrint(job, kBurnLevelError, L"Error verifying blank media.");
    return 0;
  }
  SendSpeed(job);
  MmcSendOpcInfo(&run->scsi, job->device);
  if (buffer->sectorSize == 2048) return BurnJobWriteCdDataTrack(job, buffer, buffer->source.dataEnd);
  return BurnJobWriteCdSao(job, buffer);
}

int BurnJobWriteCdDataTrack(CBurnJob* job, CBurnBuffer* buffer, int64_t dataEnd) {
  CBurnRun* run = job->run;
  const int64_t start = run->appendStart;
  int64_t n = std::max<int64_t>(dataEnd - start, 0);
  int64_t r = 2;
  if (n + r < 300) r = 300 - n;
  if (!BurnSetCdWriteParams(job, 0, 2, 0, 8, 0)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d, %08x).", L"Burning failed", 154, BurnJobLastError(job));
    return 0;
  }
  if (n + r > 0xFFFFFFFFLL ||
      !BurnJobCheckNextWritableAddress(job, 255, 1, static_cast<uint32_t>(start), static_cast<uint32_t>(n + r)))
    return 0;
  if (!BurnSendDataCueSheet(job, start, start == 0 ? 1 : run->appendTrack, n)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d, %08x).", L"Burning failed", 153, BurnJobLastError(job));
    return 0;
  }
  BurnJobReportStart(job, 0);
  if (!BurnJobWriteZeroSectors(job, static_cast<uint32_t>(start - 150), 2048, 150, nullptr, kRun)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d, %08x).", L"Burning failed", 152, BurnJobLastError(job));
    return 0;
  }
  return BurnJobWriteTrackData(job, buffer, n, start, r);
}

int BurnJobWriteTrackData(CBurnJob* job, CBurnBuffer* buffer, int64_t dataLength, int64_t start, int64_t runOut) {
  CScsiContext* scsi = &job->run->scsi;
  const int64_t total = dataLength + runOut;
  std::vector<uint8_t> scratch(static_cast<size_t>(kRun) * 2048);
  {
    CWriteProgress progress(job, static_cast<uint64_t>(total));
    for (int64_t lba = start; lba < start + total;) {
      int32_t k = static_cast<int32_t>(std::min<int64_t>(kRun, start + total - lba));
      const uint8_t* data = BurnBufferTake(buffer, scratch.data(), k, 0);
      if (!data) {
        BurnJobReportSourceFailure(job, buffer);
        return 0;
      }
      BurnJobShowItemAt(job, buffer, lba);
      if (!MmcWrite10(scsi, job->device, static_cast<uint32_t>(lba), data, static_cast<uint32_t>(k) * 2048, 2048)) {
        BurnJobPrint(job, kBurnLevelError, L"%ls (%d-%08x %08x)", L"Error writing data.", 129,
                     static_cast<uint32_t>(lba), BurnJobLastError(job));
        return 0;
      }
      BurnBufferAdvance(buffer, k);
      lba += k;
      progress.Show(static_cast<uint64_t>(lba - start));
    }
  }
  return Flush(job) ? 1 : 0;
}

int BurnJobWriteCdTextLeadIn(CBurnJob* job, const CTrackTable* table, int64_t start) {
  const std::vector<uint8_t>& blocks = table->cdTextSubchannel;
  if (start >= -150) return 1;
  if (blocks.size() < 96 || blocks.size() % 96) return 0;
  const size_t cycle = blocks.size() / 96;
  std::vector<uint8_t> run(static_cast<size_t>(kRun) * 96);
  size_t next = 0;
  for (int64_t lba = start; lba < -150;) {
    int32_t k = static_cast<int32_t>(std::min<int64_t>(kRun, -150 - lba));
    for (int32_t i = 0; i < k; ++i) {
      std::memcpy(run.data() + static_cast<size_t>(i) * 96, blocks.data() + next * 96, 96);
      next = (next + 1) % cycle;
    }
    if (!MmcWrite10(&job->run->scsi, job->device, static_cast<uint32_t>(lba), run.data(), static_cast<uint32_t>(k) * 96,
                    96))
      return 0;
    lba += k;
  }
  return 1;
}

int BurnJobWriteCdSao(CBurnJob* job, CBurnBuffer* buffer) {
  CBurnRun* run = job->run;
  CScsiContext* scsi = &run->scsi;
  const CTrackTable* table = buffer->document ? buffer->document->trackTable : nullptr;
  if (!table) return 0;
  std::vector<uint8_t> scratch(static_cast<size_t>(kRun) * 2352);
  if (run->writeCdText) {
    int can = MmcCanReadCdText(scsi, job->device);
    if (can < 0) {
      BurnJobPrint(job, kBurnLevelError, L"Error reading drive information.");
      return 0;
    }
    if (can == 0) {
      BurnJobPrint(job, kBurnLevelInfo, L"The current drive does not support CD-Text.");
      BurnJobPrint(job, kBurnLevelInfo, L"The writing CD-Text shall be ignored.");
      run->writeCdText = 0;
    }
  }
  std::vector<uint8_t> sheet;
  if (!BurnJobBuildCueSheet(job, table, run->writeCdText, &sheet)) return 0;
  bool xa = false;
  for (int32_t i = 0; i < table->trackCount; ++i)
    if (const CTrackInfo* t = TrackTableGetTrack(table, i)) xa = xa || KindOfMode(t->mode) == kCueMode2;
  if (!BurnSetCdWriteParams(job, 0, 2, 0, 0, xa ? 0x20 : 0)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d, %08x).", L"Burning failed", 264, BurnJobLastError(job));
    return 0;
  }
  int64_t total = TrackTableGetEndSector(table);
  if (total <= 0 || total > 0xFFFFFFFFLL ||
      !BurnJobCheckNextWritableAddress(job, 255, 1, 0, static_cast<uint32_t>(total)))
    return 0;
  if (!MmcSendCueSheet(scsi, job->device, sheet.data(), static_cast<uint32_t>(sheet.size()))) {
    BurnJobPrint(job, kBurnLevelError, L"%ls(%d, %08x)", L"Burning failed", 272, BurnJobLastError(job));
    return 0;
  }
  if (run->writeCdText) {
    uint8_t info[42];
    uint32_t n = sizeof info;
    // Without the lead-in start the texts cannot be placed; writing on without them would lose them silently.
    if (!MmcReadDiscInfo(scsi, job->device, 0, info, &n) || n < 20) {
      BurnJobPrint(job, kBurnLevelError, L"Error reading media information.");
      return 0;
    }
    if (info[17] >= 90) {
      BurnJobPrint(job, kBurnLevelInfo, L"Writing Audio CD-Text...");
      int64_t start = int64_t{info[17]} * 4500 + info[18] * 75 + info[19] - 450150;
      if (!BurnJobWriteCdTextLeadIn(job, table, start)) {
        bool mixed = TrackTableIsMixedModeFrom(table, 0) != 0;
        if (!(mixed && BurnJobLastSense(job) == 0x052400)) {
          BurnJobPrint(job, kBurnLevelError, L"%ls (%d-%08x)", L"Error writing data.", 304, BurnJobLastError(job));
          return 0;
        }
      }
    }
  }
  BurnJobReportStart(job, 0);
  if (!BurnJobWriteZeroSectors(job, static_cast<uint32_t>(-150), 2352, 150, nullptr, kRun)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d-%08x)", L"Error writing data.", 314, static_cast<uint32_t>(-150));
    return 0;
  }
  {
    CWriteProgress progress(job, static_cast<uint64_t>(total));
    int64_t lba = 0;
    for (int32_t i = 0; i < table->trackCount; ++i) {
      const CTrackInfo* track = TrackTableGetTrack(table, i);
      int64_t end = lba + track->pregap + track->length + track->postgap;
      while (lba < end) {
        int32_t k = static_cast<int32_t>(std::min<int64_t>(kRun, end - lba));
        const uint8_t* data = BurnBufferTake(buffer, scratch.data(), k, 0);
        if (!data) {
          BurnJobReportSourceFailure(job, buffer);
          MmcCloseTrackSession(scsi, job->device, 0, 1, static_cast<uint32_t>(i + 1));
          return 0;
        }
        BurnJobShowItemAt(job, buffer, lba);
        if (!MmcWrite10(scsi, job->device, static_cast<uint32_t>(lba), data, static_cast<uint32_t>(k) * 2352, 2352)) {
          uint32_t error = BurnJobLastError(job);
          BurnJobPrint(job, kBurnLevelError, L"%ls (%d-%08x %08x)", L"Error writing data.", 371,
                       static_cast<uint32_t>(lba), error);
          MmcCloseTrackSession(scsi, job->device, 0, 1, static_cast<uint32_t>(i + 1));
          ScsiSetLastError(scsi, job->device, error);  // the write's code is the one the job reports
          return 0;
        }
        BurnBufferAdvance(buffer, k);
        lba += k;
        progress.Show(static_cast<uint64_t>(lba));
      }
    }
  }
  return Flush(job) ? 1 : 0;
}
