#include "publish/http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/main_window_port.h"
#include "app/worker_threads.h"
#include "common/fixed_text.h"
#include "common/time_text.h"
#include "common/ui_sink.h"

namespace snapvane {
namespace {

constexpr size_t kRequestPatternBytes = sizeof kHttpRequestPattern - 1;  // 16
constexpr size_t kRequestBufferBytes = 512;  // at most 511 received, then a NUL
constexpr size_t kVersionMinorIndex = 13;    // the x of HTTP/1.x

template <size_t N>
void SendText(int socket, const char (&text)[N], std::chrono::milliseconds stall) {
  SendAll(socket, text, static_cast<int>(N - 1), stall);
}

void LogListenFailure(AppState& state, uint16_t port, int error) {
  if (!state.ui) return;
  char line[512];
  std::snprintf(line, sizeof line, "!!!HTTP server could not listen on port %u!!! (%s) - %.24s",
                static_cast<unsigned>(port), std::strerror(error),
                TimeText(LocalTime(std::time(nullptr))).c_str());
  state.ui->AddLogLine(-1, line);
}

int LookUpHostName(const HttpServer& server, const sockaddr_in& peer, char* host, size_t size) {
  if (server.reverseLookup) return server.reverseLookup(peer, host, size);
  return getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, host,
                     static_cast<socklen_t>(size), nullptr, 0, NI_NAMEREQD);
}

// The visitor's name, or the text for a failed lookup. Names and definite "no
// such name" answers are kept for a while; passing failures are asked again.
std::string HostNameOf(HttpServer& server, const sockaddr_in& peer, size_t size) {
  const in_addr_t address = peer.sin_addr.s_addr;
  if (std::optional<std::string> known = server.hostNames.Find(address)) return *known;
  std::vector<char> host(size, '\0');
  const int rc = LookUpHostName(server, peer, host.data(), size);
  const int systemError = errno;
  if (rc != 0 && rc != EAI_NONAME) return HostNameErrorText(rc, systemError);
  std::string text = rc == 0 ? std::string(host.data()) : HostNameErrorText(rc, systemError);
  server.hostNames.Store(address, text);
  return text;
}

// Ends the answer gracefully: unread request bytes at close would make the
// system answer with a reset, which can destroy the end of the response at the
// client. So say we are done, then, unless the client sent a whole request head
// and nothing after it, wait (bounded) for the client to close its side.
void LingeringClose(int socket, bool requestComplete) {
  shutdown(socket, SHUT_WR);
  int pending = 0;
  if (requestComplete && ioctl(socket, FIONREAD, &pending) == 0 && pending == 0) return;
  const auto deadline = std::chrono::steady_clock::now() + kHttpLingerTimeout;
  char discard[512];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || WaitReadable(socket, left) != WaitResult::kReady) return;
    ssize_t n = recv(socket, discard, sizeof discard, 0);
    if (n == 0) return;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
  }
}

// Stops the notifications before the descriptor goes, then closes it.
void CloseListener(AppState& state) {
  if (state.listenSocket < 0) return;
  if (state.mainWindow) state.mainWindow->WatchListenSocket(-1, {});
  close(state.listenSocket);
  state.listenSocket = kNoSocket;
}

// One accepted connection: over the bound it is closed at once (no worker, no
// use, no log line); otherwise logged, given its use and handed to a worker.
CaptureResult ServeAcceptedClient(AppState& state, const std::shared_ptr<HttpServer>& server,
                                  UniqueFd client) {
  if (server->connections.load() >= server->maxConnections) {
    server->refused.fetch_add(1);
    return {};
  }
  HttpConnectionSlot slot(server);
  const int fd = client.get();

  LogHttpConnection(state, fd);
  SnapshotUse use = AcquireSnapshotForClient(state);
  CaptureResult captured = use.TakeCaptureResult();

  auto job = std::make_shared<HttpClientJob>();
  job->state = state.shared_from_this();
  job->socket = std::move(client);
  job->use = std::move(use);
  job->httpRefresh = state.httpRefresh;
  job->server = server;
  job->slot = std::move(slot);
  auto keep = job;  // so a worker that cannot start still lets us finish its line
  if (!StartWorker(job->state, [job] { HttpClientWorker(std::move(*job)); })) {
    keep->use.Release();
    auto record = RemovePendingHttpClient(state, fd);
    if (record) CopyText(record->hostName, "(Server Busy)");
    if (state.ui) state.ui->PostHostName(fd, std::move(record));
  }
  return captured;
}

}  // namespace

HttpServer& HttpServerOf(AppState& state) {
  if (!state.httpServer) state.httpServer = std::make_shared<HttpServer>();
  return *state.httpServer;
}

HttpConnectionSlot::HttpConnectionSlot(std::shared_ptr<HttpServer> server)
    : server_(std::move(server)) {
  if (server_) server_->connections.fetch_add(1);
}

HttpConnectionSlot& HttpConnectionSlot::operator=(HttpConnectionSlot&& other) noexcept {
  if (this != &other) {
    if (server_) server_->connections.fetch_sub(1);
    server_ = std::move(other.server_);
  }
  return *this;
}

HttpConnectionSlot::~HttpConnectionSlot() {
  if (server_) server_->connections.fetch_sub(1);
}

std::optional<std::string> HostNameCache::Find(in_addr_t address) {
  std::lock_guard guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  for (const Entry& e : entries_)
    if (e.address == address && now - e.storedAt < kHostNameKeptFor) return e.text;
  return std::nullopt;
}

void HostNameCache::Store(in_addr_t address, std::string text) {
  std::lock_guard guard(mutex_);
  Entry entry{address, std::move(text), std::chrono::steady_clock::now()};
  auto same = std::find_if(entries_.begin(), entries_.end(),
                           [address](const Entry& e) { return e.address == address; });
  if (same != entries_.end()) {
    *same = std::move(entry);
  } else if (entries_.size() < static_cast<size_t>(kHostNamesKept)) {
    entries_.push_back(std::move(entry));
  } else {
    *std::min_element(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
      return a.storedAt < b.storedAt;
    }) = std::move(entry);
  }
}

bool MatchesHttpRequest(const char* request, size_t received) {
  if (received < kRequestPatternBytes) return false;
  char head[kRequestPatternBytes];
  std::memcpy(head, request, sizeof head);
  head[kVersionMinorIndex] = 'x';
  return std::memcmp(head, kHttpRequestPattern, sizeof head) == 0;
}

std::string HostNameErrorText(int lookupError, int systemError) {
  switch (lookupError) {
    case EAI_NONAME:
      return "(DNS Not Found)";
    case EAI_AGAIN:
      return "(DNS Server Error)";
    case EAI_FAIL:
      return "(DNS Error)";
#ifdef EAI_NODATA
    case EAI_NODATA:
      return "(Name Not Found)";
#endif
    case EAI_FAMILY:
    case EAI_BADFLAGS:
      return "(Internal Error 01)";
    case EAI_MEMORY:
      return "(Internal Error 02)";
    case EAI_OVERFLOW:
      return "(Name Too Long)";
    case EAI_SYSTEM:
      if (systemError == ENETDOWN) return "(Net Down)";
      if (systemError == EINTR) return "(DNS Cancelled)";
      return "(Lookup Error)";
    default:
      return "(Lookup Error)";
  }
}

uint32_t ReadUnsignedText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  uint64_t value = 0;
  bool any = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX) return 0;
    any = true;
  }
  return any ? static_cast<uint32_t>(value) : 0;
}

HttpSettingsForm HttpSettingsFormOf(const AppState& state) {
  HttpSettingsForm form;
  form.port = std::to_string(static_cast<unsigned>(state.httpPort));
  form.interval = std::to_string(static_cast<uint32_t>(state.httpRefresh));
  form.refresh = state.httpRefresh != 0;
  return form;
}

void ApplyHttpSettingsForm(AppState& state, const HttpSettingsForm& form) {
  state.httpPort = static_cast<uint16_t>(ReadUnsignedText(form.port) & 0xffffu);
  // Kept within the signed setting, so the Refresh header never shows a negative.
  uint32_t interval = form.refresh ? ReadUnsignedText(form.interval) : 0;
  state.httpRefresh = static_cast<int32_t>(std::min<uint32_t>(interval, INT32_MAX));
}

int EnableHttp(AppState& state) {
  state.http = 1;
  return StartHttpListener(state);
}

int StartHttpListener(AppState& state) {
  CloseListener(state);  // a restart replaces the listener; never two
  const uint16_t port = state.httpPort;
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener) {
    int error = errno;
    LogListenFailure(state, port, error);
    return error;
  }
  // Connections of an earlier run lingering in TIME_WAIT must not block the port;
  // a port another program listens on is still refused.
  int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), SOMAXCONN) != 0) {
    int error = errno;
    LogListenFailure(state, port, error);
    return error;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0)
    state.httpPort = ntohs(bound.sin_port);

  HttpServerOf(state);
  state.listenSocket = listener.Release();
  if (state.mainWindow)
    state.mainWindow->WatchListenSocket(state.listenSocket,
                                        [&state](int fd) { return HandleHttpAccept(state, fd); });
  return 0;
}

void DisableHttp(AppState& state) {
  state.http = 0;
  CloseListener(state);
}

CaptureResult HandleHttpAccept(AppState& state, int listenFd) {
  if (state.mainWindow) state.mainWindow->SetTrayIcon(kHttpTrayIcon, kHttpTrayTip);
  HttpServerOf(state);
  std::shared_ptr<HttpServer> server = state.httpServer;
  // Takes what has queued up since the last notification, a bounded number at a
  // time so the window stays responsive under a flood.
  CaptureResult captured;
  for (int i = 0; i < kMaxAcceptsPerWake; ++i) {
    UniqueFd client(accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client) break;  // nothing more waiting (or the peer gave up already)
    captured.Append(ServeAcceptedClient(state, server, std::move(client)));
  }
  return captured;
}

void HttpClientWorker(HttpClientJob job) {
  AppState& state = *job.state;
  HttpServer& server = *job.server;
  const int fd = job.socket.get();
  const auto stall = server.sendStallTimeout;

  char request[kRequestBufferBytes];
  // Most requests are there by the time the worker runs; wait only if not.
  ssize_t received = recv(fd, request, kRequestBufferBytes - 1, MSG_DONTWAIT);
  bool answered = true;
  bool requestComplete = false;  // the head's empty line arrived, nothing is cut off
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    answered = WaitReadable(fd, server.requestTimeout) == WaitResult::kReady;
    if (answered) received = recv(fd, request, kRequestBufferBytes - 1, MSG_DONTWAIT);
  }
  if (answered) {
    if (received < 0) received = 0;
    request[received] = '\0';
    requestComplete = received < static_cast<ssize_t>(kRequestBufferBytes - 1) &&
                      memmem(request, static_cast<size_t>(received), "\r\n\r\n", 4) != nullptr;
    if (!MatchesHttpRequest(request, static_cast<size_t>(received))) {
      SendText(fd, kHttpNotFound, stall);
    } else {
      if (received == static_cast<ssize_t>(kRequestBufferBytes - 1)) {
        char drain[kRequestBufferBytes - 1];
        (void)recv(fd, drain, sizeof drain, 0);  // takes only what already arrived
      }
      if (!job.use.captured()) {
        SendText(fd, kHttpUnavailable, stall);
      } else {
        char header[sizeof kHttpPictureHeaderRefresh + 16];
        int length;
        if (job.httpRefresh != 0)
          length = std::snprintf(header, sizeof header, kHttpPictureHeaderRefresh, job.httpRefresh);
        else
          length = std::snprintf(header, sizeof header, "%s", kHttpPictureHeader);
        SendAll(fd, header, length, stall, /*moreFollows=*/true);
        SendFileToSocket(state, fd, job.use.path(), stall);
      }
    }
  }
  // The use goes back before the lookup: a slow name server must delay only the
  // log line, never the next capture.
  job.use.Release();
  if (answered) LingeringClose(fd, requestComplete);

  std::unique_ptr<PendingHttpClient> record = RemovePendingHttpClient(state, fd);
  if (record) CopyText(record->hostName, HostNameOf(server, record->peer, sizeof record->hostName));
  // Posted while the socket is still open, so its number cannot name another
  // connection yet.
  if (state.ui) state.ui->PostHostName(fd, std::move(record));
}

}  // namespace snapvane
