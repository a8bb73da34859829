// Commands whose work is not in this build yet: each says so in one line and fails.
#include "cli/runners.h"

#include "cli/console.h"
#include "cli/driver.h"
#include "cli/settings.h"
#include "image/document.h"
#include "session/document.h"
#include "session/save.h"
#include "runtime/tempfiles.h"

namespace {

int NotAvailable(const wchar_t* word) {
  ConsolePrintf(L"The command %ls is not available yet.\r\n", word);
  return -1;
}

}  // namespace

int CliRunHelp() {
  ConsolePrintUsage();
  return 0;
}




int CliRunCreate() {
  if (!g_settings->outputFile || !*g_settings->outputFile) {
    ConsolePrintf(L"Please specify output file name.\r\n");
    return -1;
  }
  CImageDocument* document = CurrentImageGet();
  if (!document) return -1;
  ImageApplySaveOptions(document, &g_settings->saveOptions);
  return ImageSaveAs(document, g_settings->outputFile);
}
int CliRunRip() { return NotAvailable(L"rip"); }
int CliRunEdit() {
  CImageDocument* document = CurrentImageGet();
  const bool named = g_settings->outputFile && *g_settings->outputFile;
  if (!named && (!document || WstrIsEmpty(document->path))) {
    ConsolePrintf(L"Please specify output file name.\r\n");
    return -1;
  }
  // Only the data of one track is rebuilt: audio and further tracks would be lost.
  if (document && ImageCheckConvertible(document)) return -1;
  // Drives, foreign file systems and consoles' discs are only read.
  if (document && document->readOnly) {
    ConsolePrintf(L"%ls\r\n\r\n%ls\r\n", document->path.c_str(), L"This image file can not be edited.");
    return -1;
  }
  ImageApplySaveOptions(document, &g_settings->saveOptions);
  TempFolderInit();
  // Without -o the opened image itself is the target; it is replaced only once the new image is complete.
  return ImageSaveAs(document, named ? g_settings->outputFile : nullptr);
}
