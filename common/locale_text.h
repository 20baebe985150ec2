#pragma once
// 8-bit text (settings, captions from strftime, log lines, paths) is in the
// process locale's character set, which need not be UTF-8; widgets speak UTF-8.
// These convert between the two with iconv. An ASCII locale ("C") is taken as
// UTF-8, as the toolkit itself does, so UTF-8 text stays intact there.
#include <string>
#include <string_view>

namespace snapvane {

// The character set of the process locale (LC_CTYPE), e.g. "ISO-8859-1".
std::string LocaleCodeset();

// True when 8-bit text needs no conversion (a UTF-8 or ASCII locale).
bool LocaleIsUtf8();

// Locale bytes to UTF-8; a byte the character set cannot decode becomes U+FFFD.
std::string LocaleToUtf8(std::string_view text);

// UTF-8 to locale bytes; a character the character set lacks becomes '?', an
// invalid UTF-8 byte too.
std::string Utf8ToLocale(std::string_view text);

}  // namespace snapvane
