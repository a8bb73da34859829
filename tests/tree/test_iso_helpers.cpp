#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

#include "image/document.h"
#include "session/document.h"
#include "tree/iso_helpers.h"

namespace {

// Runs a test body in another time zone and restores the previous one.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (hadOld_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

TEST(IsoByteOrder, PutAndGetOnUnalignedBytes) {
  uint8_t buffer[12] = {};
  PutBothEndian32(buffer + 1, 0x0A0B0C0D);
  const uint8_t both32[] = {0x0D, 0x0C, 0x0B, 0x0A, 0x0A, 0x0B, 0x0C, 0x0D};
  EXPECT_EQ(std::memcmp(buffer + 1, both32, 8), 0);
  EXPECT_EQ(GetBothEndian32(buffer + 1), 0x0A0B0C0Du);
  EXPECT_EQ(GetBigEndian32(buffer + 5), 0x0A0B0C0Du);
  EXPECT_TRUE(BothEndian32Matches(buffer + 1));
  buffer[8] ^= 1;
  EXPECT_FALSE(BothEndian32Matches(buffer + 1));

  PutBothEndian16(buffer + 3, 0x1234);
  const uint8_t both16[] = {0x34, 0x12, 0x12, 0x34};
  EXPECT_EQ(std::memcmp(buffer + 3, both16, 4), 0);
  EXPECT_EQ(GetBothEndian16(buffer + 3), 0x1234);
  EXPECT_EQ(GetBigEndian16(buffer + 5), 0x1234);
  EXPECT_TRUE(BothEndian16Matches(buffer + 3));
  PutLittleEndian32(buffer, 0xFFFEFDFC);
  EXPECT_EQ(GetLittleEndian32(buffer), 0xFFFEFDFCu);
  EXPECT_EQ(GetLittleEndian16(buffer + 2), 0xFFFE);
  EXPECT_EQ(GetByte(buffer + 3), 0xFF);
}

TEST(IsoDates, RecordDateDecodesWithItsOwnOffset) {
  // 2024-03-05 14:07:09 as recorded; the machine's own zone must not matter.
  ScopedTimeZone zone(kNewYork);
  // The listing shows the instant in the viewer's (New York's) local time, as extraction sets it.
  const struct {
    int8_t offset;
    int64_t expected;
    const wchar_t* listed;
  } cases[] = {
      {8, 1709647629 - 7200, L"2024-03-05 07:07"},     // recorded at UTC+2
      {-20, 1709647629 + 18000, L"2024-03-05 14:07"},  // recorded at UTC-5
      {0, 1709647629, L"2024-03-05 09:07"},
      {100, 1709647629, L"2024-03-05 09:07"},          // impossible offset: ignored
  };
  for (const auto& c : cases) {
    const uint8_t date[7] = {124, 3, 5, 14, 7, 9, static_cast<uint8_t>(c.offset)};
    EXPECT_EQ(IsoDecodeRecordDate(date), c.expected) << int{c.offset};
    EXPECT_STREQ(IsoFormatRecordDate(date), c.listed) << int{c.offset};
  }
  const uint8_t broken[][7] = {{0, 0, 0, 0, 0, 0, 0}, {124, 13, 1, 0, 0, 0, 0}, {124, 1, 1, 24, 0, 0, 0},
                               {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}};
  for (const auto& date : broken) {
    EXPECT_EQ(IsoDecodeRecordDate(date), 0);
    // No date: the listing shows the decoded value in the columns' own width.
    EXPECT_STREQ(IsoFormatRecordDate(date), L"1969-12-31 19:00");
  }
}

TEST(IsoDates, RecordDateRoundTripAcrossDaylightSaving) {
  ScopedTimeZone zone(kBerlin);
  const struct {
    int64_t time;
    uint8_t hour;
    int8_t offset;
  } cases[] = {
      {1719835200, 14, 8},  // 2024-07-01 12:00 UTC, summer time
      {1704110400, 13, 4},  // 2024-01-01 12:00 UTC, winter time
  };
  for (const auto& c : cases) {
    uint8_t date[7];
    IsoEncodeRecordDate(date, c.time);
    EXPECT_EQ(date[3], c.hour);
    EXPECT_EQ(static_cast<int8_t>(date[6]), c.offset);
    EXPECT_EQ(IsoDecodeRecordDate(date), c.time);
    FileTimeFormat(FileTimeFromUnix(c.time), date);
    EXPECT_EQ(IsoDecodeRecordDate(date), c.time);
  }
  // Years the one-byte field cannot hold are clamped, not wrapped.
  uint8_t date[7];
  IsoEncodeRecordDate(date, 7258118400);  // 2200-01-01
  EXPECT_EQ(date[0], 255);
  EXPECT_EQ(date[1], 12);
  IsoEncodeRecordDate(date, -5364662400);  // 1800-01-01
  EXPECT_EQ(date[0], 0);
  EXPECT_EQ(date[1], 1);
}

TEST(IsoDates, VolumeDates) {
  ScopedTimeZone zone(kBerlin);
  uint8_t date[17];
  IsoFormatVolumeDate(1719835200, date);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(date), 16), "2024070114000000");
  EXPECT_EQ(date[16], 8);
  EXPECT_EQ(IsoParseVolumeDate(date), 1719835200);

  const struct {
    const char* text;
    int8_t offset;
    int64_t expected;
  } cases[] = {
      {"0000000000000000", 0, 0},
      {"2024030514071500", 4, 1709647635 - 3600},
      {"2024030514071500", -20, 1709647635 + 18000},
      {"20240305 4071500", 0, 0},
      {"0000030514071500", 0, 0},
  };
  for (const auto& c : cases) {
    std::memcpy(date, c.text, 16);
    date[16] = static_cast<uint8_t>(c.offset);
    EXPECT_EQ(IsoParseVolumeDate(date), c.expected) << c.text;
  }
}

TEST(IsoDates, FileTimeRoundTrip) {
  EXPECT_EQ(FileTimeFromUnix(0), 116444736000000000);
  for (int64_t t : {int64_t{0}, int64_t{1709647629}, int64_t{-1}, int64_t{-11644473600}, int64_t{4102444800},
                    int64_t{253402300799}}) {
    EXPECT_EQ(FileTimeToUnix(FileTimeFromUnix(t)), t) << t;
  }
  EXPECT_EQ(FileTimeToUnix(116444736000000000 + 9999999), 0);
  EXPECT_EQ(FileTimeToUnix(116444736000000000 - 1), -1);
}

TEST(IsoDates, FixedTime) {
  CImageDocument* document = ImageNew();
  document->fixedTime = 12345;
  EXPECT_EQ(ImageGetFixedTime(document), 12345);
  document->fixedTime = 0;
  const int64_t before = std::time(nullptr);
  const int64_t now = ImageGetFixedTime(document);
  EXPECT_GE(now, before);
  EXPECT_LE(now, std::time(nullptr));
  ImageClose(document);
  wchar_t text[8];
  EXPECT_STREQ(IsoFormatRecordDateText(text, 8, 2024, 3, 5, 14, 7, 0), L"");  // no room: empty, never unterminated
}

// Listing dates are written without the formatter where they fit its usual shape; every shape still reads as the
// formatter would write it.
TEST(IsoDates, RecordDateTextMatchesTheFormatter) {
  struct Case {
    int year, month, day, hour, minute;
  };
  for (const Case& c : {Case{2024, 3, 5, 14, 7}, Case{1900, 1, 1, 0, 0}, Case{2155, 12, 31, 23, 59},
                        Case{1000, 10, 10, 10, 10}, Case{9999, 9, 9, 9, 9}, Case{999, 1, 2, 3, 4},
                        Case{12345, 1, 2, 3, 4}, Case{1970, 100, 1, 0, 0}, Case{1970, -1, 1, 0, 0}}) {
    wchar_t want[64];
    std::swprintf(want, 64, L"%02d-%02d-%02d %02d:%02d", c.year, c.month, c.day, c.hour, c.minute);
    wchar_t got[64];
    EXPECT_STREQ(IsoFormatRecordDateText(got, 64, c.year, c.month, c.day, c.hour, c.minute, 0), want) << want;
  }
  wchar_t exact[17];
  EXPECT_STREQ(IsoFormatRecordDateText(exact, 17, 2024, 3, 5, 14, 7, 0), L"2024-03-05 14:07");
  wchar_t short16[16];
  EXPECT_STREQ(IsoFormatRecordDateText(short16, 16, 2024, 3, 5, 14, 7, 0), L"");
}

TEST(IsoHelpers, TextMemoryAndPaths) {
  char narrow[] = "VOLUME   ";
  EXPECT_EQ(StrTrimTrailingSpaces(narrow), 6);
  EXPECT_STREQ(narrow, "VOLUME");
  wchar_t wide[] = L"  A B  ";
  EXPECT_EQ(WstrTrimTrailingSpaces(wide), 5);
  EXPECT_STREQ(wide, L"  A B");

  char copy[8];
  std::memset(copy, 'x', sizeof copy);
  EXPECT_EQ(CopyTextTruncated(copy, "abc", 5), 3u);
  EXPECT_EQ(std::string(copy, 5), "abcxx");  // no terminator written
  EXPECT_EQ(CopyTextTruncated(copy, "abcdef", 2), 2u);

  const uint8_t zeros[5] = {};
  const uint8_t late[5] = {0, 0, 0, 0, 1};
  EXPECT_EQ(MemIsAllZero(zeros, 5), 1);
  EXPECT_EQ(MemIsAllZero(late, 5), 0);
  EXPECT_EQ(MemIsAllZero(late, 4), 1);

  EXPECT_EQ(PathIsDevice(L"/dev/sr0"), 1);
  EXPECT_EQ(PathIsDevice(L"/home/u/dev/x.iso"), 0);
  struct stat record {};
  EXPECT_EQ(PathStat(L"" KESTRANE_SOURCE_DIR "/CMakeLists.txt", &record), 0);
  EXPECT_GT(record.st_size, 0);
  EXPECT_EQ(PathStat(L"/nonexistent/kestrane/file", &record), -1);
}

}  // namespace
