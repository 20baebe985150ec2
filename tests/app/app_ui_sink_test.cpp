#include "app/app_ui_sink.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/activity_log.h"
#include "app/app_state.h"

namespace snapvane {
namespace {

// Host names wait for the UI thread, many to one queued task: a busy server
// costs the window one event per batch, and nothing happens after Detach.
TEST(AppUiSink, HostNamesCompleteOnTheUiQueueInBatchesAndNothingAfterDetach) {
  auto state = MakeAppState();
  auto sink = std::make_shared<AppUiSink>(state->log, state->transfers);
  std::vector<std::function<void()>> queued;  // stands for the UI thread's queue
  sink->SetPoster([&](std::function<void()> task) { queued.push_back(std::move(task)); });
  auto visit = [&](int socket) {
    sink->AddVisitLine(socket, "HTTP 0.0.0.0 - %s - now");
    sink->PostHostName(socket, "host" + std::to_string(socket));
  };
  auto waiting = [&] {
    int n = 0;
    for (const auto& line : state->log->Lines()) n += line.waiting;
    return n;
  };
  for (int socket = 10; socket < 13; ++socket) visit(socket);
  EXPECT_EQ(waiting(), 3);  // nothing happens on the posting thread
  ASSERT_EQ(queued.size(), 1u);
  queued[0]();
  EXPECT_EQ(waiting(), 0);
  EXPECT_EQ(state->log->Lines()[2].text, "HTTP 0.0.0.0 - host12 - now");
  visit(13);  // after the batch ran: a new task
  ASSERT_EQ(queued.size(), 2u);
  queued[1]();
  EXPECT_EQ(waiting(), 0);
  // Queued before Detach, run after it: completes nothing. Posted after: never queued.
  visit(20);
  sink->Detach();
  visit(21);
  ASSERT_EQ(queued.size(), 3u);
  queued[2]();
  EXPECT_EQ(waiting(), 2);
}

}  // namespace
}  // namespace snapvane
