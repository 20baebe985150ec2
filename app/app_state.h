#pragma once
// The one application state record. Created by the main window (MakeAppState),
// shared with every worker (shared_ptr), so it outlives all of them.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/capture_control.h"
#include "settings/settings.h"

namespace snapvane {

class ActivityLog;
class HttpServer;
class MainWindowPort;
class TransferProgress;
class UiSink;
class WorkerGroup;
struct SnapshotFile;

// The settings are its base, so every part reads them as state.interval and so on.
struct AppState : Settings, std::enable_shared_from_this<AppState> {
  AppState();
  ~AppState();
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  Camera camera;  // the capture device, its format, caps and caption renderer
  MainWindowPort* mainWindow = nullptr;  // UI thread only; null once the window is gone
  int32_t secondsRemaining = 0;
  std::shared_ptr<HttpServer> httpServer;  // made by the window with its event loop

  // The one lock: snapshot counts and path, worker starts.
  std::mutex lock;
  int32_t snapshotUsers = 0;               // users of the current snapshot file (snapshot->users)
  char snapshotPath[260] = {};             // the current snapshot file, empty for none
  std::shared_ptr<SnapshotFile> snapshot;  // the current snapshot's own record
  bool capturing = false;          // a capture is in progress (UI thread)
  bool localSaveRunning = false;   // under lock
  bool ftpUploadRunning = false;   // under lock

  // Models behind the log list and the progress bar (own locks; see their headers).
  std::shared_ptr<ActivityLog> log;
  std::shared_ptr<TransferProgress> transfers;
  // How workers reach the UI thread.
  std::shared_ptr<UiSink> ui;

  // Running worker threads, so shutdown can wait a bounded time for them.
  std::shared_ptr<WorkerGroup> workers;
};

// A new zeroed state with its log and progress models.
std::shared_ptr<AppState> MakeAppState();

}  // namespace snapvane
