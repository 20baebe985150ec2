// Uploads, transfer modes, TLS and IPv6 against real servers the tests start on
// loopback: vsftpd with passive or active mode switched off, behind a relay that
// plays a home router, and requiring TLS; pyftpdlib with a password, with TLS and
// on IPv6. Each upload succeeds or fails as it should; what arrives is whole,
// under its final name, and a failure leaves no temporary file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "publish/ftp_upload.h"
#include "publish/snapshot.h"
#include "tests/integration/ftp_test_peers.h"
#include "tests/integration/program_process.h"
#include "tests/publish/http_test_harness.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr FtpLimits kQuick{3000ms, 3000ms, 3000ms, kMaxFtpRenameRepeats, 500ms};
const std::string kPass = "s3cret pass";  // pyftpdlib's

// Certificates for the TLS tests. The trust store is read once per process, so
// it is set before any test runs: as far as this process knows, the system
// trusts good, which issued old.
class Certificates : public ::testing::Environment {
 public:
  void SetUp() override {
    box_ = std::make_unique<test::Sandbox>();
    test::WriteCertificate(good(), -3600, 86400);
    test::WriteCertificate(old(), -2 * 86400, -86400, good());
    test::WriteCertificate(other(), -3600, 86400);
    test::WriteFile(*box_ / "trusted.pem", test::ReadFile(good()));
    ::setenv("SSL_CERT_FILE", (*box_ / "trusted.pem").c_str(), 1);
  }
  void TearDown() override { box_.reset(); }
  static fs::path good() { return *box_ / "good.pem"; }
  static fs::path old() { return *box_ / "old.pem"; }
  static fs::path other() { return *box_ / "other.pem"; }

 private:
  static inline std::unique_ptr<test::Sandbox> box_;
};
[[maybe_unused]] auto* const kCertificates = ::testing::AddGlobalTestEnvironment(new Certificates);

class RealServers : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "pics");
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(root_ / "pics", fs::perms::all);  // vsftpd writes as its own user
    test::WriteFile(picture_, test::Picture(70000));
  }

  // vsftpd for anonymous uploads into pics/, with extra configuration lines.
  int StartVsftpd(const std::string& extra) {
    const int port = test::FreeLoopbackPort();
    std::ofstream(box_ / "vsftpd.conf")
        << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" << port
        << "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\n"
           "anon_upload_enable=YES\nanon_other_write_enable=YES\nno_anon_password=YES\n"
           "anon_umask=022\nconnect_from_port_20=NO\nseccomp_sandbox=NO\nisolate=NO\n"
           "isolate_network=NO\nxferlog_enable=NO\nanon_root="
        << root_.string() << "\n"
        << extra;
    vsftpd_ = std::make_unique<test::Child>("/usr/sbin/vsftpd " + (box_ / "vsftpd.conf").string(),
                                            box_ / "vsftpd.out");
    EXPECT_TRUE(test::WaitFor([&] { return bool(UniqueFd(test::ConnectLoopback(port))); }))
        << test::ReadFile(box_ / "vsftpd.out");
    return port;
  }

  // pyftpdlib on address, requiring TLS when pem is given: its port.
  int StartPyftpdlib(const std::string& address, const std::string& pem = "") {
    const fs::path out = box_ / ("py" + std::to_string(++servers_));
    pyftpdlib_ = std::make_unique<test::Child>(
        "/usr/bin/python3 " SNAPVANE_SOURCE_DIR "/tests/integration/ftp_test_server.py " +
            root_.string() + " cam '" + kPass + "' " + address + " " + pem,
        out);
    EXPECT_TRUE(test::WaitFor([&] { return test::ReadFile(out).ends_with('\n'); })) << "no port";
    return std::atoi(test::ReadFile(out).c_str());
  }

  // Uploads; on success the picture must be whole under its final name; on
  // failure stderr must hold because, and never the password; no temporary name left.
  void Expect(bool ok, const FtpSettings& s, const std::string& because = "") {
    testing::internal::CaptureStderr();
    const std::string line = RunFtpUpload(nullptr, picture_.c_str(), s, kQuick);
    const std::string why = testing::internal::GetCapturedStderr();
    const std::string where = s.server + " mode " + std::to_string(int(s.mode)) + ": " + why;
    const fs::path target = root_ / "pics" / s.file;
    EXPECT_EQ(line.rfind("FTP " + s.file + " to ", 0) == 0, ok) << where;
    if (ok) {
      EXPECT_TRUE(test::ReadFile(target) == test::ReadFile(picture_)) << where;
      fs::remove(target);
    } else {
      EXPECT_NE(why.find(because), std::string::npos) << where;
      EXPECT_EQ(why.find(s.pass), std::string::npos) << where;
    }
    EXPECT_FALSE(fs::exists(target.string() + ".svtemp")) << where;
  }

  test::Sandbox box_;
  fs::path root_ = box_ / "root", picture_ = box_ / "snvsPICTUR";
  std::unique_ptr<test::Child> vsftpd_, pyftpdlib_;
  int servers_ = 0;
};

FtpSettings Anonymous(int port, FtpMode mode) {
  FtpSettings s{"anonymous", "cam@", "", "127.0.0.1:" + std::to_string(port), "cam.jpg", "pics"};
  s.mode = mode;
  return s;
}

TEST_F(RealServers, VsftpdWithOneModeOffOrBehindNat) {
  const auto [active, passive, automatic] =
      std::tuple(FtpMode::kActive, FtpMode::kPassive, FtpMode::kAutomatic);
  int port = StartVsftpd("port_enable=NO\n");
  Expect(false, Anonymous(port, active), "PORT ");
  Expect(true, Anonymous(port, passive));
  Expect(true, Anonymous(port, automatic));

  port = StartVsftpd("pasv_enable=NO\n");
  Expect(true, Anonymous(port, active));
  Expect(false, Anonymous(port, passive), "PASV: 5");
  Expect(true, Anonymous(port, automatic));
  Expect(true, Anonymous(port, automatic));  // remembered: straight to active

  // Behind the "router" the server sees another address than PORT names. Its
  // data connections come from the router too, which loopback cannot show: the
  // server is told not to mind.
  port = StartVsftpd("pasv_promiscuous=YES\n");
  test::NatRelay router(port);
  Expect(false, Anonymous(router.port(), active), "PORT 127,0,0,1,");
  Expect(true, Anonymous(router.port(), passive));
  Expect(true, Anonymous(router.port(), automatic));
}

TEST_F(RealServers, VsftpdRequiringTlsInEveryMode) {
  const std::string pem = Certificates::good().string();
  const int port = StartVsftpd(
      "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
      "force_anon_data_ssl=YES\nssl_ciphers=HIGH\nrsa_cert_file=" +
      pem + "\nrsa_private_key_file=" + pem + "\n");
  FtpSettings s = Anonymous(port, FtpMode::kActive);
  Expect(false, s, "530 ");  // clear text is refused by the server
  s.tls = true;
  // The data connections resume the control connection's session, as vsftpd requires.
  for (FtpMode mode : {FtpMode::kActive, FtpMode::kPassive, FtpMode::kAutomatic}) {
    s.mode = mode;
    Expect(true, s);
  }
}

TEST_F(RealServers, PyftpdlibTlsRefusesWrongExpiredAndChangedCertificates) {
  FtpSettings s{"cam", kPass, "", "", "cam.jpg", "pics"};
  s.tls = true;
  s.mode = FtpMode::kPassive;
  const std::string port = std::to_string(StartPyftpdlib("127.0.0.1", Certificates::good()));
  s.server = "127.0.0.1:" + port;
  Expect(true, s);
  s.mode = FtpMode::kActive;
  Expect(true, s);
  s.server = "localhost:" + port;  // the certificate names only 127.0.0.1
  Expect(false, s, "not trusted: hostname mismatch");

  s.server = "127.0.0.1:" + std::to_string(StartPyftpdlib("127.0.0.1", Certificates::old()));
  Expect(false, s, "not trusted: certificate has expired");

  s.server = "127.0.0.1:" + std::to_string(StartPyftpdlib("127.0.0.1", Certificates::other()));
  Expect(false, s, "not trusted: self-signed certificate");
  s.fingerprint = CheckFtpLogin(s, kQuick).fingerprint;
  Expect(true, s);  // pinned
  s.server = "127.0.0.1:" + std::to_string(StartPyftpdlib("127.0.0.1", Certificates::good()));
  Expect(false, s, "certificate has changed");
}

// Through the worker: the line logged, the snapshot deleted, the picture whole;
// then replaced by another. A rename the server refuses (a folder holds the name),
// a wrong password and a missing folder are failures. Then on IPv6.
TEST_F(RealServers, PyftpdlibUploadsReplacesReportsFailuresAndServesIpv6) {
  FtpSettings s{"cam",     kPass, "", "127.0.0.1:" + std::to_string(StartPyftpdlib("127.0.0.1")),
                "cam.jpg", "pics"};
  auto sink = std::make_shared<test::RecordingUiSink>();
  std::shared_ptr<SnapshotFile> file = MakeSnapshotFile();
  ASSERT_TRUE(file);
  const std::string first = test::Picture(150000, 'a');
  test::WriteFile(file->path, first);
  file->captured = true;
  file->users = 1;
  FtpUploadWorker(sink.get(), SnapshotUse(nullptr, file), s);
  ASSERT_EQ(sink->LogLines().size(), 1u);
  EXPECT_EQ(sink->LogLines()[0].rfind("FTP cam.jpg to " + s.server + " - ", 0), 0u);
  EXPECT_FALSE(fs::exists(file->path));
  EXPECT_EQ(test::ReadFile(root_ / "pics" / "cam.jpg"), first);
  Expect(true, s);
  fs::create_directory(root_ / "pics" / "taken.jpg");
  s.file = "taken.jpg";
  Expect(false, s, "FTP upload to " + s.server + " failed: RNTO taken.jpg: 550 ");
  EXPECT_TRUE(fs::is_directory(root_ / "pics" / "taken.jpg"));
  s.file = "cam.jpg";
  s.pass = "wrong";
  Expect(false, s, "PASS");
  s.pass = kPass;
  s.dir = "does/not/exist";
  Expect(false, s, "CWD does/not/exist");

  // On IPv6 (EPRT, EPSV), also as a bare address with the port setting.
  const int port = StartPyftpdlib("::1");
  s = {"cam", kPass, "", "[::1]:" + std::to_string(port), "cam.jpg", "pics"};
  for (FtpMode mode : {FtpMode::kActive, FtpMode::kPassive}) {
    s.mode = mode;
    Expect(true, s);
  }
  s.server = "::1";
  s.port = static_cast<uint16_t>(port);
  Expect(true, s);
}

}  // namespace
}  // namespace snapvane
