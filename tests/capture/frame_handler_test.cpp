// Frame conversion and the frame handler: depths, byte and row order, stride,
// short frames, and the JPEG decoded back.
#include "capture/frame_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "tests/capture/jpeg_decode.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using Bytes = std::vector<uint8_t>;

BitmapInfoHeader Header(int32_t width, int32_t height, uint16_t bits) {
  BitmapInfoHeader h;
  return h.biWidth = width, h.biHeight = height, h.biBitCount = bits, h;
}

// A bottom-up DIB whose picture rows (counted from the top) are filled by pixel(x, y).
Bytes MakeFrame(const BitmapInfoHeader& h, const std::function<Bytes(int, int)>& pixel) {
  const size_t stride = static_cast<size_t>(DibStride(h.biWidth, h.biBitCount));
  Bytes frame(stride * h.biHeight, 0xEE);  // padding gets a marker
  for (int y = 0; y < h.biHeight; ++y)
    for (int x = 0; x < h.biWidth; ++x) {
      Bytes p = pixel(x, y);
      if (!p.empty())
        std::memcpy(frame.data() + stride * (h.biHeight - 1 - y) + x * p.size(), p.data(),
                    p.size());
    }
  return frame;
}

// The view of frame the header describes (a negative height: top-down rows), for
// any depth, usable or not.
FrameView View(const BitmapInfoHeader& h, Bytes& frame) {
  const FrameGeometry g{h.biWidth, std::abs(h.biHeight), h.biBitCount,
                        DibStride(h.biWidth, h.biBitCount),
                        h.biHeight < 0 ? RowOrder::kTopDown : RowOrder::kBottomUp};
  return FrameView{frame.data(), frame.size(), g};
}

Bytes Convert(const BitmapInfoHeader& h, Bytes frame, bool expectConverted = true) {
  Bytes rgb(static_cast<size_t>(h.biWidth) * std::abs(h.biHeight) * 3, 0x55);
  EXPECT_EQ(ConvertFrameToRgb(View(h, frame), rgb.data()), expectConverted);
  return rgb;
}

TEST(ConvertFrameToRgb, SixteenBitWordsSpreadFiveBitsAndIgnoreTheTopBit) {
  Bytes frame;
  for (uint16_t w : {0x7FFF, 0x0000, 0x7C00, 0x8000, 0x03E0, 0x001F})
    frame.insert(frame.end(), {uint8_t(w & 0xFF), uint8_t(w >> 8)});
  EXPECT_EQ(Convert(Header(6, 1, 16), frame),
            (Bytes{251, 251, 251, 3, 3, 3, 251, 3, 3, 3, 3, 3, 3, 251, 3, 3, 3, 251}));
}

TEST(ConvertFrameToRgb, BgrBottomUpRowsComeOutRgbTopDownAndPackedAtAnyWidth) {
  // Widths around the fast path's multi-pixel steps, and 322 whose rows are padded.
  for (uint16_t bits : {24, 32})
    for (int32_t width : {1, 5, 7, 12, 13, 17, 322, 333}) {
      auto rgbAt = [](int x, int y) {
        return Bytes{uint8_t(x * 7 + 1), uint8_t(y + x / 256), uint8_t(x)};
      };
      const BitmapInfoHeader h = Header(width, 3, bits);
      Bytes rgb = Convert(h, MakeFrame(h, [&](int x, int y) {
                            Bytes p = rgbAt(x, y);
                            std::reverse(p.begin(), p.end()), p.resize(bits / 8, 0xCC);
                            return p;
                          }));
      for (int i = 0; i < width * 3; ++i)
        ASSERT_EQ(Bytes(&rgb[i * 3], &rgb[i * 3 + 3]), rgbAt(i % width, i / width))
            << bits << " bits, width " << width << ", pixel " << i;
    }
  // A negative height is a top-down frame: rows stay in memory order.
  Bytes frame = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2};  // 1 px: 3 bytes + pad
  EXPECT_EQ(Convert(Header(1, 3, 24), frame), (Bytes{2, 2, 2, 1, 1, 1, 0, 0, 0}));
  EXPECT_EQ(Convert(Header(1, -3, 24), frame), (Bytes{0, 0, 0, 1, 1, 1, 2, 2, 2}));
}

TEST(ConvertFrameToRgb, ShortFramesAreNeverReadPastTheirEndAndOtherDepthsAreBlack) {
  // 3x3 at stride 12: the bottom row and the pixels (not the padding) of the middle one.
  Bytes want(27, 200);
  std::fill_n(want.begin(), 9, 0);
  EXPECT_EQ(Convert(Header(3, 3, 24), Bytes(21, 200)), want);
  Bytes oneShort = Convert(Header(3, 3, 24), Bytes(20, 200));
  EXPECT_EQ(Bytes(oneShort.begin(), oneShort.begin() + 18), Bytes(18, 0));
  for (uint16_t bits : {1, 2, 4, 8, 15, 0})
    EXPECT_EQ(Convert(Header(4, 2, bits), Bytes(64, 0xAB), false), Bytes(24, 0)) << bits;
}

TEST(FrameHandler, AFrameBecomesAnUprightJpegOfItsSizeAndEightBitsBlackWithABeep) {
  test::Sandbox box;
  const std::string path = (box / "snap.jpg").string();
  for (uint16_t bits : {24, 8, 1}) {
    const BitmapInfoHeader h = Header(322, 240, bits);
    // Top half red, bottom half blue (8 and 1 bits: no colours).
    Bytes frame = MakeFrame(h, [&](int, int y) {
      return bits != 24 ? Bytes{} : y < 120 ? Bytes{0, 0, 255} : Bytes{255, 0, 0};
    });
    const CaptureResult r = FrameHandler(View(h, frame), path, {75});
    ASSERT_TRUE(r.ok) << bits;
    EXPECT_TRUE(r.errors.empty());
    test::DecodedJpeg jpeg = test::DecodeJpegFile(path);
    ASSERT_TRUE(jpeg.ok) << bits;
    EXPECT_EQ(std::tuple(jpeg.width, jpeg.height, jpeg.components), std::tuple(322, 240, 3));
    const int c = bits == 24 ? 255 : 0, tolerance = bits == 24 ? 24 : 4;
    EXPECT_TRUE(test::Near(jpeg.At(10, 10), c, 0, 0, tolerance)) << bits;
    EXPECT_TRUE(test::Near(jpeg.At(300, 230), 0, 0, c, tolerance)) << bits;
    EXPECT_EQ(r.beep, bits == 8) << "8 bits beep, 1 bit is silent";
  }
}

}  // namespace
}  // namespace snapvane
