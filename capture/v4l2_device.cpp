#include "capture/v4l2_device.h"

#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace snapvane {
namespace {

class SystemIo : public V4l2Io {
 public:
  int Open(const std::string& path, int flags) override { return v4l2_open(path.c_str(), flags); }
  int Close(int fd) override { return v4l2_close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    return v4l2_ioctl(fd, request, arg);
  }
  void* Mmap(size_t length, int fd, int64_t offset) override {
    return v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  }
  int Munmap(void* address, size_t length) override { return v4l2_munmap(address, length); }
  int WaitReadable(int fd, int timeoutMs) override {
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
      n = poll(&p, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      errno = ENODEV;
      return -1;
    }
    return 1;
  }
};

// Retries an ioctl the kernel interrupted.
int Xioctl(V4l2Io& io, int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = io.Ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

uint32_t CapsOf(const v4l2_capability& cap) {
  return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
}

bool CapturesVideo(const v4l2_capability& cap) {
  uint32_t caps = CapsOf(cap);
  return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

// Sizes offered when the driver gives a continuous or stepwise range.
constexpr int32_t kCommonSizes[][2] = {{160, 120}, {320, 240},  {640, 480},
                                       {800, 600}, {1280, 720}, {1920, 1080}};

}  // namespace

std::shared_ptr<V4l2Io> SystemV4l2Io() { return std::make_shared<SystemIo>(); }

std::string FindCaptureNode(V4l2Io& io) {
  for (int i = 0; i < kMaxVideoNodes; ++i) {
    std::string path = "/dev/video" + std::to_string(i);
    int fd = io.Open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) continue;
    v4l2_capability cap{};
    bool ok = Xioctl(io, fd, VIDIOC_QUERYCAP, &cap) == 0 && CapturesVideo(cap);
    io.Close(fd);
    if (ok) return path;
  }
  return {};
}

V4l2Device::V4l2Device(std::string path, std::shared_ptr<V4l2Io> io)
    : path_(std::move(path)), io_(std::move(io)), name_(path_) {}

V4l2Device::~V4l2Device() { CloseNode(); }

bool V4l2Device::IsGone(int error) const {
  return error == ENODEV || error == ENXIO || error == EIO || error == EBADF;
}

bool V4l2Device::OpenNode() {
  CloseNode();
  fd_ = io_->Open(path_, O_RDWR | O_NONBLOCK);
  if (fd_ < 0) return false;
  v4l2_capability cap{};
  if (Xioctl(*io_, fd_, VIDIOC_QUERYCAP, &cap) != 0 || !CapturesVideo(cap)) {
    CloseNode();
    return false;
  }
  name_.assign(reinterpret_cast<const char*>(cap.card),
               strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
  return true;
}

void V4l2Device::CloseNode() {
  StopStream();
  if (fd_ >= 0) io_->Close(fd_);
  fd_ = -1;
}

bool V4l2Device::Negotiate(int width, int height) {
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  fmt.fmt.pix.width = static_cast<uint32_t>(width);
  fmt.fmt.pix.height = static_cast<uint32_t>(height);
  fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
  fmt.fmt.pix.field = V4L2_FIELD_NONE;
  if (Xioctl(*io_, fd_, VIDIOC_S_FMT, &fmt) != 0) return false;
  const v4l2_pix_format& pix = fmt.fmt.pix;
  // The driver may adjust the size; it must not give another pixel layout.
  if (pix.pixelformat != V4L2_PIX_FMT_BGR24 || pix.width == 0 || pix.height == 0) return false;
  if (pix.width > static_cast<uint32_t>(kMaxFrameSide) ||
      pix.height > static_cast<uint32_t>(kMaxFrameSide))
    return false;
  uint32_t minLine = pix.width * 3;
  width_ = static_cast<int>(pix.width);
  height_ = static_cast<int>(pix.height);
  bytesPerLine_ = std::max(pix.bytesperline, minLine);
  sizeImage_ = std::max(pix.sizeimage, bytesPerLine_ * pix.height);
  hasFormat_ = true;
  return true;
}

bool V4l2Device::DriverConnect(int index) {
  if (index != 0) return false;
  connected_ = false;
  if (!OpenNode()) return false;
  // Keep the size the camera is set to, unless it has none worth keeping.
  v4l2_format cur{};
  cur.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  int w = kDefaultV4l2Width, h = kDefaultV4l2Height;
  if (Xioctl(*io_, fd_, VIDIOC_G_FMT, &cur) == 0 && cur.fmt.pix.width && cur.fmt.pix.height) {
    w = static_cast<int>(cur.fmt.pix.width);
    h = static_cast<int>(cur.fmt.pix.height);
  }
  if (!Negotiate(w, h)) {
    CloseNode();
    return false;
  }
  connected_ = true;
  lost_ = false;
  return true;
}

bool V4l2Device::GetDriverCaps(CapDriverCaps* caps) {
  if (!connected_ || !caps) return false;
  *caps = CapDriverCaps{};
  caps->fHasDlgVideoSource = Controls().empty() ? 0 : 1;
  caps->fHasDlgVideoFormat = 1;
  caps->fHasDlgVideoDisplay = 1;
  caps->fCaptureInitialized = 1;
  return true;
}

std::vector<uint8_t> V4l2Device::GetVideoFormat() {
  if (!hasFormat_) return {};
  BitmapInfoHeader h;
  h.biWidth = width_;
  h.biHeight = height_;  // rows come top-down (FrameRowOrder)
  h.biBitCount = 24;
  h.biSizeImage = static_cast<uint32_t>(DibStride(width_, 24) * height_);
  std::vector<uint8_t> out(sizeof h);
  std::memcpy(out.data(), &h, sizeof h);
  return out;
}

bool V4l2Device::StartStream() {
  if (streaming_) return true;
  if (fd_ < 0) return false;
  v4l2_requestbuffers req{};
  req.count = kV4l2BufferCount;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (Xioctl(*io_, fd_, VIDIOC_REQBUFS, &req) != 0 || req.count == 0) {
    if (IsGone(errno)) MarkLost();
    return false;
  }
  buffers_.assign(std::min<uint32_t>(req.count, kV4l2BufferCount * 2), Buffer{});
  for (uint32_t i = 0; i < buffers_.size(); ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (Xioctl(*io_, fd_, VIDIOC_QUERYBUF, &buf) != 0) break;
    void* p = io_->Mmap(buf.length, fd_, buf.m.offset);
    if (p == MAP_FAILED) break;
    buffers_[i] = {p, buf.length};
    if (Xioctl(*io_, fd_, VIDIOC_QBUF, &buf) != 0) break;
    if (i + 1 == buffers_.size()) {
      int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      if (Xioctl(*io_, fd_, VIDIOC_STREAMON, &type) == 0) {
        streaming_ = true;
        return true;
      }
    }
  }
  bool gone = IsGone(errno);
  streaming_ = true;  // lets StopStream undo what was set up
  StopStream();
  if (gone) MarkLost();
  return false;
}

void V4l2Device::StopStream() {
  if (!streaming_) return;
  streaming_ = false;
  if (fd_ >= 0) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Xioctl(*io_, fd_, VIDIOC_STREAMOFF, &type);
  }
  for (Buffer& b : buffers_)
    if (b.start) io_->Munmap(b.start, b.length);
  buffers_.clear();
  if (fd_ >= 0) {
    v4l2_requestbuffers req{};
    req.count = 0;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    Xioctl(*io_, fd_, VIDIOC_REQBUFS, &req);
  }
}

bool V4l2Device::UpdateStream() {
  if (!connected_ || lost_) return false;
  if (previewOn_ || singleOpen_) return StartStream();
  StopStream();
  return true;
}

void V4l2Device::MarkLost() {
  if (!lost_) std::fprintf(stderr, "capture: %s went away\n", path_.c_str());
  lost_ = true;
  CloseNode();
}

void V4l2Device::Requeue(uint32_t index) {
  v4l2_buffer buf{};
  buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buf.memory = V4L2_MEMORY_MMAP;
  buf.index = index;
  if (Xioctl(*io_, fd_, VIDIOC_QBUF, &buf) != 0 && IsGone(errno)) MarkLost();
}

V4l2Device::Fetch V4l2Device::FetchNewest(int timeoutMs, std::vector<uint8_t>& out) {
  if (!streaming_) return Fetch::kFailed;
  int ready = io_->WaitReadable(fd_, timeoutMs);
  if (ready < 0) {
    if (IsGone(errno)) MarkLost();
    return Fetch::kFailed;
  }
  if (ready == 0) return Fetch::kNone;
  bool have = false;
  v4l2_buffer newest{};
  while (true) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (Xioctl(*io_, fd_, VIDIOC_DQBUF, &buf) != 0) {
      if (errno == EAGAIN) break;
      bool gone = IsGone(errno);
      if (have) Requeue(newest.index);
      if (gone) MarkLost();
      return Fetch::kFailed;
    }
    if (buf.index >= buffers_.size()) {
      if (have) Requeue(newest.index);
      MarkLost();  // the driver is not keeping its word; start afresh
      return Fetch::kFailed;
    }
    // A frame the driver marks broken, or one shorter than a picture, is skipped.
    bool good =
        !(buf.flags & V4L2_BUF_FLAG_ERROR) &&
        buf.bytesused >= static_cast<uint64_t>(bytesPerLine_) * (height_ - 1) + width_ * 3 &&
        buf.bytesused <= buffers_[buf.index].length;
    if (!good) {
      Requeue(buf.index);
      if (lost_) return Fetch::kFailed;
      continue;
    }
    if (have) Requeue(newest.index);
    if (lost_) return Fetch::kFailed;
    newest = buf;
    have = true;
  }
  if (!have) return Fetch::kNone;

  // BGR24 rows with the driver's line length -> DIB rows, top row still first.
  const int64_t stride = DibStride(width_, 24);
  out.resize(static_cast<size_t>(stride * height_));
  const uint8_t* base = static_cast<const uint8_t*>(buffers_[newest.index].start);
  const size_t rowBytes = static_cast<size_t>(width_) * 3;
  for (int y = 0; y < height_; ++y) {
    uint8_t* dst = out.data() + y * stride;
    std::memcpy(dst, base + static_cast<size_t>(y) * bytesPerLine_, rowBytes);
    std::memset(dst + rowBytes, 0, static_cast<size_t>(stride) - rowBytes);
  }
  Requeue(newest.index);
  return lost_ ? Fetch::kFailed : Fetch::kFrame;
}

void V4l2Device::SetPreview(bool on) {
  previewOn_ = on;
  UpdateStream();
}

bool V4l2Device::GrabPreviewFrame(std::vector<uint8_t>& out) {
  if (!previewOn_ || !connected_ || lost_) return false;
  if (!streaming_ && !StartStream()) return false;
  return FetchNewest(0, out) == Fetch::kFrame;
}

bool V4l2Device::SingleFrameOpen() {
  if (!connected_) return false;
  if (lost_) {
    // The camera may be back: reconnect, but only to the very format the
    // program has on record, or its frames would not match it.
    int w = width_, h = height_;
    if (!OpenNode() || !Negotiate(w, h) || width_ != w || height_ != h) {
      width_ = w, height_ = h;
      CloseNode();
      return false;
    }
    lost_ = false;
  }
  singleOpen_ = true;
  if (!UpdateStream()) {
    singleOpen_ = false;
    return false;
  }
  return true;
}

bool V4l2Device::SingleFrame() {
  if (!singleOpen_ || lost_ || !streaming_) return false;
  // Frames already waiting may be old (taken while nobody was fetching): drop
  // them and wait for one taken now.
  if (FetchNewest(0, frame_) == Fetch::kFailed) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(frameWaitMs_);
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    Fetch f = FetchNewest(static_cast<int>(left), frame_);
    if (f == Fetch::kFailed) return false;
    if (f == Fetch::kFrame) break;
  }
  VideoHdr hdr;
  hdr.lpData = frame_.data();
  hdr.dwBufferLength = static_cast<uint32_t>(frame_.size());
  hdr.dwBytesUsed = hdr.dwBufferLength;
  // The handler may replace or remove its own registration while it runs.
  FrameCallback callback = callback_;
  if (callback) callback(hdr);
  return true;
}

bool V4l2Device::SingleFrameClose() {
  bool wasOpen = singleOpen_;
  singleOpen_ = false;
  UpdateStream();
  return wasOpen;
}

std::vector<DeviceControl> V4l2Device::Controls() {
  std::vector<DeviceControl> out;
  if (fd_ < 0) return out;
  v4l2_queryctrl q{};
  q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  while (Xioctl(*io_, fd_, VIDIOC_QUERYCTRL, &q) == 0) {
    uint32_t id = q.id;
    bool usable = !(q.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY |
                               V4L2_CTRL_FLAG_INACTIVE)) &&
                  (q.type == V4L2_CTRL_TYPE_INTEGER || q.type == V4L2_CTRL_TYPE_BOOLEAN ||
                   q.type == V4L2_CTRL_TYPE_MENU);
    if (usable) {
      DeviceControl c;
      c.id = id;
      c.name.assign(reinterpret_cast<const char*>(q.name),
                    strnlen(reinterpret_cast<const char*>(q.name), sizeof q.name));
      c.kind = q.type == V4L2_CTRL_TYPE_BOOLEAN ? DeviceControl::Kind::kBoolean
               : q.type == V4L2_CTRL_TYPE_MENU  ? DeviceControl::Kind::kMenu
                                                : DeviceControl::Kind::kInteger;
      c.minimum = q.minimum;
      c.maximum = q.maximum;
      c.step = q.step > 0 ? q.step : 1;
      c.defaultValue = q.default_value;
      v4l2_control value{};
      value.id = id;
      c.value = Xioctl(*io_, fd_, VIDIOC_G_CTRL, &value) == 0 ? value.value : q.default_value;
      if (c.kind == DeviceControl::Kind::kMenu) {
        // Entries the driver skips stay empty so index i keeps meaning minimum + i.
        for (int32_t i = q.minimum; i <= q.maximum && i - q.minimum < 256; ++i) {
          v4l2_querymenu m{};
          m.id = id;
          m.index = static_cast<uint32_t>(i);
          if (Xioctl(*io_, fd_, VIDIOC_QUERYMENU, &m) == 0)
            c.menuItems.emplace_back(reinterpret_cast<const char*>(m.name),
                                     strnlen(reinterpret_cast<const char*>(m.name), sizeof m.name));
          else
            c.menuItems.emplace_back();
        }
      }
      out.push_back(std::move(c));
    }
    q = v4l2_queryctrl{};
    q.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  return out;
}

bool V4l2Device::SetControl(uint32_t id, int32_t value) {
  if (fd_ < 0) return false;
  v4l2_control c{};
  c.id = id;
  c.value = value;
  return Xioctl(*io_, fd_, VIDIOC_S_CTRL, &c) == 0;
}

std::vector<FrameFormat> V4l2Device::SupportedFormats() {
  std::vector<FrameFormat> out;
  if (fd_ >= 0) {
    v4l2_frmsizeenum e{};
    e.pixel_format = V4L2_PIX_FMT_BGR24;
    for (e.index = 0; Xioctl(*io_, fd_, VIDIOC_ENUM_FRAMESIZES, &e) == 0 && e.index < 256;
         ++e.index) {
      if (e.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        out.push_back(
            {static_cast<int32_t>(e.discrete.width), static_cast<int32_t>(e.discrete.height), 24});
        continue;
      }
      const auto& s = e.stepwise;
      for (const auto& c : kCommonSizes) {
        uint32_t w = static_cast<uint32_t>(c[0]), h = static_cast<uint32_t>(c[1]);
        if (w >= s.min_width && w <= s.max_width && h >= s.min_height && h <= s.max_height)
          out.push_back({c[0], c[1], 24});
      }
      break;  // a range is the only entry
    }
  }
  FrameFormat current{width_, height_, 24};
  if (hasFormat_ && std::find(out.begin(), out.end(), current) == out.end()) out.push_back(current);
  return out;
}

bool V4l2Device::SetFormat(const FrameFormat& format) {
  if (!connected_ || lost_ || fd_ < 0 || format.bitCount != 24) return false;
  // Buffers of the old size must go before the size can change.
  bool wasStreaming = streaming_;
  StopStream();
  int oldW = width_, oldH = height_;
  bool ok = Negotiate(format.width, format.height);
  if (!ok && !lost_) Negotiate(oldW, oldH);
  if (wasStreaming) UpdateStream();
  return ok;
}

}  // namespace snapvane
