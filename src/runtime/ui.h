// The user-interface seam: how the layers below the command line show text, report progress and ask the user.
// The command line installs its console here at start-up; until something is installed, nothing is shown,
// progress is dropped, questions get their negative answer and no password is typed. Lower layers call only
// these functions and never reach the console directly.
#pragma once

#include <cstdint>

// Answer bits of the yes/no question (the offered set uses the same bits).
enum : int {
  kAskOk = 1,
  kAskCancel = 2,
  kAskYes = 4,
  kAskNo = 8,
};

// Question kinds of CQuestion.
enum : int32_t {
  kQuestionOverwrite = 1,
  kQuestionWrongPassword = 7,
};

// The record through which lower layers ask the user.
struct CQuestion {
  int32_t kind;
  int32_t flags;  // the question is shown only when 0
  int32_t value1;
  int32_t value2;
  const wchar_t* path;
  int32_t value3;
  const wchar_t* message;
  int32_t value4;
  int32_t value5;
  void* passThrough;
  int32_t answer;
  int32_t answer2;
  int32_t out1;
  int32_t out2;
};

// What a front end supplies. Every member may be null; the fallbacks are described above.
struct CUserInterface {
  int (*interactive)();                               // 1 while a command runs at the console
  int (*assumeYes)();                                 // 1 when every question is answered Yes (-y)
  void (*printText)(const wchar_t* text, int32_t n);  // n characters, already formatted
  int (*ask)(const wchar_t* text, int offered);       // one of the offered kAsk bits
  int (*question)(CQuestion* question);
  wchar_t* (*readPassword)(wchar_t* buffer, int32_t capacity);  // null at end of input
  wchar_t* (*openPassword)();  // the remembered open password (kUiOpenPasswordChars), or null
  void (*progressBegin)(const wchar_t* title, uint64_t total);
  void (*progressAdd)(uint64_t amount);
  void (*progressShowPercent)(uint64_t done, uint64_t total);
  void (*progressEnd)();
  wchar_t* (*readLine)(wchar_t* buffer, int32_t capacity);  // one typed line, null at end of input
};

constexpr int kUiOpenPasswordChars = 128;

// Installs `ui` (kept by pointer; it must outlive its use); null removes it.
void UiInstall(const CUserInterface* ui);

int UiInteractive();
int UiAssumeYes();
// Formats like swprintf with %ls for wide strings and shows the text; returns 0.
int UiPrintf(const wchar_t* format, ...);
int UiPrintText(const wchar_t* text);
int UiAsk(const wchar_t* text, int offered);
int QuestionAsk(int32_t kind, int32_t flags, int32_t value1, int32_t value2, const wchar_t* path,
                const wchar_t* message, void* passThrough, int32_t* answer, int32_t* answer2, int32_t* out1,
                int32_t* out2);
wchar_t* UiReadPassword(wchar_t* buffer, int32_t capacity);
// One line typed by the user, without its line end; null at end of input or when nothing is installed.
wchar_t* UiReadLine(wchar_t* buffer, int32_t capacity);
wchar_t* UiOpenPassword();
void UiProgressBegin(const wchar_t* title, uint64_t total);
void UiProgressAdd(uint64_t amount);
void UiProgressShowPercent(uint64_t done, uint64_t total);
void UiProgressEnd();
