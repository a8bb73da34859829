#include "session/wim_open.h"

#include "image/document.h"
#include "session/document.h"
#include "wim/wim.h"

CImageDocument* ImageOpenWim(const wchar_t* path, FILE* stream, int32_t flags, int32_t* error) {
  *error = 8;
  CImageDocument* document = ImageAllocForStream(path, stream, flags, error);
  if (!document) return nullptr;
  const int result = WimOpenArchive(document, flags);
  if (result != 1) {
    if (result < 0) *error = 1;
    document->input = nullptr;  // the caller keeps its file
    ImageClose(document);
    return nullptr;
  }
  *error = 0;
  return document;
}
