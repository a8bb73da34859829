// runtime/: the bottom layer. It owns wide strings, memory blocks, text conversion, paths, files, the last
// error and abort code, settings, temporary files, CRCs, the block cache, the worker pool, the bounds-checked
// byte reader every parser uses, and the user-interface seam (ui.h) that the command line fills in. It uses
// only the C++ library and the system, never another folder of the program.
//
// The process-wide error state: the last error code and text, the abort code of the current operation, the
// remembered overwrite answer, and the routines that turn that state into console messages.
#pragma once

#include <cstdint>

#include "runtime/wstring.h"

// Outcome of the current operation. Every loop over files or sectors stops once it is non-zero.
enum : int32_t {
  kAbortNone = 0,
  kAbortCancelled = 1,      // cancelled by the user, or a drive read failure
  kAbortSaveFailed = 2,     // a save or copy failed; a 4 GiB file met with ISO 9660 only
  kAbortWriteFailed = 3,    // an image or output write failed
  kAbortReadFailed = 4,     // a short read of a local file, a file that changed size, ...
  kAbortNoMemory = 6,
  kAbortTooLarge = 7,       // the new image is too large
  kAbortLocalFile = 10,     // a local file could not be opened or created
  kAbortImageRead = 11,     // an image read failed
  kAbortFatAdd = 16,        // a file could not be added to a FAT volume
  kAbortEncryptedNtfs = 24, // an encrypted file met on NTFS
};

// Device error codes (negative last-error codes).
enum : int32_t {
  kErrorDeviceRead = -1,
  kErrorNotReady = -2,
  kErrorNoMedia = -3,
  kErrorCdc = -4,
  kErrorDeviceIo = -5,
};

// Answers of the five-answer question, also the remembered overwrite answer.
enum : int32_t {
  kAnswerYesOne = 10,
  kAnswerNoOne = 11,
  kAnswerYesAll = 12,
  kAnswerNoAll = 13,
  kAnswerCancelAll = 14,
};

// Last error code: 0 means the platform's errno stands for the error.
int32_t LastErrorGetCode();
void LastErrorSetCode(int32_t code);
// Non-null: keep at most 511 characters as the explicit text. Null: clear the code and the text.
void LastErrorSetText(const wchar_t* text);
// The message of the current error (explicit text, else by code); valid until the next call.
const wchar_t* LastErrorGetText();
// Maps fixed-format sense data to a device code; keeps a code already set when no row matches.
int LastErrorSetFromSense(const uint8_t* sense, int32_t fallbackCode);

int32_t AbortCodeGet();
void AbortCodeSet(int32_t code);
// Raises the abort code to at least `code` (never lowers a code already set).
void AbortCodeRaise(int32_t code);

int32_t OverwriteAnswerGet();
void OverwriteAnswerSet(int32_t answer);
int32_t AnswerWordGet();
void AnswerWordSet(int32_t word);

// Messages. The style arguments are accepted and ignored: a message always goes to the console.
int MessageShow(const wchar_t* text, int style = 0);
int MessageShowWithStyle(const wchar_t* text, int style);
int MessageShowWithDetail(const wchar_t* text, const wchar_t* detail);
// "<error text>: <caller text>\r\n" (or the error text alone), then the error is cleared.
void ErrorReport(const wchar_t* text);
// Burn-job reporting: one message per failing path. reset = 1 forgets the last path.
void LastErrorReportPathOnce(const wchar_t* path, int reset);
// Selects burn-job reporting for ErrorReport (set while a burn job runs).
void ErrorSetBurnJobMode(int on);
void ImageOpenErrorReport(const wchar_t* path, int32_t code);
void ErrorReportFileTooBig(const wchar_t* name);
// The overwrite question of the tree code: 10..14.
int32_t MessageAskOverwrite(const wchar_t* path, const wchar_t* name);
// Converts a password to multibyte and copies it when it has 1..limit bytes; 1 on success.
int PasswordCopyChecked(const wchar_t* password, char* out, int quiet, int32_t limit);

void ErrorStateSetFileName(const wchar_t* name);
const wchar_t* ErrorStateGetFileName();
void ErrorStateReset();
void ErrorStateClear();
