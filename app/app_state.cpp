#include "app/app_state.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"
#include "common/ui_sink.h"
#include "common/worker_threads.h"
#include "publish/http_server.h"
#include "capture/caption_style.h"
#include "publish/snapshot.h"

namespace snapvane {

AppState::AppState() = default;
AppState::~AppState() = default;

const BitmapInfoHeader* AppState::VideoFormatHeader() const {
  if (videoFormat.size() < sizeof(BitmapInfoHeader)) return nullptr;
  return reinterpret_cast<const BitmapInfoHeader*>(videoFormat.data());
}

std::shared_ptr<AppState> MakeAppState() {
  auto state = std::make_shared<AppState>();
  state->log = std::make_shared<ActivityLog>();
  state->transfers = std::make_shared<TransferProgress>();
  state->workers = std::make_shared<WorkerGroup>();
  return state;
}

}  // namespace snapvane
