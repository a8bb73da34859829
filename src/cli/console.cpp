#include "cli/console.h"

#include <langinfo.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "cli/driver.h"
#include "cli/settings.h"
#include "runtime/error.h"
#include "runtime/textconv.h"

namespace {

constexpr int32_t kPrintLimit = 32767;  // characters of one formatted print

int g_consoleMode = 0;
// -1 until known: a terminal sees every print at once; a pipe or file gets whole blocks.
int g_flushEachPrint = -1;

void FlushIfTerminal() {
  if (g_flushEachPrint < 0) g_flushEachPrint = isatty(STDOUT_FILENO) ? 1 : 0;
  if (g_flushEachPrint) std::fflush(stdout);
}
uint64_t g_progressTotal = 0;
uint64_t g_progressDone = 0;
int32_t g_progressShown = -1;

bool LocaleIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

// Converts wide text to the locale's multibyte text; a character the locale cannot show becomes '?'.
void WriteWide(const wchar_t* text, size_t n) {
  std::string bytes;
  if (LocaleIsUtf8()) {
    // The common case, encoded here: the library's per-character conversion costs more than the rest of a
    // listing together. At most four bytes a character, written through a pointer into a buffer that is not
    // cleared first; runs of ASCII (most of a listing) go eight characters at a time.
    auto buffer = std::make_unique_for_overwrite<char[]>(n * 4 + 1);
    char* const start = buffer.get();
    char* out = start;
    for (size_t i = 0; i < n; ++i) {
      while (n - i >= 8) {
        uint32_t any = 0;
        for (size_t k = 0; k < 8; ++k) any |= static_cast<uint32_t>(text[i + k]);
        if (any >= 0x80) break;
        for (size_t k = 0; k < 8; ++k) out[k] = static_cast<char>(text[i + k]);
        out += 8;
        i += 8;
      }
      if (i == n) break;
      uint32_t c = static_cast<uint32_t>(text[i]);
      if (c < 0x80) {
        *out++ = static_cast<char>(c);
      } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        *out++ = '?';
      } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c <= 0x10FFFF) {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *out++ = '?';
      }
    }
    if (out != start) std::fwrite(start, 1, static_cast<size_t>(out - start), stdout);
  } else {
    std::mbstate_t state{};
    char one[MB_LEN_MAX];
    for (size_t i = 0; i < n; ++i) {
      size_t got = std::wcrtomb(one, text[i], &state);
      if (got == static_cast<size_t>(-1)) {
        state = std::mbstate_t{};
        bytes.push_back('?');
      } else {
        bytes.append(one, got);
      }
    }
  }
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  FlushIfTerminal();
}

void PrintCut(const CWideString& s) {
  int32_t n = WstrGetLength(s);
  WriteWide(s.c_str(), static_cast<size_t>(n > kPrintLimit ? kPrintLimit : n));
}

void PrintFormatV(const wchar_t* format, va_list args) {
  CWideString text;
  WstrFormatV(text, format, args);
  PrintCut(text);
}

void Print(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintFormatV(format, args);
  va_end(args);
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) { return wcscasecmp(a, b) == 0; }

// The five answers, compared without regard to case; 0 for anything else.
int32_t MapFiveAnswer(const wchar_t* answer) {
  if (EqualsNoCase(answer, L"Yes") || EqualsNoCase(answer, L"y")) return kAnswerYesOne;
  if (EqualsNoCase(answer, L"No") || EqualsNoCase(answer, L"n")) return kAnswerNoOne;
  if (EqualsNoCase(answer, L"YesAll")) return kAnswerYesAll;
  if (EqualsNoCase(answer, L"NoAll")) return kAnswerNoAll;
  if (EqualsNoCase(answer, L"Cancel") || EqualsNoCase(answer, L"c")) return kAnswerCancelAll;
  return 0;
}

// Terminal state saved while echo is off, so that an interrupt leaves the terminal as it was.
struct termios g_savedTermios;
volatile sig_atomic_t g_echoChanged = 0;
struct sigaction g_oldInt, g_oldTerm;

void RestoreEchoOnSignal(int sig) {
  if (g_echoChanged) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTermios);
  struct sigaction& old = sig == SIGINT ? g_oldInt : g_oldTerm;
  sigaction(sig, &old, nullptr);
  raise(sig);
}

}  // namespace

int ConsoleModeGet() { return g_consoleMode; }
void ConsoleModeSet(int on) { g_consoleMode = on; }

int ConsolePrintf(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintFormatV(format, args);
  va_end(args);
  ConsoleCheckCancel();
  return 0;
}

int ConsolePrintfNarrow(const char* format, ...) {
  char buffer[kPrintLimit + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) std::fwrite(buffer, 1, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1, stdout);
  FlushIfTerminal();
  ConsoleCheckCancel();
  return 0;
}

int ConsolePrintText(const wchar_t* text) {
  if (text) WriteWide(text, std::wcslen(text));
  return 0;
}

int ConsolePrintChars(const wchar_t* text, size_t n) {
  if (text) WriteWide(text, n);
  return 0;
}

int ConsoleWriteBytes(const char* bytes, size_t n) {
  if (bytes && n) std::fwrite(bytes, 1, n, stdout);
  FlushIfTerminal();
  return 0;
}

int ConsolePrintString(const CWideString& s) {
  WriteWide(s.c_str(), static_cast<size_t>(WstrGetLength(s)));
  return 0;
}

int ConsolePrintDone() {
  ConsolePrintText(L" done.\r\n");
  return 0;
}

int ConsoleCancelHook() { return 0; }

void ConsoleCheckCancel() {
  if (ConsoleCancelHook() == -1) CliExit(-2);
}

// ---- progress ---------------------------------------------------------------------------------------------

void ProgressBegin(const wchar_t* title) {
  Print(L"%ls ... %5d%%", title ? title : L"", 0);
  g_progressShown = -1;
}

void ProgressBeginTotal(const wchar_t* title, uint64_t total) {
  ProgressBegin(title);
  g_progressTotal = total;
  g_progressDone = 0;
}

void ProgressShowPercent(uint64_t done, uint64_t total) {
  ConsoleCancelHook();
  if (total == 0) return;
  unsigned __int128 scaled = static_cast<unsigned __int128>(done) * 100 / total;
  int32_t percent = scaled > 100 ? 100 : static_cast<int32_t>(scaled);
  if (percent == g_progressShown) return;
  g_progressShown = percent;
  Print(L"\b\b\b\b\b\b%5d%%", percent);
}

void ProgressAdd(uint64_t amount) {
  g_progressDone += amount;
  ProgressShowPercent(g_progressDone, g_progressTotal);
}

void ProgressSet(uint64_t done) {
  g_progressDone = done;
  ProgressShowPercent(g_progressDone, g_progressTotal);
}

void ProgressEnd() { Print(L"\b\b\b\b\b\b%5d%%", 100); }

void ProgressEndText(const wchar_t* text) { Print(L"\b\b\b\b\b\b%ls", text ? text : L""); }

// ---- input ------------------------------------------------------------------------------------------------

wchar_t* ConsoleReadLine(wchar_t* buffer, int32_t capacity) {
  if (!buffer || capacity < 1) return nullptr;
  std::fflush(stdout);
  std::string line;
  int c;
  bool any = false;
  while ((c = std::getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!any) {
    // End of input: the question that asked decides what it means.
    CliExit(-2);
    return nullptr;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // Bytes the locale cannot read become U+FFFD; the rest of a too long line is dropped.
  std::wstring wide(line.size() + 1, L'\0');
  size_t n = TextMultiByteToWideLenient(line.data(), line.size(), wide.data());
  if (n > static_cast<size_t>(capacity - 1)) n = static_cast<size_t>(capacity - 1);
  std::wmemcpy(buffer, wide.data(), n);
  buffer[n] = 0;
  return buffer;
}

wchar_t* ConsoleReadAnswer(wchar_t* buffer, int32_t capacity) {
  if (!buffer || capacity < 1) return nullptr;
  if (CliAssumeYes()) {
    std::wcsncpy(buffer, L"Yes", static_cast<size_t>(capacity - 1));
    buffer[capacity - 1] = 0;
    ConsolePrintText(L"Yes");
    return buffer;
  }
  return ConsoleReadLine(buffer, capacity);
}

void ConsoleSetEcho(int on) {
  struct termios attributes;
  if (tcgetattr(STDIN_FILENO, &attributes) != 0) return;  // not a terminal
  if (on)
    attributes.c_lflag |= ECHO;
  else
    attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSANOW, &attributes);
}

wchar_t* ConsoleReadPassword(wchar_t* buffer, int32_t capacity) {
  bool terminal = tcgetattr(STDIN_FILENO, &g_savedTermios) == 0;
  if (terminal) {
    struct sigaction action{};
    action.sa_handler = RestoreEchoOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &g_oldInt);
    sigaction(SIGTERM, &action, &g_oldTerm);
    g_echoChanged = 1;
    ConsoleSetEcho(0);
  }
  wchar_t* line = ConsoleReadLine(buffer, capacity);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTermios);
    g_echoChanged = 0;
    sigaction(SIGINT, &g_oldInt, nullptr);
    sigaction(SIGTERM, &g_oldTerm, nullptr);
    ConsolePrintText(L"\r\n");  // the typed Enter was not echoed
  }
  return line;
}

// ---- questions --------------------------------------------------------------------------------------------

int ConsoleAsk(const wchar_t* text, int offered) {
  static const struct {
    int bit;
    const wchar_t* shown;
    const wchar_t* full;
    const wchar_t* abbreviation;
  } kChoices[] = {
      {kAskYes, L"y", L"yes", L"y"},
      {kAskNo, L"n", L"no", L"n"},
      {kAskOk, L"Ok", L"ok", L"o"},
      {kAskCancel, L"Cancel", L"cancel", L"c"},
  };
  wchar_t answer[2049];
  for (;;) {
    std::wstring prompt = text ? text : L"";
    prompt += L"(";
    bool first = true;
    for (const auto& choice : kChoices) {
      if (!(offered & choice.bit)) continue;
      if (!first) prompt += L"/";
      prompt += choice.shown;
      first = false;
    }
    prompt += L"): ";
    ConsolePrintText(prompt.c_str());
    bool assumed = CliAssumeYes() != 0;
    if (!ConsoleReadAnswer(answer, 2049)) {
      // End of input answers No (or Cancel when No is not offered).
      ConsolePrintText(L"\r\n");
      if (offered & kAskNo) return kAskNo;
      if (offered & kAskCancel) return kAskCancel;
      return 0;
    }
    if (assumed) ConsolePrintText(L"\r\n");
    for (wchar_t* p = answer; *p; ++p)
      if (*p >= L'A' && *p <= L'Z') *p += L'a' - L'A';
    for (const auto& choice : kChoices) {
      if ((offered & choice.bit) && (std::wcscmp(answer, choice.full) == 0 ||
                                     std::wcscmp(answer, choice.abbreviation) == 0))
        return choice.bit;
    }
    if (assumed) {
      // -y with no Yes on offer: take Ok, else the end-of-input answer, never ask again.
      if (offered & kAskOk) return kAskOk;
      if (offered & kAskNo) return kAskNo;
      if (offered & kAskCancel) return kAskCancel;
      return 0;
    }
  }
}

int ConsoleAskString(const CWideString& text, int offered) { return ConsoleAsk(text.c_str(), offered); }

namespace {

// Asks the five-answer question with `prompt`; `atEnd` answers when the input has ended.
int32_t AskFive(const std::wstring& prompt, int32_t capacity, int32_t atEnd) {
  std::wstring answer(static_cast<size_t>(capacity) + 1, L'\0');
  for (;;) {
    ConsolePrintText(prompt.c_str());
    if (!ConsoleReadAnswer(answer.data(), capacity + 1)) {
      ConsolePrintText(L"\r\n");
      return atEnd;
    }
    int32_t code = MapFiveAnswer(answer.c_str());
    if (code == 0 && CliAssumeYes()) code = kAnswerYesOne;
    if (code != 0) {
      ConsolePrintText(L"\r\n");
      return code;
    }
  }
}

}  // namespace

void ConsoleAskYesNoAll(CQuestion* question) {
  if (!question || !ConsoleModeGet()) return;
  CWideString line;
  WstrFormat(line, L"%ls: %ls", question->message ? question->message : L"",
             question->path ? question->path : L"");
  std::wstring prompt(line.c_str(), static_cast<size_t>(WstrGetLength(line) > 1024 ? 1024 : WstrGetLength(line)));
  prompt += L"(Yes/No/YesAll/NoAll/Cancel):";
  int32_t atEnd = question->kind == kQuestionOverwrite ? kAnswerNoAll : kAnswerCancelAll;
  question->answer = AskFive(prompt, 81, atEnd);
  question->answer2 = 0;
}

int32_t ConsoleAskOverwrite(const wchar_t* path, int readOnly) {
  if (!ConsoleModeGet()) return 2;
  const wchar_t* message = readOnly
                               ? L"The file already exists with read-only attribute. Do you want to overwrite it?"
                               : L"The file already exists. Do you want to overwrite it?";
  CWideString line;
  WstrFormat(line, L"%ls: %ls(Yes/No/YesAll/NoAll/Cancel):", path ? path : L"", message);
  return AskFive(std::wstring(line.c_str()), 128, kAnswerNoAll);
}

int QuestionDispatch(CQuestion* question) {
  if (!question) return 0;
  if (question->kind == kQuestionOverwrite && question->flags == 0) {
    ConsoleAskYesNoAll(question);
    return 0;
  }
  if (question->kind == kQuestionWrongPassword && question->flags == 0) {
    question->answer = MessageShow(L"The password is wrong. ");
    question->answer2 = 0;
    return question->answer;
  }
  return question->flags ? question->flags : 1;
}

namespace {

void UiConsolePrint(const wchar_t* text, int32_t n) {
  WriteWide(text, static_cast<size_t>(n > kPrintLimit ? kPrintLimit : n));
  ConsoleCheckCancel();
}

wchar_t* UiRememberedPassword() { return g_settings ? g_settings->openPassword : nullptr; }

const CUserInterface kConsoleUi = {
    ConsoleModeGet,   CliAssumeYes, UiConsolePrint,      ConsoleAsk,  QuestionDispatch, ConsoleReadPassword,
    UiRememberedPassword, ProgressBeginTotal, ProgressAdd, ProgressShowPercent, ProgressEnd, ConsoleReadLine,
};

}  // namespace

void ConsoleInstallUi() { UiInstall(&kConsoleUi); }
