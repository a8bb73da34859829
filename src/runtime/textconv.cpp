#include "runtime/textconv.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <wchar.h>
#include <vector>

#include "runtime/memory.h"

namespace {

int g_swapPlain = 0;

// True when the byte ranges [a, a + aBytes) and [b, b + bBytes) share a byte.
bool RangesOverlap(const void* a, size_t aBytes, const void* b, size_t bBytes) {
  const auto pa = reinterpret_cast<uintptr_t>(a);
  const auto pb = reinterpret_cast<uintptr_t>(b);
  if (aBytes == 0 || bBytes == 0) return false;
  return pa < pb ? pb - pa < aBytes : pa - pb < bBytes;
}

// Bytes of the destination a conversion may touch: the room it is allowed plus the NUL.
size_t DestBytes(size_t room, size_t unit) {
  return room > SIZE_MAX / unit - 1 ? SIZE_MAX : (room + 1) * unit;
}

// Room for characters before the NUL: what the caller's capacity allows, never more than `needed`.
size_t RoomFor(size_t needed, size_t capacity) {
  return capacity == kTextUnbounded ? needed : std::min(needed, capacity - 1);
}

int32_t Fail(void* dest, size_t unit) {
  std::memset(dest, 0, unit);
  return -1;
}

}  // namespace

int32_t TextWideToMultiByte(const wchar_t* text, int32_t count, char* dest, size_t destBytes) {
  if (dest == nullptr || destBytes == 0) return -1;
  if (text == nullptr) return Fail(dest, 1);
  const size_t n = count < 0 ? std::wcslen(text) : ::wcsnlen(text, static_cast<size_t>(count));
  const size_t perChar = MB_CUR_MAX;
  const size_t needed = n > SIZE_MAX / perChar ? SIZE_MAX - 1 : n * perChar;
  const size_t room = RoomFor(needed, destBytes);

  // Converting into the buffer that holds the source would overwrite characters not yet read.
  std::vector<wchar_t> copy;
  if (RangesOverlap(text, n * sizeof(wchar_t), dest, DestBytes(room, 1))) {
    copy.assign(text, text + n);
    text = copy.data();
  }
  const wchar_t* src = text;
  std::mbstate_t state{};
  const size_t written = wcsnrtombs(dest, &src, n, room, &state);
  // Stopping before the n-th character means the output was full: refuse rather than cut the text.
  if (written == static_cast<size_t>(-1) || (src != nullptr && src != text + n) || written > INT32_MAX) {
    return Fail(dest, 1);
  }
  dest[written] = '\0';
  return static_cast<int32_t>(written);
}

int32_t TextMultiByteToWide(const char* text, int32_t length, wchar_t* dest, size_t destChars) {
  if (dest == nullptr || destChars == 0) return -1;
  if (text == nullptr) return Fail(dest, sizeof(wchar_t));
  const size_t n = length < 0 ? std::strlen(text) : strnlen(text, static_cast<size_t>(length));
  const size_t room = RoomFor(n, destChars);

  std::vector<char> copy;
  if (RangesOverlap(text, n, dest, DestBytes(room, sizeof(wchar_t)))) {
    copy.assign(text, text + n);
    text = copy.data();
  }
  const char* src = text;
  std::mbstate_t state{};
  const size_t written = mbsnrtowcs(dest, &src, n, room, &state);
  // An early stop means the output was full; a pending state means the text ended inside a character.
  if (written == static_cast<size_t>(-1) || (src != nullptr && src != text + n) || !std::mbsinit(&state) ||
      written > INT32_MAX) {
    return Fail(dest, sizeof(wchar_t));
  }
  dest[written] = L'\0';
  return static_cast<int32_t>(written);
}

char* TextWideToMultiByteDup(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  const size_t n = std::wcslen(text);
  const size_t perChar = MB_CUR_MAX;
  if (n > INT32_MAX || n > (SIZE_MAX - 1) / perChar) return nullptr;
  auto* out = static_cast<char*>(MemZeroAlloc(n * perChar + 1));
  if (out == nullptr) return nullptr;
  if (TextWideToMultiByte(text, static_cast<int32_t>(n), out) < 0) {
    MemFree(out);
    return nullptr;
  }
  return out;
}

wchar_t* TextMultiByteToWideDup(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t n = std::strlen(text);
  if (n > INT32_MAX || n > SIZE_MAX / sizeof(wchar_t) - 1) return nullptr;
  auto* out = static_cast<wchar_t*>(MemZeroAlloc((n + 1) * sizeof(wchar_t)));
  if (out == nullptr) return nullptr;
  if (TextMultiByteToWide(text, static_cast<int32_t>(n), out) < 0) {
    MemFree(out);
    return nullptr;
  }
  return out;
}

int32_t TextUtf16ToWide(const uint16_t* units, int32_t count, wchar_t* dest, size_t destChars) {
  if (dest == nullptr || destChars == 0) return -1;
  if (units == nullptr || count == 0) {
    dest[0] = L'\0';
    return 0;
  }
  size_t n = 0;
  const size_t limit = count < 0 ? SIZE_MAX : static_cast<size_t>(count);
  while (n < limit && units[n] != 0) ++n;

  std::vector<uint16_t> copy;
  if (RangesOverlap(units, n * 2, dest, DestBytes(RoomFor(n, destChars), sizeof(wchar_t)))) {
    copy.assign(units, units + n);
    units = copy.data();
  }
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    }
    if (destChars != kTextUnbounded && out + 1 >= destChars) return Fail(dest, sizeof(wchar_t));
    dest[out++] = static_cast<wchar_t>(c);
  }
  dest[out] = L'\0';
  return out > INT32_MAX ? Fail(dest, sizeof(wchar_t)) : static_cast<int32_t>(out);
}

int32_t TextWideToUtf16(const wchar_t* text, int32_t count, uint16_t* dest, size_t destUnits) {
  if (dest == nullptr || destUnits == 0) return -1;
  if (text == nullptr || count == 0) {
    dest[0] = 0;
    return 0;
  }
  const size_t n = count < 0 ? std::wcslen(text) : ::wcsnlen(text, static_cast<size_t>(count));

  std::vector<wchar_t> copy;
  const size_t needed = n > SIZE_MAX / 2 ? SIZE_MAX - 1 : 2 * n;
  if (RangesOverlap(text, n * sizeof(wchar_t), dest, DestBytes(RoomFor(needed, destUnits), 2))) {
    copy.assign(text, text + n);
    text = copy.data();
  }
  size_t out = 0;
  const size_t room = destUnits == kTextUnbounded ? SIZE_MAX : destUnits - 1;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if (c > 0x10FFFF) c = 0xFFFD;
    if (c > 0xFFFF) {
      if (room - out < 2) return Fail(dest, 2);
      c -= 0x10000;
      dest[out++] = static_cast<uint16_t>(0xD800 | (c >> 10));
      dest[out++] = static_cast<uint16_t>(0xDC00 | (c & 0x3FF));
    } else {
      if (room - out < 1) return Fail(dest, 2);
      dest[out++] = static_cast<uint16_t>(c);
    }
  }
  dest[out] = 0;
  return out > INT32_MAX ? Fail(dest, 2) : static_cast<int32_t>(out);
}

void MemCopySwap16(void* dest, const void* source, size_t bytes) {
  if (dest == nullptr || source == nullptr || bytes == 0) return;
  if (g_swapPlain) {
    std::memmove(dest, source, bytes);
    return;
  }
  auto* d = static_cast<uint8_t*>(dest);
  const auto* s = static_cast<const uint8_t*>(source);
  const size_t pairs = bytes / 2;
  for (size_t i = 0; i < pairs; ++i) {
    uint16_t v;
    std::memcpy(&v, s + 2 * i, 2);
    v = static_cast<uint16_t>(v << 8 | v >> 8);
    std::memcpy(d + 2 * i, &v, 2);
  }
  if (bytes & 1) d[bytes - 1] = s[bytes - 1];
}

void MemCopySwap16SetPlain(int plain) { g_swapPlain = plain ? 1 : 0; }

int MemCopySwap16GetPlain() { return g_swapPlain; }

int32_t TextUtf16Length(const uint16_t* units) {
  if (units == nullptr) return 0;
  int32_t n = 0;
  while (units[n] != 0 && n < INT32_MAX) ++n;
  return n;
}

int TextUtf16Compare(const uint16_t* a, const uint16_t* b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (*a == 0) return 0;
  }
}

size_t TextMultiByteToWideLenient(const char* bytes, size_t n, wchar_t* out) {
  size_t count = 0;
  std::mbstate_t state{};
  const char* p = bytes;
  const char* end = bytes + n;
  while (p < end) {
    wchar_t wc;
    size_t got = std::mbrtowc(&wc, p, static_cast<size_t>(end - p), &state);
    if (got == static_cast<size_t>(-1) || got == static_cast<size_t>(-2)) {
      state = std::mbstate_t{};
      wc = 0xFFFD;
      got = 1;
    } else if (got == 0) {
      got = 1;  // an embedded NUL
    }
    out[count++] = wc;
    p += got;
  }
  out[count] = 0;
  return count;
}
