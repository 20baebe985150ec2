#pragma once
// The one narrow way worker threads reach the UI thread: log lines, transfer
// progress and host names. Every method may be called from any thread, without
// holding AppState::lock. Tests put a recording fake (tests/support) behind it.
#include <cstdint>
#include <memory>
#include <string>

namespace snapvane {

struct PendingHttpClient;

class UiSink {
 public:
  virtual ~UiSink() = default;
  // Inserts a line at index (-1 appends) of the activity log.
  virtual void AddLogLine(int index, const std::string& text) = 0;
  // Bytes still to send on one transfer, keyed by its socket; 0 ends it.
  virtual void ReportTransferProgress(int socket, int32_t remaining) = 0;
  // Queues the host-name completion of an HTTP visit line to the UI thread.
  // Ownership of record (may be null) passes; it is freed if the UI is gone.
  virtual void PostHostName(int socket, std::unique_ptr<PendingHttpClient> record) = 0;
};

}  // namespace snapvane
