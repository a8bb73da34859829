#include "runtime/wstring.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>

namespace {

// The shared empty value: never counted, never freed.
struct EmptyRep {
  CWideStringHeader header;
  wchar_t nul[1];
};
EmptyRep g_emptyRep = {{-1, 0, 0}, {0}};

constexpr int32_t kMaxChars = (INT32_MAX - 64) / static_cast<int32_t>(sizeof(wchar_t));
// Formatting never grows a buffer past this many characters.
constexpr int32_t kMaxFormatChars = 64 * 1024 * 1024;

wchar_t* EmptyChars() { return g_emptyRep.nul; }

CWideStringHeader* Hdr(const wchar_t* chars) {
  return reinterpret_cast<CWideStringHeader*>(const_cast<char*>(reinterpret_cast<const char*>(chars)) -
                                              sizeof(CWideStringHeader));
}

bool IsEmptyRep(const wchar_t* chars) { return chars == g_emptyRep.nul; }

// A buffer for n characters: count 1, length n, capacity n, zero-filled; n = 0 gives the empty value.
wchar_t* AllocChars(int32_t n) {
  if (n <= 0) return EmptyChars();
  if (n > kMaxChars) {
    std::fputs("malloc failed: string too long\r\n", stdout);
    std::abort();
  }
  size_t bytes = static_cast<size_t>(n) * sizeof(wchar_t) + 16;
  void* block = std::calloc(1, bytes);
  if (!block) {
    std::printf("malloc failed: %zu\r\n", bytes);
    std::fflush(stdout);
    std::abort();
  }
  auto* header = static_cast<CWideStringHeader*>(block);
  header->refs = 1;
  header->length = n;
  header->capacity = n;
  auto* chars = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + sizeof(CWideStringHeader));
  chars[n] = 0;
  return chars;
}

void ReleaseChars(wchar_t* chars) {
  if (IsEmptyRep(chars)) return;
  CWideStringHeader* header = Hdr(chars);
  if (--header->refs <= 0) std::free(header);  // a locked buffer (-1) has one owner
}

int32_t Len(const CWideString& s) { return Hdr(s.m_chars)->length; }

int32_t SafeLen(const wchar_t* text) {
  if (!text) return 0;
  size_t n = std::wcslen(text);
  return n > static_cast<size_t>(kMaxChars) ? kMaxChars : static_cast<int32_t>(n);
}

// Copy before write: a shared buffer is replaced by a private copy.
void MakePrivate(CWideString& s) {
  CWideStringHeader* header = Hdr(s.m_chars);
  if (header->refs < 2) return;
  wchar_t* fresh = AllocChars(header->length);
  std::wmemcpy(fresh, s.m_chars, header->length);
  header->refs--;
  s.m_chars = fresh;
}

void SetLengthInPlace(CWideString& s, int32_t n) {
  if (IsEmptyRep(s.m_chars)) return;
  Hdr(s.m_chars)->length = n;
  s.m_chars[n] = 0;
}

// Overwrite with n characters of text (text may point into the string itself).
void AssignCopy(CWideString& s, const wchar_t* text, int32_t n) {
  if (n < 0) n = 0;
  CWideStringHeader* header = Hdr(s.m_chars);
  if (n == 0) {
    if (header->refs > 1 || IsEmptyRep(s.m_chars)) {
      ReleaseChars(s.m_chars);
      s.m_chars = EmptyChars();
    } else {
      SetLengthInPlace(s, 0);
    }
    return;
  }
  if (header->refs > 1 || header->capacity < n) {
    wchar_t* fresh = AllocChars(n);
    std::wmemcpy(fresh, text, n);
    ReleaseChars(s.m_chars);
    s.m_chars = fresh;
    return;
  }
  std::wmemmove(s.m_chars, text, n);
  SetLengthInPlace(s, n);
}

void AppendN(CWideString& s, const wchar_t* text, int32_t n) {
  if (n <= 0 || !text) return;
  CWideStringHeader* header = Hdr(s.m_chars);
  int32_t len = header->length;
  if (n > kMaxChars - len) n = kMaxChars - len;
  if (header->refs < 2 && header->capacity >= len + n) {
    std::wmemmove(s.m_chars + len, text, n);
    SetLengthInPlace(s, len + n);
    return;
  }
  wchar_t* fresh = AllocChars(len + n);
  std::wmemcpy(fresh, s.m_chars, len);
  std::wmemcpy(fresh + len, text, n);
  ReleaseChars(s.m_chars);
  s.m_chars = fresh;
}

bool InSet(wchar_t c, const wchar_t* set) { return c != 0 && set && std::wcschr(set, c) != nullptr; }

CWideString Concat2(const wchar_t* a, int32_t na, const wchar_t* b, int32_t nb) {
  CWideString out;
  if (na + static_cast<int64_t>(nb) == 0) return out;
  ReleaseChars(out.m_chars);
  out.m_chars = AllocChars(na + nb);
  if (na) std::wmemcpy(out.m_chars, a, na);
  if (nb) std::wmemcpy(out.m_chars + na, b, nb);
  return out;
}

}  // namespace

// ---- the class --------------------------------------------------------------------------------------------

CWideString::CWideString() : m_chars(EmptyChars()) {}
CWideString::CWideString(const wchar_t* text) : m_chars(EmptyChars()) { WstrInitFromChars(*this, text); }
CWideString::CWideString(const wchar_t* text, int32_t n) : m_chars(EmptyChars()) { WstrInitN(*this, text, n); }
CWideString::CWideString(wchar_t c, int32_t repeat) : m_chars(EmptyChars()) { WstrInitRepeat(*this, c, repeat); }
CWideString::CWideString(const char* multibyte) : m_chars(EmptyChars()) {
  WstrInitFromMultiByte(*this, multibyte);
}
CWideString::CWideString(const CWideString& other) : m_chars(EmptyChars()) { WstrInitCopy(*this, other); }
CWideString::CWideString(CWideString&& other) noexcept : m_chars(other.m_chars) { other.m_chars = EmptyChars(); }
CWideString& CWideString::operator=(const CWideString& other) {
  WstrAssign(*this, other);
  return *this;
}
CWideString& CWideString::operator=(CWideString&& other) noexcept {
  if (this != &other) {
    ReleaseChars(m_chars);
    m_chars = other.m_chars;
    other.m_chars = EmptyChars();
  }
  return *this;
}
CWideString& CWideString::operator=(const wchar_t* text) {
  WstrAssignChars(*this, text);
  return *this;
}
CWideString::~CWideString() { WstrRelease(*this); }

CWideStringHeader* WstrHeader(const CWideString& s) { return Hdr(s.m_chars); }

// ---- construction and assignment --------------------------------------------------------------------------

void WstrInitEmpty(CWideString& s) { WstrEmpty(s); }
void WstrInitFromChars(CWideString& s, const wchar_t* text) { AssignCopy(s, text, SafeLen(text)); }
void WstrInitN(CWideString& s, const wchar_t* text, int32_t n) { WstrAssignN(s, text, n); }

void WstrInitRepeat(CWideString& s, wchar_t c, int32_t n) {
  WstrEmpty(s);
  if (n <= 0) return;
  ReleaseChars(s.m_chars);
  s.m_chars = AllocChars(n);
  std::wmemset(s.m_chars, c, n);
}

void WstrInitFromMultiByte(CWideString& s, const char* text) { WstrAssignMultiByte(s, text); }

void WstrInitCopy(CWideString& s, const CWideString& src) {
  if (s.m_chars == src.m_chars) return;
  if (Hdr(src.m_chars)->refs < 0) {
    AssignCopy(s, src.m_chars, Len(src));
    return;
  }
  ReleaseChars(s.m_chars);
  s.m_chars = src.m_chars;
  Hdr(s.m_chars)->refs++;
}

void WstrRelease(CWideString& s) {
  ReleaseChars(s.m_chars);
  s.m_chars = EmptyChars();
}

void WstrAssign(CWideString& s, const CWideString& src) {
  if (s.m_chars == src.m_chars) return;
  bool targetLocked = Hdr(s.m_chars)->refs < 0 && !IsEmptyRep(s.m_chars);
  if (targetLocked || Hdr(src.m_chars)->refs < 0) {
    AssignCopy(s, src.m_chars, Len(src));
    return;
  }
  ReleaseChars(s.m_chars);
  s.m_chars = src.m_chars;
  Hdr(s.m_chars)->refs++;
}

void WstrAssignChars(CWideString& s, const wchar_t* text) { AssignCopy(s, text, SafeLen(text)); }
void WstrSetChars(CWideString& s, const wchar_t* text) { WstrAssignChars(s, text); }

void WstrAssignN(CWideString& s, const wchar_t* text, int32_t n) {
  if (!text || n <= 0) {
    AssignCopy(s, nullptr, 0);
    return;
  }
  AssignCopy(s, text, n);
}

void WstrAssignChar(CWideString& s, wchar_t c) {
  wchar_t one[1] = {c};
  AssignCopy(s, one, c ? 1 : 0);
}

void WstrAssignMultiByte(CWideString& s, const char* text) {
  if (!text || !*text) {
    WstrEmpty(s);
    return;
  }
  size_t n = std::strlen(text);
  if (n > static_cast<size_t>(kMaxChars)) {
    WstrEmpty(s);
    return;
  }
  wchar_t* fresh = AllocChars(static_cast<int32_t>(n));
  size_t got = std::mbstowcs(fresh, text, n + 1);
  ReleaseChars(s.m_chars);
  s.m_chars = fresh;
  // A text the locale cannot convert gives the empty value, never part of a name.
  if (got == static_cast<size_t>(-1)) {
    WstrEmpty(s);
    return;
  }
  SetLengthInPlace(s, static_cast<int32_t>(std::wcslen(fresh)));
}

void WstrEmpty(CWideString& s) {
  ReleaseChars(s.m_chars);
  s.m_chars = EmptyChars();
}

// ---- access and search ------------------------------------------------------------------------------------

int32_t WstrGetLength(const CWideString& s) { return Len(s); }
int32_t WstrGetCapacity(const CWideString& s) { return Hdr(s.m_chars)->capacity; }
int WstrIsEmpty(const CWideString& s) { return Len(s) == 0 ? 1 : 0; }
const wchar_t* WstrGetChars(const CWideString& s) { return s.m_chars; }

wchar_t WstrGetAt(const CWideString& s, int32_t index) {
  return index >= 0 && index <= Len(s) ? s.m_chars[index] : 0;
}
wchar_t WstrCharAt(const CWideString& s, int32_t index) { return WstrGetAt(s, index); }

int WstrCompare(const CWideString& s, const wchar_t* text) { return std::wcscmp(s.m_chars, text ? text : L""); }
int WstrCompareNoCase(const CWideString& s, const wchar_t* text) {
  return wcscasecmp(s.m_chars, text ? text : L"");
}
int WstrEquals(const CWideString& a, const CWideString& b) { return std::wcscmp(a.m_chars, b.m_chars) == 0; }
int WstrEqualsChars(const CWideString& s, const wchar_t* text) { return WstrCompare(s, text) == 0; }
int WstrNotEqualsChars(const CWideString& s, const wchar_t* text) { return WstrCompare(s, text) != 0; }

bool operator==(const CWideString& a, const CWideString& b) { return WstrEquals(a, b) != 0; }
bool operator==(const CWideString& a, const wchar_t* b) { return WstrEqualsChars(a, b) != 0; }
bool operator<(const CWideString& a, const CWideString& b) { return std::wcscmp(a.m_chars, b.m_chars) < 0; }
bool operator>(const CWideString& a, const CWideString& b) { return std::wcscmp(a.m_chars, b.m_chars) > 0; }
bool operator<=(const CWideString& a, const CWideString& b) { return std::wcscmp(a.m_chars, b.m_chars) <= 0; }
bool operator>=(const CWideString& a, const CWideString& b) { return std::wcscmp(a.m_chars, b.m_chars) >= 0; }

int32_t WstrFindChar(const CWideString& s, wchar_t c) { return WstrFindCharFrom(s, c, 0); }

int32_t WstrFindCharFrom(const CWideString& s, wchar_t c, int32_t start) {
  if (start < 0) start = 0;
  if (c == 0 || start >= Len(s)) return -1;
  const wchar_t* hit = std::wcschr(s.m_chars + start, c);
  return hit ? static_cast<int32_t>(hit - s.m_chars) : -1;
}

int32_t WstrReverseFind(const CWideString& s, wchar_t c) {
  if (c == 0) return -1;
  const wchar_t* hit = std::wcsrchr(s.m_chars, c);
  return hit ? static_cast<int32_t>(hit - s.m_chars) : -1;
}

int32_t WstrFind(const CWideString& s, const wchar_t* sub) { return WstrFindFrom(s, sub, 0); }

int32_t WstrFindFrom(const CWideString& s, const wchar_t* sub, int32_t start) {
  if (start < 0) start = 0;
  if (!sub || start > Len(s)) return -1;
  const wchar_t* hit = std::wcsstr(s.m_chars + start, sub);
  return hit ? static_cast<int32_t>(hit - s.m_chars) : -1;
}

int32_t WstrFindOneOf(const CWideString& s, const wchar_t* set) {
  if (!set) return -1;
  const wchar_t* hit = std::wcspbrk(s.m_chars, set);
  return hit ? static_cast<int32_t>(hit - s.m_chars) : -1;
}

// ---- extraction -------------------------------------------------------------------------------------------

CWideString WstrMid(const CWideString& s, int32_t first, int32_t count) {
  int32_t len = Len(s);
  if (first < 0) first = 0;
  if (count < 0) count = 0;
  if (first > len) return CWideString();
  if (static_cast<int64_t>(first) + count > len) count = len - first;
  if (first == 0 && count == len) return CWideString(s);
  return CWideString(s.m_chars + first, count);
}

CWideString WstrMidToEnd(const CWideString& s, int32_t first) {
  if (first < 0) first = 0;
  return WstrMid(s, first, first > Len(s) ? 0 : Len(s) - first);
}

CWideString WstrLeft(const CWideString& s, int32_t n) {
  if (n < 0) n = 0;
  if (n >= Len(s)) return CWideString(s);
  return CWideString(s.m_chars, n);
}

CWideString WstrRight(const CWideString& s, int32_t n) {
  if (n < 0) n = 0;
  int32_t len = Len(s);
  if (n >= len) return CWideString(s);
  return CWideString(s.m_chars + len - n, n);
}

CWideString WstrSpanIncluding(const CWideString& s, const wchar_t* set) {
  return WstrLeft(s, set && *set ? static_cast<int32_t>(std::wcsspn(s.m_chars, set)) : 0);
}

CWideString WstrSpanExcluding(const CWideString& s, const wchar_t* set) {
  return WstrLeft(s, static_cast<int32_t>(std::wcscspn(s.m_chars, set ? set : L"")));
}

CWideString WstrConcat(const CWideString& a, const CWideString& b) {
  return Concat2(a.m_chars, Len(a), b.m_chars, Len(b));
}
CWideString WstrConcatChars(const CWideString& a, const wchar_t* b) {
  return Concat2(a.m_chars, Len(a), b, SafeLen(b));
}
CWideString WstrConcatCharsFirst(const wchar_t* a, const CWideString& b) {
  return Concat2(a, SafeLen(a), b.m_chars, Len(b));
}
CWideString WstrConcatChar(const CWideString& a, wchar_t c) {
  wchar_t one[1] = {c};
  return Concat2(a.m_chars, Len(a), one, c ? 1 : 0);
}
CWideString WstrConcatCharFirst(wchar_t c, const CWideString& b) {
  wchar_t one[1] = {c};
  return Concat2(one, c ? 1 : 0, b.m_chars, Len(b));
}
CWideString operator+(const CWideString& a, const CWideString& b) { return WstrConcat(a, b); }
CWideString operator+(const CWideString& a, const wchar_t* b) { return WstrConcatChars(a, b); }
CWideString operator+(const wchar_t* a, const CWideString& b) { return WstrConcatCharsFirst(a, b); }
CWideString operator+(const CWideString& a, wchar_t c) { return WstrConcatChar(a, c); }

// ---- modification -----------------------------------------------------------------------------------------

void WstrAppend(CWideString& s, const CWideString& other) {
  // Appending a string to itself: hold a reference so the text outlives a reallocation.
  CWideString keep(other);
  AppendN(s, keep.m_chars, Len(keep));
}
void WstrAppendChars(CWideString& s, const wchar_t* text) { AppendN(s, text, SafeLen(text)); }
void WstrAppendChar(CWideString& s, wchar_t c) {
  if (c) AppendN(s, &c, 1);
}
void WstrAppendN(CWideString& s, const wchar_t* text, int32_t n) { AppendN(s, text, n); }

int32_t WstrInsert(CWideString& s, int32_t index, const wchar_t* text) {
  int32_t n = SafeLen(text);
  int32_t len = Len(s);
  if (n == 0) return len;
  std::wstring copy(text, n);  // the text may live inside this string
  if (n > kMaxChars - len) n = kMaxChars - len;
  if (index < 0) index = 0;
  if (index > len) index = len;
  MakePrivate(s);
  CWideStringHeader* header = Hdr(s.m_chars);
  if (IsEmptyRep(s.m_chars) || header->capacity < len + n) {
    wchar_t* fresh = AllocChars(len + n);
    std::wmemcpy(fresh, s.m_chars, len);
    ReleaseChars(s.m_chars);
    s.m_chars = fresh;
  }
  std::wmemmove(s.m_chars + index + n, s.m_chars + index, len - index + 1);
  std::wmemcpy(s.m_chars + index, copy.data(), n);
  SetLengthInPlace(s, len + n);
  return len + n;
}

int32_t WstrInsertChar(CWideString& s, int32_t index, wchar_t c) {
  wchar_t one[2] = {c, 0};
  return WstrInsert(s, index, one);
}

int32_t WstrDelete(CWideString& s, int32_t index, int32_t count) {
  int32_t len = Len(s);
  if (index < 0) index = 0;
  if (count <= 0 || index >= len) return len;
  if (count > len - index) count = len - index;
  MakePrivate(s);
  std::wmemmove(s.m_chars + index, s.m_chars + index + count, len - index - count + 1);
  SetLengthInPlace(s, len - count);
  return len;
}

int32_t WstrReplaceChar(CWideString& s, wchar_t from, wchar_t to) {
  if (from == to || from == 0) return 0;
  int32_t len = Len(s), count = 0;
  for (int32_t i = 0; i < len; ++i) count += s.m_chars[i] == from;
  if (count == 0) return 0;
  MakePrivate(s);
  for (int32_t i = 0; i < len; ++i)
    if (s.m_chars[i] == from) s.m_chars[i] = to;
  // Replacing by NUL shortens the visible text.
  if (to == 0) SetLengthInPlace(s, static_cast<int32_t>(std::wcslen(s.m_chars)));
  return count;
}

int32_t WstrRemoveChar(CWideString& s, wchar_t c) {
  int32_t len = Len(s), count = 0;
  if (c == 0) return 0;
  for (int32_t i = 0; i < len; ++i) count += s.m_chars[i] == c;
  if (count == 0) return 0;
  MakePrivate(s);
  int32_t out = 0;
  for (int32_t i = 0; i < len; ++i)
    if (s.m_chars[i] != c) s.m_chars[out++] = s.m_chars[i];
  SetLengthInPlace(s, out);
  return count;
}

int32_t WstrReplace(CWideString& s, const wchar_t* from, const wchar_t* to) {
  int32_t nOld = SafeLen(from);
  if (nOld == 0) return 0;
  int32_t nNew = SafeLen(to);
  int32_t len = Len(s);
  int32_t count = 0;
  for (int32_t i = 0; i + nOld <= len;) {
    if (std::wmemcmp(s.m_chars + i, from, nOld) == 0) {
      ++count;
      i += nOld;
    } else {
      ++i;
    }
  }
  if (count == 0) return 0;
  int64_t newLen = len + static_cast<int64_t>(count) * (nNew - nOld);
  if (newLen > kMaxChars) return 0;
  std::wstring out;
  out.reserve(static_cast<size_t>(newLen));
  for (int32_t i = 0; i < len;) {
    if (i + nOld <= len && std::wmemcmp(s.m_chars + i, from, nOld) == 0) {
      out.append(to ? to : L"", nNew);
      i += nOld;
    } else {
      out.push_back(s.m_chars[i++]);
    }
  }
  AssignCopy(s, out.data(), static_cast<int32_t>(out.size()));
  return count;
}

void WstrTrimRight(CWideString& s) {
  int32_t len = Len(s), end = len;
  while (end > 0 && std::iswspace(static_cast<wint_t>(s.m_chars[end - 1]))) --end;
  if (end != len) WstrDelete(s, end, len - end);
}

void WstrTrimLeft(CWideString& s) {
  int32_t len = Len(s), start = 0;
  while (start < len && std::iswspace(static_cast<wint_t>(s.m_chars[start]))) ++start;
  if (start) WstrDelete(s, 0, start);
}

void WstrTrimRightChar(CWideString& s, wchar_t c) {
  int32_t len = Len(s), end = len;
  while (end > 0 && c && s.m_chars[end - 1] == c) --end;
  if (end != len) WstrDelete(s, end, len - end);
}

void WstrTrimLeftChar(CWideString& s, wchar_t c) {
  int32_t len = Len(s), start = 0;
  while (start < len && c && s.m_chars[start] == c) ++start;
  if (start) WstrDelete(s, 0, start);
}

void WstrTrimRightSet(CWideString& s, const wchar_t* set) {
  int32_t len = Len(s), end = len;
  while (end > 0 && InSet(s.m_chars[end - 1], set)) --end;
  if (end != len) WstrDelete(s, end, len - end);
}

void WstrTrimLeftSet(CWideString& s, const wchar_t* set) {
  int32_t len = Len(s), start = 0;
  while (start < len && InSet(s.m_chars[start], set)) ++start;
  if (start) WstrDelete(s, 0, start);
}

void WstrMakeUpper(CWideString& s) {
  if (Len(s) == 0) return;
  MakePrivate(s);
  for (wchar_t* p = s.m_chars; *p; ++p)
    if (*p >= L'a' && *p <= L'z') *p -= L'a' - L'A';
}

void WstrMakeLower(CWideString& s) {
  if (Len(s) == 0) return;
  MakePrivate(s);
  for (wchar_t* p = s.m_chars; *p; ++p)
    if (*p >= L'A' && *p <= L'Z') *p += L'a' - L'A';
}

void WstrMakeReverse(CWideString& s) {
  int32_t len = Len(s);
  if (len < 2) return;
  MakePrivate(s);
  for (int32_t i = 0, j = len - 1; i < j; ++i, --j) std::swap(s.m_chars[i], s.m_chars[j]);
}

void WstrSetAt(CWideString& s, int32_t index, wchar_t c) {
  if (index < 0 || index >= Len(s)) return;  // out of range: nothing to change
  MakePrivate(s);
  s.m_chars[index] = c;
  if (c == 0) SetLengthInPlace(s, index);
}

// ---- formatting -------------------------------------------------------------------------------------------

int32_t WstrFormatEstimate(const wchar_t* format, va_list args) {
  va_list ap;
  va_copy(ap, args);
  int64_t total = 0;
  for (const wchar_t* p = format; p && *p; ++p) {
    if (*p != L'%') {
      total += 4;
      continue;
    }
    ++p;
    if (*p == L'%') {
      total += 4;
      continue;
    }
    int64_t width = 0, precision = -1;
    for (;; ++p) {
      if (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'0') continue;
      if (*p == L'#') {
        total += 2;
        continue;
      }
      break;
    }
    if (*p == L'*') {
      int w = va_arg(ap, int);
      width = w < 0 ? -static_cast<int64_t>(w) : w;
      ++p;
    } else {
      while (*p >= L'0' && *p <= L'9') {
        width = width * 10 + (*p++ - L'0');
        if (width > INT32_MAX) width = INT32_MAX;
      }
    }
    if (*p == L'.') {
      ++p;
      precision = 0;
      if (*p == L'*') {
        int v = va_arg(ap, int);
        precision = v < 0 ? -1 : v;
        ++p;
      } else {
        while (*p >= L'0' && *p <= L'9') {
          precision = precision * 10 + (*p++ - L'0');
          if (precision > INT32_MAX) precision = INT32_MAX;
        }
      }
    }
    // Size prefix.
    bool wide64 = false, longDouble = false, shortPrefix = false, longPrefix = false;
    if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      wide64 = true;
      p += 3;
    } else {
      for (;; ++p) {
        if (*p == L'h') {
          shortPrefix = true;
        } else if (*p == L'l') {
          if (longPrefix) wide64 = true;
          longPrefix = true;
          if (sizeof(long) == 8) wide64 = true;
        } else if (*p == L'q' || *p == L'j' || *p == L'z' || *p == L't') {
          wide64 = true;
        } else if (*p == L'L') {
          longDouble = true;
        } else if (*p == L'F' || *p == L'N') {
          // no effect
        } else {
          break;
        }
      }
    }
    int64_t p0 = precision < 0 ? 0 : precision;
    switch (*p) {
      case L's':
      case L'S': {
        bool wide = (*p == L'S' && !shortPrefix) || (*p == L's' && longPrefix);
        int64_t n;
        if (wide) {
          const wchar_t* text = va_arg(ap, const wchar_t*);
          n = text ? static_cast<int64_t>(std::wcslen(text)) : 6;
        } else {
          const char* text = va_arg(ap, const char*);
          n = text ? static_cast<int64_t>(std::strlen(text)) : 6;
        }
        if (n < 1) n = 1;
        if (precision >= 0 && n > precision) n = precision;
        if (n < width) n = width;
        total += n;
        break;
      }
      case L'd': case L'i': case L'o': case L'u': case L'x': case L'X':
        if (wide64) (void)va_arg(ap, long long); else (void)va_arg(ap, int);
        total += width + p0 > 32 ? width + p0 : 32;
        break;
      case L'e': case L'E': case L'g': case L'G': case L'a': case L'A':
        if (longDouble) (void)va_arg(ap, long double); else (void)va_arg(ap, double);
        total += width + p0 > 128 ? width + p0 : 128;
        break;
      case L'f': case L'F':
        if (longDouble) (void)va_arg(ap, long double); else (void)va_arg(ap, double);
        total += p0 + 312 > 128 ? p0 + 312 : 128;
        break;
      case L'p':
        (void)va_arg(ap, void*);
        total += width + p0 > 32 ? width + p0 : 32;
        break;
      case L'c': case L'C':
        (void)va_arg(ap, wint_t);
        total += width > 2 ? width : 2;
        break;
      case L'n':
        (void)va_arg(ap, void*);
        break;
      case 0:
        --p;  // a lone '%' at the end
        break;
      default:
        break;
    }
    if (total > kMaxFormatChars) total = kMaxFormatChars;
  }
  va_end(ap);
  return static_cast<int32_t>(total);
}

void WstrFormatV(CWideString& s, const wchar_t* format, va_list args) {
  if (!format) {
    WstrEmpty(s);
    return;
  }
  // The platform spells a 64-bit size prefix "ll".
  std::wstring rewritten;
  if (std::wcsstr(format, L"I64")) {
    rewritten = format;
    for (size_t at; (at = rewritten.find(L"I64")) != std::wstring::npos;) rewritten.replace(at, 3, L"ll");
    format = rewritten.c_str();
  }
  int32_t capacity = WstrFormatEstimate(format, args);
  if (capacity < 1) capacity = 1;
  // Format into a scratch buffer first: an argument may be this very string. The estimate is an upper bound
  // for every conversion it knows; should the text still not fit, the scratch grows instead of cutting it.
  std::wstring scratch;
  int written;
  for (;;) {
    scratch.assign(static_cast<size_t>(capacity) + 1, L'\0');
    va_list ap;
    va_copy(ap, args);
    errno = 0;
    written = std::vswprintf(scratch.data(), scratch.size(), format, ap);
    va_end(ap);
    if (written >= 0 || errno == EILSEQ || capacity >= kMaxFormatChars) break;
    capacity = capacity > kMaxFormatChars / 2 ? kMaxFormatChars : capacity * 2;
  }
  scratch[capacity] = 0;
  int32_t n = written >= 0 ? written : static_cast<int32_t>(std::wcslen(scratch.c_str()));
  wchar_t* buffer = WstrGetBuffer(s, capacity);
  std::wmemcpy(buffer, scratch.data(), n);
  buffer[n] = 0;
  WstrReleaseBuffer(s, n);
}

void WstrFormat(CWideString& s, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  WstrFormatV(s, format, args);
  va_end(args);
}

// ---- buffer access ----------------------------------------------------------------------------------------

wchar_t* WstrGetBuffer(CWideString& s, int32_t n) {
  CWideStringHeader* header = Hdr(s.m_chars);
  if (n < 0) n = 0;
  if (header->refs <= 1 && header->capacity >= n) return s.m_chars;
  int32_t len = header->length;
  int32_t size = n > len ? n : len;
  wchar_t* fresh = AllocChars(size);
  std::wmemcpy(fresh, s.m_chars, len);
  fresh[len] = 0;
  if (!IsEmptyRep(fresh)) Hdr(fresh)->length = len;
  ReleaseChars(s.m_chars);
  s.m_chars = fresh;
  return fresh;
}

wchar_t* WstrSetLength(CWideString& s, int32_t n) {
  if (n < 0) n = 0;
  wchar_t* chars = WstrGetBuffer(s, n);
  SetLengthInPlace(s, n);
  return chars;
}

void WstrReleaseBuffer(CWideString& s, int32_t n) {
  MakePrivate(s);
  if (IsEmptyRep(s.m_chars)) return;
  int32_t capacity = Hdr(s.m_chars)->capacity;
  if (n < 0) {
    s.m_chars[capacity] = 0;  // a writer that ran to the end still leaves a terminated text
    n = static_cast<int32_t>(std::wcslen(s.m_chars));
  }
  if (n > capacity) n = capacity;
  SetLengthInPlace(s, n);
}

wchar_t* WstrLockBuffer(CWideString& s) {
  wchar_t* chars = WstrGetBuffer(s, 0);
  if (!IsEmptyRep(chars)) Hdr(chars)->refs = -1;
  return chars;
}

void WstrUnlockBuffer(CWideString& s) {
  if (!IsEmptyRep(s.m_chars)) Hdr(s.m_chars)->refs = 1;
}

void WstrFreeExtra(CWideString& s) {
  CWideStringHeader* header = Hdr(s.m_chars);
  if (IsEmptyRep(s.m_chars) || header->capacity == header->length) return;
  int32_t len = header->length;
  wchar_t* fresh = AllocChars(len);
  std::wmemcpy(fresh, s.m_chars, len);
  ReleaseChars(s.m_chars);
  s.m_chars = fresh;
}
