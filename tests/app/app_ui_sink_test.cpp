#include "app/app_ui_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/activity_log.h"
#include "app/app_state.h"

namespace snapvane {
namespace {

// Host names wait for the UI thread, many to one wake: a busy server costs the
// window one run per batch, and nothing happens after Detach.
TEST(AppUiSink, HostNamesCompleteOnTheUiThreadInBatchesAndNothingAfterDetach) {
  auto state = MakeAppState();
  auto sink = std::make_shared<AppUiSink>(state->log, state->transfers);
  int wakes = 0;
  sink->SetHostNameWake([&] { ++wakes; });
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
  EXPECT_EQ(wakes, 1);
  sink->CompleteHostNames();
  EXPECT_EQ(waiting(), 0);
  EXPECT_EQ(state->log->Lines()[2].text, "HTTP 0.0.0.0 - host12 - now");
  visit(13);  // after the batch ran: a new wake
  EXPECT_EQ(wakes, 2);
  sink->CompleteHostNames();
  EXPECT_EQ(waiting(), 0);
  // Waiting at Detach, or posted after it: never completed, no wake.
  visit(20);
  sink->Detach();
  visit(21);
  EXPECT_EQ(wakes, 3);
  sink->CompleteHostNames();
  EXPECT_EQ(waiting(), 2);
}

}  // namespace
}  // namespace snapvane
