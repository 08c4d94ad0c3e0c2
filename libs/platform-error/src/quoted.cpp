#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "varnholt/error/core_error.hpp"

namespace varnholt::error {

namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Code points written as \u{hex}; see unicode_tables.inc for how it is made.
constexpr CodePointRange kEscapedRanges[] = {
#include "unicode_tables.inc"
};

constexpr bool ranges_sorted_and_disjoint() {
  for (std::size_t i = 0; i < std::size(kEscapedRanges); ++i) {
    if (kEscapedRanges[i].first > kEscapedRanges[i].last) return false;
    if (i > 0 && kEscapedRanges[i - 1].last >= kEscapedRanges[i].first) return false;
  }
  return true;
}
static_assert(ranges_sorted_and_disjoint(), "unicode_tables.inc must be sorted and disjoint");

bool needs_unicode_escape(char32_t cp) {
  // The first range whose end is not below `cp` is the only one that can hold it.
  const auto* it = std::lower_bound(
      std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
      [](const CodePointRange& range, char32_t value) { return range.last < value; });
  return it != std::end(kEscapedRanges) && it->first <= cp;
}

void append_unicode_escape(std::string& out, char32_t cp) {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::array<char, 8> digits{};
  std::size_t n = 0;
  do {
    digits[n++] = kHex[cp & 0xFU];
    cp >>= 4U;
  } while (cp != 0);
  out.append("\\u{");
  while (n > 0) out.push_back(digits[--n]);
  out.push_back('}');
}

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 character at the front of `bytes` (which is not empty).
// Returns its code point and length, or length 0 when the first byte does not
// start a well-formed sequence (overlong forms, surrogates and values beyond
// U+10FFFF are not well-formed).
struct Decoded {
  char32_t cp;
  std::size_t length;
};

Decoded decode_utf8(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t b0 = byte(0);
  std::size_t length = 0;
  char32_t cp = 0;
  std::uint8_t lower = 0x80;  // bounds of the second byte
  std::uint8_t upper = 0xBF;
  if (b0 < 0x80) return {b0, 1};
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1FU;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0FU;
    if (b0 == 0xE0) lower = 0xA0;  // overlong
    if (b0 == 0xED) upper = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07U;
    if (b0 == 0xF0) lower = 0x90;  // overlong
    if (b0 == 0xF4) upper = 0x8F;  // beyond U+10FFFF
  } else {
    return {0, 0};
  }
  if (bytes.size() < length) return {0, 0};
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t b = byte(i);
    const std::uint8_t lo = i == 1 ? lower : std::uint8_t{0x80};
    const std::uint8_t hi = i == 1 ? upper : std::uint8_t{0xBF};
    if (b < lo || b > hi) return {0, 0};
    cp = (cp << 6U) | (b & 0x3FU);
  }
  return {cp, length};
}

// Printable ASCII other than the quote and the backslash is copied as is.
constexpr bool is_plain_ascii(char c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t run = i;
    while (run < text.size() && is_plain_ascii(text[run])) ++run;
    if (run > i) {
      out.append(text.substr(i, run - i));
      i = run;
      continue;
    }
    switch (text[i]) {
      case '"':
        out.append("\\\"");
        ++i;
        continue;
      case '\\':
        out.append("\\\\");
        ++i;
        continue;
      case '\t':
        out.append("\\t");
        ++i;
        continue;
      case '\r':
        out.append("\\r");
        ++i;
        continue;
      case '\n':
        out.append("\\n");
        ++i;
        continue;
      case '\0':
        out.append("\\0");
        ++i;
        continue;
      default:
        break;
    }
    const Decoded d = decode_utf8(text.substr(i));
    if (d.length == 0) {
      // Each byte that is not part of a well-formed character stands for one
      // replacement character.
      append_unicode_escape(out, kReplacement);
      ++i;
    } else if (needs_unicode_escape(d.cp)) {
      append_unicode_escape(out, d.cp);
      i += d.length;
    } else {
      out.append(text.substr(i, d.length));
      i += d.length;
    }
  }
  out.push_back('"');
}

std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace varnholt::error
