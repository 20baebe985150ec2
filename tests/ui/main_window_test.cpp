// The main window on the offscreen platform: controls and tips, command table,
// quality rule, the boxes that must not close it, minimise and restore.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFocusEvent>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "app/app_state.h"
#include "app/main_commands.h"
#include "capture/preview_window.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using namespace main_control;

bool WaitProcessing(const std::function<bool()>& done) {
  return test::WaitFor([&] {
    QCoreApplication::processEvents();
    return done();
  });
}

// Clicks button and cancels the modal dialog it opened; returns the dialog's
// title (empty: none opened).
QString ModalTitleAfterClick(QAbstractButton* button) {
  QString title;
  QTimer timer;
  timer.setInterval(10);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    timer.stop();
    title = dialog->windowTitle();
    dialog->done(0);
  });
  timer.start();
  button->click();
  return title;
}

void LoseFocus(QWidget* edit) {
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(edit, &out);
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", sandbox_.path().c_str(), 1);
    setenv("SNAPVANE_CAPTURE", "pattern", 1);
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
  MainWindow& Open(bool trayAvailable = false) {
    MainWindow::Options options;
    options.trayAvailable = trayAvailable;
    window_.reset();
    window_ = std::make_unique<MainWindow>(std::move(options));
    window_->SetEndedCallback([this](int result) { endedWith_ = result; });
    window_->show();
    QCoreApplication::processEvents();
    return *window_;
  }
  template <typename T>
  T* Get(int id) {
    T* control = window_->Dialog().ControlAs<T>(id);
    EXPECT_NE(control, nullptr) << id;
    return control;
  }
  // The tip shown over the centre of control id: the widget under the mouse, else
  // the nearest parent with a tip, as a tool-tip event travels.
  QString TipOver(int id) {
    QWidget* under = window_->childAt(window_->Control(id)->geometry().center());
    for (QWidget* w = under ? under : window_.get(); w; w = w->parentWidget()) {
      if (!w->toolTip().isEmpty()) return w->toolTip();
      if (w->isWindow()) break;
    }
    return QString();
  }

  test::Sandbox sandbox_;
  std::unique_ptr<MainWindow> window_;
  int endedWith_ = -1;
};

TEST_F(MainWindowTest, EveryControlWithItsTipAndTheTipsThatShow) {
  MainWindow& window = Open();
  for (const ControlTemplate& c : FindDialogTemplate(101)->controls) {
    if (c.id == kNoId) continue;
    ASSERT_NE(window.Control(c.id), nullptr) << c.id;
    const bool inRange = c.id >= kFirstTipId && c.id <= kLastTipId;  // the spinner has none
    EXPECT_EQ(window.Control(c.id)->toolTip().toStdString(),
              inRange ? LoadString(c.id) : std::string())
        << c.id;
  }
  EXPECT_EQ(TipOver(kLog), "Hits this session.");
  EXPECT_EQ(TipOver(kQualitySpin), "");
  EXPECT_EQ(TipOver(kFormatLine), "");  // registered, but the label lets the mouse through
}

TEST_F(MainWindowTest, QualityRuleEscapeAndCloseBoxLeaveItOpenOnlyCloseEndsAndSaves) {
  MainWindow& window = Open();
  auto* quality = Get<QLineEdit>(kQuality);
  const std::pair<const char*, int> cases[] = {{"250", 100}, {"", 0}, {"77", 77}};
  for (auto [typed, shown] : cases) {
    quality->setText(typed);
    LoseFocus(quality);
    EXPECT_EQ(quality->text(), QString::number(shown));
    EXPECT_EQ(window.QualitySpinner()->Position(), shown);
    EXPECT_EQ(window.State()->quality, shown);
  }
  QTest::keyClick(&window, Qt::Key_Escape);
  QTest::keyClick(Get<QLineEdit>(kInterval), Qt::Key_Escape);
  EXPECT_FALSE(window.close());
  QCoreApplication::processEvents();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(endedWith_, -1);

  Get<QAbstractButton>(kClose)->click();
  EXPECT_EQ(endedWith_, 0);
  EXPECT_FALSE(window.isVisible());
  const std::string saved = test::ReadFile(sandbox_ / "tolmar" / "Snapvane.reg");
  EXPECT_NE(saved.find("\"quality\"=dword:0000004d"), std::string::npos) << saved;
}

TEST_F(MainWindowTest, CommandTableRunsEachOperation) {
  MainWindow& window = Open();
  AppState& state = *window.State();

  for (bool on : {false, true}) {
    Get<QAbstractButton>(kPreviewVideo)->click();
    EXPECT_EQ(window.Preview()->isVisible(), on);
    EXPECT_EQ(state.captureWindow->PreviewOn(), on);
  }

  Get<QAbstractButton>(kCaptionImage)->click();
  EXPECT_EQ(state.caption, 1);
  Get<QLineEdit>(kInterval)->setText("2");
  LoseFocus(Get<QLineEdit>(kInterval));
  Get<QComboBox>(kIntervalUnit)->setCurrentIndex(1);
  EXPECT_EQ(state.interval, 2);  // set by the program: no command
  emit Get<QComboBox>(kIntervalUnit)->activated(1);
  EXPECT_EQ(state.interval, 120);

  state.secondsRemaining = 5;
  Get<QAbstractButton>(kTakePicture)->click();
  EXPECT_EQ(state.secondsRemaining, state.interval);

  state.httpPort = 0;  // any free port
  Get<QAbstractButton>(kEnableHttp)->click();
  EXPECT_NE(state.listenSocket, kNoSocket);
  EXPECT_FALSE(Get<QAbstractButton>(kHttpSettings)->isEnabled());  // again when off
  Get<QAbstractButton>(kEnableHttp)->click();

  for (int id : {kAbout, kHttpSettings, kFtpSettings, kCaptionSettings, kChooseFile, kSource, kFormat,
                 kDisplay})
    EXPECT_FALSE(ModalTitleAfterClick(Get<QAbstractButton>(id)).isEmpty()) << id;
  EXPECT_FALSE(window.HasEnded());
}

TEST_F(MainWindowTest, MinimiseAndRestoreWithAndWithoutATray) {
  const std::pair<bool, bool> cases[] = {{false, true}, {true, true}, {true, false}};
  for (auto [tray, ticked] : cases) {  // {tray available, preview box ticked}
    SCOPED_TRACE(tray * 2 + ticked);
    MainWindow& window = Open(tray);
    AppState& state = *window.State();
    if (!ticked) Get<QAbstractButton>(kPreviewVideo)->click();
    window.showMinimized();
    // Without a tray it stays reachable: only minimised, never hidden.
    ASSERT_TRUE(WaitProcessing([&] { return window.InTray() && window.isVisible() != tray; }));
    EXPECT_FALSE(state.captureWindow->PreviewOn());
    EXPECT_FALSE(window.Preview()->isVisible());  // the frame goes with its owner
    if (tray) window.TrayDoubleClicked();
    else window.showNormal();
    ASSERT_TRUE(WaitProcessing([&] { return !window.InTray(); }));
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(state.captureWindow->PreviewOn()) << "even with the box unticked";
    EXPECT_EQ(Get<QAbstractButton>(kPreviewVideo)->isChecked(), ticked);
  }
}

}  // namespace
}  // namespace snapvane
