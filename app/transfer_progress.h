#pragma once
// The outgoing transfers behind progress bar 1024. Senders report synchronously
// into this model (its own mutex, reports applied in the order sent); the bar
// follows it on the UI thread.
#include <cstdint>
#include <functional>
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
  struct Bar {
    int32_t position = 0;
    int32_t range = 0;  // the bar runs 0 .. range
    bool operator==(const Bar&) const = default;
  };

  // Applies one report (socket, bytes still to send) and returns the bar.
  Bar UpdateTransferProgress(int socket, int32_t remaining);
  Bar Current() const;
  size_t Count() const;
  // Called after every report, on the reporting thread, with no lock held.
  void SetChangedCallback(std::function<void()> changed);

 private:
  mutable std::mutex mutex_;
  std::vector<TransferEntry> entries_;  // in order of first report
  Bar bar_;
  std::function<void()> changed_;
};

}  // namespace snapvane
