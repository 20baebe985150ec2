#pragma once
// A running HTTP server for tests, and small loopback clients.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/app_ui_sink.h"
#include "app/main_commands.h"
#include "capture/capture_control.h"
#include "capture/test_pattern_device.h"
#include "common/worker_threads.h"
#include "publish/http_server.h"
#include "publish/snapshot.h"
#include "publish/socket_util.h"
#include "tests/support/install_device.h"
#include "tests/support/poll_loop.h"
#include "tests/support/sandbox.h"

namespace snapvane::test {

struct HttpHarnessOptions {
  int32_t refresh = 0;
  std::chrono::milliseconds requestTimeout = kHttpRequestTimeout;
  ReverseLookupFn reverseLookup = nullptr;
  std::string address = {};  // listen address; empty: every interface
  std::string user = {};
  std::string password = {};  // hashed (cheaply) into the settings when set
  int passwordIterations = 1000;
  int32_t streamFps = 0;  // 0: no stream
};

// The server on a system-chosen port, a UI-thread stand-in (a poll loop running
// posted tasks and the accept handler), the test-pattern camera and the real log
// sink; snapshot files go to a sandbox of their own.
class HttpHarness {
 public:
  explicit HttpHarness(HttpHarnessOptions options = {}) {
    if (const char* old = std::getenv("TMPDIR")) oldTmpDir_ = old;
    setenv("TMPDIR", snapshots.path().c_str(), 1);
    state->quality = 75;
    state->httpRefresh = options.refresh;
    std::snprintf(state->httpAddress, sizeof state->httpAddress, "%s", options.address.c_str());
    std::snprintf(state->httpUser, sizeof state->httpUser, "%s", options.user.c_str());
    if (!options.password.empty())
      std::snprintf(state->httpPassHash, sizeof state->httpPassHash, "%s",
                    HashHttpPassword(options.password, options.passwordIterations).c_str());
    state->httpStream = options.streamFps != 0;
    state->httpStreamFps = options.streamFps;
    sink->SetHostNameWake([this, weak = std::weak_ptr<AppUiSink>(sink)] {
      loop.Post([weak] {
        if (auto s = weak.lock()) s->CompleteHostNames();
      });
    });
    // Put together on the UI thread's stand-in, whose tick already reads the state.
    OnUi([this, &options] {
      AttachUi(*state, sink);
      HttpServer::Hooks hooks;
      hooks.acquireSnapshot = [this](std::chrono::milliseconds freshFor) {
        return AcquireSnapshotForClient(*state->snapshots, freshFor);
      };
      hooks.shareSnapshot = [this](std::chrono::milliseconds freshFor) {
        return ShareFreshSnapshot(*state->snapshots, freshFor);
      };
      state->httpServer = std::make_shared<HttpServer>(loop, sink, state->workers, hooks);
      state->httpServer->requestTimeout = options.requestTimeout;
      state->httpServer->reverseLookup = options.reverseLookup;
      state->camera.Connect();
      state->httpPort = 0;  // a free one
      EnableHttp(*state);
    });
    port = state->httpPort;
  }
  ~HttpHarness() {
    OnUi([this] { DisableHttp(*state); });
    WaitForWorkers(*state->workers, std::chrono::seconds(30));
    OnUi([this] { state->httpServer.reset(); });
    sink->Detach();
    oldTmpDir_.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", oldTmpDir_.c_str(), 1);
  }

  // Runs f on the UI thread and waits for it.
  void OnUi(const std::function<void()>& f) { loop.OnLoop(f); }
  uint64_t Frames() {
    uint64_t n = 0;
    OnUi([&] { n = device.FrameNumber(); });
    return n;
  }
  int Connections() const { return state->httpServer->connections(); }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> out;
    for (auto& line : state->log->Lines()) out.push_back(line.text);
    return out;
  }
  // All workers ended, and once the last snapshot is past its fresh second, no
  // use held and no snapshot file left behind.
  bool AllReleased() {
    return WaitForWorkers(*state->workers, std::chrono::seconds(20)) &&
           WaitFor(
               [&] {
                 if (state->snapshots->CurrentUsers() != 0) return false;
                 for (auto& entry : std::filesystem::directory_iterator(snapshots.path()))
                   if (entry.path().filename().string().starts_with("snv")) return false;
                 return true;
               },
               kSnapshotFreshFor * 3);
  }

  Sandbox snapshots;
  std::shared_ptr<AppState> state = MakeAppState();
  TestPatternDevice& device = InstallDevice<TestPatternDevice>(state->camera);
  std::shared_ptr<AppUiSink> sink = std::make_shared<AppUiSink>(state->log, state->transfers);
  // The UI thread's stand-in; the main window expires the fresh snapshot on its timer.
  PollLoop loop{[this] {
    if (state->snapshots) ExpireSnapshotHold(*state->snapshots);
  }};
  uint16_t port = 0;

 private:
  std::string oldTmpDir_;
};

// Entries of a /proc/self folder: open descriptors ("fd") or threads ("task").
inline int CountOwn(const char* folder) {
  const std::filesystem::directory_iterator entries(std::string("/proc/self/") + folder);
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}
inline int OpenDescriptors() { return CountOwn("fd") - 1; }  // less the listing's own
inline int Threads() { return CountOwn("task"); }

// A loopback port that was free a moment ago (for a program started later).
inline int FreeLoopbackPort() {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  listen(fd.get(), 1);  // bound to a free port by the system
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A blocking loopback connection (IPv4, or ::1) with a receive time limit; -1 if refused.
inline int ConnectLoopback(uint16_t port, bool ipv6 = false) {
  UniqueFd fd(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  sockaddr_in6 to6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
  timeval limit{20, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const bool ok = ipv6 ? connect(fd.get(), reinterpret_cast<sockaddr*>(&to6), sizeof to6) == 0
                       : connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  return ok ? fd.Release() : -1;
}

// Closes with a reset instead of an orderly end.
inline void CloseWithReset(int fd) {
  linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd);
}

inline std::string ReadToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) out.append(buf, size_t(n));
  return out;
}

// Sends request in one piece and returns the whole response.
inline std::string Exchange(uint16_t port, const std::string& request, bool ipv6 = false) {
  UniqueFd fd(ConnectLoopback(port, ipv6));
  if (!fd || send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return "<failed>";
  return ReadToEnd(fd.get());
}

// The header followed by a whole JPEG.
inline bool IsPicture(const std::string& r, const std::string& header = kHttpPictureHeader) {
  return r.size() > header.size() + 4 && r.rfind(header, 0) == 0 &&
         r.substr(header.size(), 2) == "\xff\xd8" && r.substr(r.size() - 2) == "\xff\xd9";
}

// Pictures in a received multipart stream.
inline int StreamParts(const std::string& stream) {
  int parts = 0;
  for (size_t at = 0;
       (at = stream.find("--snapvaneframe\r\nContent-Type: image/jpeg", at)) != std::string::npos;
       ++at)
    ++parts;
  return parts;
}

}  // namespace snapvane::test
