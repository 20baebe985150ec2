#pragma once
// The built-in HTTP/1.0 server: one resource (the snapshot picture, optionally
// with a client-pull "Refresh:" header), a fixed 404 page for everything else.
// Connections are served on one network thread; captures stay on the UI thread.
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_loop.h"
#include "common/limits.h"
#include "common/ui_sink.h"
#include "common/worker_threads.h"
#include "publish/http_auth.h"
#include "publish/snapshot.h"
#include "publish/socket_util.h"

namespace snapvane {

inline constexpr char kHttpRequestPattern[] = "GET / HTTP/1.x\r\n";  // 16 bytes
inline constexpr char kHttpPictureHeader[] =
    "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: image/jpeg\r\n\r\n";
inline constexpr char kHttpPictureHeaderRefresh[] =
    "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: image/jpeg\r\nRefresh: %d\r\n\r\n";
// The live stream: this head, then one part per frame.
inline constexpr char kHttpStreamHeader[] =
    "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: multipart/x-mixed-replace; "
    "boundary=snapvaneframe\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n";
inline constexpr char kHttpStreamPartHeader[] =
    "--snapvaneframe\r\nContent-Type: image/jpeg\r\nContent-Length: %zu\r\n\r\n";
inline constexpr int32_t kMaxStreamFps = 30;
inline constexpr char kHttpNotFound[] =
    "HTTP/1.0 404 Object Not Found\r\nServer: Snapvane 0.1\r\n\r\n<html><head><title>Error "
    "404</title></head><body><h1>Error 404 The object was not found</h1></body></html>";
// Sent instead of an empty picture when the capture for this client failed.
inline constexpr char kHttpUnavailable[] =
    "HTTP/1.0 503 Service Unavailable\r\nServer: Snapvane 0.1\r\nContent-Type: text/html\r\n\r\n"
    "<html><head><title>Error 503</title></head><body><h1>Error 503 No picture could be "
    "captured</h1></body></html>";

// Reverse lookup of a peer (IPv4 or IPv6): 0 and the name in host, or a
// getnameinfo error code.
using ReverseLookupFn = int (*)(const sockaddr* peer, socklen_t length, char* host,
                                size_t hostSize);

// A client's address as the network thread keeps it: IPv6, an IPv4 client as
// its mapped form (::ffff:a.b.c.d), so one listener serves both.
using PeerAddress = sockaddr_in6;
PeerAddress PeerOf(const sockaddr* address);
// The address as text: dotted for an IPv4 client, else the IPv6 form.
std::string PeerText(const PeerAddress& peer);

// Names of recent visitors, so a browser that asks again every second costs one
// reverse lookup a minute, not one a second. The lookup threads share it.
class HostNameCache {
 public:
  // The text stored for address less than kHostNameKeptFor ago.
  std::optional<std::string> Find(const in6_addr& address);
  // Keeps text for address, in place of the oldest entry when full.
  void Store(const in6_addr& address, std::string text);

 private:
  struct Entry {
    in6_addr address;
    std::string text;
    std::chrono::steady_clock::time_point storedAt;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

// The server. Made by the program with the loop of its UI thread (captures run
// there), the sink that takes its log lines, and the workers' group. One network
// thread of its own accepts, reads the requests and sends the answers from
// memory; idle connections cost a descriptor and a small record, never a thread.
// Reverse lookups run on a small pool of their own. Its bounds are public so
// tests can shorten the waits or replace the lookup (set before the first start).
class HttpServer : public std::enable_shared_from_this<HttpServer> {
 public:
  // What the server asks of the rest of the program, on the loop's thread.
  struct Hooks {
    // A use of the snapshot for new clients: shared when taken less than
    // freshFor ago, else freshly captured.
    std::function<SnapshotUse(std::chrono::milliseconds freshFor)> acquireSnapshot;
    // Any thread: the current snapshot when taken less than freshFor ago, else
    // nothing held; lets the network thread answer without the loop thread.
    std::function<SnapshotUse(std::chrono::milliseconds freshFor)> shareSnapshot;
    // Connections arrived (the window shows the "HTTP access" tray icon).
    std::function<void()> onAccept;
  };

  HttpServer(EventLoop& loop, std::shared_ptr<UiSink> ui, std::shared_ptr<WorkerGroup> workers,
             Hooks hooks);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // What a listener offers beyond the picture; the defaults change nothing.
  struct Options {
    std::string address;       // listen on this address only; empty: every interface
    std::string user;          // with passwordHash: Basic authentication asked for
    std::string passwordHash;  // HashHttpPassword's text
    int32_t streamFps = 0;     // GET /stream at this rate (1..kMaxStreamFps); 0: none
  };
  // 0 when listening on port (0: the system chooses; see port()), with client
  // pull every refresh seconds (0: none); else the errno of the step that
  // failed, with one log line. A running listener is replaced.
  int StartHttpListener(uint16_t port, int32_t refresh, const Options& options);
  int StartHttpListener(uint16_t port, int32_t refresh) {
    return StartHttpListener(port, refresh, {});
  }
  // Closes the listening socket. Connections already accepted are served to the end.
  void Stop();
  bool listening() const;
  uint16_t port() const { return port_; }
  // Connections open on the network thread.
  int connections() const { return connections_.load(); }
  // Connections answered with the 503 text because no descriptor was left.
  long refused() const { return refused_.load(); }

  std::chrono::milliseconds requestTimeout = kHttpRequestTimeout;
  std::chrono::milliseconds sendStallTimeout = kSendStallTimeout;
  ReverseLookupFn reverseLookup = nullptr;  // null: getnameinfo with NI_NAMEREQD

 private:
  struct Connection;
  struct Network;
  class LookupPool;
  class PictureCache;
  void AcquireOnLoop();
  void AcquireFrameOnLoop(std::chrono::milliseconds freshFor);

  EventLoop& loop_;
  std::shared_ptr<UiSink> ui_;
  Hooks hooks_;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<long> refused_{0};
  std::atomic<bool> acceptNoticePending_{false};
  std::unique_ptr<Network> net_;  // made at the first start
};

// What the HTTP settings dialog shows and reads back (its rules live here).
struct HttpSettingsForm {
  std::string port;      // edit 1011
  bool refresh = false;  // check box 1014
  std::string interval;  // edit 1015
};
HttpSettingsForm HttpSettingsFormOf(uint16_t port, int32_t refresh);
// OK: port := low 16 bits of the port text; refresh := the interval when ticked,
// else 0. Text that is not a number reads as 0.
void ApplyHttpSettingsForm(const HttpSettingsForm& form, uint16_t& port, int32_t& refresh);
// The stream's rate within 1..kMaxStreamFps.
int32_t StreamFpsOf(int32_t fps);
// Text without blanks around it.
std::string TrimmedText(std::string_view text);
// The hash to store from the dialog: none without a user name; a fresh hash of
// a typed password; the stored one when nothing was typed (an empty password's
// hash when there is none yet).
std::string NewHttpPasswordHash(std::string_view user, std::string_view typed,
                                std::string_view stored);
// Leading blanks skipped, then decimal digits up to the first other character;
// none, or more than 32 bits, read as 0.
uint32_t ReadUnsignedText(std::string_view text);

// True when the first bytes received form "GET / HTTP/1.<any>\r\n".
bool MatchesHttpRequest(const char* request, size_t received);
// What a request asks for: the picture ("GET / HTTP/1.x", or with a query as
// pages add to defeat caches, "GET /?t=1 HTTP/1.x"), the live stream ("GET
// /stream", query allowed), or nothing this server knows.
enum class HttpResource { kNone, kPicture, kStream };
HttpResource ClassifyHttpRequest(const char* request, size_t received);
// The text put in place of a host name for a failed lookup (getnameinfo code and,
// for EAI_SYSTEM, errno).
std::string HostNameErrorText(int lookupError, int systemError);

}  // namespace snapvane
