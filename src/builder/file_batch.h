// Writing the data of many small local files into a new plain image: the files of a block are read on several
// threads into one large buffer, and each block goes out in one request while the next one is read.
#pragma once

#include <cstddef>

struct CImageDocument;
struct CProgressCallbacks;
struct CTreeEntry;

// 1 when the entry's data may go through IsoWriteSmallFiles: a local file of at most 1 MiB whose sectors go
// straight to a plain 2048-byte-sector output file.
int IsoSmallFileBatchable(CImageDocument* document, const CTreeEntry* entry);
// Writes the data of `count` batchable files that lie one after another from the write position, advancing it
// past them. A file that cannot be opened, or whose size is no longer the one recorded, ends the write after
// the files before it, as the one-file writer would. 0, or -1 with the abort code set.
int IsoWriteSmallFiles(CImageDocument* document, CProgressCallbacks* progress, CTreeEntry* const* entries,
                       size_t count);
