// The "..." chooser: its set-up, and what reaches the file-name edit.
#include "publish/save_file_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <functional>

#include "tests/support/fake_main_window.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

// Runs act on the file dialog once it is shown modally.
void WhenDialogShown(std::function<void(QFileDialog*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(dialog);
    }
  });
  timer->start();
}

TEST(SaveFileDialog, TitleFiltersSuffixAndOverwriteQuestion) {
  test::Sandbox sandbox;
  QFileDialog dialog;
  ConfigureSaveFileDialog(dialog, (sandbox / "cam.jpg").string());
  EXPECT_EQ(dialog.windowTitle(), "Save Captured Image As");
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(dialog.nameFilters(),
            (QStringList{"JFIF Jpeg Files (*.jpg *.jpeg)", "All Files (*.*)"}));
  EXPECT_EQ(dialog.selectedNameFilter(), "JFIF Jpeg Files (*.jpg *.jpeg)");
  EXPECT_EQ(dialog.defaultSuffix(), "jpg");
  EXPECT_FALSE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
  EXPECT_EQ(QDir(dialog.directory()).canonicalPath(),
            QDir(QString::fromStdString(sandbox.path().string())).canonicalPath());
}

TEST(SaveFileDialog, ChosenNameGetsTheDefaultSuffixAndFillsTheEdit) {
  test::Sandbox sandbox;
  test::FakeMainWindow window;
  window.SetText(kFileNameEditId, (sandbox / "old.jpg").string());
  const QString typed = QString::fromStdString((sandbox / "shot").string());
  WhenDialogShown([typed](QFileDialog* dialog) {
    // Type into the name field itself: selectFile() can be undone by the
    // dialog's directory model still loading in the background.
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    edit->setText(typed);
    QMetaObject::invokeMethod(dialog, "accept");  // as the Save button does
  });
  ChooseSaveFileName(nullptr, window);
  EXPECT_EQ(window.GetText(kFileNameEditId), (sandbox / "shot.jpg").string());
}

TEST(SaveFileDialog, CancelLeavesTheEditAsItWas) {
  test::FakeMainWindow window;
  window.SetText(kFileNameEditId, "cam");
  WhenDialogShown([](QFileDialog* dialog) { dialog->reject(); });
  ChooseSaveFileName(nullptr, window);
  EXPECT_EQ(window.GetText(kFileNameEditId), "cam");
}

}  // namespace
}  // namespace snapvane
