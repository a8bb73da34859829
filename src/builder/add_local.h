// Adding local files and folders to a document's tree, and the pass that readies an added tree for writing
// (names, record sizes, ISO order and directory sizes).
#pragma once

#include <sys/stat.h>

#include <cstdint>

struct CImageDocument;
struct CProgressCallbacks;
struct CTreeEntry;
struct CTreeFolder;

// Adds the local file or folder `localPath` to `folder` under `name`; a folder brings its whole contents. Name
// conflicts are exact (case-sensitive): a file over an existing file asks the overwrite question, a folder over
// an existing folder merges into it. Returns the new or existing entry, or null when nothing was added
// (symbolic links, devices, pipes, refusals, a status that cannot be read).
CTreeEntry* TreeAddLocalPath(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath,
                             const wchar_t* name);
// Fills the folder node from the local folder `localPath`, in bytewise name order. Returns 1.
int TreeScanLocalFolder(CImageDocument* document, CTreeFolder* node, const wchar_t* localPath, CTreeEntry* entry);
// Adds the missing "." and ".." entries of a folder, dated from `attributes` when given.
void TreeAddDotEntries(CImageDocument* document, CTreeFolder* folder, const struct stat* attributes);
// Readies the tree below `folder` for writing: dot entries, ISO and Joliet names, ISO record sizes (adding to
// the build's path-table size), ISO order, ISO directory sizes. 0, or -1 with the abort code set.
int TreePrepareAddedFiles(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress);

// The -add switch: `localPath` into the image folder `imageFolder` ("/..."), creating the folder chain when
// needed. A folder's contents (not the folder itself) land in the image folder. 1 added, 0 refused (nothing
// at the path, no document that takes files), -1 failed (abort code set).
int CliAddLocalPath(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath);
// Adds one local file or folder under its own name. Null when refused or nothing was added.
CTreeEntry* ImageAddLocalFile(CImageDocument* document, CTreeFolder* folder, const wchar_t* localPath);

// Number of records a file of `size` bytes takes in a directory: files of 4 GiB or more are split into
// extents of kIsoMaxExtentBytes.
constexpr int64_t kIsoMaxExtentBytes = 0xFFFFF800;
int64_t IsoRecordCount(const CTreeEntry* entry);
