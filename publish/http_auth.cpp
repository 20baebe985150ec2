#include "publish/http_auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace snapvane {
namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr int kMaxIterations = 10000000;  // a stored text cannot make a check take minutes
constexpr std::string_view kScheme = "pbkdf2-sha256";

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

bool FromHex(std::string_view text, std::vector<unsigned char>& out) {
  if (text.size() % 2 != 0 || text.empty()) return false;
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = value(text[i]), lo = value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return true;
}

bool Derive(std::string_view password, const unsigned char* salt, size_t saltSize, int iterations,
            unsigned char* out, size_t outSize) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                           static_cast<int>(saltSize), iterations, EVP_sha256(),
                           static_cast<int>(outSize), out) == 1;
}

}  // namespace

std::string HashHttpPassword(std::string_view password, int iterations) {
  unsigned char salt[kSaltBytes];
  unsigned char hash[kHashBytes];
  if (RAND_bytes(salt, sizeof salt) != 1 ||
      !Derive(password, salt, sizeof salt, iterations, hash, sizeof hash))
    return {};
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + Hex(salt, sizeof salt) +
         "$" + Hex(hash, sizeof hash);
}

bool CheckHttpPassword(std::string_view stored, std::string_view password) {
  std::string_view parts[4];
  for (int i = 0; i < 3; ++i) {
    const size_t dollar = stored.find('$');
    if (dollar == std::string_view::npos) return false;
    parts[i] = stored.substr(0, dollar);
    stored.remove_prefix(dollar + 1);
  }
  parts[3] = stored;
  if (parts[0] != kScheme) return false;
  int iterations = 0;
  for (char c : parts[1]) {
    if (c < '0' || c > '9' || iterations > kMaxIterations / 10) return false;
    iterations = iterations * 10 + (c - '0');
  }
  std::vector<unsigned char> salt, expected;
  if (iterations < 1 || iterations > kMaxIterations || !FromHex(parts[2], salt) ||
      !FromHex(parts[3], expected) || expected.size() != kHashBytes)
    return false;
  unsigned char hash[kHashBytes];
  if (!Derive(password, salt.data(), salt.size(), iterations, hash, sizeof hash)) return false;
  return CRYPTO_memcmp(hash, expected.data(), kHashBytes) == 0;
}

bool BasicCredentialsOf(std::string_view head, std::string& user, std::string& password) {
  // Header lines only: the request line is skipped.
  size_t at = head.find("\r\n");
  while (at != std::string_view::npos) {
    const size_t start = at + 2;
    const size_t end = head.find("\r\n", start);
    const std::string_view line =
        head.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    at = end;
    constexpr std::string_view kName = "authorization:";
    if (line.size() < kName.size() || strncasecmp(line.data(), kName.data(), kName.size()) != 0)
      continue;
    std::string_view value = line.substr(kName.size());
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    if (value.size() < 6 || strncasecmp(value.data(), "basic ", 6) != 0) return false;
    value.remove_prefix(6);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (value.empty() || value.size() % 4 != 0 || value.size() > kHttpRequestHeadMax) return false;
    std::vector<unsigned char> decoded(value.size() / 4 * 3 + 1);
    const int n =
        EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(value.data()),
                        static_cast<int>(value.size()));
    if (n < 0) return false;
    size_t length = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding's zero bytes.
    if (value.ends_with("=="))
      length -= 2;
    else if (value.ends_with("="))
      length -= 1;
    const std::string text(reinterpret_cast<const char*>(decoded.data()), length);
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    user = text.substr(0, colon);
    password = text.substr(colon + 1);
    return true;
  }
  return false;
}

HttpCredentials::HttpCredentials(std::string user, std::string storedHash)
    : user_(std::move(user)),
      storedHash_(std::move(storedHash)),
      required_(!user_.empty() || !storedHash_.empty()) {}

HttpCredentials::Offered HttpCredentials::Recognise(std::string_view head) {
  using Verdict = Offered::Verdict;
  Offered offered;
  if (!required_) {
    offered.verdict = Verdict::kAccepted;
    return offered;
  }
  if (!BasicCredentialsOf(head, offered.user, offered.password)) return offered;  // refused
  const std::string both = offered.user + '\0' + offered.password;
  SHA256(reinterpret_cast<const unsigned char*>(both.data()), both.size(), offered.digest.data());
  auto same = [&](const std::array<unsigned char, 32>& known) {
    return CRYPTO_memcmp(offered.digest.data(), known.data(), known.size()) == 0;
  };
  std::lock_guard guard(mutex_);
  if (haveAccepted_ && same(acceptedDigest_))
    offered.verdict = Verdict::kAccepted;
  else if (std::any_of(refused_.begin(), refused_.begin() + refusedCount_, same))
    offered.verdict = Verdict::kRefused;
  else
    offered.verdict = Verdict::kToCheck;
  return offered;
}

bool HttpCredentials::Check(const Offered& offered) {
  // Both checks always run, so the time does not tell which one failed.
  const bool userOk = offered.user.size() == user_.size() &&
                      CRYPTO_memcmp(offered.user.data(), user_.data(), user_.size()) == 0;
  const bool passwordOk = !storedHash_.empty() && CheckHttpPassword(storedHash_, offered.password);
  std::lock_guard guard(mutex_);
  if (!userOk || !passwordOk) {
    refused_[refusedNext_] = offered.digest;
    refusedNext_ = (refusedNext_ + 1) % kRefusedKept;
    refusedCount_ = std::min(refusedCount_ + 1, kRefusedKept);
    return false;
  }
  acceptedDigest_ = offered.digest;
  haveAccepted_ = true;
  return true;
}

}  // namespace snapvane
