#pragma once
// The program's command line: what to do and with which settings file. Plain
// C++, parsed before any toolkit object exists.
#include <optional>
#include <string>
#include <vector>

namespace snapvane {

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kGet, kSet, kUsageError };
  Action action = Action::kRun;
  bool headless = false;
  std::string configFile;                // empty: the usual settings file
  std::vector<std::string> assignments;  // --set NAME=VALUE, in order
  std::optional<std::string> getName;    // --get NAME (nothing: every setting)
  std::string error;                     // kUsageError: what was wrong
};

// args without the program name. --get and --set may not be combined.
CommandLine ParseCommandLine(const std::vector<std::string>& args);
// The --help text.
std::string UsageText(const std::string& program);

}  // namespace snapvane
