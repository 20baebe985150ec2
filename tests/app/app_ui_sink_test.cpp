#include "app/app_ui_sink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/transfer_progress.h"

namespace snapvane {
namespace {

class AppUiSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = MakeAppState();
    sink = std::make_shared<AppUiSink>(*state);
    state->ui = sink;
    sink->SetPoster([this](std::function<void()> task) { queued.push_back(std::move(task)); });
  }
  void RunQueued() {
    auto tasks = std::move(queued);
    queued.clear();
    for (auto& t : tasks) t();
  }
  std::unique_ptr<PendingHttpClient> Record(int socket, const char* name) {
    auto r = std::make_unique<PendingHttpClient>();
    r->socket = socket;
    std::strcpy(r->hostName, name);
    return r;
  }

  std::shared_ptr<AppState> state;
  std::shared_ptr<AppUiSink> sink;
  std::vector<std::function<void()>> queued;  // stands for the UI thread's queue
};

TEST_F(AppUiSinkTest, ForwardsLinesAndProgressToTheModels) {
  state->ui->AddLogLine(-1, "one");
  state->ui->AddLogLine(0, "zero");
  state->ui->ReportTransferProgress(4, 1000);
  state->ui->ReportTransferProgress(4, 1000);
  ASSERT_EQ(state->log->Count(), 2);
  EXPECT_EQ(state->log->Lines()[0].text, "zero");
  EXPECT_EQ(state->transfers->Current(), (TransferProgress::Bar{1000, 1000}));
}

TEST_F(AppUiSinkTest, HostNameCompletesOnTheUiQueue) {
  LogHttpConnection(*state, 12);
  ASSERT_TRUE(RemovePendingHttpClient(*state, 12));
  state->ui->PostHostName(12, nullptr);  // the client thread found no record
  // Nothing happens on the posting thread.
  EXPECT_TRUE(state->log->Lines()[0].waiting);
  ASSERT_EQ(queued.size(), 1u);
  RunQueued();
  EXPECT_FALSE(state->log->Lines()[0].waiting);
  EXPECT_NE(state->log->Lines()[0].text.find(" - (Internal Error 03) - "), std::string::npos);

  LogHttpConnection(*state, 13);
  auto rec = RemovePendingHttpClient(*state, 13);
  std::strcpy(rec->hostName, "viewer.example");
  state->ui->PostHostName(13, std::move(rec));
  RunQueued();
  EXPECT_NE(state->log->Lines()[1].text.find(" - viewer.example - "), std::string::npos);
}

TEST_F(AppUiSinkTest, AfterDetachRecordsAreOnlyFreed) {
  LogHttpConnection(*state, 20);
  state->ui->PostHostName(20, Record(20, "queued.before"));
  sink->Detach();
  state->ui->PostHostName(20, Record(20, "posted.after"));
  EXPECT_EQ(queued.size(), 1u);  // the second never reached the poster
  RunQueued();                   // the window is gone: the queued task completes nothing
  EXPECT_TRUE(state->log->Lines()[0].waiting);

  // A task that outlives the state frees its record without touching it.
  auto other = MakeAppState();
  auto otherSink = std::make_shared<AppUiSink>(*other);
  std::vector<std::function<void()>> late;
  otherSink->SetPoster([&](std::function<void()> task) { late.push_back(std::move(task)); });
  otherSink->PostHostName(1, Record(1, "late"));
  other.reset();
  for (auto& t : late) t();
  late.clear();  // destroying an unrun task frees its record as well
}

}  // namespace
}  // namespace snapvane
