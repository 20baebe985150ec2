#pragma once
// Records what workers send to the UI thread, in order, for assertions.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ui_sink.h"

namespace snapvane::test {

class RecordingUiSink : public UiSink {
 public:
  void AddLogLine(int index, const std::string& text) override {
    std::lock_guard g(mutex_);
    lines_.insert(index < 0 || index >= int(lines_.size()) ? lines_.end() : lines_.begin() + index,
                  text);
  }
  void ReportTransferProgress(int socket, int32_t remaining) override {
    std::lock_guard g(mutex_);
    progress_.emplace_back(socket, remaining);
  }
  void AddVisitLine(int, const std::string& text) override { AddLogLine(-1, text); }
  void PostHostName(int, std::string) override {}

  std::vector<std::string> LogLines() const {
    std::lock_guard g(mutex_);
    return lines_;
  }
  // The remaining byte counts reported for one socket.
  std::vector<int32_t> ProgressFor(int socket) const {
    std::lock_guard g(mutex_);
    std::vector<int32_t> out;
    for (auto& [s, remaining] : progress_)
      if (s == socket) out.push_back(remaining);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::pair<int, int32_t>> progress_;
};

}  // namespace snapvane::test
