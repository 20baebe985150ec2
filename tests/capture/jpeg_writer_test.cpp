// The JPEG writer: the library's messages, recovery from a fatal error and from a
// failed write, and no half-written file left behind.
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

TEST(WriteJpegFile, ErrorsAreShownRecoveredFromAndNeverLeaveAHalfFile) {
  std::vector<MessageBoxRequest> boxes;
  MessageBoxHandler old =
      SetMessageBoxHandler([&](const MessageBoxRequest& r) { boxes.push_back(r); });
  test::Sandbox box;
  const std::string missing = (box / "no-such-dir" / "x.jpg").string(), path = box / "wide.jpg";
  std::vector<uint8_t> pixels(70000 * 3);
  EXPECT_FALSE(WriteJpegFile(pixels.data(), 4, 4, missing.c_str(), 0, 75));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(std::tuple(boxes[0].text, boxes[0].title, boxes[0].icon),
            std::tuple("can't open " + missing + "\n", "", MessageIcon::kNone));
  test::WriteFile(path, "old");
  for (int width : {70000, 0}) {  // too wide for JPEG, and an empty picture
    boxes.clear();
    EXPECT_FALSE(WriteJpegFile(pixels.data(), width, width ? 1 : 0, path.c_str(), 0, 75));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(std::pair(boxes[0].title, boxes[0].icon),
              std::pair(std::string("Error In Jpeg Library"), MessageIcon::kStop));
    EXPECT_FALSE(fs::exists(path)) << "no half file stays";
  }
  EXPECT_NE(boxes[0].text.find("Empty"), std::string::npos) << boxes[0].text;
  // The process, and the library, carry on normally afterwards.
  EXPECT_TRUE(WriteJpegFile(pixels.data(), 100, 2, path.c_str(), 0, 75));
  EXPECT_TRUE(test::DecodeJpegFile(path).ok);
  EXPECT_EQ(boxes.size(), 1u);

  // A write that fails halfway (in a child process, files may not grow past 4 KiB).
  pixels.resize(320 * 240 * 3);
  uint32_t x = 12345;  // noise, so the picture cannot compress into the limit
  for (auto& b : pixels) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  auto writeUnderLimit = [&] {
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    std::_Exit(
        !WriteJpegFile(pixels.data(), 320, 240, path.c_str(), 0, 95) && !fs::exists(path) ? 0 : 1);
  };
  fs::remove(path);
  EXPECT_EXIT(writeUnderLimit(), ::testing::ExitedWithCode(0), "");
  SetMessageBoxHandler(std::move(old));
}

}  // namespace
}  // namespace snapvane
