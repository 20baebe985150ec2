#include "capture/frame_view.h"

#include "capture/capture_device.h"

namespace snapvane {

std::optional<FrameGeometry> GeometryOfHeader(const BitmapInfoHeader& h) {
  if (h.biSize < sizeof(BitmapInfoHeader)) return std::nullopt;
  const int64_t height = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
  if (h.biWidth <= 0 || height <= 0 || h.biWidth > kMaxFrameSide || height > kMaxFrameSide)
    return std::nullopt;
  switch (h.biBitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      return std::nullopt;
  }
  FrameGeometry g;
  g.width = h.biWidth;
  g.height = static_cast<int32_t>(height);
  g.depth = h.biBitCount;
  g.stride = DibStride(h.biWidth, h.biBitCount);
  g.order = h.biHeight < 0 ? RowOrder::kTopDown : RowOrder::kBottomUp;
  return g;
}

}  // namespace snapvane
