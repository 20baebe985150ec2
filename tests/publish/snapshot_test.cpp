// Snapshot files and capture dispatch, with the real test-pattern device, the real
// frame handler and JPEG writer, and (where it matters) real worker threads.
#include "publish/snapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/message_box.h"
#include "app/worker_threads.h"
#include "capture/test_pattern_device.h"
#include "publish/net_limits.h"
#include "tests/capture/jpeg_decode.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kSaveFile = 1005, kFileName = 1006, kEnableFtp = 1017;

// A door the fake publishers wait at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard g(m_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock g(m_);
    cv_.wait(g, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

// A complete JPEG: starts with SOI and ends with EOI.
bool WholeJpeg(const std::string& bytes) {
  return bytes.size() > 4 && bytes.compare(0, 2, "\xFF\xD8") == 0 &&
         bytes.compare(bytes.size() - 2, 2, "\xFF\xD9") == 0;
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    hadTmp = old != nullptr;
    if (old) oldTmp = old;
    tmp = box / "tmp";
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
    if (hadTmp) {
      setenv("TMPDIR", oldTmp.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  std::vector<fs::path> TempFiles() const {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(tmp)) files.push_back(e.path());
    return files;
  }
  void EnableSave(const fs::path& to) {
    window.checked[kSaveFile] = true;
    window.texts[kFileName] = to.string();
  }
  void EnableFtp() {
    std::snprintf(state->ftpUser, sizeof state->ftpUser, "u");
    std::snprintf(state->ftpServer, sizeof state->ftpServer, "127.0.0.1");
    std::snprintf(state->ftpFile, sizeof state->ftpFile, "cam.jpg");
    window.checked[kEnableFtp] = true;
  }

  test::Sandbox box;
  fs::path tmp;
  bool hadTmp = false;
  std::string oldTmp;
  test::FakeMainWindow window;
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  TestPatternDevice device;
  std::shared_ptr<AppState> state;
  std::vector<std::string> boxes;
  std::function<void()> onBox;
  MessageBoxHandler oldBox;
};

TEST_F(SnapshotTest, SnapshotFilesAreMadeInTmpdirAndOnlyTheirOwnFileIsDeleted) {
  std::shared_ptr<SnapshotFile> file = MakeSnapshotFile();
  ASSERT_TRUE(file);
  const fs::path path = file->path;
  EXPECT_EQ(path.parent_path(), tmp);
  EXPECT_EQ(path.filename().string().substr(0, 3), "snv");
  EXPECT_EQ(path.filename().string().size(), 9u);
  EXPECT_EQ(fs::file_size(path), 0u);
  {
    std::lock_guard g(state->lock);
    ReleaseSnapshotFile(*state, *file);  // count 0: deleted
  }
  EXPECT_FALSE(fs::exists(path));
  // Someone else's file under the same name later is not touched by a repeat.
  test::WriteFile(path, "other");
  {
    std::lock_guard g(state->lock);
    ReleaseSnapshotFile(*state, *file);
  }
  EXPECT_EQ(test::ReadFile(path), "other");
  fs::remove(path);

  // A temporary directory too long for a snapshot path, or none: /tmp.
  setenv("TMPDIR", (tmp / std::string(300, 'd')).c_str(), 1);
  file = MakeSnapshotFile();
  ASSERT_TRUE(file);
  EXPECT_EQ(fs::path(file->path).parent_path(), "/tmp");
  fs::remove(file->path);
  unsetenv("TMPDIR");
  file = MakeSnapshotFile();
  ASSERT_TRUE(file);
  EXPECT_EQ(fs::path(file->path).parent_path(), "/tmp");
  fs::remove(file->path);
}

TEST_F(SnapshotTest, WithNoPublisherThePictureIsTakenAndItsFileDeletedAtOnce) {
  TakePicture(*state);
  EXPECT_EQ(device.FrameNumber(), 1u);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_STREQ(state->snapshotPath, "");
  EXPECT_EQ(state->snapshotUsers, 0);
  EXPECT_FALSE(state->snapshot);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(SnapshotTest, TheSwitchesAreReadOnEveryCall) {
  int saves = 0, uploads = 0;
  SetPublisherOverrides({[&](AppState&, SnapshotUse, const std::string&) { ++saves; },
                         [&](AppState&, SnapshotUse) { ++uploads; }});
  // Save File with an empty name: no save, the box stays checked.
  window.checked[kSaveFile] = true;
  window.texts[kFileName] = "";
  // Enable FTP with no server: no upload, the box is unchecked.
  EnableFtp();
  state->ftpServer[0] = '\0';
  TakePicture(*state);
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(device.FrameNumber(), 1u);
  EXPECT_EQ(state->saveFile, 0);
  EXPECT_TRUE(window.checked[kSaveFile]);
  EXPECT_EQ(state->ftp, 0);
  EXPECT_FALSE(window.checked[kEnableFtp]);
  EXPECT_EQ(saves + uploads, 0);

  // An unchecked Save File keeps the name read last time.
  window.texts[kFileName] = "first.jpg";
  TakePicture(*state);
  window.checked[kSaveFile] = false;
  window.texts[kFileName] = "second.jpg";
  TakePicture(*state);
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_STREQ(state->fileName, "first.jpg");
  EXPECT_EQ(saves, 1);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, TheLocalSaveCopiesThePictureAndTheLastUserDeletesTheFile) {
  const fs::path copy = box / "cam.jpg";
  EnableSave(copy);
  TakePicture(*state);
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  test::DecodedJpeg jpeg = test::DecodeJpegFile(copy.string());
  ASSERT_TRUE(jpeg.ok);
  EXPECT_EQ(jpeg.width, 160);
  EXPECT_EQ(jpeg.height, 120);
  ASSERT_EQ(sink->LogLines().size(), 1u);
  EXPECT_EQ(sink->LogLines()[0].rfind("FILE (" + copy.string() + ")", 0), 0u);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(state->snapshotUsers, 0);
}

// A browser that reads slowly must not stop the schedule: every timed capture
// still makes, saves and publishes a new picture, and the reader keeps its file.
TEST_F(SnapshotTest, ASlowReaderDoesNotFreezeLaterCaptures) {
  const fs::path copy = box / "cam.jpg";
  SnapshotUse reader = AcquireSnapshotForClient(*state);
  ASSERT_TRUE(reader.captured());
  const std::string readerPath = reader.path();
  const std::string readerBytes = test::ReadFile(readerPath);
  ASSERT_TRUE(WholeJpeg(readerBytes));

  EnableSave(copy);
  std::vector<std::string> copies;
  for (int i = 0; i < 3; ++i) {
    TakePicture(*state);
    ASSERT_TRUE(WaitForWorkers(*state, 10s));
    copies.push_back(test::ReadFile(copy));
    ASSERT_TRUE(WholeJpeg(copies.back()));
    EXPECT_NE(state->snapshotPath, readerPath);
  }
  EXPECT_EQ(device.FrameNumber(), 4u);
  EXPECT_NE(copies[0], copies[1]);  // the frame counter moved on
  EXPECT_NE(copies[1], copies[2]);
  EXPECT_EQ(sink->LogLines().size(), 3u);
  // The reader's file is still there, unchanged, and the only one left.
  EXPECT_EQ(test::ReadFile(readerPath), readerBytes);
  EXPECT_EQ(TempFiles(), std::vector<fs::path>{readerPath});
  reader.Release();
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, AtMostOneLocalSaveAndOneUploadRunAtATime) {
  Gate gate;
  std::atomic<int> saves = 0, uploads = 0;
  std::string firstPath;
  SetPublisherOverrides({[&](AppState&, SnapshotUse use, const std::string&) {
                           ++saves;
                           gate.Wait();
                           EXPECT_TRUE(WholeJpeg(test::ReadFile(use.path())));
                         },
                         [&](AppState&, SnapshotUse use) {
                           ++uploads;
                           gate.Wait();
                           EXPECT_TRUE(WholeJpeg(test::ReadFile(use.path())));
                         }});
  EnableSave(box / "cam.jpg");
  EnableFtp();
  TakePicture(*state);
  firstPath = state->snapshotPath;
  ASSERT_TRUE(test::WaitFor([&] { return saves == 1 && uploads == 1; }));
  // Both still busy: the next capture happens but publishes nothing, and its file
  // goes at once while the first stays for its two readers.
  TakePicture(*state);
  EXPECT_EQ(device.FrameNumber(), 2u);
  EXPECT_EQ(TempFiles(), std::vector<fs::path>{firstPath});
  gate.Open();
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_TRUE(TempFiles().empty());
  TakePicture(*state);
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(saves, 2);
  EXPECT_EQ(uploads, 2);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SnapshotTest, AFailedCapturePublishesNothingAndClientsLearnOfIt) {
  int published = 0;
  SetPublisherOverrides({[&](AppState&, SnapshotUse, const std::string&) { ++published; },
                         [&](AppState&, SnapshotUse) { ++published; }});
  EnableSave(box / "cam.jpg");
  EnableFtp();
  device.SetStepFails(TestPatternDevice::Step::kFrame, true);
  TakePicture(*state);
  EXPECT_EQ(boxes, std::vector<std::string>{"capCaptureSingleFrame"});
  SnapshotUse client = AcquireSnapshotForClient(*state);
  EXPECT_TRUE(client.held());
  EXPECT_FALSE(client.captured());
  client.Release();
  // A frame that comes short fails silently, with the same outcome.
  device.SetStepFails(TestPatternDevice::Step::kFrame, false);
  device.SetShortFrames(true);
  TakePicture(*state);
  EXPECT_FALSE(AcquireSnapshotForClient(*state).captured());
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(published, 0);
  EXPECT_EQ(boxes.size(), 2u);
  EXPECT_TRUE(TempFiles().empty());
  // Once the device recovers, a client gets a picture again.
  device.SetShortFrames(false);
  SnapshotUse again = AcquireSnapshotForClient(*state);
  EXPECT_TRUE(again.captured());
  EXPECT_TRUE(WholeJpeg(test::ReadFile(again.path())));
}

TEST_F(SnapshotTest, NoTemporaryFileMeansNoCaptureAndAClearMessage) {
  setenv("TMPDIR", (box / "gone").c_str(), 1);
  EnableSave(box / "cam.jpg");
  TakePicture(*state);
  SnapshotUse client = AcquireSnapshotForClient(*state);
  EXPECT_FALSE(client.captured());
  EXPECT_EQ(device.FrameNumber(), 0u);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0], "can't open " + (box / "gone" / "snvXXXXXX").string() + "\n");
  EXPECT_FALSE(fs::exists(box / "cam.jpg"));
}

TEST_F(SnapshotTest, ABurstOfClientsWithinTheFreshTimeCostsOneCapture) {
  std::vector<SnapshotUse> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(AcquireSnapshotForClient(*state));
  EXPECT_EQ(device.FrameNumber(), 1u);
  for (const SnapshotUse& c : clients) {
    EXPECT_TRUE(c.captured());
    EXPECT_STREQ(c.path(), clients[0].path());
  }
  EXPECT_EQ(state->snapshotUsers, 20);
  EXPECT_STREQ(state->snapshotPath, clients[0].path());
  // A timed capture meanwhile makes its own file and leaves theirs alone.
  TakePicture(*state);
  EXPECT_EQ(device.FrameNumber(), 2u);
  EXPECT_TRUE(fs::exists(clients[0].path()));
  const std::string shared = clients[0].path();
  clients.clear();
  EXPECT_FALSE(fs::exists(shared));
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(state->snapshotUsers, 0);
}

TEST_F(SnapshotTest, AClientAfterTheFreshTimeGetsANewCapture) {
  SnapshotUse first = AcquireSnapshotForClient(*state);
  std::this_thread::sleep_for(kSnapshotFreshFor + 50ms);
  SnapshotUse second = AcquireSnapshotForClient(*state);
  EXPECT_EQ(device.FrameNumber(), 2u);
  EXPECT_STRNE(first.path(), second.path());
  EXPECT_TRUE(first.captured() && second.captured());
  EXPECT_EQ(TempFiles().size(), 2u);
  EXPECT_EQ(state->snapshotUsers, 1);  // the current one is the second's
}

// A failure box of the capture runs a nested message loop: a timer tick or a
// browser arriving there meets a capture in progress.
TEST_F(SnapshotTest, RequestsDuringACaptureAreDroppedOrToldThereIsNoPicture) {
  uint64_t framesSeenNested = 0;
  bool nestedClientCaptured = true;
  std::string nestedClientPath = "unset";
  bool nestedDone = false;
  onBox = [&] {
    if (nestedDone) return;
    nestedDone = true;
    TakePicture(*state);
    framesSeenNested = device.FrameNumber();
    SnapshotUse nested = AcquireSnapshotForClient(*state);
    nestedClientCaptured = nested.captured();
    nestedClientPath = nested.path();
  };
  int published = 0;
  SetPublisherOverrides({[&](AppState&, SnapshotUse, const std::string&) { ++published; }, {}});
  EnableSave(box / "cam.jpg");
  device.SetStepFails(TestPatternDevice::Step::kClose, true);
  TakePicture(*state);
  EXPECT_EQ(boxes, std::vector<std::string>{"capCaptureSingleFrameClose"});
  EXPECT_EQ(framesSeenNested, 1u);  // no second capture inside the first
  EXPECT_EQ(device.FrameNumber(), 1u);
  EXPECT_FALSE(nestedClientCaptured);
  EXPECT_EQ(nestedClientPath, "");
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(published, 0);  // the close failed: the capture counts as failed
  EXPECT_TRUE(TempFiles().empty());
}

// Captures, publishers and clients releasing on many threads at once: every
// reader finds a whole picture, and every file is gone once its users are.
TEST_F(SnapshotTest, ManyReleasesRacingDeleteEachFileOnceAndNeverWhileRead) {
  std::atomic<int> reads = 0, badReads = 0;
  auto readAndRelease = [&](SnapshotUse use, unsigned seed) {
    std::minstd_rand rng(seed);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    if (!WholeJpeg(test::ReadFile(use.path()))) ++badReads;
    ++reads;
  };
  SetPublisherOverrides(
      {[&](AppState&, SnapshotUse use, const std::string&) { readAndRelease(std::move(use), 1); },
       [&](AppState&, SnapshotUse use) { readAndRelease(std::move(use), 2); }});
  EnableSave(box / "cam.jpg");
  EnableFtp();
  std::vector<std::thread> clients;
  for (int round = 0; round < 60; ++round) {
    TakePicture(*state);
    for (int c = 0; c < 4; ++c) {
      SnapshotUse use = AcquireSnapshotForClient(*state);
      ASSERT_TRUE(use.captured());
      clients.emplace_back(readAndRelease, std::move(use), round * 4 + c);
    }
    if (round % 20 == 19) std::this_thread::sleep_for(kSnapshotFreshFor);  // fresh captures too
  }
  for (std::thread& t : clients) t.join();
  ASSERT_TRUE(WaitForWorkers(*state, 10s));
  EXPECT_EQ(badReads, 0);
  EXPECT_GE(reads, 240);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(state->snapshotUsers, 0);
  EXPECT_FALSE(state->snapshot);
  EXPECT_STREQ(state->snapshotPath, "");
}

TEST_F(SnapshotTest, AUseKeepsTheStateAliveUntilItIsGivenBack) {
  SnapshotUse use = AcquireSnapshotForClient(*state);
  const std::string path = use.path();
  std::weak_ptr<AppState> weak = state;
  state->mainWindow = nullptr;
  state->captureWindow = nullptr;
  state.reset();
  EXPECT_FALSE(weak.expired());
  use.Release();
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(fs::exists(path));
  state = MakeAppState();  // for TearDown
}

}  // namespace
}  // namespace snapvane
