// The built-in test pattern: formats, orientation and motion.
#include "capture/test_pattern_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

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
    BitmapInfoHeader h;
    ASSERT_EQ(format.size(), f.bitCount == 8 ? 40u + 1024 : 40u);
    std::memcpy(&h, format.data(), sizeof h);
    EXPECT_EQ(std::tuple(h.biWidth, h.biHeight, h.biBitCount), std::tuple(f.width, f.height, f.bitCount));
    ASSERT_TRUE(device.GrabPreviewFrame(frame) && device.GrabPreviewFrame(next));
    ASSERT_EQ(int64_t(frame.size()), DibStride(f.width, f.bitCount) * f.height);
    EXPECT_EQ(h.biSizeImage, frame.size());
    EXPECT_NE(frame, next) << "successive pictures differ";
    if (f.bitCount == 24) {  // the top of the picture (the last DIB row): the yellow bar
      const uint8_t* p = frame.data() + (f.height - 1) * DibStride(f.width, 24) + f.width * 3 / 16 * 3;
      EXPECT_TRUE(p[0] <= 40 && p[1] >= 220 && p[2] >= 220) << f.width;
    }
    depths.insert(f.bitCount);
  }
  EXPECT_EQ(depths, (std::set<uint16_t>{8, 16, 24, 32}));
  EXPECT_FALSE(device.SetFormat({1280, 720, 12}));
  EXPECT_FALSE(device.SetFormat({641, 480, 24}));
}

}  // namespace
}  // namespace snapvane
