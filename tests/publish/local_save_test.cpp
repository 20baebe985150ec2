#include "publish/local_save.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "publish/snapshot.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

class LocalSave : public ::testing::Test {
 protected:
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
    LocalSaveWorker(sink.get(), SnapshotUse(nullptr, file), dest.string());
  }
  // Names in the sandbox: no temporary file, and each save's release deleted its snapshot.
  Names Entries(const fs::path& folder = {}) const {
    Names out;
    for (auto& e : fs::directory_iterator(folder.empty() ? sandbox.path() : folder))
      out.insert(e.path().filename().string());
    return out;
  }

  test::Sandbox sandbox;
  fs::path dest = sandbox / "cam.jpg";
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
  testing::internal::CaptureStderr();
  Save(missing, dest);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Local save to " + dest.string() +
                " failed: opening the snapshot: No such file or directory\n");
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

struct stat Stat(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

// A group other than our own that we may give a file: any when we are root,
// else one of our supplementary groups; our own when there is none.
gid_t OtherGroup() {
  if (geteuid() == 0) return 4242;
  gid_t groups[256];
  int count = getgroups(256, groups);
  for (int i = 0; i < count; ++i)
    if (groups[i] != getegid()) return groups[i];
  return getegid();
}

// The replacement keeps the old file's mode, group (another when we have one to
// give it), hard links and symbolic links.
TEST_F(LocalSave, TheReplacementKeepsModeGroupAndLinks) {
  const fs::path other = sandbox / "also.jpg", dangling = sandbox / "link.jpg",
                 live = sandbox / "live.jpg";
  const gid_t group = OtherGroup();
  test::WriteFile(dest, "old");
  ASSERT_EQ(chown(dest.c_str(), geteuid(), group), 0);
  ASSERT_EQ(chmod(dest.c_str(), 0640), 0);
  Save(Snapshot("new"), dest);  // a new file renamed into place
  const struct stat st = Stat(dest);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_gid, group);
  EXPECT_EQ(st.st_uid, geteuid());
  fs::create_hard_link(dest, other);
  fs::create_symlink("made.jpg", dangling);
  fs::create_symlink("cam.jpg", live);
  Save(Snapshot("hard"), dest);
  EXPECT_EQ(test::ReadFile(other), "hard");
  EXPECT_EQ(Stat(dest).st_nlink, 2u);
  Save(Snapshot("through"), dangling);
  EXPECT_TRUE(fs::is_symlink(dangling));
  EXPECT_EQ(test::ReadFile(sandbox / "made.jpg"), "through");
  Save(Snapshot("live"), live);
  EXPECT_TRUE(fs::is_symlink(live));
  EXPECT_EQ(test::ReadFile(other), "live");
  EXPECT_EQ(Entries(), (Names{"also.jpg", "cam.jpg", "link.jpg", "live.jpg", "made.jpg"}));
  for (auto& line : sink->LogLines()) EXPECT_EQ(line.rfind("FILE (", 0), 0u) << line;
}

// Runs body in a child process, as nobody when we are root (root ignores
// permissions); its exit status, 0 when body returned true.
int AsUnprivilegedUser(const std::function<bool()>& body) {
  constexpr uid_t kNobody = 65534;
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(2);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Where no new name may replace the file, a writable file is still written, in
// place, and keeps its owner.
TEST_F(LocalSave, WritesInPlaceWhereTheFolderForbidsANewName) {
  const bool root = geteuid() == 0;
  fs::permissions(sandbox.path(), fs::perms(0755));
  const fs::path locked = sandbox / "locked", shared = sandbox / "shared";
  fs::create_directory(locked);
  fs::create_directory(shared);
  std::vector<fs::path> targets{locked / "cam.jpg"};
  if (root) targets.push_back(shared / "cam.jpg");  // a file of another owner
  for (auto& t : targets) {
    test::WriteFile(t, "old");
    fs::permissions(t, fs::perms(0666));
  }
  fs::permissions(locked, fs::perms(0555));
  fs::permissions(shared, fs::perms(0777));
  auto file = Snapshot("new");
  fs::permissions(file->path, fs::perms(0644));
  for (auto& t : targets) {
    const ino_t inode = Stat(t).st_ino;
    EXPECT_EQ(AsUnprivilegedUser([&] { return ReplaceFileWithCopy(file->path.c_str(), t).ok(); }),
              0)
        << t;
    EXPECT_EQ(test::ReadFile(t), "new");
    EXPECT_EQ(Stat(t).st_ino, inode);
    EXPECT_EQ(Stat(t).st_uid, geteuid());
  }
  EXPECT_EQ(Entries(locked), Names{"cam.jpg"});  // no temporary file left
  EXPECT_EQ(Entries(shared), root ? Names{"cam.jpg"} : Names{});
  fs::permissions(locked, fs::perms(0755));
}

}  // namespace
}  // namespace snapvane
