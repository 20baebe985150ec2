// The program itself: with no display it starts on the offscreen platform, echoes
// its log to standard error, and SIGTERM or SIGINT end it as "Close" does: at
// once, whatever the connections do, leaving no snapshot file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <future>
#include <string>

#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;

class ProgramSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(ProgramSignalTest, EndsCleanlyAndSavesSettings) {
  test::Sandbox box;
  const int port = test::FreeLoopbackPort();
  std::filesystem::create_directories(box / "tolmar");
  char reg[256];
  std::snprintf(reg, sizeof reg,
                "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n"
                "\"http\"=dword:00000001\n\"httpPort\"=dword:%08x\n",
                port);
  test::WriteFile(box / "tolmar" / "Snapvane.reg", reg);
  // What a killed earlier run left behind, and a file of that name some process
  // still holds open.
  const std::filesystem::path stale = box / "snvAb12Cd", held = box / "snvEf34Gh";
  test::WriteFile(stale, "old");
  test::WriteFile(held, "old");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(stale, old);
  std::filesystem::last_write_time(held, old);
  UniqueFd holder(open(held.c_str(), O_RDONLY | O_CLOEXEC));
  // No display at all; settings, snapshots and the test pattern in the sandbox.
  // The shell writes its pid and then becomes the program.
  const std::string dir = box.path().string();
  const std::string command =
      "env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME='" + dir +
      "' TMPDIR='" + dir + "' SNAPVANE_CAPTURE=pattern sh -c 'echo $$ > \"$TMPDIR/pid\"; exec " +
      SNAPVANE_BINARY_DIR + "/snapvane' >/dev/null 2>'" + dir + "/stderr.txt'";
  auto run = std::async(std::launch::async, [&] { return std::system(command.c_str()); });
  const std::string errPath = dir + "/stderr.txt";
  ASSERT_TRUE(test::WaitFor([&] { return test::ReadFile(box / "pid").ends_with('\n'); }));
  const pid_t pid = std::stoi(test::ReadFile(box / "pid"));

  // Up once its HTTP server (switched on by the stored setting) answers; the
  // visit's completed log line then reaches standard error.
  const bool up = test::WaitFor(
      [&] { return test::IsPicture(test::Exchange(port, "GET / HTTP/1.0\r\n\r\n")); }, 30s);
  const bool logged =
      up && test::WaitFor([&] {
        return test::ReadFile(errPath).find("HTTP 127.0.0.1 - localhost") != std::string::npos;
      });
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(held));
  holder.Reset();
  std::filesystem::remove(held);
  UniqueFd idle(test::ConnectLoopback(port));  // a browser that never asks
  const auto killed = std::chrono::steady_clock::now();
  kill(pid, GetParam());
  if (run.wait_for(30s) != std::future_status::ready) kill(pid, SIGKILL);
  const auto took = std::chrono::steady_clock::now() - killed;
  const int status = run.get();
  ASSERT_TRUE(up) << test::ReadFile(errPath);
  EXPECT_TRUE(logged) << test::ReadFile(errPath);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(took, 1500ms) << "closing waited for the idle connection";
  for (const auto& entry : std::filesystem::directory_iterator(box.path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with("snv")) << entry.path();
  const std::string saved = test::ReadFile(box / "tolmar" / "Snapvane.reg");
  EXPECT_NE(saved.find("\"http\"=dword:00000001"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"quality\"="), std::string::npos) << saved;  // written at exit
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramSignalTest, ::testing::Values(SIGTERM, SIGINT));

}  // namespace
}  // namespace snapvane
