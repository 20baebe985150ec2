#include "publish/ftp_tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/ui_sink.h"
#include "common/unique_fd.h"
#include "publish/socket_util.h"

namespace snapvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kTlsFileChunk = 16 * 1024;  // one TLS record's worth of the picture
constexpr size_t kSha256Bytes = 32;
constexpr size_t kDrainPiece = 4096;

// One context for the process: the system's trust store is read once, and data
// connections can resume the control connection's session.
SSL_CTX* Context() {
  static SSL_CTX* const context = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    if (!c) return c;
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(c);
    // The chain is judged after the handshake, so the reason and the fingerprint
    // can be told; nothing is sent on the connection before that.
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    return c;
  }();
  return context;
}

std::string Fingerprint(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!cert || X509_digest(cert, EVP_sha256(), digest, &length) != 1) return {};
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned i = 0; i < length; ++i) {
    if (i) out += ':';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

// The first queued OpenSSL error, or the system's, as words.
std::string LastError(int sslError) {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e != 0) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
  }
  if (sslError == SSL_ERROR_SYSCALL && errno != 0) return std::strerror(errno);
  return "the server closed the connection";
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

TlsStream::~TlsStream() { SSL_free(ssl_); }

bool TlsStream::resumed() const { return SSL_session_reused(ssl_) == 1; }

bool TlsStream::WaitAfter(int result, Deadline deadline, bool& timedOut) {
  const int error = SSL_get_error(ssl_, result);
  if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return !(timedOut = true);
  const WaitResult ready =
      error == SSL_ERROR_WANT_READ ? WaitReadable(fd_, left) : WaitWritable(fd_, left);
  if (ready == WaitResult::kTimeout) timedOut = true;
  return ready == WaitResult::kReady;
}

std::unique_ptr<TlsStream> TlsStream::Connect(int fd, const std::string& host,
                                              const std::string& pin, const TlsStream* resume,
                                              Deadline deadline, TlsFailure& failure) {
  failure = {};
  SSL_CTX* context = Context();
  SSL* ssl = context ? SSL_new(context) : nullptr;
  if (!ssl) {
    failure.why = "TLS could not be set up: " + LastError(SSL_ERROR_SSL);
    return nullptr;
  }
  std::unique_ptr<TlsStream> stream(new TlsStream(ssl, fd));
  SSL_set_fd(ssl, fd);
  if (host.empty()) {
    // A data connection: its certificate is compared with the control connection's.
  } else if (IsAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl, host.c_str());
    SSL_set1_host(ssl, host.c_str());
  }
  if (resume) {
    // Servers take the data connection only from the client that logged in.
    if (SSL_SESSION* session = SSL_get1_session(resume->ssl_)) {
      SSL_set_session(ssl, session);
      SSL_SESSION_free(session);
    }
  }
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_connect(ssl);
    if (result == 1) break;
    bool timedOut = false;
    if (stream->WaitAfter(result, deadline, timedOut)) continue;
    failure.why = timedOut ? "the TLS handshake did not finish in time"
                           : "the TLS handshake failed: " + LastError(SSL_get_error(ssl, result));
    return nullptr;
  }

  X509* cert = SSL_get1_peer_certificate(ssl);
  stream->fingerprint_ = Fingerprint(cert);
  X509_free(cert);
  if (stream->fingerprint_.empty()) {
    failure.why = "the server sent no certificate";
    return nullptr;
  }
  failure.fingerprint = stream->fingerprint_;
  if (resume) {
    if (stream->fingerprint_ == resume->fingerprint_) return stream;
    failure.why = "the data connection's certificate is not the control connection's";
    return nullptr;
  }
  if (!pin.empty()) {
    if (stream->fingerprint_ == pin) return stream;
    failure.why = "the server's certificate has changed: its SHA-256 fingerprint is " +
                  stream->fingerprint_ + ", the trusted one is " + pin;
    failure.pinnable = true;
    return nullptr;
  }
  const long verified = SSL_get_verify_result(ssl);
  if (verified == X509_V_OK) return stream;
  failure.why = std::string("the server's certificate is not trusted: ") +
                X509_verify_cert_error_string(verified) + " (SHA-256 fingerprint " +
                stream->fingerprint_ + ")";
  failure.pinnable = true;
  return nullptr;
}

long TlsStream::Read(char* to, size_t size, Deadline deadline) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    size_t got = 0;
    const int result = SSL_read_ex(ssl_, to, size, &got);
    if (result == 1) return static_cast<long>(got);
    if (SSL_get_error(ssl_, result) == SSL_ERROR_ZERO_RETURN) return 0;
    bool timedOut = false;
    if (!WaitAfter(result, deadline, timedOut)) return timedOut ? -2 : -1;
  }
}

bool TlsStream::Write(const char* from, size_t size, Deadline deadline) {
  while (size > 0) {
    ERR_clear_error();
    errno = 0;
    size_t sent = 0;
    const int result = SSL_write_ex(ssl_, from, size, &sent);
    if (result == 1) {
      from += sent;
      size -= sent;
      continue;
    }
    bool timedOut = false;
    if (!WaitAfter(result, deadline, timedOut)) return false;
  }
  return true;
}

void TlsStream::Shutdown(Deadline deadline) {
  for (;;) {
    ERR_clear_error();
    const int result = SSL_shutdown(ssl_);
    if (result >= 0) break;  // our alert is out
    bool timedOut = false;
    if (!WaitAfter(result, deadline, timedOut)) break;
  }
  // Unread bytes from the server (such as session tickets) would make the close
  // a reset, and the server would take the file for cut short: end our side,
  // then drain until the server closes.
  ::shutdown(fd_, SHUT_WR);
  char sink[kDrainPiece];
  for (;;) {
    const ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || WaitReadable(fd_, left) != WaitResult::kReady) return;
  }
}

std::string NormaliseFingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (hex.size() != 2 * kSha256Bytes) return {};
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) out += (i ? ":" : "") + hex.substr(i, 2);
  return out;
}

bool SendFileOverTls(UiSink* ui, TlsStream& stream, int reportId, const char* path,
                     milliseconds stallTimeout) {
  UniqueFd file(path ? ::open(path, O_RDONLY | O_CLOEXEC) : -1);
  struct stat st {};
  int32_t remaining = 0;
  if (file && ::fstat(file.get(), &st) == 0)
    remaining = static_cast<int32_t>(static_cast<uint32_t>(st.st_size));
  if (ui) ui->ReportTransferProgress(reportId, remaining);
  bool ok = file.valid();
  char chunk[kTlsFileChunk];
  while (ok) {
    const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = stream.Write(chunk, static_cast<size_t>(got), Clock::now() + stallTimeout);
    remaining -= static_cast<int32_t>(got);
    if (ui && ok) ui->ReportTransferProgress(reportId, remaining);
  }
  if (ui) ui->ReportTransferProgress(reportId, 0);
  return ok;
}

}  // namespace snapvane
