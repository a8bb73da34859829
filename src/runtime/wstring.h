// CWideString: the reference-counted, copy-on-write wide string used for every path, name and message.
//
// The object holds one pointer to NUL-terminated UTF-32 characters. Three int32 values stand just before the
// characters: the reference count (-1 = locked, never shared), the length and the capacity. Copies share the
// buffer; the first change of a shared buffer gives the changing string a private copy. Counts are plain
// integers: a string and its copies belong to one thread at a time.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cwchar>

struct CWideStringHeader {
  int32_t refs;      // sharing strings; -1 = locked
  int32_t length;    // characters before the NUL
  int32_t capacity;  // characters the buffer holds, NUL not counted
};

class CWideString {
 public:
  CWideString();                                  // the empty value
  CWideString(const wchar_t* text);               // NOLINT: implicit on purpose, like the literal it copies
  CWideString(const wchar_t* text, int32_t n);    // n characters of text
  CWideString(wchar_t c, int32_t repeat);         // c repeated
  explicit CWideString(const char* multibyte);    // from the locale's multibyte text
  CWideString(const CWideString& other);          // shares the buffer unless it is locked
  CWideString(CWideString&& other) noexcept;
  CWideString& operator=(const CWideString& other);
  CWideString& operator=(CWideString&& other) noexcept;
  CWideString& operator=(const wchar_t* text);
  ~CWideString();

  const wchar_t* c_str() const { return m_chars; }
  operator const wchar_t*() const { return m_chars; }  // NOLINT

  wchar_t* m_chars;  // first character; the header lies just before it
};

CWideStringHeader* WstrHeader(const CWideString& s);

// Construction, destruction and assignment.
void WstrInitEmpty(CWideString& s);
void WstrInitFromChars(CWideString& s, const wchar_t* text);
void WstrInitN(CWideString& s, const wchar_t* text, int32_t n);
void WstrInitRepeat(CWideString& s, wchar_t c, int32_t n);
void WstrInitFromMultiByte(CWideString& s, const char* text);
void WstrInitCopy(CWideString& s, const CWideString& src);
void WstrRelease(CWideString& s);
void WstrAssign(CWideString& s, const CWideString& src);
void WstrAssignChars(CWideString& s, const wchar_t* text);
void WstrSetChars(CWideString& s, const wchar_t* text);
void WstrAssignN(CWideString& s, const wchar_t* text, int32_t n);
void WstrAssignChar(CWideString& s, wchar_t c);
void WstrAssignMultiByte(CWideString& s, const char* text);
void WstrEmpty(CWideString& s);

// Access and search.
int32_t WstrGetLength(const CWideString& s);
int32_t WstrGetCapacity(const CWideString& s);
int WstrIsEmpty(const CWideString& s);
const wchar_t* WstrGetChars(const CWideString& s);
wchar_t WstrGetAt(const CWideString& s, int32_t index);
wchar_t WstrCharAt(const CWideString& s, int32_t index);
int WstrCompare(const CWideString& s, const wchar_t* text);
int WstrCompareNoCase(const CWideString& s, const wchar_t* text);
int WstrEquals(const CWideString& a, const CWideString& b);
int WstrEqualsChars(const CWideString& s, const wchar_t* text);
int WstrNotEqualsChars(const CWideString& s, const wchar_t* text);
int32_t WstrFindChar(const CWideString& s, wchar_t c);
int32_t WstrFindCharFrom(const CWideString& s, wchar_t c, int32_t start);
int32_t WstrReverseFind(const CWideString& s, wchar_t c);
int32_t WstrFind(const CWideString& s, const wchar_t* sub);
int32_t WstrFindFrom(const CWideString& s, const wchar_t* sub, int32_t start);
int32_t WstrFindOneOf(const CWideString& s, const wchar_t* set);

bool operator==(const CWideString& a, const CWideString& b);
bool operator==(const CWideString& a, const wchar_t* b);
bool operator<(const CWideString& a, const CWideString& b);
bool operator>(const CWideString& a, const CWideString& b);
bool operator<=(const CWideString& a, const CWideString& b);
bool operator>=(const CWideString& a, const CWideString& b);

// Extraction: each returns a new string.
CWideString WstrMid(const CWideString& s, int32_t first, int32_t count);
CWideString WstrMidToEnd(const CWideString& s, int32_t first);
CWideString WstrLeft(const CWideString& s, int32_t n);
CWideString WstrRight(const CWideString& s, int32_t n);
CWideString WstrSpanIncluding(const CWideString& s, const wchar_t* set);
CWideString WstrSpanExcluding(const CWideString& s, const wchar_t* set);
CWideString WstrConcat(const CWideString& a, const CWideString& b);
CWideString WstrConcatChars(const CWideString& a, const wchar_t* b);
CWideString WstrConcatCharsFirst(const wchar_t* a, const CWideString& b);
CWideString WstrConcatChar(const CWideString& a, wchar_t c);
CWideString WstrConcatCharFirst(wchar_t c, const CWideString& b);
CWideString operator+(const CWideString& a, const CWideString& b);
CWideString operator+(const CWideString& a, const wchar_t* b);
CWideString operator+(const wchar_t* a, const CWideString& b);
CWideString operator+(const CWideString& a, wchar_t c);

// Modification: each first makes the buffer private.
void WstrAppend(CWideString& s, const CWideString& other);
void WstrAppendChars(CWideString& s, const wchar_t* text);
void WstrAppendChar(CWideString& s, wchar_t c);
void WstrAppendN(CWideString& s, const wchar_t* text, int32_t n);
int32_t WstrInsertChar(CWideString& s, int32_t index, wchar_t c);
int32_t WstrInsert(CWideString& s, int32_t index, const wchar_t* text);
int32_t WstrDelete(CWideString& s, int32_t index, int32_t count);
int32_t WstrReplaceChar(CWideString& s, wchar_t from, wchar_t to);
int32_t WstrRemoveChar(CWideString& s, wchar_t c);
int32_t WstrReplace(CWideString& s, const wchar_t* from, const wchar_t* to);
void WstrTrimRight(CWideString& s);
void WstrTrimLeft(CWideString& s);
void WstrTrimRightChar(CWideString& s, wchar_t c);
void WstrTrimLeftChar(CWideString& s, wchar_t c);
void WstrTrimRightSet(CWideString& s, const wchar_t* set);
void WstrTrimLeftSet(CWideString& s, const wchar_t* set);
void WstrMakeUpper(CWideString& s);
void WstrMakeLower(CWideString& s);
void WstrMakeReverse(CWideString& s);
void WstrSetAt(CWideString& s, int32_t index, wchar_t c);
void WstrFormat(CWideString& s, const wchar_t* format, ...);
void WstrFormatV(CWideString& s, const wchar_t* format, va_list args);

// Buffer access.
wchar_t* WstrGetBuffer(CWideString& s, int32_t n);
wchar_t* WstrSetLength(CWideString& s, int32_t n);
void WstrReleaseBuffer(CWideString& s, int32_t n);
wchar_t* WstrLockBuffer(CWideString& s);
void WstrUnlockBuffer(CWideString& s);
void WstrFreeExtra(CWideString& s);

// The count of characters the formatting of `format` with `args` may need (the estimate pass).
int32_t WstrFormatEstimate(const wchar_t* format, va_list args);
