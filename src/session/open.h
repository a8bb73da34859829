// session/: the one place that knows every format. It owns the format table and its rows' handlers, opening
// by path (companion descriptors, detection, mounting the file system), saving through the builder and the
// output writers, and the lifetime of documents. It may use every folder but cli/; a new format plugs in by
// adding its row and its probe here.
//
// Opening an image file: format detection from the format table and the content, mounting the file system
// and loading the directory tree, and opening by the path named on the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/wstring.h"

struct CImageDocument;


// Opens the image at `path` (flags above). Null after the reason was reported.
CImageDocument* ImageOpenByPath(const wchar_t* path, int flags);
// Resolves a path into the image data file and its descriptor (a CUE sheet, MDS or NRG): kind 1 when the path
// was the descriptor, 2 when it is the data. 0 after the report when the file cannot be opened.
int ImageResolveDataFile(const wchar_t* path, CWideString* dataPath, CWideString* descriptorPath, int32_t* kind);
// Turns an open stream into a ready document; null with *error set (the image-open codes) on failure. The
// stream belongs to the document (or is closed) afterwards.
CImageDocument* ImageOpen(const wchar_t* path, const wchar_t* companionPath, FILE* stream, int32_t flags,
                          int32_t openValue, int32_t* error);
// Sets dataBeyondEnd when the volume or one of its files reaches past the readable limit: 1 then, else 0.
int ImageCheckDataInside(CImageDocument* document);
// Sets the document's input type (-1 when nothing matched) and geometry; hint -1 = by the extension.
void ImageDetectFormat(CImageDocument* document, int32_t hint);
void ImageTryFormats(CImageDocument* document, int32_t first);
int ImageTryFormat(CImageDocument* document, int32_t type);
int ImageOpenAsFormat(CImageDocument* document, int32_t type);
// 0 when a file system was found at the document's geometry, else -1.
int ImageMountFileSystem(CImageDocument* document, int32_t type);
// The descriptor scan of the first megabyte: candidate sector sizes and the primary descriptor's position.
void ImageScanForDescriptor(CImageDocument* document);
int ImageSetScannedGeometry(CImageDocument* document, int32_t type);
// The lower-cased extension after the last "." when at most 5 characters long, else "".
CWideString ImagePathGetExtension(const wchar_t* path);
const uint8_t* MemFindBytes(const uint8_t* buffer, size_t length, const uint8_t* pattern, size_t patternLength);
