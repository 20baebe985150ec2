#pragma once
// The built-in capture device: a moving test picture (colour bars, a block that
// travels one step per frame and a frame counter), so the program always has
// something to capture. It also fails on request, for tests.
//
// Environment (read by FromEnvironment):
//   SNAPVANE_PATTERN_FORMAT=640x480x24  initial frame size and depth
//   SNAPVANE_PATTERN_FAIL=open,frame,close  single-frame steps that report failure
//   SNAPVANE_PATTERN_FAIL_WHILE=FILE  ... only while FILE exists (a camera that
//                                     comes and goes)
//   SNAPVANE_PATTERN_SHORT=1  frames come short (dwBytesUsed < dwBufferLength)
//   SNAPVANE_PATTERN_NOFORMAT=1  the device reports no format at all
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_device.h"

namespace snapvane {

// Parses "WIDTHxHEIGHTxBITS" (e.g. "640x480x24"); nothing when malformed.
std::optional<FrameFormat> ParseFrameFormat(std::string_view text);

class TestPatternDevice : public CaptureDevice {
 public:
  enum class Pattern { kColourBars = 0, kGreyRamp = 1, kCheckerboard = 2 };
  enum class Step { kOpen, kFrame, kClose };

  // Control ids shown by the source dialog.
  static constexpr uint32_t kPatternControl = 1;
  static constexpr uint32_t kMovingBlockControl = 2;
  static constexpr uint32_t kCounterControl = 3;

  TestPatternDevice();

  // A device configured from the SNAPVANE_PATTERN_* variables above.
  static std::unique_ptr<TestPatternDevice> FromEnvironment();

  // Test hooks.
  void SetStepFails(Step step, bool fails);
  void SetShortFrames(bool shortFrames);
  void SetReportsNoFormat(bool none);
  // The failing steps fail only while this file exists (empty: always).
  void SetFailWhile(std::string path) { failWhile_ = std::move(path); }
  uint64_t FrameNumber() const { return frameNumber_; }

  bool DriverConnect(int index) override;
  bool GetDriverCaps(CapDriverCaps* caps) override;
  std::vector<uint8_t> GetVideoFormat() override;

  bool GrabPreviewFrame(std::vector<uint8_t>& out) override;

  bool SingleFrameOpen() override;
  bool SingleFrame() override;
  bool SingleFrameClose() override;

  std::string Name() const override { return "Snapvane test pattern"; }
  std::vector<DeviceControl> Controls() override;
  bool SetControl(uint32_t id, int32_t value) override;
  std::vector<FrameFormat> SupportedFormats() override;
  bool SetFormat(const FrameFormat& format) override;

 private:
  // Draws the next picture (advancing the frame number) into out as a bottom-up
  // DIB of the current format.
  void RenderFrame(std::vector<uint8_t>& out);
  // The distinct rows of the still picture for the current pattern and format.
  void DrawRows();
  // Which of those rows picture row y (top-down) is.
  size_t RowOf(int y) const;

  FrameFormat format_{640, 480, 24};
  Pattern pattern_ = Pattern::kColourBars;
  bool movingBlock_ = true;
  bool counter_ = true;
  bool connected_ = false;
  bool singleOpen_ = false;
  bool Fails(Step step) const;

  std::array<bool, 3> fails_{};
  std::string failWhile_;
  bool shortFrames_ = false;
  bool noFormat_ = false;
  uint64_t frameNumber_ = 0;
  // The still picture is a few distinct rows (bars, ramp, checker cells), each
  // kept as 0x00RRGGBB and packed in the current depth: a frame is built row by
  // row from them, touching no picture-sized buffer but its own.
  std::vector<std::vector<uint32_t>> rows_;
  std::vector<std::vector<uint8_t>> packedRows_;
  FrameFormat rowsFormat_{0, 0, 0};  // 0 wide: not drawn yet
  Pattern rowsPattern_ = Pattern::kColourBars;
  std::vector<uint32_t> scratch_;  // a row with the block and the counter on it
  std::vector<uint8_t> frame_;     // the frame being delivered
};

}  // namespace snapvane
