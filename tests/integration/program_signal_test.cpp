// The program itself: with no display it starts on the offscreen platform, echoes
// its log to standard error, and SIGTERM or SIGINT end it as "Close" does: at
// once, whatever the connections do, leaving no snapshot file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "tests/integration/program_process.h"
#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;

class ProgramSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(ProgramSignalTest, EndsCleanlyAndSavesSettings) {
  test::Sandbox box;
  const int port = test::FreeLoopbackPort();
  ASSERT_EQ(test::RunTool(box, "--set http=1 --set httpPort=" + std::to_string(port)), 0);
  // What a killed earlier run left behind, and a file of that name some process
  // still holds open.
  const std::filesystem::path stale = box / "snvAb12Cd", held = box / "snvEf34Gh";
  test::WriteFile(stale, "old");
  test::WriteFile(held, "old");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(stale, old);
  std::filesystem::last_write_time(held, old);
  UniqueFd holder(open(held.c_str(), O_RDONLY | O_CLOEXEC));
  test::Program program(box, "", "");  // no display at all
  ASSERT_TRUE(program.Started());

  // Up once its HTTP server (switched on by the stored setting) answers; the
  // visit's completed log line then reaches standard error.
  const bool up = test::WaitFor(
      [&] { return test::IsPicture(test::Exchange(port, "GET / HTTP/1.0\r\n\r\n")); }, 30s);
  const bool logged = up && program.ErrHas("HTTP 127.0.0.1 - localhost");
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(held));
  holder.Reset();
  std::filesystem::remove(held);
  UniqueFd idle(test::ConnectLoopback(port));  // a browser that never asks
  const auto killed = std::chrono::steady_clock::now();
  const int status = program.End(GetParam());
  const auto took = std::chrono::steady_clock::now() - killed;
  ASSERT_TRUE(up) << program.Err();
  EXPECT_TRUE(logged) << program.Err();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(took, 1500ms) << "closing waited for the idle connection";
  for (const auto& entry : std::filesystem::directory_iterator(box.path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with("snv")) << entry.path();
  const std::string saved = test::ReadFile(box / "s.reg");
  EXPECT_NE(saved.find("\"http\"=dword:00000001"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"quality\"="), std::string::npos) << saved;  // written at exit
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramSignalTest, ::testing::Values(SIGTERM, SIGINT));

}  // namespace
}  // namespace snapvane
