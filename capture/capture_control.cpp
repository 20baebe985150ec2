#include "capture/capture_control.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/app_state.h"
#include "app/main_window_port.h"
#include "app/message_box.h"
#include "capture/frame_handler.h"
#include "capture/test_pattern_device.h"
#include "capture/v4l2_device.h"
#include "resources/string_table.h"

namespace snapvane {
namespace {

constexpr size_t kFormatLineCapacity = 256;  // including the terminator

bool UsableHeader(const BitmapInfoHeader& h) {
  if (h.biSize < sizeof(BitmapInfoHeader)) return false;
  if (h.biWidth <= 0 || h.biHeight <= 0) return false;
  if (h.biWidth > kMaxFrameEdge || h.biHeight > kMaxFrameEdge) return false;
  switch (h.biBitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool HasUsableFormat(const AppState& state) {
  const BitmapInfoHeader* h = state.VideoFormatHeader();
  return h && UsableHeader(*h);
}

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

void RefreshVideoFormat(AppState& state) {
  if (state.captureWindow)
    state.videoFormat = state.captureWindow->GetVideoFormat();
  else
    state.videoFormat.clear();
  // Nothing may read a format that is not there: an unusable one counts as none.
  if (!HasUsableFormat(state)) {
    state.videoFormat.clear();
    if (state.mainWindow) state.mainWindow->SetText(kFormatLineLabel, "");
    return;
  }
  const BitmapInfoHeader& h = *state.VideoFormatHeader();
  if (!state.mainWindow) return;
  state.mainWindow->ResizePreview(h.biWidth, h.biHeight);
  state.mainWindow->SetText(kFormatLineLabel, FormatLine(h.biWidth, h.biHeight, h.biBitCount));
}

void ConnectCaptureDevice(AppState& state) {
  state.caps = CapDriverCaps{};
  if (CaptureDevice* device = state.captureWindow) {
    device->DriverConnect(0);
    if (!device->GetDriverCaps(&state.caps)) state.caps = CapDriverCaps{};
  }
  if (state.mainWindow) {
    state.mainWindow->SetEnabled(kSourceButton, state.caps.fHasDlgVideoSource != 0);
    state.mainWindow->SetEnabled(kFormatButton, state.caps.fHasDlgVideoFormat != 0);
    state.mainWindow->SetEnabled(kDisplayButton, state.caps.fHasDlgVideoDisplay != 0);
  }
  RefreshVideoFormat(state);
  SetPreview(state, true);
}

void SetPreview(AppState& state, bool on) {
  if (!state.captureWindow) return;
  state.captureWindow->SetPreview(on);
  state.captureWindow->SetPreviewRate(kPreviewRateMs);
}

bool CaptureSingleFrameWith(AppState& state, const FrameSink& handler) {
  CaptureDevice* device = state.captureWindow;
  if (!device) {
    ShowMessageBox(kOpenFailedText);
    return false;
  }
  if (!HasUsableFormat(state)) {
    ShowMessageBox(kNoFormatText);
    return false;
  }
  if (!device->SingleFrameOpen()) {
    ShowMessageBox(kOpenFailedText);
    return false;
  }
  bool handled = false;
  device->SetFrameCallback(
      [&state, &handled, &handler](const VideoHdr& frame) { handled = handler(state, frame); });
  bool framed = device->SingleFrame();
  // The handler removes itself when a frame arrives; when none did, the
  // registration (which refers to this call's locals) must not outlive it.
  device->SetFrameCallback(nullptr);
  if (!framed) ShowMessageBox(kFrameFailedText);
  bool closed = device->SingleFrameClose();
  if (!closed) ShowMessageBox(kCloseFailedText);
  return framed && closed && handled;
}

bool CaptureSingleFrame(AppState& state) {
  return CaptureSingleFrameWith(
      state, [](AppState& s, const VideoHdr& frame) { return FrameHandler(s, frame); });
}

void ApplyDriverDialogResult(AppState& state, DriverDialog dialog, bool result) {
  if (dialog == DriverDialog::kFormat || result) RefreshVideoFormat(state);
}

std::unique_ptr<CaptureDevice> OpenDefaultCaptureDevice() {
  const char* choice = std::getenv("SNAPVANE_CAPTURE");
  std::string_view chosen = choice ? choice : "";
  if (chosen == "pattern") return TestPatternDevice::FromEnvironment();
  auto io = SystemV4l2Io();
  if (chosen.substr(0, 5) == "/dev/") return std::make_unique<V4l2Device>(std::string(chosen), io);
  std::string node = FindCaptureNode(*io);
  if (!node.empty()) return std::make_unique<V4l2Device>(node, io);
  return TestPatternDevice::FromEnvironment();
}

}  // namespace snapvane
