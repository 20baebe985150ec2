#pragma once
// The caption renderer: formats the caption text with the local time, lays it out
// in the caption font and paints it opaque or outlined; also burns it into frames.
// Needs Qt Gui (QPainter, QImage); nothing here touches widgets.
#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "capture/caption_style.h"
#include "capture/frame_view.h"

class QPainter;

namespace snapvane {

// strftime's own buffer: 512 characters, so at most 511 drawn.
inline constexpr size_t kCaptionBufferChars = 512;
inline constexpr size_t kCaptionMaxChars = kCaptionBufferChars - 1;
// The pixel size used when the font record leaves the height to the default.
inline constexpr int kDefaultCaptionPixels = 13;

// Draws the caption of style into rect of the painter's device; null draws nothing.
void DrawCaption(const CaptionStyle* style, QPainter& painter, const QRect& rect);
// Draws the caption of style into the frame's own bytes (16, 24 or 32 bits per
// pixel), upright in the picture; frames it cannot draw on are left alone.
void BurnCaption(const CaptionStyle& style, const FrameView& frame);

QFont FontFromLogFont(const LogFont& logFont);
LogFont LogFontFromFont(const QFont& font);

// ---- The pieces DrawCaption is made of (exposed so they can be checked alone). ----

// format expanded with t in the current C locale, cut to kCaptionMaxChars
// characters (never splitting a multibyte character). format is read up to its
// NUL or formatBytes, whichever comes first.
std::string FormatCaptionText(const char* format, size_t formatBytes, const std::tm& t);

// A rectangle in the platform's convention: right and bottom exclusive.
struct CaptionBox {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const CaptionBox&) const = default;
};

// The text box for a measured height h within rect, by valign (0 Top, 1 Centre,
// 2 Bottom; anything else keeps the measured box one pixel below the top).
CaptionBox PlaceCaptionBox(const QRect& rect, int32_t valign, int measuredHeight);

// One line of the wrapped caption: its text, its origin (top-left of its cell)
// and its cell, the area an opaque caption fills behind it.
struct CaptionLine {
  QString text;
  QRect cell;
  int baseline = 0;  // y of the baseline, inside cell
};

// One painting pass over all lines, moved by (dx, dy).
struct CaptionPass {
  int dx = 0, dy = 0;
  QColor colour;
  bool fillCells = false;  // opaque: cells in `fill` before the text
  QColor fill;
};

// Everything needed to paint one caption: no font pixels decided yet.
struct CaptionPlan {
  QFont font;
  int measuredHeight = 0;
  CaptionBox box;  // passes are clipped to the box moved by their offset
  std::vector<CaptionLine> lines;
  std::vector<CaptionPass> passes;
};

QColor ColourFromRef(ColorRef colour);
ColorRef RefFromColour(const QColor& colour);

// Lays text out in style's font within rect: wrapped at word boundaries within
// rect shrunk by one pixel, aligned within the full width, placed by valign.
CaptionPlan PlanCaption(const CaptionStyle& style, const QRect& rect, const QString& text);

// Paints one line of a pass (the default paints its text with the pass colour).
using CaptionLinePainter = std::function<void(QPainter&, const CaptionLine&, const CaptionPass&)>;
void PaintCaptionPlan(const CaptionPlan& plan, QPainter& painter,
                      const CaptionLinePainter& linePainter = {});

// DrawCaption with a given local time.
void DrawCaptionAt(const CaptionStyle* style, QPainter& painter, const QRect& rect,
                   const std::tm& when);

}  // namespace snapvane
