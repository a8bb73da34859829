// The runners of the commands: each reads the settings and the current document and returns 0 on success or
// -1 on failure.
#pragma once

int CliRunList();
int CliRunExtract();
int CliRunConvert();
int CliRunHelp();
int CliRunCreate();
int CliRunMakeImage();
int CliRunBurnImage();
int CliRunCopyDisc();
int CliRunRip();
int CliRunEraseDisc();
int CliRunEdit();
