#pragma once
// TLS for the FTP control and data connections (explicit FTPS), over OpenSSL.
// The client always verifies: the certificate chain against the system's store
// and the server's name, or, when the user pinned one, the certificate's SHA-256
// fingerprint instead.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

typedef struct ssl_st SSL;

namespace snapvane {

class UiSink;

// Why a handshake failed. fingerprint is the server certificate's when one was
// seen; pinnable says that pinning it would let the user trust the server (the
// chain or the name failed, not the connection).
struct TlsFailure {
  std::string why;
  std::string fingerprint;
  bool pinnable = false;
};

// One TLS connection over a non-blocking socket it does not own. Every wait is
// bounded by the deadline given.
class TlsStream {
 public:
  using Deadline = std::chrono::steady_clock::time_point;
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Handshake as the client on fd. host is the name or address the certificate
  // must be for; pin a normalised fingerprint trusted in place of the chain.
  // resume: the control connection whose session a data connection reuses (its
  // certificate must then be the same). Null on failure, with failure filled in.
  static std::unique_ptr<TlsStream> Connect(int fd, const std::string& host, const std::string& pin,
                                            const TlsStream* resume, Deadline deadline,
                                            TlsFailure& failure);

  // Bytes read (> 0), 0 when the peer closed, -1 on an error, -2 when the
  // deadline passed first.
  long Read(char* to, size_t size, Deadline deadline);
  // Writes all of it; false on an error or when the deadline passed.
  bool Write(const char* from, size_t size, Deadline deadline);
  // Sends the closing alert without waiting for the peer's (the server learns
  // that the file ended here, not by a cut connection).
  void Shutdown(Deadline deadline);

  const std::string& fingerprint() const { return fingerprint_; }
  bool resumed() const;

 private:
  TlsStream(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}
  // Waits as OpenSSL asks after result; false when the call failed for good.
  bool WaitAfter(int result, Deadline deadline, bool& timedOut);

  SSL* ssl_;
  int fd_;
  std::string fingerprint_;
};

// "AB:CD:..." (64 hex digits, upper case, colon separated) from a fingerprint
// written with or without colons or spaces, in either case; empty when text is
// not a SHA-256 fingerprint.
std::string NormaliseFingerprint(const std::string& text);

// Streams the file at path over stream, reporting progress through ui under
// reportId like SendFileToSocket. False when the connection failed or stalled.
bool SendFileOverTls(UiSink* ui, TlsStream& stream, int reportId, const char* path,
                     std::chrono::milliseconds stallTimeout);

}  // namespace snapvane
