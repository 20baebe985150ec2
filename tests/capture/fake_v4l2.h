#pragma once
// A simulated V4L2 camera behind the V4l2Io seam: BGR24 at a few sizes (as libv4l2
// presents a camera), mmap buffers, a frame counter, controls, and faults on
// request (broken or short frames, the device vanishing).
#include <linux/videodev2.h>
#include <sys/mman.h>

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
  struct Control {
    v4l2_queryctrl query{};
    int32_t value = 0;
  };
  struct Fault {
    uint32_t flags = 0;       // e.g. V4L2_BUF_FLAG_ERROR
    bool shortFrame = false;  // bytesused below one picture
  };

  // path -> device capabilities; /dev/video0 captures by default.
  std::map<std::string, uint32_t> nodes = {
      {"/dev/video0", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING}};
  std::vector<std::pair<uint32_t, uint32_t>> sizes = {{320, 240}, {640, 480}, {1280, 720}};
  uint32_t width = 640, height = 480;
  uint32_t linePad = 0;      // extra bytes the driver puts after each row
  bool offersBgr24 = true;   // false: S_FMT answers with YUYV
  bool autoProduce = true;   // every wait for a frame makes the camera take one
  bool gone = false;         // unplugged: every call on the device fails with ENODEV
  std::deque<Fault> faults;  // applied to the next frames taken, in order

  std::vector<Buf> bufs;
  std::deque<uint32_t> queued, done;
  bool streaming = false;
  uint32_t sequence = 0;  // frames taken so far
  int openFds = 0;
  int nextFd = 100;
  int streamOns = 0, streamOffs = 0, sFmts = 0;
  std::vector<Control> controls;
  std::string lastError;  // a protocol rule the backend broke

  uint32_t BytesPerLine() const { return width * 3 + linePad; }
  uint32_t SizeImage() const { return BytesPerLine() * height; }
  int Mapped() const {
    int n = 0;
    for (const Buf& b : bufs) n += b.mapped;
    return n;
  }

  // The camera takes n pictures into queued buffers (dropped when none is queued).
  void Produce(int n) {
    for (int i = 0; i < n; ++i) {
      uint32_t seq = sequence++;
      Fault fault;
      if (!faults.empty()) {
        fault = faults.front();
        faults.pop_front();
      }
      if (queued.empty() || !streaming) continue;
      uint32_t index = queued.front();
      queued.pop_front();
      Buf& b = bufs[index];
      // Row y holds bytes (y * 7 + seq) & 0xff; padding 0xee.
      for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = b.mem.data() + y * BytesPerLine();
        std::memset(row, static_cast<int>((y * 7 + seq) & 0xff), width * 3);
        std::memset(row + width * 3, 0xee, linePad);
      }
      b.sequence = seq;
      b.flags = fault.flags;
      b.bytesused = fault.shortFrame ? SizeImage() / 2 : SizeImage();
      done.push_back(index);
    }
  }

  int Open(const std::string& path, int) override {
    if (gone || !nodes.count(path)) {
      errno = ENOENT;
      return -1;
    }
    openFds++;
    path_[nextFd] = path;
    return nextFd++;
  }
  int Close(int fd) override {
    if (!path_.erase(fd)) lastError = "close of an unknown descriptor";
    openFds--;
    if (openFds == 0) {
      // The last close frees the driver's buffers, as the kernel does.
      if (Mapped()) lastError = "close with buffers still mapped";
      streaming = false;
      bufs.clear();
      queued.clear();
      done.clear();
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
      if (b.mem.data() == address && b.mapped) {
        b.mapped = false;
        return 0;
      }
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
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::memset(cap, 0, sizeof *cap);
        std::strcpy(reinterpret_cast<char*>(cap->card), "Fake Camera");
        cap->device_caps = nodes[path_[fd]];
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
      }
      case VIDIOC_G_FMT:
        FillFormat(static_cast<v4l2_format*>(arg));
        return 0;
      case VIDIOC_S_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        sFmts++;
        if (!bufs.empty()) return Fail(EBUSY);
        // Nearest offered size, as drivers do.
        uint64_t best = UINT64_MAX;
        for (auto [w, h] : sizes) {
          uint64_t d = static_cast<uint64_t>(std::abs(int64_t(w) - f->fmt.pix.width)) +
                       std::abs(int64_t(h) - f->fmt.pix.height);
          if (d < best) best = d, width = w, height = h;
        }
        FillFormat(f);
        return 0;
      }
      case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(arg);
        if (streaming) return Fail(EBUSY);
        if (Mapped()) {
          lastError = "REQBUFS while buffers are mapped";
          return Fail(EBUSY);
        }
        bufs.clear();
        queued.clear();
        done.clear();
        r->count = std::min<uint32_t>(r->count, 4);
        bufs.resize(r->count);
        for (Buf& b : bufs) b.mem.assign(SizeImage(), 0);
        return 0;
      }
      case VIDIOC_QUERYBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (b->index >= bufs.size()) return Fail(EINVAL);
        b->length = static_cast<uint32_t>(bufs[b->index].mem.size());
        b->m.offset = b->index * kOffsetStep;
        return 0;
      }
      case VIDIOC_QBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (b->index >= bufs.size() || Owned(b->index)) {
          lastError = "QBUF of a buffer the driver holds";
          return Fail(EINVAL);
        }
        queued.push_back(b->index);
        return 0;
      }
      case VIDIOC_DQBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (done.empty()) return Fail(EAGAIN);
        uint32_t i = done.front();
        done.pop_front();
        b->index = i;
        b->bytesused = bufs[i].bytesused;
        b->flags = bufs[i].flags;
        b->sequence = bufs[i].sequence;
        return 0;
      }
      case VIDIOC_STREAMON:
        if (bufs.empty()) return Fail(EINVAL);
        streaming = true;
        streamOns++;
        return 0;
      case VIDIOC_STREAMOFF:
        streaming = false;
        streamOffs++;
        queued.clear();
        done.clear();
        return 0;
      case VIDIOC_QUERYCTRL: {
        auto* q = static_cast<v4l2_queryctrl*>(arg);
        uint32_t after = q->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
        for (const Control& c : controls)
          if (c.query.id > after) {
            *q = c.query;
            return 0;
          }
        return Fail(EINVAL);
      }
      case VIDIOC_G_CTRL: {
        auto* v = static_cast<v4l2_control*>(arg);
        for (Control& c : controls)
          if (c.query.id == v->id) return v->value = c.value, 0;
        return Fail(EINVAL);
      }
      default:
        return Fail(ENOTTY);
    }
  }

  void AddControl(uint32_t id, const char* name, v4l2_ctrl_type type, int32_t value,
                  uint32_t flags = 0) {
    Control c;
    c.query.id = id;
    c.query.type = type;
    std::strncpy(reinterpret_cast<char*>(c.query.name), name, sizeof c.query.name - 1);
    c.query.maximum = 255;
    c.query.step = 1;
    c.query.flags = flags;
    c.value = value;
    controls.push_back(c);
  }

 private:
  static constexpr int64_t kOffsetStep = 0x100000;
  int Fail(int e) {
    errno = e;
    return -1;
  }
  bool Owned(uint32_t index) const {
    for (uint32_t q : queued)
      if (q == index) return true;
    for (uint32_t d : done)
      if (d == index) return true;
    return false;
  }
  void FillFormat(v4l2_format* f) {
    f->fmt.pix.width = width;
    f->fmt.pix.height = height;
    f->fmt.pix.pixelformat = offersBgr24 ? V4L2_PIX_FMT_BGR24 : V4L2_PIX_FMT_YUYV;
    f->fmt.pix.bytesperline = BytesPerLine();
    f->fmt.pix.sizeimage = SizeImage();
  }
  std::map<int, std::string> path_;
};

}  // namespace snapvane::test
