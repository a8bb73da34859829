#include "burner/dvdwrite.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "burner/buffer.h"
#include "burner/jobs.h"
#include "burner/media.h"
#include "burner/mmc.h"
#include "burner/writer.h"
#include "runtime/byte_reader.h"

namespace {

// Written into the disc's control data of DVD-R and DVD-RW media.
constexpr const char* kDiscTimestamp = "20070101000000";

// What READ DISC INFORMATION tells the preparation and the close.
struct DiscInfo {
  int status = 0;            // byte 2, low four bits: last session state and disc status
  uint32_t firstInLast = 1;  // first track of the last session (bytes 10 and 5)
  uint32_t lastInLast = 1;   // last track of the last session (bytes 11 and 6)
  int backgroundFormat = 0;  // byte 7, bits 0-1
};

bool ReadDiscInfo(CBurnJob* job, DiscInfo* out) {
  uint8_t answer[42];
  uint32_t n = sizeof answer;
  if (!MmcReadDiscInfo(&job->run->scsi, job->device, 0, answer, &n)) return false;
  ByteReader r(answer, n);
  uint8_t status = r.U8At(2), first = r.U8At(5), last = r.U8At(6), flags = r.U8At(7);
  if (!r.ok()) return false;
  // The high bytes of the track numbers come later in the answer; a short answer leaves them 0.
  ByteReader high(answer, n);
  uint8_t firstHigh = high.U8At(10), lastHigh = high.U8At(11);
  if (!high.ok()) firstHigh = lastHigh = 0;
  out->status = status & 0x0F;
  out->firstInLast = static_cast<uint32_t>(firstHigh) << 8 | first;
  out->lastInLast = static_cast<uint32_t>(lastHigh) << 8 | last;
  out->backgroundFormat = flags & 3;
  return true;
}

bool Fail(CBurnJob* job, const wchar_t* text) {
  BurnJobPrint(job, kBurnLevelError, L"%ls", text);
  return false;
}

bool IsBdR(int code) { return code == 33 || code == 36 || code == 41 || code == 45; }
bool IsBdRe(int code) { return code == 39 || code == 40 || code == 44 || code == 48; }

uint32_t Blocks(int64_t count) { return static_cast<uint32_t>(std::clamp<int64_t>(count, 0, 0xFFFFFFFFLL)); }

// The disc's free room falls short of what the image needs: the burn-state hook hears of it, and the user is
// told why nothing was written.
bool NoRoom(CBurnJob* job, int64_t available, int64_t needed) {
  BurnJobReportNoRoom(job, available, needed);
  return false;
}

bool SendTimestamp(CBurnJob* job) { return MmcSendDiscTimestamp(&job->run->scsi, job->device, kDiscTimestamp) != 0; }

// RESERVE TRACK of `blocks`; a refusal is reported and the write goes on.
bool Reserve(CBurnJob* job, int64_t blocks) {
  if (MmcReserveTrack(&job->run->scsi, job->device, Blocks(blocks))) return true;
  BurnJobPrint(job, kBurnLevelInfo, L"%ls: %08x", L"Reserve zone", BurnJobLastError(job));
  return false;
}

// READ CAPACITY of a formatted disc must hold the image.
bool CheckCapacity(CBurnJob* job, int64_t needed) {
  int64_t capacity = MmcReadCapacity(&job->run->scsi, job->device);
  if (capacity <= 0) return Fail(job, L"Error reading capacity information.");
  if (capacity < needed) return NoRoom(job, capacity, needed);
  return true;
}

bool CheckNextWritable(CDvdWrite* w, int strict, int64_t expected, int64_t needed) {
  return BurnJobCheckNextWritableAddress(w->job, w->notedTrack, strict, Blocks(expected), Blocks(needed)) != 0;
}

bool PrepareDvdMinusR(CDvdWrite* w, const DiscInfo& info, int64_t size) {
  CBurnJob* job = w->job;
  CBurnRun* run = job->run;
  if (w->start != 0) {
    w->notedTrack = info.firstInLast;
  } else if (info.status != 0) {
    return Fail(job, L"Error verifying blank media.");
  }
  if (!CheckNextWritable(w, 1, w->start, size - w->start)) return false;
  if (!BurnSetDvdWriteParams(job, run->finalize, 0)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d, %08x).", L"Burning failed", 139, BurnJobLastError(job));
    return false;
  }
  MmcSendOpcInfo(&run->scsi, job->device);
  SendTimestamp(job);
  Reserve(job, size - w->start);
  return true;
}

// A DVD-RW that takes a further session: its first track grows, by formatting, until it holds the image.
bool PrepareDvdRwAppend(CDvdWrite* w, int64_t size) {
  CBurnJob* job = w->job;
  CScsiContext* scsi = &job->run->scsi;
  MmcSendOpcInfo(scsi, job->device);
  uint8_t track[48];
  uint32_t n = sizeof track;
  ByteReader r(track, 0);
  if (MmcReadTrackInfo(scsi, job->device, 0, 1, 1, track, &n)) r = ByteReader(track, n);
  int64_t trackSize = r.U32BEAt(24);
  if (!r.ok()) return Fail(job, L"Error reading track information.");
  if (trackSize >= size) {
    w->prepared = 0;
    SendTimestamp(job);
    return true;
  }
  uint32_t blocks = 0, parameter = 0;
  if (!MmcFindFormatCapacity(scsi, job->device, 0x13, 0, &blocks, &parameter))
    return Fail(job, L"Error reading capacity information.");
  int64_t grow = (size - trackSize + 15) / 16 * 16;
  if (blocks < grow) return NoRoom(job, blocks, grow);
  if (!MmcFormatUnit(scsi, job->device, Blocks(grow), 0x13, 0, 16, 0x02, 7200))
    return Fail(job, L"Error formatting the media.");
  SendTimestamp(job);
  return true;
}

bool PrepareDvdRwNew(CDvdWrite* w, int64_t size) {
  CBurnJob* job = w->job;
  CBurnRun* run = job->run;
  if (!MmcIsDiscBlank(&run->scsi, job->device)) return Fail(job, L"Error verifying blank media.");
  if (!BurnSetDvdWriteParams(job, run->finalize, 0)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d, %08x).", L"Burning failed", 173, BurnJobLastError(job));
    return false;
  }
  MmcSendOpcInfo(&run->scsi, job->device);
  SendTimestamp(job);
  if (Reserve(job, size)) return true;
  w->notedTrack = 1;
  return CheckNextWritable(w, 1, 0, size);
}

bool PrepareDvdPlusR(CDvdWrite* w, const DiscInfo& info, int64_t size) {
  if (w->start != 0) {
    w->notedTrack = info.firstInLast;
  } else if (info.status != 0) {
    return Fail(w->job, L"Error verifying blank media.");
  }
  if (!CheckNextWritable(w, 1, w->start, size - w->start)) return false;
  Reserve(w->job, size - w->start);
  return true;
}

bool PrepareDvdPlusRw(CDvdWrite* w, const DiscInfo& info, int64_t size) {
  CBurnJob* job = w->job;
  CScsiContext* scsi = &job->run->scsi;
  uint32_t blocks = 0, parameter = 0;
  if (MmcFindFormatCapacity(scsi, job->device, 0x26, 0, &blocks, &parameter) && blocks != 0 && blocks < size)
    return NoRoom(job, blocks, size);
  if (w->start != 0) {
    // A background format that was stopped before it completed goes on where it stopped.
    if (info.backgroundFormat == 1 && !MmcFormatUnit(scsi, job->device, 0xFFFFFFFFu, 0x26, 0, 1, 0x02, 600))
      return Fail(job, L"Error formatting the media.");
  } else {
    BurnJobPrint(job, kBurnLevelInfo, L"Formatting DVD+RW media...");
    if (!MmcFormatUnit(scsi, job->device, 0xFFFFFFFFu, 0x26, 0, 0, 0x02, 600))
      return Fail(job, L"Error formatting the media.");
  }
  return CheckCapacity(job, size);
}

bool PrepareBdR(CDvdWrite* w, const DiscInfo& info, int64_t size) {
  if (w->start != 0) {
    w->notedTrack = info.firstInLast;
  } else if (info.status != 0) {
    return Fail(w->job, L"Error verifying blank media.");
  }
  return CheckNextWritable(w, 1, w->start, size - w->start);
}

bool PrepareBdRPow(CDvdWrite* w, const DiscInfo& info, int64_t size) {
  if (w->start != 0) {
    w->notedTrack = info.lastInLast;
  } else if (info.lastInLast != 1) {
    return Fail(w->job, L"Error verifying blank media.");
  }
  return CheckNextWritable(w, 0, w->start, size - w->start);
}

bool PrepareBdRe(CDvdWrite* w, const DiscInfo& info, int64_t size) {
  CBurnJob* job = w->job;
  CScsiContext* scsi = &job->run->scsi;
  if ((info.status & 3) == 0) {
    uint8_t feature[20] = {};
    uint32_t got = sizeof feature;
    if (!MmcGetConfiguration(scsi, job->device, 2, 0x23, feature, &got))
      return Fail(job, L"Error reading capacity information.");
    // The feature descriptor starts after the 8-byte header: quick certification and its companion flag.
    ByteReader r(feature, got);
    bool quick = (r.U8At(12) & 0x01) && (r.U8At(14) & 0x08) && r.ok();
    int type = quick ? 0x31 : 0x30;
    uint32_t blocks = 0, parameter = 0;
    if (!MmcFindFormatCapacity(scsi, job->device, type, quick ? 0 : 1, &blocks, &parameter))
      return Fail(job, L"Error reading capacity information.");
    if (blocks < size) return NoRoom(job, blocks, size);
    if (!MmcFormatUnit(scsi, job->device, blocks, type, 0, quick ? 2048 : 0, 0x02, 600))
      return Fail(job, L"Error formatting the media.");
  }
  return CheckCapacity(job, size);
}

// CLOSE TRACK/SESSION with IMMED, then the wait for the drive to finish it.
bool Close(CBurnJob* job, int function, uint32_t track, int budget) {
  CScsiContext* scsi = &job->run->scsi;
  return MmcCloseTrackSession(scsi, job->device, 1, function, track) && MmcWaitUnitReady(scsi, job->device, budget);
}

// A DVD+RW still formatting in the background after a failed write: the format is stopped so that the disc
// reads back. The failure being reported keeps its own error code.
void StopBackgroundFormat(CBurnJob* job) {
  CScsiContext* scsi = &job->run->scsi;
  uint32_t error = ScsiGetLastError(scsi, job->device), sense = ScsiGetSense(scsi, job->device);
  uint8_t status = ScsiGetStatus(scsi, job->device);
  DiscInfo info;
  if (ReadDiscInfo(job, &info) && info.backgroundFormat == 2) {
    BurnJobPrint(job, kBurnLevelInfo, L"Stopping background format...");
    if (Close(job, 2, 0, 480)) BurnJobPrint(job, kBurnLevelInfo, L"Background format stopped.");
  }
  ScsiSetLastError(scsi, job->device, error);
  ScsiSetSense(scsi, job->device, sense);
  ScsiSetStatus(scsi, job->device, status);
}

}  // namespace

int32_t BurnDvdPacketSectors(int32_t mediaType) { return mediaType >= 32 && mediaType <= 63 ? 32 : 16; }

int64_t BurnDvdWrittenEnd(const CDvdWrite* write) {
  int64_t end = std::max<int64_t>(write->end, 0);
  return (end + write->packet - 1) / write->packet * write->packet;
}

int BurnSetDvdWriteParams(CBurnJob* job, int finalize, int testWrite) {
  std::vector<uint8_t> select;
  const int at = BurnReadWriteParameters(job, 2, &select);
  if (at < 0) return 0;
  uint8_t* page = select.data() + at;
  const uint8_t test = testWrite ? 0x10 : 0;
  if (job->run->appendStart == 0 && finalize) {
    page[2] = static_cast<uint8_t>(0x40 | test | 2);  // disc at once
    page[3] = 4;
    page[4] = static_cast<uint8_t>((page[4] & 0xF0) | 8);
    page[8] = 0;
    std::fill(page + 16, page + 48, 0);  // catalog number and ISRC
  } else {
    page[2] = static_cast<uint8_t>(0x40 | 0x20 | test | 0);  // incremental, link size valid
    page[3] = static_cast<uint8_t>((finalize ? 0 : 3) << 6 | 0x20 | 5);
    page[4] = static_cast<uint8_t>((page[4] & 0xF0) | 8);
    page[5] = 16;
    page[8] = 0;
    page[10] = page[11] = page[12] = 0;
    page[13] = 16;
  }
  return BurnSendWriteParameters(job, &select, at);
}

int BurnGetFinalizeBudget(int32_t mediaType, int64_t written) {
  switch (mediaType) {
    case 17:
    case 18:
    case 19:
      return 1800;
    case 20:
      return 496;
    case 21:
      if (written > 462303) return 496;
      return static_cast<int>(std::max<int64_t>((523744 - written) / 600, 496));
    case 22:
      return 600;
    case 23:
      return 3600;
    case 24:
      return 5400;
    case 33:
    case 34:
    case 36:
    case 37:
    case 39:
    case 40:
    case 41:
    case 42:
    case 44:
    case 45:
    case 46:
    case 48:
      return 600;
  }
  return static_cast<int>(std::clamp<int64_t>(written, 496, 0x7FFFFFFF));
}

int BurnJobPrepareDvdMedia(CDvdWrite* w) {
  CBurnJob* job = w->job;
  const int64_t size = BurnDvdWrittenEnd(w);
  DiscInfo info;
  if (!ReadDiscInfo(job, &info)) {
    Fail(job, L"Error reading media information.");
    return 0;
  }
  BurnJobPrint(job, kBurnLevelInfo, L"Preparing media...");
  w->prepared = 1;
  // No disc holds 2^32 sectors; the commands below could not even name that many.
  if (size - w->start > 0xFFFFFFFFLL) {
    NoRoom(job, 0xFFFFFFFFLL, size - w->start);
    return 0;
  }
  bool ok;
  switch (w->mediaType) {
    case 17:
    case 23:
      ok = PrepareDvdMinusR(w, info, size);
      break;
    case 18:
    case 19:
      ok = w->start != 0 ? PrepareDvdRwAppend(w, size) : PrepareDvdRwNew(w, size);
      break;
    case 21:
    case 24:
      ok = PrepareDvdPlusR(w, info, size);
      break;
    case 22:
      ok = PrepareDvdPlusRw(w, info, size);
      break;
    case 20:
      ok = CheckCapacity(job, size);
      break;
    case 34:
    case 37:
    case 42:
    case 46:
      ok = PrepareBdRPow(w, info, size);
      break;
    default:
      if (IsBdR(w->mediaType)) {
        ok = PrepareBdR(w, info, size);
      } else if (IsBdRe(w->mediaType)) {
        ok = PrepareBdRe(w, info, size);
      } else {
        ok = Fail(job, L"Media detect failed, or no media in the drive.");
      }
  }
  return ok ? 1 : 0;
}

int BurnJobWriteDvdData(CDvdWrite* w) {
  CBurnJob* job = w->job;
  CBurnRun* run = job->run;
  CBurnBuffer* buffer = w->buffer;
  const int32_t packet = w->packet;
  const uint32_t packetBytes = static_cast<uint32_t>(packet) * 2048;
  const bool multisession = run->rewritable && w->start != 0;
  std::vector<uint8_t> scratch(packetBytes);
  {
    CWriteProgress progress(job, static_cast<uint64_t>(std::max<int64_t>(w->end - w->start, 0)));
    for (int64_t lba = w->start; lba < w->end; lba += packet) {
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(packet, w->end - lba));
      const uint8_t* data = BurnBufferTake(buffer, scratch.data(), n, 0);
      if (!data) {
        BurnJobReportSourceFailure(job, buffer);
        return 0;
      }
      if (n < packet) {
        // The last packet is filled up with zeros.
        if (data != scratch.data()) std::memcpy(scratch.data(), data, static_cast<size_t>(n) * 2048);
        std::memset(scratch.data() + static_cast<size_t>(n) * 2048, 0, static_cast<size_t>(packet - n) * 2048);
        data = scratch.data();
      }
      BurnJobShowItemAt(job, buffer, lba);
      if (!MmcWrite10(&run->scsi, job->device, static_cast<uint32_t>(lba), data, packetBytes, 2048)) {
        BurnJobPrint(job, kBurnLevelError, L"%ls (%d-%08x %08x)", L"Error writing data.", 560,
                     static_cast<uint32_t>(lba), BurnJobLastError(job));
        return 0;
      }
      if (multisession && run->stages.multisessionPacket && !run->stages.multisessionPacket(job, lba, data, packet))
        return 0;
      BurnBufferAdvance(buffer, n);
      progress.Show(static_cast<uint64_t>(lba + n - w->start));
    }
  }
  BurnJobSetProgress(job, 100, 100);
  if (multisession && run->stages.multisessionFinish && !run->stages.multisessionFinish(job, packet)) return 0;
  return 1;
}

int BurnJobFinalizeMedia(CDvdWrite* w) {
  CBurnJob* job = w->job;
  CBurnRun* run = job->run;
  CScsiContext* scsi = &run->scsi;
  const int budget = BurnGetFinalizeBudget(w->mediaType, w->end - w->start);
  BurnJobPrint(job, kBurnLevelInfo,
               run->finalize ? L"Finalizing media, this may take several minutes..."
                             : L"Closing session, this may take several minutes...");
  if (!MmcSynchronizeCache(scsi, job->device, 1) || !MmcWaitUnitReady(scsi, job->device, budget)) return 0;
  const bool newFinalized = w->start == 0 && run->finalize;
  switch (w->mediaType) {
    case 17:
    case 23:
      if (w->start != 0) return Close(job, 1, w->notedTrack, budget) && Close(job, 2, 0, budget);
      return 1;
    case 18:
    case 19:
      if (newFinalized) return 1;
      return Close(job, 2, 0, budget) || !w->prepared;
    case 21:
    case 24:
      return Close(job, 1, w->notedTrack, budget) && Close(job, 5, 0, budget);
    case 22:
      return Close(job, 2, 0, budget);
    case 33:
    case 34:
    case 36:
    case 37:
    case 41:
    case 42:
    case 45:
    case 46:
      return Close(job, 1, w->notedTrack, budget) && Close(job, 6, 0, budget);
  }
  return 1;
}

int BurnJobWriteDvdImage(CBurnJob* job, CBurnBuffer* buffer, int32_t mediaType) {
  CDvdWrite w;
  w.job = job;
  w.buffer = buffer;
  w.mediaType = mediaType;
  w.packet = BurnDvdPacketSectors(mediaType);
  w.notedTrack = 1;
  w.start = job->run->appendStart;
  w.end = buffer->source.dataEnd;
  bool ok = BurnJobPrepareDvdMedia(&w);
  if (ok) {
    BurnJobReportStart(job, 0);
    ok = BurnJobWriteDvdData(&w);
  }
  if (ok && !BurnJobFinalizeMedia(&w)) {
    BurnJobPrint(job, kBurnLevelError, L"%ls (%d, %08x).", L"Burning failed", -110, BurnJobLastError(job));
    ok = false;
  }
  if (!ok && mediaType == kMediaDvdPlusRw) StopBackgroundFormat(job);
  return ok ? 1 : 0;
}
