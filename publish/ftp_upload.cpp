#include "publish/ftp_upload.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "common/fixed_text.h"
#include "common/time_text.h"
#include "common/ui_sink.h"
#include "publish/socket_util.h"
#include "settings/settings.h"
#include "settings/settings_store.h"

namespace snapvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDataListenBacklog = 5;

// Waits for events on fd until deadline; true when ready (an error or hang-up
// counts: the next call reports it).
bool WaitUntil(int fd, bool forWriting, Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  if (left.count() < 0) left = milliseconds(0);
  return (forWriting ? WaitWritable(fd, left) : WaitReadable(fd, left)) == WaitResult::kReady;
}

int ReplyClass(int code) { return code >= 100 && code <= 599 ? code / 100 : -1; }

// Finds "\r\n" in the first used bytes; returns its position or used.
size_t FindLineEnd(const char* buf, size_t used) {
  for (size_t i = 0; i + 1 < used; ++i)
    if (buf[i] == '\r' && buf[i + 1] == '\n') return i;
  return used;
}

// The decimal number a line starts with, -1 when it starts with no digit.
// Saturates: anything above 599 fails every class test anyway.
int LineCode(const char* line, size_t length) {
  if (length == 0 || line[0] < '0' || line[0] > '9') return -1;
  int code = 0;
  for (size_t i = 0; i < length && line[i] >= '0' && line[i] <= '9'; ++i) {
    code = code * 10 + (line[i] - '0');
    if (code > 9999) return 9999;
  }
  return code;
}

// "host", "host:port", "[v6]" or "[v6]:port"; a bare IPv6 address (more than one
// colon) names no port. Without a port, the port setting applies.
bool SplitServer(const std::string& server, int defaultPort, std::string& host, int& port) {
  host = server;
  port = defaultPort > 0 ? defaultPort : kFtpDefaultPort;
  std::string digits;
  if (!server.empty() && server[0] == '[') {
    const size_t close = server.find(']');
    if (close == std::string::npos) return false;
    host = server.substr(1, close - 1);
    if (close + 1 < server.size()) {
      if (server[close + 1] != ':') return false;
      digits = server.substr(close + 2);
      if (digits.empty()) return false;
    }
  } else if (size_t colon = server.find(':');
             colon != std::string::npos && server.find(':', colon + 1) == std::string::npos) {
    host = server.substr(0, colon);
    digits = server.substr(colon + 1);
    if (digits.empty()) return false;
  }
  if (!digits.empty()) {
    if (digits.size() > 5) return false;
    for (char c : digits)
      if (c < '0' || c > '9') return false;
    port = std::stoi(digits);
    if (port < 1 || port > 65535) return false;
  }
  return !host.empty();
}

socklen_t AddressLength(const sockaddr_storage& a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

void SetPort(sockaddr_storage& a, int port) {
  if (a.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(static_cast<uint16_t>(port));
  else
    reinterpret_cast<sockaddr_in&>(a).sin_port = htons(static_cast<uint16_t>(port));
}

int PortOf(const sockaddr_storage& a) {
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                       : reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  return a.ss_family == AF_INET6 &&
         std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                     &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
}

// Connects a non-blocking stream socket to address within timeout; why says
// what failed.
UniqueFd ConnectWithin(const sockaddr_storage& to, milliseconds timeout, std::string& why) {
  UniqueFd fd(::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return why = std::strerror(errno), UniqueFd();
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), AddressLength(to)) != 0) {
    if (errno != EINPROGRESS) return why = std::strerror(errno), UniqueFd();
    if (!WaitUntil(fd.get(), true, Clock::now() + timeout))
      return why = "no answer within " + std::to_string(timeout.count()) + " ms", UniqueFd();
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) return why = std::strerror(error), UniqueFd();
  }
  return fd;
}

// Resolves the server (IPv4 and IPv6) and connects to the first address that
// answers, each within the time limit. The socket stays non-blocking: every
// receive is preceded by a bounded wait, and SendAll waits out a full buffer.
// host is the name or address the server was given as; why says what failed.
UniqueFd ConnectControl(const FtpSettings& settings, milliseconds timeout, std::string& host,
                        std::string& why) {
  int port = 0;
  if (!SplitServer(settings.server, settings.port, host, port)) {
    why = "the server is not a host name, host:port or [IPv6 address]:port";
    return UniqueFd();
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) {
    why = "looking up the server's address failed";
    return UniqueFd();
  }
  UniqueFd fd;
  for (addrinfo* at = list; at && !fd.valid(); at = at->ai_next) {
    sockaddr_storage to{};
    std::memcpy(&to, at->ai_addr, std::min<size_t>(at->ai_addrlen, sizeof to));
    std::string failed;
    fd = ConnectWithin(to, timeout, failed);
    if (!fd.valid()) why = "connecting: " + failed;
  }
  ::freeaddrinfo(list);
  if (fd.valid()) why.clear();
  return fd;
}

// Waits for the server's data connection; connections from any other address
// than the control connection's peer are turned away (they would receive the
// picture).
UniqueFd AcceptData(int listenFd, const sockaddr_storage& server, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && WaitUntil(listenFd, false, deadline)) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    UniqueFd data(::accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &length,
                            SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!data) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
        continue;
      return UniqueFd();
    }
    if (SameHost(from, server)) return data;
  }
  return UniqueFd();
}

// Text from the server made safe for a terminal: control bytes become '?'.
std::string Printable(const char* text, size_t length) {
  std::string out(text, length);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  return out;
}

bool Command(FtpControl& c, const std::string& text, int wantedClass) {
  return SendFtpCommand(c, text) && ReplyClass(ReadFtpReply(c)) == wantedClass;
}

bool Greet(FtpControl& c) {
  int cls = ReplyClass(ReadFtpReply(c));
  if (cls == 1) cls = ReplyClass(ReadFtpReply(c));
  return cls == 2;
}

bool LogIn(FtpControl& c, const FtpSettings& s) {
  if (!SendFtpCommand(c, "USER " + s.user + "\r\n")) return false;
  int cls = ReplyClass(ReadFtpReply(c));
  if (cls == 2) return true;
  if (cls != 3 || !SendFtpCommand(c, "PASS " + s.pass + "\r\n")) return false;
  cls = ReplyClass(ReadFtpReply(c));
  if (cls == 2) return true;
  return cls == 3 && Command(c, "ACCT " + s.account + "\r\n", 2);
}

// Sends command and repeats it at once while the server answers 450, at most
// maxRepeats times; true for a class 2 or 3 reply.
bool RenameStep(FtpControl& c, const std::string& command, int maxRepeats) {
  for (int repeats = 0;; ++repeats) {
    if (!SendFtpCommand(c, command)) return false;
    int code = ReadFtpReply(c);
    int cls = ReplyClass(code);
    if (cls == 2 || cls == 3) return true;
    if (code != 450 || repeats >= maxRepeats) return false;
  }
}

template <size_t N>
std::string Field(const char (&text)[N]) {
  return std::string(FieldText(text));
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// The window's line says only that the upload failed; standard error says why.
// The password never appears, even where a server repeats it.
void ReportFailure(const FtpSettings& settings, std::string why) {
  if (!settings.pass.empty())
    for (size_t at; (at = why.find(settings.pass)) != std::string::npos;)
      why.replace(at, settings.pass.size(), "****");
  std::fprintf(stderr, "FTP upload to %s failed: %s\n", settings.server.c_str(), why.c_str());
}

}  // namespace

FtpSettings CopyFtpSettings(const Settings& s) {
  FtpSettings out{Field(s.ftpUser),   Field(s.ftpPass), Field(s.ftpAccount),
                  Field(s.ftpServer), Field(s.ftpFile), Field(s.ftpDir)};
  if (s.ftpMode == static_cast<int32_t>(FtpMode::kPassive) ||
      s.ftpMode == static_cast<int32_t>(FtpMode::kAutomatic))
    out.mode = static_cast<FtpMode>(s.ftpMode);  // anything else: active, as before
  out.tls = s.ftpTls != 0;
  out.port = s.ftpPort != 0 ? s.ftpPort : kFtpDefaultPort;
  out.fingerprint = NormaliseFingerprint(Field(s.ftpFingerprint));
  return out;
}

std::string FtpSettingsProblem(const FtpSettings& s) {
  const std::pair<const std::string*, const char*> fields[] = {
      {&s.user, "user name"}, {&s.pass, "password"}, {&s.account, "account"},
      {&s.server, "server"},  {&s.dir, "directory"}, {&s.file, "file name"}};
  for (const auto& [text, name] : fields)
    if (HasLineBreak(*text))
      return std::string("The ") + name +
             " must not contain a line break (carriage return or line feed).";
  if (!PasswordStorable(s.pass))
    return "The password may contain only ASCII characters (codes 1 to 127); "
           "accented letters and other symbols cannot be stored.";
  if (s.port == 0) return "The port must be a number from 1 to 65535.";
  if (!s.fingerprint.empty() && NormaliseFingerprint(s.fingerprint).empty())
    return "The certificate fingerprint must be 64 hexadecimal digits (SHA-256).";
  return {};
}

void ApplyFtpSettings(Settings& settings, const FtpSettings& s) {
  CopyText(settings.ftpUser, s.user);
  CopyText(settings.ftpPass, s.pass);
  CopyText(settings.ftpAccount, s.account);
  CopyText(settings.ftpServer, s.server);
  CopyText(settings.ftpFile, s.file);
  CopyText(settings.ftpDir, s.dir);
  settings.ftpMode = static_cast<int32_t>(s.mode);
  settings.ftpTls = s.tls ? 1 : 0;
  settings.ftpPort = s.port;
  CopyText(settings.ftpFingerprint, NormaliseFingerprint(s.fingerprint));
}

FtpControl::FtpControl(int socket, std::chrono::milliseconds replyTimeout)
    : socket_(socket), replyTimeout_(replyTimeout), buffer_(new char[kFtpReplyBufferSize]) {}

FtpControl::~FtpControl() { Close(); }

void FtpControl::NoteCommand(const std::string& command) {
  std::string shown = command.substr(0, command.size() - 2);
  for (const char* secret : {"PASS ", "ACCT "})
    if (shown.rfind(secret, 0) == 0) shown.resize(4);  // the verb only
  lastCommand_ = Printable(shown.data(), shown.size());
  lastReply_ = "no reply read";
  problem_.clear();
}

std::string FtpControl::Why() const {
  if (!problem_.empty()) return problem_;
  return (lastCommand_.empty() ? std::string("greeting") : lastCommand_) + ": " + lastReply_;
}

void FtpControl::Close() {
  tls_.reset();
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

int ReadFtpReply(FtpControl& control) {
  char* buf = control.buffer();
  size_t& used = control.used();
  const auto deadline = Clock::now() + control.replyTimeout();
  for (;;) {
    size_t lineEnd;
    while ((lineEnd = FindLineEnd(buf, used)) == used) {
      if (used >= kFtpReplyBufferSize) {
        used = 0;  // a line longer than the buffer: no valid reply
        control.NoteReply("a reply line longer than the reply buffer");
        return -1;
      }
      // The limit covers the whole reply: a server that keeps sending
      // continuation lines cannot hold the worker past it.
      const std::string late =
          "no reply within " + std::to_string(control.replyTimeout().count()) + " ms";
      size_t room = std::min(kFtpReceivePiece, kFtpReplyBufferSize - used);
      ssize_t n;
      if (TlsStream* tls = control.tls()) {
        n = tls->Read(buf + used, room, deadline);
        if (n == -2) return control.NoteReply(late), -1;
        if (n == -1) errno = EPROTO;
      } else {
        if (control.socket() < 0 || Clock::now() >= deadline ||
            !WaitUntil(control.socket(), false, deadline))
          return control.NoteReply(late), -1;
        n = ::recv(control.socket(), buf + used, room, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      }
      if (n <= 0) {
        control.NoteReply(n == 0 ? "the server closed the connection"
                                 : std::string("receiving failed: ") + std::strerror(errno));
        return -1;
      }
      used += static_cast<size_t>(n);
    }
    int code = LineCode(buf, lineEnd);
    bool goesOn = lineEnd >= 4 && buf[3] == '-';
    control.NoteReply(Printable(buf, lineEnd), code);
    size_t consumed = lineEnd + 2;
    std::memmove(buf, buf + consumed, used - consumed);
    used -= consumed;
    if (!goesOn) return code;
  }
}

bool SendFtpCommand(FtpControl& control, const std::string& command) {
  if (control.socket() < 0 || command.size() < 2 ||
      command.compare(command.size() - 2, 2, "\r\n") != 0)
    return false;
  for (size_t i = 0; i + 2 < command.size(); ++i)
    if (command[i] == '\r' || command[i] == '\n' || command[i] == '\0') {
      control.NoteProblem("a setting holds a line break; the command was not sent");
      return false;
    }
  control.NoteCommand(command);
  if (TlsStream* tls = control.tls()) {
    if (tls->Write(command.data(), command.size(), Clock::now() + kSendStallTimeout)) return true;
  } else if (SendAll(control.socket(), command.data(), static_cast<int>(command.size()))) {
    return true;
  }
  control.NoteProblem(control.Why() + " (could not be sent)");
  return false;
}

namespace {

bool Refused(int code) { return ReplyClass(code) == 4 || ReplyClass(code) == 5; }

// A logged-in control connection, or why there is none.
struct Session {
  std::unique_ptr<FtpControl> control;
  std::string why;
  TlsFailure tls;
};

// Connects, greets, switches to TLS when asked (before a byte of the user name or
// password), logs in and changes directory. A failure ends the connection at once,
// without QUIT.
Session OpenSession(const FtpSettings& s, const FtpLimits& limits) {
  Session session;
  std::string host;
  UniqueFd fd = ConnectControl(s, limits.connectTimeout, host, session.why);
  if (!fd.valid()) return session;
  auto control = std::make_unique<FtpControl>(fd.Release(), limits.replyTimeout);
  FtpControl& c = *control;
  bool ok = Greet(c);
  if (ok && s.tls) {
    ok = Command(c, "AUTH TLS\r\n", 2);
    if (!ok && c.lastCode() != -1)
      c.NoteProblem(c.Why() + " (the server does not offer TLS; nothing else was sent)");
    if (ok) {
      auto stream = TlsStream::Connect(c.socket(), host, NormaliseFingerprint(s.fingerprint),
                                       nullptr, Clock::now() + limits.replyTimeout, session.tls);
      if (stream)
        c.StartTls(std::move(stream));
      else
        c.NoteProblem(session.tls.why), ok = false;
    }
  }
  ok = ok && LogIn(c, s);
  // Data connections in TLS too: no buffer size, private protection.
  if (ok && s.tls) ok = Command(c, "PBSZ 0\r\n", 2) && Command(c, "PROT P\r\n", 2);
  ok = ok && (s.dir.empty() || Command(c, "CWD " + s.dir + "\r\n", 2));
  if (ok) {
    session.control = std::move(control);
  } else {
    session.why = c.Why();
  }
  return session;
}

// Which mode last worked for a server, for the automatic mode; forgotten when
// an upload there fails.
std::mutex& ModesLock() {
  static std::mutex lock;
  return lock;
}
std::map<std::string, FtpMode>& Modes() {
  static std::map<std::string, FtpMode> modes;
  return modes;
}
constexpr size_t kMaxRememberedServers = 64;

std::string ModeMemoryKey(const FtpSettings& s) { return s.server + "\n" + std::to_string(s.port); }

std::optional<FtpMode> RememberedMode(const std::string& server) {
  std::lock_guard<std::mutex> hold(ModesLock());
  auto it = Modes().find(server);
  return it == Modes().end() ? std::nullopt : std::optional<FtpMode>(it->second);
}

void RememberMode(const std::string& server, bool worked, FtpMode mode) {
  std::lock_guard<std::mutex> hold(ModesLock());
  auto& modes = Modes();
  if (!worked) {
    modes.erase(server);
    return;
  }
  if (modes.size() >= kMaxRememberedServers && !modes.count(server)) modes.clear();
  modes[server] = mode;
}

enum class DataSetup { kReady, kRefused, kFailed };

// The port of a "229 ... (|||port|)" reply, or -1.
int ExtendedPassivePort(const std::string& reply) {
  const size_t open = reply.find('(');
  if (open == std::string::npos || open + 4 >= reply.size()) return -1;
  const char d = reply[open + 1];
  if (reply[open + 2] != d || reply[open + 3] != d) return -1;
  int port = 0;
  size_t i = open + 4;
  for (; i < reply.size() && reply[i] >= '0' && reply[i] <= '9' && port <= 65535; ++i)
    port = port * 10 + (reply[i] - '0');
  return i > open + 4 && i < reply.size() && reply[i] == d && port >= 1 && port <= 65535 ? port
                                                                                         : -1;
}

// The port of a "227 ... h1,h2,h3,h4,p1,p2" reply, or -1. Its address is not used.
int PassivePort(const std::string& reply) {
  for (size_t i = 4; i < reply.size(); ++i) {
    if (reply[i] < '0' || reply[i] > '9') continue;
    int n[6];
    if (std::sscanf(reply.c_str() + i, "%d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4],
                    &n[5]) != 6)
      return -1;
    for (int v : n)
      if (v < 0 || v > 255) return -1;
    const int port = n[4] * 256 + n[5];
    return port >= 1 ? port : -1;
  }
  return -1;
}

// EPSV, then PASV when EPSV is refused; connects to the server's data port. The
// data connection goes to the control connection's peer whatever address a PASV
// reply names: behind NAT it names a private one, and any other would let a
// server point the client at a third host.
DataSetup OpenPassive(FtpControl& c, const FtpLimits& limits, UniqueFd& data) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(c.socket(), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
    return DataSetup::kFailed;
  if (!SendFtpCommand(c, "EPSV\r\n")) return DataSetup::kFailed;
  int code = ReadFtpReply(c);
  int port = ReplyClass(code) == 2 ? ExtendedPassivePort(c.lastReply()) : -1;
  if (Refused(code)) {
    if (!SendFtpCommand(c, "PASV\r\n")) return DataSetup::kFailed;
    code = ReadFtpReply(c);
    if (ReplyClass(code) == 2) port = PassivePort(c.lastReply());
  }
  if (ReplyClass(code) != 2) return Refused(code) ? DataSetup::kRefused : DataSetup::kFailed;
  if (port < 0) {
    c.NoteProblem(c.Why() + " (no data port in the reply)");
    return DataSetup::kRefused;
  }
  SetPort(peer, port);
  std::string why;
  data = ConnectWithin(peer, limits.dataConnectTimeout, why);
  if (data.valid()) return DataSetup::kReady;
  c.NoteProblem("connecting to the server's data port " + std::to_string(port) + ": " + why);
  return DataSetup::kRefused;
}

// Opens a data port on the address this computer reaches the server from and
// announces it: PORT on IPv4, EPRT on IPv6.
DataSetup OpenActive(FtpControl& c, UniqueFd& listener) {
  sockaddr_storage local{}, bound{};
  socklen_t length = sizeof local;
  if (::getsockname(c.socket(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      (local.ss_family != AF_INET && local.ss_family != AF_INET6))
    return DataSetup::kFailed;
  SetPort(local, 0);
  listener.Reset(::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  length = sizeof bound;
  if (!listener.valid() ||
      ::bind(listener.get(), reinterpret_cast<sockaddr*>(&local), AddressLength(local)) != 0 ||
      ::listen(listener.get(), kDataListenBacklog) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    c.NoteProblem(std::string("opening a data port: ") + std::strerror(errno));
    return DataSetup::kFailed;
  }
  const unsigned port = static_cast<unsigned>(PortOf(bound));
  char command[128];
  if (local.ss_family == AF_INET) {
    uint32_t a = ntohl(reinterpret_cast<sockaddr_in&>(local).sin_addr.s_addr);
    std::snprintf(command, sizeof command, "PORT %d,%d,%d,%d,%d,%d\r\n", static_cast<int>(a >> 24),
                  static_cast<int>((a >> 16) & 255), static_cast<int>((a >> 8) & 255),
                  static_cast<int>(a & 255), static_cast<int>(port >> 8),
                  static_cast<int>(port & 255));
  } else {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6&>(local).sin6_addr, text, sizeof text);
    std::snprintf(command, sizeof command, "EPRT |2|%s|%u|\r\n", text, port);
  }
  if (!SendFtpCommand(c, command)) return DataSetup::kFailed;
  const int code = ReadFtpReply(c);
  if (ReplyClass(code) == 2) return DataSetup::kReady;
  return Refused(code) ? DataSetup::kRefused : DataSetup::kFailed;
}

// The store and rename with the first mode of order the server takes; used says
// which one that was.
int StoreWith(FtpControl& control, UiSink* ui, const FtpSettings& settings, const char* path,
              const FtpLimits& limits, const std::vector<FtpMode>& order, FtpMode& used) {
  UniqueFd listener, data;
  DataSetup setup = DataSetup::kRefused;
  for (FtpMode mode : order) {
    used = mode;
    setup = mode == FtpMode::kPassive ? OpenPassive(control, limits, data)
                                      : OpenActive(control, listener);
    if (setup != DataSetup::kRefused) break;
  }
  if (setup != DataSetup::kReady) return 1;

  if (!SendFtpCommand(control, "STOR " + settings.file + ".svtemp\r\n")) return 1;
  int storeClass = ReplyClass(ReadFtpReply(control));
  if (storeClass != 1 && storeClass != 2) return 1;

  if (!data.valid()) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(control.socket(), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
      data = AcceptData(listener.get(), peer, limits.dataConnectTimeout);
    if (!data.valid()) {
      control.NoteProblem("the server did not open the data connection within " +
                          std::to_string(limits.dataConnectTimeout.count()) + " ms");
      return 1;
    }
  }
  if (TlsStream* secure = control.tls()) {
    TlsFailure failure;
    auto stream = TlsStream::Connect(data.get(), "", "", secure,
                                     Clock::now() + limits.dataConnectTimeout, failure);
    if (!stream) {
      control.NoteProblem("the data connection's TLS: " + failure.why);
      return 1;
    }
    SendFileOverTls(ui, *stream, data.get(), path, kSendStallTimeout);
    stream->Shutdown(Clock::now() + limits.quitTimeout);
  } else {
    SendFileToSocket(ui, data.get(), path);
  }
  data.Reset();
  listener.Reset();

  // A preliminary store reply is followed by the store's own completion reply
  // once the data connection has closed; it tells whether the file arrived.
  const std::string temp = settings.file + ".svtemp";
  auto renameFrom = [&] {
    return RenameStep(control, "RNFR " + temp + "\r\n", limits.maxRenameRepeats);
  };
  auto renameTo = [&] {
    return RenameStep(control, "RNTO " + settings.file + "\r\n", limits.maxRenameRepeats);
  };
  const bool stored = storeClass == 2 || ReplyClass(ReadFtpReply(control)) == 2;
  const bool renaming = stored && Command(control, "NOOP\r\n", 2) && renameFrom();
  if (renaming && renameTo()) return 0;
  bool keepTemp = false;
  if (renaming && ReplyClass(control.lastCode()) == 5) {
    // Some servers refuse to rename onto an existing name: remove it, try once more.
    const std::string why = control.Why();
    if (Command(control, "DELE " + settings.file + "\r\n", 2)) {
      if (renameFrom() && renameTo()) return 0;
      keepTemp = true;  // the old picture is gone: the new one stays under its temporary name
    } else {
      control.NoteProblem(why);
    }
  }
  // A reply still missing (-1) may yet come; a command now would be paired with it.
  if (!keepTemp && control.lastCode() != -1) {
    const std::string why = control.Why();
    if (SendFtpCommand(control, "DELE " + temp + "\r\n")) ReadFtpReply(control);
    control.NoteProblem(why);
  }
  return 1;
}

}  // namespace

int FtpStoreSnapshot(FtpControl& control, UiSink* ui, const FtpSettings& settings, const char* path,
                     const FtpLimits& limits) {
  const std::string server = ModeMemoryKey(settings);
  std::vector<FtpMode> order{settings.mode};
  if (settings.mode == FtpMode::kAutomatic) {
    const std::optional<FtpMode> known = RememberedMode(server);
    order = {FtpMode::kPassive, FtpMode::kActive};
    if (known == FtpMode::kActive) std::swap(order[0], order[1]);
  }
  FtpMode used = order[0];
  const int result = StoreWith(control, ui, settings, path, limits, order, used);
  if (settings.mode == FtpMode::kAutomatic) RememberMode(server, result == 0, used);
  return result;
}

std::string RunFtpUpload(UiSink* ui, const char* path, const FtpSettings& settings,
                         const FtpLimits& limits) {
  const std::time_t start = std::time(nullptr);
  const std::string startText = TimeText(LocalTime(start));
  int result = 1;
  Session session = OpenSession(settings, limits);
  std::string why = session.why;
  if (session.control) {
    FtpControl& control = *session.control;
    if (Command(control, "TYPE I\r\n", 2)) {
      result = FtpStoreSnapshot(control, ui, settings, path, limits);
      // The outcome is known: a server gone silent must not hold the worker long.
      control.setReplyTimeout(std::min(limits.replyTimeout, limits.quitTimeout));
      if (result != 0) why = control.Why();
      if (SendFtpCommand(control, "QUIT\r\n")) ReadFtpReply(control);
    } else {
      why = control.Why();
    }
  }
  if (result != 0) ReportFailure(settings, why);
  long seconds = static_cast<long>(std::max<std::time_t>(0, std::time(nullptr) - start));
  return FtpLogLine(result, settings, seconds, startText);
}

FtpCheckResult CheckFtpLogin(const FtpSettings& settings, const FtpLimits& limits) {
  FtpCheckResult result;
  Session session = OpenSession(settings, limits);
  if (!session.control) {
    result.text = session.why;
    result.fingerprint = session.tls.pinnable ? session.tls.fingerprint : std::string();
    return result;
  }
  FtpControl& control = *session.control;
  control.setReplyTimeout(std::min(limits.replyTimeout, limits.quitTimeout));
  if (SendFtpCommand(control, "QUIT\r\n")) ReadFtpReply(control);
  result.ok = true;
  result.text = std::string("Logged in") + (settings.tls ? " over TLS" : "") +
                (settings.dir.empty() ? "" : " and changed to the directory " + settings.dir) + ".";
  return result;
}

std::string FtpLogLine(int result, const FtpSettings& settings, long seconds,
                       const std::string& startText) {
  const std::string when = startText.substr(0, 24);
  std::string line = result == 0 ? "FTP " + settings.file + " to " + settings.server + " - " +
                                       std::to_string(seconds) + " secs from " + when
                                 : "!!!failed to FTP image to " + settings.server + "!!! " + when;
  line.resize(Utf8Prefix(line, kMaxFtpLogLine));
  return line;
}

void FtpUploadWorker(UiSink* ui, SnapshotUse use, FtpSettings settings, const FtpLimits& limits) {
  std::string line = RunFtpUpload(ui, use.held() ? use.path() : "", settings, limits);
  if (ui) ui->AddLogLine(-1, line);
  use.Release();
}

}  // namespace snapvane
