#pragma once
// Loading and saving the program's settings (the 22 values of the settings key),
// and the reversible scrambling of the stored FTP password.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/reg_store.h"
#include "settings/settings.h"

namespace snapvane {

// Fixed key of the password scrambling; the same in both directions.
inline constexpr uint32_t kPasswordSeedOffset = 0x2F5A;

// Reads every setting (from SettingsFilePath()), with the defaults for values that
// are missing or unusable; makes the caption style record. UI thread, before any
// worker starts. A damaged file is kept as a copy beside it first; returns that
// copy's path (empty when none was made), for the caller to report.
[[nodiscard]] std::filesystem::path LoadSettings(Settings& settings);
// Writes the settings back: interval, saveFile, http, ftp, caption and quality
// always; each group's other values only when its switch is on, so a switched-off
// group keeps what the file held. The caller brings the switches up to date first.
// Failures are silent; the old file then stays as it was. UI thread.
void SaveSettings(Settings& settings);
// Same, with an explicit file (tests, tools).
[[nodiscard]] std::filesystem::path LoadSettingsFrom(Settings& settings,
                                                     const std::filesystem::path& file);
void SaveSettingsTo(Settings& settings, const std::filesystem::path& file);

// The settings by name, for tools without the window (the command line).
// Names and types are those of the settings file: "dword", "sz" or "hex".
struct SettingName {
  std::string_view name;
  std::string_view type;
};
std::vector<SettingName> SettingNames();
// The named setting as the program reads it from file (missing or unusable
// values give their defaults): dwords as unsigned decimals, texts as they are,
// the password in clear, the font as comma-separated hex bytes. Nothing when
// there is no such setting.
std::optional<std::string> SettingText(const std::filesystem::path& file, std::string_view name);
// Sets every NAME=VALUE of assignments in file at once, in the stored forms (the
// password scrambled; a changed ftpUser re-scrambles the stored password for the
// new user). Nothing is written unless every assignment is good: returns the
// first problem as a message, or empty after the file was written.
struct SettingsEditError {
  std::string message;
  bool badInput = true;  // false: the file could not be written
};
std::optional<SettingsEditError> SetSettingsText(const std::filesystem::path& file,
                                                 const std::vector<std::string>& assignments);

// The stored 32-bit value, or defaultValue when the value is missing, not
// REG_DWORD or not exactly 4 bytes.
uint32_t ReadDwordSetting(const RegStore& key, std::string_view name, uint32_t defaultValue);
// Fills buffer[capacity] with the stored REG_SZ text, terminated. The stored bytes
// (less the one terminating NUL, when present) are copied whole, zero bytes
// included; a value that is missing, not REG_SZ, or too long for the buffer gives
// defaultText instead. Returns the number of text bytes in buffer.
size_t ReadStringSetting(const RegStore& key, std::string_view name, char* buffer, size_t capacity,
                         std::string_view defaultText);
void WriteDwordSetting(RegStore& key, std::string_view name, uint32_t value);
// Stores text as REG_SZ: its bytes (zero bytes included) and one terminating NUL.
void WriteStringSetting(RegStore& key, std::string_view name, std::string_view text);

// Scrambles or unscrambles length bytes of text in place, keyed by the user name
// (its bytes as signed 8-bit values, plus kPasswordSeedOffset, seed a rand-style
// generator whose low seven output bits are XORed into each byte). Its own inverse
// for bytes 0..127. Callers pass a copy, never the live ftpPass.
void ScramblePassword(std::string_view user, char* text, size_t length);
std::string ScrambledPassword(std::string_view user, std::string_view password);

// True when every character of password survives the 7-bit scrambling (1..127).
// The FTP settings dialog refuses passwords for which this is false.
bool PasswordStorable(std::string_view password);

}  // namespace snapvane
