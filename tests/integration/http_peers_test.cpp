// The HTTP server against the clients users meet: curl and headless Chromium,
// and a crowd of idle connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "publish/snapshot.h"
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

TEST(HttpLoadTest, IdleCrowdStopsNeitherABrowserNorATimedCapture) {
  // A shorter request bound keeps the test quick: idle clients lose their places.
  HttpHarness server({.requestTimeout = 2s});
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 2000; ++i) idle.emplace_back(test::ConnectLoopback(server.port));
  ASSERT_TRUE(test::WaitFor(
      [&] { return server.state->httpServer->refused() + server.Connections() >= 2000; }));
  EXPECT_LE(server.Connections(), kMaxHttpConnections);
  // The refused hold no use; one more is the fresh picture's own.
  EXPECT_LE(server.SnapshotUsers(), kMaxHttpConnections + 1);
  const uint64_t framesBefore = server.Frames();
  server.OnUi([&] { TakePicture(*server.state->snapshots, {}); });
  EXPECT_EQ(server.Frames(), framesBefore + 1);
  EXPECT_TRUE(IsPicture(Curl(server.port, "-0 --retry 30 --retry-delay 1 --retry-all-errors")));
  idle.clear();
  EXPECT_TRUE(server.AllReleased());
}

}  // namespace
}  // namespace snapvane
