// The JPEG writer: files decoded back, the library's messages, recovery from a
// fatal error and from a failed write, and no half-written file left behind.
#include "capture/jpeg_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/message_box.h"
#include "tests/capture/jpeg_decode.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;

class JpegWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old = SetMessageBoxHandler([this](const MessageBoxRequest& r) { boxes.push_back(r); });
  }
  void TearDown() override { SetMessageBoxHandler(std::move(old)); }

  // A busy picture, so the encoded size depends on the quality.
  static std::vector<uint8_t> Noise(int width, int height, int components) {
    std::vector<uint8_t> p(static_cast<size_t>(width) * height * components);
    uint32_t x = 12345;
    for (auto& b : p) {
      x = x * 1103515245 + 12345;
      b = static_cast<uint8_t>(x >> 16);
    }
    return p;
  }

  test::Sandbox box;
  std::vector<MessageBoxRequest> boxes;
  MessageBoxHandler old;
};

TEST_F(JpegWriterTest, QualityGoesToTheLibraryUnchangedAtBothEnds) {
  std::vector<uint8_t> pixels = Noise(64, 48, 3);
  const std::string low = (box / "q0.jpg").string(), high = (box / "q100.jpg").string();
  ASSERT_TRUE(WriteJpegFile(pixels.data(), 64, 48, low.c_str(), 0, 0));
  ASSERT_TRUE(WriteJpegFile(pixels.data(), 64, 48, high.c_str(), 0, 100));
  test::DecodedJpeg a = test::DecodeJpegFile(low), b = test::DecodeJpegFile(high);
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_EQ(a.width, 64);
  EXPECT_EQ(a.height, 48);
  EXPECT_GT(fs::file_size(high), 4 * fs::file_size(low));
  // Quality 100 gives all-ones tables; 0 (taken as 1 by the library) the coarsest
  // that baseline allows.
  EXPECT_EQ(b.lumaQuant[0], 1);
  EXPECT_EQ(b.lumaQuant[63], 1);
  EXPECT_EQ(a.lumaQuant[0], 255);
  EXPECT_EQ(a.lumaQuant[63], 255);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(JpegWriterTest, GreyPicturesHaveOneComponentAndOverwriteTheFile) {
  const std::string path = (box / "grey.jpg").string();
  test::WriteFile(path, std::string(100000, 'x'));  // an older, longer file
  std::vector<uint8_t> pixels(20 * 10);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = i < 100 ? 30 : 220;  // dark top half
  ASSERT_TRUE(WriteJpegFile(pixels.data(), 20, 10, path.c_str(), 1, 90));
  test::DecodedJpeg jpeg = test::DecodeJpegFile(path);
  ASSERT_TRUE(jpeg.ok);
  EXPECT_EQ(jpeg.components, 1);
  EXPECT_NEAR(jpeg.At(5, 1)[0], 30, 12);
  EXPECT_NEAR(jpeg.At(5, 8)[0], 220, 12);
  EXPECT_LT(fs::file_size(path), 100000u);
}

TEST_F(JpegWriterTest, AFileThatCannotBeOpenedIsNamedInAPlainBox) {
  const std::string path = (box / "no-such-dir" / "x.jpg").string();
  std::vector<uint8_t> pixels(3 * 4 * 4);
  EXPECT_FALSE(WriteJpegFile(pixels.data(), 4, 4, path.c_str(), 0, 75));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "can't open " + path + "\n");
  EXPECT_EQ(boxes[0].title, "");
  EXPECT_EQ(boxes[0].icon, MessageIcon::kNone);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(JpegWriterTest, AFatalLibraryErrorIsShownAndRecoveredFrom) {
  const std::string path = (box / "wide.jpg").string();
  test::WriteFile(path, "old");
  std::vector<uint8_t> pixels(70000 * 3);
  EXPECT_FALSE(WriteJpegFile(pixels.data(), 70000, 1, path.c_str(), 0, 75));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, "Error In Jpeg Library");
  EXPECT_EQ(boxes[0].icon, MessageIcon::kStop);
  EXPECT_NE(boxes[0].text.find("65500"), std::string::npos) << boxes[0].text;
  EXPECT_FALSE(fs::exists(path));  // truncated by the open, so no half file stays

  boxes.clear();  // an empty picture is refused the same way
  EXPECT_FALSE(WriteJpegFile(pixels.data(), 0, 0, path.c_str(), 0, 75));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, "Error In Jpeg Library");

  // The process, and the library, carry on normally afterwards.
  boxes.clear();
  EXPECT_TRUE(WriteJpegFile(pixels.data(), 100, 2, path.c_str(), 0, 75));
  EXPECT_TRUE(test::DecodeJpegFile(path).ok);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(JpegWriterTest, AWriteThatFailsHalfwayLeavesNoPartialFile) {
  // In a child process, files may not grow past 4 KiB: the encoder's writes fail.
  const std::string path = (box / "big.jpg").string();
  std::vector<uint8_t> pixels = Noise(320, 240, 3);
  auto writeUnderLimit = [&] {
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    SetMessageBoxHandler([](const MessageBoxRequest&) {});
    const bool written = WriteJpegFile(pixels.data(), 320, 240, path.c_str(), 0, 95);
    std::_Exit(!written && !fs::exists(path) ? 0 : 1);
  };
  EXPECT_EXIT(writeUnderLimit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace snapvane
