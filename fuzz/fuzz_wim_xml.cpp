// The XML reader over any text (pairs of bytes as UTF-16 units, as a WIM archive stores it).
#include <cstdint>
#include <string>

#include "wim/xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c);
  }
  CXmlNode top;
  CXmlParseSettings settings;
  settings.keepParsingAfterMismatch = size % 2;
  XmlParse(&top, text.c_str(), &settings);
  for (const CXmlNode* image : XmlFindAllByName(&top, L"IMAGE")) {
    XmlFindAttribute(image, L"INDEX");
    XmlFindChild(image, L"NAME");
  }
  return 0;
}
