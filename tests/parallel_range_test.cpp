// Spreading indices over helper threads: every index exactly once per run,
// every result visible when run returns, job after job.
#include <gtest/gtest.h>

#include <vector>

#include "core/fs/parallel_range.h"

namespace redomark {
namespace {

TEST(ParallelRange, EachIndexOnceAndEveryResultVisibleOnReturn) {
  for (size_t helpers : {0u, 1u, 3u}) {
    ParallelRange pool(helpers);
    std::vector<int> hits;
    for (size_t count : {0u, 1u, 4u, 5u, 9u, 100u, 1000u, 3u, 10000u}) {
      for (int job = 0; job < 20; ++job) {
        hits.assign(count, 0);
        pool.run(count, [&](size_t i) { hits[i] += 1 + static_cast<int>(i % 7); });
        size_t wrong = 0;
        for (size_t i = 0; i < count; ++i) wrong += hits[i] != 1 + static_cast<int>(i % 7);
        ASSERT_EQ(wrong, 0u) << "helpers " << helpers << ", count " << count << ", job " << job;
      }
    }
  }
}

}  // namespace
}  // namespace redomark
