#pragma once
// The automatic capture every `interval` seconds and its tray countdown. UI thread
// only; everything goes through state.mainWindow.
#include "capture/capture_error.h"

namespace snapvane {

struct AppState;

// Interval box 1008 times the unit of list 1009 (seconds .. weeks), rounded down,
// clamped to a signed 32-bit count; cuts a running countdown short.
void ReadCaptureInterval(AppState& state);
// Writes secondsRemaining as "%d days: %d hours" .. "%d seconds" into box 1013.
void ShowTimeRemaining(AppState& state);
// The one-second timer tick: shows the count, counts down, pie icons 106..102 in the
// last five seconds (101 otherwise) and takes the picture on the tick showing 1.
// Returns what that capture has to tell the person (nothing on other ticks).
CaptureResult CountdownTick(AppState& state);
// The take-picture-now button: a picture now, then the countdown starts over.
CaptureResult TakePictureNow(AppState& state);

}  // namespace snapvane
