#include "app/app_ui_sink.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "app/activity_log.h"
#include "app/app_state.h"

namespace snapvane {
namespace {

TEST(AppUiSink, HostNameCompletesOnTheUiQueueAndNothingAfterDetach) {
  auto state = MakeAppState();
  auto sink = std::make_shared<AppUiSink>(state->log, state->transfers);
  std::vector<std::function<void()>> queued;  // stands for the UI thread's queue
  sink->SetPoster([&](std::function<void()> task) { queued.push_back(std::move(task)); });
  auto post = [&](int socket) {
    sink->AddVisitLine(socket, "HTTP 0.0.0.0 - %s - now");
    sink->PostHostName(socket, "host");
  };
  post(13);
  EXPECT_TRUE(state->log->Lines()[0].waiting);  // nothing happens on the posting thread
  ASSERT_EQ(queued.size(), 1u);
  queued[0]();
  EXPECT_FALSE(state->log->Lines()[0].waiting);
  // Queued before Detach, run after it: completes nothing. Posted after: never queued.
  post(20);
  sink->Detach();
  post(21);
  ASSERT_EQ(queued.size(), 2u);
  queued[1]();
  EXPECT_TRUE(state->log->Lines()[1].waiting);
}

}  // namespace
}  // namespace snapvane
