// Snapshot files and capture dispatch with the real test-pattern device, frame
// handler, JPEG writer and worker threads.
#include "publish/snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "capture/test_pattern_device.h"
#include "common/limits.h"
#include "common/worker_threads.h"
#include "publish/ftp_upload.h"
#include "tests/support/install_device.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Paths = std::vector<fs::path>;

bool WholeJpeg(const std::string& b) {
  return b.size() > 4 && b.starts_with("\xFF\xD8") && b.ends_with("\xFF\xD9");
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) oldTmp = old;
    fs::create_directory(tmp);
    setenv("TMPDIR", tmp.c_str(), 1);
    AttachUi(*state, sink);
    state->quality = 75;
    ASSERT_TRUE(device.DriverConnect(0) && device.SetFormat({160, 120, 24}));
    ASSERT_TRUE(state->camera.RefreshFormat());
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForWorkers(*state->workers, 10s));
    oldTmp ? setenv("TMPDIR", oldTmp->c_str(), 1) : unsetenv("TMPDIR");
  }
  Paths TempFiles() const { return {fs::directory_iterator(tmp), fs::directory_iterator()}; }
  // Switches on the local save and the upload; each is faked by f when given.
  void EnablePublishers(std::function<void(SnapshotUse)> f = {}) {
    if (f)
      AttachUi(*state, sink,
               {[f](SnapshotUse u, const std::string&) { f(std::move(u)); },
                [f](SnapshotUse u, const FtpSettings&) { f(std::move(u)); }});
    order.saveFile = true;
    order.fileName = (box / "cam.jpg").string();
    if (!f) return;
    order.ftp = true;
    order.ftpSettings =
        std::make_shared<FtpSettings>(FtpSettings{"u", "", "", "127.0.0.1", "cam.jpg", ""});
  }
  Snapshots& snapshots() { return *state->snapshots; }

  test::Sandbox box;
  fs::path tmp = box / "tmp";
  std::optional<std::string> oldTmp;
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  std::shared_ptr<AppState> state = MakeAppState();
  PublishOrder order;
  TestPatternDevice& device = test::InstallDevice<TestPatternDevice>(state->camera);
};

TEST_F(SnapshotTest, AtMostOneLocalSaveAndOneUploadRunAtATime) {
  std::latch gate(1);
  std::atomic<int> runs = 0;
  EnablePublishers([&](SnapshotUse u) {
    ++runs;
    gate.wait();
    EXPECT_TRUE(WholeJpeg(test::ReadFile(u.path())));
  });
  TakePicture(snapshots(), order);
  const std::string firstPath = snapshots().CurrentPath();
  ASSERT_TRUE(test::WaitFor([&] { return runs == 2; }));
  TakePicture(snapshots(), order);  // both busy: captured, published nowhere
  EXPECT_EQ(device.FrameNumber(), 2u);
  ExpireSnapshotHold(snapshots(), /*always=*/true);  // so nobody holds it any more
  EXPECT_EQ(TempFiles(), Paths{firstPath});
  gate.count_down();
  ASSERT_TRUE(WaitForWorkers(*state->workers, 10s));
  TakePicture(snapshots(), order);
  ASSERT_TRUE(WaitForWorkers(*state->workers, 10s));
  EXPECT_EQ(runs, 4);
  ExpireSnapshotHold(snapshots(), /*always=*/true);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, ClientsShareAFreshCaptureOnly) {
  std::vector<SnapshotUse> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(AcquireSnapshotForClient(snapshots()));
  EXPECT_EQ(device.FrameNumber(), 1u);
  for (const SnapshotUse& c : clients) EXPECT_STREQ(c.path(), clients[0].path());
  EXPECT_EQ(snapshots().CurrentUsers(), 21);  // and the fresh picture's own use
  const std::string shared = clients[0].path(), sharedBytes = test::ReadFile(shared);
  EnablePublishers();               // the real local save
  TakePicture(snapshots(), order);  // a timed capture makes its own file and leaves theirs alone
  EXPECT_EQ(device.FrameNumber(), 2u);
  ASSERT_TRUE(WaitForWorkers(*state->workers, 10s));
  const std::string copy = test::ReadFile(box / "cam.jpg");
  EXPECT_TRUE(WholeJpeg(copy) && copy != sharedBytes);
  EXPECT_EQ(test::ReadFile(shared), sharedBytes);
  clients.clear();
  EXPECT_FALSE(fs::exists(shared));

  // Requests that do not overlap share the current picture for its first second.
  const std::string current = snapshots().CurrentPath();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(AcquireSnapshotForClient(snapshots()).path(), current);
  ExpireSnapshotHold(snapshots());
  EXPECT_TRUE(fs::exists(current));
  std::this_thread::sleep_for(kSnapshotFreshFor + 50ms);
  ExpireSnapshotHold(snapshots());
  EXPECT_FALSE(fs::exists(current));
  EXPECT_EQ(snapshots().CurrentUsers(), 0);
  EXPECT_EQ(snapshots().CurrentPath(), "");
  EXPECT_EQ(device.FrameNumber(), 2u);

  SnapshotUse first = AcquireSnapshotForClient(snapshots());
  std::this_thread::sleep_for(kSnapshotFreshFor + 50ms);
  SnapshotUse second = AcquireSnapshotForClient(snapshots());
  EXPECT_EQ(device.FrameNumber(), 4u);
  EXPECT_STRNE(first.path(), second.path());
  EXPECT_EQ(TempFiles().size(), 2u);
}

// Failures come back to the caller (the timer, the button, the browser's accept)
// to be shown once the capture is over.
TEST_F(SnapshotTest, FailedCapturesPublishNothingAndReturnTheirTexts) {
  int published = 0;
  EnablePublishers([&](SnapshotUse) { ++published; });
  device.SetStepFails(TestPatternDevice::Step::kClose, true);  // the capture counts as failed
  std::vector<std::string> boxes;
  for (const CaptureError& e : TakePicture(snapshots(), order).errors) boxes.push_back(e.text);
  EXPECT_EQ(device.FrameNumber(), 1u);
  SnapshotUse client = AcquireSnapshotForClient(snapshots());  // its own capture fails too
  EXPECT_TRUE(client.held() && !client.captured());
  for (const CaptureError& e : client.TakeCaptureResult().errors) boxes.push_back(e.text);
  EXPECT_TRUE(client.TakeCaptureResult().errors.empty()) << "taken once";
  client.Release();
  ASSERT_TRUE(WaitForWorkers(*state->workers, 10s));
  EXPECT_EQ(published, 0);
  EXPECT_EQ(boxes, std::vector<std::string>(2, "capCaptureSingleFrameClose"));
  EXPECT_TRUE(TempFiles().empty());

  // No snapshot file can be made: the writer's own text for it.
  device.SetStepFails(TestPatternDevice::Step::kClose, false);
  setenv("TMPDIR", (box / "missing").c_str(), 1);
  const CaptureResult r = TakePicture(snapshots(), order);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].text, "can't open " + (box / "missing").string() + "/snvXXXXXX\n");
  EXPECT_EQ(AcquireSnapshotForClient(snapshots()).TakeCaptureResult().errors, r.errors);
}

// At exit no file stays, even one a hung upload still holds; its late release
// then deletes nothing.
TEST_F(SnapshotTest, DeleteAllLeavesNoFileBehind) {
  std::latch gate(1);
  std::atomic<int> held = 0;
  EnablePublishers([&](SnapshotUse u) {
    ++held;
    gate.wait();
  });
  TakePicture(snapshots(), order);
  SnapshotUse client = AcquireSnapshotForClient(snapshots());
  ASSERT_TRUE(test::WaitFor([&] { return held == 2; }));
  snapshots().DeleteAll();
  EXPECT_TRUE(TempFiles().empty());
  test::WriteFile(client.path(), "another program's file of the same name");
  gate.count_down();
  client.Release();
  ASSERT_TRUE(WaitForWorkers(*state->workers, 10s));
  EXPECT_EQ(TempFiles().size(), 1u);
}

TEST_F(SnapshotTest, ManyReleasesRacingDeleteEachFileOnceAndNeverWhileRead) {
  std::atomic<int> reads = 0, badReads = 0;
  auto readAndRelease = [&](SnapshotUse use) {
    std::this_thread::sleep_for(std::chrono::microseconds(reads * 7919 % 2000));  // jitter
    badReads += !WholeJpeg(test::ReadFile(use.path()));
    ++reads;
  };
  EnablePublishers(readAndRelease);
  std::vector<std::thread> clients;
  for (int round = 0; round < 60; ++round) {
    TakePicture(snapshots(), order);
    for (int c = 0; c < 4; ++c)
      clients.emplace_back(readAndRelease, AcquireSnapshotForClient(snapshots()));
    if (round % 20 == 19) std::this_thread::sleep_for(kSnapshotFreshFor);
  }
  for (std::thread& t : clients) t.join();
  ASSERT_TRUE(WaitForWorkers(*state->workers, 10s));
  EXPECT_EQ(badReads, 0);
  EXPECT_GE(reads, 240);
  ExpireSnapshotHold(snapshots(), /*always=*/true);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(snapshots().CurrentUsers(), 0);
}

}  // namespace
}  // namespace snapvane
