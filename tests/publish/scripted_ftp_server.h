#pragma once
// A small FTP server for one control connection on loopback, driven by a script:
// canned replies per command verb (defaults make a well-behaved server), records
// every command line it receives, connects back for STOR to the address and port
// the client announced with PORT and keeps the bytes it receives there.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace snapvane::test {

class ScriptedFtpServer {
 public:
  struct Script {
    std::string address = "127.0.0.1";  // any loopback address to listen on
    std::string greeting = "220 ready\r\n";
    bool silent = false;              // never sends a byte, only listens
    bool closeAfterGreeting = false;  // hangs up right after the greeting
    bool connectBack = true;          // opens the data connection for STOR
    bool strangerFirst = false;       // a connection from 127.0.0.3 comes first
    // Replies by verb ("USER", ...; "STOR-DONE" is the store's completion reply),
    // used in order; an empty or missing queue falls back to the default.
    std::map<std::string, std::deque<std::string>> replies;
  };

  explicit ScriptedFtpServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = Loopback(script_.address.c_str(), 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        ::listen(listener_, 4) == 0) {
      socklen_t length = sizeof at;
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length);
      port_ = ntohs(at.sin_port);
    }
    if (::pipe(stop_) != 0) stop_[0] = stop_[1] = -1;
    thread_ = std::thread([this] { Run(); });
  }

  ~ScriptedFtpServer() { Finish(); }

  int port() const { return port_; }
  std::string server() const { return script_.address + ":" + std::to_string(port_); }

  // Ends the server once the client has hung up (or never came).
  void Finish() {
    if (!thread_.joinable()) return;
    if (stop_[1] >= 0) (void)!::write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : {listener_, stop_[0], stop_[1]})
      if (fd >= 0) ::close(fd);
    listener_ = stop_[0] = stop_[1] = -1;
  }

  // Call after Finish.
  const std::vector<std::string>& commands() const { return commands_; }
  const std::string& received() const { return received_; }
  const std::string& controlPeer() const { return controlPeer_; }  // the client's address
  const std::string& announced() const { return announced_; }      // address from PORT
  bool strangerGotData() const { return strangerGotData_; }
  int CountOf(const std::string& verb) const {
    int n = 0;
    for (const auto& c : commands_)
      if (c.compare(0, verb.size(), verb) == 0) ++n;
    return n;
  }

 private:
  static sockaddr_in Loopback(const char* address, int port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &at.sin_addr);
    return at;
  }

  void Run() {
    pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0 || !(p[0].revents & POLLIN)) return;
    int control = ::accept(listener_, nullptr, nullptr);
    if (control < 0) return;
    Session(control);
    ::close(control);
  }

  void Send(int fd, const std::string& text) {
    if (!text.empty()) ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }

  std::string Reply(const std::string& verb) {
    auto it = script_.replies.find(verb);
    if (it != script_.replies.end() && !it->second.empty()) {
      std::string r = it->second.front();
      it->second.pop_front();
      return r;
    }
    static const std::map<std::string, std::string> defaults = {
        {"USER", "331 password please\r\n"},
        {"PASS", "230 logged in\r\n"},
        {"ACCT", "230 account ok\r\n"},
        {"CWD", "250 directory changed\r\n"},
        {"TYPE", "200 binary\r\n"},
        {"PORT", "200 port ok\r\n"},
        {"STOR", "150 go ahead\r\n"},
        {"STOR-DONE", "226 stored\r\n"},
        {"NOOP", "200 noop\r\n"},
        {"RNFR", "350 ready for RNTO\r\n"},
        {"RNTO", "250 renamed\r\n"},
        {"QUIT", "221 bye\r\n"}};
    auto d = defaults.find(verb);
    return d != defaults.end() ? d->second : "500 unknown command\r\n";
  }

  // Reads one CRLF-terminated line; false at the end of the connection.
  bool ReadLine(int fd, std::string& pending, std::string& line) {
    for (;;) {
      size_t end = pending.find("\r\n");
      if (end != std::string::npos) {
        line = pending.substr(0, end);
        pending.erase(0, end + 2);
        return true;
      }
      char piece[256];
      ssize_t n = ::recv(fd, piece, sizeof piece, 0);
      if (n <= 0) return false;
      pending.append(piece, static_cast<size_t>(n));
    }
  }

  int ConnectFrom(const char* from, const sockaddr_in& to) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = Loopback(from, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  void Store(int control, const std::string& storeReply) {
    int a[4], hi, lo;
    if (std::sscanf(portArgs_.c_str(), "%d,%d,%d,%d,%d,%d", &a[0], &a[1], &a[2], &a[3], &hi, &lo) !=
        6)
      return;
    announced_ = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) +
                 "." + std::to_string(a[3]);
    sockaddr_in to = Loopback(announced_.c_str(), hi * 256 + lo);
    int stranger = script_.strangerFirst ? ConnectFrom("127.0.0.3", to) : -1;
    // The data connection comes from the address the client reached us at.
    int data = ConnectFrom(controlLocal_.c_str(), to);
    if (data < 0) return;
    char piece[4096];
    ssize_t n;
    while ((n = ::recv(data, piece, sizeof piece, 0)) > 0) received_.append(piece, n);
    ::close(data);
    if (stranger >= 0) {
      pollfd p{stranger, POLLIN, 0};
      if (::poll(&p, 1, 5000) > 0 && ::recv(stranger, piece, sizeof piece, 0) > 0)
        strangerGotData_ = true;
      ::close(stranger);
    }
    if (storeReply[0] == '1') Send(control, Reply("STOR-DONE"));
  }

  void Session(int control) {
    sockaddr_in at{};
    socklen_t length = sizeof at;
    char text[INET_ADDRSTRLEN] = {};
    ::getpeername(control, reinterpret_cast<sockaddr*>(&at), &length);
    controlPeer_ = ::inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);
    length = sizeof at;
    ::getsockname(control, reinterpret_cast<sockaddr*>(&at), &length);
    controlLocal_ = ::inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);

    if (!script_.silent) Send(control, script_.greeting);
    if (script_.closeAfterGreeting) return;
    std::string pending, line;
    while (ReadLine(control, pending, line)) {
      commands_.push_back(line);
      if (script_.silent) continue;
      std::string verb = line.substr(0, line.find(' '));
      std::string reply = Reply(verb);
      if (verb == "PORT") portArgs_ = line.size() > 5 ? line.substr(5) : "";
      Send(control, reply);
      if (verb == "STOR" && script_.connectBack && (reply[0] == '1' || reply[0] == '2'))
        Store(control, reply);
      if (verb == "QUIT") return;
    }
  }

  Script script_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  std::vector<std::string> commands_;
  std::string received_, controlPeer_, controlLocal_, announced_, portArgs_;
  bool strangerGotData_ = false;
};

}  // namespace snapvane::test
