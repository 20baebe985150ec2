#include "capture/test_pattern_device.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

namespace snapvane {
namespace {

constexpr int32_t kSizes[][2] = {{160, 120}, {320, 240}, {640, 480}, {1280, 720}};
constexpr uint16_t kDepths[] = {8, 16, 24, 32};
constexpr int kPaletteEntries = 256;
constexpr int kBlockStep = 8;  // pixels the block travels per frame

// 3x5 digit glyphs, one row per 3-bit group, top row first.
constexpr uint16_t kDigits[10] = {
    0b111101101101111, 0b010110010010111, 0b111001111100111, 0b111001111001111, 0b101101111001001,
    0b111100111001111, 0b111100111101111, 0b111001001001001, 0b111101111101111, 0b111101111001111};

bool Supported(const FrameFormat& f) {
  bool size = std::any_of(std::begin(kSizes), std::end(kSizes),
                          [&](const auto& s) { return s[0] == f.width && s[1] == f.height; });
  bool depth = std::find(std::begin(kDepths), std::end(kDepths), f.bitCount) != std::end(kDepths);
  return size && depth;
}

// 8-bit frames index a 3-3-2 colour cube.
uint8_t PaletteIndex(uint32_t rgb) {
  uint32_t r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
  return static_cast<uint8_t>(((r >> 5) << 5) | ((g >> 5) << 2) | (b >> 6));
}

void FillRect(std::vector<uint32_t>& canvas, int width, int height, int x, int y, int w, int h,
              uint32_t colour) {
  int x0 = std::max(x, 0), y0 = std::max(y, 0);
  int x1 = std::min(x + w, width), y1 = std::min(y + h, height);
  for (int row = y0; row < y1; ++row)
    std::fill(canvas.begin() + static_cast<size_t>(row) * width + x0,
              canvas.begin() + static_cast<size_t>(row) * width + x1, colour);
}

// One top-down canvas row into one DIB row of the given depth.
void PackRow(const uint32_t* src, uint8_t* dst, int w, uint16_t depth) {
  switch (depth) {
    case 8:
      for (int x = 0; x < w; ++x) dst[x] = PaletteIndex(src[x]);
      break;
    case 16:
      for (int x = 0; x < w; ++x) {
        uint32_t c = src[x];
        uint32_t v = ((c >> 9) & 0x7c00) | ((c >> 6) & 0x03e0) | ((c >> 3) & 0x001f);
        dst[2 * x] = static_cast<uint8_t>(v & 0xff);
        dst[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      }
      break;
    case 24:
      for (int x = 0; x < w; ++x) {
        uint32_t c = src[x];
        dst[3 * x] = static_cast<uint8_t>(c);
        dst[3 * x + 1] = static_cast<uint8_t>(c >> 8);
        dst[3 * x + 2] = static_cast<uint8_t>(c >> 16);
      }
      break;
    case 32:
      // 0x00RRGGBB stored little-endian is blue, green, red, 0.
      std::memcpy(dst, src, static_cast<size_t>(w) * 4);
      break;
  }
}

const char* EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace

std::optional<FrameFormat> ParseFrameFormat(std::string_view text) {
  int values[3] = {};
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 3; ++i) {
    auto [next, ec] = std::from_chars(p, end, values[i]);
    if (ec != std::errc() || values[i] <= 0) return std::nullopt;
    p = next;
    if (i < 2) {
      if (p == end || (*p != 'x' && *p != 'X')) return std::nullopt;
      ++p;
    }
  }
  if (p != end || values[2] > 32) return std::nullopt;
  return FrameFormat{values[0], values[1], static_cast<uint16_t>(values[2])};
}

TestPatternDevice::TestPatternDevice() = default;

std::unique_ptr<TestPatternDevice> TestPatternDevice::FromEnvironment() {
  auto device = std::make_unique<TestPatternDevice>();
  if (auto f = ParseFrameFormat(EnvOrEmpty("SNAPVANE_PATTERN_FORMAT")); f && Supported(*f))
    device->format_ = *f;
  std::string fail = EnvOrEmpty("SNAPVANE_PATTERN_FAIL");
  device->SetFailWhile(EnvOrEmpty("SNAPVANE_PATTERN_FAIL_WHILE"));
  device->SetStepFails(Step::kOpen, fail.find("open") != std::string::npos);
  device->SetStepFails(Step::kFrame, fail.find("frame") != std::string::npos);
  device->SetStepFails(Step::kClose, fail.find("close") != std::string::npos);
  device->SetShortFrames(std::strcmp(EnvOrEmpty("SNAPVANE_PATTERN_SHORT"), "1") == 0);
  device->SetReportsNoFormat(std::strcmp(EnvOrEmpty("SNAPVANE_PATTERN_NOFORMAT"), "1") == 0);
  return device;
}

void TestPatternDevice::SetStepFails(Step step, bool fails) {
  fails_[static_cast<size_t>(step)] = fails;
}
bool TestPatternDevice::Fails(Step step) const {
  if (!fails_[static_cast<size_t>(step)]) return false;
  return failWhile_.empty() || access(failWhile_.c_str(), F_OK) == 0;
}

void TestPatternDevice::SetShortFrames(bool shortFrames) { shortFrames_ = shortFrames; }
void TestPatternDevice::SetReportsNoFormat(bool none) { noFormat_ = none; }

bool TestPatternDevice::DriverConnect(int index) {
  connected_ = index == 0;
  return connected_;
}

bool TestPatternDevice::GetDriverCaps(CapDriverCaps* caps) {
  if (!connected_ || !caps) return false;
  *caps = CapDriverCaps{};
  caps->fHasDlgVideoSource = 1;
  caps->fHasDlgVideoFormat = 1;
  caps->fHasDlgVideoDisplay = 1;
  caps->fCaptureInitialized = 1;
  return true;
}

std::vector<uint8_t> TestPatternDevice::GetVideoFormat() {
  if (!connected_ || noFormat_) return {};
  BitmapInfoHeader h;
  h.biWidth = format_.width;
  h.biHeight = format_.height;
  h.biBitCount = format_.bitCount;
  h.biSizeImage =
      static_cast<uint32_t>(DibStride(format_.width, format_.bitCount) * format_.height);
  size_t size = sizeof h;
  if (format_.bitCount == 8) {
    h.biClrUsed = kPaletteEntries;
    size += kPaletteEntries * 4;
  }
  std::vector<uint8_t> out(size);
  std::memcpy(out.data(), &h, sizeof h);
  if (format_.bitCount == 8) {
    // RGBQUAD entries (blue, green, red, reserved) of the 3-3-2 cube.
    for (int i = 0; i < kPaletteEntries; ++i) {
      uint8_t* q = out.data() + sizeof h + i * 4;
      q[0] = static_cast<uint8_t>((i & 3) * 255 / 3);
      q[1] = static_cast<uint8_t>(((i >> 2) & 7) * 255 / 7);
      q[2] = static_cast<uint8_t>(((i >> 5) & 7) * 255 / 7);
      q[3] = 0;
    }
  }
  return out;
}

bool TestPatternDevice::GrabPreviewFrame(std::vector<uint8_t>& out) {
  if (!connected_ || noFormat_) return false;
  RenderFrame(out);
  return true;
}

bool TestPatternDevice::SingleFrameOpen() {
  if (!connected_ || noFormat_ || Fails(Step::kOpen)) return false;
  singleOpen_ = true;
  return true;
}

bool TestPatternDevice::SingleFrame() {
  if (!singleOpen_ || Fails(Step::kFrame)) return false;
  RenderFrame(frame_);
  VideoHdr hdr;
  hdr.lpData = frame_.data();
  hdr.dwBufferLength = static_cast<uint32_t>(frame_.size());
  hdr.dwBytesUsed = shortFrames_ ? hdr.dwBufferLength / 2 : hdr.dwBufferLength;
  // The handler may replace or remove its own registration while it runs.
  FrameCallback callback = callback_;
  if (callback) callback(hdr);
  return true;
}

bool TestPatternDevice::SingleFrameClose() {
  bool wasOpen = singleOpen_;
  singleOpen_ = false;
  return wasOpen && !Fails(Step::kClose);
}

std::vector<DeviceControl> TestPatternDevice::Controls() {
  DeviceControl pattern;
  pattern.id = kPatternControl;
  pattern.name = "Pattern";
  pattern.kind = DeviceControl::Kind::kMenu;
  pattern.minimum = 0;
  pattern.maximum = 2;
  pattern.value = static_cast<int32_t>(pattern_);
  pattern.menuItems = {"Colour bars", "Grey ramp", "Checkerboard"};

  DeviceControl block;
  block.id = kMovingBlockControl;
  block.name = "Moving block";
  block.kind = DeviceControl::Kind::kBoolean;
  block.maximum = 1;
  block.defaultValue = 1;
  block.value = movingBlock_;

  DeviceControl counter = block;
  counter.id = kCounterControl;
  counter.name = "Frame counter";
  counter.value = counter_;
  return {pattern, block, counter};
}

bool TestPatternDevice::SetControl(uint32_t id, int32_t value) {
  switch (id) {
    case kPatternControl:
      if (value < 0 || value > 2) return false;
      pattern_ = static_cast<Pattern>(value);
      return true;
    case kMovingBlockControl:
      movingBlock_ = value != 0;
      return true;
    case kCounterControl:
      counter_ = value != 0;
      return true;
    default:
      return false;
  }
}

std::vector<FrameFormat> TestPatternDevice::SupportedFormats() {
  std::vector<FrameFormat> out;
  for (const auto& s : kSizes)
    for (uint16_t d : kDepths) out.push_back({s[0], s[1], d});
  return out;
}

bool TestPatternDevice::SetFormat(const FrameFormat& format) {
  if (!Supported(format)) return false;
  format_ = format;
  return true;
}

void TestPatternDevice::DrawBackground() {
  const int w = format_.width, h = format_.height;
  background_.assign(static_cast<size_t>(w) * h, 0);
  backgroundPattern_ = pattern_;
  backgroundWidth_ = w;
  backgroundHeight_ = h;

  static constexpr uint32_t kBars[8] = {0xffffff, 0xffff00, 0x00ffff, 0x00ff00,
                                        0xff00ff, 0xff0000, 0x0000ff, 0x000000};
  // Each pattern is a few distinct rows: draw each once, then repeat it down.
  auto ramp = [w](uint32_t* row) {
    for (int x = 0; x < w; ++x)
      row[x] = static_cast<uint32_t>(x * 255 / std::max(w - 1, 1)) * 0x010101;
  };
  auto repeatRow = [&](int from, int to) {
    for (int y = from + 1; y < to; ++y)
      std::copy_n(background_.begin() + static_cast<size_t>(from) * w, w,
                  background_.begin() + static_cast<size_t>(y) * w);
  };
  switch (pattern_) {
    case Pattern::kColourBars:
      for (int i = 0; i < 8; ++i)
        FillRect(background_, w, h, i * w / 8, 0, (i + 1) * w / 8 - i * w / 8, 1, kBars[i]);
      repeatRow(0, h * 3 / 4);
      ramp(background_.data() + static_cast<size_t>(h * 3 / 4) * w);
      repeatRow(h * 3 / 4, h);
      break;
    case Pattern::kGreyRamp:
      ramp(background_.data());
      repeatRow(0, h);
      break;
    case Pattern::kCheckerboard: {
      int cell = std::max(h / 8, 1);
      for (int y = 0; y < h; y += cell) {
        for (int x = 0; x < w; x += cell)
          FillRect(background_, w, h, x, y, cell, 1, ((x / cell + y / cell) & 1) ? 0xffffff : 0);
        repeatRow(y, std::min(y + cell, h));
      }
      break;
    }
  }
}

void TestPatternDevice::RenderFrame(std::vector<uint8_t>& out) {
  const int w = format_.width, h = format_.height;
  const uint16_t depth = format_.bitCount;
  const int64_t stride = DibStride(w, depth);
  const uint64_t n = frameNumber_++;
  if (backgroundPattern_ != pattern_ || backgroundWidth_ != w || backgroundHeight_ != h ||
      backgroundDepth_ != depth) {
    DrawBackground();
    backgroundDepth_ = depth;
    backgroundDib_.assign(static_cast<size_t>(stride * h), 0);
    for (int y = 0; y < h; ++y)
      PackRow(background_.data() + static_cast<size_t>(h - 1 - y) * w,
              backgroundDib_.data() + y * stride, w, depth);
    canvas_ = background_;
  }
  out = backgroundDib_;

  // The block and the counter are drawn on the canvas and only their rows packed
  // again; the canvas gets those rows of the background back afterwards.
  int bands[2][2] = {{0, 0}, {0, 0}};  // [first, end) rows
  if (movingBlock_) {
    // Travels left and right across the middle, one step per frame.
    int size = std::max(h / 6, 4);
    int span = std::max(w - size, 1);
    int pos = static_cast<int>((n * kBlockStep) % (2 * static_cast<uint64_t>(span)));
    if (pos > span) pos = 2 * span - pos;
    FillRect(canvas_, w, h, pos, (h - size) / 2, size, size, 0xff8000);
    bands[0][0] = (h - size) / 2;
    bands[0][1] = (h - size) / 2 + size;
  }

  if (counter_) {
    std::string digits = std::to_string(n);
    int scale = std::max(h / 120, 2);
    int glyphW = 4 * scale;
    FillRect(canvas_, w, h, 0, 0, static_cast<int>(digits.size()) * glyphW + scale, 7 * scale,
             0x000000);
    for (size_t i = 0; i < digits.size(); ++i) {
      uint16_t bits = kDigits[digits[i] - '0'];
      for (int gy = 0; gy < 5; ++gy)
        for (int gx = 0; gx < 3; ++gx)
          if (bits & (1u << (14 - (gy * 3 + gx))))
            FillRect(canvas_, w, h, scale + static_cast<int>(i) * glyphW + gx * scale,
                     scale + gy * scale, scale, scale, 0xffffff);
    }
    bands[1][1] = 7 * scale;
  }

  for (const auto& band : bands)
    for (int y = std::max(band[0], 0); y < std::min(band[1], h); ++y)
      PackRow(canvas_.data() + static_cast<size_t>(y) * w, out.data() + (h - 1 - y) * stride, w,
              depth);
  for (const auto& band : bands)
    for (int y = std::max(band[0], 0); y < std::min(band[1], h); ++y)
      std::copy_n(background_.begin() + static_cast<size_t>(y) * w, w,
                  canvas_.begin() + static_cast<size_t>(y) * w);
}

}  // namespace snapvane
