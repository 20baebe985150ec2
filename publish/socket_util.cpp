#include "publish/socket_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "common/ui_sink.h"

namespace snapvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kBlockBytes = 512;

WaitResult WaitFor(int fd, short events, milliseconds timeout) {
  if (fd < 0) return WaitResult::kFailed;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = milliseconds(0);
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kFailed;
    }
    if (n == 0) return WaitResult::kTimeout;
    if (p.revents & POLLNVAL) return WaitResult::kFailed;
    return WaitResult::kReady;  // includes POLLERR/POLLHUP: the next call reports them
  }
}

// Failures after which the connection is gone: the transfer stops at once.
// Linux reports a reset peer on send as EPIPE as often as ECONNRESET.
bool IsConnectionLost(int error) {
  return error == ENETDOWN || error == ECONNABORTED || error == ECONNRESET || error == EPIPE;
}

// Failures that waiting for the socket can cure.
bool IsTransient(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ENOBUFS ||
         error == ENOMEM;
}

// Hands out a file in 512-byte blocks while reading it in larger pieces. A
// block is shorter only at the end of the file; a failed read ends the file like
// its end.
class BlockReader {
 public:
  static constexpr size_t kReadBytes = 32 * kBlockBytes;

  explicit BlockReader(int fd) : fd_(fd) {}

  std::pair<const char*, size_t> Next() {
    if (at_ == have_) {
      at_ = have_ = 0;
      if (!ended_) Fill();
    }
    const size_t size = std::min(kBlockBytes, have_ - at_);
    const char* data = buffer_ + at_;
    at_ += size;
    return {data, size};
  }

 private:
  void Fill() {
    while (have_ < sizeof buffer_) {
      const size_t wanted = sizeof buffer_ - have_;
      ssize_t got = read(fd_, buffer_ + have_, wanted);
      if (got < 0 && errno == EINTR) continue;
      if (got > 0) have_ += static_cast<size_t>(got);
      // A regular file reads short only at its end.
      if (got < static_cast<ssize_t>(wanted)) {
        ended_ = true;
        return;
      }
    }
  }

  int fd_;
  char buffer_[kReadBytes];
  size_t have_ = 0;
  size_t at_ = 0;
  bool ended_ = false;
};

milliseconds TimeLeft(Clock::time_point lastProgress, milliseconds stallTimeout) {
  return std::chrono::duration_cast<milliseconds>(lastProgress + stallTimeout - Clock::now());
}

void Report(UiSink* ui, int socket, int32_t remaining) {
  if (ui) ui->ReportTransferProgress(socket, remaining);
}

}  // namespace

WaitResult WaitReadable(int fd, milliseconds timeout) { return WaitFor(fd, POLLIN, timeout); }

WaitResult WaitWritable(int fd, milliseconds timeout) { return WaitFor(fd, POLLOUT, timeout); }

long RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? LONG_MAX : static_cast<long>(limit.rlim_cur);
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SendAll(int socket, const char* data, int length, milliseconds stallTimeout,
             bool moreFollows) {
  // Never blocks inside send: a full buffer is waited out here, within the bound.
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (moreFollows ? MSG_MORE : 0);
  int sentCount = 0;
  auto lastProgress = Clock::now();
  while (sentCount < length) {
    ssize_t n = send(socket, data + sentCount, static_cast<size_t>(length - sentCount), flags);
    if (n > 0) {
      sentCount += static_cast<int>(n);
      lastProgress = Clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left = TimeLeft(lastProgress, stallTimeout);
      if (left.count() > 0 && WaitWritable(socket, left) == WaitResult::kReady) continue;
    }
    return false;  // anything else ends it
  }
  return true;
}

void SendFileToSocket(UiSink* ui, int socket, const char* path, milliseconds stallTimeout) {
  UniqueFd file(path ? open(path, O_RDONLY | O_CLOEXEC) : -1);
  int32_t total = 0;
  if (file) {
    struct stat st {};
    if (fstat(file.get(), &st) == 0)
      total = static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
    if (total > static_cast<int32_t>(BlockReader::kReadBytes))  // else one read takes it all
      posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  int32_t remaining = total;
  Report(ui, socket, total);

  if (file) {
    BlockReader reader(file.get());
    for (;;) {
      const auto [block, got] = reader.Next();
      bool stopped = false;
      size_t position = 0;
      auto lastProgress = Clock::now();
      while (position < got) {
        const size_t rest = got - position;
        // Blocks still to come are announced, so the system packs them into full
        // segments instead of one packet per block.
        const bool more = remaining > static_cast<int32_t>(rest);
        ssize_t n = send(socket, block + position, rest,
                         MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
        if (n > 0) {
          position += static_cast<size_t>(n);
          remaining -= static_cast<int32_t>(n);
          lastProgress = Clock::now();
          continue;
        }
        if (n < 0 && (IsConnectionLost(errno) || !IsTransient(errno))) {
          // Connection lost, or an error no wait can cure: stop as after a reset.
          stopped = true;
          break;
        }
        auto left = TimeLeft(lastProgress, stallTimeout);
        if (left.count() <= 0 || WaitWritable(socket, left) != WaitResult::kReady) {
          stopped = true;  // stalled, or the wait failed
          break;
        }
      }
      Report(ui, socket, remaining);
      if (got != kBlockBytes || stopped) break;
    }
  }
  Report(ui, socket, 0);
}

}  // namespace snapvane
