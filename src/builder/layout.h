// The layout of a new image and its write order. The layout pass gives every structure and every file its LBA
// without writing anything; the write pass then writes strictly in ascending sector order through the
// document's sector writer, so the output can be a stream.
#pragma once

#include <cstdint>

struct CImageDocument;
struct CProgressCallbacks;

// The session start: the next writable address of a disc opened for appending, else 0.
void IsoSetSessionStart(CImageDocument* document);
// Names, record sizes, ISO order and directory sizes of the whole tree, and with Joliet the Joliet lists and
// sizes. 1, or 0 on failure (abort code set).
int IsoPrepareTree(CImageDocument* document, CProgressCallbacks* progress);
// Gives every structure and file its LBA; `sessionStart` -1 takes the one IsoSetSessionStart chose. Always 1:
// failures are left in the abort code. Afterwards IsoBuildState()->nextFreeLba is the image's size.
int IsoLayoutImage(CImageDocument* document, CProgressCallbacks* progress, int64_t sessionStart);
// Writes the laid-out image: 0, or -1 as soon as a step fails. The write must end exactly at the laid-out size.
int IsoWriteImage(CImageDocument* document, CProgressCallbacks* progress);
void IsoResetWritePosition(CImageDocument* document);
