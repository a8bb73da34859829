// The command-line settings record that the parser fills and every command reads.
#pragma once

#include <cstdint>

#include "image/save_options.h"
#include "runtime/ui.h"

// Switch flag bits of CSettings::switchFlags.
enum : uint32_t {
  kSwitchRecursive = 1u << 31,        // -r
  kSwitchAssumeYes = 1u << 30,        // -y
  kSwitchVerify = 1u << 29,           // -verify
  kSwitchEject = 1u << 28,            // -eject
  kSwitchFullErase = 1u << 27,        // -full-erase
  kSwitchTempFileForCopy = 1u << 26,  // -create-temp-file-for-copy
};

// Command codes.
enum : int32_t {
  kCommandNone = 0,
  kCommandList = 6,
  kCommandExtract = 7,
  kCommandConvert = 8,
  kCommandHelp = 9,
  kCommandCreate = 10,
  kCommandMakeImage = 13,
  kCommandBurnImage = 14,
  kCommandCopyDisc = 15,
  kCommandRip = 16,
  kCommandEraseDisc = 17,
  kCommandEdit = 19,
};

// Output types of -ot (-1: decided by the output file's suffix).
enum : int32_t {
  kOutputTypeBySuffix = -1,
  kOutputTypeIso = 0,
  kOutputTypeBin = 1,
  kOutputTypeQvf = 2,
  kOutputTypeMp3 = 129,
  kOutputTypeFlac = 130,
  kOutputTypeApe = 131,
  kOutputTypeWma = 132,
  kOutputTypeWav = 133,
};

constexpr int kOpenPasswordChars = kUiOpenPasswordChars;

struct CSettings {
  int32_t command;
  uint32_t switchFlags;
  wchar_t* firstArgument;   // image, source drive, or the word after `create`
  wchar_t* secondArgument;  // directory or file inside the image
  wchar_t* drive;           // recorder device
  wchar_t* outputFolder;    // -od
  wchar_t* outputFile;      // -o
  int32_t outputType;       // -ot
  int32_t ripToSingleFile;
  int32_t speedKind;        // 1 CD, 2 DVD, 3 BD; 0 = not given
  double speedFactor;
  CSaveOptions saveOptions;
  wchar_t openPassword[kOpenPasswordChars];
  wchar_t launcherName[128];
};

// The one settings record of the run (null before the driver allocates it).
extern CSettings* g_settings;
// Session-append mode: 0 none, 1 set by edit and extract before opening, 2 an audio disc opened in mode 1.
extern int32_t g_sessionAppendMode;

// 1 when -y was given.
int CliAssumeYes();
