// The lifetime of image documents: making a new one, freeing one with everything it owns (tree, track table,
// readers and writers of every format), and the process's current document.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/document.h"

// A document with nothing set but its root entry; null on allocation failure.
CImageDocument* ImageAlloc();
// A document reading `stream` as the image file at `path` with the open flags given (tree loading taken from
// them) and the stream's size; null with error 6 when it cannot be made (the caller keeps its stream).
CImageDocument* ImageAllocForStream(const wchar_t* path, FILE* stream, int32_t flags, int32_t* error);
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
