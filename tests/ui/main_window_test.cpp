// The main window on the offscreen platform: tips, command wiring, the quality
// rule (its arithmetic is tested with the commands), the boxes that must not close
// it, minimise and restore.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <cstdlib>
#include <filesystem>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "capture/preview_window.h"
#include "publish/http_server.h"
#include "resources/dialog_ids.h"
#include "tests/support/sandbox.h"
#include "tests/support/when_modal.h"

namespace snapvane {
namespace {

using namespace main_control;

bool WaitProcessing(const std::function<bool()>& done) {
  return test::WaitFor([&] { return QCoreApplication::processEvents(), done(); });
}

// Clicks button and cancels the modal dialog it opens; false when none opened.
bool OpensAModal(QAbstractButton* button) {
  bool opened = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
      opened = true, dialog->done(0);
  });
  timer.start(10);
  button->click();
  return opened;
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

  test::Sandbox sandbox_;
  std::unique_ptr<MainWindow> window_;
  int endedWith_ = -1;
};

// Labels pass the mouse through (their tips never show): see the builder's test.
TEST_F(MainWindowTest, CommandsTipsQualityRuleAndOnlyCloseEndsAndSaves) {
  MainWindow& window = Open();
  AppState& state = *window.State();
  EXPECT_EQ(window.Control(kLog)->toolTip(), "Hits this session.");
  for (bool on : {false, true}) {
    Get<QAbstractButton>(kPreviewVideo)->click();
    EXPECT_EQ(window.Preview()->isVisible(), on);
    EXPECT_EQ(state.camera.Device()->PreviewOn(), on);
  }
  Get<QAbstractButton>(kCaptionImage)->click();
  EXPECT_EQ(state.caption, 1);
  Get<QLineEdit>(kInterval)->setText("2");
  test::LoseFocus(Get<QLineEdit>(kInterval));
  Get<QComboBox>(kIntervalUnit)->setCurrentIndex(1);
  EXPECT_EQ(state.interval, 2);  // set by the program: no command
  emit Get<QComboBox>(kIntervalUnit)->activated(1);
  EXPECT_EQ(state.interval, 120);
  state.secondsRemaining = 5;
  Get<QAbstractButton>(kTakePicture)->click();
  EXPECT_EQ(state.secondsRemaining, state.interval);

  state.httpPort = 0;  // any free port
  Get<QAbstractButton>(kEnableHttp)->click();
  EXPECT_TRUE(state.httpServer->listening());
  EXPECT_FALSE(Get<QAbstractButton>(kHttpSettings)->isEnabled());  // again when off
  Get<QAbstractButton>(kEnableHttp)->click();
  for (int id :
       {kAbout, kHttpSettings, kFtpSettings, kCaptionSettings, kChooseFile, kSource, kFormat})
    EXPECT_TRUE(OpensAModal(Get<QAbstractButton>(id))) << id;
  // The display dialog acts on the window's own preview frame among its children.
  test::WhenModal<QDialog>([](QDialog* dialog) {
    dialog->findChild<QCheckBox*>("mirror")->setChecked(true);
    dialog->accept();
  });
  Get<QAbstractButton>(kDisplay)->click();
  EXPECT_TRUE(window.Preview()->Display().mirror);
  EXPECT_FALSE(window.HasEnded());

  auto* quality = Get<QLineEdit>(kQuality);
  quality->setText("77");
  test::LoseFocus(quality);
  EXPECT_EQ(window.QualitySpinner()->Position(), 77);
  EXPECT_EQ(state.quality, 77);
  // Every step of the spinner (keys, wheel) applies the rule, though the box
  // never loses the focus.
  QTest::keyClick(quality, Qt::Key_Down);
  EXPECT_EQ(state.quality, 76);
  quality->setText("250");  // typed, then stepped: the rule clamps
  QTest::keyClick(quality, Qt::Key_Up);
  EXPECT_EQ(std::pair(state.quality, quality->text()), std::pair(100, QString("100")));
  const QPoint centre = window.QualitySpinner()->rect().center();
  QWheelEvent wheel(centre, window.QualitySpinner()->mapToGlobal(centre), QPoint(), QPoint(0, -120),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(window.QualitySpinner(), &wheel);
  EXPECT_EQ(std::pair(state.quality, window.QualitySpinner()->Position()), std::pair(99, 99));
  // Neither Escape nor the close box ends it; Close does, and saves.
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
  EXPECT_NE(saved.find("\"quality\"=dword:00000063"), std::string::npos) << saved;
}

// A damaged settings file is named in the log as soon as the window opens; the
// log list shows exactly the log; the FTP switch is taken from its box at closing.
TEST_F(MainWindowTest, DamagedFileNamedInTheLogTheListShowsTheLogAndTheFtpBoxIsStored) {
  const std::filesystem::path file = sandbox_ / "tolmar" / "Snapvane.reg";
  std::filesystem::create_directories(file.parent_path());
  test::WriteFile(file,
                  "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n"
                  "\"ftpServer\"=\"ftp.ex");
  MainWindow& window = Open();
  const std::string expected = "!!!Settings file damaged!!! (kept as " + file.string() + ".bad) - ";
  int named = 0;
  for (const ActivityLog::Line& line : window.State()->log->Lines())
    named += line.text.starts_with(expected) && line.text.size() == expected.size() + 24;
  EXPECT_EQ(named, 1);

  // The log list follows the log edit by edit: what it shows is what the log
  // holds, also after the oldest lines were dropped and visits were completed in place.
  auto* list = qobject_cast<QListView*>(window.Control(kLog));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(qobject_cast<QListWidget*>(list), nullptr);  // no item object per line
  const QAbstractItemModel& model = *list->model();
  ActivityLog& log = *window.State()->log;
  for (int i = 0; i < ActivityLog::kCapacity + 250; ++i) {
    log.AddVisitLine(i, "HTTP 10.0.0.1 - %s - now");
    if (i % 2) log.CompleteVisitLine(i - 1, "host" + std::to_string(i));
    if (i % 10000 == 0) QCoreApplication::processEvents();
  }
  log.AddLogLine(0, "first");
  EXPECT_TRUE(WaitProcessing([&] {
    const auto lines = log.Lines();
    if (model.rowCount() != static_cast<int>(lines.size())) return false;
    for (int i = 0; i < model.rowCount(); ++i)
      if (model.index(i, 0).data().toString().toStdString() != lines[static_cast<size_t>(i)].text)
        return false;
    return true;
  }));

  // The "Enable FTP" box as it is at closing decides what is stored, not the record.
  Get<QAbstractButton>(kEnableFtp)->setChecked(true);
  window.State()->ftp = 0;
  Get<QAbstractButton>(kClose)->click();
  const std::string saved = test::ReadFile(file);
  EXPECT_NE(saved.find("\"ftp\"=dword:00000001\n\"ftpUser\"=\"\""), std::string::npos) << saved;
}

TEST_F(MainWindowTest, MinimiseAndRestoreWithAndWithoutATray) {
  const std::pair<bool, bool> cases[] = {{false, true}, {true, true}, {true, false}};
  for (auto [tray, ticked] : cases) {  // {tray available, preview box ticked}
    SCOPED_TRACE(tray * 2 + ticked);
    MainWindow& window = Open(tray);
    if (!ticked) Get<QAbstractButton>(kPreviewVideo)->click();
    window.showMinimized();
    // Without a tray it stays reachable: only minimised, never hidden.
    ASSERT_TRUE(WaitProcessing([&] { return window.InTray() && window.isVisible() != tray; }));
    // The frame goes with its owner.
    EXPECT_FALSE(window.State()->camera.Device()->PreviewOn() || window.Preview()->isVisible());
    if (tray)
      window.TrayDoubleClicked();
    else
      window.showNormal();
    ASSERT_TRUE(WaitProcessing([&] { return !window.InTray() && window.isVisible(); }));
    EXPECT_TRUE(window.State()->camera.Device()->PreviewOn()) << "even with the box unticked";
    EXPECT_EQ(Get<QAbstractButton>(kPreviewVideo)->isChecked(), ticked);
  }
}

}  // namespace
}  // namespace snapvane
