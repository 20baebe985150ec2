#include "app/capture_schedule.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>

#include "app/app_state.h"
#include "capture/test_pattern_device.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/install_device.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

constexpr int kIntervalEdit = 1008, kUnitList = 1009, kTimeRemaining = 1013;
enum Unit { kSeconds, kMinutes, kHours, kDays, kWeeks };

class CaptureScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state->mainWindow = &window;
    ASSERT_TRUE(device.DriverConnect(0) && device.SetFormat({160, 120, 24}));
    ASSERT_TRUE(state->camera.RefreshFormat());
    setenv("TMPDIR", box.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("TMPDIR"); }
  void SetInterval(const std::string& text, int unit) {
    window.texts[kIntervalEdit] = text;
    window.selection[kUnitList] = unit;
    ReadCaptureInterval(*state);
  }
  std::string Shown() { return window.texts[kTimeRemaining]; }

  test::Sandbox box;
  test::FakeMainWindow window;
  std::shared_ptr<AppState> state = MakeAppState();
  TestPatternDevice& device = test::InstallDevice<TestPatternDevice>(state->camera);
};

TEST_F(CaptureScheduleTest, TimeRemainingAndIntervalTexts) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = -kMax - 1;
  const std::pair<int32_t, const char*> remaining[] = {
      {93600, "1 days: 2 hours"},   {86400, "1 days: 0 hours"},
      {3661, "1 hours: 1 minutes"}, {61, "1 minutes: 1 seconds"},
      {59, "59 seconds"},           {0, "0 seconds"},
      {-3, "-3 seconds"},           {-61, "-1 minutes: -1 seconds"},
      {kMax, "24855 days: 3 hours"}};
  for (const auto& [seconds, text] : remaining) {
    state->secondsRemaining = seconds;
    ShowTimeRemaining(*state);
    EXPECT_EQ(Shown(), text) << seconds;
  }
  // A longer interval waits for the running count, a shorter one cuts it.
  state->secondsRemaining = 30;
  SetInterval("10", kMinutes);
  EXPECT_EQ(Shown(), "30 seconds");
  SetInterval("10", kSeconds);
  EXPECT_EQ(state->secondsRemaining, 10);
  // Interval texts are scaled by the unit, rounded down and clamped; 15 characters are read.
  const std::tuple<const char*, int, int32_t> table[] = {{"1.5", kMinutes, 90},
                                                         {"  2", kHours, 7200},
                                                         {"1", kWeeks, 604800},
                                                         {"-1.5", kSeconds, -2},
                                                         {"abc", kDays, 0},
                                                         {"nan", kSeconds, 0},
                                                         {"0000000000000015", kSeconds, 1},
                                                         {"4000", kWeeks, kMax},
                                                         {"-1e300", kSeconds, kMin}};
  for (const auto& [text, unit, seconds] : table) {
    SetInterval(text, unit);
    EXPECT_EQ(state->interval, seconds) << text;
  }
  // The smallest count ticks without overflow and settles at the interval.
  CountdownTick(*state);
  EXPECT_EQ(state->secondsRemaining, kMin);
  // Without a positive interval: no automatic pictures, the count stays at it.
  for (const char* text : {"0", "abc", "-3"}) {
    SetInterval(text, kSeconds);
    for (int tick = 0; tick < 7; ++tick) CountdownTick(*state);
    EXPECT_EQ(Shown(), std::to_string(state->interval) + " seconds");
  }
  EXPECT_EQ(device.FrameNumber(), 0u);
}

TEST_F(CaptureScheduleTest, TickSequencesForIntervalTenAndOne) {
  auto ticks = [&](int n) {
    std::string trace;
    for (int tick = 0; tick < n; ++tick) {
      CountdownTick(*state);
      EXPECT_EQ(window.tray.back().tip, Shown());
      trace += Shown() + " " + std::to_string(window.tray.back().iconId) + " " +
               std::to_string(device.FrameNumber()) + ";";
    }
    return trace;
  };
  SetInterval("10", kSeconds);
  state->secondsRemaining = 0;  // as when the window opens
  EXPECT_EQ(ticks(12),
            "0 seconds 101 0;10 seconds 101 0;9 seconds 101 0;8 seconds 101 0;7 seconds 101 0;"
            "6 seconds 101 0;5 seconds 106 0;4 seconds 105 0;3 seconds 104 0;2 seconds 103 0;"
            "1 seconds 102 1;10 seconds 101 1;");
  SetInterval("1", kSeconds);
  state->secondsRemaining = 0;
  EXPECT_EQ(ticks(3), "0 seconds 101 1;1 seconds 102 2;1 seconds 102 3;");
}

// The tick that captures hands the capture's failures back for the window to
// show once the tick is over; the countdown has reloaded by then.
TEST_F(CaptureScheduleTest, TheCapturingTickReturnsTheFailuresAfterReloading) {
  SetInterval("5", kSeconds);
  state->secondsRemaining = 2;
  device.SetStepFails(TestPatternDevice::Step::kClose, true);
  EXPECT_TRUE(CountdownTick(*state).errors.empty()) << "no capture on this tick";
  const CaptureResult r = CountdownTick(*state);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].text, "capCaptureSingleFrameClose");
  ASSERT_EQ(window.tray.size(), 2u);
  EXPECT_EQ(window.tray[1].iconId, 102);
  EXPECT_EQ(state->secondsRemaining, 5);
  EXPECT_EQ(device.FrameNumber(), 1u);
  EXPECT_EQ(TakePictureNow(*state).errors.size(), 1u);
}

}  // namespace
}  // namespace snapvane
