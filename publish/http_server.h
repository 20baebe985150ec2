#pragma once
// The built-in HTTP/1.0 server: one resource (the snapshot picture, optionally
// with a client-pull "Refresh:" header), a fixed 404 page for everything else.
// Accepting runs on the UI thread; every connection is served by its own worker.
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/limits.h"
#include "publish/snapshot.h"
#include "publish/socket_util.h"

namespace snapvane {

struct AppState;

inline constexpr char kHttpRequestPattern[] = "GET / HTTP/1.x\r\n";  // 16 bytes
inline constexpr char kHttpPictureHeader[] =
    "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: image/jpeg\r\n\r\n";
inline constexpr char kHttpPictureHeaderRefresh[] =
    "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: image/jpeg\r\nRefresh: %d\r\n\r\n";
inline constexpr char kHttpNotFound[] =
    "HTTP/1.0 404 Object Not Found\r\nServer: Snapvane 0.1\r\n\r\n<html><head><title>Error "
    "404</title></head><body><h1>Error 404 The object was not found</h1></body></html>";
// Sent instead of an empty picture when the capture for this client failed.
inline constexpr char kHttpUnavailable[] =
    "HTTP/1.0 503 Service Unavailable\r\nServer: Snapvane 0.1\r\nContent-Type: text/html\r\n\r\n"
    "<html><head><title>Error 503</title></head><body><h1>Error 503 No picture could be "
    "captured</h1></body></html>";

inline constexpr int kHttpTrayIcon = 111;
inline constexpr char kHttpTrayTip[] = "HTTP access";

// Reverse lookup of a peer: 0 and the name in host, or a getnameinfo error code.
using ReverseLookupFn = int (*)(const sockaddr_in& peer, char* host, size_t hostSize);

// Names of recent visitors, so a browser that asks again every second costs one
// reverse lookup a minute, not one a second. Workers share it.
class HostNameCache {
 public:
  // The text stored for address less than kHostNameKeptFor ago.
  std::optional<std::string> Find(in_addr_t address);
  // Keeps text for address, in place of the oldest entry when full.
  void Store(in_addr_t address, std::string text);

 private:
  struct Entry {
    in_addr_t address;
    std::string text;
    std::chrono::steady_clock::time_point storedAt;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

// The server's running count and its bounds. Created on first use; workers share
// it with the UI thread. Tests shorten the waits or replace the lookup.
struct HttpServer {
  std::chrono::milliseconds requestTimeout = kHttpRequestTimeout;
  std::chrono::milliseconds sendStallTimeout = kSendStallTimeout;
  int maxConnections = kMaxHttpConnections;
  ReverseLookupFn reverseLookup = nullptr;  // null: getnameinfo with NI_NAMEREQD
  std::atomic<int> connections{0};          // connections being served
  std::atomic<long> refused{0};             // closed at once over the bound
  HostNameCache hostNames;
};

// The state's server record, created when missing (UI thread).
HttpServer& HttpServerOf(AppState& state);

// Holds one of the server's connection places; gives it back on destruction.
class HttpConnectionSlot {
 public:
  HttpConnectionSlot() = default;
  explicit HttpConnectionSlot(std::shared_ptr<HttpServer> server);
  HttpConnectionSlot(HttpConnectionSlot&&) noexcept = default;
  HttpConnectionSlot& operator=(HttpConnectionSlot&& other) noexcept;
  ~HttpConnectionSlot();

 private:
  std::shared_ptr<HttpServer> server_;
};

// What one client worker is given; the worker owns it.
struct HttpClientJob {
  std::shared_ptr<AppState> state;
  UniqueFd socket;
  SnapshotUse use;          // the client's use of the snapshot file
  int32_t httpRefresh = 0;  // copied on accept: the UI may rewrite the setting
  std::shared_ptr<HttpServer> server;
  HttpConnectionSlot slot;
};

// Sets http to 1 and starts the listener; its result.
int EnableHttp(AppState& state);
// 0 when listening, else the errno of the step that failed (then one log line).
// Port 0 lets the system choose; the chosen port is written back to httpPort.
int StartHttpListener(AppState& state);
// Sets http to 0 and closes the listening socket. Running workers finish.
void DisableHttp(AppState& state);
// UI thread: a connection waits on listenFd. Returns what the captures made for
// the accepted clients have to tell the person, for the caller to show.
CaptureResult HandleHttpAccept(AppState& state, int listenFd);
// Worker body: reads one request, answers it, gives the use back, posts the host name.
void HttpClientWorker(HttpClientJob job);

// What the HTTP settings dialog shows and reads back (its rules live here).
struct HttpSettingsForm {
  std::string port;      // edit 1011
  bool refresh = false;  // check box 1014
  std::string interval;  // edit 1015
};
HttpSettingsForm HttpSettingsFormOf(const AppState& state);
// OK: port := low 16 bits of the port text; refresh := the interval when ticked,
// else 0. Text that is not a number reads as 0.
void ApplyHttpSettingsForm(AppState& state, const HttpSettingsForm& form);
// Leading blanks skipped, then decimal digits up to the first other character;
// none, or more than 32 bits, read as 0.
uint32_t ReadUnsignedText(std::string_view text);

// True when the first bytes received form "GET / HTTP/1.<any>\r\n".
bool MatchesHttpRequest(const char* request, size_t received);
// The text put in place of a host name for a failed lookup (getnameinfo code and,
// for EAI_SYSTEM, errno).
std::string HostNameErrorText(int lookupError, int systemError);

}  // namespace snapvane
