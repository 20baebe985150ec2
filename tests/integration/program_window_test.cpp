// The window over the program: a camera that goes away and comes back different
// is shown as it is now (driver buttons, format line, preview size).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/program.h"
#include "capture/preview_window.h"
#include "capture/test_pattern_device.h"
#include "resources/dialog_ids.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using namespace main_control;
using Step = TestPatternDevice::Step;

// The pattern device, but one that may come back without a source dialog.
class ChangingDevice : public TestPatternDevice {
 public:
  bool withoutSource = false;
  bool GetDriverCaps(CapDriverCaps* caps) override {
    if (!TestPatternDevice::GetDriverCaps(caps)) return false;
    if (withoutSource) caps->fHasDlgVideoSource = 0;
    return true;
  }
};

TEST(ProgramWindow, AReconnectedCameraIsShownAsItIsNow) {
  test::Sandbox box;
  auto owned = std::make_unique<ChangingDevice>();
  ChangingDevice& device = *owned;
  MainWindow::Options options;
  options.device = std::move(owned);
  options.trayAvailable = false;
  options.settingsFile = box / "s.reg";
  setenv("TMPDIR", box.path().c_str(), 1);
  MainWindow window(std::move(options));
  window.show();
  QCoreApplication::processEvents();
  Program& program = window.TheProgram();
  auto shown = [&] {
    return std::tuple(window.Control(kSource)->isEnabled(), window.GetText(kFormatLine),
                      window.Preview()->View()->size());
  };
  const auto before = std::tuple(true, FormatLine(640, 480, 24), QSize(640, 480));
  ASSERT_EQ(shown(), before);

  device.SetStepFails(Step::kOpen, true);
  EXPECT_FALSE(program.TakePictureNow().ok);
  EXPECT_EQ(shown(), before) << "a failure alone changes nothing";

  // Reconnected at the next capture, smaller and without its source dialog,
  // though the capture still fails.
  ASSERT_TRUE(device.SetFormat({320, 240, 24}));
  device.withoutSource = true;
  EXPECT_FALSE(program.TakePictureNow().ok);
  EXPECT_EQ(shown(), std::tuple(false, FormatLine(320, 240, 24), QSize(320, 240)));

  // Still gone: no format at all, and no line for one.
  device.SetReportsNoFormat(true);
  EXPECT_FALSE(program.TakePictureNow().ok);
  EXPECT_EQ(window.GetText(kFormatLine), "");

  // Back as it was: tried again although the last attempt saw no format.
  device.SetReportsNoFormat(false);
  device.SetStepFails(Step::kOpen, false);
  device.withoutSource = false;
  ASSERT_TRUE(device.SetFormat({640, 480, 24}));
  EXPECT_TRUE(program.TakePictureNow().ok);
  EXPECT_EQ(shown(), before);
  window.RequestClose();
  unsetenv("TMPDIR");
}

}  // namespace
}  // namespace snapvane
