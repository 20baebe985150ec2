#include "app/signal_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace snapvane {
namespace {

int signalPipe[2] = {-1, -1};

// Only writes the signal's number: the UI thread does the rest.
void OnSignal(int signalNumber) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  [[maybe_unused]] ssize_t ignored = write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

int InstallSignalPipe() {
  if (signalPipe[0] >= 0) return signalPipe[0];
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  return signalPipe[0];
}

std::unique_ptr<QSocketNotifier> WatchSignals(int readEnd, QObject* context,
                                              std::function<void()> reload,
                                              std::function<void()> end) {
  if (readEnd < 0) return nullptr;
  auto notifier = std::make_unique<QSocketNotifier>(readEnd, QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, context, [readEnd, reload, end] {
    unsigned char received[16];
    bool reloadWanted = false, endWanted = false;
    ssize_t n;
    while ((n = read(readEnd, received, sizeof received)) > 0) {
      for (ssize_t i = 0; i < n; ++i) (received[i] == SIGHUP ? reloadWanted : endWanted) = true;
    }
    if (endWanted) {
      end();
    } else if (reloadWanted) {
      reload();
    }
  });
  return notifier;
}

}  // namespace snapvane
