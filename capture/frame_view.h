#pragma once
// One captured frame as it lies in memory, whatever the backend: the pixel bytes,
// the picture's size, the row stride, the depth and which row comes first.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace snapvane {

struct BitmapInfoHeader;

// The largest frame side accepted anywhere: device formats beyond it count as
// none, and no conversion or caption is attempted on such a frame.
inline constexpr int32_t kMaxFrameSide = 16384;

enum class RowOrder { kBottomUp, kTopDown };

// Row stride of a DIB: width * bits rounded up to whole 4-byte words.
inline int64_t DibStride(int32_t width, uint16_t bitCount) {
  return ((static_cast<int64_t>(width) * bitCount + 31) / 32) * 4;
}

// The shape of the frames a device delivers.
struct FrameGeometry {
  int32_t width = 0;
  int32_t height = 0;  // always positive; order says where the top row is
  uint16_t depth = 0;  // bits per pixel
  int64_t stride = 0;  // bytes from one row to the next
  RowOrder order = RowOrder::kBottomUp;
  bool operator==(const FrameGeometry&) const = default;
};

// The geometry a format record describes (DIB stride; a negative height means
// top-down rows). Nothing when the size or depth is no real frame (sides from 1
// to kMaxFrameSide; 1, 4, 8, 16, 24 or 32 bits).
std::optional<FrameGeometry> GeometryOfHeader(const BitmapInfoHeader& header);

struct FrameView {
  uint8_t* data = nullptr;
  size_t bytes = 0;  // how many bytes data holds; nothing past them is read
  FrameGeometry geometry;

  // Bytes one row's pixels take (whole bytes only: 16, 24 and 32 bits).
  size_t PixelBytes() const { return static_cast<size_t>(geometry.width) * (geometry.depth / 8); }
  // Picture row y (0 = the top row), or null when the frame does not hold all of
  // its pixels.
  uint8_t* Row(int64_t y) const {
    if (!data || y < 0 || y >= geometry.height) return nullptr;
    const int64_t memoryRow = geometry.order == RowOrder::kTopDown ? y : geometry.height - 1 - y;
    const size_t offset = static_cast<size_t>(memoryRow * geometry.stride);
    if (offset > bytes || PixelBytes() > bytes - offset) return nullptr;
    return data + offset;
  }
  // Every row's pixels are inside the frame.
  bool Whole() const {
    return geometry.height > 0 && Row(0) != nullptr && Row(geometry.height - 1) != nullptr;
  }
};

}  // namespace snapvane
