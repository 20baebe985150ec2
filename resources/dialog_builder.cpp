#include "resources/dialog_builder.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QToolButton>
#include <QWheelEvent>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

// The icons live in a static library: register them explicitly, or the linker
// drops them.
static void InitIconResources() { Q_INIT_RESOURCE(snapvane); }

namespace snapvane {
namespace {

constexpr int kIconPixels = 32;       // icon resources are drawn for 32 pixels
constexpr int kIconButtonMargin = 4;  // pixels kept free around a button's icon
constexpr int kFlatBorderPixels = 1;  // flat buttons: a single-line border
constexpr int kLineUnits = 8;         // one line of text, in vertical dialog units
constexpr int kWheelNotch = 120;      // angle delta of one wheel notch (1/8 degree units)

// Flat buttons keep a one-line frame so they still read as buttons.
const char kFlatButtonStyle[] =
    "QPushButton { border: 1px solid palette(shadow); background: palette(button);"
    " padding: 0px 2px; }"
    "QPushButton:pressed, QPushButton:checked { background: palette(mid); }"
    "QPushButton:disabled { color: palette(mid); border-color: palette(mid); }"
    "QPushButton:focus { border: 1px dotted palette(shadow); }";

QFont DialogFont(const DialogTemplate& t) {
  QFont font(QString::fromLatin1(t.fontName ? t.fontName : ""));
  font.setStyleHint(QFont::SansSerif);
  if (t.fontPoints > 0) font.setPointSize(t.fontPoints);
  return font;
}

bool TakesFocus(ControlKind kind) {
  switch (kind) {
    case ControlKind::kGroupBox:
    case ControlKind::kLabel:
    case ControlKind::kIcon:
    case ControlKind::kUpDown:
    case ControlKind::kProgressBar:
      return false;
    default:
      return true;
  }
}

QPushButton* MakeButton(QWidget* parent, const ControlTemplate& c) {
  auto* button = new QPushButton(parent);
  button->setAutoDefault(false);  // Enter does not click whatever has the focus
  if (c.kind == ControlKind::kDefPushButton) {
    button->setAutoDefault(true);
    button->setDefault(true);
  }
  if (c.kind == ControlKind::kIconButton) {
    // The text names the button but is not drawn: the icon stands for it.
    button->setAccessibleName(QString::fromLatin1(c.text));
    button->setIcon(LoadIconResource(c.iconId));
  } else {
    button->setText(QString::fromLatin1(c.text));
  }
  if (c.style & kFlat) {
    button->setFlat(true);
    button->setStyleSheet(QString::fromLatin1(kFlatButtonStyle));
  }
  return button;
}

QWidget* MakeControl(QWidget* parent, const ControlTemplate& c) {
  const QString text = QString::fromLatin1(c.text ? c.text : "");
  switch (c.kind) {
    case ControlKind::kGroupBox: {
      auto* box = new QGroupBox(text, parent);
      box->setAttribute(Qt::WA_TransparentForMouseEvents);
      return box;
    }
    case ControlKind::kLabel: {
      auto* label = new QLabel(text, parent);
      label->setWordWrap(true);
      label->setAlignment(((c.style & kCentred) ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
      if (c.style & kSunken) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      label->setAttribute(Qt::WA_TransparentForMouseEvents);
      return label;
    }
    case ControlKind::kIcon: {
      auto* label = new QLabel(parent);
      QIcon icon = LoadIconResource(c.iconId);
      if (!icon.isNull()) label->setPixmap(icon.pixmap(kIconPixels, kIconPixels));
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label->setAttribute(Qt::WA_TransparentForMouseEvents);
      return label;
    }
    case ControlKind::kEdit: {
      if (c.style & kMultiLine) {
        auto* edit = new QPlainTextEdit(text, parent);
        edit->setReadOnly(c.style & kReadOnly);
        edit->setVerticalScrollBarPolicy((c.style & kVScroll) ? Qt::ScrollBarAsNeeded
                                                              : Qt::ScrollBarAlwaysOff);
        edit->setHorizontalScrollBarPolicy((c.style & kHScroll) ? Qt::ScrollBarAsNeeded
                                                                : Qt::ScrollBarAlwaysOff);
        edit->setLineWrapMode((c.style & kHScroll) ? QPlainTextEdit::NoWrap
                                                   : QPlainTextEdit::WidgetWidth);
        return edit;
      }
      auto* edit = new QLineEdit(text, parent);
      edit->setReadOnly(c.style & kReadOnly);
      if (c.style & kPassword) edit->setEchoMode(QLineEdit::Password);
      if (c.style & kDigitsOnly) {
        edit->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
      }
      return edit;
    }
    case ControlKind::kDropDownList: {
      auto* combo = new QComboBox(parent);
      combo->setEditable(false);
      return combo;
    }
    case ControlKind::kCheckBox: {
      auto* box = new QCheckBox(text, parent);
      if (c.style & kTextLeft) box->setLayoutDirection(Qt::RightToLeft);
      return box;
    }
    case ControlKind::kPushLikeCheckBox: {
      QPushButton* button = MakeButton(parent, c);
      button->setCheckable(true);
      return button;
    }
    case ControlKind::kPushButton:
    case ControlKind::kDefPushButton:
    case ControlKind::kIconButton:
    case ControlKind::kOwnerDrawButton:
      return MakeButton(parent, c);
    case ControlKind::kUpDown:
      return new UpDownControl(parent);
    case ControlKind::kProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setTextVisible(false);
      bar->setRange(0, 100);  // the platform's default range
      bar->setValue(0);
      return bar;
    }
    case ControlKind::kListBox: {
      auto* list = new QListWidget(parent);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->setVerticalScrollBarPolicy((c.style & kVScroll) ? Qt::ScrollBarAsNeeded
                                                            : Qt::ScrollBarAlwaysOff);
      list->setHorizontalScrollBarPolicy((c.style & kHScroll) ? Qt::ScrollBarAsNeeded
                                                              : Qt::ScrollBarAlwaysOff);
      if (!(c.style & kBorder)) list->setFrameShape(QFrame::NoFrame);
      return list;
    }
  }
  return new QWidget(parent);
}

void PlaceControl(QWidget* widget, const ControlTemplate& c, const BuiltDialog& built) {
  QRect rect = built.MapRect(c.x, c.y, c.width, c.height);
  if (c.kind == ControlKind::kDropDownList) {
    // The template height includes the dropped-down list; the field keeps its own.
    auto* combo = static_cast<QComboBox*>(widget);
    const int field = std::min(rect.height(), combo->sizeHint().height());
    const int rowHeight = std::max(1, combo->fontMetrics().height());
    combo->setMaxVisibleItems(std::max(1, (rect.height() - field) / rowHeight));
    rect.setHeight(field);
  } else if (c.kind == ControlKind::kLabel && c.height < 2 * kLineUnits) {
    // One line of text: the desktop's font may be wider than the one the layout
    // was drawn with, so the label widens rather than wrapping out of sight.
    auto* label = static_cast<QLabel*>(widget);
    label->setWordWrap(false);
    rect.setWidth(std::max(rect.width(), label->sizeHint().width()));
  } else if (c.kind == ControlKind::kIcon) {
    rect.setSize(QSize(kIconPixels, kIconPixels));
  } else if (c.kind == ControlKind::kIconButton) {
    auto* button = static_cast<QPushButton*>(widget);
    const int side =
        std::min({kIconPixels, rect.width() - kIconButtonMargin - 2 * kFlatBorderPixels,
                  rect.height() - kIconButtonMargin - 2 * kFlatBorderPixels});
    button->setIconSize(QSize(std::max(1, side), std::max(1, side)));
  }
  widget->setGeometry(rect);
}

void ApplyWindowFlags(QWidget* dialog, const DialogTemplate& t) {
  if (!dialog->isWindow()) return;
  Qt::WindowFlags type = dialog->windowFlags() & Qt::WindowType_Mask;
  if (type == Qt::Widget) type = Qt::Window;  // a parentless widget is a window
  if (t.style & kDialogToolWindow) type = Qt::Tool;
  Qt::WindowFlags flags = type | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (t.style & kDialogSystemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (t.style & kDialogMinimiseBox) flags |= Qt::WindowMinimizeButtonHint;
  dialog->setWindowFlags(flags);
}

void PlaceDialog(QWidget* dialog, const DialogTemplate& t, const BuiltDialog& built) {
  if (!dialog->isWindow()) {
    dialog->move(built.MapX(t.x), built.MapY(t.y));
    return;
  }
  QWidget* owner = dialog->parentWidget() ? dialog->parentWidget()->window() : nullptr;
  QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  if (t.style & kDialogCentred) {
    dialog->move(area.center() - QPoint(dialog->width() / 2, dialog->height() / 2));
  } else if (owner) {
    dialog->move(owner->geometry().topLeft() + QPoint(built.MapX(t.x), built.MapY(t.y)));
  } else {
    dialog->move(area.topLeft() + QPoint(built.MapX(t.x), built.MapY(t.y)));
  }
}

}  // namespace

UpDownControl::UpDownControl(QWidget* parent) : QWidget(parent) {
  up_ = new QToolButton(this);
  down_ = new QToolButton(this);
  for (QToolButton* b : {up_, down_}) {
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);  // clicking the spinner leaves the focus in the buddy
  }
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  connect(up_, &QToolButton::clicked, this, [this] { Step(+1); });
  connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void UpDownControl::SetBuddy(QWidget* buddy) {
  if (buddy_) buddy_->removeEventFilter(this);
  buddy_ = buddy;
  if (buddy_) buddy_->installEventFilter(this);
}

void UpDownControl::SetRange(int minimum, int maximum) {
  minimum_ = minimum;
  maximum_ = maximum;
}

void UpDownControl::SetPosition(int position) {
  const int lo = std::min(minimum_, maximum_);
  const int hi = std::max(minimum_, maximum_);
  position_ = std::clamp(position, lo, hi);
  if (auto* edit = qobject_cast<QLineEdit*>(buddy_)) edit->setText(QString::number(position_));
}

void UpDownControl::Step(int delta) {
  if (!isEnabled()) return;
  // The buddy's text is the current position when it holds a number.
  if (auto* edit = qobject_cast<QLineEdit*>(buddy_)) {
    bool ok = false;
    const int value = edit->text().toInt(&ok);
    if (ok) position_ = value;
  }
  // A reversed range (minimum above maximum) makes "up" count down.
  SetPosition(position_ + (minimum_ <= maximum_ ? delta : -delta));
  if (changed_) changed_(position_);
}

void UpDownControl::wheelEvent(QWheelEvent* event) {
  wheelRemainder_ += event->angleDelta().y();
  const int notches = wheelRemainder_ / kWheelNotch;
  wheelRemainder_ -= notches * kWheelNotch;
  for (int i = 0; i < std::abs(notches); ++i) Step(notches > 0 ? +1 : -1);
  event->accept();
}

bool UpDownControl::eventFilter(QObject* watched, QEvent* event) {
  if (watched == buddy_ && event->type() == QEvent::Wheel && isEnabled()) {
    wheelEvent(static_cast<QWheelEvent*>(event));
    return true;
  }
  if (watched == buddy_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
      Step(key->key() == Qt::Key_Up ? +1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void UpDownControl::resizeEvent(QResizeEvent*) {
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

QWidget* BuiltDialog::Control(int id) const {
  auto it = byId.find(id);
  return it == byId.end() ? nullptr : it->second;
}

int BuiltDialog::MapX(int units) const { return (units * baseWidth + 2) / 4; }
int BuiltDialog::MapY(int units) const { return (units * baseHeight + 4) / 8; }

QRect BuiltDialog::MapRect(int x, int y, int width, int height) const {
  const int left = MapX(x);
  const int top = MapY(y);
  return QRect(left, top, MapX(x + width) - left, MapY(y + height) - top);
}

BuiltDialog BuildDialog(QWidget* dialog, const DialogTemplate& t) {
  BuiltDialog built;
  const QFont font = DialogFont(t);
  dialog->setFont(font);
  const QFontMetrics metrics(font, dialog);
  static const QString kAlphabet =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  // Average character width, rounded as the platform does.
  built.baseWidth = std::max(1, (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2);
  built.baseHeight = std::max(1, metrics.height());

  ApplyWindowFlags(dialog, t);
  dialog->setWindowTitle(QString::fromLatin1(t.caption ? t.caption : ""));

  QWidget* previous = nullptr;  // the control before, an up-down's buddy
  QWidget* lastTabStop = nullptr;
  for (const ControlTemplate& c : t.controls) {
    QWidget* widget = MakeControl(dialog, c);
    if (c.id != kNoId) {
      widget->setObjectName(QString::number(c.id));
      built.byId.emplace(c.id, widget);
    }
    if (c.style & kDisabled) widget->setEnabled(false);
    PlaceControl(widget, c, built);

    if (!TakesFocus(c.kind)) {
      widget->setFocusPolicy(Qt::NoFocus);
    } else if (c.style & kTabStop) {
      widget->setFocusPolicy(Qt::StrongFocus);
      if (lastTabStop) QWidget::setTabOrder(lastTabStop, widget);
      lastTabStop = widget;
    } else {
      widget->setFocusPolicy(Qt::ClickFocus);
    }

    if (c.kind == ControlKind::kUpDown && previous) {
      auto* upDown = static_cast<UpDownControl*>(widget);
      upDown->SetBuddy(previous);
      // Against the buddy's right edge, as tall as the buddy; the buddy narrows.
      const QRect own = widget->geometry();
      QRect buddy = previous->geometry();
      const int spinWidth = std::min(own.width(), buddy.width());
      buddy.setWidth(buddy.width() - spinWidth);
      previous->setGeometry(buddy);
      widget->setGeometry(buddy.right() + 1, buddy.top(), spinWidth, buddy.height());
    }
    built.controls.push_back(widget);
    previous = widget;
  }

  const QRect client = built.MapRect(0, 0, t.width, t.height);
  dialog->setFixedSize(client.size());
  PlaceDialog(dialog, t, built);
  return built;
}

QIcon LoadIconResource(int id) {
  static std::once_flag registered;
  std::call_once(registered, InitIconResources);
  // One icon per id for the program's life: the same QIcon keeps the pixmaps it
  // rendered, so the tray's countdown never parses an SVG twice. UI thread only.
  static std::map<int, QIcon> loaded;
  if (auto found = loaded.find(id); found != loaded.end()) return found->second;
  QIcon icon;
  for (const char* ext : {".svg", ".png"}) {
    const QString path = QStringLiteral(":/icons/%1%2").arg(id).arg(QLatin1String(ext));
    if (QFile::exists(path)) {
      icon = QIcon(path);
      break;
    }
  }
  loaded.emplace(id, icon);
  return icon;
}

}  // namespace snapvane
