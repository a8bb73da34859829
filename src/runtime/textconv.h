// Text conversion between the system's wide text (UTF-32 wchar_t) and the encodings met on disc and on the
// platform: the locale's multibyte text (UTF-8 once start-up has selected the locale), UTF-16 as stored by
// Joliet, UDF, NTFS and HFS+ (surrogate pairs in both directions), and byte-swapped 16-bit text of big-endian
// formats.
//
// Every conversion NUL-terminates its output, also when it fails (the output is then ""). A conversion that
// cannot represent a character, or whose result does not fit, fails as a whole: a name is never cut short.
// Source and destination may be the same buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// Passed as a capacity: the caller guarantees the room stated for the function.
inline constexpr size_t kTextUnbounded = SIZE_MAX;

// Converts `count` characters of `text` (-1: up to its NUL; a NUL met earlier ends the text) to the locale's
// multibyte text. Without a capacity, `dest` must hold count × MB_CUR_MAX + 1 bytes; with one, a result that
// does not fit with its NUL fails. Returns the bytes written before the NUL, or -1.
int32_t TextWideToMultiByte(const wchar_t* text, int32_t count, char* dest, size_t destBytes = kTextUnbounded);
// Converts `length` bytes of multibyte `text` (-1: up to its NUL) to wide text. Without a capacity, `dest`
// must hold length + 1 characters; with one (in characters), a result that does not fit fails. An invalid or
// incomplete multibyte sequence fails. Returns the characters written before the NUL, or -1.
int32_t TextMultiByteToWide(const char* text, int32_t length, wchar_t* dest, size_t destChars = kTextUnbounded);

// A new block (freed with MemFree) holding the multibyte form of `text`; null for null, on a failed conversion
// or when memory runs out.
char* TextWideToMultiByteDup(const wchar_t* text);
// A new block (freed with MemFree) holding the wide form of multibyte `text`; null for null, on a failed
// conversion or when memory runs out.
wchar_t* TextMultiByteToWideDup(const char* text);
// Decodes n bytes of the locale's multibyte text into `out` (room for n + 1 characters), never failing: a
// byte that starts no character becomes U+FFFD and decoding goes on after it. Returns the characters written
// (NUL-terminated). For text the user typed, where showing something beats refusing.
size_t TextMultiByteToWideLenient(const char* bytes, size_t n, wchar_t* out);

// Converts `count` UTF-16 units (-1: up to the first 0 unit; a 0 unit met earlier ends the text) to wide text.
// A high surrogate followed by a low one gives one character; an unpaired surrogate is kept as its unit value.
// Without a capacity, `dest` must hold count + 1 characters. Returns the characters written, or -1 when a
// capacity is given and the result does not fit.
int32_t TextUtf16ToWide(const uint16_t* units, int32_t count, wchar_t* dest, size_t destChars = kTextUnbounded);
// Converts `count` characters (-1: up to the NUL) to UTF-16 units followed by a 0 unit. Characters above
// U+FFFF become surrogate pairs; values beyond U+10FFFF become U+FFFD. Without a capacity, `dest` must hold
// 2 × count + 1 units. Returns the units written before the 0 unit, or -1 when a capacity is given and the
// result does not fit.
int32_t TextWideToUtf16(const wchar_t* text, int32_t count, uint16_t* dest, size_t destUnits = kTextUnbounded);

// Copies `bytes` bytes as 16-bit units with their two bytes exchanged; an odd last byte is copied as it is.
// `dest` may equal `source` (in place); otherwise the two must not overlap. Copies plainly while the
// byte-order flag is set.
void MemCopySwap16(void* dest, const void* source, size_t bytes);
// Sets the process-wide byte-order flag: 1 = the 16-bit data is already in host order, copy without swapping.
void MemCopySwap16SetPlain(int plain);
int MemCopySwap16GetPlain();

// Units before the first 0 unit; 0 for null.
int32_t TextUtf16Length(const uint16_t* units);
// Compares unit by unit as unsigned numbers: -1, 0 or 1. Null sorts before any text; a prefix sorts first.
int TextUtf16Compare(const uint16_t* a, const uint16_t* b);
