#include "app/qt_event_loop.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>

namespace snapvane {

struct QtEventLoop::Target {
  std::mutex mutex;
  std::unique_ptr<QObject> object = std::make_unique<QObject>();  // null once ended
};

QtEventLoop::QtEventLoop() : target_(std::make_shared<Target>()) {}

QtEventLoop::~QtEventLoop() { End(); }

void QtEventLoop::Watch(int fd, std::function<void()> onReadable) {
  Unwatch(fd);
  if (!target_->object || fd < 0) return;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, target_->object.get());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                   [handler = std::move(onReadable)] { handler(); });
  notifiers_[fd] = notifier;
}

void QtEventLoop::Unwatch(int fd) {
  auto it = notifiers_.find(fd);
  if (it == notifiers_.end()) return;
  // The handler may be running this very call: the notifier goes later.
  it->second->setEnabled(false);
  it->second->deleteLater();
  notifiers_.erase(it);
}

void QtEventLoop::Post(std::function<void()> task) {
  std::lock_guard guard(target_->mutex);
  if (target_->object)
    QMetaObject::invokeMethod(target_->object.get(), std::move(task), Qt::QueuedConnection);
}

QObject* QtEventLoop::Context() const { return target_->object.get(); }

void QtEventLoop::End() {
  for (auto& [fd, notifier] : notifiers_) notifier->setEnabled(false);
  notifiers_.clear();
  std::unique_ptr<QObject> object;
  {
    std::lock_guard guard(target_->mutex);
    object = std::move(target_->object);
  }
  // Deleting the object drops the tasks queued for it and its notifiers.
}

std::function<void()> ThrottledPoster(std::shared_ptr<QtEventLoop> loop, QObject* context,
                                      std::chrono::milliseconds period, std::function<void()> fn) {
  struct Shared {
    std::atomic<bool> queued{false};
    std::chrono::steady_clock::time_point lastRun{};
  };
  auto shared = std::make_shared<Shared>();
  QPointer<QObject> guard(context ? context : loop->Context());
  auto run = [shared, fn = std::move(fn)] {
    shared->queued.store(false);
    shared->lastRun = std::chrono::steady_clock::now();
    fn();
  };
  return [loop = std::move(loop), shared, guard, period, run] {
    if (shared->queued.exchange(true)) return;
    loop->Post([shared, guard, period, run] {
      const auto due = shared->lastRun + period;
      const auto now = std::chrono::steady_clock::now();
      if (!guard) return;  // its owner is gone
      if (now >= due) return run();
      QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(due - now), guard.data(),
                         run);
    });
  };
}

}  // namespace snapvane
