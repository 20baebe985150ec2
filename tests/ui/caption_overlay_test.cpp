// The caption renderer: text expansion, placement, outline, fonts and burn-in.
#include "capture/caption_overlay.h"

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "capture/capture_device.h"
#include "capture/frame_handler.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

// Sun Dec 06 01:50:28 2026, local.
std::tm FixedTime() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 1;
  t.tm_min = 50;
  t.tm_sec = 28;
  t.tm_wday = 0;
  t.tm_yday = 339;
  return t;
}

// Runs the body with the "C" time locale, then puts the previous one back.
class CTimeLocale {
 public:
  CTimeLocale() : saved_(std::setlocale(LC_TIME, nullptr)) { std::setlocale(LC_TIME, "C"); }
  ~CTimeLocale() { std::setlocale(LC_TIME, saved_.c_str()); }

 private:
  std::string saved_;
};

CaptionStyle Style(const char* text, int32_t valign, int32_t halign, int32_t transparent) {
  CaptionStyle s;
  std::strncpy(s.text, text, sizeof s.text - 1);
  s.valign = valign;
  s.halign = halign;
  s.transparent = transparent;
  s.font = DefaultCaptionFont();
  s.foreground = 0xFFFFFF;
  s.background = 0x000000;
  return s;
}

TEST(CaptionText, DirectivesPercentAndLiteralText) {
  CTimeLocale c;
  const std::tm t = FixedTime();
  EXPECT_EQ(FormatCaptionText("%c", 256, t), "Sun Dec  6 01:50:28 2026");
  EXPECT_EQ(FormatCaptionText("%%", 256, t), "%");
  EXPECT_EQ(FormatCaptionText("100%% at %H:%M", 256, t), "100% at 01:50");
  EXPECT_EQ(FormatCaptionText("Front door camera", 256, t), "Front door camera");
  EXPECT_EQ(FormatCaptionText("", 256, t), "");
  // A format filling its whole buffer without a NUL is read only that far.
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(FormatCaptionText(unterminated, sizeof unterminated, t), "abcd");
}

TEST(CaptionText, LongExpansionIsCutTo511Characters) {
  CTimeLocale c;
  const std::tm t = FixedTime();
  std::string format;
  for (int i = 0; i < 25; ++i) format += "%c";  // 25 x 24 = 600 characters
  std::string expected;
  for (int i = 0; i < 25; ++i) expected += "Sun Dec  6 01:50:28 2026";
  ASSERT_EQ(expected.size(), 600u);
  const std::string text = FormatCaptionText(format.c_str(), format.size() + 1, t);
  EXPECT_EQ(text, expected.substr(0, kCaptionMaxChars));

  // And it is drawn: every character of the cut text is on some line.
  CaptionStyle style = Style(format.c_str(), 0, 0, 0);
  CaptionPlan plan = PlanCaption(style, QRect(0, 0, 320, 240), QString::fromStdString(text));
  QString drawn;
  for (const CaptionLine& line : plan.lines) drawn += line.text;
  drawn.remove(QLatin1Char(' '));
  EXPECT_EQ(drawn, QString::fromStdString(text).remove(QLatin1Char(' ')));
}

TEST(CaptionPlacement, TopCentreBottomForMeasuredHeight13) {
  const QRect rect(0, 0, 320, 240);
  EXPECT_EQ(PlaceCaptionBox(rect, 0, 13), (CaptionBox{0, 0, 320, 13}));
  EXPECT_EQ(PlaceCaptionBox(rect, 1, 13), (CaptionBox{0, 113, 320, 126}));
  EXPECT_EQ(PlaceCaptionBox(rect, 2, 13), (CaptionBox{0, 227, 320, 240}));
  // Any other value keeps the measured box: one pixel below the top.
  EXPECT_EQ(PlaceCaptionBox(rect, 3, 13), (CaptionBox{0, 1, 320, 14}));
  EXPECT_EQ(PlaceCaptionBox(rect, -1, 13), (CaptionBox{0, 1, 320, 14}));
}

TEST(CaptionPlacement, OverTallCaptionGetsNegativeTop) {
  const QRect rect(0, 0, 320, 240);
  EXPECT_EQ(PlaceCaptionBox(rect, 1, 251).top, -5);  // (240 - 251) / 2 toward zero
  EXPECT_EQ(PlaceCaptionBox(rect, 2, 251).top, -11);
  EXPECT_EQ(PlaceCaptionBox(rect, 0, 251).top, 0);

  // A caption wrapped into many lines in a small picture: the painter clips it.
  CaptionStyle style = Style("", 1, 1, 0);
  QString words;
  for (int i = 0; i < 60; ++i) words += QStringLiteral("word ");
  CaptionPlan plan = PlanCaption(style, QRect(0, 0, 40, 20), words);
  EXPECT_GT(plan.measuredHeight, 20);
  EXPECT_LT(plan.box.top, 0);
  QImage image(40, 20, QImage::Format_RGB32);
  image.fill(Qt::gray);
  QPainter painter(&image);
  PaintCaptionPlan(plan, painter);  // clipped, no crash
}

TEST(CaptionLayout, MeasuredHeightDrivesPlacementAndWrapUsesShrunkWidth) {
  CaptionStyle style = Style("", 2, 0, 0);
  const QFont font = FontFromLogFont(style.font);
  const QFontMetrics metrics(font);
  const QString word = QStringLiteral("Caption");
  const int w = static_cast<int>(
      std::ceil(QFontMetricsF(font).horizontalAdvance(word + QLatin1Char(' ') + word)));

  // Room for both words in width - 2: one line, its height measured.
  CaptionPlan one = PlanCaption(style, QRect(0, 0, w + 2, 100), word + QLatin1Char(' ') + word);
  ASSERT_EQ(one.lines.size(), 1u);
  EXPECT_EQ(one.measuredHeight, metrics.height());
  EXPECT_EQ(one.box, (CaptionBox{0, 100 - metrics.height(), w + 2, 100}));

  // One pixel less and the shrunk rectangle no longer holds them: two lines.
  CaptionPlan two = PlanCaption(style, QRect(0, 0, w + 1, 100), word + QLatin1Char(' ') + word);
  ASSERT_EQ(two.lines.size(), 2u);
  EXPECT_EQ(two.measuredHeight, 2 * metrics.height());
  EXPECT_EQ(two.box.top, 100 - 2 * metrics.height());
  EXPECT_EQ(two.lines[0].text, word);
  EXPECT_EQ(two.lines[1].cell.top(), two.lines[0].cell.bottom() + 1);

  // Line breaks in the text start new lines; an empty line still takes its height.
  CaptionPlan breaks = PlanCaption(style, QRect(0, 0, 320, 240), QStringLiteral("a\r\n\nb"));
  ASSERT_EQ(breaks.lines.size(), 3u);
  EXPECT_EQ(breaks.lines[2].text, QStringLiteral("b"));
}

TEST(CaptionLayout, AlignmentUsesTheFullWidth) {
  const QRect rect(0, 0, 320, 240);
  const QString text = QStringLiteral("12:00");
  const int w = static_cast<int>(
      std::ceil(QFontMetricsF(FontFromLogFont(DefaultCaptionFont())).horizontalAdvance(text)));

  CaptionStyle left = Style("", 0, 0, 0);
  EXPECT_EQ(PlanCaption(left, rect, text).lines.at(0).cell.left(), 0);
  CaptionStyle centre = Style("", 0, 1, 0);
  EXPECT_EQ(PlanCaption(centre, rect, text).lines.at(0).cell.left(), (320 - w) / 2);
  CaptionStyle right = Style("", 0, 2, 0);
  const QRect cell = PlanCaption(right, rect, text).lines.at(0).cell;
  EXPECT_EQ(cell.left() + cell.width(), 320);
  // A value from an edited settings file is taken as Left.
  CaptionStyle odd = Style("", 0, 7, 0);
  EXPECT_EQ(PlanCaption(odd, rect, text).lines.at(0).cell.left(), 0);

  // In pixels: the opaque cells of left- and right-aligned text reach the edges.
  for (int32_t halign : {0, 2}) {
    CaptionStyle s = Style("", 0, halign, 0);
    s.background = 0x0000FF;  // red
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    PaintCaptionPlan(PlanCaption(s, rect, text), painter);
    painter.end();
    const int edge = halign == 0 ? 0 : 319;
    const int inside = halign == 0 ? 319 : 0;
    EXPECT_EQ(image.pixelColor(edge, 1), QColor(255, 0, 0)) << "halign " << halign;
    EXPECT_EQ(image.pixelColor(inside, 1), QColor(Qt::white)) << "halign " << halign;
  }
}

TEST(CaptionOutline, SixOffsetsInTheBackgroundThenTheText) {
  CaptionStyle style = Style("", 0, 0, 1);
  style.foreground = 0x00FF00;  // green
  style.background = 0x0000FF;  // red
  CaptionPlan plan = PlanCaption(style, QRect(0, 0, 64, 32), QStringLiteral("."));
  const std::vector<std::pair<int, int>> expected = {{-1, 0}, {-1, 1}, {0, -1},
                                                     {0, 1},  {1, -1}, {1, 0}};
  ASSERT_EQ(plan.passes.size(), 7u);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::make_pair(plan.passes[i].dx, plan.passes[i].dy), expected[i]) << i;
    EXPECT_EQ(plan.passes[i].colour, QColor(255, 0, 0)) << i;
    EXPECT_FALSE(plan.passes[i].fillCells);
  }
  EXPECT_EQ(plan.passes[6].dx, 0);
  EXPECT_EQ(plan.passes[6].dy, 0);
  EXPECT_EQ(plan.passes[6].colour, QColor(0, 255, 0));

  // A one-pixel dot of "text" at (10, 10): outline at left, right, above, below,
  // lower-left and upper-right; none at upper-left or lower-right; dot on top.
  plan.box = {0, 0, 64, 32};
  plan.lines = {CaptionLine{QStringLiteral("."), QRect(10, 10, 1, 1), 10}};
  QImage image(64, 32, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  PaintCaptionPlan(plan, painter,
                   [](QPainter& p, const CaptionLine& line, const CaptionPass& pass) {
                     p.fillRect(line.cell.translated(pass.dx, pass.dy), pass.colour);
                   });
  painter.end();
  const QColor red(255, 0, 0), white(Qt::white);
  EXPECT_EQ(image.pixelColor(10, 10), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(9, 10), red);     // left
  EXPECT_EQ(image.pixelColor(11, 10), red);    // right
  EXPECT_EQ(image.pixelColor(10, 9), red);     // above
  EXPECT_EQ(image.pixelColor(10, 11), red);    // below
  EXPECT_EQ(image.pixelColor(9, 11), red);     // lower-left
  EXPECT_EQ(image.pixelColor(11, 9), red);     // upper-right
  EXPECT_EQ(image.pixelColor(9, 9), white);    // upper-left
  EXPECT_EQ(image.pixelColor(11, 11), white);  // lower-right
}

TEST(CaptionOutline, OpaqueFillsCellsTransparentKeepsThePicture) {
  const QRect rect(0, 0, 200, 40);
  for (int32_t transparent : {0, 1}) {
    CaptionStyle style = Style("", 0, 0, transparent);
    style.background = 0xFF0000;  // blue
    CaptionPlan plan = PlanCaption(style, rect, QStringLiteral("iiii"));
    ASSERT_EQ(plan.passes.size(), transparent ? 7u : 1u);
    QImage image(200, 40, QImage::Format_RGB32);
    image.fill(QColor(0, 128, 0));
    QPainter painter(&image);
    PaintCaptionPlan(plan, painter);
    painter.end();
    int blue = 0, green = 0;
    const QRect cell = plan.lines.at(0).cell;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
      for (int x = cell.left(); x <= cell.right(); ++x) {
        QColor c = image.pixelColor(x, y);
        blue += c == QColor(0, 0, 255);
        green += c == QColor(0, 128, 0);
      }
    if (transparent) {
      EXPECT_GT(green, 0) << "the picture shows between the letters";
    } else {
      EXPECT_EQ(green, 0) << "every cell pixel is painted";
      EXPECT_GT(blue, 0);
    }
    // Outside the cell (and its outline) the picture is untouched.
    EXPECT_EQ(image.pixelColor(199, 39), QColor(0, 128, 0));
  }
}

TEST(CaptionFont, LogFontFieldsMapToTheFont) {
  LogFont lf = DefaultCaptionFont();
  lf.lfHeight = -20;
  lf.lfWeight = 700;
  lf.lfItalic = 1;
  lf.lfUnderline = 1;
  lf.lfStrikeOut = 1;
  std::strcpy(lf.lfFaceName, "DejaVu Serif");
  QFont font = FontFromLogFont(lf);
  EXPECT_EQ(font.pixelSize(), 20);
  EXPECT_EQ(font.weight(), QFont::Bold);
  EXPECT_TRUE(font.italic());
  EXPECT_TRUE(font.underline());
  EXPECT_TRUE(font.strikeOut());
  if (QFontDatabase::families().contains(QStringLiteral("DejaVu Serif"))) {
    EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("DejaVu Serif"));
  }

  // A positive height is the cell height.
  lf.lfHeight = 30;
  EXPECT_NEAR(QFontMetrics(FontFromLogFont(lf)).height(), 30, 1);
  // Zero leaves the size to the default.
  lf.lfHeight = 0;
  EXPECT_EQ(FontFromLogFont(lf).pixelSize(), kDefaultCaptionPixels);

  // And back: what the font chooser returns is stored the same way.
  lf.lfHeight = -17;
  LogFont back = LogFontFromFont(FontFromLogFont(lf));
  EXPECT_EQ(back.lfHeight, -17);
  EXPECT_EQ(back.lfWeight, 700);
  EXPECT_EQ(back.lfItalic, 1);
  EXPECT_EQ(back.lfUnderline, 1);
  EXPECT_EQ(back.lfStrikeOut, 1);
  EXPECT_STREQ(back.lfFaceName, FontFromLogFont(lf).family().toLocal8Bit().constData());
}

TEST(CaptionFont, UnknownOrUnterminatedFaceFallsBackToSansSerif) {
  LogFont lf = DefaultCaptionFont();
  std::strcpy(lf.lfFaceName, "No Such Face On This Machine");
  const QString family = QFontInfo(FontFromLogFont(lf)).family();
  EXPECT_NE(family, QStringLiteral("No Such Face On This Machine"));
  EXPECT_TRUE(QFontDatabase::families().contains(family, Qt::CaseInsensitive))
      << family.toStdString();
  EXPECT_FALSE(QFontDatabase::isFixedPitch(family));
  EXPECT_FALSE(QFontDatabase::families(QFontDatabase::Symbol).contains(family));

  std::memset(lf.lfFaceName, 'X', sizeof lf.lfFaceName);  // no NUL at all
  EXPECT_EQ(QFontInfo(FontFromLogFont(lf)).family(), family);
}

// ---- Burn-in ----

struct Frame {
  BitmapInfoHeader header;
  std::vector<uint8_t> bytes;
  size_t stride = 0;
};

// A bottom-up frame filled with mid grey.
Frame GreyFrame(int width, int height, uint16_t bits) {
  Frame f;
  f.header.biWidth = width;
  f.header.biHeight = height;
  f.header.biBitCount = bits;
  f.stride = static_cast<size_t>(DibStride(width, bits));
  f.bytes.assign(f.stride * height, 0xAB);  // padding keeps 0xAB
  for (int y = 0; y < height; ++y) {
    uint8_t* row = f.bytes.data() + y * f.stride;
    for (int x = 0; x < width; ++x) {
      if (bits == 16) {
        const uint16_t v = (16 << 10) | (16 << 5) | 16;
        row[2 * x] = v & 0xFF;
        row[2 * x + 1] = v >> 8;
      } else {
        const int n = bits / 8;  // 1 (8 bits: an index), 3 or 4
        for (int i = 0; i < std::min(n, 3); ++i) row[n * x + i] = 128;
        if (n == 4) row[n * x + 3] = 0;
      }
    }
  }
  return f;
}

std::shared_ptr<AppState> StateFor(const Frame& f, CaptionStyle style) {
  auto state = MakeAppState();
  const auto* raw = reinterpret_cast<const uint8_t*>(&f.header);
  state->videoFormat.assign(raw, raw + sizeof f.header);
  state->captionStyle = std::make_unique<CaptionStyle>(style);
  state->caption = 1;
  state->burnCaption = &BurnCaption;
  state->quality = 95;
  return state;
}

bool IsGrey(QColor c) {
  return std::abs(c.red() - 128) < 24 && std::abs(c.green() - 128) < 24 &&
         std::abs(c.blue() - 128) < 24;
}

TEST(BurnCaption, LandsAtTheTopOfTheJpegForTopAtEveryDepth) {
  test::Sandbox sandbox;
  const int kWidth = 322;  // 24 bits: rows of 968 bytes, two of them padding
  const int kHeight = 120;
  const int lineHeight = QFontMetrics(FontFromLogFont(DefaultCaptionFont())).height();
  for (uint16_t bits : {16, 24, 32}) {
    SCOPED_TRACE(bits);
    Frame frame = GreyFrame(kWidth, kHeight, bits);
    // Opaque black cells behind the text: the caption box is dark, the rest grey.
    auto state = StateFor(frame, Style("MMMMMMMM", 0, 0, 0));
    const std::string path = (sandbox / ("top" + std::to_string(bits) + ".jpg")).string();
    std::strncpy(state->snapshotPath, path.c_str(), sizeof state->snapshotPath - 1);
    VideoHdr hdr;
    hdr.lpData = frame.bytes.data();
    hdr.dwBufferLength = hdr.dwBytesUsed = static_cast<uint32_t>(frame.bytes.size());
    ASSERT_TRUE(FrameHandler(*state, hdr));

    // Row padding is not picture and stays as it was.
    if (bits == 24) {
      for (int y = 0; y < kHeight; ++y)
        ASSERT_EQ(frame.bytes[y * frame.stride + kWidth * 3], 0xAB) << y;
    }

    QImage jpeg(QString::fromStdString(path));
    ASSERT_FALSE(jpeg.isNull());
    ASSERT_EQ(jpeg.size(), QSize(kWidth, kHeight));
    int darkTop = 0;
    for (int y = 1; y < lineHeight - 1; ++y)
      for (int x = 0; x < 20; ++x) darkTop += jpeg.pixelColor(x, y).lightness() < 60;
    EXPECT_GT(darkTop, 20) << "caption cells at the top";
    for (int y = lineHeight + 4; y < kHeight; ++y)
      for (int x = 0; x < kWidth; x += 7)
        ASSERT_TRUE(IsGrey(jpeg.pixelColor(x, y))) << "(" << x << ", " << y << ")";
  }
}

TEST(BurnCaption, BottomLandsAtTheFirstRowsInMemory) {
  Frame frame = GreyFrame(100, 60, 24);
  auto state = StateFor(frame, Style("MMMM", 2, 0, 0));
  BurnCaption(*state, frame.bytes.data(), frame.bytes.size());
  // Bottom-up: memory row 0 is the picture's bottom row, part of the caption box.
  int black = 0;
  for (int x = 0; x < 20; ++x) black += frame.bytes[3 * x] == 0 && frame.bytes[3 * x + 2] == 0;
  EXPECT_GT(black, 0);
  const uint8_t* lastRow = frame.bytes.data() + 59 * frame.stride;
  for (int x = 0; x < 100 * 3; ++x) ASSERT_EQ(lastRow[x], 128) << x;

  // A top-down frame (negative height) gets it in its last rows instead.
  Frame topDown = GreyFrame(100, 60, 24);
  topDown.header.biHeight = -60;
  auto state2 = StateFor(topDown, Style("MMMM", 2, 0, 0));
  BurnCaption(*state2, topDown.bytes.data(), topDown.bytes.size());
  for (int x = 0; x < 100 * 3; ++x) ASSERT_EQ(topDown.bytes[x], 128) << x;
}

TEST(BurnCaption, LeavesFramesItCannotDrawAlone) {
  // Unsupported depth, short frame, no style, no format: all unchanged.
  Frame eight = GreyFrame(64, 32, 8);
  std::vector<uint8_t> before = eight.bytes;
  BurnCaption(*StateFor(eight, Style("MMMM", 0, 0, 0)), eight.bytes.data(), eight.bytes.size());
  EXPECT_EQ(eight.bytes, before);

  Frame shortFrame = GreyFrame(64, 32, 24);
  before = shortFrame.bytes;
  BurnCaption(*StateFor(shortFrame, Style("MMMM", 0, 0, 0)), shortFrame.bytes.data(),
              shortFrame.bytes.size() - 1);
  EXPECT_EQ(shortFrame.bytes, before);

  auto state = StateFor(shortFrame, Style("MMMM", 0, 0, 0));
  state->captionStyle.reset();
  BurnCaption(*state, shortFrame.bytes.data(), shortFrame.bytes.size());
  EXPECT_EQ(shortFrame.bytes, before);

  auto noFormat = StateFor(shortFrame, Style("MMMM", 0, 0, 0));
  noFormat->videoFormat.clear();
  BurnCaption(*noFormat, shortFrame.bytes.data(), shortFrame.bytes.size());
  EXPECT_EQ(shortFrame.bytes, before);
}

TEST(DrawCaption, NullStyleDrawsNothing) {
  QImage image(50, 20, QImage::Format_RGB32);
  image.fill(Qt::gray);
  const QImage before = image.copy();
  QPainter painter(&image);
  DrawCaption(nullptr, painter, image.rect());
  painter.end();
  EXPECT_EQ(image, before);
}

}  // namespace
}  // namespace snapvane
