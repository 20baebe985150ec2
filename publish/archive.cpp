#include "publish/archive.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "common/time_text.h"
#include "common/ui_sink.h"
#include "common/unique_fd.h"

namespace snapvane {
namespace {

constexpr size_t kLogLineChars = 512;
constexpr size_t kPathChars = 4096;
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kNewFolderMode = 0777;
constexpr std::time_t kSecondsPerDay = 24 * 60 * 60;
constexpr std::time_t kPruneEvery = 60 * 60;

std::string Home() {
  const char* home = std::getenv("HOME");
  return home ? home : "";
}

std::string Expanded(std::string_view pattern) {
  if (pattern.starts_with("~/")) return Home() + std::string(pattern.substr(1));
  return std::string(pattern);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p; true when folder exists as a folder afterwards.
bool MakeFolders(const std::string& folder) {
  for (size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (mkdir(part.c_str(), kNewFolderMode) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// name.ext -> name-N.ext (the extension is the last dot of the file name).
std::string Numbered(const std::string& path, int n) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)
                         ? dot
                         : path.size();
  return path.substr(0, cut) + "-" + std::to_string(n) + path.substr(cut);
}

// The path below root, or empty when it is not below it.
std::string Below(const std::string& root, const std::string& path) {
  const std::string prefix = root == "/" ? root : root + "/";
  return path.starts_with(prefix) ? path.substr(prefix.size()) : std::string();
}

// An index entry may name only a file below the root.
bool SafeEntry(const std::string& relative) {
  if (relative.empty() || relative.front() == '/') return false;
  std::stringstream parts(relative);
  for (std::string part; std::getline(parts, part, '/');)
    if (part == ".." || part.empty()) return false;
  return true;
}

// Gives temp the name target unless that exists: 0, or the errno (EEXIST: taken).
int PlaceWithoutReplacing(const std::string& temp, const std::string& target) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: a hard link is just as exclusive.
  if (link(temp.c_str(), target.c_str()) != 0) return errno;
  unlink(temp.c_str());
  return 0;
}

void SyncFolder(const std::string& folder) {
  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());  // durability only: the copy is already in place
}

std::mutex& ArchiveMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string ArchivePathFor(std::string_view pattern, std::time_t when) {
  const std::string format = Expanded(pattern);
  if (format.empty()) return {};
  const std::tm local = LocalTime(when);
  std::vector<char> out(kPathChars);
  const size_t n = std::strftime(out.data(), out.size(), format.c_str(), &local);
  return std::string(out.data(), n);
}

std::string ArchiveRoot(std::string_view pattern) {
  const std::string path = Expanded(pattern);
  const size_t code = path.find('%');
  const std::string fixed = code == std::string::npos ? path : path.substr(0, code);
  return FolderOf(fixed);
}

ArchiveOutcome ArchiveCopy(const char* source, std::string_view pattern, std::time_t when) {
  ArchiveOutcome result;
  result.path = ArchivePathFor(pattern, when);
  if (result.path.empty() || result.path.back() == '/') {
    result.copy = {"no file name", EINVAL};
    return result;
  }
  UniqueFd in(open(source, O_RDONLY | O_CLOEXEC));
  if (!in) {
    result.copy = {"opening the snapshot", errno};
    return result;
  }
  const std::string folder = FolderOf(result.path);
  if (!MakeFolders(folder)) {
    result.copy = {"making the folder", errno};
    return result;
  }
  const std::string temp = folder + "/.snapvane-archive." + std::to_string(getpid()) + ".tmp";
  UniqueFd out(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
  if (!out) {
    result.copy = {"creating a temporary file", errno};
    return result;
  }
  CopyOutcome copied = CopyAndSync(in.get(), out.get());
  if (!out.Close() && copied.ok()) copied = {"closing the copy", errno};
  if (!copied.ok()) {
    unlink(temp.c_str());
    result.copy = copied;
    return result;
  }
  // The finished file takes its name, never replacing one that exists.
  std::string target = result.path;
  int error = 0;
  for (int n = 2;; ++n) {
    error = PlaceWithoutReplacing(temp, target);
    if (error != EEXIST || n > kMaxArchiveCounter) break;
    target = Numbered(result.path, n);
  }
  if (error != 0) {
    unlink(temp.c_str());
    result.copy = {"naming the copy", error};
    return result;
  }
  result.path = target;
  // Listed, so the retention knows it as ours.
  const std::string root = ArchiveRoot(pattern);
  const std::string relative = Below(root, target);
  if (!relative.empty()) {
    UniqueFd index(open((root + "/" + kArchiveIndexName).c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kNewFileMode));
    const std::string line = std::to_string(static_cast<long long>(when)) + " " + relative + "\n";
    if (!index || !WriteAll(index.get(), line.data(), line.size()))
      std::fprintf(stderr, "Archive index %s/%s not written: %s\n", root.c_str(), kArchiveIndexName,
                   std::strerror(errno));
  }
  SyncFolder(FolderOf(target));
  return result;
}

int PruneArchive(std::string_view pattern, int days, std::time_t now) {
  if (days <= 0) return 0;
  const std::string root = ArchiveRoot(pattern);
  const std::string indexPath = root + "/" + kArchiveIndexName;
  std::ifstream index(indexPath);
  if (!index) return 0;
  const std::time_t oldest = now - static_cast<std::time_t>(days) * kSecondsPerDay;
  std::string kept;
  int removed = 0;
  bool changed = false;
  for (std::string line; std::getline(index, line);) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const std::string relative = line.substr(blank + 1);
    long long written = 0;
    if (std::sscanf(line.c_str(), "%lld", &written) != 1 || !SafeEntry(relative)) {
      changed = true;  // damaged: dropped, nothing removed for it
      continue;
    }
    if (written >= oldest) {
      kept += line + "\n";
      continue;
    }
    changed = true;
    const std::string path = root + "/" + relative;
    if (unlink(path.c_str()) == 0) ++removed;
    // Folders it leaves empty go too, up to the root (rmdir refuses any other).
    for (std::string folder = FolderOf(path); folder != root && folder.size() > root.size();
         folder = FolderOf(folder))
      if (rmdir(folder.c_str()) != 0) break;
  }
  index.close();
  if (changed) {
    const std::string temp = indexPath + ".new";
    UniqueFd out(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
    if (out && WriteAll(out.get(), kept.data(), kept.size()) && fsync(out.get()) == 0 &&
        out.Close() && rename(temp.c_str(), indexPath.c_str()) == 0)
      return removed;
    unlink(temp.c_str());
  }
  return removed;
}

void ArchiveWorker(UiSink* ui, SnapshotUse use, std::string pattern, int days) {
  const std::time_t started = std::time(nullptr);
  ArchiveOutcome outcome;
  {
    std::lock_guard guard(ArchiveMutex());
    if (use.held() && use.captured()) {
      outcome = ArchiveCopy(use.path(), pattern, started);
    } else {
      outcome.copy = {"no picture was captured", 0};
      outcome.path = ArchivePathFor(pattern, started);
    }
    use.Release();  // the snapshot is free before the retention's deletions
    static std::time_t lastPrune = 0;
    if (days > 0 && started - lastPrune >= kPruneEvery) {
      lastPrune = started;
      PruneArchive(pattern, days, started);
    }
  }
  char line[kLogLineChars];
  const std::string shown = outcome.path.empty() ? pattern : outcome.path;
  std::snprintf(line, sizeof line,
                outcome.copy.ok() ? "ARCHIVE (%s) - %.24s" : "!!!Archive failed!!! (%s) - %.24s",
                shown.c_str(), TimeText(LocalTime(started)).c_str());
  if (ui) ui->AddLogLine(-1, line);
  if (!outcome.copy.ok())
    std::fprintf(stderr, "Archive copy to %s failed: %s\n", shown.c_str(),
                 outcome.copy.Why().c_str());
}

}  // namespace snapvane
