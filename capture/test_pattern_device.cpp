#include "capture/test_pattern_device.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
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
    case 24: {
      int x = 0;
      if constexpr (std::endian::native == std::endian::little) {
        // Four 0x00RRGGBB pixels into three words: B G R, B G R, ... in memory.
        for (; x + 4 <= w; x += 4, dst += 12) {
          const uint32_t p0 = src[x] & 0xffffffu, p1 = src[x + 1] & 0xffffffu;
          const uint32_t p2 = src[x + 2] & 0xffffffu, p3 = src[x + 3] & 0xffffffu;
          const uint32_t words[3] = {p0 | p1 << 24, p1 >> 8 | p2 << 16, p2 >> 16 | p3 << 8};
          std::memcpy(dst, words, 12);
        }
      }
      for (; x < w; ++x, dst += 3) {
        uint32_t c = src[x];
        dst[0] = static_cast<uint8_t>(c);
        dst[1] = static_cast<uint8_t>(c >> 8);
        dst[2] = static_cast<uint8_t>(c >> 16);
      }
      break;
    }
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

void TestPatternDevice::DrawRows() {
  const int w = format_.width;
  rowsFormat_ = format_;
  rowsPattern_ = pattern_;
  static constexpr uint32_t kBars[8] = {0xffffff, 0xffff00, 0x00ffff, 0x00ff00,
                                        0xff00ff, 0xff0000, 0x0000ff, 0x000000};
  auto ramp = [w](std::vector<uint32_t>& row) {
    for (int x = 0; x < w; ++x)
      row[x] = static_cast<uint32_t>(x * 255 / std::max(w - 1, 1)) * 0x010101;
  };
  rows_.assign(pattern_ == Pattern::kGreyRamp ? 1 : 2, std::vector<uint32_t>(w, 0));
  switch (pattern_) {
    case Pattern::kColourBars:  // bars above, a ramp in the bottom quarter
      for (int i = 0; i < 8; ++i)
        std::fill(rows_[0].begin() + i * w / 8, rows_[0].begin() + (i + 1) * w / 8, kBars[i]);
      ramp(rows_[1]);
      break;
    case Pattern::kGreyRamp:
      ramp(rows_[0]);
      break;
    case Pattern::kCheckerboard: {  // rows of cells starting black, then white
      const int cell = std::max(format_.height / 8, 1);
      for (int x = 0; x < w; ++x) {
        const bool odd = (x / cell) & 1;
        rows_[0][x] = odd ? 0xffffff : 0;
        rows_[1][x] = odd ? 0 : 0xffffff;
      }
      break;
    }
  }
  const int64_t stride = DibStride(w, format_.bitCount);
  packedRows_.assign(rows_.size(), std::vector<uint8_t>(static_cast<size_t>(stride), 0));
  for (size_t i = 0; i < rows_.size(); ++i)
    PackRow(rows_[i].data(), packedRows_[i].data(), w, format_.bitCount);
}

size_t TestPatternDevice::RowOf(int y) const {
  switch (rowsPattern_) {
    case Pattern::kColourBars:
      return y < rowsFormat_.height * 3 / 4 ? 0 : 1;
    case Pattern::kGreyRamp:
      return 0;
    case Pattern::kCheckerboard:
      return (y / std::max(rowsFormat_.height / 8, 1)) & 1;
  }
  return 0;
}

void TestPatternDevice::RenderFrame(std::vector<uint8_t>& out) {
  const int w = format_.width, h = format_.height;
  const uint16_t depth = format_.bitCount;
  const int64_t stride = DibStride(w, depth);
  const uint64_t n = frameNumber_++;
  if (rowsPattern_ != pattern_ || !(rowsFormat_ == format_)) DrawRows();
  out.resize(static_cast<size_t>(stride * h));  // every byte is written below

  // The block travels left and right across the middle, one step per frame.
  const int blockSize = std::max(h / 6, 4);
  const int blockTop = (h - blockSize) / 2;
  int blockX = 0;
  if (movingBlock_) {
    const int span = std::max(w - blockSize, 1);
    blockX = static_cast<int>((n * kBlockStep) % (2 * static_cast<uint64_t>(span)));
    if (blockX > span) blockX = 2 * span - blockX;
  }
  // The frame number in the top left corner, white digits on black.
  const std::string digits = counter_ ? std::to_string(n) : std::string();
  const int scale = std::max(h / 120, 2);
  const int glyphW = 4 * scale;
  auto fill = [&](int x, int width, uint32_t colour) {
    const int x0 = std::clamp(x, 0, w), x1 = std::clamp(x + width, 0, w);
    std::fill(scratch_.begin() + x0, scratch_.begin() + x1, colour);
  };

  for (int y = 0; y < h; ++y) {
    uint8_t* dst = out.data() + (h - 1 - y) * stride;
    const bool onBlock = movingBlock_ && y >= blockTop && y < blockTop + blockSize;
    const bool onCounter = counter_ && y < 7 * scale;
    const size_t row = RowOf(y);
    if (!onBlock && !onCounter) {
      std::memcpy(dst, packedRows_[row].data(), static_cast<size_t>(stride));
      continue;
    }
    scratch_ = rows_[row];
    if (onBlock) fill(blockX, blockSize, 0xff8000);
    if (onCounter) {
      fill(0, static_cast<int>(digits.size()) * glyphW + scale, 0x000000);
      const int gy = (y - scale) / scale;
      if (y >= scale && gy < 5)
        for (size_t i = 0; i < digits.size(); ++i)
          for (int gx = 0; gx < 3; ++gx)
            if (kDigits[digits[i] - '0'] & (1u << (14 - (gy * 3 + gx))))
              fill(scale + static_cast<int>(i) * glyphW + gx * scale, scale, 0xffffff);
    }
    PackRow(scratch_.data(), dst, w, depth);
    std::fill(dst + int64_t{w} * depth / 8, dst + stride, 0);  // padding, as in the still rows
  }
}

}  // namespace snapvane
