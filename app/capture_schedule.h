#pragma once
// The automatic capture every `interval` seconds and its tray countdown: plain
// rules over the count, which the window shows and acts on. UI thread only.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_error.h"

namespace snapvane {

struct AppState;

// The interval text (box 1008, at most 15 characters read) times the unit
// (index into seconds .. weeks), rounded down and clamped to a signed 32-bit
// count. Sets interval and cuts a running countdown short.
void ReadCaptureInterval(AppState& state, std::string_view text, int unit);
// secondsRemaining as "%d days: %d hours" .. "%d seconds".
std::string TimeRemainingText(int32_t seconds);

// What one tick of the one-second timer shows and does.
struct Tick {
  std::string text;      // the time remaining, shown before the count goes down
  int trayIcon = 0;      // pie icons 106..102 in the last five seconds, else 101
  bool capture = false;  // take the picture now (the tick showing 1)
};
// Counts down and reloads the count from the interval when it runs out.
Tick CountdownTick(AppState& state);

// Whether captures fail, so that the same failure repeated at every interval is
// reported once, and its end once more.
class CaptureHealth {
 public:
  enum class Change { kNone, kFailing, kRecovered };
  // What one capture's result changes. A result without errors that is not ok
  // (a capture dropped while another ran) tells nothing.
  Change Observe(const CaptureResult& result);
  bool Failing() const { return !failedSteps_.empty(); }

 private:
  std::vector<CaptureStep> failedSteps_;  // of the failure being reported
};

// The log lines for a failure (each failed step and its text) and its end.
std::string CaptureFailedLine(const CaptureResult& result, std::string_view timeText);
std::string CaptureRecoveredLine(std::string_view timeText);

}  // namespace snapvane
