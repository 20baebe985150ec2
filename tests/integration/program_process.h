#pragma once
// Processes the tests start: the real binary in a sandbox (settings file
// box/s.reg, snapshots in box, the test pattern, standard error kept in
// box/stderr.txt), and servers and tools in process groups of their own.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "tests/support/sandbox.h"

namespace snapvane::test {

// command run by sh (NAME=value words may lead it), its output in out; it and
// its helpers get SIGTERM when the object goes.
class Child {
 public:
  explicit Child(const std::string& command, const std::string& out = "/dev/null") {
    const std::string line = "exec env " + command + " >'" + out + "' 2>&1";
    if ((pid_ = fork()) == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // no server outlives a crashed test
      execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
      _exit(127);
    }
    setpgid(pid_, pid_);  // before any kill, whichever of the two runs first
  }
  ~Child() { kill(-pid_, SIGTERM), waitpid(pid_, nullptr, 0); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

 private:
  pid_t pid_;
};

class Program {
 public:
  // env: extra NAME=value words; args: the program's own.
  Program(const Sandbox& box, const std::string& env, const std::string& args)
      : err_(box / "stderr.txt") {
    using namespace std::chrono_literals;
    const std::string dir = box.path().string();
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TMPDIR='" +
                                dir + "' SNAPVANE_CAPTURE=pattern " + env +
                                " sh -c 'echo $$ > \"$TMPDIR/pid\"; exec " + SNAPVANE_BINARY_DIR +
                                "/snapvane --config \"$TMPDIR/s.reg\" " + args +
                                "' >/dev/null 2>'" + err_.string() + "'";
    run_ = std::async(std::launch::async, [command] { return std::system(command.c_str()); });
    if (WaitFor([&] { return ReadFile(box / "pid").ends_with('\n'); }))
      pid_ = std::stoi(ReadFile(box / "pid"));
  }
  ~Program() { End(SIGKILL); }
  bool Started() const { return pid_ > 0; }
  std::string Err() const { return ReadFile(err_); }
  bool ErrHas(const std::string& text,
              std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return WaitFor([&] { return Err().find(text) != std::string::npos; }, timeout);
  }
  void Signal(int number) const { kill(pid_, number); }
  // The libraries and modules it has mapped.
  std::string Maps() const { return ReadFile("/proc/" + std::to_string(pid_) + "/maps"); }
  // The wait status after the signal.
  int End(int number) {
    if (!run_.valid()) return -1;
    if (pid_ > 0) kill(pid_, number);
    if (run_.wait_for(std::chrono::seconds(30)) != std::future_status::ready) kill(pid_, SIGKILL);
    return run_.get();
  }

 private:
  std::filesystem::path err_;
  std::future<int> run_;
  pid_t pid_ = -1;
};

// One run of the binary with args against box/s.reg; its output in box/out.txt.
inline int RunTool(const Sandbox& box, const std::string& args) {
  const std::string command = std::string(SNAPVANE_BINARY_DIR) + "/snapvane --config '" +
                              (box / "s.reg").string() + "' " + args + " >'" +
                              (box / "out.txt").string() + "' 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace snapvane::test
