// The program itself: with no display it starts on the offscreen platform, echoes
// its log to standard error, and SIGTERM or SIGINT end it as "Close" does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

extern char** environ;

namespace snapvane {
namespace {

int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

bool Connects(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (ok) {
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    char buffer[4096];
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  }
  close(fd);
  return ok;
}

// Starts the program with no display at all; its standard error goes to errPath.
pid_t StartProgram(const test::Sandbox& sandbox, const std::string& errPath) {
  std::vector<std::string> env;
  auto dropped = [](const std::string& entry) {
    for (const char* name : {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY=", "XDG_CONFIG_HOME=",
                             "SNAPVANE_CAPTURE=", "TMPDIR="}) {
      if (entry.rfind(name, 0) == 0) return true;
    }
    return false;
  };
  for (char** e = environ; *e; ++e) {
    if (!dropped(*e)) env.push_back(*e);
  }
  env.push_back("XDG_CONFIG_HOME=" + sandbox.path().string());
  env.push_back("SNAPVANE_CAPTURE=pattern");
  env.push_back("TMPDIR=" + sandbox.path().string());
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string program = std::string(SNAPVANE_BINARY_DIR) + "/snapvane";
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

class ProgramSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(ProgramSignalTest, EndsCleanlyAndSavesSettings) {
  test::Sandbox sandbox;
  const int port = FreeLoopbackPort();
  std::filesystem::create_directories(sandbox / "tolmar");
  char values[128];
  std::snprintf(values, sizeof values, "\"http\"=dword:00000001\n\"httpPort\"=dword:%08x\n", port);
  test::WriteFile(
      sandbox / "tolmar" / "Snapvane.reg",
      std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n") + values);
  const std::string errPath = (sandbox / "stderr.txt").string();
  pid_t pid = StartProgram(sandbox, errPath);
  ASSERT_GT(pid, 0);

  // Up once its HTTP server (switched on by the stored setting) answers.
  const bool up = test::WaitFor([&] { return Connects(port); }, std::chrono::seconds(30));
  // The visit's log line reaches standard error once completed.
  const bool logged = up && test::WaitFor([&] {
                        return test::ReadFile(errPath).find("HTTP 127.0.0.1") != std::string::npos;
                      });
  kill(pid, GetParam());
  int status = 0;
  const bool ended = test::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                   std::chrono::seconds(30));
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(up) << test::ReadFile(errPath);
  EXPECT_TRUE(logged) << test::ReadFile(errPath);
  ASSERT_TRUE(ended);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string saved = test::ReadFile(sandbox / "tolmar" / "Snapvane.reg");
  EXPECT_NE(saved.find("\"http\"=dword:00000001"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"quality\"="), std::string::npos) << saved;  // written at exit
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM ? "Term" : "Int");
                         });

}  // namespace
}  // namespace snapvane
