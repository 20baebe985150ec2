#include "app/app_state.h"

#include "app/activity_log.h"
#include "app/transfer_progress.h"
#include "capture/caption_style.h"
#include "common/ui_sink.h"
#include "common/worker_threads.h"
#include "publish/http_server.h"

namespace snapvane {

AppState::AppState() = default;
AppState::~AppState() = default;

std::shared_ptr<AppState> MakeAppState() {
  auto state = std::make_shared<AppState>();
  state->log = std::make_shared<ActivityLog>();
  state->transfers = std::make_shared<TransferProgress>();
  state->workers = std::make_shared<WorkerGroup>();
  AttachUi(*state, nullptr);
  return state;
}

void AttachUi(AppState& state, std::shared_ptr<UiSink> ui, Snapshots::Publishers publishers) {
  state.ui = ui;
  AppState* settings = &state;  // the snapshots live inside the state they read
  auto capture = [settings](const std::string& path) {
    const EncodeOptions options{settings->quality,
                                settings->caption ? settings->captionStyle.get() : nullptr,
                                settings->camera.Burner()};
    return CaptureSingleFrame(settings->camera, path, options);
  };
  state.snapshots =
      std::make_shared<Snapshots>(capture, std::move(ui), state.workers, std::move(publishers));
}

}  // namespace snapvane
