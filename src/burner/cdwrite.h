// Writing CDs session at once: the write parameters page, the cue sheet that describes the whole session, the
// CD-TEXT of the lead-in, the pregap of the first track, the track data from the burn buffer and the closing
// cache flush. A plain 2048-byte data image becomes one Mode 1 track; a raw or mixed image is written as its
// track table says.
#pragma once

#include <cstdint>
#include <vector>

struct CBurnJob;
struct CBurnBuffer;
struct CTrackTable;

// Minute, second and frame of a frame count (LBA + 150).
void CdLbaToMsf(uint8_t* out, int64_t frames);
// Mode page 5 read, changed and written back: 1, or 0 when the drive refused it.
int BurnSetCdWriteParams(CBurnJob* job, int testWrite, int writeType, int multisession, int dataBlockType,
                         int sessionFormat);
// The cue sheet of a track table (1 to 99 tracks): 1, or 0 for a table it cannot describe.
int BurnJobBuildCueSheet(CBurnJob* job, const CTrackTable* table, int withCdText, std::vector<uint8_t>* sheet);
int BurnSendDataCueSheet(CBurnJob* job, int64_t appendStart, int32_t trackNumber, int64_t dataLength);
int BurnJobWriteCdImage(CBurnJob* job, CBurnBuffer* buffer);
int BurnJobWriteCdDataTrack(CBurnJob* job, CBurnBuffer* buffer, int64_t dataEnd);
int BurnJobWriteTrackData(CBurnJob* job, CBurnBuffer* buffer, int64_t dataLength, int64_t start, int64_t runOut);
int BurnJobWriteCdSao(CBurnJob* job, CBurnBuffer* buffer);
int BurnJobWriteCdTextLeadIn(CBurnJob* job, const CTrackTable* table, int64_t start);
