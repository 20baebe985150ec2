#pragma once
// A V4L2 camera through libv4l2, which converts the camera's own formats (YUYV,
// MJPEG, ...) to BGR24. Frames go out as 24-bit DIB rows, top row first, as the
// camera gives them. All device access
// goes through V4l2Io, so tests can stand a simulated device behind it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_device.h"

namespace snapvane {

// The system calls the backend makes; -1 with errno on failure, as the calls do.
class V4l2Io {
 public:
  virtual ~V4l2Io() = default;
  virtual int Open(const std::string& path, int flags) = 0;
  virtual int Close(int fd) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  // MAP_FAILED on failure.
  virtual void* Mmap(size_t length, int fd, int64_t offset) = 0;
  virtual int Munmap(void* address, size_t length) = 0;
  // 1 when a frame is ready, 0 after timeoutMs without one, -1 with errno (ENODEV
  // when the device reports an error or hang-up).
  virtual int WaitReadable(int fd, int timeoutMs) = 0;
};

// libv4l2 (v4l2_open, v4l2_ioctl, v4l2_mmap, ...) and poll().
std::shared_ptr<V4l2Io> SystemV4l2Io();

// The first /dev/videoN (N < kMaxVideoNodes) that captures video with streaming
// I/O, or empty.
inline constexpr int kMaxVideoNodes = 64;
std::string FindCaptureNode(V4l2Io& io);

inline constexpr int kV4l2BufferCount = 4;
inline constexpr int kSingleFrameTimeoutMs = 3000;  // wait for one fresh frame
inline constexpr int kDefaultV4l2Width = 640;
inline constexpr int kDefaultV4l2Height = 480;

class V4l2Device : public CaptureDevice {
 public:
  V4l2Device(std::string path, std::shared_ptr<V4l2Io> io);
  ~V4l2Device() override;
  V4l2Device(const V4l2Device&) = delete;
  V4l2Device& operator=(const V4l2Device&) = delete;

  // True after the device went away (ENODEV and the like) until it reconnects.
  bool Lost() const { return lost_; }
  bool Streaming() const { return streaming_; }
  // How long the frame step waits for a fresh frame.
  void SetFrameWait(int milliseconds) { frameWaitMs_ = milliseconds; }

  bool DriverConnect(int index) override;
  bool GetDriverCaps(CapDriverCaps* caps) override;
  std::vector<uint8_t> GetVideoFormat() override;
  RowOrder FrameRowOrder() const override { return RowOrder::kTopDown; }

  void SetPreview(bool on) override;
  bool GrabPreviewFrame(std::vector<uint8_t>& out) override;

  bool SingleFrameOpen() override;
  bool SingleFrame() override;
  bool SingleFrameClose() override;

  std::string Name() const override { return name_; }
  std::vector<DeviceControl> Controls() override;
  bool SetControl(uint32_t id, int32_t value) override;
  std::vector<FrameFormat> SupportedFormats() override;
  bool SetFormat(const FrameFormat& format) override;

 private:
  struct Buffer {
    void* start = nullptr;
    size_t length = 0;
  };
  enum class Fetch { kFrame, kNone, kFailed };

  bool OpenNode();
  void CloseNode();
  bool Negotiate(int width, int height);
  bool StartStream();
  void StopStream();
  // Streams exactly while the preview runs or a single-frame capture is open.
  bool UpdateStream();
  // Dequeues every ready frame, converts the newest good one into out and gives
  // every buffer back to the driver.
  Fetch FetchNewest(int timeoutMs, std::vector<uint8_t>& out);
  void Requeue(uint32_t index);
  void MarkLost();
  bool IsGone(int error) const;

  std::string path_;
  std::shared_ptr<V4l2Io> io_;
  std::string name_;
  int fd_ = -1;
  bool connected_ = false;
  bool lost_ = false;
  bool hasFormat_ = false;
  int width_ = 0, height_ = 0;
  uint32_t bytesPerLine_ = 0, sizeImage_ = 0;
  std::vector<Buffer> buffers_;
  bool streaming_ = false;
  bool singleOpen_ = false;
  int frameWaitMs_ = kSingleFrameTimeoutMs;
  std::vector<uint8_t> frame_;
};

}  // namespace snapvane
