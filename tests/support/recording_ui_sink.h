#pragma once
// Records what workers send to the UI thread, in order, for assertions.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ui_sink.h"

namespace snapvane::test {

class RecordingUiSink : public UiSink {
 public:
  struct HostName {
    int socket;
    std::string hostName;
  };

  void AddLogLine(int index, const std::string& text) override;
  void ReportTransferProgress(int socket, int32_t remaining) override;
  void AddVisitLine(int socket, const std::string& text) override;
  void PostHostName(int socket, std::string hostName) override;

  std::vector<std::string> LogLines() const;
  std::vector<std::pair<int, int32_t>> Progress() const;
  std::vector<int32_t> ProgressFor(int socket) const;
  std::vector<HostName> HostNames() const;
  // Waits until at least n log lines (or host names) arrived; false on timeout.
  bool WaitForLogLines(size_t n, std::chrono::milliseconds timeout) const;
  bool WaitForHostNames(size_t n, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<std::pair<int, int32_t>> progress_;
  std::vector<HostName> hostNames_;
};

}  // namespace snapvane::test
