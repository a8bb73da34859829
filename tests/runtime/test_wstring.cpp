#include <gtest/gtest.h>

#include "runtime/wstring.h"

namespace {

int32_t Refs(const CWideString& s) { return WstrHeader(s)->refs; }

TEST(WideString, CopiesShareUntilOneChanges) {
  CWideString a(L"alpha");
  CWideString b(a);
  EXPECT_EQ(a.m_chars, b.m_chars);
  EXPECT_EQ(Refs(a), 2);
  WstrAppendChar(b, L'!');
  EXPECT_NE(a.m_chars, b.m_chars);
  EXPECT_STREQ(a.c_str(), L"alpha");
  EXPECT_STREQ(b.c_str(), L"alpha!");
  EXPECT_EQ(Refs(a), 1);
}

TEST(WideString, EmptyValueIsNeverCounted) {
  CWideString e;
  CWideString copy(e);
  CWideString assigned;
  assigned = e;
  EXPECT_EQ(Refs(e), -1);
  EXPECT_EQ(e.m_chars, copy.m_chars);
  EXPECT_EQ(WstrGetLength(copy), 0);
  CWideString x(L"text");
  x = L"";
  EXPECT_EQ(WstrGetLength(x), 0);
  EXPECT_STREQ(x.c_str(), L"");
  CWideString y(L"text");
  WstrAssign(y, e);
  EXPECT_EQ(WstrIsEmpty(y), 1);
}

TEST(WideString, LockedBufferIsCopiedNotShared) {
  CWideString a(L"locked");
  WstrLockBuffer(a);
  CWideString b(a);
  EXPECT_NE(a.m_chars, b.m_chars);
  WstrSetAt(b, 0, L'L');
  EXPECT_STREQ(a.c_str(), L"locked");
  EXPECT_STREQ(b.c_str(), L"Locked");
  CWideString c(L"other");
  c = a;  // a locked source is copied too
  EXPECT_NE(c.m_chars, a.m_chars);
  WstrUnlockBuffer(a);
  CWideString d(a);
  EXPECT_EQ(d.m_chars, a.m_chars);
}

TEST(WideString, MidLeftRightClampAndShare) {
  CWideString s(L"abcdef");
  EXPECT_STREQ(WstrMid(s, 2, 3).c_str(), L"cde");
  EXPECT_STREQ(WstrMid(s, 4, 100).c_str(), L"ef");
  EXPECT_STREQ(WstrMid(s, -3, 2).c_str(), L"ab");
  EXPECT_EQ(WstrGetLength(WstrMid(s, 7, 1)), 0);
  {
    CWideString whole = WstrMid(s, 0, 6);
    EXPECT_EQ(whole.m_chars, s.m_chars);
    EXPECT_EQ(Refs(s), 2);
  }
  EXPECT_STREQ(WstrLeft(s, 2).c_str(), L"ab");
  EXPECT_STREQ(WstrRight(s, 2).c_str(), L"ef");
  EXPECT_STREQ(WstrLeft(s, -1).c_str(), L"");
  EXPECT_STREQ(WstrMidToEnd(s, 3).c_str(), L"def");
  EXPECT_STREQ(WstrSpanIncluding(s, L"ba").c_str(), L"ab");
  EXPECT_STREQ(WstrSpanExcluding(s, L"d").c_str(), L"abc");
}

TEST(WideString, SearchClampsStartAndReportsAbsence) {
  CWideString s(L"a/b/c");
  struct Case { int32_t got, want; } cases[] = {
      {WstrFindChar(s, L'/'), 1},           {WstrFindCharFrom(s, L'/', 2), 3},
      {WstrFindCharFrom(s, L'/', -5), 1},   {WstrFindCharFrom(s, L'/', 5), -1},
      {WstrReverseFind(s, L'/'), 3},        {WstrReverseFind(s, L'x'), -1},
      {WstrFind(s, L"b/"), 2},              {WstrFindFrom(s, L"/", -1), 1},
      {WstrFindFrom(s, L"/", 6), -1},       {WstrFindOneOf(s, L"cb"), 2},
      {WstrFindChar(s, 0), -1},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

TEST(WideString, EditingOperations) {
  CWideString s(L"hello world");
  EXPECT_EQ(WstrDelete(s, 5, 100), 11);
  EXPECT_STREQ(s.c_str(), L"hello");
  EXPECT_EQ(WstrDelete(s, 9, 1), 5);
  EXPECT_EQ(WstrInsert(s, 99, L"!"), 6);
  EXPECT_EQ(WstrInsertChar(s, -4, L'>'), 7);
  EXPECT_STREQ(s.c_str(), L">hello!");
  EXPECT_EQ(WstrReplaceChar(s, L'l', L'L'), 2);
  EXPECT_EQ(WstrRemoveChar(s, L'L'), 2);
  EXPECT_STREQ(s.c_str(), L">heo!");
  EXPECT_EQ(WstrReplace(s, L"eo", L"ELLO"), 1);
  EXPECT_STREQ(s.c_str(), L">hELLO!");
  EXPECT_EQ(WstrReplace(s, L"", L"x"), 0);
  // Inserting a string into itself.
  CWideString t(L"ab");
  WstrInsert(t, 1, t.c_str());
  EXPECT_STREQ(t.c_str(), L"aabb");
  WstrAppend(t, t);
  EXPECT_STREQ(t.c_str(), L"aabbaabb");
}

TEST(WideString, ReplaceThatFindsNothingKeepsSharing) {
  CWideString a(L"shared text");
  CWideString b(a);
  EXPECT_EQ(WstrReplace(b, L"absent", L"x"), 0);
  EXPECT_EQ(WstrReplaceChar(b, L'z', L'y'), 0);
  EXPECT_EQ(a.m_chars, b.m_chars);
  EXPECT_EQ(WstrReplace(b, L"text", L"words"), 1);
  EXPECT_STREQ(a.c_str(), L"shared text");
  EXPECT_STREQ(b.c_str(), L"shared words");
}

TEST(WideString, TrimAndCase) {
  CWideString s(L"  \tmiddle \r\n");
  WstrTrimLeft(s);
  WstrTrimRight(s);
  EXPECT_STREQ(s.c_str(), L"middle");
  CWideString c(L"xxabcxx");
  WstrTrimLeftChar(c, L'x');
  WstrTrimRightSet(c, L"cx");
  EXPECT_STREQ(c.c_str(), L"ab");
  CWideString u(L"caf\u00e9 Zz");
  WstrMakeUpper(u);
  EXPECT_STREQ(u.c_str(), L"CAF\u00e9 ZZ");
  WstrMakeLower(u);
  EXPECT_STREQ(u.c_str(), L"caf\u00e9 zz");
  WstrMakeReverse(u);
  EXPECT_STREQ(u.c_str(), L"zz \u00e9fac");
}

TEST(WideString, FormatSizesFromEstimate) {
  CWideString s;
  WstrFormat(s, L"%ls: %ls\r\n", L"first part", L"second part");
  EXPECT_STREQ(s.c_str(), L"first part: second part\r\n");
  CWideString f;
  WstrFormat(f, L"%5.2f", 3.14159);
  EXPECT_STREQ(f.c_str(), L" 3.14");
  EXPECT_EQ(WstrGetCapacity(f), 314);
  CWideString big;
  WstrFormat(big, L"%I64d|%llu|%d", static_cast<long long>(-5000000000LL), 18446744073709551615ULL, 7);
  EXPECT_STREQ(big.c_str(), L"-5000000000|18446744073709551615|7");
  // A long argument is never cut, and a string may be formatted from itself.
  CWideString longText(L'x', 100000);
  CWideString out;
  WstrFormat(out, L"[%ls]", longText.c_str());
  EXPECT_EQ(WstrGetLength(out), 100002);
  WstrFormat(out, L"%ls%ls", out.c_str(), L"!");
  EXPECT_EQ(WstrGetLength(out), 100003);
  CWideString narrow;
  WstrFormat(narrow, L"%s-%*d", "ab", 4, 9);
  EXPECT_STREQ(narrow.c_str(), L"ab-   9");
}

TEST(WideString, BufferAccess) {
  CWideString s(L"abc");
  wchar_t* chars = WstrGetBuffer(s, 10);
  EXPECT_GE(WstrGetCapacity(s), 10);
  wcscpy(chars, L"abcdefg");
  WstrReleaseBuffer(s, -1);
  EXPECT_EQ(WstrGetLength(s), 7);
  WstrReleaseBuffer(s, 3);
  EXPECT_STREQ(s.c_str(), L"abc");
  WstrFreeExtra(s);
  EXPECT_EQ(WstrGetCapacity(s), 3);
  WstrSetLength(s, 1);
  EXPECT_STREQ(s.c_str(), L"a");
}

TEST(WideString, MultibyteConstructionUsesTheLocale) {
  const char* saved = setlocale(LC_CTYPE, nullptr);
  std::string keep = saved ? saved : "C";
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  CWideString s("caf\xc3\xa9/\xc3\xbc.iso");
  EXPECT_STREQ(s.c_str(), L"caf\u00e9/\u00fc.iso");
  CWideString bad("\xff\xfe broken");
  EXPECT_EQ(WstrGetLength(bad), 0);  // never a cut name
  setlocale(LC_CTYPE, keep.c_str());
}

TEST(WideString, ConcatAndCompare) {
  CWideString a(L"ab"), b(L"cd");
  EXPECT_STREQ((a + b).c_str(), L"abcd");
  EXPECT_STREQ((L"x" + a).c_str(), L"xab");
  EXPECT_STREQ((a + L'!').c_str(), L"ab!");
  EXPECT_STREQ(WstrConcatCharFirst(L'<', a).c_str(), L"<ab");
  EXPECT_EQ(WstrGetLength(WstrConcat(CWideString(), CWideString())), 0);
  EXPECT_TRUE(a < b);
  EXPECT_EQ(WstrCompareNoCase(a, L"AB"), 0);
  EXPECT_TRUE(WstrNotEqualsChars(a, L"AB"));
}

}  // namespace
