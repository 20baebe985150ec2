#pragma once
// The real UiSink: log lines go to the activity log, transfer progress to the
// transfer model (both thread-safe models the window follows); host names wait
// for the UI thread, which completes many at a time.
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
  AppUiSink(std::shared_ptr<ActivityLog> log, std::shared_ptr<TransferProgress> transfers);
  ~AppUiSink() override;

  // Called (from any thread, under the sink's lock: it must only queue) when host
  // names start waiting; the UI thread is then to call CompleteHostNames soon.
  void SetHostNameWake(std::function<void()> wake);
  // UI thread: completes the visit lines of every host name waiting, at once.
  void CompleteHostNames();
  // The window is gone: waiting and later host names are dropped.
  void Detach();

  void AddLogLine(int index, const std::string& text) override;
  void ReportTransferProgress(int socket, int32_t remaining) override;
  void AddVisitLine(int socket, const std::string& text) override;
  void PostHostName(int socket, std::string hostName) override;

 private:
  std::shared_ptr<ActivityLog> log_;
  std::shared_ptr<TransferProgress> transfers_;
  std::mutex mutex_;  // the members below
  std::function<void()> wake_;
  bool woken_ = false;  // a wake is out and CompleteHostNames has not run since
  bool detached_ = false;
  std::vector<std::pair<int, std::string>> hostNames_;  // (visit, name) waiting
};

}  // namespace snapvane
