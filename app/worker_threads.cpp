#include "app/worker_threads.h"

#include <system_error>
#include <thread>

#include "app/app_state.h"

namespace snapvane {

bool StartWorker(const std::shared_ptr<AppState>& state, std::function<void()> body) {
  {
    std::lock_guard guard(state->workersMutex);
    ++state->activeWorkers;
  }
  try {
    std::thread([state, body = std::move(body)]() mutable {
      body();
      body = nullptr;  // release what the worker held before it counts as done
      std::lock_guard guard(state->workersMutex);
      if (--state->activeWorkers == 0) state->workersDone.notify_all();
    }).detach();
    return true;
  } catch (const std::system_error&) {
    std::lock_guard guard(state->workersMutex);
    if (--state->activeWorkers == 0) state->workersDone.notify_all();
    return false;
  }
}

bool WaitForWorkers(AppState& state, std::chrono::milliseconds timeout) {
  std::unique_lock guard(state.workersMutex);
  return state.workersDone.wait_for(guard, timeout, [&] { return state.activeWorkers == 0; });
}

}  // namespace snapvane
