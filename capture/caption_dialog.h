#pragma once
// The caption settings dialog (115): edits a working copy of the caption record
// with a live preview; OK adopts the copy all at once, Cancel leaves the record
// in force exactly as it was.
#include <QDialog>
#include <memory>

#include "resources/dialog_builder.h"
#include "capture/caption_style.h"

namespace snapvane {

class CaptionSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  CaptionSettingsDialog(QWidget* parent, std::unique_ptr<CaptionStyle>& style);
  ~CaptionSettingsDialog() override;

  const BuiltDialog& Built() const { return built_; }
  // The copy being edited while the dialog is open; null once it has closed.
  const CaptionStyle* WorkingCopy() const { return copy_.get(); }

  // OK adopts the working copy; anything else (Cancel, Escape, close) discards it.
  void done(int result) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowWorkingCopy();
  void TakeEditText();
  void ChooseFont();
  void ChooseColour(ColorRef CaptionStyle::*field);
  void PaintPreview();
  void Changed();  // after every command but OK and Cancel: repaint the preview

  std::unique_ptr<CaptionStyle>& style_;
  BuiltDialog built_;
  std::unique_ptr<CaptionStyle> copy_;
  QWidget* edit_ = nullptr;
  QWidget* preview_ = nullptr;
};

// Runs the dialog modally over parent; when it returns, state.captionStyle is the
// record to use from then on.
void RunCaptionSettingsDialog(QWidget* parent, std::unique_ptr<CaptionStyle>& style);

}  // namespace snapvane
