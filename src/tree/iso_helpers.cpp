#include "tree/iso_helpers.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "image/document.h"
#include "runtime/memory.h"
#include "runtime/paths.h"
#include "runtime/settings.h"
#include "runtime/textconv.h"

// ---- Byte order ----

void PutLittleEndian16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

void PutBigEndian16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

void PutLittleEndian32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutBigEndian32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void PutBothEndian16(uint8_t* p, uint16_t value) {
  PutLittleEndian16(p, value);
  PutBigEndian16(p + 2, value);
}

void PutBothEndian32(uint8_t* p, uint32_t value) {
  PutLittleEndian32(p, value);
  PutBigEndian32(p + 4, value);
}

uint8_t GetByte(const uint8_t* p) { return p[0]; }

uint16_t GetLittleEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetLittleEndian32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint16_t GetBigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t GetBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint16_t GetBothEndian16(const uint8_t* p) { return GetLittleEndian16(p); }
uint32_t GetBothEndian32(const uint8_t* p) { return GetLittleEndian32(p); }

int BothEndian16Matches(const uint8_t* p) { return GetLittleEndian16(p) == GetBigEndian16(p + 2) ? 1 : 0; }
int BothEndian32Matches(const uint8_t* p) { return GetLittleEndian32(p) == GetBigEndian32(p + 4) ? 1 : 0; }

size_t CopyTextTruncated(char* destination, const char* text, size_t n) {
  const size_t count = strnlen(text, n);
  std::memcpy(destination, text, count);
  return count;
}

// ---- Dates and times ----

namespace {

// ECMA-119 allows offsets from -12:00 to +13:00; anything else is a damaged field.
constexpr int kMinGmtOffset = -48;
constexpr int kMaxGmtOffset = 52;

int GmtOffsetUnits(const uint8_t byte) {
  const int units = static_cast<int8_t>(byte);
  return units < kMinGmtOffset || units > kMaxGmtOffset ? 0 : units;
}

// The local time fields of a time, with their offset from GMT in seconds. False when the time cannot be
// broken down.
bool LocalFields(int64_t unixTime, std::tm* fields) {
  const time_t t = static_cast<time_t>(unixTime);
  return localtime_r(&t, fields) != nullptr;
}

int64_t FieldsAsUtc(int year, int month, int day, int hour, int minute, int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  return static_cast<int64_t>(timegm(&fields));
}

}  // namespace

void IsoEncodeRecordDate(uint8_t* date, int64_t unixTime) {
  std::tm fields{};
  if (!LocalFields(unixTime, &fields) && !LocalFields(static_cast<int64_t>(std::time(nullptr)), &fields)) {
    std::memset(date, 0, 7);
    return;
  }
  const int offset = static_cast<int>(fields.tm_gmtoff / 900);
  // The year is one byte counted from 1900: keep the nearest date it can hold.
  if (fields.tm_year < 0) {
    fields = std::tm{};
    fields.tm_mday = 1;
  } else if (fields.tm_year > 255) {
    fields = std::tm{};
    fields.tm_year = 255;
    fields.tm_mon = 11;
    fields.tm_mday = 31;
    fields.tm_hour = 23;
    fields.tm_min = 59;
    fields.tm_sec = 59;
  }
  date[0] = static_cast<uint8_t>(fields.tm_year);
  date[1] = static_cast<uint8_t>(fields.tm_mon + 1);
  date[2] = static_cast<uint8_t>(fields.tm_mday);
  date[3] = static_cast<uint8_t>(fields.tm_hour);
  date[4] = static_cast<uint8_t>(fields.tm_min);
  date[5] = static_cast<uint8_t>(fields.tm_sec > 59 ? 59 : fields.tm_sec);
  date[6] = static_cast<uint8_t>(static_cast<int8_t>(offset));
}

int64_t IsoDecodeRecordDate(const uint8_t* date) {
  const int month = date[1], day = date[2], hour = date[3], minute = date[4], second = date[5];
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return 0;
  return FieldsAsUtc(1900 + date[0], month, day, hour, minute, second) - int64_t{GmtOffsetUnits(date[6])} * 900;
}

void IsoFormatVolumeDate(int64_t unixTime, uint8_t* date) {
  std::tm fields{};
  if (!LocalFields(unixTime, &fields)) {
    std::memset(date, '0', 16);
    date[16] = 0;
    return;
  }
  int year = fields.tm_year + 1900;
  if (year < 0) year = 0;
  if (year > 9999) year = 9999;
  char text[40];
  std::snprintf(text, sizeof text, "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d00", year, fields.tm_mon + 1, fields.tm_mday,
                fields.tm_hour, fields.tm_min, fields.tm_sec > 59 ? 59 : fields.tm_sec);
  std::memcpy(date, text, 16);
  date[16] = static_cast<uint8_t>(static_cast<int8_t>(fields.tm_gmtoff / 900));
}

int64_t IsoParseVolumeDate(const uint8_t* date) {
  int digits[14];
  for (int i = 0; i < 14; ++i) {
    if (date[i] < '0' || date[i] > '9') return 0;
    digits[i] = date[i] - '0';
  }
  const auto number = [&digits](int first, int count) {
    int value = 0;
    for (int i = first; i < first + count; ++i) value = value * 10 + digits[i];
    return value;
  };
  const int year = number(0, 4);
  if (year == 0) return 0;
  return FieldsAsUtc(year, number(4, 2), number(6, 2), number(8, 2), number(10, 2), number(12, 2)) -
         int64_t{GmtOffsetUnits(date[16])} * 900;
}

int64_t TimeGetLocalOffsetAt(int64_t unixTime) {
  std::tm fields{};
  return LocalFields(unixTime, &fields) ? static_cast<int64_t>(fields.tm_gmtoff) : 0;
}

int64_t TimeGetLocalOffset() { return TimeGetLocalOffsetAt(static_cast<int64_t>(std::time(nullptr))); }

namespace {
constexpr int64_t kFileTimeTicksPerSecond = 10'000'000;
constexpr int64_t kFileTimeUnixEpochSeconds = 11'644'473'600;  // 1601-01-01 to 1970-01-01
}  // namespace

int64_t FileTimeFromUnix(int64_t unixTime) {
  int64_t ticks = 0;
  if (__builtin_add_overflow(unixTime, kFileTimeUnixEpochSeconds, &ticks) ||
      __builtin_mul_overflow(ticks, kFileTimeTicksPerSecond, &ticks)) {
    return unixTime < 0 ? INT64_MIN : INT64_MAX;
  }
  return ticks;
}

int64_t FileTimeToUnix(int64_t fileTime) {
  int64_t seconds = fileTime / kFileTimeTicksPerSecond;
  if (fileTime % kFileTimeTicksPerSecond < 0) --seconds;  // round toward the past
  return seconds - kFileTimeUnixEpochSeconds;
}

void FileTimeFormat(int64_t fileTime, uint8_t* date) { IsoEncodeRecordDate(date, FileTimeToUnix(fileTime)); }

int64_t ImageGetFixedTime(const CImageDocument* document) {
  if (document != nullptr && document->fixedTime != 0) return document->fixedTime;
  const uint32_t setting = SettingsGetFixedTime();
  if (setting != 0) return static_cast<int64_t>(setting);
  return static_cast<int64_t>(std::time(nullptr));
}

wchar_t* IsoFormatRecordDateText(wchar_t* destination, size_t capacity, int year, int month, int day, int hour,
                                 int minute, [[maybe_unused]] int second) {
  if (capacity == 0) return destination;
  // A listing formats one date per entry: the usual four-digit year and two-digit fields are written here, the
  // formatter only sees the rest.
  constexpr size_t kLength = 16;  // "yyyy-mm-dd hh:mm"
  const auto twoDigits = [](int v) { return v >= 0 && v <= 99; };
  if (capacity > kLength && year >= 1000 && year <= 9999 && twoDigits(month) && twoDigits(day) && twoDigits(hour) &&
      twoDigits(minute)) {
    wchar_t* p = destination;
    const auto put2 = [&p](int v) {
      *p++ = static_cast<wchar_t>(L'0' + v / 10);
      *p++ = static_cast<wchar_t>(L'0' + v % 10);
    };
    put2(year / 100);
    put2(year % 100);
    *p++ = L'-';
    put2(month);
    *p++ = L'-';
    put2(day);
    *p++ = L' ';
    put2(hour);
    *p++ = L':';
    put2(minute);
    *p = L'\0';
    return destination;
  }
  if (std::swprintf(destination, capacity, L"%02d-%02d-%02d %02d:%02d", year, month, day, hour, minute) < 0)
    destination[0] = L'\0';
  return destination;
}

const wchar_t* IsoFormatRecordDate(const uint8_t* date) {
  thread_local wchar_t text[32];
  // The instant the record means (its GMT offset applied), as the viewer's clock shows it: the time extraction
  // gives the file. Fields that form no date decode to 0.
  std::tm fields{};
  if (!LocalFields(IsoDecodeRecordDate(date), &fields)) fields.tm_year = 70, fields.tm_mday = 1;
  return IsoFormatRecordDateText(text, sizeof text / sizeof text[0], 1900 + fields.tm_year, fields.tm_mon + 1,
                                 fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
}

// ---- Memory, text, paths ----

int MemIsAllZero(const void* buffer, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return 0;
  }
  return 1;
}

int32_t StrTrimTrailingSpaces(char* text) {
  if (text == nullptr) return 0;
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == ' ') --length;
  text[length] = '\0';
  return static_cast<int32_t>(length);
}

int32_t WstrTrimTrailingSpaces(wchar_t* text) {
  if (text == nullptr) return 0;
  size_t length = std::wcslen(text);
  while (length > 0 && text[length - 1] == L' ') --length;
  text[length] = L'\0';
  return static_cast<int32_t>(length);
}

int PathStat(const wchar_t* path, struct stat* record) {
  char* converted = TextWideToMultiByteDup(path);
  if (converted == nullptr) return -1;
  // A second try rides out a file that is being replaced at the moment of the first.
  int result = stat(converted, record);
  if (result != 0) result = stat(converted, record);
  MemFree(converted);
  return result == 0 ? 0 : -1;
}

int PathIsDevice(const wchar_t* path) { return PathIsDeviceName(path); }

