#include "app/app_ui_sink.h"

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/transfer_progress.h"

namespace snapvane {

AppUiSink::AppUiSink(AppState& state) : state_(state) {}

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
  if (state_.log) state_.log->AddLogLine(index, text);
}

void AppUiSink::ReportTransferProgress(int socket, int32_t remaining) {
  if (state_.transfers) state_.transfers->UpdateTransferProgress(socket, remaining);
}

void AppUiSink::PostHostName(int socket, std::unique_ptr<PendingHttpClient> record) {
  Poster post;
  {
    std::lock_guard guard(mutex_);
    if (detached_->load() || !post_) return;  // no window: the record is freed here
    post = post_;
  }
  // std::function needs a copyable task, so the record travels in a shared holder;
  // a task dropped unrun frees it all the same.
  auto held = std::make_shared<std::unique_ptr<PendingHttpClient>>(std::move(record));
  std::weak_ptr<AppState> weakState = state_.weak_from_this();
  auto detached = detached_;
  post([weakState, detached, socket, held] {
    std::unique_ptr<PendingHttpClient> rec = std::move(*held);
    if (detached->load()) return;
    auto state = weakState.lock();
    if (!state) return;
    CompleteHttpLogLine(*state, socket, std::move(rec));
  });
}

}  // namespace snapvane
