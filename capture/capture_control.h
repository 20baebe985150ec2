#pragma once
// What the program does with its one capture device: connect it, keep the format
// record and its display current, run the preview, and capture single frames into
// FrameHandler. Plain C++ over the CaptureDevice seam; UI thread only.
#include <functional>
#include <string>

#include "capture/capture_device.h"

namespace snapvane {

struct AppState;

inline constexpr int kSourceButton = 1000;
inline constexpr int kFormatButton = 1001;
inline constexpr int kDisplayButton = 1002;
inline constexpr int kFormatLineLabel = 1004;
inline constexpr int kPreviewRateMs = 100;
// Largest frame edge accepted from a device; beyond it the format counts as none.
inline constexpr int32_t kMaxFrameEdge = 16384;

inline constexpr const char* kOpenFailedText = "capCaptureSingleFrameOpen";
inline constexpr const char* kFrameFailedText = "capCaptureSingleFrame";
inline constexpr const char* kCloseFailedText = "capCaptureSingleFrameClose";
inline constexpr const char* kNoFormatText =
    "The capture device reports no video format; no picture can be taken.";

// Connects driver 0, reads its capabilities into state.caps, enables the three
// driver-dialog buttons from them, refreshes the format and starts the preview.
void ConnectCaptureDevice(AppState& state);

// Re-reads the device's format into state.videoFormat, sizes the preview to one
// frame and shows the format line in control 1004. A device without a usable
// format leaves videoFormat empty (captures are then refused) and the line empty.
void RefreshVideoFormat(AppState& state);

// Preview on or off, then the preview rate (always 100 ms).
void SetPreview(AppState& state, bool on);

// Open, register the frame handler, frame, close; a message box (no title) for
// each failed step. True only when every step succeeded and the handler did.
bool CaptureSingleFrame(AppState& state);

// The same sequence with another handler in place of FrameHandler.
using FrameSink = std::function<bool(AppState& state, const VideoHdr& frame)>;
bool CaptureSingleFrameWith(AppState& state, const FrameSink& handler);

// True when state.videoFormat holds a format a frame can be read with.
bool HasUsableFormat(const AppState& state);

// String 1004 filled with width, height and bits per pixel.
std::string FormatLine(int width, int height, int bitCount);

// After a driver dialog: Format always re-reads the format; Source and Display
// only when their dialog reports a change (result true).
enum class DriverDialog { kSource, kFormat, kDisplay };
void ApplyDriverDialogResult(AppState& state, DriverDialog dialog, bool result);

}  // namespace snapvane
