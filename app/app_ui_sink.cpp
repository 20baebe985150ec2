#include "app/app_ui_sink.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"

namespace snapvane {

AppUiSink::AppUiSink(std::shared_ptr<ActivityLog> log, std::shared_ptr<TransferProgress> transfers)
    : log_(std::move(log)), transfers_(std::move(transfers)) {}

AppUiSink::~AppUiSink() = default;

void AppUiSink::SetHostNameWake(std::function<void()> wake) {
  std::lock_guard guard(mutex_);
  wake_ = std::move(wake);
}

void AppUiSink::Detach() {
  std::function<void()> old;
  {
    std::lock_guard guard(mutex_);
    detached_ = true;
    hostNames_.clear();
    old = std::move(wake_);
    wake_ = nullptr;
  }
  // old is destroyed here, outside the lock, with whatever it captured.
}

void AppUiSink::AddLogLine(int index, const std::string& text) {
  if (log_) log_->AddLogLine(index, text);
}

void AppUiSink::ReportTransferProgress(int socket, int32_t remaining) {
  if (transfers_) transfers_->UpdateTransferProgress(socket, remaining);
}

void AppUiSink::AddVisitLine(int socket, const std::string& text) {
  if (log_) log_->AddVisitLine(socket, text);
}

// One wake completes every host name that came while it was out: a busy server
// costs the window one run per batch, not one per visit.
void AppUiSink::PostHostName(int socket, std::string hostName) {
  std::lock_guard guard(mutex_);
  if (!wake_ || detached_) return;  // no window: nothing to complete
  hostNames_.emplace_back(socket, std::move(hostName));
  if (std::exchange(woken_, true)) return;
  wake_();
}

void AppUiSink::CompleteHostNames() {
  std::vector<std::pair<int, std::string>> batch;
  {
    std::lock_guard guard(mutex_);
    woken_ = false;
    batch.swap(hostNames_);
  }
  if (log_ && !batch.empty()) log_->CompleteVisitLines(batch);
}

}  // namespace snapvane
