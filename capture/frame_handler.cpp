#include "capture/frame_handler.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "app/app_state.h"
#include "app/message_box.h"
#include "capture/jpeg_writer.h"

namespace snapvane {
namespace {

// The largest side the JPEG format can hold; larger formats are no real frame.
constexpr int32_t kMaxFrameSide = 65500;

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
__attribute__((target("ssse3"))) void BgrRowSsse3(const uint8_t* src, uint8_t* dst,
                                                  int32_t width) {
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
  const uint8_t* frame;
  size_t bytesUsed;
  size_t stride;      // DIB row stride
  size_t inRow;       // bytes one row's pixels take in the frame
  size_t outRow;      // width * 3
  int32_t width;
  int64_t height;
  bool topDown;
  RowConverter convertRow;  // null: a depth that is not converted

  FrameRows(const BitmapInfoHeader& header, const uint8_t* data, size_t used)
      : frame(data), bytesUsed(used), width(header.biWidth) {
    topDown = header.biHeight < 0;
    height = topDown ? -static_cast<int64_t>(header.biHeight) : header.biHeight;
    stride = static_cast<size_t>(DibStride(width, header.biBitCount));
    inRow = static_cast<size_t>(width) * (header.biBitCount / 8);
    outRow = static_cast<size_t>(width) * 3;
    switch (header.biBitCount) {
      case 16: convertRow = Rgb555Row; break;
      case 24: convertRow = BgrRow; break;
      case 32: convertRow = BgrxRow; break;
      default: convertRow = nullptr; break;
    }
    if (!frame) convertRow = nullptr;
  }

  // Picture row r (0 = top) into dst: converted, or black when the depth is not
  // converted or the frame came short of it (never read beyond bytesUsed).
  void Row(int64_t r, uint8_t* dst) const {
    if (convertRow) {
      // Bottom-up frames keep the picture's top row last in memory.
      const size_t offset = static_cast<size_t>(topDown ? r : height - 1 - r) * stride;
      if (offset <= bytesUsed && inRow <= bytesUsed - offset) {
        convertRow(frame + offset, dst, width);
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
  const int64_t ahead = y + kPrefetchRows;
  if (rows.convertRow && ahead < rows.height) {
    const size_t offset =
        static_cast<size_t>(rows.topDown ? ahead : rows.height - 1 - ahead) * rows.stride;
    if (offset <= rows.bytesUsed && rows.inRow <= rows.bytesUsed - offset) {
      for (size_t i = 0; i < rows.inRow; i += kCacheLine) __builtin_prefetch(rows.frame + offset + i);
    }
  }
  return scratch;
}

}  // namespace

bool ConvertFrameToRgb(const BitmapInfoHeader& header, const uint8_t* frame, size_t bytesUsed,
                       uint8_t* rgb) {
  const FrameRows rows(header, frame, bytesUsed);
  for (int64_t r = 0; r < rows.height; ++r) rows.Row(r, rgb + static_cast<size_t>(r) * rows.outRow);
  return rows.convertRow != nullptr;
}

bool FrameHandler(AppState& state, const VideoHdr& frame) {
  // One registration handles exactly one frame, whatever it holds. Devices call a
  // copy of the callback, so dropping the stored one here is safe.
  if (state.captureWindow) state.captureWindow->SetFrameCallback(nullptr);
  if (frame.dwBytesUsed != frame.dwBufferLength || !frame.lpData) return false;
  const BitmapInfoHeader* format = state.VideoFormatHeader();
  if (!format) return false;
  const BitmapInfoHeader header = *format;  // the caption burner may look at the state
  const int32_t width = header.biWidth;
  const int64_t height = header.biHeight < 0 ? -static_cast<int64_t>(header.biHeight)
                                             : header.biHeight;
  if (width <= 0 || height <= 0 || width > kMaxFrameSide || height > kMaxFrameSide) return false;

  if (state.caption && state.captionStyle && state.burnCaption) {
    state.burnCaption(state, frame.lpData, frame.dwBytesUsed);
  }

  const uint16_t depth = header.biBitCount;
  if (depth == 2 || depth == 4 || depth == 8) Beep();
  // Rows are converted one at a time as the encoder takes them, into one row of
  // the encoder's own memory: the picture never sits in memory whole, which keeps
  // the conversion in cache (a failed allocation there fails the write).
  const FrameRows rows(header, frame.lpData, frame.dwBytesUsed);
  return WriteJpegRows(ConvertedRow, const_cast<FrameRows*>(&rows), width,
                       static_cast<int>(height), state.snapshotPath, 0, state.quality);
}

}  // namespace snapvane
