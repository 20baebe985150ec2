// The capture schedule: the time-remaining texts, the interval box and unit list,
// the tick sequence with its tray icons and pictures, and the reload rules.
#include "app/capture_schedule.h"

#include <gtest/gtest.h>

#include <clocale>
#include <limits>
#include <string>
#include <vector>

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
    state = MakeAppState();
    state->mainWindow = &window;
    ASSERT_TRUE(device.DriverConnect(0));
    ASSERT_TRUE(device.SetFormat({160, 120, 24}));
    state->videoFormat = device.GetVideoFormat();
    state->captureWindow = &device;
    setenv("TMPDIR", box.path().c_str(), 1);
    window.selection[kUnitList] = kSeconds;
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
  std::shared_ptr<AppState> state;
};

TEST_F(CaptureScheduleTest, TimeRemainingTexts) {
  const std::pair<int32_t, const char*> table[] = {
      {93600, "1 days: 2 hours"},   {86400, "1 days: 0 hours"}, {3661, "1 hours: 1 minutes"},
      {61, "1 minutes: 1 seconds"}, {59, "59 seconds"},         {1, "1 seconds"},
      {0, "0 seconds"},             {-3, "-3 seconds"},         {-61, "-1 minutes: -1 seconds"},
      {std::numeric_limits<int32_t>::max(), "24855 days: 3 hours"}};
  for (const auto& [seconds, text] : table) {
    state->secondsRemaining = seconds;
    ShowTimeRemaining(*state);
    EXPECT_EQ(Shown(), text) << seconds;
  }
}

TEST_F(CaptureScheduleTest, IntervalTextsAreScaledByTheUnitAndRoundedDown) {
  SetInterval("1.5", kMinutes);
  EXPECT_EQ(state->interval, 90);
  SetInterval("  2", kHours);
  EXPECT_EQ(state->interval, 7200);
  SetInterval("1", kWeeks);
  EXPECT_EQ(state->interval, 604800);
  SetInterval("0.5", kSeconds);
  EXPECT_EQ(state->interval, 0);
  SetInterval("-1.5", kSeconds);
  EXPECT_EQ(state->interval, -2);
  SetInterval("abc", kDays);
  EXPECT_EQ(state->interval, 0);
  SetInterval("", kSeconds);
  EXPECT_EQ(state->interval, 0);
  SetInterval("nan", kSeconds);
  EXPECT_EQ(state->interval, 0);
  // Only the first 15 characters count.
  SetInterval("000000000000001" "5", kSeconds);
  EXPECT_EQ(state->interval, 1);
  // No unit selected: the first one is selected and used.
  window.selection.erase(kUnitList);
  window.texts[kIntervalEdit] = "7";
  ReadCaptureInterval(*state);
  EXPECT_EQ(state->interval, 7);
  EXPECT_EQ(window.selection[kUnitList], kSeconds);
}

TEST_F(CaptureScheduleTest, HugeIntervalsAreClampedNotWrapped) {
  SetInterval("4000", kWeeks);  // about 2.4e9 seconds
  EXPECT_EQ(state->interval, std::numeric_limits<int32_t>::max());
  SetInterval("1e300", kWeeks);
  EXPECT_EQ(state->interval, std::numeric_limits<int32_t>::max());
  SetInterval("-1e300", kSeconds);
  EXPECT_EQ(state->interval, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(state->secondsRemaining, std::numeric_limits<int32_t>::min());
  // The smallest count ticks without overflow and settles at the interval.
  CountdownTick(*state);
  EXPECT_EQ(state->secondsRemaining, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(device.FrameNumber(), 0u);
}

TEST_F(CaptureScheduleTest, TheDecimalSeparatorIsTheLocalesOne) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old ? old : "C";
  bool found = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_NUMERIC, name)) {
      found = true;
      break;
    }
  }
  if (!found) GTEST_SKIP() << "no locale with a decimal comma installed";
  SetInterval("1,5", kMinutes);
  const int32_t comma = state->interval;
  SetInterval("1.5", kMinutes);
  const int32_t point = state->interval;
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(comma, 90);
  EXPECT_EQ(point, 60);
}

TEST_F(CaptureScheduleTest, AShorterIntervalCutsTheCountdownALongerOneWaits) {
  state->secondsRemaining = 30;
  SetInterval("10", kMinutes);
  EXPECT_EQ(state->interval, 600);
  EXPECT_EQ(state->secondsRemaining, 30);
  EXPECT_EQ(Shown(), "30 seconds");
  SetInterval("10", kSeconds);
  EXPECT_EQ(state->secondsRemaining, 10);
  EXPECT_EQ(Shown(), "10 seconds");
  SetInterval("-3", kSeconds);
  EXPECT_EQ(Shown(), "-3 seconds");
}

TEST_F(CaptureScheduleTest, IntervalTenCountsDownWithPieIconsAndTakesOnePicture) {
  SetInterval("10", kSeconds);
  state->secondsRemaining = 0;  // as when the window opens
  std::vector<std::string> shown;
  std::vector<int> icons;
  std::vector<uint64_t> frames;
  for (int tick = 0; tick < 12; ++tick) {
    CountdownTick(*state);
    shown.push_back(Shown());
    icons.push_back(window.tray.back().iconId);
    EXPECT_EQ(window.tray.back().tip, Shown());
    frames.push_back(device.FrameNumber());
  }
  const std::vector<std::string> expectShown = {
      "0 seconds", "10 seconds", "9 seconds", "8 seconds", "7 seconds", "6 seconds",
      "5 seconds", "4 seconds",  "3 seconds", "2 seconds", "1 seconds", "10 seconds"};
  EXPECT_EQ(shown, expectShown);
  EXPECT_EQ(icons, (std::vector<int>{101, 101, 101, 101, 101, 101, 106, 105, 104, 103, 102, 101}));
  EXPECT_EQ(frames, (std::vector<uint64_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}));
  EXPECT_EQ(state->secondsRemaining, 9);
}

TEST_F(CaptureScheduleTest, IntervalOneTakesAPictureEveryTick) {
  SetInterval("1", kSeconds);
  CountdownTick(*state);  // the reload from 0
  for (int tick = 1; tick <= 4; ++tick) {
    CountdownTick(*state);
    EXPECT_EQ(window.tray.back().iconId, 102);
    EXPECT_EQ(Shown(), "1 seconds");
    EXPECT_EQ(device.FrameNumber(), static_cast<uint64_t>(tick));
  }
}

TEST_F(CaptureScheduleTest, NoAutomaticPicturesWithoutAPositiveInterval) {
  for (const char* text : {"0", "abc", "-3"}) {
    SetInterval(text, kSeconds);
    for (int tick = 0; tick < 7; ++tick) CountdownTick(*state);
    EXPECT_EQ(window.tray.back().iconId, 101);
    EXPECT_EQ(state->secondsRemaining, state->interval);
  }
  EXPECT_EQ(Shown(), "-3 seconds");
  EXPECT_EQ(device.FrameNumber(), 0u);
}

TEST_F(CaptureScheduleTest, AFailedIconLoadSkipsTheTrayButNotTheCountdown) {
  SetInterval("3", kSeconds);
  state->secondsRemaining = 1;
  window.trayIconsLoad = false;
  CountdownTick(*state);
  EXPECT_EQ(device.FrameNumber(), 1u);
  EXPECT_EQ(state->secondsRemaining, 3);
}

TEST_F(CaptureScheduleTest, TakePictureNowRestartsTheCountdown) {
  SetInterval("60", kSeconds);
  state->secondsRemaining = 12;
  TakePictureNow(*state);
  EXPECT_EQ(device.FrameNumber(), 1u);
  EXPECT_EQ(state->secondsRemaining, 60);
  CountdownTick(*state);
  EXPECT_EQ(Shown(), "1 minutes: 0 seconds");
}

// A message box during the capture runs a nested loop that delivers the next
// tick: it finds the count at 0, shows the idle icon and reloads; the interrupted
// tick then shows the last pie icon and leaves the reloaded count alone.
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
  EXPECT_EQ(nestedTicks, 1);
  ASSERT_EQ(window.tray.size(), 2u);
  EXPECT_EQ(window.tray[0].iconId, 101);  // the nested tick
  EXPECT_EQ(window.tray[1].iconId, 102);  // the interrupted one
  EXPECT_EQ(state->secondsRemaining, 5);
  EXPECT_EQ(device.FrameNumber(), 1u);
}

}  // namespace
}  // namespace snapvane
