#include "settings/reg_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/unique_fd.h"

namespace snapvane {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr size_t kHexLineWidth = 77;  // wrap hex lists like the classic format (80 columns)
constexpr std::string_view kTempSuffix = ".XXXXXX";
constexpr std::string_view kBadSuffix = ".bad";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";  // some editors start a file with it
constexpr size_t kMaxDwordDigits = 8;
constexpr uint8_t kFirstPrintable = 0x20;
constexpr uint8_t kDelete = 0x7F;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A quoted text at the start of s ("..." with \\ and \" escapes). On success
// returns true, stores the unescaped bytes and removes the quoted text from s.
bool TakeQuoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      out.push_back(s[++i]);
    } else {
      out.push_back(c);
    }
  }
  return false;  // no closing quote
}

// "aa,bb,cc" (blanks allowed around bytes); an empty list is zero bytes.
bool ParseHexList(std::string_view list, std::vector<uint8_t>& out) {
  out.clear();
  list = Trim(list);
  if (list.empty()) return true;
  while (true) {
    size_t comma = list.find(',');
    std::string_view token = Trim(list.substr(0, comma));
    if (token.size() != 2) return false;
    int hi = HexDigit(token[0]), lo = HexDigit(token[1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

enum class LineResult { kValue, kDelete, kBad };

// Parses the value line lines[i]; a hex list continued with trailing backslashes
// takes the following indented lines too (i is advanced past them).
LineResult ParseValueLine(const std::vector<std::string_view>& lines, size_t& i, RegValue& out) {
  std::string_view s = Trim(lines[i]);
  if (!s.empty() && s.front() == '@') {
    out.name.clear();
    s.remove_prefix(1);
  } else if (!TakeQuoted(s, out.name)) {
    return LineResult::kBad;
  }
  s = Trim(s);
  if (s.empty() || s.front() != '=') return LineResult::kBad;
  s = Trim(s.substr(1));

  if (s == "-") return LineResult::kDelete;

  if (!s.empty() && s.front() == '"') {
    std::string text;
    if (!TakeQuoted(s, text) || !Trim(s).empty()) return LineResult::kBad;
    out.type = kRegSz;
    out.data.assign(text.begin(), text.end());
    out.data.push_back(0);
    return LineResult::kValue;
  }

  if (StartsWithNoCase(s, "dword:")) {
    // Other editors write fewer digits ("dword:a"); up to eight are taken.
    std::string_view digits = Trim(s.substr(6));
    if (digits.empty() || digits.size() > kMaxDwordDigits) return LineResult::kBad;
    uint32_t v = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return LineResult::kBad;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    out.type = kRegDword;
    out.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    return LineResult::kValue;
  }

  if (!StartsWithNoCase(s, "hex")) return LineResult::kBad;
  s.remove_prefix(3);
  uint32_t type = kRegBinary;
  if (!s.empty() && s.front() == '(') {
    size_t close = s.find(')');
    if (close == std::string_view::npos || close < 2 || close > 9) return LineResult::kBad;
    type = 0;
    for (char c : s.substr(1, close - 1)) {
      int d = HexDigit(c);
      if (d < 0) return LineResult::kBad;
      type = type * 16 + static_cast<uint32_t>(d);
    }
    s.remove_prefix(close + 1);
  }
  if (s.empty() || s.front() != ':') return LineResult::kBad;
  s.remove_prefix(1);

  std::string list(Trim(s));
  while (!list.empty() && list.back() == '\\') {
    list.pop_back();
    // A continuation is indented; anything else is the next value, not ours.
    if (i + 1 >= lines.size() || lines[i + 1].empty() || !IsBlank(lines[i + 1].front()))
      return LineResult::kBad;
    ++i;
    list += Trim(lines[i]);
  }
  if (!ParseHexList(list, out.data)) return LineResult::kBad;
  out.type = type;
  return LineResult::kValue;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

void AppendQuoted(std::string& out, std::string_view bytes) {
  out.push_back('"');
  for (char c : bytes) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// A REG_SZ value is written as "text" only when its bytes end with the one NUL and
// hold no control character: a raw CR or other control byte inside quotes is
// easily turned into a line break by an editor, and the value would be lost.
// Anything else is written as hex(1): bytes.
bool FitsQuotedForm(const RegValue& v) {
  if (v.type != kRegSz || v.data.empty() || v.data.back() != 0) return false;
  for (size_t i = 0; i + 1 < v.data.size(); ++i) {
    uint8_t b = v.data[i];
    if (b < kFirstPrintable || b == kDelete) return false;
  }
  return true;
}

// Names come from parsed lines or from code; one holding a line break cannot be
// written (and cannot have been read).
bool NameWritable(std::string_view name) { return name.find('\n') == std::string_view::npos; }

void AppendValueLine(std::string& out, const RegValue& v) {
  size_t lineStart = out.size();
  if (v.name.empty())
    out.push_back('@');
  else
    AppendQuoted(out, v.name);
  out.push_back('=');

  if (FitsQuotedForm(v)) {
    AppendQuoted(out,
                 std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
  } else if (v.type == kRegDword && v.data.size() == 4) {
    uint32_t x =
        v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", x);
    out += buf;
  } else {
    char buf[24];
    if (v.type == kRegBinary)
      std::snprintf(buf, sizeof buf, "hex:");
    else
      std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
    size_t column = out.size() - lineStart;
    for (size_t i = 0; i < v.data.size(); ++i) {
      char token[4];
      bool last = i + 1 == v.data.size();
      std::snprintf(token, sizeof token, last ? "%02x" : "%02x,", v.data[i]);
      size_t len = last ? 2 : 3;
      if (i > 0 && column + len > kHexLineWidth) {
        out += "\\\n  ";
        column = 2;
      }
      out.append(token, len);
      column += len;
    }
  }
  out.push_back('\n');
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void SyncFolder(const std::filesystem::path& folder) {
  UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

// The whole file, or false when it cannot be read or is larger than we ever read.
bool ReadWhole(const std::filesystem::path& p, std::string& out) {
  out.clear();
  UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return false;
  char buf[16384];
  while (out.size() <= kMaxSettingsFileBytes) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<size_t>(n));
  }
  return false;
}

// Same file, or the same bytes: keeping it again would add nothing.
bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return true;
  if (sa.st_size != sb.st_size) return false;
  std::string ta, tb;
  return ReadWhole(a, ta) && ReadWhole(b, tb) && ta == tb;
}

// Copies the bytes of `from` to a new file `to` (mode 0600), replacing it atomically.
bool CopyWhole(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::string bytes;
  if (!ReadWhole(from, bytes)) return false;
  std::string tempName = to.string();
  tempName += kTempSuffix;
  UniqueFd out(::mkostemp(tempName.data(), O_CLOEXEC));
  if (out.get() < 0) return false;
  bool ok = WriteAll(out.get(), bytes) && ::fsync(out.get()) == 0;
  ok = out.Close() && ok;
  if (ok && ::rename(tempName.c_str(), to.c_str()) == 0) return true;
  ::unlink(tempName.c_str());
  return false;
}

}  // namespace

RegStore RegStore::Parse(std::string_view text) {
  RegStore store;
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  std::vector<std::string_view> lines = SplitLines(text);
  bool headerSeen = false;
  bool ourKeySeen = false;
  bool inOurKey = false;
  // Lines kept as they are, waiting for the value they stand before.
  std::vector<std::string> kept;
  auto keep = [&kept](std::string_view line) {
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    kept.emplace_back(line);
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = Trim(lines[i]);
    if (!headerSeen) {
      if (line.empty()) continue;
      headerSeen = true;
      if (line == kHeader) continue;
      store.damaged_ = true;  // not our format; still take what parses
    }
    if (!line.empty() && line.front() == '[') {
      inOurKey =
          line.back() == ']' && EqualsNoCase(line.substr(1, line.size() - 2), kSettingsKeyName);
      if (inOurKey && !ourKeySeen) {
        ourKeySeen = true;  // the first one is ours to write; everything before stays before it
        store.preamble_ = std::move(kept);
        kept.clear();
      } else {
        keep(lines[i]);
      }
      continue;
    }
    // Comments, blank lines and other keys' lines are not ours to judge.
    if (line.empty() || line.front() == ';' || !inOurKey) {
      keep(lines[i]);
      continue;
    }
    const size_t first = i;
    RegValue value;
    switch (ParseValueLine(lines, i, value)) {
      case LineResult::kValue:
        if (!store.Find(value.name)) {
          value.linesBefore = std::move(kept);
          kept.clear();
          store.values_.push_back(std::move(value));
        } else {
          store.Set(value.name, value.type, value.data.data(), value.data.size());
        }
        break;
      case LineResult::kDelete: {
        std::vector<std::string> orphans = store.Unlink(value.name);
        kept.insert(kept.begin(), orphans.begin(), orphans.end());
        break;
      }
      case LineResult::kBad:
        // Kept where it stands, so a mistyped hand edit is not lost at the next save.
        store.damaged_ = true;
        ++store.skippedLines_;
        for (size_t k = first; k <= i; ++k) keep(lines[k]);
        break;
    }
  }
  while (!kept.empty() && Trim(kept.back()).empty()) kept.pop_back();
  if (ourKeySeen)
    store.trailing_ = std::move(kept);
  else
    store.preamble_ = std::move(kept);  // lines outside any key must stay outside ours
  return store;
}

RegStore RegStore::Load(const std::filesystem::path& file) {
  RegStore damaged;
  damaged.damaged_ = true;
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return errno == ENOENT ? RegStore() : damaged;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return damaged;

  std::string text;
  bool readFailed = false;
  char buf[16384];
  while (text.size() <= kMaxSettingsFileBytes) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      readFailed = true;
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  bool tooLong = text.size() > kMaxSettingsFileBytes;
  if (tooLong || readFailed) {
    // Whatever came after the last whole line may be cut: leave it out.
    if (tooLong) text.resize(kMaxSettingsFileBytes);
    size_t nl = text.rfind('\n');
    text.resize(nl == std::string::npos ? 0 : nl + 1);
  }
  RegStore store = Parse(text);
  if (tooLong || readFailed) store.damaged_ = true;
  return store;
}

std::string RegStore::Format() const {
  auto appendLines = [](std::string& out, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) out.append(line).push_back('\n');
  };
  std::string out;
  out += kHeader;
  out += "\n";
  if (preamble_.empty()) out += "\n";
  appendLines(out, preamble_);
  out += "[";
  out += kSettingsKeyName;
  out += "]\n";
  for (const RegValue& v : values_) {
    appendLines(out, v.linesBefore);
    if (NameWritable(v.name)) AppendValueLine(out, v);
  }
  appendLines(out, trailing_);
  out += "\n";
  return out;
}

bool RegStore::Save(const std::filesystem::path& requested) const {
  if (requested.empty()) return false;
  // Write through a symbolic link rather than replacing the link itself.
  std::filesystem::path file = requested;
  std::error_code ec;
  if (std::filesystem::is_symlink(requested, ec)) {
    std::filesystem::path target = std::filesystem::weakly_canonical(requested, ec);
    if (!ec) file = target;
  }

  std::filesystem::path folder = file.parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec)) return false;
  }

  std::string tempName = file.string();
  tempName += kTempSuffix;
  UniqueFd out(::mkostemp(tempName.data(), O_CLOEXEC));  // mode 0600: a password lives here
  if (out.get() < 0) return false;
  auto fail = [&] {
    out.Close();
    ::unlink(tempName.c_str());
    return false;
  };
  if (!WriteAll(out.get(), Format())) return fail();
  if (::fsync(out.get()) != 0) return fail();
  if (!out.Close()) {
    ::unlink(tempName.c_str());
    return false;
  }

  if (damaged_) {
    std::filesystem::path kept = KeepDamagedCopy(file);
    if (!kept.empty()) std::fprintf(stderr, "settings file damaged, kept as %s\n", kept.c_str());
  }
  if (::rename(tempName.c_str(), file.c_str()) != 0) {
    ::unlink(tempName.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

RegValue* RegStore::Find(std::string_view name) {
  for (RegValue& v : values_)
    if (EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

const RegValue* RegStore::Query(std::string_view name) const {
  return const_cast<RegStore*>(this)->Find(name);
}

void RegStore::Set(std::string_view name, uint32_t type, const void* data, size_t size) {
  RegValue* v = Find(name);
  if (!v) {
    values_.emplace_back();
    v = &values_.back();
  }
  v->name.assign(name);
  v->type = type;
  const auto* bytes = static_cast<const uint8_t*>(data);
  v->data.assign(bytes, bytes + size);
}

std::vector<std::string> RegStore::Unlink(std::string_view name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (!EqualsNoCase(it->name, name)) continue;
    std::vector<std::string> lines = std::move(it->linesBefore);
    it = values_.erase(it);
    if (it == values_.end()) return lines;
    it->linesBefore.insert(it->linesBefore.begin(), lines.begin(), lines.end());
    return {};
  }
  return {};
}

bool RegStore::Remove(std::string_view name) {
  if (!Find(name)) return false;
  std::vector<std::string> lines = Unlink(name);
  trailing_.insert(trailing_.begin(), lines.begin(), lines.end());
  return true;
}

std::filesystem::path KeepDamagedCopy(const std::filesystem::path& file) {
  struct stat st;
  if (file.empty() || ::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return {};  // nothing (or not a file of ours) to keep
  std::filesystem::path bad = file;
  bad += kBadSuffix;
  if (SameContent(file, bad)) return {};
  // A second link keeps the bytes without copying; the save replaces the name only.
  ::unlink(bad.c_str());
  if (::link(file.c_str(), bad.c_str()) == 0 || CopyWhole(file, bad)) return bad;
  return {};
}

std::filesystem::path SettingsFilePath() {
  std::filesystem::path base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::string homeDir = (home && *home) ? home : "";
    if (homeDir.empty()) {
      struct passwd pw;
      struct passwd* found = nullptr;
      char buf[4096];
      if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
        homeDir = found->pw_dir;
    }
    if (homeDir.empty()) return {};
    base = std::filesystem::path(homeDir) / ".config";
  }
  return base / "tolmar" / "Snapvane.reg";
}

}  // namespace snapvane
