// Field codecs of ISO 9660 and friends: byte orders on unaligned bytes, the 7-byte directory-record date and
// the 17-byte volume date, FILETIME conversions, the fixed time of new images, the listing date text, and small
// memory, text and path helpers.
//
// Times are 64-bit seconds since 1970 (UTC). A recorded date holds local time fields and the offset from GMT
// in 15-minute units; it is decoded as those fields taken as UTC minus the offset, never with the offset of
// the machine that reads it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>

struct CImageDocument;

// ---- Byte order ----
void PutLittleEndian16(uint8_t* p, uint16_t value);
void PutBigEndian16(uint8_t* p, uint16_t value);
void PutLittleEndian32(uint8_t* p, uint32_t value);
void PutBigEndian32(uint8_t* p, uint32_t value);
// Little-endian then big-endian copy: 4 and 8 bytes.
void PutBothEndian16(uint8_t* p, uint16_t value);
void PutBothEndian32(uint8_t* p, uint32_t value);

uint8_t GetByte(const uint8_t* p);
uint16_t GetLittleEndian16(const uint8_t* p);
uint32_t GetLittleEndian32(const uint8_t* p);
uint16_t GetBigEndian16(const uint8_t* p);
uint32_t GetBigEndian32(const uint8_t* p);
// The little-endian half of a both-endian field.
uint16_t GetBothEndian16(const uint8_t* p);
uint32_t GetBothEndian32(const uint8_t* p);
// 1 when both halves of a both-endian field hold the same value.
int BothEndian16Matches(const uint8_t* p);
int BothEndian32Matches(const uint8_t* p);

// Copies min(n, strlen(text)) bytes, without a terminator; the count copied.
size_t CopyTextTruncated(char* destination, const char* text, size_t n);

// ---- Dates and times ----

// The 7-byte record date of a time: local years since 1900, month, day, hour, minute, second, GMT offset in
// 15-minute units. Times outside 1900..2155 are clamped to that range.
void IsoEncodeRecordDate(uint8_t* date, int64_t unixTime);
// The time of a 7-byte record date; 0 when the fields do not form a date. An offset outside -52..52 is ignored.
int64_t IsoDecodeRecordDate(const uint8_t* date);
// The 17-byte volume date "YYYYMMDDhhmmss00" in local time plus the GMT offset byte (years clamped to 0..9999).
void IsoFormatVolumeDate(int64_t unixTime, uint8_t* date);
// The time of a 17-byte volume date; 0 unless the first 14 bytes are digits and the year is not 0.
int64_t IsoParseVolumeDate(const uint8_t* date);
// Local time minus GMT in seconds, now / at a given time.
int64_t TimeGetLocalOffset();
int64_t TimeGetLocalOffsetAt(int64_t unixTime);

// FILETIME: 100-ns units since 1601.
int64_t FileTimeFromUnix(int64_t unixTime);
int64_t FileTimeToUnix(int64_t fileTime);
// The 7-byte record date of a FILETIME.
void FileTimeFormat(int64_t fileTime, uint8_t* date);

// The time that dates the files of a new image: the document's fixed time when set (the current document when
// null), else the "TimeFixed" setting when non-zero, else now.
int64_t ImageGetFixedTime(const CImageDocument* document);

// Listing text "YYYY-MM-DD hh:mm" of a 7-byte record date: the instant it records, in local time (what
// extraction sets and `ls -l` shows); a thread-local buffer valid until the next call.
const wchar_t* IsoFormatRecordDate(const uint8_t* date);
// Writes "YYYY-MM-DD hh:mm" into `destination` (at least 17 characters with the NUL; `capacity` characters)
// and returns it.
wchar_t* IsoFormatRecordDateText(wchar_t* destination, size_t capacity, int year, int month, int day, int hour,
                                 int minute, int second);

// ---- Memory, text, paths ----

// 1 when all n bytes are zero.
int MemIsAllZero(const void* buffer, size_t n);
// Remove trailing spaces in place; the new length.
int32_t StrTrimTrailingSpaces(char* text);
int32_t WstrTrimTrailingSpaces(wchar_t* text);
// stat() of the path in the locale's multibyte form, tried once more on failure; 0, or -1.
int PathStat(const wchar_t* path, struct stat* record);
// 1 when the path names a device node.
int PathIsDevice(const wchar_t* path);
