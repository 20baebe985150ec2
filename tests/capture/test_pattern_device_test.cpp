// The built-in test pattern: formats, orientation, motion and injected faults.
#include "capture/test_pattern_device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace snapvane {
namespace {

BitmapInfoHeader HeaderOf(const std::vector<uint8_t>& f) {
  BitmapInfoHeader h;
  if (f.size() >= sizeof h) std::memcpy(&h, f.data(), sizeof h);
  return h;
}

// Blue, green, red of pixel x in DIB row (0 = bottom row of the picture).
std::array<int, 3> Pixel(const std::vector<uint8_t>& format, const std::vector<uint8_t>& frame,
                         int x, int row) {
  BitmapInfoHeader h = HeaderOf(format);
  const uint8_t* p = frame.data() + row * DibStride(h.biWidth, h.biBitCount);
  switch (h.biBitCount) {
    case 8: {
      const uint8_t* q = format.data() + sizeof h + p[x] * 4;
      return {q[0], q[1], q[2]};
    }
    case 16: {
      int v = p[2 * x] | (p[2 * x + 1] << 8);
      return {(v & 31) * 255 / 31, ((v >> 5) & 31) * 255 / 31, ((v >> 10) & 31) * 255 / 31};
    }
    case 24:
      return {p[3 * x], p[3 * x + 1], p[3 * x + 2]};
    default:
      return {p[4 * x], p[4 * x + 1], p[4 * x + 2]};
  }
}

TEST(TestPatternDevice, EveryFormatIsABottomUpDibOfItsOwnSize) {
  TestPatternDevice device;
  EXPECT_TRUE(device.GetVideoFormat().empty()) << "no format before connecting";
  ASSERT_TRUE(device.DriverConnect(0));
  int sizes = 0;
  for (const FrameFormat& f : device.SupportedFormats()) {
    ASSERT_TRUE(device.SetFormat(f));
    std::vector<uint8_t> format = device.GetVideoFormat();
    BitmapInfoHeader h = HeaderOf(format);
    EXPECT_EQ(h.biWidth, f.width);
    EXPECT_EQ(h.biHeight, f.height);
    EXPECT_EQ(h.biBitCount, f.bitCount);
    EXPECT_EQ(format.size(), f.bitCount == 8 ? 40u + 1024 : 40u);
    std::vector<uint8_t> frame;
    ASSERT_TRUE(device.GrabPreviewFrame(frame));
    ASSERT_EQ(static_cast<int64_t>(frame.size()), DibStride(f.width, f.bitCount) * f.height);
    EXPECT_EQ(h.biSizeImage, frame.size());
    // Top of the picture (the last DIB row): the yellow bar; bottom: a grey ramp
    // running from black on the left to white on the right.
    auto yellow = Pixel(format, frame, f.width * 3 / 16, f.height - 1);
    EXPECT_GE(yellow[1], 220) << f.width << "x" << f.height << "x" << f.bitCount;
    EXPECT_GE(yellow[2], 220);
    EXPECT_LE(yellow[0], 40);
    EXPECT_LE(Pixel(format, frame, 0, 0)[1], 40);
    EXPECT_GE(Pixel(format, frame, f.width - 1, 0)[1], 220);
    sizes += f.bitCount == 24;
  }
  EXPECT_GE(sizes, 3);
  EXPECT_TRUE(device.SetFormat({1280, 720, 24}));
  EXPECT_FALSE(device.SetFormat({1280, 720, 12}));
  EXPECT_FALSE(device.SetFormat({641, 480, 24}));
  EXPECT_EQ(HeaderOf(device.GetVideoFormat()).biWidth, 1280);
}

TEST(TestPatternDevice, SuccessivePicturesDiffer) {
  TestPatternDevice device;
  ASSERT_TRUE(device.DriverConnect(0));
  std::vector<uint8_t> a, b, c;
  ASSERT_TRUE(device.GrabPreviewFrame(a));
  ASSERT_TRUE(device.GrabPreviewFrame(b));
  EXPECT_NE(a, b);
  // Without the counter the block still moves.
  ASSERT_TRUE(device.SetControl(TestPatternDevice::kCounterControl, 0));
  ASSERT_TRUE(device.GrabPreviewFrame(a));
  ASSERT_TRUE(device.GrabPreviewFrame(b));
  EXPECT_NE(a, b);
  // Without either, two pictures are the same; the pattern choice changes them.
  ASSERT_TRUE(device.SetControl(TestPatternDevice::kMovingBlockControl, 0));
  ASSERT_TRUE(device.GrabPreviewFrame(a));
  ASSERT_TRUE(device.GrabPreviewFrame(b));
  EXPECT_EQ(a, b);
  ASSERT_TRUE(device.SetControl(TestPatternDevice::kPatternControl, 2));
  ASSERT_TRUE(device.GrabPreviewFrame(c));
  EXPECT_NE(b, c);
  EXPECT_EQ(device.Controls()[0].value, 2);
}

TEST(TestPatternDevice, SingleFrameStepsAndTheirInjectedFailures) {
  TestPatternDevice device;
  EXPECT_FALSE(device.SingleFrameOpen()) << "not connected";
  ASSERT_TRUE(device.DriverConnect(0));
  int frames = 0;
  device.SetFrameCallback([&](const VideoHdr& f) {
    ++frames;
    EXPECT_EQ(f.dwBytesUsed, f.dwBufferLength);
  });
  EXPECT_FALSE(device.SingleFrame()) << "frame before open";
  ASSERT_TRUE(device.SingleFrameOpen());
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_TRUE(device.SingleFrameClose());
  EXPECT_EQ(frames, 1);

  device.SetStepFails(TestPatternDevice::Step::kOpen, true);
  EXPECT_FALSE(device.SingleFrameOpen());
  device.SetStepFails(TestPatternDevice::Step::kOpen, false);
  device.SetStepFails(TestPatternDevice::Step::kFrame, true);
  ASSERT_TRUE(device.SingleFrameOpen());
  EXPECT_FALSE(device.SingleFrame());
  EXPECT_EQ(frames, 1) << "a failed frame step delivers nothing";
  device.SetStepFails(TestPatternDevice::Step::kClose, true);
  EXPECT_FALSE(device.SingleFrameClose());

  device.SetReportsNoFormat(true);
  EXPECT_TRUE(device.GetVideoFormat().empty());
  EXPECT_FALSE(device.SingleFrameOpen());
}

TEST(TestPatternDevice, ShortFramesAndAHandlerThatRemovesItself) {
  TestPatternDevice device;
  ASSERT_TRUE(device.DriverConnect(0));
  device.SetShortFrames(true);
  // The stored callback owns a large capture; it is destroyed while it runs.
  auto big = std::make_shared<std::vector<uint8_t>>(1 << 20, 7);
  uint32_t used = 0, length = 0;
  device.SetFrameCallback([&device, big, &used, &length](const VideoHdr& f) {
    device.SetFrameCallback(nullptr);
    used = f.dwBytesUsed;
    length = f.dwBufferLength;
    EXPECT_EQ((*big)[12345], 7);
  });
  big.reset();
  ASSERT_TRUE(device.SingleFrameOpen());
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_GT(used, 0u);
  EXPECT_LT(used, length);
  used = 0;
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_EQ(used, 0u) << "the handler removed itself";
}

TEST(TestPatternDevice, EnvironmentChoosesFormatAndFailures) {
  EXPECT_EQ(ParseFrameFormat("640x480x24"), (FrameFormat{640, 480, 24}));
  EXPECT_EQ(ParseFrameFormat("1280X720x8"), (FrameFormat{1280, 720, 8}));
  for (const char* bad : {"", "640x480", "640x480x", "x480x24", "640x480x24x", "-640x480x24",
                          "640x480x64", "640 x480x24"})
    EXPECT_FALSE(ParseFrameFormat(bad)) << bad;

  setenv("SNAPVANE_PATTERN_FORMAT", "320x240x16", 1);
  setenv("SNAPVANE_PATTERN_FAIL", "frame,close", 1);
  auto device = TestPatternDevice::FromEnvironment();
  unsetenv("SNAPVANE_PATTERN_FORMAT");
  unsetenv("SNAPVANE_PATTERN_FAIL");
  ASSERT_TRUE(device->DriverConnect(0));
  BitmapInfoHeader h = HeaderOf(device->GetVideoFormat());
  EXPECT_EQ(h.biWidth, 320);
  EXPECT_EQ(h.biBitCount, 16);
  EXPECT_TRUE(device->SingleFrameOpen());
  EXPECT_FALSE(device->SingleFrame());
  EXPECT_FALSE(device->SingleFrameClose());
}

TEST(OpenDefaultCaptureDevice, PatternOnRequest) {
  setenv("SNAPVANE_CAPTURE", "pattern", 1);
  auto device = OpenDefaultCaptureDevice();
  unsetenv("SNAPVANE_CAPTURE");
  EXPECT_NE(dynamic_cast<TestPatternDevice*>(device.get()), nullptr);
}

}  // namespace
}  // namespace snapvane
