#pragma once
// Fixed-capacity, NUL-terminated text fields (paths, FTP names, captions).
#include <cstddef>
#include <cstring>
#include <string_view>

namespace snapvane {

// Copies src into dst[capacity], keeping at most capacity-1 bytes, never cutting a
// multi-byte UTF-8 character in half, always terminated. Returns the bytes kept.
size_t CopyText(char* dst, size_t capacity, std::string_view src);

template <size_t N>
size_t CopyText(char (&dst)[N], std::string_view src) {
  return CopyText(dst, N, src);
}

// The text of a fixed field, never read past its end even when unterminated.
template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

// Length of the longest prefix of text (at most maxBytes) that ends on a UTF-8
// character boundary.
size_t Utf8Prefix(std::string_view text, size_t maxBytes);

}  // namespace snapvane
