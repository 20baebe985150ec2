#pragma once
// Decodes a JPEG file back with libjpeg, for checking what the writer made. A
// broken file ends the test program through libjpeg's own error exit.
#include <cstddef>
#include <cstdio>  // jpeglib.h needs size_t and FILE first

#include <jpeglib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace snapvane::test {

struct DecodedJpeg {
  bool ok = false;  // the file could be opened and was decoded
  int width = 0, height = 0, components = 0;
  std::vector<uint8_t> pixels;  // top-down, components bytes per pixel
  const uint8_t* At(int x, int y) const { return &pixels[(size_t(y) * width + x) * components]; }
};

inline DecodedJpeg DecodeJpegFile(const std::string& path) {
  DecodedJpeg out;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return out;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;  // its error exit ends the program
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, in);
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  out.width = int(cinfo.output_width), out.height = int(cinfo.output_height);
  out.components = cinfo.output_components;
  out.pixels.resize(size_t(out.width) * out.height * out.components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &out.pixels[size_t(cinfo.output_scanline) * out.width * out.components];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  out.ok = jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::fclose(in);
  return out;
}

// Colours within tolerance of each other (JPEG is lossy).
inline bool Near(const uint8_t* px, int r, int g, int b, int tolerance) {
  auto close = [&](int a, int e) { return a - e <= tolerance && e - a <= tolerance; };
  return close(px[0], r) && close(px[1], g) && close(px[2], b);
}

}  // namespace snapvane::test
