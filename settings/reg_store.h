#pragma once
// The typed per-user settings store: one key of named values, each with its type
// and exact bytes, kept in a REGEDIT4-style text file:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\software\tolmar\Snapvane]
//   "interval"=dword:0000000a
//   "fileName"="cam.jpg"
//   "captionFont"=hex:f3,ff,ff,ff,...
//
// "text" is REG_SZ (backslash and double quote escaped; the stored bytes end with
// a NUL; text holding a control character is written as hex(1): instead),
// dword: one to eight hex digits, hex: REG_BINARY, hex(2): REG_EXPAND_SZ,
// hex(b): REG_QWORD, hex(N): any type N with its raw bytes. Long hex lists may be
// continued on indented lines after a trailing backslash. A UTF-8 byte-order mark
// is ignored. Comments, other keys and lines that do not parse are kept as they
// are, in place; none is ever fatal.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace snapvane {

enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

inline constexpr std::string_view kSettingsKeyName =
    "HKEY_CURRENT_USER\\software\\tolmar\\Snapvane";
// Larger files are not ours: only this much is read (and the file counts as damaged).
inline constexpr size_t kMaxSettingsFileBytes = 1u << 20;

struct RegValue {
  std::string name;
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
  // Lines kept as they were read (comments, blank lines, other keys, lines that do
  // not parse) that stand just before this value in the file.
  std::vector<std::string> linesBefore;
};

// The values of one key, in file order. Names compare case-insensitively (ASCII).
class RegStore {
 public:
  RegStore() = default;

  // Parses REGEDIT4 text. Values of our key that parse are taken; every other line
  // is kept for Format. A missing header or a line of our key that does not parse
  // marks the text damaged.
  static RegStore Parse(std::string_view text);
  // Reads and parses the file. A missing file gives an empty, undamaged store; an
  // unreadable one an empty, damaged store. Never fails.
  static RegStore Load(const std::filesystem::path& file);

  // The file text for these values, always parseable back to the same values.
  std::string Format() const;

  // Writes the file atomically: a temporary file beside it, flushed to disk, then
  // renamed over it; the folder is created when missing. When this store was
  // loaded damaged, the old file is kept beside the new one (KeepDamagedCopy; a
  // line on standard error names the copy). On failure the old file stays as it
  // was and false is returned.
  bool Save(const std::filesystem::path& file) const;

  const RegValue* Query(std::string_view name) const;
  void Set(std::string_view name, uint32_t type, const void* data, size_t size);
  bool Remove(std::string_view name);

  const std::vector<RegValue>& values() const { return values_; }
  bool damaged() const { return damaged_; }
  // Lines (or continued lines) skipped while parsing.
  size_t skippedLines() const { return skippedLines_; }

 private:
  RegValue* Find(std::string_view name);
  // Removes the value; the lines kept before it move to the next value, or are
  // returned when it was the last one.
  std::vector<std::string> Unlink(std::string_view name);

  std::vector<RegValue> values_;
  std::vector<std::string> preamble_;  // kept lines before our key's own line
  std::vector<std::string> trailing_;  // kept lines after the last value
  bool damaged_ = false;
  size_t skippedLines_ = 0;
};

// Keeps the damaged file as "<file>.bad" (a second link, else a copy), unless that
// already holds the same bytes. Returns the path of the copy made, else empty.
std::filesystem::path KeepDamagedCopy(const std::filesystem::path& file);

// $XDG_CONFIG_HOME/tolmar/Snapvane.reg, else ~/.config/tolmar/Snapvane.reg. Empty
// when no home folder can be found.
std::filesystem::path SettingsFilePath();

}  // namespace snapvane
