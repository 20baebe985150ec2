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

}  // namespace snapvane
