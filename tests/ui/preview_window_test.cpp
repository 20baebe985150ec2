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
struct ForwardingWindow : test::FakeMainWindow {
  PreviewWindow* preview = nullptr;
  void ResizePreview(int w, int h) override {
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
  preview->move(250, 60);
  const QPoint topLeft = preview->geometry().topLeft();
  for (FrameFormat f : {FrameFormat{1280, 720, 24}, FrameFormat{320, 240, 8}}) {
    ASSERT_TRUE(device.SetFormat(f));
    RefreshVideoFormat(*state);
    EXPECT_EQ(preview->geometry(), QRect(topLeft, QSize(f.width, f.height)));
  }
  EXPECT_EQ(port.texts[1004], "Width : 320\tHeight : 240\t bpp : 8");
}

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

TEST_F(PreviewWindowTest, FormatDialogAlwaysRefreshesAndAppliesTheChoice) {
  WhenModal([](QDialog* d) { d->reject(); });
  RunVideoFormatDialog(&owner, *state);
  EXPECT_EQ(device.calls, (std::vector<std::string>{"GetVideoFormat"})) << "cancelled, re-read";
  WhenModal([](QDialog* d) {
    auto* size = d->findChild<QComboBox*>("frameSize");
    auto* depth = d->findChild<QComboBox*>("pixelDepth");
    ASSERT_TRUE(size && depth);
    size->setCurrentIndex(size->findText("320 x 240"));
    EXPECT_EQ(depth->currentText(), "24 bits") << "the depth is kept across sizes";
    depth->setCurrentIndex(depth->findText("8 bits"));
    d->accept();
  });
  RunVideoFormatDialog(&owner, *state);
  EXPECT_EQ(device.Count("SetFormat(320x240x8)"), 1);
  EXPECT_EQ(device.Count("GetVideoFormat"), 2);
  EXPECT_EQ(preview->geometry().size(), QSize(320, 240));
}

TEST_F(PreviewWindowTest, SourceAndDisplayDialogsRefreshOnlyWhenSomethingChanged) {
  WhenModal([](QDialog* d) { d->accept(); });  // nothing changed
  RunVideoSourceDialog(&owner, *state);
  WhenModal([](QDialog* d) { d->accept(); });
  RunVideoDisplayDialog(&owner, *state);
  WhenModal([](QDialog* d) {
    d->findChild<QCheckBox*>("mirror")->setChecked(true);
    d->reject();
  });
  RunVideoDisplayDialog(&owner, *state);
  EXPECT_TRUE(device.calls.empty());
  EXPECT_FALSE(preview->Display().mirror);

  WhenModal([](QDialog* d) {
    auto* pattern = d->findChild<QComboBox*>("control-1");
    auto* counter = d->findChild<QCheckBox*>("control-3");
    ASSERT_TRUE(pattern && counter);
    pattern->setCurrentIndex(pattern->findText("Checkerboard"));
    counter->setChecked(false);
    d->accept();
  });
  RunVideoSourceDialog(&owner, *state);
  EXPECT_EQ(device.calls,
            (std::vector<std::string>{"SetControl(1,2)", "SetControl(3,0)", "GetVideoFormat"}));
  WhenModal([](QDialog* d) {
    d->findChild<QCheckBox*>("mirror")->setChecked(true);
    d->accept();
  });
  RunVideoDisplayDialog(&owner, *state);
  EXPECT_TRUE(preview->Display().mirror);
  EXPECT_EQ(device.Count("GetVideoFormat"), 2);
}

}  // namespace
}  // namespace snapvane
