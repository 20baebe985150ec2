// The built-in test pattern: formats, orientation and motion.
#include "capture/test_pattern_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>

namespace snapvane {
namespace {

TEST(TestPatternDevice, EveryFormatIsABottomUpDibOfItsOwnSizeAndPicturesMove) {
  TestPatternDevice device;
  EXPECT_TRUE(device.GetVideoFormat().empty()) << "no format before connecting";
  ASSERT_TRUE(device.DriverConnect(0));
  std::set<uint16_t> depths;
  for (const FrameFormat& f : device.SupportedFormats()) {
    ASSERT_TRUE(device.SetFormat(f));
    std::vector<uint8_t> format = device.GetVideoFormat(), frame, next;
    ASSERT_EQ(format.size(), f.bitCount == 8 ? 40u + 1024 : 40u);
    BitmapInfoHeader h;
    std::memcpy(&h, format.data(), sizeof h);
    ASSERT_TRUE(device.GrabPreviewFrame(frame) && device.GrabPreviewFrame(next));
    const int64_t size = DibStride(f.width, f.bitCount) * f.height;
    EXPECT_EQ(std::tuple(h.biWidth, h.biHeight, h.biBitCount, int64_t{h.biSizeImage},
                         int64_t(frame.size())),
              std::tuple(f.width, f.height, f.bitCount, size, size));
    EXPECT_NE(frame, next) << "successive pictures differ";
    depths.insert(f.bitCount);
  }
  EXPECT_EQ(depths, (std::set<uint16_t>{8, 16, 24, 32}));
  EXPECT_FALSE(device.SetFormat({1280, 720, 12}) || device.SetFormat({641, 480, 24}));
}

// The same picture at 24 and 32 bits: each pixel's blue, green and red alike,
// whatever the width (the 24-bit rows are packed several pixels at a time).
TEST(TestPatternDevice, TwentyFourBitFramesHoldTheSamePixelsAsThirtyTwoBitOnes) {
  for (const auto& [w, h] : {std::pair{640, 480}, std::pair{160, 120}}) {
    TestPatternDevice wide, packed;
    ASSERT_TRUE(wide.DriverConnect(0) && packed.DriverConnect(0));
    ASSERT_TRUE(wide.SetFormat({w, h, 32}) && packed.SetFormat({w, h, 24}));
    for (int frame = 0; frame < 3; ++frame) {  // the block and the counter move
      std::vector<uint8_t> a, b;
      ASSERT_TRUE(wide.GrabPreviewFrame(a) && packed.GrabPreviewFrame(b));
      const int64_t stride = DibStride(w, 24);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          ASSERT_EQ(std::memcmp(&a[(int64_t{y} * w + x) * 4], &b[y * stride + x * 3], 3), 0)
              << w << " " << x << "," << y << " frame " << frame;
    }
  }
}

}  // namespace
}  // namespace snapvane
