// The HTTP server against the clients users meet: curl and headless Chromium,
// and a crowd of idle connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "publish/snapshot.h"
#include "publish/socket_util.h"
#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::HttpHarness;
using test::IsPicture;
using test::Sandbox;

std::string Url(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

// Fetches the picture with curl; the response's header and body, or "" on failure.
std::string Curl(uint16_t port, const std::string& options) {
  Sandbox box;
  const std::string command = "curl -sS --max-time 30 " + options + " -D '" +
                              (box / "head").string() + "' -o '" + (box / "body").string() + "' " +
                              Url(port);
  if (std::system(command.c_str()) != 0) return "";
  return test::ReadFile(box / "head") + test::ReadFile(box / "body");
}

TEST(HttpCurlTest, PictureWithoutAndWithRefreshAndWithHeaderLines) {
  const std::string refresh =
      "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: "
      "image/jpeg\r\nRefresh: 5\r\n\r\n";
  for (auto [seconds, options, header] :
       {std::tuple<int, std::string, std::string>{0, "-0", kHttpPictureHeader},
        {0, "-H 'X-Camera: porch' -H 'Accept: image/jpeg'", kHttpPictureHeader},
        {5, "-0", refresh}}) {
    HttpHarness server({.refresh = seconds});
    EXPECT_TRUE(IsPicture(Curl(server.port, options), header)) << options;
  }
}

TEST(HttpBrowserTest, ChromiumFollowsClientPullAndFetchesFreshPictures) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  Sandbox profile;
  HttpHarness server({.refresh = 1});
  const uint64_t framesBefore = server.Frames();
  // A session of its own (its pid names its process group), so its helpers end with it.
  const std::string dir = profile.path().string();
  std::system(("setsid sh -c 'echo $$ > " + dir +
               "/pid; exec /usr/bin/chromium --headless "
               "--no-sandbox --disable-gpu --no-first-run --disable-background-networking "
               "--disable-component-update --user-data-dir=" +
               dir + " " + Url(server.port) + "' >/dev/null 2>&1 &")
                  .c_str());
  ASSERT_TRUE(test::WaitFor([&] { return test::ReadFile(profile / "pid").ends_with('\n'); }));
  const pid_t pid = std::stoi(test::ReadFile(profile / "pid"));
  // The browser asks again by itself once a second; each time the last picture is
  // over a second old, so a new frame of the moving pattern is captured for it.
  EXPECT_TRUE(test::WaitFor([&] { return server.Frames() - framesBefore >= 4; }, 60s));
  kill(-pid, SIGKILL);
  EXPECT_TRUE(server.AllReleased());
}

// Thousands of connections that never send cost the server a descriptor each,
// not a place: a browser is answered at once and timed captures go on; the
// server ends them at its request bound and keeps nothing of them.
TEST(HttpLoadTest, IdleCrowdStopsNeitherABrowserNorATimedCapture) {
  constexpr int kIdle = 5000;
  ASSERT_GE(RaiseDescriptorLimit(), 2 * kIdle + 100);
  HttpHarness server({.requestTimeout = 2s});
  ASSERT_TRUE(IsPicture(Curl(server.port, "-0")));  // the lookup threads are warm
  ASSERT_TRUE(server.AllReleased());
  const int descriptors = test::OpenDescriptors(), threads = test::Threads();

  std::vector<UniqueFd> idle;
  for (int i = 0; i < kIdle; ++i) idle.emplace_back(test::ConnectLoopback(server.port));
  ASSERT_TRUE(test::WaitFor([&] { return server.Connections() >= kIdle; }));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(IsPicture(test::Exchange(server.port, "GET / HTTP/1.0\r\n\r\n")));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms);
  EXPECT_TRUE(IsPicture(Curl(server.port, "-0")));
  const uint64_t framesBefore = server.Frames();
  server.OnUi([&] { TakePicture(*server.state->snapshots, {}); });
  EXPECT_EQ(server.Frames(), framesBefore + 1);

  // Closed by the server, unanswered, within the bound.
  EXPECT_TRUE(test::WaitFor([&] { return server.Connections() == 0; }, 2s + 1s));
  int unanswered = 0;
  for (auto& fd : idle) {
    char byte;
    unanswered += recv(fd.get(), &byte, 1, MSG_DONTWAIT) == 0;
  }
  EXPECT_EQ(unanswered, kIdle);
  idle.clear();
  EXPECT_TRUE(server.AllReleased());
  EXPECT_TRUE(test::WaitFor([&] {
    return test::OpenDescriptors() == descriptors && test::Threads() == threads;
  })) << test::OpenDescriptors()
      << " descriptors, " << test::Threads() << " threads";
}

}  // namespace
}  // namespace snapvane
