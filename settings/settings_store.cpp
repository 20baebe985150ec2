#include "settings/settings_store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "capture/caption_style.h"
#include "common/fixed_text.h"

namespace snapvane {

namespace {

constexpr std::string_view kDefaultFileName = "cam.jpg";
constexpr uint32_t kDefaultHttpPort = 80;
constexpr uint32_t kDefaultFtpPort = 21;
constexpr uint32_t kDefaultStreamFps = 5;
constexpr std::string_view kDefaultArchivePattern = "~/Pictures/cam/%Y-%m-%d/%H-%M-%S.jpg";
constexpr uint32_t kDefaultQuality = 50;
constexpr uint32_t kDefaultValign = 2;             // bottom
constexpr uint32_t kDefaultHalign = 1;             // centre
constexpr uint32_t kDefaultForeground = 0xFFFFFF;  // white
constexpr uint32_t kPortMask = 0xFFFF;

// The generator of the classic C runtime's rand(): only its low seven bits are used.
constexpr uint32_t kRandMultiplier = 214013;
constexpr uint32_t kRandIncrement = 2531011;

// A stored face name filling all 32 bytes is cut to end on a whole character.
void TerminateFaceName(LogFont& font) {
  constexpr size_t kFace = sizeof font.lfFaceName;
  std::string_view face(font.lfFaceName, kFace);
  if (face.find('\0') != std::string_view::npos) return;
  font.lfFaceName[Utf8Prefix(face, kFace - 1)] = '\0';
}

// How a setting is stored and read back.
enum class SettingKind {
  kNumber,    // a 32-bit field as REG_DWORD
  kPort,      // a 16-bit port, stored sign-extended; the low 16 bits are read back
  kText,      // a fixed text field as REG_SZ
  kPassword,  // the FTP password: REG_SZ scrambled, keyed by ftpUser (read before it)
  kFont,      // the 60-byte font record as REG_BINARY
};

// The bytes of one setting inside Settings; none when its record does not exist.
struct FieldRef {
  void* data = nullptr;
  size_t size = 0;
};

template <auto Member>
FieldRef Own(Settings& s) {
  auto& field = s.*Member;
  return {&field, sizeof field};
}

template <auto Member>
FieldRef InCaption(Settings& s) {
  if (!s.captionStyle) return {};
  auto& field = (*s.captionStyle).*Member;
  return {&field, sizeof field};
}

struct SettingEntry {
  std::string_view name;
  SettingKind kind;
  int32_t Settings::*governedBy;  // written only while this switch is on; null: always
  uint32_t defaultNumber;
  std::string_view defaultText;
  FieldRef (*field)(Settings&);
};

using K = SettingKind;
using S = Settings;
using C = CaptionStyle;

// Every setting, in the order both load and save handle them.
constexpr SettingEntry kSettingsTable[] = {
    {"interval", K::kNumber, nullptr, 0, {}, &Own<&S::interval>},
    {"saveFile", K::kNumber, nullptr, 0, {}, &Own<&S::saveFile>},
    {"fileName", K::kText, &S::saveFile, 0, kDefaultFileName, &Own<&S::fileName>},
    {"http", K::kNumber, nullptr, 0, {}, &Own<&S::http>},
    {"httpPort", K::kPort, &S::http, kDefaultHttpPort, {}, &Own<&S::httpPort>},
    {"httpRefresh", K::kNumber, &S::http, 0, {}, &Own<&S::httpRefresh>},
    {"httpAddress", K::kText, &S::http, 0, "", &Own<&S::httpAddress>},
    {"httpUser", K::kText, &S::http, 0, "", &Own<&S::httpUser>},
    {"httpPassHash", K::kText, &S::http, 0, "", &Own<&S::httpPassHash>},
    {"httpStream", K::kNumber, &S::http, 0, {}, &Own<&S::httpStream>},
    {"httpStreamFps", K::kNumber, &S::http, kDefaultStreamFps, {}, &Own<&S::httpStreamFps>},
    {"ftp", K::kNumber, nullptr, 0, {}, &Own<&S::ftp>},
    {"ftpUser", K::kText, &S::ftp, 0, "", &Own<&S::ftpUser>},
    {"ftpPass", K::kPassword, &S::ftp, 0, "", &Own<&S::ftpPass>},
    {"ftpAccount", K::kText, &S::ftp, 0, "", &Own<&S::ftpAccount>},
    {"ftpServer", K::kText, &S::ftp, 0, "", &Own<&S::ftpServer>},
    {"ftpFile", K::kText, &S::ftp, 0, kDefaultFileName, &Own<&S::ftpFile>},
    {"ftpDir", K::kText, &S::ftp, 0, "", &Own<&S::ftpDir>},
    {"ftpMode", K::kNumber, &S::ftp, 0, {}, &Own<&S::ftpMode>},
    {"ftpTls", K::kNumber, &S::ftp, 0, {}, &Own<&S::ftpTls>},
    {"ftpPort", K::kPort, &S::ftp, kDefaultFtpPort, {}, &Own<&S::ftpPort>},
    {"ftpFingerprint", K::kText, &S::ftp, 0, "", &Own<&S::ftpFingerprint>},
    {"archive", K::kNumber, nullptr, 0, {}, &Own<&S::archive>},
    {"archivePattern", K::kText, &S::archive, 0, kDefaultArchivePattern, &Own<&S::archivePattern>},
    {"archiveDays", K::kNumber, &S::archive, 0, {}, &Own<&S::archiveDays>},
    {"caption", K::kNumber, nullptr, 0, {}, &Own<&S::caption>},
    {"captionText", K::kText, &S::caption, 0, "%c", &InCaption<&C::text>},
    {"captionValign", K::kNumber, &S::caption, kDefaultValign, {}, &InCaption<&C::valign>},
    {"captionHalign", K::kNumber, &S::caption, kDefaultHalign, {}, &InCaption<&C::halign>},
    {"captionTransparent", K::kNumber, &S::caption, 0, {}, &InCaption<&C::transparent>},
    {"captionFont", K::kFont, &S::caption, 0, {}, &InCaption<&C::font>},
    {"captionForeground",
     K::kNumber,
     &S::caption,
     kDefaultForeground,
     {},
     &InCaption<&C::foreground>},
    {"captionBackground", K::kNumber, &S::caption, 0, {}, &InCaption<&C::background>},
    {"quality", K::kNumber, nullptr, kDefaultQuality, {}, &Own<&S::quality>},
};
static_assert(std::size(kSettingsTable) == 34);

std::string_view TextOf(const FieldRef& f) {
  const char* text = static_cast<const char*>(f.data);
  return std::string_view(text, strnlen(text, f.size));
}

void LoadSetting(const RegStore& key, const SettingEntry& e, Settings& s) {
  FieldRef f = e.field(s);
  if (!f.data) return;
  switch (e.kind) {
    case K::kNumber:
      if (f.size == sizeof(uint32_t)) {
        uint32_t v = ReadDwordSetting(key, e.name, e.defaultNumber);
        std::memcpy(f.data, &v, sizeof v);
      }
      break;
    case K::kPort:
      if (f.size == sizeof(uint16_t)) {
        auto port =
            static_cast<uint16_t>(ReadDwordSetting(key, e.name, e.defaultNumber) & kPortMask);
        std::memcpy(f.data, &port, sizeof port);
      }
      break;
    case K::kText:
      ReadStringSetting(key, e.name, static_cast<char*>(f.data), f.size, e.defaultText);
      break;
    case K::kPassword: {
      // The stored form may hold zero bytes: unscramble all of its stored length.
      std::string pass(f.size, '\0');
      size_t length = ReadStringSetting(key, e.name, pass.data(), pass.size(), e.defaultText);
      ScramblePassword(FieldText(s.ftpUser), pass.data(), length);
      std::memcpy(f.data, pass.data(), f.size);
      break;
    }
    case K::kFont: {
      if (f.size != sizeof(LogFont)) break;
      auto& font = *static_cast<LogFont*>(f.data);
      // Only a whole font record is taken; anything else would leave fields unset.
      const RegValue* v = key.Query(e.name);
      if (v && v->type == kRegBinary && v->data.size() == sizeof(LogFont))
        std::memcpy(&font, v->data.data(), sizeof(LogFont));
      else
        font = DefaultCaptionFont();
      TerminateFaceName(font);
      break;
    }
  }
}

void SaveSetting(RegStore& key, const SettingEntry& e, Settings& s) {
  if (e.governedBy && s.*e.governedBy == 0) return;  // the file keeps what it held
  FieldRef f = e.field(s);
  if (!f.data) return;
  switch (e.kind) {
    case K::kNumber:
      if (f.size == sizeof(uint32_t)) {
        uint32_t v;
        std::memcpy(&v, f.data, sizeof v);
        WriteDwordSetting(key, e.name, v);
      }
      break;
    case K::kPort:
      if (f.size == sizeof(uint16_t)) {
        int16_t port;
        std::memcpy(&port, f.data, sizeof port);
        // Sign-extended, as the stored form has always been; readers keep the low 16 bits.
        WriteDwordSetting(key, e.name, static_cast<uint32_t>(int32_t{port}));
      }
      break;
    case K::kText:
      WriteStringSetting(key, e.name, TextOf(f));
      break;
    case K::kPassword:
      // A copy is scrambled: an upload still running keeps reading clear text.
      WriteStringSetting(key, e.name, ScrambledPassword(FieldText(s.ftpUser), TextOf(f)));
      break;
    case K::kFont:
      key.Set(e.name, kRegBinary, f.data, f.size);
      break;
  }
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

std::filesystem::path LoadSettingsFrom(Settings& s, const std::filesystem::path& file) {
  // A missing or unreadable file reads as empty: every default applies.
  RegStore key = file.empty() ? RegStore() : RegStore::Load(file);
  // Kept now, so the user hears of it while the program runs, not at exit.
  std::filesystem::path kept = key.damaged() ? KeepDamagedCopy(file) : std::filesystem::path();
  // Every value is read whether or not its switch is on.
  s.captionStyle = MakeLoadedDefaultCaptionStyle();
  for (const SettingEntry& e : kSettingsTable) LoadSetting(key, e, s);
  return kept;
}

void SaveSettingsTo(Settings& s, const std::filesystem::path& file) {
  if (file.empty()) return;
  // Start from what the file holds, so values of switched-off groups stay.
  RegStore key = RegStore::Load(file);
  for (const SettingEntry& e : kSettingsTable) SaveSetting(key, e, s);
  key.Save(file);  // a failure keeps the old file; nothing is reported
}

namespace {

constexpr size_t kFontHexBytes = sizeof(LogFont);

const SettingEntry* FindSetting(std::string_view name) {
  for (const SettingEntry& e : kSettingsTable)
    if (e.name == name) return &e;
  return nullptr;
}

std::string_view TypeName(SettingKind kind) {
  switch (kind) {
    case K::kNumber:
    case K::kPort:
      return "dword";
    case K::kText:
    case K::kPassword:
      return "sz";
    case K::kFont:
      return "hex";
  }
  return "";
}

// A 32-bit number in decimal (negative ones wrap, as the store keeps them) or
// with 0x in hex; the whole text must be the number.
std::optional<uint32_t> ParseDword(std::string_view text) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') negative = true, text.remove_prefix(1);
  int base = 10;
  if (!negative && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    base = 16, text.remove_prefix(2);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > (negative ? 0x80000000ull : 0xFFFFFFFFull)) return std::nullopt;
  }
  return static_cast<uint32_t>(negative ? 0 - value : value);
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string HexBytes(const void* data, size_t size) {
  std::string out;
  const auto* bytes = static_cast<const uint8_t*>(data);
  char two[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    if (i > 0) out += ',';
    out += two;
  }
  return out;
}

std::string StoredText(const RegStore& key, std::string_view name, size_t capacity) {
  std::string text(capacity, '\0');
  text.resize(ReadStringSetting(key, name, text.data(), text.size(), ""));
  return text;
}

}  // namespace

std::vector<SettingName> SettingNames() {
  std::vector<SettingName> names;
  for (const SettingEntry& e : kSettingsTable) names.push_back({e.name, TypeName(e.kind)});
  return names;
}

std::optional<std::string> SettingText(const std::filesystem::path& file, std::string_view name) {
  const SettingEntry* e = FindSetting(name);
  if (!e) return std::nullopt;
  Settings s;
  (void)LoadSettingsFrom(s, file);
  FieldRef f = e->field(s);
  if (!f.data) return std::string();
  switch (e->kind) {
    case K::kNumber: {
      uint32_t v = 0;
      std::memcpy(&v, f.data, std::min(sizeof v, f.size));
      return std::to_string(v);
    }
    case K::kPort: {
      uint16_t port = 0;
      std::memcpy(&port, f.data, std::min(sizeof port, f.size));
      return std::to_string(port);
    }
    case K::kText:
    case K::kPassword:
      return std::string(TextOf(f));
    case K::kFont:
      return HexBytes(f.data, f.size);
  }
  return std::string();
}

std::optional<SettingsEditError> SetSettingsText(const std::filesystem::path& file,
                                                 const std::vector<std::string>& assignments) {
  if (file.empty()) return SettingsEditError{"no settings file (no home folder)", false};
  RegStore key = RegStore::Load(file);
  // Field sizes come from a record like the program's own.
  Settings sizes;
  sizes.captionStyle = MakeLoadedDefaultCaptionStyle();
  const std::string oldUser = StoredText(key, "ftpUser", sizeof sizes.ftpUser);
  std::string password = StoredText(key, "ftpPass", sizeof sizes.ftpPass);
  ScramblePassword(oldUser, password.data(), password.size());
  bool passwordGiven = false;

  for (const std::string& assignment : assignments) {
    const size_t equals = assignment.find('=');
    const std::string name = assignment.substr(0, equals);
    const SettingEntry* e = FindSetting(name);
    if (!e) return SettingsEditError{"unknown setting \"" + name + "\""};
    if (equals == std::string::npos)
      return SettingsEditError{"no value for \"" + name + "\": use NAME=VALUE"};
    const std::string_view value = std::string_view(assignment).substr(equals + 1);
    const size_t capacity = e->field(sizes).size;
    auto bad = [&](std::string_view why) {
      return SettingsEditError{"bad value for \"" + name + "\" (" + std::string(why) + ")"};
    };
    switch (e->kind) {
      case K::kNumber: {
        std::optional<uint32_t> v = ParseDword(value);
        if (!v) return bad("a 32-bit number");
        WriteDwordSetting(key, e->name, *v);
        break;
      }
      case K::kPort: {
        std::optional<uint32_t> v = ParseDword(value);
        if (!v || *v > kPortMask) return bad("a port, 0 to 65535");
        // Sign-extended, as the program stores it.
        WriteDwordSetting(key, e->name, static_cast<uint32_t>(int32_t{static_cast<int16_t>(*v)}));
        break;
      }
      case K::kText:
        if (value.size() >= capacity)
          return bad("at most " + std::to_string(capacity - 1) + " bytes");
        WriteStringSetting(key, e->name, value);
        break;
      case K::kPassword:
        if (value.size() >= capacity)
          return bad("at most " + std::to_string(capacity - 1) + " bytes");
        if (!PasswordStorable(value)) return bad("ASCII characters only");
        password = value;
        passwordGiven = true;
        break;
      case K::kFont: {
        std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(value);
        if (!bytes || bytes->size() != kFontHexBytes)
          return bad(std::to_string(kFontHexBytes) + " hex bytes");
        key.Set(e->name, kRegBinary, bytes->data(), bytes->size());
        break;
      }
    }
  }
  // The password is scrambled for the user it will be read with.
  const std::string newUser = StoredText(key, "ftpUser", sizeof sizes.ftpUser);
  if (passwordGiven || (newUser != oldUser && key.Query("ftpPass")))
    WriteStringSetting(key, "ftpPass", ScrambledPassword(newUser, password));
  if (!key.Save(file)) return SettingsEditError{"cannot write " + file.string(), false};
  return std::nullopt;
}

std::filesystem::path LoadSettings(Settings& settings) {
  return LoadSettingsFrom(settings, SettingsFilePath());
}

void SaveSettings(Settings& settings) { SaveSettingsTo(settings, SettingsFilePath()); }

}  // namespace snapvane
