#include "app/capture_schedule.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "app/app_state.h"
#include "app/main_window_port.h"
#include "publish/snapshot.h"

namespace snapvane {
namespace {

constexpr int kIntervalEdit = 1008;
constexpr int kUnitList = 1009;
constexpr int kTimeRemainingBox = 1013;
constexpr size_t kIntervalTextMax = 15;
constexpr size_t kTrayTipMax = 63;
constexpr size_t kTimeTextBuffer = 256;

// Each unit multiplies by its own factor and by those of every unit above it.
constexpr double kUnitFactors[] = {1, 60, 60, 24, 7};  // seconds .. weeks
constexpr int kUnitCount = sizeof kUnitFactors / sizeof kUnitFactors[0];

constexpr int kIdleIcon = 101;
constexpr int kLastSecondIcon = 102;  // all red; 103..106 count back to all yellow
constexpr int kCountdownSeconds = 5;

int TrayIconFor(int32_t k) {
  if (k >= 1 && k <= kCountdownSeconds) return kLastSecondIcon + (k - 1);
  return kIdleIcon;
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

void ReadCaptureInterval(AppState& state) {
  MainWindowPort* window = state.mainWindow;
  if (!window) return;
  const std::string text = window->GetText(kIntervalEdit).substr(0, kIntervalTextMax);
  // strtod follows the process locale's decimal separator, like atof.
  double value = std::strtod(text.c_str(), nullptr);
  int unit = window->GetSelection(kUnitList);
  if (unit < 0) {
    window->SetSelection(kUnitList, 0);
    unit = 0;
  }
  if (unit >= kUnitCount) unit = kUnitCount - 1;
  for (int i = 0; i <= unit; ++i) value *= kUnitFactors[i];
  state.interval = ClampToSeconds(value);
  if (state.interval < state.secondsRemaining) state.secondsRemaining = state.interval;
  ShowTimeRemaining(state);
}

void ShowTimeRemaining(AppState& state) {
  const int32_t s = state.secondsRemaining;
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
  if (state.mainWindow) state.mainWindow->SetText(kTimeRemainingBox, text);
}

CaptureResult CountdownTick(AppState& state) {
  const int32_t k = state.secondsRemaining;
  ShowTimeRemaining(state);
  std::string tip;
  if (state.mainWindow) tip = state.mainWindow->GetText(kTimeRemainingBox).substr(0, kTrayTipMax);
  // The smallest count has nothing below it; it reloads just the same.
  state.secondsRemaining = k == std::numeric_limits<int32_t>::min() ? k : k - 1;
  const int icon = TrayIconFor(k);
  CaptureResult captured;
  if (k == 1) captured = TakePicture(state);  // the tray keeps its icon until this returns
  // A failed icon load leaves the tray as it was; the countdown goes on.
  if (state.mainWindow) state.mainWindow->SetTrayIcon(icon, tip);
  if (state.secondsRemaining <= 0) state.secondsRemaining = state.interval;
  return captured;
}

CaptureResult TakePictureNow(AppState& state) {
  CaptureResult captured = TakePicture(state);
  state.secondsRemaining = state.interval;
  return captured;
}

}  // namespace snapvane
