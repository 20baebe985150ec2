#include "app/app_state.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"
#include "capture/caption_style.h"
#include "common/ui_sink.h"
#include "publish/snapshot.h"

namespace snapvane {

AppState::AppState() = default;
AppState::~AppState() = default;

std::shared_ptr<AppState> MakeAppState() {
  auto state = std::make_shared<AppState>();
  state->log = std::make_unique<ActivityLog>();
  state->transfers = std::make_unique<TransferProgress>();
  return state;
}

}  // namespace snapvane
