#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane::fuzz::reference::detail {

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

}  // namespace corvane::fuzz::reference::detail
