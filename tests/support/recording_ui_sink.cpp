#include "tests/support/recording_ui_sink.h"

namespace snapvane::test {

void RecordingUiSink::AddLogLine(int index, const std::string& text) {
  std::lock_guard g(mutex_);
  if (index < 0 || index >= static_cast<int>(lines_.size()))
    lines_.push_back(text);
  else
    lines_.insert(lines_.begin() + index, text);
  changed_.notify_all();
}

void RecordingUiSink::ReportTransferProgress(int socket, int32_t remaining) {
  std::lock_guard g(mutex_);
  progress_.emplace_back(socket, remaining);
}

void RecordingUiSink::AddVisitLine(int, const std::string& text) { AddLogLine(-1, text); }

void RecordingUiSink::PostHostName(int socket, std::string hostName) {
  std::lock_guard g(mutex_);
  hostNames_.push_back({socket, std::move(hostName)});
  changed_.notify_all();
}

std::vector<std::string> RecordingUiSink::LogLines() const {
  std::lock_guard g(mutex_);
  return lines_;
}

std::vector<std::pair<int, int32_t>> RecordingUiSink::Progress() const {
  std::lock_guard g(mutex_);
  return progress_;
}

std::vector<int32_t> RecordingUiSink::ProgressFor(int socket) const {
  std::lock_guard g(mutex_);
  std::vector<int32_t> out;
  for (auto& [s, v] : progress_)
    if (s == socket) out.push_back(v);
  return out;
}

std::vector<RecordingUiSink::HostName> RecordingUiSink::HostNames() const {
  std::lock_guard g(mutex_);
  return hostNames_;
}

bool RecordingUiSink::WaitForLogLines(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock g(mutex_);
  return changed_.wait_for(g, timeout, [&] { return lines_.size() >= n; });
}

bool RecordingUiSink::WaitForHostNames(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock g(mutex_);
  return changed_.wait_for(g, timeout, [&] { return hostNames_.size() >= n; });
}

}  // namespace snapvane::test
