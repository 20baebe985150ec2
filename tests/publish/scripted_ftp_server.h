#pragma once
// A small FTP server for one control connection on loopback, driven by a script:
// canned replies per verb (defaults make a well-behaved server), records every
// command line, and for STOR connects back to the address and port of PORT.
#include <arpa/inet.h>
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
    // Replies by verb ("STOR-DONE": the store's completion), used in order; then defaults.
    std::map<std::string, std::deque<std::string>> replies;
  };

  explicit ScriptedFtpServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = Address(script_.address, 0);
    socklen_t length = sizeof at;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        ::listen(listener_, 4) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length) == 0)
      port_ = ntohs(at.sin_port);
    if (::pipe(stop_) != 0) stop_[0] = stop_[1] = -1;
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedFtpServer() { Finish(); }

  std::string server() const { return script_.address + ":" + std::to_string(port_); }
  // Ends the server once the client has hung up (or never came).
  void Finish() {
    if (!thread_.joinable()) return;
    if (stop_[1] >= 0) (void)!::write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : {listener_, stop_[0], stop_[1]})
      if (fd >= 0) ::close(fd);
  }
  // Call after Finish.
  std::vector<std::string> commands;
  std::string received, controlPeer, announced;  // client's address; address from PORT

 private:
  static sockaddr_in Address(const std::string& address, int port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    return at;
  }
  static std::string Text(const sockaddr_in& at) {
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);
  }
  void Send(int fd, const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

  std::string Reply(const std::string& verb) {
    auto& queue = script_.replies[verb];
    if (!queue.empty()) {
      std::string r = queue.front();
      queue.pop_front();
      return r;
    }
    static const std::string defaults =  // codes of a well-behaved server
        "|USER 331|PASS 230|ACCT 230|CWD 250|TYPE 200|PORT 200|STOR 150|STOR-DONE 226|NOOP 200|"
        "RNFR 350|RNTO 250|QUIT 221|";
    size_t at = defaults.find("|" + verb + " ");
    return (at == std::string::npos ? "500" : defaults.substr(at + verb.size() + 2, 3)) + " ok\r\n";
  }

  void Store(const std::string& portArgs, const std::string& from) {
    int a[4], hi, lo;
    if (std::sscanf(portArgs.c_str(), "%d,%d,%d,%d,%d,%d", &a[0], &a[1], &a[2], &a[3], &hi, &lo) !=
        6)
      return;
    announced = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) +
                "." + std::to_string(a[3]);
    sockaddr_in local = Address(from, 0), to = Address(announced, hi * 256 + lo);
    int data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(data, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::connect(data, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      char piece[4096];
      for (ssize_t n; (n = ::recv(data, piece, sizeof piece, 0)) > 0;) received.append(piece, n);
    }
    ::close(data);
  }

  void Run() {
    pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0 || !(p[0].revents & POLLIN)) return;
    int control = ::accept(listener_, nullptr, nullptr);
    if (control < 0) return;
    sockaddr_in peer{}, local{};
    socklen_t length = sizeof peer;
    ::getpeername(control, reinterpret_cast<sockaddr*>(&peer), &length);
    ::getsockname(control, reinterpret_cast<sockaddr*>(&local), &length);
    controlPeer = Text(peer);
    if (!script_.silent) Send(control, script_.greeting);
    std::string pending, portArgs;
    char piece[256];
    for (ssize_t n;
         !script_.closeAfterGreeting && (n = ::recv(control, piece, sizeof piece, 0)) > 0;) {
      pending.append(piece, static_cast<size_t>(n));
      for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        commands.push_back(line);
        if (script_.silent) continue;
        std::string verb = line.substr(0, line.find(' ')), reply = Reply(verb);
        if (verb == "PORT") portArgs = line.size() > 5 ? line.substr(5) : "";
        Send(control, reply);
        bool accepted = !reply.empty() && (reply[0] == '1' || reply[0] == '2');
        if (verb == "STOR" && script_.connectBack && accepted) {
          Store(portArgs, Text(local));  // from the address the client reached
          if (reply[0] == '1') Send(control, Reply("STOR-DONE"));
        }
        if (verb == "QUIT") return (void)::close(control);
      }
    }
    ::close(control);
  }

  Script script_;
  int listener_ = -1, port_ = 0, stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace snapvane::test
