#include "publish/local_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/time_text.h"
#include "common/ui_sink.h"
#include "common/unique_fd.h"

namespace snapvane {

namespace {

constexpr size_t kLogLineChars = 512;
constexpr size_t kCopyBlockBytes = 64 * 1024;
constexpr int kTempNameAttempts = 100;
constexpr mode_t kNewFileMode = 0666;   // before the umask, as for any new file
constexpr size_t kTempBaseChars = 128;  // of the destination's name, so the temp name fits


std::string FolderOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A new temporary file beside destination, created with the usual permissions of
// a new file (the umask applies), so the copy is as readable as a plain copy.
int CreateTempBeside(const std::string& destination, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(destination);
  const std::string base = BaseNameOf(destination).substr(0, kTempBaseChars);
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%lx.tmp", static_cast<long>(getpid()),
                  counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
    tempPath = folder + "/." + base + suffix;
    int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
  }
  return -1;
}


// Writes into the existing file as a plain copy does: its inode, links, owner,
// group and mode stay; a dangling symbolic link gets its target created.
CopyOutcome WriteInPlace(int in, const std::string& destination) {
  UniqueFd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
  if (!out) return {"opening the file for writing", errno};
  CopyOutcome outcome = CopyAndSync(in, out.get());
  if (!out.Close() && outcome.ok()) return {"closing the file", errno};
  return outcome;
}

// Gives the temporary file the owner, group and mode of the file it replaces.
// False when that is not possible (another owner, a group we are not in).
bool LookLike(int fd, const struct stat& existing) {
  // fchown first: it may clear set-id bits that fchmod then restores.
  return ::fchown(fd, existing.st_uid, existing.st_gid) == 0 &&
         ::fchmod(fd, existing.st_mode & 07777) == 0;
}

// The folder forbids creating or replacing names, though the file may be writable.
bool FolderRefused(int error) { return error == EACCES || error == EPERM; }

void SyncFolder(const std::string& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());  // durability only; the copy is already in place
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

CopyOutcome CopyAndSync(int in, int out) {
  if (::lseek(in, 0, SEEK_SET) < 0) return {"reading the snapshot", errno};
  auto buffer = std::make_unique<char[]>(kCopyBlockBytes);
  for (;;) {
    const ssize_t n = ::read(in, buffer.get(), kCopyBlockBytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {"reading the snapshot", errno};
    if (n == 0) break;
    if (!WriteAll(out, buffer.get(), static_cast<size_t>(n))) return {"writing the copy", errno};
  }
  if (::fsync(out) != 0) return {"flushing the copy", errno};
  return {};
}

std::string CopyOutcome::Why() const {
  if (ok()) return {};
  return error ? std::string(step) + ": " + std::strerror(error) : std::string(step);
}

CopyOutcome ReplaceFileWithCopy(const char* source, const std::string& destination) {
  if (!source || !*source || destination.empty()) return {"no file name", EINVAL};
  UniqueFd in(::open(source, O_RDONLY | O_CLOEXEC));
  if (!in) return {"opening the snapshot", errno};

  std::string target = destination;
  struct stat link {};
  if (::lstat(destination.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // A link stays a link: its target is replaced, or written through to when the
    // link dangles (as a plain copy onto the name would).
    char resolved[PATH_MAX];
    if (!::realpath(destination.c_str(), resolved)) return WriteInPlace(in.get(), destination);
    target = resolved;
  }

  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists) {
    if (!S_ISREG(existing.st_mode))
      return {"not a regular file", S_ISDIR(existing.st_mode) ? EISDIR : EINVAL};
    // A read-only destination is not replaced, as a plain copy onto it would fail.
    if (::access(target.c_str(), W_OK) != 0) return {"checking the file", errno};
    // A new file under the name would break the other links to the picture.
    if (existing.st_nlink > 1) return WriteInPlace(in.get(), target);
  }

  std::string tempPath;
  UniqueFd out(CreateTempBeside(target, tempPath));
  if (!out) {
    const int error = errno;
    if (exists && FolderRefused(error)) return WriteInPlace(in.get(), target);
    return {"creating a temporary file beside it", error};
  }
  if (exists && !LookLike(out.get(), existing)) {
    // The replacement would change who may read the picture.
    out.Reset();
    ::unlink(tempPath.c_str());
    return WriteInPlace(in.get(), target);
  }

  CopyOutcome outcome = CopyAndSync(in.get(), out.get());
  if (!out.Close() && outcome.ok()) outcome = {"closing the copy", errno};
  if (!outcome.ok()) {
    ::unlink(tempPath.c_str());
    return outcome;
  }
  if (::rename(tempPath.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(tempPath.c_str());
    // A shared folder (sticky bit) may refuse to replace another user's file.
    if (exists && FolderRefused(error)) return WriteInPlace(in.get(), target);
    return {"renaming the copy into place", error};
  }
  SyncFolder(FolderOf(target));
  return {};
}

void LocalSaveWorker(UiSink* ui, SnapshotUse use, std::string fileName) {
  // The line shows when the worker started, not when the copy ended.
  const std::tm started = LocalTime(std::time(nullptr));

  // A failed capture leaves no picture: the old copy is kept rather than replaced
  // by an empty or partial file.
  CopyOutcome outcome{"no picture was captured", 0};
  if (use.held() && use.captured()) outcome = ReplaceFileWithCopy(use.path(), fileName);
  const bool copied = outcome.ok();

  char line[kLogLineChars];
  std::snprintf(line, sizeof line,
                copied ? "FILE (%s) - %.24s" : "!!!Local save failed!!! (%s) - %.24s",
                fileName.c_str(), TimeText(started).c_str());

  // Never under the lock: the log belongs to the UI side.
  if (ui) ui->AddLogLine(-1, line);
  // The window's line stays short; the reason goes to standard error.
  if (!copied)
    std::fprintf(stderr, "Local save to %s failed: %s\n", fileName.c_str(), outcome.Why().c_str());

  use.Release();
}

}  // namespace snapvane
