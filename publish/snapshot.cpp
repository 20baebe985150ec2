#include "publish/snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <utility>

#include "app/app_state.h"
#include "app/main_window_port.h"
#include "common/time_text.h"
#include "common/ui_sink.h"
#include "common/worker_threads.h"
#include "capture/capture_control.h"
#include "common/fixed_text.h"
#include "common/limits.h"
#include "common/time_text.h"
#include "common/ui_sink.h"
#include "publish/ftp_upload.h"
#include "publish/local_save.h"

namespace snapvane {
namespace {

constexpr int kSaveFileCheck = 1005;
constexpr int kFileNameEdit = 1006;
constexpr int kEnableFtpCheck = 1017;
constexpr char kSnapshotPrefix[] = "snvs";  // the platform keeps its first three letters
constexpr size_t kPrefixLettersKept = 3;
constexpr char kFallbackTempDir[] = "/tmp";

std::mutex& OverridesMutex() {
  static std::mutex m;
  return m;
}
PublisherOverrides& Overrides() {
  static PublisherOverrides overrides;
  return overrides;
}

// Caller holds the lock: the mirror of the current file's count in AppState.
void SyncCurrentUsers(AppState& state) {
  state.snapshotUsers = state.snapshot ? state.snapshot->users : 0;
}

// Caller holds the lock: the current snapshot gives back its own use.
void DropHold(AppState& state) {
  std::shared_ptr<SnapshotFile> current = state.snapshot;  // outlives its forgetting
  if (!current || !current->heldAsCurrent) return;
  current->heldAsCurrent = false;
  --current->users;
  ReleaseSnapshotFile(state, *current);  // may forget the current snapshot
  SyncCurrentUsers(state);
}

// Caller holds the lock: file becomes the current snapshot, with one use counted.
void MakeCurrent(AppState& state, const std::shared_ptr<SnapshotFile>& file) {
  DropHold(state);
  file->users = 1;
  state.snapshot = file;
  CopyText(state.snapshotPath, file->path);
  SyncCurrentUsers(state);
}

std::string Now24() { return TimeText(LocalTime(std::time(nullptr))); }

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir && *dir ? dir : kFallbackTempDir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Captures one frame into file (already current, one use counted) on the UI
// thread, outside the lock, and records the outcome.
CaptureResult CaptureInto(AppState& state, SnapshotFile& file) {
  state.capturing = true;
  const EncodeOptions options{state.quality, state.caption ? state.captionStyle.get() : nullptr,
                              state.camera.Burner()};
  CaptureResult result = CaptureSingleFrame(state.camera, file.path, options);
  const bool captured = result.ok;
  state.capturing = false;
  std::lock_guard guard(state.lock);
  file.captured = captured;
  file.capturedAt = std::chrono::steady_clock::now();
  if (captured && state.snapshot.get() == &file) {
    ++file.users;
    file.heldAsCurrent = true;
    SyncCurrentUsers(state);
  }
  return result;
}

// A new current snapshot file; when none can be made, null and the "can't open"
// error the writer would give for it.
std::shared_ptr<SnapshotFile> NewCurrentSnapshot(AppState& state, CaptureResult& result) {
  std::shared_ptr<SnapshotFile> file = MakeSnapshotFile();
  if (!file) {
    result.Add(CaptureStep::kFile, "can't open " + TempDirectory() + "/" +
                                       std::string(kSnapshotPrefix, kPrefixLettersKept) +
                                       "XXXXXX\n");
    return nullptr;
  }
  std::lock_guard guard(state.lock);
  MakeCurrent(state, file);
  return file;
}

// A use of a record that holds no picture, for a client that cannot have one.
SnapshotUse FailedUse(AppState& state) {
  auto file = std::make_shared<SnapshotFile>();
  file->users = 1;  // counted on its own record: nobody else ever sees it
  return SnapshotUse(state.shared_from_this(), std::move(file));
}

}  // namespace

SnapshotUse::SnapshotUse(std::shared_ptr<AppState> state, std::shared_ptr<SnapshotFile> file)
    : state_(std::move(state)), file_(std::move(file)) {}

SnapshotUse::SnapshotUse(SnapshotUse&& other) noexcept
    : state_(std::move(other.state_)),
      file_(std::move(other.file_)),
      captureResult_(std::exchange(other.captureResult_, {})) {}

SnapshotUse& SnapshotUse::operator=(SnapshotUse&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::move(other.state_);
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
  std::shared_ptr<AppState> state = std::move(state_);
  std::shared_ptr<SnapshotFile> file = std::move(file_);
  if (!state) return;
  {
    std::lock_guard guard(state->lock);
    if (file->users > 0) --file->users;
    ReleaseSnapshotFile(*state, *file);
    SyncCurrentUsers(*state);
  }
  // The state (and its lock) may go with this last reference, after the unlock.
}

void ExpireSnapshotHold(AppState& state, bool always) {
  std::lock_guard guard(state.lock);
  const SnapshotFile* current = state.snapshot.get();
  if (current && current->heldAsCurrent &&
      (always || std::chrono::steady_clock::now() - current->capturedAt >= kSnapshotFreshFor))
    DropHold(state);
}

void ReleaseSnapshotFile(AppState& state, SnapshotFile& file) {
  if (file.users != 0) return;
  if (file.made) {
    struct stat now;
    if (::stat(file.path.c_str(), &now) == 0 && static_cast<uint64_t>(now.st_dev) == file.device &&
        static_cast<uint64_t>(now.st_ino) == file.inode) {
      ::unlink(file.path.c_str());
    }
    file.made = false;  // deleted (or gone already): never again
  }
  if (state.snapshot.get() == &file) {
    state.snapshot.reset();
    state.snapshotPath[0] = '\0';
    state.snapshotUsers = 0;
  }
}

std::shared_ptr<SnapshotFile> MakeSnapshotFile() {
  std::string dir = TempDirectory();
  std::string name = std::string(kSnapshotPrefix, kPrefixLettersKept) + "XXXXXX";
  // The path must fit AppState::snapshotPath whole.
  if (dir.size() + 1 + name.size() >= sizeof(AppState::snapshotPath)) dir = kFallbackTempDir;
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

PublisherOverrides SetPublisherOverrides(PublisherOverrides overrides) {
  std::lock_guard guard(OverridesMutex());
  return std::exchange(Overrides(), std::move(overrides));
}

CaptureResult TakePicture(AppState& state) {
  MainWindowPort* window = state.mainWindow;
  if (window) {
    state.saveFile = window->IsChecked(kSaveFileCheck);
    if (state.saveFile) {
      CopyText(state.fileName, window->GetText(kFileNameEdit));
      state.saveFile = state.fileName[0] != '\0';
    }
    state.ftp = window->IsChecked(kEnableFtpCheck);
    if (state.ftp && (!state.ftpUser[0] || !state.ftpFile[0] || !state.ftpServer[0])) {
      state.ftp = 0;
      window->SetChecked(kEnableFtpCheck, false);
    }
  }
  // Only a capture already under way (a nested message loop) drops this one;
  // older snapshots still being read keep their own files.
  if (state.capturing) return {};

  CaptureResult result;
  std::shared_ptr<SnapshotFile> file = NewCurrentSnapshot(state, result);
  if (!file) return result;
  SnapshotUse own(state.shared_from_this(), file);
  result = CaptureInto(state, *file);
  const bool captured = result.ok;

  PublisherOverrides overrides;
  {
    std::lock_guard guard(OverridesMutex());
    overrides = Overrides();
  }
  SnapshotUse saveUse, ftpUse;
  {
    std::lock_guard guard(state.lock);
    // Nothing is published after a failed capture; at most one of each publisher
    // runs at a time (a slow one makes the next capture skip it, not wait).
    if (captured && state.saveFile && !state.localSaveRunning) {
      ++file->users;
      state.localSaveRunning = true;
      saveUse = SnapshotUse(state.shared_from_this(), file);
    }
    if (captured && state.ftp && !state.ftpUploadRunning) {
      ++file->users;
      state.ftpUploadRunning = true;
      ftpUse = SnapshotUse(state.shared_from_this(), file);
    }
    SyncCurrentUsers(state);
  }

  // Workers start outside the lock: their uses are already counted, and one that
  // cannot start gives its use back on this thread.
  AppState* st = &state;
  if (saveUse.held()) {
    auto use = std::make_shared<SnapshotUse>(std::move(saveUse));
    std::string fileName = state.fileName;
    auto run = overrides.localSave;
    bool started = StartWorker(state.workers, [st, use, fileName, run] {
      if (run) {
        run(*st, std::move(*use), fileName);
      } else {
        LocalSaveWorker(*st, std::move(*use), fileName);
      }
      std::lock_guard guard(st->lock);
      st->localSaveRunning = false;
    });
    if (!started) {
      {
        std::lock_guard guard(state.lock);
        state.localSaveRunning = false;
      }
      if (state.ui) {
        state.ui->AddLogLine(-1, "!!!Local save failed!!! (no worker thread) - " + Now24());
      }
    }
  }
  if (ftpUse.held()) {
    auto use = std::make_shared<SnapshotUse>(std::move(ftpUse));
    FtpSettings settings = CopyFtpSettings(state);
    auto run = overrides.ftpUpload;
    std::string server = settings.server;
    bool started = StartWorker(state.workers, [st, use, settings, run] {
      if (run) {
        run(*st, std::move(*use));
      } else {
        FtpUploadWorker(*st, std::move(*use), settings);
      }
      std::lock_guard guard(st->lock);
      st->ftpUploadRunning = false;
    });
    if (!started) {
      {
        std::lock_guard guard(state.lock);
        state.ftpUploadRunning = false;
      }
      if (state.ui) {
        state.ui->AddLogLine(-1, "!!!failed to FTP image to " + server + "!!! " + Now24());
      }
    }
  }
  // `own` goes last; the file stays for the current snapshot's hold (if the
  // capture succeeded) and the workers started.
  return result;
}

SnapshotUse AcquireSnapshotForClient(AppState& state) {
  {
    std::lock_guard guard(state.lock);
    const std::shared_ptr<SnapshotFile>& current = state.snapshot;
    if (current && current->captured &&
        std::chrono::steady_clock::now() - current->capturedAt < kSnapshotFreshFor) {
      ++current->users;
      SyncCurrentUsers(state);
      return SnapshotUse(state.shared_from_this(), current);
    }
  }
  // A capture is under way further up this thread (a nested message loop): its
  // file is not finished and no second capture can start, so no picture for now.
  if (state.capturing) return FailedUse(state);
  CaptureResult result;
  std::shared_ptr<SnapshotFile> file = NewCurrentSnapshot(state, result);
  if (!file) {
    SnapshotUse failed = FailedUse(state);
    failed.SetCaptureResult(std::move(result));
    return failed;
  }
  SnapshotUse use(state.shared_from_this(), file);
  use.SetCaptureResult(CaptureInto(state, *file));
  return use;
}

}  // namespace snapvane
