#include "common/worker_threads.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>


namespace snapvane {
namespace {

using namespace std::chrono_literals;

// Workers copy a file, talk to one peer or look up one name: a small stack is
// plenty.
constexpr size_t kWorkerStackBytes = 512 * 1024;
// A thread that finished its worker waits this long for the next one before it
// ends: a browser per second, or a burst of connections, then costs no thread
// creation. At most kMaxIdleThreads wait at once.
constexpr auto kIdleThreadLinger = 5s;
constexpr int kMaxIdleThreads = 64;

struct WorkerStart {
  std::shared_ptr<WorkerGroup> group;
  std::function<void()> body;
};

void Run(WorkerStart start) {
  start.body();
  start.body = nullptr;  // release what the worker held before it counts as done
  std::shared_ptr<WorkerGroup> group = std::move(start.group);
  WorkerDone(*group);
}

// Threads that outlive their worker for a while and take the next one. Never
// destroyed: idle threads may still wait on it while the process exits.
class ThreadCache {
 public:
  static ThreadCache& Get() {
    static ThreadCache* cache = new ThreadCache;
    return *cache;
  }

  // Hands start to a waiting thread if one is free; false if none is.
  bool Give(WorkerStart& start) {
    {
      std::lock_guard guard(mutex_);
      if (idle_ <= static_cast<int>(queue_.size())) return false;
      queue_.push_back(std::move(start));
    }
    wake_.notify_one();  // outside the lock: the woken thread need not wait for it
    return true;
  }

  // The next worker for a thread that has finished one, or nothing after the
  // linger time (the thread then ends).
  bool Take(WorkerStart& next) {
    std::unique_lock guard(mutex_);
    if (idle_ >= kMaxIdleThreads) return false;
    ++idle_;
    bool got = wake_.wait_for(guard, kIdleThreadLinger, [this] { return !queue_.empty(); });
    --idle_;
    if (!got) return false;
    next = std::move(queue_.front());
    queue_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WorkerStart> queue_;
  int idle_ = 0;  // threads waiting in Take; each queued start has one of its own
};

void* RunThread(void* arg) {
  std::unique_ptr<WorkerStart> first(static_cast<WorkerStart*>(arg));
  Run(std::move(*first));
  first.reset();
  WorkerStart next;
  while (ThreadCache::Get().Take(next)) Run(std::move(next));
  return nullptr;
}

}  // namespace

void WorkerDone(WorkerGroup& group) {
  std::lock_guard guard(group.mutex_);
  if (--group.active_ == 0) group.done_.notify_all();
}

int WorkerGroup::Running() const {
  std::lock_guard guard(mutex_);
  return active_;
}

bool StartWorker(const std::shared_ptr<WorkerGroup>& group, std::function<void()> body) {
  {
    std::lock_guard guard(group->mutex_);
    ++group->active_;
  }
  WorkerStart start{group, std::move(body)};
  if (ThreadCache::Get().Give(start)) return true;

  auto owned = std::make_unique<WorkerStart>(std::move(start));
  pthread_attr_t attr;
  bool started = false;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    started = pthread_create(&thread, &attr, RunThread, owned.get()) == 0;
    pthread_attr_destroy(&attr);
  }
  if (started) {
    owned.release();  // the thread owns it now
    return true;
  }
  owned.reset();  // destroys the body unrun, giving back what it held
  WorkerDone(*group);
  return false;
}

bool WaitForWorkers(WorkerGroup& group, std::chrono::milliseconds timeout) {
  std::unique_lock guard(group.mutex_);
  return group.done_.wait_for(guard, timeout, [&] { return group.active_ == 0; });
}

}  // namespace snapvane
