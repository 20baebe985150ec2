#include "publish/snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <utility>

#include "common/limits.h"
#include "common/time_text.h"
#include "common/ui_sink.h"
#include "common/worker_threads.h"
#include "publish/ftp_upload.h"
#include "publish/local_save.h"

namespace snapvane {
namespace {

constexpr char kSnapshotPrefix[] = "snvs";  // the platform keeps its first three letters
constexpr size_t kPrefixLettersKept = 3;
constexpr char kFallbackTempDir[] = "/tmp";
constexpr size_t kSnapshotPathCapacity = 260;  // a path buffer, terminator included

// Deletes file's picture once nobody uses it, and only while its path still
// names the file made for it.
void DeleteWhenUnused(SnapshotFile& file) {
  if (file.users != 0 || !file.made) return;
  struct stat now;
  if (::stat(file.path.c_str(), &now) == 0 && static_cast<uint64_t>(now.st_dev) == file.device &&
      static_cast<uint64_t>(now.st_ino) == file.inode) {
    ::unlink(file.path.c_str());
  }
  file.made = false;  // deleted (or gone already): never again
}

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir && *dir ? dir : kFallbackTempDir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

Snapshots::Snapshots(CaptureFn capture, std::shared_ptr<UiSink> ui,
                     std::shared_ptr<WorkerGroup> workers, Publishers publishers)
    : capture_(std::move(capture)),
      ui_(std::move(ui)),
      workers_(std::move(workers)),
      publishers_(std::move(publishers)) {}

std::string Snapshots::CurrentPath() const {
  std::lock_guard guard(lock_);
  return current_ ? current_->path : std::string();
}

int Snapshots::CurrentUsers() const {
  std::lock_guard guard(lock_);
  return current_ ? current_->users : 0;
}

// Caller holds the lock: the current snapshot gives back its own use.
void Snapshots::DropHold() {
  std::shared_ptr<SnapshotFile> current = current_;  // outlives its forgetting
  if (!current || !current->heldAsCurrent) return;
  current->heldAsCurrent = false;
  --current->users;
  ReleaseSnapshotFile(*this, *current);  // may forget the current snapshot
}

// Caller holds the lock: file becomes the current snapshot, with one use counted.
void Snapshots::MakeCurrent(const std::shared_ptr<SnapshotFile>& file) {
  DropHold();
  file->users = 1;
  current_ = file;
}

// Captures one frame into file (already current, one use counted) on the UI
// thread, outside the lock, and records the outcome.
CaptureResult Snapshots::CaptureInto(SnapshotFile& file) {
  capturing_ = true;
  CaptureResult result = capture_ ? capture_(file.path) : CaptureResult{};
  capturing_ = false;
  std::lock_guard guard(lock_);
  file.captured = result.ok;
  file.capturedAt = std::chrono::steady_clock::now();
  if (result.ok && current_.get() == &file) {
    ++file.users;
    file.heldAsCurrent = true;
  }
  return result;
}

// A new current snapshot file; when none can be made, null and the "can't open"
// error the writer would give for it.
std::shared_ptr<SnapshotFile> Snapshots::NewCurrentSnapshot(CaptureResult& result) {
  std::shared_ptr<SnapshotFile> file = MakeSnapshotFile();
  if (!file) {
    result.Add(CaptureStep::kFile, "can't open " + TempDirectory() + "/" +
                                       std::string(kSnapshotPrefix, kPrefixLettersKept) +
                                       "XXXXXX\n");
    return nullptr;
  }
  std::lock_guard guard(lock_);
  std::erase_if(made_, [](const std::weak_ptr<SnapshotFile>& f) { return f.expired(); });
  made_.push_back(file);
  MakeCurrent(file);
  return file;
}

void Snapshots::DeleteAll() {
  std::lock_guard guard(lock_);
  for (const std::weak_ptr<SnapshotFile>& weak : made_) {
    if (std::shared_ptr<SnapshotFile> file = weak.lock()) {
      const int users = std::exchange(file->users, 0);
      DeleteWhenUnused(*file);
      file->users = users;
    }
  }
  made_.clear();
  current_.reset();
}

// Starts body on a worker with running set (the use it carries is counted
// already); one that cannot start clears it again and logs failureLine.
void Snapshots::StartPublisher(bool& running, std::function<void()> body,
                               const std::string& failureLine) {
  auto run = [self = shared_from_this(), &running, body = std::move(body)] {
    body();
    std::lock_guard guard(self->lock_);
    running = false;
  };
  if (StartWorker(workers_, std::move(run))) return;
  {
    std::lock_guard guard(lock_);
    running = false;
  }
  if (ui_) ui_->AddLogLine(-1, failureLine);
}

SnapshotUse::SnapshotUse(std::shared_ptr<Snapshots> owner, std::shared_ptr<SnapshotFile> file)
    : owner_(std::move(owner)), file_(std::move(file)) {}

SnapshotUse::SnapshotUse(SnapshotUse&& other) noexcept
    : owner_(std::move(other.owner_)),
      file_(std::move(other.file_)),
      captureResult_(std::exchange(other.captureResult_, {})) {}

SnapshotUse& SnapshotUse::operator=(SnapshotUse&& other) noexcept {
  if (this != &other) {
    Release();
    owner_ = std::move(other.owner_);
    file_ = std::move(other.file_);
    captureResult_ = std::exchange(other.captureResult_, {});
  }
  return *this;
}

SnapshotUse::~SnapshotUse() { Release(); }

bool SnapshotUse::captured() const { return file_ && file_->captured; }

const char* SnapshotUse::path() const { return file_ ? file_->path.c_str() : ""; }

void SnapshotUse::Release() {
  if (!file_) return;
  std::shared_ptr<Snapshots> owner = std::move(owner_);
  std::shared_ptr<SnapshotFile> file = std::move(file_);
  if (!owner) {
    // A use of a file that no Snapshots keeps (a client that gets no picture).
    if (file->users > 0) --file->users;
    DeleteWhenUnused(*file);
    return;
  }
  std::lock_guard guard(owner->lock_);
  if (file->users > 0) --file->users;
  ReleaseSnapshotFile(*owner, *file);
  // The owner (and its lock) may go with this last reference, after the unlock.
}

void ExpireSnapshotHold(Snapshots& snapshots, bool always) {
  std::lock_guard guard(snapshots.lock_);
  const SnapshotFile* current = snapshots.current_.get();
  if (current && current->heldAsCurrent &&
      (always || std::chrono::steady_clock::now() - current->capturedAt >= kSnapshotFreshFor))
    snapshots.DropHold();
}

void ReleaseSnapshotFile(Snapshots& snapshots, SnapshotFile& file) {
  if (file.users != 0) return;
  DeleteWhenUnused(file);
  if (snapshots.current_.get() == &file) snapshots.current_.reset();
}

std::shared_ptr<SnapshotFile> MakeSnapshotFile() {
  std::string dir = TempDirectory();
  std::string name = std::string(kSnapshotPrefix, kPrefixLettersKept) + "XXXXXX";
  // The path must fit a path buffer whole.
  if (dir.size() + 1 + name.size() >= kSnapshotPathCapacity) dir = kFallbackTempDir;
  std::string path = dir + "/" + name;
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return nullptr;
  struct stat made;
  const bool known = ::fstat(fd, &made) == 0;
  ::close(fd);
  if (!known) {
    ::unlink(path.c_str());
    return nullptr;
  }
  auto file = std::make_shared<SnapshotFile>();
  file->path = std::move(path);
  file->device = static_cast<uint64_t>(made.st_dev);
  file->inode = static_cast<uint64_t>(made.st_ino);
  file->made = true;
  return file;
}

int RemoveStaleSnapshotFiles(std::chrono::seconds olderThan) {
  namespace fs = std::filesystem;
  const std::string prefix(kSnapshotPrefix, kPrefixLettersKept);
  constexpr size_t kUniqueChars = 6;  // what mkstemp puts in place of XXXXXX
  std::error_code error;
  std::vector<fs::path> candidates;
  const auto now = fs::file_time_type::clock::now();
  for (const fs::directory_entry& entry : fs::directory_iterator(TempDirectory(), error)) {
    const std::string name = entry.path().filename().string();
    struct stat st;
    if (name.size() != prefix.size() + kUniqueChars || !name.starts_with(prefix) ||
        ::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid())
      continue;
    if (now - entry.last_write_time(error) < olderThan) continue;  // maybe another run's
    candidates.push_back(fs::weakly_canonical(entry.path(), error));
  }
  if (candidates.empty()) return 0;
  // Files some process still holds open are in use, whoever made them.
  std::vector<fs::path> open;
  for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
    std::error_code fdError;
    for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
      std::error_code linkError;
      const fs::path target = fs::read_symlink(fd.path(), linkError);
      if (!linkError) open.push_back(target);
    }
  }
  int removed = 0;
  for (const fs::path& path : candidates) {
    if (std::find(open.begin(), open.end(), path) != open.end()) continue;
    removed += ::unlink(path.c_str()) == 0;
  }
  return removed;
}

CaptureResult TakePicture(Snapshots& snapshots, const PublishOrder& order) {
  // Only a capture already under way (a nested message loop) drops this one;
  // older snapshots still being read keep their own files.
  if (snapshots.capturing_) return {};

  CaptureResult result;
  std::shared_ptr<SnapshotFile> file = snapshots.NewCurrentSnapshot(result);
  if (!file) return result;
  std::shared_ptr<Snapshots> self = snapshots.shared_from_this();
  SnapshotUse own(self, file);
  result = snapshots.CaptureInto(*file);
  const bool captured = result.ok;

  SnapshotUse saveUse, ftpUse;
  {
    std::lock_guard guard(snapshots.lock_);
    // Nothing is published after a failed capture; at most one of each publisher
    // runs at a time (a slow one makes the next capture skip it, not wait).
    if (captured && order.saveFile && !snapshots.localSaveRunning_) {
      ++file->users;
      snapshots.localSaveRunning_ = true;
      saveUse = SnapshotUse(self, file);
    }
    if (captured && order.ftp && order.ftpSettings && !snapshots.ftpUploadRunning_) {
      ++file->users;
      snapshots.ftpUploadRunning_ = true;
      ftpUse = SnapshotUse(self, file);
    }
  }

  // Workers start outside the lock: their uses are already counted, and one that
  // cannot start gives its use back on this thread.
  const Snapshots::Publishers& publishers = snapshots.publishers_;
  if (saveUse.held()) {
    auto use = std::make_shared<SnapshotUse>(std::move(saveUse));
    snapshots.StartPublisher(
        snapshots.localSaveRunning_,
        [use, fileName = order.fileName, run = publishers.localSave, ui = snapshots.ui_] {
          if (run) {
            run(std::move(*use), fileName);
          } else {
            LocalSaveWorker(ui.get(), std::move(*use), fileName);
          }
        },
        "!!!Local save failed!!! (no worker thread) - " + NowText());
  }
  if (ftpUse.held()) {
    auto use = std::make_shared<SnapshotUse>(std::move(ftpUse));
    snapshots.StartPublisher(
        snapshots.ftpUploadRunning_,
        [use, settings = order.ftpSettings, run = publishers.ftpUpload, ui = snapshots.ui_] {
          if (run) {
            run(std::move(*use), *settings);
          } else {
            FtpUploadWorker(ui.get(), std::move(*use), *settings);
          }
        },
        "!!!failed to FTP image to " + order.ftpSettings->server + "!!! " + NowText());
  }
  // `own` goes last; the file stays for the current snapshot's hold (if the
  // capture succeeded) and the workers started.
  return result;
}

SnapshotUse ShareFreshSnapshot(Snapshots& snapshots, std::chrono::milliseconds freshFor) {
  std::lock_guard guard(snapshots.lock_);
  const std::shared_ptr<SnapshotFile>& current = snapshots.current_;
  if (!current || !current->captured ||
      std::chrono::steady_clock::now() - current->capturedAt >= freshFor)
    return SnapshotUse();
  ++current->users;
  return SnapshotUse(snapshots.shared_from_this(), current);
}

SnapshotUse AcquireSnapshotForClient(Snapshots& snapshots, std::chrono::milliseconds freshFor) {
  if (SnapshotUse shared = ShareFreshSnapshot(snapshots, freshFor); shared.held()) return shared;
  std::shared_ptr<Snapshots> self = snapshots.shared_from_this();
  // A record that holds no picture, for a client that cannot have one: counted
  // on its own, nobody else ever sees it.
  auto failedUse = [] {
    auto file = std::make_shared<SnapshotFile>();
    file->users = 1;
    return SnapshotUse(nullptr, std::move(file));
  };
  // A capture is under way further up this thread: its file is not finished and
  // no second capture can start, so no picture for now.
  if (snapshots.capturing_) return failedUse();
  CaptureResult result;
  std::shared_ptr<SnapshotFile> file = snapshots.NewCurrentSnapshot(result);
  if (!file) {
    SnapshotUse failed = failedUse();
    failed.SetCaptureResult(std::move(result));
    return failed;
  }
  SnapshotUse use(self, file);
  use.SetCaptureResult(snapshots.CaptureInto(*file));
  return use;
}

}  // namespace snapvane
