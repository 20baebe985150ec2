#pragma once
// Decodes a JPEG file back with libjpeg, for checking what the writer made.
#include <jpeglib.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace snapvane::test {

struct DecodedJpeg {
  bool ok = false;
  int width = 0, height = 0, components = 0;
  std::vector<uint8_t> pixels;        // top-down, components bytes per pixel

  const uint8_t* At(int x, int y) const {
    return pixels.data() + (static_cast<size_t>(y) * width + x) * components;
  }
};

namespace detail {
struct DecodeError {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};
inline void DecodeInto(std::FILE* in, jpeg_decompress_struct& cinfo, DecodedJpeg& out) {
  jpeg_stdio_src(&cinfo, in);
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.components = cinfo.output_components;
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * out.components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.pixels.data() + size_t{cinfo.output_scanline} * out.width * out.components;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  out.ok = true;
}
}  // namespace detail

inline DecodedJpeg DecodeJpegFile(const std::string& path) {
  DecodedJpeg out;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return out;
  detail::DecodeError err;
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = [](j_common_ptr c) {
    std::longjmp(reinterpret_cast<detail::DecodeError*>(c->err)->jump, 1);
  };
  err.base.output_message = [](j_common_ptr) {};
  jpeg_create_decompress(&cinfo);
  if (setjmp(err.jump) == 0) detail::DecodeInto(in, cinfo, out);
  else out.ok = false;
  jpeg_destroy_decompress(&cinfo);
  std::fclose(in);
  return out;
}

// Colours within tolerance of each other (JPEG is lossy).
inline bool Near(const uint8_t* px, int r, int g, int b, int tolerance = 24) {
  auto close = [&](int a, int e) { return a - e <= tolerance && e - a <= tolerance; };
  return close(px[0], r) && close(px[1], g) && close(px[2], b);
}

}  // namespace snapvane::test
