#include "app/transfer_progress.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

namespace snapvane {
namespace {

using Bar = TransferProgress::Bar;

TEST(TransferProgress, ExactSequences) {
  TransferProgress p;
  // The position is set before the range: the first report is clamped to 0 .. 0.
  EXPECT_EQ(p.UpdateTransferProgress(7, 40000), (Bar{0, 40000}));
  for (int32_t left = 40000 - 512; left > 0; left -= 512)
    ASSERT_EQ(p.UpdateTransferProgress(7, left), (Bar{left, 40000})) << left;
  EXPECT_EQ(p.UpdateTransferProgress(7, 0), (Bar{0, 0}));
  EXPECT_EQ(p.UpdateTransferProgress(7, 0), (Bar{0, 0}));  // made and removed at once

  // Above 65535 both are shifted by 16.
  EXPECT_EQ(p.UpdateTransferProgress(3, 100000), (Bar{0, 1}));
  EXPECT_EQ(p.UpdateTransferProgress(4, 50000), (Bar{1, 2}));
  EXPECT_EQ(p.UpdateTransferProgress(3, 99488), (Bar{2, 2}));
  EXPECT_EQ(p.UpdateTransferProgress(4, 10000), (Bar{1, 2}));  // 109488 >> 16
  EXPECT_EQ(p.UpdateTransferProgress(3, 0), (Bar{2, 50000}));  // clamped by the old range
  EXPECT_EQ(p.UpdateTransferProgress(4, 0), (Bar{0, 0}));

  // A larger report raises the total; one that ends at once changes nothing.
  p.UpdateTransferProgress(1, 1000);
  EXPECT_EQ(p.UpdateTransferProgress(1, 3000), (Bar{1000, 3000}));
  EXPECT_EQ(p.UpdateTransferProgress(1, 500), (Bar{500, 3000}));
  EXPECT_EQ(p.UpdateTransferProgress(2, 0), (Bar{500, 3000}));
  EXPECT_EQ(p.UpdateTransferProgress(2, 2000), (Bar{2500, 5000}));
  EXPECT_EQ(p.UpdateTransferProgress(1, 0), (Bar{2000, 2000}));
}

TEST(TransferProgress, SeveralSendersAtOnce) {
  constexpr int kSenders = 8;
  TransferProgress progress;
  std::barrier allStarted(kSenders + 1), mayFinish(kSenders + 1);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&, s, size = 3000 + 1000 * s] {
      progress.UpdateTransferProgress(100 + s, size);
      allStarted.arrive_and_wait();
      mayFinish.arrive_and_wait();
      for (int32_t left = size - 512; left > 0; left -= 512) {
        Bar bar = progress.UpdateTransferProgress(100 + s, left);
        EXPECT_LE(bar.position, bar.range);
      }
      progress.UpdateTransferProgress(100 + s, 0);
    });
  allStarted.arrive_and_wait();
  // Every sender's whole size counts at once: 3000 + 4000 + ... + 10000.
  EXPECT_EQ(progress.UpdateTransferProgress(999, 0), (Bar{52000, 52000}));
  mayFinish.arrive_and_wait();
  for (auto& t : senders) t.join();
  EXPECT_EQ(progress.Count(), 0u);
  EXPECT_EQ(progress.Current(), (Bar{0, 0}));
}

}  // namespace
}  // namespace snapvane
