#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace json_text {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF). Runs of ASCII are skipped eight bytes at a time.
[[nodiscard]] inline bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t length;
    std::uint32_t min;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      length = 2, min = 0x80, cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, min = 0x800, cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, cp = c & 0x07u;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += length;
  }
  return true;
}

}  // namespace json_text
