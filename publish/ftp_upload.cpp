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
#include <utility>

#include "common/ui_sink.h"
#include "settings/settings.h"
#include "common/fixed_text.h"
#include "common/time_text.h"
#include "common/ui_sink.h"
#include "publish/socket_util.h"
#include "settings/settings_store.h"

namespace snapvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kFtpWellKnownPort = 21;  // when the services database has no "ftp"
constexpr int kDataListenBacklog = 5;
constexpr size_t kServiceLookupBuffer = 1024;

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

// "host" or "host:port". The port defaults to the "ftp" service's.
bool SplitServer(const std::string& server, std::string& host, int& port) {
  host = server;
  port = 0;
  size_t colon = server.rfind(':');
  if (colon != std::string::npos) {
    std::string digits = server.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    for (char c : digits)
      if (c < '0' || c > '9') return false;
    port = std::stoi(digits);
    if (port < 1 || port > 65535) return false;
    host = server.substr(0, colon);
  } else {
    servent entry{};
    servent* found = nullptr;
    char work[kServiceLookupBuffer];
    if (::getservbyname_r("ftp", "tcp", &entry, work, sizeof work, &found) == 0 && found)
      port = ntohs(static_cast<uint16_t>(found->s_port));
    else
      port = kFtpWellKnownPort;
  }
  return !host.empty();
}

// A dotted IPv4 address is used as given; only names are looked up.
bool ResolveServer(const std::string& host, in_addr& address) {
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
  ::freeaddrinfo(list);
  return true;
}

// Connects to server within the time limit. The socket stays non-blocking: every
// receive is preceded by a bounded wait, and SendAll waits out a full buffer.
// why says what failed.
UniqueFd ConnectControl(const std::string& server, milliseconds timeout, std::string& why) {
  std::string host;
  int port = 0;
  in_addr address{};
  if (!SplitServer(server, host, port)) {
    why = "the server is not a host name or host:port";
    return UniqueFd();
  }
  if (!ResolveServer(host, address)) {
    why = "looking up the server's address failed";
    return UniqueFd();
  }
  why = "connecting: ";
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return why += std::strerror(errno), UniqueFd();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr = address;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS) return why += std::strerror(errno), UniqueFd();
    if (!WaitUntil(fd.get(), true, Clock::now() + timeout))
      return why += "no answer within " + std::to_string(timeout.count()) + " ms", UniqueFd();
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) return why += std::strerror(error), UniqueFd();
  }
  why.clear();
  return fd;
}

// Waits for the server's data connection; connections from any other address
// than the control connection's peer are turned away (they would receive the
// picture).
UniqueFd AcceptData(int listenFd, const in_addr& server, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && WaitUntil(listenFd, false, deadline)) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    UniqueFd data(::accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &length,
                            SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!data) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
        continue;
      return UniqueFd();
    }
    if (from.sin_family == AF_INET && from.sin_addr.s_addr == server.s_addr) return data;
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

std::string Field(const char* text, size_t capacity) {
  return std::string(text, ::strnlen(text, capacity));
}

template <size_t N>
std::string Field(const char (&text)[N]) {
  return Field(text, N);
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
  return FtpSettings{Field(s.ftpUser),   Field(s.ftpPass), Field(s.ftpAccount),
                     Field(s.ftpServer), Field(s.ftpFile), Field(s.ftpDir)};
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
  return {};
}

void ApplyFtpSettings(Settings& settings, const FtpSettings& s) {
  CopyText(settings.ftpUser, s.user);
  CopyText(settings.ftpPass, s.pass);
  CopyText(settings.ftpAccount, s.account);
  CopyText(settings.ftpServer, s.server);
  CopyText(settings.ftpFile, s.file);
  CopyText(settings.ftpDir, s.dir);
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
      if (control.socket() < 0 || Clock::now() >= deadline ||
          !WaitUntil(control.socket(), false, deadline)) {
        control.NoteReply("no reply within " + std::to_string(control.replyTimeout().count()) +
                          " ms");
        return -1;
      }
      size_t room = std::min(kFtpReceivePiece, kFtpReplyBufferSize - used);
      ssize_t n = ::recv(control.socket(), buf + used, room, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
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
  if (SendAll(control.socket(), command.data(), static_cast<int>(command.size()))) return true;
  control.NoteProblem(control.Why() + " (could not be sent)");
  return false;
}

int FtpStoreSnapshot(FtpControl& control, UiSink* ui, const FtpSettings& settings,
                     const char* path, const FtpLimits& limits) {
  // Announce the address this computer reaches the server from, and only take
  // the data connection from the server itself.
  sockaddr_in local{}, peer{};
  socklen_t length = sizeof local;
  if (::getsockname(control.socket(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET || local.sin_addr.s_addr == htonl(INADDR_ANY))
    return 1;
  length = sizeof peer;
  if (::getpeername(control.socket(), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 1;

  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in bindTo = local, bound{};
  bindTo.sin_port = 0;
  length = sizeof bound;
  if (!listener.valid() ||
      ::bind(listener.get(), reinterpret_cast<sockaddr*>(&bindTo), sizeof bindTo) != 0 ||
      ::listen(listener.get(), kDataListenBacklog) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    control.NoteProblem(std::string("opening a data port: ") + std::strerror(errno));
    return 1;
  }

  uint32_t a = ntohl(local.sin_addr.s_addr);
  unsigned port = ntohs(bound.sin_port);
  char portCommand[64];
  std::snprintf(portCommand, sizeof portCommand, "PORT %d,%d,%d,%d,%d,%d\r\n",
                static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 255),
                static_cast<int>((a >> 8) & 255), static_cast<int>(a & 255),
                static_cast<int>(port >> 8), static_cast<int>(port & 255));
  if (!Command(control, portCommand, 2)) return 1;

  if (!SendFtpCommand(control, "STOR " + settings.file + ".svtemp\r\n")) return 1;
  int storeClass = ReplyClass(ReadFtpReply(control));
  if (storeClass != 1 && storeClass != 2) return 1;

  UniqueFd data = AcceptData(listener.get(), peer.sin_addr, limits.dataConnectTimeout);
  if (!data.valid()) {
    control.NoteProblem("the server did not open the data connection within " +
                        std::to_string(limits.dataConnectTimeout.count()) + " ms");
    return 1;
  }
  SendFileToSocket(ui, data.get(), path);
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

std::string RunFtpUpload(UiSink* ui, const char* path, const FtpSettings& settings,
                         const FtpLimits& limits) {
  const std::time_t start = std::time(nullptr);
  const std::string startText = TimeText(LocalTime(start));
  int result = 1;
  std::string why;
  UniqueFd fd = ConnectControl(settings.server, limits.connectTimeout, why);
  if (fd.valid()) {
    FtpControl control(fd.Release(), limits.replyTimeout);
    if (Greet(control) && LogIn(control, settings) &&
        (settings.dir.empty() || Command(control, "CWD " + settings.dir + "\r\n", 2)) &&
        Command(control, "TYPE I\r\n", 2)) {
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

std::string FtpLogLine(int result, const FtpSettings& settings, long seconds,
                       const std::string& startText) {
  const std::string when = startText.substr(0, 24);
  std::string line = result == 0 ? "FTP " + settings.file + " to " + settings.server + " - " +
                                       std::to_string(seconds) + " secs from " + when
                                 : "!!!failed to FTP image to " + settings.server + "!!! " + when;
  line.resize(Utf8Prefix(line, kMaxFtpLogLine));
  return line;
}

void FtpUploadWorker(UiSink* ui, SnapshotUse use, FtpSettings settings,
                     const FtpLimits& limits) {
  std::string line = RunFtpUpload(ui, use.held() ? use.path() : "", settings, limits);
  if (ui) ui->AddLogLine(-1, line);
  use.Release();
}

}  // namespace snapvane
