// Snapvane: one camera turned into a published still picture.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <clocale>
#include <cstdlib>

#include "app/main_window.h"
#include "publish/socket_util.h"

namespace {

int signalPipe[2] = {-1, -1};

// Only writes one byte: the UI thread does the rest.
void OnTerminationSignal(int signalNumber) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  [[maybe_unused]] ssize_t ignored = write(signalPipe[1], &byte, 1);
  errno = saved;
}

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

bool InstallSignalPipe() {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The user's locale governs the interval's number format and the caption's
  // date and time.
  std::setlocale(LC_ALL, "");
  // Without any display, run unattended on the offscreen platform.
  if (!IsSet("QT_QPA_PLATFORM") && !IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  // A peer that goes away mid-send must not end the program.
  signal(SIGPIPE, SIG_IGN);
  // Every waiting browser holds a descriptor; the hard limit is the real bound.
  snapvane::RaiseDescriptorLimit();

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Snapvane"));
  QApplication::setQuitOnLastWindowClosed(false);  // the window lives on in the tray

  const bool haveSignalPipe = InstallSignalPipe();
  snapvane::MainWindow window;
  window.SetEndedCallback([](int) { QCoreApplication::exit(0); });

  // SIGINT and SIGTERM end the program as the "Close" button does.
  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (haveSignalPipe) {
    signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &window, [&window] {
      unsigned char drained[16];
      while (read(signalPipe[0], drained, sizeof drained) > 0) {
      }
      window.RequestClose();
    });
  }

  window.show();
  if (!window.HasEnded()) app.exec();
  signalNotifier.reset();
  return 0;
}
