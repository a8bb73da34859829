// The test program runs library code the way the command line does: with the console as its user interface.
#include "cli/console.h"

namespace {

const bool g_consoleInstalled = (ConsoleInstallUi(), true);

}  // namespace
