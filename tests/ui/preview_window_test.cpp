// The preview frame window: sizing to the format, live frames, and the three
// driver dialogs.
#include "capture/preview_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QScreen>

#include "capture/capture_control.h"
#include "capture/driver_dialogs.h"
#include "capture/test_pattern_device.h"
#include "tests/capture/recording_device.h"
#include "tests/support/install_device.h"
#include "tests/support/when_modal.h"

namespace snapvane {
namespace {

using test::WhenModal;

TEST(WrapBottomUpDib, EveryPatternDepthWrapsUprightAndShortBuffersDoNot) {
  TestPatternDevice device;
  ASSERT_TRUE(device.DriverConnect(0));
  for (uint16_t bits : {8, 16, 24, 32}) {
    ASSERT_TRUE(device.SetFormat({320, 240, bits}));
    std::vector<uint8_t> format = device.GetVideoFormat(), frame;
    ASSERT_TRUE(device.GrabPreviewFrame(frame));
    QColor yellow(WrapBottomUpDib(format, frame).pixel(60, 239));  // DIB row 239: the top
    EXPECT_TRUE(yellow.red() > 200 && yellow.green() > 200 && yellow.blue() < 60) << bits;
    frame.pop_back();
    EXPECT_TRUE(WrapBottomUpDib(format, frame).isNull());
  }
}

// What each dialog applies, and when the format is read again: always after the
// format dialog, after the others only when something changed.
TEST(PreviewWindow, DriverDialogsApplyTheChoiceAndReportWhetherSomethingChanged) {
  Camera camera;
  test::RecordingDevice& device = test::InstallDevice<test::RecordingDevice>(camera);
  QWidget owner;
  PreviewWindow* preview = CreatePreviewWindow(&owner, camera);  // owned by owner
  camera.Connect();
  device.calls.clear();
  WhenModal<QDialog>([](QDialog* d) { d->reject(); });
  EXPECT_TRUE(RunVideoFormatDialog(&owner, camera));
  WhenModal<QDialog>([](QDialog* d) { d->accept(); });  // nothing changed
  EXPECT_FALSE(RunVideoSourceDialog(&owner, camera));
  auto mirror = [](bool ok) {  // ticks the display dialog's mirror box, then OK or Cancel
    return [ok](QDialog* d) {
      d->findChild<QCheckBox*>("mirror")->setChecked(true);
      d->done(ok);
    };
  };
  WhenModal<QDialog>(mirror(false));
  EXPECT_FALSE(RunVideoDisplayDialog(&owner, camera, preview));
  EXPECT_FALSE(preview->Display().mirror);
  EXPECT_EQ(device.calls, (std::vector<std::string>{"GetVideoFormat"})) << "cancelled, re-read";

  WhenModal<QDialog>([](QDialog* d) {
    auto* size = d->findChild<QComboBox*>("frameSize");
    auto* depth = d->findChild<QComboBox*>("pixelDepth");
    ASSERT_TRUE(size && depth);
    size->setCurrentIndex(size->findText("320 x 240"));
    EXPECT_EQ(depth->currentText(), "24 bits") << "the depth is kept across sizes";
    depth->setCurrentIndex(depth->findText("8 bits"));
    d->accept();
  });
  EXPECT_TRUE(RunVideoFormatDialog(&owner, camera));
  WhenModal<QDialog>([](QDialog* d) {
    d->findChild<QCheckBox*>("control-3")->setChecked(false);  // the frame counter
    d->accept();
  });
  EXPECT_TRUE(RunVideoSourceDialog(&owner, camera));
  WhenModal<QDialog>(mirror(true));
  EXPECT_TRUE(RunVideoDisplayDialog(&owner, camera, preview));
  EXPECT_TRUE(preview->Display().mirror);
  EXPECT_EQ(device.calls,
            (std::vector<std::string>{"GetVideoFormat", "SetFormat(320x240x8)", "GetVideoFormat",
                                      "SetControl(3,0)", "GetVideoFormat", "GetVideoFormat"}));
  delete preview;  // it uses the camera's device
}

// Every width, so the wide steps and the pixels left over both land where they
// belong, either way round.
TEST(CaptureView, ConvertsBgrRowsOfEveryWidth) {
  std::vector<uint8_t> row(3 * 40);
  for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(i * 7 + 1);
  for (int w = 1; w <= 40; ++w)
    for (bool mirror : {false, true}) {
      std::vector<uint32_t> out(w + 1, 0x12345678u);  // one past the end must stay
      ConvertBgrRow(row.data(), out.data(), w, mirror);
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = row.data() + 3 * x;
        ASSERT_EQ(out[mirror ? w - 1 - x : x], qRgb(p[2], p[1], p[0])) << w << " " << x;
      }
      ASSERT_EQ(out[w], 0x12345678u);
    }
}

// A 24-bit frame painted into its place in the window: rows the right way up,
// mirrored when asked, beside other widgets of the same window.
TEST(CaptureView, PaintsA24BitFrameInItsPlace) {
  QWidget host;
  host.setGeometry(50, 50, 100, 80);
  auto* view = new CaptureView(&host);
  view->setGeometry(10, 20, 5, 3);
  const FrameGeometry g{5, 3, 24, 16, RowOrder::kBottomUp};
  std::vector<uint8_t>& bytes = view->BgrBuffer();
  bytes.assign(16 * 3, 0);
  for (int row = 0; row < 3; ++row)
    for (int x = 0; x < 5; ++x) {  // blue x, green the row from the bottom, red 7
      bytes[row * 16 + x * 3] = uint8_t(x), bytes[row * 16 + x * 3 + 1] = uint8_t(row);
      bytes[row * 16 + x * 3 + 2] = 7;
    }
  view->ShowBgrFrame(g, false);
  host.show();
  for (bool mirror : {false, true}) {
    view->SetMirror(mirror);
    QCoreApplication::processEvents();
    const QImage window = host.screen()->grabWindow(host.winId()).toImage();
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x)
        EXPECT_EQ(window.pixel(10 + x, 20 + y), qRgb(7, 2 - y, mirror ? 4 - x : x))
            << x << "," << y << " " << mirror;
  }
}

// The frame, title bar included, lies on the screen: where it is first placed
// and after a resize that would keep the client area's top-left too high.
// Frames are fetched only while it is shown; a 24-bit frame lands upright (and
// mirrored when asked) just as the general conversion would put it.
TEST(PreviewWindow, StaysOnScreenAndShowsFramesUprightOnlyWhileShown) {
  Camera camera;
  auto& device = test::InstallDevice<TestPatternDevice>(camera);
  // A still picture, so two frames can be compared whole.
  device.SetControl(TestPatternDevice::kMovingBlockControl, 0);
  device.SetControl(TestPatternDevice::kCounterControl, 0);
  QWidget owner;
  const QRect area = owner.screen()->availableGeometry();
  owner.setGeometry(QRect(area.topLeft(), QSize(400, 300)));
  owner.show();
  PreviewWindow* preview = CreatePreviewWindow(&owner, camera);
  camera.Connect();
  preview->ResizeToFrame(camera.Format()->width, camera.Format()->height);  // as the window does
  QCoreApplication::processEvents();
  ASSERT_TRUE(preview->isVisible());
  const QMargins frame = preview->FrameMargins();
  ASSERT_GT(frame.top(), 0) << "this platform draws no frame";
  EXPECT_GE(preview->frameGeometry().top(), area.top());
  EXPECT_GE(preview->frameGeometry().left(), area.left());
  EXPECT_EQ(preview->geometry().size(), QSize(640, 480));
  const QPoint low = preview->geometry().topLeft() + QPoint(10, 40);  // kept as it is
  preview->setGeometry(QRect(low, preview->size()));
  preview->ResizeToFrame(320, 240);
  EXPECT_EQ(preview->geometry(), QRect(low, QSize(320, 240)));
  preview->setGeometry(QRect(QPoint(low.x(), area.top()), preview->size()));  // title off screen
  preview->ResizeToFrame(640, 480);
  EXPECT_EQ(preview->geometry(), QRect(QPoint(low.x(), area.top() + frame.top()), QSize(640, 480)));

  for (bool mirror : {false, true}) {
    preview->SetDisplay({mirror});
    ASSERT_TRUE(preview->PullFrame());
    // The same frame again, through the general path.
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(device.GrabPreviewFrame(pixels));
    const QImage expected =
        WrapBottomUpDib(camera.VideoFormat(), pixels).convertToFormat(QImage::Format_RGB32);
    const QImage shown = preview->View()->Frame();
    EXPECT_TRUE(shown == expected.mirrored(mirror, true)) << mirror;
  }
  EXPECT_TRUE(preview->Pulling());
  preview->hide();
  EXPECT_FALSE(preview->Pulling()) << "no preview timer while hidden";
  delete preview;
}

}  // namespace
}  // namespace snapvane
