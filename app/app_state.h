#pragma once
// The one application state record: the settings and the parts that own the
// rest (camera, snapshots, HTTP server, log models, workers). Made by the main
// window (MakeAppState), the composition root; UI thread only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/capture_control.h"
#include "publish/snapshot.h"
#include "settings/settings.h"

namespace snapvane {

class ActivityLog;
class HttpServer;
class TransferProgress;
class UiSink;
class WorkerGroup;
class Snapshots;

// The settings are its base, so every part reads them as state.interval and so on.
struct AppState : Settings, std::enable_shared_from_this<AppState> {
  AppState();
  ~AppState();
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  Camera camera;  // the capture device, its format, caps and caption renderer
  int32_t secondsRemaining = 0;
  // The snapshot files, their uses and the capture dispatch (AttachUi makes it).
  std::shared_ptr<Snapshots> snapshots;
  std::shared_ptr<HttpServer> httpServer;  // made by the window with its event loop

  // Models behind the log list and the progress bar (own locks; see their headers).
  std::shared_ptr<ActivityLog> log;
  std::shared_ptr<TransferProgress> transfers;
  // How workers reach the UI thread.
  std::shared_ptr<UiSink> ui;

  // Running worker threads, so shutdown can wait a bounded time for them.
  std::shared_ptr<WorkerGroup> workers;
};

// A new zeroed state with its log and progress models, its workers' group and
// snapshots that publish nowhere yet.
std::shared_ptr<AppState> MakeAppState();
// Workers reach the UI through ui from now on; the snapshots are made anew to
// capture with the state's camera and settings and publish with publishers
// (empty: the real local save and upload).
void AttachUi(AppState& state, std::shared_ptr<UiSink> ui, Snapshots::Publishers publishers = {});

}  // namespace snapvane
