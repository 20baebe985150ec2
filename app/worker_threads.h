#pragma once
// Short-lived detached workers that keep the AppState alive and are counted, so
// shutdown can wait for them a bounded time. Each runs on a thread of its own; a
// thread that has finished its worker is kept a few seconds for the next one.
#include <chrono>
#include <functional>
#include <memory>

namespace snapvane {

struct AppState;

// Starts body on a thread of its own. False when no thread could be started (body is
// then destroyed unrun on the calling thread).
bool StartWorker(const std::shared_ptr<AppState>& state, std::function<void()> body);

// Waits until no worker runs or the timeout passes; true when none runs.
bool WaitForWorkers(AppState& state, std::chrono::milliseconds timeout);

}  // namespace snapvane
