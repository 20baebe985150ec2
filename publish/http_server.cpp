#include "publish/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <queue>
#include <system_error>
#include <thread>

#include "common/time_text.h"

namespace snapvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kRequestPatternBytes = sizeof kHttpRequestPattern - 1;  // 16
constexpr size_t kRequestBufferBytes = 512;                              // at most 511 received
constexpr size_t kVersionMinorIndex = 13;                                // the x of HTTP/1.x
constexpr size_t kHttpLineChars = 255;  // the visit line's 256-character buffer
constexpr size_t kHostNameBytes = 1024;
constexpr char kServerBusyHostName[] = "(Server Busy)";
constexpr char kRefusedNote[] = " (refused: no valid password)";
constexpr char kStreamNote[] = " (stream)";
constexpr int kEventsPerWait = 256;
constexpr long kBusyNapNs = 50'000;  // see Network::Run
// Timer entries kept before stale ones (of closed connections) are swept out.
constexpr size_t kTimerEntriesKept = 4096;
constexpr std::chrono::milliseconds kAcceptNoticePeriod{100};
// Password checks waiting at most: beyond, new passwords are refused unchecked
// (about a third of a second of checks; ones already accepted still pass).
constexpr size_t kPasswordChecksQueued = 8;  // tray icon notices, at most
constexpr int kDiscardReadsPerWake = 64;     // a fast sender cannot hold the thread
constexpr uint64_t kListenerTag = UINT64_MAX;
constexpr uint64_t kWakeTag = UINT64_MAX - 1;
constexpr Clock::time_point kNever = Clock::time_point::max();

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

std::string PictureHeader(int32_t refresh) {
  if (refresh == 0) return kHttpPictureHeader;
  char header[sizeof kHttpPictureHeaderRefresh + 16];
  std::snprintf(header, sizeof header, kHttpPictureHeaderRefresh, refresh);
  return header;
}

int MillisecondsUntil(Clock::time_point at, Clock::time_point now) {
  if (at == kNever) return -1;
  if (at <= now) return 0;
  const auto left = std::chrono::ceil<milliseconds>(at - now).count();
  return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

}  // namespace

std::optional<std::string> HostNameCache::Find(const in6_addr& address) {
  std::lock_guard guard(mutex_);
  const auto now = std::chrono::steady_clock::now();
  for (const Entry& e : entries_)
    if (IN6_ARE_ADDR_EQUAL(&e.address, &address) && now - e.storedAt < kHostNameKeptFor)
      return e.text;
  return std::nullopt;
}

void HostNameCache::Store(const in6_addr& address, std::string text) {
  std::lock_guard guard(mutex_);
  Entry entry{address, std::move(text), std::chrono::steady_clock::now()};
  auto same = std::find_if(entries_.begin(), entries_.end(), [&address](const Entry& e) {
    return IN6_ARE_ADDR_EQUAL(&e.address, &address);
  });
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

HttpResource ClassifyHttpRequest(const char* request, size_t received) {
  if (MatchesHttpRequest(request, received)) return HttpResource::kPicture;
  const std::string_view text(request, received);
  const size_t lineEnd = text.find("\r\n");
  if (lineEnd == std::string_view::npos || !text.starts_with("GET /")) return HttpResource::kNone;
  const std::string_view line = text.substr(0, lineEnd);
  const size_t blank = line.find(' ', 4);
  if (blank == std::string_view::npos) return HttpResource::kNone;
  const std::string_view target = line.substr(4, blank - 4);
  const std::string_view version = line.substr(blank + 1);
  if (version.size() != sizeof "HTTP/1.x" - 1 || !version.starts_with("HTTP/1."))
    return HttpResource::kNone;
  for (char ch : target)
    if (static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f) return HttpResource::kNone;
  const size_t query = target.find('?');
  const std::string_view path = target.substr(0, query);
  if (path == "/" && query != std::string_view::npos) return HttpResource::kPicture;
  if (path == "/stream") return HttpResource::kStream;
  return HttpResource::kNone;
}

PeerAddress PeerOf(const sockaddr* address) {
  PeerAddress peer{};
  peer.sin6_family = AF_INET6;
  if (address && address->sa_family == AF_INET6) {
    std::memcpy(&peer, address, sizeof peer);
  } else if (address && address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    peer.sin6_port = v4->sin_port;
    peer.sin6_addr.s6_addr[10] = 0xff;
    peer.sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(&peer.sin6_addr.s6_addr[12], &v4->sin_addr, 4);
  }
  return peer;
}

namespace {

// The address an IPv4 client really has, for the text and the reverse lookup.
bool AsIpv4(const PeerAddress& peer, sockaddr_in& v4) {
  if (!IN6_IS_ADDR_V4MAPPED(&peer.sin6_addr)) return false;
  v4 = {};
  v4.sin_family = AF_INET;
  v4.sin_port = peer.sin6_port;
  std::memcpy(&v4.sin_addr, &peer.sin6_addr.s6_addr[12], 4);
  return true;
}

}  // namespace

std::string PeerText(const PeerAddress& peer) {
  char text[INET6_ADDRSTRLEN] = "::";
  sockaddr_in v4;
  if (AsIpv4(peer, v4))
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  else
    inet_ntop(AF_INET6, &peer.sin6_addr, text, sizeof text);
  return text;
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

int32_t StreamFpsOf(int32_t fps) { return std::clamp<int32_t>(fps, 1, kMaxStreamFps); }

std::string TrimmedText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

std::string NewHttpPasswordHash(std::string_view user, std::string_view typed,
                                std::string_view stored) {
  if (user.empty()) return {};
  if (typed.empty() && !stored.empty()) return std::string(stored);
  return HashHttpPassword(typed);
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

// The answers of one listener's setting of client pull.
struct AnswerTexts {
  std::string pictureHeader;
  std::string unavailable;
  std::shared_ptr<HttpCredentials> credentials;  // null: no password
  int32_t streamFps = 0;                         // 0: no stream
};

// One connection, on the network thread only.
struct HttpServer::Connection {
  // kStreaming: a stream between two parts, waiting for the next frame.
  // kChecking: its password is being checked on the checker's thread.
  enum class Phase { kReading, kChecking, kWaiting, kSending, kStreaming, kLingering };
  int fd = -1;
  uint32_t serial = 0;  // tells a reused descriptor from the one an event was for
  int visitKey = 0;     // names the visit line; 0: none
  PeerAddress peer{};
  Phase phase = Phase::kReading;
  bool requestComplete = false;  // the head's empty line arrived, nothing is cut off
  bool reportsProgress = false;
  bool stream = false;                          // asked for the stream
  bool streaming = false;                       // a stream: after each part, back to kStreaming
  bool refused = false;                         // asked for a password it did not give
  HttpResource resource = HttpResource::kNone;  // asked for, while kChecking
  std::string request;  // the head read so far, when a password is asked for
  bool watched = false;  // in epoll's set: only once it has to wait for something
  uint32_t events = 0;   // what epoll watches for
  std::shared_ptr<const AnswerTexts> texts;
  std::string_view head;  // the header, or a whole text answer
  std::shared_ptr<const std::string> picture;
  size_t sent = 0;  // of head and picture together
  Clock::time_point deadline = kNever;
  Clock::time_point armedAt = kNever;  // the timer entry that counts
};

// Host names for the visit lines, looked up on a few threads of their own, so a
// slow name server never delays a picture. The threads keep this alive: a
// lookup that is slow at exit is left to end on its own.
class HttpServer::LookupPool {
 public:
  LookupPool(std::shared_ptr<UiSink> ui, ReverseLookupFn lookup)
      : shared_(std::make_shared<Shared>()) {
    shared_->ui = std::move(ui);
    shared_->lookup = lookup;
  }
  ~LookupPool() {
    {
      std::lock_guard guard(shared_->mutex);
      shared_->stop = true;
    }
    shared_->wake.notify_all();
    for (std::thread& t : threads_) t.detach();
  }

  void Start() {
    for (int i = 0; i < kHostLookupThreads; ++i)
      threads_.emplace_back([shared = shared_] { Run(*shared); });
  }

  // Completes the visit line key with the name of peer: at once when the name is
  // known, else from a lookup thread; with an error text when too many wait.
  // note follows the name (empty: nothing).
  void Complete(int key, const PeerAddress& peer, const char* note) {
    Shared& s = *shared_;
    if (std::optional<std::string> known = s.cache.Find(peer.sin6_addr)) {
      if (s.ui) s.ui->PostHostName(key, *known + note);
      return;
    }
    {
      std::lock_guard guard(s.mutex);
      if (s.jobs.size() < static_cast<size_t>(kHostLookupsQueued)) {
        s.jobs.push_back({key, peer, note});
        s.wake.notify_one();
        return;
      }
    }
    if (s.ui) s.ui->PostHostName(key, kServerBusyHostName + std::string(note));
  }

 private:
  struct Job {
    int key;
    PeerAddress peer;
    const char* note;
  };
  struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stop = false;
    HostNameCache cache;
    std::shared_ptr<UiSink> ui;
    ReverseLookupFn lookup = nullptr;
  };

  static void Run(Shared& s) {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(s.mutex);
        s.wake.wait(lock, [&] { return s.stop || !s.jobs.empty(); });
        if (s.stop) return;
        job = s.jobs.front();
        s.jobs.pop_front();
      }
      std::string name = HostNameOf(s, job.peer);
      if (s.ui) s.ui->PostHostName(job.key, name + job.note);
    }
  }

  // The visitor's name, or the text for a failed lookup. Names and definite "no
  // such name" answers are kept for a while; passing failures are asked again.
  static std::string HostNameOf(Shared& s, const PeerAddress& peer) {
    const in6_addr& address = peer.sin6_addr;
    if (std::optional<std::string> known = s.cache.Find(address)) return *known;
    char host[kHostNameBytes] = {};
    sockaddr_in v4;
    const bool isV4 = AsIpv4(peer, v4);
    const auto* asked =
        isV4 ? reinterpret_cast<const sockaddr*>(&v4) : reinterpret_cast<const sockaddr*>(&peer);
    const socklen_t length = isV4 ? sizeof v4 : sizeof peer;
    const int rc = s.lookup
                       ? s.lookup(asked, length, host, sizeof host)
                       : getnameinfo(asked, length, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    const int systemError = errno;
    if (rc != 0 && rc != EAI_NONAME) return HostNameErrorText(rc, systemError);
    std::string text = rc == 0 ? std::string(host, strnlen(host, sizeof host))
                               : HostNameErrorText(rc, systemError);
    s.cache.Store(address, text);
    return text;
  }

  std::shared_ptr<Shared> shared_;
  std::vector<std::thread> threads_;
};

// The bytes of the snapshot browsers were last given, read once per snapshot:
// the next client of the same picture is answered from memory. A snapshot
// record stands for one picture and is never rewritten, so it is the key.
// Network thread only.
class HttpServer::PictureCache {
 public:
  // The picture of a captured use (empty when its file cannot be read: the
  // browser then gets the header and nothing, as for a file that went missing).
  std::shared_ptr<const std::string> Read(const SnapshotUse& use) {
    std::shared_ptr<const SnapshotFile> file = use.file();
    if (bytes_ && file && file_.lock() == file) return bytes_;
    std::string bytes;
    if (UniqueFd fd{open(use.path(), O_RDONLY | O_CLOEXEC)}) {
      struct stat st {};
      if (fstat(fd.get(), &st) == 0)
        bytes.resize(static_cast<size_t>(std::max<off_t>(st.st_size, 0)));
      size_t have = 0;
      while (have < bytes.size()) {
        const ssize_t n = read(fd.get(), bytes.data() + have, bytes.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
      }
      bytes.resize(have);
    }
    file_ = file;
    bytes_ = std::make_shared<const std::string>(std::move(bytes));
    return bytes_;
  }

 private:
  std::weak_ptr<const SnapshotFile> file_;
  std::shared_ptr<const std::string> bytes_;
};

// The network thread and everything it alone touches, apart from the listening
// socket (shared with the loop thread under listenMutex) and the results of
// acquisitions (handed over under resultMutex, announced on the wake descriptor).
struct HttpServer::Network {
  explicit Network(HttpServer& owner)
      : server(owner),
        requestTimeout(owner.requestTimeout),
        sendStallTimeout(owner.sendStallTimeout),
        lookups(owner.ui_, owner.reverseLookup) {}

  // errno when the thread or its descriptors could not be made.
  int Start() {
    epoll.Reset(epoll_create1(EPOLL_CLOEXEC));
    wake.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!epoll || !wake) return errno;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeTag;
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0) return errno;
    spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    try {
      lookups.Start();
      thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    return 0;
  }

  void Shutdown() {
    stop.store(true);
    Wake();
    if (thread.joinable()) thread.join();
    {
      std::lock_guard guard(checkMutex);
      checkStop = true;
    }
    checkWake.notify_all();
    if (checker.joinable()) checker.join();  // at most one check to finish
  }

  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake.get(), &one, sizeof one);
  }

  // Loop thread: a stream frame's snapshot (not captured: none could be).
  void DeliverFrame(SnapshotUse use) {
    {
      std::lock_guard guard(resultMutex);
      frames.push_back(std::move(use));
    }
    Wake();
  }

  // Loop thread: an acquisition's snapshot (not captured: none could be).
  void Deliver(SnapshotUse use) {
    {
      std::lock_guard guard(resultMutex);
      results.push_back(std::move(use));
    }
    Wake();
  }
  // The picture of a use, which is given back: the bytes are all that is needed.
  std::shared_ptr<const std::string> PictureOf(SnapshotUse use) {
    if (!use.captured()) return nullptr;
    return pictures.Read(use);
  }

  void Run();
  void AcceptWaiting();
  void AnswerShortage(int listenFd, const std::shared_ptr<const AnswerTexts>& texts);
  void ReportShortage(Clock::time_point now, bool force);
  Connection& Admit(int fd, const PeerAddress& peer, std::shared_ptr<const AnswerTexts> texts,
                    bool logged);
  void HandleEvent(uint64_t tag, uint32_t events);
  void ReadRequest(Connection& c);
  void TakeResults();
  void Serve(Connection& c, HttpResource resource);
  void Refuse(Connection& c);
  bool SubmitCheck(Connection& c, const std::shared_ptr<HttpCredentials>& credentials,
                   HttpCredentials::Offered offered);
  void RunChecks();
  void SendFrame(const std::shared_ptr<const std::string>& picture);
  void RequestFrame(Clock::time_point now);
  void StartStream(Connection& c);
  void EndStreams();
  void ReadWhileStreaming(Connection& c);
  void Answer(Connection& c, std::string_view head, std::shared_ptr<const std::string> picture,
              bool reportProgress);
  void ContinueSending(Connection& c);
  void FinishAnswer(Connection& c);
  bool DrainStillOpen(Connection& c);
  void Discard(Connection& c);
  void Close(Connection& c);
  bool Watch(Connection& c, uint32_t events);
  void Arm(Connection& c);
  void ExpireTimers(Clock::time_point now);
  Connection* Find(int fd, uint32_t serial);
  const char* Now24();

  HttpServer& server;
  const milliseconds requestTimeout;
  const milliseconds sendStallTimeout;
  UniqueFd epoll, wake;
  std::thread thread;
  std::atomic<bool> stop{false};

  std::mutex listenMutex;  // the listening socket, its answers and its pause
  int listenFd = -1;
  std::shared_ptr<const AnswerTexts> texts;
  Clock::time_point listenPausedUntil = kNever;

  std::mutex resultMutex;
  std::vector<SnapshotUse> results;
  std::vector<SnapshotUse> frames;  // for the streams
  struct CheckedJob {
    int fd;
    uint32_t serial;
    bool ok;
  };
  std::vector<CheckedJob> checked;  // password verdicts

  // Password checks waiting for the checker's thread (made at the first).
  struct CheckJob {
    int fd;
    uint32_t serial;
    std::shared_ptr<HttpCredentials> credentials;
    HttpCredentials::Offered offered;
  };
  std::mutex checkMutex;
  std::condition_variable checkWake;
  std::deque<CheckJob> checkJobs;
  bool checkStop = false;
  std::thread checker;
  std::atomic<bool> endStreams{false};  // the listener stopped

  // Network thread only from here on.
  LookupPool lookups;
  PictureCache pictures;
  std::vector<std::unique_ptr<Connection>> byFd;
  struct Timer {
    Clock::time_point at;
    int fd;
    uint32_t serial;
    bool operator>(const Timer& other) const { return at > other.at; }
  };
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
  std::vector<std::pair<int, uint32_t>> waiting;  // for the acquisition under way or next
  bool acquiring = false;
  Clock::time_point nextAcceptNotice{};
  std::vector<std::pair<int, uint32_t>> streamers;  // open streams
  bool frameAcquiring = false;                      // one frame capture at a time
  Clock::time_point nextFrameAt = kNever;
  milliseconds framePeriod{0};
  uint32_t nextSerial = 1;
  int nextVisitKey = 1;
  UniqueFd spare;  // given up to accept and answer when no descriptor is left
  long shortageUnreported = 0;
  Clock::time_point shortageReportAt = kNever;
  std::time_t timeTextOf = -1;
  std::string timeText;
};

const char* HttpServer::Network::Now24() {
  const std::time_t now = std::time(nullptr);
  if (now != timeTextOf) {
    timeText = TimeText(LocalTime(now));
    timeTextOf = now;
  }
  return timeText.c_str();
}

void HttpServer::Network::Run() {
  epoll_event events[kEventsPerWait];
  bool busy = false;  // the last wait found something to do
  while (!stop.load()) {
    Clock::time_point next = timers.empty() ? kNever : timers.top().at;
    next = std::min(next, shortageReportAt);
    if (!frameAcquiring) next = std::min(next, nextFrameAt);
    {
      std::lock_guard guard(listenMutex);
      next = std::min(next, listenPausedUntil);
    }
    // Under load, a short nap before waiting lets connections gather: each wait
    // that sleeps is a wake-up the clients' side pays for (measured: about 0.7
    // a request without the nap, 0.15 with it, and the clients' CPU a request
    // down by a seventh). Idle, the wait blocks at once.
    int n = busy ? epoll_wait(epoll.get(), events, kEventsPerWait, 0) : 0;
    if (busy && n == 0) {
      timespec nap{0, kBusyNapNs};
      nanosleep(&nap, nullptr);
    }
    if (n == 0)
      n = epoll_wait(epoll.get(), events, kEventsPerWait, MillisecondsUntil(next, Clock::now()));
    busy = n > 0;
    bool accepted = false;
    for (int i = 0; i < n; ++i) {
      const uint64_t tag = events[i].data.u64;
      if (tag == kWakeTag) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(wake.get(), &count, sizeof count);
        TakeResults();
      } else if (tag == kListenerTag) {
        const int before = server.connections_.load();
        AcceptWaiting();
        accepted = accepted || server.connections_.load() != before;
      } else {
        HandleEvent(tag, events[i].events);
      }
    }
    const Clock::time_point now = Clock::now();
    // The tray icon at most once a tenth of a second, and only when the last
    // notice has been shown: a busy server must not keep the window's thread awake.
    if (accepted && server.hooks_.onAccept && now >= nextAcceptNotice &&
        !server.acceptNoticePending_.exchange(true)) {
      nextAcceptNotice = now + kAcceptNoticePeriod;
      server.loop_.Post([weak = server.weak_from_this()] {
        if (auto s = weak.lock()) {
          s->acceptNoticePending_.store(false);
          s->hooks_.onAccept();
        }
      });
    }
    if (endStreams.exchange(false)) EndStreams();
    RequestFrame(now);
    ExpireTimers(now);
    ReportShortage(now, false);
    {
      std::lock_guard guard(listenMutex);
      if (listenPausedUntil <= now) {
        listenPausedUntil = kNever;
        if (!spare) spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = kListenerTag;
        if (listenFd >= 0) epoll_ctl(epoll.get(), EPOLL_CTL_MOD, listenFd, &event);
      }
    }
  }
  ReportShortage(Clock::now(), true);
  // Exit: what is still open is closed unanswered; bars in progress end.
  for (auto& c : byFd) {
    if (!c) continue;
    if (c->phase == Connection::Phase::kSending && c->reportsProgress && server.ui_)
      server.ui_->ReportTransferProgress(c->fd, 0);
    server.connections_.fetch_sub(1);
    close(c->fd);
    c.reset();
  }
}

void HttpServer::Network::AcceptWaiting() {
  struct Accepted {
    int fd;
    PeerAddress peer;
  };
  Accepted accepted[kMaxAcceptsPerWake];
  int count = 0;
  std::shared_ptr<const AnswerTexts> answers;
  {
    std::lock_guard guard(listenMutex);
    if (listenFd < 0) return;
    answers = texts;
    while (count < kMaxAcceptsPerWake) {
      Accepted& a = accepted[count];
      sockaddr_storage from{};
      socklen_t length = sizeof from;
      a.fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (a.fd >= 0) {
        a.peer = PeerOf(reinterpret_cast<const sockaddr*>(&from));
        ++count;
        continue;
      }
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        AnswerShortage(listenFd, answers);
      break;  // nothing more waiting
    }
  }
  for (int i = 0; i < count; ++i) {
    // Most requests are there by now.
    ReadRequest(Admit(accepted[i].fd, accepted[i].peer, answers, true));
  }
}

// Caller holds listenMutex. No descriptor is left: the spare one makes room to
// accept one waiting connection and tell it so; without a spare the listener
// rests a moment instead of waking this thread again at once.
void HttpServer::Network::AnswerShortage(int listenFd,
                                         const std::shared_ptr<const AnswerTexts>& answers) {
  ++shortageUnreported;
  if (shortageReportAt == kNever) shortageReportAt = Clock::now();
  if (spare) {
    spare.Reset();
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      server.refused_.fetch_add(1);
      // Answered and closed like any other, without a visit line; the spare
      // comes back when a descriptor is free again.
      Connection& c = Admit(fd, PeerAddress{}, answers, false);
      Answer(c, c.texts->unavailable, nullptr, false);
      return;
    }
    spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return;
  }
  epoll_event event{};
  event.events = 0;
  event.data.u64 = kListenerTag;
  epoll_ctl(epoll.get(), EPOLL_CTL_MOD, listenFd, &event);
  listenPausedUntil = Clock::now() + kAcceptPauseOnShortage;
}

// At most one line a second, counting the connections turned away since the last.
void HttpServer::Network::ReportShortage(Clock::time_point now, bool force) {
  if (shortageReportAt == kNever || (!force && now < shortageReportAt)) return;
  if (shortageUnreported == 0) {
    shortageReportAt = kNever;  // a quiet second: the next shortage is told at once
    return;
  }
  std::fprintf(stderr, "HTTP: no descriptor left, %ld connection(s) answered 503 - %.24s\n",
               shortageUnreported, Now24());
  shortageUnreported = 0;
  shortageReportAt = now + kShortageReportEvery;
}

HttpServer::Connection& HttpServer::Network::Admit(int fd, const PeerAddress& peer,
                                                   std::shared_ptr<const AnswerTexts> answers,
                                                   bool logged) {
  auto c = std::make_unique<Connection>();
  c->fd = fd;
  c->serial = nextSerial++;
  if (nextSerial == 0) nextSerial = 1;
  c->peer = peer;
  c->texts = std::move(answers);
  if (byFd.size() <= static_cast<size_t>(fd)) byFd.resize(static_cast<size_t>(fd) + 1);
  Connection& connection = *(byFd[static_cast<size_t>(fd)] = std::move(c));
  server.connections_.fetch_add(1);
  if (logged) {
    connection.visitKey = nextVisitKey;
    nextVisitKey = nextVisitKey == INT_MAX ? 1 : nextVisitKey + 1;
    char line[kHttpLineChars + 1];
    std::snprintf(line, sizeof line, "HTTP %s - %%s - %.24s", PeerText(peer).c_str(), Now24());
    if (server.ui_) server.ui_->AddVisitLine(connection.visitKey, line);
    connection.deadline = Clock::now() + requestTimeout;
  }
  return connection;
}

HttpServer::Connection* HttpServer::Network::Find(int fd, uint32_t serial) {
  if (fd < 0 || static_cast<size_t>(fd) >= byFd.size()) return nullptr;
  Connection* c = byFd[static_cast<size_t>(fd)].get();
  return c && c->serial == serial ? c : nullptr;
}

void HttpServer::Network::HandleEvent(uint64_t tag, uint32_t events) {
  Connection* c = Find(static_cast<int>(tag & 0xffffffffu), static_cast<uint32_t>(tag >> 32));
  if (!c) return;  // closed earlier in this wake
  switch (c->phase) {
    case Connection::Phase::kReading:
      ReadRequest(*c);
      break;
    case Connection::Phase::kChecking:
    case Connection::Phase::kWaiting:
      // Gone while its password is checked or its picture is coming: nobody to answer.
      if (events & (EPOLLERR | EPOLLHUP)) Close(*c);
      break;
    case Connection::Phase::kSending:
      ContinueSending(*c);
      break;
    case Connection::Phase::kStreaming:
      ReadWhileStreaming(*c);
      break;
    case Connection::Phase::kLingering:
      Discard(*c);
      break;
  }
}

// One receive decides, as much as has arrived: a request line cut short is no
// picture request. A closed or failed connection reads as an empty request.
void HttpServer::Network::ReadRequest(Connection& c) {
  const AnswerTexts& texts = *c.texts;
  const bool password = texts.credentials && texts.credentials->required();
  char request[kRequestBufferBytes];
  std::string_view head;
  if (!password) {
    const ssize_t n = recv(c.fd, request, kRequestBufferBytes - 1, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (Watch(c, EPOLLIN)) Arm(c);
      return;
    }
    const size_t received = n > 0 ? static_cast<size_t>(n) : 0;
    head = std::string_view(request, received);
    c.requestComplete =
        received < kRequestBufferBytes - 1 && memmem(request, received, "\r\n\r\n", 4) != nullptr;
  } else {
    // The credentials may come late in the head: read it whole (bounded; the
    // request's time limit still applies).
    for (;;) {
      char chunk[4096];
      const size_t room = kHttpRequestHeadMax - c.request.size();
      const ssize_t n = recv(c.fd, chunk, std::min(room, sizeof chunk), 0);
      if (n > 0) {
        c.request.append(chunk, static_cast<size_t>(n));
        if (c.request.find("\r\n\r\n") != std::string::npos ||
            c.request.size() >= kHttpRequestHeadMax)
          break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (Watch(c, EPOLLIN)) Arm(c);
        return;
      }
      break;  // the client ended, or the connection failed
    }
    head = c.request;
    c.requestComplete = c.request.ends_with("\r\n\r\n");
  }
  HttpResource resource = ClassifyHttpRequest(head.data(), head.size());
  if (resource == HttpResource::kStream && texts.streamFps <= 0) resource = HttpResource::kNone;
  if (resource == HttpResource::kNone) {
    Answer(c, kHttpNotFound, nullptr, false);
    return;
  }
  if (password) {
    HttpCredentials::Offered offered = texts.credentials->Recognise(head);
    c.request.clear();
    switch (offered.verdict) {
      case HttpCredentials::Offered::Verdict::kAccepted:
        break;
      case HttpCredentials::Offered::Verdict::kRefused:
        return Refuse(c);
      case HttpCredentials::Offered::Verdict::kToCheck:
        // The slow check runs on the checker's thread; every other client is
        // served meanwhile. Too many waiting: refused without a check.
        if (!SubmitCheck(c, texts.credentials, std::move(offered))) return Refuse(c);
        c.phase = Connection::Phase::kChecking;
        c.resource = resource;
        c.deadline = kNever;
        Watch(c, 0);
        return;
    }
  } else if (head.size() == kRequestBufferBytes - 1) {
    char drain[kRequestBufferBytes - 1];
    (void)recv(c.fd, drain, sizeof drain, 0);  // takes only what already arrived
  }
  Serve(c, resource);
}

void HttpServer::Network::Refuse(Connection& c) {
  c.refused = true;
  Answer(c, kHttpUnauthorized, nullptr, false);
}

bool HttpServer::Network::SubmitCheck(Connection& c,
                                      const std::shared_ptr<HttpCredentials>& credentials,
                                      HttpCredentials::Offered offered) {
  std::lock_guard guard(checkMutex);
  if (checkJobs.size() >= kPasswordChecksQueued) return false;
  if (!checker.joinable()) {
    try {
      checker = std::thread([this] { RunChecks(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  checkJobs.push_back(CheckJob{c.fd, c.serial, credentials, std::move(offered)});
  checkWake.notify_one();
  return true;
}

// The checker's thread: one password check after another, each verdict handed
// back like a picture.
void HttpServer::Network::RunChecks() {
  std::unique_lock lock(checkMutex);
  for (;;) {
    checkWake.wait(lock, [this] { return checkStop || !checkJobs.empty(); });
    if (checkStop) return;
    CheckJob job = std::move(checkJobs.front());
    checkJobs.pop_front();
    lock.unlock();
    const bool ok = job.credentials->Check(job.offered);
    {
      std::lock_guard guard(resultMutex);
      checked.push_back(CheckedJob{job.fd, job.serial, ok});
    }
    Wake();
    lock.lock();
  }
}

void HttpServer::Network::Serve(Connection& c, HttpResource resource) {
  if (resource == HttpResource::kStream) {
    StartStream(c);
    return;
  }
  // The picture of this second is shared without asking the loop's thread.
  if (server.hooks_.shareSnapshot && !acquiring)
    if (SnapshotUse shared = server.hooks_.shareSnapshot(kSnapshotFreshFor); shared.held()) {
      Answer(c, c.texts->pictureHeader, PictureOf(std::move(shared)), true);
      return;
    }
  c.phase = Connection::Phase::kWaiting;
  c.deadline = kNever;
  if (!Watch(c, 0)) return;
  waiting.emplace_back(c.fd, c.serial);
  if (acquiring) return;
  // Captures belong to the loop's thread; the clients waiting when the answer
  // comes back share it.
  acquiring = true;
  server.loop_.Post([weak = server.weak_from_this()] {
    if (auto s = weak.lock()) s->AcquireOnLoop();
  });
}

void HttpServer::Network::TakeResults() {
  std::vector<SnapshotUse> taken, takenFrames;
  std::vector<CheckedJob> verdicts;
  {
    std::lock_guard guard(resultMutex);
    taken.swap(results);
    takenFrames.swap(frames);
    verdicts.swap(checked);
  }
  for (const CheckedJob& verdict : verdicts) {
    Connection* c = Find(verdict.fd, verdict.serial);
    if (!c || c->phase != Connection::Phase::kChecking) continue;  // gone meanwhile
    if (verdict.ok)
      Serve(*c, c->resource);
    else
      Refuse(*c);
  }
  for (auto& frame : takenFrames) {
    frameAcquiring = false;
    SendFrame(PictureOf(std::move(frame)));
  }
  for (auto& use : taken) {
    acquiring = false;
    const std::shared_ptr<const std::string> picture = PictureOf(std::move(use));
    std::vector<std::pair<int, uint32_t>> clients;
    clients.swap(waiting);
    for (auto [fd, serial] : clients) {
      Connection* c = Find(fd, serial);
      if (!c || c->phase != Connection::Phase::kWaiting) continue;
      if (picture)
        Answer(*c, c->texts->pictureHeader, picture, true);
      else
        Answer(*c, c->texts->unavailable, nullptr, false);
    }
  }
}

void HttpServer::Network::Answer(Connection& c, std::string_view head,
                                 std::shared_ptr<const std::string> picture, bool reportProgress) {
  c.phase = Connection::Phase::kSending;
  c.head = head;
  c.picture = std::move(picture);
  c.sent = 0;
  c.reportsProgress = reportProgress && server.ui_;
  if (c.reportsProgress)
    server.ui_->ReportTransferProgress(
        c.fd, static_cast<int32_t>(static_cast<uint32_t>(c.picture ? c.picture->size() : 0)));
  c.deadline = Clock::now() + sendStallTimeout;
  ContinueSending(c);
}

// Header and picture in one send, continued when the socket can take more. The
// progress bar hears of the picture's bytes after every send.
void HttpServer::Network::ContinueSending(Connection& c) {
  const size_t headSize = c.head.size();
  const size_t pictureSize = c.picture ? c.picture->size() : 0;
  const size_t total = headSize + pictureSize;
  auto pictureLeft = [&] {
    return static_cast<int32_t>(pictureSize - (c.sent > headSize ? c.sent - headSize : 0));
  };
  while (c.sent < total) {
    iovec parts[2];
    int count = 0;
    if (c.sent < headSize)
      parts[count++] = {const_cast<char*>(c.head.data()) + c.sent, headSize - c.sent};
    const size_t pictureSent = c.sent > headSize ? c.sent - headSize : 0;
    if (pictureSent < pictureSize)
      parts[count++] = {const_cast<char*>(c.picture->data()) + pictureSent,
                        pictureSize - pictureSent};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    const int32_t leftBefore = pictureLeft();
    const ssize_t n = sendmsg(c.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
      if (c.reportsProgress && pictureLeft() != leftBefore)
        server.ui_->ReportTransferProgress(c.fd, pictureLeft());
      c.deadline = Clock::now() + sendStallTimeout;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (Watch(c, EPOLLOUT)) Arm(c);
      return;
    }
    Close(c);  // the connection is gone
    return;
  }
  FinishAnswer(c);
}

// Ends the answer gracefully: unread request bytes at close would make the
// system answer with a reset, which can destroy the end of the response at the
// client. So unless the client sent a whole request head and nothing after it
// (then the close itself ends the answer), say we are done and read and drop
// what comes (bounded) until it closes too.
void HttpServer::Network::FinishAnswer(Connection& c) {
  if (c.streaming) {
    // Between parts: only the client's end is of interest until the next frame.
    c.phase = Connection::Phase::kStreaming;
    c.picture.reset();
    c.deadline = kNever;
    Watch(c, EPOLLIN);
    return;
  }
  int pending = 0;
  if (c.requestComplete && ioctl(c.fd, FIONREAD, &pending) == 0 && pending == 0) {
    Close(c);
    return;
  }
  shutdown(c.fd, SHUT_WR);
  c.phase = Connection::Phase::kLingering;
  c.picture.reset();
  c.deadline = Clock::now() + kHttpLingerTimeout;
  if (!Watch(c, EPOLLIN)) return;
  Arm(c);
  Discard(c);
}

void HttpServer::Network::StartStream(Connection& c) {
  c.stream = c.streaming = true;
  streamers.emplace_back(c.fd, c.serial);
  const milliseconds period(1000 / std::clamp<int32_t>(c.texts->streamFps, 1, kMaxStreamFps));
  if (nextFrameAt == kNever || period != framePeriod) nextFrameAt = Clock::now();
  framePeriod = period;
  Answer(c, kHttpStreamHeader, nullptr, false);
}

// One capture per frame period, however many watch, and never two at once.
void HttpServer::Network::RequestFrame(Clock::time_point now) {
  if (streamers.empty()) {
    nextFrameAt = kNever;
    return;
  }
  if (frameAcquiring || now < nextFrameAt) return;
  frameAcquiring = true;
  nextFrameAt += framePeriod;
  if (nextFrameAt <= now) nextFrameAt = now + framePeriod;  // fell behind: no burst
  // A picture made for a browser within half a period is fresh enough.
  server.loop_.Post([weak = server.weak_from_this(), fresh = framePeriod / 2] {
    if (auto s = weak.lock()) s->AcquireFrameOnLoop(fresh);
  });
}

// The frame goes to every stream waiting for one; a stream still sending an
// earlier part skips it, so a slow viewer never holds the others back.
void HttpServer::Network::SendFrame(const std::shared_ptr<const std::string>& picture) {
  if (!picture || picture->empty()) return;
  char head[sizeof kHttpStreamPartHeader + 24];
  std::snprintf(head, sizeof head, kHttpStreamPartHeader, picture->size());
  auto part = std::make_shared<std::string>();
  part->reserve(std::strlen(head) + picture->size() + 2);
  part->append(head).append(*picture).append("\r\n");
  const std::shared_ptr<const std::string> shared = std::move(part);
  const std::vector<std::pair<int, uint32_t>> viewers = streamers;
  for (auto [fd, serial] : viewers) {
    Connection* c = Find(fd, serial);
    if (c && c->phase == Connection::Phase::kStreaming) Answer(*c, {}, shared, false);
  }
}

// The listener stopped: streams end after the part they are sending.
void HttpServer::Network::EndStreams() {
  const std::vector<std::pair<int, uint32_t>> viewers = streamers;
  for (auto [fd, serial] : viewers) {
    Connection* c = Find(fd, serial);
    if (!c) continue;
    if (c->phase == Connection::Phase::kStreaming) {
      c->streaming = false;
      std::erase(streamers, std::pair(fd, serial));
      c->requestComplete = false;
      FinishAnswer(*c);
    } else {
      c->streaming = false;
      std::erase(streamers, std::pair(fd, serial));
    }
  }
}

// Reads and drops what the client sent (a bounded amount a wake); false once the
// client has closed, the connection is gone, or it sends without end.
bool HttpServer::Network::DrainStillOpen(Connection& c) {
  char discard[4096];
  for (int i = 0; i < kDiscardReadsPerWake; ++i) {
    const ssize_t n = recv(c.fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return false;  // still sending after all that: not a client to wait for
}

// Between parts a viewer has nothing to say; its end (or a failure) closes the stream.
void HttpServer::Network::ReadWhileStreaming(Connection& c) {
  if (!DrainStillOpen(c)) Close(c);
}

void HttpServer::Network::Discard(Connection& c) {
  if (!DrainStillOpen(c) && c.phase == Connection::Phase::kLingering) Close(c);
}

void HttpServer::Network::Close(Connection& c) {
  if (c.phase == Connection::Phase::kSending && c.reportsProgress &&
      c.sent < c.head.size() + (c.picture ? c.picture->size() : 0))
    server.ui_->ReportTransferProgress(c.fd, 0);  // stopped: the transfer ends here
  const int key = c.visitKey;
  const PeerAddress peer = c.peer;
  const char* note = c.refused ? kRefusedNote : c.stream ? kStreamNote : "";
  if (c.streaming) std::erase(streamers, std::pair(c.fd, c.serial));
  const int fd = c.fd;
  byFd[static_cast<size_t>(fd)].reset();  // c is gone
  server.connections_.fetch_sub(1);       // counted out before the client can see the end
  // Without a spare, the connection's number becomes the spare in one step: a
  // close and a fresh open would leave a moment in which another thread of the
  // process could take the last number, and then every client is turned away
  // silently until some descriptor happens to come free.
  if (!spare && dup3(wake.get(), fd, O_CLOEXEC) == fd)
    spare.Reset(fd);
  else
    close(fd);
  if (key != 0) lookups.Complete(key, peer, note);
}

// A connection joins epoll's set only when it first has to wait: most are
// answered and closed within the wake that accepted them. One that cannot join
// is closed (false): nothing would ever wake it.
bool HttpServer::Network::Watch(Connection& c, uint32_t events) {
  if (c.watched && c.events == events) return true;
  epoll_event event{};
  event.events = events;
  event.data.u64 = (static_cast<uint64_t>(c.serial) << 32) | static_cast<uint32_t>(c.fd);
  if (epoll_ctl(epoll.get(), c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &event) != 0 &&
      !c.watched) {
    Close(c);
    return false;
  }
  c.watched = true;
  c.events = events;
  return true;
}

// One timer entry per connection counts; a later deadline is noticed when the
// earlier entry comes due. Entries of closed connections stay until they come
// due, so under many short connections the queue is rebuilt from the live ones
// once it holds far more than those: its memory follows the connections open,
// not the connections of the last request timeout.
void HttpServer::Network::Arm(Connection& c) {
  if (c.deadline == kNever || c.deadline >= c.armedAt) return;
  timers.push({c.deadline, c.fd, c.serial});
  c.armedAt = c.deadline;
  const size_t live = static_cast<size_t>(server.connections_.load());
  if (timers.size() <= kTimerEntriesKept + 4 * live) return;
  std::vector<Timer> entries;
  entries.reserve(2 * live + 1);
  for (const std::unique_ptr<Connection>& each : byFd)
    if (each && each->armedAt != kNever) entries.push_back({each->armedAt, each->fd, each->serial});
  timers = decltype(timers)(std::greater<>(), std::move(entries));
}

void HttpServer::Network::ExpireTimers(Clock::time_point now) {
  while (!timers.empty() && timers.top().at <= now) {
    const Timer due = timers.top();
    timers.pop();
    Connection* c = Find(due.fd, due.serial);
    if (!c || c->armedAt != due.at) continue;  // superseded
    c->armedAt = kNever;
    if (c->deadline > now) {
      Arm(*c);
      continue;
    }
    // The request did not come, the client takes nothing, or it never closes:
    // closed without (more of) an answer.
    Close(*c);
  }
}

HttpServer::HttpServer(EventLoop& loop, std::shared_ptr<UiSink> ui,
                       std::shared_ptr<WorkerGroup> /*workers*/, Hooks hooks)
    : loop_(loop), ui_(std::move(ui)), hooks_(std::move(hooks)) {}

HttpServer::~HttpServer() {
  Stop();
  if (net_) net_->Shutdown();
}

void HttpServer::AcquireOnLoop() {
  if (!net_) return;
  net_->Deliver(hooks_.acquireSnapshot ? hooks_.acquireSnapshot(kSnapshotFreshFor) : SnapshotUse());
}

void HttpServer::AcquireFrameOnLoop(milliseconds freshFor) {
  if (!net_) return;
  net_->DeliverFrame(hooks_.acquireSnapshot ? hooks_.acquireSnapshot(freshFor) : SnapshotUse());
}

int HttpServer::StartHttpListener(uint16_t port, int32_t refresh, const Options& options) {
  Stop();  // a restart replaces the listener; never two
  auto fail = [&](int error, std::string reason = {}) {
    if (reason.empty()) reason = std::strerror(error);
    if (ui_) {
      char line[512];
      std::snprintf(line, sizeof line, "!!!HTTP server could not listen on port %u!!! (%s) - %.24s",
                    static_cast<unsigned>(port), reason.c_str(), NowText().c_str());
      ui_->AddLogLine(-1, line);
    }
    return error;
  };
  sockaddr_storage address{};
  socklen_t addressLength = 0;
  UniqueFd listener;
  if (options.address.empty()) {
    // Every interface, IPv4 clients included (as mapped addresses); IPv4 alone
    // where the system has no IPv6.
    listener.Reset(socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener) {
      int off = 0;
      setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      auto& any = reinterpret_cast<sockaddr_in6&>(address);
      any.sin6_family = AF_INET6;
      any.sin6_addr = in6addr_any;
      any.sin6_port = htons(port);
      addressLength = sizeof any;
    } else {
      listener.Reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      auto& any = reinterpret_cast<sockaddr_in&>(address);
      any.sin_family = AF_INET;
      any.sin_addr.s_addr = htonl(INADDR_ANY);
      any.sin_port = htons(port);
      addressLength = sizeof any;
    }
  } else {
    std::string host = options.address;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0 || !found) {
      const int error = rc == EAI_SYSTEM ? errno : EADDRNOTAVAIL;
      return fail(error, "address " + options.address + ": " +
                             (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc)));
    }
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    addressLength = found->ai_addrlen;
    freeaddrinfo(found);
    listener.Reset(socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener && address.ss_family == AF_INET6) {
      int on = 1;  // exactly the address asked for
      setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
  }
  if (!listener) return fail(errno);
  // Connections of an earlier run lingering in TIME_WAIT must not block the port;
  // a port another program listens on is still refused.
  int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), addressLength) != 0 ||
      listen(listener.get(), SOMAXCONN) != 0)
    return fail(errno);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  port_ = port;
  if (getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0)
    port_ = ntohs(PeerOf(reinterpret_cast<const sockaddr*>(&bound)).sin6_port);

  if (!net_) {
    auto net = std::make_unique<Network>(*this);
    if (const int error = net->Start()) {
      net->Shutdown();
      return fail(error);
    }
    net_ = std::move(net);
  }
  auto answers = std::make_shared<AnswerTexts>();
  answers->pictureHeader = PictureHeader(refresh);
  answers->unavailable = UnavailableAnswer(refresh);
  if (!options.user.empty() || !options.passwordHash.empty())
    answers->credentials = std::make_shared<HttpCredentials>(options.user, options.passwordHash);
  answers->streamFps = std::clamp<int32_t>(options.streamFps, 0, kMaxStreamFps);
  std::lock_guard guard(net_->listenMutex);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenerTag;
  if (epoll_ctl(net_->epoll.get(), EPOLL_CTL_ADD, listener.get(), &event) != 0) return fail(errno);
  net_->texts = std::move(answers);
  net_->listenFd = listener.Release();
  net_->listenPausedUntil = kNever;
  return 0;
}

void HttpServer::Stop() {
  if (!net_) return;
  std::lock_guard guard(net_->listenMutex);
  if (net_->listenFd < 0) return;
  // Out of the thread's watch before the descriptor goes; it accepts only
  // under the same lock.
  epoll_ctl(net_->epoll.get(), EPOLL_CTL_DEL, net_->listenFd, nullptr);
  close(net_->listenFd);
  net_->listenFd = -1;
  net_->listenPausedUntil = kNever;
  net_->endStreams.store(true);
  net_->Wake();
}

bool HttpServer::listening() const {
  if (!net_) return false;
  std::lock_guard guard(net_->listenMutex);
  return net_->listenFd >= 0;
}

}  // namespace snapvane
