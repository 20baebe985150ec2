#pragma once
// A small FTP server on loopback, driven by a script: canned replies per verb
// (defaults make a well-behaved server), records every command line, and for
// STOR connects back to the address and port of PORT, or takes the connection
// to the port it gave for EPSV/PASV. Serves one control connection after another.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace snapvane::test {

inline sockaddr_in Loopback(const std::string& address, int port) {
  return {AF_INET, htons(static_cast<uint16_t>(port)), {::inet_addr(address.c_str())}, {}};
}

// A socket listening on address at a port the system picks, put in port (0 on failure).
inline int ListenOn(const std::string& address, int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Loopback(address, 0);
  socklen_t length = sizeof at;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
                  ::listen(fd, 4) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) == 0;
  port = ok ? ntohs(at.sin_port) : 0;
  return fd;
}

// Bytes of every value in a pattern that does not repeat at block sizes, so a
// transfer in text mode, or a lost or repeated block, changes them.
inline std::string Picture(size_t size, char seed = 0) {
  std::string bytes(size, seed);
  for (size_t i = 0; i < size; ++i) bytes[i] += static_cast<char>(i * 131 + (i >> 9));
  return bytes;
}

class ScriptedFtpServer {
 public:
  struct Script {
    std::string address = "127.0.0.1";       // any loopback address to listen on
    std::string greeting = "220 ready\r\n";  // empty: a server that never answers
    bool connectBack = true;                 // opens the data connection for STOR
    // Replies by verb ("STOR-DONE": the store's completion), used in order; then
    // defaults. An empty reply is never sent (a silent QUIT keeps the line open).
    std::map<std::string, std::deque<std::string>> replies = {};
    // The address a PASV reply names; empty: the server's own.
    std::string pasvAddress = "";
  };

  explicit ScriptedFtpServer(Script script) : script_(std::move(script)) {
    listener_ = ListenOn(script_.address, port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedFtpServer() { Finish(); }

  std::string server() const { return script_.address + ":" + std::to_string(port_); }
  // Ends the server once the client has hung up (or never came).
  void Finish() {
    if (!thread_.joinable()) return;
    ::shutdown(listener_, SHUT_RDWR);  // a waiting accept fails
    thread_.join();
    ::close(listener_);
  }
  // Call after Finish.
  std::vector<std::string> commands;
  std::string received, controlPeer, announced;  // client's address; address from PORT
  std::string raw;  // every byte the clients sent on their control connections
  int connections = 0;

 private:
  static std::string Text(const sockaddr_in& at) { return ::inet_ntoa(at.sin_addr); }
  void Send(int fd, const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

  std::string Reply(const std::string& verb) {
    if (auto& queue = script_.replies[verb]; !queue.empty()) {
      std::string r = queue.front();
      queue.pop_front();
      return r;
    }
    static const std::map<std::string, std::string> defaults = {
        {"USER", "331"},
        {"PASS", "230"},
        {"ACCT", "230"},
        {"CWD", "250"},
        {"TYPE", "200"},
        {"PORT", "200"},
        {"STOR", "150"},
        {"STOR-DONE", "226"},
        {"NOOP", "200"},
        {"RNFR", "350"},
        {"RNTO", "250"},
        {"DELE", "250"},
        {"QUIT", "221"},
        {"EPSV", "229 (|||{port}|)"},
        {"PASV", "227 Entering Passive Mode ({pasv})"}};
    auto it = defaults.find(verb);
    return (it == defaults.end() ? "500" : it->second) + " ok\r\n";
  }

  // A passive data port for an EPSV or PASV reply; fills in its place holders.
  void OpenPassive(std::string& reply) {
    if (passive_ >= 0) ::close(passive_);
    int port = 0;
    passive_ = ListenOn(script_.address, port);
    std::string pasv = script_.pasvAddress.empty() ? script_.address : script_.pasvAddress;
    for (char& c : pasv)
      if (c == '.') c = ',';
    pasv += "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
    for (auto [key, value] :
         {std::pair<std::string, std::string>{"{port}", std::to_string(port)}, {"{pasv}", pasv}})
      if (size_t at = reply.find(key); at != std::string::npos)
        reply.replace(at, key.size(), value);
  }

  void Receive(int data) {
    char piece[4096];
    for (ssize_t n; (n = ::recv(data, piece, sizeof piece, 0)) > 0;) received.append(piece, n);
    ::close(data);
  }

  void Store(const std::string& portArgs, const std::string& from) {
    int a, b, c, d, hi, lo;
    if (std::sscanf(portArgs.c_str(), "%d,%d,%d,%d,%d,%d", &a, &b, &c, &d, &hi, &lo) != 6) return;
    announced = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." +
                std::to_string(d);
    sockaddr_in local = Loopback(from, 0), to = Loopback(announced, hi * 256 + lo);
    int data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(data, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::connect(data, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
      return Receive(data);
    ::close(data);
  }

  void Run() {
    for (int control; (control = ::accept(listener_, nullptr, nullptr)) >= 0;) Serve(control);
    if (passive_ >= 0) ::close(passive_);
  }

  void Serve(int control) {
    ++connections;
    sockaddr_in peer{}, local{};
    socklen_t length = sizeof peer;
    ::getpeername(control, reinterpret_cast<sockaddr*>(&peer), &length);
    ::getsockname(control, reinterpret_cast<sockaddr*>(&local), &length);
    controlPeer = Text(peer);
    Send(control, script_.greeting);
    std::string pending, portArgs;
    char piece[256];
    for (ssize_t n; (n = ::recv(control, piece, sizeof piece, 0)) > 0;) {
      pending.append(piece, static_cast<size_t>(n));
      raw.append(piece, static_cast<size_t>(n));
      for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        commands.push_back(line);
        std::string verb = line.substr(0, line.find(' ')), reply = Reply(verb);
        if (verb == "PORT") portArgs = line.size() > 5 ? line.substr(5) : "";
        if ((verb == "EPSV" || verb == "PASV") && reply[0] == '2') OpenPassive(reply);
        if (verb == "PORT" && passive_ >= 0) ::close(passive_), passive_ = -1;
        Send(control, reply);
        if (verb == "STOR" && passive_ >= 0 && (reply[0] == '1' || reply[0] == '2')) {
          Receive(::accept(passive_, nullptr, nullptr));
          ::close(passive_), passive_ = -1;
          if (reply[0] == '1') Send(control, Reply("STOR-DONE"));
        } else if (verb == "STOR" && script_.connectBack && (reply[0] == '1' || reply[0] == '2')) {
          Store(portArgs, Text(local));  // from the address the client reached
          if (reply[0] == '1') Send(control, Reply("STOR-DONE"));
        }
        if (verb == "QUIT" && !reply.empty()) return (void)::close(control);
      }
    }
    ::close(control);
  }

  Script script_;
  int listener_ = -1, port_ = 0, passive_ = -1;
  std::thread thread_;
};

}  // namespace snapvane::test
