#include "app/capture_schedule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "app/app_state.h"
#include "resources/dialog_ids.h"

namespace snapvane {
namespace {

constexpr size_t kIntervalTextMax = 15;
constexpr size_t kTimeTextBuffer = 256;

// Each unit multiplies by its own factor and by those of every unit above it.
constexpr double kUnitFactors[] = {1, 60, 60, 24, 7};  // seconds .. weeks
constexpr int kUnitCount = sizeof kUnitFactors / sizeof kUnitFactors[0];

constexpr int kCountdownSeconds = 5;
constexpr size_t kTimeTextChars = 24;

const char* StepName(CaptureStep step) {
  switch (step) {
    case CaptureStep::kOpen:
      return "open";
    case CaptureStep::kFrame:
      return "frame";
    case CaptureStep::kClose:
      return "close";
    case CaptureStep::kFormat:
      return "format";
    case CaptureStep::kFile:
      return "file";
    case CaptureStep::kJpeg:
      return "JPEG";
  }
  return "capture";
}

int TrayIconFor(int32_t k) {
  if (k >= 1 && k <= kCountdownSeconds) return kCountdownIcon + (k - 1);
  return kAppIcon;
}

// Rounds down and clamps to a signed 32-bit count (no wrap); not-a-number is 0.
int32_t ClampToSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  const double whole = std::floor(seconds);
  if (whole >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (whole <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(whole);
}

}  // namespace

void ReadCaptureInterval(AppState& state, std::string_view text, int unit) {
  const std::string read(text.substr(0, kIntervalTextMax));
  // strtod follows the process locale's decimal separator, like atof.
  double value = std::strtod(read.c_str(), nullptr);
  unit = std::clamp(unit, 0, kUnitCount - 1);
  for (int i = 0; i <= unit; ++i) value *= kUnitFactors[i];
  state.interval = ClampToSeconds(value);
  if (state.interval < state.secondsRemaining) state.secondsRemaining = state.interval;
}

std::string TimeRemainingText(int32_t s) {
  const int32_t minutes = s / 60, hours = minutes / 60, days = hours / 24;
  char text[kTimeTextBuffer];
  if (days != 0) {
    std::snprintf(text, sizeof text, "%d days: %d hours", days, hours % 24);
  } else if (hours != 0) {
    std::snprintf(text, sizeof text, "%d hours: %d minutes", hours % 24, minutes % 60);
  } else if (minutes != 0) {
    std::snprintf(text, sizeof text, "%d minutes: %d seconds", minutes % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%d seconds", s % 60);
  }
  return text;
}

Tick CountdownTick(AppState& state) {
  const int32_t k = state.secondsRemaining;
  Tick tick{TimeRemainingText(k), TrayIconFor(k), k == 1};
  // The smallest count has nothing below it; it reloads just the same.
  state.secondsRemaining = k == std::numeric_limits<int32_t>::min() ? k : k - 1;
  if (state.secondsRemaining <= 0) state.secondsRemaining = state.interval;
  return tick;
}

CaptureHealth::Change CaptureHealth::Observe(const CaptureResult& result) {
  if (result.ok) {
    if (failedSteps_.empty()) return Change::kNone;
    failedSteps_.clear();
    return Change::kRecovered;
  }
  if (result.errors.empty()) return Change::kNone;
  // Texts may name a fresh file each time; the steps tell one failure from another.
  std::vector<CaptureStep> steps;
  for (const CaptureError& error : result.errors) steps.push_back(error.step);
  if (steps == failedSteps_) return Change::kNone;
  failedSteps_ = std::move(steps);
  return Change::kFailing;
}

std::string CaptureFailedLine(const CaptureResult& result, std::string_view timeText) {
  std::string line = "!!!Capture failed!!! (";
  for (size_t i = 0; i < result.errors.size(); ++i) {
    const CaptureError& error = result.errors[i];
    std::string_view text = error.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (i > 0) line += "; ";
    line += StepName(error.step);
    line += ": ";
    line += text;
  }
  line += ") - ";
  line += timeText.substr(0, kTimeTextChars);
  return line;
}

std::string CaptureRecoveredLine(std::string_view timeText) {
  return "Capture works again - " + std::string(timeText.substr(0, kTimeTextChars));
}

}  // namespace snapvane
