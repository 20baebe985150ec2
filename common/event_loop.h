#pragma once
// The one thing the core asks of the program's main loop: tell me when a
// descriptor can be read, and run this task on your thread. The window provides
// it over Qt's loop; tests and tools over a plain poll loop.
#include <functional>

namespace snapvane {

class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Calls onReadable on the loop's thread whenever fd can be read, until
  // Unwatch(fd). Watching fd again replaces its handler.
  virtual void Watch(int fd, std::function<void()> onReadable) = 0;
  // Stops the notifications for fd; safe from within its own handler.
  virtual void Unwatch(int fd) = 0;
  // Runs task later on the loop's thread; callable from any thread. A loop that
  // has ended drops the task unrun (whatever it holds is freed).
  virtual void Post(std::function<void()> task) = 0;
};

}  // namespace snapvane
