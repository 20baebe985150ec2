#include "common/locale_text.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace snapvane {
namespace {

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kReplacementLocale = '?';
constexpr size_t kChunkBytes = 256;

bool IsUtf8OrAscii(const std::string& codeset) {
  std::string name;
  for (char c : codeset)
    if (c != '-' && c != '_') name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return name == "UTF8" || name == "ANSIX3.41968" || name == "ASCII" || name == "USASCII" ||
         name.empty();
}

// Length of the UTF-8 sequence starting at text[0] (1 for a stray byte).
size_t Utf8SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (n > text.size()) return 1;
  for (size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
  return n;
}

// Converts all of text; on a byte sequence the converter refuses, appends
// replacement and skips what skip() says.
template <typename Skip>
std::string Convert(const char* to, const char* from, std::string_view text,
                    std::string_view replacement, Skip skip) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);  // unknown set: as is
  std::string out;
  out.reserve(text.size());
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char chunk[kChunkBytes];
  while (inLeft > 0) {
    char* dst = chunk;
    size_t dstLeft = sizeof chunk;
    const size_t result = iconv(cd, &in, &inLeft, &dst, &dstLeft);
    out.append(chunk, static_cast<size_t>(dst - chunk));
    if (result != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;  // the chunk is full: go on with a fresh one
    // EILSEQ (cannot be converted) or EINVAL (cut short at the end).
    out.append(replacement);
    const size_t n = std::min(inLeft, skip(std::string_view(in, inLeft)));
    in += n;
    inLeft -= n;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  }
  char* dst = chunk;
  size_t dstLeft = sizeof chunk;
  iconv(cd, nullptr, nullptr, &dst, &dstLeft);  // a stateful set's closing bytes
  out.append(chunk, static_cast<size_t>(dst - chunk));
  iconv_close(cd);
  return out;
}

}  // namespace

std::string LocaleCodeset() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset ? codeset : "";
}

bool LocaleIsUtf8() { return IsUtf8OrAscii(LocaleCodeset()); }

std::string LocaleToUtf8(std::string_view text) {
  const std::string codeset = LocaleCodeset();
  if (IsUtf8OrAscii(codeset)) return std::string(text);
  return Convert("UTF-8", codeset.c_str(), text, kReplacementUtf8,
                 [](std::string_view) { return size_t{1}; });
}

std::string Utf8ToLocale(std::string_view text) {
  const std::string codeset = LocaleCodeset();
  if (IsUtf8OrAscii(codeset)) return std::string(text);
  return Convert(codeset.c_str(), "UTF-8", text, std::string_view(&kReplacementLocale, 1),
                 Utf8SequenceLength);
}

}  // namespace snapvane
