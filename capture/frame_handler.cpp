#include "capture/frame_handler.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "capture/jpeg_writer.h"

namespace snapvane {
namespace {

void Rgb555Row(const uint8_t* __restrict src, uint8_t* __restrict dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 2, dst += 3) {
    const unsigned v = src[0] | (src[1] << 8);  // little-endian word; bit 15 unused
    dst[0] = static_cast<uint8_t>(((v >> 10) & 31) * 8 + 3);
    dst[1] = static_cast<uint8_t>(((v >> 5) & 31) * 8 + 3);
    dst[2] = static_cast<uint8_t>((v & 31) * 8 + 3);
  }
}

void BgrRowScalar(const uint8_t* __restrict src, uint8_t* __restrict dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 3, dst += 3) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
  }
}

void BgrxRowScalar(const uint8_t* __restrict src, uint8_t* __restrict dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The byte swaps are most of the conversion's time: one shuffle does five pixels
// (24 bits) or four (32 bits). Each step reads and writes 16 bytes, so it runs
// only while at least six pixels are left in the row; the rest go byte by byte.
__attribute__((target("ssse3"))) void BgrRowSsse3(const uint8_t* src, uint8_t* dst, int32_t width) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int32_t x = 0;
  for (; x + 6 <= width; x += 5) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x * 3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x * 3), _mm_shuffle_epi8(in, order));
  }
  BgrRowScalar(src + x * 3, dst + x * 3, width - x);
}

__attribute__((target("ssse3"))) void BgrxRowSsse3(const uint8_t* src, uint8_t* dst,
                                                   int32_t width) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  int32_t x = 0;
  for (; x + 6 <= width; x += 4) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x * 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x * 3), _mm_shuffle_epi8(in, order));
  }
  BgrxRowScalar(src + x * 4, dst + x * 3, width - x);
}

using RowConverter = void (*)(const uint8_t*, uint8_t*, int32_t);
RowConverter PickBgrRow() { return __builtin_cpu_supports("ssse3") ? BgrRowSsse3 : BgrRowScalar; }
RowConverter PickBgrxRow() {
  return __builtin_cpu_supports("ssse3") ? BgrxRowSsse3 : BgrxRowScalar;
}
#else
using RowConverter = void (*)(const uint8_t*, uint8_t*, int32_t);
RowConverter PickBgrRow() { return BgrRowScalar; }
RowConverter PickBgrxRow() { return BgrxRowScalar; }
#endif

void BgrRow(const uint8_t* src, uint8_t* dst, int32_t width) {
  static const RowConverter convert = PickBgrRow();
  convert(src, dst, width);
}

void BgrxRow(const uint8_t* src, uint8_t* dst, int32_t width) {
  static const RowConverter convert = PickBgrxRow();
  convert(src, dst, width);
}

// Where each picture row of one frame comes from.
struct FrameRows {
  FrameView frame;
  size_t outRow;            // width * 3
  RowConverter convertRow;  // null: a depth that is not converted

  explicit FrameRows(const FrameView& view)
      : frame(view), outRow(static_cast<size_t>(view.geometry.width) * 3) {
    switch (view.geometry.depth) {
      case 16:
        convertRow = Rgb555Row;
        break;
      case 24:
        convertRow = BgrRow;
        break;
      case 32:
        convertRow = BgrxRow;
        break;
      default:
        convertRow = nullptr;
        break;
    }
    if (!frame.data) convertRow = nullptr;
  }

  // Picture row r (0 = top) into dst: converted, or black when the depth is not
  // converted or the frame came short of it (never read beyond its bytes).
  void Row(int64_t r, uint8_t* dst) const {
    if (convertRow) {
      if (const uint8_t* src = frame.Row(r)) {
        convertRow(src, dst, frame.geometry.width);
        return;
      }
    }
    std::memset(dst, 0, outRow);
  }
};

// Rows of the frame fetched ahead of their conversion, so the encoder's work on
// the current rows hides the memory reads of the next ones.
constexpr int kPrefetchRows = 2;
constexpr size_t kCacheLine = 64;

const uint8_t* ConvertedRow(void* context, int y, uint8_t* scratch) {
  const auto& rows = *static_cast<const FrameRows*>(context);
  rows.Row(y, scratch);
  if (rows.convertRow) {
    if (const uint8_t* ahead = rows.frame.Row(y + kPrefetchRows)) {
      const size_t bytes = rows.frame.PixelBytes();
      for (size_t i = 0; i < bytes; i += kCacheLine) __builtin_prefetch(ahead + i);
    }
  }
  return scratch;
}

}  // namespace

bool ConvertFrameToRgb(const FrameView& frame, uint8_t* rgb) {
  const FrameRows rows(frame);
  for (int64_t r = 0; r < frame.geometry.height; ++r)
    rows.Row(r, rgb + static_cast<size_t>(r) * rows.outRow);
  return rows.convertRow != nullptr;
}

CaptureResult FrameHandler(const FrameView& frame, const std::string& jpegPath,
                           const EncodeOptions& options) {
  const FrameGeometry& g = frame.geometry;
  if (!frame.data || g.width <= 0 || g.height <= 0 || g.width > kMaxFrameSide ||
      g.height > kMaxFrameSide)
    return {};

  if (options.caption && options.burnCaption) options.burnCaption(*options.caption, frame);

  CaptureResult result;
  // Depths without a conversion give a black picture of the frame's size.
  result.beep = g.depth == 2 || g.depth == 4 || g.depth == 8;
  // Rows are converted one at a time as the encoder takes them, into one row of
  // the encoder's own memory: the picture never sits in memory whole, which keeps
  // the conversion in cache (a failed allocation there fails the write).
  const FrameRows rows(frame);
  CaptureResult written = WriteJpegRows(ConvertedRow, const_cast<FrameRows*>(&rows), g.width,
                                        g.height, jpegPath.c_str(), 0, options.quality);
  result.ok = written.ok;
  result.Append(std::move(written));
  return result;
}

}  // namespace snapvane
