#include "publish/local_save.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "app/app_state.h"
#include "publish/snapshot.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

class LocalSave : public ::testing::Test {
 protected:
  void SetUp() override { state->ui = sink; }
  // A captured snapshot file holding bytes, with its one use counted.
  std::shared_ptr<SnapshotFile> Snapshot(const std::string& bytes) {
    const std::string path = (sandbox / ("snv" + std::to_string(++made))).string();
    test::WriteFile(path, bytes);
    struct stat st {};
    stat(path.c_str(), &st);
    return std::make_shared<SnapshotFile>(SnapshotFile{.path = path,
                                                       .users = 1,
                                                       .captured = true,
                                                       .device = st.st_dev,
                                                       .inode = st.st_ino,
                                                       .made = true});
  }
  void Save(const std::shared_ptr<SnapshotFile>& file, const fs::path& dest) {
    LocalSaveWorker(*state, SnapshotUse(state, file), dest.string());
  }
  // Names in the sandbox: no temporary file, and each save's release deleted its snapshot.
  Names Entries() const {
    Names out;
    for (auto& e : fs::directory_iterator(sandbox.path())) out.insert(e.path().filename().string());
    return out;
  }

  test::Sandbox sandbox;
  fs::path dest = sandbox / "cam.jpg";
  std::shared_ptr<AppState> state = MakeAppState();
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  int made = 0;
};

// The line's head, then the 24-character time stamp.
bool Logged(const std::string& line, const std::string& head) {
  return line.rfind(head, 0) == 0 && line.size() == head.size() + 24;
}

TEST_F(LocalSave, CopiesWithTheModeOfANewFileAndLogsIt) {
  Save(Snapshot("JPEG bytes"), dest);
  EXPECT_EQ(test::ReadFile(dest), "JPEG bytes");
  ASSERT_EQ(sink->LogLines().size(), 1u);
  EXPECT_TRUE(Logged(sink->LogLines()[0], "FILE (" + dest.string() + ") - "));
  EXPECT_EQ(Entries(), Names{"cam.jpg"});
  struct stat st {};
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_TRUE(stat(dest.c_str(), &st) == 0 && (st.st_mode & 0777) == (0666 & ~mask));
}

TEST_F(LocalSave, FailureKeepsTheOldPictureAndLeavesNoTemporaryFile) {
  test::WriteFile(dest, "good old picture");
  auto missing = Snapshot("x");
  fs::remove(missing->path);
  Save(missing, dest);
  auto failedCapture = Snapshot("");
  failedCapture->captured = false;
  Save(failedCapture, dest);
  fs::create_directory(sandbox / "folder.jpg");
  Save(Snapshot("y"), sandbox / "folder.jpg");
  Save(Snapshot("z"), sandbox / "no such folder" / "cam.jpg");
  EXPECT_EQ(test::ReadFile(dest), "good old picture");
  EXPECT_EQ(Entries(), (Names{"cam.jpg", "folder.jpg"}));
  EXPECT_TRUE(fs::is_empty(sandbox / "folder.jpg"));
  const auto lines = sink->LogLines();
  ASSERT_EQ(lines.size(), 4u);
  for (auto& l : lines) EXPECT_EQ(l.rfind("!!!Local save failed!!! (", 0), 0u) << l;
  EXPECT_TRUE(Logged(lines[0], "!!!Local save failed!!! (" + dest.string() + ") - ")) << lines[0];
}

TEST_F(LocalSave, AReaderNeverSeesAPartialPicture) {
  const std::string a(512 * 1024, 'a'), b(300 * 1024, 'b');
  test::WriteFile(dest, a);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, partial{0};
  std::thread reader([&] {
    for (; !done || reads < 50; ++reads)
      if (std::string seen = test::ReadFile(dest); seen != a && seen != b) ++partial;
  });
  for (int i = 0; i < 60; ++i) Save(Snapshot(i % 2 ? a : b), dest);
  done = true;
  reader.join();
  EXPECT_EQ(partial.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(test::ReadFile(dest), a);
}

}  // namespace
}  // namespace snapvane
