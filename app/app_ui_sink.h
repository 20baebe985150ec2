#pragma once
// The real UiSink: log lines go to the activity log, transfer progress to the
// transfer model (both thread-safe models the window follows); host names are
// queued to the UI thread through the poster the window sets, many at a time.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ui_sink.h"

namespace snapvane {

class ActivityLog;
class TransferProgress;

class AppUiSink : public UiSink {
 public:
  // Runs a task later on the UI thread. It may also drop the task unrun (for
  // example when the window is closing).
  using Poster = std::function<void(std::function<void()> task)>;

  AppUiSink(std::shared_ptr<ActivityLog> log, std::shared_ptr<TransferProgress> transfers);
  ~AppUiSink() override;

  void SetPoster(Poster post);
  // The window is gone: queued and later host names are dropped.
  void Detach();

  void AddLogLine(int index, const std::string& text) override;
  void ReportTransferProgress(int socket, int32_t remaining) override;
  void AddVisitLine(int socket, const std::string& text) override;
  void PostHostName(int socket, std::string hostName) override;

 private:
  std::shared_ptr<ActivityLog> log_;
  std::shared_ptr<TransferProgress> transfers_;
  std::mutex mutex_;
  Poster post_;
  // Host names waiting for the UI thread, and whether a task to complete them
  // is queued. Shared with that task, which may run after the sink is gone.
  struct HostNames {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> waiting;
    bool taskQueued = false;
    bool detached = false;
  };
  std::shared_ptr<HostNames> hostNames_ = std::make_shared<HostNames>();
};

}  // namespace snapvane
