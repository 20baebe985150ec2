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

#include "common/time_text.h"

namespace snapvane {
namespace {

constexpr size_t kRequestPatternBytes = sizeof kHttpRequestPattern - 1;  // 16
constexpr size_t kRequestBufferBytes = 512;  // at most 511 received, then a NUL
constexpr size_t kVersionMinorIndex = 13;    // the x of HTTP/1.x

template <size_t N>
void SendText(int socket, const char (&text)[N], std::chrono::milliseconds stall) {
  SendAll(socket, text, static_cast<int>(N - 1), stall);
}

constexpr size_t kHttpLineChars = 255;  // the visit line's 256-character buffer
constexpr size_t kHostNameBytes = 1024;
constexpr char kNoRecordHostName[] = "(Internal Error 03)";
constexpr char kServerBusyHostName[] = "(Server Busy)";

std::string Now24() { return TimeText(LocalTime(std::time(nullptr))); }

// The 503 answer, with the client-pull line when there is one, so a page that
// reloads itself keeps asking until the camera is back.
std::string UnavailableAnswer(int32_t refresh) {
  std::string answer = kHttpUnavailable;
  if (refresh != 0) {
    const size_t headEnd = answer.find("\r\n\r\n") + 2;
    answer.insert(headEnd, "Refresh: " + std::to_string(refresh) + "\r\n");
  }
  return answer;
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

}  // namespace

// One connection place, given back when the job ends.
class HttpServer::Slot {
 public:
  explicit Slot(std::shared_ptr<HttpServer> server) : server_(std::move(server)) {
    server_->connections_.fetch_add(1);
  }
  Slot(Slot&& other) noexcept : server_(std::move(other.server_)) {}
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() {
    if (server_) server_->connections_.fetch_sub(1);
  }

 private:
  std::shared_ptr<HttpServer> server_;
};

// What one client worker is given; the worker owns it.
struct HttpServer::Job {
  std::shared_ptr<HttpServer> server;
  Slot slot;
  UniqueFd socket;
  SnapshotUse use;      // the client's use of the snapshot file
  int32_t refresh = 0;  // as when the listener started
};

HttpServer::HttpServer(EventLoop& loop, std::shared_ptr<UiSink> ui,
                       std::shared_ptr<WorkerGroup> workers, Hooks hooks)
    : loop_(loop), ui_(std::move(ui)), workers_(std::move(workers)), hooks_(std::move(hooks)) {}

HttpServer::~HttpServer() { Stop(); }

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

HttpSettingsForm HttpSettingsFormOf(uint16_t port, int32_t refresh) {
  HttpSettingsForm form;
  form.port = std::to_string(static_cast<unsigned>(port));
  form.interval = std::to_string(static_cast<uint32_t>(refresh));
  form.refresh = refresh != 0;
  return form;
}

void ApplyHttpSettingsForm(const HttpSettingsForm& form, uint16_t& port, int32_t& refresh) {
  port = static_cast<uint16_t>(ReadUnsignedText(form.port) & 0xffffu);
  // Kept within the signed setting, so the Refresh header never shows a negative.
  uint32_t interval = form.refresh ? ReadUnsignedText(form.interval) : 0;
  refresh = static_cast<int32_t>(std::min<uint32_t>(interval, INT32_MAX));
}

int HttpServer::StartHttpListener(uint16_t port, int32_t refresh) {
  Stop();  // a restart replaces the listener; never two
  auto fail = [&](int error) {
    if (ui_) {
      char line[512];
      std::snprintf(line, sizeof line,
                    "!!!HTTP server could not listen on port %u!!! (%s) - %.24s",
                    static_cast<unsigned>(port), std::strerror(error), Now24().c_str());
      ui_->AddLogLine(-1, line);
    }
    return error;
  };
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener) return fail(errno);
  // Connections of an earlier run lingering in TIME_WAIT must not block the port;
  // a port another program listens on is still refused.
  int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), SOMAXCONN) != 0)
    return fail(errno);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  port_ = port;
  if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0)
    port_ = ntohs(bound.sin_port);

  refresh_ = refresh;
  listenSocket_ = listener.Release();
  std::weak_ptr<HttpServer> weak = weak_from_this();
  loop_.Watch(listenSocket_, [weak] {
    if (auto server = weak.lock()) server->HandleHttpAccept();
  });
  return 0;
}

void HttpServer::Stop() {
  if (listenSocket_ < 0) return;
  // The notifications stop before the descriptor goes.
  loop_.Unwatch(listenSocket_);
  close(listenSocket_);
  listenSocket_ = -1;
}

void HttpServer::HandleHttpAccept() {
  if (hooks_.onAccept) hooks_.onAccept();
  // Takes what has queued up since the last notification, a bounded number at a
  // time so the window stays responsive under a flood.
  for (int i = 0; i < kMaxAcceptsPerWake && listenSocket_ >= 0; ++i) {
    UniqueFd client(accept4(listenSocket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client) return;  // nothing more waiting (or the peer gave up already)
    ServeAcceptedClient(std::move(client));
  }
}

// Over the bound a connection is closed at once (no worker, no use, no log
// line); otherwise it is logged, given its use and handed to a worker.
void HttpServer::ServeAcceptedClient(UniqueFd client) {
  if (connections_.load() >= maxConnections) {
    refused_.fetch_add(1);
    return;
  }
  const int fd = client.get();
  Job job{shared_from_this(), Slot(shared_from_this()), std::move(client), {}, refresh_};
  LogHttpConnection(fd);
  if (hooks_.acquireSnapshot) job.use = hooks_.acquireSnapshot();

  auto held = std::make_shared<Job>(std::move(job));
  if (!StartWorker(workers_, [held] { HttpClientWorker(std::move(*held)); })) {
    // The job was destroyed unrun: its use and slot are back, its socket closed.
    RemovePendingHttpClient(fd);
    if (ui_) ui_->PostHostName(fd, kServerBusyHostName);
  }
}

void HttpServer::LogHttpConnection(int socket) {
  auto record = std::make_unique<PendingHttpClient>();
  record->socket = socket;
  socklen_t peerLength = sizeof record->peer;
  // Zeroed if it fails.
  getpeername(socket, reinterpret_cast<sockaddr*>(&record->peer), &peerLength);

  char address[INET_ADDRSTRLEN] = "0.0.0.0";
  inet_ntop(AF_INET, &record->peer.sin_addr, address, sizeof address);
  char line[kHttpLineChars + 1];
  std::snprintf(line, sizeof line, "HTTP %s - %%s - %.24s", address, Now24().c_str());
  {
    // Listed before the client's worker starts, so the worker finds it.
    std::lock_guard guard(pendingMutex_);
    pending_.push_back(std::move(record));
  }
  if (ui_) ui_->AddVisitLine(socket, line);
}

std::unique_ptr<PendingHttpClient> HttpServer::RemovePendingHttpClient(int socket) {
  std::lock_guard guard(pendingMutex_);
  for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
    if (*it && (*it)->socket == socket) {
      std::unique_ptr<PendingHttpClient> record = std::move(*it);
      pending_.erase(std::next(it).base());
      return record;
    }
  }
  return nullptr;
}

// The visitor's name, or the text for a failed lookup. Names and definite "no
// such name" answers are kept for a while; passing failures are asked again.
std::string HttpServer::HostNameOf(const sockaddr_in& peer) {
  const in_addr_t address = peer.sin_addr.s_addr;
  if (std::optional<std::string> known = hostNames_.Find(address)) return *known;
  char host[kHostNameBytes] = {};
  const int rc = reverseLookup ? reverseLookup(peer, host, sizeof host)
                               : getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer,
                                             host, sizeof host, nullptr, 0, NI_NAMEREQD);
  const int systemError = errno;
  if (rc != 0 && rc != EAI_NONAME) return HostNameErrorText(rc, systemError);
  std::string text = rc == 0 ? std::string(host, strnlen(host, sizeof host))
                             : HostNameErrorText(rc, systemError);
  hostNames_.Store(address, text);
  return text;
}

void HttpClientWorker(HttpServer::Job job) {
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
        const std::string answer = UnavailableAnswer(job.refresh);
        SendAll(fd, answer.data(), static_cast<int>(answer.size()), stall);
      } else {
        char header[sizeof kHttpPictureHeaderRefresh + 16];
        int length;
        if (job.refresh != 0)
          length = std::snprintf(header, sizeof header, kHttpPictureHeaderRefresh, job.refresh);
        else
          length = std::snprintf(header, sizeof header, "%s", kHttpPictureHeader);
        SendAll(fd, header, length, stall, /*moreFollows=*/true);
        SendFileToSocket(server.ui_.get(), fd, job.use.path(), stall);
      }
    }
  }
  // The use goes back before the lookup: a slow name server must delay only the
  // log line, never the next capture.
  job.use.Release();
  if (answered) LingeringClose(fd, requestComplete);

  std::unique_ptr<PendingHttpClient> record = server.RemovePendingHttpClient(fd);
  std::string hostName = record ? server.HostNameOf(record->peer) : kNoRecordHostName;
  // Posted while the socket is still open, so its number cannot name another
  // connection yet.
  if (server.ui_) server.ui_->PostHostName(fd, std::move(hostName));
}

}  // namespace snapvane
