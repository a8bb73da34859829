// Opening a disc in a drive as an image: the document reads the disc's layout and then its sectors through the
// drive, with the retries and questions of a disc read.
#pragma once

#include <cstdint>

struct CImageDocument;

// Opens the drive named by the document's path and reads the disc's layout into the document: 1 when the
// document holds a track table with at least one track. A drive without a disc fails with "There is no disc in
// the drive."; a blank disc opened with kOpenSessionAppend gets the empty-disc mark.
int ImageLoadOpticalDisc(CImageDocument* document);
