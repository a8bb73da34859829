// formats/: the descriptors and containers of optical images made by other tools: CUE sheets (read and
// written), CD-TEXT packs, MDS descriptors and NRG images. It uses runtime/, image/ and tree/, and never
// another reader folder; the opening layer (session/) decides when each is tried.
//
// CUE sheets: the text descriptor that lays out the tracks of a raw CD image kept in one or more data files.
// CueParseFile turns a sheet into a new CTrackTable; the TrackLayout routines find and check the descriptor
// (CUE, MDS or NRG) that belongs to an image, for the opening code.
//
// A sheet is untrusted text: every count, time and name is checked, and a sheet that does not make sense fails
// as a whole (null), quietly.
#pragma once

#include <cstdint>

struct CTrackTable;

// Paths of data files and of the sheet itself hold fewer than this many characters.
constexpr int32_t kCuePathChars = 1024;
// A line or token holds at most kCueLineChars - 1 characters; buffers for them hold kCueLineChars.
constexpr int32_t kCueLineChars = 2048;
// A sheet holds 1 to kCueMaxSheetBytes bytes.
constexpr int32_t kCueMaxSheetBytes = 131071;

// Parses the sheet at `path`: a new table owned by the caller (TrackTableFree), or null. A CD-TEXT pack file
// named by the sheet is already split into the texts of the disc and the tracks, each with its multibyte copy.
CTrackTable* CueParseFile(const wchar_t* path);

// The descriptor that belongs to the data file `imagePath`, found by its extension ("bin" -> "cue",
// "mdf" -> "mds"): a new string (MemFree) with the descriptor's path, or null when there is none or its table
// does not describe that data file. An NRG file is its own descriptor: always null.
wchar_t* TrackLayoutOpenForImage(const wchar_t* imagePath);
// Parses `path` as a CUE sheet, then as an MDS descriptor, then as an NRG image: the first table that
// TrackLayoutIsValid accepts (its session count at least 1), or null.
CTrackTable* TrackLayoutOpenByTrial(const wchar_t* path);
// 1 when the table holds 1 to 99 tracks with strictly ascending starts and, when `imagePath` is given, names
// that file as its image data file; else 0.
int TrackLayoutIsValid(const CTrackTable* table, const wchar_t* imagePath);

// A new string (MemFree): the path up to and including its last '.', then `extension` (the whole path then the
// extension when it holds no '.'); null when out of memory.
wchar_t* CueReplaceExtension(const wchar_t* path, const wchar_t* extension);
// Resolves a FILE or CDTEXTFILE name against the table's sheet path into `target` (kCuePathChars characters;
// the table's image data path when null): "*.ext" names the sheet's own name with that extension, an absolute
// name stands as it is, any other name is taken in the sheet's folder. 0 when the name or the result is empty,
// or the result has kCuePathChars characters or more; else 1.
int CueResolvePath(CTrackTable* table, const wchar_t* name, wchar_t* target);
// The whole file in a new zero-filled block (MemFree) of length x 4 + 64 bytes, so that it can be widened in
// place; its byte count in *length. Null when it cannot be opened or read whole, is empty, or is longer than
// kCueMaxSheetBytes.
char* CueReadTextFile(const wchar_t* path, int32_t* length);

// Reads the next line of `text` (`length` characters) from *position into `line` (kCueLineChars): leading
// blanks and line ends skipped, trailing blanks removed, a longer line cut (its rest is the next line). The
// characters stored; 0 at the end of the text.
int32_t CueReadLine(const wchar_t* text, int32_t length, int32_t* position, wchar_t* line);
// Reads the next token of `line` from *position into `token` (kCueLineChars): a quoted token runs to the next
// '"'; an unquoted one ends at a blank and, in colon mode, before a ':' (a ':' first is a token of its own).
// The characters stored; 0 when there is none.
int32_t CueNextToken(const wchar_t* line, int32_t* position, wchar_t* token, int colonMode);
// Reads a time mm:ss:ff from *position into frames of 1/75 s: 1, or 0 when it is malformed (seconds above 59,
// a part or ':' missing). Frames of 75 or more count as 0.
int CueParseTime(const wchar_t* line, int32_t* position, int32_t* frames);
