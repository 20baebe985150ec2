// The windows as a window manager places them: the real program under Xvfb with
// openbox. The preview's frame, title included, lies on the screen, it has no
// task-bar button of its own, and both windows carry the program's icon.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/integration/program_process.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

bool Have(const char* tool) { return Shell(std::string("command -v ") + tool).size() > 0; }

TEST(DesktopPlacement, PreviewFrameOnScreenNoTaskBarButtonBothWithTheIcon) {
  for (const char* tool : {"Xvfb", "openbox", "xdotool", "xprop", "xwininfo"})
    if (!Have(tool)) GTEST_SKIP() << tool << " is not installed";
  test::Sandbox box;
  const std::string display = ":" + std::to_string(170 + getpid() % 80);
  const std::string env = "DISPLAY=" + display + " ";
  test::Child xvfb("Xvfb " + display + " -screen 0 1280x900x24 -nolisten tcp");
  ASSERT_TRUE(
      test::WaitFor([&] { return Shell(env + "xprop -root 2>/dev/null").size() > 0; }, 10s));
  test::Child wm(env + "openbox");
  ASSERT_TRUE(test::WaitFor(
      [&] {
        return Shell(env + "xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") !=
               std::string::npos;
      },
      10s));
  const std::string dir = box.path().string();
  test::Child program(env + "QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME=" + dir + " TMPDIR=" + dir +
                      " SNAPVANE_CAPTURE=pattern " + SNAPVANE_BINARY_DIR + "/snapvane");
  std::string preview;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        preview = Shell(env + "xdotool search --onlyvisible --name '^Video Preview$' | head -1");
        return !preview.empty();
      },
      20s));
  preview.pop_back();
  const std::string main =
      Shell(env + "xdotool search --onlyvisible --name '^Snapvane$' | head -1");
  // Client top and the frame above it (_NET_FRAME_EXTENTS: left, right, top, bottom).
  int top = -1, left = 0, right = 0, frameTop = 0, bottom = 0;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        std::sscanf(
            Shell(env + "xwininfo -id " + preview + " | grep 'Absolute upper-left Y'").c_str(),
            " Absolute upper-left Y: %d", &top);
        const std::string extents = Shell(env + "xprop -id " + preview + " _NET_FRAME_EXTENTS");
        // Framed, and placed: a loaded machine takes a while for both.
        return std::sscanf(extents.c_str(), "_NET_FRAME_EXTENTS(CARDINAL) = %d, %d, %d, %d", &left,
                           &right, &frameTop, &bottom) == 4 &&
               top - frameTop >= 0;
      },
      15s));
  EXPECT_GT(frameTop, 0);
  EXPECT_GE(top - frameTop, 0) << "the title bar lies above the screen";
  EXPECT_NE(Shell(env + "xprop -id " + preview + " _NET_WM_STATE").find("SKIP_TASKBAR"),
            std::string::npos);
  for (const std::string& window : {preview, main})
    EXPECT_NE(Shell(env + "xprop -id " + window + " _NET_WM_ICON | head -c 40").find("CARDINAL"),
              std::string::npos)
        << window;
}

}  // namespace
}  // namespace snapvane
