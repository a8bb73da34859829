// The command-line settings record that the parser fills and every command reads.
#pragma once

#include <cstdint>

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

constexpr int kPasswordBytes = 257;
constexpr int kCommentBytes = 65537;
constexpr int kCommentMax = 65536;
constexpr int kOpenPasswordChars = 128;

// Save options, copied into a document before it is saved.
struct CSaveOptions {
  int32_t splitVolumes;    // 1 when -volsize was given
  int32_t volumeNaming;    // never set by a switch
  int32_t secondFlag;      // never set by a switch
  int64_t volumeSize;      // -volsize bytes
  int32_t passwordSet;     // 1 when -setpassword was accepted
  char password[kPasswordBytes];  // multibyte output password, NUL-terminated
  char comment[kCommentBytes];    // multibyte comment, NUL-terminated
  int32_t commentLength;          // bytes of the comment
  int32_t selfExtractor;          // never set by a switch
  int32_t seventhValue;           // never set by a switch
  int32_t keyWord;                // never read
};

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
// Compression level of -method: 0 not given, 1 normal, 2 better, 3 best.
extern int32_t g_compressionLevel;
// Session-append mode: 0 none, 1 set by edit and extract before opening, 2 an audio disc opened in mode 1.
extern int32_t g_sessionAppendMode;

// 1 when -y was given.
int CliAssumeYes();
