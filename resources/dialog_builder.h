#pragma once
// Turns a dialog template (resources/dialog_templates.h) into Qt widgets: one child
// widget per control, rectangles mapped from dialog units through the dialog
// font's own metrics, tab order in template order. Code then finds controls by id.
//
// Kinds map to: group box QGroupBox; label and icon QLabel (labels pass the mouse
// through to their parent, so a tip set on one never shows); edit QLineEdit
// (QPlainTextEdit with kMultiLine); drop-down list QComboBox; check boxes
// QCheckBox; push-like check box a checkable QPushButton; buttons QPushButton;
// up-down UpDownControl; progress bar QProgressBar; list box QListWidget.
#include <QIcon>
#include <QRect>
#include <QWidget>
#include <functional>
#include <map>
#include <vector>

#include "resources/dialog_templates.h"

class QToolButton;

namespace snapvane {

// A spinner beside an edit: buddy taken automatically (the control before it in
// the template), placed against the buddy's right edge (the buddy narrows by the
// spinner's width), writes its position into the buddy as a plain integer (no
// thousands separators) and answers the Up/Down keys pressed in the buddy and the
// mouse wheel over either.
class UpDownControl : public QWidget {
 public:
  explicit UpDownControl(QWidget* parent);

  void SetBuddy(QWidget* buddy);
  QWidget* Buddy() const { return buddy_; }
  void SetRange(int minimum, int maximum);
  int Minimum() const { return minimum_; }
  int Maximum() const { return maximum_; }
  // Moves to position (clamped to the range) and writes it into the buddy.
  void SetPosition(int position);
  int Position() const { return position_; }
  // One step up (+1) or down (-1) from the buddy's current number.
  void Step(int delta);
  // Called after a step the user made, with the new position.
  void SetChangedCallback(std::function<void(int)> changed) { changed_ = std::move(changed); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  QWidget* buddy_ = nullptr;
  QToolButton* up_ = nullptr;
  QToolButton* down_ = nullptr;
  int minimum_ = 100;  // the platform's default range runs 100 .. 0
  int maximum_ = 0;
  int position_ = 0;
  int wheelRemainder_ = 0;  // a fine wheel's turn short of one notch
  std::function<void(int)> changed_;
};

struct BuiltDialog {
  // The control with id (first one when several share it), or null.
  QWidget* Control(int id) const;
  template <typename T>
  T* ControlAs(int id) const {
    return dynamic_cast<T*>(Control(id));
  }
  // Every control in template order (labels and group boxes included).
  std::vector<QWidget*> controls;
  std::map<int, QWidget*> byId;
  // Pixels per 4 horizontal and per 8 vertical dialog units.
  int baseWidth = 0;
  int baseHeight = 0;
  // Dialog units to pixels.
  QRect MapRect(int x, int y, int width, int height) const;
  int MapX(int units) const;
  int MapY(int units) const;
};

// Builds every control of t as a child of dialog, sets the dialog's font, fixed
// client size, caption, window flags (when dialog is a window), position (centred,
// or x, y from the owner's top-left or the screen's) and tab order.
BuiltDialog BuildDialog(QWidget* dialog, const DialogTemplate& t);

// Icon resource id from ":/icons/<id>.svg" (or .png); a null icon when missing.
QIcon LoadIconResource(int id);

}  // namespace snapvane
