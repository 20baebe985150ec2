#include "capture/preview_window.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <algorithm>
#include <cstring>

#include "capture/window_hints.h"
#include "capture/capture_control.h"
#include "capture/frame_image.h"
#include "resources/dialog_builder.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"

namespace snapvane {

QImage WrapBottomUpDib(const std::vector<uint8_t>& format, const std::vector<uint8_t>& pixels) {
  if (format.size() < sizeof(BitmapInfoHeader)) return {};
  BitmapInfoHeader h;
  std::memcpy(&h, format.data(), sizeof h);
  if (h.biWidth <= 0 || h.biHeight <= 0) return {};
  const int64_t stride = DibStride(h.biWidth, h.biBitCount);
  if (static_cast<int64_t>(pixels.size()) < stride * h.biHeight) return {};
  const QImage::Format f = ImageFormatOfDepth(h.biBitCount);
  if (f == QImage::Format_Invalid) return {};
  QImage image(pixels.data(), h.biWidth, h.biHeight, static_cast<qsizetype>(stride), f);
  if (f == QImage::Format_Indexed8) {
    // The colour table follows the header: RGBQUAD entries (blue, green, red, 0).
    size_t entries = h.biClrUsed ? h.biClrUsed : 256;
    entries = std::min<size_t>({entries, 256, (format.size() - sizeof h) / 4});
    QList<QRgb> table;
    for (size_t i = 0; i < entries; ++i) {
      const uint8_t* q = format.data() + sizeof h + i * 4;
      table.push_back(qRgb(q[2], q[1], q[0]));
    }
    while (table.size() < 256) table.push_back(qRgb(0, 0, 0));
    image.setColorTable(table);
  }
  return image;
}

CaptureView::CaptureView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("snvsCap"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

QImage& CaptureView::FrameBuffer(int width, int height) {
  if (frame_.width() != width || frame_.height() != height ||
      frame_.format() != QImage::Format_RGB32)
    frame_ = QImage(width, height, QImage::Format_RGB32);
  return frame_;
}

void CaptureView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (frame_.isNull()) {
    p.fillRect(rect(), Qt::black);
    return;
  }
  p.drawImage(0, 0, frame_);
}

PreviewWindow::PreviewWindow(QWidget* owner, Camera& camera) : QWidget(owner), camera_(camera) {
  setWindowFlag(Qt::Tool);  // owned by the main window, which stands for both
  // Placed (frame included) beside the owner; the window system reports the real
  // frame only once the window is shown.
  if (const DialogTemplate* t = FindDialogTemplate(kPreviewDialog)) BuildDialog(this, *t);
  setWindowIcon(LoadIconResource(kAppIcon));
  view_ = new CaptureView(this);
  view_->setGeometry(0, 0, kInitialViewWidth, kInitialViewHeight);
  timer_.setInterval(kPreviewRateMs);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { PullFrame(); });
}

void PreviewWindow::ResizeToFrame(int width, int height) {
  if (width <= 0 || height <= 0) return;
  view_->setGeometry(0, 0, width, height);
  setFixedSize(width, height);
  if (!placed_) return;  // not shown yet: the frame keeps its planned place
  // Keep the client area's top-left on screen, unless that would push the frame
  // (title bar included) off the screen's top or left edge.
  QPoint topLeft = geometry().topLeft();
  if (const QScreen* s = screen()) {
    const QRect area = s->availableGeometry();
    const QMargins frame = FrameMargins();
    topLeft.setX(std::max(topLeft.x(), area.left() + frame.left()));
    topLeft.setY(std::max(topLeft.y(), area.top() + frame.top()));
  }
  setGeometry(QRect(topLeft, QSize(width, height)));
  update();
}

QMargins PreviewWindow::FrameMargins() const {
  const QRect frame = frameGeometry();
  const QRect client = geometry();
  return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                  frame.right() - client.right(), frame.bottom() - client.bottom());
}

void PreviewWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Sized before the first show; from now on geometry() is the client area the
  // window system placed.
  placed_ = true;
  timer_.start();  // frames are fetched only while someone can see them
}

void PreviewWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_.stop();
}

void PreviewWindow::SetDisplay(const PreviewDisplay& display) {
  if (display.mirror != display_.mirror && !view_->Frame().isNull()) {
    QImage shown = view_->Frame();
    shown.mirror(true, false);
    view_->SetFrame(std::move(shown));
  }
  display_ = display;
}

bool PreviewWindow::PullFrame() {
  CaptureDevice* device = camera_.Device();
  if (!device) return false;
  const int rate = device->PreviewRate() > 0 ? device->PreviewRate() : kPreviewRateMs;
  if (timer_.interval() != rate) timer_.setInterval(rate);
  const std::optional<FrameGeometry> format = camera_.Format();
  if (!device->PreviewOn() || !isVisible() || !format) return false;
  if (!device->GrabPreviewFrame(pixels_)) return false;
  if (format->depth == 24 &&
      format->stride * format->height <= static_cast<int64_t>(pixels_.size())) {
    // The usual camera frame: converted straight into the view's own buffer, no
    // allocation per frame; rows and columns land where they are shown.
    QImage& shown = view_->FrameBuffer(format->width, format->height);
    const bool bottomUp = format->order == RowOrder::kBottomUp;
    const int w = format->width;
    for (int y = 0; y < format->height; ++y) {
      const int row = bottomUp ? format->height - 1 - y : y;
      const uint8_t* s = pixels_.data() + row * format->stride;
      auto* d = reinterpret_cast<QRgb*>(shown.scanLine(y));
      if (display_.mirror) {
        for (int x = w - 1; x >= 0; --x, s += 3) d[x] = qRgb(s[2], s[1], s[0]);
      } else {
        for (int x = 0; x < w; ++x, s += 3) d[x] = qRgb(s[2], s[1], s[0]);
      }
    }
    view_->update();
    return true;
  }
  QImage dib = WrapBottomUpDib(camera_.VideoFormat(), pixels_);
  if (dib.isNull()) return false;
  // One conversion to the screen's format and an in-place row flip (measured
  // cheaper than drawing the DIB through a flipping transform at every depth).
  QImage upright = dib.convertToFormat(QImage::Format_RGB32);
  if (upright.constBits() == pixels_.data()) upright = upright.copy();  // own its pixels
  upright.mirror(display_.mirror, format->order == RowOrder::kBottomUp);
  view_->SetFrame(std::move(upright));
  return true;
}

PreviewWindow* CreatePreviewWindow(QWidget* owner, Camera& camera) {
  auto* window = new PreviewWindow(owner, camera);
  // Shown once the caller has sized it to the device's format: a window system
  // that places the frame only as it maps the window would otherwise be told a
  // client position that is not known yet.
  QPointer<PreviewWindow> shown(window);
  QTimer::singleShot(0, window, [shown] {
    // Unless the owner has shown or hidden it meanwhile.
    if (shown && !shown->testAttribute(Qt::WA_WState_ExplicitShowHide)) {
      KeepOffTaskBar(*shown);
      shown->show();
    }
  });
  return window;
}

}  // namespace snapvane
