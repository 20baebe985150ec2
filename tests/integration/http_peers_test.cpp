// The HTTP server against the clients users meet: curl (with a password, a
// cache-busting query and IPv6), headless Chromium following client pull and
// showing the picture and the stream in a page, and a crowd of idle connections.
#include <gtest/gtest.h>

#include <QImage>
#include <string>
#include <vector>

#include "publish/snapshot.h"
#include "publish/socket_util.h"
#include "tests/integration/program_process.h"
#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::HttpHarness;
using test::IsPicture;
using test::Sandbox;

std::string Url(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port); }

// The response's header and body as far as curl got them.
std::string Curl(const std::string& url, const std::string& options) {
  Sandbox box;
  std::system(("curl -sS --max-time 30 " + options + " -D '" + (box / "head").string() + "' -o '" +
               (box / "body").string() + "' '" + url + "' 2>/dev/null")
                  .c_str());
  return test::ReadFile(box / "head") + test::ReadFile(box / "body");
}

const char kChromium[] =
    "/usr/bin/chromium --headless --no-sandbox --disable-gpu --no-first-run "
    "--disable-background-networking --disable-component-update --disable-sync ";

TEST(HttpCurlTest, PasswordQueryIpv6AndTheStream) {
  HttpHarness server({.user = "cam", .password = "pa ss", .streamFps = 5});
  const std::string v4 = Url(server.port), v6 = "http://[::1]:" + std::to_string(server.port);
  EXPECT_EQ(Curl(v4 + "/", "-u 'cam:wrong'"), kHttpUnauthorized);
  EXPECT_TRUE(IsPicture(Curl(v4 + "/?t=1", "-u 'cam:pa ss'")));
  EXPECT_TRUE(IsPicture(Curl(v6 + "/?t=1733550000", "-g -u 'cam:pa ss'")));
  // The stream over IPv6 for two seconds (curl then gives up): parts at 5 a second.
  const int parts = test::StreamParts(Curl(v6 + "/stream", "-g -u 'cam:pa ss' --max-time 2"));
  EXPECT_GE(parts, 7);
  EXPECT_LE(parts, 12);
}

TEST(HttpBrowserTest, ChromiumFollowsClientPullAndFetchesFreshPictures) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  Sandbox profile;
  HttpHarness server({.refresh = 1});
  const uint64_t framesBefore = server.Frames();
  {
    test::Child browser(kChromium + std::string("--user-data-dir=") + profile.path().string() +
                        " " + Url(server.port));
    // The browser asks again by itself once a second; each time the last picture is
    // over a second old, so a new frame of the moving pattern is captured for it.
    EXPECT_TRUE(test::WaitFor([&] { return server.Frames() - framesBefore >= 4; }, 60s));
  }
  EXPECT_TRUE(server.AllReleased());
}

// Chromium renders page (served over HTTP) into a screenshot; true when the
// test pattern's bars fill most of it (a broken image or a blank page leave it white).
bool ChromiumShowsPicture(const std::string& page) {
  Sandbox profile;
  test::WriteFile(profile / "page.html", page);
  const std::string dir = profile.path().string();
  // The page comes from a web server too (pages from files may not load
  // pictures from the network).
  const int pagePort = test::FreeLoopbackPort();
  test::Child pages("/usr/bin/python3 -m http.server " + std::to_string(pagePort) +
                    " --bind 127.0.0.1 --directory " + dir);
  if (!test::WaitFor([&] { return bool(UniqueFd(test::ConnectLoopback(pagePort))); })) return false;
  std::system(("timeout 60 " + std::string(kChromium) + "--user-data-dir=" + dir +
               "/profile --window-size=400,300 --timeout=4000 --screenshot=" + dir + "/shot.png " +
               Url(pagePort) + "/page.html >/dev/null 2>&1")
                  .c_str());
  QImage shot((dir + "/shot.png").c_str());
  if (shot.isNull()) return false;
  int coloured = 0;
  for (int y = 20; y < 260; y += 10)
    for (int x = 0; x < 360; x += 10) coloured += shot.pixelColor(x, y).saturation() > 128;
  return coloured > 24 * 36 / 2;
}

TEST(HttpBrowserTest, ChromiumShowsThePictureWithAQueryAndTheStream) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  HttpHarness server({.streamFps = 5});
  const std::string img =
      "<style>body{margin:0;background:#fff}</style><img src=\"" + Url(server.port);
  EXPECT_TRUE(ChromiumShowsPicture(img + "/?t=1733550000\">"));
  EXPECT_TRUE(ChromiumShowsPicture(img + "/stream\">"));
  EXPECT_FALSE(ChromiumShowsPicture(img + "/nothing\">"));
  EXPECT_TRUE(server.AllReleased());
}

// Thousands of connections that never send cost the server a descriptor each,
// not a place: a browser is answered at once and timed captures go on; the
// server ends them at its request bound and keeps nothing of them.
TEST(HttpLoadTest, IdleCrowdStopsNeitherABrowserNorATimedCapture) {
  constexpr int kIdle = 5000;
  ASSERT_GE(RaiseDescriptorLimit(), 2 * kIdle + 100);
  HttpHarness server({.requestTimeout = 2s});
  ASSERT_TRUE(IsPicture(Curl(Url(server.port) + "/", "-0")));  // the lookup threads are warm
  ASSERT_TRUE(server.AllReleased());
  const int descriptors = test::OpenDescriptors(), threads = test::Threads();

  std::vector<UniqueFd> idle;
  for (int i = 0; i < kIdle; ++i) idle.emplace_back(test::ConnectLoopback(server.port));
  ASSERT_TRUE(test::WaitFor([&] { return server.Connections() >= kIdle; }));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(IsPicture(test::Exchange(server.port, "GET / HTTP/1.0\r\n\r\n")));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms);
  EXPECT_TRUE(IsPicture(Curl(Url(server.port) + "/", "-0")));
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
