#include "publish/socket_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "app/app_state.h"
#include "app/ui_sink.h"

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

milliseconds TimeLeft(Clock::time_point lastProgress, milliseconds stallTimeout) {
  return std::chrono::duration_cast<milliseconds>(lastProgress + stallTimeout - Clock::now());
}

void Report(AppState& state, int socket, int32_t remaining) {
  if (state.ui) state.ui->ReportTransferProgress(socket, remaining);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int UniqueFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

WaitResult WaitReadable(int fd, milliseconds timeout) { return WaitFor(fd, POLLIN, timeout); }

WaitResult WaitWritable(int fd, milliseconds timeout) { return WaitFor(fd, POLLOUT, timeout); }

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void SendAll(int socket, const char* data, int length, milliseconds stallTimeout) {
  int sentCount = 0;
  auto lastProgress = Clock::now();
  while (sentCount < length) {
    ssize_t n =
        send(socket, data + sentCount, static_cast<size_t>(length - sentCount), MSG_NOSIGNAL);
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
    return;  // anything else ends it silently
  }
}

void SendFileToSocket(AppState& state, int socket, const char* path, milliseconds stallTimeout) {
  UniqueFd file(path ? open(path, O_RDONLY | O_CLOEXEC) : -1);
  int32_t total = 0;
  if (file) {
    struct stat st {};
    if (fstat(file.get(), &st) == 0)
      total = static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
    posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  int32_t remaining = total;
  Report(state, socket, total);

  if (file) {
    char block[kBlockBytes];
    for (;;) {
      ssize_t got;
      do {
        got = read(file.get(), block, sizeof block);
      } while (got < 0 && errno == EINTR);
      if (got < 0) got = 0;  // a failed read ends the file like its end

      bool stopped = false;
      size_t position = 0;
      auto lastProgress = Clock::now();
      while (position < static_cast<size_t>(got)) {
        auto left = TimeLeft(lastProgress, stallTimeout);
        if (left.count() <= 0 || WaitWritable(socket, left) != WaitResult::kReady) {
          stopped = true;  // stalled, or the wait failed
          break;
        }
        ssize_t n =
            send(socket, block + position, static_cast<size_t>(got) - position, MSG_NOSIGNAL);
        if (n > 0) {
          position += static_cast<size_t>(n);
          remaining -= static_cast<int32_t>(n);
          lastProgress = Clock::now();
        } else if (n < 0 && (IsConnectionLost(errno) || !IsTransient(errno))) {
          // Connection lost, or an error no wait can cure: stop as after a reset.
          stopped = true;
          break;
        }
      }
      Report(state, socket, remaining);
      if (got != static_cast<ssize_t>(kBlockBytes) || stopped) break;
    }
  }
  Report(state, socket, 0);
}

}  // namespace snapvane
