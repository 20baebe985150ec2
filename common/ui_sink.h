#pragma once
// The one narrow way worker threads reach the UI thread: log lines, transfer
// progress and the HTTP visit lines. Every method may be called from any thread,
// holding no lock of the caller's. Tests put a recording fake (tests/support)
// behind it.
#include <cstdint>
#include <string>

namespace snapvane {

class UiSink {
 public:
  virtual ~UiSink() = default;
  // Inserts a line at index (-1 appends) of the activity log.
  virtual void AddLogLine(int index, const std::string& text) = 0;
  // Bytes still to send on one transfer, keyed by its socket; 0 ends it.
  virtual void ReportTransferProgress(int socket, int32_t remaining) = 0;
  // An HTTP visit's line, "%s" standing where the visitor's host name goes; it
  // waits for the PostHostName of the same socket.
  virtual void AddVisitLine(int socket, const std::string& text) = 0;
  // Queues the completion of socket's waiting visit line with hostName (or the
  // text of a failed lookup) to the UI thread.
  virtual void PostHostName(int socket, std::string hostName) = 0;
};

}  // namespace snapvane
