#include "cli/driver.h"

#include <langinfo.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "builder/add_local.h"
#include "cli/console.h"
#include "cli/runners.h"
#include "cli/settings.h"
#include "image/document.h"
#include "runtime/error.h"
#include "runtime/file.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/strutil.h"
#include "runtime/tempfiles.h"
#include "runtime/textconv.h"
#include "session/document.h"
#include "session/open.h"
#include "tree/tree.h"
#include "tree/volume.h"

CSettings* g_settings = nullptr;
int32_t g_sessionAppendMode = 0;

namespace {

// A handler's answer besides a count: the word failed and has said why; the run ends as a failed command.
constexpr int kHandlerFailed = -1;

int g_argc = 0;
wchar_t** g_argv = nullptr;

// What the run has come to.
bool g_noArguments = false;
bool g_parseRefused = false;
bool g_parseFailed = false;
int g_commandResult = 0;
bool g_commandRan = false;
// Words that do their whole work while parsing (show-comment, extract-comment-to-file).
bool g_immediateRan = false;
bool g_immediateFailed = false;

constexpr const wchar_t* kUsageLines[] = {
    L"Usage:    kestrane <command> [parameters] [-switches]\r\n\r\n",
    L"<Commands>\r\n",
    L"\r\n",
    L" list <image file> <directory>    List files and directories in image file.\r\n",
    L"     Example:  List all files and directories in root direcory of \r\n",
    L"               /home/dwex/test.iso recursively.\r\n",
    L"     Command:  kestrane list /home/dwex/test.iso / -r\r\n",
    L"\r\n",
    L" extract <image file> <dir/file name>   Extract file/directory from image file.\r\n",
    L"     Example:  Extract all files and directories in root direcory of \r\n",
    L"               /home/dwex/test.iso to /home/dwex/extract recursively.\r\n",
    L"     Command:  kestrane extract /home/dwex/test.iso / -od /home/dwex/extract\r\n",
    L"\r\n",
    L" convert <image file>    Convert image file to other format.\r\n",
    L"     Example:  Convert /home/dwex/test.iso to /home/dwex/test.qvf \r\n",
    L"     Command:  kestrane convert /home/dwex/test.iso -o /home/dwex/test.qvf\r\n",
    L" create        Create image file from files or folders.\r\n",
    L"     Example:  Create test.iso from /home/dwex/test and /home/dwex/test.zip.\r\n",
    L"     Command:  kestrane create -o /home/dwex/test.iso -add /home/dwex/test / \r\n",
    L"               -add /home/dwex/test.zip /  \r\n",
    L"\r\n",
    L" burn-image    Burn image to a writable disc.\r\n",
    L"     Example:  Burn /home/dwex/test.iso to disc in drive /dev/sg2\r\n",
    L"     Command:  kestrane burn-image /home/dwex/test.iso /dev/sg2 \r\n",
    L" copy-disc     Copy source disc to destination disc.\r\n",
    L"     Example:  Copy disc in drive /dev/sg2 to another disc\r\n",
    L"     Command:  kestrane copy-disc /dev/sg2 /dev/sg2\r\n",
    L" erase-disc    Erase a re-writable disc.\r\n",
    L"     Example:  Erase disc in drive /dev/sg2\r\n",
    L"     Command:  kestrane erase-disc /dev/sg2 \r\n",
    L" make-image    Make image file from a compact disc.\r\n",
    L"     Example:  Make iso file from /dev/sg2, and save it to /home/dwex/test.iso\r\n",
    L"     Command:  kestrane make-image /dev/sg2 -o /home/dwex/test.iso\r\n",
    L"<Switches>\r\n",
    L" -r             List directories recursively.\r\n",
    L" -y             Assume Yes on all queries.\r\n",
    L" -o             Specify output image file name.\r\n",
    L" -od            Specify output folder.\r\n",
    L" -ot <iso|bin|qvf>\r\n",
    L"                Specify output file type. If not specified, \r\n",
    L"                the file type will be determined by file name suffix.\r\n",
    L" -add <local dir/file name> <dir in image file>\r\n",
    L"                Add local file or directory to image file.\r\n",
    L" -volsize <n>   Split output image file to multiple volumes, and set volume\r\n",
    L"                size to <n>. Example: -volsize 100M\r\n",
    L" -password <password>   Set password for opening file. \r\n",
    L"                Example: -password 58203146\r\n",
    L" -setpassword <password>   Set password for output image file. \r\n",
    L"                Example: -setpassword 58203146\r\n",
    L" -method <normal|better|best>\r\n",
    L"                Specify compression level for output file. If not specified, \r\n",
    L"                the compression level will be 'normal'.\r\n",
    L" -label <vol label>   Set volume label for output image file. \r\n",
    L"                Example: -label BACKUP\r\n",
    L" -joliet <1|2|3>   Set joliet level for output image file. \r\n",
    L"                Example: -joliet 3\r\n",
    L" -udf <on|off>   Enable or disable UDF option for output image file. \r\n",
    L"                Example: -udf on\r\n",
    L" -iso-name-len <12|30|221>  Set iso9660 file name length for output image file.\r\n",
    L"                Example: -iso-name-len 221\r\n",
    L" -joliet-name-len <64|110>  Set joliet file name length for output image file.\r\n",
    L"                Example: -joliet-name-len 110\r\n",
    L" -allow-lower-case-iso-name   Allow lower case iso9660 file name for output \r\n",
    L"                image file.\r\n",
    L" -disable-optimization   Disable file space optimization for output image file.\r\n",
    L" -verify        Verify written data after burning.\r\n",
    L" -eject         Eject disc after burning.\r\n",
    L" -speed <nn>    Set the burning speed. For example, -speed cd10x, \r\n",
    L"                -speed dvd8x, or -speed bd2x\r\n",
    L" -full-erase    Perform a full erase.\r\n",
    L" -create-temp-file-for-copy\r\n",
    L"                Create temporary file to cache source disc before copying disc.\r\n",
};

// ---- small helpers ----------------------------------------------------------------------------------------

bool HasArguments(int index, int more) { return index + more < g_argc; }

// Replaces a heap string field of the settings with a copy of `text`.
bool SetField(wchar_t*& field, const wchar_t* text) {
  wchar_t* copy = wcsdup(text ? text : L"");
  if (!copy) return false;
  std::free(field);
  field = copy;
  return true;
}

bool CommandTaken() { return g_settings->command != kCommandNone; }

void ReplaceBackslashes(wchar_t* text) {
  for (wchar_t* p = text; p && *p; ++p)
    if (*p == L'\\') *p = L'/';
}

// The whole text is a decimal number (optionally signed) that fits an int32.
bool ParseWholeInt(const wchar_t* text, long* value) {
  if (!text || !*text) return false;
  wchar_t* end = nullptr;
  errno = 0;
  long v = std::wcstol(text, &end, 10);
  if (errno != 0 || end == text || *end != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *value = v;
  return true;
}

void NotifyModified() { ImageNotifyModified(); }

CImageDocument* Document() { return CurrentImageGet(); }

// ---- handlers ---------------------------------------------------------------------------------------------

int ParseRecursive(int) {
  g_settings->switchFlags |= kSwitchRecursive;
  return 1;
}

int ParseAssumeYes(int) {
  g_settings->switchFlags |= kSwitchAssumeYes;
  return 1;
}

int ParseOutputDir(int index) {
  if (!HasArguments(index, 1) || !SetField(g_settings->outputFolder, g_argv[index + 1])) return 0;
  return 2;
}

int ParseOutputType(int index) {
  if (!HasArguments(index, 1)) return 0;
  static const struct {
    const wchar_t* name;
    int32_t type;
  } kTypes[] = {{L"iso", kOutputTypeIso},   {L"bin", kOutputTypeBin},   {L"qvf", kOutputTypeQvf},
                {L"mp3", kOutputTypeMp3},   {L"flac", kOutputTypeFlac}, {L"ape", kOutputTypeApe},
                {L"wma", kOutputTypeWma},   {L"wav", kOutputTypeWav}};
  for (const auto& t : kTypes) {
    if (wcscasecmp(g_argv[index + 1], t.name) == 0) {
      g_settings->outputType = t.type;
      return 2;
    }
  }
  return 0;
}

int ParseOutputFile(int index) {
  if (!HasArguments(index, 1) || !SetField(g_settings->outputFile, g_argv[index + 1])) return 0;
  return 2;
}

int ParseSetPassword(int index) {
  if (!HasArguments(index, 1)) return 0;
  CSaveOptions& options = g_settings->saveOptions;
  if (!PasswordCopyChecked(g_argv[index + 1], options.password, 0, 64)) return 0;
  options.passwordSet = 1;
  return 2;
}

int ParseVolumeSize(int index) {
  if (!HasArguments(index, 1)) return 0;
  int64_t bytes = 0;
  if (!CliParseVolumeSizeText(g_argv[index + 1], &bytes)) return 0;
  g_settings->saveOptions.volumeSize = bytes;
  g_settings->saveOptions.splitVolumes = 1;
  return 2;
}

int ParseWd(int) { return 0; }

int ParsePassword(int index) {
  if (!HasArguments(index, 1)) return 0;
  const wchar_t* text = g_argv[index + 1];
  // The field holds 127 characters and its terminator: a longer password is refused, never cut.
  size_t n = std::wcslen(text);
  if (n > kOpenPasswordChars - 1) return 0;
  std::wmemcpy(g_settings->openPassword, text, n);
  g_settings->openPassword[n] = 0;
  return 2;
}

int ParseMethod(int index) {
  if (!HasArguments(index, 1)) return 0;
  static const wchar_t* kLevels[] = {L"normal", L"better", L"best"};
  for (int i = 0; i < 3; ++i) {
    if (wcscasecmp(g_argv[index + 1], kLevels[i]) == 0) {
      g_settings->saveOptions.compressionLevel = i + 1;
      return 2;
    }
  }
  return 0;
}

int ParseList(int index) {
  if (CommandTaken() || !HasArguments(index, 2)) return 0;
  if (!SetField(g_settings->firstArgument, g_argv[index + 1]) ||
      !SetField(g_settings->secondArgument, g_argv[index + 2]))
    return 0;
  ReplaceBackslashes(g_settings->secondArgument);
  g_settings->command = kCommandList;
  return 3;
}

// "./" in front of a bare file name, '/' for every '\\'.
std::wstring NormalizeImagePath(const wchar_t* path) {
  std::wstring text = path ? path : L"";
  for (wchar_t& c : text)
    if (c == L'\\') c = L'/';
  if (text.find(L'/') == std::wstring::npos) text = L"./" + text;
  return text;
}

int ParseExtract(int index) {
  if (CommandTaken() || !HasArguments(index, 2)) return 0;
  std::wstring image = NormalizeImagePath(g_argv[index + 1]);
  if (!SetField(g_settings->firstArgument, image.c_str()) ||
      !SetField(g_settings->secondArgument, g_argv[index + 2]))
    return 0;
  ReplaceBackslashes(g_settings->secondArgument);
  g_settings->command = kCommandExtract;
  return 3;
}

int ParseConvert(int index) {
  if (!HasArguments(index, 1) || CommandTaken()) return 0;
  if (!SetField(g_settings->firstArgument, g_argv[index + 1])) return 0;
  g_settings->command = kCommandConvert;
  return 2;
}

int ParseCreate(int index) {
  if (CommandTaken() || !HasArguments(index, 1)) return 0;
  if (!SetField(g_settings->firstArgument, g_argv[index + 1])) return 0;
  g_settings->command = kCommandCreate;
  return 1;  // the following word is parsed as usual
}

// Makes `document` the current one, closing the one it replaces.
void ReplaceCurrent(CImageDocument* document) {
  CImageDocument* previous = CurrentImageGet();
  CurrentImageSet(document);
  if (previous && previous != document) ImageClose(previous);
}

int ParseEdit(int index) {
  if (CommandTaken() || !HasArguments(index, 1)) return 0;
  g_sessionAppendMode = 1;
  CImageDocument* document = ImageOpenByPath(g_argv[index + 1], kOpenLoadTree | kOpenSessionAppend);
  if (!document) return kHandlerFailed;
  ReplaceCurrent(document);
  g_settings->command = kCommandEdit;
  return 2;
}

int ParseAdd(int index) {
  if (!HasArguments(index, 2)) return 0;
  std::wstring folder = g_argv[index + 2];
  if (folder.empty() || (folder[0] != L'/' && folder[0] != L'\\')) return 0;
  for (wchar_t& c : folder)
    if (c == L'\\') c = L'/';
  if (folder.size() > 1 && folder.back() == L'/') folder.pop_back();
  CImageDocument* document = Document();
  if (!document || !document->rootFolder) return 0;
  bool created = false;
  CTreeFolder* target = folder == L"/" ? document->rootFolder : TreeFindFolderByPath(document, nullptr, folder.c_str());
  if (!target) {
    target = TreeWalkFolderPath(document, folder.c_str() + 1);
    created = target != nullptr;
  }
  if (!target) return 0;
  ConsolePrintf(L"Adding %ls ", g_argv[index + 1]);
  const int added = CliAddLocalPath(document, target, g_argv[index + 1]);
  if (created) NotifyModified();
  TreeFreeEntryIndex(document, document->rootFolder);
  if (added == 0) return 0;
  if (added < 0) {
    ConsolePrintf(L"\r\n");
    return kHandlerFailed;
  }
  NotifyModified();
  ConsolePrintf(L" done.\r\n");
  return 3;
}

int ParseDelete(int index) { return ParseConvert(index); }

int ParseLabel(int index) {
  if (!HasArguments(index, 1)) return 0;
  VolumeSetIdentifier(Document(), kVolumeLabel, g_argv[index + 1]);
  NotifyModified();
  return 2;
}

int ParseJoliet(int index) {
  if (!HasArguments(index, 1)) return 0;
  long level = -1;
  if (!ParseWholeInt(g_argv[index + 1], &level) || level < 0 || level > 3) {
    ConsolePrintf(L"Jolitet level must be from 0 tp 3.\r\n");
    return 0;
  }
  Document()->jolietLevel = static_cast<int32_t>(level);
  NotifyModified();
  return 2;
}

int ParseUdf(int index) {
  if (!HasArguments(index, 1)) return 0;
  const wchar_t* text = g_argv[index + 1];
  if (wcscasecmp(text, L"on") == 0) {
    Document()->udf = 1;
  } else if (wcscasecmp(text, L"off") == 0) {
    Document()->udf = 0;
  } else {
    ConsolePrintf(L"Usage: -udf on | off\r\n");
    return 0;
  }
  NotifyModified();
  return 2;
}

int ParseIsoNameLen(int index) {
  if (!HasArguments(index, 1)) return 0;
  long length = 0;
  if (!ParseWholeInt(g_argv[index + 1], &length) || (length != 12 && length != 30 && length != 221)) {
    ConsolePrintf(L"Usage: -iso-name-len 12 | 30 | 221\r\n");
    return 0;
  }
  Document()->isoNameLength = static_cast<int32_t>(length);
  NotifyModified();
  return 2;
}

int ParseJolietNameLen(int index) {
  if (!HasArguments(index, 1)) return 0;
  long length = 0;
  if (!ParseWholeInt(g_argv[index + 1], &length) || (length != 64 && length != 110)) {
    ConsolePrintf(L"Usage: -joliet-name-len 64 | 110\r\n");
    return 0;
  }
  Document()->jolietNameLength = static_cast<int32_t>(length);
  NotifyModified();
  return 2;
}

int ParseAllowLowerCase(int) {
  Document()->lowerCaseIsoNames = 1;
  NotifyModified();
  return 1;
}

int ParseDisableOptimization(int) {
  Document()->storeIdenticalOnce = 0;
  NotifyModified();
  return 1;
}

int ParseDateSwitch(int index, int64_t CImageDocument::*field) {
  int64_t time = 0;
  if (!HasArguments(index, 1) || !CliParseDateTimeText(g_argv[index + 1], &time)) {
    ConsolePrintf(L"Usage: %ls mm-dd-yyyy:hh:mm:ss\r\n", g_argv[index]);
    return 0;
  }
  Document()->*field = time;
  NotifyModified();
  return 2;
}

int ParseFileDatetime(int index) { return ParseDateSwitch(index, &CImageDocument::fixedTime); }
int ParseVolCreationDatetime(int index) { return ParseDateSwitch(index, &CImageDocument::volumeCreationTime); }
int ParseVolModificationDatetime(int index) {
  return ParseDateSwitch(index, &CImageDocument::volumeModificationTime);
}
int ParseVolEffectiveDatetime(int index) { return ParseDateSwitch(index, &CImageDocument::volumeEffectiveTime); }
int ParseVolExpirationDatetime(int index) {
  return ParseDateSwitch(index, &CImageDocument::volumeExpirationTime);
}

// Stores `bytes` as the comment: at most 65,536 bytes, never a character cut in half.
void StoreComment(const char* bytes, size_t length) {
  CSaveOptions& options = g_settings->saveOptions;
  std::memset(options.comment, 0, sizeof options.comment);
  if (length > kCommentMax) length = kCommentMax;
  std::memcpy(options.comment, bytes, length);
  options.commentLength = static_cast<int32_t>(length);
}

int ParseComment(int index) {
  if (!HasArguments(index, 1)) {
    ConsolePrintf(L"Usage: -comment <string>\r\n");
    return 0;
  }
  const wchar_t* text = g_argv[index + 1];
  std::string bytes;
  std::mbstate_t state{};
  char one[MB_LEN_MAX];
  for (const wchar_t* p = text; *p; ++p) {
    size_t got = std::wcrtomb(one, *p, &state);
    if (got == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};
      one[0] = '?';
      got = 1;
    }
    if (bytes.size() + got > kCommentMax) break;
    bytes.append(one, got);
  }
  StoreComment(bytes.data(), bytes.size());
  return 2;
}

int ParseCommentFromFile(int index) {
  if (!HasArguments(index, 1)) {
    ConsolePrintf(L"Usage: -comment <string>\r\n");
    return 0;
  }
  const wchar_t* path = g_argv[index + 1];
  FILE* file = FileOpenRead(path);
  if (!file) {
    ConsolePrintf(L"open file %ls failed.\r\n", path);
    ConsolePrintf(L"Usage: -comment <string>\r\n");
    return 0;
  }
  std::vector<char> buffer(kCommentMax);
  int64_t got = FileReadAtCount(file, buffer.data(), 0, kCommentMax);
  FileClose(file);
  if (got < 0) {
    ConsolePrintf(L"Usage: -comment <string>\r\n");
    return 0;
  }
  // The text ends at its first NUL; the stored length counts exactly the bytes stored.
  size_t length = strnlen(buffer.data(), static_cast<size_t>(got));
  StoreComment(buffer.data(), length);
  return 2;
}

int ParseRipToSingleFile(int) {
  g_settings->ripToSingleFile = 1;
  NotifyModified();
  return 1;
}

int RunShowComment(int index) {
  if (!HasArguments(index, 1)) {
    ConsolePrintf(L"Usage: show-comment <image file>\r\n");
    return 0;
  }
  g_immediateRan = true;
  CImageDocument* document = ImageOpenByPath(g_argv[index + 1], 2);
  if (!document) {
    g_immediateFailed = true;
    return 2;
  }
  ReplaceCurrent(document);
  if (!document->comment.empty()) ConsoleWriteBytes(document->comment.data(), document->comment.size());
  return 2;
}

int RunExtractCommentToFile(int index) {
  if (!HasArguments(index, 2)) {
    ConsolePrintf(L"Usage: extract-comment-to-file <image file> <comment file>\r\n");
    return 0;
  }
  g_immediateRan = true;
  CImageDocument* document = ImageOpenByPath(g_argv[index + 1], 2);
  if (!document) {
    g_immediateFailed = true;
    return 3;
  }
  ReplaceCurrent(document);
  if (document->comment.empty()) return 3;
  const wchar_t* target = g_argv[index + 2];
  FILE* file = FileCreateChecked(target);
  if (!file) {
    ConsolePrintf(L"Can't open file: %ls\r\n", target);
    g_immediateFailed = true;
    return 3;
  }
  bool written = FileWriteAt(file, document->comment.data(), 0, static_cast<int64_t>(document->comment.size()));
  if (FileClose(file) != 0) written = false;
  if (!written) {
    ErrorReport(target);
    g_immediateFailed = true;
  }
  return 3;
}

int ParseHelp(int) {
  if (CommandTaken()) return 0;
  g_settings->command = kCommandHelp;
  return 1;
}

int ParseMakeImage(int index) {
  if (!HasArguments(index, 1) || CommandTaken()) return 0;
  if (!SetField(g_settings->firstArgument, g_argv[index + 1])) return 0;
  g_settings->command = kCommandMakeImage;
  return 2;
}

int ParseBurnImage(int index) {
  if (CommandTaken() || !HasArguments(index, 2)) return 0;
  if (!SetField(g_settings->firstArgument, g_argv[index + 1]) || !SetField(g_settings->drive, g_argv[index + 2]))
    return 0;
  g_settings->command = kCommandBurnImage;
  return 3;
}

int ParseEraseDisc(int index) {
  if (CommandTaken() || !HasArguments(index, 1)) return 0;
  if (!SetField(g_settings->drive, g_argv[index + 1])) return 0;
  g_settings->command = kCommandEraseDisc;
  return 2;
}

int ParseCopyDisc(int index) {
  if (CommandTaken() || !HasArguments(index, 2)) return 0;
  if (!SetField(g_settings->firstArgument, g_argv[index + 1]) || !SetField(g_settings->drive, g_argv[index + 2]))
    return 0;
  g_settings->command = kCommandCopyDisc;
  return 3;
}

int ParseVerify(int) {
  g_settings->switchFlags |= kSwitchVerify;
  return 1;
}

int ParseSpeed(int index) {
  if (!HasArguments(index, 1)) return 0;
  int32_t kind = 0;
  double factor = 0;
  int showMessage = 0;
  if (!CliParseSpeedText(g_argv[index + 1], &kind, &factor, &showMessage)) {
    if (showMessage) ConsolePrintf(L"%ls\r\n", L"Invalid speed settings.");
    return 0;
  }
  g_settings->speedKind = kind;
  g_settings->speedFactor = factor;
  return 2;
}

int ParseEject(int) {
  g_settings->switchFlags |= kSwitchEject;
  return 1;
}

int ParseFullErase(int) {
  g_settings->switchFlags |= kSwitchFullErase;
  return 1;
}

int ParseCreateTempFileForCopy(int) {
  g_settings->switchFlags |= kSwitchTempFileForCopy;
  return 1;
}

struct CommandRow {
  const wchar_t* word;
  int (*handler)(int index);
};

constexpr CommandRow kCommandTable[] = {
    {L"-r", ParseRecursive},
    {L"-y", ParseAssumeYes},
    {L"-od", ParseOutputDir},
    {L"-ot", ParseOutputType},
    {L"-o", ParseOutputFile},
    {L"-setpassword", ParseSetPassword},
    {L"-volsize", ParseVolumeSize},
    {L"-wd", ParseWd},
    {L"-password", ParsePassword},
    {L"-method", ParseMethod},
    {L"list", ParseList},
    {L"extract", ParseExtract},
    {L"convert", ParseConvert},
    {L"create", ParseCreate},
    {L"edit", ParseEdit},
    {L"-add", ParseAdd},
    {L"-delete", ParseDelete},
    {L"-label", ParseLabel},
    {L"-joliet", ParseJoliet},
    {L"-udf", ParseUdf},
    {L"-iso-name-len", ParseIsoNameLen},
    {L"-joliet-name-len", ParseJolietNameLen},
    {L"-allow-lower-case-iso-name", ParseAllowLowerCase},
    {L"-disable-optimization", ParseDisableOptimization},
    {L"-file-datetime", ParseFileDatetime},
    {L"-vol-creation-datetime", ParseVolCreationDatetime},
    {L"-vol-modification-datetime", ParseVolModificationDatetime},
    {L"-vol-effective-datetime", ParseVolEffectiveDatetime},
    {L"-vol-expiration-datetime", ParseVolExpirationDatetime},
    {L"-comment", ParseComment},
    {L"-comment-from-file", ParseCommentFromFile},
    {L"-rip-to-single-file", ParseRipToSingleFile},
    {L"show-comment", RunShowComment},
    {L"extract-comment-to-file", RunExtractCommentToFile},
    {L"-?", ParseHelp},
    {L"-h", ParseHelp},
    {L"-help", ParseHelp},
    {L"make-image", ParseMakeImage},
    {L"burn-image", ParseBurnImage},
    {L"erase-disc", ParseEraseDisc},
    {L"copy-disc", ParseCopyDisc},
    {L"-verify", ParseVerify},
    {L"-speed", ParseSpeed},
    {L"-eject", ParseEject},
    {L"-full-erase", ParseFullErase},
    {L"-create-temp-file-for-copy", ParseCreateTempFileForCopy},
};
static_assert(std::size(kCommandTable) == 46);

void FreeSettings() {
  if (!g_settings) return;
  for (wchar_t* field : {g_settings->firstArgument, g_settings->secondArgument, g_settings->drive,
                         g_settings->outputFolder, g_settings->outputFile})
    std::free(field);
  MemFree(g_settings);
  g_settings = nullptr;
}

// Chooses the locale of the process: the environment's, or C.UTF-8 where that names none, so that names
// outside ASCII convert.
void SelectLocale() {
  const char* name = std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  bool utf8 = codeset && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0);
  bool plain = !name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0;
  if (!utf8 && plain) std::setlocale(LC_CTYPE, "C.UTF-8");
}

// One argument from the locale's multibyte text; bytes the locale cannot read become U+FFFD.
wchar_t* WidenArgument(const char* text) {
  size_t n = std::strlen(text);
  auto* out = static_cast<wchar_t*>(MemZeroAlloc((n + 1) * sizeof(wchar_t) + 16));
  if (out) TextMultiByteToWideLenient(text, n, out);
  return out;
}

}  // namespace

// ---- text parsers -----------------------------------------------------------------------------------------

int CliParseVolumeSizeText(const wchar_t* text, int64_t* bytes) {
  if (!text) return 0;
  CWideString size(text);
  SizeTextNormalize(size);
  if (WstrIsEmpty(size) || !SizeTextIsValid(size.c_str())) return 0;
  uint64_t value = 0;
  if (!SizeTextParse(size.c_str(), &value)) return 0;
  constexpr uint64_t kMin = 131072, kMax = 8796093022208ULL;
  if ((value < kMin || value > kMax) && value != UINT64_MAX) return 0;
  *bytes = static_cast<int64_t>(value);
  return 1;
}

int CliParseSpeedText(const wchar_t* text, int32_t* kind, double* factor, int* showMessage) {
  *showMessage = 1;
  if (!text) return 0;
  std::wstring upper = text;
  for (wchar_t& c : upper)
    if (c >= L'a' && c <= L'z') c -= L'a' - L'A';
  if (upper.size() <= 3 || upper.back() != L'X') return 0;
  size_t skip;
  if (upper.compare(0, 3, L"DVD") == 0) {
    *kind = 2;
    skip = 3;
  } else if (upper.compare(0, 2, L"CD") == 0) {
    *kind = 1;
    skip = 2;
  } else if (upper.compare(0, 2, L"BD") == 0) {
    *kind = 3;
    skip = 2;
  } else {
    *showMessage = 0;
    return 0;
  }
  const wchar_t* number = upper.c_str() + skip;
  wchar_t* end = nullptr;
  double value = std::wcstod(number, &end);
  // The number must run up to the final "X" and be a real, positive speed.
  if (end == number || std::wcscmp(end, L"X") != 0 || !std::isfinite(value) || !(value > 0)) return 0;
  *factor = value;
  return 1;
}

int CliParseDateTimeText(const wchar_t* text, int64_t* time) {
  if (!text) return 0;
  long fields[6];
  int count = 0;
  const wchar_t* p = text;
  for (;;) {
    const wchar_t* start = p;
    long value = 0;
    while (*p >= L'0' && *p <= L'9') {
      value = value * 10 + (*p - L'0');
      if (value > 100000) return 0;
      ++p;
    }
    if (p == start || count == 6) return 0;  // a missing piece, or a seventh
    fields[count++] = value;
    if (*p == 0) break;
    if (*p != L'-' && *p != L':') return 0;
    ++p;
  }
  if (count != 6) return 0;
  long month = fields[0], day = fields[1], year = fields[2], hour = fields[3], minute = fields[4],
       second = fields[5];
  if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1900 || year > 2800 || hour > 23 || minute > 59 ||
      second > 59)
    return 0;
  struct tm local {};
  local.tm_mon = static_cast<int>(month - 1);
  local.tm_mday = static_cast<int>(day);
  local.tm_year = static_cast<int>(year - 1900);
  local.tm_hour = static_cast<int>(hour);
  local.tm_min = static_cast<int>(minute);
  local.tm_sec = static_cast<int>(second);
  local.tm_isdst = -1;
  time_t value = mktime(&local);
  *time = static_cast<int64_t>(value);
  return 1;
}

// ---- the driver -------------------------------------------------------------------------------------------

void CliSetArguments(int argc, wchar_t** argv) {
  g_argc = argc;
  g_argv = argv;
}

int CliArgumentCount() { return g_argc; }
const wchar_t* CliArgument(int index) { return index >= 0 && index < g_argc ? g_argv[index] : nullptr; }

int CliAssumeYes() { return g_settings && (g_settings->switchFlags & kSwitchAssumeYes) ? 1 : 0; }

void ConsolePrintBanner() {
  ConsolePrintf(L"\r\n");
  ConsolePrintf(L"%ls %ls %ls\r\n", L"Kestrane", L"Version", L"1.6");
  ConsolePrintf(L"            Type kestrane -? for help\r\n\r\n");
}

void ConsolePrintUsage() {
  for (const wchar_t* line : kUsageLines) ConsolePrintText(line);
}

int CliPrepare() {
  ConsoleInstallUi();
  FreeSettings();
  g_settings = static_cast<CSettings*>(MemZeroAlloc(sizeof(CSettings)));
  if (!g_settings) return -1;
  CImageDocument* document = ImageNew();
  if (!document) return -1;
  ReplaceCurrent(document);
  g_noArguments = g_parseRefused = g_parseFailed = g_commandRan = false;
  g_immediateRan = g_immediateFailed = false;
  g_commandResult = 0;
  g_sessionAppendMode = 0;
  return 0;
}

int CliParseArgs() {
  FreeSettings();
  g_settings = static_cast<CSettings*>(MemZeroAlloc(sizeof(CSettings)));
  if (!g_settings) return -1;
  g_settings->outputType = kOutputTypeBySuffix;
  g_settings->ripToSingleFile = 0;
  if (g_argc <= 1) {
    g_noArguments = true;
    return -1;
  }
  int count = g_argc;
  if (count >= 3 && std::wcscmp(g_argv[count - 2], L"-wd") == 0) {
    ParseWd(count - 2);
    count -= 2;
    if (count <= 1) {
      g_noArguments = true;
      return 0;
    }
  }
  int savedArgc = g_argc;
  g_argc = count;  // handlers never read the dropped pair
  int result = 0;
  for (int index = 1; index < g_argc;) {
    const wchar_t* word = g_argv[index];
    const CommandRow* row = nullptr;
    for (const CommandRow& candidate : kCommandTable) {
      if (std::wcscmp(word, candidate.word) == 0) {
        row = &candidate;
        break;
      }
    }
    if (!row) {
      ConsolePrintf(L"Unrecognized parameter: %ls\r\n", word);
      g_parseRefused = true;
      result = -1;
      break;
    }
    int consumed = row->handler(index);
    if (consumed == kHandlerFailed) {
      g_parseFailed = true;
      result = -1;
      break;
    }
    if (consumed < 1) {
      ConsolePrintf(L"Bad parameter: %ls\r\n", word);
      g_parseRefused = true;
      result = -1;
      break;
    }
    index += consumed;
  }
  g_argc = savedArgc;
  return result;
}

void CliParseOrExit() {
  if (CliParseArgs() != 0) CliExit(-1);
}

int CliDispatch() {
  switch (g_settings->command) {
    case kCommandList: return CliRunList();
    case kCommandExtract: return CliRunExtract();
    case kCommandConvert: return CliRunConvert();
    case kCommandHelp: return CliRunHelp();
    case kCommandCreate: return CliRunCreate();
    case kCommandMakeImage: return CliRunMakeImage();
    case kCommandBurnImage: return CliRunBurnImage();
    case kCommandCopyDisc: return CliRunCopyDisc();
    case kCommandRip: return CliRunRip();
    case kCommandEraseDisc: return CliRunEraseDisc();
    case kCommandEdit: return CliRunEdit();
    case 1: case 2: case 3: case 4: case 5: case 11: case 12: return 0;
    default: return -1;
  }
}

void CliExit(int /*code*/) {
  // The outcome of the run is decided by the driver once the command returns (CliExitStatus).
}

int CliExitStatus() {
  if (g_noArguments) return kExitSuccess;
  if (g_parseRefused) return kExitRefused;
  if (g_parseFailed) return kExitFailed;
  if (g_commandRan) return g_commandResult < 0 ? kExitFailed : kExitSuccess;
  if (g_immediateRan) return g_immediateFailed ? kExitFailed : kExitSuccess;
  return kExitFailed;  // no command was chosen
}

namespace {

void ReportOutOfMemory() {
  AbortCodeSet(kAbortNoMemory);
  ConsolePrintf(L"\r\n%ls\r\n", L"Out of memory. Program abort.");
}

}  // namespace

void CliRun() {
  ConsoleModeSet(1);
  if (CliPrepare() != 0) {
    ConsoleModeSet(0);
    g_parseFailed = true;
    return;
  }
  ConsolePrintBanner();
  // Memory that runs out inside a container's growth ends the command with the program's message, never the
  // process with an abort: parsing (which opens images) and the command are the two places that allocate.
  int parsed;
  try {
    parsed = CliParseArgs();
  } catch (const std::bad_alloc&) {
    ReportOutOfMemory();
    g_parseFailed = true;
    ConsoleModeSet(0);
    return;
  }
  // A refused word ends the run: the command chosen before it does not run.
  if (parsed == 0 && !g_noArguments && (g_settings->command != kCommandNone || !g_immediateRan)) {
    ErrorStateReset();
    int result;
    try {
      result = CliDispatch();
    } catch (const std::bad_alloc&) {
      ReportOutOfMemory();
      result = -1;
    }
    if (AbortCodeGet() == kAbortCancelled) result = -2;
    g_commandRan = true;
    g_commandResult = result;
    CliExit(result);
  }
  ConsoleModeSet(0);
}

int KestraneMain(int argc, char** argv) {
  // Output to a pipe or file goes out in large blocks (a terminal is flushed at every print).
  if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  // A tree of many entries is many small blocks: the heap grows and shrinks in megabytes rather than in pages.
  mallopt(M_TOP_PAD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
  // Setting those also fixes the size from which a block gets a mapping of its own (the heap no longer raises it
  // after such a block is freed), so the 1 MiB buffers copy loops take and give back would each be mapped and
  // unmapped again. Blocks up to 4 MiB come from the heap; larger ones are mapped and go back when freed.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  SelectLocale();
  auto** wide = static_cast<wchar_t**>(MemZeroAlloc(sizeof(wchar_t*) * static_cast<size_t>(argc > 0 ? argc : 1)));
  if (!wide) return -1;
  for (int i = 0; i < argc; ++i) {
    wide[i] = WidenArgument(argv[i]);
    if (!wide[i]) return -1;
  }
  CliSetArguments(argc, wide);
  TempFolderInitAtStart();
  CliRun();
  int status = CliExitStatus();
  std::fflush(stdout);
  // Release what the run holds, so that leak checks see only real leaks.
  CurrentImageClear();
  FreeSettings();
  for (int i = 0; i < argc; ++i) MemFree(wide[i]);
  MemFree(wide);
  CliSetArguments(0, nullptr);
  return status;
}
