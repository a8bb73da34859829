#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/memory.h"
#include "runtime/textconv.h"

namespace {

using Units = std::vector<uint16_t>;

// Runs a test in the given LC_CTYPE locale and puts the previous one back afterwards.
class LocaleScope {
 public:
  explicit LocaleScope(const char* name) {
    const char* old = std::setlocale(LC_CTYPE, nullptr);
    saved_ = old != nullptr ? old : "C";
    ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~LocaleScope() { std::setlocale(LC_CTYPE, saved_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = false;
};

class TextConvUtf8 : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(locale_.ok()) << "C.UTF-8 locale missing"; }
  LocaleScope locale_{"C.UTF-8"};
};

TEST(TextConvUtf16, WideToUtf16AndBack) {
  struct Case {
    const wchar_t* wide;
    Units units;
  } const cases[] = {
      {L"", {}},
      {L"Abc", {0x41, 0x62, 0x63}},
      {L"\u00e9t\u00e9", {0xE9, 0x74, 0xE9}},
      {L"\U0001F600", {0xD83D, 0xDE00}},
      {L"a\U00010000z\U0010FFFF", {0x61, 0xD800, 0xDC00, 0x7A, 0xDBFF, 0xDFFF}},
      {L"\u8000\uFFFF", {0x8000, 0xFFFF}},
  };
  for (const auto& c : cases) {
    uint16_t units[32];
    const int32_t n = TextWideToUtf16(c.wide, -1, units);
    ASSERT_EQ(n, static_cast<int32_t>(c.units.size())) << "case " << &c - cases;
    EXPECT_EQ(Units(units, units + n), c.units);
    EXPECT_EQ(units[n], 0);

    wchar_t back[32];
    EXPECT_EQ(TextUtf16ToWide(units, -1, back), static_cast<int32_t>(std::wcslen(c.wide)));
    EXPECT_STREQ(back, c.wide);
  }
}

TEST(TextConvUtf16, CountsZeroUnitsAndUnpairedSurrogates) {
  wchar_t out[16];
  // An explicit count ends early; a 0 unit inside the count ends the text too.
  const uint16_t text[] = {0x68, 0x69, 0x21, 0, 0x7A};
  EXPECT_EQ(TextUtf16ToWide(text, 2, out), 2);
  EXPECT_STREQ(out, L"hi");
  EXPECT_EQ(TextUtf16ToWide(text, 5, out), 3);
  EXPECT_STREQ(out, L"hi!");
  EXPECT_EQ(TextUtf16ToWide(text, 0, out), 0);
  EXPECT_STREQ(out, L"");

  // Surrogates that do not form a pair stay as they were; a pair cut by the count is not combined.
  const uint16_t lone[] = {0xDC00, 0x41, 0xD83D, 0};
  EXPECT_EQ(TextUtf16ToWide(lone, -1, out), 3);
  EXPECT_EQ(std::wstring(out), (std::wstring{wchar_t(0xDC00), L'A', wchar_t(0xD83D)}));
  const uint16_t pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(TextUtf16ToWide(pair, 1, out), 1);
  EXPECT_EQ(out[0], wchar_t(0xD83D));

  // Values beyond Unicode cannot be written as UTF-16.
  uint16_t units[8];
  const wchar_t big[] = {wchar_t(0x110000), L'x', 0};
  EXPECT_EQ(TextWideToUtf16(big, -1, units), 2);
  EXPECT_EQ(units[0], 0xFFFD);
  EXPECT_EQ(TextWideToUtf16(L"abc", 2, units), 2);
  EXPECT_EQ(units[2], 0);
}

TEST(TextConvUtf16, CapacityRefusesInsteadOfCutting) {
  uint16_t units[3];
  EXPECT_EQ(TextWideToUtf16(L"ab", -1, units, 3), 2);
  EXPECT_EQ(TextWideToUtf16(L"a\U0001F600", -1, units, 3), -1);  // the pair needs 2 + 1 + NUL
  EXPECT_EQ(units[0], 0);
  wchar_t wide[3];
  const uint16_t text[] = {0x61, 0x62, 0x63, 0};
  EXPECT_EQ(TextUtf16ToWide(text, -1, wide, 3), -1);
  EXPECT_STREQ(wide, L"");
  EXPECT_EQ(TextUtf16ToWide(text, 2, wide, 3), 2);
}

TEST(TextConvUtf16, ConvertsInPlace) {
  // A UTF-16 name read into a buffer that then receives its wide form (the output grows under the input).
  union {
    uint16_t units[16];
    wchar_t wide[8];
  } buffer{};
  const Units name = {0x4E, 0xE9, 0xD83D, 0xDE00, 0x6F};
  std::memcpy(buffer.units, name.data(), name.size() * 2);
  EXPECT_EQ(TextUtf16ToWide(buffer.units, -1, buffer.wide), 4);
  EXPECT_STREQ(buffer.wide, L"N\u00e9\U0001F600o");
}

TEST(TextConvUtf16, ByteSwappedRoundTrip) {
  // Big-endian UTF-16 as stored by HFS+: convert, swap to disk order, swap back, convert back.
  const wchar_t* name = L"D\u00e9j\u00e0 \U0001F600";
  uint16_t units[16];
  const int32_t n = TextWideToUtf16(name, -1, units);
  ASSERT_EQ(n, 7);
  uint8_t disk[14];
  MemCopySwap16(disk, units, 14);
  EXPECT_EQ(disk[0], 0x00);
  EXPECT_EQ(disk[1], 0x44);
  EXPECT_EQ(disk[10], 0xD8);
  EXPECT_EQ(disk[11], 0x3D);
  uint16_t host[8] = {};
  MemCopySwap16(host, disk, 14);
  wchar_t back[16];
  TextUtf16ToWide(host, n, back);
  EXPECT_STREQ(back, name);
}

TEST(TextConvUtf16, SwapOddLengthInPlaceAndPlainFlag) {
  uint8_t bytes[] = {0x12, 0x34, 0x56};
  MemCopySwap16(bytes, bytes, 3);
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[1], 0x12);
  EXPECT_EQ(bytes[2], 0x56);

  ASSERT_EQ(MemCopySwap16GetPlain(), 0);
  MemCopySwap16SetPlain(1);
  uint8_t out[3] = {};
  MemCopySwap16(out, bytes, 3);
  MemCopySwap16SetPlain(0);
  EXPECT_EQ(out[0], 0x34);
  EXPECT_EQ(out[1], 0x12);
  EXPECT_EQ(out[2], 0x56);
}

TEST(TextConvUtf16, LengthAndCompare) {
  const uint16_t empty[] = {0};
  const uint16_t a[] = {0x61, 0};
  const uint16_t ab[] = {0x61, 0x62, 0};
  const uint16_t z[] = {0x7A, 0};
  const uint16_t eAcute[] = {0xE9, 0};
  const uint16_t high[] = {0xD83D, 0};
  EXPECT_EQ(TextUtf16Length(nullptr), 0);
  EXPECT_EQ(TextUtf16Length(empty), 0);
  EXPECT_EQ(TextUtf16Length(ab), 2);

  struct Case {
    const uint16_t* x;
    const uint16_t* y;
    int result;
  } const cases[] = {
      {nullptr, nullptr, 0}, {nullptr, empty, -1}, {empty, nullptr, 1}, {a, ab, -1},   {ab, a, 1},
      {ab, ab, 0},           {eAcute, z, 1},       {z, eAcute, -1},     {high, eAcute, 1},  // unsigned units
  };
  for (const auto& c : cases) EXPECT_EQ(TextUtf16Compare(c.x, c.y), c.result) << "case " << &c - cases;
}

TEST_F(TextConvUtf8, NonAsciiRoundTripThroughMultiByte) {
  const wchar_t* wide = L"Gr\u00fc\u00dfe/\u65e5\u672c\u8a9e/\U0001F600.iso";
  const char* utf8 = "Gr\xc3\xbc\xc3\x9f" "e/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e/\xf0\x9f\x98\x80.iso";
  std::vector<char> mb(std::wcslen(wide) * MB_CUR_MAX + 1);
  const int32_t bytes = TextWideToMultiByte(wide, -1, mb.data());
  EXPECT_EQ(bytes, static_cast<int32_t>(std::strlen(utf8)));
  EXPECT_STREQ(mb.data(), utf8);

  wchar_t back[64];
  EXPECT_EQ(TextMultiByteToWide(utf8, -1, back), static_cast<int32_t>(std::wcslen(wide)));
  EXPECT_STREQ(back, wide);

  char* dup = TextWideToMultiByteDup(wide);
  ASSERT_NE(dup, nullptr);
  EXPECT_STREQ(dup, utf8);
  wchar_t* wdup = TextMultiByteToWideDup(dup);
  ASSERT_NE(wdup, nullptr);
  EXPECT_STREQ(wdup, wide);
  MemFree(dup);
  MemFree(wdup);
  EXPECT_EQ(TextWideToMultiByteDup(nullptr), nullptr);
  EXPECT_EQ(TextMultiByteToWideDup(nullptr), nullptr);
}

TEST_F(TextConvUtf8, CountsAreCharactersAndBytesOfTheSource) {
  char mb[32];
  // Two characters of three bytes each: the count limits characters, not output bytes.
  EXPECT_EQ(TextWideToMultiByte(L"\u65e5\u672c\u8a9e", 2, mb), 6);
  EXPECT_STREQ(mb, "\xe6\x97\xa5\xe6\x9c\xac");
  wchar_t wide[8];
  EXPECT_EQ(TextMultiByteToWide("\xe6\x97\xa5\xe6\x9c\xac", 3, wide), 1);
  EXPECT_STREQ(wide, L"\u65e5");
  EXPECT_EQ(TextWideToMultiByte(L"", -1, mb), 0);
  EXPECT_STREQ(mb, "");
}

TEST_F(TextConvUtf8, FailuresLeaveAnEmptyTextNeverAPrefix) {
  struct Case {
    const char* what;
    const char* text;
    int32_t length;
  } const mbCases[] = {
      {"invalid byte", "ab\xff" "cd", -1},
      {"text ends inside a character", "ab\xe6\x97", -1},
      {"length cuts a character", "\xe6\x97\xa5", 2},
  };
  for (const auto& c : mbCases) {
    wchar_t out[8] = {L'?', L'?'};
    EXPECT_EQ(TextMultiByteToWide(c.text, c.length, out), -1) << c.what;
    EXPECT_STREQ(out, L"") << c.what;
  }
  EXPECT_EQ(TextMultiByteToWideDup("ok\xff"), nullptr);

  char out[16];
  std::memset(out, '?', sizeof out);
  const wchar_t surrogate[] = {L'a', wchar_t(0xD800), 0};
  EXPECT_EQ(TextWideToMultiByte(surrogate, -1, out), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(TextWideToMultiByteDup(surrogate), nullptr);

  // "é" needs 3 bytes with its NUL: a 2-byte destination must refuse rather than hold "" as if it were empty.
  std::memset(out, '?', sizeof out);
  EXPECT_EQ(TextWideToMultiByte(L"x\u00e9", -1, out, 3), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(TextWideToMultiByte(L"x\u00e9", -1, out, 4), 3);
  wchar_t wide[3];
  EXPECT_EQ(TextMultiByteToWide("abc", -1, wide, 3), -1);
  EXPECT_STREQ(wide, L"");
}

TEST_F(TextConvUtf8, ConvertsInPlace) {
  // Multibyte text held in the same buffer that receives the wide form, and back.
  union {
    char bytes[64];
    wchar_t wide[16];
  } buffer{};
  std::strcpy(buffer.bytes, "caf\xc3\xa9 \xe6\x97\xa5");
  EXPECT_EQ(TextMultiByteToWide(buffer.bytes, -1, buffer.wide), 6);
  EXPECT_STREQ(buffer.wide, L"caf\u00e9 \u65e5");
  EXPECT_EQ(TextWideToMultiByte(buffer.wide, -1, buffer.bytes, sizeof buffer.bytes), 9);
  EXPECT_STREQ(buffer.bytes, "caf\xc3\xa9 \xe6\x97\xa5");
}

TEST(TextConvCLocale, NonAsciiFailsAsciiPasses) {
  LocaleScope c("C");
  ASSERT_TRUE(c.ok());
  char out[16];
  EXPECT_EQ(TextWideToMultiByte(L"plain.iso", -1, out), 9);
  EXPECT_STREQ(out, "plain.iso");
  EXPECT_EQ(TextWideToMultiByte(L"caf\u00e9", -1, out), -1);
  EXPECT_STREQ(out, "");
}

}  // namespace
