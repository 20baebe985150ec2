#pragma once
// A test-pattern device that records every call made to it, in order, and can
// report another format.
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
  std::optional<std::vector<uint8_t>> format;  // reported instead of the pattern's own
  bool hasCallback = false;                    // a frame callback is registered

  int Count(const std::string& name) const {
    return int(std::count(calls.begin(), calls.end(), name));
  }

  bool DriverConnect(int i) override {
    return Log("DriverConnect(" + std::to_string(i) + ")"), Base::DriverConnect(i);
  }
  bool GetDriverCaps(CapDriverCaps* c) override {
    return Log("GetDriverCaps"), Base::GetDriverCaps(c);
  }
  std::vector<uint8_t> GetVideoFormat() override {
    return Log("GetVideoFormat"), format ? *format : Base::GetVideoFormat();
  }
  void SetPreview(bool on) override {
    Log(on ? "SetPreview(1)" : "SetPreview(0)"), Base::SetPreview(on);
  }
  void SetPreviewRate(int ms) override {
    Log("SetPreviewRate(" + std::to_string(ms) + ")"), Base::SetPreviewRate(ms);
  }
  void SetFrameCallback(FrameCallback cb) override {
    Log(cb ? "SetFrameCallback" : "SetFrameCallback(null)");
    hasCallback = static_cast<bool>(cb);
    Base::SetFrameCallback(std::move(cb));
  }
  bool SingleFrameOpen() override { return Log("SingleFrameOpen"), Base::SingleFrameOpen(); }
  bool SingleFrame() override { return Log("SingleFrame"), Base::SingleFrame(); }
  bool SingleFrameClose() override { return Log("SingleFrameClose"), Base::SingleFrameClose(); }
  bool SetControl(uint32_t id, int32_t v) override {
    return Log("SetControl(" + std::to_string(id) + "," + std::to_string(v) + ")"),
           Base::SetControl(id, v);
  }
  bool SetFormat(const FrameFormat& f) override {
    Log("SetFormat(" + std::to_string(f.width) + "x" + std::to_string(f.height) + "x" +
        std::to_string(f.bitCount) + ")");
    return Base::SetFormat(f);
  }

 private:
  void Log(std::string call) { calls.push_back(std::move(call)); }
};

}  // namespace snapvane::test
