#pragma once
// The core's event loop over Qt's: descriptors watched with socket notifiers,
// tasks posted as queued calls on the UI thread.
#include <QObject>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "common/event_loop.h"

class QSocketNotifier;

namespace snapvane {

class QtEventLoop : public EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;

  void Watch(int fd, std::function<void()> onReadable) override;
  void Unwatch(int fd) override;
  void Post(std::function<void()> task) override;
  // From now on posted tasks are dropped and no notification runs.
  void End();
  // The object posted tasks run on (null once ended); UI thread.
  QObject* Context() const;

 private:
  struct Target;
  std::shared_ptr<Target> target_;  // shared with posters on other threads
  std::map<int, QSocketNotifier*> notifiers_;
};

// Runs fn on the loop's thread at most once until it has run (coalesces bursts
// of calls from any thread into one run), and at most once per period: a call
// soon after the last run waits for the period's end. Nothing runs once context
// (null: the loop's own object) is gone.
std::function<void()> ThrottledPoster(std::shared_ptr<QtEventLoop> loop, QObject* context,
                                      std::chrono::milliseconds period, std::function<void()> fn);

}  // namespace snapvane
