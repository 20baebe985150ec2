#include "app/transfer_progress.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

namespace snapvane {
namespace {

using Bar = TransferProgress::Bar;

TEST(TransferProgress, OneTransferIn512ByteBlocks) {
  TransferProgress progress;
  // The position is set before the range: the first report is clamped by the old
  // range 0 .. 0, so the bar starts empty and is full from the next report on.
  EXPECT_EQ(progress.UpdateTransferProgress(7, 40000), (Bar{0, 40000}));
  int32_t left = 40000;
  while (left > 512) {
    left -= 512;
    ASSERT_EQ(progress.UpdateTransferProgress(7, left), (Bar{left, 40000})) << left;
  }
  EXPECT_EQ(progress.Count(), 1u);
  EXPECT_EQ(progress.UpdateTransferProgress(7, 0), (Bar{0, 0}));
  EXPECT_EQ(progress.Count(), 0u);
  // The sender's closing 0 after the last block: made and removed at once.
  EXPECT_EQ(progress.UpdateTransferProgress(7, 0), (Bar{0, 0}));
  EXPECT_EQ(progress.Count(), 0u);
  EXPECT_EQ(progress.Current(), (Bar{0, 0}));
}

TEST(TransferProgress, TwoLargeTransfersScaleBy65536) {
  TransferProgress progress;
  // 100000 alone: 100000 >> 16 = 1 of 1, clamped to the old range 0.
  EXPECT_EQ(progress.UpdateTransferProgress(3, 100000), (Bar{0, 1}));
  // 150000 of 150000: 2 of 2, position clamped to the old range 1.
  EXPECT_EQ(progress.UpdateTransferProgress(4, 50000), (Bar{1, 2}));
  EXPECT_EQ(progress.UpdateTransferProgress(3, 99488), (Bar{2, 2}));  // 149488 >> 16
  EXPECT_EQ(progress.UpdateTransferProgress(3, 30000), (Bar{1, 2}));  // 80000 >> 16
  EXPECT_EQ(progress.UpdateTransferProgress(4, 10000), (Bar{0, 2}));  // 40000 >> 16
  // The first ends: 50000 is below 65536, no more scaling; the position 10000
  // is clamped by the range 0 .. 2 still in force for this one update.
  EXPECT_EQ(progress.UpdateTransferProgress(3, 0), (Bar{2, 50000}));
  EXPECT_EQ(progress.UpdateTransferProgress(4, 9488), (Bar{9488, 50000}));
  EXPECT_EQ(progress.UpdateTransferProgress(4, 0), (Bar{0, 0}));
  EXPECT_EQ(progress.Count(), 0u);
}

TEST(TransferProgress, LargerReportRaisesTotalSmallerOnlyRemaining) {
  TransferProgress progress;
  progress.UpdateTransferProgress(1, 1000);
  EXPECT_EQ(progress.UpdateTransferProgress(1, 1000), (Bar{1000, 1000}));
  EXPECT_EQ(progress.UpdateTransferProgress(1, 3000), (Bar{1000, 3000}));  // clamped once
  EXPECT_EQ(progress.UpdateTransferProgress(1, 3000), (Bar{3000, 3000}));
  EXPECT_EQ(progress.UpdateTransferProgress(1, 500), (Bar{500, 3000}));
  // A second transfer adds its own total; one that ends at once changes nothing.
  EXPECT_EQ(progress.UpdateTransferProgress(2, 0), (Bar{500, 3000}));
  EXPECT_EQ(progress.UpdateTransferProgress(2, 2000), (Bar{2500, 5000}));
  EXPECT_EQ(progress.Count(), 2u);
  // Entries are keyed by socket: ending one leaves the other as it was.
  EXPECT_EQ(progress.UpdateTransferProgress(1, 0), (Bar{2000, 2000}));
  EXPECT_EQ(progress.Count(), 1u);
}

TEST(TransferProgress, ChangedCallbackRunsWithoutTheLock) {
  TransferProgress progress;
  std::vector<Bar> seen;
  // Reading the model from the callback would deadlock if the lock were held.
  progress.SetChangedCallback([&] { seen.push_back(progress.Current()); });
  progress.UpdateTransferProgress(5, 100);
  progress.UpdateTransferProgress(5, 0);
  EXPECT_EQ(seen, (std::vector<Bar>{{0, 100}, {0, 0}}));
}

TEST(TransferProgress, SeveralSendersAtOnce) {
  constexpr int kSenders = 8;
  constexpr int32_t kBlock = 512;
  TransferProgress progress;
  std::barrier allStarted(kSenders + 1);
  std::barrier mayFinish(kSenders + 1);
  std::vector<std::thread> senders;
  int32_t sumOfSizes = 0;
  for (int s = 0; s < kSenders; ++s) {
    const int32_t size = 3000 + 1000 * s;
    sumOfSizes += size;
    senders.emplace_back([&, s, size] {
      progress.UpdateTransferProgress(100 + s, size);
      allStarted.arrive_and_wait();
      mayFinish.arrive_and_wait();
      for (int32_t left = size - kBlock; left > 0; left -= kBlock) {
        Bar bar = progress.UpdateTransferProgress(100 + s, left);
        EXPECT_LE(bar.position, bar.range);
      }
      progress.UpdateTransferProgress(100 + s, 0);
      progress.UpdateTransferProgress(100 + s, 0);
    });
  }
  allStarted.arrive_and_wait();
  // Every first report counted exactly once.
  EXPECT_EQ(progress.Count(), static_cast<size_t>(kSenders));
  EXPECT_EQ(progress.Current().range, sumOfSizes);
  EXPECT_EQ(progress.UpdateTransferProgress(999, 0).range, sumOfSizes);
  EXPECT_EQ(progress.Current().position, sumOfSizes);
  mayFinish.arrive_and_wait();
  for (auto& t : senders) t.join();
  EXPECT_EQ(progress.Count(), 0u);
  EXPECT_EQ(progress.Current(), (Bar{0, 0}));
}

}  // namespace
}  // namespace snapvane
