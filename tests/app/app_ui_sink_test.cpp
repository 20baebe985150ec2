#include "app/app_ui_sink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "app/activity_log.h"
#include "app/app_state.h"

namespace snapvane {
namespace {

std::unique_ptr<PendingHttpClient> Record(int socket, const char* name) {
  auto r = std::make_unique<PendingHttpClient>();
  r->socket = socket;
  std::strcpy(r->hostName, name);
  return r;
}

TEST(AppUiSink, HostNameCompletesOnTheUiQueueAndOnlyFreesAfterDetach) {
  auto state = MakeAppState();
  auto sink = std::make_shared<AppUiSink>(*state);
  state->ui = sink;
  std::vector<std::function<void()>> queued;  // stands for the UI thread's queue
  sink->SetPoster([&](std::function<void()> task) { queued.push_back(std::move(task)); });
  LogHttpConnection(*state, 13);
  ASSERT_TRUE(RemovePendingHttpClient(*state, 13));
  state->ui->PostHostName(13, Record(13, "viewer.example"));
  EXPECT_TRUE(state->log->Lines()[0].waiting);  // nothing happens on the posting thread
  ASSERT_EQ(queued.size(), 1u);
  queued[0]();
  EXPECT_NE(state->log->Lines()[0].text.find(" - viewer.example - "), std::string::npos);

  queued.clear();
  LogHttpConnection(*state, 20);
  state->ui->PostHostName(20, Record(20, "queued.before"));
  sink->Detach();
  state->ui->PostHostName(20, Record(20, "posted.after"));
  ASSERT_EQ(queued.size(), 1u);  // the second never reached the poster
  queued[0]();                   // the window is gone: the task completes nothing
  EXPECT_TRUE(state->log->Lines()[1].waiting);
}

}  // namespace
}  // namespace snapvane
