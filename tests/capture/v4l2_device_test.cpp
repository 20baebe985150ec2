// The V4L2 backend against a simulated camera at the ioctl seam.
#include "capture/v4l2_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "capture/capture_control.h"
#include "tests/capture/fake_v4l2.h"

namespace snapvane {
namespace {

class V4l2DeviceTest : public ::testing::Test {
 protected:
  std::shared_ptr<test::FakeV4l2> fake = std::make_shared<test::FakeV4l2>();
  V4l2Device device{"/dev/video0", fake};
  std::vector<uint8_t> got;  // the last frame delivered
  int calls = 0;

  V4l2DeviceTest() {
    device.SetFrameCallback([this](const VideoHdr& f) {
      EXPECT_EQ(f.dwBytesUsed, f.dwBufferLength);
      got.assign(f.lpData, f.lpData + f.dwBytesUsed), ++calls;
    });
  }
  BitmapInfoHeader Header() {
    std::vector<uint8_t> f = device.GetVideoFormat();
    BitmapInfoHeader h;
    return std::memcpy(&h, f.data(), std::min(f.size(), sizeof h)), h;
  }
  // The byte value the fake camera wrote into source row y of frame seq.
  static uint8_t RowValue(uint32_t y, uint32_t seq) { return (y * 7 + seq) & 0xff; }
  void TearDown() override { EXPECT_EQ(fake->lastError, ""); }
};

// One frame in the camera's row order without the driver's row padding; stale,
// broken and short frames are skipped, and a camera that delivers nothing times out.
TEST_F(V4l2DeviceTest, SingleFrameKeepsRowOrderDropsPaddingAndSkipsBadFrames) {
  fake->sizes = {{322, 240}}, fake->linePad = 10;  // 966-byte rows pad to 968 in a DIB
  ASSERT_TRUE(device.DriverConnect(0));
  EXPECT_EQ(device.FrameRowOrder(), RowOrder::kTopDown);
  ASSERT_TRUE(device.SingleFrameOpen());
  ASSERT_TRUE(device.SingleFrame());
  ASSERT_EQ(got.size(), 968u * 240);
  for (uint32_t row : {0u, 1u, 120u, 239u}) {
    const uint8_t want = RowValue(row, fake->sequence - 1), *r = &got[row * 968];
    EXPECT_EQ(std::tuple(r[0], r[965], r[966], r[967]), std::tuple(want, want, 0, 0)) << row;
  }

  fake->Produce(3);  // taken while nobody fetched: stale by now
  const uint32_t stale = fake->sequence;
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_GE(got[0], RowValue(0, stale)) << "a stale frame was delivered";
  // The drain takes one frame; the next two taken are broken, the third is good.
  const uint32_t before = fake->sequence;
  fake->faults = {0, V4L2_BUF_FLAG_ERROR, test::FakeV4l2::kShort, 0};
  ASSERT_TRUE(device.SingleFrame());
  EXPECT_EQ(std::pair(calls, got[0]), std::pair(3, RowValue(0, before + 3)));
  fake->autoProduce = false, device.SetFrameWait(1);  // the camera delivers nothing in time
  EXPECT_FALSE(device.SingleFrame());
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(device.SingleFrameClose());
}

TEST_F(V4l2DeviceTest, NegotiatesBgr24StreamsOnlyWhenNeededAndGivesEveryBufferBack) {
  fake->width = 1280, fake->height = 720;
  ASSERT_TRUE(device.DriverConnect(0));
  BitmapInfoHeader h = Header();  // positive height; the rows come top-down
  EXPECT_EQ(
      std::tuple(h.biSize, h.biWidth, h.biHeight, h.biBitCount, h.biCompression, h.biSizeImage),
      std::tuple(40u, 1280, 720, uint16_t{24}, 0u, 1280u * 3 * 720));
  std::vector<uint8_t> frame;
  EXPECT_FALSE(device.GrabPreviewFrame(frame)) << "preview is off";
  device.SetPreview(true);
  EXPECT_EQ(fake->Mapped(), kV4l2BufferCount);
  // A new size while streaming: the old buffers must go first (the fake refuses otherwise).
  ASSERT_TRUE(device.SetFormat({640, 480, 24}));
  EXPECT_EQ(std::pair(Header().biWidth, Header().biHeight), std::pair(640, 480));
  EXPECT_FALSE(device.SetFormat({640, 480, 32})) << "only 24 bits come from libv4l2";
  fake->Produce(2);  // more than one ready: the newest (the wait takes one more) is shown
  const uint32_t newest = fake->sequence;
  ASSERT_TRUE(device.GrabPreviewFrame(frame));
  EXPECT_EQ(std::pair(frame.size(), frame[0]),
            std::pair(size_t{640 * 3 * 480}, RowValue(0, newest)));
  EXPECT_EQ(fake->queued.size(), size_t{kV4l2BufferCount});
  // A capture while previewing keeps the stream.
  ASSERT_TRUE(device.SingleFrameOpen() && device.SingleFrame() && device.SingleFrameClose());
  EXPECT_EQ(std::tuple(device.Streaming(), fake->streamOns, fake->queued.size()),
            std::tuple(true, 2, size_t{kV4l2BufferCount}));
  device.SetPreview(false);
  EXPECT_FALSE(device.Streaming());
  EXPECT_TRUE(fake->bufs.empty()) << "buffers unmapped and released with REQBUFS 0";

  fake->offersBgr24 = false;  // a camera libv4l2 cannot give as BGR24 is refused
  EXPECT_FALSE(V4l2Device("/dev/video0", fake).DriverConnect(0));
}

TEST_F(V4l2DeviceTest, ADeviceThatVanishesMidStreamFailsCleanlyAndReconnectsOnlyAtItsFormat) {
  ASSERT_TRUE(device.DriverConnect(0));
  device.SetPreview(true);
  ASSERT_TRUE(device.SingleFrameOpen());
  fake->gone = true;  // unplugged
  EXPECT_FALSE(device.SingleFrame());
  EXPECT_TRUE(device.Lost());
  EXPECT_EQ(std::tuple(calls, fake->openFds, fake->Mapped()), std::tuple(0, 0, 0));
  EXPECT_TRUE(device.SingleFrameClose());
  EXPECT_FALSE(device.SingleFrameOpen()) << "still gone";
  // Back at another size its frames would not match the format on record.
  fake->gone = false, fake->sizes = {{320, 240}};
  EXPECT_FALSE(device.SingleFrameOpen());
  EXPECT_EQ(std::pair(Header().biWidth, fake->openFds), std::pair(640, 0));
  fake->sizes = {{640, 480}};  // back as it was
  ASSERT_TRUE(device.SingleFrameOpen());
  EXPECT_FALSE(device.Lost());
  ASSERT_TRUE(device.SingleFrame() && device.SingleFrameClose());
  EXPECT_TRUE(device.Streaming()) << "the preview is still wanted";
}

// A camera that comes back at another size is taken up again at the next capture,
// with its new format, without a restart.
TEST_F(V4l2DeviceTest, TheCameraReconnectsADeviceThatCameBackAtAnotherSize) {
  Camera camera(std::make_unique<V4l2Device>("/dev/video0", fake));
  camera.Connect(/*preview=*/false);
  auto capture = [&] {
    return CaptureSingleFrameWith(camera, [](const FrameView&) {
      CaptureResult handled;
      handled.ok = true;
      return handled;
    });
  };
  ASSERT_TRUE(capture().ok);
  fake->gone = true;
  EXPECT_FALSE(capture().ok);
  fake->gone = false, fake->sizes = {{320, 240}};
  EXPECT_TRUE(capture().ok);
  EXPECT_EQ(camera.Format()->width, 320);
  EXPECT_FALSE(camera.Device()->PreviewOn()) << "the preview stays as it was";
}

}  // namespace
}  // namespace snapvane
