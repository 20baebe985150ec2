#include "capture/caption_dialog.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QEvent>
#include <QFontDialog>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <cmath>
#include <cstring>

#include "capture/caption_overlay.h"
#include "common/locale_text.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"

namespace snapvane {
namespace {

using namespace caption_control;
constexpr int kPreviewEdge = 2;  // the sunken client edge around the preview

QString EditText(QWidget* edit) {
  auto* line = qobject_cast<QLineEdit*>(edit);
  return line ? line->text() : QString();
}

void SetEditText(QWidget* edit, const QString& text) {
  if (auto* line = qobject_cast<QLineEdit*>(edit)) line->setText(text);
}

// A list shows the field's value as its selected index; a value no entry has
// selects nothing (and the field keeps it until the user chooses).
void SelectIndex(QComboBox* list, int32_t value) {
  list->setCurrentIndex(value >= 0 && value < list->count() ? value : -1);
}

}  // namespace

CaptionSettingsDialog::CaptionSettingsDialog(QWidget* parent, std::unique_ptr<CaptionStyle>& style)
    : QDialog(parent), style_(style) {
  if (const DialogTemplate* t = FindDialogTemplate(kCaptionDialog)) built_ = BuildDialog(this, *t);
  setModal(true);

  auto* vertical = built_.ControlAs<QComboBox>(kVertical);
  auto* horizontal = built_.ControlAs<QComboBox>(kHorizontal);
  // Entry index = field value.
  if (vertical)
    vertical->addItems({QStringLiteral("Top"), QStringLiteral("Centre"), QStringLiteral("Bottom")});
  if (horizontal)
    horizontal->addItems(
        {QStringLiteral("Left"), QStringLiteral("Centre"), QStringLiteral("Right")});
  if (auto* b = built_.ControlAs<QPushButton>(kFont)) b->setIcon(LoadIconResource(kFontIcon));
  for (int id : {kForeground, kBackground})
    if (auto* b = built_.ControlAs<QPushButton>(id)) b->setIcon(LoadIconResource(kColourIcon));

  copy_ = BeginCaptionEdit(style_);
  ShowWorkingCopy();

  // Connected after the controls show the copy, so only the user's changes count.
  if (auto* ok = built_.ControlAs<QPushButton>(kOk))
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  if (auto* cancel = built_.ControlAs<QPushButton>(kCancel))
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  edit_ = built_.Control(kText);
  if (auto* line = qobject_cast<QLineEdit*>(edit_))
    connect(line, &QLineEdit::textChanged, this, [this] { Changed(); });
  if (edit_) edit_->installEventFilter(this);

  if (vertical)
    connect(vertical, &QComboBox::currentIndexChanged, this, [this](int index) {
      if (copy_ && index >= 0) copy_->valign = index;
      Changed();
    });
  if (horizontal)
    connect(horizontal, &QComboBox::currentIndexChanged, this, [this](int index) {
      if (copy_ && index >= 0) copy_->halign = index;
      Changed();
    });
  if (auto* box = built_.ControlAs<QCheckBox>(kTransparent))
    connect(box, &QCheckBox::toggled, this, [this](bool on) {
      if (copy_) copy_->transparent = on ? 1 : 0;
      Changed();
    });
  if (auto* b = built_.ControlAs<QPushButton>(kFont))
    connect(b, &QPushButton::clicked, this, [this] {
      ChooseFont();
      Changed();
    });
  if (auto* b = built_.ControlAs<QPushButton>(kForeground))
    connect(b, &QPushButton::clicked, this, [this] {
      ChooseColour(&CaptionStyle::foreground);
      Changed();
    });
  if (auto* b = built_.ControlAs<QPushButton>(kBackground))
    connect(b, &QPushButton::clicked, this, [this] {
      ChooseColour(&CaptionStyle::background);
      Changed();
    });

  preview_ = built_.Control(kPreview);
  if (preview_) preview_->installEventFilter(this);
}

CaptionSettingsDialog::~CaptionSettingsDialog() {
  if (edit_) edit_->removeEventFilter(this);
  if (preview_) preview_->removeEventFilter(this);
}

void CaptionSettingsDialog::ShowWorkingCopy() {
  const CaptionStyle& s = *copy_;
  SetEditText(built_.Control(kText), QString::fromStdString(LocaleToUtf8(std::string_view(
                                             s.text, strnlen(s.text, sizeof s.text)))));
  if (auto* list = built_.ControlAs<QComboBox>(kVertical)) SelectIndex(list, s.valign);
  if (auto* list = built_.ControlAs<QComboBox>(kHorizontal)) SelectIndex(list, s.halign);
  if (auto* box = built_.ControlAs<QCheckBox>(kTransparent)) box->setChecked(s.transparent != 0);
}

void CaptionSettingsDialog::done(int result) {
  if (copy_ && result == QDialog::Accepted) {
    // OK by Enter leaves the focus in the edit: take what was typed since.
    TakeEditText();
    style_ = std::move(copy_);
  }
  copy_.reset();
  QDialog::done(result);
}

void CaptionSettingsDialog::TakeEditText() {
  if (!copy_ || !edit_) return;  // the edit losing the focus as the dialog closes
  SetCaptionText(*copy_, Utf8ToLocale(EditText(edit_).toStdString()));
}

void CaptionSettingsDialog::ChooseFont() {
  if (!copy_) return;
  // The chooser works in points; the record holds pixels at this screen's density.
  const double dpi = logicalDpiY() > 0 ? logicalDpiY() : 96.0;
  QFont initial = FontFromLogFont(copy_->font);
  initial.setPointSizeF(initial.pixelSize() * 72.0 / dpi);
  bool ok = false;
  QFont chosen =
      QFontDialog::getFont(&ok, initial, this, QString(), QFontDialog::DontUseNativeDialog);
  if (!ok || !copy_) return;  // cancelled: the font stays as it was
  if (chosen.pixelSize() <= 0)
    chosen.setPixelSize(
        std::max(1, static_cast<int>(std::lround(chosen.pointSizeF() * dpi / 72.0))));
  copy_->font = LogFontFromFont(chosen);
}

void CaptionSettingsDialog::ChooseColour(ColorRef CaptionStyle::*field) {
  if (!copy_) return;
  // The process's own table is the custom colours the chooser shows and edits.
  ColorRef* custom = CustomColours();
  for (int i = 0; i < kCustomColourCount; ++i)
    QColorDialog::setCustomColor(i, ColourFromRef(custom[i]));
  const QColor chosen = QColorDialog::getColor(ColourFromRef((*copy_).*field), this, QString(),
                                               QColorDialog::DontUseNativeDialog);
  for (int i = 0; i < kCustomColourCount; ++i)
    custom[i] = RefFromColour(QColorDialog::customColor(i));
  if (chosen.isValid() && copy_) (*copy_).*field = RefFromColour(chosen);
}

void CaptionSettingsDialog::Changed() {
  if (preview_) preview_->update();
}

void CaptionSettingsDialog::PaintPreview() {
  QPainter painter(preview_);
  const QRect whole = preview_->rect();
  // Background erasure, then the sunken edge, then the caption in the client area.
  painter.fillRect(whole, preview_->palette().button());
  QStyleOptionFrame frame;
  frame.initFrom(preview_);
  frame.rect = whole;
  frame.lineWidth = kPreviewEdge;
  frame.midLineWidth = 0;
  frame.state |= QStyle::State_Sunken;
  style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, preview_);
  const QRect client = whole.adjusted(kPreviewEdge, kPreviewEdge, -kPreviewEdge, -kPreviewEdge);
  if (client.isEmpty() || !copy_) return;
  painter.setClipRect(client);
  painter.translate(client.topLeft());
  DrawCaption(copy_.get(), painter, QRect(0, 0, client.width(), client.height()));
}

bool CaptionSettingsDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::FocusOut) {
    TakeEditText();
    Changed();
  } else if (watched == preview_ && event->type() == QEvent::Paint) {
    PaintPreview();
    return true;  // drawn here, at every repaint, from the working copy
  }
  return QDialog::eventFilter(watched, event);
}

void RunCaptionSettingsDialog(QWidget* parent, std::unique_ptr<CaptionStyle>& style) {
  CaptionSettingsDialog dialog(parent, style);
  dialog.exec();
}

}  // namespace snapvane
