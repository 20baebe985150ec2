#include "app/worker_threads.h"

#include <pthread.h>

#include "app/app_state.h"

namespace snapvane {
namespace {

// Workers copy a file, talk to one peer or look up one name: a small stack is
// plenty, and small stacks stay in the thread library's cache, which makes a new
// thread per HTTP connection cheap.
constexpr size_t kWorkerStackBytes = 512 * 1024;

struct WorkerStart {
  std::shared_ptr<AppState> state;
  std::function<void()> body;
};

void WorkerDone(AppState& state) {
  std::lock_guard guard(state.workersMutex);
  if (--state.activeWorkers == 0) state.workersDone.notify_all();
}

void* RunWorker(void* arg) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
  start->body();
  start->body = nullptr;  // release what the worker held before it counts as done
  std::shared_ptr<AppState> state = std::move(start->state);
  WorkerDone(*state);
  return nullptr;
}

}  // namespace

bool StartWorker(const std::shared_ptr<AppState>& state, std::function<void()> body) {
  {
    std::lock_guard guard(state->workersMutex);
    ++state->activeWorkers;
  }
  auto start = std::make_unique<WorkerStart>(WorkerStart{state, std::move(body)});
  pthread_attr_t attr;
  bool started = false;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    started = pthread_create(&thread, &attr, RunWorker, start.get()) == 0;
    pthread_attr_destroy(&attr);
  }
  if (started) {
    start.release();  // the thread owns it now
    return true;
  }
  start.reset();  // destroys the body unrun, giving back what it held
  WorkerDone(*state);
  return false;
}

bool WaitForWorkers(AppState& state, std::chrono::milliseconds timeout) {
  std::unique_lock guard(state.workersMutex);
  return state.workersDone.wait_for(guard, timeout, [&] { return state.activeWorkers == 0; });
}

}  // namespace snapvane
