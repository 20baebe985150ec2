#include "app/app_ui_sink.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"

namespace snapvane {

AppUiSink::AppUiSink(std::shared_ptr<ActivityLog> log, std::shared_ptr<TransferProgress> transfers)
    : log_(std::move(log)), transfers_(std::move(transfers)) {}

AppUiSink::~AppUiSink() { detached_->store(true); }

void AppUiSink::SetPoster(Poster post) {
  std::lock_guard guard(mutex_);
  post_ = std::move(post);
}

void AppUiSink::Detach() {
  Poster old;
  {
    std::lock_guard guard(mutex_);
    detached_->store(true);
    old = std::move(post_);
    post_ = nullptr;
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

void AppUiSink::PostHostName(int socket, std::string hostName) {
  Poster post;
  {
    std::lock_guard guard(mutex_);
    if (detached_->load() || !post_) return;  // no window: nothing to complete
    post = post_;
  }
  std::weak_ptr<ActivityLog> weakLog = log_;
  auto detached = detached_;
  post([weakLog, detached, socket, hostName = std::move(hostName)] {
    if (detached->load()) return;
    if (auto log = weakLog.lock()) log->CompleteVisitLine(socket, hostName);
  });
}

}  // namespace snapvane
