// The template builder: dialog units from the font, the widget of each kind, tab
// order, the up-down control and its buddy, icons by id.
#include "app/dialog_builder.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>

namespace snapvane {
namespace {

using K = ControlKind;

DialogTemplate SampleTemplate() {
  return {900,
          "Sample",
          10,
          20,
          200,
          120,
          kDialogSystemMenu,
          "MS Sans Serif",
          8,
          {
              {kNoId, K::kGroupBox, "Group", 4, 4, 190, 100},
              {kNoId, K::kLabel, "Label", 8, 14, 40, 8},
              {10, K::kEdit, "text", 50, 12, 40, 14, kTabStop | kBorder},
              {11, K::kUpDown, "", 0, 0, 11, 14},
              {12, K::kEdit, "", 50, 30, 40, 14, kTabStop | kPassword | kDigitsOnly},
              {13, K::kDropDownList, "", 100, 12, 60, 60, kTabStop},
              {14, K::kCheckBox, "Check", 8, 50, 50, 10, kTabStop},
              {15, K::kPushLikeCheckBox, "Push", 60, 50, 40, 14, kTabStop},
              {16, K::kPushButton, "Button", 110, 50, 40, 14, kTabStop | kFlat},
              {17, K::kDefPushButton, "OK", 150, 50, 40, 14, kTabStop},
              {18, K::kIconButton, "Camera", 8, 66, 26, 22, kTabStop, 101},
              {19, K::kProgressBar, "", 40, 70, 60, 10},
              {20, K::kListBox, "", 110, 66, 80, 30, kTabStop | kVScroll | kBorder},
              {21, K::kEdit, "multi", 8, 90, 60, 12, kMultiLine | kReadOnly},
              {22, K::kIcon, "", 70, 90, 21, 20, 0, 117},
              {23, K::kOwnerDrawButton, "", 100, 100, 20, 10, kTabStop | kDisabled},
          }};
}

TEST(DialogBuilderTest, UnitsComeFromTheDialogFont) {
  QWidget dialog;
  const DialogTemplate t = SampleTemplate();
  BuiltDialog built = BuildDialog(&dialog, t);
  const QFontMetrics metrics(dialog.font(), &dialog);
  const int average =
      (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) /
      2;
  EXPECT_EQ(built.baseWidth, average);
  EXPECT_EQ(built.baseHeight, metrics.height());
  EXPECT_EQ(dialog.font().pointSize(), 8);
  EXPECT_EQ(built.MapX(4), built.baseWidth);
  EXPECT_EQ(built.MapY(8), built.baseHeight);
  EXPECT_EQ(dialog.size(), QSize(built.MapX(200), built.MapY(120)));
  EXPECT_EQ(dialog.windowTitle(), "Sample");
  EXPECT_EQ(built.Control(14)->geometry(), built.MapRect(8, 50, 50, 10));
  EXPECT_EQ(built.Control(20)->geometry(), built.MapRect(110, 66, 80, 30));
  EXPECT_EQ(built.controls.size(), t.controls.size());
  EXPECT_EQ(built.Control(99), nullptr);
}

TEST(DialogBuilderTest, EachKindBecomesItsWidget) {
  QWidget dialog;
  BuiltDialog built = BuildDialog(&dialog, SampleTemplate());
  EXPECT_NE(qobject_cast<QGroupBox*>(built.controls[0]), nullptr);
  EXPECT_NE(qobject_cast<QLabel*>(built.controls[1]), nullptr);
  EXPECT_EQ(built.ControlAs<QLineEdit>(10)->text(), "text");
  EXPECT_NE(built.ControlAs<UpDownControl>(11), nullptr);
  auto* password = built.ControlAs<QLineEdit>(12);
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(built.ControlAs<QComboBox>(13)->isEditable());
  EXPECT_EQ(built.ControlAs<QCheckBox>(14)->text(), "Check");
  auto* pushLike = built.ControlAs<QPushButton>(15);
  EXPECT_TRUE(pushLike->isCheckable());
  EXPECT_TRUE(built.ControlAs<QPushButton>(16)->isFlat());
  EXPECT_FALSE(built.ControlAs<QPushButton>(16)->autoDefault());
  EXPECT_TRUE(built.ControlAs<QPushButton>(17)->isDefault());
  auto* iconButton = built.ControlAs<QPushButton>(18);
  EXPECT_TRUE(iconButton->text().isEmpty());
  EXPECT_EQ(iconButton->accessibleName(), "Camera");
  EXPECT_FALSE(iconButton->icon().isNull());
  EXPECT_LE(iconButton->iconSize().height(), iconButton->height());
  auto* bar = built.ControlAs<QProgressBar>(19);
  EXPECT_FALSE(bar->isTextVisible());
  EXPECT_NE(bar->maximum(), bar->minimum());  // never the busy indicator
  EXPECT_NE(built.ControlAs<QListWidget>(20), nullptr);
  EXPECT_TRUE(built.ControlAs<QPlainTextEdit>(21)->isReadOnly());
  EXPECT_FALSE(built.ControlAs<QLabel>(22)->pixmap().isNull());
  EXPECT_FALSE(built.Control(23)->isEnabled());

  // Digits only: letters are refused as they are typed.
  QTest::keyClicks(password, "4a2");
  EXPECT_EQ(password->text(), "42");

  // Labels and group boxes let the mouse through (their tips never show).
  EXPECT_TRUE(built.controls[1]->testAttribute(Qt::WA_TransparentForMouseEvents));
  EXPECT_TRUE(built.controls[0]->testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST(DialogBuilderTest, TabOrderIsTemplateOrderOfTabStops) {
  QWidget dialog;
  BuiltDialog built = BuildDialog(&dialog, SampleTemplate());
  std::vector<int> order;
  QWidget* first = built.Control(10);
  QWidget* w = first;
  do {
    if ((w->focusPolicy() & Qt::TabFocus) && w->parentWidget() == &dialog) {
      order.push_back(w->objectName().toInt());
    }
    w = w->nextInFocusChain();
  } while (w != first && order.size() < 40);
  EXPECT_EQ(order, (std::vector<int>{10, 12, 13, 14, 15, 16, 17, 18, 20, 23}));
  EXPECT_EQ(built.Control(19)->focusPolicy(), Qt::NoFocus);     // progress bar
  EXPECT_EQ(built.Control(11)->focusPolicy(), Qt::NoFocus);     // up-down
  EXPECT_EQ(built.Control(21)->focusPolicy(), Qt::ClickFocus);  // no tab stop
  EXPECT_EQ(built.controls[1]->focusPolicy(), Qt::NoFocus);     // label
}

TEST(DialogBuilderTest, UpDownTakesTheControlBeforeItAsBuddy) {
  QWidget dialog;
  BuiltDialog built = BuildDialog(&dialog, SampleTemplate());
  auto* spin = built.ControlAs<UpDownControl>(11);
  auto* buddy = built.ControlAs<QLineEdit>(10);
  ASSERT_EQ(spin->Buddy(), buddy);
  // Against the buddy's right edge, the buddy narrowed by the spinner's width.
  const QRect original = built.MapRect(50, 12, 40, 14);
  EXPECT_EQ(buddy->geometry().left(), original.left());
  EXPECT_EQ(spin->geometry().right(), original.right());
  EXPECT_EQ(spin->geometry().left(), buddy->geometry().right() + 1);
  EXPECT_EQ(spin->height(), buddy->height());

  spin->SetRange(0, 100);
  spin->SetPosition(250);
  EXPECT_EQ(spin->Position(), 100);
  EXPECT_EQ(buddy->text(), "100");
  // Steps start from the buddy's number; the range holds.
  buddy->setText("1234");
  spin->Step(+1);
  EXPECT_EQ(buddy->text(), "100");
  buddy->setText("7");
  QTest::keyClick(buddy, Qt::Key_Down);
  EXPECT_EQ(buddy->text(), "6");
  QTest::keyClick(buddy, Qt::Key_Up);
  QTest::keyClick(buddy, Qt::Key_Up);
  EXPECT_EQ(buddy->text(), "8");
  spin->SetPosition(-3);
  EXPECT_EQ(buddy->text(), "0");
  // Plain integers: no thousands separators.
  spin->SetRange(0, 100000);
  spin->SetPosition(12345);
  EXPECT_EQ(buddy->text(), "12345");
}

TEST(DialogBuilderTest, WindowFlagsAndPlacement) {
  QDialog owner;
  owner.move(100, 100);
  DialogTemplate tool = SampleTemplate();
  tool.style = kDialogToolWindow | kDialogCentred;
  QDialog dialog(&owner);
  BuildDialog(&dialog, tool);
  EXPECT_EQ(dialog.windowFlags() & Qt::WindowType_Mask, Qt::Tool);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);

  DialogTemplate main = SampleTemplate();
  main.style = kDialogMinimiseBox | kDialogSystemMenu;
  QWidget top;
  BuiltDialog built = BuildDialog(&top, main);
  EXPECT_TRUE(top.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(top.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(top.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(top.pos() - top.screen()->availableGeometry().topLeft(),
            QPoint(built.MapX(10), built.MapY(20)));
}

TEST(DialogBuilderTest, EveryIconOfTheProgramLoads) {
  for (int id : {101, 102, 103, 104, 105, 106, 111, 116, 117, 1000, 1001, 1002, 1003, 1004}) {
    const QIcon icon = LoadIconResource(id);
    ASSERT_FALSE(icon.isNull()) << id;
    EXPECT_FALSE(icon.pixmap(16, 16).isNull()) << id;
    EXPECT_FALSE(icon.pixmap(32, 32).isNull()) << id;
  }
  EXPECT_TRUE(LoadIconResource(4242).isNull());
}

}  // namespace
}  // namespace snapvane
