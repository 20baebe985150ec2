// One 24-bit test-pattern frame through the frame handler (conversion and JPEG
// file) beside a plain libjpeg-turbo encode of the same RGB picture to a file, in
// the same run. Prints the median CPU milliseconds per frame and the ratio.
// Goal: within 1.15x.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "capture/frame_handler.h"
#include "capture/test_pattern_device.h"

using namespace snapvane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWarmUp = 5;
constexpr int kFrames = 101;  // per side; the median counts

// The reference: the same picture, settings and destination, nothing else.
void PlainEncode(const std::vector<uint8_t>& rgb, int width, int height, const char* path,
                 int quality) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  std::FILE* out = std::fopen(path, "wb");
  if (!out) std::abort();
  jpeg_stdio_dest(&cinfo, out);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb.data() + cinfo.next_scanline * width * 3);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::fclose(out);
  jpeg_destroy_compress(&cinfo);
}

// CPU time of this thread (user and system), so other processes on a busy
// machine do not count against either side.
double ThreadCpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

template <typename F>
double TimeOnce(F&& once) {
  const double start = ThreadCpuMs();
  once();
  return ThreadCpuMs() - start;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp && *tmp ? tmp : "/tmp";
  const std::string pipelinePath = dir + "/snv-bench-pipeline.jpg";
  const std::string plainPath = dir + "/snv-bench-plain.jpg";
  std::printf("%-10s %4s %14s %14s %14s %7s\n", "frame", "q", "convert ms", "pipeline ms",
              "plain ms", "ratio");
  bool allWithin = true;
  for (auto [w, h] : {std::pair{640, 480}, std::pair{1280, 720}}) {
    TestPatternDevice device;
    device.DriverConnect(0);
    device.SetFormat({w, h, 24});
    std::vector<uint8_t> format = device.GetVideoFormat();
    BitmapInfoHeader header;
    std::memcpy(&header, format.data(), sizeof header);

    // One real frame from the device, kept for every run.
    std::vector<uint8_t> frame;
    device.SetFrameCallback(
        [&](const VideoHdr& hdr) { frame.assign(hdr.lpData, hdr.lpData + hdr.dwBytesUsed); });
    device.SingleFrameOpen();
    device.SingleFrame();
    device.SingleFrameClose();
    const FrameView view{frame.data(), frame.size(), *GeometryOfHeader(header)};

    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    std::vector<double> convert;
    for (int i = 0; i < kFrames; ++i) {
      convert.push_back(TimeOnce([&] { ConvertFrameToRgb(view, rgb.data()); }));
    }
    const double convertMs = Median(convert);

    for (int quality : {50, 85}) {
      EncodeOptions options;
      options.quality = quality;
      // Alternating frame by frame, so both sides meet the same conditions.
      std::vector<double> pipeline, plain;
      for (int i = 0; i < kWarmUp + kFrames; ++i) {
        const double a = TimeOnce([&] { PlainEncode(rgb, w, h, plainPath.c_str(), quality); });
        const double b = TimeOnce([&] {
          if (!FrameHandler(view, pipelinePath, options).ok) std::abort();
        });
        if (i < kWarmUp) continue;
        plain.push_back(a);
        pipeline.push_back(b);
      }
      const double pipelineMs = Median(pipeline), plainMs = Median(plain);
      const double ratio = pipelineMs / plainMs;
      allWithin = allWithin && ratio <= 1.15;
      std::printf("%4dx%-5d %4d %14.3f %14.3f %14.3f %7.3f\n", w, h, quality, convertMs, pipelineMs,
                  plainMs, ratio);
    }
  }
  std::remove(pipelinePath.c_str());
  std::remove(plainPath.c_str());
  std::printf("goal (pipeline within 1.15x of the plain encode): %s\n",
              allWithin ? "met" : "missed");
  return 0;
}
