#include "capture/preview_window.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "capture/capture_control.h"
#include "capture/frame_image.h"
#include "capture/window_hints.h"
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

namespace {

// Portable: four pixels from three little-endian words where it can.
void ConvertBgrRowScalar(const uint8_t* source, uint32_t* target, int w, bool mirror) {
  constexpr uint32_t kOpaque = 0xff000000u;
  // Stored as x or as w - 1 - x.
  auto run = [&](auto put) {
    int x = 0;
    if constexpr (std::endian::native == std::endian::little) {
      // B G R in memory is 0x00RRGGBB read little-endian.
      for (; x + 4 <= w; x += 4, source += 12) {
        uint32_t a, b, c;
        std::memcpy(&a, source, 4);
        std::memcpy(&b, source + 4, 4);
        std::memcpy(&c, source + 8, 4);
        put(x, kOpaque | (a & 0xffffffu));
        put(x + 1, kOpaque | (a >> 24) | ((b & 0xffffu) << 8));
        put(x + 2, kOpaque | (b >> 16) | ((c & 0xffu) << 16));
        put(x + 3, kOpaque | (c >> 8));
      }
    }
    for (; x < w; ++x, source += 3)
      put(x, kOpaque | source[0] | uint32_t{source[1]} << 8 | uint32_t{source[2]} << 16);
  };
  if (mirror) {
    uint32_t* last = target + w - 1;
    run([last](int x, uint32_t pixel) { last[-x] = pixel; });
  } else {
    run([target](int x, uint32_t pixel) { target[x] = pixel; });
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// Sixteen pixels (48 bytes) per step with byte shuffles: the preview converts
// every pixel of every frame, so this is most of what showing it costs.
__attribute__((target("ssse3"))) void ConvertBgrRowSsse3(const uint8_t* source, uint32_t* target,
                                                         int w, bool mirror) {
  // Each 3-byte pixel into the low bytes of a 32-bit lane; mirrored, the lanes
  // also come out right to left.
  const __m128i spread = mirror
                             ? _mm_setr_epi8(9, 10, 11, -1, 6, 7, 8, -1, 3, 4, 5, -1, 0, 1, 2, -1)
                             : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xff000000u));
  // The target (the window's backing store) is only read again by the display:
  // aligned, it is written past the cache.
  const bool stream = reinterpret_cast<uintptr_t>(target) % 16 == 0 && w % 4 == 0;
  int x = 0;
  for (; x + 16 <= w; x += 16, source += 48) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 32));
    const __m128i quads[4] = {a, _mm_alignr_epi8(b, a, 12), _mm_alignr_epi8(c, b, 8),
                              _mm_srli_si128(c, 4)};
    for (int q = 0; q < 4; ++q) {
      const __m128i pixels = _mm_or_si128(_mm_shuffle_epi8(quads[q], spread), opaque);
      uint32_t* at = mirror ? target + w - (x + 4 * q + 4) : target + x + 4 * q;
      if (stream)
        _mm_stream_si128(reinterpret_cast<__m128i*>(at), pixels);
      else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), pixels);
    }
  }
  if (stream) _mm_sfence();
  if (x < w) ConvertBgrRowScalar(source, mirror ? target : target + x, w - x, mirror);
}
#endif

}  // namespace

void ConvertBgrRow(const uint8_t* source, uint32_t* target, int w, bool mirror) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return ConvertBgrRowSsse3(source, target, w, mirror);
#endif
  ConvertBgrRowScalar(source, target, w, mirror);
}

CaptureView::CaptureView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("snvsCap"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CaptureView::SetFrame(QImage frame) {
  bgrValid_ = false;
  frame_ = std::move(frame);
  update();
}

void CaptureView::ShowBgrFrame(const FrameGeometry& geometry, bool mirror) {
  bgrGeometry_ = geometry;
  mirror_ = mirror;
  bgrValid_ = geometry.depth == 24 && geometry.width > 0 && geometry.height > 0 &&
              geometry.stride >= int64_t{geometry.width} * 3;
  converted_ = false;
  update();
}

bool CaptureView::BgrUsable() const {
  // Checked at every use: a grab that failed may have resized the buffer.
  return bgrValid_ &&
         bgrGeometry_.stride * bgrGeometry_.height <= static_cast<int64_t>(bgr_.size());
}

void CaptureView::SetMirror(bool mirror) {
  if (mirror == mirror_) return;
  mirror_ = mirror;
  if (!bgrValid_ && !frame_.isNull()) frame_.mirror(true, false);
  converted_ = false;
  update();
}

void CaptureView::ConvertRow(int y, uint32_t* target) const {
  const FrameGeometry& g = bgrGeometry_;
  const int row = g.order == RowOrder::kBottomUp ? g.height - 1 - y : y;
  ConvertBgrRow(bgr_.data() + row * g.stride, target, g.width, mirror_);
}

const QImage& CaptureView::Shown() const {
  if (BgrUsable() && !converted_) {
    if (frame_.width() != bgrGeometry_.width || frame_.height() != bgrGeometry_.height ||
        frame_.format() != QImage::Format_RGB32)
      frame_ = QImage(bgrGeometry_.width, bgrGeometry_.height, QImage::Format_RGB32);
    for (int y = 0; y < bgrGeometry_.height; ++y)
      ConvertRow(y, reinterpret_cast<uint32_t*>(frame_.scanLine(y)));
    converted_ = true;
  }
  return frame_;
}

QImage CaptureView::Frame() const { return Shown(); }

bool CaptureView::PaintStraight(const QRect& area) {
  // Painting on screen goes to the window's backing store, at this widget's place.
  QPoint offset;
  QPaintDevice* device = redirected(&offset);
  if (!device || device->devType() != QInternal::Image) return false;
  auto* target = static_cast<QImage*>(device);
  const QImage::Format f = target->format();
  if ((f != QImage::Format_RGB32 && f != QImage::Format_ARGB32 &&
       f != QImage::Format_ARGB32_Premultiplied) ||
      target->devicePixelRatio() != 1.0)
    return false;
  if (bgrGeometry_.width != width() || bgrGeometry_.height != height()) return false;
  const QRect dirty = area & rect();
  const QRect rows(0, dirty.top(), width(), dirty.height());
  const QPoint at = -offset;  // this widget's top left in the backing store
  if (dirty.isEmpty() || !target->rect().contains(rows.translated(at))) return false;
  for (int y = rows.top(); y <= rows.bottom(); ++y)
    ConvertRow(y, reinterpret_cast<uint32_t*>(target->scanLine(y + at.y())) + at.x());
  return true;
}

void CaptureView::paintEvent(QPaintEvent* event) {
  if (BgrUsable() && PaintStraight(event->rect())) return;
  QPainter p(this);
  const QImage& shown = Shown();
  if (shown.isNull()) {
    p.fillRect(rect(), Qt::black);
    return;
  }
  p.drawImage(0, 0, shown);
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
  view_->SetMirror(display.mirror);
  display_ = display;
}

bool PreviewWindow::PullFrame() {
  CaptureDevice* device = camera_.Device();
  if (!device) return false;
  const int rate = device->PreviewRate() > 0 ? device->PreviewRate() : kPreviewRateMs;
  if (timer_.interval() != rate) timer_.setInterval(rate);
  const std::optional<FrameGeometry> format = camera_.Format();
  if (!device->PreviewOn() || !isVisible() || !format) return false;
  if (format->depth == 24) {
    // The usual camera frame: kept as it came, converted as it is painted.
    std::vector<uint8_t>& pixels = view_->BgrBuffer();
    if (!device->GrabPreviewFrame(pixels)) return false;
    view_->ShowBgrFrame(*format, display_.mirror);
    return true;
  }
  if (!device->GrabPreviewFrame(pixels_)) return false;
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
