#include "publish/local_save.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
using Names = std::vector<std::string>;

class LocalSave : public ::testing::Test {
 protected:
  void SetUp() override { state->ui = sink; }
  // A captured snapshot file holding bytes, with users uses counted.
  std::shared_ptr<SnapshotFile> Snapshot(const std::string& bytes, int users = 1) {
    auto file = std::make_shared<SnapshotFile>();
    file->path = (sandbox / ("snv" + std::to_string(++made))).string();
    test::WriteFile(file->path, bytes);
    struct stat st {};
    stat(file->path.c_str(), &st);
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->made = file->captured = true;
    file->users = users;
    return file;
  }
  void Save(const std::shared_ptr<SnapshotFile>& file, const fs::path& dest) {
    LocalSaveWorker(*state, SnapshotUse(state, file), dest.string());
  }
  // Names in the folder, apart from the snapshot files.
  static Names Others(const fs::path& folder) {
    Names out;
    for (auto& e : fs::directory_iterator(folder))
      if (e.path().filename().string().rfind("snv", 0) != 0)
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  test::Sandbox sandbox;
  std::shared_ptr<AppState> state = MakeAppState();
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  int made = 0;
};

TEST_F(LocalSave, CopiesAndLogsTheStartTime) {
  auto file = Snapshot("JPEG bytes");
  const fs::path dest = sandbox / "cam.jpg";
  const std::time_t before = std::time(nullptr);
  Save(file, dest);
  EXPECT_EQ(test::ReadFile(dest), "JPEG bytes");
  const std::string prefix = "FILE (" + dest.string() + ") - ";
  ASSERT_EQ(sink->LogLines().size(), 1u);
  const std::string line = sink->LogLines()[0];
  EXPECT_TRUE(line == prefix + TimeText(LocalTime(before)) ||
              line == prefix + TimeText(LocalTime(before + 1)))
      << line;
  EXPECT_FALSE(fs::exists(file->path));  // the only user deleted it
  EXPECT_EQ(Others(sandbox.path()), Names{"cam.jpg"});
  struct stat st {};
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_TRUE(stat(dest.c_str(), &st) == 0 && (st.st_mode & 0777) == (0666 & ~mask));  // as new
}

TEST_F(LocalSave, FailureKeepsTheOldPictureAndLeavesNoTemporaryFile) {
  const fs::path dest = sandbox / "cam.jpg";
  test::WriteFile(dest, "good old picture");
  auto missing = Snapshot("x");
  fs::remove(missing->path);
  Save(missing, dest);
  auto failedCapture = Snapshot("");
  failedCapture->captured = false;
  Save(failedCapture, dest);
  fs::create_directory(sandbox / "folder.jpg");
  Save(Snapshot("y"), sandbox / "folder.jpg");
  EXPECT_EQ(test::ReadFile(dest), "good old picture");
  EXPECT_EQ(Others(sandbox.path()), (Names{"cam.jpg", "folder.jpg"}));
  EXPECT_TRUE(fs::is_empty(sandbox / "folder.jpg"));
  const std::regex failed(
      R"(!!!Local save failed!!! \(.*\) - [A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4})");
  auto lines = sink->LogLines();
  ASSERT_EQ(lines.size(), 3u);
  for (auto& l : lines) EXPECT_TRUE(std::regex_match(l, failed)) << l;
  EXPECT_NE(lines[0].find("(" + dest.string() + ")"), std::string::npos);
}

TEST_F(LocalSave, MissingFolderFailsAndWhicheverUserEndsLastDeletesTheSnapshot) {
  const fs::path dest = sandbox / "no such folder" / "cam.jpg";
  auto file = Snapshot("picture", 2);
  SnapshotUse other(state, file);  // say, the FTP upload of the same capture
  Save(file, dest);
  EXPECT_EQ(sink->LogLines().at(0).rfind("!!!Local save failed!!! (" + dest.string() + ") - ", 0),
            0u);
  EXPECT_FALSE(fs::exists(dest.parent_path()));
  EXPECT_TRUE(fs::exists(file->path));
  other.Release();
  EXPECT_FALSE(fs::exists(file->path));
  file = Snapshot("picture", 2);
  SnapshotUse(state, file).Release();  // this time the upload ends first
  EXPECT_TRUE(fs::exists(file->path));
  Save(file, sandbox / "cam.jpg");
  EXPECT_FALSE(fs::exists(file->path));
}

TEST_F(LocalSave, AReaderNeverSeesAPartialPicture) {
  const std::string a(512 * 1024, 'a'), b(300 * 1024, 'b');
  const fs::path dest = sandbox / "cam.jpg";
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
  for (auto& l : sink->LogLines()) EXPECT_EQ(l.substr(0, 5), "FILE ");
}

}  // namespace
}  // namespace snapvane
