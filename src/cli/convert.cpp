// The convert command: copies an image sector by sector into another image format, and reports the raw
// sectors whose EDC did not match on the way.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/runners.h"
#include "cli/settings.h"
#include "formats/cue_writer.h"
#include "image/cdsector.h"
#include "image/document.h"
#include "image/format_row.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "qvf/volume.h"
#include "qvf/writer.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/tempfiles.h"
#include "runtime/textconv.h"
#include "runtime/write_behind.h"
#include "session/document.h"
#include "session/format_table.h"
#include "session/open.h"

namespace {

// Output types named by a suffix that no writer of this program produces.
constexpr int32_t kOutputTypeZip = 0x10097;
constexpr int32_t kOutputType7z = 0x20097;
// Sectors copied per read and write.
constexpr int64_t kConvertBlock = 2048;

struct FileIdentity {
  dev_t device;
  ino_t inode;
};

bool IdentityOf(const wchar_t* path, FileIdentity* identity) {
  char* narrow = path ? TextWideToMultiByteDup(path) : nullptr;
  struct stat info;
  bool found = narrow && stat(narrow, &info) == 0;
  MemFree(narrow);
  if (found) *identity = {info.st_dev, info.st_ino};
  return found;
}

bool IdentityOf(FILE* stream, FileIdentity* identity) {
  struct stat info;
  if (!stream || fstat(fileno(stream), &info) != 0) return false;
  *identity = {info.st_dev, info.st_ino};
  return true;
}

// True when `target` is one of the files the source image is read from: the image itself, its descriptor, or
// a track's data file. Compared as files, not as names.
bool TargetIsAnInput(CImageDocument* document, const wchar_t* target) {
  FileIdentity wanted;
  if (!IdentityOf(target, &wanted)) return false;
  auto same = [&](const FileIdentity& other) { return other.device == wanted.device && other.inode == wanted.inode; };
  FileIdentity other;
  if (IdentityOf(document->input, &other) && same(other)) return true;
  if (!WstrIsEmpty(document->companionPath) && IdentityOf(document->companionPath.c_str(), &other) && same(other))
    return true;
  if (CTrackTable* table = document->trackTable) {
    for (int32_t i = 0; i < table->trackCount; ++i) {
      const CTrackInfo* track = TrackTableGetTrack(table, i);
      if (!track) break;
      if (track->file && IdentityOf(track->file, &other) && same(other)) return true;
      if (!WstrIsEmpty(track->fileName) && IdentityOf(track->fileName.c_str(), &other) && same(other)) return true;
    }
  }
  for (const std::wstring& volume : QvfVolumeNames(document->qvf))
    if (IdentityOf(volume.c_str(), &other) && same(other)) return true;
  return false;
}

}  // namespace

// Shows why the document cannot be converted: 1 when it can't (abort code 1), else 0.
bool CliOutputTypeIsWritable(int32_t type) {
  // Only the ISO, BIN and QVF rows of the format table have writers.
  if (type == kOutputTypeIso || type == kOutputTypeBin || type == kOutputTypeQvf) return true;
  ConsolePrintf(L"%ls\r\n", L"The file can't be converted to the selected format.");
  return false;
}

int ImageCheckConvertible(CImageDocument* document) {
  const wchar_t* text = nullptr;
  const CTrackTable* table = document->trackTable;
  if (document->videoCdKind != 0) {
    text = L"This is a Video CD image file, and can not be converted.";
  } else if (document->inputType == kImageTypeAudioDisc) {
    text = L"This is an Audio CD image file, and can not be converted.";
  } else if (table && (table->trackCount > 1 || TrackTableIsMixedModeFrom(table, 0))) {
    text = L"This image file can not be converted.";
  }
  if (!text) return 0;
  CWideString message;
  WstrFormat(message, L"%ls\r\n\r\n%ls", document->path.c_str(), text);
  MessageShow(message.c_str());
  AbortCodeSet(kAbortCancelled);
  return 1;
}

// 1 when the target may be written, else 0 after the message (abort code 2).
int ImageCheckConvertTarget(CImageDocument* document, const wchar_t* target) {
  if (TargetIsAnInput(document, target)) {
    const bool volumes = document->splitVolumes || (document->qvf && QvfVolumeNames(document->qvf).size() > 1);
    ConsolePrintf(L"%ls\r\n", volumes ? L"The source file or destination file is a multiple volume image file. You "
                                          L"must save to a different file name."
                                        : L"The source file name and destination file name can not be same.");
    AbortCodeSet(kAbortSaveFailed);
    return 0;
  }
  return 1;
}

void ImageReportEdcErrors(CImageDocument* document) {
  int32_t count = EdcErrorListCount();
  if (document->edcCheck && count > 0) {
    CWideString message;
    WstrFormat(message, L"%d EDC error(s) detected!\r\n\r\n", count);
    for (int32_t i = 0; i < count && i < 16; ++i) {
      CWideString line;
      WstrFormat(line, L"%d:  sector offset 0x%08llx        \r\n", i + 1,
                 static_cast<unsigned long long>(EdcErrorListGet(i)));
      WstrAppend(message, line);
    }
    if (count > 16) WstrAppendChars(message, L"...");
    MessageShow(message.c_str());
  }
  EdcErrorListClear();
  document->edcCheck = 0;
}

// Copies the source image at `source` into `target` as `type`: 0 done, -1 failed (after the message).
int ImageConvert(const wchar_t* source, const wchar_t* target, int32_t type) {
  CImageDocument* document = ImageOpenByPath(source, kOpenDiskImage);
  if (!document) return -1;
  const int64_t unit = document->sectorSize == 512 ? 512 : 2048;
  EdcErrorListClear();
  document->edcCheck = 1;
  // QVF output takes the command line's password, volumes and comment, and may be named after them.
  std::wstring qvfName;
  if (type == kOutputTypeQvf) {
    QvfTakeSaveOptions(document, g_settings ? &g_settings->saveOptions : nullptr);
    qvfName = QvfOutputName(document, target);
    target = qvfName.c_str();
  }
  int result = -1;
  bool created = false;
  if (!ImageCheckConvertible(document) && ImageCheckConvertTarget(document, target)) {
    FILE* out = FileCreateChecked(target);
    if (!out) {
      AbortCodeSet(kAbortSaveFailed);
    } else {
      created = true;
      document->output = out;
      document->outputPath = target;
      document->outputType = type;
      const int64_t total = document->savedLimit ? document->savedLimit : document->readableLimit;
      CWideString title;
      WstrFormat(title, L"Converting from %ls to %ls", source, target);
      if (ConsoleModeGet()) ProgressBeginTotal(title.c_str(), static_cast<uint64_t>(total * unit));
      // The writer thread writes each block while the next one is read, unless reading and writing both go
      // through the document's raw work buffer (raw sectors in and out). Raw sectors for a BIN are encoded on
      // this side, spread over the cores, so that the writer thread only writes.
      const CImageFormatInfo* row = ImageFormatGet(type);
      const bool overlap = row && row->write && !(document->sectorSize != 2048 && type == kOutputTypeBin);
      const bool encodeHere = overlap && row->write == RawWriteSectors;
      const int64_t written = encodeHere ? 2352 : unit;
      std::vector<uint8_t> buffer(!overlap || encodeHere ? static_cast<size_t>(kConvertBlock * unit) : 0);
      std::unique_ptr<CWriteBehind> writer;
      if (overlap) {
        writer = std::make_unique<CWriteBehind>(
            3, static_cast<size_t>(kConvertBlock * written), [&](const uint8_t* data, int64_t position, int64_t count) {
              if (encodeHere) return FileWriteAt(out, data, position * 2352, static_cast<size_t>(count * 2352)) != 0;
              return row->write(document, position, data, count) == count;
            });
      }
      auto showWritten = [&]() {
        if (!writer || !ConsoleModeGet()) return;
        if (const int64_t count = writer->TakeWritten(); count > 0) ProgressAdd(static_cast<uint64_t>(count * unit));
      };
      bool writeFailed = false;
      int64_t sector = 0;
      while (sector < total && AbortCodeGet() == 0) {
        const int64_t count = std::min(kConvertBlock, total - sector);
        if (!writer) {
          if (ImageReadSectors(document, sector, buffer.data(), count) != count) break;
          if (ImageWriteSectors(document, sector, buffer.data(), count) != count) break;
          if (ConsoleModeGet()) ProgressAdd(static_cast<uint64_t>(count * unit));
        } else {
          uint8_t* slot = writer->Next();
          if (!slot) {
            writeFailed = true;
            break;
          }
          uint8_t* into = encodeHere ? buffer.data() : slot;
          if (ImageReadSectors(document, sector, into, count) != count) break;
          if (encodeHere) RawEncodeSectors(document, sector, into, count, slot);
          writer->Submit(sector, count);
          showWritten();
        }
        sector += count;
      }
      // A failed write leaves its errno here (Next and Drain carry it over from the writer thread).
      if (writer && !writer->Drain()) writeFailed = true;
      const int writeError = errno;
      showWritten();
      writer.reset();
      if (writeFailed) {
        errno = writeError;
        ErrorReport(target);
        AbortCodeSet(kAbortWriteFailed);
        sector = -1;
      }
      document->output = nullptr;
      bool closed = std::fclose(out) == 0;
      if (!closed) {
        ErrorReport(target);
        AbortCodeRaise(kAbortWriteFailed);
      }
      if (sector == total && closed && AbortCodeGet() == 0) {
        if (ConsoleModeGet()) {
          ProgressEnd();
          ConsolePrintText(L"\r\n");
        }
        result = 0;
        // A BIN image gets its CUE sheet beside it: one Mode 1 track of 2352-byte sectors, whatever the
        // source's own sectors were (raw Mode 2 sources keep their track's description).
        if (type == kOutputTypeBin) {
          int written = document->rawMode2 ? CueWriteSheetForDocument(document, target) : CueWriteSimpleSheet(target);
          if (written != 0) result = -1;
        }
        if (result == 0) ImageReportEdcErrors(document);
      } else if (ConsoleModeGet()) {
        ConsolePrintText(L"\r\n");
      }
    }
  }
  ImageClose(document);
  // A target that was not finished goes.
  if (created && result != 0) FileDelete(target);
  return result;
}

int ImageConvertAndReport(const wchar_t* source, const wchar_t* target, int32_t type) {
  FolderCreatePath(nullptr, target);
  ErrorStateReset();
  int result = ImageConvert(source, target, type);
  if (result != 0) return -1;
  MessageShow(L"Converting image file completed successfully.");
  return 0;
}

int CliRunConvert() {
  const wchar_t* target = g_settings->outputFile;
  if (!target || !*target) {
    ConsolePrintf(L"Please specify output file name.\r\n");
    return -1;
  }
  int32_t type = g_settings->outputType;
  if (type == kOutputTypeBySuffix) {
    CWideString suffix = PathGetExtension(target);
    if (WstrCompareNoCase(suffix, L"7z") == 0)
      type = kOutputType7z;
    else if (WstrCompareNoCase(suffix, L"zip") == 0)
      type = kOutputTypeZip;
    else
      type = ImageFormatFindByExtension(suffix.c_str());
    if (type < 0) {
      ConsolePrintf(L"Unknown output image format.\r\n");
      return -1;
    }
  }
  if (!CliOutputTypeIsWritable(type)) return -1;
  return ImageConvertAndReport(g_settings->firstArgument, target, type);
}
