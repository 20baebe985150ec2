#include "publish/local_save.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

#include "app/app_state.h"
#include "app/time_text.h"
#include "publish/snapshot.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;

class LocalSave : public ::testing::Test {
 protected:
  void SetUp() override {
    state = MakeAppState();
    sink = std::make_shared<test::RecordingUiSink>();
    state->ui = sink;
  }

  // A captured snapshot file holding bytes, with users uses counted.
  std::shared_ptr<SnapshotFile> Snapshot(const std::string& bytes, int users = 1) {
    auto file = std::make_shared<SnapshotFile>();
    file->path = (sandbox / ("snv" + std::to_string(++made))).string();
    test::WriteFile(file->path, bytes);
    struct stat st {};
    stat(file->path.c_str(), &st);
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->made = true;
    file->captured = true;
    file->users = users;
    return file;
  }
  SnapshotUse Use(const std::shared_ptr<SnapshotFile>& file) { return SnapshotUse(state, file); }

  // Names in the folder other than the ones given: leftovers of a failed copy.
  std::vector<std::string> Others(const fs::path& folder, std::vector<std::string> known) {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(folder)) {
      std::string n = e.path().filename().string();
      if (std::find(known.begin(), known.end(), n) == known.end()) out.push_back(n);
    }
    return out;
  }

  test::Sandbox sandbox;
  std::shared_ptr<AppState> state;
  std::shared_ptr<test::RecordingUiSink> sink;
  int made = 0;
};

TEST_F(LocalSave, CopiesAndLogsTheStartTime) {
  auto file = Snapshot("JPEG bytes");
  const std::string dest = (sandbox / "cam.jpg").string();
  const std::time_t before = std::time(nullptr);
  LocalSaveWorker(*state, Use(file), dest);
  const std::time_t after = std::time(nullptr);

  EXPECT_EQ(test::ReadFile(dest), "JPEG bytes");
  auto lines = sink->LogLines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string prefix = "FILE (" + dest + ") - ";
  ASSERT_EQ(lines[0].substr(0, prefix.size()), prefix);
  const std::string when = lines[0].substr(prefix.size());
  EXPECT_TRUE(when == TimeText(LocalTime(before)) || when == TimeText(LocalTime(after))) << when;
  // The only user: the snapshot file is gone, and no temporary file was left.
  EXPECT_FALSE(fs::exists(file->path));
  EXPECT_EQ(Others(sandbox.path(), {"cam.jpg"}), std::vector<std::string>{});
  struct stat st {};
  ASSERT_EQ(stat(dest.c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);  // as readable as any new file
}

TEST_F(LocalSave, ReplacesAnExistingDestination) {
  const fs::path dest = sandbox / "cam.jpg";
  test::WriteFile(dest, "an older and longer picture");
  // A reader that opened the old picture keeps reading it whole.
  FILE* reader = fopen(dest.c_str(), "rb");
  ASSERT_TRUE(reader);
  LocalSaveWorker(*state, Use(Snapshot("new")), dest.string());
  EXPECT_EQ(test::ReadFile(dest), "new");
  char buf[64] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf, reader), 27u);
  EXPECT_STREQ(buf, "an older and longer picture");
  fclose(reader);
  EXPECT_EQ(sink->LogLines().at(0).substr(0, 5), "FILE ");
}

TEST_F(LocalSave, FailureKeepsTheOldPictureAndLeavesNoTemporaryFile) {
  const fs::path dest = sandbox / "cam.jpg";
  test::WriteFile(dest, "good old picture");

  // The snapshot file vanished.
  auto missing = Snapshot("x");
  fs::remove(missing->path);
  LocalSaveWorker(*state, Use(missing), dest.string());
  // A capture that produced no picture is not copied over the good one.
  auto failedCapture = Snapshot("");
  failedCapture->captured = false;
  LocalSaveWorker(*state, Use(failedCapture), dest.string());
  // The destination names a folder.
  fs::create_directory(sandbox / "folder.jpg");
  LocalSaveWorker(*state, Use(Snapshot("y")), (sandbox / "folder.jpg").string());

  EXPECT_EQ(test::ReadFile(dest), "good old picture");
  EXPECT_EQ(Others(sandbox.path(), {"cam.jpg", "folder.jpg"}), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(sandbox / "folder.jpg"));
  const std::regex failed(
      R"(!!!Local save failed!!! \(.*\) - [A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4})");
  auto lines = sink->LogLines();
  ASSERT_EQ(lines.size(), 3u);
  for (auto& l : lines) EXPECT_TRUE(std::regex_match(l, failed)) << l;
  EXPECT_NE(lines[0].find("(" + dest.string() + ")"), std::string::npos);
}

TEST_F(LocalSave, MissingFolderFailsAndTheLastUserDeletesTheSnapshot) {
  const std::string dest = (sandbox / "no such folder" / "cam.jpg").string();
  auto file = Snapshot("picture", 2);
  SnapshotUse other = Use(file);  // say, the FTP upload of the same capture
  LocalSaveWorker(*state, Use(file), dest);
  const std::string prefix = "!!!Local save failed!!! (" + dest + ") - ";
  EXPECT_EQ(sink->LogLines().at(0).substr(0, prefix.size()), prefix);
  EXPECT_FALSE(fs::exists(sandbox / "no such folder"));
  // The upload still reads the file; it goes when that ends.
  EXPECT_TRUE(fs::exists(file->path));
  other.Release();
  EXPECT_FALSE(fs::exists(file->path));
}

TEST_F(LocalSave, WhicheverUserEndsLastDeletesTheSnapshot) {
  auto file = Snapshot("picture", 2);
  SnapshotUse other = Use(file);
  other.Release();  // the upload ended first
  EXPECT_TRUE(fs::exists(file->path));
  LocalSaveWorker(*state, Use(file), (sandbox / "cam.jpg").string());
  EXPECT_FALSE(fs::exists(file->path));
  EXPECT_EQ(test::ReadFile(sandbox / "cam.jpg"), "picture");
}

TEST_F(LocalSave, WritesThroughASymbolicLink) {
  fs::create_directory(sandbox / "web");
  test::WriteFile(sandbox / "web" / "cam.jpg", "old");
  fs::create_symlink(sandbox / "web" / "cam.jpg", sandbox / "link.jpg");
  LocalSaveWorker(*state, Use(Snapshot("new")), (sandbox / "link.jpg").string());
  EXPECT_TRUE(fs::is_symlink(sandbox / "link.jpg"));
  EXPECT_EQ(test::ReadFile(sandbox / "web" / "cam.jpg"), "new");
  EXPECT_EQ(Others(sandbox / "web", {"cam.jpg"}), std::vector<std::string>{});
}

TEST_F(LocalSave, ReaderNeverSeesAPartialPicture) {
  // Two pictures of different sizes saved in turn while a reader keeps reading.
  const std::string a(512 * 1024, 'a');
  const std::string b(300 * 1024, 'b');
  const fs::path dest = sandbox / "cam.jpg";
  test::WriteFile(dest, a);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, partial{0};
  std::thread reader([&] {
    while (!done.load() || reads.load() < 50) {
      const std::string seen = test::ReadFile(dest);
      if (seen != a && seen != b) ++partial;
      ++reads;
    }
  });
  for (int i = 0; i < 60; ++i) LocalSaveWorker(*state, Use(Snapshot(i % 2 ? a : b)), dest.string());
  done = true;
  reader.join();
  EXPECT_EQ(partial.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(test::ReadFile(dest), a);
  for (auto& l : sink->LogLines()) EXPECT_EQ(l.substr(0, 5), "FILE ");
}

}  // namespace
}  // namespace snapvane
