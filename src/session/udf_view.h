// A view of the UDF volume of one session of an open image, without a tree: for callers that need only the
// volume label or where the file set lies.
#pragma once

#include <cstdint>

struct CImageDocument;
struct CTrackTable;

// A new document that borrows the input of `document` (or, without one, the drive `rawDevice` with its track
// table) and has UDF mounted at `sessionStart`, its label taken from UDF; null when no UDF volume is there. The
// view owns nothing it borrowed: close it with ImageClose. Its udfVolume gives the file set's partition and the
// root's file entry.
CImageDocument* UdfOpenView(CImageDocument* document, int rawDevice, CTrackTable* trackTable, int64_t sessionStart);
