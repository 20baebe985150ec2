#include "publish/archive.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "common/time_text.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;

class Archive : public ::testing::Test {
 protected:
  // A captured snapshot file holding bytes, with its one use counted.
  SnapshotUse Snapshot(const std::string& bytes) {
    const std::string path = (sandbox / ("snv" + std::to_string(++made))).string();
    test::WriteFile(path, bytes);
    auto file = std::make_shared<SnapshotFile>(
        SnapshotFile{.path = path, .users = 1, .captured = true, .made = true});
    return SnapshotUse(nullptr, file);
  }
  std::set<std::string> Files(const fs::path& under) const {
    std::set<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(under))
      if (e.is_regular_file()) out.insert(fs::relative(e.path(), under).string());
    return out;
  }

  test::Sandbox sandbox;
  fs::path root = sandbox / "cam";
  std::string pattern = (root / "%Y-%m-%d" / "%H-%M-%S.jpg").string();
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  int made = 0;
};

// Five captures in the same second: the pattern's name, then counters; each
// listed in the index and logged.
TEST_F(Archive, EveryCaptureMakesOneFileByThePatternNeverOverwriting) {
  const std::time_t now = std::time(nullptr);
  for (int i = 0; i < 5; ++i)
    ArchiveWorker(sink.get(), Snapshot("JPEG " + std::to_string(i)), pattern, 0);
  const std::string first = ArchivePathFor(pattern, now);
  const std::string day = fs::path(first).parent_path().filename().string(),
                    stem = fs::path(first).stem().string();
  std::set<std::string> files = Files(root);
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
  EXPECT_EQ(Files(root), std::set<std::string>{});

  // And the worker's failure line, in the local save's style.
  ArchiveWorker(sink.get(), SnapshotUse(), (sandbox / "snv" / "x.jpg").string(), 0);
  ASSERT_EQ(sink->LogLines().size(), 1u);
  EXPECT_TRUE(sink->LogLines()[0].starts_with("!!!Archive failed!!! (" +
                                              (sandbox / "snv" / "x.jpg").string() + ") - "));
}

}  // namespace
}  // namespace snapvane
