#pragma once
// What the upload tests need besides the servers, all on loopback: certificates,
// and a relay that stands for a home router.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "tests/publish/scripted_ftp_server.h"

namespace snapvane::test {

// A certificate for 127.0.0.1 valid from `from` to `to` seconds from now, signed
// by the one in the PEM file issuer (self-signed without one); certificate and
// key written to one PEM file. Each may sign others.
inline void WriteCertificate(const std::filesystem::path& pem, long from, long to,
                             const std::filesystem::path& issuer = {}) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* signer = nullptr;
  EVP_PKEY* signerKey = nullptr;
  if (!issuer.empty()) {
    FILE* in = std::fopen(issuer.c_str(), "r");
    signer = PEM_read_X509(in, nullptr, nullptr, nullptr);
    signerKey = PEM_read_PrivateKey(in, nullptr, nullptr, nullptr);
    std::fclose(in);
  }
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(::getpid()) ^ from);
  X509_gmtime_adj(X509_getm_notBefore(cert), from);
  X509_gmtime_adj(X509_getm_notAfter(cert), to);
  X509_NAME* name = X509_get_subject_name(cert);
  const std::string common = "snapvane test " + pem.stem().string();  // one name per file
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, signer ? X509_get_subject_name(signer) : name);
  X509_set_pubkey(cert, key);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, signer ? signer : cert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                            std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(cert, signerKey ? signerKey : key, EVP_sha256());
  X509_free(signer);
  EVP_PKEY_free(signerKey);
  FILE* out = std::fopen(pem.c_str(), "w");
  PEM_write_X509(out, cert);
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
}

// Forwards connections from 127.0.0.1:port() to target, leaving from 127.0.0.2:
// the server sees the "router's" address, as behind NAT without an FTP helper.
class NatRelay {
 public:
  explicit NatRelay(int target) : target_(target) {
    listener_ = ListenOn("127.0.0.1", port_);
    thread_ = std::thread([this] {
      for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) Relay(client);
    });
  }
  ~NatRelay() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  void Relay(int client) {
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = Loopback("127.0.0.2", 0), to = Loopback("127.0.0.1", target_);
    if (::bind(server, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        ::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      pollfd fds[] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      char piece[4096];
      for (bool open = true; open && ::poll(fds, 2, 10000) > 0;) {
        for (int i = 0; i < 2 && open; ++i) {
          if (!fds[i].revents) continue;
          ssize_t n = ::recv(fds[i].fd, piece, sizeof piece, 0);
          open = n > 0 && ::send(fds[1 - i].fd, piece, n, MSG_NOSIGNAL) == n;
        }
      }
    }
    ::close(server), ::close(client);
  }

  int target_, listener_ = -1, port_ = 0;
  std::thread thread_;
};

}  // namespace snapvane::test
