// The HTTP server against the clients users meet: curl and headless Chromium,
// and a crowd of idle connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "publish/snapshot.h"
#include "tests/publish/http_test_harness.h"

extern char** environ;

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::HttpHarness;
using test::IsJpeg;
using test::ReadFile;
using test::RunShell;
using test::Sandbox;

const std::string kPictureHeader = kHttpPictureHeader;

std::string Url(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

// Fetches the picture with curl; headers and body go to files in box.
int Curl(const Sandbox& box, uint16_t port, const std::string& options,
         const std::string& name = "picture") {
  const std::string command = "curl -sS --max-time 30 " + options + " -D '" +
                              (box / (name + ".head")).string() + "' -o '" +
                              (box / (name + ".jpg")).string() + "' " + Url(port);
  return RunShell(command);
}

size_t VisitLines(const HttpHarness& server) {
  size_t n = 0;
  for (auto& line : server.LogLines())
    if (line.rfind("HTTP 127.0.0.1 - ", 0) == 0) ++n;
  return n;
}

TEST(HttpCurlTest, PictureWithoutAndWithRefreshAndWithHeaderLines) {
  Sandbox box;
  {
    HttpHarness server;
    ASSERT_EQ(Curl(box, server.port, "-0"), 0);
    EXPECT_EQ(ReadFile(box / "picture.head"), kPictureHeader);
    EXPECT_TRUE(IsJpeg(ReadFile(box / "picture.jpg")));

    // HTTP/1.1 with header lines of our own beside curl's.
    ASSERT_EQ(Curl(box, server.port, "-H 'X-Camera: porch' -H 'Accept: image/jpeg'", "headers"), 0);
    EXPECT_EQ(ReadFile(box / "headers.head"), kPictureHeader);
    EXPECT_TRUE(IsJpeg(ReadFile(box / "headers.jpg")));
  }
  HttpHarness server({.refresh = 5});
  ASSERT_EQ(Curl(box, server.port, "-0"), 0);
  EXPECT_EQ(ReadFile(box / "picture.head"),
            "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: image/jpeg\r\nRefresh: "
            "5\r\n\r\n");
  EXPECT_TRUE(IsJpeg(ReadFile(box / "picture.jpg")));
}

TEST(HttpCurlTest, PicturesDifferOverTime) {
  Sandbox box;
  HttpHarness server;
  ASSERT_EQ(Curl(box, server.port, "-0", "first"), 0);
  std::this_thread::sleep_for(kSnapshotFreshFor + 200ms);  // past the sharing window
  ASSERT_EQ(Curl(box, server.port, "-0", "second"), 0);
  const std::string first = ReadFile(box / "first.jpg"), second = ReadFile(box / "second.jpg");
  ASSERT_TRUE(IsJpeg(first) && IsJpeg(second));
  EXPECT_NE(first, second);  // the test pattern moves from frame to frame
}

// A process group of our own, so the browser's helper processes end with it.
class Browser {
 public:
  explicit Browser(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &files, &attr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
  }
  ~Browser() { Stop(); }
  bool running() const { return pid_ > 0; }
  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        kill(-pid_, SIGKILL);  // helpers that outlived the browser
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(100ms);
    }
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

TEST(HttpBrowserTest, ChromiumFollowsClientPullAndFetchesFreshPictures) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  Sandbox profile;
  HttpHarness server({.refresh = 1});
  const uint64_t framesBefore = server.Frames();
  Browser browser({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                   "--disable-quic", "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync",
                   "--user-data-dir=" + profile.path().string(), Url(server.port)});
  ASSERT_TRUE(browser.running());
  // The browser asks again by itself, once a second, with nobody clicking; each
  // time the last picture is more than a second old, so a new frame of the moving
  // pattern is captured for it: the pictures differ over time.
  EXPECT_TRUE(test::WaitFor([&] { return server.Frames() - framesBefore >= 4; }, 60s))
      << server.Frames() - framesBefore << " captures";
  EXPECT_GE(VisitLines(server), 4u);
  browser.Stop();
  ASSERT_TRUE(server.NoWorkersLeft());
  EXPECT_EQ(server.SnapshotFilesLeft(), 0u);
}

TEST(HttpLoadTest, IdleCrowdStopsNeitherABrowserNorATimedCapture) {
  Sandbox box;
  // A shorter request bound than the real one keeps the test quick; the logic is
  // the same: idle clients lose their places when it runs out.
  HttpHarness server({.requestTimeout = 2s});
  constexpr int kIdle = 2000;
  std::vector<UniqueFd> idle;
  for (int i = 0; i < kIdle; ++i) {
    int fd = test::ConnectLoopback(server.port);
    ASSERT_GE(fd, 0) << i;
    idle.emplace_back(fd);
  }
  // The server holds at most its bound, and closed the rest at once.
  ASSERT_TRUE(test::WaitFor([&] {
    return server.state->httpServer->refused.load() +
               server.state->httpServer->connections.load() >=
           kIdle;
  }));
  EXPECT_LE(server.state->httpServer->connections.load(), kMaxHttpConnections);

  // A timed capture still happens while the crowd holds its uses.
  const uint64_t framesBefore = server.Frames();
  server.OnUi([&] { TakePicture(*server.state); });
  EXPECT_EQ(server.Frames(), framesBefore + 1);

  // A browser that retries gets its picture once the idle places run out.
  ASSERT_EQ(Curl(box, server.port, "-0 --retry 30 --retry-delay 1 --retry-all-errors"), 0);
  EXPECT_EQ(ReadFile(box / "picture.head"), kPictureHeader);
  EXPECT_TRUE(IsJpeg(ReadFile(box / "picture.jpg")));
  idle.clear();
  ASSERT_TRUE(server.NoWorkersLeft());
  EXPECT_EQ(server.SnapshotFilesLeft(), 0u);
}

}  // namespace
}  // namespace snapvane
