// Uploads to real FTP servers started on loopback by the test: pyftpdlib with a
// user and a password, and vsftpd (anonymous, unprivileged, on a high port).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/app_state.h"
#include "app/worker_threads.h"
#include "publish/ftp_upload.h"
#include "publish/snapshot.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child process whose first output line is read back; terminated and reaped
// when the object goes.
class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  // The first line the process prints, or empty when none came in time.
  std::string FirstLine(std::chrono::milliseconds timeout) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char c[64];
      ssize_t n = ::read(out_, c, sizeof c);
      if (n <= 0) return {};
      line.append(c, static_cast<size_t>(n));
    }
    return line.substr(0, line.find('\n'));
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

std::string Picture(char seed, size_t size) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(seed + i * 31 + (i >> 7)));
  return bytes;
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    names.push_back(fs::relative(e.path(), dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

class PyftpdlibUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_);
    server_ = std::make_unique<ServerProcess>(std::vector<std::string>{
        "/usr/bin/python3", SNAPVANE_SOURCE_DIR "/tests/integration/ftp_test_server.py",
        root_.string(), "cam", "s3cret pass"});
    std::string port = server_->FirstLine(30s);
    ASSERT_FALSE(port.empty()) << "pyftpdlib did not start";
    settings_ = {"cam", "s3cret pass", "", "127.0.0.1:" + port, "cam.jpg", ""};
    state_->ui = sink_;
  }

  std::string Upload(const std::string& bytes) {
    test::WriteFile(picture_, bytes);
    return RunFtpUpload(*state_, picture_.c_str(), settings_);
  }
  bool Failed(const std::string& line) const {
    return line.rfind("!!!failed to FTP image to " + settings_.server + "!!! ", 0) == 0;
  }
  bool Succeeded(const std::string& line) const {
    return line.rfind("FTP cam.jpg to " + settings_.server + " - ", 0) == 0;
  }

  test::Sandbox sandbox_;
  fs::path root_ = sandbox_ / "root";
  std::string picture_ = (sandbox_ / "snvsAAAAAA").string();
  std::unique_ptr<ServerProcess> server_;
  std::shared_ptr<AppState> state_ = MakeAppState();
  std::shared_ptr<test::RecordingUiSink> sink_ = std::make_shared<test::RecordingUiSink>();
  FtpSettings settings_;
};

TEST_F(PyftpdlibUpload, FileArrivesWholeUnderItsNameAndTheNextReplacesIt) {
  const std::string first = Picture('a', 150000), second = Picture('b', 700);
  std::string line = Upload(first);
  EXPECT_TRUE(Succeeded(line)) << line;
  EXPECT_EQ(test::ReadFile(root_ / "cam.jpg"), first);
  EXPECT_EQ(Names(root_), std::vector<std::string>{"cam.jpg"});  // no .svtemp left

  line = Upload(second);
  EXPECT_TRUE(Succeeded(line)) << line;
  EXPECT_EQ(test::ReadFile(root_ / "cam.jpg"), second);
  EXPECT_EQ(Names(root_), std::vector<std::string>{"cam.jpg"});
}

TEST_F(PyftpdlibUpload, IntoADirectory) {
  fs::create_directories(root_ / "pics" / "cam1");
  settings_.dir = "pics/cam1";
  const std::string bytes = Picture('c', 4096);  // a multiple of the block size
  EXPECT_TRUE(Succeeded(Upload(bytes)));
  EXPECT_EQ(test::ReadFile(root_ / "pics" / "cam1" / "cam.jpg"), bytes);
}

TEST_F(PyftpdlibUpload, FailuresAreLogged) {
  settings_.pass = "wrong";
  EXPECT_TRUE(Failed(Upload(Picture('d', 1000))));
  settings_.pass = "s3cret pass";
  settings_.dir = "does/not/exist";
  EXPECT_TRUE(Failed(Upload(Picture('d', 1000))));
  EXPECT_TRUE(Names(root_).empty());
}

TEST_F(PyftpdlibUpload, RefusedRenameIsAFailure) {
  // The final name is taken by a directory: the rename is refused after the
  // store succeeded, and the temporary file stays behind.
  fs::create_directories(root_ / "cam.jpg");
  EXPECT_TRUE(Failed(Upload(Picture('e', 2000))));
  EXPECT_EQ(test::ReadFile(root_ / "cam.jpg.svtemp"), Picture('e', 2000));
}

TEST_F(PyftpdlibUpload, WorkerLogsAndGivesTheSnapshotBack) {
  std::shared_ptr<SnapshotFile> file = MakeSnapshotFile();
  ASSERT_TRUE(file);
  const std::string bytes = Picture('f', 30000);
  test::WriteFile(file->path, bytes);
  file->captured = true;
  file->users = 1;
  SnapshotUse use(state_, file);
  FtpSettings settings = settings_;
  auto shared = std::make_shared<SnapshotUse>(std::move(use));
  AppState* state = state_.get();
  ASSERT_TRUE(StartWorker(state_, [state, shared, settings] {
    FtpUploadWorker(*state, std::move(*shared), settings);
  }));
  ASSERT_TRUE(sink_->WaitForLogLines(1, 60s));
  ASSERT_TRUE(WaitForWorkers(*state_, 10s));
  auto lines = sink_->LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(Succeeded(lines[0])) << lines[0];
  EXPECT_EQ(test::ReadFile(root_ / "cam.jpg"), bytes);
  EXPECT_EQ(file->users, 0);
  EXPECT_FALSE(fs::exists(file->path));  // the last use deleted the snapshot
  // The data connection's progress: the size first, 0 last.
  auto progress = sink_->Progress();
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.front().second, 30000);
  EXPECT_EQ(progress.back().second, 0);
}

// vsftpd runs as the launching user without privileges: anonymous logins only,
// writes into its anonymous root.
class VsftpdUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/sbin/vsftpd")) GTEST_SKIP() << "vsftpd is not installed";
    fs::create_directories(root_ / "incoming");
    fs::permissions(root_ / "incoming", fs::perms::all);
    int port = FreePort();
    std::ofstream conf(sandbox_ / "vsftpd.conf");
    conf << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
         << "\nbackground=NO\nrun_as_launching_user=YES\nanonymous_enable=YES\n"
            "local_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\n"
            "anon_other_write_enable=YES\nanon_world_readable_only=NO\nno_anon_password=YES\n"
            "anon_root="
         << root_.string()
         << "\nconnect_from_port_20=NO\nport_enable=YES\npasv_enable=NO\n"
            "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
            "xferlog_enable=NO\nsyslog_enable=NO\nvsftpd_log_file=/dev/null\n"
            "dual_log_enable=NO\nhide_ids=YES\nuse_localtime=NO\n"
            "secure_chroot_dir="
         << sandbox_.path().string() << "\n";
    conf.close();
    server_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{"/usr/sbin/vsftpd", (sandbox_ / "vsftpd.conf").string()});
    settings_ = {"anonymous", "", "", "127.0.0.1:" + std::to_string(port), "cam.jpg", "incoming"};
    state_->ui = sink_;
    // Ready once it accepts connections.
    bool up = test::WaitFor([&] { return Connects(port); }, 20s);
    ASSERT_TRUE(up) << "vsftpd did not start";
  }

  static int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    socklen_t length = sizeof at;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    ::close(fd);
    return ntohs(at.sin_port);
  }
  static bool Connects(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    ::close(fd);
    if (!ok) std::this_thread::sleep_for(50ms);
    return ok;
  }

  test::Sandbox sandbox_;
  fs::path root_ = sandbox_ / "anon";
  std::unique_ptr<ServerProcess> server_;
  std::shared_ptr<AppState> state_ = MakeAppState();
  std::shared_ptr<test::RecordingUiSink> sink_ = std::make_shared<test::RecordingUiSink>();
  FtpSettings settings_;
};

TEST_F(VsftpdUpload, StoresRenamesAndReplaces) {
  std::string path = (sandbox_ / "snvsBBBBBB").string();
  for (char seed : {'a', 'b'}) {
    const std::string bytes = Picture(seed, 20000 + seed);
    test::WriteFile(path, bytes);
    std::string line = RunFtpUpload(*state_, path.c_str(), settings_);
    EXPECT_EQ(line.rfind("FTP cam.jpg to " + settings_.server + " - ", 0), 0u) << line;
    EXPECT_EQ(test::ReadFile(root_ / "incoming" / "cam.jpg"), bytes);
  }
  EXPECT_EQ(Names(root_ / "incoming"), std::vector<std::string>{"cam.jpg"});

  settings_.user = "cam";  // not an anonymous name: refused
  std::string line = RunFtpUpload(*state_, path.c_str(), settings_);
  EXPECT_EQ(line.rfind("!!!failed to FTP image to ", 0), 0u) << line;
  settings_.user = "anonymous";
  settings_.dir = "missing";
  line = RunFtpUpload(*state_, path.c_str(), settings_);
  EXPECT_EQ(line.rfind("!!!failed to FTP image to ", 0), 0u) << line;
}

}  // namespace
}  // namespace snapvane
