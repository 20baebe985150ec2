#include "app/transfer_progress.h"

#include <algorithm>

namespace snapvane {

namespace {

constexpr int32_t kBarMaxRange = 0xFFFF;  // the range message carries 16 bits
constexpr int kScaleShift = 16;

// Sums as signed 32-bit values; wraps instead of overflowing (UB) past 2 GB.
int32_t AddWrapping(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

TransferProgress::Bar TransferProgress::UpdateTransferProgress(int socket, int32_t remaining) {
  Bar bar;
  std::shared_ptr<const std::function<void()>> changed;  // no copy of the callable per report
  {
    std::lock_guard guard(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [socket](const TransferEntry& e) { return e.socket == socket; });
    if (it != entries_.end()) {
      it->remaining = remaining;
      it->total = std::max(it->total, remaining);
    } else {
      entries_.push_back(TransferEntry{socket, remaining, remaining});
      it = std::prev(entries_.end());
    }
    if (remaining == 0) entries_.erase(it);

    int32_t r = 0;
    int32_t t = 0;
    for (const TransferEntry& e : entries_) {
      r = AddWrapping(r, e.remaining);
      t = AddWrapping(t, e.total);
    }
    if (t > kBarMaxRange) {
      r >>= kScaleShift;  // arithmetic shift
      t >>= kScaleShift;
    }
    // Position first, clamped by the range still in force; then the new range,
    // which clamps the position again.
    bar_.position = std::clamp(r, 0, bar_.range);
    bar_.range = static_cast<int32_t>(static_cast<uint16_t>(t));
    bar_.position = std::clamp(bar_.position, 0, bar_.range);
    bar = bar_;
    changed = changed_;
  }
  if (changed) (*changed)();
  return bar;
}

TransferProgress::Bar TransferProgress::Current() const {
  std::lock_guard guard(mutex_);
  return bar_;
}

size_t TransferProgress::Count() const {
  std::lock_guard guard(mutex_);
  return entries_.size();
}

void TransferProgress::SetChangedCallback(std::function<void()> changed) {
  auto shared =
      changed ? std::make_shared<const std::function<void()>>(std::move(changed)) : nullptr;
  std::lock_guard guard(mutex_);
  changed_ = std::move(shared);
}

}  // namespace snapvane
