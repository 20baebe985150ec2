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
#include <QTest>
#include <QTimer>
#include <cstring>
#include <functional>

#include "app/app_state.h"
#include "capture/caption_overlay.h"
#include "capture/capture_device.h"

namespace snapvane {
namespace {

bool SameRecord(const CaptionStyle& a, const CaptionStyle& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Runs act on the modal dialog of type T that opens next (a chooser started by a
// button), then lets the button's call return.
template <typename T>
void OnNextModal(std::function<void(T*)> act) {
  QTimer::singleShot(0, [act] {
    QWidget* top = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<T*>(top)) {
      act(dialog);
    } else {
      ADD_FAILURE() << "the expected chooser did not open";
      if (top) top->close();
    }
  });
}

std::shared_ptr<AppState> StateWithCaption(const char* text) {
  auto state = MakeAppState();
  state->captionStyle = MakeLoadedDefaultCaptionStyle();
  SetCaptionText(*state->captionStyle, text);
  return state;
}

void LoseFocus(QWidget* widget) {
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QCoreApplication::sendEvent(widget, &out);
}

const QColor kChosenForeground(10, 20, 30);
const QColor kChosenBackground(40, 50, 60);

// Edits every field through the dialog's own controls and choosers.
void ChangeEverything(CaptionSettingsDialog& dialog) {
  const BuiltDialog& c = dialog.Built();
  auto* edit = c.ControlAs<QPlainTextEdit>(1028);
  ASSERT_NE(edit, nullptr);
  edit->setPlainText(QStringLiteral("New caption"));
  LoseFocus(edit);
  c.ControlAs<QComboBox>(1033)->setCurrentIndex(0);
  c.ControlAs<QComboBox>(1032)->setCurrentIndex(2);
  c.ControlAs<QCheckBox>(1037)->click();

  OnNextModal<QFontDialog>([](QFontDialog* d) {
    d->setCurrentFont(QFont(QStringLiteral("DejaVu Serif"), 20));
    d->accept();
  });
  c.ControlAs<QPushButton>(1034)->click();
  OnNextModal<QColorDialog>([](QColorDialog* d) {
    d->setCurrentColor(kChosenForeground);
    d->accept();
  });
  c.ControlAs<QPushButton>(1035)->click();
  OnNextModal<QColorDialog>([](QColorDialog* d) {
    d->setCurrentColor(kChosenBackground);
    d->accept();
  });
  c.ControlAs<QPushButton>(1036)->click();
}

void ExpectEverythingChanged(const CaptionStyle& s) {
  EXPECT_STREQ(s.text, "New caption");
  EXPECT_EQ(s.valign, 0);
  EXPECT_EQ(s.halign, 2);
  EXPECT_EQ(s.transparent, 1);
  EXPECT_STREQ(s.font.lfFaceName, "DejaVu Serif");
  EXPECT_EQ(s.foreground, RefFromColour(kChosenForeground));
  EXPECT_EQ(s.background, RefFromColour(kChosenBackground));
}

TEST(CaptionDialog, CancelAfterChangingEverythingLeavesTheRecordAsItWas) {
  auto state = StateWithCaption("Old caption");
  CaptionStyle* record = state->captionStyle.get();
  const CaptionStyle before = *record;
  {
    CaptionSettingsDialog dialog(nullptr, *state);
    dialog.show();
    ChangeEverything(dialog);
    ASSERT_NE(dialog.WorkingCopy(), nullptr);
    ExpectEverythingChanged(*dialog.WorkingCopy());
    EXPECT_EQ(record->workingCopy, dialog.WorkingCopy());
    dialog.Built().ControlAs<QPushButton>(2)->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialog.WorkingCopy(), nullptr);
  }
  EXPECT_EQ(state->captionStyle.get(), record);
  EXPECT_TRUE(SameRecord(*state->captionStyle, before));
}

TEST(CaptionDialog, OkAdoptsEverythingAtOnce) {
  auto state = StateWithCaption("Old caption");
  CaptionSettingsDialog dialog(nullptr, *state);
  dialog.show();
  ChangeEverything(dialog);
  EXPECT_STREQ(state->captionStyle->text, "Old caption");  // not yet
  dialog.Built().ControlAs<QPushButton>(1)->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  ASSERT_NE(state->captionStyle, nullptr);
  ExpectEverythingChanged(*state->captionStyle);
  EXPECT_EQ(state->captionStyle->workingCopy, nullptr);
  // A late focus loss of the edit finds nothing to write into.
  auto* edit = dialog.Built().ControlAs<QPlainTextEdit>(1028);
  edit->setPlainText(QStringLiteral("after closing"));
  LoseFocus(edit);
  EXPECT_STREQ(state->captionStyle->text, "New caption");
}

TEST(CaptionDialog, TextIsTakenOnlyWhenTheEditLosesTheFocus) {
  auto state = StateWithCaption("Old caption");
  {
    // Clicking OK takes the focus from the edit first: the typed text is kept.
    CaptionSettingsDialog dialog(nullptr, *state);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    auto* edit = dialog.Built().ControlAs<QPlainTextEdit>(1028);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("Typed %%"));
    EXPECT_STREQ(dialog.WorkingCopy()->text, "Old caption");
    QTest::mouseClick(dialog.Built().ControlAs<QPushButton>(1), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_STREQ(state->captionStyle->text, "Typed %%");
  }
  {
    // An OK reaching the dialog while the edit still has the focus adopts the
    // copy without what was typed since.
    CaptionSettingsDialog dialog(nullptr, *state);
    dialog.show();
    auto* edit = dialog.Built().ControlAs<QPlainTextEdit>(1028);
    edit->setPlainText(QStringLiteral("never stored"));
    dialog.accept();
    EXPECT_STREQ(state->captionStyle->text, "Typed %%");
  }
  {
    // The stored text is cut to 255 bytes.
    CaptionSettingsDialog dialog(nullptr, *state);
    dialog.show();
    auto* edit = dialog.Built().ControlAs<QPlainTextEdit>(1028);
    edit->setPlainText(QString(300, QLatin1Char('x')));
    LoseFocus(edit);
    dialog.accept();
    EXPECT_EQ(std::string(state->captionStyle->text), std::string(255, 'x'));
  }
}

// A 24-bit grey bottom-up frame and a state describing it.
struct TestFrame {
  BitmapInfoHeader header;
  std::vector<uint8_t> bytes;
  TestFrame() {
    header.biWidth = 160;
    header.biHeight = 40;
    header.biBitCount = 24;
    bytes.assign(static_cast<size_t>(DibStride(160, 24)) * 40, 128);
  }
  void Describe(AppState& state) const {
    const auto* raw = reinterpret_cast<const uint8_t*>(&header);
    state.videoFormat.assign(raw, raw + sizeof header);
  }
};

TEST(CaptionDialog, CaptureWhileOpenBurnsTheOldCaption) {
  auto state = StateWithCaption("Old caption");
  state->captionStyle->valign = 0;
  TestFrame frame;
  frame.Describe(*state);

  auto reference = MakeAppState();
  reference->captionStyle = std::make_unique<CaptionStyle>(*state->captionStyle);
  frame.Describe(*reference);
  TestFrame oldCaption;
  BurnCaption(*reference, oldCaption.bytes.data(), oldCaption.bytes.size());

  CaptionSettingsDialog dialog(nullptr, *state);
  dialog.show();
  ChangeEverything(dialog);
  TestFrame during;
  BurnCaption(*state, during.bytes.data(), during.bytes.size());
  EXPECT_EQ(during.bytes, oldCaption.bytes);

  // The edited copy would have drawn something else.
  reference->captionStyle = std::make_unique<CaptionStyle>(*dialog.WorkingCopy());
  TestFrame edited;
  BurnCaption(*reference, edited.bytes.data(), edited.bytes.size());
  EXPECT_NE(edited.bytes, oldCaption.bytes);
  dialog.reject();
}

TEST(CaptionDialog, CustomColoursLiveForTheRun) {
  ColorRef* table = CustomColours();
  ColorRef saved[kCustomColourCount];
  std::memcpy(saved, table, sizeof saved);
  EXPECT_EQ(table[0], 0x555555u);
  EXPECT_EQ(table[1], 0xAA5555u);  // (85, 85, 170) as 0x00BBGGRR
  EXPECT_EQ(table[15], 0xE0E0E0u);

  auto state = StateWithCaption("x");
  const ColorRef foreground = state->captionStyle->foreground;
  CaptionSettingsDialog dialog(nullptr, *state);
  dialog.show();
  table[5] = 0x123456;  // the chooser shows the process's table
  QColor shownAtOpen;
  OnNextModal<QColorDialog>([&](QColorDialog*) {
    shownAtOpen = QColorDialog::customColor(5);
    QColorDialog::setCustomColor(2, QColor(1, 2, 3));  // the user defines one...
    QApplication::activeModalWidget()->close();        // ...and cancels the chooser
  });
  dialog.Built().ControlAs<QPushButton>(1035)->click();
  EXPECT_EQ(RefFromColour(shownAtOpen), 0x123456u);
  EXPECT_EQ(table[2], RefFromColour(QColor(1, 2, 3)));
  EXPECT_EQ(dialog.WorkingCopy()->foreground, foreground);  // cancelled: colour kept

  // The next opening, even for the other colour, starts from what was defined.
  QColorDialog::setCustomColor(2, Qt::white);  // whatever the toolkit kept meanwhile
  QColor shownAgain;
  OnNextModal<QColorDialog>([&](QColorDialog* d) {
    shownAgain = QColorDialog::customColor(2);
    d->reject();
  });
  dialog.Built().ControlAs<QPushButton>(1036)->click();
  EXPECT_EQ(shownAgain, QColor(1, 2, 3));
  dialog.reject();
  std::memcpy(table, saved, sizeof saved);
}

TEST(CaptionDialog, NoRecordYetGetsTheDialogDefaults) {
  auto state = MakeAppState();
  {
    CaptionSettingsDialog dialog(nullptr, *state);
    ASSERT_NE(state->captionStyle, nullptr);
    EXPECT_EQ(dialog.Built().ControlAs<QComboBox>(1033)->currentIndex(), 0);
    EXPECT_EQ(dialog.Built().ControlAs<QComboBox>(1032)->currentIndex(), 0);
    EXPECT_EQ(dialog.Built().ControlAs<QPlainTextEdit>(1028)->toPlainText(), QStringLiteral("%c"));
    dialog.reject();
  }
  ASSERT_NE(state->captionStyle, nullptr);
  EXPECT_TRUE(SameRecord(*state->captionStyle, *MakeDialogDefaultCaptionStyle()));
}

TEST(CaptionDialog, OutOfRangeValuesSurviveAnUntouchedOk) {
  auto state = StateWithCaption("x");
  state->captionStyle->valign = 7;
  state->captionStyle->halign = -3;
  CaptionSettingsDialog dialog(nullptr, *state);
  EXPECT_EQ(dialog.Built().ControlAs<QComboBox>(1033)->currentIndex(), -1);
  EXPECT_EQ(dialog.Built().ControlAs<QComboBox>(1032)->currentIndex(), -1);
  dialog.accept();
  EXPECT_EQ(state->captionStyle->valign, 7);
  EXPECT_EQ(state->captionStyle->halign, -3);
}

TEST(CaptionDialog, DestroyedWhileOpenUnlinksTheCopy) {
  auto state = StateWithCaption("x");
  const CaptionStyle before = *state->captionStyle;
  { CaptionSettingsDialog dialog(nullptr, *state); }
  EXPECT_TRUE(SameRecord(*state->captionStyle, before));
}

// Rows of the preview image holding dark (caption background) pixels.
std::pair<int, int> DarkRowSpan(const QImage& image) {
  int first = -1, last = -1;
  for (int y = 3; y < image.height() - 3; ++y)
    for (int x = 3; x < image.width() - 3; ++x)
      if (image.pixelColor(x, y).lightness() < 30) {
        if (first < 0) first = y;
        last = y;
        break;
      }
  return {first, last};
}

TEST(CaptionDialog, PreviewIsDrawnFromTheWorkingCopyAtEveryRepaint) {
  auto state = StateWithCaption("Preview text");
  state->captionStyle->valign = 0;  // opaque black cells at the top
  CaptionSettingsDialog dialog(nullptr, *state);
  dialog.show();
  QWidget* preview = dialog.Built().Control(1003);
  ASSERT_NE(preview, nullptr);
  EXPECT_FALSE(preview->isEnabled());

  const QImage top = preview->grab().toImage();
  auto [topFirst, topLast] = DarkRowSpan(top);
  ASSERT_GE(topFirst, 0);
  EXPECT_LT(topLast, top.height() / 2);

  dialog.Built().ControlAs<QComboBox>(1033)->setCurrentIndex(2);
  const QImage bottom = preview->grab().toImage();
  auto [bottomFirst, bottomLast] = DarkRowSpan(bottom);
  EXPECT_GT(bottomFirst, bottom.height() / 2);
  EXPECT_EQ(state->captionStyle->valign, 0);  // only the copy changed
  dialog.reject();
}

TEST(CaptionDialog, RunReturnsWithTheRecordToUse) {
  auto state = StateWithCaption("Run caption");
  CaptionStyle* before = state->captionStyle.get();
  OnNextModal<CaptionSettingsDialog>([](CaptionSettingsDialog* d) {
    d->Built().ControlAs<QComboBox>(1032)->setCurrentIndex(0);
    d->Built().ControlAs<QPushButton>(1)->click();
  });
  RunCaptionSettingsDialog(nullptr, *state);
  ASSERT_NE(state->captionStyle, nullptr);
  EXPECT_NE(state->captionStyle.get(), before);  // the copy is now the record in force
  EXPECT_EQ(state->captionStyle->halign, 0);
  EXPECT_STREQ(state->captionStyle->text, "Run caption");
  EXPECT_EQ(state->captionStyle->workingCopy, nullptr);
}

}  // namespace
}  // namespace snapvane
