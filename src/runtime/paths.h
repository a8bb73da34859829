// Small operations on wide paths and names: extensions, device paths, file-name checks, heap copies, and the
// size and number texts of listings and progress lines. Paths use '/' as separator; the extension search also
// stops at '\\' and ':' so that names of the other platform's form are handled.
#pragma once

#include <string>

#include <cstdint>

#include "runtime/wstring.h"

// The text after the last '.' of the path (a '.' in a folder name counts too), ASCII letters lower-cased;
// "" when the path holds no '.'.
CWideString PathGetExtension(const wchar_t* path);
// The last '.' of the path, or null.
const wchar_t* PathFindLastDot(const wchar_t* path);
wchar_t* PathFindLastDot(wchar_t* path);
// The path with its extension (the last '.' of the final name and what follows it) replaced by '.' and
// `extension`. A name without extension gets ".extension" when `add` is 1; otherwise the result is "".
CWideString PathChangeExtension(const wchar_t* path, const wchar_t* extension, int add);
// 1 when the path names a device node (starts with "/dev/"), else 0.
int PathIsDeviceName(const wchar_t* path);

// A heap copy of the characters, freed with MemFree; null for null or when memory runs out.
wchar_t* WstrDupChars(const wchar_t* text);
// Replaces every `from` in `text` by `to`, in place.
void WcsReplaceChar(wchar_t* text, wchar_t from, wchar_t to);

// The name with leading and trailing spaces removed (at most 1,024 characters kept), in a static buffer; null
// for an empty name, "." and "..", and, after a message naming the characters a file name cannot hold, for a
// name containing any of \ / : * ? " < > |.
const wchar_t* CheckFileNameChars(const wchar_t* name);

// Decimal text with ',' between groups of three digits, in a static buffer.
const wchar_t* TextFormatThousands(uint64_t value);
// "1.5 MB"-style text in KB below 1 MiB, MB below 1 GiB, GB above; a ".0" is dropped ("2 GB"), and a non-zero
// size that would read "0.0 KB" reads "0.1 KB". One static buffer per unit.
const wchar_t* TextFormatSize(uint64_t bytes);
// As TextFormatSize, but in KB up to 0xFFFFF bytes and in MB above.
const wchar_t* FormatSizeKbMb(uint64_t bytes);

// 0 for the name ".", 1 for "..", -1 for any other name (null included).
int PathDotKind(const wchar_t* name);
// 1 for the characters a local name made from an image name cannot keep: \ * / : < >
int PathIsRefusedNameChar(wchar_t c);
// Makes an image's name safe to create in a local folder: "." becomes "_", ".." "__", and every refused
// character "_". True when anything was changed.
bool PathMakeLocalName(std::wstring* name);
