// cli/: the top layer: start-up, the command/switch table, the console (installed as the user interface of
// the layers below), and the commands. It may use every other folder.
//
// The spine of the program: start-up, the command/switch table, the parser that walks the arguments through
// it, the dispatcher, and the exit status.
#pragma once

#include <cstdint>

// Process exit status of a run.
enum : int {
  kExitSuccess = 0,
  kExitFailed = 1,   // the command failed, or was cancelled
  kExitRefused = 2,  // a word was unrecognised or refused
};

// The process entry: start-up, then the command line. Returns the process exit status.
int KestraneMain(int argc, char** argv);

// The wide arguments every handler indexes (argument 0 is the program).
void CliSetArguments(int argc, wchar_t** argv);
int CliArgumentCount();
const wchar_t* CliArgument(int index);

// Allocates the settings record and a fresh current document (what CliRun does before parsing).
int CliPrepare();
void CliRun();
// 0 when every argument was taken; -1 after the message of the word that was refused.
int CliParseArgs();
void CliParseOrExit();
int CliDispatch();
// Records the outcome handed over by the driver and the console (-1 failed, -2 cancelled).
void CliExit(int code);
// The exit status the run has earned so far.
int CliExitStatus();

void ConsolePrintBanner();
void ConsolePrintUsage();

// Text parsers behind the switches; each gives 1 and its value, or 0 when the text is refused.
// "-volsize": a size of 128 KiB to 8 TiB (or all ones).
int CliParseVolumeSizeText(const wchar_t* text, int64_t* bytes);
// "-speed": kind 1 CD, 2 DVD, 3 BD and the factor; *showMessage says whether the refusal is reported.
int CliParseSpeedText(const wchar_t* text, int32_t* kind, double* factor, int* showMessage);
// Dates "mm-dd-yyyy:hh:mm:ss" ('-' and ':' interchangeable), as local time.
int CliParseDateTimeText(const wchar_t* text, int64_t* time);
