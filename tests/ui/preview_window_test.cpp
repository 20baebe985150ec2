// The preview frame window: sizing to the format, live frames, and the three
// driver dialogs with their refresh rules.
#include "capture/preview_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QTimer>
#include <functional>

#include "app/app_state.h"
#include "capture/capture_control.h"
#include "capture/driver_dialogs.h"
#include "tests/capture/recording_device.h"
#include "tests/support/fake_main_window.h"

namespace snapvane {
namespace {

// The main window's part in sizing: it hands the size to the preview window.
class ForwardingWindow : public test::FakeMainWindow {
 public:
  PreviewWindow* preview = nullptr;
  void ResizePreview(int w, int h) override {
    FakeMainWindow::ResizePreview(w, h);
    if (preview) preview->ResizeToFrame(w, h);
  }
};

// Acts on the next modal dialog once its event loop runs.
void WhenModal(std::function<void(QDialog*)> act) {
  QTimer::singleShot(0, [act] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog) return WhenModal(act);
    act(dialog);
  });
}

class PreviewWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = MakeAppState();
    state->mainWindow = &port;
    state->captureWindow = &device;
    owner.setGeometry(100, 100, 400, 300);
    owner.show();
    preview = CreatePreviewWindow(&owner, *state);
    port.preview = preview;
    ConnectCaptureDevice(*state);
    device.calls.clear();
  }
  void TearDown() override { state->captureWindow = nullptr; }

  test::RecordingDevice device;
  ForwardingWindow port;
  std::shared_ptr<AppState> state;
  QWidget owner;
  PreviewWindow* preview = nullptr;  // owned by owner
};

TEST_F(PreviewWindowTest, AFormatRefreshMakesTheClientAreaOneFrameKeepingItsTopLeft) {
  // Connecting sized it to the pattern's 640 x 480 already.
  EXPECT_EQ(preview->geometry().size(), QSize(640, 480));
  EXPECT_EQ(preview->windowTitle(), "Video Preview");
  preview->move(250, 60);
  const QPoint topLeft = preview->geometry().topLeft();
  ASSERT_TRUE(device.SetFormat({1280, 720, 24}));
  RefreshVideoFormat(*state);
  EXPECT_EQ(preview->geometry(), QRect(topLeft, QSize(1280, 720)));
  EXPECT_EQ(preview->View()->geometry(), QRect(0, 0, 1280, 720));
  EXPECT_EQ(port.texts[1004], "Width : 1280\tHeight : 720\t bpp : 24");
  ASSERT_TRUE(device.SetFormat({320, 240, 8}));
  RefreshVideoFormat(*state);
  EXPECT_EQ(preview->geometry(), QRect(topLeft, QSize(320, 240)));
  EXPECT_EQ(preview->View()->geometry(), QRect(0, 0, 320, 240));
}

TEST_F(PreviewWindowTest, LiveFramesOnlyWhilePreviewIsOnAndTheWindowShown) {
  EXPECT_TRUE(preview->PullFrame());
  EXPECT_EQ(preview->View()->Frame().size(), QSize(640, 480));
  SetPreview(*state, false);
  EXPECT_FALSE(preview->PullFrame());
  SetPreview(*state, true);
  preview->hide();
  EXPECT_FALSE(preview->PullFrame());
  EXPECT_EQ(device.Count("GrabPreviewFrame"), 1) << "nothing is fetched for nobody";
  preview->show();
  EXPECT_TRUE(preview->PullFrame());
  EXPECT_EQ(device.callbacksRun, 0);
}

TEST_F(PreviewWindowTest, ThePictureIsShownTheRightWayUpAndMirroredOnRequest) {
  ASSERT_TRUE(preview->PullFrame());
  QImage shown = preview->View()->grab().toImage();
  ASSERT_EQ(shown.size(), QSize(640, 480));
  // Colour bars on top (yellow second), the grey ramp at the bottom.
  EXPECT_EQ(QColor(shown.pixel(120, 100)), QColor(255, 255, 0));
  EXPECT_LT(qGray(shown.pixel(2, 470)), 20);
  EXPECT_GT(qGray(shown.pixel(637, 470)), 235);
  preview->SetDisplay({true});
  shown = preview->View()->grab().toImage();
  EXPECT_EQ(QColor(shown.pixel(639 - 120, 100)), QColor(255, 255, 0));
  EXPECT_GT(qGray(shown.pixel(2, 470)), 235);
}

TEST(WrapBottomUpDib, EveryPatternDepthWrapsAndShortBuffersDoNot) {
  TestPatternDevice device;
  ASSERT_TRUE(device.DriverConnect(0));
  for (uint16_t bits : {8, 16, 24, 32}) {
    ASSERT_TRUE(device.SetFormat({320, 240, bits}));
    std::vector<uint8_t> format = device.GetVideoFormat(), frame;
    ASSERT_TRUE(device.GrabPreviewFrame(frame));
    QImage image = WrapBottomUpDib(format, frame);
    ASSERT_FALSE(image.isNull()) << bits;
    EXPECT_EQ(image.constBits(), frame.data()) << "no copy of the pixels";
    // DIB row 239 is the top of the picture: the yellow bar.
    QColor yellow(image.pixel(60, 239));
    EXPECT_GT(yellow.red(), 200) << bits;
    EXPECT_GT(yellow.green(), 200) << bits;
    EXPECT_LT(yellow.blue(), 60) << bits;
    frame.pop_back();
    EXPECT_TRUE(WrapBottomUpDib(format, frame).isNull());
  }
  EXPECT_TRUE(WrapBottomUpDib({}, {}).isNull());
}

TEST_F(PreviewWindowTest, FormatDialogAlwaysRefreshesAndAppliesTheChoice) {
  WhenModal([](QDialog* d) { d->reject(); });
  RunVideoFormatDialog(&owner, *state);
  EXPECT_EQ(device.Count("GetVideoFormat"), 1) << "cancelled, still re-read";
  EXPECT_EQ(device.Count("SetFormat(640x480x24)"), 0);

  WhenModal([](QDialog* d) {
    auto* size = d->findChild<QComboBox*>("frameSize");
    auto* depth = d->findChild<QComboBox*>("pixelDepth");
    ASSERT_TRUE(size && depth);
    EXPECT_EQ(size->currentText(), "640 x 480");
    EXPECT_EQ(depth->currentText(), "24 bits");
    size->setCurrentIndex(size->findText("320 x 240"));
    EXPECT_EQ(depth->currentText(), "24 bits") << "the depth is kept across sizes";
    depth->setCurrentIndex(depth->findText("8 bits"));
    d->accept();
  });
  RunVideoFormatDialog(&owner, *state);
  EXPECT_EQ(device.Count("SetFormat(320x240x8)"), 1);
  EXPECT_EQ(device.Count("GetVideoFormat"), 2);
  EXPECT_EQ(port.texts[1004], "Width : 320\tHeight : 240\t bpp : 8");
  EXPECT_EQ(preview->geometry().size(), QSize(320, 240));
}

TEST_F(PreviewWindowTest, SourceDialogRefreshesOnlyWhenAControlChanged) {
  WhenModal([](QDialog* d) { d->reject(); });
  RunVideoSourceDialog(&owner, *state);
  WhenModal([](QDialog* d) { d->accept(); });  // nothing changed
  RunVideoSourceDialog(&owner, *state);
  EXPECT_EQ(device.Count("GetVideoFormat"), 0);
  EXPECT_TRUE(device.calls.empty()) << "no control was set";

  WhenModal([](QDialog* d) {
    auto* pattern = d->findChild<QComboBox*>("control-1");
    auto* counter = d->findChild<QCheckBox*>("control-3");
    ASSERT_TRUE(pattern && counter);
    EXPECT_EQ(pattern->currentText(), "Colour bars");
    pattern->setCurrentIndex(pattern->findText("Checkerboard"));
    counter->setChecked(false);
    d->accept();
  });
  RunVideoSourceDialog(&owner, *state);
  EXPECT_EQ(device.calls,
            (std::vector<std::string>{"SetControl(1,2)", "SetControl(3,0)", "GetVideoFormat"}));
}

TEST_F(PreviewWindowTest, DisplayDialogRefreshesOnlyWhenAnOptionChanged) {
  WhenModal([](QDialog* d) { d->accept(); });
  RunVideoDisplayDialog(&owner, *state);
  EXPECT_EQ(device.Count("GetVideoFormat"), 0);
  WhenModal([](QDialog* d) {
    auto* mirror = d->findChild<QCheckBox*>("mirror");
    ASSERT_TRUE(mirror);
    mirror->setChecked(true);
    d->reject();
  });
  RunVideoDisplayDialog(&owner, *state);
  EXPECT_FALSE(preview->Display().mirror);
  EXPECT_EQ(device.Count("GetVideoFormat"), 0);
  WhenModal([](QDialog* d) {
    d->findChild<QCheckBox*>("mirror")->setChecked(true);
    d->accept();
  });
  RunVideoDisplayDialog(&owner, *state);
  EXPECT_TRUE(preview->Display().mirror);
  EXPECT_EQ(device.Count("GetVideoFormat"), 1);
}

}  // namespace
}  // namespace snapvane
