#pragma once
// The capture driver's three dialogs, opened by buttons 1000, 1001 and 1002:
// source (the device's own controls), format (frame size and pixel depth) and
// display (preview options) of the preview frame it is handed. Each applies its refresh rule
// afterwards: Format always re-reads the video format, Source and Display only when something
// changed.
class QWidget;

namespace snapvane {

struct AppState;
class PreviewWindow;

// Object names of the dialogs' editors, for finding them (tests, style sheets):
// source: "control-<id>"; format: "frameSize", "pixelDepth"; display: "mirror".

void RunVideoSourceDialog(QWidget* parent, AppState& state);
void RunVideoFormatDialog(QWidget* parent, AppState& state);
// Does nothing without a preview frame.
void RunVideoDisplayDialog(QWidget* parent, AppState& state, PreviewWindow* preview);

}  // namespace snapvane
