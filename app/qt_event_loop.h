#pragma once
// The core's event loop over Qt's: descriptors watched with socket notifiers,
// tasks posted as queued calls on the UI thread.
#include <QObject>
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

 private:
  struct Target;
  std::shared_ptr<Target> target_;  // shared with posters on other threads
  std::map<int, QSocketNotifier*> notifiers_;
};

}  // namespace snapvane
