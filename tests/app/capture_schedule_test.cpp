#include "app/capture_schedule.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>

#include "app/app_state.h"

namespace snapvane {
namespace {

enum Unit { kSeconds, kMinutes, kHours, kDays, kWeeks };

TEST(CaptureSchedule, TimeRemainingAndIntervalTexts) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = -kMax - 1;
  const std::pair<int32_t, const char*> remaining[] = {
      {93600, "1 days: 2 hours"},   {86400, "1 days: 0 hours"},
      {3661, "1 hours: 1 minutes"}, {61, "1 minutes: 1 seconds"},
      {59, "59 seconds"},           {0, "0 seconds"},
      {-3, "-3 seconds"},           {-61, "-1 minutes: -1 seconds"},
      {kMax, "24855 days: 3 hours"}};
  for (const auto& [seconds, text] : remaining) EXPECT_EQ(TimeRemainingText(seconds), text);

  auto state = MakeAppState();
  // A longer interval waits for the running count, a shorter one cuts it.
  state->secondsRemaining = 30;
  ReadCaptureInterval(*state, "10", kMinutes);
  EXPECT_EQ(state->secondsRemaining, 30);
  ReadCaptureInterval(*state, "10", kSeconds);
  EXPECT_EQ(state->secondsRemaining, 10);
  // Interval texts are scaled by the unit, rounded down and clamped; 15 characters
  // are read; a unit out of range counts as the nearest one.
  const std::tuple<const char*, int, int32_t> table[] = {{"1.5", kMinutes, 90},
                                                         {"  2", kHours, 7200},
                                                         {"1", kWeeks, 604800},
                                                         {"1", 9, 604800},
                                                         {"7", -1, 7},
                                                         {"-1.5", kSeconds, -2},
                                                         {"abc", kDays, 0},
                                                         {"nan", kSeconds, 0},
                                                         {"0000000000000015", kSeconds, 1},
                                                         {"4000", kWeeks, kMax},
                                                         {"-1e300", kSeconds, kMin}};
  for (const auto& [text, unit, seconds] : table) {
    ReadCaptureInterval(*state, text, unit);
    EXPECT_EQ(state->interval, seconds) << text;
  }
  // The smallest count ticks without overflow and settles at the interval.
  CountdownTick(*state);
  EXPECT_EQ(state->secondsRemaining, kMin);
  // Without a positive interval: no automatic pictures, the count stays at it.
  for (const char* text : {"0", "abc", "-3"}) {
    ReadCaptureInterval(*state, text, kSeconds);
    Tick t;
    for (int tick = 0; tick < 7; ++tick) {
      t = CountdownTick(*state);
      EXPECT_FALSE(t.capture);
    }
    EXPECT_EQ(t.text, std::to_string(state->interval) + " seconds");
  }
}

TEST(CaptureSchedule, TickSequencesForIntervalTenAndOne) {
  auto state = MakeAppState();
  auto ticks = [&](int n) {
    std::string trace;
    for (int tick = 0; tick < n; ++tick) {
      const Tick t = CountdownTick(*state);
      trace += t.text + " " + std::to_string(t.trayIcon) + (t.capture ? " capture;" : ";");
    }
    return trace;
  };
  ReadCaptureInterval(*state, "10", kSeconds);
  state->secondsRemaining = 0;  // as when the window opens
  EXPECT_EQ(ticks(12),
            "0 seconds 101;10 seconds 101;9 seconds 101;8 seconds 101;7 seconds 101;"
            "6 seconds 101;5 seconds 106;4 seconds 105;3 seconds 104;2 seconds 103;"
            "1 seconds 102 capture;10 seconds 101;");
  ReadCaptureInterval(*state, "1", kSeconds);
  state->secondsRemaining = 0;
  EXPECT_EQ(ticks(3), "0 seconds 101;1 seconds 102 capture;1 seconds 102 capture;");
}

// A failure repeated at every interval is reported once, a different one again,
// and its end once; dropped captures say nothing.
TEST(CaptureSchedule, CaptureHealthReportsEachFailureOnceAndItsEnd) {
  using C = CaptureHealth::Change;
  auto failing = [](std::vector<CaptureStep> steps, std::string text = "x") {
    CaptureResult r;
    for (CaptureStep s : steps) r.Add(s, text);
    return r;
  };
  CaptureResult ok;
  ok.ok = true;
  CaptureHealth health;
  std::vector<C> seen;
  for (const CaptureResult& r :
       {ok, failing({CaptureStep::kOpen}), failing({CaptureStep::kOpen}), CaptureResult{},
        failing({CaptureStep::kFile}, "can't open /tmp/snvA\n"),
        failing({CaptureStep::kFile}, "can't open /tmp/snvB\n"), ok, ok})
    seen.push_back(health.Observe(r));
  EXPECT_EQ(seen, (std::vector{C::kNone, C::kFailing, C::kNone, C::kNone, C::kFailing, C::kNone,
                               C::kRecovered, C::kNone}));
  EXPECT_FALSE(health.Failing());

  const std::string time = "Sun Dec 06 01:50:28 2026";
  EXPECT_EQ(CaptureFailedLine(failing({CaptureStep::kFrame, CaptureStep::kClose}, "t\n"), time),
            "!!!Capture failed!!! (frame: t; close: t) - " + time);
  EXPECT_EQ(CaptureRecoveredLine(time), "Capture works again - " + time);
}

}  // namespace
}  // namespace snapvane
