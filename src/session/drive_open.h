// Opening a disc in a drive as an image: the document reads the disc's layout and then its sectors through the
// drive, with the retries and questions of a disc read.
#pragma once

#include <cstdint>

struct CImageDocument;
struct CScsiContext;

// Opens the drive named by the document's path and reads the disc's layout into the document: 1 when the
// document holds a track table with at least one track. A drive without a disc fails with "There is no disc in
// the drive."; a blank disc opened with kOpenSessionAppend gets the empty-disc mark.
int ImageLoadOpticalDisc(CImageDocument* document);

// Where the UDF volume of the disc in `device` ends: the sector after the furthest of its partitions, reading no
// further than `discSectors`; -1 when no UDF volume is recognised. Quiet, and leaves the abort code as it was.
int64_t DriveUdfVolumeEnd(CScsiContext* scsi, int device, int64_t discSectors);
// Lets the disc reads of `scsi` size a disc by its file systems (the UDF volume of an overwritable disc).
void DriveUseFileSystemProbes(CScsiContext* scsi);
