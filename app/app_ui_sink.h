#pragma once
// The real UiSink: log lines go to the activity log, transfer progress to the
// transfer model (both thread-safe models the window follows); host names are
// queued to the UI thread through the poster the window sets.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

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
  // Shared with queued tasks, which may run after the sink is gone.
  std::shared_ptr<std::atomic<bool>> detached_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace snapvane
