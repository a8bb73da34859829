#include "formats/cue_reader.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "formats/cdtext.h"
#include "formats/mds.h"
#include "formats/nrg.h"
#include "image/tracktable.h"
#include "runtime/byte_reader.h"
#include "runtime/file.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/strutil.h"
#include "runtime/textconv.h"

namespace {

constexpr int32_t kFramesPerSecond = 75;
constexpr int32_t kFramesPerMinute = 60 * kFramesPerSecond;
// A data file must hold at least one 2048-byte sector.
constexpr int64_t kMinDataFileBytes = 2048;
// Length given to a track whose INDEX 01 lies past the end of its file.
constexpr int32_t kLengthPastFileEnd = 320;
// An INDEX 00 this close (in frames) to the previous track's INDEX 01 is ignored.
constexpr int32_t kMinIndex0Distance = 150;
constexpr int32_t kMaxCueTracks = 99;
constexpr int32_t kMaxIndexNumber = 99;

struct FileCloser {
  void operator()(FILE* file) const { FileClose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;


// Opens a regular file for reading: null for anything else, checked before the open too, so that a name of a
// pipe or a device can never leave the parse waiting.
FILE* OpenRegularFile(const wchar_t* path, int64_t* size) {
  std::unique_ptr<char, MemFreeDeleter> platform(TextWideToMultiByteDup(path));
  struct stat info;
  if (!platform || stat(platform.get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  FILE* file = FileOpenRead(path);
  if (!file) return nullptr;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    FileClose(file);
    return nullptr;
  }
  if (size) *size = info.st_size;
  return file;
}

bool IsRegularFile(const wchar_t* path) {
  FILE* file = OpenRegularFile(path, nullptr);
  FileClose(file);
  return file != nullptr;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsLineEnd(wchar_t c) { return c == L'\0' || c == L'\n' || c == L'\r'; }

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c; }

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

// Copies `text` with its NUL into a kCuePathChars buffer: false when it does not fit.
bool CopyPath(wchar_t* target, std::wstring_view text) {
  if (text.empty() || text.size() >= static_cast<size_t>(kCuePathChars)) return false;
  std::wmemcpy(target, text.data(), text.size());
  target[text.size()] = L'\0';
  return true;
}

// Where a WAVE file's samples lie: the "data" chunk of its RIFF chunk list.
bool WaveFindData(FILE* file, int64_t fileSize, int64_t* offset, int64_t* size) {
  uint8_t header[12];
  if (!FileReadAt(file, header, 0, sizeof header)) return false;
  ByteReader riff(header, sizeof header);
  if (riff.Chars(4) != "RIFF" || !riff.Skip(4) || riff.Chars(4) != "WAVE") return false;
  int64_t at = 12;
  // Chunks only move forward, each by at least 8 bytes, so the walk ends.
  while (at <= fileSize - 8) {
    uint8_t head[8];
    if (!FileReadAt(file, head, at, sizeof head)) return false;
    ByteReader chunk(head, sizeof head);
    const std::string_view id = chunk.Chars(4);
    const int64_t length = chunk.U32LE();
    if (id == "data") {
      *offset = at + 8;
      *size = std::min(length, fileSize - *offset);
      return *size > 0;
    }
    at += 8 + length + (length & 1);
  }
  return false;
}

enum ParseState : int {
  kStateStart = 0,     // before any FILE
  kStateFile = 1,      // after FILE
  kStateTrack = 2,     // after TRACK
  kStateFlags = 3,     // after FLAGS or ISRC
  kStatePregap = 4,    // after PREGAP
  kStateIndex0 = 5,    // after INDEX 00
  kStateIndex1 = 6,    // after INDEX 01 or a later index
  kStatePostgap = 7,   // after POSTGAP
};

// The state of one parse: where the sheet stands and the data file of the last FILE line.
struct CueParser {
  CTrackTable* table = nullptr;
  int state = kStateStart;
  wchar_t filePath[kCuePathChars] = {};
  FileHandle file;
  int64_t fileSize = 0;
  int64_t fileBase = 0;     // where the file's sectors begin
  int64_t fileDataEnd = 0;  // where they end
  int32_t fileSectorSize = 0;
  int64_t fileSectors = 0;
  int32_t lastIndex = -1;   // time of the last INDEX line in this file
  bool firstOfFile = false; // no track of this file has its INDEX 01 yet
  int64_t trackDataEnd[kTrackTableMaxTracks] = {};  // per track: the end of its file's sectors
  const wchar_t* line = nullptr;
  int32_t position = 0;
  wchar_t token[kCueLineChars] = {};
};

int32_t Next(CueParser& p) { return CueNextToken(p.line, &p.position, p.token, 0); }
bool LineEnds(CueParser& p) { return Next(p) == 0; }

CTrackInfo* CurrentTrack(CueParser& p) { return TrackTableGetTrack(p.table, p.table->trackCount - 1); }

CCdTextRecord* CurrentRecord(CueParser& p) { return CdTextGetOrCreateRecord(p.table, p.table->trackCount - 1); }

bool HandleCatalog(CueParser& p) {
  if (Next(p) == 0) return true;
  CCdTextRecord* disc = CdTextGetOrCreateRecord(p.table, -1);
  if (!disc || !CdTextSetText(disc, kCdTextPackUpcIsrc - kCdTextPackTitle, p.token, -1)) return false;
  return LineEnds(p);
}

bool HandleCdTextFile(CueParser& p) {
  if (Next(p) == 0) return false;
  wchar_t path[kCuePathChars];
  if (!CueResolvePath(p.table, p.token, path) || !IsRegularFile(path)) return false;
  if (!CdTextLoadFile(path, &p.table->cdTextPacks)) return false;
  return LineEnds(p);
}

bool HandleFile(CueParser& p) {
  p.file.reset();
  p.state = kStateFile;
  if (Next(p) == 0 || !CueResolvePath(p.table, p.token, p.filePath)) return false;
  p.file.reset(OpenRegularFile(p.filePath, &p.fileSize));
  if (!p.file || p.fileSize < kMinDataFileBytes) return false;
  if (Next(p) == 0) return false;
  if (EqualsNoCase(p.token, L"BINARY") || EqualsNoCase(p.token, L"MOTOROLA")) {
    p.fileBase = 0;
    p.fileDataEnd = p.fileSize;
    p.fileSectorSize = 0;
    p.fileSectors = 0;
  } else if (EqualsNoCase(p.token, L"WAVE")) {
    // Audio files follow a binary one whose tracks set the sheet's layout.
    if (p.fileSectors <= 0) return false;
    int64_t offset = 0;
    int64_t size = 0;
    if (!WaveFindData(p.file.get(), p.fileSize, &offset, &size)) return false;
    p.fileBase = offset;
    p.fileDataEnd = offset + size;
    p.fileSectorSize = 2352;
    p.fileSectors = (size + 2351) / 2352;
  } else {
    // AIFF and MP3 samples would need decoding; anything else is no file type.
    return false;
  }
  p.lastIndex = -1;
  if (p.table->trackCount == 0) p.table->dataFileName = p.filePath;
  p.firstOfFile = true;
  return LineEnds(p);
}

bool HandleFlags(CueParser& p) {
  p.state = kStateFlags;
  CCdTextRecord* record = CurrentRecord(p);
  if (!record) return false;
  while (Next(p) > 0) {
    if (EqualsNoCase(p.token, L"DCP"))
      record->flags |= kCdTextFlagDcp;
    else if (EqualsNoCase(p.token, L"4CH"))
      record->flags |= kCdTextFlag4Ch;
    else if (EqualsNoCase(p.token, L"PRE"))
      record->flags |= kCdTextFlagPre;
    else if (EqualsNoCase(p.token, L"SCMS"))
      record->flags |= kCdTextFlagScms;
    else
      return false;
  }
  return true;
}

struct TrackMode {
  const wchar_t* word;
  uint8_t mode;
  int32_t sectorSize;
};
constexpr TrackMode kTrackModes[] = {
    {L"AUDIO", 1, 2352}, {L"MODE1/2352", 3, 2352}, {L"MODE2/2352", 8, 2352},
    {L"MODE1/2048", 2, 2048}, {L"MODE2/2336", 4, 2336},
};

bool HandleTrack(CueParser& p) {
  CTrackTable* table = p.table;
  if (Next(p) == 0 || WcsToInt(p.token) != table->trackCount + 1 || table->trackCount >= kMaxCueTracks)
    return false;
  if (Next(p) == 0) return false;
  const TrackMode* mode = nullptr;
  for (const TrackMode& m : kTrackModes)
    if (EqualsNoCase(p.token, m.word)) mode = &m;
  if (!mode) return false;

  CTrackInfo& track = table->tracks[table->trackCount];
  track.mode = mode->mode;
  track.sectorSize = mode->sectorSize;
  if (p.fileSectorSize == 0) {
    p.fileSectorSize = track.sectorSize;
    p.fileSectors = (p.fileDataEnd - p.fileBase + p.fileSectorSize - 1) / p.fileSectorSize;
  } else if (p.fileSectorSize != track.sectorSize) {
    return false;
  }
  if (track.sectorSize == 2048) {
    if (table->sectorSizeMode == 0) table->sectorSizeMode = 2048;
  } else {
    table->sectorSizeMode = 2352;
  }
  track.session = table->sessionCount < 2 ? 0 : table->sessionCount - 1;
  track.fileName = p.filePath;
  track.cueFileSize = p.fileSize;
  // Tracks in the image data file are read through the document's stream; the others open their own. Names are
  // compared exactly: two names that differ only in case are two files here.
  if (std::wcscmp(p.filePath, table->dataFileName.c_str()) != 0) {
    track.file = OpenRegularFile(p.filePath, nullptr);
    if (!track.file) return false;
  }
  p.trackDataEnd[table->trackCount] = p.fileDataEnd;
  p.state = kStateTrack;
  table->trackCount++;
  return LineEnds(p);
}

bool HandleIsrc(CueParser& p) {
  if (Next(p) == 0) return true;
  p.state = kStateFlags;
  wchar_t code[13];
  if (!IsrcValidate(p.token, code)) return true;
  CCdTextRecord* record = CurrentRecord(p);
  if (!record || !CdTextSetText(record, kCdTextPackUpcIsrc - kCdTextPackTitle, code, -1)) return false;
  return LineEnds(p);
}

bool HandleText(CueParser& p, uint8_t packType) {
  if (Next(p) == 0) return true;
  CCdTextRecord* record = CdTextGetOrCreateRecord(p.table, p.table->trackCount - 1);
  if (!record || !CdTextSetText(record, packType - kCdTextPackTitle, p.token, kCdTextMaxTextChars)) return false;
  return LineEnds(p);
}

bool ReadTime(CueParser& p, int32_t* frames) { return CueParseTime(p.line, &p.position, frames) != 0; }

bool HandlePregap(CueParser& p) {
  if (p.state < kStateTrack || p.state > kStatePregap) return true;
  CTrackInfo* track = CurrentTrack(p);
  int32_t frames;
  if (!track || track->pregap != 0 || !ReadTime(p, &frames)) return true;
  track->pregap = frames;
  p.state = kStatePregap;
  return true;
}

bool HandlePostgap(CueParser& p) {
  if (p.state != kStateIndex1 && p.state != kStatePostgap) return true;
  CTrackInfo* track = CurrentTrack(p);
  int32_t frames;
  if (!track || track->postgap != 0 || !ReadTime(p, &frames)) return true;
  track->postgap = frames;
  p.state = kStatePostgap;
  return true;
}

// INDEX 01: places the track. The previous track in the same file ends where this track's stored pregap begins;
// a pregap that is not stored (PREGAP) and a post-gap (POSTGAP) are generated, so they move the starts that
// follow and take nothing from the tracks' data.
bool PlaceTrack(CueParser& p, CTrackInfo& track, CCdTextRecord& record, int32_t time) {
  const int32_t index = p.table->trackCount - 1;
  if (p.state == kStateIndex0) {
    const int32_t stored = time - record.index[0];
    if (int64_t{track.pregap} + stored > INT32_MAX) return false;
    track.pregap += stored;
    track.pregapStored += stored;
    record.index[0] = -stored;
  }
  int64_t start = track.pregap;
  if (index > 0) {
    CTrackInfo& previous = p.table->tracks[index - 1];
    if (!p.firstOfFile) previous.length = time - previous.cueIndex1 - track.pregapStored;
    start = int64_t{previous.start} + previous.length + previous.postgap + track.pregap;
  }
  int64_t length = p.fileSectors - time;
  if (length < 0) length = kLengthPastFileEnd;
  if (start > INT32_MAX || length > INT32_MAX || start + length > INT32_MAX) return false;
  track.start = static_cast<int32_t>(start);
  track.cueFileBase = p.fileBase;
  track.cueIndex1 = time;
  track.dataOffset = int64_t{time} * track.sectorSize + p.fileBase;
  track.length = static_cast<int32_t>(length);
  record.indexCount = 1;
  p.state = kStateIndex1;
  p.firstOfFile = false;
  return true;
}

bool HandleIndex(CueParser& p) {
  if (Next(p) == 0) return false;
  const int32_t number = WcsToInt(p.token);
  int32_t time;
  if (number < 0 || number > kMaxIndexNumber || !ReadTime(p, &time) || time <= p.lastIndex) return false;
  CTrackTable* table = p.table;
  if (table->trackCount < 1) return false;
  CTrackInfo& track = table->tracks[table->trackCount - 1];
  CCdTextRecord* record = CurrentRecord(p);
  if (!record) return false;

  if (p.state <= kStatePregap) {
    if (number > 1) return false;
  } else if (p.state == kStateIndex0) {
    if (number != 1) return false;
  } else if (number != record->indexCount + 1) {
    return false;
  }

  if (number == 0) {
    const int32_t index = table->trackCount - 1;
    if (index > 0 && !p.firstOfFile) {
      const CTrackInfo& previous = table->tracks[index - 1];
      if (int64_t{time} + previous.postgap - previous.cueIndex1 < kMinIndex0Distance) return true;
    }
    record->index[0] = time;
    p.state = kStateIndex0;
  } else if (number == 1) {
    if (!PlaceTrack(p, track, *record, time)) return false;
  } else {
    record->index[number] = time - track.cueIndex1;
    record->indexCount = number;
  }
  if (!LineEnds(p)) return false;
  p.lastIndex = time;
  return true;
}

bool HandleRem(CueParser& p) {
  if (Next(p) == 0 || !EqualsNoCase(p.token, L"SESSION")) return true;
  if (Next(p) == 0 || WcsToInt(p.token) != p.table->sessionCount + 1) return true;
  if (LineEnds(p)) p.table->sessionCount++;
  return true;
}

// States in which a keyword may stand, as a bit mask.
constexpr uint32_t States(std::initializer_list<int> states) {
  uint32_t mask = 0;
  for (int s : states) mask |= 1u << s;
  return mask;
}
constexpr uint32_t kAnyState = 0xFF;
// Texts name the disc before the first FILE, or the track after its TRACK line.
constexpr uint32_t kTextStates = States({kStateStart, kStateTrack, kStateFlags, kStatePregap});

struct Keyword {
  const wchar_t* word;
  uint32_t states;
  bool (*handle)(CueParser&);
};

const Keyword kKeywords[] = {
    {L"CATALOG", States({kStateStart}), HandleCatalog},
    {L"CDTEXTFILE", States({kStateStart}), HandleCdTextFile},
    {L"FILE", States({kStateStart, kStateIndex1, kStatePostgap}), HandleFile},
    {L"FLAGS", States({kStateTrack, kStateFlags, kStatePregap}), HandleFlags},
    {L"TRACK", kAnyState, HandleTrack},
    {L"ISRC", States({kStateTrack, kStateFlags, kStatePregap}), HandleIsrc},
    {L"PERFORMER", kTextStates, [](CueParser& p) { return HandleText(p, kCdTextPackPerformer); }},
    {L"TITLE", kTextStates, [](CueParser& p) { return HandleText(p, kCdTextPackTitle); }},
    // The gap lines outside their states are ignored, not refused.
    {L"PREGAP", kAnyState, HandlePregap},
    {L"INDEX", States({kStateTrack, kStateFlags, kStatePregap, kStateIndex0, kStateIndex1}), HandleIndex},
    {L"POSTGAP", kAnyState, HandlePostgap},
    {L"SONGWRITER", kTextStates, [](CueParser& p) { return HandleText(p, kCdTextPackSongwriter); }},
    {L"COMPOSER", kTextStates, [](CueParser& p) { return HandleText(p, kCdTextPackComposer); }},
    {L"REM", kAnyState, HandleRem},
};

bool ParseLines(CueParser& p, const wchar_t* text, int32_t length) {
  std::unique_ptr<wchar_t[]> line(new (std::nothrow) wchar_t[kCueLineChars]);
  if (!line) return false;
  int32_t at = 0;
  while (CueReadLine(text, length, &at, line.get()) > 0) {
    p.line = line.get();
    p.position = 0;
    if (Next(p) == 0) continue;
    for (const Keyword& keyword : kKeywords) {
      if (!EqualsNoCase(p.token, keyword.word)) continue;
      if (!(keyword.states & (1u << p.state))) return false;
      if (!keyword.handle(p)) return false;
      break;
    }
  }
  return true;
}

// Where each track's data ends in its file: where the next track's stored part begins, or the end of the file.
void SetDataEnds(CueParser& p) {
  CTrackTable* table = p.table;
  for (int32_t i = 0; i < table->trackCount; ++i) {
    CTrackInfo& track = table->tracks[i];
    const int64_t end = track.dataOffset + int64_t{std::max(track.length, 0)} * track.sectorSize;
    track.dataEnd = std::min(end, p.trackDataEnd[i]);
  }
}

}  // namespace

int32_t CueReadLine(const wchar_t* text, int32_t length, int32_t* position, wchar_t* line) {
  if (!line) return 0;
  line[0] = L'\0';
  if (!text || !position || *position < 0) return 0;
  int32_t at = *position;
  while (at < length && (IsBlank(text[at]) || text[at] == L'\n' || text[at] == L'\r')) ++at;
  int32_t n = 0;
  while (at < length && !IsLineEnd(text[at]) && n < kCueLineChars - 1) line[n++] = text[at++];
  while (n > 0 && IsBlank(line[n - 1])) --n;
  line[n] = L'\0';
  // A NUL ends the text: the position stays on it, so every later call finds nothing.
  *position = at;
  return n;
}

int32_t CueNextToken(const wchar_t* line, int32_t* position, wchar_t* token, int colonMode) {
  if (!token) return 0;
  token[0] = L'\0';
  if (!line || !position || *position < 0) return 0;
  int32_t at = *position;
  while (IsBlank(line[at])) ++at;
  int32_t n = 0;
  auto store = [&](wchar_t c) {
    if (n < kCueLineChars - 1) token[n++] = c;
  };
  if (line[at] == L'"') {
    ++at;
    while (!IsLineEnd(line[at]) && line[at] != L'"') store(line[at++]);
    if (line[at] == L'"') ++at;
  } else if (colonMode && line[at] == L':') {
    store(line[at++]);
  } else {
    while (!IsLineEnd(line[at]) && !IsBlank(line[at]) && !(colonMode && line[at] == L':')) store(line[at++]);
    if (IsBlank(line[at])) ++at;
  }
  while (n > 0 && (IsBlank(token[n - 1]) || token[n - 1] == L'"')) --n;
  token[n] = L'\0';
  *position = at;
  return n;
}

int CueParseTime(const wchar_t* line, int32_t* position, int32_t* frames) {
  if (!line || !position || !frames) return 0;
  wchar_t token[kCueLineChars];
  int32_t parts[3];
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && (CueNextToken(line, position, token, 1) != 1 || token[0] != L':')) return 0;
    if (CueNextToken(line, position, token, 1) == 0) return 0;
    parts[i] = WcsToInt(token);
  }
  const int32_t minutes = parts[0];
  const int32_t seconds = parts[1];
  const int32_t frame = parts[2] >= 0 && parts[2] < kFramesPerSecond ? parts[2] : 0;
  if (minutes < 0 || seconds < 0 || seconds > 59) return 0;
  const int64_t total = int64_t{minutes} * kFramesPerMinute + seconds * kFramesPerSecond + frame;
  if (total > INT32_MAX) return 0;
  *frames = static_cast<int32_t>(total);
  return 1;
}

char* CueReadTextFile(const wchar_t* path, int32_t* length) {
  if (length) *length = 0;
  if (!path || !length) return nullptr;
  int64_t bytes = 0;
  FileHandle file(OpenRegularFile(path, &bytes));
  if (!file || bytes <= 0 || bytes > kCueMaxSheetBytes) return nullptr;
  const auto size = static_cast<size_t>(bytes);
  auto* text = static_cast<char*>(MemZeroAlloc(size * 4 + 64));
  if (!text) return nullptr;
  if (!FileReadAt(file.get(), text, 0, size)) {
    MemFree(text);
    return nullptr;
  }
  *length = static_cast<int32_t>(size);
  return text;
}

wchar_t* CueReplaceExtension(const wchar_t* path, const wchar_t* extension) {
  if (!path || !extension) return nullptr;
  const wchar_t* dot = std::wcsrchr(path, L'.');
  const size_t keep = dot ? static_cast<size_t>(dot - path) + 1 : std::wcslen(path);
  const size_t add = std::wcslen(extension);
  auto* result = static_cast<wchar_t*>(MemAlloc((keep + add + 1) * sizeof(wchar_t)));
  if (!result) return nullptr;
  std::wmemcpy(result, path, keep);
  std::wmemcpy(result + keep, extension, add);
  result[keep + add] = L'\0';
  return result;
}

namespace {

// A sheet names its files as they were on the system that wrote it ("CDDA.BIN" beside "cdda.bin"). When the
// exact name does not exist and exactly one file of that folder matches it ignoring case, that file is meant;
// with none or several, the name stays as written (and the open fails as for any missing file).
void MatchNameIgnoringCase(std::wstring* path) {
  std::unique_ptr<char, MemFreeDeleter> narrow(TextWideToMultiByteDup(path->c_str()));
  if (!narrow) return;
  struct stat status {};
  if (stat(narrow.get(), &status) == 0) return;
  const std::string full = narrow.get();
  const size_t slash = full.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : full.substr(0, slash);
  const std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
  if (base.empty()) return;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  std::string found;
  int matches = 0;
  while (const dirent* item = readdir(dir)) {
    if (strcasecmp(item->d_name, base.c_str()) == 0 && ++matches == 1) found = item->d_name;
  }
  closedir(dir);
  if (matches != 1) return;
  const std::string chosen = (slash == std::string::npos ? std::string() : full.substr(0, slash + 1)) + found;
  std::unique_ptr<wchar_t, MemFreeDeleter> wide(TextMultiByteToWideDup(chosen.c_str()));
  if (wide) *path = wide.get();
}

}  // namespace

int CueResolvePath(CTrackTable* table, const wchar_t* name, wchar_t* target) {
  if (!table || !name || name[0] == L'\0') return 0;
  const std::wstring_view sheet(table->cueSheetPath.c_str());
  std::wstring resolved;
  if (name[0] == L'*' && name[1] == L'.') {
    const size_t dot = sheet.rfind(L'.');
    resolved.assign(sheet.substr(0, dot == std::wstring_view::npos ? sheet.size() : dot + 1));
    resolved.append(name + 2);
  } else if (name[0] == L'/' || name[1] == L':') {
    resolved.assign(name);
  } else {
    // A sheet named without a folder lies in the working folder, as do its relative names.
    const size_t slash = sheet.rfind(L'/');
    if (slash != std::wstring_view::npos) resolved.assign(sheet.substr(0, slash + 1));
    resolved.append(name);
  }
  MatchNameIgnoringCase(&resolved);
  if (target) return CopyPath(target, resolved) ? 1 : 0;
  wchar_t buffer[kCuePathChars];
  if (!CopyPath(buffer, resolved)) return 0;
  table->dataFileName = buffer;
  return 1;
}

CTrackTable* CueParseFile(const wchar_t* path) {
  if (!path) return nullptr;
  int32_t bytes = 0;
  std::unique_ptr<char, MemFreeDeleter> text(CueReadTextFile(path, &bytes));
  if (!text) return nullptr;
  auto* wide = reinterpret_cast<wchar_t*>(text.get());
  const int32_t capacity = bytes + 16;
  if (TextMultiByteToWideInPlace(wide, capacity) < 0) return nullptr;
  const auto length = static_cast<int32_t>(wcsnlen(wide, static_cast<size_t>(capacity)));

  CTrackTable* table = TrackTableAlloc();
  if (!table) return nullptr;
  table->firstTrackNumber = 1;
  if (std::wcslen(path) >= static_cast<size_t>(kCuePathChars)) {
    TrackTableFree(table);
    return nullptr;
  }
  table->cueSheetPath = path;

  std::unique_ptr<CueParser> parser(new (std::nothrow) CueParser);
  if (!parser) {
    TrackTableFree(table);
    return nullptr;
  }
  parser->table = table;
  bool ok = ParseLines(*parser, wide, length);
  ok = ok && table->trackCount >= 1 && table->trackCount <= kMaxCueTracks && parser->state >= kStateIndex1;
  if (ok) {
    SetDataEnds(*parser);
    if (!table->cdTextPacks.empty())
      CdTextDecodePacks(table, table->cdTextPacks.data(), table->cdTextPacks.size());
    ok = CdTextConvertStrings(table) != 0;
  }
  if (!ok) {
    TrackTableFree(table);
    return nullptr;
  }
  return table;
}

int TrackLayoutIsValid(const CTrackTable* table, const wchar_t* imagePath) {
  if (!table || table->trackCount < 1 || !TrackTableCheckOrder(table)) return 0;
  // Names are compared exactly: on this system a name that differs in case names another file.
  if (imagePath && std::wcscmp(table->dataFileName.c_str(), imagePath) != 0) return 0;
  return 1;
}

wchar_t* TrackLayoutOpenForImage(const wchar_t* imagePath) {
  if (!imagePath) return nullptr;
  const CWideString extension = PathGetExtension(imagePath);
  CTrackTable* (*parse)(const wchar_t*) = nullptr;
  const wchar_t* companion = nullptr;
  if (extension == L"bin") {
    parse = CueParseFile;
    companion = L"cue";
  } else if (extension == L"mdf") {
    parse = MdsParseFile;
    companion = L"mds";
  } else {
    // Any other file, an NRG image included (it describes itself), has no descriptor beside it.
    return nullptr;
  }
  wchar_t* descriptor = CueReplaceExtension(imagePath, companion);
  if (!descriptor) return nullptr;
  CTrackTable* table = parse(descriptor);
  const int valid = TrackLayoutIsValid(table, imagePath);
  TrackTableFree(table);
  if (!valid) {
    MemFree(descriptor);
    return nullptr;
  }
  return descriptor;
}

CTrackTable* TrackLayoutOpenByTrial(const wchar_t* path) {
  if (!path) return nullptr;
  for (CTrackTable* (*parse)(const wchar_t*) : {CueParseFile, MdsParseFile, NrgOpenImage}) {
    CTrackTable* table = parse(path);
    if (TrackLayoutIsValid(table, nullptr)) {
      if (table->sessionCount == 0) table->sessionCount = 1;
      return table;
    }
    TrackTableFree(table);
  }
  return nullptr;
}
