// Spreading independent per-item work (sector codecs) over the machine's cores.
#pragma once

#include <cstdint>
#include <functional>

// Runs body(begin, end) over slices of [0, count), on up to as many threads as the machine has cores, and
// returns when all are done. Counts below 2 x minPerThread run on the calling thread. The slices never overlap,
// so a body that writes only its own items needs no lock.
void ParallelFor(int64_t count, int64_t minPerThread, const std::function<void(int64_t, int64_t)>& body);
