// The "..." chooser: where it opens, and what reaches the file-name edit.
#include "publish/save_file_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <functional>

#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

// Runs act on the file dialog once it is shown modally.
void WhenDialogShown(std::function<void(QFileDialog*)> act) {
  QTimer::singleShot(10, [act] {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
      act(dialog);
    else
      WhenDialogShown(act);
  });
}

TEST(SaveFileDialog, OpensInTheFolderOfTheNameCancelKeepsItAChosenNameGetsTheSuffix) {
  test::Sandbox sandbox;
  const std::string current = (sandbox / "cam.jpg").string();
  const QString folder = QDir(QString::fromStdString(sandbox.path().string())).canonicalPath();
  WhenDialogShown([folder](QFileDialog* dialog) {
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(QDir(dialog->directory()).canonicalPath(), folder);
    dialog->reject();
  });
  EXPECT_EQ(ChooseSaveFileName(nullptr, current), std::nullopt);
  const QString typed = QString::fromStdString((sandbox / "shot").string());
  WhenDialogShown([typed](QFileDialog* dialog) {
    // Type into the name field itself: selectFile() can be undone by the
    // dialog's directory model still loading in the background.
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    edit->setText(typed);
    QMetaObject::invokeMethod(dialog, "accept");  // as the Save button does
  });
  EXPECT_EQ(ChooseSaveFileName(nullptr, current), (sandbox / "shot.jpg").string());
}

}  // namespace
}  // namespace snapvane
