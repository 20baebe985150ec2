#pragma once
// The preview frame window (dialog 112, "Video Preview"): a small tool window
// owned by the main window holding the capture view, which shows live frames at
// the device's preview rate while the preview is on.
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

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

// The capture window inside the frame window: paints the newest preview frame
// (upright, in the screen's own format, so painting is a plain copy).
class CaptureView : public QWidget {
 public:
  explicit CaptureView(QWidget* parent);
  void SetFrame(QImage frame) {
    frame_ = std::move(frame);
    update();
  }
  const QImage& Frame() const { return frame_; }
  // The frame to draw into, width x height RGB32 (made anew only when the size
  // changes); call update() once it is filled.
  QImage& FrameBuffer(int width, int height);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage frame_;
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
  std::vector<uint8_t> pixels_;  // the frame as the device delivers it
};

// Creates the preview frame window owned by owner; it shows itself once the
// event loop runs, unless the owner has shown or hidden it before.
PreviewWindow* CreatePreviewWindow(QWidget* owner, Camera& camera);

}  // namespace snapvane
