#include "publish/local_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>

#include "app/app_state.h"
#include "common/time_text.h"
#include "common/unique_fd.h"
#include "common/ui_sink.h"

namespace snapvane {

namespace {

constexpr size_t kLogLineChars = 512;
constexpr size_t kCopyBlockBytes = 64 * 1024;
constexpr int kTempNameAttempts = 100;
constexpr mode_t kNewFileMode = 0666;   // before the umask, as for any new file
constexpr size_t kTempBaseChars = 128;  // of the destination's name, so the temp name fits

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyContents(int from, int to) {
  auto buffer = std::make_unique<char[]>(kCopyBlockBytes);
  for (;;) {
    ssize_t n = ::read(from, buffer.get(), kCopyBlockBytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!WriteAll(to, buffer.get(), static_cast<size_t>(n))) return false;
  }
}

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

// The file a rename must replace: an existing symbolic link is written through,
// as a plain copy onto the name would, instead of being replaced by a file.
std::string RenameTarget(const std::string& destination) {
  struct stat st {};
  if (::lstat(destination.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(destination.c_str(), resolved)) return resolved;
  }
  return destination;
}

void SyncFolder(const std::string& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());  // durability only; the copy is already in place
}

}  // namespace

bool ReplaceFileWithCopy(const char* source, const std::string& destination) {
  if (!source || !*source || destination.empty()) return false;
  const std::string target = RenameTarget(destination);

  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0) {
    if (!S_ISREG(existing.st_mode)) return false;
    // A read-only destination is not replaced, as a plain copy onto it would fail.
    if (::access(target.c_str(), W_OK) != 0) return false;
  }

  UniqueFd in(::open(source, O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return false;

  std::string tempPath;
  UniqueFd out(CreateTempBeside(target, tempPath));
  if (out.get() < 0) return false;

  bool ok = CopyContents(in.get(), out.get()) && ::fsync(out.get()) == 0;
  ok = out.Close() && ok;
  ok = ok && ::rename(tempPath.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(tempPath.c_str());
    return false;
  }
  SyncFolder(FolderOf(target));
  return true;
}

void LocalSaveWorker(AppState& state, SnapshotUse use, std::string fileName) {
  // The line shows when the worker started, not when the copy ended.
  const std::tm started = LocalTime(std::time(nullptr));

  // A failed capture leaves no picture: the old copy is kept rather than replaced
  // by an empty or partial file.
  const bool copied = use.held() && use.captured() && ReplaceFileWithCopy(use.path(), fileName);

  char line[kLogLineChars];
  std::snprintf(line, sizeof line,
                copied ? "FILE (%s) - %.24s" : "!!!Local save failed!!! (%s) - %.24s",
                fileName.c_str(), TimeText(started).c_str());

  // Never under the lock: the log belongs to the UI side.
  if (state.ui) state.ui->AddLogLine(-1, line);

  use.Release();
}

}  // namespace snapvane
