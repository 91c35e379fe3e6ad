// The engine's worker pool: every item once, errors come back, pool reusable.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "engine/ThreadPool.h"

namespace {

using Vy::Engine::ThreadPool;

TEST(EngineThreadPool, RunsEveryItemExactlyOnceAcrossManyJobs) {
    ThreadPool pool(3);
    EXPECT_EQ(pool.Size(), 3u);
    for (size_t count : {1ul, 63ul, 64ul, 65ul, 10007ul}) {
        for (int job = 0; job < 20; ++job) {
            std::vector<std::atomic<int>> hits(count);
            pool.ParallelFor(count, 64, [&](size_t begin, size_t end) {
                ASSERT_LE(end - begin, 64u);
                for (size_t i = begin; i < end; ++i) {
                    hits[i].fetch_add(1);
                }
            });
            for (size_t i = 0; i < count; ++i) {
                ASSERT_EQ(hits[i].load(), 1) << "item " << i << " of " << count;
            }
        }
    }
}

TEST(EngineThreadPool, RethrowsTheFailureOfAChunkAndStaysUsable) {
    ThreadPool pool(2);
    EXPECT_THROW(pool.ParallelFor(1000, 10,
                                  [](size_t begin, size_t) {
                                      if (begin == 500) {
                                          throw std::runtime_error("chunk failed");
                                      }
                                  }),
                 std::runtime_error);
    std::atomic<size_t> total{0};
    pool.ParallelFor(1000, 10, [&](size_t begin, size_t end) { total += end - begin; });
    EXPECT_EQ(total.load(), 1000u);
}

}  // namespace
