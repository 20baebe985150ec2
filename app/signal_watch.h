#pragma once
// SIGHUP, SIGINT and SIGTERM turned into events of the UI thread: the handler
// only writes the signal's number into a pipe that the event loop watches.
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace snapvane {

// Installs the handlers once for the process; the pipe's read end, or -1.
int InstallSignalPipe();

// SIGHUP calls reload; SIGINT and SIGTERM call end (which wins when both came).
std::unique_ptr<QSocketNotifier> WatchSignals(int readEnd, QObject* context,
                                              std::function<void()> reload,
                                              std::function<void()> end);

}  // namespace snapvane
