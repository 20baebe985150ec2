// The window module: the main window, its dialogs and the caption renderer.
#include "app/window_module.h"

#include <QApplication>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

#include "app/caption_burner.h"
#include "app/main_window.h"
#include "app/program.h"
#include "app/signal_watch.h"

extern "C" {

__attribute__((visibility("default"))) int SnapvaneRunWindow(int* argc, char** argv,
                                                             const char* settingsFile,
                                                             int signalReadEnd) {
  QApplication app(*argc, argv);
  QApplication::setApplicationName(QStringLiteral("Snapvane"));
  QApplication::setQuitOnLastWindowClosed(false);  // the window lives on in the tray

  snapvane::MainWindow::Options options;
  options.settingsFile = settingsFile;
  snapvane::MainWindow window(std::move(options));
  window.SetEndedCallback([](int) { QCoreApplication::exit(0); });
  // Queued after the window's own start of the HTTP server, so the line tells
  // whether it listens.
  QMetaObject::invokeMethod(
      &window,
      [&window] { std::fprintf(stderr, "%s\n", window.TheProgram().StartupLine().c_str()); },
      Qt::QueuedConnection);

  std::unique_ptr<QSocketNotifier> signalWatch = snapvane::WatchSignals(
      signalReadEnd, &window, [&window] { window.ReloadSettings(); },
      [&window] { window.RequestClose(); });
  window.show();
  if (!window.HasEnded()) app.exec();
  signalWatch.reset();
  return 0;
}

__attribute__((visibility("default"))) QCoreApplication* SnapvaneNewTextApplication(int* argc,
                                                                                    char** argv) {
  // Fonts need a QGuiApplication; the offscreen platform gives one without a display.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!platform || !*platform) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  return new QGuiApplication(*argc, argv);
}

__attribute__((visibility("default"))) snapvane::CaptionBurner SnapvaneCaptionBurner() {
  return &snapvane::BurnCaptionWhenPossible;
}
}
