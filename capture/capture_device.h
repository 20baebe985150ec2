#pragma once
// The capture seam: exactly what the program needs of a video-capture device.
// Backends: V4L2 (v4l2_device.h) and the built-in test pattern (test_pattern_device.h).
// Frames reach the registered handler as uncompressed DIB rows described by a
// BITMAPINFOHEADER-shaped record; each backend says which row comes first.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/frame_view.h"

namespace snapvane {

// Same layout as the platform record the program was designed against (40 bytes).
#pragma pack(push, 1)
struct BitmapInfoHeader {
  uint32_t biSize = 40;
  int32_t biWidth = 0;
  int32_t biHeight = 0;
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = 0;  // 0 = BI_RGB
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};
#pragma pack(pop)
static_assert(sizeof(BitmapInfoHeader) == 40);

// Driver capabilities, 44 bytes; only the three dialog flags are read.
struct CapDriverCaps {
  uint32_t wDeviceIndex = 0;
  uint32_t fHasOverlay = 0;
  uint32_t fHasDlgVideoSource = 0;
  uint32_t fHasDlgVideoFormat = 0;
  uint32_t fHasDlgVideoDisplay = 0;
  uint32_t fCaptureInitialized = 0;
  uint32_t fDriverSuppliesPalettes = 0;
  uint32_t hVideoIn = 0;
  uint32_t hVideoOut = 0;
  uint32_t hVideoExtIn = 0;
  uint32_t hVideoExtOut = 0;
};
static_assert(sizeof(CapDriverCaps) == 44);

// One delivered frame.
struct VideoHdr {
  uint8_t* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesUsed = 0;
};

// A device control, shown by the source dialog (V4L2 controls, test-pattern choice).
struct DeviceControl {
  uint32_t id = 0;
  std::string name;
  enum class Kind { kInteger, kBoolean, kMenu } kind = Kind::kInteger;
  int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
  std::vector<std::string> menuItems;  // kMenu: entry i has value minimum + i
};

// One frame size and depth the device can deliver (the format dialog).
struct FrameFormat {
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bitCount = 24;
  bool operator==(const FrameFormat&) const = default;
};

using FrameCallback = std::function<void(const VideoHdr&)>;

class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;

  virtual bool DriverConnect(int index) = 0;
  // Fills caps; false leaves it untouched (zero).
  virtual bool GetDriverCaps(CapDriverCaps* caps) = 0;
  // The current format as a BITMAPINFO (header plus whatever follows); empty when
  // the device has none.
  virtual std::vector<uint8_t> GetVideoFormat() = 0;
  // Where the top picture row lies in the frames (preview and single) this device
  // delivers; the format record's height stays positive either way.
  virtual RowOrder FrameRowOrder() const { return RowOrder::kBottomUp; }

  // Live preview: on/off and the milliseconds between preview frames. Every
  // device keeps these (and the frame callback below) the same way.
  virtual void SetPreview(bool on) { previewOn_ = on; }
  virtual void SetPreviewRate(int milliseconds) { previewRate_ = milliseconds; }
  bool PreviewOn() const { return previewOn_; }
  int PreviewRate() const { return previewRate_; }
  // Grabs one preview frame into out (DIB rows of the current format, in
  // FrameRowOrder). Without a whole frame, out is left as it was.
  virtual bool GrabPreviewFrame(std::vector<uint8_t>& out) = 0;

  // Single-frame capture: open, frame (calls the registered callback synchronously
  // with one frame before returning), close. Each returns its success flag.
  virtual void SetFrameCallback(FrameCallback callback) { callback_ = std::move(callback); }
  virtual bool SingleFrameOpen() = 0;
  virtual bool SingleFrame() = 0;
  virtual bool SingleFrameClose() = 0;

  // What the driver dialogs edit.
  virtual std::string Name() const = 0;
  virtual std::vector<DeviceControl> Controls() = 0;
  virtual bool SetControl(uint32_t id, int32_t value) = 0;
  virtual std::vector<FrameFormat> SupportedFormats() = 0;
  virtual bool SetFormat(const FrameFormat& format) = 0;

 protected:
  bool previewOn_ = false;
  int previewRate_ = 0;
  FrameCallback callback_;
};

// Driver 0: the first video-capture node when one exists, else the test pattern.
// SNAPVANE_CAPTURE=pattern forces the test pattern; SNAPVANE_CAPTURE=/dev/videoN
// picks a node.
std::unique_ptr<CaptureDevice> OpenDefaultCaptureDevice();

}  // namespace snapvane
