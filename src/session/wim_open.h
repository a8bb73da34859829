// Opening a WIM archive as an image document: tried last, once every other format refused the file.
#pragma once

#include <cstdint>
#include <cstdio>

struct CImageDocument;

// A new document over `stream` holding the chosen image's tree, or null with `*error` set (1: a WIM archive
// that could not be opened or no image was chosen, after the message was shown; 8: not a WIM archive). The
// stream stays the caller's on failure.
CImageDocument* ImageOpenWim(const wchar_t* path, FILE* stream, int32_t flags, int32_t* error);
