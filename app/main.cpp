// Snapvane: one camera turned into a published still picture.
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/command_line.h"
#include "app/program.h"
#include "app/signal_watch.h"
#include "app/window_module.h"
#include "publish/http_auth.h"
#include "publish/socket_util.h"
#include "settings/reg_store.h"
#include "settings/settings_store.h"

namespace {

using snapvane::CommandLine;

// Exit status for a bad command line, name or value.
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// The window module: beside the program in the build tree, in its own folder
// of the library directory once installed. Null (and said why) when missing.
void* OpenWindowModule() {
  constexpr const char* kModuleName = "snapvane-window.so";
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  std::string failure = "not found";
  for (const std::filesystem::path& dir :
       {self.parent_path(), self.parent_path() / SNAPVANE_MODULE_DIR}) {
    const std::filesystem::path module = dir / kModuleName;
    if (!std::filesystem::exists(module, error)) continue;
    if (void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
    const char* why = dlerror();
    failure = why ? why : module.string();
  }
  std::fprintf(stderr, "snapvane: the window module %s: %s\n", kModuleName, failure.c_str());
  return nullptr;
}

template <typename Fn>
Fn ModuleFunction(void* module, const char* name) {
  return module ? reinterpret_cast<Fn>(dlsym(module, name)) : nullptr;
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
    assignment =
        "httpPassHash=" + (clear.empty() ? std::string() : snapvane::HashHttpPassword(clear));
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

int RunHeadless(int& argc, char** argv, const CommandLine& cl) {
  const std::filesystem::path file = SettingsFileOf(cl);
  // Drawing the caption's text needs fonts, which need Qt Gui: only then is the
  // window module loaded. Without a caption the plain core application is
  // enough (and much lighter).
  std::unique_ptr<QCoreApplication> app;
  snapvane::CaptionBurner burner = nullptr;
  if (CaptionOn(file)) {
    void* module = OpenWindowModule();
    auto newApp =
        ModuleFunction<SnapvaneNewTextApplicationFn>(module, "SnapvaneNewTextApplication");
    auto getBurner = ModuleFunction<SnapvaneCaptionBurnerFn>(module, "SnapvaneCaptionBurner");
    if (newApp && getBurner) {
      app.reset(newApp(&argc, argv));
      burner = getBurner();
    } else {
      std::fprintf(stderr, "snapvane: pictures go out without their caption\n");
    }
  }
  if (!app) app = std::make_unique<QCoreApplication>(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Snapvane"));

  const int signalReadEnd = snapvane::InstallSignalPipe();
  snapvane::Program::Options options;
  options.settingsFile = file;
  options.preview = false;
  options.headless = true;
  options.captionBurner = burner;
  snapvane::Program program(std::move(options));
  program.State()->log->SetEcho(true);
  program.Start();
  program.ApplyHttpSwitch();
  std::fprintf(stderr, "%s\n", program.StartupLine().c_str());

  std::unique_ptr<QSocketNotifier> signalWatch = snapvane::WatchSignals(
      signalReadEnd, &program, [&program] { program.ReloadSettings(); },
      [&program] {
        program.StopSchedule();
        program.SaveSettings();
        program.Finish();
        QCoreApplication::exit(0);
      });
  app->exec();
  signalWatch.reset();
  program.Finish();
  program.ReleaseCamera();
  return 0;
}

int RunWindow(int& argc, char** argv, const CommandLine& cl) {
  auto run = ModuleFunction<SnapvaneRunWindowFn>(OpenWindowModule(), "SnapvaneRunWindow");
  if (!run) return kExitFailure;
  const int signalReadEnd = snapvane::InstallSignalPipe();
  return run(&argc, argv, SettingsFileOf(cl).c_str(), signalReadEnd);
}

}  // namespace

int main(int argc, char** argv) {
  // The user's locale governs the interval's number format and the caption's
  // date and time.
  std::setlocale(LC_ALL, "");
  // A peer that goes away mid-send must not end the program.
  signal(SIGPIPE, SIG_IGN);
#ifdef __GLIBC__
  // A handful of long-lived threads: arenas beyond two would only keep the
  // memory they freed resident (about a megabyte once the log is full).
  mallopt(M_ARENA_MAX, 2);
#endif
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
