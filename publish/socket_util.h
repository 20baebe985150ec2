#pragma once
// POSIX socket helpers: an owning descriptor, bounded waits (poll, never select),
// and the sending primitives shared by the FTP uploader and the HTTP server.
// OWNER: HTTP/streaming work. SendAll and SendFileToSocket are the contract.
#include <chrono>
#include <cstdint>

namespace snapvane {

struct AppState;

// Sends length bytes completely; stops silently at the first failure. Uses
// MSG_NOSIGNAL (a closed peer never raises SIGPIPE).
void SendAll(int socket, const char* data, int length);

// Streams the file at path in 512-byte blocks, reporting progress through
// state.ui: the size first, the bytes left after every block, 0 at the end.
void SendFileToSocket(AppState& state, int socket, const char* path);

}  // namespace snapvane
