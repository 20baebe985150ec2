#pragma once
// The HTTP server's optional password: stored only as a salted PBKDF2 hash,
// checked against a request's "Authorization: Basic" header in constant time.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace snapvane {

inline constexpr int kHttpPasswordIterations = 100000;  // PBKDF2-HMAC-SHA256 rounds
inline constexpr size_t kHttpRequestHeadMax = 8192;     // head read when a password is set

inline constexpr char kHttpUnauthorized[] =
    "HTTP/1.0 401 Unauthorized\r\nServer: Snapvane 0.1\r\nWWW-Authenticate: Basic "
    "realm=\"Snapvane\"\r\nContent-Type: text/html\r\n\r\n<html><head><title>Error "
    "401</title></head><body><h1>Error 401 A user name and password are "
    "required</h1></body></html>";

// "pbkdf2-sha256$<iterations>$<salt, hex>$<hash, hex>" of password with a fresh
// random salt; empty when no random bytes could be had.
std::string HashHttpPassword(std::string_view password, int iterations = kHttpPasswordIterations);
// True when password gives stored's hash (compared in constant time). A stored
// text that does not parse matches nothing.
bool CheckHttpPassword(std::string_view stored, std::string_view password);

// The user and stored hash one listener asks for. Thread-safe.
class HttpCredentials {
 public:
  HttpCredentials(std::string user, std::string storedHash);
  // A password is asked for (a user name or a hash is set).
  bool required() const { return required_; }

  // What a request head offers, and what is known of it without the slow check.
  struct Offered {
    enum class Verdict { kAccepted, kRefused, kToCheck } verdict = Verdict::kRefused;
    std::string user, password;  // with kToCheck
    std::array<unsigned char, 32> digest{};
  };
  // Cheap: accepted when the same user and password were accepted before,
  // refused when there are none, they do not decode, or they were refused lately;
  // else to be checked (Check).
  Offered Recognise(std::string_view requestHead);
  // The slow check (one PBKDF2 run) of what Recognise could not decide; the
  // verdict is remembered.
  bool Check(const Offered& offered);

 private:
  std::string user_;
  std::string storedHash_;
  bool required_ = false;
  std::mutex mutex_;
  std::array<unsigned char, 32> acceptedDigest_{};
  bool haveAccepted_ = false;
  // The last few refused, so one client repeating a wrong password costs one
  // run, not one a request.
  static constexpr size_t kRefusedKept = 16;
  std::array<std::array<unsigned char, 32>, kRefusedKept> refused_{};
  size_t refusedCount_ = 0;  // entries in use, up to kRefusedKept
  size_t refusedNext_ = 0;   // the slot the next one takes
};

// The credentials encoded in a request head's Basic header ("user:password"),
// or nothing when there is none or it does not decode.
bool BasicCredentialsOf(std::string_view requestHead, std::string& user, std::string& password);

}  // namespace snapvane
