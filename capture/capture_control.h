#pragma once
// The program's one capture device and what it knows about it: the driver caps,
// the current format record, the preview switch, and single-frame captures into
// the snapshot file. Plain C++ over the CaptureDevice seam; UI thread only. It
// shows nothing: the window applies what these return.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_device.h"
#include "capture/capture_error.h"
#include "capture/frame_view.h"

namespace snapvane {

struct CaptionStyle;

inline constexpr int kPreviewRateMs = 100;

inline constexpr const char* kOpenFailedText = "capCaptureSingleFrameOpen";
inline constexpr const char* kFrameFailedText = "capCaptureSingleFrame";
inline constexpr const char* kCloseFailedText = "capCaptureSingleFrameClose";
inline constexpr const char* kNoFormatText =
    "The capture device reports no video format; no picture can be taken.";

// Draws the caption of style into the frame's own bytes (the renderer needs Qt
// Gui, which the core does not link, so the window hands it in).
using CaptionBurner = void (*)(const CaptionStyle& style, const FrameView& frame);

// How a frame becomes the snapshot file.
struct EncodeOptions {
  int quality = 0;
  const CaptionStyle* caption = nullptr;  // null: no caption
  CaptionBurner burnCaption = nullptr;
};

enum class DriverDialog { kSource, kFormat, kDisplay };

class Camera {
 public:
  Camera() = default;
  explicit Camera(std::unique_ptr<CaptureDevice> device) : device_(std::move(device)) {}

  CaptureDevice* Device() const { return device_.get(); }
  // Gives up the device (at shutdown): captures fail from then on.
  void Release();

  // Connects driver 0, reads its caps, refreshes the format and starts the preview
  // (or leaves it off).
  void Connect(bool preview = true);
  // Connects driver 0 again, keeping the preview as it was: a device that went
  // away or would not open gets another chance, again at every capture until it
  // reports a usable format. True when it has one.
  bool Reconnect();
  // How many times the device was connected: a change tells the window that the
  // caps and the format may be new.
  uint64_t Connections() const { return connections_; }
  // A capture failed at the device: the next one reconnects first.
  bool NeedsReconnect() const { return needsReconnect_; }
  void SetNeedsReconnect(bool needs) { needsReconnect_ = needs; }
  // Re-reads the device's format. A format without a usable frame size and depth
  // counts as none: captures are then refused. True when there is one.
  bool RefreshFormat();
  // Preview on or off, then the preview rate (always 100 ms).
  void SetPreview(bool on);
  // After a driver dialog: Format always re-reads the format; Source and Display
  // only when their dialog reports a change. True when the format was re-read.
  bool ApplyDriverDialogResult(DriverDialog dialog, bool result);

  // The caption renderer, handed in by the window layer.
  void SetCaptionBurner(CaptionBurner burner) { burner_ = burner; }
  CaptionBurner Burner() const { return burner_; }

  const CapDriverCaps& Caps() const { return caps_; }
  // The format record (BITMAPINFO bytes); empty when there is no usable format.
  const std::vector<uint8_t>& VideoFormat() const { return videoFormat_; }
  const BitmapInfoHeader* VideoFormatHeader() const;
  // The frames' shape (with the device's row order), when there is a usable format.
  std::optional<FrameGeometry> Format() const;
  bool HasUsableFormat() const { return Format().has_value(); }

 private:
  std::unique_ptr<CaptureDevice> device_;
  std::vector<uint8_t> videoFormat_;
  CapDriverCaps caps_;
  CaptionBurner burner_ = nullptr;
  bool needsReconnect_ = false;
  uint64_t connections_ = 0;
};

// Open, register the handler, frame, close. Each failed step adds its text to the
// result, in order; the capture is ok only when every step and the handler were.
// After a failure at the device the next capture reconnects it first.
using FrameSink = std::function<CaptureResult(const FrameView& frame)>;
CaptureResult CaptureSingleFrameWith(Camera& camera, const FrameSink& handler);
// The same with FrameHandler writing the frame to jpegPath.
CaptureResult CaptureSingleFrame(Camera& camera, const std::string& jpegPath,
                                 const EncodeOptions& options);

// OpenDefaultCaptureDevice, also saying why the test pattern stands in when no
// camera was chosen or found (empty: a camera, or the pattern was asked for).
std::unique_ptr<CaptureDevice> OpenDefaultCaptureDevice(std::string& whyPattern);

// String 1004 filled with width, height and bits per pixel.
std::string FormatLine(int width, int height, int bitCount);

}  // namespace snapvane
