#include "app/caption_burner.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "capture/caption_overlay.h"

namespace snapvane {

void BurnCaptionWhenPossible(const CaptionStyle& style, const FrameView& frame) {
  // Text needs fonts, and fonts need a QGuiApplication.
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) BurnCaption(style, frame);
}

}  // namespace snapvane
