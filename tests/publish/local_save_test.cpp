// Local copies of a snapshot: the one picture the local save replaces, and the
// archive's copies named by a pattern and pruned by age.
#include "publish/local_save.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "common/time_text.h"
#include "publish/archive.h"
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
  // The files under a folder and its subfolders, by relative path.
  Names Files(const fs::path& under) const {
    Names out;
    for (auto& e : fs::recursive_directory_iterator(under))
      if (e.is_regular_file()) out.insert(fs::relative(e.path(), under).string());
    return out;
  }

  test::Sandbox sandbox;
  fs::path dest = sandbox / "cam.jpg";
  fs::path root = sandbox / "cam";  // the archive's
  std::string pattern = (root / "%Y-%m-%d" / "%H-%M-%S.jpg").string();
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  int made = 0;
};
using Archive = LocalSave;

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

// Five captures in the same second: the pattern's name, then counters; each
// listed in the index and logged.
TEST_F(Archive, EveryCaptureMakesOneFileByThePatternNeverOverwriting) {
  const std::time_t now = std::time(nullptr);
  for (int i = 0; i < 5; ++i)
    ArchiveWorker(sink.get(), SnapshotUse(nullptr, Snapshot("JPEG " + std::to_string(i))), pattern,
                  0);
  const std::string first = ArchivePathFor(pattern, now);
  const std::string day = fs::path(first).parent_path().filename().string(),
                    stem = fs::path(first).stem().string();
  Names files = Files(root);
  ASSERT_EQ(files.size(), 6u);  // and the index
  EXPECT_TRUE(files.count(kArchiveIndexName));
  // The second may have turned during the five copies: names by pattern or counter.
  for (auto& name : files)
    EXPECT_TRUE(name == kArchiveIndexName || name.starts_with(day + "/")) << name;
  EXPECT_EQ(test::ReadFile(first), "JPEG 0");
  if (files.count(day + "/" + stem + "-2.jpg")) {
    EXPECT_EQ(test::ReadFile(root / day / (stem + "-2.jpg")), "JPEG 1");
  }
  const auto lines = sink->LogLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "ARCHIVE (" + first + ") - " + TimeText(LocalTime(now)));
  std::string index = test::ReadFile(root / kArchiveIndexName);
  EXPECT_EQ(std::count(index.begin(), index.end(), '\n'), 5);
  EXPECT_EQ(index.substr(0, index.find('\n')),
            std::to_string(now) + " " + fs::relative(first, root).string());
}

TEST_F(Archive, RetentionRemovesOnlyItsOwnOldCopies) {
  const std::time_t now = std::time(nullptr);
  const std::string source = (sandbox / "snv").string();
  test::WriteFile(source, "JPEG");
  const ArchiveOutcome old = ArchiveCopy(source.c_str(), pattern, now - 2 * 24 * 3600);
  const ArchiveOutcome fresh = ArchiveCopy(source.c_str(), pattern, now);
  ASSERT_TRUE(old.copy.ok() && fresh.copy.ok());
  // A file of someone else's, as old, beside the old copy and at the root.
  const fs::path foreign = fs::path(old.path).parent_path() / "mine.jpg";
  test::WriteFile(foreign, "x");
  test::WriteFile(root / "other.jpg", "x");
  for (const fs::path& f : {foreign, root / "other.jpg"})
    fs::last_write_time(f, fs::file_time_type::clock::now() - std::chrono::hours(72));
  EXPECT_EQ(PruneArchive(pattern, 0, now), 0);  // 0 days: keep all
  EXPECT_TRUE(fs::exists(old.path));
  EXPECT_EQ(PruneArchive(pattern, 1, now), 1);
  EXPECT_FALSE(fs::exists(old.path));
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_TRUE(fs::exists(root / "other.jpg"));
  EXPECT_TRUE(fs::exists(fresh.path));
  EXPECT_EQ(PruneArchive(pattern, 1, now), 0);  // the index forgot it
  // An emptied day folder goes; an index naming files outside the root removes nothing.
  fs::remove(foreign);
  test::WriteFile(root / kArchiveIndexName, "1 ../outside.jpg\n1 /etc/passwd\nx\n");
  test::WriteFile(sandbox / "outside.jpg", "x");
  EXPECT_EQ(PruneArchive(pattern, 1, now), 0);
  EXPECT_TRUE(fs::exists(sandbox / "outside.jpg"));
}

// The disk fills during the copy (a file size limit stands in for it): a
// failure, and neither a partial picture nor a temporary file.
TEST_F(Archive, FullDiskLeavesNoPartialFile) {
  const std::string source = (sandbox / "snv").string();
  test::WriteFile(source, std::string(200000, 'j'));
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{50000, 50000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const ArchiveOutcome outcome = ArchiveCopy(source.c_str(), pattern, std::time(nullptr));
    _exit(!outcome.copy.ok() && std::string(outcome.copy.step) == "writing the copy" ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Files(root), Names{});

  // And the worker's failure line, in the local save's style.
  ArchiveWorker(sink.get(), SnapshotUse(), (sandbox / "snv" / "x.jpg").string(), 0);
  ASSERT_EQ(sink->LogLines().size(), 1u);
  EXPECT_TRUE(Logged(sink->LogLines()[0],
                     "!!!Archive failed!!! (" + (sandbox / "snv" / "x.jpg").string() + ") - "));
}

}  // namespace
}  // namespace snapvane
