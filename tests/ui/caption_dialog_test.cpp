// The caption settings dialog: the working copy, OK and Cancel, the choosers and
// the live preview.
#include "capture/caption_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFocusEvent>
#include <QFontDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <cstring>
#include <functional>

#include "app/app_state.h"
#include "capture/caption_overlay.h"
#include "capture/capture_device.h"

namespace snapvane {
namespace {

// Runs act on the modal dialog of type T that a button is about to open.
template <typename T>
void OnNextModal(std::function<void(T*)> act) {
  QTimer::singleShot(0, [act] {
    QWidget* top = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<T*>(top)) return act(dialog);
    ADD_FAILURE() << "the expected chooser did not open";
    if (top) top->close();
  });
}

std::shared_ptr<AppState> StateWithCaption(const char* text) {
  auto state = MakeAppState();
  state->captionStyle = MakeLoadedDefaultCaptionStyle();
  SetCaptionText(*state->captionStyle, text);
  state->captionStyle->valign = 0;
  return state;
}

void LoseFocus(QWidget* widget) {
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QCoreApplication::sendEvent(widget, &out);
}

// Edits every field through the dialog's own controls and choosers.
void ChangeEverything(CaptionSettingsDialog& dialog) {
  const BuiltDialog& c = dialog.Built();
  c.ControlAs<QPlainTextEdit>(1028)->setPlainText(QStringLiteral("New caption"));
  LoseFocus(c.ControlAs<QPlainTextEdit>(1028));
  c.ControlAs<QComboBox>(1033)->setCurrentIndex(2);
  c.ControlAs<QComboBox>(1032)->setCurrentIndex(2);
  c.ControlAs<QCheckBox>(1037)->click();
  OnNextModal<QFontDialog>([](QFontDialog* d) {
    d->setCurrentFont(QFont(QStringLiteral("DejaVu Serif"), 20));
    d->accept();
  });
  c.ControlAs<QPushButton>(1034)->click();
  for (int id : {1035, 1036}) {
    OnNextModal<QColorDialog>([id](QColorDialog* d) {
      d->setCurrentColor(QColor(id - 1000, 20, 30));
      d->accept();
    });
    c.ControlAs<QPushButton>(id)->click();
  }
}

void ExpectEverythingChanged(const CaptionStyle& s) {
  EXPECT_STREQ(s.text, "New caption");
  EXPECT_EQ(s.valign, 2);
  EXPECT_EQ(s.halign, 2);
  EXPECT_EQ(s.transparent, 1);
  EXPECT_STREQ(s.font.lfFaceName, "DejaVu Serif");
  EXPECT_EQ(s.foreground, RefFromColour(QColor(35, 20, 30)));
  EXPECT_EQ(s.background, RefFromColour(QColor(36, 20, 30)));
}

TEST(CaptionDialog, CancelAfterChangingEverythingRestoresOkAdoptsAll) {
  for (int button : {2, 1}) {  // Cancel, OK
    auto state = StateWithCaption("Old caption");
    const CaptionStyle before = *state->captionStyle;
    CaptionSettingsDialog dialog(nullptr, *state);
    dialog.show();
    ChangeEverything(dialog);
    ASSERT_NE(dialog.WorkingCopy(), nullptr);
    ExpectEverythingChanged(*dialog.WorkingCopy());
    EXPECT_STREQ(state->captionStyle->text, "Old caption");  // not yet
    dialog.Built().ControlAs<QPushButton>(button)->click();
    EXPECT_EQ(state->captionStyle->workingCopy, nullptr);
    if (button == 2) {
      EXPECT_EQ(std::memcmp(state->captionStyle.get(), &before, sizeof before), 0);
    } else {
      ExpectEverythingChanged(*state->captionStyle);
    }
  }
}

TEST(CaptionDialog, TextIsTakenOnFocusLossOnlyAndCutTo255Bytes) {
  auto state = StateWithCaption("Old caption");
  for (int length : {12, 300}) {
    CaptionSettingsDialog dialog(nullptr, *state);
    dialog.show();
    auto* edit = dialog.Built().ControlAs<QPlainTextEdit>(1028);
    edit->setPlainText(QString(length, QLatin1Char('x')));
    if (length == 300) LoseFocus(edit);
    dialog.accept();
    EXPECT_EQ(std::string(state->captionStyle->text),
              length == 300 ? std::string(255, 'x') : "Old caption");
  }
}

TEST(CaptionDialog, CaptureWhileOpenBurnsTheOldCaption) {
  auto state = StateWithCaption("Old caption");
  BitmapInfoHeader header;
  header.biWidth = 160, header.biHeight = 40, header.biBitCount = 24;
  const auto* raw = reinterpret_cast<const uint8_t*>(&header);
  state->videoFormat.assign(raw, raw + sizeof header);
  const std::vector<uint8_t> grey(static_cast<size_t>(DibStride(160, 24)) * 40, 128);
  auto burn = [&](AppState& s) {
    std::vector<uint8_t> frame = grey;
    BurnCaption(s, frame.data(), frame.size());
    return frame;
  };
  const std::vector<uint8_t> oldCaption = burn(*state);
  ASSERT_NE(oldCaption, grey);
  CaptionSettingsDialog dialog(nullptr, *state);
  dialog.show();
  ChangeEverything(dialog);
  EXPECT_EQ(burn(*state), oldCaption);
  dialog.accept();
  EXPECT_NE(burn(*state), oldCaption);
}

TEST(CaptionDialog, CustomColoursLiveForTheRun) {
  ColorRef* table = CustomColours();
  ColorRef saved[kCustomColourCount];
  std::memcpy(saved, table, sizeof saved);
  EXPECT_EQ(table[0], 0x555555u);
  EXPECT_EQ(table[1], 0xAA5555u);  // (85, 85, 170) as 0x00BBGGRR

  auto state = StateWithCaption("x");
  CaptionSettingsDialog dialog(nullptr, *state);
  dialog.show();
  table[5] = 0x123456;
  QColor shownAtOpen, shownAgain;
  OnNextModal<QColorDialog>([&](QColorDialog* d) {
    shownAtOpen = QColorDialog::customColor(5);
    QColorDialog::setCustomColor(2, QColor(1, 2, 3));  // defined, then cancelled
    d->reject();
  });
  dialog.Built().ControlAs<QPushButton>(1035)->click();
  EXPECT_EQ(RefFromColour(shownAtOpen), 0x123456u);
  EXPECT_EQ(table[2], RefFromColour(QColor(1, 2, 3)));
  QColorDialog::setCustomColor(2, Qt::white);  // whatever the toolkit kept meanwhile
  OnNextModal<QColorDialog>([&](QColorDialog* d) {
    shownAgain = QColorDialog::customColor(2);
    d->reject();
  });
  dialog.Built().ControlAs<QPushButton>(1036)->click();
  EXPECT_EQ(shownAgain, QColor(1, 2, 3));
  dialog.reject();
  std::memcpy(table, saved, sizeof saved);
}

}  // namespace
}  // namespace snapvane
