#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "varnholt/error/core_error.hpp"
#include "varnholt/text/utf8.hpp"

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
    const varnholt::text::DecodedChar c = varnholt::text::decode_char(text.substr(i));
    if (!c.valid) {
      // Each byte that is not part of a well-formed character stands for one
      // replacement character.
      append_unicode_escape(out, c.code_point);
      ++i;
    } else if (needs_unicode_escape(c.code_point)) {
      append_unicode_escape(out, c.code_point);
      i += c.length;
    } else {
      out.append(text.substr(i, c.length));
      i += c.length;
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
