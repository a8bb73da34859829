// Small routines shared by several layers: the size text of -volsize, ASCII case changes, integer text in any
// base, decimal text to integer, a bit rotation, the text form of a GUID and the start of a thread.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "runtime/wstring.h"

// Prepares a size text in place: blanks trimmed on both sides, cut at the first '-', ASCII letters upper-cased,
// trimmed again. 1 (a string that cannot be copied ends the process in CWideString).
int SizeTextNormalize(CWideString& text);
// 1 when the (normalized) text is digits, blanks and ',' with at least one digit, ending in a digit or in one
// 'K', 'M' or 'G'; else 0.
int SizeTextIsValid(const wchar_t* text);
// Reads a size text: blanks and ',' are skipped, digits build a decimal number, a 'K', 'M' or 'G' ends the text
// and multiplies by 2^10, 2^20 or 2^30. Returns 1 with the value in *value; 0 (and *value 0) when the text
// holds no digit or another character, or when the value does not fit in 64 bits.
int SizeTextParse(const wchar_t* text, uint64_t* value);

// ASCII case changes in place ('a'..'z' / 'A'..'Z' only); the text is returned.
wchar_t* WcsToUpperAscii(wchar_t* text);
wchar_t* WcsToLowerAscii(wchar_t* text);
// Lower-cases in place every byte the locale marks as upper case; the text is returned.
char* StrToLowerInPlace(char* text);

// The decimal number at the start of the text (after blanks), clamped to the int32 range; 0 for none.
int32_t WcsToInt(const wchar_t* text);
// Writes `value` in `base` (2..36, digits 0-9 then a-z) into `buffer`, which must hold 34 characters. In base
// 10 a value with its top bit set is written as the negative int32 it stands for. Another base gives "".
// Returns the buffer.
char* StrFormatInt(uint32_t value, char* buffer, int base);
wchar_t* WcsFormatInt(uint32_t value, wchar_t* buffer, int base);

uint32_t BitsRotateLeft32(uint32_t value, int n);

// Converts the multibyte text held in the bytes of `buffer` (capacity wide characters, so 4 × capacity bytes)
// to wide text in the same buffer. Returns capacity, or -1 when the text cannot be converted or its wide form
// does not fit (the buffer then holds "").
int32_t TextMultiByteToWideInPlace(wchar_t* buffer, int32_t capacity);

// The text form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx of the 16 GUID bytes as stored on disk (first three
// fields little-endian), in a static buffer.
const wchar_t* GuidGetTextBuffer(const uint8_t* guid);
const wchar_t* FormatGuid(const uint8_t* guid);

// Starts `body(argument)` on a new joinable thread. Returns its id, or 0 when the thread could not be started.
pthread_t SysStartThread(void* argument, void* (*body)(void*));
