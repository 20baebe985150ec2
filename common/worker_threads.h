#pragma once
// Short-lived detached workers, counted so shutdown can wait for them a bounded
// time. Each runs on a thread of its own; a
// thread that has finished its worker is kept a few seconds for the next one.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace snapvane {

// The running workers of one program; each worker keeps it alive until it ends.
class WorkerGroup {
 public:
  int Running() const;

 private:
  friend bool StartWorker(const std::shared_ptr<WorkerGroup>&, std::function<void()>);
  friend bool WaitForWorkers(WorkerGroup&, std::chrono::milliseconds);
  friend void WorkerDone(WorkerGroup&);
  mutable std::mutex mutex_;
  std::condition_variable done_;
  int active_ = 0;
};

// Starts body on a thread of its own. False when no thread could be started (body is
// then destroyed unrun on the calling thread).
bool StartWorker(const std::shared_ptr<WorkerGroup>& group, std::function<void()> body);

// Waits until no worker runs or the timeout passes; true when none runs.
bool WaitForWorkers(WorkerGroup& group, std::chrono::milliseconds timeout);

}  // namespace snapvane
