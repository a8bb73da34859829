// Storing identical files once, and placing files with a sort weight first.
//
// While a build lays its files out, every file that has just received its data LBA is offered to the merge:
// each file of the same size that has no LBA yet and holds the same bytes takes that LBA too, so its data is
// written once. Candidates are found through a size list made at the start of the layout: a file whose size
// no other file shares is never opened. Files that share a size are told apart by a CRC-32 of their data (all
// of it up to 32 KiB, else five sectors spread over the file) and, where those agree, by a full comparison.
//
// Files with a sort weight (1..100) are laid out and written before all others, heaviest first; the list of
// them is the document's orderedFiles.
#pragma once

struct CImageDocument;
struct CProgressCallbacks;
struct CTreeEntry;
struct CTreeFolder;

// Starts the merge of one layout: makes the size list of the document's files when identical files are to be
// stored once (and the output is no packed container). 0, or -1 when memory runs out (abort code 6).
int OptimizeBegin(CImageDocument* document, CProgressCallbacks* progress);
// Frees the size list and the compare buffers.
void OptimizeEnd(CImageDocument* document, CProgressCallbacks* progress);
// Gives `placed`'s output LBA to every file of its size that has no LBA yet and holds the same data. Returns
// the number of files that took it, or -1 when a read failed and set the abort code (10: a local file that
// cannot be opened; 4: a local file that cannot be read to its size). Without a progress block the console's
// progress line shows the files handled out of the files in the size list.
int OptimizeMergeDuplicates(CImageDocument* document, CTreeEntry* placed, CProgressCallbacks* progress);

// Makes the document's orderedFiles: the files with a sort weight, a non-zero size, no output LBA, no
// requested LBA and not kept from the previous session, in folder order (a folder's files, then its
// subfolders in entry order), then sorted heaviest first with ties in that order. Returns their count, or -1
// when memory runs out (abort code 6).
int FileOrderBuild(CImageDocument* document);
// Lays the ordered files out at the layout cursor, in list order, each one offered to the merge. 0, or -1 when
// the abort code is set.
int FileOrderAssignExtents(CImageDocument* document, CProgressCallbacks* progress);
// Writes, in list order, each ordered file whose output LBA is the write position (one merged onto an earlier
// file has none of its own). `folder` is the tree being written; the list covers the whole document. 0, or -1
// when a write fails or the abort code is set.
int FileOrderWriteFiles(CImageDocument* document, CTreeFolder* folder, CProgressCallbacks* progress);
