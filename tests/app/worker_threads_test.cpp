#include "app/worker_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "app/app_state.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;

// Bursts from two threads while the threads of the last burst wait for more work:
// no start may be lost or run twice, and nothing a body held outlives it.
TEST(WorkerThreadsTest, EveryStartRunsOnceAlsoOnReusedThreads) {
  std::shared_ptr<AppState> state = MakeAppState();
  auto token = std::make_shared<int>(0);
  std::atomic<int> runs = 0;
  auto burst = [&] {
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(StartWorker(state, [&runs, token] { ++runs; }));
  };
  for (int round = 1; round <= 3; ++round) {
    std::thread other(burst);
    burst();
    other.join();
    ASSERT_TRUE(WaitForWorkers(*state, 10s));
    EXPECT_EQ(runs.load(), round * 200);
    EXPECT_EQ(token.use_count(), 1);
  }
}

}  // namespace
}  // namespace snapvane
