// Connecting the device, the format record and line, and the single-frame
// sequence with its three message boxes.
#include "capture/capture_control.h"

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "app/message_box.h"
#include "tests/capture/recording_device.h"
#include "tests/support/fake_main_window.h"

namespace snapvane {
namespace {

using Calls = std::vector<std::string>;
using Step = TestPatternDevice::Step;

class CaptureControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetMessageBoxHandler([this](const MessageBoxRequest& r) {
      boxes.push_back(r.text);
      EXPECT_EQ(r.title, "") << "capture boxes carry no title of their own";
    });
    state->mainWindow = &window;
    state->captureWindow = &device;
    ConnectCaptureDevice(*state);
  }
  void TearDown() override { SetMessageBoxHandler(std::move(previous_)); }

  // Behaves as FrameHandler does towards the device: drops its registration first.
  bool Capture(bool result = true) {
    device.calls.clear();
    return CaptureSingleFrameWith(*state, [this, result](AppState& s, const VideoHdr& f) {
      s.captureWindow->SetFrameCallback(nullptr);
      frames.push_back(f.dwBytesUsed);
      return result;
    });
  }

  test::RecordingDevice device;
  test::FakeMainWindow window;
  std::shared_ptr<AppState> state = MakeAppState();
  Calls boxes;
  std::vector<uint32_t> frames;
  MessageBoxHandler previous_;
};

TEST_F(CaptureControlTest, ConnectAndRefreshSizeThePreviewAndFillTheFormatLine) {
  EXPECT_EQ(device.calls, (Calls{"DriverConnect(0)", "GetDriverCaps", "GetVideoFormat",
                                 "SetPreview(1)", "SetPreviewRate(100)"}));
  EXPECT_TRUE(window.enabled[1000] && window.enabled[1001] && window.enabled[1002]);
  EXPECT_EQ(window.texts[1004], "Width : 640\tHeight : 480\t bpp : 24");
  ASSERT_TRUE(device.SetFormat({320, 240, 8}));
  RefreshVideoFormat(*state);
  EXPECT_EQ(window.texts[1004], "Width : 320\tHeight : 240\t bpp : 8");
  EXPECT_EQ(state->videoFormat.size(), 40u + 256 * 4) << "the colour table comes along";
  ASSERT_TRUE(device.SetFormat({1280, 720, 32}));
  RefreshVideoFormat(*state);
  EXPECT_EQ(state->videoFormat.size(), 40u);
  EXPECT_EQ(window.previewSizes,
            (std::vector<std::pair<int, int>>{{640, 480}, {320, 240}, {1280, 720}}));
}

TEST_F(CaptureControlTest, ADeviceWithoutAUsableFormatRefusesCapturesWithoutTouchingIt) {
  BitmapInfoHeader h;
  for (auto [w, hh, bits, size] : {std::tuple{640, 480, 24, 20},
                                   {640, -480, 24, 40},
                                   {0, 480, 24, 40},
                                   {640, 480, 0, 40},
                                   {640, 480, 12, 40},
                                   {kMaxFrameEdge + 1, 480, 24, 40},
                                   {640, 480, 24, 0}}) {
    h.biWidth = w, h.biHeight = hh, h.biBitCount = static_cast<uint16_t>(bits);
    device.format =
        std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + size);
    RefreshVideoFormat(*state);
    boxes.clear();
    const bool captured = Capture();  // nothing may be sent to the device
    EXPECT_EQ(
        std::tuple(HasUsableFormat(*state), window.texts[1004], captured, boxes, device.calls),
        std::tuple(false, "", false, Calls{kNoFormatText}, Calls{}))
        << w << "x" << hh << "x" << bits << " in " << size;
  }
  EXPECT_EQ(window.previewSizes.size(), 1u) << "only the good format sized the preview";
  device.format.reset();  // a format that arrives later makes captures possible again
  ApplyDriverDialogResult(*state, DriverDialog::kFormat, false);
  EXPECT_TRUE(Capture());
}

TEST_F(CaptureControlTest, ACaptureRegistersTheHandlerForOneFrameAndEachFailingStepShowsItsBox) {
  EXPECT_TRUE(Capture());
  EXPECT_EQ(device.calls,
            (Calls{"SingleFrameOpen", "SetFrameCallback", "SingleFrame", "SetFrameCallback(null)",
                   "SetFrameCallback(null)", "SingleFrameClose"}));
  EXPECT_EQ(frames, (std::vector<uint32_t>{640u * 3 * 480}));
  EXPECT_FALSE(Capture(false)) << "the handler's failure fails the capture";
  EXPECT_TRUE(boxes.empty()) << "the handler reports its own failures";

  const std::string open = "capCaptureSingleFrameOpen", frame = "capCaptureSingleFrame",
                    close = "capCaptureSingleFrameClose";
  for (auto [failing, want, frameCount, closes] :
       {std::tuple{std::vector{Step::kOpen}, Calls{open}, 0u, 0},
        {{Step::kFrame}, {frame}, 0u, 1},
        {{Step::kClose}, {close}, 1u, 1},
        {{Step::kFrame, Step::kClose}, {frame, close}, 0u, 1}}) {
    for (Step s : {Step::kOpen, Step::kFrame, Step::kClose})
      device.SetStepFails(s, std::count(failing.begin(), failing.end(), s) > 0);
    boxes.clear(), frames.clear();
    EXPECT_FALSE(Capture());  // and no handler outlives it
    EXPECT_EQ(
        std::tuple(boxes, frames.size(), device.Count("SingleFrameClose"), device.hasCallback),
        std::tuple(want, frameCount, closes, false));
  }
}

}  // namespace
}  // namespace snapvane
