// The JPEG writer: the library's messages returned, recovery from a fatal error and
// from a failed write, and no half-written file left behind.
#include "capture/jpeg_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tests/capture/jpeg_decode.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;

TEST(WriteJpegFile, ErrorsAreReturnedRecoveredFromAndNeverLeaveAHalfFile) {
  test::Sandbox box;
  const std::string missing = (box / "no-such-dir" / "x.jpg").string(), path = box / "wide.jpg";
  std::vector<uint8_t> pixels(70000 * 3);
  CaptureResult r = WriteJpegFile(pixels.data(), 4, 4, missing.c_str(), 0, 75);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errors,
            (std::vector<CaptureError>{{CaptureStep::kFile, "can't open " + missing + "\n"}}));
  test::WriteFile(path, "old");
  for (int width : {70000, 0}) {  // too wide for JPEG, and an empty picture
    r = WriteJpegFile(pixels.data(), width, width ? 1 : 0, path.c_str(), 0, 75);
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].step, CaptureStep::kJpeg);
    EXPECT_FALSE(fs::exists(path)) << "no half file stays";
  }
  EXPECT_NE(r.errors[0].text.find("Empty"), std::string::npos) << r.errors[0].text;
  // The process, and the library, carry on normally afterwards.
  r = WriteJpegFile(pixels.data(), 100, 2, path.c_str(), 0, 75);
  EXPECT_TRUE(r.ok && r.errors.empty());
  EXPECT_TRUE(test::DecodeJpegFile(path).ok);

  // A write that fails halfway (in a child process, files may not grow past 4 KiB).
  pixels.resize(320 * 240 * 3);
  uint32_t x = 12345;  // noise, so the picture cannot compress into the limit
  for (auto& b : pixels) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  auto writeUnderLimit = [&] {
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    std::_Exit(!WriteJpegFile(pixels.data(), 320, 240, path.c_str(), 0, 95).ok && !fs::exists(path)
                   ? 0
                   : 1);
  };
  fs::remove(path);
  EXPECT_EXIT(writeUnderLimit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace snapvane
