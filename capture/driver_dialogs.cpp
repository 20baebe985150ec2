#include "capture/driver_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <utility>

#include "capture/capture_control.h"
#include "capture/preview_window.h"

namespace snapvane {
namespace {

// A dialog with a form and OK / Cancel.
struct FormDialog {
  explicit FormDialog(QWidget* parent, const QString& title) : dialog(parent) {
    dialog.setWindowTitle(title);
    auto* box = new QVBoxLayout(&dialog);
    form = new QFormLayout;
    box->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    box->addWidget(buttons);
  }
  QDialog dialog;
  QFormLayout* form;
};

QString SizeText(int w, int h) { return QStringLiteral("%1 x %2").arg(w).arg(h); }

}  // namespace

bool RunVideoSourceDialog(QWidget* parent, Camera& camera) {
  CaptureDevice* device = camera.Device();
  if (!device) return false;
  FormDialog d(parent, QStringLiteral("Video Source"));
  d.form->addRow(new QLabel(QString::fromStdString(device->Name())));
  const std::vector<DeviceControl> controls = device->Controls();
  std::map<uint32_t, QWidget*> editors;
  for (const DeviceControl& c : controls) {
    QWidget* editor = nullptr;
    switch (c.kind) {
      case DeviceControl::Kind::kBoolean: {
        auto* box = new QCheckBox;
        box->setChecked(c.value != 0);
        editor = box;
        break;
      }
      case DeviceControl::Kind::kMenu: {
        auto* combo = new QComboBox;
        for (size_t i = 0; i < c.menuItems.size(); ++i)
          if (!c.menuItems[i].empty())
            combo->addItem(QString::fromStdString(c.menuItems[i]), c.minimum + static_cast<int>(i));
        combo->setCurrentIndex(std::max(0, combo->findData(c.value)));
        editor = combo;
        break;
      }
      case DeviceControl::Kind::kInteger: {
        auto* spin = new QSpinBox;
        spin->setRange(c.minimum, c.maximum);
        spin->setSingleStep(c.step);
        spin->setValue(c.value);
        editor = spin;
        break;
      }
    }
    editor->setObjectName(QStringLiteral("control-%1").arg(c.id));
    d.form->addRow(QString::fromStdString(c.name), editor);
    editors[c.id] = editor;
  }
  bool changed = false;
  if (d.dialog.exec() == QDialog::Accepted) {
    for (const DeviceControl& c : controls) {
      QWidget* e = editors[c.id];
      int value = c.value;
      if (auto* box = qobject_cast<QCheckBox*>(e)) value = box->isChecked() ? 1 : 0;
      if (auto* combo = qobject_cast<QComboBox*>(e)) value = combo->currentData().toInt();
      if (auto* spin = qobject_cast<QSpinBox*>(e)) value = spin->value();
      if (value != c.value && device->SetControl(c.id, value)) changed = true;
    }
  }
  return camera.ApplyDriverDialogResult(DriverDialog::kSource, changed);
}

bool RunVideoFormatDialog(QWidget* parent, Camera& camera) {
  CaptureDevice* device = camera.Device();
  if (!device) return camera.ApplyDriverDialogResult(DriverDialog::kFormat, false);
  const std::vector<FrameFormat> formats = device->SupportedFormats();
  FrameFormat current;
  if (const BitmapInfoHeader* h = camera.VideoFormatHeader())
    current = {h->biWidth, h->biHeight, h->biBitCount};

  FormDialog d(parent, QStringLiteral("Video Format"));
  auto* sizes = new QComboBox;
  sizes->setObjectName(QStringLiteral("frameSize"));
  auto* depths = new QComboBox;
  depths->setObjectName(QStringLiteral("pixelDepth"));
  std::vector<std::pair<int, int>> sizeList;
  for (const FrameFormat& f : formats)
    if (std::find(sizeList.begin(), sizeList.end(), std::pair{f.width, f.height}) == sizeList.end())
      sizeList.push_back({f.width, f.height});
  for (const auto& [w, h] : sizeList) sizes->addItem(SizeText(w, h));
  auto fillDepths = [&, depths, sizes](uint16_t keep) {
    depths->clear();
    int i = sizes->currentIndex();
    if (i < 0) return;
    for (const FrameFormat& f : formats)
      if (f.width == sizeList[i].first && f.height == sizeList[i].second)
        depths->addItem(QStringLiteral("%1 bits").arg(f.bitCount), f.bitCount);
    int at = depths->findData(keep);
    depths->setCurrentIndex(at >= 0 ? at : depths->count() - 1);
  };
  auto at = std::find(sizeList.begin(), sizeList.end(), std::pair{current.width, current.height});
  sizes->setCurrentIndex(at == sizeList.end() ? 0 : static_cast<int>(at - sizeList.begin()));
  fillDepths(current.bitCount);
  QObject::connect(sizes, &QComboBox::currentIndexChanged, &d.dialog, [&, depths] {
    fillDepths(static_cast<uint16_t>(depths->currentData().toInt()));
  });
  d.form->addRow(QStringLiteral("Frame size"), sizes);
  d.form->addRow(QStringLiteral("Pixel depth"), depths);

  bool result = false;
  if (d.dialog.exec() == QDialog::Accepted && sizes->currentIndex() >= 0 &&
      depths->currentIndex() >= 0) {
    const auto [w, h] = sizeList[sizes->currentIndex()];
    FrameFormat chosen{w, h, static_cast<uint16_t>(depths->currentData().toInt())};
    result = chosen == current || device->SetFormat(chosen);
  }
  return camera.ApplyDriverDialogResult(DriverDialog::kFormat, result);
}

bool RunVideoDisplayDialog(QWidget* parent, Camera& camera, PreviewWindow* preview) {
  if (!preview) return false;
  FormDialog d(parent, QStringLiteral("Video Display"));
  auto* mirror = new QCheckBox(QStringLiteral("Mirror the preview"));
  mirror->setObjectName(QStringLiteral("mirror"));
  mirror->setChecked(preview->Display().mirror);
  d.form->addRow(mirror);
  bool changed = false;
  if (d.dialog.exec() == QDialog::Accepted) {
    PreviewDisplay chosen = preview->Display();
    chosen.mirror = mirror->isChecked();
    changed = !(chosen == preview->Display());
    preview->SetDisplay(chosen);
  }
  return camera.ApplyDriverDialogResult(DriverDialog::kDisplay, changed);
}

}  // namespace snapvane
