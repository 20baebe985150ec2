// Snapshot files and capture dispatch with the real test-pattern device, frame
// handler, JPEG writer and worker threads.
#include "publish/snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/message_box.h"
#include "app/worker_threads.h"
#include "capture/test_pattern_device.h"
#include "publish/net_limits.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Paths = std::vector<fs::path>;
using SaveFn = std::function<void(AppState&, SnapshotUse, const std::string&)>;
using FtpFn = std::function<void(AppState&, SnapshotUse)>;

constexpr int kSaveFile = 1005, kFileName = 1006, kEnableFtp = 1017;

bool WholeJpeg(const std::string& b) {
  return b.size() > 4 && b.compare(0, 2, "\xFF\xD8") == 0 &&
         b.compare(b.size() - 2, 2, "\xFF\xD9") == 0;
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) oldTmp = old;
    fs::create_directory(tmp);
    setenv("TMPDIR", tmp.c_str(), 1);
    state = MakeAppState();
    state->mainWindow = &window;
    state->ui = sink;
    state->quality = 75;
    ASSERT_TRUE(device.DriverConnect(0));
    ASSERT_TRUE(device.SetFormat({160, 120, 24}));
    state->videoFormat = device.GetVideoFormat();
    state->captureWindow = &device;
    oldBox = SetMessageBoxHandler([this](const MessageBoxRequest& r) {
      boxes.push_back(r.text);
      if (onBox) onBox();
    });
  }
  void TearDown() override {
    SetPublisherOverrides({});
    EXPECT_TRUE(WaitForWorkers(*state, 10s));
    SetMessageBoxHandler(std::move(oldBox));
    oldTmp ? setenv("TMPDIR", oldTmp->c_str(), 1) : unsetenv("TMPDIR");
  }
  Paths TempFiles() const { return {fs::directory_iterator(tmp), fs::directory_iterator()}; }
  // Enables the local save and the upload; fake publishers when given.
  void EnablePublishers(SaveFn save = {}, FtpFn ftp = {}) {
    const bool upload = bool(ftp);
    if (save || ftp) SetPublisherOverrides({std::move(save), std::move(ftp)});
    window.checked[kSaveFile] = true;
    window.texts[kFileName] = (box / "cam.jpg").string();
    if (!upload) return;
    std::snprintf(state->ftpUser, sizeof state->ftpUser, "u");
    std::snprintf(state->ftpServer, sizeof state->ftpServer, "127.0.0.1");
    std::snprintf(state->ftpFile, sizeof state->ftpFile, "cam.jpg");
    window.checked[kEnableFtp] = true;
  }

  test::Sandbox box;
  fs::path tmp = box / "tmp";
  std::optional<std::string> oldTmp;
  test::FakeMainWindow window;
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  TestPatternDevice device;
  std::shared_ptr<AppState> state;
  std::vector<std::string> boxes;
  std::function<void()> onBox;
  MessageBoxHandler oldBox;
};

// A browser that reads slowly must not stop the schedule.
TEST_F(SnapshotTest, ASlowReaderDoesNotFreezeLaterCaptures) {
  SnapshotUse reader = AcquireSnapshotForClient(*state);
  ASSERT_TRUE(reader.captured());
  const std::string readerPath = reader.path(), readerBytes = test::ReadFile(readerPath);
  EnablePublishers();
  std::vector<std::string> copies;
  for (int i = 0; i < 3; ++i) {
    TakePicture(*state);
    ASSERT_TRUE(WaitForWorkers(*state, 10s));
    copies.push_back(test::ReadFile(box / "cam.jpg"));
    ASSERT_TRUE(WholeJpeg(copies.back()));
    if (i) EXPECT_NE(copies[i], copies[i - 1]);
  }
  EXPECT_EQ(device.FrameNumber(), 4u);
  EXPECT_EQ(sink->LogLines().size(), 3u);
  EXPECT_EQ(test::ReadFile(readerPath), readerBytes);
  ExpireSnapshotHold(*state, /*always=*/true);  // the last picture's second is over
  EXPECT_EQ(TempFiles(), Paths{readerPath});
  reader.Release();
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, AtMostOneLocalSaveAndOneUploadRunAtATime) {
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  std::atomic<int> saves = 0, uploads = 0;
  auto busy = [&](std::atomic<int>& n, const SnapshotUse& use) {
    ++n;
    gate.wait();
    EXPECT_TRUE(WholeJpeg(test::ReadFile(use.path())));
  };
  EnablePublishers([&](AppState&, SnapshotUse u, const std::string&) { busy(saves, u); },
                   [&](AppState&, SnapshotUse u) { busy(uploads, u); });
  TakePicture(*state);
  const std::string firstPath = state->snapshotPath;
  ASSERT_TRUE(test::WaitFor([&] { return saves == 1 && uploads == 1; }));
  TakePicture(*state);  // both busy: captured, published nowhere
  EXPECT_EQ(device.FrameNumber(), 2u);
  ExpireSnapshotHold(*state, /*always=*/true);  // so nobody holds it any more
  EXPECT_EQ(TempFiles(), Paths{firstPath});
  open.set_value();
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  TakePicture(*state);
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(saves + uploads, 4);
  ExpireSnapshotHold(*state, /*always=*/true);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, AFailedCapturePublishesNothingAndClientsLearnOfIt) {
  int published = 0;
  EnablePublishers([&](AppState&, SnapshotUse, const std::string&) { ++published; },
                   [&](AppState&, SnapshotUse) { ++published; });
  device.SetStepFails(TestPatternDevice::Step::kFrame, true);
  TakePicture(*state);
  EXPECT_EQ(boxes, std::vector<std::string>{"capCaptureSingleFrame"});
  SnapshotUse client = AcquireSnapshotForClient(*state);
  EXPECT_TRUE(client.held());
  EXPECT_FALSE(client.captured());
  client.Release();
  device.SetStepFails(TestPatternDevice::Step::kFrame, false);
  device.SetShortFrames(true);  // fails silently, same outcome
  TakePicture(*state);
  EXPECT_FALSE(AcquireSnapshotForClient(*state).captured());
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(published, 0);
  EXPECT_EQ(boxes.size(), 2u);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, ClientsShareAFreshCaptureOnly) {
  std::vector<SnapshotUse> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(AcquireSnapshotForClient(*state));
  EXPECT_EQ(device.FrameNumber(), 1u);
  for (const SnapshotUse& c : clients) EXPECT_STREQ(c.path(), clients[0].path());
  EXPECT_EQ(state->snapshotUsers, 21);  // and the fresh picture's own use
  TakePicture(*state);  // a timed capture makes its own file and leaves theirs alone
  EXPECT_EQ(device.FrameNumber(), 2u);
  const std::string shared = clients[0].path();
  EXPECT_TRUE(fs::exists(shared));
  clients.clear();
  EXPECT_FALSE(fs::exists(shared));

  // Requests that do not overlap share the current picture for its first second.
  const std::string current = state->snapshotPath;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(AcquireSnapshotForClient(*state).path(), current);
  ExpireSnapshotHold(*state);
  EXPECT_TRUE(fs::exists(current));
  std::this_thread::sleep_for(kSnapshotFreshFor + 50ms);
  ExpireSnapshotHold(*state);
  EXPECT_FALSE(fs::exists(current));
  EXPECT_EQ(state->snapshotUsers, 0);
  EXPECT_STREQ(state->snapshotPath, "");
  EXPECT_EQ(device.FrameNumber(), 2u);

  SnapshotUse first = AcquireSnapshotForClient(*state);
  std::this_thread::sleep_for(kSnapshotFreshFor + 50ms);
  SnapshotUse second = AcquireSnapshotForClient(*state);
  EXPECT_EQ(device.FrameNumber(), 4u);
  EXPECT_STRNE(first.path(), second.path());
  EXPECT_EQ(TempFiles().size(), 2u);
}

// A failure box runs a nested message loop where a tick or a browser meets a
// capture in progress.
TEST_F(SnapshotTest, RequestsDuringACaptureAreDroppedOrToldThereIsNoPicture) {
  uint64_t framesSeenNested = 0;
  std::string nestedPath = "unset";
  onBox = [&, once = true]() mutable {
    if (!std::exchange(once, false)) return;
    TakePicture(*state);
    framesSeenNested = device.FrameNumber();
    nestedPath = AcquireSnapshotForClient(*state).path();
  };
  int published = 0;
  EnablePublishers([&](AppState&, SnapshotUse, const std::string&) { ++published; });
  device.SetStepFails(TestPatternDevice::Step::kClose, true);
  TakePicture(*state);
  EXPECT_EQ(boxes, std::vector<std::string>{"capCaptureSingleFrameClose"});
  EXPECT_EQ(framesSeenNested, 1u);
  EXPECT_EQ(device.FrameNumber(), 1u);
  EXPECT_EQ(nestedPath, "");
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(published, 0);  // the close failed: the capture counts as failed
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, ManyReleasesRacingDeleteEachFileOnceAndNeverWhileRead) {
  std::atomic<int> reads = 0, badReads = 0;
  auto readAndRelease = [&](SnapshotUse use, unsigned seed) {
    std::this_thread::sleep_for(std::chrono::microseconds(std::minstd_rand(seed)() % 2000));
    if (!WholeJpeg(test::ReadFile(use.path()))) ++badReads;
    ++reads;
  };
  EnablePublishers(
      [&](AppState&, SnapshotUse use, const std::string&) { readAndRelease(std::move(use), 1); },
      [&](AppState&, SnapshotUse use) { readAndRelease(std::move(use), 2); });
  std::vector<std::thread> clients;
  for (int round = 0; round < 60; ++round) {
    TakePicture(*state);
    for (int c = 0; c < 4; ++c) {
      SnapshotUse use = AcquireSnapshotForClient(*state);
      ASSERT_TRUE(use.captured());
      clients.emplace_back(readAndRelease, std::move(use), round * 4 + c);
    }
    if (round % 20 == 19) std::this_thread::sleep_for(kSnapshotFreshFor);
  }
  for (std::thread& t : clients) t.join();
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(badReads, 0);
  EXPECT_GE(reads, 240);
  ExpireSnapshotHold(*state, /*always=*/true);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(state->snapshotUsers, 0);
  EXPECT_STREQ(state->snapshotPath, "");
}

}  // namespace
}  // namespace snapvane
