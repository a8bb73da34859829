#include "formats/cue_writer.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <string>

#include "formats/cdtext.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/textconv.h"

namespace {

constexpr int32_t kFramesPerSecond = 75;
constexpr int32_t kFramesPerMinute = 60 * kFramesPerSecond;

// The sheet being formed, wide; written in one piece once complete.
class SheetText {
 public:
  void Add(const wchar_t* format, ...) {
    wchar_t line[2048];
    va_list args;
    va_start(args, format);
    const int n = std::vswprintf(line, sizeof line / sizeof line[0], format, args);
    va_end(args);
    if (n < 0) {
      failed_ = true;
      return;
    }
    text_.append(line, static_cast<size_t>(n));
  }
  void AddTime(int32_t index, int64_t frames) {
    if (frames < 0) frames = 0;
    const auto minutes = static_cast<int>(frames / kFramesPerMinute);
    const auto seconds = static_cast<int>(frames / kFramesPerSecond - int64_t{minutes} * 60);
    const auto frame = static_cast<int>(frames % kFramesPerSecond);
    Add(L"    INDEX %02d %02d:%02d:%02d\r\n", index, minutes, seconds, frame);
  }
  const std::wstring& text() const { return text_; }
  bool failed() const { return failed_; }

 private:
  std::wstring text_;
  bool failed_ = false;
};

// The part of a path after its last '/'.
const wchar_t* FileNameOf(const wchar_t* path) {
  const wchar_t* slash = PathFindLastSlash(path);
  return slash ? slash + 1 : path;
}

// A text as it can stand between the quotes of a sheet line: a '"' inside would end it early, so it becomes '\''.
std::wstring Quotable(const wchar_t* text) {
  std::wstring out(text);
  for (wchar_t& c : out)
    if (c == L'"') c = L'\'';
  return out;
}

void AddText(SheetText& sheet, const wchar_t* format, const CCdTextRecord* record, uint8_t packType) {
  const wchar_t* text = CdTextGetText(record, packType - kCdTextPackTitle);
  if (text) sheet.Add(format, Quotable(text).c_str());
}

// Creates the sheet beside `binPath` and writes `sheet` into it: 0, or -1 after the error was shown (a sheet
// that could not be written whole is removed).
int WriteSheetFile(const wchar_t* binPath, const SheetText& sheet) {
  const CWideString sheetPath = PathChangeExtension(binPath, L"cue", 1);
  if (sheetPath.c_str()[0] == L'\0') return -1;
  LastErrorSetText(nullptr);
  FILE* file = FileCreateChecked(sheetPath);
  if (!file) return -1;
  bool ok = !sheet.failed();
  char* bytes = ok ? TextWideToMultiByteDup(sheet.text().c_str()) : nullptr;
  if (!bytes) {
    ok = false;
    errno = EILSEQ;
  } else {
    const size_t n = std::strlen(bytes);
    ok = n == 0 || FileWriteAt(file, bytes, kFileNoSeek, n);
    MemFree(bytes);
  }
  if (FileClose(file) != 0) ok = false;
  if (ok) return 0;
  ErrorReport(sheetPath);
  FileDelete(sheetPath);
  return -1;
}

}  // namespace

int CueWriteSimpleSheet(const wchar_t* binPath) {
  if (!binPath) return -1;
  SheetText sheet;
  sheet.Add(L"FILE \"%ls\" BINARY\r\n", Quotable(FileNameOf(binPath)).c_str());
  sheet.Add(L"  TRACK 01 MODE1/2352\r\n");
  sheet.Add(L"    INDEX 01 00:00:00\r\n");
  return WriteSheetFile(binPath, sheet);
}

int CueWriteSheet(const CTrackTable* table, const wchar_t* binPath, int wave, const uint8_t* selected) {
  if (!table || !binPath) return -1;
  SheetText sheet;
  const bool cdText = CdTextIsPresent(table);
  if (cdText && table->discCdText) {
    const CCdTextRecord* disc = table->discCdText;
    AddText(sheet, L"CATALOG \"%ls\"\r\n", disc, kCdTextPackUpcIsrc);
    AddText(sheet, L"PERFORMER \"%ls\"\r\n", disc, kCdTextPackPerformer);
    AddText(sheet, L"SONGWRITER \"%ls\"\r\n", disc, kCdTextPackSongwriter);
    AddText(sheet, L"COMPOSER \"%ls\"\r\n", disc, kCdTextPackComposer);
    AddText(sheet, L"TITLE \"%ls\"\r\n", disc, kCdTextPackTitle);
  }
  sheet.Add(wave ? L"FILE \"%ls\" WAVE\r\n" : L"FILE \"%ls\" BINARY\r\n", Quotable(FileNameOf(binPath)).c_str());

  int32_t written = 0;
  int32_t lastSession = -1;
  int64_t running = 0;  // position in the exported audio
  for (int32_t i = 0;; ++i) {
    const CTrackInfo* track = TrackTableGetTrack(table, i);
    if (!track) break;
    if (wave && selected && !selected[i]) continue;
    if (table->sessionCount >= 2 && track->session != lastSession)
      sheet.Add(L"REM SESSION %02d\r\n", track->session + 1);
    lastSession = track->session;
    ++written;
    const int32_t number = wave ? written : i + 1;
    const bool audio = track->mode == kTrackModeAudio;
    if (audio) {
      sheet.Add(L"  TRACK %02d %ls\r\n", number, L"AUDIO");
    } else {
      const bool mode2 = track->mode == 4 || track->mode == 5 || track->mode == 6 || track->mode == 8 ||
                         track->mode == 32;
      // Tables of other descriptors may leave the disc's sector size unset: their sectors are raw.
      const int32_t size = table->sectorSizeMode == 2048 ? 2048 : 2352;
      sheet.Add(L"  TRACK %02d %ls/%d\r\n", number, mode2 ? L"MODE2" : L"MODE1", size);
    }
    const CCdTextRecord* record = track->cdText;
    const bool texts = audio && record && cdText;
    if (texts) {
      AddText(sheet, L"    TITLE \"%ls\"\r\n", record, kCdTextPackTitle);
      AddText(sheet, L"    PERFORMER \"%ls\"\r\n", record, kCdTextPackPerformer);
      AddText(sheet, L"    ISRC \"%ls\"\r\n", record, kCdTextPackUpcIsrc);
      AddText(sheet, L"    SONGWRITER \"%ls\"\r\n", record, kCdTextPackSongwriter);
      AddText(sheet, L"    COMPOSER \"%ls\"\r\n", record, kCdTextPackComposer);
    }
    int64_t index1 = track->start;
    if (wave) {
      if (written == 1) {
        index1 = running;
      } else {
        if (track->pregap > 0) sheet.AddTime(0, running);
        index1 = running + track->pregap;
      }
      running += int64_t{track->pregap} + track->length + track->postgap;
    } else if (track->pregap > 0) {
      sheet.AddTime(0, int64_t{track->start} - track->pregap);
    }
    sheet.AddTime(1, index1);
    if (texts && record->indexCount > 1) {
      for (int32_t n = 2; n <= record->indexCount && n < kCdTextMaxIndexes; ++n) {
        const int32_t offset = record->index[n];
        if (offset == 0 || offset >= track->length) break;
        sheet.AddTime(n, index1 + offset);
      }
    }
  }
  return WriteSheetFile(binPath, sheet);
}

int CueWriteSheetForDocument(const CImageDocument* document, const wchar_t* binPath) {
  if (!document || !document->trackTable) return CueWriteSimpleSheet(binPath);
  return CueWriteSheet(document->trackTable, binPath, 0);
}
