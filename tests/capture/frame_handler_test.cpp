// Frame conversion and the frame handler: every depth, byte order, row order and
// stride, short frames, the caption hook, and the JPEG decoded back.
#include "capture/frame_handler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "app/message_box.h"
#include "capture/caption_style.h"
#include "capture/test_pattern_device.h"
#include "tests/capture/jpeg_decode.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using test::DecodeJpegFile;
using test::Near;

BitmapInfoHeader Header(int32_t width, int32_t height, uint16_t bits) {
  BitmapInfoHeader h;
  h.biWidth = width;
  h.biHeight = height;
  h.biBitCount = bits;
  return h;
}

// A bottom-up DIB whose picture rows (counted from the top) are filled by pixel(x, y).
std::vector<uint8_t> MakeFrame(const BitmapInfoHeader& h,
                               const std::function<std::vector<uint8_t>(int, int)>& pixel) {
  const size_t stride = static_cast<size_t>(DibStride(h.biWidth, h.biBitCount));
  std::vector<uint8_t> frame(stride * h.biHeight, 0xEE);  // padding gets a marker
  for (int y = 0; y < h.biHeight; ++y) {
    uint8_t* row = frame.data() + stride * (h.biHeight - 1 - y);
    for (int x = 0; x < h.biWidth; ++x) {
      std::vector<uint8_t> p = pixel(x, y);
      std::memcpy(row + x * p.size(), p.data(), p.size());
    }
  }
  return frame;
}

std::vector<uint8_t> Convert(const BitmapInfoHeader& h, const std::vector<uint8_t>& frame,
                             bool* converted = nullptr) {
  const int64_t rows = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
  std::vector<uint8_t> rgb(static_cast<size_t>(h.biWidth) * rows * 3, 0x55);
  bool ok = ConvertFrameToRgb(h, frame.data(), frame.size(), rgb.data());
  if (converted) *converted = ok;
  return rgb;
}

TEST(ConvertFrameToRgb, SixteenBitWordsSpreadFiveBitsAndIgnoreTheTopBit) {
  const uint16_t words[] = {0x7FFF, 0x0000, 0x7C00, 0x8000, 0x03E0, 0x001F};
  std::vector<uint8_t> frame(12);
  for (int i = 0; i < 6; ++i) {
    frame[i * 2] = static_cast<uint8_t>(words[i] & 0xFF);  // little-endian
    frame[i * 2 + 1] = static_cast<uint8_t>(words[i] >> 8);
  }
  std::vector<uint8_t> rgb = Convert(Header(6, 1, 16), frame);
  const std::vector<uint8_t> expected = {251, 251, 251, 3, 3, 3,   251, 3, 3,
                                         3,   3,   3,   3, 251, 3, 3,   3, 251};
  EXPECT_EQ(rgb, expected);
}

TEST(ConvertFrameToRgb, TwentyFourAndThirtyTwoBitsAreStoredBlueGreenRed) {
  EXPECT_EQ(Convert(Header(1, 1, 24), {10, 20, 30, 0}), (std::vector<uint8_t>{30, 20, 10}));
  EXPECT_EQ(Convert(Header(1, 1, 32), {10, 20, 30, 99}), (std::vector<uint8_t>{30, 20, 10}));
  EXPECT_EQ(Convert(Header(2, 1, 32), {1, 2, 3, 4, 5, 6, 7, 8}),
            (std::vector<uint8_t>{3, 2, 1, 7, 6, 5}));
}

TEST(ConvertFrameToRgb, EveryPixelOfLongRowsIsSwappedWhateverTheRowWidth) {
  // Widths around the multi-pixel steps of the fast path, each pixel distinct.
  for (uint16_t bits : {24, 32}) {
    for (int32_t width : {5, 6, 7, 11, 12, 13, 16, 17, 64, 333}) {
      const BitmapInfoHeader h = Header(width, 2, bits);
      std::vector<uint8_t> frame = MakeFrame(h, [&](int x, int y) {
        std::vector<uint8_t> p = {static_cast<uint8_t>(x), static_cast<uint8_t>(y),
                                  static_cast<uint8_t>(x * 7 + 1)};
        if (bits == 32) p.push_back(0xCC);
        return p;
      });
      std::vector<uint8_t> rgb = Convert(h, frame);
      for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < width; ++x) {
          const uint8_t* p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
          ASSERT_EQ(p[0], static_cast<uint8_t>(x * 7 + 1)) << bits << " " << width << " " << x;
          ASSERT_EQ(p[1], y) << bits << " " << width << " " << x;
          ASSERT_EQ(p[2], static_cast<uint8_t>(x)) << bits << " " << width << " " << x;
        }
      }
    }
  }
}

TEST(ConvertFrameToRgb, BottomUpRowsComeOutTopDownAndTopDownFramesStayAsTheyAre) {
  // Memory rows 0, 1, 2 hold the values 0, 1, 2 in every byte.
  std::vector<uint8_t> frame;
  for (uint8_t r = 0; r < 3; ++r) frame.insert(frame.end(), 4, r);  // 1 px: 3 bytes + pad
  std::vector<uint8_t> up = Convert(Header(1, 3, 24), frame);
  EXPECT_EQ(up, (std::vector<uint8_t>{2, 2, 2, 1, 1, 1, 0, 0, 0}));
  std::vector<uint8_t> down = Convert(Header(1, -3, 24), frame);
  EXPECT_EQ(down, (std::vector<uint8_t>{0, 0, 0, 1, 1, 1, 2, 2, 2}));
}

TEST(ConvertFrameToRgb, RowsAreReadWithTheDibStrideAndWrittenPacked) {
  const BitmapInfoHeader h = Header(322, 2, 24);
  ASSERT_EQ(DibStride(322, 24), 968);
  std::vector<uint8_t> frame = MakeFrame(h, [](int x, int y) {
    return std::vector<uint8_t>{static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                                static_cast<uint8_t>(y + 1)};
  });
  ASSERT_EQ(frame.size(), 968u * 2);
  std::vector<uint8_t> rgb = Convert(h, frame);
  ASSERT_EQ(rgb.size(), 966u * 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 322; ++x) {
      const uint8_t* p = rgb.data() + y * 966 + x * 3;
      ASSERT_EQ(p[0], y + 1) << x << "," << y;
      ASSERT_EQ(p[1], static_cast<uint8_t>(x >> 8)) << x << "," << y;
      ASSERT_EQ(p[2], static_cast<uint8_t>(x)) << x << "," << y;
    }
  }
}

TEST(ConvertFrameToRgb, AShortFrameIsNeverReadPastItsEndAndTheRestIsBlack) {
  const BitmapInfoHeader h = Header(3, 3, 24);  // stride 12
  // Exactly the bottom row and the pixels (not the padding) of the middle row.
  std::vector<uint8_t> frame(12 + 9, 200);
  std::vector<uint8_t> rgb = Convert(h, frame);
  const std::vector<uint8_t> black(9, 0), grey(9, 200);
  EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 9), black);  // top: missing
  EXPECT_EQ(std::vector<uint8_t>(rgb.begin() + 9, rgb.begin() + 18), grey);
  EXPECT_EQ(std::vector<uint8_t>(rgb.begin() + 18, rgb.end()), grey);
  // One byte short of the middle row's pixels: that row is black too.
  frame.pop_back();
  rgb = Convert(h, frame);
  EXPECT_EQ(std::vector<uint8_t>(rgb.begin() + 9, rgb.begin() + 18), black);
}

TEST(ConvertFrameToRgb, UnconvertedDepthsGiveBlackNeverLeftoverMemory) {
  for (uint16_t bits : {1, 2, 4, 8, 15, 0}) {
    bool converted = true;
    std::vector<uint8_t> frame(64, 0xAB);
    std::vector<uint8_t> rgb = Convert(Header(4, 2, bits), frame, &converted);
    EXPECT_FALSE(converted) << bits;
    EXPECT_EQ(rgb, std::vector<uint8_t>(24, 0)) << bits;
  }
}

// The handler against a real device and a state, with boxes and beeps recorded.
class FrameHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = MakeAppState();
    state->captureWindow = &device;
    state->quality = 85;
    path = (box / "snap.jpg").string();
    CopyPath(path);
    oldBox = SetMessageBoxHandler([this](const MessageBoxRequest& r) { boxes.push_back(r); });
    oldBeep = SetBeepHandler([this] { ++beeps; });
  }
  void TearDown() override {
    SetMessageBoxHandler(std::move(oldBox));
    SetBeepHandler(std::move(oldBeep));
  }
  void CopyPath(const std::string& p) {
    std::snprintf(state->snapshotPath, sizeof state->snapshotPath, "%s", p.c_str());
  }
  void UseFormat(const BitmapInfoHeader& h) {
    state->videoFormat.resize(sizeof h);
    std::memcpy(state->videoFormat.data(), &h, sizeof h);
  }
  bool Handle(std::vector<uint8_t>& frame, uint32_t bytesUsed) {
    VideoHdr hdr;
    hdr.lpData = frame.data();
    hdr.dwBufferLength = static_cast<uint32_t>(frame.size());
    hdr.dwBytesUsed = bytesUsed;
    return FrameHandler(*state, hdr);
  }

  test::Sandbox box;
  TestPatternDevice device;
  std::shared_ptr<AppState> state;
  std::string path;
  std::vector<MessageBoxRequest> boxes;
  int beeps = 0;
  MessageBoxHandler oldBox;
  BeepHandler oldBeep;
};

// Top half red, bottom half blue, in each converted depth's own pixel layout.
std::vector<uint8_t> RedOverBlue(const BitmapInfoHeader& h) {
  return MakeFrame(h, [&](int, int y) -> std::vector<uint8_t> {
    const bool top = y < h.biHeight / 2;
    switch (h.biBitCount) {
      case 16: return top ? std::vector<uint8_t>{0x00, 0x7C} : std::vector<uint8_t>{0x1F, 0x00};
      case 24: return top ? std::vector<uint8_t>{0, 0, 255} : std::vector<uint8_t>{255, 0, 0};
      default: return top ? std::vector<uint8_t>{0, 0, 255, 7} : std::vector<uint8_t>{255, 0, 0, 7};
    }
  });
}

TEST_F(FrameHandlerTest, EachDepthBecomesAnUprightJpegOfTheFrameSize) {
  for (uint16_t bits : {16, 24, 32}) {
    const BitmapInfoHeader h = Header(322, 240, bits);
    UseFormat(h);
    std::vector<uint8_t> frame = RedOverBlue(h);
    ASSERT_TRUE(Handle(frame, static_cast<uint32_t>(frame.size()))) << bits;
    test::DecodedJpeg jpeg = DecodeJpegFile(path);
    ASSERT_TRUE(jpeg.ok) << bits;
    EXPECT_EQ(jpeg.width, 322);
    EXPECT_EQ(jpeg.height, 240);
    EXPECT_EQ(jpeg.components, 3);
    EXPECT_TRUE(Near(jpeg.At(10, 10), 255, 0, 0)) << bits;
    EXPECT_TRUE(Near(jpeg.At(300, 230), 0, 0, 255)) << bits;
  }
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(beeps, 0);
}

TEST_F(FrameHandlerTest, RemovesItsRegistrationWhateverTheFrameHolds) {
  UseFormat(Header(8, 8, 24));
  int calls = 0;
  device.SetFrameCallback([&](const VideoHdr&) { ++calls; });
  std::vector<uint8_t> frame(DibStride(8, 24) * 8);
  EXPECT_FALSE(Handle(frame, 10));  // a short frame still ends the registration
  ASSERT_TRUE(device.DriverConnect(0));
  ASSERT_TRUE(device.SingleFrameOpen());
  ASSERT_TRUE(device.SingleFrame());
  device.SingleFrameClose();
  EXPECT_EQ(calls, 0);
}

TEST_F(FrameHandlerTest, AnIncompleteFrameWritesNothingAndSaysNothing) {
  UseFormat(Header(8, 8, 24));
  test::WriteFile(path, "");
  std::vector<uint8_t> frame(DibStride(8, 24) * 8, 0x80);
  EXPECT_FALSE(Handle(frame, static_cast<uint32_t>(frame.size() - 1)));
  EXPECT_EQ(test::ReadFile(path), "");
  EXPECT_TRUE(boxes.empty());
  // No format, or a format that is no picture: dropped the same way.
  state->videoFormat.clear();
  EXPECT_FALSE(Handle(frame, static_cast<uint32_t>(frame.size())));
  UseFormat(Header(0, 8, 24));
  EXPECT_FALSE(Handle(frame, static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(test::ReadFile(path), "");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(FrameHandlerTest, EightBitFramesBeepOnceAndGiveABlackPictureOfTheirSize) {
  UseFormat(Header(40, 30, 8));
  std::vector<uint8_t> frame(DibStride(40, 8) * 30, 0xFF);
  ASSERT_TRUE(Handle(frame, static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(beeps, 1);
  test::DecodedJpeg jpeg = DecodeJpegFile(path);
  ASSERT_TRUE(jpeg.ok);
  EXPECT_EQ(jpeg.width, 40);
  EXPECT_EQ(jpeg.height, 30);
  for (int y = 0; y < 30; y += 7)
    for (int x = 0; x < 40; x += 7) EXPECT_TRUE(Near(jpeg.At(x, y), 0, 0, 0, 4));
  // Depth 1 is not converted either, but silently.
  UseFormat(Header(40, 30, 1));
  frame.resize(DibStride(40, 1) * 30);
  ASSERT_TRUE(Handle(frame, static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(beeps, 1);
}

void BurnWhiteTopRows(AppState& state, uint8_t* frame, size_t bytes) {
  // Writes into the frame's memory as a DIB: the last stored rows are the top.
  const BitmapInfoHeader& h = *state.VideoFormatHeader();
  const size_t stride = static_cast<size_t>(DibStride(h.biWidth, h.biBitCount));
  for (int i = 1; i <= 16; ++i) std::memset(frame + bytes - stride * i, 0xFF, stride);
}

TEST_F(FrameHandlerTest, TheCaptionIsBurnedInBeforeConversionSoItIsUpright) {
  const BitmapInfoHeader h = Header(64, 64, 24);
  UseFormat(h);
  state->burnCaption = BurnWhiteTopRows;
  state->caption = 1;
  // Without a style nothing is burned.
  std::vector<uint8_t> frame = RedOverBlue(h);
  ASSERT_TRUE(Handle(frame, static_cast<uint32_t>(frame.size())));
  EXPECT_TRUE(Near(DecodeJpegFile(path).At(32, 2), 255, 0, 0));

  state->captionStyle = std::make_unique<CaptionStyle>();
  frame = RedOverBlue(h);
  ASSERT_TRUE(Handle(frame, static_cast<uint32_t>(frame.size())));
  test::DecodedJpeg jpeg = DecodeJpegFile(path);
  EXPECT_TRUE(Near(jpeg.At(32, 2), 255, 255, 255));
  EXPECT_TRUE(Near(jpeg.At(32, 60), 0, 0, 255));

  state->caption = 0;  // captions off: the burner is not called
  frame = RedOverBlue(h);
  ASSERT_TRUE(Handle(frame, static_cast<uint32_t>(frame.size())));
  EXPECT_TRUE(Near(DecodeJpegFile(path).At(32, 2), 255, 0, 0));
}

TEST_F(FrameHandlerTest, AnUnwritableSnapshotPathReportsFailure) {
  UseFormat(Header(16, 16, 24));
  CopyPath((box / "missing" / "snap.jpg").string());
  std::vector<uint8_t> frame(DibStride(16, 24) * 16);
  EXPECT_FALSE(Handle(frame, static_cast<uint32_t>(frame.size())));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "can't open " + (box / "missing" / "snap.jpg").string() + "\n");
}

}  // namespace
}  // namespace snapvane
