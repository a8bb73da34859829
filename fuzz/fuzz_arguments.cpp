// The command-line parser over any list of words: every word of the table, any value, any count.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "runtime/textconv.h"

namespace {

// Words whose work reaches the local file system while parsing stand in for a harmless switch.
bool TouchesFiles(const std::wstring& word) {
  return word == L"-add" || word == L"edit" || word == L"show-comment" || word == L"extract-comment-to-file" ||
         word == L"-comment-from-file";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Words are separated by NUL bytes; each is decoded as UTF-8, invalid bytes becoming U+FFFD.
  std::vector<std::wstring> words{L"kestrane"};
  std::string current;
  auto flush = [&]() {
    std::wstring wide(current.size() + 1, L'\0');
    wide.resize(TextMultiByteToWideLenient(current.data(), current.size(), wide.data()));
    if (TouchesFiles(wide)) wide = L"-y";
    words.push_back(wide);
    current.clear();
  };
  for (size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == 0)
      flush();
    else
      current.push_back(static_cast<char>(data[i]));
  }
  if (!current.empty()) flush();
  std::vector<wchar_t*> argv;
  for (auto& w : words) argv.push_back(w.data());
  if (CliPrepare() != 0) return 0;
  CliSetArguments(static_cast<int>(argv.size()), argv.data());
  CliParseArgs();
  CliSetArguments(0, nullptr);
  return 0;
}
