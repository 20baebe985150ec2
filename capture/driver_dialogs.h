#pragma once
// The capture driver's three dialogs, opened by buttons 1000, 1001 and 1002:
// source (the device's own controls), format (frame size and pixel depth) and
// display (preview options) of the preview frame it is handed. Each applies its
// refresh rule afterwards: Format always re-reads the video format, Source and
// Display only when something changed. Each returns true when the format was
// re-read, for the window to show it.
class QWidget;

namespace snapvane {

class Camera;
class PreviewWindow;

// Object names of the dialogs' editors, for finding them (tests, style sheets):
// source: "control-<id>"; format: "frameSize", "pixelDepth"; display: "mirror".

bool RunVideoSourceDialog(QWidget* parent, Camera& camera);
bool RunVideoFormatDialog(QWidget* parent, Camera& camera);
// Does nothing without a preview frame.
bool RunVideoDisplayDialog(QWidget* parent, Camera& camera, PreviewWindow* preview);

}  // namespace snapvane
