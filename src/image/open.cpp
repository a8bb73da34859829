#include "image/open.h"

#include "cli/console.h"

CImageDocument* ImageOpenByPath(const wchar_t* path, int /*mode*/) {
  // Image formats are not readable in this build yet.
  ConsolePrintf(L"%ls: opening images is not available yet.\r\n", path ? path : L"");
  return nullptr;
}
