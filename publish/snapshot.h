#pragma once
// Snapshot files and capture dispatch. Every snapshot file has its own user count
// (under Snapshots' lock); the release that takes it to 0 deletes that file. A
// freshly captured current snapshot holds one use of its own until it is
// kSnapshotFreshFor old or replaced, so the browsers of that second share it even
// when their requests do not overlap.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_error.h"
#include "common/limits.h"

namespace snapvane {

class Snapshots;
class UiSink;
class WorkerGroup;
struct FtpSettings;

struct SnapshotFile {
  std::string path;
  int32_t users = 0;           // under Snapshots' lock
  bool captured = false;       // the capture succeeded and the file holds a picture
  bool heldAsCurrent = false;  // one of the users is the fresh current snapshot's hold
  std::chrono::steady_clock::time_point capturedAt{};
  // Identity of the file made for this record: the release deletes the path only
  // while it still names this file, never a later one that reused the name.
  uint64_t device = 0, inode = 0;
  bool made = false;
};

// One counted use of one snapshot file. Move-only; releasing (explicitly with
// Release, or on destruction) is the release step, done exactly once.
class SnapshotUse {
 public:
  SnapshotUse() = default;
  // Takes over a use already counted on file (under the lock) by the caller.
  SnapshotUse(std::shared_ptr<Snapshots> owner, std::shared_ptr<SnapshotFile> file);
  SnapshotUse(SnapshotUse&& other) noexcept;
  SnapshotUse& operator=(SnapshotUse&& other) noexcept;
  SnapshotUse(const SnapshotUse&) = delete;
  SnapshotUse& operator=(const SnapshotUse&) = delete;
  ~SnapshotUse();

  bool held() const { return file_ != nullptr; }
  // The picture is there to publish (false after a failed capture).
  bool captured() const;
  const char* path() const;  // stable while held
  // The record used: one record stands for one picture, never rewritten.
  std::shared_ptr<const SnapshotFile> file() const { return file_; }
  void Release();
  // What the capture made for this use has to tell the person (nothing when the
  // use shares an earlier picture); taken once, by whoever shows it.
  CaptureResult TakeCaptureResult() { return std::exchange(captureResult_, {}); }
  void SetCaptureResult(CaptureResult result) { captureResult_ = std::move(result); }

 private:
  std::shared_ptr<Snapshots> owner_;
  std::shared_ptr<SnapshotFile> file_;
  CaptureResult captureResult_;
};

// Where one picture goes besides the browsers: decided by the caller from the
// switches when the capture starts, copied so later edits do not reach it.
struct PublishOrder {
  bool saveFile = false;
  std::string fileName;
  bool ftp = false;
  std::shared_ptr<const FtpSettings> ftpSettings;  // set when ftp
};

// The snapshot files of one program: the current one, the uses of each, whether
// a capture runs and which publishers do. Captures run on the UI thread; uses
// are given back from any thread.
class Snapshots : public std::enable_shared_from_this<Snapshots> {
 public:
  // Captures one frame into the JPEG file at path (UI thread).
  using CaptureFn = std::function<CaptureResult(const std::string& path)>;
  // What runs on the worker threads TakePicture starts; empty members mean the
  // real LocalSaveWorker and FtpUploadWorker (tests put their own).
  struct Publishers {
    std::function<void(SnapshotUse, const std::string& fileName)> localSave;
    std::function<void(SnapshotUse, const FtpSettings&)> ftpUpload;
  };

  Snapshots(CaptureFn capture, std::shared_ptr<UiSink> ui, std::shared_ptr<WorkerGroup> workers,
            Publishers publishers = {});

  // The current snapshot's path (empty: none) and its count of uses.
  std::string CurrentPath() const;
  int CurrentUsers() const;
  // At exit: deletes every snapshot file still made, whoever still uses it (a
  // publisher that outlives the exit finds it gone), so none is left behind.
  void DeleteAll();

 private:
  friend class SnapshotUse;
  friend CaptureResult TakePicture(Snapshots&, const PublishOrder&);
  friend SnapshotUse AcquireSnapshotForClient(Snapshots&, std::chrono::milliseconds);
  friend SnapshotUse ShareFreshSnapshot(Snapshots&, std::chrono::milliseconds);
  friend void ExpireSnapshotHold(Snapshots&, bool);
  friend void ReleaseSnapshotFile(Snapshots&, SnapshotFile&);

  std::shared_ptr<SnapshotFile> NewCurrentSnapshot(CaptureResult& result);
  CaptureResult CaptureInto(SnapshotFile& file);
  void MakeCurrent(const std::shared_ptr<SnapshotFile>& file);
  void DropHold();
  void StartPublisher(bool& running, std::function<void()> body, const std::string& failureLine);

  CaptureFn capture_;
  std::shared_ptr<UiSink> ui_;
  std::shared_ptr<WorkerGroup> workers_;
  Publishers publishers_;
  mutable std::mutex lock_;  // counts, the current snapshot, the running publishers
  std::shared_ptr<SnapshotFile> current_;
  std::vector<std::weak_ptr<SnapshotFile>> made_;  // every file made, while it lives
  bool capturing_ = false;                         // UI thread
  bool localSaveRunning_ = false;                  // under lock_
  bool ftpUploadRunning_ = false;                  // under lock_
};

// UI thread: captures one frame into a new snapshot file and, when the capture
// succeeded, starts the local save and the FTP upload the order asks for (each
// only when none of its kind is still running). Dropped only while another
// capture is in progress; older files still being read stay for their readers.
// Returns what the capture has to tell the person, for the caller to show.
CaptureResult TakePicture(Snapshots& snapshots, const PublishOrder& order);
// UI thread, for a new HTTP client: shares the current snapshot when it was taken
// less than freshFor ago, else captures a fresh one. The use belongs to
// the client. After a failed capture, or during one, the use is held but
// captured() is false: the client is to get an error, no picture. The use
// carries its capture's result (TakeCaptureResult).
SnapshotUse AcquireSnapshotForClient(Snapshots& snapshots,
                                     std::chrono::milliseconds freshFor = kSnapshotFreshFor);
// Any thread: a use of the current snapshot when it was taken less than freshFor
// ago; else nothing held (a capture is needed, which only the UI thread makes).
SnapshotUse ShareFreshSnapshot(Snapshots& snapshots,
                               std::chrono::milliseconds freshFor = kSnapshotFreshFor);
// UI thread: gives back the current snapshot's own use once it is
// kSnapshotFreshFor old (or at once when `always`); unread, the file goes.
void ExpireSnapshotHold(Snapshots& snapshots, bool always = false);
// Caller holds the lock: deletes file when its count is 0 (and forgets it when
// current).
void ReleaseSnapshotFile(Snapshots& snapshots, SnapshotFile& file);

// A new empty snapshot file from mkstemp in $TMPDIR (else /tmp), named from the
// first three letters of the prefix "snvs". Null when none could be made.
std::shared_ptr<SnapshotFile> MakeSnapshotFile();

// At start: removes the snapshot files an earlier run left behind (killed, or
// crashed): our prefix and name shape, ours, older than olderThan and open in no
// process. Returns how many went.
int RemoveStaleSnapshotFiles(std::chrono::seconds olderThan = std::chrono::minutes(2));

}  // namespace snapvane
