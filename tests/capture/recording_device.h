#pragma once
// A test-pattern device that records every call made to it, in order, and can
// pretend to other capabilities or formats.
#include <optional>
#include <string>
#include <vector>

#include "capture/test_pattern_device.h"

namespace snapvane::test {

class RecordingDevice : public TestPatternDevice {
 public:
  std::vector<std::string> calls;
  std::optional<CapDriverCaps> caps;           // reported instead of the pattern's own
  std::optional<std::vector<uint8_t>> format;  // reported instead of the pattern's own
  int callbacksRun = 0;                        // frames delivered to a registered callback

  int Count(const std::string& name) const {
    int n = 0;
    for (const std::string& c : calls) n += c == name;
    return n;
  }
  bool HasCallback() const { return registered_; }

  bool DriverConnect(int index) override {
    calls.push_back("DriverConnect(" + std::to_string(index) + ")");
    return TestPatternDevice::DriverConnect(index);
  }
  bool GetDriverCaps(CapDriverCaps* c) override {
    calls.push_back("GetDriverCaps");
    if (caps) {
      *c = *caps;
      return true;
    }
    return TestPatternDevice::GetDriverCaps(c);
  }
  std::vector<uint8_t> GetVideoFormat() override {
    calls.push_back("GetVideoFormat");
    return format ? *format : TestPatternDevice::GetVideoFormat();
  }
  void SetPreview(bool on) override {
    calls.push_back(on ? "SetPreview(1)" : "SetPreview(0)");
    TestPatternDevice::SetPreview(on);
  }
  void SetPreviewRate(int ms) override {
    calls.push_back("SetPreviewRate(" + std::to_string(ms) + ")");
    TestPatternDevice::SetPreviewRate(ms);
  }
  bool GrabPreviewFrame(std::vector<uint8_t>& out) override {
    calls.push_back("GrabPreviewFrame");
    return TestPatternDevice::GrabPreviewFrame(out);
  }
  void SetFrameCallback(FrameCallback callback) override {
    calls.push_back(callback ? "SetFrameCallback" : "SetFrameCallback(null)");
    registered_ = static_cast<bool>(callback);
    if (callback) {
      // Count deliveries without changing what the callback does.
      auto counted = [this, callback](const VideoHdr& frame) {
        ++callbacksRun;
        callback(frame);
      };
      TestPatternDevice::SetFrameCallback(counted);
    } else {
      TestPatternDevice::SetFrameCallback(nullptr);
    }
  }
  bool SingleFrameOpen() override {
    calls.push_back("SingleFrameOpen");
    return TestPatternDevice::SingleFrameOpen();
  }
  bool SingleFrame() override {
    calls.push_back("SingleFrame");
    return TestPatternDevice::SingleFrame();
  }
  bool SingleFrameClose() override {
    calls.push_back("SingleFrameClose");
    return TestPatternDevice::SingleFrameClose();
  }
  bool SetControl(uint32_t id, int32_t value) override {
    calls.push_back("SetControl(" + std::to_string(id) + "," + std::to_string(value) + ")");
    return TestPatternDevice::SetControl(id, value);
  }
  bool SetFormat(const FrameFormat& f) override {
    calls.push_back("SetFormat(" + std::to_string(f.width) + "x" + std::to_string(f.height) + "x" +
                    std::to_string(f.bitCount) + ")");
    return TestPatternDevice::SetFormat(f);
  }

 private:
  bool registered_ = false;
};

}  // namespace snapvane::test
