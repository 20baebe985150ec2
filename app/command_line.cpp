#include "app/command_line.h"

namespace snapvane {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  bool get = false, help = false, version = false;
  auto fail = [&cl](std::string why) {
    cl.action = CommandLine::Action::kUsageError;
    cl.error = std::move(why);
    return cl;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // "--name=value" and "--name value" both give an option its value.
    const size_t equals = arg.find('=');
    const std::string name = arg.starts_with("--") ? arg.substr(0, equals) : arg;
    const bool inlineValue = arg.starts_with("--") && equals != std::string::npos;
    auto value = [&](std::string& out) {
      if (inlineValue) return out = arg.substr(equals + 1), true;
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    if (name == "--help" || name == "-h") {
      help = true;
    } else if (name == "--version" || name == "-v") {
      version = true;
    } else if (name == "--headless" && !inlineValue) {
      cl.headless = true;
    } else if (name == "--config") {
      if (!value(cl.configFile) || cl.configFile.empty()) return fail("--config needs a file name");
    } else if (name == "--set") {
      std::string assignment;
      if (!value(assignment)) return fail("--set needs NAME=VALUE");
      cl.assignments.push_back(assignment);
    } else if (name == "--get") {
      get = true;
      if (inlineValue) {
        cl.getName = arg.substr(equals + 1);
      } else if (i + 1 < args.size() && !args[i + 1].starts_with("-")) {
        cl.getName = args[++i];
      }
    } else {
      return fail("unknown option " + arg);
    }
  }
  if (get && !cl.assignments.empty()) return fail("--get and --set cannot be combined");
  if (help) {
    cl.action = CommandLine::Action::kHelp;
  } else if (version) {
    cl.action = CommandLine::Action::kVersion;
  } else if (get) {
    cl.action = CommandLine::Action::kGet;
  } else if (!cl.assignments.empty()) {
    cl.action = CommandLine::Action::kSet;
  }
  return cl;
}

std::string UsageText(const std::string& program) {
  return "Usage: " + program +
         " [options]\n"
         "Turns one camera into a published still picture.\n"
         "\n"
         "Options:\n"
         "  -h, --help             show this help and exit\n"
         "  -v, --version          show the version and exit\n"
         "  --headless             run without a window, preview or tray icon (the default\n"
         "                         when there is no display); SIGHUP re-reads the settings\n"
         "  --config FILE          use FILE as the settings file\n"
         "  --set NAME=VALUE       change a setting in the file and exit (repeatable;\n"
         "                         ftpPass is given in clear and stored scrambled;\n"
         "                         httpPassword is given in clear and only a salted\n"
         "                         hash is stored, as httpPassHash)\n"
         "  --get [NAME]           show one setting, or all of them, and exit\n"
         "\n"
         "Settings: interval (seconds), saveFile, fileName, http, httpPort, httpRefresh,\n"
         "ftp, ftpUser, ftpPass, ftpAccount, ftpServer, ftpFile, ftpDir, caption,\n"
         "captionText, quality, httpAddress, httpUser, httpStream, httpStreamFps,\n"
         "archive, archivePattern, archiveDays, ... (--get lists them all).\n";
}

}  // namespace snapvane
