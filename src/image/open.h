// Opening an image file by its path (with its companion descriptor).
#pragma once

struct CImageDocument;

// Opens the image at `path`; mode 2 loads the directory tree. Null after the reason was reported.
CImageDocument* ImageOpenByPath(const wchar_t* path, int mode);
