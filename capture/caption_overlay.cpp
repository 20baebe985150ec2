#include "capture/caption_overlay.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QTextLayout>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "capture/frame_image.h"
#include "common/locale_text.h"
#include "common/time_text.h"

namespace snapvane {
namespace {

// strftime reports an overflow only as 0, so a longer expansion is tried in
// growing buffers up to this bound (a 255-character format cannot need more).
constexpr size_t kMaxCaptionExpansion = 128 * 1024;
// Font sizes from an edited settings file are kept within reason.
constexpr int kMaxCaptionPixels = 1000;

QString FaceName(const LogFont& logFont) {
  size_t n = strnlen(logFont.lfFaceName, sizeof logFont.lfFaceName);
  return QString::fromStdString(LocaleToUtf8(std::string_view(logFont.lfFaceName, n)));
}

bool FamilyInstalled(const QString& family) {
  static std::mutex mutex;
  static QHash<QString, bool> known;
  const QString key = family.toCaseFolded();
  std::lock_guard<std::mutex> hold(mutex);
  auto it = known.constFind(key);
  if (it != known.constEnd()) return *it;
  bool installed = QFontDatabase::families().contains(family, Qt::CaseInsensitive);
  known.insert(key, installed);
  return installed;
}

// The family a face name the machine lacks falls back to: the desktop's
// sans-serif, never whatever the matcher would pick for an unknown name.
QString DefaultSansFamily() {
  static const QString family = [] {
    QFont probe;
    probe.setStyleHint(QFont::SansSerif);
    probe.setFamilies({QStringLiteral("sans-serif")});
    const QString candidates[] = {QFontInfo(probe).family(),
                                  QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()};
    for (const QString& c : candidates)
      if (!c.isEmpty() && QFontDatabase::families().contains(c, Qt::CaseInsensitive)) return c;
    return candidates[0];
  }();
  return family;
}

QString NormaliseLineBreaks(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

QString TrimTrailingSpace(const QString& s) {
  qsizetype n = s.size();
  while (n > 0 && s.at(n - 1).isSpace()) --n;
  return s.left(n);
}

}  // namespace

std::string FormatCaptionText(const char* format, size_t formatBytes, const std::tm& t) {
  if (!format) return {};
  const std::string fmt(format, strnlen(format, formatBytes));
  if (fmt.empty()) return {};
  std::string buffer(kCaptionBufferChars, '\0');
  size_t length = 0;
  for (;;) {
    length = std::strftime(buffer.data(), buffer.size(), fmt.c_str(), &t);
    if (length > 0 || buffer.size() >= kMaxCaptionExpansion) break;
    buffer.resize(buffer.size() * 4);  // 0: too long, or an empty expansion
  }
  buffer.resize(length);
  buffer.resize(PrefixAtCharBoundary(buffer, kCaptionMaxChars));
  return buffer;
}

CaptionBox PlaceCaptionBox(const QRect& rect, int32_t valign, int h) {
  const int top = rect.y();
  const int bottom = rect.y() + rect.height();
  CaptionBox box;
  box.left = rect.x();
  box.right = rect.x() + rect.width();
  switch (valign) {
    case 0:
      box.top = top;
      break;
    case 1:
      box.top = (top + bottom - h) / 2;  // C++ division rounds toward zero
      break;
    case 2:
      box.top = bottom - h;
      break;
    default:
      box.top = top + 1;  // where the measuring rectangle put it
      break;
  }
  box.bottom = box.top + h;
  return box;
}

QColor ColourFromRef(ColorRef c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

ColorRef RefFromColour(const QColor& colour) {
  QColor rgb = colour.toRgb();
  return static_cast<ColorRef>(rgb.red()) | (static_cast<ColorRef>(rgb.green()) << 8) |
         (static_cast<ColorRef>(rgb.blue()) << 16);
}

QFont FontFromLogFont(const LogFont& logFont) {
  QFont font;
  QString face = FaceName(logFont);
  font.setFamily(!face.isEmpty() && FamilyInstalled(face) ? face : DefaultSansFamily());
  font.setStyleHint(QFont::SansSerif);

  int pixels = kDefaultCaptionPixels;
  if (logFont.lfHeight < 0) {
    // Character height: the em size.
    pixels = logFont.lfHeight < -kMaxCaptionPixels ? kMaxCaptionPixels : -logFont.lfHeight;
  } else if (logFont.lfHeight > 0) {
    // Cell height: ascent plus descent; scale the em size to match.
    int cell = std::min<int32_t>(logFont.lfHeight, kMaxCaptionPixels);
    QFont probe = font;
    probe.setPixelSize(cell);
    int probeHeight = QFontMetrics(probe).height();
    pixels =
        probeHeight > 0 ? static_cast<int>(std::lround(double(cell) * cell / probeHeight)) : cell;
  }
  font.setPixelSize(std::max(1, pixels));

  int weight =
      logFont.lfWeight <= 0 ? int(QFont::Normal) : std::min<int32_t>(logFont.lfWeight, 1000);
  font.setWeight(static_cast<QFont::Weight>(weight));
  font.setItalic(logFont.lfItalic != 0);
  font.setUnderline(logFont.lfUnderline != 0);
  font.setStrikeOut(logFont.lfStrikeOut != 0);
  return font;
}

LogFont LogFontFromFont(const QFont& font) {
  QFontInfo info(font);
  LogFont lf;
  int pixels = font.pixelSize() > 0 ? font.pixelSize() : info.pixelSize();
  lf.lfHeight = -std::clamp(pixels, 1, kMaxCaptionPixels);
  lf.lfWeight = font.weight();
  lf.lfItalic = font.italic() ? 1 : 0;
  lf.lfUnderline = font.underline() ? 1 : 0;
  lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
  uint8_t family = 0;  // "don't care"
  switch (font.styleHint()) {
    case QFont::Serif:
      family = 0x10;
      break;
    case QFont::SansSerif:
      family = 0x20;
      break;
    case QFont::TypeWriter:
    case QFont::Monospace:
      family = 0x30;
      break;
    case QFont::Cursive:
      family = 0x40;
      break;
    case QFont::Decorative:
    case QFont::Fantasy:
      family = 0x50;
      break;
    default:
      break;
  }
  lf.lfPitchAndFamily = static_cast<uint8_t>((info.fixedPitch() ? 1 : 2) | family);
  QString name = font.family().isEmpty() ? info.family() : font.family();
  std::string bytes = Utf8ToLocale(name.toStdString());
  bytes.resize(PrefixAtCharBoundary(bytes, sizeof lf.lfFaceName - 1));
  std::memcpy(lf.lfFaceName, bytes.data(), bytes.size());
  return lf;
}

CaptionPlan PlanCaption(const CaptionStyle& style, const QRect& rect, const QString& text) {
  CaptionPlan plan;
  plan.font = FontFromLogFont(style.font);
  const QFontMetrics metrics(plan.font);
  const QFontMetricsF exact(plan.font);  // advances can be fractional; cells take whole pixels
  const int lineHeight = metrics.height();
  const int ascent = metrics.ascent();
  // Wrapped within the rectangle shrunk by one pixel on every side.
  const int wrapWidth = std::max(0, rect.width() - 2);

  struct Run {
    QString text;
    int width;
  };
  std::vector<Run> runs;
  if (!text.isEmpty()) {
    const QStringList paragraphs = NormaliseLineBreaks(text).split(QLatin1Char('\n'));
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::WordWrap);  // at word boundaries; long words overflow
    for (const QString& paragraph : paragraphs) {
      if (paragraph.isEmpty()) {
        runs.push_back({QString(), 0});
        continue;
      }
      QTextLayout layout(paragraph, plan.font);
      layout.setTextOption(option);
      layout.beginLayout();
      for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(wrapWidth);
        QString piece = TrimTrailingSpace(paragraph.mid(line.textStart(), line.textLength()));
        runs.push_back({piece, static_cast<int>(std::ceil(exact.horizontalAdvance(piece)))});
      }
      layout.endLayout();
    }
  }
  plan.measuredHeight = static_cast<int>(runs.size()) * lineHeight;
  plan.box = PlaceCaptionBox(rect, style.valign, plan.measuredHeight);

  // Aligned within the full width of the rectangle.
  const int fullWidth = plan.box.right - plan.box.left;
  int y = plan.box.top;
  for (Run& run : runs) {
    int x = plan.box.left;
    if (style.halign == 1)
      x = plan.box.left + (fullWidth - run.width) / 2;
    else if (style.halign == 2)
      x = plan.box.right - run.width;
    plan.lines.push_back({std::move(run.text), QRect(x, y, run.width, lineHeight), y + ascent});
    y += lineHeight;
  }

  const QColor foreground = ColourFromRef(style.foreground);
  const QColor background = ColourFromRef(style.background);
  if (style.transparent) {
    // The outline: six offsets, the two diagonals (-1,-1) and (1,1) left out.
    for (int dx = -1; dx <= 1; ++dx)
      for (int dy = -1; dy <= 1; ++dy)
        if (dx != dy) plan.passes.push_back({dx, dy, background, false, QColor()});
    plan.passes.push_back({0, 0, foreground, false, QColor()});
  } else {
    plan.passes.push_back({0, 0, foreground, true, background});
  }
  return plan;
}

void PaintCaptionPlan(const CaptionPlan& plan, QPainter& painter,
                      const CaptionLinePainter& linePainter) {
  if (plan.lines.empty()) return;
  painter.save();
  painter.setFont(plan.font);
  const QRect box(plan.box.left, plan.box.top, plan.box.right - plan.box.left,
                  plan.box.bottom - plan.box.top);
  for (const CaptionPass& pass : plan.passes) {
    painter.save();
    painter.setClipRect(box.translated(pass.dx, pass.dy), Qt::IntersectClip);
    painter.setPen(pass.colour);
    for (const CaptionLine& line : plan.lines) {
      if (linePainter) {
        linePainter(painter, line, pass);
        continue;
      }
      if (pass.fillCells && !line.cell.isEmpty())
        painter.fillRect(line.cell.translated(pass.dx, pass.dy), pass.fill);
      if (!line.text.isEmpty())
        painter.drawText(QPoint(line.cell.left() + pass.dx, line.baseline + pass.dy), line.text);
    }
    painter.restore();
  }
  painter.restore();
}

void DrawCaptionAt(const CaptionStyle* style, QPainter& painter, const QRect& rect,
                   const std::tm& when) {
  if (!style) return;
  const std::string text = FormatCaptionText(style->text, sizeof style->text, when);
  const QString caption = QString::fromStdString(LocaleToUtf8(text));
  PaintCaptionPlan(PlanCaption(*style, rect, caption), painter);
}

void DrawCaption(const CaptionStyle* style, QPainter& painter, const QRect& rect) {
  if (!style) return;
  DrawCaptionAt(style, painter, rect, LocalTime(std::time(nullptr)));
}

void BurnCaption(const CaptionStyle& style, const FrameView& frame) {
  const FrameGeometry& g = frame.geometry;
  // Paletted frames have no colours to paint with.
  const QImage::Format format = g.depth == 8 ? QImage::Format_Invalid : ImageFormatOfDepth(g.depth);
  if (format == QImage::Format_Invalid) return;
  if (g.width <= 0 || g.height <= 0 || g.width > kMaxFrameSide || g.height > kMaxFrameSide) return;
  if (!frame.Whole()) return;  // frame shorter than described
  const int bytesPerPixel = g.depth / 8;
  const int width = g.width, rows = g.height;

  const QRect rect(0, 0, width, rows);
  const std::string text =
      FormatCaptionText(style.text, sizeof style.text, LocalTime(std::time(nullptr)));
  const CaptionPlan plan = PlanCaption(style, rect, QString::fromStdString(LocaleToUtf8(text)));
  if (plan.lines.empty()) return;

  // Only the picture rows the caption can touch (its box and the outline's pixel
  // either side) are copied upright into a strip, painted and copied back.
  const int firstRow = std::max(0, plan.box.top - 1);
  const int endRow = std::min(rows, plan.box.bottom + 1);
  if (firstRow >= endRow) return;
  QImage strip(rect.width(), endRow - firstRow, format);
  if (strip.isNull()) return;
  const size_t rowBytes = static_cast<size_t>(width) * bytesPerPixel;
  for (int y = firstRow; y < endRow; ++y) {
    uint8_t* line = strip.scanLine(y - firstRow);
    std::memcpy(line, frame.Row(y), rowBytes);
    if (bytesPerPixel == 4)  // the painter expects the unused byte opaque
      for (size_t i = 3; i < rowBytes; i += 4) line[i] = 0xFF;
  }
  {
    QPainter painter(&strip);
    painter.translate(0, -firstRow);
    PaintCaptionPlan(plan, painter);
  }
  for (int y = firstRow; y < endRow; ++y) {
    const uint8_t* line = strip.constScanLine(y - firstRow);
    uint8_t* out = frame.Row(y);
    if (bytesPerPixel == 4) {
      for (size_t i = 0; i < rowBytes; i += 4) std::memcpy(out + i, line + i, 3);  // keep x
    } else {
      std::memcpy(out, line, rowBytes);
    }
  }
}

}  // namespace snapvane
