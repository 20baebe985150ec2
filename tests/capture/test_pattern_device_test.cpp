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

}  // namespace
}  // namespace snapvane
