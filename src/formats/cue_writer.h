// Writing CUE sheets beside raw BIN images: the one-track sheet of a plain data image, and the full sheet of a
// track table with its sessions, indexes and CD-TEXT fields. Lines end in "\r\n"; the text is written in the
// locale's multibyte form.
#pragma once

#include <cstdint>

struct CImageDocument;
struct CTrackTable;

// Writes the sheet for the saved BIN image `binPath` (the sheet's path is binPath with extension "cue"): the
// one-track sheet when there is no document or it has no track table, else the full sheet of its table.
// 0, or -1 after the error was shown (a half-written sheet is removed).
int CueWriteSheetForDocument(const CImageDocument* document, const wchar_t* binPath);
// The one-track sheet: FILE "<name>" BINARY, TRACK 01 MODE1/2352, INDEX 01 00:00:00. 0, or -1.
int CueWriteSimpleSheet(const wchar_t* binPath);
// The full sheet of `table`. With `wave` the data file is named WAVE, only the tracks with a non-zero entry in
// `selected` (every track when null) are written, numbered from 1, and their times count the exported audio.
// 0, or -1.
int CueWriteSheet(const CTrackTable* table, const wchar_t* binPath, int wave, const uint8_t* selected = nullptr);
