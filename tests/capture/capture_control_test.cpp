// Connecting the device, the format record and line, the preview switch and the
// single-frame sequence with its three message boxes.
#include "capture/capture_control.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/app_state.h"
#include "app/message_box.h"
#include "tests/capture/recording_device.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using Calls = std::vector<std::string>;

class CaptureControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetMessageBoxHandler([this](const MessageBoxRequest& r) {
      boxes.push_back(r.text);
      EXPECT_EQ(r.title, "") << "capture boxes carry no title of their own";
    });
    state = MakeAppState();
    state->mainWindow = &window;
    state->captureWindow = &device;
  }
  void TearDown() override { SetMessageBoxHandler(std::move(previous_)); }

  // Behaves as FrameHandler does towards the device: drops its registration first.
  FrameSink Handler(bool result = true) {
    return [this, result](AppState& s, const VideoHdr& f) {
      s.captureWindow->SetFrameCallback(nullptr);
      frames.push_back({f.dwBufferLength, f.dwBytesUsed});
      return result;
    };
  }
  void Connect() {
    ConnectCaptureDevice(*state);
    device.calls.clear();
  }

  test::RecordingDevice device;
  test::FakeMainWindow window;
  std::shared_ptr<AppState> state;
  std::vector<std::string> boxes;
  std::vector<std::pair<uint32_t, uint32_t>> frames;

 private:
  MessageBoxHandler previous_;
};

TEST_F(CaptureControlTest, ConnectReadsCapsSizesThePreviewShowsTheLineAndStartsPreview) {
  ASSERT_TRUE(device.SetFormat({640, 480, 24}));
  device.calls.clear();
  ConnectCaptureDevice(*state);
  EXPECT_EQ(device.calls, (Calls{"DriverConnect(0)", "GetDriverCaps", "GetVideoFormat",
                                 "SetPreview(1)", "SetPreviewRate(100)"}));
  EXPECT_TRUE(window.enabled[1000]);
  EXPECT_TRUE(window.enabled[1001]);
  EXPECT_TRUE(window.enabled[1002]);
  EXPECT_EQ(window.previewSizes, (std::vector<std::pair<int, int>>{{640, 480}}));
  EXPECT_EQ(window.texts[1004], "Width : 640\tHeight : 480\t bpp : 24");
  ASSERT_NE(state->VideoFormatHeader(), nullptr);
  EXPECT_EQ(state->VideoFormatHeader()->biWidth, 640);
  EXPECT_TRUE(device.PreviewOn());
  EXPECT_EQ(device.PreviewRate(), 100);
}

TEST_F(CaptureControlTest, EachButtonFollowsItsOwnCapabilityFlag) {
  CapDriverCaps caps;
  caps.fHasDlgVideoFormat = 1;  // a format dialog only
  device.caps = caps;
  ConnectCaptureDevice(*state);
  EXPECT_FALSE(window.enabled[1000]);
  EXPECT_TRUE(window.enabled[1001]);
  EXPECT_FALSE(window.enabled[1002]);
  caps = {};
  caps.fHasDlgVideoSource = 1;
  caps.fHasDlgVideoDisplay = 1;
  device.caps = caps;
  ConnectCaptureDevice(*state);
  EXPECT_TRUE(window.enabled[1000]);
  EXPECT_FALSE(window.enabled[1001]);
  EXPECT_TRUE(window.enabled[1002]);
}

TEST_F(CaptureControlTest, RefreshFollowsTheDeviceAndKeepsTheBitCountAndPalette) {
  Connect();
  ASSERT_TRUE(device.SetFormat({320, 240, 8}));
  RefreshVideoFormat(*state);
  EXPECT_EQ(window.previewSizes.back(), (std::pair<int, int>{320, 240}));
  EXPECT_EQ(window.texts[1004], "Width : 320\tHeight : 240\t bpp : 8");
  EXPECT_EQ(state->videoFormat.size(), 40u + 256 * 4) << "the colour table comes along";
  ASSERT_TRUE(device.SetFormat({1280, 720, 32}));
  RefreshVideoFormat(*state);
  EXPECT_EQ(window.texts[1004], "Width : 1280\tHeight : 720\t bpp : 32");
  EXPECT_EQ(state->videoFormat.size(), 40u);
}

TEST_F(CaptureControlTest, TheDialogRefreshRules) {
  Connect();
  ApplyDriverDialogResult(*state, DriverDialog::kFormat, false);
  ApplyDriverDialogResult(*state, DriverDialog::kFormat, true);
  EXPECT_EQ(device.Count("GetVideoFormat"), 2) << "Format always re-reads";
  ApplyDriverDialogResult(*state, DriverDialog::kSource, false);
  ApplyDriverDialogResult(*state, DriverDialog::kDisplay, false);
  EXPECT_EQ(device.Count("GetVideoFormat"), 2) << "unchanged Source/Display leave it";
  ApplyDriverDialogResult(*state, DriverDialog::kSource, true);
  ApplyDriverDialogResult(*state, DriverDialog::kDisplay, true);
  EXPECT_EQ(device.Count("GetVideoFormat"), 4);
}

TEST_F(CaptureControlTest, SetPreviewOffStillSetsTheRate) {
  Connect();
  SetPreview(*state, false);
  EXPECT_EQ(device.calls, (Calls{"SetPreview(0)", "SetPreviewRate(100)"}));
}

TEST_F(CaptureControlTest, NoDeviceDisablesEverythingAndCapturesShowTheOpenBox) {
  state->captureWindow = nullptr;
  window.texts[1004] = "old";
  ConnectCaptureDevice(*state);
  EXPECT_FALSE(window.enabled[1000]);
  EXPECT_FALSE(window.enabled[1001]);
  EXPECT_FALSE(window.enabled[1002]);
  EXPECT_TRUE(state->videoFormat.empty());
  EXPECT_TRUE(window.previewSizes.empty());
  EXPECT_EQ(window.texts[1004], "");
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(boxes, (Calls{"capCaptureSingleFrameOpen"}));
}

TEST_F(CaptureControlTest, ADeviceWithoutAFormatRefusesCapturesUntilItHasOne) {
  device.SetReportsNoFormat(true);
  ConnectCaptureDevice(*state);
  EXPECT_TRUE(state->videoFormat.empty());
  EXPECT_EQ(state->VideoFormatHeader(), nullptr);
  EXPECT_TRUE(window.previewSizes.empty());
  device.calls.clear();
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(boxes, (Calls{kNoFormatText}));
  EXPECT_TRUE(device.calls.empty()) << "nothing is sent to the device";

  // A format that arrives later (a format dialog) makes captures possible again.
  device.SetReportsNoFormat(false);
  ApplyDriverDialogResult(*state, DriverDialog::kFormat, false);
  EXPECT_TRUE(CaptureSingleFrameWith(*state, Handler()));
}

TEST_F(CaptureControlTest, MalformedFormatsCountAsNone) {
  Connect();
  BitmapInfoHeader h;
  h.biWidth = 640;
  h.biHeight = 480;
  h.biBitCount = 24;
  auto bytes = [](const BitmapInfoHeader& hdr) {
    std::vector<uint8_t> v(sizeof hdr);
    std::memcpy(v.data(), &hdr, sizeof hdr);
    return v;
  };
  const std::vector<uint8_t> whole = bytes(h);
  device.format = std::vector<uint8_t>(whole.begin(), whole.begin() + 20);  // cut short
  RefreshVideoFormat(*state);
  EXPECT_FALSE(HasUsableFormat(*state));
  for (auto [w, hh, bits] : {std::tuple{640, -480, 24},
                             {0, 480, 24},
                             {640, 480, 0},
                             {640, 480, 12},
                             {kMaxFrameEdge + 1, 480, 24}}) {
    h.biWidth = w, h.biHeight = hh, h.biBitCount = static_cast<uint16_t>(bits);
    device.format = bytes(h);
    RefreshVideoFormat(*state);
    EXPECT_TRUE(state->videoFormat.empty()) << w << "x" << hh << "x" << bits;
    EXPECT_EQ(window.texts[1004], "");
  }
  EXPECT_EQ(window.previewSizes.size(), 1u) << "only the good format sized the preview";
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(boxes, (Calls{kNoFormatText}));
}

TEST_F(CaptureControlTest, ASuccessfulCaptureRegistersFramesAndCloses) {
  Connect();
  EXPECT_TRUE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(device.calls,
            (Calls{"SingleFrameOpen", "SetFrameCallback", "SingleFrame", "SetFrameCallback(null)",
                   "SetFrameCallback(null)", "SingleFrameClose"}));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].first, 640u * 3 * 480);
  EXPECT_EQ(frames[0].second, frames[0].first);
  EXPECT_FALSE(device.HasCallback());
}

TEST_F(CaptureControlTest, OpenFailureShowsExactlyOneBoxAndSendsNothingElse) {
  Connect();
  device.SetStepFails(TestPatternDevice::Step::kOpen, true);
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(boxes, (Calls{"capCaptureSingleFrameOpen"}));
  EXPECT_EQ(device.calls, (Calls{"SingleFrameOpen"}));
  EXPECT_TRUE(frames.empty());
}

TEST_F(CaptureControlTest, FrameFailureShowsItsBoxStillClosesAndLeavesNoHandler) {
  Connect();
  device.SetStepFails(TestPatternDevice::Step::kFrame, true);
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(boxes, (Calls{"capCaptureSingleFrame"}));
  EXPECT_EQ(device.Count("SingleFrameClose"), 1);
  EXPECT_TRUE(frames.empty());
  EXPECT_FALSE(device.HasCallback()) << "no handler outlives the capture";

  // Frame and close both failing: two boxes in a row.
  boxes.clear();
  device.SetStepFails(TestPatternDevice::Step::kClose, true);
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(boxes, (Calls{"capCaptureSingleFrame", "capCaptureSingleFrameClose"}));
}

TEST_F(CaptureControlTest, CloseFailureOrAFailingHandlerMakesTheCaptureFail) {
  Connect();
  device.SetStepFails(TestPatternDevice::Step::kClose, true);
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(boxes, (Calls{"capCaptureSingleFrameClose"}));
  EXPECT_EQ(frames.size(), 1u) << "the frame itself was delivered";
  device.SetStepFails(TestPatternDevice::Step::kClose, false);
  boxes.clear();
  EXPECT_FALSE(CaptureSingleFrameWith(*state, Handler(false)));
  EXPECT_TRUE(boxes.empty()) << "the handler reports its own failures";
}

TEST_F(CaptureControlTest, TwoCapturesEachRegisterAnewAndPreviewFramesReachNobody) {
  Connect();
  EXPECT_TRUE(CaptureSingleFrameWith(*state, Handler()));
  std::vector<uint8_t> preview;
  EXPECT_TRUE(device.GrabPreviewFrame(preview));
  EXPECT_TRUE(device.GrabPreviewFrame(preview));
  EXPECT_EQ(device.callbacksRun, 1) << "a preview frame reached the handler";
  EXPECT_TRUE(CaptureSingleFrameWith(*state, Handler()));
  EXPECT_EQ(device.Count("SetFrameCallback"), 2);
  EXPECT_EQ(device.callbacksRun, 2);
  EXPECT_EQ(frames.size(), 2u);
}

TEST_F(CaptureControlTest, TheRealHandlerWritesTheSnapshotAndRefusesShortFrames) {
  test::Sandbox sandbox;
  const std::string path = (sandbox / "snap.jpg").string();
  std::strncpy(state->snapshotPath, path.c_str(), sizeof state->snapshotPath - 1);
  state->quality = 80;
  Connect();
  EXPECT_TRUE(CaptureSingleFrame(*state));
  EXPECT_FALSE(device.HasCallback());
  std::string jpeg = test::ReadFile(path);
  ASSERT_GT(jpeg.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(jpeg[0]), 0xff);
  EXPECT_EQ(static_cast<uint8_t>(jpeg[1]), 0xd8);
  device.SetShortFrames(true);
  EXPECT_FALSE(CaptureSingleFrame(*state));
  EXPECT_TRUE(boxes.empty());
}

TEST(FormatLine, FillsTheStringTableEntryKeepingItsTabs) {
  EXPECT_EQ(FormatLine(640, 480, 24), "Width : 640\tHeight : 480\t bpp : 24");
}

}  // namespace
}  // namespace snapvane
