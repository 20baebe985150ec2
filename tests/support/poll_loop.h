#pragma once
// A plain poll() event loop on a thread of its own: stands for the UI thread in
// tests of the core (watched descriptors, posted tasks, a tick after each turn).
#include <poll.h>

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/event_loop.h"

namespace snapvane::test {

class PollLoop : public EventLoop {
 public:
  // tick runs on the loop's thread after every turn (at least every 5 ms).
  explicit PollLoop(std::function<void()> tick = nullptr) : tick_(std::move(tick)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~PollLoop() override {
    stop_ = true;
    thread_.join();
  }

  void Watch(int fd, std::function<void()> onReadable) override {
    watched_[fd] = std::move(onReadable);  // loop thread only
  }
  void Unwatch(int fd) override { watched_.erase(fd); }
  void Post(std::function<void()> task) override {
    std::lock_guard g(mutex_);
    tasks_.push_back(std::move(task));
  }
  // Runs f on the loop's thread and waits for it.
  void OnLoop(const std::function<void()>& f) {
    auto done = std::make_shared<std::promise<void>>();
    Post([&f, done] {
      f();
      done->set_value();
    });
    done->get_future().wait();
  }

 private:
  void Run() {
    while (!stop_) {
      std::vector<pollfd> fds;
      for (auto& [fd, handler] : watched_) fds.push_back({fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 5) > 0) {
        for (const pollfd& p : fds) {
          auto it = watched_.find(p.fd);
          if ((p.revents & POLLIN) && it != watched_.end()) {
            auto handler = it->second;  // survives an Unwatch from within
            handler();
          }
        }
      }
      std::unique_lock lock(mutex_);
      auto tasks = std::exchange(tasks_, {});
      lock.unlock();
      for (auto& task : tasks) task();
      if (tick_) tick_();
    }
  }

  std::function<void()> tick_;
  std::map<int, std::function<void()>> watched_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

}  // namespace snapvane::test
