#pragma once
// Real FTP peers for the upload tests, all on loopback: a server child process,
// certificates, and a relay that stands for a home router.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/publish/scripted_ftp_server.h"
#include "tests/support/sandbox.h"

namespace snapvane::test {

// A server child process with its standard output in a file;
// terminated and reaped when the object goes.
class ServerProcess {
 public:
  ServerProcess(std::vector<std::string> argv, const std::filesystem::path& out) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if ((pid_ = ::fork()) == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, STDOUT_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~ServerProcess() {
    if (pid_ > 0) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// pyftpdlib with the arguments of ftp_test_server.py, its output in out: its port.
inline int StartPyftpdlib(std::unique_ptr<ServerProcess>& server, std::vector<std::string> args,
                          const std::filesystem::path& out) {
  args.insert(args.begin(),
              {"/usr/bin/python3", SNAPVANE_SOURCE_DIR "/tests/integration/ftp_test_server.py"});
  server = std::make_unique<ServerProcess>(args, out);
  EXPECT_TRUE(WaitFor([&] { return ReadFile(out).ends_with('\n'); })) << "pyftpdlib did not start";
  return std::atoi(ReadFile(out).c_str());
}

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
