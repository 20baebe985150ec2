#pragma once
// A simulated V4L2 camera behind the V4l2Io seam: BGR24 (as libv4l2 presents a
// camera), mmap buffers, numbered frames and faults on request (broken or short
// frames, the device vanishing). Protocol misuse lands in lastError.
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <tuple>
#include <vector>

#include "capture/v4l2_device.h"

namespace snapvane::test {

class FakeV4l2 : public V4l2Io {
 public:
  static constexpr uint32_t kShort = 1u << 31;  // a fault: bytesused below one picture

  struct Buf {
    std::vector<uint8_t> mem;
    bool mapped = false;
    uint32_t bytesused = 0, flags = 0;
  };

  std::vector<std::pair<uint32_t, uint32_t>> sizes = {{640, 480}, {1280, 720}};
  uint32_t width = 640, height = 480, linePad = 0;  // linePad: bytes after each row
  bool offersBgr24 = true;                          // false: S_FMT answers with YUYV
  bool autoProduce = true;      // every wait for a frame makes the camera take one
  bool gone = false;            // unplugged: every call on the device fails
  std::deque<uint32_t> faults;  // buffer flags (or kShort) of the next frames taken
  std::vector<Buf> bufs;
  std::deque<uint32_t> queued, done;
  bool streaming = false;
  uint32_t sequence = 0;  // frames taken so far
  int openFds = 0, streamOns = 0;
  std::string lastError;

  uint32_t Line() const { return width * 3 + linePad; }
  int Mapped() const {
    return int(std::count_if(bufs.begin(), bufs.end(), [](auto& b) { return b.mapped; }));
  }

  // The camera takes n pictures into queued buffers: row y holds (y * 7 + seq) & 0xff,
  // row padding 0xee.
  void Produce(int n) {
    for (; n > 0; --n) {
      uint32_t seq = sequence++, fault = 0;
      if (!faults.empty()) fault = faults.front(), faults.pop_front();
      if (queued.empty() || !streaming) continue;
      done.push_back(queued.front()), queued.pop_front();
      Buf& b = bufs[done.back()];
      std::fill(b.mem.begin(), b.mem.end(), 0xee);
      for (uint32_t y = 0; y < height; ++y)
        std::memset(&b.mem[y * Line()], static_cast<int>((y * 7 + seq) & 0xff), width * 3);
      b.flags = fault & ~kShort;
      b.bytesused = static_cast<uint32_t>(fault & kShort ? b.mem.size() / 2 : b.mem.size());
    }
  }

  int Open(const std::string&, int) override { return gone ? Fail(ENOENT) : (++openFds, 100); }
  int Close(int) override {
    if (--openFds == 0) {  // the last close frees the driver's buffers, as the kernel does
      if (Mapped()) lastError = "close with buffers still mapped";
      streaming = false, bufs.clear(), queued.clear(), done.clear();
    }
    return 0;
  }
  void* Mmap(size_t length, int, int64_t offset) override {
    if (gone || size_t(offset) >= bufs.size() || length != bufs[offset].mem.size())
      return MAP_FAILED;
    return bufs[offset].mapped = true, bufs[offset].mem.data();
  }
  int Munmap(void* address, size_t) override {
    for (Buf& b : bufs) b.mapped &= b.mem.data() != address;
    return 0;
  }
  int WaitReadable(int, int) override {
    if (gone) return Fail(ENODEV);
    if (streaming && autoProduce) Produce(1);
    return done.empty() ? 0 : 1;
  }

  int Ioctl(int, unsigned long request, void* arg) override {
    if (gone) return Fail(ENODEV);
    auto* b = static_cast<v4l2_buffer*>(arg);
    auto& pix = static_cast<v4l2_format*>(arg)->fmt.pix;
    switch (request) {
      case VIDIOC_QUERYCAP:
        static_cast<v4l2_capability*>(arg)->capabilities =
            V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
      case VIDIOC_S_FMT: {
        if (!bufs.empty()) return Fail(EBUSY);
        auto it = std::find(sizes.begin(), sizes.end(), std::pair(pix.width, pix.height));
        std::tie(width, height) = it != sizes.end() ? *it : sizes[0];  // the driver adjusts
        [[fallthrough]];
      }
      case VIDIOC_G_FMT:
        pix.width = width, pix.height = height, pix.bytesperline = Line();
        pix.pixelformat = offersBgr24 ? V4L2_PIX_FMT_BGR24 : V4L2_PIX_FMT_YUYV;
        pix.sizeimage = Line() * height;
        return 0;
      case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(arg);
        if (streaming || Mapped())
          return lastError = "REQBUFS while streaming or mapped", Fail(EBUSY);
        queued.clear(), done.clear();
        r->count = std::min<uint32_t>(r->count, 4);
        bufs.assign(r->count, Buf{std::vector<uint8_t>(Line() * height)});
        return 0;
      }
      case VIDIOC_QUERYBUF:
        b->length = static_cast<uint32_t>(bufs[b->index].mem.size()), b->m.offset = b->index;
        return 0;
      case VIDIOC_QBUF:  // a buffer queued twice shows in queued.size()
        return queued.push_back(b->index), 0;
      case VIDIOC_DQBUF:
        if (done.empty()) return Fail(EAGAIN);
        b->index = done.front(), b->bytesused = bufs[b->index].bytesused;
        b->flags = bufs[b->index].flags;
        return done.pop_front(), 0;
      case VIDIOC_STREAMON:
        return streaming = true, ++streamOns, 0;
      case VIDIOC_STREAMOFF:
        return streaming = false, queued.clear(), done.clear(), 0;
      default:  // controls and frame sizes: none
        return Fail(ENOTTY);
    }
  }

 private:
  int Fail(int e) { return errno = e, -1; }
};

}  // namespace snapvane::test
