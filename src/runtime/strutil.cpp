#include "runtime/strutil.h"

#include <bit>
#include <cctype>
#include <climits>
#include <cstring>
#include <cwchar>

#include "runtime/textconv.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int SizeShift(wchar_t c) {
  switch (c) {
    case L'K': return 10;
    case L'M': return 20;
    case L'G': return 30;
    default: return -1;
  }
}

template <typename Char>
Char* FormatInt(uint32_t value, Char* buffer, int base) {
  if (buffer == nullptr) return nullptr;
  Char* p = buffer;
  if (base < 2 || base > 36) {
    *p = 0;
    return buffer;
  }
  uint32_t magnitude = value;
  if (base == 10 && (value & 0x80000000u)) {
    *p++ = '-';
    magnitude = 0u - value;
  }
  Char digits[33];
  int n = 0;
  do {
    const uint32_t d = magnitude % static_cast<uint32_t>(base);
    digits[n++] = static_cast<Char>(d < 10 ? '0' + d : 'a' + (d - 10));
    magnitude /= static_cast<uint32_t>(base);
  } while (magnitude != 0);
  while (n > 0) *p++ = digits[--n];
  *p = 0;
  return buffer;
}

}  // namespace

int SizeTextNormalize(CWideString& text) {
  WstrTrimLeft(text);
  WstrTrimRight(text);
  const int32_t dash = WstrFindChar(text, L'-');
  if (dash >= 0) text = WstrLeft(text, dash);
  WstrMakeUpper(text);
  WstrTrimLeft(text);
  WstrTrimRight(text);
  return 1;
}

int SizeTextIsValid(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return 0;
  const size_t n = std::wcslen(text);
  bool digit = false;
  for (size_t i = 0; i + 1 < n; ++i) {
    const wchar_t c = text[i];
    if (IsDigit(c)) {
      digit = true;
    } else if (!IsBlank(c) && c != L',') {
      return 0;
    }
  }
  const wchar_t last = text[n - 1];
  if (IsDigit(last)) return 1;
  return digit && SizeShift(last) >= 0 ? 1 : 0;
}

int SizeTextParse(const wchar_t* text, uint64_t* value) {
  if (value == nullptr) return 0;
  *value = 0;
  if (text == nullptr) return 0;
  uint64_t v = 0;
  bool digit = false;
  for (; *text != L'\0'; ++text) {
    const wchar_t c = *text;
    if (IsBlank(c) || c == L',') continue;
    if (IsDigit(c)) {
      const unsigned d = static_cast<unsigned>(c - L'0');
      if (v > (UINT64_MAX - d) / 10) return 0;
      v = v * 10 + d;
      digit = true;
      continue;
    }
    const int shift = SizeShift(c);
    if (shift < 0 || !digit) return 0;
    if (v > (UINT64_MAX >> shift)) return 0;
    v <<= shift;
    break;
  }
  if (!digit) return 0;
  *value = v;
  return 1;
}

wchar_t* WcsToUpperAscii(wchar_t* text) {
  if (text == nullptr) return nullptr;
  for (wchar_t* p = text; *p != L'\0'; ++p) {
    if (*p >= L'a' && *p <= L'z') *p = static_cast<wchar_t>(*p - (L'a' - L'A'));
  }
  return text;
}

wchar_t* WcsToLowerAscii(wchar_t* text) {
  if (text == nullptr) return nullptr;
  for (wchar_t* p = text; *p != L'\0'; ++p) {
    if (*p >= L'A' && *p <= L'Z') *p = static_cast<wchar_t>(*p + (L'a' - L'A'));
  }
  return text;
}

char* StrToLowerInPlace(char* text) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (std::isupper(c)) *p = static_cast<char>(std::tolower(c));
  }
  return text;
}

int32_t WcsToInt(const wchar_t* text) {
  if (text == nullptr) return 0;
  const long v = std::wcstol(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

char* StrFormatInt(uint32_t value, char* buffer, int base) { return FormatInt(value, buffer, base); }

wchar_t* WcsFormatInt(uint32_t value, wchar_t* buffer, int base) { return FormatInt(value, buffer, base); }

uint32_t BitsRotateLeft32(uint32_t value, int n) { return std::rotl(value, n & 31); }

int32_t TextMultiByteToWideInPlace(wchar_t* buffer, int32_t capacity) {
  if (buffer == nullptr || capacity <= 0) return -1;
  const auto* bytes = reinterpret_cast<const char*>(buffer);
  const size_t length = strnlen(bytes, static_cast<size_t>(capacity) * sizeof(wchar_t));
  if (length > INT32_MAX) return -1;
  // The conversion copies an overlapping source aside before writing, so the buffer may be its own target.
  if (TextMultiByteToWide(bytes, static_cast<int32_t>(length), buffer, static_cast<size_t>(capacity)) < 0) {
    return -1;
  }
  return capacity;
}

const wchar_t* GuidGetTextBuffer(const uint8_t* guid) {
  static wchar_t text[48];
  if (guid == nullptr) {
    text[0] = L'\0';
    return text;
  }
  const uint32_t data1 = uint32_t{guid[0]} | uint32_t{guid[1]} << 8 | uint32_t{guid[2]} << 16 |
                         uint32_t{guid[3]} << 24;
  const unsigned data2 = guid[4] | guid[5] << 8;
  const unsigned data3 = guid[6] | guid[7] << 8;
  std::swprintf(text, sizeof text / sizeof(wchar_t), L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", data1,
                data2, data3, guid[8], guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
  return text;
}

const wchar_t* FormatGuid(const uint8_t* guid) { return GuidGetTextBuffer(guid); }

pthread_t SysStartThread(void* argument, void* (*body)(void*)) {
  if (body == nullptr) return 0;
  pthread_t thread{};
  if (pthread_create(&thread, nullptr, body, argument) != 0) return 0;
  return thread;
}
