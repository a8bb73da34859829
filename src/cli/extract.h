// What the extract command shares with the audio ripper: asking before a local file is replaced, and reporting a
// file that could not be written.
#pragma once

struct CTreeEntry;

// 0: go on and write the file; -1: keep the local file; -2: the local file is the image itself.
int ExtractCheckOverwrite(const wchar_t* path, const CTreeEntry* entry);
// Shows "Extract failed!" with the path and the last error when the abort code says the file failed.
void ExtractReportFailure(const wchar_t* path);
