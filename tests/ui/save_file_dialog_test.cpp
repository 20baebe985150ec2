// The "..." chooser: where it opens, and what reaches the file-name edit.
#include "publish/save_file_dialog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>

#include "tests/support/sandbox.h"
#include "tests/support/when_modal.h"

namespace snapvane {
namespace {

TEST(SaveFileDialog, OpensInTheFolderOfTheNameCancelKeepsItAChosenNameGetsTheSuffix) {
  test::Sandbox sandbox;
  const std::string current = (sandbox / "cam.jpg").string();
  const QString folder = QDir(QString::fromStdString(sandbox.path().string())).canonicalPath();
  test::WhenModal<QFileDialog>([folder](QFileDialog* dialog) {
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(QDir(dialog->directory()).canonicalPath(), folder);
    dialog->reject();
  });
  EXPECT_EQ(ChooseSaveFileName(nullptr, current), std::nullopt);
  const QString typed = QString::fromStdString((sandbox / "shot").string());
  test::WhenModal<QFileDialog>([typed](QFileDialog* dialog) {
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
