#pragma once
// A running HTTP server for tests: a UI-thread stand-in (a poll loop that runs
// queued tasks and the accept handler), the test-pattern camera behind the real
// frame handler, the real log sink, and small loopback clients.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/app_ui_sink.h"
#include "app/worker_threads.h"
#include "capture/capture_control.h"
#include "capture/test_pattern_device.h"
#include "publish/http_server.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/sandbox.h"

namespace snapvane::test {

// The UI thread: runs posted tasks in order and calls the window's accept
// handler whenever the watched socket has a connection waiting.
class UiLoop {
 public:
  explicit UiLoop(FakeMainWindow& window) : window_(window) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    thread_ = std::thread([this] { Run(); });
  }
  ~UiLoop() {
    Stop();
    close(wake_[0]);
    close(wake_[1]);
  }

  void Post(std::function<void()> task) {
    {
      std::lock_guard g(mutex_);
      tasks_.push_back(std::move(task));
    }
    (void)!write(wake_[1], "x", 1);
  }

  // Runs f on the loop and waits for it.
  void Call(std::function<void()> f) {
    auto done = std::make_shared<std::promise<void>>();
    auto result = done->get_future();
    Post([f, done] {
      f();
      done->set_value();
    });
    result.wait();
  }

  void Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    (void)!write(wake_[1], "x", 1);
    thread_.join();
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd fds[2] = {{wake_[0], POLLIN, 0}, {window_.watchedFd, POLLIN, 0}};
      const nfds_t count = window_.watchedFd >= 0 ? 2 : 1;
      poll(fds, count, 100);
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
      for (;;) {
        std::function<void()> task;
        {
          std::lock_guard g(mutex_);
          if (tasks_.empty()) break;
          task = std::move(tasks_.front());
          tasks_.pop_front();
        }
        task();
      }
      if (count == 2 && (fds[1].revents & POLLIN) && window_.watchedFd == fds[1].fd &&
          window_.onAccept)
        window_.onAccept(fds[1].fd);
    }
  }

  FakeMainWindow& window_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

struct HttpHarnessOptions {
  int32_t refresh = 0;
  std::chrono::milliseconds requestTimeout = kHttpRequestTimeout;
  std::chrono::milliseconds sendStallTimeout = kSendStallTimeout;
  ReverseLookupFn reverseLookup = nullptr;
  int maxConnections = kMaxHttpConnections;
};

// The server listening on a system-chosen loopback-reachable port. Snapshot
// files go to a sandbox folder of their own.
class HttpHarness {
 public:
  explicit HttpHarness(HttpHarnessOptions options = {}) : loop_(window) {
    const char* oldTmp = std::getenv("TMPDIR");
    oldTmpDir_ = oldTmp ? oldTmp : "";
    hadTmpDir_ = oldTmp != nullptr;
    setenv("TMPDIR", snapshots.path().c_str(), 1);

    state = MakeAppState();
    state->mainWindow = &window;
    state->captureWindow = &device;
    state->quality = 75;
    state->httpRefresh = options.refresh;
    sink = std::make_shared<AppUiSink>(*state);
    sink->SetPoster([this](std::function<void()> task) { loop_.Post(std::move(task)); });
    state->ui = sink;
    HttpServer& server = HttpServerOf(*state);
    server.requestTimeout = options.requestTimeout;
    server.sendStallTimeout = options.sendStallTimeout;
    server.reverseLookup = options.reverseLookup;
    server.maxConnections = options.maxConnections;
    loop_.Call([this] {
      ConnectCaptureDevice(*state);
      state->httpPort = 0;
      listenResult = EnableHttp(*state);
    });
    port = state->httpPort;
  }

  ~HttpHarness() {
    loop_.Call([this] { DisableHttp(*state); });
    WaitForWorkers(*state, std::chrono::seconds(30));
    loop_.Stop();
    sink->Detach();
    state->mainWindow = nullptr;
    state->captureWindow = nullptr;
    if (hadTmpDir_)
      setenv("TMPDIR", oldTmpDir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

  // Runs f on the UI thread and waits for it.
  void OnUi(std::function<void()> f) { loop_.Call(std::move(f)); }

  // Frames the camera delivered, read on the UI thread that captures them.
  uint64_t Frames() {
    uint64_t n = 0;
    OnUi([&] { n = device.FrameNumber(); });
    return n;
  }
  int SnapshotUsers() {
    std::lock_guard guard(state->lock);
    return state->snapshotUsers;
  }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> out;
    for (auto& line : state->log->Lines()) out.push_back(line.text);
    return out;
  }
  bool NoWorkersLeft(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return WaitForWorkers(*state, timeout);
  }
  size_t SnapshotFilesLeft() const {
    size_t n = 0;
    // Only snapshot files: a browser started by a test may put its own there.
    for (auto& entry : std::filesystem::directory_iterator(snapshots.path()))
      if (entry.path().filename().string().rfind("snv", 0) == 0) ++n;
    return n;
  }

  Sandbox snapshots;
  FakeMainWindow window;
  TestPatternDevice device;
  std::shared_ptr<AppState> state;
  std::shared_ptr<AppUiSink> sink;
  int listenResult = -1;
  uint16_t port = 0;

 private:
  UiLoop loop_;
  std::string oldTmpDir_;
  bool hadTmpDir_ = false;
};

// A blocking loopback connection to port, with a receive time limit.
inline int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  timeval limit{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// Everything the server sends until it closes.
inline std::string ReadToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Sends request in one piece and returns the whole response.
inline std::string Exchange(uint16_t port, const std::string& request) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return "<connect failed>";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string response = ReadToEnd(fd);
  close(fd);
  return response;
}

// Runs a command line through the shell; its exit status.
inline int RunShell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

inline bool IsJpeg(const std::string& bytes) {
  return bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xff &&
         static_cast<unsigned char>(bytes[1]) == 0xd8 &&
         static_cast<unsigned char>(bytes[bytes.size() - 2]) == 0xff &&
         static_cast<unsigned char>(bytes.back()) == 0xd9;
}

}  // namespace snapvane::test
