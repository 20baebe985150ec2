#pragma once
// The one application state record. Created by the main window (MakeAppState),
// shared with every worker (shared_ptr), so it outlives all of them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/capture_control.h"

namespace snapvane {

class ActivityLog;
class MainWindowPort;
class TransferProgress;
class UiSink;
struct CaptionStyle;
struct HttpServer;
struct PendingHttpClient;
struct SnapshotFile;

inline constexpr int kNoSocket = -1;  // POSIX descriptors start at 0

struct AppState : std::enable_shared_from_this<AppState> {
  AppState();
  ~AppState();
  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  Camera camera;  // the capture device, its format, caps and caption renderer
  MainWindowPort* mainWindow = nullptr;  // UI thread only; null once the window is gone
  int32_t interval = 0;
  int32_t secondsRemaining = 0;
  int32_t saveFile = 0;
  char fileName[260] = {};
  int32_t http = 0;
  uint16_t httpPort = 0;
  int listenSocket = kNoSocket;
  std::shared_ptr<HttpServer> httpServer;  // connection count and bounds (http_server.h)
  int32_t httpRefresh = 0;
  int32_t ftp = 0;
  char ftpUser[64] = {};
  char ftpPass[64] = {};  // clear text in memory; scrambled only in the settings file
  char ftpAccount[64] = {};
  char ftpServer[260] = {};
  char ftpFile[260] = {};
  char ftpDir[260] = {};
  int32_t caption = 0;
  std::unique_ptr<CaptionStyle> captionStyle;
  int32_t quality = 0;

  // The one lock: snapshot counts and path, worker starts, pending HTTP clients.
  std::mutex lock;
  int32_t snapshotUsers = 0;               // users of the current snapshot file (snapshot->users)
  char snapshotPath[260] = {};             // the current snapshot file, empty for none
  std::shared_ptr<SnapshotFile> snapshot;  // the current snapshot's own record
  bool capturing = false;                  // a capture is in progress (UI thread)
  bool localSaveRunning = false;           // under lock
  bool ftpUploadRunning = false;           // under lock
  std::vector<std::unique_ptr<PendingHttpClient>> pendingClients;  // newest last; under lock

  // Models behind the log list and the progress bar (own locks; see their headers).
  std::unique_ptr<ActivityLog> log;
  std::unique_ptr<TransferProgress> transfers;
  // How workers reach the UI thread.
  std::shared_ptr<UiSink> ui;

  // Running worker threads, so shutdown can wait a bounded time for them.
  std::mutex workersMutex;
  std::condition_variable workersDone;
  int activeWorkers = 0;
};

// A new zeroed state with its log and progress models.
std::shared_ptr<AppState> MakeAppState();

}  // namespace snapvane
