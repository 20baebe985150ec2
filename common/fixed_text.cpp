#include "common/fixed_text.h"

#include <cstring>

namespace snapvane {

size_t Utf8Prefix(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t n = maxBytes;
  // Back off over continuation bytes (10xxxxxx) to the start of the cut character.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

size_t CopyText(char* dst, size_t capacity, std::string_view src) {
  if (capacity == 0) return 0;
  size_t n = Utf8Prefix(src, capacity - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n;
}

}  // namespace snapvane
