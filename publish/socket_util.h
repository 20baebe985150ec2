#pragma once
// POSIX socket helpers: an owning descriptor, bounded waits (poll, never select),
// and the sending primitives shared by the FTP uploader and the HTTP server.
#include <chrono>
#include <cstdint>

#include "common/limits.h"
#include "common/unique_fd.h"

namespace snapvane {

class UiSink;

enum class WaitResult {
  kReady,    // the event (or an error/hang-up the next call will report) is there
  kTimeout,  // nothing happened within the time limit
  kFailed,   // the wait itself failed or the descriptor is not open
};

// Waits until fd can be read (or written) without blocking, at most timeout.
// Interrupted waits resume with the time left.
WaitResult WaitReadable(int fd, std::chrono::milliseconds timeout);
WaitResult WaitWritable(int fd, std::chrono::milliseconds timeout);

// Raises the soft limit of open descriptors to the hard one: idle browsers cost a
// descriptor each. The soft limit now in force.
long RaiseDescriptorLimit();

// Puts fd into non-blocking mode; false when that failed.
bool SetNonBlocking(int fd);

// Sends length bytes completely; stops at the first failure. True when every
// byte went out (callers that learn of failures from the peer may ignore it). Uses
// MSG_NOSIGNAL (a closed peer never raises SIGPIPE). A full send buffer is
// waited out (at most stallTimeout without progress), also on a blocking socket,
// not taken for a failure. moreFollows says that the caller sends more right after,
// so the system may hold these bytes back to fill a segment.
bool SendAll(int socket, const char* data, int length,
             std::chrono::milliseconds stallTimeout = kSendStallTimeout, bool moreFollows = false);

// Streams the file at path in 512-byte blocks, reporting progress through
// ui (may be null): the size first, the bytes left after every block, 0 at the end.
// A connection error (reset, abort, network down) stops it at once; a send that
// makes no progress for stallTimeout stops it the same way.
void SendFileToSocket(UiSink* ui, int socket, const char* path,
                      std::chrono::milliseconds stallTimeout = kSendStallTimeout);

}  // namespace snapvane
