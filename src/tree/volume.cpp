#include "tree/volume.h"

#include <ctime>
#include <cwchar>

#include "image/document.h"

void VolumeInitIdentifiers(CImageDocument* document) {
  if (!document) return;
  for (auto& identifier : document->identifiers) identifier[0] = 0;
  time_t created = static_cast<time_t>(document->creationTime);
  struct tm local {};
  localtime_r(&created, &local);
  std::swprintf(document->identifiers[kVolumeLabel], kVolumeIdentifierChars, L"%4.4d%2.2d%2.2d_%2.2d%2.2d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  std::wcscpy(document->identifiers[kVolumeSystemId], L"Win32");
  std::wcscpy(document->identifiers[kVolumeApplicationId], L"Kestrane");
}

void VolumeSetIdentifier(CImageDocument* document, int index, const wchar_t* text) {
  if (!document) return;
  if (index >= 0 && index < kVolumeIdentifierCount) {
    size_t n = text ? std::wcslen(text) : 0;
    if (n > kVolumeIdentifierChars - 1) n = kVolumeIdentifierChars - 1;
    std::wmemcpy(document->identifiers[index], text ? text : L"", n);
    document->identifiers[index][n] = 0;
  }
  document->identifiersChanged = 1;
}
