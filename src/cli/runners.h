// The runners of the commands: each reads the settings and the current document and returns 0 on success or
// -1 on failure.
#pragma once

#include <cstdint>

int CliRunList();
int CliRunExtract();
int CliRunConvert();
int CliRunHelp();
int CliRunCreate();
int CliRunMakeImage();
int CliRunBurnImage();
int CliRunCopyDisc();
int CliRunRip();
int CliRunEraseDisc();
int CliRunEdit();

struct CSaveOptions;
// Reads the disc in the drive `source` into the image `target` of output type `type` (ISO, BIN with its CUE
// sheet, QVF with `options`): 0, or -1 after the message; a failed or cancelled image is removed.
int ImageMakeFromDiscAndReport(const wchar_t* source, const wchar_t* target, int32_t type, const CSaveOptions* options);

struct CImageDocument;
// Tells the user when the opened image's structure was damaged or its data reaches past the end of the file;
// 1 when it did, else 0.
int CliReportImageDamage(CImageDocument* document);

struct CImageDocument;
// Shows why the document cannot be rewritten as a single data track (audio discs, several tracks, mixed mode):
// 1 when it can't (abort code 1), else 0.
int ImageCheckConvertible(CImageDocument* document);

// Whether output type `type` has a writer (ISO, BIN, QVF); otherwise says the file can't be converted to it.
bool CliOutputTypeIsWritable(int32_t type);
