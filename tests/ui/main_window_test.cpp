// The main window on the offscreen platform: its controls, tips, command table,
// quality rule, the boxes that must not close it, minimise and restore, and the
// views that follow the log and progress models.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <thread>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/main_commands.h"
#include "app/transfer_progress.h"
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

// Clicks button and returns the title of the modal dialog it opened, which is
// then dismissed (done(0): cancelled); empty when none opened.
QString ModalTitleAfterClick(QAbstractButton* button) {
  QString title;
  QTimer timer;
  timer.setInterval(10);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    title = modal->windowTitle();
    timer.stop();
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->done(0);
    } else {
      modal->close();
    }
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
  void TearDown() override {
    window_.reset();
    unsetenv("XDG_CONFIG_HOME");
  }

  void WriteSettings(const std::string& values) {
    std::filesystem::create_directories(sandbox_ / "tolmar");
    test::WriteFile(sandbox_ / "tolmar" / "Snapvane.reg",
                    "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n" + values);
  }

  MainWindow& Open(bool trayAvailable = false) {
    MainWindow::Options options;
    options.trayAvailable = trayAvailable;
    window_ = std::make_unique<MainWindow>(std::move(options));
    window_->SetEndedCallback([this](int result) { endedWith_ = result; });
    window_->show();
    QCoreApplication::processEvents();  // the queued HTTP switch
    return *window_;
  }

  template <typename T>
  T* Get(int id) {
    T* control = window_->Dialog().ControlAs<T>(id);
    EXPECT_NE(control, nullptr) << id;
    return control;
  }

  // The tip shown when hovering over the centre of control id (empty: none): the
  // widget under the mouse, else the nearest parent with a tip, as a tool-tip
  // event travels.
  QString TipOver(int id) {
    QWidget* control = window_->Control(id);
    QWidget* under = window_->childAt(control->geometry().center());
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

TEST_F(MainWindowTest, EveryControlOfTheTemplateWithItsTextAndTip) {
  MainWindow& window = Open();
  const DialogTemplate* t = FindDialogTemplate(101);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(window.windowTitle(), "Snapvane");
  EXPECT_EQ(window.size(), window.Dialog().MapRect(0, 0, 329, 215).size());
  for (const ControlTemplate& c : t->controls) {
    if (c.id == kNoId) continue;
    QWidget* control = window.Control(c.id);
    ASSERT_NE(control, nullptr) << c.id;
    // Tips: the string of the control's own number, in the range; the spinner none.
    const bool inRange = c.id >= kFirstTipId && c.id <= kLastTipId;
    EXPECT_EQ(control->toolTip().toStdString(), inRange ? LoadString(c.id) : std::string()) << c.id;
  }
  EXPECT_TRUE(window.testAttribute(Qt::WA_AlwaysShowToolTips));
  EXPECT_EQ(Get<QAbstractButton>(kEnableHttp)->text(), "Enable HTTP");
  EXPECT_EQ(Get<QAbstractButton>(kHttpSettings)->text(), "Settings...");
  EXPECT_EQ(Get<QAbstractButton>(kClose)->accessibleName(), "Close");
  EXPECT_FALSE(Get<QAbstractButton>(kClose)->icon().isNull());
  EXPECT_FALSE(Get<QAbstractButton>(kTakePicture)->icon().isNull());
  EXPECT_FALSE(Get<QAbstractButton>(kAbout)->icon().isNull());
  EXPECT_TRUE(Get<QAbstractButton>(kPreviewVideo)->isChecked());

  auto* units = Get<QComboBox>(kIntervalUnit);
  ASSERT_EQ(units->count(), 5);
  EXPECT_EQ(units->itemText(0), "Seconds");
  EXPECT_EQ(units->itemText(4), "Weeks");
  EXPECT_EQ(units->currentIndex(), 0);

  UpDownControl* spin = window.QualitySpinner();
  ASSERT_NE(spin, nullptr);
  EXPECT_EQ(spin->Buddy(), window.Control(kQuality));
  EXPECT_EQ(spin->Minimum(), 0);
  EXPECT_EQ(spin->Maximum(), 100);
  // Right beside its buddy, as tall as it.
  EXPECT_EQ(spin->geometry().left(), window.Control(kQuality)->geometry().right() + 1);
  EXPECT_EQ(spin->height(), window.Control(kQuality)->height());

  // A fresh store: the defaults of the settings.
  EXPECT_EQ(Get<QLineEdit>(kQuality)->text().toStdString(),
            std::to_string(static_cast<uint32_t>(window.State()->quality)));
  EXPECT_EQ(window.TrayIconId(), 101);
}

TEST_F(MainWindowTest, TipsShowOverTheLogButNotOverSpinnerOrFormatLine) {
  Open();
  EXPECT_EQ(TipOver(kLog), "Hits this session.");
  EXPECT_EQ(TipOver(kQualitySpin), "");
  EXPECT_EQ(TipOver(kFormatLine), "");  // registered, but the label lets the mouse through
  EXPECT_EQ(TipOver(kTakePicture), "Take picture now.");
}

TEST_F(MainWindowTest, QualityRuleClampsAndMovesTheSpinner) {
  MainWindow& window = Open();
  auto* quality = Get<QLineEdit>(kQuality);
  quality->setText("250");
  LoseFocus(quality);
  EXPECT_EQ(quality->text(), "100");
  EXPECT_EQ(window.QualitySpinner()->Position(), 100);
  EXPECT_EQ(window.State()->quality, 100);

  quality->setText("");
  LoseFocus(quality);
  EXPECT_EQ(quality->text(), "0");
  EXPECT_EQ(window.QualitySpinner()->Position(), 0);
  EXPECT_EQ(window.State()->quality, 0);

  // The box takes digits only; the spinner's arrow keys step its number.
  quality->setText("41");
  QTest::keyClick(quality, Qt::Key_Up);
  EXPECT_EQ(quality->text(), "42");
  QTest::keyClicks(quality, "x");
  EXPECT_EQ(quality->text(), "42");
}

TEST_F(MainWindowTest, EscapeAndCloseBoxLeaveItOpenOnlyCloseEndsIt) {
  WriteSettings("\"quality\"=dword:00000010\n");
  MainWindow& window = Open();
  QTest::keyClick(&window, Qt::Key_Escape);
  QTest::keyClick(Get<QLineEdit>(kInterval), Qt::Key_Escape);
  EXPECT_FALSE(window.close());
  QCoreApplication::processEvents();
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.HasEnded());
  EXPECT_EQ(endedWith_, -1);

  auto* quality = Get<QLineEdit>(kQuality);
  EXPECT_EQ(quality->text(), "16");
  quality->setText("77");
  LoseFocus(quality);
  std::shared_ptr<AppState> state = window.State();
  Get<QAbstractButton>(kClose)->click();
  EXPECT_EQ(endedWith_, 0);
  EXPECT_TRUE(window.HasEnded());
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(state->mainWindow, nullptr);
  // The settings were saved on the way out.
  const std::string saved = test::ReadFile(sandbox_ / "tolmar" / "Snapvane.reg");
  EXPECT_NE(saved.find("\"quality\"=dword:0000004d"), std::string::npos) << saved;
  // Nothing runs any more once ended.
  Get<QAbstractButton>(kCaptionImage)->click();
  EXPECT_EQ(state->caption, 0);
}

TEST_F(MainWindowTest, HttpSettingsButtonEnabledExactlyWhileHttpIsOff) {
  MainWindow& window = Open();
  auto* enable = Get<QAbstractButton>(kEnableHttp);
  auto* settings = Get<QAbstractButton>(kHttpSettings);
  EXPECT_FALSE(enable->isChecked());
  EXPECT_TRUE(settings->isEnabled());
  window.State()->httpPort = 0;  // any free port

  enable->click();
  EXPECT_TRUE(enable->isChecked());
  EXPECT_FALSE(settings->isEnabled());
  EXPECT_EQ(window.State()->http, 1);
  EXPECT_NE(window.State()->listenSocket, kNoSocket);

  enable->click();
  EXPECT_TRUE(settings->isEnabled());
  EXPECT_EQ(window.State()->http, 0);
  EXPECT_EQ(window.State()->listenSocket, kNoSocket);
}

TEST_F(MainWindowTest, StoredHttpStartsTheServerRightAfterOpening) {
  WriteSettings("\"http\"=dword:00000001\n\"httpPort\"=dword:00000000\n");
  MainWindow& window = Open();
  EXPECT_TRUE(Get<QAbstractButton>(kEnableHttp)->isChecked());
  EXPECT_FALSE(Get<QAbstractButton>(kHttpSettings)->isEnabled());
  EXPECT_NE(window.State()->listenSocket, kNoSocket);
  Get<QAbstractButton>(kClose)->click();
  EXPECT_EQ(window.State()->listenSocket, kNoSocket);  // closed at shutdown
  // Saved while still switched on.
  const std::string saved = test::ReadFile(sandbox_ / "tolmar" / "Snapvane.reg");
  EXPECT_NE(saved.find("\"http\"=dword:00000001"), std::string::npos) << saved;
}

TEST_F(MainWindowTest, CommandTableRunsEachOperation) {
  MainWindow& window = Open();
  AppState& state = *window.State();
  CaptureDevice* device = state.captureWindow;
  ASSERT_NE(device, nullptr);
  ASSERT_NE(window.Preview(), nullptr);

  // Preview box: frame hidden and preview off, then back.
  auto* preview = Get<QAbstractButton>(kPreviewVideo);
  preview->click();
  EXPECT_FALSE(preview->isChecked());
  EXPECT_FALSE(window.Preview()->isVisible());
  EXPECT_FALSE(device->PreviewOn());
  preview->click();
  EXPECT_TRUE(window.Preview()->isVisible());
  EXPECT_TRUE(device->PreviewOn());
  EXPECT_EQ(device->PreviewRate(), 100);

  // Caption box.
  Get<QAbstractButton>(kCaptionImage)->click();
  EXPECT_EQ(state.caption, 1);
  Get<QAbstractButton>(kCaptionImage)->click();
  EXPECT_EQ(state.caption, 0);

  // Interval box on losing the focus, unit list on a new selection.
  auto* interval = Get<QLineEdit>(kInterval);
  interval->setText("2");
  LoseFocus(interval);
  EXPECT_EQ(state.interval, 2);
  auto* units = Get<QComboBox>(kIntervalUnit);
  units->setCurrentIndex(1);
  EXPECT_EQ(state.interval, 2);  // set by the program: no command
  emit units->activated(1);
  EXPECT_EQ(state.interval, 120);

  // Take picture now: the countdown starts over.
  state.secondsRemaining = 5;
  Get<QAbstractButton>(kTakePicture)->click();
  EXPECT_EQ(state.secondsRemaining, state.interval);

  // "Save File" and "Enable FTP" are only read when a picture is taken.
  Get<QAbstractButton>(kSaveFile)->click();
  EXPECT_EQ(state.saveFile, 0);

  // The dialogs, each modal and owned by the main window.
  EXPECT_EQ(ModalTitleAfterClick(Get<QAbstractButton>(kAbout)), "About Snapvane");
  EXPECT_FALSE(ModalTitleAfterClick(Get<QAbstractButton>(kHttpSettings)).isEmpty());
  EXPECT_FALSE(ModalTitleAfterClick(Get<QAbstractButton>(kFtpSettings)).isEmpty());
  EXPECT_FALSE(ModalTitleAfterClick(Get<QAbstractButton>(kCaptionSettings)).isEmpty());
  EXPECT_FALSE(ModalTitleAfterClick(Get<QAbstractButton>(kChooseFile)).isEmpty());
  for (int id : {kSource, kFormat, kDisplay}) {
    auto* button = Get<QAbstractButton>(id);
    EXPECT_TRUE(button->isEnabled()) << id;  // the test pattern offers all three
    EXPECT_FALSE(ModalTitleAfterClick(button).isEmpty()) << id;
  }
  EXPECT_FALSE(window.HasEnded());
}

TEST_F(MainWindowTest, AboutBoxTextsAndOnlyItsCloseButtonEndsIt) {
  MainWindow& window = Open();
  QString labelText;
  bool survivedEscape = false;
  QTimer timer;
  timer.setInterval(10);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!box) return;
    timer.stop();
    for (QLabel* label : box->findChildren<QLabel*>()) {
      if (!label->text().isEmpty()) labelText = label->text();
    }
    QTest::keyClick(box, Qt::Key_Escape);
    box->close();
    QCoreApplication::processEvents();
    survivedEscape = box->isVisible();
    for (QAbstractButton* button : box->findChildren<QAbstractButton*>()) {
      if (button->objectName() == "1") {
        EXPECT_EQ(button->text(), "Close");
        button->click();
      }
    }
  });
  timer.start();
  Get<QAbstractButton>(kAbout)->click();
  EXPECT_TRUE(survivedEscape);
  EXPECT_EQ(labelText,
            "Snapvane\n\nVersion 1.0\n\nThis software is based in part on the work of the "
            "Independent Jpeg Group");
  EXPECT_TRUE(window.isVisible());
}

TEST_F(MainWindowTest, MinimiseWithoutTrayStaysReachable) {
  MainWindow& window = Open(/*trayAvailable=*/false);
  AppState& state = *window.State();
  window.CountdownTimer()->stop();  // only the timer may count down
  Get<QLineEdit>(kInterval)->setText("60");
  LoseFocus(Get<QLineEdit>(kInterval));
  state.secondsRemaining = 9;
  window.showMinimized();
  ASSERT_TRUE(WaitProcessing([&] { return window.InTray(); }));
  EXPECT_TRUE(window.isVisible());  // no tray to come back from: only minimised
  EXPECT_FALSE(state.captureWindow->PreviewOn());

  window.showNormal();
  ASSERT_TRUE(WaitProcessing([&] { return !window.InTray(); }));
  EXPECT_TRUE(state.captureWindow->PreviewOn());
  EXPECT_EQ(state.secondsRemaining, 9);
  window.activateWindow();
  QCoreApplication::processEvents();
  EXPECT_EQ(state.secondsRemaining, 9);
}

TEST_F(MainWindowTest, MinimiseToTrayAndDoubleClickBack) {
  MainWindow& window = Open(/*trayAvailable=*/true);
  AppState& state = *window.State();
  Get<QAbstractButton>(kPreviewVideo)->click();  // box unticked: preview off
  Get<QAbstractButton>(kPreviewVideo)->click();  // and on again
  window.showMinimized();
  ASSERT_TRUE(WaitProcessing([&] { return !window.isVisible(); }));
  EXPECT_TRUE(window.InTray());
  EXPECT_FALSE(state.captureWindow->PreviewOn());
  EXPECT_FALSE(window.Preview()->isVisible());  // the frame goes with its owner

  window.TrayDoubleClicked();
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(state.captureWindow->PreviewOn());
  EXPECT_TRUE(window.Preview()->isVisible());
}

TEST_F(MainWindowTest, TrayDoubleClickTurnsPreviewOnEvenWithTheBoxUnticked) {
  MainWindow& window = Open(/*trayAvailable=*/true);
  AppState& state = *window.State();
  Get<QAbstractButton>(kPreviewVideo)->click();
  ASSERT_FALSE(state.captureWindow->PreviewOn());
  window.showMinimized();
  ASSERT_TRUE(WaitProcessing([&] { return !window.isVisible(); }));
  window.TrayDoubleClicked();
  EXPECT_TRUE(state.captureWindow->PreviewOn());
  EXPECT_FALSE(Get<QAbstractButton>(kPreviewVideo)->isChecked());
}

TEST_F(MainWindowTest, LogListAndProgressBarFollowTheirModelsFromWorkers) {
  MainWindow& window = Open();
  AppState& state = *window.State();
  auto* list = Get<QListWidget>(kLog);
  auto* bar = Get<QProgressBar>(kProgress);

  testing::internal::CaptureStderr();
  std::thread worker([&] {
    state.log->AddLogLine(-1, "first line");
    state.log->AddLogLine(-1, "a much longer second line of the activity log");
    state.transfers->UpdateTransferProgress(7, 1000);
  });
  worker.join();
  const std::string echoed = testing::internal::GetCapturedStderr();
  EXPECT_NE(echoed.find("first line\n"), std::string::npos);

  ASSERT_TRUE(WaitProcessing([&] { return list->count() == 2; }));
  EXPECT_EQ(list->item(0)->text(), "first line");
  EXPECT_EQ(list->item(1)->text(), "a much longer second line of the activity log");
  EXPECT_GT(state.log->LogExtent(), QFontMetrics(list->font()).horizontalAdvance("first line"));
  const TransferProgress::Bar model = state.transfers->Current();
  ASSERT_TRUE(WaitProcessing([&] { return bar->maximum() == std::max(model.range, 1); }));
  EXPECT_EQ(bar->value(), model.range > 0 ? model.position : 0);

  // A line replaced in place (as a completed HTTP line is) shows its new text.
  state.log->AddLogLine(0, "inserted");
  ASSERT_TRUE(WaitProcessing([&] { return list->count() == 3; }));
  EXPECT_EQ(list->item(0)->text(), "inserted");
  EXPECT_EQ(list->item(1)->text(), "first line");

  state.transfers->UpdateTransferProgress(7, 0);
  ASSERT_TRUE(WaitProcessing([&] { return bar->value() == 0 || bar->maximum() == 1; }));
}

}  // namespace
}  // namespace snapvane
