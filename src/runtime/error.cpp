#include "runtime/error.h"
#include "runtime/ui.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>


namespace {

constexpr int kTextChars = 512;
constexpr int kTextOutChars = 1024;

int32_t g_code = 0;
wchar_t g_text[kTextChars];
wchar_t g_textOut[kTextOutChars];
int32_t g_abortCode = 0;
int32_t g_answerWord = 0;
int32_t g_overwriteAnswer = 0;
std::wstring g_currentFileName;
bool g_hasFileName = false;
std::wstring g_lastReportedPath;
int g_burnJobMode = 0;

// Bounded copy that always terminates.
void CopyBounded(wchar_t* out, size_t capacity, const wchar_t* text) {
  size_t n = text ? std::wcslen(text) : 0;
  if (n > capacity - 1) n = capacity - 1;
  if (n) std::wmemcpy(out, text, n);
  out[n] = 0;
}

struct SenseRow {
  uint8_t key, asc, ascq;
  int32_t code;
};
constexpr SenseRow kSenseTable[] = {
    {0x02, 0x3A, 0x00, kErrorNotReady}, {0x02, 0x3A, 0x01, kErrorNoMedia}, {0x02, 0x3A, 0x02, kErrorNotReady},
    {0x02, 0x04, 0x01, kErrorNotReady}, {0x03, 0x11, 0x05, kErrorCdc},     {0x03, 0x11, 0x06, kErrorCdc},
    {0x04, 0x3E, 0x02, kErrorDeviceIo},
};

const wchar_t* DeviceText(int32_t code) {
  switch (code) {
    case kErrorDeviceRead: return L"Error reading device.";
    case kErrorNotReady: return L"The drive is not ready.";
    case kErrorNoMedia: return L"There is no media in the drive.";
    case kErrorCdc: return L"CDC error.";
    case kErrorDeviceIo: return L"Device I/O error.";
    default: return nullptr;
  }
}

const wchar_t* ImageOpenText(int32_t code) {
  switch (code) {
    case 7: return L"The file size is too large(> 1 TB).";
    case 8: return L"The file format is invalid or unsupported.";
    case 9: return L"Can not read directory structure.";
    case 14: return L"You must input password to open this file.";
    case 15: return L"File version mismatch. To open this file, please visit our website to get the latest version.";
    case 17: return L"Please insert an Audio CD in the drive.";
    case 18: return L"Data error or wrong password!";
    case 19: return L"The password is wrong or the archive is corrupt.";
    case 20: return L"Only data disc can be appended.";
    case 21: return L"The disc is empty.";
    case 22: return L"You need input password to open the file.";
    default: return nullptr;
  }
}

}  // namespace

int32_t LastErrorGetCode() { return g_code != 0 ? g_code : errno; }

void LastErrorSetCode(int32_t code) {
  g_code = code;
  if (code == 0) errno = 0;
}

void LastErrorSetText(const wchar_t* text) {
  if (text) {
    CopyBounded(g_text, kTextChars, text);
    return;
  }
  LastErrorSetCode(0);
  g_text[0] = 0;
}

const wchar_t* LastErrorGetText() {
  int savedErrno = errno;
  g_textOut[0] = 0;
  if (g_text[0]) {
    CopyBounded(g_textOut, kTextOutChars, g_text);
  } else if (g_code == 0) {
    if (savedErrno == 0) {
      CopyBounded(g_textOut, kTextOutChars, L"Error occured.");
    } else {
      char buffer[256];
      const char* message = strerror_r(savedErrno, buffer, sizeof buffer);
      size_t n = std::mbstowcs(g_textOut, message, kTextOutChars - 1);
      if (n == static_cast<size_t>(-1)) n = 0;
      g_textOut[n] = 0;
    }
  } else if (const wchar_t* device = DeviceText(g_code)) {
    CopyBounded(g_textOut, kTextOutChars, device);
  }
  errno = savedErrno;
  return g_textOut;
}

int LastErrorSetFromSense(const uint8_t* sense, int32_t fallbackCode) {
  if (!sense) return 1;
  uint8_t key = sense[2] & 0x0F, asc = sense[12], ascq = sense[13];
  for (const SenseRow& row : kSenseTable) {
    if (row.key == key && row.asc == asc && row.ascq == ascq) {
      LastErrorSetCode(row.code);
      return 1;
    }
  }
  if (LastErrorGetCode() == 0) LastErrorSetCode(fallbackCode);
  return 1;
}

int32_t AbortCodeGet() { return g_abortCode; }
void AbortCodeSet(int32_t code) { g_abortCode = code; }
void AbortCodeRaise(int32_t code) {
  if (g_abortCode < code) g_abortCode = code;
}

int32_t OverwriteAnswerGet() { return g_overwriteAnswer; }
void OverwriteAnswerSet(int32_t answer) { g_overwriteAnswer = answer; }
int32_t AnswerWordGet() { return g_answerWord; }
void AnswerWordSet(int32_t word) { g_answerWord = word; }

int MessageShow(const wchar_t* text, int /*style*/) {
  UiPrintf(L"%ls\r\n", text ? text : L"");
  return 1;
}

int MessageShowWithStyle(const wchar_t* text, int style) { return MessageShow(text, style); }

int MessageShowWithDetail(const wchar_t* text, const wchar_t* detail) {
  if (!detail) detail = LastErrorGetText();
  if (UiInteractive()) {
    UiPrintf(L"%ls: %ls", text ? text : L"", detail);
    return 1;
  }
  CWideString message;
  WstrFormat(message, L"%ls\r\n\r\n%ls", text ? text : L"", detail);
  return MessageShow(message.c_str());
}

void ErrorReport(const wchar_t* text) {
  if (g_burnJobMode) {
    LastErrorReportPathOnce(text, 0);
    return;
  }
  CWideString message;
  if (text)
    WstrFormat(message, L"%ls: %ls\r\n", LastErrorGetText(), text);
  else
    WstrAssignChars(message, LastErrorGetText());
  if (WstrGetLength(message) > kTextChars - 1) message = WstrLeft(message, kTextChars - 1);
  MessageShow(message.c_str());
  LastErrorSetText(nullptr);
}

void ErrorSetBurnJobMode(int on) { g_burnJobMode = on; }

void LastErrorReportPathOnce(const wchar_t* path, int reset) {
  if (reset) {
    g_lastReportedPath.clear();
    return;
  }
  const wchar_t* shown = path ? path : L"";
  if (wcscasecmp(shown, g_lastReportedPath.c_str()) == 0 && !g_lastReportedPath.empty()) return;
  UiPrintf(L"%ls: %ls\r\n", shown, LastErrorGetText());
  LastErrorSetText(nullptr);
  g_lastReportedPath = shown;
}

void ImageOpenErrorReport(const wchar_t* path, int32_t code) {
  if (code == 6) return;  // out of memory: the allocator has spoken
  const wchar_t* name = path ? path : L"";
  CWideString message;
  if (code == 17 || code == 20) {
    WstrFormat(message, L"%ls\r\n\r\n%ls", name, ImageOpenText(code));
  } else if (code == 16) {
    const wchar_t* text = LastErrorGetText();
    if (UiInteractive())
      WstrFormat(message, L"%ls: %ls\r\n", name, text);
    else
      WstrFormat(message, L"%ls\r\n\r\n%ls", name, text);
  } else if (const wchar_t* text = ImageOpenText(code)) {
    if (UiInteractive())
      WstrFormat(message, L"%ls: %ls\r\n", name, text);
    else
      WstrFormat(message, L"%ls\r\n\r\n%ls", name, text);
  }
  if (WstrIsEmpty(message)) return;
  if (UiInteractive()) {
    // Every message ends its line, so the next output starts on a line of its own.
    int32_t n = WstrGetLength(message);
    if (n < 2 || message.c_str()[n - 1] != L'\n') WstrAppendChars(message, L"\r\n");
    UiPrintText(message.c_str());
  } else {
    MessageShow(message.c_str());
  }
}

void ErrorReportFileTooBig(const wchar_t* name) {
  CWideString message;
  WstrFormat(message, L"%ls\r\n\r\nThe file size is too big(> 4G Bytes), and can not be added into the image.",
             name ? name : L"");
  MessageShow(message.c_str());
}

int32_t MessageAskOverwrite(const wchar_t* path, const wchar_t* name) {
  (void)path;
  if (g_overwriteAnswer == kAnswerYesAll || g_overwriteAnswer == kAnswerNoAll) return g_overwriteAnswer;
  if (g_overwriteAnswer == kAnswerCancelAll) {
    AbortCodeSet(kAbortCancelled);
    return kAnswerCancelAll;
  }
  int32_t answer = 0;
  // The console shows "<name>: <message>(Yes/No/YesAll/NoAll/Cancel):".
  QuestionAsk(kQuestionOverwrite, 0, 0, 0,
              L"The file or folder name already exists. Do you want to overwrite it?", name ? name : L"",
              nullptr, &answer, nullptr, nullptr, nullptr);
  if (answer < kAnswerYesOne || answer > kAnswerCancelAll) answer = kAnswerCancelAll;
  if (answer == kAnswerCancelAll) AbortCodeSet(kAbortCancelled);
  return answer;
}

int PasswordCopyChecked(const wchar_t* password, char* out, int quiet, int32_t limit) {
  // Measure first: the output holds limit bytes and the terminator, never more.
  std::string bytes;
  bool ok = password != nullptr;
  if (ok) {
    std::mbstate_t state{};
    char one[MB_LEN_MAX];
    for (const wchar_t* p = password; *p && ok; ++p) {
      size_t got = std::wcrtomb(one, *p, &state);
      if (got == static_cast<size_t>(-1)) ok = false;
      else bytes.append(one, got);
      if (bytes.size() > static_cast<size_t>(limit)) ok = false;
    }
  }
  if (!ok || bytes.empty() || bytes.size() > static_cast<size_t>(limit)) {
    if (!quiet && UiInteractive()) UiPrintf(L"%ls\r\n", L"The password must be between 1-64 characters in length");
    return 0;
  }
  std::memcpy(out, bytes.data(), bytes.size());
  out[bytes.size()] = 0;
  return 1;
}

void ErrorStateSetFileName(const wchar_t* name) {
  g_hasFileName = name != nullptr;
  g_currentFileName = name ? name : L"";
}

const wchar_t* ErrorStateGetFileName() { return g_hasFileName ? g_currentFileName.c_str() : nullptr; }

void ErrorStateReset() {
  LastErrorSetCode(0);
  g_text[0] = 0;
  g_abortCode = 0;
  g_answerWord = 0;
  ErrorStateSetFileName(nullptr);
}

void ErrorStateClear() {
  int32_t word = g_answerWord;
  ErrorStateReset();
  g_answerWord = word;
}
