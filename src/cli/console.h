// Console output, progress lines and questions. Every byte the program shows goes through here: wide text is
// formatted once, converted to the locale's multibyte text ('?' for what the locale cannot show) and written
// to standard output. Answers come from standard input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/ui.h"
#include "runtime/wstring.h"

// 1 while the command-line driver runs.
int ConsoleModeGet();
void ConsoleModeSet(int on);

int ConsolePrintf(const wchar_t* format, ...);
int ConsolePrintfNarrow(const char* format, ...);
int ConsolePrintText(const wchar_t* text);
// ConsolePrintText for text whose length is known: its first n characters.
int ConsolePrintChars(const wchar_t* text, size_t n);
// Writes bytes already in the locale's multibyte form, unchanged.
int ConsoleWriteBytes(const char* bytes, size_t n);
int ConsolePrintString(const CWideString& s);
int ConsolePrintDone();
int ConsoleCancelHook();
void ConsoleCheckCancel();

void ProgressBegin(const wchar_t* title);
void ProgressBeginTotal(const wchar_t* title, uint64_t total);
void ProgressShowPercent(uint64_t done, uint64_t total);
void ProgressAdd(uint64_t amount);
void ProgressSet(uint64_t done);
void ProgressEnd();
void ProgressEndText(const wchar_t* text);

// One line from standard input without its newline; null at end of input.
wchar_t* ConsoleReadLine(wchar_t* buffer, int32_t capacity);
// As ConsoleReadLine, but with -y answers "Yes" (printed) without reading.
wchar_t* ConsoleReadAnswer(wchar_t* buffer, int32_t capacity);
// Turns echo of the terminal on standard input on or off; nothing when standard input is no terminal.
void ConsoleSetEcho(int on);
// Reads a line with echo off (password entry); works from a pipe too.
wchar_t* ConsoleReadPassword(wchar_t* buffer, int32_t capacity);

int ConsoleAsk(const wchar_t* text, int offered);
int ConsoleAskString(const CWideString& text, int offered);
void ConsoleAskYesNoAll(CQuestion* question);
int32_t ConsoleAskOverwrite(const wchar_t* path, int readOnly);
int QuestionDispatch(CQuestion* question);
// Installs the console as the user interface of the lower layers (runtime/ui.h).
void ConsoleInstallUi();
