#include "app/app_state.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"
#include "common/ui_sink.h"
#include "common/worker_threads.h"
#include "publish/http_server.h"
#include "capture/caption_style.h"
#include "common/ui_sink.h"
#include "publish/snapshot.h"

namespace snapvane {

AppState::AppState() = default;
AppState::~AppState() = default;

std::shared_ptr<AppState> MakeAppState() {
  auto state = std::make_shared<AppState>();
  state->log = std::make_shared<ActivityLog>();
  state->transfers = std::make_shared<TransferProgress>();
  state->workers = std::make_shared<WorkerGroup>();
  return state;
}

}  // namespace snapvane
