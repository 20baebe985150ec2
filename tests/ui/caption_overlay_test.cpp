// The caption renderer: text expansion, layout, outline, fonts and burn-in.
#include "capture/caption_overlay.h"

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <clocale>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture_device.h"
#include "capture/frame_handler.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

CaptionStyle Style(const char* text, int32_t valign, int32_t halign, int32_t transparent) {
  CaptionStyle s;
  std::strncpy(s.text, text, sizeof s.text - 1);
  s.valign = valign, s.halign = halign, s.transparent = transparent;
  s.font = DefaultCaptionFont();
  s.foreground = 0xFFFFFF, s.background = 0x000000;
  return s;
}

TEST(CaptionText, DirectivesLiteralsAnd600CharactersCutTo511) {
  const std::string saved = std::setlocale(LC_TIME, nullptr);
  std::setlocale(LC_TIME, "C");
  std::tm t{};  // Sun Dec  6 01:50:28 2026
  t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 6, t.tm_hour = 1, t.tm_min = 50, t.tm_sec = 28;
  t.tm_yday = 339;
  const std::string c = "Sun Dec  6 01:50:28 2026";
  const char unterminated[4] = {'a', 'b', 'c', 'd'};  // read only that far
  EXPECT_EQ(FormatCaptionText(unterminated, sizeof unterminated, t), "abcd");
  for (auto [format, out] : {std::pair<const char*, std::string>{"%c", c},
                             {"%%", "%"},
                             {"100%% at %H:%M, front door", "100% at 01:50, front door"}})
    EXPECT_EQ(FormatCaptionText(format, 256, t), out);
  std::string format, expected;
  for (int i = 0; i < 25; ++i) format += "%c", expected += c;  // 600 characters
  EXPECT_EQ(FormatCaptionText(format.c_str(), format.size() + 1, t), expected.substr(0, 511));
  std::setlocale(LC_TIME, saved.c_str());
}

TEST(CaptionPlan, PlacementWrapAlignmentAndTheOutlinePasses) {
  const QRect rect(0, 0, 320, 240);
  // {valign, height, top}: odd centres and over-tall boxes round toward zero.
  for (auto [valign, h, top] : {std::tuple{0, 13, 0},
                                {1, 13, 113},
                                {2, 13, 227},
                                {3, 13, 1},
                                {-1, 13, 1},
                                {1, 251, -5},
                                {2, 251, -11}})
    EXPECT_EQ(PlaceCaptionBox(rect, valign, h), (CaptionBox{0, top, 320, top + h})) << valign;

  const QFont font = FontFromLogFont(DefaultCaptionFont());
  const int lineHeight = QFontMetrics(font).height();
  const QString two = QStringLiteral("Caption Caption");
  const int w = static_cast<int>(std::ceil(QFontMetricsF(font).horizontalAdvance(two)));
  CaptionPlan one = PlanCaption(Style("", 2, 0, 0), QRect(0, 0, w + 2, 100), two);
  ASSERT_EQ(one.lines.size(), 1u);
  EXPECT_EQ(one.box, (CaptionBox{0, 100 - lineHeight, w + 2, 100}));
  CaptionPlan wrapped = PlanCaption(Style("", 2, 0, 0), QRect(0, 0, w + 1, 100), two);
  ASSERT_EQ(wrapped.lines.size(), 2u);
  EXPECT_EQ(wrapped.box.top, 100 - 2 * lineHeight);

  auto cell = [&](int32_t halign) {
    return PlanCaption(Style("", 0, halign, 0), rect, QStringLiteral("12:00")).lines.at(0).cell;
  };
  EXPECT_EQ(cell(2).right(), 319);
  EXPECT_EQ(cell(7).left(), 0);  // out of range: Left

  // The outline: six offsets in the background, then the text at the seam.
  CaptionStyle style = Style("", 0, 0, 1);
  style.foreground = 0x00FF00;  // green
  style.background = 0x0000FF;  // red
  CaptionPlan plan = PlanCaption(style, QRect(0, 0, 64, 32), QStringLiteral("."));
  ASSERT_EQ(plan.passes.size(), 7u);
  plan.box = {0, 0, 64, 32};
  plan.lines = {CaptionLine{QStringLiteral("."), QRect(10, 10, 1, 1), 10}};
  QImage image(64, 32, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  PaintCaptionPlan(plan, painter, [](QPainter& p, const CaptionLine& l, const CaptionPass& pass) {
    p.fillRect(l.cell.translated(pass.dx, pass.dy), pass.colour);
  });
  painter.end();
  EXPECT_EQ(image.pixelColor(10, 10), QColor(0, 255, 0));  // the text last, on top
  for (auto [x, y] : {std::pair{9, 10}, {11, 10}, {10, 9}, {10, 11}, {9, 11}, {11, 9}})
    EXPECT_EQ(image.pixelColor(x, y), QColor(255, 0, 0)) << x << "," << y;
  EXPECT_EQ(image.pixelColor(9, 9), QColor(Qt::white));    // upper-left
  EXPECT_EQ(image.pixelColor(11, 11), QColor(Qt::white));  // lower-right
}

TEST(CaptionFont, LogFontHeightRulesAndUnknownFaceFallsBackToSansSerif) {
  LogFont lf = DefaultCaptionFont();
  lf.lfHeight = -17;
  EXPECT_EQ(FontFromLogFont(lf).pixelSize(), 17);  // negative: the character height
  EXPECT_EQ(LogFontFromFont(FontFromLogFont(lf)).lfHeight, -17);
  lf.lfHeight = 30;  // positive: the cell height
  EXPECT_NEAR(QFontMetrics(FontFromLogFont(lf)).height(), 30, 1);

  std::strcpy(lf.lfFaceName, "No Such Face On This Machine");
  const QString family = QFontInfo(FontFromLogFont(lf)).family();
  EXPECT_TRUE(QFontDatabase::families().contains(family, Qt::CaseInsensitive));
  EXPECT_FALSE(QFontDatabase::isFixedPitch(family));
  std::memset(lf.lfFaceName, 'X', sizeof lf.lfFaceName);  // no NUL at all
  EXPECT_EQ(QFontInfo(FontFromLogFont(lf)).family(), family);
}

// A grey frame (bottom-up unless height < 0; 24-bit padding 0xAB) and its state.
struct Frame {
  BitmapInfoHeader header;
  std::vector<uint8_t> bytes;
  size_t stride;
  Frame(int width, int height, uint16_t bits) {
    header.biWidth = width, header.biHeight = height, header.biBitCount = bits;
    stride = static_cast<size_t>(DibStride(width, bits));
    bytes.assign(stride * std::abs(height), 128);
    for (size_t i = 0; bits == 16 && i < bytes.size(); i += 2) bytes[i] = 0x10, bytes[i + 1] = 0x42;
    for (int y = 0; bits == 24 && stride > width * 3u && y < std::abs(height); ++y)
      bytes[y * stride + width * 3] = 0xAB;
  }
  FrameView View(size_t shortBy = 0) {
    return FrameView{bytes.data(), bytes.size() - shortBy, *GeometryOfHeader(header)};
  }
};

TEST(BurnCaption, TopLandsAtTheTopOfTheJpegAt16_24_32BitsAndEveryFrameStaysInBounds) {
  test::Sandbox sandbox;
  const int kWidth = 322, kHeight = 120;  // 24 bits: two bytes of row padding
  const int lineHeight = QFontMetrics(FontFromLogFont(DefaultCaptionFont())).height();
  for (uint16_t bits : {16, 24, 32}) {
    SCOPED_TRACE(bits);
    Frame frame(kWidth, kHeight, bits);
    const CaptionStyle style = Style("MMMMMMMM", 0, 0, 0);
    const std::string path = (sandbox / ("top" + std::to_string(bits) + ".jpg")).string();
    ASSERT_TRUE(FrameHandler(frame.View(), path, {95, &style, &BurnCaption}).ok);
    for (int y = 0; bits == 24 && y < kHeight; ++y)
      ASSERT_EQ(frame.bytes[y * frame.stride + kWidth * 3], 0xAB) << "padding is not picture";
    QImage jpeg(QString::fromStdString(path));
    ASSERT_EQ(jpeg.size(), QSize(kWidth, kHeight));
    int darkTop = 0;
    for (int y = 1; y < lineHeight - 1; ++y)
      for (int x = 0; x < 20; ++x) darkTop += jpeg.pixelColor(x, y).lightness() < 60;
    EXPECT_GT(darkTop, 20) << "caption cells at the top";
    for (int y = lineHeight + 4; y < kHeight; ++y)
      for (int x = 0; x < kWidth; x += 7)
        ASSERT_NEAR(jpeg.pixelColor(x, y).lightness(), 128, 24) << x << "," << y;
  }
  // Top-down and undrawable frames.
  Frame topDown(100, -60, 24);  // Bottom lands in the last rows in memory
  BurnCaption(Style("MMMM", 2, 0, 0), topDown.View());
  for (int x = 0; x < 100 * 3; ++x) ASSERT_EQ(topDown.bytes[x], 128) << x;
  int black = 0;
  for (int x = 0; x < 20; ++x) black += topDown.bytes[59 * topDown.stride + 3 * x] == 0;
  EXPECT_GT(black, 0);

  // Frames it cannot draw stay untouched: 8 bits, one byte short.
  for (int c = 0; c < 2; ++c) {
    Frame frame(64, 32, c == 0 ? 8 : 24);
    const std::vector<uint8_t> before = frame.bytes;
    BurnCaption(Style("MMMM", 0, 0, 0), frame.View(c == 1));
    EXPECT_EQ(frame.bytes, before) << c;
  }
}

}  // namespace
}  // namespace snapvane
