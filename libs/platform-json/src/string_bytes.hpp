#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace varnholt::json::detail {

// The bytes that are special inside a JSON string: the quotation mark, the
// backslash and the control characters. Writing escapes them; reading stops
// its fast scan at them.
constexpr std::array<bool, 256> make_special_bytes() {
  std::array<bool, 256> table{};
  for (std::size_t c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}
inline constexpr std::array<bool, 256> kSpecialInString = make_special_bytes();

constexpr bool is_special_in_string(char c) {
  return kSpecialInString[static_cast<std::uint8_t>(c)];
}

// True when one of the eight bytes of `word` is special in a string: a quote,
// a backslash or a control character. (A byte above 0x7F never is.)
constexpr bool has_special_byte(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return ((((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
           ((word - kOnes * 0x20) & ~word)) &
          kHighs) != 0;
}

// The index of the first special byte of `text` from `from` on, or its size.
inline std::size_t plain_run_end(std::string_view text, std::size_t from) {
  std::size_t i = from;
  while (text.size() - i >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (has_special_byte(word)) break;
    i += 8;
  }
  while (i < text.size() && !is_special_in_string(text[i])) ++i;
  return i;
}

}  // namespace varnholt::json::detail
