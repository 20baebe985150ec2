#pragma once
// The outgoing transfers behind progress bar 1024. Senders report synchronously
// into this model (its own mutex, reports applied in the order sent); the bar
// follows it on the UI thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace snapvane {

struct TransferEntry {
  int socket = -1;
  int32_t total = 0;
  int32_t remaining = 0;
};

class TransferProgress {
 public:
  // What the bar shows. Like the bar it stands for, the position is set first,
  // clamped to the range in force, then the range; the range takes the low 16
  // bits of the sum (after the shift by 16 above 65535).
  struct Bar {
    int32_t position = 0;
    int32_t range = 0;  // the bar runs 0 .. range
    bool operator==(const Bar&) const = default;
  };

  // Applies one report (socket, bytes still to send; 0 ends the transfer) and
  // returns the bar. Any thread; reports are applied in the order they arrive.
  Bar UpdateTransferProgress(int socket, int32_t remaining);
  Bar Current() const;
  size_t Count() const;  // running transfers
  // Called after every report, on the reporting thread, with no lock held.
  void SetChangedCallback(std::function<void()> changed);

 private:
  mutable std::mutex mutex_;
  std::vector<TransferEntry> entries_;  // in order of first report
  Bar bar_;
  std::shared_ptr<const std::function<void()>> changed_;
};

}  // namespace snapvane
