// The template builder: the widget of each kind, the up-down control and its buddy.
#include "resources/dialog_builder.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace snapvane {
namespace {

using K = ControlKind;

const DialogTemplate kSample = {
    900,
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
        {18, K::kIconButton, "Camera", 8, 66, 26, 22, kTabStop, 101},
    }};

TEST(DialogBuilderTest, SizeKindsAndTheUpDownBuddy) {
  QWidget dialog;
  BuiltDialog built = BuildDialog(&dialog, kSample);
  EXPECT_EQ(dialog.size(), QSize(built.MapX(200), built.MapY(120)));

  auto* password = built.ControlAs<QLineEdit>(12);
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  QTest::keyClicks(password, "4a2");  // digits only
  EXPECT_EQ(password->text(), "42");
  EXPECT_EQ(built.ControlAs<QPushButton>(18)->accessibleName(), "Camera");  // icon, no text
  EXPECT_FALSE(built.ControlAs<QPushButton>(18)->icon().isNull());
  // Labels and group boxes let the mouse through (their tips never show).
  for (int i : {0, 1})
    EXPECT_TRUE(built.controls[i]->testAttribute(Qt::WA_TransparentForMouseEvents));

  // The up-down control takes the control before it as its buddy, and clamps.
  auto* spin = built.ControlAs<UpDownControl>(11);
  auto* buddy = built.ControlAs<QLineEdit>(10);
  ASSERT_EQ(spin->Buddy(), buddy);
  EXPECT_EQ(spin->geometry(), QRect(buddy->geometry().topRight() + QPoint(1, 0),
                                    QSize(spin->width(), buddy->height())));
  spin->SetRange(0, 100);
  spin->SetPosition(250);
  EXPECT_EQ(buddy->text(), "100");
  spin->SetRange(0, 100000);
  spin->SetPosition(12345);
  EXPECT_EQ(buddy->text(), "12345");  // no thousands separators
}

}  // namespace
}  // namespace snapvane
