// Erasing and formatting rewritable discs: the erase of erase-disc by media type, quick or full, and the check
// that decides whether the destination of a burn may be used as it is, must be erased first, or is refused.
#pragma once

#include <cstdint>

struct CBurnJob;

// method 1 quick, 2 full: 1 when the disc was erased, else 0 (the reason has been printed).
int BurnJobEraseMedia(CBurnJob* job, int32_t method, int32_t speed);
// 0 go on, 1 cancelled by the user, -1 refused or failed (the reason has been printed).
int BurnJobPrepareDestination(CBurnJob* job);
