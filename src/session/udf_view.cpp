#include "session/udf_view.h"

#include "filesystems/udf.h"
#include "image/document.h"
#include "image/tracktable.h"
#include "session/document.h"

CImageDocument* UdfOpenView(CImageDocument* document, int rawDevice, CTrackTable* trackTable, int64_t sessionStart) {
  if (!document && !rawDevice) return nullptr;
  CImageDocument* view = ImageAlloc();
  if (!view) return nullptr;
  if (document) {
    view->path = document->path;
    view->input = document->input;
    view->rawDevice = document->rawDevice;
    view->inputType = document->inputType;
    view->headerSize = document->headerSize;
    view->sectorSize = document->sectorSize;
    view->userDataOffset = document->userDataOffset;
    view->fileSize = document->fileSize;
    view->readableLimit = document->readableLimit;
    view->savedLimit = document->savedLimit;
    view->trackTable = document->trackTable;
    view->deviceFlag = document->deviceFlag;
    view->formats = document->formats;
    view->nrg = document->nrg;
    view->qvf = document->qvf;
    // A drive's reader and its state stay the document's.
    view->driveReader = document->driveReader;
    view->driveRawReader = document->driveRawReader;
    view->driveState = document->driveState;
  } else {
    view->rawDevice = rawDevice;
    view->trackTable = trackTable;
    view->deviceFlag = 1;
    view->inputType = 0;
    view->sectorSize = 2048;
    view->readableLimit = TrackTableGetEndSector(trackTable);
  }
  view->quiet = 1;
  UdfMount(view, sessionStart, 1);
  const bool mounted = UdfIsMounted(view);
  // Everything borrowed goes back before the view is closed or handed out.
  view->input = nullptr;
  view->trackTable = nullptr;
  view->nrg = nullptr;
  view->qvf = nullptr;
  if (!mounted) {
    view->rawDevice = 0;
    ImageClose(view);
    return nullptr;
  }
  return view;
}
