#include "tests/support/sandbox.h"

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace snapvane::test {

Sandbox::Sandbox() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "snapvane-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

Sandbox::~Sandbox() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool UseLocale(const std::string& name, const Sandbox& box) {
  if (std::setlocale(LC_ALL, name.c_str())) return true;
  const size_t dot = name.find('.');
  const std::string command = "localedef -i " + name.substr(0, dot) + " -f " +
                              name.substr(dot + 1) + " '" + (box / name).string() +
                              "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return false;
  setenv("LOCPATH", box.path().c_str(), 1);
  return std::setlocale(LC_ALL, name.c_str()) != nullptr;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace snapvane::test
