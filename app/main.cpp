// Snapvane: one camera turned into a published still picture.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/command_line.h"
#include "app/main_window.h"
#include "app/program.h"
#include "publish/socket_util.h"
#include "settings/reg_store.h"
#include "publish/http_auth.h"
#include "settings/settings_store.h"

namespace {

using snapvane::CommandLine;

// Exit status for a bad command line, name or value.
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

int signalPipe[2] = {-1, -1};

// Only writes the signal's number: the UI thread does the rest.
void OnSignal(int signalNumber) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  [[maybe_unused]] ssize_t ignored = write(signalPipe[1], &byte, 1);
  errno = saved;
}

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

bool InstallSignalPipe() {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  return true;
}

// SIGHUP reloads; SIGINT and SIGTERM end the program.
std::unique_ptr<QSocketNotifier> WatchSignals(QObject* context, std::function<void()> reload,
                                              std::function<void()> end) {
  auto notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, context, [reload, end] {
    unsigned char received[16];
    bool reloadWanted = false, endWanted = false;
    ssize_t n;
    while ((n = read(signalPipe[0], received, sizeof received)) > 0) {
      for (ssize_t i = 0; i < n; ++i) (received[i] == SIGHUP ? reloadWanted : endWanted) = true;
    }
    if (endWanted) {
      end();
    } else if (reloadWanted) {
      reload();
    }
  });
  return notifier;
}

std::filesystem::path SettingsFileOf(const CommandLine& cl) {
  return cl.configFile.empty() ? snapvane::SettingsFilePath()
                               : std::filesystem::path(cl.configFile);
}

int GetSettings(const CommandLine& cl) {
  const std::filesystem::path file = SettingsFileOf(cl);
  if (cl.getName) {
    std::optional<std::string> value = snapvane::SettingText(file, *cl.getName);
    if (!value) {
      std::fprintf(stderr, "snapvane: unknown setting \"%s\" (--get lists them)\n",
                   cl.getName->c_str());
      return kExitUsage;
    }
    std::printf("%s\n", value->c_str());
    return 0;
  }
  for (const snapvane::SettingName& setting : snapvane::SettingNames()) {
    std::string value = snapvane::SettingText(file, setting.name).value_or("");
    // Asked for by name it is shown; in the list it is only said to be there.
    if (setting.name == "ftpPass" && !value.empty()) value = "********";
    std::printf("%.*s (%.*s)=%s\n", static_cast<int>(setting.name.size()), setting.name.data(),
                static_cast<int>(setting.type.size()), setting.type.data(), value.c_str());
  }
  return 0;
}

int SetSettings(const CommandLine& cl) {
  const std::filesystem::path file = SettingsFileOf(cl);
  // The viewers' password is given in clear and only its salted hash is stored.
  std::vector<std::string> assignments = cl.assignments;
  constexpr std::string_view kClearHttpPassword = "httpPassword=";
  for (std::string& assignment : assignments) {
    if (!assignment.starts_with(kClearHttpPassword)) continue;
    const std::string clear = assignment.substr(kClearHttpPassword.size());
    assignment = "httpPassHash=" + (clear.empty() ? std::string() : snapvane::HashHttpPassword(clear));
  }
  if (auto error = snapvane::SetSettingsText(file, assignments)) {
    std::fprintf(stderr, "snapvane: %s; %s unchanged\n", error->message.c_str(),
                 file.string().c_str());
    return error->badInput ? kExitUsage : kExitFailure;
  }
  return 0;
}

// Reads only the caption switch: it decides whether the headless program needs fonts.
bool CaptionOn(const std::filesystem::path& file) {
  return snapvane::SettingText(file, "caption").value_or("0") != "0";
}

int RunHeadless(int argc, char** argv, const CommandLine& cl) {
  const std::filesystem::path file = SettingsFileOf(cl);
  // Drawing the caption's text needs fonts, which need a QGuiApplication; the
  // offscreen platform gives one without any display. Without a caption the
  // plain core application is enough (and lighter).
  std::unique_ptr<QCoreApplication> app;
  if (CaptionOn(file)) {
    if (!IsSet("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app = std::make_unique<QGuiApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QCoreApplication::setApplicationName(QStringLiteral("Snapvane"));

  const bool haveSignalPipe = InstallSignalPipe();
  snapvane::Program::Options options;
  options.settingsFile = file;
  options.preview = false;
  options.headless = true;
  snapvane::Program program(std::move(options));
  program.State()->log->SetEcho(true);
  program.Start();
  program.ApplyHttpSwitch();
  std::fprintf(stderr, "%s\n", program.StartupLine().c_str());

  std::unique_ptr<QSocketNotifier> signalWatch;
  if (haveSignalPipe) {
    signalWatch = WatchSignals(
        &program, [&program] { program.ReloadSettings(); },
        [&program] {
          program.StopSchedule();
          program.SaveSettings();
          program.Finish();
          QCoreApplication::exit(0);
        });
  }
  app->exec();
  signalWatch.reset();
  program.Finish();
  program.ReleaseCamera();
  return 0;
}

int RunWindow(int argc, char** argv, const CommandLine& cl) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Snapvane"));
  QApplication::setQuitOnLastWindowClosed(false);  // the window lives on in the tray

  const bool haveSignalPipe = InstallSignalPipe();
  snapvane::MainWindow::Options options;
  options.settingsFile = SettingsFileOf(cl);
  snapvane::MainWindow window(std::move(options));
  window.SetEndedCallback([](int) { QCoreApplication::exit(0); });
  // Queued after the window's own start of the HTTP server, so the line tells
  // whether it listens.
  QMetaObject::invokeMethod(
      &window,
      [&window] { std::fprintf(stderr, "%s\n", window.TheProgram().StartupLine().c_str()); },
      Qt::QueuedConnection);

  std::unique_ptr<QSocketNotifier> signalWatch;
  if (haveSignalPipe) {
    signalWatch = WatchSignals(
        &window, [&window] { window.ReloadSettings(); }, [&window] { window.RequestClose(); });
  }
  window.show();
  if (!window.HasEnded()) app.exec();
  signalWatch.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The user's locale governs the interval's number format and the caption's
  // date and time.
  std::setlocale(LC_ALL, "");
  // A peer that goes away mid-send must not end the program.
  signal(SIGPIPE, SIG_IGN);
  // Every waiting browser holds a descriptor; the hard limit is the real bound.
  snapvane::RaiseDescriptorLimit();

  const std::vector<std::string> args(argv + 1, argv + argc);
  const CommandLine cl = snapvane::ParseCommandLine(args);
  switch (cl.action) {
    case CommandLine::Action::kUsageError:
      std::fprintf(stderr, "snapvane: %s\n%s", cl.error.c_str(),
                   snapvane::UsageText("snapvane").c_str());
      return kExitUsage;
    case CommandLine::Action::kHelp:
      std::printf("%s", snapvane::UsageText("snapvane").c_str());
      return 0;
    case CommandLine::Action::kVersion:
      std::printf("Snapvane %s\n", snapvane::ProgramVersion());
      return 0;
    case CommandLine::Action::kGet:
      return GetSettings(cl);
    case CommandLine::Action::kSet:
      return SetSettings(cl);
    case CommandLine::Action::kRun:
      break;
  }
  // Without any display there is no window to show: run unattended.
  const bool noDisplay =
      !IsSet("QT_QPA_PLATFORM") && !IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY");
  if (cl.headless || noDisplay) return RunHeadless(argc, argv, cl);
  return RunWindow(argc, argv, cl);
}
