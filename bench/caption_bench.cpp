// Snapshot with the default caption against the plain snapshot: the frame handler
// (conversion and JPEG encode into a file) with captions off and on, and the
// burn-in alone. Goal: the captioned snapshot within 1.25x of the plain one.
//
//   caption_bench [iterations]      (offscreen platform unless a display is set)
#include <unistd.h>

#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/caption_overlay.h"
#include "capture/caption_style.h"
#include "capture/capture_device.h"
#include "capture/frame_handler.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoal = 1.25;
constexpr int kDefaultIterations = 200;
constexpr int kQuality = 75;

struct Size {
  int width, height;
};

// A bottom-up 24-bit frame with a picture in it (gradients and a little noise),
// so the encoder has real work.
std::vector<uint8_t> MakeFrame(int width, int height) {
  const size_t stride = static_cast<size_t>(snapvane::DibStride(width, 24));
  std::vector<uint8_t> bytes(stride * height);
  uint32_t seed = 12345;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      seed = seed * 1103515245 + 12345;
      uint8_t* p = bytes.data() + y * stride + 3 * x;
      p[0] = static_cast<uint8_t>(x * 255 / width);
      p[1] = static_cast<uint8_t>(y * 255 / height);
      p[2] = static_cast<uint8_t>(((x ^ y) & 0x3F) + ((seed >> 24) & 0x0F));
    }
  return bytes;
}

double MedianMs(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

template <typename F>
double Measure(int iterations, F&& step) {
  std::vector<double> samples;
  samples.reserve(iterations);
  step();  // warm-up: font and encoder set-up
  for (int i = 0; i < iterations; ++i) {
    auto start = Clock::now();
    step();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return MedianMs(std::move(samples));
}

// Median milliseconds of a and b, run alternately.
template <typename A, typename B>
std::pair<double, double> MeasurePair(int iterations, A&& a, B&& b) {
  std::vector<double> as, bs;
  a();
  b();
  for (int i = 0; i < iterations; ++i) {
    auto start = Clock::now();
    a();
    auto middle = Clock::now();
    b();
    auto end = Clock::now();
    as.push_back(std::chrono::duration<double, std::milli>(middle - start).count());
    bs.push_back(std::chrono::duration<double, std::milli>(end - middle).count());
  }
  return {MedianMs(std::move(as)), MedianMs(std::move(bs))};
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);
  const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultIterations;

  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("caption_bench_" + std::to_string(getpid()) + ".jpg");
  bool allWithin = true;
  std::printf("%-10s %12s %12s %12s %8s\n", "frame", "plain ms", "caption ms", "burn ms", "ratio");
  for (Size size : {Size{320, 240}, Size{640, 480}, Size{1280, 720}}) {
    const std::vector<uint8_t> pristine = MakeFrame(size.width, size.height);
    std::vector<uint8_t> frame = pristine;

    snapvane::BitmapInfoHeader header;
    header.biWidth = size.width;
    header.biHeight = size.height;
    header.biBitCount = 24;
    header.biSizeImage = static_cast<uint32_t>(pristine.size());
    const std::unique_ptr<snapvane::CaptionStyle> style =
        snapvane::MakeLoadedDefaultCaptionStyle();  // "%c", bottom, centre
    const snapvane::FrameView view{frame.data(), frame.size(), *snapvane::GeometryOfHeader(header)};

    // Each step starts from the pristine frame, as every capture brings a new one.
    auto snapshot = [&](int32_t caption) {
      return [&, caption] {
        std::memcpy(frame.data(), pristine.data(), pristine.size());
        const snapvane::EncodeOptions options{kQuality, caption ? style.get() : nullptr,
                                              &snapvane::BurnCaption};
        if (!snapvane::FrameHandler(view, path.string(), options).ok) {
          std::fprintf(stderr, "snapshot failed\n");
          std::exit(1);
        }
      };
    };
    // Interleaved, so a change in the machine's load hits both alike.
    auto [plain, captioned] = MeasurePair(iterations, snapshot(0), snapshot(1));
    const double burn = Measure(iterations, [&] {
      std::memcpy(frame.data(), pristine.data(), pristine.size());
      snapvane::BurnCaption(*style, view);
    });
    // The copy is part of every measured step; report the burn-in without it.
    const double copy =
        Measure(iterations, [&] { std::memcpy(frame.data(), pristine.data(), pristine.size()); });
    const double ratio = captioned / plain;
    allWithin = allWithin && ratio <= kGoal;
    char label[32];
    std::snprintf(label, sizeof label, "%dx%d", size.width, size.height);
    std::printf("%-10s %12.3f %12.3f %12.3f %7.3fx\n", label, plain, captioned,
                std::max(0.0, burn - copy), ratio);
  }
  std::error_code ec;
  std::filesystem::remove(path, ec);
  std::printf("goal: captioned snapshot within %.2fx of the plain one: %s\n", kGoal,
              allWithin ? "met" : "NOT met");
  return allWithin ? 0 : 2;
}
