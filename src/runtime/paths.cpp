#include "runtime/paths.h"

#include <sys/stat.h>

#include <cwchar>

#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/textconv.h"

namespace {

constexpr int32_t kNameMax = 1024;

// One static buffer per unit, so that a KB text and an MB text can be shown side by side.
wchar_t g_sizeText[3][64];

enum SizeUnit { kUnitKb, kUnitMb, kUnitGb };

const wchar_t* FormatSizeIn(uint64_t bytes, SizeUnit unit) {
  static constexpr const wchar_t* kNames[] = {L" KB", L" MB", L" GB"};
  static constexpr double kDivisors[] = {1024.0, 1048576.0, 1073741824.0};
  wchar_t* out = g_sizeText[unit];
  const size_t cap = sizeof g_sizeText[0] / sizeof(wchar_t);
  std::swprintf(out, cap, L"%.1f", static_cast<double>(bytes) / kDivisors[unit]);
  // A tiny file must not look empty.
  if (bytes != 0 && std::wcscmp(out, L"0.0") == 0) std::wcscpy(out, L"0.1");
  if (wchar_t* zero = std::wcsstr(out, L".0")) *zero = L'\0';
  std::wcscat(out, kNames[unit]);
  return out;
}

}  // namespace

CWideString PathGetExtension(const wchar_t* path) {
  const wchar_t* dot = path != nullptr ? std::wcsrchr(path, L'.') : nullptr;
  if (dot == nullptr) return CWideString();
  CWideString ext(dot + 1);
  WstrMakeLower(ext);
  return ext;
}

const wchar_t* PathFindLastDot(const wchar_t* path) { return path != nullptr ? std::wcsrchr(path, L'.') : nullptr; }

wchar_t* PathFindLastDot(wchar_t* path) { return path != nullptr ? std::wcsrchr(path, L'.') : nullptr; }

CWideString PathChangeExtension(const wchar_t* path, const wchar_t* extension, int add) {
  if (path == nullptr) path = L"";
  if (extension == nullptr) extension = L"";
  const int32_t length = static_cast<int32_t>(std::wcslen(path));
  int32_t dot = -1;
  for (int32_t i = length - 1; i >= 0; --i) {
    const wchar_t c = path[i];
    if (c == L'/' || c == L'\\' || c == L':') break;
    if (c == L'.') {
      dot = i;
      break;
    }
  }
  if (dot < 0 && !add) return CWideString();
  CWideString result(path, dot < 0 ? length : dot);
  WstrAppendChar(result, L'.');
  WstrAppendChars(result, extension);
  return result;
}

int PathIsDeviceName(const wchar_t* path) {
  if (path == nullptr || std::wcsncmp(path, L"/dev/", 5) != 0) return 0;
  // Files and folders of the memory file systems mounted below /dev (such as /dev/shm) are no drives.
  char* narrow = TextWideToMultiByteDup(path);
  struct stat info;
  bool plain = narrow && stat(narrow, &info) == 0 && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode));
  MemFree(narrow);
  return plain ? 0 : 1;
}

wchar_t* WstrDupChars(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  const size_t n = std::wcslen(text) + 1;
  auto* copy = static_cast<wchar_t*>(MemAlloc(n * sizeof(wchar_t)));
  if (copy != nullptr) std::wmemcpy(copy, text, n);
  return copy;
}

void WcsReplaceChar(wchar_t* text, wchar_t from, wchar_t to) {
  if (text == nullptr || from == L'\0') return;
  for (; *text != L'\0'; ++text) {
    if (*text == from) *text = to;
  }
}

const wchar_t* CheckFileNameChars(const wchar_t* name) {
  static wchar_t trimmed[kNameMax + 1];
  if (name == nullptr) return nullptr;
  while (*name == L' ') ++name;
  int32_t n = 0;
  while (n < kNameMax && name[n] != L'\0') {
    trimmed[n] = name[n];
    ++n;
  }
  while (n > 0 && trimmed[n - 1] == L' ') --n;
  trimmed[n] = L'\0';
  if (n == 0 || std::wcscmp(trimmed, L".") == 0 || std::wcscmp(trimmed, L"..") == 0) return nullptr;
  if (std::wcspbrk(trimmed, L"\\/:*?\"<>|") != nullptr) {
    MessageShow(
        L"A file name cannot contain any of the following characters:\r\n\r\n"
        L"            \\ / : * ? \" < > |");
    return nullptr;
  }
  return trimmed;
}

const wchar_t* TextFormatThousands(uint64_t value) {
  static wchar_t text[32];
  wchar_t* p = text + sizeof text / sizeof(wchar_t) - 1;
  *p = L'\0';
  int digits = 0;
  do {
    if (digits > 0 && digits % 3 == 0) *--p = L',';
    *--p = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
    ++digits;
  } while (value != 0);
  return p;
}

const wchar_t* TextFormatSize(uint64_t bytes) {
  if (bytes < 0x100000) return FormatSizeIn(bytes, kUnitKb);
  if (bytes <= 0x3FFFFFFF) return FormatSizeIn(bytes, kUnitMb);
  return FormatSizeIn(bytes, kUnitGb);
}

const wchar_t* FormatSizeKbMb(uint64_t bytes) {
  return FormatSizeIn(bytes, bytes <= 0xFFFFF ? kUnitKb : kUnitMb);
}

int PathDotKind(const wchar_t* name) {
  if (name == nullptr || name[0] != L'.') return -1;
  if (name[1] == L'\0') return 0;
  return name[1] == L'.' && name[2] == L'\0' ? 1 : -1;
}

int PathIsRefusedNameChar(wchar_t c) {
  return c == L'\\' || c == L'*' || c == L'/' || c == L':' || c == L'<' || c == L'>' ? 1 : 0;
}

bool PathMakeLocalName(std::wstring* name) {
  const int dot = PathDotKind(name->c_str());
  if (dot >= 0) {
    *name = dot == 0 ? L"_" : L"__";
    return true;
  }
  bool changed = false;
  for (wchar_t& c : *name) {
    if (PathIsRefusedNameChar(c)) {
      c = L'_';
      changed = true;
    }
  }
  return changed;
}
