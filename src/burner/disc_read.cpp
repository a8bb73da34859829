#include "burner/disc_read.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "burner/media.h"
#include "burner/mmc.h"
#include "image/tracktable.h"
#include "runtime/byte_reader.h"
#include "runtime/error.h"
#include "runtime/hooks.h"
#include "runtime/ui.h"

namespace {

constexpr uint32_t kFullTocBytes = 1104;
constexpr uint32_t kTocBytes = 804;
constexpr int kDescriptorBytes = 11;

bool IsCdCode(int code) { return code < 16 || code == 255; }
bool IsDvdOrBd(int code) { return code >= 16 && code < 64; }
bool IsBd(int code) { return code >= 32 && code < 64; }
bool IsBdRe(int code) { return code == 39 || code == 40 || code == 44 || code == 48; }
bool TrimsToVolume(int code) {
  return code == 20 || code == 22 || code == 26 || code == 39 || code == 40 || code == 44 || code == 48;
}

void ClearTracks(CTrackTable* table) {
  for (CTrackInfo& track : table->tracks) {
    CdTextRecordFree(track.cdText);
    if (track.file) std::fclose(track.file);
    track = CTrackInfo{};
  }
  table->trackCount = 0;
  table->sessionCount = 0;
}

struct DiscInfo {
  bool ok = false;
  uint8_t bytes[42] = {};
  uint32_t length = 0;
  int status = 2;
  int lastSessionState = 3;
  int sessions() const { return bytes[4] | (length > 9 ? bytes[9] << 8 : 0); }
  int lastTrackOfLastSession() const { return bytes[6] | (length > 11 ? bytes[11] << 8 : 0); }
  int discType() const { return length > 8 ? bytes[8] : 0; }
};

DiscInfo ReadDiscInfo(CScsiContext* scsi, int device) {
  DiscInfo info;
  info.length = sizeof info.bytes;
  int lss = 0, status = 0;
  if (MmcReadDiscInfo(scsi, device, 0, info.bytes, &info.length) && info.length >= 7 &&
      MmcParseDiscStatus(info.bytes, info.length, &lss, &status) >= 0) {
    info.ok = true;
    info.status = status;
    info.lastSessionState = lss;
  } else {
    info.length = 0;
  }
  return info;
}

bool IsMode2DiscType(int type) { return type == 0x10 || type == 0x20 || type == 1 || type == 2; }

// The full TOC (format 2) with MSF addresses; false when it cannot be read.
bool ReadFullToc(CScsiContext* scsi, int device, std::vector<uint8_t>* answer) {
  answer->assign(kFullTocBytes, 0);
  uint32_t n = kFullTocBytes;
  if (!MmcReadToc(scsi, device, 2, 1, answer->data(), &n) || n < 4) return false;
  uint32_t total = LoadU16BE(answer->data()) + 2u;
  if (total > kFullTocBytes) {
    answer->assign(total, 0);
    n = total;
    if (!MmcReadToc(scsi, device, 2, 1, answer->data(), &n)) {
      SysSleepMs(scsi->retryDelayMs);
      n = total;
      if (!MmcReadToc(scsi, device, 2, 1, answer->data(), &n)) return false;
    }
    total = std::min<uint32_t>(total, LoadU16BE(answer->data()) + 2u);
  }
  answer->resize(std::min(n, total));
  return answer->size() >= 4;
}

// Walks the full TOC: true when it gave a usable layout (tracks of every session with their lengths).
bool LayoutFromFullToc(const std::vector<uint8_t>& toc, CTrackTable* table) {
  const int sessions = toc[3];
  int current = -1, first = 0, last = 0, discType = 0, previous = 0;
  int64_t leadOut = -1;
  int sessionFirstIndex = 0;
  auto closeSession = [&] {
    if (table->trackCount > sessionFirstIndex && leadOut >= 0) {
      CTrackInfo& tail = table->tracks[table->trackCount - 1];
      tail.length = static_cast<int32_t>(leadOut - tail.start);
    }
  };
  for (size_t at = 4; at + kDescriptorBytes <= toc.size(); at += kDescriptorBytes) {
    const uint8_t* d = &toc[at];
    if ((d[1] >> 4) != 1) continue;
    if (d[0] != current) {
      closeSession();
      current = d[0];
      first = last = 0;
      leadOut = -1;
      sessionFirstIndex = table->trackCount;
    }
    const int point = d[3];
    const int64_t pmsf = (static_cast<int64_t>(d[8]) * 60 + d[9]) * 75 + d[10] - 150;
    if (point == 0xA0) {
      if (d[8] == 0 || (previous != 0 && d[8] != previous + 1)) break;
      first = d[8];
      discType = d[9];
    } else if (point == 0xA1) {
      if (d[8] == 0 || d[8] < first) break;
      last = d[8];
    } else if (point == 0xA2) {
      if (pmsf < 0) break;
      leadOut = pmsf;
    } else if (point >= 1 && point <= 99) {
      const int expected = table->trackCount > sessionFirstIndex ? previous + 1 : first;
      if (!first || !last || leadOut < 0 || point != expected || point > last || pmsf < 0 || pmsf > leadOut ||
          current < 1 || table->trackCount >= kTrackTableMaxTracks)
        break;
      if (table->trackCount > sessionFirstIndex) {
        CTrackInfo& before = table->tracks[table->trackCount - 1];
        if (pmsf < before.start) break;
        before.length = static_cast<int32_t>(pmsf - before.start);
      }
      if (table->trackCount == 0) table->firstTrackNumber = point;
      CTrackInfo& track = table->tracks[table->trackCount++];
      track.start = static_cast<int32_t>(pmsf);
      track.session = current - 1;
      track.mode = !(d[1] & 0x04)              ? kTrackModeAudio
                   : IsMode2DiscType(discType) ? kTrackModeMode2Form1
                                               : kTrackModeMode1;
      track.sectorSize = 2352;
      track.dataOffset = -1;
      previous = point;
    } else {
      break;
    }
  }
  closeSession();
  if (sessions == 0 || table->trackCount < sessions) return false;
  for (int i = 0; i < table->trackCount; ++i)
    if (table->tracks[i].length <= 0) return false;
  table->sessionCount = sessions;
  return true;
}

// The simple TOC (format 0, LBA): 1 layout read, 0 blank disc, -1 the disc cannot be read.
int LayoutFromSimpleToc(CScsiContext* scsi, int device, const DiscInfo& info, CTrackTable* table) {
  const int code = table->discMode;
  std::vector<uint8_t> toc(kTocBytes, 0);
  uint32_t n = kTocBytes;
  if (!MmcReadToc(scsi, device, 0, 0, toc.data(), &n) || n < 4) {
    if (info.ok) {
      if (info.status != 0 && (info.sessions() != 1 || info.lastSessionState != 0)) return -1;
      table->sectorSizeMode = 2048;
      return 0;
    }
    if (code == 0 || code == 255) return -1;
    table->sectorSizeMode = 0;
    return 0;
  }
  toc.resize(std::min<uint32_t>(n, LoadU16BE(toc.data()) + 2u));
  int sessions = 1;
  if (info.ok) {
    sessions = info.sessions();
    if (sessions == 0) return -1;
  }
  const int count = toc[3] - toc[2] + 1;
  if (count <= 0 || count > kTrackTableMaxTracks) return -1;
  sessions = std::min(sessions, count);
  // Each track and the lead-out, each whole inside what was received.
  if (toc.size() < 4 + static_cast<size_t>(count + 1) * 8) return -1;
  const bool cd = IsCdCode(code) || code == 0;
  int32_t sectorSize = 0;
  for (int i = 0; i < count; ++i) {
    const uint8_t* d = &toc[4 + i * 8];
    const int64_t start = LoadU32BE(d + 4);
    const int64_t next = LoadU32BE(d + 12);
    if (next < start || start > INT32_MAX || next > INT32_MAX) return -1;
    CTrackInfo& track = table->tracks[i];
    track.start = static_cast<int32_t>(start);
    track.length = static_cast<int32_t>(next - start);
    track.dataOffset = -1;
    if (cd) {
      if (sessions == count)
        track.session = i;
      else if (sessions == 1)
        track.session = 0;
      else
        return -1;
    } else {
      track.session = sessions == 1 ? 0 : i;
    }
    if (d[1] & 0x04) {
      if (cd) {
        const int type = info.discType();
        track.mode = type == 0x10 || type == 0x20 ? kTrackModeMode2Form1 : kTrackModeMode1;
        sectorSize = 2352;
      } else {
        track.mode = kTrackModeMode1;
        sectorSize = 2048;
      }
    } else {
      track.mode = kTrackModeAudio;
      sectorSize = 2352;
      if (table->discMode == 255) table->discMode = kMediaCdRom;
    }
    track.sectorSize = sectorSize;
  }
  if (toc[2] >= 1) table->firstTrackNumber = toc[2];
  table->trackCount = count;
  table->sessionCount = sessions;
  table->sectorSizeMode = sectorSize;
  return 1;
}

// Steps 1 to 3 of reading the layout: 1 read, 0 the disc cannot be read.
int ReadLayout(CScsiContext* scsi, int device, CTrackTable* table, DiscInfo* info) {
  ClearTracks(table);
  table->discMode = MediaDetectType(scsi, device);
  table->firstTrackNumber = 1;
  *info = ReadDiscInfo(scsi, device);
  table->discStatus = info->status;
  table->lastSessionState = info->lastSessionState;
  std::vector<uint8_t> toc;
  if (ReadFullToc(scsi, device, &toc)) {
    if (LayoutFromFullToc(toc, table)) {
      if (table->discMode == 0 || table->discMode == 255) table->discMode = kMediaCdRom;
      table->sectorSizeMode = 2352;
      return 1;
    }
  }
  const uint8_t code = table->discMode;
  ClearTracks(table);
  table->discMode = code;
  table->firstTrackNumber = 1;
  return LayoutFromSimpleToc(scsi, device, *info, table) < 0 ? 0 : 1;
}

struct TrackInfoAnswer {
  uint32_t start = 0, size = 0, nwa = 0;
  bool nwaValid = false;
  int session = 0;
  int dataMode = 0;
  bool data = false;
};

bool ReadTrackInfo(CScsiContext* scsi, int device, uint32_t number, bool retry, TrackInfoAnswer* out) {
  uint8_t answer[48] = {};
  uint32_t n = sizeof answer;
  bool ok = MmcReadTrackInfo(scsi, device, 0, 1, number, answer, &n);
  if (!ok && retry) {
    SysSleepMs(scsi->retryDelayMs);
    n = sizeof answer;
    ok = MmcReadTrackInfo(scsi, device, 0, 1, number, answer, &n);
  }
  if (!ok) return false;
  ByteReader r(answer, n);
  out->session = r.U8At(3);
  out->data = r.U8At(5) & 0x04;
  out->dataMode = r.U8At(6) & 0x0F;
  out->nwaValid = r.U8At(7) & 0x01;
  out->start = r.U32BEAt(8);
  out->nwa = r.U32BEAt(12);
  out->size = r.U32BEAt(24);
  if (!r.ok()) return false;
  if (n > 33) out->session |= answer[33] << 8;
  return true;
}

// Step 5: the track information of every track refines the TOC's layout.
void ApplyTrackInformation(CScsiContext* scsi, int device, const DiscInfo& info, CTrackTable* table, bool makingImage) {
  const int code = table->discMode;
  const int known = table->trackCount;
  int limit = known;
  if (IsDvdOrBd(code) && info.ok) limit = std::max(limit, info.lastTrackOfLastSession() - table->firstTrackNumber + 1);
  limit = std::min(limit, kTrackTableMaxTracks);
  const bool rawCd = table->sectorSizeMode == 2352 && IsCdCode(code);
  for (int i = 0; i < limit; ++i) {
    TrackInfoAnswer answer;
    if (!ReadTrackInfo(scsi, device, static_cast<uint32_t>(table->firstTrackNumber + i), i == 0, &answer)) break;
    if ((i == 0) != (answer.start == 0) || answer.size == 0) break;
    if (answer.start > INT32_MAX || answer.size > INT32_MAX) break;
    CTrackInfo& track = table->tracks[i];
    int64_t length = answer.size;
    if (i < known) {
      if (rawCd && static_cast<int64_t>(track.start) == answer.start && track.length >= length) {
        track.postgap = static_cast<int32_t>(track.length - length);
        if (i > 0 && table->tracks[i - 1].session == track.session) {
          CTrackInfo& before = table->tracks[i - 1];
          if (before.postgap == 152) {
            before.postgap = 2;
            track.pregap = 150;
          } else if (before.postgap == 150) {
            track.pregap = 150;
            before.postgap = 0;
            if (makingImage && before.length > 2) {
              before.length -= 2;
              before.postgap = 2;
            }
          }
        }
      }
    } else {
      if (!IsDvdOrBd(code)) break;
      if (answer.nwaValid && answer.nwa == answer.start) break;
      if (answer.nwaValid && answer.nwa > answer.start) length = std::min<int64_t>(length, answer.nwa - answer.start);
      track = CTrackInfo{};
      track.mode = kTrackModeMode1;
      track.sectorSize = 2048;
      track.dataOffset = -1;
      table->trackCount = i + 1;
    }
    if (MediaIsPseudoOverwrite(code) && table->trackCount == 1 && answer.nwaValid) {
      if (answer.nwa > answer.start) length = std::min<int64_t>(length, answer.nwa - answer.start);
      if (answer.nwa == answer.start && table->discStatus == 0) {
        ClearTracks(table);
        table->discStatus = 0;
        table->lastSessionState = 0;
        return;
      }
    }
    track.start = static_cast<int32_t>(answer.start);
    track.length = static_cast<int32_t>(length);
    track.session = answer.session > 0 ? answer.session - 1 : 0;
    if (IsCdCode(code) && answer.data && track.mode != kTrackModeAudio) {
      if (answer.dataMode == 2) track.mode = kTrackModeMode2Form1;
      if (answer.dataMode == 1) track.mode = kTrackModeMode1;
    }
  }
}

}  // namespace

int DiscReadTrackList(CScsiContext* scsi, int device, CTrackTable* table, const wchar_t* devicePath, int makingImage) {
  (void)devicePath;
  if (!scsi || !device || !table) return 0;
  DiscInfo info;
  if (!ReadLayout(scsi, device, table, &info)) return 0;
  if (table->discMode == 0 && table->trackCount > 0 && !ReadLayout(scsi, device, table, &info)) return 0;
  ApplyTrackInformation(scsi, device, info, table, makingImage != 0);
  table->sessionCount = table->trackCount > 0 ? table->tracks[table->trackCount - 1].session + 1 : 0;
  const int code = table->discMode;
  if (table->trackCount == 1 && TrimsToVolume(code)) DiscHasIsoVolume(scsi, device, code, table);
  if ((IsBdRe(code) && table->discStatus == 2) || code == kMediaDvdRwRestricted) {
    table->discStatus = 1;
    table->lastSessionState = 1;
  }
  table->multisession =
      table->sessionCount > 1 || table->trackCount > 1 || (table->trackCount > 0 && table->tracks[0].mode == 1);
  table->notCd = MediaIsCdOrNone(table) ? 0 : 1;
  table->discValue = table->discStatus;
  table->fromDrive = 1;
  return 1;
}

int DiscHasIsoVolume(CScsiContext* scsi, int device, int mediaType, CTrackTable* table) {
  if (!table || table->trackCount < 1) return -1;
  std::vector<uint8_t> sector(2048);
  uint32_t n = 0;
  if (!MmcRead10(scsi, device, 16, 1, sector.data(), &n)) return -1;
  const int64_t unit = IsBd(mediaType) ? 32 : 16;
  int64_t size = 0;
  if (std::memcmp(sector.data() + 1, "CD001", 5) == 0) {
    if (sector[0] != 1) return -1;
    size = (static_cast<int64_t>(LoadU32LE(sector.data() + 80)) + unit - 1) / unit * unit;
    if (size <= 16) return -1;
  } else {
    // No ISO 9660 volume: a UDF volume gives the size through the end of its partition.
    const int64_t end = scsi->udfVolumeEnd ? scsi->udfVolumeEnd(scsi, device, table->tracks[0].length) : -1;
    if (end < 0) {
      // Neither: a disc that was never written is empty.
      std::vector<uint8_t> head(26 * 2048);
      if (MmcRead10(scsi, device, 0, 26, head.data(), &n) &&
          std::all_of(head.begin(), head.end(), [](uint8_t b) { return b == 0; })) {
        ClearTracks(table);
      }
      return -1;
    }
    size = (end + unit - 1) / unit * unit;
    if (size < 259) return -1;
  }
  if (size > table->tracks[0].length) return -1;
  CTrackInfo& track = table->tracks[0];
  track.start = 0;
  track.length = static_cast<int32_t>(size);
  track.pregap = track.postgap = 0;
  track.session = 0;
  track.mode = kTrackModeMode1;
  table->trackCount = 1;
  table->sessionCount = 1;
  table->discStatus = 1;
  table->lastSessionState = 1;
  return 1;
}

int DiscRetryCount(int64_t gapDistance) {
  if (gapDistance <= 0) return 10;
  if (gapDistance <= 2) return 5;
  if (gapDistance <= 150) return 1;
  return 0;
}

namespace {

bool ReadBatch(CScsiContext* scsi, int device, uint8_t* buffer, int64_t lba, int64_t count, bool raw) {
  if (lba < 0 || lba + count > UINT32_MAX) return false;
  if (raw) return MmcReadCd(scsi, device, static_cast<uint32_t>(lba), static_cast<uint32_t>(count), buffer);
  uint32_t n = 0;
  return MmcRead10(scsi, device, static_cast<uint32_t>(lba), static_cast<uint32_t>(count), buffer, &n);
}

enum class Answer { kRetry, kIgnore, kIgnoreAll, kCancel };

Answer AskAboutSector(int64_t lba, const wchar_t* path) {
  UiPrintf(L"Error reading sector %lld of %ls.\r\n", static_cast<long long>(lba), path ? path : L"the disc");
  // With -y every unreadable sector is ignored; end of input cancels.
  if (UiAssumeYes()) {
    UiPrintf(L"(Retry/Cancel/Ignore/IgnoreAll):Ignore\r\n");
    return Answer::kIgnore;
  }
  for (;;) {
    UiPrintf(L"(Retry/Cancel/Ignore/IgnoreAll):");
    wchar_t line[82];
    if (!UiReadLine(line, 82)) {
      UiPrintf(L"\r\n");
      return Answer::kCancel;
    }
    std::wstring answer(line);
    for (wchar_t& c : answer) c = static_cast<wchar_t>(std::towlower(c));
    if (answer == L"retry") return Answer::kRetry;
    if (answer == L"ignore") return Answer::kIgnore;
    if (answer == L"ignoreall") return Answer::kIgnoreAll;
    if (answer == L"cancel") return Answer::kCancel;
  }
}

}  // namespace

int DiscReadSectorsWithRetry(CScsiContext* scsi, int device, CDiscReadState* state, uint8_t* buffer, int64_t first,
                             int64_t count, int raw, int mayAsk, int64_t gapDistance, const wchar_t* path,
                             int* skipped) {
  if (!scsi || !state || !buffer || count <= 0 || first < 0) return 0;
  const size_t sectorBytes = raw ? 2352 : 2048;
  auto zeroFill = [&](uint8_t* at, int64_t sectors) { std::memset(at, 0, static_cast<size_t>(sectors) * sectorBytes); };
  if (first == 0) {
    state->failuresInRow = 0;
    state->zeroFillLeft = 0;
  }
  if (state->ignoreAll) {
    // A disc that fails request after request is passed over in larger steps.
    if (state->failuresInRow > 15) {
      state->failuresInRow = 0;
      state->zeroFillLeft = 15;
      zeroFill(buffer, count);
      state->zeroFilledSectors += count;
      return 1;
    }
    if (state->zeroFillLeft > 0) {
      --state->zeroFillLeft;
      zeroFill(buffer, count);
      state->zeroFilledSectors += count;
      return 1;
    }
  }
  const int attempts = raw ? DiscRetryCount(gapDistance) + 1 : 2;
  const int64_t batch = raw ? 16 : 32;
  // The transport shortens the time-outs of a drive an image is made from by the failures in a row, so that a
  // damaged stretch of the disc is passed over in reasonable time.
  auto readRun = [&](uint8_t* out, int64_t lba, int64_t n) {
    scsi->readFailures = state->failuresInRow;
    return ReadBatch(scsi, device, out, lba, n, raw);
  };
  for (int64_t done = 0; done < count;) {
    const int64_t n = std::min(batch, count - done);
    uint8_t* out = buffer + static_cast<size_t>(done) * sectorBytes;
    if (readRun(out, first + done, n)) {
      state->failuresInRow = 0;
      done += n;
      continue;
    }
    ++state->failuresInRow;
    // One sector at a time: the batch is read again sector by sector.
    for (int64_t i = 0; i < n; ++i) {
      const int64_t lba = first + done + i;
      uint8_t* sector = out + static_cast<size_t>(i) * sectorBytes;
      for (;;) {
        bool read = false;
        for (int attempt = 0; attempt < attempts && !read; ++attempt) {
          read = readRun(sector, lba, 1);
          if (!read) ++state->failuresInRow;
        }
        if (read) {
          state->failuresInRow = 0;
          break;
        }
        if (gapDistance > 0) {
          zeroFill(sector, 1);
          if (skipped) *skipped = 1;
          state->errorsSeen = 1;
          ++state->zeroFilledSectors;
          break;
        }
        if (!mayAsk) return 0;
        if (state->ignoreAll) {
          zeroFill(sector, 1);
          state->errorsSeen = 1;
          ++state->zeroFilledSectors;
          break;
        }
        const Answer answer = AskAboutSector(lba, path);
        if (answer == Answer::kRetry) continue;
        zeroFill(sector, 1);
        if (answer == Answer::kCancel) {
          zeroFill(out + static_cast<size_t>(i) * sectorBytes, n - i);
          state->cancelled = 1;
          AbortCodeSet(kAbortCancelled);
          return 0;
        }
        state->ignoreAll = answer == Answer::kIgnoreAll ? 1 : 0;
        state->errorsSeen = 1;
        ++state->zeroFilledSectors;
        break;
      }
    }
    done += n;
  }
  return 1;
}
