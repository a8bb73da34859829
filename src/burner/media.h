// Media detection: the media type code of the disc in a drive, worked out from the drive's current profile and
// refined by feature queries, the DVD book type, the BD disc information and the CD ATIP; the names shown for
// the codes; the media families the recording decisions use; and where a further session may be written.
#pragma once

#include <cstdint>

#include "burner/transport.h"

struct CImageDocument;
struct CTrackTable;

enum : uint8_t {
  kMediaNone = 0,
  kMediaCdRom = 1,
  kMediaCdR = 2,
  kMediaCdRw = 3,
  kMediaDvdRom = 16,
  kMediaDvdR = 17,
  kMediaDvdRwSequential = 18,
  kMediaDvdRwRestricted = 19,
  kMediaDvdRam = 20,
  kMediaDvdPlusRw = 22,
  kMediaDvdPlusR = 21,
  kMediaDvdRDl = 23,
  kMediaDvdPlusRDl = 24,
  kMediaDvdRwDl = 25,
  kMediaDvdPlusRwDl = 26,
  kMediaBdRom = 32,
  kMediaBdR = 33,
  kMediaBdRPow = 34,
  kMediaBdRRandom = 35,
  kMediaBdRe = 39,
  kMediaHdDvdRom = 64,
  kMediaHdDvdR = 65,
  kMediaHdDvdRam = 66,
  kMediaUnknown = 255,
};

// Header flags of a track table read from a disc, set by the layers that read the disc and build sessions:
// an overwritable disc whose file system allows a further session, and a pseudo-overwrite BD-R that takes one.
enum : uint32_t {
  kTrackTableFurtherSession = 1u << 0,
  kTrackTablePowSession = 1u << 1,
};

// Results of DiscGetAppendStart besides 1 and 0.
enum : int {
  kAppendClosed = 254,
  kAppendNotWritable = 255,
};

// The profile table: media type code of MMC current profiles 0x00..0x52 (255 for the others).
uint8_t MediaCodeOfProfile(uint32_t profile);
uint8_t MediaDetectType(CScsiContext* scsi, int device);
const wchar_t* MediaTypeName(int code);
int MediaIsCdOrNone(const CTrackTable* table);
int MediaIsWriteOnce(int code);
int MediaIsOverwritable(int code);
int MediaIsPseudoOverwrite(int code);
int MediaIsReadOnly(int code);
int MediaIsRewritable(int code);

// The refinements of MediaDetectType on answers already received, for the detection and the fuzz target.
// A DVD physical format answer (READ DISC STRUCTURE format 0): the code, or -1 when it decides nothing.
int MediaCodeOfDvdStructure(const uint8_t* answer, uint32_t length);
// A BD disc information answer applied to `code` (255 when not yet known).
int MediaRefineByBdStructure(int code, const uint8_t* answer, uint32_t length);
// An ATIP answer (READ TOC format 4): 2 CD-R, 3 CD-RW, or -1 when there is none.
int MediaCodeOfAtip(const uint8_t* answer, uint32_t length);

// Where a further session can start on the disc of a document opened on a drive: 1 with the track number and
// start, 0 when it cannot tell, kAppendClosed, kAppendNotWritable. `dataEnd` is the end of the document's data.
int DiscGetAppendStart(CScsiContext* scsi, int device, CImageDocument* document, int64_t dataEnd, int32_t* trackNumber,
                       int64_t* startLba, int64_t* endLba);
