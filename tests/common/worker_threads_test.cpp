#include "common/worker_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>


namespace snapvane {
namespace {

using namespace std::chrono_literals;

// Bursts from two threads while the threads of the last burst wait for more work:
// no start may be lost or run twice, and nothing a body held outlives it.
TEST(WorkerThreadsTest, EveryStartRunsOnceAlsoOnReusedThreads) {
  auto group = std::make_shared<WorkerGroup>();
  auto token = std::make_shared<int>(0);
  std::atomic<int> runs = 0;
  auto burst = [&] {
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(StartWorker(group, [&runs, token] { ++runs; }));
  };
  for (int round = 1; round <= 3; ++round) {
    std::thread other(burst);
    burst();
    other.join();
    ASSERT_TRUE(WaitForWorkers(*group, 10s));
    EXPECT_EQ(runs.load(), round * 200);
    EXPECT_EQ(token.use_count(), 1);
  }
}

}  // namespace
}  // namespace snapvane
