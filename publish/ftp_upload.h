#pragma once
// FTP upload of the snapshot file: log in (over TLS when asked), store under
// "<file>.svtemp" over an active or passive data connection, rename into place,
// log one line.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/limits.h"
#include "publish/ftp_tls.h"
#include "publish/snapshot.h"

namespace snapvane {

struct Settings;
class UiSink;

// The worker's own copy of the FTP fields, taken when it starts, so the settings
// dialog may rewrite the settings meanwhile.
enum class FtpMode : int32_t {
  kActive = 0,     // PORT/EPRT: the server connects back
  kPassive = 1,    // EPSV, else PASV: the client connects, as through NAT and firewalls
  kAutomatic = 2,  // passive, else active; what worked is remembered per server
};

inline constexpr uint16_t kFtpDefaultPort = 21;

struct FtpSettings {
  std::string user, pass, account, server, file, dir;
  FtpMode mode = FtpMode::kActive;
  bool tls = false;                 // explicit TLS on control and data; never clear text then
  uint16_t port = kFtpDefaultPort;  // unless the server field says "host:port" / "[v6]:port"
  std::string fingerprint = {};     // a certificate trusted by its SHA-256, AA:BB:...
};

// UI thread (or under any lock that keeps the fields still): copies the fields.
FtpSettings CopyFtpSettings(const Settings& settings);

// Why the dialog refuses these texts, or empty when all are acceptable: CR or LF
// in any field (they would smuggle extra commands), a password character above
// 127 (the settings file cannot keep it).
std::string FtpSettingsProblem(const FtpSettings& settings);
// Stores the texts into the settings, each cut to its field (63 or 259 bytes),
// and the mode, TLS switch, port and fingerprint.
void ApplyFtpSettings(Settings& settings, const FtpSettings& texts);

// Waits and repeats the upload bounds; tests shorten them.
struct FtpLimits {
  std::chrono::milliseconds connectTimeout = kFtpConnectTimeout;
  std::chrono::milliseconds replyTimeout = kFtpReplyTimeout;
  std::chrono::milliseconds dataConnectTimeout = kFtpDataConnectTimeout;
  int maxRenameRepeats = kMaxFtpRenameRepeats;
  std::chrono::milliseconds quitTimeout = kFtpQuitTimeout;  // at most replyTimeout
};

inline constexpr size_t kFtpReplyBufferSize = 512;
inline constexpr size_t kFtpReceivePiece = 128;
inline constexpr size_t kMaxFtpLogLine = 511;  // bytes of one upload's log line

// One control connection and its reply buffer; bytes after a complete reply stay
// for the next one. Owns the socket.
class FtpControl {
 public:
  FtpControl(int socket, std::chrono::milliseconds replyTimeout);
  ~FtpControl();
  FtpControl(const FtpControl&) = delete;
  FtpControl& operator=(const FtpControl&) = delete;

  int socket() const { return socket_; }
  // From now on every command and reply goes through stream.
  void StartTls(std::unique_ptr<TlsStream> stream) { tls_ = std::move(stream); }
  TlsStream* tls() const { return tls_.get(); }
  std::chrono::milliseconds replyTimeout() const { return replyTimeout_; }
  void setReplyTimeout(std::chrono::milliseconds timeout) { replyTimeout_ = timeout; }
  void Close();

  // What the dialogue last did, for the reason of a failure: the command sent (a
  // password or account shown by its verb only), the last reply line or why
  // none was read, or a problem no reply explains.
  void NoteCommand(const std::string& command);
  void NoteReply(std::string text, int code = -1) {
    lastReply_ = std::move(text);
    lastCode_ = code;
  }
  void NoteProblem(std::string text) { problem_ = std::move(text); }
  std::string Why() const;
  // The code of the last reply read; -1 when none was read (the dialogue is then
  // out of step: a late reply may still come).
  int lastCode() const { return lastCode_; }
  const std::string& lastReply() const { return lastReply_; }

  // Buffer access for ReadFtpReply.
  char* buffer() { return buffer_.get(); }
  size_t& used() { return used_; }

 private:
  int socket_;
  std::unique_ptr<TlsStream> tls_;
  std::chrono::milliseconds replyTimeout_;
  std::unique_ptr<char[]> buffer_;  // kFtpReplyBufferSize bytes, its own allocation
  size_t used_ = 0;
  std::string lastCommand_, lastReply_ = "no reply read", problem_;
  int lastCode_ = -1;
};

// Reads one complete reply (possibly several lines) and returns the code of its
// last line, or -1: no valid code, a failed or closed receive, the reply time
// limit passed, or a line longer than the reply buffer.
int ReadFtpReply(FtpControl& control);

// Sends one whole command, which must end in "\r\n". Refuses (false, nothing
// sent) a command holding any other CR or LF, or a NUL: a name with a line break
// would otherwise smuggle extra commands to the server. False too when the
// command could not be sent whole.
bool SendFtpCommand(FtpControl& control, const std::string& command);

// On a logged-in control connection: the data connection as the mode says (PORT
// or EPRT; EPSV or PASV; in TLS when the control connection is), STOR of the temporary name, the
// data connection streaming path, NOOP, RNFR and RNTO. A refused RNTO (a server that will not
// rename onto an existing name) is retried once after DELE of the old name. After a failure the
// temporary file is deleted while the server still answers in step. 0 on success, 1 on failure.
int FtpStoreSnapshot(FtpControl& control, UiSink* ui, const FtpSettings& settings, const char* path,
                     const FtpLimits& limits = {});

// The whole upload of the file at path; returns the log line (success or failure).
// A failure's step and the server's reply line go to standard error.
std::string RunFtpUpload(UiSink* ui, const char* path, const FtpSettings& settings,
                         const FtpLimits& limits = {});

// The upload's log line for result (0: success), cut to kMaxFtpLogLine bytes on a
// character boundary.
std::string FtpLogLine(int result, const FtpSettings& settings, long seconds,
                       const std::string& startText);

// What the settings dialog's test found: logged in and changed directory, or why
// not. fingerprint is set when the server's certificate was refused and pinning
// it would let the user trust the server.
struct FtpCheckResult {
  bool ok = false;
  std::string text;
  std::string fingerprint;
};

// Connects, logs in and changes directory as an upload would, uploads nothing,
// and quits. Any thread; every wait bounded by limits.
FtpCheckResult CheckFtpLogin(const FtpSettings& settings, const FtpLimits& limits = {});

// Worker thread body: uploads use's file, logs the line through state.ui, then
// gives the use back.
void FtpUploadWorker(UiSink* ui, SnapshotUse use, FtpSettings settings,
                     const FtpLimits& limits = {});

}  // namespace snapvane
