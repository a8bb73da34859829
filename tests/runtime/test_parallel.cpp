#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "runtime/parallel.h"

namespace {

TEST(ParallelFor, EveryItemExactlyOnceAcrossManyJobs) {
  // Many short jobs in a row: a helper that wakes late must never touch a job that is over.
  for (int64_t count : {0, 1, 7, 64, 1000, 100003}) {
    for (int round = 0; round < 50; ++round) {
      std::vector<std::atomic<int>> hits(static_cast<size_t>(count));
      ParallelFor(count, 3, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) hits[static_cast<size_t>(i)].fetch_add(1);
      });
      for (int64_t i = 0; i < count; ++i) ASSERT_EQ(hits[static_cast<size_t>(i)].load(), 1) << count << " " << i;
    }
  }
}

}  // namespace
