// Writing DVDs, HD DVDs and BDs: 2048-byte data in fixed packets (16 sectors, 32 on BD). A write prepares the
// medium the way its kind needs (a blank check, formatting, the write parameters page, a reserved track), writes
// the image's sectors from the burn buffer one whole packet per WRITE(10), then closes or finalizes the disc as
// its kind needs. A DVD+RW whose write fails while the drive still formats it in the background has that format
// stopped, so that the disc is left readable.
#pragma once

#include <cstdint>

struct CBurnJob;
struct CBurnBuffer;

// One DVD/BD write of a job: what the steps share.
struct CDvdWrite {
  CBurnJob* job = nullptr;
  CBurnBuffer* buffer = nullptr;
  int32_t mediaType = 0;
  int32_t packet = 16;      // sectors per WRITE(10)
  uint32_t notedTrack = 1;  // the track whose next writable address is checked and that is closed at the end
  int32_t prepared = 0;     // cleared when a DVD-RW track already had room for the image
  int64_t start = 0;        // first sector written: the append start, 0 for a new disc
  int64_t end = 0;          // the end of the image's data
};

// Sectors per packet of a media type: 32 for BDs (codes 32 to 63), 16 for the others.
int32_t BurnDvdPacketSectors(int32_t mediaType);
// The end of the image's data rounded up to a whole packet: what a write puts on the disc.
int64_t BurnDvdWrittenEnd(const CDvdWrite* write);

// The whole write: 1, or 0 after its message.
int BurnJobWriteDvdImage(CBurnJob* job, CBurnBuffer* buffer, int32_t mediaType);
int BurnJobPrepareDvdMedia(CDvdWrite* write);
int BurnJobWriteDvdData(CDvdWrite* write);
int BurnJobFinalizeMedia(CDvdWrite* write);
// TEST UNIT READY tries (one a second) allowed for closing a disc of `mediaType` after `written` sectors.
int BurnGetFinalizeBudget(int32_t mediaType, int64_t written);
// Mode page 5 for a DVD or BD write: disc at once for a new finalized disc, else incremental fixed packets.
int BurnSetDvdWriteParams(CBurnJob* job, int finalize, int testWrite);
