#pragma once
// The real UiSink: log lines go to AppState::log, transfer progress to
// AppState::transfers (both thread-safe models the window follows), host names
// are queued to the UI thread through the poster the window sets.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "common/ui_sink.h"

namespace snapvane {

struct AppState;

class AppUiSink : public UiSink {
 public:
  // Runs a task later on the UI thread. It may also drop the task unrun (for
  // example when the window is closing); whatever the task holds is freed then.
  using Poster = std::function<void(std::function<void()> task)>;

  // state must be owned by a shared_ptr (MakeAppState) and outlive the sink's
  // direct calls; queued completions check that it is still alive.
  explicit AppUiSink(AppState& state);
  ~AppUiSink() override;

  void SetPoster(Poster post);
  // The window is gone: queued and later host names only free their records.
  void Detach();

  void AddLogLine(int index, const std::string& text) override;
  void ReportTransferProgress(int socket, int32_t remaining) override;
  void PostHostName(int socket, std::unique_ptr<PendingHttpClient> record) override;

 private:
  AppState& state_;
  std::mutex mutex_;
  Poster post_;
  // Shared with queued tasks, which may run after the sink is gone.
  std::shared_ptr<std::atomic<bool>> detached_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace snapvane
