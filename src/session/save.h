// Saving a document as an image file: the save options, the output format by the target's suffix, the
// temporary-file road that protects an existing target (the opened image included), the build and the CUE
// sheet beside a BIN image.
#pragma once

#include <cstdint>

struct CImageDocument;
struct CProgressCallbacks;
struct CSaveOptions;

// Copies the save options into the document: 2 when anything changed, else 0.
int ImageApplySaveOptions(CImageDocument* document, const CSaveOptions* options);
// Saves the document as `target` (empty or null: over the opened image itself). 0 saved, -1 failed (abort code
// set, nothing left at the target that was not there before).
int ImageSaveAs(CImageDocument* document, const wchar_t* target);
// Builds and writes the document (the callbacks' document or the current one) through its output writer. 1
// written, 0 failed.
int ImageBuild(CProgressCallbacks* callbacks);
// Builds and writes `document`; without callbacks progress goes to the user interface. 1 written, 0 failed.
int ImageBuildDocument(CImageDocument* document, CProgressCallbacks* callbacks);
