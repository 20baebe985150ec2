// Headless HTTP server for load measurements: the real accept handler and client
// workers over the test-pattern camera (640x480, real frame handler and JPEG
// writer), driven by a poll loop standing in for the UI thread.
//
//   http_serve [--port N] [--refresh S] [--interval S] [--max-connections N] [--still 1]
//
// --still 1 keeps every picture the same (no moving block, no counter), so a load
// tool that compares response lengths sees one length.
//
// Prints "listening <port>" once ready; runs until SIGINT/SIGTERM, then prints
// one line of counts: captures, connections refused over the bound, peak RSS.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/app_state.h"
#include "app/app_ui_sink.h"
#include "app/main_window_port.h"
#include "app/worker_threads.h"
#include "capture/capture_control.h"
#include "capture/test_pattern_device.h"
#include "publish/http_server.h"
#include "publish/snapshot.h"

namespace {

using namespace snapvane;

std::atomic<bool> gStop{false};
int gWake[2] = {-1, -1};

void OnSignal(int) {
  gStop = true;
  (void)!write(gWake[1], "x", 1);
}

// Just enough of the main window: the listening socket's handler, and nothing
// shown anywhere.
class HeadlessWindow : public MainWindowPort {
 public:
  bool IsChecked(int) const override { return false; }
  void SetChecked(int, bool) override {}
  std::string GetText(int) const override { return {}; }
  void SetText(int, std::string_view) override {}
  void SetEnabled(int, bool) override {}
  int GetSelection(int) const override { return -1; }
  void SetSelection(int, int) override {}
  bool SetTrayIcon(int, std::string_view) override { return true; }
  void ResizePreview(int, int) override {}
  void ShowPreview(bool) override {}
  void WatchListenSocket(int fd, AcceptHandler onAcceptable) override {
    watchedFd = fd;
    onAccept = std::move(onAcceptable);
  }
  int watchedFd = -1;
  AcceptHandler onAccept;
};

struct TaskQueue {
  std::mutex mutex;
  std::deque<std::function<void()>> tasks;
  void Post(std::function<void()> task) {
    {
      std::lock_guard g(mutex);
      tasks.push_back(std::move(task));
    }
    (void)!write(gWake[1], "x", 1);
  }
  void RunAll() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard g(mutex);
        if (tasks.empty()) return;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
    }
  }
};

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0, refresh = 0, interval = 0, maxConnections = kMaxHttpConnections, still = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    int value = std::atoi(argv[i + 1]);
    if (option == "--port")
      port = value;
    else if (option == "--refresh")
      refresh = value;
    else if (option == "--interval")
      interval = value;
    else if (option == "--max-connections")
      maxConnections = value;
    else if (option == "--still")
      still = value;
    else {
      std::fprintf(stderr, "unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  HeadlessWindow window;
  auto ownedDevice = std::make_unique<TestPatternDevice>();
  TestPatternDevice& device = *ownedDevice;
  TaskQueue queue;
  std::shared_ptr<AppState> state = MakeAppState();
  state->mainWindow = &window;
  state->camera = Camera(std::move(ownedDevice));
  state->quality = 75;
  state->httpPort = static_cast<uint16_t>(port);
  state->httpRefresh = refresh;
  auto sink = std::make_shared<AppUiSink>(*state);
  sink->SetPoster([&queue](std::function<void()> task) { queue.Post(std::move(task)); });
  state->ui = sink;
  HttpServerOf(*state).maxConnections = maxConnections;

  state->camera.Connect();
  if (still) {
    device.SetControl(TestPatternDevice::kMovingBlockControl, 0);
    device.SetControl(TestPatternDevice::kCounterControl, 0);
  }
  if (EnableHttp(*state) != 0) {
    std::fprintf(stderr, "cannot listen on port %d\n", port);
    return 1;
  }
  std::printf("listening %u\n", static_cast<unsigned>(state->httpPort));
  std::fflush(stdout);

  auto nextCapture = std::chrono::steady_clock::now() + std::chrono::seconds(interval);
  while (!gStop) {
    pollfd fds[2] = {{gWake[0], POLLIN, 0}, {window.watchedFd, POLLIN, 0}};
    poll(fds, 2, 100);
    char drain[256];
    while (read(gWake[0], drain, sizeof drain) > 0) {
    }
    queue.RunAll();
    if (fds[1].revents & POLLIN) window.onAccept(fds[1].fd);
    ExpireSnapshotHold(*state);
    if (interval > 0 && std::chrono::steady_clock::now() >= nextCapture) {
      TakePicture(*state);
      nextCapture += std::chrono::seconds(interval);
    }
  }
  DisableHttp(*state);
  ExpireSnapshotHold(*state, /*always=*/true);
  WaitForWorkers(*state, std::chrono::seconds(30));
  queue.RunAll();
  std::printf("captures %llu refused %ld peak_rss_kb %ld\n",
              static_cast<unsigned long long>(device.FrameNumber()),
              state->httpServer->refused.load(), PeakRssKb());
  std::fflush(stdout);
  sink->Detach();
  state->mainWindow = nullptr;
  state->camera.Release();
  return 0;
}
