#include "cli/rip.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/extract.h"
#include "formats/cdtext.h"
#include "image/cdtext_record.h"
#include "image/document.h"
#include "image/sectors.h"
#include "image/tracktable.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/settings.h"
#include "runtime/tempfiles.h"
#include "runtime/textconv.h"

namespace {

constexpr int64_t kRawSectorBytes = 2352;
// Sectors read and written per step: about 1 MiB.
constexpr int64_t kStepSectors = 446;

// CD audio: two channels of 16-bit samples at 44,100 Hz.
constexpr uint16_t kChannels = 2;
constexpr uint16_t kBitsPerSample = 16;
constexpr uint32_t kSampleRate = 44100;

// Bytes of the header that follow the INFO chunk: "fmt " with its 18-byte body, then "data" and its size.
constexpr uint32_t kFmtAndDataHeader = 8 + 18 + 8;

const wchar_t* FormatSuffix(int32_t format) {
  switch (format) {
    case kAudioFormatWav:
      return L".wav";
    case kAudioFormatWma:
      return L".wma";
    case kAudioFormatApe:
      return L".ape";
    case kAudioFormatFlac:
      return L".flac";
    case kAudioFormatOgg:
      return L".ogg";
    default:
      return L".mp3";
  }
}

const wchar_t* FormatName(int32_t format) {
  switch (format) {
    case kAudioFormatWma:
      return L"WMA";
    case kAudioFormatApe:
      return L"APE";
    case kAudioFormatFlac:
      return L"FLAC";
    case kAudioFormatOgg:
      return L"OGG";
    default:
      return L"MP3";
  }
}

const CCdTextRecord* TrackText(const CTrackTable* tracks, int32_t index) {
  const CTrackInfo* track = TrackTableGetTrack(tracks, index);
  return track ? track->cdText : nullptr;
}

const wchar_t* TextOf(const CCdTextRecord* record, int packType) {
  return CdTextGetText(record, packType - kCdTextPackTitle);
}

// Characters that no file name may hold; in a value they all become blanks, in the template's own text all but
// the token mark.
bool IsNameBreaker(wchar_t c) { return c != 0 && std::wcschr(L"\\\"*/:<>?|", c) != nullptr; }

void AppendValue(std::wstring* name, const wchar_t* value) {
  for (; *value; ++value) name->push_back(IsNameBreaker(*value) ? L' ' : *value);
}

void PutU16(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  PutU16(out, value & 0xFFFF);
  PutU16(out, value >> 16);
}

void PutTag(std::vector<uint8_t>* out, const char* tag) { out->insert(out->end(), tag, tag + 4); }

// The LIST/INFO chunk of the track, empty when the track has no text for it.
std::vector<uint8_t> BuildInfoChunk(const CTrackTable* tracks, int32_t index) {
  const CCdTextRecord* track = TrackText(tracks, index);
  const CCdTextRecord* disc = tracks ? tracks->discCdText : nullptr;
  const struct {
    const char* id;
    const wchar_t* text;
  } items[] = {
      {"IPRD", TextOf(disc, kCdTextPackTitle)},
      {"IART", TextOf(track, kCdTextPackPerformer)},
      {"INAM", TextOf(track, kCdTextPackTitle)},
      {"ICMT", TextOf(track, kCdTextPackMessage)},
  };
  std::vector<uint8_t> chunk;
  for (const auto& item : items) {
    if (!item.text || !*item.text) continue;
    char* bytes = TextWideToMultiByteDup(item.text);
    if (!bytes) continue;
    if (chunk.empty()) {
      PutTag(&chunk, "LIST");
      PutU32(&chunk, 0);
      PutTag(&chunk, "INFO");
    }
    const uint32_t length = static_cast<uint32_t>(std::strlen(bytes)) + 1;
    PutTag(&chunk, item.id);
    PutU32(&chunk, length);
    chunk.insert(chunk.end(), bytes, bytes + length);
    if (length & 1) chunk.push_back(0);
    MemFree(bytes);
  }
  if (chunk.empty()) return chunk;
  while (chunk.size() % 4 != 0) chunk.push_back(0);
  const uint32_t size = static_cast<uint32_t>(chunk.size() - 8);
  for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<uint8_t>(size >> (8 * i));
  return chunk;
}

bool WriteAll(FILE* file, const void* bytes, size_t n) { return n == 0 || std::fwrite(bytes, 1, n, file) == n; }

void ReportWriteFailed() {
  MessageShow(L"Writing file failed.");
  AbortCodeRaise(kAbortWriteFailed);
}

}  // namespace

CWideString RipExpandNameTemplate(const wchar_t* nameTemplate, const CTrackTable* tracks, int32_t index,
                                  const wchar_t* folder, int32_t format) {
  const CCdTextRecord* track = TrackText(tracks, index);
  const CCdTextRecord* disc = tracks ? tracks->discCdText : nullptr;
  wchar_t number[16];
  std::swprintf(number, 16, L"%02d", index + 1);
  wchar_t defaultTitle[24];
  std::swprintf(defaultTitle, 24, L"Track%02d", index + 1);
  auto valueOr = [](const wchar_t* value, const wchar_t* fallback) { return value && *value ? value : fallback; };

  std::wstring name;
  for (const wchar_t* p = nameTemplate ? nameTemplate : L""; *p; ++p) {
    if (*p != L'|') {
      name.push_back(IsNameBreaker(*p) ? L' ' : *p);
      continue;
    }
    const wchar_t* value = nullptr;
    switch (p[1]) {
      case L'#':
        value = number;
        break;
      case L't':
        value = valueOr(TextOf(track, kCdTextPackTitle), defaultTitle);
        break;
      case L'p':
        value = valueOr(TextOf(track, kCdTextPackPerformer), L"Unknown Track Artist");
        break;
      case L'c':
        value = valueOr(TextOf(track, kCdTextPackComposer), L"Unknown Track composer");
        break;
      case L'T':
        value = valueOr(TextOf(disc, kCdTextPackTitle), L"Unknown Album Title");
        break;
      case L'P':
        value = valueOr(TextOf(disc, kCdTextPackPerformer), L"Unknown Album Artist");
        break;
      case L'C':
        value = valueOr(TextOf(disc, kCdTextPackComposer), L"Unknown Album Composer");
        break;
      default:
        break;
    }
    if (!value) {
      // Not a token: the mark and the letter stay as they are.
      name.push_back(L'|');
      continue;
    }
    AppendValue(&name, value);
    ++p;
  }
  name += FormatSuffix(format);
  PathMakeLocalName(&name);

  std::wstring path = folder ? folder : L"";
  if (!path.empty() && path.back() != L'/') path.push_back(L'/');
  path += name;
  return CWideString(path.c_str());
}

uint32_t WavBuildInfoChunk(FILE* file, const CTrackTable* tracks, int32_t index) {
  const std::vector<uint8_t> chunk = BuildInfoChunk(tracks, index);
  if (file && !WriteAll(file, chunk.data(), chunk.size())) return 0;
  return static_cast<uint32_t>(chunk.size());
}

int WavWriteHeader(FILE* file, uint64_t dataBytes, const CTrackTable* tracks, int32_t index) {
  if (!file) return 0;
  const std::vector<uint8_t> info = BuildInfoChunk(tracks, index);
  const uint64_t riffSize = 4 + info.size() + kFmtAndDataHeader + dataBytes;
  if (riffSize > UINT32_MAX) return 0;
  constexpr uint32_t blockAlign = kBitsPerSample / 8 * kChannels;
  std::vector<uint8_t> header;
  header.reserve(12 + info.size() + kFmtAndDataHeader);
  PutTag(&header, "RIFF");
  PutU32(&header, static_cast<uint32_t>(riffSize));
  PutTag(&header, "WAVE");
  header.insert(header.end(), info.begin(), info.end());
  PutTag(&header, "fmt ");
  PutU32(&header, 18);
  PutU16(&header, kBitsPerSample == 32 ? 3 : 1);
  PutU16(&header, kChannels);
  PutU32(&header, kSampleRate);
  PutU32(&header, kSampleRate * blockAlign);
  PutU16(&header, blockAlign);
  PutU16(&header, kBitsPerSample);
  PutU16(&header, 0);
  PutTag(&header, "data");
  PutU32(&header, static_cast<uint32_t>(dataBytes));
  return WriteAll(file, header.data(), header.size()) ? 1 : 0;
}

int RipTrackToFile(CImageDocument* document, int32_t index, const wchar_t* path, FILE* file, int32_t format) {
  const CTrackInfo* track = TrackTableGetTrack(document->trackTable, index);
  if (!track) {
    AbortCodeSet(kAbortReadFailed);
    return -1;
  }
  const int64_t first = int64_t{track->start} - std::max(track->pregap, 0);
  const int64_t sectors =
      int64_t{std::max(track->pregap, 0)} + std::max(track->length, 0) + std::max(track->postgap, 0);
  const uint64_t bytes = static_cast<uint64_t>(sectors) * kRawSectorBytes;
  const bool writing = format == kAudioFormatWav && !document->testOnly && file;
  if (writing && !WavWriteHeader(file, bytes, document->trackTable, index)) {
    ReportWriteFailed();
    return -1;
  }
  if (ConsoleModeGet()) {
    CWideString title;
    WstrFormat(title, L"Ripping Track #%d to %ls", index + 1, path ? path : L"");
    ProgressBeginTotal(title.c_str(), bytes);
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(sectors, 1), kStepSectors)) *
                              kRawSectorBytes);
  for (int64_t done = 0; done < sectors;) {
    if (writing) {
      // Sectors that lie as they are in the image's files are copied inside the kernel.
      const int64_t copied =
          std::fflush(file) == 0 ? ImageCopyRawTracksToFd(document, first + done, sectors - done, fileno(file)) : -1;
      if (copied < 0) {
        ReportWriteFailed();
        return -1;
      }
      if (copied > 0) {
        done += copied;
        if (ConsoleModeGet()) ProgressAdd(static_cast<uint64_t>(copied * kRawSectorBytes));
        continue;
      }
    }
    const int64_t n = std::min(kStepSectors, sectors - done);
    if (ImageReadRawSectors(document, first + done, buffer.data(), n) != n) {
      ErrorReport(path);
      AbortCodeRaise(kAbortReadFailed);
      return -1;
    }
    const size_t length = static_cast<size_t>(n * kRawSectorBytes);
    if (writing && !WriteAll(file, buffer.data(), length)) {
      ReportWriteFailed();
      return -1;
    }
    done += n;
    if (ConsoleModeGet()) ProgressAdd(length);
  }
  if (ConsoleModeGet()) {
    ProgressEnd();
    ConsolePrintText(L"\r\n");
  }
  return 1;
}

int RipAudioTrack(CImageDocument* document, int32_t index, const wchar_t* folder, int32_t format) {
  const CWideString path =
      RipExpandNameTemplate(SettingsGetAudioFileNameFormat(), document->trackTable, index, folder, format);
  if (format != kAudioFormatWav) {
    // Only WAV is written here: the other formats would need an encoder this program does not have.
    CWideString message;
    WstrFormat(message, L"Error opening %ls encoder.", FormatName(format));
    MessageShow(message.c_str());
    return 0;
  }
  FILE* file = nullptr;
  if (!document->testOnly) {
    const int overwrite = ExtractCheckOverwrite(path.c_str(), nullptr);
    if (overwrite == -2) {
      ConsolePrintf(L"%ls: %ls\r\n", path.c_str(), L"The source file name and destination file name can not be same.");
      return 0;
    }
    if (overwrite != 0) return 0;
    file = FileOpenCreate(path.c_str());
    if (!file) {
      FolderCreatePath(nullptr, path.c_str());
      file = FileOpenCreate(path.c_str());
    }
    if (!file) {
      if (AbortCodeGet() != kAbortCancelled) AbortCodeSet(kAbortLocalFile);
      ExtractReportFailure(path.c_str());
      return -1;
    }
  }
  int result = RipTrackToFile(document, index, path.c_str(), file, format);
  if (file) {
    if (result > 0 && std::fflush(file) != 0) {
      ReportWriteFailed();
      result = -1;
    }
    if (result > 0) {
      if (std::fclose(file) != 0) {
        ReportWriteFailed();
        result = -1;
        TempFileAdd(path.c_str(), nullptr, 0);
      }
    } else {
      // The partial file goes when the run ends.
      TempFileAdd(path.c_str(), file, 0);
    }
  }
  ExtractReportFailure(path.c_str());
  return result;
}
