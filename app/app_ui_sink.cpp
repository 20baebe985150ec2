#include "app/app_ui_sink.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"

namespace snapvane {

AppUiSink::AppUiSink(std::shared_ptr<ActivityLog> log, std::shared_ptr<TransferProgress> transfers)
    : log_(std::move(log)), transfers_(std::move(transfers)) {}

AppUiSink::~AppUiSink() {
  std::lock_guard guard(hostNames_->mutex);
  hostNames_->detached = true;
  hostNames_->waiting.clear();
}

void AppUiSink::SetPoster(Poster post) {
  std::lock_guard guard(mutex_);
  post_ = std::move(post);
}

void AppUiSink::Detach() {
  Poster old;
  {
    std::lock_guard guard(mutex_);
    {
      std::lock_guard names(hostNames_->mutex);
      hostNames_->detached = true;
      hostNames_->waiting.clear();
    }
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

// One task on the UI queue completes every host name that came while it was
// waiting there: a busy server costs the window one event per batch, not one
// per visit.
void AppUiSink::PostHostName(int socket, std::string hostName) {
  Poster post;
  {
    std::lock_guard guard(mutex_);
    if (!post_) return;  // no window: nothing to complete
    std::lock_guard names(hostNames_->mutex);
    if (hostNames_->detached) return;
    hostNames_->waiting.emplace_back(socket, std::move(hostName));
    if (hostNames_->taskQueued) return;  // the queued task takes this one too
    hostNames_->taskQueued = true;
    post = post_;
  }
  std::weak_ptr<ActivityLog> weakLog = log_;
  post([weakLog, names = hostNames_] {
    std::vector<std::pair<int, std::string>> batch;
    {
      std::lock_guard guard(names->mutex);
      names->taskQueued = false;
      batch.swap(names->waiting);
    }
    if (auto log = weakLog.lock())
      for (auto& [socket, hostName] : batch) log->CompleteVisitLine(socket, hostName);
  });
}

}  // namespace snapvane
