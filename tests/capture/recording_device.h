#pragma once
// A test-pattern device that records every call made to it, in order, and can
// pretend to other capabilities or formats.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "capture/test_pattern_device.h"

namespace snapvane::test {

class RecordingDevice : public TestPatternDevice {
  using Base = TestPatternDevice;

 public:
  std::vector<std::string> calls;
  std::optional<CapDriverCaps> caps;           // reported instead of the pattern's own
  std::optional<std::vector<uint8_t>> format;  // reported instead of the pattern's own
  int callbacksRun = 0;                        // frames delivered to a registered callback

  int Count(const std::string& name) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
  }
  bool HasCallback() const { return registered_; }

  bool DriverConnect(int index) override {
    Log("DriverConnect(" + std::to_string(index) + ")");
    return Base::DriverConnect(index);
  }
  bool GetDriverCaps(CapDriverCaps* c) override {
    Log("GetDriverCaps");
    if (caps) *c = *caps;
    return caps || Base::GetDriverCaps(c);
  }
  std::vector<uint8_t> GetVideoFormat() override {
    Log("GetVideoFormat");
    return format ? *format : Base::GetVideoFormat();
  }
  void SetPreview(bool on) override {
    Log(on ? "SetPreview(1)" : "SetPreview(0)");
    Base::SetPreview(on);
  }
  void SetPreviewRate(int ms) override {
    Log("SetPreviewRate(" + std::to_string(ms) + ")");
    Base::SetPreviewRate(ms);
  }
  bool GrabPreviewFrame(std::vector<uint8_t>& out) override {
    Log("GrabPreviewFrame");
    return Base::GrabPreviewFrame(out);
  }
  void SetFrameCallback(FrameCallback cb) override {
    Log(cb ? "SetFrameCallback" : "SetFrameCallback(null)");
    registered_ = static_cast<bool>(cb);
    if (!cb) return Base::SetFrameCallback(nullptr);
    Base::SetFrameCallback([this, cb](const VideoHdr& frame) { ++callbacksRun, cb(frame); });
  }
  bool SingleFrameOpen() override { return Log("SingleFrameOpen"), Base::SingleFrameOpen(); }
  bool SingleFrame() override { return Log("SingleFrame"), Base::SingleFrame(); }
  bool SingleFrameClose() override { return Log("SingleFrameClose"), Base::SingleFrameClose(); }
  bool SetControl(uint32_t id, int32_t value) override {
    Log("SetControl(" + std::to_string(id) + "," + std::to_string(value) + ")");
    return Base::SetControl(id, value);
  }
  bool SetFormat(const FrameFormat& f) override {
    Log("SetFormat(" + std::to_string(f.width) + "x" + std::to_string(f.height) + "x" +
        std::to_string(f.bitCount) + ")");
    return Base::SetFormat(f);
  }

 private:
  void Log(std::string call) { calls.push_back(std::move(call)); }
  bool registered_ = false;
};

}  // namespace snapvane::test
