// The program's temporary folder, the list of files to remove when an operation fails, and the creation and
// removal of folder trees on the local disk.
//
// The temporary folder is "$Kestrane$" under /tmp. It is created mode 0700 before any file goes into it and is
// used only while it is a real directory owned by this user: a symbolic link or another user's folder standing
// at its name makes it unusable (the creation of temporary files then fails) rather than followed.
#pragma once

#include <cstdio>
#include <cwchar>

#include "runtime/wstring.h"

// One registered file: removed (after closing `file`, when set) by TempFilePurge.
struct CTempFileEntry {
  CWideString path;
  FILE* file;
};

// Called by main before the command runs.
void TempFolderInitAtStart();
// Sets up the temporary folder under /tmp: 1 when it is ready, 0 when it cannot be used.
int TempFolderInit();
// The same under another base folder (made first when missing).
int TempFolderInitAt(const wchar_t* base);
// The temporary folder with a final '/', or null when it could not be set up.
const wchar_t* TempFolderGetPath();

// Creates every folder named by a prefix of `path` that ends before a '/' (so "/a/b/c" makes /a and /a/b, and
// "/a/b/c/" also /a/b/c). Existing folders are fine. 1 when the deepest of them is a folder afterwards (or the
// path names none), else 0. The first argument is not used.
int FolderCreatePath(const void* unused, const wchar_t* path);
// Deletes a folder with everything in it. Symbolic links inside are removed, never followed; a path that is
// itself a link, "/" and "" are left alone. Failures are passed over. Always 0.
int FolderDeleteTree(const wchar_t* path);

// Registers a file (`file` may be null) for removal; with purgeNow = 1 the list is purged at once. 1 when the
// file was registered; 0 when memory ran out, in which case the file is closed and removed at once.
int TempFileAdd(const wchar_t* path, FILE* file, int purgeNow);
// Closes and deletes every registered file, first to last, and empties the list.
void TempFilePurge();

// Creates a new file of its own (mode 0600, never through an existing name or link) in the temporary folder,
// named prefix + a unique part + suffix, opened for reading and writing. Sets `path` to its full path. Null
// when the folder is unusable, the prefix or suffix holds a '/', or the creation fails (errno says why).
FILE* TempFileCreateUnique(const wchar_t* prefix, const wchar_t* suffix, CWideString& path);
