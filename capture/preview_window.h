#pragma once
// The preview frame window (dialog 112, "Video Preview"): a small tool window
// owned by the main window holding the capture view, which shows live frames at
// the device's preview rate while the preview is on.
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "capture/frame_view.h"

namespace snapvane {

class Camera;

inline constexpr int kInitialViewWidth = 320;
inline constexpr int kInitialViewHeight = 240;

// Wraps a DIB (format record plus pixel bytes) in a QImage without copying
// pixels, rows as they lie in memory (bottom-up frames come out upside down). Null
// when the bytes do not hold one frame of that format or the depth has no
// matching image format. The pixels must outlive the image.
QImage WrapBottomUpDib(const std::vector<uint8_t>& format, const std::vector<uint8_t>& pixels);

// Preview options the display dialog edits.
struct PreviewDisplay {
  bool mirror = false;  // left and right swapped, as in a looking glass
  bool operator==(const PreviewDisplay&) const = default;
};

// Converts one row of w BGR24 pixels to 0xffRRGGBB (right to left when mirror).
void ConvertBgrRow(const uint8_t* source, uint32_t* target, int w, bool mirror);

// The capture window inside the frame window: paints the newest preview frame.
// A 24-bit camera frame is kept as it came and converted straight into the
// window's backing store while painting (no frame-sized copy in between);
// other depths are converted once into an upright image and drawn.
class CaptureView : public QWidget {
 public:
  explicit CaptureView(QWidget* parent);
  // A frame of another depth, upright, in the screen's own format.
  void SetFrame(QImage frame);
  // The buffer the next 24-bit frame is grabbed into, the one shown (devices
  // write it only with a whole frame); ShowBgrFrame then says what it holds.
  std::vector<uint8_t>& BgrBuffer() { return bgr_; }
  void ShowBgrFrame(const FrameGeometry& geometry, bool mirror);
  void SetMirror(bool mirror);
  // What is shown, as an upright RGB32 image (null: nothing yet).
  QImage Frame() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // The 24-bit frame straight into the backing store; false when it cannot be.
  bool PaintStraight(const QRect& area);
  // Row y of what is shown (top-down) from the 24-bit frame.
  void ConvertRow(int y, uint32_t* target) const;
  // What is shown as an image (the 24-bit frame converted once when asked).
  const QImage& Shown() const;

  mutable QImage frame_;
  mutable bool converted_ = false;  // frame_ holds the 24-bit frame
  // The 24-bit frame shown, usable while it holds a whole frame of its geometry.
  bool BgrUsable() const;

  std::vector<uint8_t> bgr_;
  FrameGeometry bgrGeometry_;
  bool bgrValid_ = false;
  bool mirror_ = false;
};

class PreviewWindow : public QWidget {
 public:
  PreviewWindow(QWidget* owner, Camera& camera);

  // Client area exactly width x height with its top-left corner kept on screen
  // (moved only as far as needed to keep the whole frame on the screen); the
  // capture view fills it.
  void ResizeToFrame(int width, int height);
  // The window frame around the client area (zero before the first show).
  QMargins FrameMargins() const;

  CaptureView* View() const { return view_; }
  const PreviewDisplay& Display() const { return display_; }
  void SetDisplay(const PreviewDisplay& display);

  // One preview tick: fetches a frame when the preview is on and the window
  // shown. True when a new frame was shown.
  bool PullFrame();
  // The preview tick runs (only while the window is shown).
  bool Pulling() const { return timer_.isActive(); }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  bool placed_ = false;  // shown once: the window system has placed the frame
  Camera& camera_;
  CaptureView* view_ = nullptr;
  QTimer timer_;
  PreviewDisplay display_;
  std::vector<uint8_t> pixels_;  // a frame of another depth as the device delivers it
};

// Creates the preview frame window owned by owner; it shows itself once the
// event loop runs, unless the owner has shown or hidden it before.
PreviewWindow* CreatePreviewWindow(QWidget* owner, Camera& camera);

}  // namespace snapvane
