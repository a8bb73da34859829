#include "session/wim_open.h"

#include "image/document.h"
#include "runtime/file.h"
#include "session/document.h"
#include "wim/wim.h"

CImageDocument* ImageOpenWim(const wchar_t* path, FILE* stream, int32_t flags, int32_t* error) {
  *error = 8;
  CImageDocument* document = ImageAlloc();
  if (!document) {
    *error = 6;
    return nullptr;
  }
  document->input = stream;
  document->path = path ? path : L"";
  document->openFlags = flags;
  document->loadTree = (flags & kOpenLoadTree) ? 1 : 0;
  document->fileSize = FileGetSize(stream);
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
