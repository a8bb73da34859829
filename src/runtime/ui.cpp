#include "runtime/ui.h"

#include <cstdarg>
#include <cwchar>

#include "runtime/wstring.h"

namespace {

// The installed front end. Set once by the command line before any command runs; read-only afterwards.
const CUserInterface* g_ui = nullptr;

}  // namespace

void UiInstall(const CUserInterface* ui) { g_ui = ui; }

int UiInteractive() { return g_ui && g_ui->interactive ? g_ui->interactive() : 0; }

int UiAssumeYes() { return g_ui && g_ui->assumeYes ? g_ui->assumeYes() : 0; }

int UiPrintf(const wchar_t* format, ...) {
  if (!g_ui || !g_ui->printText) return 0;
  CWideString text;
  va_list args;
  va_start(args, format);
  WstrFormatV(text, format, args);
  va_end(args);
  g_ui->printText(text.c_str(), WstrGetLength(text));
  return 0;
}

int UiPrintText(const wchar_t* text) {
  if (g_ui && g_ui->printText && text) g_ui->printText(text, static_cast<int32_t>(std::wcslen(text)));
  return 0;
}

int UiAsk(const wchar_t* text, int offered) {
  if (g_ui && g_ui->ask) return g_ui->ask(text, offered);
  return (offered & kAskNo) ? kAskNo : kAskCancel;
}

int QuestionAsk(int32_t kind, int32_t flags, int32_t value1, int32_t value2, const wchar_t* path,
                const wchar_t* message, void* passThrough, int32_t* answer, int32_t* answer2, int32_t* out1,
                int32_t* out2) {
  CQuestion question{};
  question.kind = kind;
  question.flags = flags;
  question.value1 = value1;
  question.value2 = value2;
  question.path = path;
  question.message = message;
  question.passThrough = passThrough;
  if (g_ui && g_ui->question) g_ui->question(&question);
  if (answer) *answer = question.answer;
  if (answer2) *answer2 = question.answer2;
  if (out1) *out1 = question.out1;
  if (out2) *out2 = question.out2;
  return 0;
}

wchar_t* UiReadPassword(wchar_t* buffer, int32_t capacity) {
  return g_ui && g_ui->readPassword ? g_ui->readPassword(buffer, capacity) : nullptr;
}

wchar_t* UiReadLine(wchar_t* buffer, int32_t capacity) {
  return g_ui && g_ui->readLine ? g_ui->readLine(buffer, capacity) : nullptr;
}

wchar_t* UiOpenPassword() { return g_ui && g_ui->openPassword ? g_ui->openPassword() : nullptr; }

void UiProgressBegin(const wchar_t* title, uint64_t total) {
  if (g_ui && g_ui->progressBegin) g_ui->progressBegin(title, total);
}

void UiProgressAdd(uint64_t amount) {
  if (g_ui && g_ui->progressAdd) g_ui->progressAdd(amount);
}

void UiProgressShowPercent(uint64_t done, uint64_t total) {
  if (g_ui && g_ui->progressShowPercent) g_ui->progressShowPercent(done, total);
}

void UiProgressEnd() {
  if (g_ui && g_ui->progressEnd) g_ui->progressEnd();
}
