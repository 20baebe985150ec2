#include "app/capture_schedule.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>

#include "app/app_state.h"
#include "app/message_box.h"
#include "capture/test_pattern_device.h"
#include "tests/support/fake_main_window.h"
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
    state->videoFormat = device.GetVideoFormat();
    state->captureWindow = &device;
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
  TestPatternDevice device;
  std::shared_ptr<AppState> state = MakeAppState();
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

// A message box during the capture runs a nested loop that delivers the next tick:
// it finds the count at 0, shows the idle icon and reloads; the interrupted tick then
// shows the last pie icon and leaves the reloaded count alone.
TEST_F(CaptureScheduleTest, ATickNestedInTheCapturesMessageBoxReloadsTheCount) {
  SetInterval("5", kSeconds);
  state->secondsRemaining = 1;
  device.SetStepFails(TestPatternDevice::Step::kClose, true);
  int nestedTicks = 0;
  auto old = SetMessageBoxHandler([&](const MessageBoxRequest&) {
    if (nestedTicks++ == 0) CountdownTick(*state);
  });
  CountdownTick(*state);
  SetMessageBoxHandler(std::move(old));
  ASSERT_EQ(nestedTicks, 1);
  ASSERT_EQ(window.tray.size(), 2u);
  EXPECT_EQ(window.tray[0].iconId, 101);  // the nested tick's
  EXPECT_EQ(window.tray[1].iconId, 102);  // the interrupted one's
  EXPECT_EQ(state->secondsRemaining, 5);
  EXPECT_EQ(device.FrameNumber(), 1u);
}

}  // namespace
}  // namespace snapvane
