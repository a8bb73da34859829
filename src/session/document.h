// The lifetime of image documents: making a new one, freeing one with everything it owns (tree, track table,
// readers and writers of every format), and the process's current document.
#pragma once

#include <cstdint>

#include "image/document.h"

// A document with nothing set but its root entry; null on allocation failure.
CImageDocument* ImageAlloc();
// An empty document for building; null on allocation failure.
CImageDocument* ImageNew();
// Frees a document and everything it owns; null is accepted.
void ImageClose(CImageDocument* document);
void ImageResetIsoOptions(CImageDocument* document);

// The process's current document (the one the switches and most commands act on).
CImageDocument* CurrentImageGet();
void CurrentImageSet(CImageDocument* document);
void CurrentImageClear();
int CurrentImageIsReadOnly();
int CurrentImageQueryFeature(int32_t code);

// A new 8,192-byte buffer holding the image's path (the device name of a drive); null for no document. The caller
// frees it with MemFree.
wchar_t* ImageGetFileName(const CImageDocument* document);
// -1 after telling the user when the current document has unsaved changes, else 0.
int DocumentCheckSaved();
