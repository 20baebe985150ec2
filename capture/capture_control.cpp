#include "capture/capture_control.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "capture/frame_handler.h"
#include "capture/test_pattern_device.h"
#include "capture/v4l2_device.h"
#include "resources/string_table.h"

namespace snapvane {
namespace {

constexpr size_t kFormatLineCapacity = 256;  // including the terminator

}  // namespace

std::string FormatLine(int width, int height, int bitCount) {
  // Only %d and %% are expected; anything else is copied as it stands.
  const std::string pattern = LoadString(kFormatLineString);
  const int values[] = {width, height, bitCount};
  size_t next = 0;
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'd' && next < 3) {
      out += std::to_string(values[next++]);
      ++i;
    } else if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
    } else {
      out += pattern[i];
    }
  }
  if (out.size() > kFormatLineCapacity - 1) out.resize(kFormatLineCapacity - 1);
  return out;
}

void Camera::Release() {
  device_.reset();
  videoFormat_.clear();
  caps_ = CapDriverCaps{};
}

const BitmapInfoHeader* Camera::VideoFormatHeader() const {
  if (videoFormat_.size() < sizeof(BitmapInfoHeader)) return nullptr;
  return reinterpret_cast<const BitmapInfoHeader*>(videoFormat_.data());
}

std::optional<FrameGeometry> Camera::Format() const {
  const BitmapInfoHeader* h = VideoFormatHeader();
  // The record is bottom-up by its own convention; where the rows really start
  // is the device's to say.
  if (!h || h->biHeight <= 0 || !device_) return std::nullopt;
  std::optional<FrameGeometry> g = GeometryOfHeader(*h);
  if (g) g->order = device_->FrameRowOrder();
  return g;
}

bool Camera::RefreshFormat() {
  if (device_)
    videoFormat_ = device_->GetVideoFormat();
  else
    videoFormat_.clear();
  // Nothing may read a format that is not there: an unusable one counts as none.
  if (!HasUsableFormat()) videoFormat_.clear();
  return !videoFormat_.empty();
}

void Camera::Connect(bool preview) {
  caps_ = CapDriverCaps{};
  if (device_) {
    device_->DriverConnect(0);
    if (!device_->GetDriverCaps(&caps_)) caps_ = CapDriverCaps{};
  }
  RefreshFormat();
  SetPreview(preview);
  needsReconnect_ = false;
  ++connections_;
}

bool Camera::Reconnect() {
  Connect(device_ && device_->PreviewOn());
  // A device still gone reports no format; it gets another chance next time,
  // or captures would be refused for good once it is back.
  if (!HasUsableFormat()) needsReconnect_ = true;
  return HasUsableFormat();
}

void Camera::SetPreview(bool on) {
  if (!device_) return;
  device_->SetPreview(on);
  device_->SetPreviewRate(kPreviewRateMs);
}

bool Camera::ApplyDriverDialogResult(DriverDialog dialog, bool result) {
  if (dialog != DriverDialog::kFormat && !result) return false;
  RefreshFormat();
  return true;
}

CaptureResult CaptureSingleFrameWith(Camera& camera, const FrameSink& handler) {
  CaptureResult result;
  CaptureDevice* device = camera.Device();
  if (device && camera.NeedsReconnect()) camera.Reconnect();
  if (!device) {
    result.Add(CaptureStep::kOpen, kOpenFailedText);
    return result;
  }
  const std::optional<FrameGeometry> geometry = camera.Format();
  if (!geometry) {
    result.Add(CaptureStep::kFormat, kNoFormatText);
    return result;
  }
  if (!device->SingleFrameOpen()) {
    camera.SetNeedsReconnect(true);
    result.Add(CaptureStep::kOpen, kOpenFailedText);
    return result;
  }
  bool handled = false;
  device->SetFrameCallback([&](const VideoHdr& frame) {
    // One registration handles exactly one frame, whatever it holds. Devices call
    // a copy of the callback, so dropping the stored one here is safe.
    device->SetFrameCallback(nullptr);
    if (frame.dwBytesUsed != frame.dwBufferLength || !frame.lpData) return;
    CaptureResult handlerResult = handler(FrameView{frame.lpData, frame.dwBytesUsed, *geometry});
    handled = handlerResult.ok;
    result.Append(std::move(handlerResult));
  });
  const bool framed = device->SingleFrame();
  // When no frame came, the registration (which refers to this call's locals)
  // must not outlive it.
  device->SetFrameCallback(nullptr);
  if (!framed) result.Add(CaptureStep::kFrame, kFrameFailedText);
  const bool closed = device->SingleFrameClose();
  if (!framed) camera.SetNeedsReconnect(true);
  if (!closed) result.Add(CaptureStep::kClose, kCloseFailedText);
  result.ok = framed && closed && handled;
  return result;
}

CaptureResult CaptureSingleFrame(Camera& camera, const std::string& jpegPath,
                                 const EncodeOptions& options) {
  return CaptureSingleFrameWith(
      camera, [&](const FrameView& frame) { return FrameHandler(frame, jpegPath, options); });
}

std::unique_ptr<CaptureDevice> OpenDefaultCaptureDevice() {
  std::string ignored;
  return OpenDefaultCaptureDevice(ignored);
}

std::unique_ptr<CaptureDevice> OpenDefaultCaptureDevice(std::string& whyPattern) {
  whyPattern.clear();
  const char* choice = std::getenv("SNAPVANE_CAPTURE");
  std::string_view chosen = choice ? choice : "";
  if (chosen == "pattern") return TestPatternDevice::FromEnvironment();
  auto io = SystemV4l2Io();
  if (chosen.substr(0, 5) == "/dev/") return std::make_unique<V4l2Device>(std::string(chosen), io);
  std::string node = FindCaptureNode(*io);
  if (!node.empty()) return std::make_unique<V4l2Device>(node, io);
  // Say why: a node the user may not open (not in the video group) is the usual cause.
  whyPattern = "no video-capture device found";
  for (int i = 0; i < kMaxVideoNodes; ++i) {
    const std::string path = "/dev/video" + std::to_string(i);
    if (access(path.c_str(), F_OK) != 0) continue;
    if (access(path.c_str(), R_OK | W_OK) != 0) {
      whyPattern = "no access to " + path + ": is the user in the video group?";
      break;
    }
    whyPattern = "no device among /dev/video* captures video";
  }
  return TestPatternDevice::FromEnvironment();
}

}  // namespace snapvane
