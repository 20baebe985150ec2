// The caption renderer: text expansion, placement, outline, fonts and burn-in.
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

#include "app/app_state.h"
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
  EXPECT_EQ(FormatCaptionText("%c", 256, t), c);
  EXPECT_EQ(FormatCaptionText("%%", 256, t), "%");
  EXPECT_EQ(FormatCaptionText("100%% at %H:%M, front door", 256, t), "100% at 01:50, front door");
  const char unterminated[4] = {'a', 'b', 'c', 'd'};  // read only that far
  EXPECT_EQ(FormatCaptionText(unterminated, sizeof unterminated, t), "abcd");
  std::string format, expected;
  for (int i = 0; i < 25; ++i) format += "%c", expected += c;  // 600 characters
  EXPECT_EQ(FormatCaptionText(format.c_str(), format.size() + 1, t), expected.substr(0, 511));
  std::setlocale(LC_TIME, saved.c_str());
}

TEST(CaptionPlacement, TopCentreBottomOddAndOverTall) {
  const QRect rect(0, 0, 320, 240);
  EXPECT_EQ(PlaceCaptionBox(rect, 0, 13), (CaptionBox{0, 0, 320, 13}));
  EXPECT_EQ(PlaceCaptionBox(rect, 1, 13), (CaptionBox{0, 113, 320, 126}));
  EXPECT_EQ(PlaceCaptionBox(rect, 2, 13), (CaptionBox{0, 227, 320, 240}));
  EXPECT_EQ(PlaceCaptionBox(rect, 3, 13), (CaptionBox{0, 1, 320, 14}));  // measured box
  EXPECT_EQ(PlaceCaptionBox(rect, -1, 13), (CaptionBox{0, 1, 320, 14}));
  EXPECT_EQ(PlaceCaptionBox(rect, 1, 251).top, -5);  // toward zero
  EXPECT_EQ(PlaceCaptionBox(rect, 2, 251).top, -11);
}

TEST(CaptionLayout, WrapWithinShrunkWidthAndAlignWithinFullWidth) {
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

  const QRect rect(0, 0, 320, 240);
  const QString text = QStringLiteral("12:00");
  auto left = [&](int32_t halign) {
    return PlanCaption(Style("", 0, halign, 0), rect, text).lines.at(0).cell.left();
  };
  EXPECT_EQ(left(0), 0);
  EXPECT_EQ(left(2) + PlanCaption(Style("", 0, 2, 0), rect, text).lines[0].cell.width(), 320);
  EXPECT_EQ(left(7), 0);  // out of range: Left
}

TEST(CaptionOutline, SixOffsetsInTheBackgroundThenTheTextAtTheSeam) {
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
  const QColor red(255, 0, 0), white(Qt::white);
  EXPECT_EQ(image.pixelColor(10, 10), QColor(0, 255, 0));  // the text last, on top
  const std::pair<int, int> outline[] = {{9, 10}, {11, 10}, {10, 9}, {10, 11}, {9, 11}, {11, 9}};
  for (auto [x, y] : outline)
    EXPECT_EQ(image.pixelColor(x, y), red) << x << "," << y;
  EXPECT_EQ(image.pixelColor(9, 9), white);    // upper-left
  EXPECT_EQ(image.pixelColor(11, 11), white);  // lower-right
}

TEST(CaptionFont, LogFontHeightRulesAndUnknownFaceFallsBackToSansSerif) {
  LogFont lf = DefaultCaptionFont();
  lf.lfHeight = -17, lf.lfWeight = 700;
  EXPECT_EQ(FontFromLogFont(lf).pixelSize(), 17);  // negative: the character height
  EXPECT_TRUE(FontFromLogFont(lf).bold());
  EXPECT_EQ(LogFontFromFont(FontFromLogFont(lf)).lfHeight, -17);
  lf.lfHeight = 30;  // positive: the cell height
  EXPECT_NEAR(QFontMetrics(FontFromLogFont(lf)).height(), 30, 1);

  std::strcpy(lf.lfFaceName, "No Such Face On This Machine");
  const QString family = QFontInfo(FontFromLogFont(lf)).family();
  EXPECT_TRUE(QFontDatabase::families().contains(family, Qt::CaseInsensitive));
  EXPECT_FALSE(QFontDatabase::isFixedPitch(family));
  EXPECT_FALSE(QFontDatabase::families(QFontDatabase::Symbol).contains(family));
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
  std::shared_ptr<AppState> State(CaptionStyle style) const {
    auto state = MakeAppState();
    const auto* raw = reinterpret_cast<const uint8_t*>(&header);
    state->videoFormat.assign(raw, raw + sizeof header);
    state->captionStyle = std::make_unique<CaptionStyle>(style);
    state->caption = 1, state->burnCaption = &BurnCaption, state->quality = 95;
    return state;
  }
};

TEST(BurnCaption, LandsAtTheTopOfTheJpegForTopAt16_24_32Bits) {
  test::Sandbox sandbox;
  const int kWidth = 322, kHeight = 120;  // 24 bits: two bytes of row padding
  const int lineHeight = QFontMetrics(FontFromLogFont(DefaultCaptionFont())).height();
  for (uint16_t bits : {16, 24, 32}) {
    SCOPED_TRACE(bits);
    Frame frame(kWidth, kHeight, bits);
    auto state = frame.State(Style("MMMMMMMM", 0, 0, 0));
    const std::string path = (sandbox / ("top" + std::to_string(bits) + ".jpg")).string();
    std::strncpy(state->snapshotPath, path.c_str(), sizeof state->snapshotPath - 1);
    VideoHdr hdr;
    hdr.lpData = frame.bytes.data();
    hdr.dwBufferLength = hdr.dwBytesUsed = static_cast<uint32_t>(frame.bytes.size());
    ASSERT_TRUE(FrameHandler(*state, hdr));
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
}

TEST(BurnCaption, TopDownFramesAndFramesItCannotDrawStayInBounds) {
  Frame topDown(100, -60, 24);  // Bottom lands in the last rows in memory
  BurnCaption(*topDown.State(Style("MMMM", 2, 0, 0)), topDown.bytes.data(), topDown.bytes.size());
  for (int x = 0; x < 100 * 3; ++x) ASSERT_EQ(topDown.bytes[x], 128) << x;
  int black = 0;
  for (int x = 0; x < 20; ++x) black += topDown.bytes[59 * topDown.stride + 3 * x] == 0;
  EXPECT_GT(black, 0);

  Frame eight(64, 32, 8), shortFrame(64, 32, 24);
  const std::vector<uint8_t> eightBefore = eight.bytes, before = shortFrame.bytes;
  BurnCaption(*eight.State(Style("MMMM", 0, 0, 0)), eight.bytes.data(), eight.bytes.size());
  EXPECT_EQ(eight.bytes, eightBefore);
  auto state = shortFrame.State(Style("MMMM", 0, 0, 0));
  BurnCaption(*state, shortFrame.bytes.data(), shortFrame.bytes.size() - 1);
  EXPECT_EQ(shortFrame.bytes, before);
  state->videoFormat.clear();
  BurnCaption(*state, shortFrame.bytes.data(), shortFrame.bytes.size());
  EXPECT_EQ(shortFrame.bytes, before);
}

}  // namespace
}  // namespace snapvane
