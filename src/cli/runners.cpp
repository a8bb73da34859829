// Commands whose work is not in this build yet: each says so in one line and fails.
#include "cli/runners.h"

#include "cli/console.h"
#include "cli/driver.h"

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




int CliRunCreate() { return NotAvailable(L"create"); }
int CliRunMakeImage() { return NotAvailable(L"make-image"); }
int CliRunBurnImage() { return NotAvailable(L"burn-image"); }
int CliRunCopyDisc() { return NotAvailable(L"copy-disc"); }
int CliRunRip() { return NotAvailable(L"rip"); }
int CliRunEraseDisc() { return NotAvailable(L"erase-disc"); }
int CliRunEdit() { return NotAvailable(L"edit"); }
