// Connecting the device, the format record, and the single-frame sequence with
// the texts of its three failing steps.
#include "capture/capture_control.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/capture/recording_device.h"
#include "tests/support/install_device.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using Calls = std::vector<std::string>;
using Step = TestPatternDevice::Step;

class CaptureControlTest : public ::testing::Test {
 protected:
  void SetUp() override { camera.Connect(); }

  // The texts a person would be shown, in order.
  static Calls Texts(const CaptureResult& r) {
    Calls texts;
    for (const CaptureError& e : r.errors) texts.push_back(e.text);
    return texts;
  }
  CaptureResult Capture(bool result = true) {
    device.calls.clear();
    CaptureResult r = CaptureSingleFrameWith(camera, [this, result](const FrameView& f) {
      frames.push_back(static_cast<uint32_t>(f.bytes));
      CaptureResult handled;
      handled.ok = result;
      return handled;
    });
    boxes = Texts(r);
    return r;
  }

  Camera camera;
  test::RecordingDevice& device = test::InstallDevice<test::RecordingDevice>(camera);
  Calls boxes;
  std::vector<uint32_t> frames;
};

// A device without a usable format is refused captures without being touched; the
// format on record, an 8-bit one with its colour table.
TEST_F(CaptureControlTest, TheFormatRecordAndADeviceWithoutAUsableOne) {
  EXPECT_EQ(FormatLine(640, 480, 24), "Width : 640\tHeight : 480\t bpp : 24");
  BitmapInfoHeader h;
  for (auto [w, hh, bits, size] : {std::tuple{640, 480, 24, 20},
                                   {640, -480, 24, 40},
                                   {0, 480, 24, 40},
                                   {640, 480, 0, 40},
                                   {640, 480, 12, 40},
                                   {kMaxFrameSide + 1, 480, 24, 40},
                                   {640, 480, 24, 0}}) {
    h.biWidth = w, h.biHeight = hh, h.biBitCount = static_cast<uint16_t>(bits);
    device.format =
        std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&h), reinterpret_cast<uint8_t*>(&h) + size);
    EXPECT_FALSE(camera.RefreshFormat());
    const bool captured = Capture().ok;  // nothing may be sent to the device
    EXPECT_EQ(std::tuple(camera.HasUsableFormat(), camera.VideoFormat().size(), captured, boxes,
                         device.calls),
              std::tuple(false, 0u, false, Calls{kNoFormatText}, Calls{}))
        << w << "x" << hh << "x" << bits << " in " << size;
  }
  device.format.reset();  // a format that arrives later makes captures possible again
  EXPECT_TRUE(camera.ApplyDriverDialogResult(DriverDialog::kFormat, false));
  EXPECT_TRUE(Capture().ok);
  ASSERT_TRUE(device.SetFormat({320, 240, 8}) && camera.RefreshFormat());
  EXPECT_EQ(camera.Format(), (FrameGeometry{320, 240, 8, 320, RowOrder::kBottomUp}));
  EXPECT_EQ(camera.VideoFormat().size(), 40u + 256 * 4) << "the colour table comes along";
  ASSERT_TRUE(device.SetFormat({1280, 720, 32}) && camera.RefreshFormat());
  EXPECT_EQ(camera.VideoFormat().size(), 40u);
}

TEST_F(CaptureControlTest, ACaptureRegistersTheHandlerForOneFrameAndEachFailingStepGivesItsText) {
  EXPECT_TRUE(Capture().ok);
  EXPECT_EQ(device.calls,
            (Calls{"SingleFrameOpen", "SetFrameCallback", "SingleFrame", "SetFrameCallback(null)",
                   "SetFrameCallback(null)", "SingleFrameClose"}));
  EXPECT_EQ(frames, (std::vector<uint32_t>{640u * 3 * 480}));
  EXPECT_FALSE(Capture(false).ok) << "the handler's failure fails the capture";
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
    frames.clear();
    EXPECT_FALSE(Capture().ok);  // and no handler outlives it
    EXPECT_EQ(
        std::tuple(boxes, frames.size(), device.Count("SingleFrameClose"), device.hasCallback),
        std::tuple(want, frameCount, closes, false));
  }
}

// The real handler: each failure comes back with its step, in the order it
// happened, and a depth without conversion asks for a beep instead of making one.
TEST_F(CaptureControlTest, ARealCaptureReturnsEveryFailureInOrder) {
  test::Sandbox box;
  const std::string path = (box / "snap.jpg").string();
  using S = CaptureStep;
  auto steps = [](const CaptureResult& r) {
    std::vector<S> out;
    for (const CaptureError& e : r.errors) out.push_back(e.step);
    return out;
  };
  device.SetStepFails(Step::kFrame, true), device.SetStepFails(Step::kClose, true);
  CaptureResult r = CaptureSingleFrame(camera, path, {75});
  EXPECT_EQ(std::tuple(r.ok, steps(r), Texts(r)),
            std::tuple(false, std::vector{S::kFrame, S::kClose},
                       Calls{kFrameFailedText, kCloseFailedText}));
  device.SetStepFails(Step::kFrame, false);
  r = CaptureSingleFrame(camera, path, {75});
  EXPECT_EQ(std::tuple(r.ok, steps(r)), std::tuple(false, std::vector{S::kClose}));
  EXPECT_TRUE(std::filesystem::exists(path)) << "the frame itself was written";
  device.SetStepFails(Step::kClose, false);

  const std::string missing = (box / "gone" / "snap.jpg").string();
  r = CaptureSingleFrame(camera, missing, {75});
  EXPECT_EQ(std::tuple(r.ok, steps(r), Texts(r)),
            std::tuple(false, std::vector{S::kFile}, Calls{"can't open " + missing + "\n"}));
  ASSERT_TRUE(device.SetFormat({320, 240, 8}) && camera.RefreshFormat());
  r = CaptureSingleFrame(camera, path, {75});
  EXPECT_EQ(std::tuple(r.ok, r.beep, r.errors.size()), std::tuple(true, true, 0u));
}

}  // namespace
}  // namespace snapvane
