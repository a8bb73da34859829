// The text parsers of -volsize, -speed and the date switches: any text is refused or gives a sound value.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "cli/driver.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i < size; ++i)
    if (data[i]) text.push_back(static_cast<wchar_t>(data[i]));

  int64_t bytes = 0;
  if (CliParseVolumeSizeText(text.c_str(), &bytes) &&
      !(bytes == -1 || (bytes >= 131072 && bytes <= 8796093022208LL)))
    std::abort();

  int32_t kind = 0;
  double factor = 0;
  int showMessage = 0;
  if (CliParseSpeedText(text.c_str(), &kind, &factor, &showMessage) &&
      (kind < 1 || kind > 3 || !std::isfinite(factor) || !(factor > 0)))
    std::abort();

  int64_t time = 0;
  CliParseDateTimeText(text.c_str(), &time);
  return 0;
}
