// The caption settings dialog: the working copy, OK and Cancel, the choosers and
// the live preview.
#include "capture/caption_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstring>
#include <string>
#include <tuple>

#include "app/app_state.h"
#include "capture/caption_overlay.h"
#include "capture/capture_device.h"
#include "resources/dialog_ids.h"
#include "tests/support/when_modal.h"

namespace snapvane {
namespace {

// A top caption over a 160 x 40 24-bit frame.
std::shared_ptr<AppState> StateWithCaption(const char* text) {
  auto state = MakeAppState();
  state->captionStyle = MakeLoadedDefaultCaptionStyle();
  SetCaptionText(*state->captionStyle, text);
  state->captionStyle->valign = 0;
  return state;
}

// A grey frame with the current caption burnt in.
std::vector<uint8_t> Burnt(AppState& state) {
  std::vector<uint8_t> frame(static_cast<size_t>(DibStride(160, 24)) * 40, 128);
  BurnCaption(*state.captionStyle,
              FrameView{frame.data(), frame.size(), {160, 40, 24, DibStride(160, 24)}});
  return frame;
}

// Edits every field through the dialog's own controls and choosers. The text is
// taken when the edit loses the focus, cut to 255 bytes.
void ChangeEverything(CaptionSettingsDialog& dialog) {
  const BuiltDialog& c = dialog.Built();
  c.ControlAs<QLineEdit>(caption_control::kText)->setText(QString(300, QLatin1Char('x')));
  test::LoseFocus(c.ControlAs<QLineEdit>(caption_control::kText));
  c.ControlAs<QComboBox>(caption_control::kVertical)->setCurrentIndex(2);
  c.ControlAs<QComboBox>(caption_control::kHorizontal)->setCurrentIndex(2);
  c.ControlAs<QCheckBox>(caption_control::kTransparent)->click();
  test::WhenModal<QFontDialog>([](QFontDialog* d) {
    d->setCurrentFont(QFont(QStringLiteral("DejaVu Serif"), 20));
    d->accept();
  });
  c.ControlAs<QPushButton>(caption_control::kFont)->click();
  for (int id : {caption_control::kForeground, caption_control::kBackground}) {
    test::WhenModal<QColorDialog>([id](QColorDialog* d) {
      d->setCurrentColor(QColor(id - 1000, 20, 30));
      d->accept();
    });
    c.ControlAs<QPushButton>(id)->click();
  }
}

void ExpectEverythingChanged(const CaptionStyle& s) {
  EXPECT_EQ(std::tuple(std::string(s.text), s.valign, s.halign, s.transparent,
                       std::string(s.font.lfFaceName), s.foreground, s.background),
            std::tuple(std::string(255, 'x'), 2, 2, 1, "DejaVu Serif",
                       RefFromColour(QColor(35, 20, 30)), RefFromColour(QColor(36, 20, 30))));
}

// Captures while the dialog is open burn the old caption.
TEST(CaptionDialog, CancelAfterChangingEverythingRestoresOkAdoptsAll) {
  for (int button : {2, 1}) {  // Cancel, OK
    auto state = StateWithCaption("Old caption");
    const CaptionStyle before = *state->captionStyle;
    const std::vector<uint8_t> oldCaption = Burnt(*state);
    CaptionSettingsDialog dialog(nullptr, state->captionStyle);
    dialog.show();
    ChangeEverything(dialog);
    ASSERT_NE(dialog.WorkingCopy(), nullptr);
    ExpectEverythingChanged(*dialog.WorkingCopy());
    EXPECT_EQ(Burnt(*state), oldCaption);
    dialog.Built().ControlAs<QPushButton>(button)->click();
    EXPECT_EQ(dialog.WorkingCopy(), nullptr);
    if (button == 2)
      EXPECT_EQ(std::memcmp(state->captionStyle.get(), &before, sizeof before), 0);
    else
      ExpectEverythingChanged(*state->captionStyle);
    EXPECT_EQ(Burnt(*state) == oldCaption, button == 2);
  }
}

// The caption is one line: Enter in the edit reaches the default OK button, which
// adopts the text typed since the edit last lost the focus.
TEST(CaptionDialog, EnterInTheTextEditIsOkAndKeepsTheTypedText) {
  auto state = StateWithCaption("Old caption");
  CaptionSettingsDialog dialog(nullptr, state->captionStyle);
  dialog.show();
  auto* edit = dialog.Built().ControlAs<QLineEdit>(caption_control::kText);
  edit->setFocus();
  edit->selectAll();
  QTest::keyClicks(edit, QStringLiteral("At %H:%M"));
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_STREQ(state->captionStyle->text, "At %H:%M");
}

}  // namespace
}  // namespace snapvane
