// Today's viewers against the real clients: curl with a password, a cache-
// busting query and IPv6; headless Chromium showing the picture with a query
// and the live stream in a page.
#include <gtest/gtest.h>

#include <QImage>
#include <set>
#include <string>

#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::HttpHarness;
using test::IsPicture;
using test::Sandbox;

// The response's header and body from curl, or "" when curl failed.
std::string Curl(const std::string& url, const std::string& options) {
  Sandbox box;
  const std::string command = "curl -sS --max-time 30 " + options + " -D '" +
                              (box / "head").string() + "' -o '" + (box / "body").string() + "' '" +
                              url + "'";
  if (std::system(command.c_str()) != 0) return "";
  return test::ReadFile(box / "head") + test::ReadFile(box / "body");
}

TEST(HttpViewersCurlTest, PasswordQueryAndIpv6) {
  HttpHarness server({.user = "cam", .password = "pa ss", .streamFps = 5});
  const std::string v4 = "http://127.0.0.1:" + std::to_string(server.port);
  const std::string v6 = "http://[::1]:" + std::to_string(server.port);
  EXPECT_EQ(Curl(v4 + "/?t=1", ""), kHttpUnauthorized);
  EXPECT_EQ(Curl(v4 + "/", "-u 'cam:wrong'"), kHttpUnauthorized);
  EXPECT_TRUE(IsPicture(Curl(v4 + "/?t=1", "-u 'cam:pa ss'")));
  EXPECT_TRUE(IsPicture(Curl(v6 + "/?t=1733550000", "-g -u 'cam:pa ss'")));
  // The stream over IPv6 for two seconds (curl then gives up): parts at 5 a second.
  Sandbox box;
  std::system(("curl -sS -g -u 'cam:pa ss' --max-time 2 -o '" + (box / "stream").string() + "' '" +
               v6 + "/stream' 2>/dev/null")
                  .c_str());
  const std::string stream = test::ReadFile(box / "stream");
  int parts = 0;
  for (size_t at = 0; (at = stream.find("--snapvaneframe\r\n", at)) != std::string::npos; ++at)
    ++parts;
  EXPECT_GE(parts, 7);
  EXPECT_LE(parts, 12);
}

uint16_t FreePort() {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof at;
  bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&at), &length);
  return ntohs(at.sin_port);
}

// Chromium renders page (served over HTTP) into a screenshot; true when the
// test pattern shows (a broken image or a blank page would not).
bool ChromiumShowsPicture(const std::string& page) {
  Sandbox profile;
  test::WriteFile(profile / "page.html", page);
  const std::string dir = profile.path().string();
  // The page comes from a web server too (pages from files may not load
  // pictures from the network); its own session, so it ends with its helpers.
  const uint16_t pagePort = FreePort();
  std::system(("setsid sh -c 'echo $$ > " + dir + "/pid; exec /usr/bin/python3 -m http.server " +
               std::to_string(pagePort) + " --bind 127.0.0.1 --directory " + dir +
               "' >/dev/null 2>&1 &")
                  .c_str());
  if (!test::WaitFor([&] { return test::ReadFile(profile / "pid").ends_with('\n'); }) ||
      !test::WaitFor([&] {
        UniqueFd probe(test::ConnectLoopback(pagePort));
        return bool(probe);
      }))
    return false;
  const pid_t server = std::stoi(test::ReadFile(profile / "pid"));
  const std::string command =
      "timeout 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--no-first-run --user-data-dir=" +
      dir +
      "/profile --window-size=400,300 --timeout=4000 "
      "--screenshot=" +
      dir + "/shot.png http://127.0.0.1:" + std::to_string(pagePort) + "/page.html >/dev/null 2>&1";
  std::system(command.c_str());
  kill(-server, SIGKILL);
  QImage shot((dir + "/shot.png").c_str());
  if (shot.isNull()) return false;
  // The test pattern's bars fill the view; a broken-image icon or a blank page
  // leave it white.
  int coloured = 0;
  for (int y = 20; y < 260; y += 10)
    for (int x = 0; x < 360; x += 10) coloured += shot.pixelColor(x, y).saturation() > 128;
  return coloured > 24 * 36 / 2;
}

TEST(HttpViewersBrowserTest, ChromiumShowsThePictureWithAQueryAndTheStream) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  HttpHarness server({.streamFps = 5});
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port);
  const std::string style = "<style>body{margin:0;background:#fff}</style>";
  EXPECT_TRUE(ChromiumShowsPicture(style + "<img src=\"" + base + "/?t=1733550000\">"));
  EXPECT_TRUE(ChromiumShowsPicture(style + "<img src=\"" + base + "/stream\">"));
  EXPECT_FALSE(ChromiumShowsPicture(style + "<img src=\"" + base + "/nothing\">"));
  EXPECT_TRUE(server.AllReleased());
}

}  // namespace
}  // namespace snapvane
