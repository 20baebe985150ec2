// Uploads to real FTP servers started on loopback by the test: pyftpdlib with a
// user and a password, and vsftpd (anonymous, unprivileged, on a high port).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/app_state.h"
#include "publish/ftp_upload.h"
#include "publish/snapshot.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child process, terminated and reaped when the object goes.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if ((pid_ = ::fork()) == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = ::fdopen(out[0], "r");
  }
  ~ServerProcess() {
    if (pid_ > 0) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
    if (out_) ::fclose(out_);
  }
  // The first line the process prints (its port), empty when it ends first.
  std::string FirstLine() {
    char line[32] = {};
    return out_ && ::fgets(line, sizeof line, out_) ? std::string(line, std::strcspn(line, "\n"))
                                                    : "";
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

std::string Picture(char seed, size_t size) {
  std::string bytes(size, seed);
  for (size_t i = 0; i < size; ++i) bytes[i] += static_cast<char>(i * 31 + (i >> 7));
  return bytes;
}

// The files in dir: only the final name, no ".svtemp" left.
std::vector<fs::path> Names(const fs::path& dir) {
  return {fs::directory_iterator(dir), fs::directory_iterator()};
}

struct Uploader {
  bool Upload(const std::string& bytes) {
    test::WriteFile(path, bytes);
    std::string line = RunFtpUpload(*state, path.c_str(), settings);
    return line.rfind("FTP cam.jpg to " + settings.server + " - ", 0) == 0;
  }
  test::Sandbox sandbox;
  std::string path = (sandbox / "snvsAAAAAA").string();
  std::shared_ptr<AppState> state = MakeAppState();
  std::shared_ptr<test::RecordingUiSink> sink = std::make_shared<test::RecordingUiSink>();
  FtpSettings settings;
};

TEST(PyftpdlibUpload, ArrivesWholeReplacesAndLogsFailures) {
  Uploader u;
  const fs::path root = u.sandbox / "root";
  fs::create_directories(root / "pics");
  ServerProcess server({"/usr/bin/python3",
                        SNAPVANE_SOURCE_DIR "/tests/integration/ftp_test_server.py", root.string(),
                        "cam", "s3cret pass"});
  std::string port = server.FirstLine();
  ASSERT_FALSE(port.empty()) << "pyftpdlib did not start";
  u.settings = {"cam", "s3cret pass", "", "127.0.0.1:" + port, "cam.jpg", "pics"};
  u.state->ui = u.sink;
  // Through the worker: it logs the line and its use deletes the snapshot.
  std::shared_ptr<SnapshotFile> file = MakeSnapshotFile();
  ASSERT_TRUE(file);
  const std::string first = Picture('a', 150000), second = Picture('b', 4096);
  test::WriteFile(file->path, first);
  file->captured = true;
  file->users = 1;
  FtpUploadWorker(*u.state, SnapshotUse(u.state, file), u.settings);
  ASSERT_EQ(u.sink->LogLines().size(), 1u);
  EXPECT_EQ(u.sink->LogLines()[0].rfind("FTP cam.jpg to 127.0.0.1:" + port + " - ", 0), 0u);
  EXPECT_FALSE(fs::exists(file->path));
  EXPECT_EQ(test::ReadFile(root / "pics" / "cam.jpg"), first);
  EXPECT_TRUE(u.Upload(second));
  EXPECT_EQ(test::ReadFile(root / "pics" / "cam.jpg"), second);
  EXPECT_EQ(Names(root / "pics"), std::vector<fs::path>{(root / "pics" / "cam.jpg")});
  u.settings.pass = "wrong";
  EXPECT_FALSE(u.Upload(second));
  u.settings.pass = "s3cret pass";
  u.settings.dir = "does/not/exist";
  EXPECT_FALSE(u.Upload(second));
}

// vsftpd runs as the launching user: anonymous logins only, into its anonymous root.
TEST(VsftpdUpload, StoresRenamesAndReplaces) {
  if (!fs::exists("/usr/sbin/vsftpd")) GTEST_SKIP() << "vsftpd is not installed";
  Uploader u;
  const fs::path root = u.sandbox / "anon";
  fs::create_directories(root / "incoming");
  fs::permissions(root / "incoming", fs::perms::all);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0), port = 0;
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof at;
  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  port = ntohs(at.sin_port);
  ::close(fd);  // a free port for vsftpd
  std::ofstream(u.sandbox / "vsftpd.conf")
      << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
      << "\nbackground=NO\nrun_as_launching_user=YES\nanonymous_enable=YES\nlocal_enable=NO\n"
         "write_enable=YES\nanon_upload_enable=YES\nanon_other_write_enable=YES\n"
         "anon_world_readable_only=NO\nno_anon_password=YES\nanon_root="
      << root.string()
      << "\nconnect_from_port_20=NO\nport_enable=YES\npasv_enable=NO\nseccomp_sandbox=NO\n"
         "isolate=NO\nisolate_network=NO\nxferlog_enable=NO\nsyslog_enable=NO\n"
         "vsftpd_log_file=/dev/null\ndual_log_enable=NO\nhide_ids=YES\nuse_localtime=NO\n"
         "secure_chroot_dir="
      << u.sandbox.path().string() << "\n";
  ServerProcess server({"/usr/sbin/vsftpd", (u.sandbox / "vsftpd.conf").string()});
  u.settings = {"anonymous", "", "", "127.0.0.1:" + std::to_string(port), "cam.jpg", "incoming"};
  ASSERT_TRUE(test::WaitFor([&] { return u.Upload(Picture('a', 20000)); }, 20s)) << "no vsftpd";
  const std::string bytes = Picture('b', 20001);
  EXPECT_TRUE(u.Upload(bytes));
  EXPECT_EQ(test::ReadFile(root / "incoming" / "cam.jpg"), bytes);
  EXPECT_EQ(Names(root / "incoming"), std::vector<fs::path>{(root / "incoming" / "cam.jpg")});
}

}  // namespace
}  // namespace snapvane
