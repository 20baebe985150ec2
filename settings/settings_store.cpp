#include "settings/settings_store.h"

#include <cstring>

#include "app/app_state.h"
#include "app/main_window_port.h"
#include "capture/caption_style.h"
#include "common/fixed_text.h"

namespace snapvane {

namespace {

constexpr char kDefaultFileName[] = "cam.jpg";
constexpr uint32_t kDefaultHttpPort = 80;
constexpr uint32_t kDefaultQuality = 50;

// The generator of the classic C runtime's rand(): only its low seven bits are used.
constexpr uint32_t kRandMultiplier = 214013;
constexpr uint32_t kRandIncrement = 2531011;

// The text of a fixed field, never reading past it even when unterminated.
template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

// A stored face name filling all 32 bytes is cut to end on a whole character.
void TerminateFaceName(LogFont& font) {
  constexpr size_t kFace = sizeof font.lfFaceName;
  std::string_view face(font.lfFaceName, kFace);
  if (face.find('\0') != std::string_view::npos) return;
  font.lfFaceName[Utf8Prefix(face, kFace - 1)] = '\0';
}

}  // namespace

uint32_t ReadDwordSetting(const RegStore& key, std::string_view name, uint32_t defaultValue) {
  const RegValue* v = key.Query(name);
  if (!v || v->type != kRegDword || v->data.size() != 4) return defaultValue;
  return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
         (static_cast<uint32_t>(v->data[3]) << 24);
}

size_t ReadStringSetting(const RegStore& key, std::string_view name, char* buffer, size_t capacity,
                         std::string_view defaultText) {
  if (capacity == 0) return 0;
  const RegValue* v = key.Query(name);
  if (v && v->type == kRegSz) {
    size_t length = v->data.size();
    if (length > 0 && v->data.back() == 0) --length;  // the stored terminator
    // The text and a terminator must both fit; a longer value is unusable.
    if (length < capacity) {
      if (length > 0) std::memcpy(buffer, v->data.data(), length);
      buffer[length] = '\0';
      return length;
    }
  }
  return CopyText(buffer, capacity, defaultText);
}

void WriteDwordSetting(RegStore& key, std::string_view name, uint32_t value) {
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  key.Set(name, kRegDword, bytes, sizeof bytes);
}

void WriteStringSetting(RegStore& key, std::string_view name, std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  key.Set(name, kRegSz, data.data(), data.size());
}

void ScramblePassword(std::string_view user, char* text, size_t length) {
  uint32_t state = kPasswordSeedOffset;
  for (char c : user) state += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  for (size_t i = 0; i < length; ++i) {
    state = state * kRandMultiplier + kRandIncrement;
    uint32_t r = (state >> 16) & 0x7FFF;
    text[i] = static_cast<char>((r ^ static_cast<uint8_t>(text[i])) & 0x7F);
  }
}

std::string ScrambledPassword(std::string_view user, std::string_view password) {
  std::string copy(password);
  ScramblePassword(user, copy.data(), copy.size());
  return copy;
}

bool PasswordStorable(std::string_view password) {
  for (char c : password) {
    auto b = static_cast<uint8_t>(c);
    if (b == 0 || b > 127) return false;
  }
  return true;
}

std::filesystem::path LoadSettingsFrom(AppState& s, const std::filesystem::path& file) {
  // A missing or unreadable file reads as empty: every default applies.
  RegStore key = file.empty() ? RegStore() : RegStore::Load(file);
  // Kept now, so the user hears of it while the program runs, not at exit.
  std::filesystem::path kept = key.damaged() ? KeepDamagedCopy(file) : std::filesystem::path();

  s.interval = static_cast<int32_t>(ReadDwordSetting(key, "interval", 0));
  s.saveFile = static_cast<int32_t>(ReadDwordSetting(key, "saveFile", 0));
  ReadStringSetting(key, "fileName", s.fileName, sizeof s.fileName, kDefaultFileName);
  s.http = static_cast<int32_t>(ReadDwordSetting(key, "http", 0));
  s.httpPort = static_cast<uint16_t>(ReadDwordSetting(key, "httpPort", kDefaultHttpPort) & 0xFFFF);
  s.httpRefresh = static_cast<int32_t>(ReadDwordSetting(key, "httpRefresh", 0));
  s.ftp = static_cast<int32_t>(ReadDwordSetting(key, "ftp", 0));
  ReadStringSetting(key, "ftpUser", s.ftpUser, sizeof s.ftpUser, "");

  // The stored form may hold zero bytes: unscramble all of its stored length.
  char pass[sizeof s.ftpPass];
  size_t passLength = ReadStringSetting(key, "ftpPass", pass, sizeof pass, "");
  ScramblePassword(FieldText(s.ftpUser), pass, passLength);
  std::memcpy(s.ftpPass, pass, sizeof s.ftpPass);

  ReadStringSetting(key, "ftpAccount", s.ftpAccount, sizeof s.ftpAccount, "");
  ReadStringSetting(key, "ftpServer", s.ftpServer, sizeof s.ftpServer, "");
  ReadStringSetting(key, "ftpFile", s.ftpFile, sizeof s.ftpFile, kDefaultFileName);
  ReadStringSetting(key, "ftpDir", s.ftpDir, sizeof s.ftpDir, "");
  s.caption = static_cast<int32_t>(ReadDwordSetting(key, "caption", 0));

  std::unique_ptr<CaptionStyle> style = MakeLoadedDefaultCaptionStyle();
  ReadStringSetting(key, "captionText", style->text, sizeof style->text, "%c");
  style->valign = static_cast<int32_t>(ReadDwordSetting(key, "captionValign", 2));
  style->halign = static_cast<int32_t>(ReadDwordSetting(key, "captionHalign", 1));
  style->transparent = static_cast<int32_t>(ReadDwordSetting(key, "captionTransparent", 0));
  // Only a whole font record is taken; anything else would leave fields unset.
  const RegValue* font = key.Query("captionFont");
  if (font && font->type == kRegBinary && font->data.size() == sizeof(LogFont))
    std::memcpy(&style->font, font->data.data(), sizeof(LogFont));
  else
    style->font = DefaultCaptionFont();
  TerminateFaceName(style->font);
  style->foreground = ReadDwordSetting(key, "captionForeground", 0xFFFFFF);
  style->background = ReadDwordSetting(key, "captionBackground", 0);
  style->workingCopy = nullptr;
  s.captionStyle = std::move(style);

  s.quality = static_cast<int32_t>(ReadDwordSetting(key, "quality", kDefaultQuality));
  return kept;
}

void SaveSettingsTo(AppState& s, const std::filesystem::path& file) {
  if (file.empty()) return;
  // Start from what the file holds, so values of switched-off groups stay.
  RegStore key = RegStore::Load(file);

  WriteDwordSetting(key, "interval", static_cast<uint32_t>(s.interval));
  WriteDwordSetting(key, "saveFile", static_cast<uint32_t>(s.saveFile));
  if (s.saveFile) WriteStringSetting(key, "fileName", FieldText(s.fileName));

  WriteDwordSetting(key, "http", static_cast<uint32_t>(s.http));
  if (s.http) {
    // Sign-extended, as the stored form has always been; readers keep the low 16 bits.
    WriteDwordSetting(
        key, "httpPort",
        static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(s.httpPort))));
    WriteDwordSetting(key, "httpRefresh", static_cast<uint32_t>(s.httpRefresh));
  }

  if (s.mainWindow) s.ftp = s.mainWindow->IsChecked(kEnableFtpCheckBoxId) ? 1 : 0;
  WriteDwordSetting(key, "ftp", static_cast<uint32_t>(s.ftp));
  if (s.ftp) {
    WriteStringSetting(key, "ftpUser", FieldText(s.ftpUser));
    // A copy is scrambled: an upload still running keeps reading clear text.
    WriteStringSetting(key, "ftpPass",
                       ScrambledPassword(FieldText(s.ftpUser), FieldText(s.ftpPass)));
    WriteStringSetting(key, "ftpAccount", FieldText(s.ftpAccount));
    WriteStringSetting(key, "ftpServer", FieldText(s.ftpServer));
    WriteStringSetting(key, "ftpFile", FieldText(s.ftpFile));
    WriteStringSetting(key, "ftpDir", FieldText(s.ftpDir));
  }

  WriteDwordSetting(key, "caption", static_cast<uint32_t>(s.caption));
  if (s.caption && s.captionStyle) {
    const CaptionStyle& c = *s.captionStyle;
    WriteStringSetting(key, "captionText", FieldText(c.text));
    WriteDwordSetting(key, "captionValign", static_cast<uint32_t>(c.valign));
    WriteDwordSetting(key, "captionHalign", static_cast<uint32_t>(c.halign));
    WriteDwordSetting(key, "captionTransparent", static_cast<uint32_t>(c.transparent));
    key.Set("captionFont", kRegBinary, &c.font, sizeof c.font);
    WriteDwordSetting(key, "captionForeground", c.foreground);
    WriteDwordSetting(key, "captionBackground", c.background);
  }

  WriteDwordSetting(key, "quality", static_cast<uint32_t>(s.quality));
  key.Save(file);  // a failure keeps the old file; nothing is reported
}

std::filesystem::path LoadSettings(AppState& state) {
  return LoadSettingsFrom(state, SettingsFilePath());
}

void SaveSettings(AppState& state) { SaveSettingsTo(state, SettingsFilePath()); }

}  // namespace snapvane
