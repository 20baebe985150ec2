// The V4L2 backend against a simulated camera at the ioctl seam.
#include "capture/v4l2_device.h"

#include <gtest/gtest.h>

#include "tests/capture/fake_v4l2.h"

namespace snapvane {
namespace {

using test::FakeV4l2;

struct Captured {
  std::vector<uint8_t> bytes;
  uint32_t bufferLength = 0, bytesUsed = 0;
  int calls = 0;
};

class V4l2DeviceTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeV4l2> fake = std::make_shared<FakeV4l2>();
  V4l2Device device{"/dev/video0", fake};
  Captured got;

  void Register() {
    device.SetFrameCallback([this](const VideoHdr& f) {
      got.bytes.assign(f.lpData, f.lpData + f.dwBytesUsed);
      got.bufferLength = f.dwBufferLength;
      got.bytesUsed = f.dwBytesUsed;
      got.calls++;
    });
  }
  BitmapInfoHeader Header() {
    std::vector<uint8_t> f = device.GetVideoFormat();
    BitmapInfoHeader h;
    EXPECT_EQ(f.size(), sizeof h);
    if (f.size() >= sizeof h) std::memcpy(&h, f.data(), sizeof h);
    return h;
  }
  // The byte value the fake camera wrote into source row y of frame seq.
  static uint8_t RowValue(uint32_t y, uint32_t seq) { return (y * 7 + seq) & 0xff; }
  void TearDown() override { EXPECT_EQ(fake->lastError, ""); }
};

TEST(FindCaptureNode, PicksTheFirstNodeThatCapturesWithStreaming) {
  FakeV4l2 io;
  io.nodes = {{"/dev/video0", V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING},
              {"/dev/video1", V4L2_CAP_VIDEO_CAPTURE},  // read() only
              {"/dev/video3", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING},
              {"/dev/video4", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING}};
  EXPECT_EQ(FindCaptureNode(io), "/dev/video3");
  EXPECT_EQ(io.openFds, 0);
  io.nodes.erase("/dev/video3");
  io.nodes.erase("/dev/video4");
  EXPECT_EQ(FindCaptureNode(io), "");
}

TEST_F(V4l2DeviceTest, NegotiatesBgr24AtTheCameraSizeAndReportsABottomUpFormat) {
  fake->width = 1280, fake->height = 720;
  EXPECT_TRUE(device.GetVideoFormat().empty());  // nothing before connecting
  CapDriverCaps caps;
  EXPECT_FALSE(device.GetDriverCaps(&caps));
  ASSERT_TRUE(device.DriverConnect(0));
  BitmapInfoHeader h = Header();
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 1280);
  EXPECT_EQ(h.biHeight, 720);  // positive: rows bottom-up
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 1280u * 3 * 720);
  EXPECT_EQ(device.Name(), "Fake Camera");
  ASSERT_TRUE(device.GetDriverCaps(&caps));
  EXPECT_EQ(caps.fHasDlgVideoSource, 0u);  // no controls: no source dialog
  EXPECT_EQ(caps.fHasDlgVideoFormat, 1u);
  EXPECT_EQ(caps.fHasDlgVideoDisplay, 1u);
  EXPECT_FALSE(device.DriverConnect(1));

  V4l2Device yuyvOnly("/dev/video0", fake);
  fake->offersBgr24 = false;
  EXPECT_FALSE(yuyvOnly.DriverConnect(0));
  EXPECT_TRUE(yuyvOnly.GetVideoFormat().empty());
  EXPECT_FALSE(yuyvOnly.SingleFrameOpen());
}

TEST_F(V4l2DeviceTest, SingleFrameIsFlippedBottomUpWithoutTheDriversRowPadding) {
  fake->width = 322, fake->height = 240;  // 966-byte rows pad to 968 in a DIB
  fake->sizes = {{322, 240}};
  fake->linePad = 10;
  ASSERT_TRUE(device.DriverConnect(0));
  ASSERT_TRUE(device.SingleFrameOpen());
  Register();
  ASSERT_TRUE(device.SingleFrame());
  ASSERT_EQ(got.calls, 1);
  const size_t stride = 968;
  ASSERT_EQ(got.bufferLength, stride * 240);
  EXPECT_EQ(got.bytesUsed, got.bufferLength);
  uint32_t seq = fake->sequence - 1;  // the newest frame taken
  for (uint32_t row : {0u, 1u, 120u, 239u}) {
    const uint8_t* r = got.bytes.data() + row * stride;
    uint8_t want = RowValue(239 - row, seq);
    EXPECT_EQ(r[0], want) << "DIB row " << row;
    EXPECT_EQ(r[965], want) << "DIB row " << row;
    EXPECT_EQ(r[966], 0) << "row padding is zero, not the driver's";
    EXPECT_EQ(r[967], 0);
  }
  EXPECT_TRUE(device.SingleFrameClose());
}

TEST_F(V4l2DeviceTest, SingleFrameSkipsStaleBrokenAndShortFrames) {
  ASSERT_TRUE(device.DriverConnect(0));
  ASSERT_TRUE(device.SingleFrameOpen());
  fake->Produce(3);  // taken while nobody fetched: stale by now
  uint32_t stale = fake->sequence;
  Register();
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_GE(got.bytes[(479) * 1920], RowValue(0, stale)) << "a stale frame was delivered";

  got = {};
  uint32_t before = fake->sequence;
  // The drain takes one frame; the next two taken are broken, the third is good.
  fake->faults = {{}, {V4L2_BUF_FLAG_ERROR, false}, {0, true}, {}};
  ASSERT_TRUE(device.SingleFrame());
  ASSERT_EQ(got.calls, 1);
  EXPECT_EQ(got.bytes[479 * 1920], RowValue(0, before + 3));

  fake->autoProduce = false;  // the camera delivers nothing in time
  device.SetFrameWait(1);
  EXPECT_FALSE(device.SingleFrame());
  EXPECT_EQ(got.calls, 1);
  EXPECT_TRUE(device.SingleFrameClose());
}

TEST_F(V4l2DeviceTest, StreamsOnlyWhilePreviewOrCaptureNeedsItAndGivesEveryBufferBack) {
  ASSERT_TRUE(device.DriverConnect(0));
  EXPECT_FALSE(device.Streaming());
  std::vector<uint8_t> frame;
  EXPECT_FALSE(device.GrabPreviewFrame(frame)) << "preview is off";

  device.SetPreview(true);
  EXPECT_TRUE(device.Streaming());
  EXPECT_EQ(fake->Mapped(), kV4l2BufferCount);
  fake->Produce(2);                  // more than one ready: the newest is shown
  uint32_t newest = fake->sequence;  // the wait takes one more
  ASSERT_TRUE(device.GrabPreviewFrame(frame));
  ASSERT_EQ(frame.size(), 1920u * 480);
  EXPECT_EQ(frame[479 * 1920], RowValue(0, newest));
  EXPECT_EQ(fake->queued.size(), static_cast<size_t>(kV4l2BufferCount));

  // A capture while previewing keeps the stream; closing it too.
  ASSERT_TRUE(device.SingleFrameOpen());
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_TRUE(device.SingleFrameClose());
  EXPECT_TRUE(device.Streaming());
  EXPECT_EQ(fake->streamOns, 1);
  EXPECT_EQ(fake->queued.size(), static_cast<size_t>(kV4l2BufferCount));

  device.SetPreview(false);
  EXPECT_FALSE(device.Streaming());
  EXPECT_EQ(fake->Mapped(), 0);
  EXPECT_TRUE(fake->bufs.empty()) << "buffers released with REQBUFS 0";

  ASSERT_TRUE(device.SingleFrameOpen());
  EXPECT_TRUE(device.Streaming());
  EXPECT_TRUE(device.SingleFrameClose());
  EXPECT_FALSE(device.Streaming());
  EXPECT_FALSE(device.SingleFrameClose()) << "closing what is not open";
}

TEST_F(V4l2DeviceTest, ADeviceThatVanishesMidStreamFailsCleanlyAndReconnectsLater) {
  ASSERT_TRUE(device.DriverConnect(0));
  device.SetPreview(true);
  std::vector<uint8_t> frame;
  ASSERT_TRUE(device.GrabPreviewFrame(frame));
  ASSERT_TRUE(device.SingleFrameOpen());

  fake->gone = true;  // unplugged
  Register();
  EXPECT_FALSE(device.SingleFrame());
  EXPECT_EQ(got.calls, 0);
  EXPECT_TRUE(device.Lost());
  EXPECT_EQ(fake->openFds, 0) << "the descriptor is closed";
  EXPECT_EQ(fake->Mapped(), 0) << "the buffers are unmapped";
  EXPECT_TRUE(device.SingleFrameClose());
  EXPECT_FALSE(device.GrabPreviewFrame(frame));
  EXPECT_FALSE(device.SingleFrameOpen()) << "still gone";
  EXPECT_EQ(Header().biWidth, 640) << "the format on record stays";

  fake->gone = false;  // plugged in again
  ASSERT_TRUE(device.SingleFrameOpen());
  EXPECT_FALSE(device.Lost());
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_EQ(got.calls, 1);
  EXPECT_TRUE(device.SingleFrameClose());
  EXPECT_TRUE(device.Streaming()) << "the preview is still wanted";

  // Back at another size its frames would not match the format on record.
  ASSERT_TRUE(device.SingleFrameOpen());
  fake->gone = true;
  EXPECT_FALSE(device.SingleFrame());
  device.SingleFrameClose();
  fake->gone = false;
  fake->sizes = {{320, 240}};
  EXPECT_FALSE(device.SingleFrameOpen());
  EXPECT_EQ(Header().biWidth, 640);
  EXPECT_EQ(fake->openFds, 0);
}

TEST_F(V4l2DeviceTest, SetFormatRenegotiatesAndRestartsTheStream) {
  ASSERT_TRUE(device.DriverConnect(0));
  device.SetPreview(true);
  ASSERT_TRUE(device.SetFormat({1280, 720, 24}));
  EXPECT_EQ(Header().biWidth, 1280);
  EXPECT_EQ(Header().biHeight, 720);
  EXPECT_TRUE(device.Streaming());
  std::vector<uint8_t> frame;
  ASSERT_TRUE(device.GrabPreviewFrame(frame));
  EXPECT_EQ(frame.size(), 1280u * 3 * 720);
  EXPECT_FALSE(device.SetFormat({640, 480, 32})) << "only 24 bits come from libv4l2";
  EXPECT_EQ(Header().biBitCount, 24);
}

TEST_F(V4l2DeviceTest, ControlsSkipDisabledOnesAndTheSourceDialogFollowsThem) {
  fake->AddControl(V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, 128);
  fake->AddControl(V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_TYPE_INTEGER, 9,
                   V4L2_CTRL_FLAG_DISABLED);
  fake->AddControl(V4L2_CID_AUTOGAIN, "Auto Gain", V4L2_CTRL_TYPE_BOOLEAN, 1);
  ASSERT_TRUE(device.DriverConnect(0));
  std::vector<DeviceControl> c = device.Controls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].name, "Brightness");
  EXPECT_EQ(c[0].value, 128);
  EXPECT_EQ(c[1].kind, DeviceControl::Kind::kBoolean);
  CapDriverCaps caps;
  ASSERT_TRUE(device.GetDriverCaps(&caps));
  EXPECT_EQ(caps.fHasDlgVideoSource, 1u);
}

}  // namespace
}  // namespace snapvane
