#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstring>
#include <string>

#include "runtime/strutil.h"

namespace {

TEST(StrUtilSizeText, Normalize) {
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  } const cases[] = {
      {L"  1,024k ", L"1,024K"},
      {L"2 g", L"2 G"},
      {L" 700m - a CD ", L"700M"},
      {L"-5", L""},
      {L"\u00e9k", L"\u00e9K"},
  };
  for (const auto& c : cases) {
    CWideString s(c.in);
    EXPECT_EQ(SizeTextNormalize(s), 1);
    EXPECT_STREQ(s.c_str(), c.out) << c.in;
  }
}

TEST(StrUtilSizeText, IsValid) {
  struct Case {
    const wchar_t* text;
    int valid;
  } const cases[] = {
      {L"1,024K", 1}, {L"2 G", 1},  {L"650", 1},   {L"4,700M", 1}, {L"1 0 0", 1},
      {L"10KB", 0},   {L"K", 0},    {L"1,024,", 0}, {L"", 0},       {L"1K2", 0},
      {L"12X", 0},    {L" , K", 0}, {L"1.5G", 0},  {L"-1", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(SizeTextIsValid(c.text), c.valid) << c.text;
  EXPECT_EQ(SizeTextIsValid(nullptr), 0);
}

TEST(StrUtilSizeText, ParseAndRefuseOverflow) {
  struct Case {
    const wchar_t* text;
    int ok;
    uint64_t value;
  } const cases[] = {
      {L"1,024K", 1, 1048576},
      {L"2 G", 1, 2147483648ull},
      {L"650", 1, 650},
      {L"700M", 1, 700ull << 20},
      {L"18446744073709551615", 1, UINT64_MAX},
      {L"17179869183G", 1, 17179869183ull << 30},
      {L"18446744073709551616", 0, 0},  // one above the 64-bit range
      {L"99999999999999999999999", 0, 0},
      {L"17179869184G", 0, 0},  // 2^34 × 2^30
      {L"36028797018963968M", 0, 0},
      {L"", 0, 0},
      {L"K", 0, 0},
  };
  for (const auto& c : cases) {
    uint64_t value = 12345;
    EXPECT_EQ(SizeTextParse(c.text, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(StrUtilCase, AsciiOnly) {
  wchar_t text[] = L"Caf\u00e9 \u00c9t\u00e9 xYz";
  EXPECT_STREQ(WcsToUpperAscii(text), L"CAF\u00e9 \u00c9T\u00e9 XYZ");
  EXPECT_STREQ(WcsToLowerAscii(text), L"caf\u00e9 \u00c9t\u00e9 xyz");
  EXPECT_EQ(WcsToUpperAscii(nullptr), nullptr);

  // UTF-8 bytes above 0x7F are never letters to the locale's byte table, so they stay intact.
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  char bytes[] = "ABC D\xc3\x89" "F\xff";
  EXPECT_STREQ(StrToLowerInPlace(bytes), "abc d\xc3\x89" "f\xff");
  std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(StrUtilNumbers, WcsToIntClampsToInt32) {
  struct Case {
    const wchar_t* text;
    int32_t value;
  } const cases[] = {
      {L"42", 42},
      {L"-7", -7},
      {L"  12abc", 12},
      {L"abc", 0},
      {L"2147483647", INT32_MAX},
      {L"2147483648", INT32_MAX},
      {L"99999999999999999999", INT32_MAX},
      {L"-2147483649", INT32_MIN},
      {L"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(WcsToInt(c.text), c.value) << c.text;
  EXPECT_EQ(WcsToInt(nullptr), 0);
}

TEST(StrUtilNumbers, FormatIntInAnyBase) {
  struct Case {
    uint32_t value;
    int base;
    const char* text;
  } const cases[] = {
      {255, 16, "ff"},
      {0xFFFFFFFFu, 10, "-1"},
      {0xFFFFFFFFu, 16, "ffffffff"},
      {0x80000000u, 10, "-2147483648"},
      {0x7FFFFFFFu, 10, "2147483647"},
      {0, 2, "0"},
      {0xFFFFFFFFu, 2, "11111111111111111111111111111111"},
      {35, 36, "z"},
      {1295, 36, "zz"},
      {5, 1, ""},
      {5, 37, ""},
  };
  for (const auto& c : cases) {
    char narrow[34];
    std::memset(narrow, 'x', sizeof narrow);
    EXPECT_STREQ(StrFormatInt(c.value, narrow, c.base), c.text) << c.value << " base " << c.base;
    wchar_t wide[34];
    WcsFormatInt(c.value, wide, c.base);
    EXPECT_EQ(std::wstring(wide), std::wstring(c.text, c.text + std::strlen(c.text)));
  }
}

TEST(StrUtilNumbers, RotateLeft) {
  EXPECT_EQ(BitsRotateLeft32(0x80000001u, 1), 3u);
  EXPECT_EQ(BitsRotateLeft32(0x12345678u, 0), 0x12345678u);
  EXPECT_EQ(BitsRotateLeft32(0x12345678u, 32), 0x12345678u);
  EXPECT_EQ(BitsRotateLeft32(0x12345678u, 36), 0x23456781u);
  EXPECT_EQ(BitsRotateLeft32(0x12345678u, 8), 0x34567812u);
}

TEST(StrUtilText, MultiByteToWideInPlace) {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  wchar_t buffer[8] = {};
  std::strcpy(reinterpret_cast<char*>(buffer), "h\xc3\xa9llo \xe6\x97\xa5");
  EXPECT_EQ(TextMultiByteToWideInPlace(buffer, 8), 8);
  EXPECT_STREQ(buffer, L"h\u00e9llo \u65e5");

  // Eight characters do not fit beside the NUL: refused, not cut.
  std::memset(buffer, 0, sizeof buffer);
  std::strcpy(reinterpret_cast<char*>(buffer), "abcdefgh");
  EXPECT_EQ(TextMultiByteToWideInPlace(buffer, 8), -1);
  EXPECT_STREQ(buffer, L"");
  std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(StrUtilGuid, FieldsInDiskOrder) {
  // The EFI system partition type as stored in a GPT entry.
  const uint8_t esp[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                           0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
  EXPECT_STREQ(GuidGetTextBuffer(esp), L"c12a7328-f81f-11d2-ba4b-00a0c93ec93b");
  const uint8_t zero[16] = {};
  EXPECT_STREQ(FormatGuid(zero), L"00000000-0000-0000-0000-000000000000");
}

TEST(StrUtilThread, StartsAndReportsAnId) {
  std::atomic<int> ran{0};
  auto body = [](void* arg) -> void* {
    static_cast<std::atomic<int>*>(arg)->store(1);
    return nullptr;
  };
  const pthread_t id = SysStartThread(&ran, body);
  ASSERT_NE(id, pthread_t{});
  ASSERT_EQ(pthread_join(id, nullptr), 0);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(SysStartThread(&ran, nullptr), pthread_t{});
}

}  // namespace
