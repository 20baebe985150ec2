#pragma once
// A self-removing folder for one test, a bounded wait for a condition, locales
// and whole files.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace snapvane::test {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

bool WaitFor(const std::function<bool()>& predicate,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Sets the process locale to name ("fr_FR.ISO-8859-1"), first generating it into
// box (through LOCPATH) when the system lacks it; false when neither works.
bool UseLocale(const std::string& name, const Sandbox& box);

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace snapvane::test
