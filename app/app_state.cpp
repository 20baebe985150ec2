#include "app/app_state.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"
#include "common/ui_sink.h"
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
  state->log = std::make_unique<ActivityLog>();
  state->transfers = std::make_unique<TransferProgress>();
  return state;
}

}  // namespace snapvane
