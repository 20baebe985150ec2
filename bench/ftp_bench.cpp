// Uploads of one 640x480 JPEG to pyftpdlib on loopback: Snapvane's uploader beside
// curl in the same mode (--ftp-port 127.0.0.1 for active) doing the same work (store under the
// temporary name, then RNFR/RNTO), alternating, in the same run. Prints the
// median milliseconds per upload and the ratio. Goal: no slower than curl.
//
// Usage: bench_ftp [uploads]   (default 20 each; needs python3-pyftpdlib, curl)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "capture/jpeg_writer.h"
#include "common/ui_sink.h"
#include "publish/ftp_upload.h"

using namespace snapvane;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 640, kHeight = 480, kQuality = 75;
constexpr const char* kUser = "bench";
constexpr const char* kPass = "bench-pass";

// Progress and log lines go nowhere; the uploader still reports them.
class NullSink : public UiSink {
 public:
  void AddLogLine(int, const std::string&) override {}
  void ReportTransferProgress(int, int32_t) override {}
  void AddVisitLine(int, const std::string&) override {}
  void PostHostName(int, std::string) override {}
};

pid_t Spawn(std::vector<std::string> argv, int stdoutFd) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
    int null = ::open("/dev/null", O_WRONLY);
    if (stdoutFd < 0) ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int uploads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  fs::path dir = fs::temp_directory_path() / ("ftp_bench." + std::to_string(::getpid()));
  fs::create_directories(dir / "root");

  // A camera-like picture: gradients with some texture.
  std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * kHeight * 3);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * kWidth + x) * 3];
      p[0] = static_cast<uint8_t>(x * 255 / kWidth);
      p[1] = static_cast<uint8_t>(y * 255 / kHeight);
      p[2] = static_cast<uint8_t>(128 + 100 * std::sin(x * 0.05) * std::cos(y * 0.07));
    }
  const std::string picture = (dir / "snvsBENCH").string();
  if (!WriteJpegFile(rgb.data(), kWidth, kHeight, picture.c_str(), 0, kQuality).ok) {
    std::fprintf(stderr, "could not write the JPEG\n");
    return 1;
  }
  const auto size = fs::file_size(picture);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return 1;
  pid_t server =
      Spawn({"/usr/bin/python3", SNAPVANE_SOURCE_DIR "/tests/integration/ftp_test_server.py",
             (dir / "root").string(), kUser, kPass},
            out[1]);
  ::close(out[1]);
  std::string port;
  pollfd p{out[0], POLLIN, 0};
  char c;
  while (::poll(&p, 1, 30000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') port.push_back(c);
  ::close(out[0]);
  if (port.empty()) {
    std::fprintf(stderr, "pyftpdlib did not start (python3-pyftpdlib installed?)\n");
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    return 1;
  }

  NullSink sink;
  const std::string curlUrl = "ftp://127.0.0.1:" + port + "/curl.jpg.svtemp";
  struct Run {
    const char* name;
    FtpMode mode;
    std::vector<double> ours, theirs;
  } runs[] = {{"active", FtpMode::kActive, {}, {}},
              {"passive", FtpMode::kPassive, {}, {}},
              {"automatic", FtpMode::kAutomatic, {}, {}}};
  int failures = 0;
  for (Run& run : runs) {
    FtpSettings settings{kUser, kPass, "", "127.0.0.1:" + port, "snapvane.jpg", ""};
    settings.mode = run.mode;
    for (int i = 0; i < uploads; ++i) {
      auto t0 = Clock::now();
      std::string line = RunFtpUpload(&sink, picture.c_str(), settings);
      run.ours.push_back(Ms(Clock::now() - t0));
      if (line.rfind("FTP ", 0) != 0) ++failures;

      // curl in the same mode: --ftp-port for active, its default EPSV otherwise.
      std::vector<std::string> args{"curl", "-s", "-S", "--user", std::string(kUser) + ":" + kPass};
      if (run.mode == FtpMode::kActive) args.insert(args.end(), {"--ftp-port", "127.0.0.1"});
      args.insert(args.end(),
                  {"-T", picture, "-Q", "-RNFR curl.jpg.svtemp", "-Q", "-RNTO curl.jpg", curlUrl});
      t0 = Clock::now();
      pid_t curl = Spawn(args, -1);
      int status = 0;
      ::waitpid(curl, &status, 0);
      run.theirs.push_back(Ms(Clock::now() - t0));
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    }
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);

  bool whole = fs::exists(dir / "root" / "snapvane.jpg") &&
               fs::file_size(dir / "root" / "snapvane.jpg") == size &&
               fs::exists(dir / "root" / "curl.jpg") &&
               fs::file_size(dir / "root" / "curl.jpg") == size;
  fs::remove_all(dir);

  std::printf(
      "FTP upload of a %dx%d JPEG (%ju bytes) to pyftpdlib on loopback, %d each,\n"
      "timed at the client from start to end (curl's process start included)\n",
      kWidth, kHeight, static_cast<uintmax_t>(size), uploads);
  for (Run& run : runs) {
    double a = Median(run.ours), b = Median(run.theirs);
    std::printf("  %-9s snapvane %.2f ms, curl %.2f ms, ratio %.2f (goal <= 1.00)\n", run.name, a,
                b, a / b);
  }
  if (failures || !whole) {
    std::printf("  FAILED uploads: %d%s\n", failures, whole ? "" : ", files incomplete");
    return 1;
  }
  return 0;
}
