// make-image: reads a whole disc from a drive into an image file. 2048-byte sectors go through the image writers
// (ISO, QVF); BIN output takes raw 2352-byte sectors of every track and its gaps and gets a CUE sheet beside it.
// Reading and writing overlap: a writer thread writes the chunks already read while the next one is read.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "burner/disc_read.h"
#include "burner/mmc.h"
#include "burner/transport.h"
#include "cli/console.h"
#include "cli/runners.h"
#include "cli/settings.h"
#include "formats/cdtext.h"
#include "formats/cue_writer.h"
#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "qvf/writer.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/tempfiles.h"
#include "runtime/textconv.h"
#include "runtime/write_behind.h"
#include "session/document.h"
#include "session/drive_open.h"
#include "session/format_table.h"

namespace {

// Sectors read into one buffer and written in one call (1 MiB of 2048-byte sectors), and the buffers: one is filled
// while the others are written. A small ring keeps what was just read in the caches for its write; larger buffers
// measured no faster.
constexpr int64_t kChunkSectors = 512;
constexpr int kChunkBuffers = 4;
// Sectors of one read request.
constexpr int64_t kRequestSectors = 16;
// Sectors of one step of the progress line.
constexpr int64_t kProgressSectors = 512;

struct MakeImageRun {
  const wchar_t* source = nullptr;
  const wchar_t* target = nullptr;
  int32_t type = 0;
  CScsiContext scsi;
  int device = 0;
  CTrackTable* table = nullptr;
  CDiscReadState read;
  CImageDocument* build = nullptr;  // the document the ISO and QVF writers write through
  FILE* out = nullptr;
  bool created = false;
};

bool SameFile(const wchar_t* a, const wchar_t* b) {
  char* na = TextWideToMultiByteDup(a);
  char* nb = TextWideToMultiByteDup(b);
  struct stat sa, sb;
  const bool same =
      na && nb && stat(na, &sa) == 0 && stat(nb, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  MemFree(na);
  MemFree(nb);
  return same;
}

// Where the sectors of track `i` that are read end: the next track of the same session starts right after its
// gap; a track that ends a session is followed by the lead-out, which is not read.
int64_t ReadableEnd(const CTrackTable* table, int32_t i) {
  const CTrackInfo& t = table->tracks[i];
  if (i + 1 < table->trackCount && table->tracks[i + 1].session == t.session) return table->tracks[i + 1].start;
  return static_cast<int64_t>(t.start) + t.length + t.postgap;
}

// Where the image's sectors of track `i` end: at the next track's start, or at the end of the last track.
int64_t BlockEnd(const CTrackTable* table, int32_t i) {
  if (i + 1 < table->trackCount) return table->tracks[i + 1].start;
  return TrackTableGetEndSector(table);
}

// Reads the disc: 0 done, -1 failed or cancelled (after the message).
int MakeFromDisc(MakeImageRun& run) {
  const bool raw = run.type == kOutputTypeBin;
  const int64_t sectorBytes = raw ? 2352 : 2048;
  const CTrackTable* table = run.table;
  // The first track starts at 0 on every disc this reads; sectors before it are not part of the image.
  const int64_t total = TrackTableGetEndSector(table);
  CWriteBehind writer(kChunkBuffers, static_cast<size_t>(kChunkSectors * sectorBytes),
                      [&run, raw](const uint8_t* data, int64_t sector, int64_t count) {
                        if (raw)
                          return FileWriteAt(run.out, data, sector * 2352, static_cast<size_t>(count) * 2352) != 0;
                        return ImageWriteSectors(run.build, sector, data, count) == count;
                      });
  // Progress follows the writes, in the steps it has always taken.
  auto showWritten = [&writer] {
    if (!ConsoleModeGet()) return;
    for (int64_t written = writer.TakeWritten(); written > 0; written -= kProgressSectors)
      ProgressAdd(static_cast<uint64_t>(std::min(written, kProgressSectors)) * 2352);
  };
  bool writeReported = false;
  auto writeFailed = [&] {
    if (writeReported) return;
    writeReported = true;
    ErrorReport(run.target);
    AbortCodeSet(kAbortWriteFailed);
  };
  if (ConsoleModeGet()) {
    CWideString title;
    WstrFormat(title, L"Creating image file from %ls to %ls", run.source, run.target);
    ProgressBeginTotal(title.c_str(), static_cast<uint64_t>(total) * 2352);
  }
  bool ok = true;
  for (int32_t i = 0; i < table->trackCount && ok; ++i) {
    const CTrackInfo& track = table->tracks[i];
    const int64_t trackEnd = static_cast<int64_t>(track.start) + track.length;
    const int64_t readable = ReadableEnd(table, i);
    const int64_t end = BlockEnd(table, i);
    bool first = true;
    for (int64_t sector = track.start; sector < end && ok;) {
      // A chunk stays on one side of the track's end, so that one gap distance holds for it.
      int64_t limit = sector < trackEnd ? trackEnd : sector < readable ? readable : end;
      const int64_t count = std::min(kChunkSectors, limit - sector);
      uint8_t* buffer = writer.Next();
      if (!buffer) {
        writeFailed();  // first: errno still holds the failed write's reason
        ok = false;
        break;
      }
      showWritten();
      if (sector < readable) {
        // Requests of 16 sectors: after a stretch of failures under IgnoreAll, whole requests are passed over.
        for (int64_t done = 0; done < count && ok; done += kRequestSectors) {
          const int64_t at = sector + done;
          const int64_t distance = at < trackEnd ? 0 : at - trackEnd + 1;
          if (!DiscReadSectorsWithRetry(&run.scsi, run.device, &run.read, buffer + done * sectorBytes, at,
                                        std::min(kRequestSectors, count - done), raw ? 1 : 0, 1, distance, run.source,
                                        nullptr)) {
            if (!run.read.cancelled) ConsolePrintf(L"%ls: %ls\r\n", run.source, L"Error reading data on disc.");
            ok = false;
          }
        }
        if (!ok) break;
      } else {
        std::fill(buffer, buffer + count * sectorBytes, 0);
      }
      // The first raw sector of a data track tells its mode.
      if (raw && first && track.mode != kTrackModeAudio) {
        const uint8_t mode = buffer[15];
        if (mode == 2) run.table->tracks[i].mode = kTrackModeMode2Form1;
        if (mode == 1) run.table->tracks[i].mode = kTrackModeMode1;
      }
      first = false;
      writer.Submit(sector, count);
      sector += count;
      if (AbortCodeGet() != 0) ok = false;
    }
  }
  if (!writer.Drain()) {
    writeFailed();
    ok = false;
  }
  showWritten();
  if (ConsoleModeGet()) {
    if (ok) ProgressEnd();
    ConsolePrintText(L"\r\n");
  }
  return ok ? 0 : -1;
}

// Opens the drive and reads the disc's layout: 0, or -1 after the message.
int ReadSource(MakeImageRun& run) {
  run.device = RawFileOpen(run.source);
  if (run.device <= 0) {
    run.device = 0;
    ConsolePrintf(L"Error opening device %ls.\r\n", run.source);
    return -1;
  }
  run.scsi.readingDevice = run.device;
  DriveUseFileSystemProbes(&run.scsi);
  run.table = TrackTableAlloc();
  if (!run.table) {
    MessageShow(L"Out of memory. Program abort.");
    return -1;
  }
  if (!DiscReadTrackList(&run.scsi, run.device, run.table, run.source, 1)) {
    MessageShow(L"Error reading media information.");
    return -1;
  }
  if (run.table->trackCount < 1) {
    MessageShow(L"The disc is empty.");
    return -1;
  }
  // The CD-TEXT of an audio disc goes into the CUE sheet.
  if (TrackTableIsAudioTrack(run.table, 0)) {
    std::vector<uint8_t> packs;
    if (MmcReadCdText(&run.scsi, run.device, &packs) && CdTextDecodePacks(run.table, packs.data(), packs.size()) > 0)
      CdTextConvertStrings(run.table);
  }
  if (run.type != kOutputTypeBin) {
    if (TrackTableIsAudioTrack(run.table, 0)) {
      MessageShow(L"This is an audio disc, please select BIN image file format.");
      return -1;
    }
    if (run.table->trackCount > 1 || run.table->sessionCount > 1) {
      MessageShow(L"This is a multi-track disc, please select BIN image file format.");
      return -1;
    }
  }
  return 0;
}

int MakeImage(MakeImageRun& run) {
  if (ReadSource(run) != 0) return -1;
  // The output never replaces its own source.
  if (SameFile(run.source, run.target)) {
    ConsolePrintf(L"%ls\r\n", L"The source file name and destination file name can not be same.");
    AbortCodeSet(kAbortSaveFailed);
    return -1;
  }
  run.out = FileCreateChecked(run.target);
  if (!run.out) {
    AbortCodeSet(kAbortSaveFailed);
    return -1;
  }
  run.created = true;
  if (run.type != kOutputTypeBin) {
    run.build->output = run.out;
    run.build->outputPath = run.target;
    run.build->outputType = run.type;
    run.build->readableLimit = TrackTableGetEndSector(run.table);
    run.build->buildSectorCount = run.build->readableLimit;
  }
  int result = MakeFromDisc(run);
  if (run.build) run.build->output = nullptr;
  FILE* out = run.out;
  run.out = nullptr;
  if (std::fclose(out) != 0 && result == 0) {
    ErrorReport(run.target);
    result = -1;
  }
  if (result == 0 && run.type == kOutputTypeBin) {
    // The sheet describes the disc as read: raw sectors, its tracks, pregaps and sessions.
    run.table->sectorSizeMode = 2352;
    TrackTableFree(run.build->trackTable);
    run.build->trackTable = run.table;
    run.table = nullptr;
    if (CueWriteSheetForDocument(run.build, run.target) != 0) result = -1;
  }
  return result;
}

}  // namespace

int ImageMakeFromDiscAndReport(const wchar_t* source, const wchar_t* target, int32_t type,
                               const CSaveOptions* options) {
  MakeImageRun run;
  run.source = source;
  run.type = type;
  run.build = ImageAlloc();
  if (!run.build) return -1;
  run.build->isoNameLength = 221;
  run.build->jolietNameLength = 110;
  std::wstring qvfName;
  if (type == kOutputTypeQvf) {
    QvfTakeSaveOptions(run.build, options);
    qvfName = QvfOutputName(run.build, target);
    target = qvfName.c_str();
  }
  run.target = target;
  FolderCreatePath(nullptr, target);
  ErrorStateReset();
  int result = MakeImage(run);
  if (run.out) std::fclose(run.out);
  // A failed or cancelled image does not stay behind.
  if (result != 0 && run.created) FileDelete(target);
  if (result == 0) {
    if (run.read.zeroFilledSectors > 0)
      ConsolePrintf(L"%lld sector(s) could not be read and were filled with zeros.\r\n",
                    static_cast<long long>(run.read.zeroFilledSectors));
    MessageShow(L"Creating image file completed successfully.");
  }
  TrackTableFree(run.table);
  ImageClose(run.build);
  if (run.device > 0) RawFileClose(run.device);
  return result;
}

int CliRunMakeImage() {
  const wchar_t* target = g_settings->outputFile;
  if (!target || !*target) {
    ConsolePrintf(L"Please specify output file name.\r\n");
    return -1;
  }
  const wchar_t* source = g_settings->firstArgument;
  if (!source || !PathIsDeviceName(source)) {
    ConsolePrintf(L"Please specify valid source drive.\r\n");
    return -1;
  }
  int32_t type = g_settings->outputType;
  if (type == kOutputTypeBySuffix) type = ImageFormatFindByExtension(PathGetExtension(target).c_str());
  if (type < 0) {
    ConsolePrintf(L"Unknown output image format.\r\n");
    return -1;
  }
  if (!CliOutputTypeIsWritable(type)) return -1;
  return ImageMakeFromDiscAndReport(source, target, type, &g_settings->saveOptions);
}
