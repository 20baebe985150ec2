#pragma once
// A simulated V4L2 camera behind the V4l2Io seam: BGR24 at a few sizes (as libv4l2
// presents a camera), mmap buffers, a frame counter, and faults on request (broken
// or short frames, the device vanishing). Protocol misuse lands in lastError.
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "capture/v4l2_device.h"

namespace snapvane::test {

class FakeV4l2 : public V4l2Io {
 public:
  struct Buf {
    std::vector<uint8_t> mem;
    bool mapped = false;
    uint32_t bytesused = 0, flags = 0, sequence = 0;
  };
  struct Fault {
    uint32_t flags = 0;       // e.g. V4L2_BUF_FLAG_ERROR
    bool shortFrame = false;  // bytesused below one picture
  };

  std::vector<std::pair<uint32_t, uint32_t>> sizes = {{320, 240}, {640, 480}, {1280, 720}};
  uint32_t width = 640, height = 480, linePad = 0;  // linePad: bytes after each row
  bool offersBgr24 = true;   // false: S_FMT answers with YUYV
  bool autoProduce = true;   // every wait for a frame makes the camera take one
  bool gone = false;         // unplugged: every call on the device fails with ENODEV
  std::deque<Fault> faults;  // applied to the next frames taken, in order

  std::vector<Buf> bufs;
  std::deque<uint32_t> queued, done;
  bool streaming = false;
  uint32_t sequence = 0;  // frames taken so far
  int openFds = 0, nextFd = 100, streamOns = 0;
  std::string lastError;

  uint32_t BytesPerLine() const { return width * 3 + linePad; }
  uint32_t SizeImage() const { return BytesPerLine() * height; }
  int Mapped() const {
    return static_cast<int>(std::count_if(bufs.begin(), bufs.end(), [](auto& b) { return b.mapped; }));
  }

  // The camera takes n pictures into queued buffers (dropped when none is queued).
  // Row y holds bytes (y * 7 + seq) & 0xff; padding 0xee.
  void Produce(int n) {
    for (int i = 0; i < n; ++i) {
      uint32_t seq = sequence++;
      Fault fault;
      if (!faults.empty()) fault = faults.front(), faults.pop_front();
      if (queued.empty() || !streaming) continue;
      uint32_t index = queued.front();
      queued.pop_front();
      Buf& b = bufs[index];
      for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = b.mem.data() + y * BytesPerLine();
        std::memset(row, static_cast<int>((y * 7 + seq) & 0xff), width * 3);
        std::memset(row + width * 3, 0xee, linePad);
      }
      b.sequence = seq, b.flags = fault.flags;
      b.bytesused = fault.shortFrame ? SizeImage() / 2 : SizeImage();
      done.push_back(index);
    }
  }

  int Open(const std::string& path, int) override {
    if (gone || path != "/dev/video0") return Fail(ENOENT);
    openFds++;
    path_[nextFd] = path;
    return nextFd++;
  }
  int Close(int fd) override {
    if (!path_.erase(fd)) lastError = "close of an unknown descriptor";
    if (--openFds == 0) {  // the last close frees the driver's buffers, as the kernel does
      if (Mapped()) lastError = "close with buffers still mapped";
      streaming = false;
      Reset();
    }
    return 0;
  }
  void* Mmap(size_t length, int, int64_t offset) override {
    size_t i = static_cast<size_t>(offset / kOffsetStep);
    if (gone || i >= bufs.size() || length != bufs[i].mem.size()) return MAP_FAILED;
    bufs[i].mapped = true;
    return bufs[i].mem.data();
  }
  int Munmap(void* address, size_t) override {
    for (Buf& b : bufs)
      if (b.mem.data() == address && b.mapped) return b.mapped = false, 0;
    lastError = "munmap of an unmapped address";
    return -1;
  }
  int WaitReadable(int, int) override {
    if (gone) return Fail(ENODEV);
    if (streaming && autoProduce) Produce(1);
    return done.empty() ? 0 : 1;
  }

  int Ioctl(int fd, unsigned long request, void* arg) override {
    if (!path_.count(fd)) return Fail(EBADF);
    if (gone) return Fail(ENODEV);
    auto* b = static_cast<v4l2_buffer*>(arg);
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        *cap = {};
        std::strcpy(reinterpret_cast<char*>(cap->card), "Fake Camera");
        cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
      }
      case VIDIOC_S_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (!bufs.empty()) return Fail(EBUSY);
        uint64_t best = UINT64_MAX;  // nearest offered size, as drivers do
        for (auto [w, h] : sizes) {
          uint64_t d = std::abs(int64_t(w) - f->fmt.pix.width) +
                       std::abs(int64_t(h) - f->fmt.pix.height);
          if (d < best) best = d, width = w, height = h;
        }
        [[fallthrough]];
      }
      case VIDIOC_G_FMT: {
        auto& pix = static_cast<v4l2_format*>(arg)->fmt.pix;
        pix.width = width, pix.height = height;
        pix.pixelformat = offersBgr24 ? V4L2_PIX_FMT_BGR24 : V4L2_PIX_FMT_YUYV;
        pix.bytesperline = BytesPerLine(), pix.sizeimage = SizeImage();
        return 0;
      }
      case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(arg);
        if (streaming) return Fail(EBUSY);
        if (Mapped()) return lastError = "REQBUFS while buffers are mapped", Fail(EBUSY);
        Reset();
        r->count = std::min<uint32_t>(r->count, 4);
        bufs.resize(r->count, Buf{std::vector<uint8_t>(SizeImage())});
        return 0;
      }
      case VIDIOC_QUERYBUF:
        if (b->index >= bufs.size()) return Fail(EINVAL);
        b->length = static_cast<uint32_t>(bufs[b->index].mem.size());
        b->m.offset = b->index * kOffsetStep;
        return 0;
      case VIDIOC_QBUF:
        if (b->index >= bufs.size() || Owned(queued, b->index) || Owned(done, b->index))
          return lastError = "QBUF of a buffer the driver holds", Fail(EINVAL);
        queued.push_back(b->index);
        return 0;
      case VIDIOC_DQBUF:
        if (done.empty()) return Fail(EAGAIN);
        b->index = done.front();
        done.pop_front();
        b->bytesused = bufs[b->index].bytesused, b->flags = bufs[b->index].flags;
        b->sequence = bufs[b->index].sequence;
        return 0;
      case VIDIOC_STREAMON:
        if (bufs.empty()) return Fail(EINVAL);
        streaming = true;
        return ++streamOns, 0;
      case VIDIOC_STREAMOFF:
        streaming = false;
        queued.clear(), done.clear();
        return 0;
      default:
        return Fail(ENOTTY);
    }
  }

 private:
  static constexpr int64_t kOffsetStep = 0x100000;
  int Fail(int e) { return errno = e, -1; }
  static bool Owned(const std::deque<uint32_t>& q, uint32_t i) {
    return std::find(q.begin(), q.end(), i) != q.end();
  }
  void Reset() { bufs.clear(), queued.clear(), done.clear(); }
  std::map<int, std::string> path_;
};

}  // namespace snapvane::test
