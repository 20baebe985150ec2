// The real program left alone: a camera that fails and comes back never stops the
// schedule, the settings are edited from the command line, and SIGHUP applies an
// edited file; with and without a window. With no display it starts on the
// offscreen platform, echoes its log to standard error, and SIGTERM or SIGINT end
// it as "Close" does: at once, whatever the connections do, leaving no snapshot
// file behind.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <QImage>
#include <string>

#include "tests/integration/program_process.h"
#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

using test::Program;
using test::RunTool;

// {failing step, headless}: without a display it runs headless by itself; on the
// offscreen platform it has its window, which must not stop on a box either.
class FailingCamera : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(FailingCamera, CapturesGoOnAndThePictureComesBackWithOneLineEach) {
  const auto [step, headless] = GetParam();
  test::Sandbox box;
  const int port = test::FreeLoopbackPort();
  const std::string local = (box / "local.jpg").string();
  ASSERT_EQ(RunTool(box, "--set interval=1 --set saveFile=1 --set fileName='" + local +
                             "' --set http=1 --set httpPort=" + std::to_string(port)),
            0);
  test::WriteFile(box / "local.jpg", "the last good picture");
  test::WriteFile(box / "fail", "");
  const std::string failLine =
      std::string("!!!Capture failed!!! (") + step + ": capCaptureSingleFrame";
  Program program(box,
                  std::string(headless ? "" : "QT_QPA_PLATFORM=offscreen ") +
                      "SNAPVANE_PATTERN_FAIL=" + step + " SNAPVANE_PATTERN_FAIL_WHILE='" +
                      (box / "fail").string() + "'",
                  "");
  ASSERT_TRUE(program.ErrHas(failLine)) << program.Err();
  // Browsers get the error answer at once, while the schedule keeps failing.
  const auto asked = std::chrono::steady_clock::now();
  const std::string answer = test::Exchange(port, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  EXPECT_EQ(answer.rfind("HTTP/1.0 503", 0), 0u) << answer.substr(0, 80);
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(test::ReadFile(box / "local.jpg"), "the last good picture");

  std::filesystem::remove(box / "fail");  // the camera is back
  ASSERT_TRUE(program.ErrHas("Capture works again - ")) << program.Err();
  EXPECT_TRUE(test::WaitFor([&] { return test::ReadFile(local).starts_with("\xff\xd8"); }));
  EXPECT_TRUE(test::IsPicture(test::Exchange(port, "GET / HTTP/1.0\r\n\r\n")));
  EXPECT_EQ(program.End(SIGTERM), 0);
  const std::string err = program.Err();
  EXPECT_EQ(Count(err, "!!!Capture failed!!!"), 1u) << err;
  EXPECT_EQ(Count(err, "Capture works again"), 1u) << err;
}

INSTANTIATE_TEST_SUITE_P(Steps, FailingCamera,
                         ::testing::Combine(::testing::Values("open", "frame"), ::testing::Bool()));

TEST(ProgramCommandLine, SetAndGetRefuseBadInputAndHeadlessFollowsAnEditedFileOnSighup) {
  test::Sandbox box;
  EXPECT_EQ(RunTool(box, "--set ftpUser=bob --set ftpPass='pa ss'"), 0);
  EXPECT_EQ(RunTool(box, "--get ftpPass"), 0);
  EXPECT_EQ(test::ReadFile(box / "out.txt"), "pa ss\n");
  const std::string before = test::ReadFile(box / "s.reg");
  EXPECT_EQ(before.find("pa ss"), std::string::npos);
  for (const char* bad : {"--set nope=1", "--set quality=lots", "--get nope", "--frobnicate"}) {
    EXPECT_EQ(RunTool(box, bad), 2) << bad;
    EXPECT_EQ(test::ReadFile(box / "s.reg"), before) << bad;
  }
  EXPECT_EQ(RunTool(box, "--help"), 0);
  EXPECT_NE(test::ReadFile(box / "out.txt").find("--headless"), std::string::npos);

  // Nothing due at start; the edited interval applies on SIGHUP, and an edit
  // made while it runs survives its exit.
  const std::string local = (box / "local.jpg").string();
  ASSERT_EQ(RunTool(box, "--set saveFile=1 --set fileName='" + local + "'"), 0);
  Program program(box, "", "--headless");
  ASSERT_TRUE(program.ErrHas("Snapvane 1.0: camera ")) << program.Err();
  EXPECT_NE(program.Err().find("local copy " + local + "; FTP off; HTTP off"), std::string::npos)
      << program.Err();
  ASSERT_EQ(RunTool(box, "--set interval=1"), 0);
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(std::filesystem::exists(local)) << "not before SIGHUP";
  program.Signal(SIGHUP);
  EXPECT_TRUE(test::WaitFor([&] { return std::filesystem::exists(local); }));
  // What the HTTP listener offers changes on SIGHUP too, a password included.
  const uint16_t port = test::FreeLoopbackPort();
  ASSERT_EQ(RunTool(box, "--set http=1 --set httpPort=" + std::to_string(port)), 0);
  program.Signal(SIGHUP);
  EXPECT_TRUE(test::WaitFor(
      [&] { return test::IsPicture(test::Exchange(port, "GET / HTTP/1.0\r\n\r\n")); }));
  ASSERT_EQ(RunTool(box, "--set httpPassword=s3cret"), 0);
  program.Signal(SIGHUP);
  EXPECT_TRUE(test::WaitFor(
      [&] { return test::Exchange(port, "GET / HTTP/1.0\r\n\r\n") == kHttpUnauthorized; }));
  ASSERT_EQ(RunTool(box, "--set quality=33"), 0);
  EXPECT_EQ(program.End(SIGTERM), 0);
  EXPECT_EQ(RunTool(box, "--get quality"), 0);
  EXPECT_EQ(test::ReadFile(box / "out.txt"), "33\n");
}

// Unattended, the window module and its libraries stay out unless a caption
// needs them to draw text; then the picture carries it.
TEST(ProgramHeadless, LoadsQtGuiOnlyForACaption) {
  test::Sandbox box;
  const std::string local = (box / "local.jpg").string();
  ASSERT_EQ(RunTool(box, "--set saveFile=1 --set fileName='" + local + "'"), 0);
  for (bool caption : {false, true}) {
    ASSERT_EQ(RunTool(box, std::string("--set interval=1 --set caption=") + (caption ? "1" : "0")),
              0);
    std::filesystem::remove(local);
    std::filesystem::remove(box / "pid");  // the last run's
    Program program(box, "", "--headless");
    ASSERT_TRUE(test::WaitFor([&] { return test::ReadFile(local).ends_with("\xff\xd9"); }))
        << program.Err();
    const std::string maps = program.Maps();
    for (const char* module : {"libQt6Widgets", "libQt6Gui", "snapvane-window.so"})
      EXPECT_EQ(maps.find(module) != std::string::npos, caption) << module;
    EXPECT_EQ(program.End(SIGTERM), 0);
    // The caption's box (black, white text) at the bottom centre, over the grey ramp.
    const QImage picture(QString::fromStdString(local));
    ASSERT_FALSE(picture.isNull());
    int farFromGrey = 0;
    for (int x = picture.width() / 2 - 20; x < picture.width() / 2 + 20; ++x)
      farFromGrey += std::abs(qGray(picture.pixel(x, picture.height() - 5)) - 128) > 80;
    EXPECT_EQ(farFromGrey > 20, caption) << farFromGrey;
  }
}

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
