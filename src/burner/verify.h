// Verifying a written disc: every sector the burn wrote is read back from the disc and compared with the source
// of the burn, track by track for raw and copied discs, as one extent for data images.
#pragma once

#include <cstddef>
#include <cstdint>

struct CBurnBuffer;
struct CBurnJob;

// Verifies the disc of the job against the run's document, in the run's sector size: 1 when every sector
// matched, 0 when the verification failed, was abandoned, or found differences the user chose to ignore (it has
// said which).
int BurnJobVerifyMedia(CBurnJob* job);
// Verifies `count` sectors from `start` of track `track` (-1: the data extent) in runs of 16, loading the source
// through `loader` or copying it from `memory` when given. Progress runs from `base` of `total`. 1 or 0.
int BurnJobVerifyTrack(CBurnJob* job, CBurnBuffer* loader, int32_t track, int64_t start, int64_t count, uint64_t base,
                       uint64_t total, const uint8_t* memory);
// 0 when the source and disc bytes of one run count as equal for the track's kind, 1 otherwise.
int BurnBufferCompareSector(const CBurnBuffer* loader, int32_t track, const uint8_t* source, const uint8_t* disc,
                            size_t length);
